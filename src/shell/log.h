// The daemon's timestamped log: one line per call, "%d/%d/%d %d:%02d:%02d " then the message,
// to the log file (synced per line) or to standard output while no file is open.
#pragma once
#include <cstdio>

extern const char *_logfile;
extern FILE *_logfp;

void log_init();
void log_help(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_deinit();

// The exit-signal line "received signo %d, start to exit", built without stdio or locks so that
// a signal handler may write it whatever it interrupted.
void log_signal_exit(int signo);
