// The daemon's timestamped log: one line per call, "%d/%d/%d %d:%02d:%02d " then the message,
// to the log file (synced per line) or to standard output while no file is open (standard error
// when the path is "-").
//
// The file is opened O_NOFOLLOW | O_CLOEXEC | O_APPEND and only if it is a regular file with
// one link, owned by this user: a root daemon writing in a directory others can write to must
// not be led to another file, nor made to block on a FIFO. A start moves a non-empty earlier log
// to "<log>.1" and begins an empty one, unless another process holds the file's advisory lock
// (flock, taken by every open of the log): then it only appends, and never rotates that file. Each line leaves with one write(2) and is either wholly
// in the file or not at all (a short write on a full file system is cut off again).
#pragma once
#include <csignal>
#include <cstdint>
#include <cstdio>

extern const char *logfile_path;
extern FILE *log_stream;  // the open log, or null; its descriptor number stays the same across reopens

inline constexpr uint64_t LOG_MIB = 1024 * 1024;
// The "logsize" key of both daemons, in MiB: its default and its largest value.
inline constexpr uint64_t LOG_MIB_DEFAULT = 64;
inline constexpr uint64_t LOG_MIB_MAX = 1024 * 1024;

// The log path that means standard error: lines go there, unsynced, never rotated or reopened.
inline constexpr char LOG_TO_STDERR[] = "-";

// Opens logfile_path (see above); LOG_TO_STDERR opens nothing and answers 0. 0, or -1 with the reason in *why ("not a regular file", or the
// system's text of the failure) and lines going to standard output.
int log_open(const char **why);
// log_open, and on failure the line "open logfile %s error\n" on standard error (": not a
// regular file" before the line end when something other than a regular file is in the way).
void log_init();
void log_help(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_deinit();

// The exit-signal line "received signo %d, start to exit", built without stdio or locks so that
// a signal handler may write it whatever it interrupted.
void log_signal_exit(int signo);
// The signals whose handlers write that line.
inline constexpr int LOG_EXIT_SIGNALS[] = {SIGINT, SIGTERM, SIGUSR1, SIGUSR2};

// Opens the log again at its path (appending; created when missing) and writes "Log file %s
// reopened" there: after a rotation that renamed the file, the lines go to the new one. When
// that fails the lines stay in the file already open, and one line there says why.
void log_reopen();
// Async-signal-safe: asks for log_reopen at the next log_service (the SIGHUP handler).
void log_request_reopen();
// Called by the event loop once per iteration, outside any handler: a reopen asked for.
void log_service();

// The size bound in bytes; 0 turns it off (the default). When the next line would take the file
// past it, the file is renamed to "<log>.1" and a new one starts, whose first line says so.
void log_set_limit(uint64_t bytes);
uint64_t log_limit();

// Seam for the fuzzers and benchmarks: lines go to fd (/dev/null, which log_open refuses) as to
// a log file, until log_deinit closes it. No checks, no reopen, no rotation.
void log_use_fd(int fd);
// Writes p[0, n) whatever the interruptions; async-signal-safe. The bytes written: fewer than n
// only when the descriptor took no more (a full file system), with errno set.
size_t log_write_all(int fd, const char *p, size_t n);
