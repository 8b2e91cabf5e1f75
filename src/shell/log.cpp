#include "shell/log.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

const char *_logfile = "/tmp/kesp.log";
FILE *_logfp = nullptr;

namespace {

// Every line is formatted into one buffer and leaves with one write(2): lines of two threads, or
// of a signal handler and the code it interrupted, never interleave or tear.
constexpr size_t LOG_LINE_MAX = 1024;

// The descriptor lines go to; -1 sends them to standard output. Atomic because a signal handler
// reads it while the main thread may be closing the log.
std::atomic<int> s_logfd{-1};

// UTC offset of the last local-time breakdown. A signal handler may not call localtime, so it
// converts the time itself with this offset.
std::atomic<long> s_gmtoff{0};

// The prefix of the current second, rebuilt once per second: the local-time breakdown takes a
// lock and reads the zone, which the per-packet log line must not pay for.
struct prefix_cache {
    time_t sec = -1;
    size_t len = 0;
    char text[48];
};
thread_local prefix_cache t_prefix;

void write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void emit(const char *line, size_t n)
{
    int fd = s_logfd.load(std::memory_order_acquire);
    if (fd >= 0) {
        write_all(fd, line, n);
        fsync(fd);
    } else {
        write_all(STDOUT_FILENO, line, n);
    }
}

const char *prefix_now(size_t *len)
{
    time_t now = time(nullptr);
    if (now != t_prefix.sec) {
        struct tm tmv;
        localtime_r(&now, &tmv);
        s_gmtoff.store(tmv.tm_gmtoff, std::memory_order_relaxed);
        int n = snprintf(t_prefix.text, sizeof t_prefix.text, "%d/%d/%d %d:%02d:%02d ", tmv.tm_year + 1900,
                         tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
        t_prefix.len = n > 0 ? static_cast<size_t>(n) : 0;
        t_prefix.sec = now;
    }
    *len = t_prefix.len;
    return t_prefix.text;
}

// Async-signal-safe pieces: decimal text and a civil date from days since 1970-01-01.
char *put_uint(char *p, uint64_t v, int min_digits)
{
    char tmp[24];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n < min_digits)
        tmp[n++] = '0';
    while (n > 0)
        *p++ = tmp[--n];
    return p;
}

char *put_str(char *p, const char *s)
{
    while (*s)
        *p++ = *s++;
    return p;
}

void civil_from_days(int64_t z, int64_t *y, unsigned *m, unsigned *d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

}  // namespace

void log_init()
{
    _logfp = fopen(_logfile, "w+");
    if (_logfp == nullptr) {
        fprintf(stderr, "open logfile %s error\n", _logfile);
        return;
    }
    s_logfd.store(fileno(_logfp), std::memory_order_release);
}

void log_help(const char *fmt, ...)
{
    char line[LOG_LINE_MAX];
    size_t plen;
    const char *prefix = prefix_now(&plen);
    memcpy(line, prefix, plen);

    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(line + plen, sizeof line - plen, fmt, ap);
    va_end(ap);
    size_t n = plen;
    if (m > 0 && static_cast<size_t>(m) < sizeof line - plen) {
        n += static_cast<size_t>(m);
    } else if (m > 0) {
        // Cut, but still a line of its own: the next line must not run into it.
        n = sizeof line - 1;
        line[n - 1] = '\n';
    }
    emit(line, n);
}

void log_signal_exit(int signo)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    int64_t local = static_cast<int64_t>(ts.tv_sec) + s_gmtoff.load(std::memory_order_relaxed);
    int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
    int64_t secs = local - days * 86400;
    int64_t year;
    unsigned mon, day;
    civil_from_days(days, &year, &mon, &day);

    char line[128];
    char *p = line;
    p = put_uint(p, static_cast<uint64_t>(year), 1);
    *p++ = '/';
    p = put_uint(p, mon, 1);
    *p++ = '/';
    p = put_uint(p, day, 1);
    *p++ = ' ';
    p = put_uint(p, static_cast<uint64_t>(secs / 3600), 1);
    *p++ = ':';
    p = put_uint(p, static_cast<uint64_t>(secs / 60 % 60), 2);
    *p++ = ':';
    p = put_uint(p, static_cast<uint64_t>(secs % 60), 2);
    p = put_str(p, " received signo ");
    if (signo < 0) {
        *p++ = '-';
        signo = -signo;
    }
    p = put_uint(p, static_cast<uint64_t>(signo), 1);
    p = put_str(p, ", start to exit\n");
    emit(line, static_cast<size_t>(p - line));
}

void log_deinit()
{
    if (_logfp == nullptr)
        return;
    // Once the stream is closed its descriptor number may be reused: keep the exit signals out
    // while the descriptor is withdrawn, so a late handler line goes to standard output instead.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    s_logfd.store(-1, std::memory_order_release);
    fclose(_logfp);
    _logfp = nullptr;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}
