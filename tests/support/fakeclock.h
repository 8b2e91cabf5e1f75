// A controllable clock for the event core: tests move seconds and ticks by hand.
#pragma once
#include <cstdint>

struct FakeClock {
    static uint64_t sec;
    static uint64_t usec;
    static uint64_t mono;  // the monotonic clock in microseconds: moves with time, never with a setting of the wall clock
    static void install(uint64_t start_sec = 1700000000, uint64_t start_usec = 1000000);
    static void uninstall();
    static void advance(uint64_t seconds)
    {
        sec += seconds;
        mono += seconds * 1000000;
    }
    // A setting of the wall clock, by seconds back (negative) or forward; the monotonic clock stays.
    static void step_wall(int64_t seconds) { sec += static_cast<uint64_t>(seconds); }
    static uint64_t mono_sec() { return mono / 1000000; }
};
