#include "base/log.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <climits>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const char *logfile_path = "/tmp/kesp.log";
FILE *log_stream = nullptr;

namespace {

// Every line is formatted into one buffer and leaves with one write(2): lines of two threads, or
// of a signal handler and the code it interrupted, never interleave or tear.
constexpr size_t LOG_LINE_MAX = 1024;

// The descriptor lines go to; -1 sends them to s_plainfd. Atomic because a signal handler
// reads it while the main thread may be closing the log.
std::atomic<int> s_logfd{-1};
// Where lines go while no file is open: standard output, or standard error after "-l -".
std::atomic<int> s_plainfd{STDOUT_FILENO};

// Bytes in the open file as far as this process knows: the size at the open plus every whole
// line since. Atomic because a signal handler's line adds to it.
std::atomic<uint64_t> s_size{0};
uint64_t s_limit = 0;

// Set by the SIGHUP handler, taken by log_service.
std::atomic<int> s_reopen{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free);

// Whether a log file was asked for at all: without one, lines go to standard output and a
// reopen has nothing to open.
bool s_wanted = false;
// The rotated generation's name, "<log>.1".
char s_old[PATH_MAX];
// The last rotation failed: the bound is off until a reopen.
bool s_rotate_failed = false;
// This process holds the advisory lock on the open log: it alone may rename or empty it. A second
// daemon started with the same path (a failed start under a service manager that restarts it, a
// mistaken command line) finds the lock taken and only appends, so the running daemon's log is
// never moved away under it.
bool s_owner = false;

constexpr const char NOT_REGULAR[] = "not a regular file";

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

// log_write_all; inlined into emit, which runs once per packet with datalog=1.
[[gnu::always_inline]] inline size_t write_all(int fd, const char *p, size_t n)
{
    size_t done = 0;
    while (done < n) {
        const ssize_t w = write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (w == 0)
                errno = EIO;
            break;
        }
        done += static_cast<size_t>(w);
    }
    return done;
}

// Async-signal-safe: the handlers' lines come through here too.
void emit(const char *line, size_t n)
{
    int fd = s_logfd.load(std::memory_order_acquire);
    if (fd < 0) {
        write_all(s_plainfd.load(std::memory_order_relaxed), line, n);
        return;
    }
    const size_t w = write_all(fd, line, n);
    if (w == n) {
        s_size.fetch_add(n, std::memory_order_relaxed);
    } else if (w > 0) {
        // A full file system took the start of the line only: cut it off again, so that the
        // file ends with a whole line and the next one does not run into a torn piece.
        struct stat st;
        // "(void)!": the fortified declaration wants its result looked at; a failure leaves the
        // torn piece, which nothing here could mend.
        if (fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= w)
            (void)!ftruncate(fd, st.st_size - static_cast<off_t>(w));
    }
    fsync(fd);
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

// Opens path for appending if it is a regular file of this user with no other name; -1 with
// *why otherwise. O_NONBLOCK: a FIFO planted at the path neither blocks the open nor, for want
// of a reader, opens at all.
int open_checked(const char *path, bool empty, const char **why)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0640);
    if (fd < 0) {
        // ELOOP: a symbolic link; EISDIR: a directory; ENXIO: a FIFO without a reader.
        *why = errno == ELOOP || errno == EISDIR || errno == ENXIO ? NOT_REGULAR : strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = NOT_REGULAR;
    } else if (st.st_nlink != 1) {
        // A hard link another user made to a file of root's: writing would change that file.
        *why = "a file with other names (hard links)";
    } else if (st.st_uid != geteuid()) {
        *why = "a file of another user";
    } else {
        if (empty && st.st_size != 0 && ftruncate(fd, 0) != 0) {
            *why = strerror(errno);
            close(fd);
            return -1;
        }
        s_size.store(empty ? 0 : static_cast<uint64_t>(st.st_size), std::memory_order_relaxed);
        return fd;
    }
    close(fd);
    return -1;
}

// False only when another open file holds the lock: a file system without locks leaves the
// file to this process, as before there were any.
bool take_lock(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK; }

// The new file takes the descriptor number of the open one: a signal handler that has just read
// that number writes to the one file or the other, never to a descriptor closed or reused
// meanwhile. -1 (fd closed, the open file kept) in the unlikely case the kernel refuses.
int install(int fd, const char **why)
{
    const int cur = s_logfd.load(std::memory_order_acquire);
    if (cur < 0) {
        s_logfd.store(fd, std::memory_order_release);
        return 0;
    }
    int r;
    do
        r = dup3(fd, cur, O_CLOEXEC);
    while (r < 0 && (errno == EINTR || errno == EBUSY));
    if (r < 0)
        *why = strerror(errno);
    close(fd);
    return r < 0 ? -1 : 0;
}

// Builds "<log>.1"; false when the name does not fit.
bool old_name()
{
    const size_t n = strlen(logfile_path);
    if (n + 3 > sizeof s_old)
        return false;
    memcpy(s_old, logfile_path, n);
    memcpy(s_old + n, ".1", 3);
    return true;
}

void write_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Before a line of n bytes: past the bound, the file becomes "<log>.1" and a new one starts.
void rotate_if_full(size_t n)
{
    const int fd = s_logfd.load(std::memory_order_relaxed);
    if (s_limit == 0 || fd < 0 || s_rotate_failed || !s_owner || s_size.load(std::memory_order_relaxed) + n <= s_limit)
        return;
    // The file may have been emptied under the daemon (a rotation by copy and truncation).
    struct stat st;
    if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) + n <= s_limit) {
        s_size.store(static_cast<uint64_t>(st.st_size), std::memory_order_relaxed);
        return;
    }
    const char *why = "the name is too long";
    bool ok = false;
    if (old_name()) {
        if (rename(logfile_path, s_old) != 0) {
            why = strerror(errno);
        } else {
            const int nfd = open_checked(logfile_path, true, &why);
            ok = nfd >= 0 && install(nfd, &why) == 0;
            if (ok)
                s_owner = take_lock(fd);
        }
    }
    if (!ok) {
        // Not tried at every line: whatever was in the way may have been planted there, and a
        // second rename would move it over the lines kept in "<log>.1".
        s_rotate_failed = true;
        write_line("Cannot start a new log file at %s: %s; the log grows past its bound until SIGHUP\n", logfile_path,
                   why);
        return;
    }
    // The key sets whole MiB; a finer bound (the tests') is told in KiB.
    const bool mib = s_limit % LOG_MIB == 0;
    write_line("Log file reached %llu %s, earlier lines are in %s\n",
               static_cast<unsigned long long>(s_limit / (mib ? LOG_MIB : 1024)), mib ? "MiB" : "KiB", s_old);
}

// Formats one line with its prefix and sends it out whole.
void vwrite_line(bool bounded, const char *fmt, va_list ap)
{
    char line[LOG_LINE_MAX];
    size_t plen;
    const char *prefix = prefix_now(&plen);
    memcpy(line, prefix, plen);

    int m = vsnprintf(line + plen, sizeof line - plen, fmt, ap);
    size_t n = plen;
    if (m > 0 && static_cast<size_t>(m) < sizeof line - plen) {
        n += static_cast<size_t>(m);
    } else if (m > 0) {
        // Cut, but still a line of its own: the next line must not run into it.
        n = sizeof line - 1;
        line[n - 1] = '\n';
    }
    if (bounded)
        rotate_if_full(n);
    emit(line, n);
}

// A line of the log itself, never the cause of a rotation.
void write_line(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vwrite_line(false, fmt, ap);
    va_end(ap);
}

}  // namespace


int log_open(const char **why)
{
    // "-" is the shells' and most tools' word for a standard stream, never a file name anyone
    // means: taken as a path it left a file called "-" in the working directory.
    if (strcmp(logfile_path, LOG_TO_STDERR) == 0) {
        log_deinit();
        s_wanted = false;
        s_plainfd.store(STDERR_FILENO, std::memory_order_relaxed);
        return 0;
    }
    s_wanted = true;
    s_plainfd.store(STDOUT_FILENO, std::memory_order_relaxed);
    // A log this process has open already is its own: its lock must not count as another's.
    if (const int cur = s_logfd.load(std::memory_order_relaxed); cur >= 0)
        (void)flock(cur, LOCK_UN);
    // Opened as it is, neither renamed nor emptied until the lock says the file is no other
    // live process's log.
    int fd = open_checked(logfile_path, false, why);
    if (fd < 0)
        return -1;
    s_owner = take_lock(fd);
    struct stat st;
    if (s_owner && fstat(fd, &st) == 0 && st.st_size > 0) {
        // One generation of the earlier run is kept: under a service manager that restarts the
        // daemon, a crash or a failed start would otherwise lose its lines to the next start.
        if (old_name() && rename(logfile_path, s_old) == 0) {
            const int nfd = open_checked(logfile_path, false, why);
            close(fd);
            if (nfd < 0)
                return -1;
            fd = nfd;
            s_owner = take_lock(fd);
        } else if (ftruncate(fd, 0) == 0) {
            s_size.store(0, std::memory_order_relaxed);
        }
    }
    if (install(fd, why) != 0)
        return -1;
    s_rotate_failed = false;
    if (log_stream == nullptr)
        log_stream = fdopen(s_logfd.load(std::memory_order_relaxed), "a");
    if (!s_owner)
        write_line("Log file %s is in use by another process, this run's lines are added to it\n", logfile_path);
    return 0;
}

void log_init()
{
    const char *why = nullptr;
    if (log_open(&why) == 0)
        return;
    if (why == NOT_REGULAR)
        fprintf(stderr, "open logfile %s error: %s\n", logfile_path, why);
    else
        fprintf(stderr, "open logfile %s error\n", logfile_path);
}

void log_help(const char *fmt, ...)
{
    log_service();
    va_list ap;
    va_start(ap, fmt);
    vwrite_line(true, fmt, ap);
    va_end(ap);
}

void log_reopen()
{
    if (!s_wanted) {
        write_line("No log file to reopen, lines go to %s\n",
                   s_plainfd.load(std::memory_order_relaxed) == STDERR_FILENO ? "standard error" : "standard output");
        return;
    }
    const char *why = nullptr;
    const int fd = open_checked(logfile_path, false, &why);
    if (fd < 0 || install(fd, &why) != 0) {
        write_line("Cannot reopen log file %s: %s\n", logfile_path, why);
        return;
    }
    // After install: the file replaced, whose lock this process held, is closed by now.
    s_owner = take_lock(s_logfd.load(std::memory_order_relaxed));
    s_rotate_failed = false;
    write_line("Log file %s reopened\n", logfile_path);
}

void log_request_reopen() { s_reopen.store(1, std::memory_order_relaxed); }

void log_service()
{
    if (s_reopen.load(std::memory_order_relaxed) != 0 && s_reopen.exchange(0) != 0)
        log_reopen();
}

void log_set_limit(uint64_t bytes) { s_limit = bytes; }

uint64_t log_limit() { return s_limit; }

void log_use_fd(int fd)
{
    log_deinit();
    s_wanted = false;
    s_logfd.store(fd, std::memory_order_release);
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

    // The prefix of every other line, "year/month/day hour:min:sec".
    const uint64_t fields[] = {static_cast<uint64_t>(year),         mon, day, static_cast<uint64_t>(secs / 3600),
                               static_cast<uint64_t>(secs / 60 % 60), static_cast<uint64_t>(secs % 60)};
    char line[128];
    char *p = line;
    for (int i = 0; i < 6; i++) {
        if (i > 0)
            *p++ = "// ::"[i - 1];
        p = put_uint(p, fields[i], i < 4 ? 1 : 2);
    }
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
    const int fd = s_logfd.load(std::memory_order_acquire);
    if (fd < 0)
        return;
    // Once the file is closed its descriptor number may be reused: keep the exit signals out
    // while the descriptor is withdrawn, so a late handler line goes to standard output instead.
    sigset_t block, old;
    sigemptyset(&block);
    for (int signo : LOG_EXIT_SIGNALS)
        sigaddset(&block, signo);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    s_logfd.store(-1, std::memory_order_release);
    if (log_stream != nullptr)
        fclose(log_stream);
    else
        close(fd);
    log_stream = nullptr;
    s_owner = false;
    s_size.store(0, std::memory_order_relaxed);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

size_t log_write_all(int fd, const char *p, size_t n) { return write_all(fd, p, n); }
