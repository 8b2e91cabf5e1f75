// Process-wide pieces of the daemon shell: signal handlers and the core thread.
#pragma once
#include <csignal>

#include "core/event.h"  // _quit, which the handlers set

int os_init();
void os_deinit();
// The options both daemons take, -f <config file>, -l <log file>, -h and -v, read on from getopt's
// place: 'h', 'v' or '?' (an unknown option) as met, 0 once none is left.
int os_args(int argc, char **argv, const char **cfgfile, const char **logfile);
void signals_handle_exit(int signo);
void signal_handle_hup(int signo);  // asks the loop to reopen the log
void signal_handle_segfault(int signo, siginfo_t *info, void *context);
void *thread_core_run(void *arg);
// handler for signo, nothing blocked while it runs; sigaction's answer.
int os_on_signal(int signo, void (*handler)(int), int flags);
