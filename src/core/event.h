// The reactor: two clocks, a table of 8 one-second timers, a table of 16 polled descriptors,
// and the loop that drives both until _quit is set.
#pragma once
#include <cstdint>
#include "sdwan.h"

extern tm_t _tms[TM_SLOTS];
extern poll_op_t _polls[POLL_SLOTS];

uint64_t os_cursec();   // wall-clock seconds
uint64_t rdtsc();       // the time-stamp counter
uint64_t os_curusec();  // rdtsc() / 1000

// Test seam: replace the two clocks (a null function restores the real one).
void os_set_clock(uint64_t (*sec)(), uint64_t (*usec)());

void tm_init();
int tm_add(const char *name, uint64_t sec, CALLBACK_FUNC func, void *arg);
void tm_del(const char *name);
void tm_scan();

void poll_init();
int poll_add(int s, CALLBACK_FUNC func, void *arg);
void poll_del(int s);
void poll_once(int timeout_ms);  // one iteration of the loop: scan, poll, callbacks, reap
void poll_loop();
