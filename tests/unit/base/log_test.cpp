// The log: prefix format and local time, no line end of its own, whole lines under threads and
// signals, the signal-handler line, and lines logged after the stream was closed.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <pthread.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/log.h"
#include "support/logcap.h"
#include "support/proc.h"
#include "support/tempdir.h"

namespace {

// A zone 5 h 45 min east of UTC: an offset of whole hours, or no offset at all, would hide a
// prefix built from the wrong clock or a wrong conversion. Set before anything breaks time down.
const bool zone_set = [] {
    setenv("TZ", "<+0545>-5:45", 1);
    tzset();
    return true;
}();

using Lines = std::vector<std::string>;

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

// A start keeps one generation: a non-empty log becomes "<log>.1" (replacing an older one), an
// empty one is simply reused, and the new log starts empty.
TEST(Log, StartMovesANonEmptyLogToDotOne)
{
    TempDir dir;
    const std::string path = dir / "tolvad.log", old = path + ".1";
    struct {
        const char *name;
        const char *before;  // null: no file at the path
        const char *old_before;
        const char *old_after;
    } cases[] = {
        {"no log yet", nullptr, nullptr, nullptr},
        {"empty log is not kept", "", "older\n", "older\n"},
        {"previous run kept", "old line\nanother\n", nullptr, "old line\nanother\n"},
        {"one generation only", "run 2\n", "run 1\n", "run 2\n"},
    };
    for (const auto &c : cases) {
        unlink(path.c_str());
        unlink(old.c_str());
        if (c.before != nullptr)
            spit(path, c.before);
        if (c.old_before != nullptr)
            spit(old, c.old_before);
        logfile_path = path.c_str();
        log_init();
        EXPECT_EQ(slurp(path), "") << c.name;
        log_help("fresh\n");
        log_deinit();
        EXPECT_EQ(log_messages(slurp(path)), Lines{"fresh"}) << c.name;
        if (c.old_after == nullptr) {
            EXPECT_NE(access(old.c_str(), F_OK), 0) << c.name;
        } else {
            EXPECT_EQ(slurp(old), c.old_after) << c.name;
        }
    }
}

// What others could plant at the log path in a directory they may write to: the daemon writes
// into none of it, says so in one line on standard error and logs to standard output.
TEST(Log, RefusesWhatIsNotItsOwnRegularFile)
{
    TempDir dir;
    const std::string path = dir / "tolvad.log", target = dir / "target";
    struct {
        const char *name;
        std::function<void()> plant;
        const char *why;
    } cases[] = {
        {"symbolic link", [&] { ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0); }, "not a regular file"},
        {"dangling symbolic link", [&] { ASSERT_EQ(symlink((dir / "none").c_str(), path.c_str()), 0); },
         "not a regular file"},
        {"directory", [&] { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }, "not a regular file"},
        {"FIFO without a reader", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); }, "not a regular file"},
        {"hard link", [&] { ASSERT_EQ(link(target.c_str(), path.c_str()), 0); }, nullptr},
    };
    for (const auto &c : cases) {
        std::filesystem::remove_all(path);
        std::filesystem::remove_all(dir / "none");
        spit(target, "root's own file\n");
        ASSERT_EQ(chmod(target.c_str(), 0600), 0);
        c.plant();
        logfile_path = path.c_str();
        std::string err;
        const std::string out = capture_stdout([&] {
            testing::internal::CaptureStderr();
            log_init();
            err = testing::internal::GetCapturedStderr();
            log_help("line %d\n", 1);
        });
        log_deinit();
        EXPECT_EQ(err, c.why != nullptr ? "open logfile " + path + " error: " + c.why + "\n"
                                        : "open logfile " + path + " error\n")
            << c.name;
        EXPECT_EQ(log_messages(out), Lines{"line 1"}) << c.name;
        EXPECT_EQ(slurp(target), "root's own file\n") << c.name;
        EXPECT_NE(access((dir / "none").c_str(), F_OK), 0) << c.name << ": the link's target was created";
        EXPECT_NE(access((path + ".1").c_str(), F_OK), 0) << c.name << ": moved aside";
    }
}

TEST(Log, LogOpenNamesWhyItRefused)
{
    TempDir dir;
    const std::string path = dir / "tolvad.log", target = dir / "target";
    spit(target, "x\n");
    ASSERT_EQ(link(target.c_str(), path.c_str()), 0);
    logfile_path = path.c_str();
    const char *why = nullptr;
    EXPECT_EQ(log_open(&why), -1);
    EXPECT_STREQ(why, "a file with other names (hard links)");
    EXPECT_EQ(slurp(target), "x\n");
    const std::string missing = dir / "missing/x.log";
    logfile_path = missing.c_str();
    EXPECT_EQ(log_open(&why), -1);
    EXPECT_STREQ(why, "No such file or directory");
    log_deinit();
}

// A rotation by copy and truncation empties the file under the daemon: with O_APPEND the next
// line goes to the new end, not to the old offset behind a run of NUL bytes.
TEST(Log, CopyTruncateLeavesNoHole)
{
    LogCapture cap;
    for (int i = 0; i < 100; i++)
        log_help("before rotation %d\n", i);
    ASSERT_EQ(truncate(cap.path().c_str(), 0), 0);
    log_help("after rotation\n");
    const std::string raw = slurp(cap.path());
    EXPECT_EQ(raw.find('\0'), std::string::npos);
    EXPECT_EQ(log_messages(raw), Lines{"after rotation"});
}

// Renamed by a rotation tool, then SIGHUP: the lines that follow go to a new file at the path,
// which begins with the line saying so; the renamed file ends where it was renamed.
TEST(Log, ReopenAfterRenameStartsANewFileAtThePath)
{
    TempDir dir;
    const std::string path = dir / "tolvad.log", moved = dir / "tolvad.log.rotated";
    logfile_path = path.c_str();
    log_init();
    log_help("one\n");
    ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
    log_help("two\n");
    log_request_reopen();  // what the SIGHUP handler does
    log_help("three\n");
    log_signal_exit(SIGTERM);
    log_request_reopen();
    log_service();  // what the loop does
    log_deinit();
    EXPECT_EQ(log_messages(slurp(moved)), (Lines{"one", "two"}));
    EXPECT_EQ(log_messages(slurp(path)), (Lines{"Log file " + path + " reopened", "three",
                                                "received signo 15, start to exit", "Log file " + path + " reopened"}));
    EXPECT_NE(access((path + ".1").c_str(), F_OK), 0) << "a reopen keeps what is at the path";
}

TEST(Log, ReopenThatFailsKeepsTheOpenFile)
{
    TempDir dir;
    const std::string path = dir / "tolvad.log", moved = dir / "moved";
    logfile_path = path.c_str();
    log_init();
    ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    log_reopen();
    log_help("still here\n");
    log_deinit();
    EXPECT_EQ(log_messages(slurp(moved)),
              (Lines{"Cannot reopen log file " + path + ": not a regular file", "still here"}));
}

// With a bound, the file at the path never grows past it by more than one line; the older lines
// are in "<log>.1", and every line is in one of the two, whole and in order.
TEST(Log, SizeBoundRotatesToDotOne)
{
    TempDir dir;
    const std::string path = dir / "tolvad.log", old = path + ".1";
    logfile_path = path.c_str();
    log_init();
    constexpr uint64_t LIMIT = 16 * 1024;
    log_set_limit(LIMIT);
    const std::string pad(60, 'd');
    constexpr int N = 500;  // about 50 KB: the file turns over three times
    size_t longest = 0;
    for (int i = 0; i < N; i++) {
        log_help("data line %05d %s\n", i, pad.c_str());
        const off_t size = std::filesystem::file_size(path);
        ASSERT_LE(static_cast<uint64_t>(size), LIMIT) << "after line " << i;
        longest = std::max(longest, static_cast<size_t>(size));
    }
    log_set_limit(0);
    log_deinit();
    EXPECT_GT(longest, LIMIT - 200) << "the bound was not used";
    const std::string note = "Log file reached 16 KiB, earlier lines are in " + old;
    const Lines cur = log_messages(slurp(path)), prev = log_messages(slurp(old));
    ASSERT_FALSE(cur.empty());
    ASSERT_FALSE(prev.empty());
    EXPECT_EQ(cur.front(), note);
    EXPECT_EQ(prev.front(), note);
    // The newest lines end the file at the path, the ones just before them end "<log>.1".
    int want = N - 1;
    for (auto it = cur.rbegin(); it != cur.rend() - 1; ++it, --want)
        EXPECT_EQ(*it, "data line " + std::string(5 - std::to_string(want).size(), '0') + std::to_string(want) + " " + pad);
    for (auto it = prev.rbegin(); it != prev.rend() - 1; ++it, --want)
        EXPECT_EQ(*it, "data line " + std::string(5 - std::to_string(want).size(), '0') + std::to_string(want) + " " + pad);
}

// When the file cannot be renamed (here a directory holds "<log>.1"), one line says so and the
// log goes on in the same file, past its bound, until a reopen.
TEST(Log, SizeBoundThatCannotRotateSaysSoOnce)
{
    TempDir dir;
    const std::string path = dir / "tolvad.log";
    ASSERT_EQ(mkdir((path + ".1").c_str(), 0755), 0);
    logfile_path = path.c_str();
    log_init();
    log_set_limit(1024);
    for (int i = 0; i < 40; i++)
        log_help("line %02d %s\n", i, std::string(40, 'x').c_str());
    log_set_limit(0);
    log_deinit();
    const Lines lines = log_messages(slurp(path));
    ASSERT_EQ(lines.size(), 41u);
    const std::string note = "Cannot start a new log file at " + path + ": Is a directory; the log grows past its bound until SIGHUP";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), note), 1);
    EXPECT_EQ(lines.back(), "line 39 " + std::string(40, 'x'));
}

// A full file system takes part of a line: the part is cut off again, so the file holds whole
// lines only and the next line that fits starts cleanly. RLIMIT_FSIZE stands in for the full
// disk, in a child process.
TEST(Log, FullFileSystemWritesWholeLinesOrNothing)
{
    TempDir dir;
    const std::string path = dir / "tolvad.log";
    fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        logfile_path = path.c_str();
        log_init();
        struct rlimit lim = {1000, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &lim);
        for (int i = 0; i < 40; i++)
            log_help("line %02d of a full disk, thirty-odd bytes\n", i);
        lim.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &lim);
        log_help("room again\n");
        log_deinit();
        _exit(0);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    const std::string raw = slurp(path);
    EXPECT_LE(raw.size(), 1000u + 40u);
    const Lines lines = log_messages(raw);
    ASSERT_GE(lines.size(), 10u);
    for (size_t i = 0; i + 1 < lines.size(); i++) {
        char want[64];
        snprintf(want, sizeof want, "line %02zu of a full disk, thirty-odd bytes", i);
        EXPECT_EQ(lines[i], want);
    }
    EXPECT_EQ(lines.back(), "room again");
    EXPECT_EQ(raw.back(), '\n');
}

// After log_deinit the closed stream's descriptor number may belong to another file: a late line
// must not land there, and goes to standard output instead.
TEST(Log, LineAfterDeinitGoesToStandardOutput)
{
    char logpath[] = "/tmp/tolvad-logclosed-XXXXXX";
    int fd = mkstemp(logpath);
    ASSERT_GE(fd, 0);
    close(fd);
    logfile_path = logpath;
    log_init();
    ASSERT_NE(log_stream, nullptr);
    const int logfd = fileno(log_stream);
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
    logfile_path = "/nonexistent-tolvad-dir/sub/x.log";
    std::string err;
    const std::string out = capture_stdout([&] {
        testing::internal::CaptureStderr();
        log_init();
        err = testing::internal::GetCapturedStderr();
        log_help("to stdout %s\n", "ok");
    });
    EXPECT_EQ(log_stream, nullptr);
    EXPECT_EQ(err, "open logfile /nonexistent-tolvad-dir/sub/x.log error\n");
    EXPECT_EQ(log_messages(out), Lines{"to stdout ok"});
    log_deinit();
}

// "-" is standard error, as a tool's user means it; "./-" is still a file of that name. Neither
// a file "-" nor a word on standard output may come of the first.
TEST(Log, DashIsStandardErrorAndDotSlashDashAFile)
{
    struct Row {
        const char *path;
        Lines err, out, file;
    };
    const Row rows[] = {
        {"-", {"one", "No log file to reopen, lines go to standard error", "received signo 15, start to exit"}, {}, {}},
        {"./-", {}, {}, {"one", "Log file ./- reopened", "received signo 15, start to exit"}},
    };
    for (const Row &r : rows) {
        TempDir dir;
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        logfile_path = r.path;
        std::string err;
        const std::string out = capture_stdout([&] {
            testing::internal::CaptureStderr();
            log_init();
            log_help("one\n");
            log_request_reopen();
            log_service();
            log_signal_exit(SIGTERM);
            err = testing::internal::GetCapturedStderr();
        });
        log_deinit();
        const std::string file = slurp(dir / "-");
        ASSERT_EQ(chdir(cwd), 0);
        EXPECT_EQ(log_messages(err), r.err) << r.path;
        EXPECT_EQ(log_messages(out), r.out) << r.path;
        EXPECT_EQ(log_messages(file), r.file) << r.path;
        EXPECT_EQ(access((dir / "-").c_str(), F_OK) == 0, !r.file.empty()) << r.path;
    }
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
