#include "support/fakeclock.h"

#include "core/event.h"

uint64_t FakeClock::sec = 0;
uint64_t FakeClock::usec = 0;

void FakeClock::install(uint64_t start_sec, uint64_t start_usec)
{
    sec = start_sec;
    usec = start_usec;
    os_set_clock([] { return FakeClock::sec; }, [] { return FakeClock::usec; });
}

void FakeClock::uninstall() { os_set_clock(nullptr, nullptr); }
