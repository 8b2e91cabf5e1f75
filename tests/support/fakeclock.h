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
    static void set_back(uint64_t seconds) { sec -= seconds; }  // the wall clock only
};
