#include "support/fakeclock.h"

#include "core/event.h"

uint64_t FakeClock::sec = 0;
uint64_t FakeClock::usec = 0;
uint64_t FakeClock::mono = 0;

void FakeClock::install(uint64_t start_sec, uint64_t start_usec)
{
    sec = start_sec;
    usec = start_usec;
    mono = 100 * 1000000;
    os_set_clock([] { return FakeClock::sec; }, [] { return FakeClock::usec; }, [] { return FakeClock::mono; });
}

void FakeClock::uninstall()
{
    os_set_clock(nullptr, nullptr, nullptr);
}
