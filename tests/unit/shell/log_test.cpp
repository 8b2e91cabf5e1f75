// The log: prefix format and local time, no line end of its own, whole lines under threads and
// signals, the signal-handler line, and lines logged after the stream was closed.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <pthread.h>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "shell/log.h"
#include "support/logcap.h"

namespace {

// A zone 5 h 45 min east of UTC: an offset of whole hours, or no offset at all, would hide a
// prefix built from the wrong clock or a wrong conversion. Set before anything breaks time down.
const bool zone_set = [] {
    setenv("TZ", "<+0545>-5:45", 1);
    tzset();
    return true;
}();

using Lines = std::vector<std::string>;

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string prefix_of(time_t t)
{
    struct tm tmv;
    localtime_r(&t, &tmv);
    char buf[64];
    snprintf(buf, sizeof buf, "%d/%d/%d %d:%02d:%02d ", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour,
             tmv.tm_min, tmv.tm_sec);
    return buf;
}

// Prefixes of the seconds from `from` to `to`, one second of slack on each side for the coarse
// and fine clocks that may disagree at a second's edge.
std::set<std::string> prefixes_between(time_t from, time_t to)
{
    std::set<std::string> s;
    for (time_t t = from - 1; t <= to + 1; t++)
        s.insert(prefix_of(t));
    return s;
}

// Runs `fn` with standard output sent to a temporary file; returns what was written there.
template <typename F>
std::string capture_stdout(F fn)
{
    char tmpl[] = "/tmp/tolvad-stdout-XXXXXX";
    int fd = mkstemp(tmpl);
    EXPECT_GE(fd, 0);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::string out = slurp(tmpl);
    unlink(tmpl);
    return out;
}

// Lines carry the local time in the fixed format. The handler's line is built without localtime:
// it must agree with log_help's, same zone, same format, for the same second.
TEST(Log, PrefixIsLocalTimeAndTheSameForSignalLines)
{
    ASSERT_TRUE(zone_set);
    LogCapture cap;
    const time_t before = time(nullptr);
    log_help("before %d %s\n", 42, "text");
    log_signal_exit(SIGTERM);
    log_help("after\n");
    log_signal_exit(SIGUSR2);
    const time_t after = time(nullptr);

    EXPECT_EQ(cap.take(), (Lines{"before 42 text", "received signo 15, start to exit", "after",
                                 "received signo 12, start to exit"}));
    const auto ok = prefixes_between(before, after);
    std::istringstream in(slurp(cap.path()));
    std::string line;
    std::vector<std::string> prefixes;
    while (std::getline(in, line)) {
        const size_t sp = line.find(' ', line.find(' ') + 1);
        ASSERT_NE(sp, std::string::npos) << line;
        prefixes.push_back(line.substr(0, sp + 1));
        EXPECT_EQ(ok.count(prefixes.back()), 1u) << "prefix of: " << line;
    }
    ASSERT_EQ(prefixes.size(), 4u);
    // The four lines are microseconds apart: unless a second ended in between, all four agree.
    if (prefixes[0] == prefixes[2]) {
        EXPECT_EQ(prefixes[1], prefixes[0]);
    }
}

TEST(Log, SignalLinePrefixMatchesForEveryZoneOffset)
{
    // Zones on both sides of UTC, most of them across a day boundary from it.
    const char *zones[] = {"UTC0", "<-11>11", "<+14>-14", "<+0545>-5:45", "<-0930>9:30"};
    for (const char *z : zones) {
        setenv("TZ", z, 1);
        tzset();
        LogCapture cap;
        time_t before = 0, after = 0;
        // A fresh thread has no prefix of this second yet, so it reads the new zone at once.
        std::thread([&] {
            before = time(nullptr);
            log_help("x\n");
            log_signal_exit(SIGINT);
            after = time(nullptr);
        }).join();
        const auto ok = prefixes_between(before, after);
        std::istringstream in(slurp(cap.path()));
        std::string line;
        int n = 0;
        while (std::getline(in, line)) {
            const size_t sp = line.find(' ', line.find(' ') + 1);
            ASSERT_NE(sp, std::string::npos) << line;
            EXPECT_EQ(ok.count(line.substr(0, sp + 1)), 1u) << z << ": " << line;
            n++;
        }
        EXPECT_EQ(n, 2) << z;
    }
    setenv("TZ", "<+0545>-5:45", 1);
    tzset();
}

// log_help writes no line end: a message without one runs into the next line's prefix.
TEST(Log, NoLineEndIsAdded)
{
    LogCapture cap;
    log_help("no newline");
    log_help("next\n");
    const std::string raw = slurp(cap.path());
    const Lines lines = cap.take();
    ASSERT_EQ(lines.size(), 1u) << raw;
    // The second prefix sits inside the first line's message.
    EXPECT_EQ(lines[0].rfind("no newline", 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].size() - 5), " next");
    EXPECT_EQ(log_messages(lines[0].substr(strlen("no newline")) + "\n"), Lines{"next"});
}

TEST(Log, InitEmptiesAnExistingFile)
{
    char tmpl[] = "/tmp/tolvad-logold-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "old line\nanother\n", 17), 17);
    close(fd);
    _logfile = tmpl;
    log_init();
    EXPECT_EQ(slurp(tmpl), "");
    log_help("fresh\n");
    log_deinit();
    EXPECT_EQ(log_messages(slurp(tmpl)), Lines{"fresh"});
    unlink(tmpl);
}

// After log_deinit the closed stream's descriptor number may belong to another file: a late line
// must not land there, and goes to standard output instead.
TEST(Log, LineAfterDeinitGoesToStandardOutput)
{
    char logpath[] = "/tmp/tolvad-logclosed-XXXXXX";
    int fd = mkstemp(logpath);
    ASSERT_GE(fd, 0);
    close(fd);
    _logfile = logpath;
    log_init();
    ASSERT_NE(_logfp, nullptr);
    const int logfd = fileno(_logfp);
    log_help("while open\n");
    log_deinit();

    // Take the descriptor number the log had.
    char otherpath[] = "/tmp/tolvad-logreuse-XXXXXX";
    int other = mkstemp(otherpath);
    ASSERT_GE(other, 0);
    EXPECT_EQ(other, logfd) << "descriptor not reused; the check below is weaker";

    const std::string out = capture_stdout([] {
        log_help("after close %d\n", 1);
        log_signal_exit(SIGUSR1);
    });
    EXPECT_EQ(log_messages(out), (Lines{"after close 1", "received signo 10, start to exit"}));
    EXPECT_EQ(slurp(otherpath), "");
    EXPECT_EQ(log_messages(slurp(logpath)), Lines{"while open"});
    close(other);
    unlink(otherpath);
    unlink(logpath);
}

TEST(Log, WithoutAFileLinesGoToStandardOutput)
{
    _logfile = "/nonexistent-tolvad-dir/sub/x.log";
    std::string err;
    const std::string out = capture_stdout([&] {
        testing::internal::CaptureStderr();
        log_init();
        err = testing::internal::GetCapturedStderr();
        log_help("to stdout %s\n", "ok");
    });
    EXPECT_EQ(_logfp, nullptr);
    EXPECT_EQ(err, "open logfile /nonexistent-tolvad-dir/sub/x.log error\n");
    EXPECT_EQ(log_messages(out), Lines{"to stdout ok"});
    log_deinit();
}

// ---- whole lines under concurrency ----

pthread_t g_workers[2];
std::atomic<int> g_handled{0};

void on_test_signal(int signo)
{
    log_signal_exit(signo);
    g_handled.fetch_add(1, std::memory_order_relaxed);
}

// Two threads log long lines as fast as they can while a third keeps interrupting them with
// signals whose handler writes its own line: every line must come out whole, each worker line
// exactly once and in its thread's order.
TEST(Log, LinesStayWholeUnderThreadsAndSignals)
{
    LogCapture cap;
    struct sigaction sa = {}, old1 = {}, old2 = {};
    sa.sa_handler = on_test_signal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old1), 0);
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old2), 0);

    constexpr int PER_WORKER = 300;
    const std::string payload(300, 'p');
    std::atomic<int> running{2};
    std::atomic<bool> started[2] = {false, false};
    auto work = [&](int id) {
        started[id] = true;
        for (int i = 0; i < PER_WORKER; i++)
            log_help("worker %d line %04d %s end\n", id, i, payload.c_str());
        running.fetch_sub(1);
    };
    std::thread t0(work, 0), t1(work, 1);
    g_workers[0] = t0.native_handle();
    g_workers[1] = t1.native_handle();
    while (!started[0] || !started[1])
        std::this_thread::yield();

    int sent = 0;
    for (int i = 0; i < 20000 && running.load() > 0; i++) {
        pthread_kill(g_workers[i % 2], i % 3 == 0 ? SIGUSR2 : SIGUSR1);
        sent++;
        usleep(100);
    }
    t0.join();
    t1.join();
    sigaction(SIGUSR1, &old1, nullptr);
    sigaction(SIGUSR2, &old2, nullptr);
    ASSERT_GT(g_handled.load(), 0) << "no signal reached the workers";

    const std::string raw = slurp(cap.path());
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(raw.back(), '\n');
    int next[2] = {0, 0};
    int signal_lines = 0;
    for (const std::string &m : log_messages(raw)) {
        if (m == "received signo 10, start to exit" || m == "received signo 12, start to exit") {
            signal_lines++;
            continue;
        }
        int id = -1, n = -1;
        char tail[8] = {};
        ASSERT_EQ(sscanf(m.c_str(), "worker %d line %d %*300[p] %7s", &id, &n, tail), 3) << "torn line: " << m;
        ASSERT_TRUE(id == 0 || id == 1) << m;
        char want[512];
        snprintf(want, sizeof want, "worker %d line %04d %s end", id, next[id], payload.c_str());
        ASSERT_EQ(m, want);
        next[id]++;
    }
    EXPECT_EQ(next[0], PER_WORKER);
    EXPECT_EQ(next[1], PER_WORKER);
    EXPECT_EQ(signal_lines, g_handled.load());
    EXPECT_LE(signal_lines, sent);
}

}  // namespace

// A message longer than a line's buffer is cut but keeps its line end, so the next line still
// starts with its own prefix.
TEST(Log, OverlongMessageIsCutAndStillEndsItsLine)
{
    LogCapture cap;
    const std::string big(3000, 'x');
    log_help("%s\n", big.c_str());
    log_help("after\n");
    std::vector<std::string> lines = cap.all();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].find_first_not_of('x'), std::string::npos);
    EXPECT_GT(lines[0].size(), 900u);
    EXPECT_LT(lines[0].size(), big.size());
    EXPECT_EQ(lines[1], "after");
}
