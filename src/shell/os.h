// Process-wide pieces of the daemon shell: signal handlers and the core thread.
#pragma once
#include <csignal>

#include "core/event.h"  // _quit, which the handlers set

int os_init();
void os_deinit();
void signals_handle_exit(int signo);
void signal_handle_hup(int signo);  // asks the loop to reopen the log
void signal_handle_segfault(int signo, siginfo_t *info, void *context);
void *thread_core_run(void *arg);
