// The daemon as a process: help and version texts, start-up failures and their log lines, the
// exit signals, SIGSEGV, and a storm of signals while the daemon logs as fast as it can.
//
// Every run of the daemon happens inside a network namespace made for it (unshare(CLONE_NEWNET) in
// the forked child), so nothing it does reaches this machine's interfaces or routes. For a
// running daemon the child also builds a veth pair to a second private namespace held by a peer
// process, 192.0.2.2/24 on the daemon's side with the default route via 192.0.2.1 on the peer's.
// Both namespaces vanish with their last process.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <algorithm>

#include "support/logcap.h"
#include "support/tempdir.h"
#include "support/proc.h"

namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

const char *const USAGE =
    "Quorvex SD-WAN Linux Client\n"
    "Usage: tolvad [options]\n"
    "Options:\n"
    "\t-f <config file>            special config filepath,[default: /etc/sdwan/kesp.conf]\n"
    "\t-l <log file>               special log filepath,[default: /tmp/kesp.log]\n"
    "\t-h                          display this\n"
    "\t-v                        version info\n";
const char *const VERSION = "version: linux_tolvad_x86 2025-03-13\n";

const std::string PEER_CONFIG = "[tsh0]\nserver=192.0.2.1\nusername=alice\npassword=secret\nport=4500\nmtu=1400\n";

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }


// Without root: a user namespace of its own, in which this user is root, gives the right to
// make a network namespace (where the host allows unprivileged user namespaces).
bool enter_userns()
{
    const std::string uid = "0 " + std::to_string(geteuid()) + " 1\n";
    const std::string gid = "0 " + std::to_string(getegid()) + " 1\n";
    if (unshare(CLONE_NEWUSER) != 0)
        return false;
    spit("/proc/self/setgroups", "deny");
    spit("/proc/self/uid_map", uid);
    spit("/proc/self/gid_map", gid);
    return geteuid() == 0;
}

// Forks the daemon into a network namespace of its own. `setup` runs with /bin/sh -e inside that
// namespace first; then the shell execs the daemon in its place, so the child's pid is the
// daemon's. Standard output and error go to files. No core files: a SIGSEGV test must not leave
// one behind.
pid_t spawn_daemon(const std::vector<std::string> &args, const std::string &setup, const std::string &out,
                   const std::string &err)
{
    const std::string script = "set -e\n" + setup + "\nexec \"$0\" \"$@\"\n";
    std::vector<std::string> argv_s = {"sh", "-c", script, TOLVAD_BIN};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : argv_s)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    fflush(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (geteuid() != 0 && !enter_userns())
        _exit(125);
    if (unshare(CLONE_NEWNET) != 0)
        _exit(125);
    struct rlimit nocore = {0, 0};
    setrlimit(RLIMIT_CORE, &nocore);
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || o < 0 || e < 0)
        _exit(124);
    dup2(in, STDIN_FILENO);
    dup2(o, STDOUT_FILENO);
    dup2(e, STDERR_FILENO);
    // Back to the default dispositions and an empty mask, whatever the test runner had.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv("/bin/sh", argv.data());
    _exit(127);
}

struct Outcome {
    bool ended = false;
    int status = 0;
    std::string out, err;
};

// Runs the daemon to its end (at most `ms`), in an empty private namespace.
Outcome run_daemon(const TempDir &dir, const std::vector<std::string> &args, int ms = 10000)
{
    Outcome o;
    pid_t pid = spawn_daemon(args, "ip link set lo up", dir / "stdout", dir / "stderr");
    if (pid < 0)
        return o;
    o.ended = wait_exit(pid, ms, &o.status);
    if (!o.ended)
        kill_and_reap(pid);
    o.out = slurp(dir / "stdout");
    o.err = slurp(dir / "stderr");
    return o;
}

bool exited_zero(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

bool private_netns_unprivileged()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(enter_userns() && unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int st = 0;
    return pid > 0 && wait_exit(pid, 5000, &st) && exited_zero(st);
}

// ---- texts and start-up failures ----

struct ArgsCase {
    const char *name;
    std::vector<std::string> args;  // "@" is replaced by the test's log path
    const char *out;
    const char *err_has;  // a piece of getopt's complaint, or null for an empty standard error
};

TEST(DaemonArgs, HelpAndVersionTextsExitAtOnceWithoutALog)
{
    if (geteuid() != 0 && !private_netns_unprivileged())
        GTEST_SKIP() << "this host allows no network namespace to an unprivileged user";
    const ArgsCase cases[] = {
        {"help", {"-h"}, USAGE, nullptr},
        {"help after paths shows the defaults", {"-f", "/x/other.conf", "-l", "@", "-h"}, USAGE, nullptr},
        {"help before version", {"-l", "@", "-h", "-v"}, USAGE, nullptr},
        {"version", {"-v"}, VERSION, nullptr},
        {"version before help", {"-l", "@", "-v", "-h"}, VERSION, nullptr},
        {"non-option arguments are ignored", {"stray", "-l", "@", "-h"}, USAGE, nullptr},
        {"unknown option reported, parsing goes on", {"-x", "-l", "@", "-h"}, USAGE, "invalid option -- 'x'"},
    };
    for (const ArgsCase &c : cases) {
        TempDir dir;
        const std::string log = dir / "never.log";
        std::vector<std::string> args = c.args;
        for (std::string &a : args)
            if (a == "@")
                a = log;
        const Outcome o = run_daemon(dir, args);
        ASSERT_TRUE(o.ended) << c.name;
        EXPECT_TRUE(exited_zero(o.status)) << c.name << ": status " << o.status;
        EXPECT_EQ(o.out, c.out) << c.name;
        if (c.err_has == nullptr)
            EXPECT_EQ(o.err, "") << c.name;
        else
            EXPECT_NE(o.err.find(c.err_has), std::string::npos) << c.name << ": " << o.err;
        EXPECT_FALSE(exists(log)) << c.name << ": log file created";
    }
}

bool exited_one(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 1; }

// A configuration that is missing, or is not a regular file of a sane size, stops the start-up
// (a device would be read forever, a directory would start a kernel-named interface). The log of
// the earlier run is kept as "<log>.1" and the new one starts empty.
TEST(DaemonStart, ConfigurationThatCannotBeReadStopsTheStart)
{
    REQUIRE_ROOT();
    TempDir dir;
    const std::string log = dir / "tolvad.log";
    ASSERT_EQ(mkdir((dir / "conf.d").c_str(), 0700), 0);
    const std::pair<std::string, std::string> cases[] = {{dir / "missing.conf", "No such file or directory"},
                                                         {dir / "conf.d", "Is a directory"},
                                                         {"/dev/zero", "Invalid argument"}};
    for (const auto &[cfg, reason] : cases) {
        const std::string before = "2020/1/1 0:00:00 a line of the previous run of " + cfg + "\n";
        spit(log, before);
        const Outcome o = run_daemon(dir, {"-f", cfg, "-l", log});
        ASSERT_TRUE(o.ended) << cfg;
        EXPECT_TRUE(exited_one(o.status)) << cfg << ": status " << o.status;
        EXPECT_EQ(log_messages(slurp(log)), (Lines{"Failed to load configuration file.", "Start quit", "EXIT"})) << cfg;
        EXPECT_EQ(slurp(log + ".1"), before) << cfg;
        EXPECT_EQ(o.out, "") << cfg;
        EXPECT_EQ(o.err, "tolvad: cannot read configuration file " + cfg + ": " + reason + "\n") << cfg;
    }
}

// Every failure before the loop runs: status 1, one line on standard error naming the cause,
// the log lines unchanged. "@" in a text stands for the test's directory.
struct StartCase {
    const char *name;
    const char *config;
    const char *setup;   // shell lines in the daemon's namespace
    Lines log;
    const char *err;
};

std::string at_dir(std::string text, const std::string &dir)
{
    for (size_t i; (i = text.find('@')) != std::string::npos;)
        text.replace(i, 1, dir);
    return text;
}

TEST(DaemonStart, FailuresExitOneAndSayWhyOnStandardError)
{
    REQUIRE_ROOT();
    if (!exists("/dev/net/tun"))
        GTEST_SKIP() << "no /dev/net/tun";
    const char *const ok = "[tsh0]\nserver=192.0.2.1\nusername=alice\npassword=secret\nport=4500\nmtu=1400\n";
    const std::string refuse = std::string(ok) + "waitroute=0\n";
    const StartCase cases[] = {
        {"blank before = leaves the port unset",
         "[tsh0]\nserver=192.0.2.1\nusername=alice\npassword=secret\nport = 4500\nmtu=1400\n", "ip link set lo up",
         {"sdwclnt configuration failed: INVALID port", "Start quit", "EXIT"},
         "tolvad: configuration file @/tolvad.conf: INVALID port\n"},
        {"interface name taken by a device that is no TUN", "[lo]\nserver=192.0.2.1\nusername=a\npassword=b\nport=4500\nmtu=1400\n",
         "ip link set lo up",
         {"System initial POLL mode success", "System initial timer success",
          "Failed to attach tun interface lo: Invalid argument", "Failed to initialize SD-WAN client.", "Start quit", "EXIT"},
         "tolvad: cannot create TUN interface lo through /dev/net/tun: Invalid argument\n"},
        {"no default route, waitroute=0", refuse.c_str(), "ip link set lo up",
         {"System initial POLL mode success", "System initial timer success", "sdwan client initial success",
          "Failed to load default route", "Failed to initialize SD-WAN client.",
          "Start quit", "EXIT"},
         "tolvad: no default route in /proc/net/route: the peer would be unreachable\n"},
    };
    for (const StartCase &c : cases) {
        TempDir dir;
        const std::string log = dir / "tolvad.log";
        // The log of an earlier run is moved aside: only this run's lines are in the file.
        spit(log, "2020/1/1 0:00:00 a line of the previous run\nand another\n");
        spit(dir / "tolvad.conf", c.config);
        ASSERT_EQ(chmod((dir / "tolvad.conf").c_str(), 0600), 0);
        pid_t pid = spawn_daemon({"-f", dir / "tolvad.conf", "-l", log}, c.setup, dir / "stdout", dir / "stderr");
        ASSERT_GT(pid, 0);
        int st = 0;
        const bool ended = wait_exit(pid, 10000, &st);
        if (!ended)
            kill_and_reap(pid);
        ASSERT_TRUE(ended) << c.name;
        EXPECT_TRUE(exited_one(st)) << c.name << ": status " << st;
        EXPECT_EQ(log_messages(slurp(log)), c.log) << c.name;
        EXPECT_EQ(slurp(dir / "stderr"), at_dir(c.err, dir.path())) << c.name;
        EXPECT_EQ(slurp(dir / "stdout"), "") << c.name;
    }
}

TEST(DaemonStart, LogInMissingDirectoryGoesToStandardOutput)
{
    REQUIRE_ROOT();
    TempDir dir;
    const std::string log = dir / "no-such-dir/tolvad.log";
    const Outcome o = run_daemon(dir, {"-l", log, "-f", dir / "missing.conf"});
    ASSERT_TRUE(o.ended);
    EXPECT_TRUE(exited_one(o.status)) << o.status;
    EXPECT_EQ(o.err, "open logfile " + log + " error\ntolvad: cannot read configuration file " + (dir / "missing.conf") +
                         ": No such file or directory\n");
    EXPECT_EQ(log_messages(o.out), (Lines{"Failed to load configuration file.", "Start quit", "EXIT"}));
    EXPECT_FALSE(exists(log));
}

// "-f" without its argument: getopt complains and the compiled-in path stays in use.
TEST(DaemonStart, OptionWithoutArgumentKeepsTheDefault)
{
    REQUIRE_ROOT();
    if (exists("/etc/sdwan/kesp.conf"))
        GTEST_SKIP() << "/etc/sdwan/kesp.conf exists on this host; the default path would load it";
    TempDir dir;
    const std::string log = dir / "tolvad.log";
    const Outcome o = run_daemon(dir, {"-l", log, "-f"});
    ASSERT_TRUE(o.ended);
    EXPECT_TRUE(exited_one(o.status)) << o.status;
    EXPECT_NE(o.err.find("tolvad: cannot read configuration file /etc/sdwan/kesp.conf: No such file or directory\n"),
              std::string::npos) << o.err;
    EXPECT_NE(o.err.find("option requires an argument -- 'f'"), std::string::npos) << o.err;
    EXPECT_EQ(log_messages(slurp(log)), (Lines{"Failed to load configuration file.", "Start quit", "EXIT"}));
}

// ---- a running daemon ----

// The peer's side of the link: a process in a network namespace of its own. Quiet, it only holds
// the namespace; blasting, it sends the daemon datagrams from 192.0.2.1:4500 (the configured peer)
// as fast as it can: data packets that are no IP packet, which the TUN device refuses with one
// line each, between datagrams of unknown types, whose lines the daemon rate-limits.
class PeerSide {
public:
    bool start(bool blast)
    {
        int ready[2], ctl[2];
        if (pipe(ready) != 0 || pipe(ctl) != 0)
            return false;
        fflush(nullptr);
        pid_ = fork();
        if (pid_ < 0)
            return false;
        if (pid_ == 0) {
            close(ready[0]);
            close(ctl[1]);
            char ok = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
            if (write(ready[1], &ok, 1) != 1 || ok != 'y')
                _exit(1);
            close(ready[1]);
            if (blast)
                blast_until_stopped(ctl[0]);
            char c;
            while (read(ctl[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(ctl[0]);
        ctl_ = ctl[1];
        char ok = 'n';
        const bool got = read(ready[0], &ok, 1) == 1;
        close(ready[0]);
        return got && ok == 'y';
    }
    // Ends the peer (closing its control pipe) and waits for it.
    void stop()
    {
        if (ctl_ >= 0)
            close(ctl_);
        ctl_ = -1;
        if (pid_ > 0) {
            int st;
            if (!wait_exit(pid_, 5000, &st))
                kill_and_reap(pid_);
        }
        pid_ = -1;
    }
    ~PeerSide() { stop(); }
    pid_t pid() const { return pid_; }

    // Shell lines, run in the daemon's namespace, that join it to this peer's namespace.
    std::string link_setup() const
    {
        const std::string p = std::to_string(pid_);
        return "ip link set lo up\n"
               "ip link add v0 type veth peer name v1 netns " + p + "\n"
               "ip addr add 192.0.2.2/24 dev v0\n"
               "ip link set v0 up\n"
               "nsenter --net=/proc/" + p + "/ns/net sh -ec "
               "'ip link set lo up; ip addr add 192.0.2.1/24 dev v1; ip link set v1 up'\n"
               "ip route add default via 192.0.2.1\n";
    }

private:
    pid_t pid_ = -1;
    int ctl_ = -1;

    static bool stopped(int ctl)
    {
        struct pollfd p = {ctl, POLLIN, 0};
        return poll(&p, 1, 0) != 0;  // readable means the test closed its end
    }

    // Runs in the peer process. Bounded: 30 s at most, whatever the test does.
    static void blast_until_stopped(int ctl)
    {
        const auto end = Clock::now() + std::chrono::seconds(30);
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in me = {};
        me.sin_family = AF_INET;
        me.sin_port = htons(4500);
        me.sin_addr.s_addr = htonl(0xC0000201);  // 192.0.2.1, once the daemon's side has set it
        while (bind(s, reinterpret_cast<sockaddr *>(&me), sizeof me) != 0) {
            if (Clock::now() > end || stopped(ctl))
                return;
            usleep(10000);
        }
        sockaddr_in client = {};
        bool known = false;
        const uint8_t types[] = {20, 19, 20, 21, 20, 0, 20, 99, 20, 255};
        uint8_t pkt[32] = {};
        for (unsigned i = 0; Clock::now() < end; i++) {
            uint8_t in[2048];
            sockaddr_in from = {};
            socklen_t fl = sizeof from;
            // The daemon's OPEN tells its current address and port (a new socket after a reset).
            while (recvfrom(s, in, sizeof in, 0, reinterpret_cast<sockaddr *>(&from), &fl) > 0) {
                client = from;
                known = true;
                fl = sizeof from;
            }
            if ((i & 63) == 0 && stopped(ctl))
                return;
            if (!known) {
                usleep(2000);
                continue;
            }
            pkt[0] = types[i % sizeof types];
            pkt[1] = static_cast<uint8_t>(i);
            if (sendto(s, pkt, sizeof pkt, 0, reinterpret_cast<sockaddr *>(&client), sizeof client) < 0)
                usleep(1000);  // the link's queue is full: let the daemon drain it
        }
    }
};

// A daemon started with a valid configuration in a namespace linked to a PeerSide.
class RunningDaemon : public ::testing::Test {
protected:
    TempDir dir;
    PeerSide peer;
    pid_t pid = -1;
    std::string log;

    void TearDown() override
    {
        kill_and_reap(pid);
        peer.stop();
    }

    // Starts the daemon and waits (bounded) until it logged "RUNNING".
    void start(bool blast, const std::string &extra_config = "", const TempDir *log_dir = nullptr)
    {
        REQUIRE_ROOT();
        log = (log_dir != nullptr ? *log_dir : dir) / "tolvad.log";
        spit(dir / "tolvad.conf", PEER_CONFIG + extra_config);
        // As a file holding a password should be: no permission warning in the log.
        ASSERT_EQ(chmod((dir / "tolvad.conf").c_str(), 0600), 0);
        ASSERT_TRUE(peer.start(blast)) << "peer namespace";
        pid = spawn_daemon({"-f", dir / "tolvad.conf", "-l", log}, peer.link_setup(), dir / "stdout", dir / "stderr");
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(wait_for_message("RUNNING", 1, 15000)) << "stderr: " << slurp(dir / "stderr") << "\nlog:\n"
                                                           << slurp(log);
    }

    int count(const Lines &lines, const std::string &m) const
    {
        int n = 0;
        for (const std::string &l : lines)
            n += l == m;
        return n;
    }
    int count_prefix(const Lines &lines, const std::string &p) const
    {
        int n = 0;
        for (const std::string &l : lines)
            n += l.rfind(p, 0) == 0;
        return n;
    }

    // Waits until the log holds `n` lines that begin with `m`, while the daemon lives.
    bool wait_for_message(const std::string &m, int n, int ms)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            if (count_prefix(log_messages(slurp(log)), m) >= n)
                return true;
            int st;
            if (waitpid(pid, &st, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            usleep(20000);
        }
        return false;
    }
};

class ExitSignal : public RunningDaemon, public ::testing::WithParamInterface<int> {};

TEST_P(ExitSignal, EndsTheLoopAndShutsDown)
{
    const int signo = GetParam();
    start(false);
    if (HasFatalFailure() || IsSkipped())
        return;
    const auto sent = Clock::now();
    ASSERT_EQ(kill(pid, signo), 0);
    int st = 0;
    ASSERT_TRUE(wait_exit(pid, 5000, &st)) << "still running 5 s after signal " << signo;
    const auto took = Clock::now() - sent;
    pid = -1;
    EXPECT_TRUE(exited_zero(st)) << "status " << st;
    // One poll wait of a second at most, then the shutdown.
    EXPECT_LT(took, std::chrono::milliseconds(2500));

    const Lines lines = log_messages(slurp(log));
    const std::string got = "received signo " + std::to_string(signo) + ", start to exit";
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(count(lines, got), 1);
    EXPECT_EQ(lines[lines.size() - 2], "Start quit");
    EXPECT_EQ(lines.back(), "EXIT");
    // Start-up in its order, and the signal's line before the shutdown's.
    const Lines order = {"System initial POLL mode success", "System initial timer success",
                         "sdwan client initial success", "INIT", "RUNNING", got, "Start quit", "EXIT"};
    size_t k = 0;
    for (const std::string &l : lines)
        if (k < order.size() && l == order[k])
            k++;
    EXPECT_EQ(k, order.size()) << "missing or out of order: " << (k < order.size() ? order[k] : "");
    for (const std::string &l : lines)
        EXPECT_EQ(l.rfind("<bad prefix>", 0), std::string::npos) << l;
    EXPECT_EQ(slurp(dir / "stdout"), "");
    EXPECT_EQ(slurp(dir / "stderr"), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, ExitSignal, ::testing::Values(SIGINT, SIGTERM, SIGUSR1, SIGUSR2),
                         [](const ::testing::TestParamInfo<int> &i) { return std::string(sigabbrev_np(i.param)); });

// SIGSEGV is logged like the exit signals, but the process must not go on running the faulting
// code nor exit as if nothing happened: it dies by the signal.
TEST_F(RunningDaemon, SegfaultIsLoggedAndKillsTheProcess)
{
    start(false);
    if (HasFatalFailure() || IsSkipped())
        return;
    ASSERT_EQ(kill(pid, SIGSEGV), 0);
    int st = 0;
    ASSERT_TRUE(wait_exit(pid, 5000, &st)) << "still running 5 s after SIGSEGV";
    pid = -1;
    ASSERT_TRUE(WIFSIGNALED(st)) << "status " << st;
    EXPECT_EQ(WTERMSIG(st), SIGSEGV);
    const Lines lines = log_messages(slurp(log));
    EXPECT_EQ(count(lines, "received signo 11, start to exit"), 1);
}

// Every message the daemon may write in this set-up: start-up, the AUTH cycle against a peer that
// only sends garbage, the signal lines and the shutdown.
bool signal_message(const std::string &m)
{
    for (int s : {SIGINT, SIGUSR1, SIGUSR2, SIGTERM})
        if (m == "received signo " + std::to_string(s) + ", start to exit")
            return true;
    return false;
}

bool known_message(const std::string &m)
{
    static const char *const fixed[] = {
        "System initial POLL mode success", "System initial timer success", "sdwan client initial success",
        "sdwan client socket reinit success", "sdwan client socket reg success", "INIT", "RUNNING",
        "INIT peer 192.0.2.1:4500", "AUTH start", "AUTH timeout", "Start quit", "EXIT",
        "Unknown packet type: 19", "Unknown packet type: 21", "Unknown packet type: 0", "Unknown packet type: 99",
        "Unknown packet type: 255",
    };
    for (const char *f : fixed)
        if (m == f)
            return true;
    // What the kernel grants depends on the kernel; the line itself is tested with the session.
    if (m.rfind("offloads: ", 0) == 0)
        return true;
    // The data packets' refusals, one each; the unknown types' lines, past five a second, summed up.
    static const std::regex summary(R"(\d+ lines suppressed in the last \d+ s: Unknown packet type \d+)");
    if (m == "Failed to send data to tunnel" || std::regex_match(m, summary))
        return true;
    return signal_message(m);
}

// A signal's bit in a /proc/PID/status mask such as "SigIgn:" or "SigCgt:".
bool proc_sig_bit(pid_t pid, const std::string &field, int signo)
{
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return (std::stoull(line.substr(field.size()), nullptr, 16) >> (signo - 1) & 1) != 0;
    return false;
}

// What a rotation tool does: rename the log, then SIGHUP. The daemon goes on in a new file at the
// path, which begins with the line saying so and gets every later line, the shutdown's among them.
// SIGPIPE is ignored: a write to a closed socket fails instead of ending the daemon.
TEST_F(RunningDaemon, HangupReopensTheLogAtItsPath)
{
    start(false);
    if (HasFatalFailure() || IsSkipped())
        return;
    EXPECT_TRUE(proc_sig_bit(pid, "SigIgn:", SIGPIPE));
    EXPECT_TRUE(proc_sig_bit(pid, "SigCgt:", SIGHUP));
    const std::string rotated = log + ".rotated";
    ASSERT_EQ(rename(log.c_str(), rotated.c_str()), 0);
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(wait_for_message("Log file " + log + " reopened", 1, 5000)) << slurp(rotated);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int st = 0;
    ASSERT_TRUE(wait_exit(pid, 5000, &st));
    pid = -1;
    EXPECT_TRUE(exited_zero(st)) << st;

    const Lines old = log_messages(slurp(rotated)), cur = log_messages(slurp(log));
    EXPECT_EQ(count(old, "RUNNING"), 1);
    EXPECT_EQ(count(old, "EXIT"), 0);
    ASSERT_GE(cur.size(), 4u);
    EXPECT_EQ(cur.front(), "Log file " + log + " reopened");
    EXPECT_EQ(count(cur, "received signo 15, start to exit"), 1);
    EXPECT_EQ(cur[cur.size() - 2], "Start quit");
    EXPECT_EQ(cur.back(), "EXIT");
    EXPECT_EQ(slurp(dir / "stderr"), "");
}

// A second start with the running daemon's -l that fails: the running daemon's log is neither
// renamed nor emptied (it would go on writing into "<log>.1"); the failed start's lines are
// added to it, and the running daemon's later lines still reach the same file.
TEST_F(RunningDaemon, FailedStartWithTheSameLogLeavesTheRunningDaemonsLog)
{
    start(false);
    if (HasFatalFailure() || IsSkipped())
        return;
    struct stat before = {};
    ASSERT_EQ(stat(log.c_str(), &before), 0);
    const Outcome o = run_daemon(dir, {"-f", dir / "missing.conf", "-l", log});
    ASSERT_TRUE(o.ended);
    EXPECT_TRUE(exited_one(o.status)) << o.status;
    EXPECT_FALSE(exists(log + ".1"));
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int st = 0;
    ASSERT_TRUE(wait_exit(pid, 5000, &st));
    pid = -1;
    struct stat after = {};
    ASSERT_EQ(stat(log.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);

    const Lines lines = log_messages(slurp(log));
    const Lines failed = {"Log file " + log + " is in use by another process, this run's lines are added to it",
                          "Failed to load configuration file.", "Start quit", "EXIT"};
    const auto at = std::search(lines.begin(), lines.end(), failed.begin(), failed.end());
    ASSERT_NE(at, lines.end()) << slurp(log);
    EXPECT_EQ(count(lines, "RUNNING"), 1);
    EXPECT_EQ(std::count(at + 4, lines.end(), "received signo 15, start to exit"), 1) << slurp(log);
    EXPECT_EQ(lines.back(), "EXIT");
}

// With logsize=1 and a line for every datagram the peer blasts, the log never holds more than
// 1 MiB and one line; "<log>.1" holds the lines before, and the new file says where they are.
TEST_F(RunningDaemon, LogsizeBoundsTheLogUnderAStreamOfPackets)
{
    // On a memory file system: with a sync per line a disk would take a minute to fill 1 MiB.
    TempDir shm("/dev/shm");
    ASSERT_FALSE(shm.path().empty());
    start(true, "logsize=1\n", &shm);
    if (HasFatalFailure() || IsSkipped())
        return;
    const std::string old = log + ".1";
    const auto end = Clock::now() + std::chrono::seconds(40);
    uint64_t largest = 0;
    while (!exists(old) && Clock::now() < end) {
        struct stat st{};
        if (stat(log.c_str(), &st) == 0)
            largest = std::max<uint64_t>(largest, static_cast<uint64_t>(st.st_size));
        usleep(50000);
    }
    ASSERT_TRUE(exists(old)) << "no rotation within 40 s; the log reached " << largest << " bytes";
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int st = 0;
    ASSERT_TRUE(wait_exit(pid, 5000, &st));
    pid = -1;
    peer.stop();

    const std::string note = "Log file reached 1 MiB, earlier lines are in " + old;
    const std::string prev = slurp(old);
    EXPECT_LE(prev.size(), 1024u * 1024u);
    EXPECT_GT(prev.size(), 1024u * 1024u - 200u);
    const Lines prev_lines = log_messages(prev), cur = log_messages(slurp(log));
    ASSERT_FALSE(cur.empty());
    EXPECT_EQ(cur.front(), note);
    EXPECT_EQ(cur.back(), "EXIT");
    EXPECT_EQ(count(prev_lines, "RUNNING"), 1) << "the first file holds the start";
    for (const Lines *ls : {&prev_lines, &cur})
        for (const std::string &l : *ls)
            EXPECT_TRUE(known_message(l) || l == note) << "torn or unknown line: " << l;
}

// Signals of all four kinds, one every tenth of a millisecond, while the daemon writes a line for each
// of hundreds of datagrams a second: every line of the log and of standard output comes out
// whole, the shutdown still runs to its end, and the process exits normally.
TEST_F(RunningDaemon, SignalStormDuringHeavyLoggingLeavesEveryLineWhole)
{
    start(true);
    if (HasFatalFailure() || IsSkipped())
        return;
    ASSERT_TRUE(wait_for_message("Failed to send data to tunnel", 200, 15000))
        << "the peer's datagrams did not reach the daemon\n"
        << slurp(log);

    const int sigs[] = {SIGUSR1, SIGUSR2, SIGINT, SIGTERM};
    const auto end = Clock::now() + std::chrono::seconds(4);
    int sent = 0, st = 0;
    bool ended = false;
    for (int i = 0; i < 8000 && Clock::now() < end; i++) {
        if (waitpid(pid, &st, WNOHANG) == pid) {
            ended = true;
            break;
        }
        kill(pid, sigs[i % 4]);
        sent++;
        usleep(100);
    }
    if (!ended)
        ended = wait_exit(pid, 5000, &st);
    ASSERT_TRUE(ended) << "daemon still running after the storm";
    pid = -1;
    peer.stop();
    EXPECT_TRUE(exited_zero(st)) << "status " << st;
    EXPECT_GT(sent, 10);
    EXPECT_EQ(slurp(dir / "stderr"), "");

    const std::string raw = slurp(log);
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(raw.back(), '\n');
    const Lines lines = log_messages(raw);
    int signal_lines = 0, packet_lines = 0;
    for (const std::string &l : lines) {
        EXPECT_TRUE(known_message(l)) << "torn or unknown line: " << l;
        signal_lines += signal_message(l);
        packet_lines += l == "Failed to send data to tunnel";
    }
    EXPECT_GE(signal_lines, 1);
    EXPECT_GE(packet_lines, 200);
    EXPECT_EQ(count(lines, "Start quit"), 1);
    EXPECT_EQ(count(lines, "EXIT"), 1);
    // The shutdown ran to its end; signals may still add their lines up to the log's closing.
    size_t k = 0;
    while (k < lines.size() && lines[k] != "Start quit")
        k++;
    for (k++; k < lines.size() && lines[k] != "EXIT"; k++)
        EXPECT_TRUE(signal_message(lines[k])) << "between the shutdown lines: " << lines[k];
    ASSERT_LT(k, lines.size()) << "no EXIT after Start quit";
    for (k++; k < lines.size(); k++)
        EXPECT_TRUE(signal_message(lines[k])) << "after EXIT: " << lines[k];
    // Signals that came after the log was closed were written to standard output, whole.
    for (const std::string &l : log_messages(slurp(dir / "stdout")))
        EXPECT_TRUE(signal_message(l)) << l;
}

}  // namespace
