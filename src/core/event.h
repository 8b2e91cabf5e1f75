// The reactor: the clocks, a table of 8 one-second timers, a table of 16 polled descriptors,
// and the loop that drives both until os_quit is set.
#pragma once
#include <sys/types.h>
#include <atomic>
#include <cstdint>

#include "base/os.h"  // os_quit, which ends the loop

using CALLBACK_FUNC = void (*)(void *);

// Timer slot. name is zero-terminated; a zero first byte marks the slot free. lastsec is on the
// monotonic clock, so that setting the wall clock neither stalls nor hurries a timer.
inline constexpr int TM_NAME_MAX = 15;  // characters of a timer name, the terminator left out

struct tm_t {
    char name[TM_NAME_MAX + 1];
    uint64_t tmout;
    uint64_t lastsec;
    uint64_t tmcnt;
    void *arg;
    CALLBACK_FUNC func;
};

// Descriptor slot; fds -1 marks it free. efunc, when set, is called instead of func when the
// descriptor reports an error, a hang-up or an invalid descriptor.
struct poll_op_t {
    int fds;
    CALLBACK_FUNC func;
    void *arg;
    CALLBACK_FUNC efunc;
};

inline constexpr int TM_SLOTS = 8;
inline constexpr int POLL_SLOTS = 16;


uint64_t os_cursec();    // wall-clock seconds: for what is shown as a date or goes on the wire, never to time
uint64_t rdtsc();        // the time-stamp counter
uint64_t os_curusec();   // rdtsc() / 1000
uint64_t os_monousec();  // CLOCK_MONOTONIC in microseconds: never set back
uint64_t os_monosec();   // the same in whole seconds

// The one test seam for time: replace the clocks (a null function restores the real one).
void os_set_clock(uint64_t (*sec)(), uint64_t (*usec)(), uint64_t (*mono)() = nullptr);

void tm_init();
// A timer called every sec seconds of the monotonic clock. 0; -ENAMETOOLONG when the name has more
// than TM_NAME_MAX characters (a cut name could not be told from another or deleted by its own);
// -ENOSPC when all slots are in use.
int tm_add(const char *name, uint64_t sec, CALLBACK_FUNC func, void *arg);
void tm_del(const char *name);
void tm_scan();

void poll_init();
int poll_add(int s, CALLBACK_FUNC func, void *arg);
void poll_del(int s);
// The error handler of s's slot: called, instead of the read handler, when s reports POLLERR,
// POLLHUP or POLLNVAL. Without one the read handler is called, and finds the error itself.
void poll_set_error(int s, CALLBACK_FUNC efunc);
// Called once for every second of the monotonic clock that the loop goes round: the loop's proof
// of life. Null removes it.
void poll_set_alive(CALLBACK_FUNC func, void *arg);
// A daemon's reactor: both tables empty, and alive (the service manager's watchdog ping) called
// from the loop itself, on the monotonic clock: the one-second timers wait while the wall clock
// is set back, and a silent loop must be told from a stopped one.
void poll_start(CALLBACK_FUNC alive, void *arg);
void poll_once(int timeout_ms);  // one iteration of the loop: scan, poll, callbacks, reap
void poll_loop();
// The loop reaps any child that ended, once a second, except this one (-1: none): its owner waits
// for it to learn its status.
void poll_keep_child(pid_t pid);
// The monotonic second for a callback of the loop: the one at which this iteration's poll()
// returned, read once for all its callbacks; outside a callback, the clock's.
uint64_t poll_monosec();

// The tables themselves, for tests and the fuzzers: the daemons go through the calls above.
tm_t (&tm_table())[TM_SLOTS];
poll_op_t (&poll_table())[POLL_SLOTS];
