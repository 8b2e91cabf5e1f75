// Process-wide pieces of both daemons: signal handlers, the quit request and the options.
#pragma once
#include <atomic>
#include <csignal>

// Set by the exit-signal handlers, read by the loop once per iteration. Lock-free, so a
// handler may store into it.
extern std::atomic<int> os_quit;
static_assert(std::atomic<int>::is_always_lock_free);

// The signals' handlers of both daemons; the loop's set-up is the reactor's (poll_start).
int os_init();
void os_deinit();
// The options both daemons take, -f <config file>, -l <log file>, -h and -v, read on from getopt's
// place: 'h', 'v' or '?' (an unknown option) as met, 0 once none is left.
int os_args(int argc, char **argv, const char **cfgfile, const char **logfile);
void signals_handle_exit(int signo);
void signal_handle_hup(int signo);  // asks the loop to reopen the log
void signal_handle_segfault(int signo, siginfo_t *info, void *context);
// handler for signo, nothing blocked while it runs; sigaction's answer.
int os_on_signal(int signo, void (*handler)(int), int flags);
