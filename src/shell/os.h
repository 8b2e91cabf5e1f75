// Process-wide pieces of the daemon shell: the quit flag, signal handlers, the core thread.
#pragma once
#include <atomic>
#include <csignal>

// Set by the exit-signal handlers, read by the core loop once per iteration. Lock-free, so a
// handler may store into it.
extern std::atomic<int> _quit;
static_assert(std::atomic<int>::is_always_lock_free);

int os_init();
void os_deinit();
void signals_handle_exit(int signo);
void signal_handle_hup(int signo);  // asks the loop to reopen the log
void signal_handle_segfault(int signo, siginfo_t *info, void *context);
void *thread_core_run(void *arg);
