// Messages to the service manager over a real notification socket owned by the test: what the
// environment turns on, the messages and their de-duplication, the session tick's STATUS=, the
// loop's WATCHDOG=1 on the monotonic clock, and whole runs of tolvad and of the peer server,
// each in a network namespace of its own: READY=1, STATUS=, WATCHDOG=1 and STOPPING=1, the
// status file while the daemon runs and its removal at the end.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "client/status.h"
#include "core/event.h"
#include "net/ipaddr.h"
#include "peer/peer.h"
#include "sdwan_build.h"
#include "base/notify.h"
#include "base/os.h"
#include "daemon/report.h"
#include "support/fakeclock.h"
#include "support/logcap.h"
#include "support/tempdir.h"
#include "support/proc.h"

namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;


// The service manager's end: a datagram socket bound to a path (a path, not an abstract name,
// so that a daemon in another network namespace reaches it as well).
class NotifySocket {
public:
    explicit NotifySocket(const std::string &path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() >= sizeof a.sun_path) {
            close_fd();
            return;
        }
        memcpy(a.sun_path, path.c_str(), path.size() + 1);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            close_fd();
    }
    ~NotifySocket()
    {
        close_fd();
        unlink(path_.c_str());
    }
    bool ok() const { return fd_ >= 0; }
    const std::string &path() const { return path_; }

    // Every message that arrives within ms (the wait ends at the first quiet period of ms).
    Lines take(int ms = 50)
    {
        Lines out;
        for (int i = 0; i < 256; i++) {
            std::string m;
            if (!next(ms, &m))
                break;
            out.push_back(m);
        }
        return out;
    }
    // Collects messages into *seen until msg has come, at most ms.
    bool wait_for(const std::string &msg, int ms, Lines *seen)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            std::string m;
            const int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (!next(left > 0 ? left : 0, &m))
                continue;
            seen->push_back(m);
            if (m == msg)
                return true;
        }
        return false;
    }

private:
    bool next(int ms, std::string *m)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) != 1)
            return false;
        char buf[4096];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n < 0)
            return false;
        m->assign(buf, static_cast<size_t>(n));
        return true;
    }
    void close_fd()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    std::string path_;
    int fd_ = -1;
};

int count(const Lines &l, const std::string &m)
{
    int n = 0;
    for (const std::string &s : l)
        n += s == m;
    return n;
}

// Sets or clears the three variables for one test and puts back what was there.
class NotifyEnv : public ::testing::Test {
protected:
    static constexpr const char *VARS[] = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"};
    void SetUp() override
    {
        if (!SDWAN_WITH_SYSTEMD)
            GTEST_SKIP() << "built without libsystemd: nothing is ever sent";
        for (const char *v : VARS) {
            const char *s = getenv(v);
            saved_.push_back(s != nullptr ? std::make_pair(true, std::string(s)) : std::make_pair(false, std::string()));
            unsetenv(v);
        }
    }
    void TearDown() override
    {
        for (size_t i = 0; i < saved_.size(); i++) {
            if (saved_[i].first)
                setenv(VARS[i], saved_[i].second.c_str(), 1);
            else
                unsetenv(VARS[i]);
        }
        notify_init();
    }
    static void set(const char *var, const char *value)
    {
        if (value != nullptr)
            setenv(var, value, 1);
        else
            unsetenv(var);
    }
    std::vector<std::pair<bool, std::string>> saved_;
};

TEST_F(NotifyEnv, WhatTheEnvironmentTurnsOn)
{
    const std::string self = std::to_string(getpid());
    struct EnvCase {
        const char *name;
        const char *sock;
        const char *usec;
        const char *pid;
        bool active;
        uint64_t watchdog;
    };
    const EnvCase cases[] = {
        {"run by hand", nullptr, nullptr, nullptr, false, 0},
        {"empty socket name", "", "3000000", nullptr, false, 0},
        {"socket without watchdog", "/run/x.sock", nullptr, nullptr, true, 0},
        {"watchdog without socket", nullptr, "3000000", nullptr, false, 0},
        {"socket and watchdog", "/run/x.sock", "3000000", nullptr, true, 3000000},
        {"watchdog for this process", "/run/x.sock", "3000000", self.c_str(), true, 3000000},
        {"watchdog meant for another process", "/run/x.sock", "3000000", "1", true, 0},
        {"watchdog period not a number", "/run/x.sock", "soon", nullptr, true, 0},
    };
    for (const EnvCase &c : cases) {
        set("NOTIFY_SOCKET", c.sock);
        set("WATCHDOG_USEC", c.usec);
        set("WATCHDOG_PID", c.pid);
        notify_init();
        EXPECT_EQ(notify_active(), c.active) << c.name;
        EXPECT_EQ(notify_watchdog_usec(), c.watchdog) << c.name;
    }
}

TEST_F(NotifyEnv, MessagesOverARealSocket)
{
    TempDir dir;
    NotifySocket sock(dir / "notify.sock");
    ASSERT_TRUE(sock.ok());
    set("NOTIFY_SOCKET", sock.path().c_str());
    set("WATCHDOG_USEC", "2000000");
    notify_init();

    notify_ready();
    notify_status("AUTH, peer 192.0.2.1:4500");
    notify_status("AUTH, peer 192.0.2.1:4500");  // unchanged: not sent again
    notify_watchdog();
    notify_status("DATA, peer 192.0.2.1:4500, address 10.8.0.2");
    notify_watchdog();
    notify_status(std::string(400, 'x').c_str());
    notify_status(std::string(300, 'x').c_str());  // the same once cut
    notify_stopping();
    EXPECT_EQ(sock.take(), (Lines{"READY=1", "STATUS=AUTH, peer 192.0.2.1:4500", "WATCHDOG=1",
                                  "STATUS=DATA, peer 192.0.2.1:4500, address 10.8.0.2", "WATCHDOG=1",
                                  "STATUS=" + std::string(NOTIFY_STATUS_MAX - 1, 'x'), "STOPPING=1\nSTATUS=Stopping"}));

    // notify_init forgets the last status; without a watchdog period there is no ping.
    unsetenv("WATCHDOG_USEC");
    notify_init();
    notify_watchdog();
    notify_status("AUTH, peer 192.0.2.1:4500");
    EXPECT_EQ(sock.take(), (Lines{"STATUS=AUTH, peer 192.0.2.1:4500"}));

    // Without a socket nothing is sent at all.
    unsetenv("NOTIFY_SOCKET");
    notify_init();
    notify_ready();
    notify_status("IDLE");
    notify_stopping();
    EXPECT_EQ(sock.take(), Lines{});
}

// The session tick's part: STATUS= when the session's line changes; the watchdog is the loop's.
TEST_F(NotifyEnv, SessionTickSendsStatusOnChange)
{
    TempDir dir;
    NotifySocket sock(dir / "notify.sock");
    ASSERT_TRUE(sock.ok());
    set("NOTIFY_SOCKET", sock.path().c_str());
    set("WATCHDOG_USEC", "30000000");
    notify_init();

    sdwan_t c{};
    c.io.udpsock = -1;
    c.io.tunfd = -1;
    c.sess.state = SDWANCLNT_AUTH;
    c.sess.peerip = str2ip("192.0.2.1");
    c.conf.peerport = 4500;
    snprintf(c.conf.user, sizeof c.conf.user, "alice");
    snprintf(c.conf.pass, sizeof c.conf.pass, "secret");
    status_tick(&c);
    status_tick(&c);
    c.sess.state = SDWANCLNT_DATA;
    c.sess.ip = str2ip("10.8.0.2");
    status_tick(&c);
    c.rtt.usec = {1500, 1500, 1500, 1500, 1};
    status_tick(&c);
    status_tick(&c);
    EXPECT_EQ(sock.take(), (Lines{"STATUS=AUTH, peer 192.0.2.1:4500", "STATUS=DATA, peer 192.0.2.1:4500, address 10.8.0.2",
                                  "STATUS=DATA, peer 192.0.2.1:4500, address 10.8.0.2, rtt 1.5 ms"}));
}

// The keep-alive and the one-second timers both run on the monotonic clock: a wall clock set back
// by a minute holds back neither.
TEST_F(NotifyEnv, WatchdogPingsGoOnWhenTheWallClockIsSetBack)
{
    TempDir dir;
    NotifySocket sock(dir / "notify.sock");
    ASSERT_TRUE(sock.ok());
    set("NOTIFY_SOCKET", sock.path().c_str());
    set("WATCHDOG_USEC", "30000000");
    notify_init();
    FakeClock::install(1700000000);
    {
        LogCapture quiet;
        ASSERT_EQ(os_init(), 0);
        poll_start(notify_watchdog, nullptr);
    }
    int ticks = 0;
    ASSERT_EQ(tm_add("tick", 1, [](void *n) { ++*static_cast<int *>(n); }, &ticks), 0);
    FakeClock::step_wall(-60);
    for (int i = 0; i < 4; i++) {
        FakeClock::advance(1);
        poll_once(0);
    }
    EXPECT_EQ(ticks, 4);
    EXPECT_EQ(sock.take(), Lines(4, "WATCHDOG=1"));
    poll_set_alive(nullptr, nullptr);
    FakeClock::uninstall();
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGUSR1, SIG_DFL);
    signal(SIGUSR2, SIG_DFL);
    signal(SIGSEGV, SIG_DFL);
}

// ---- whole processes, each in a network namespace of its own ----

// Forks into a new network namespace, with the given environment, stdout and stderr to files.
// The child runs body(); it never runs in this machine's namespace.
template <typename F>
pid_t spawn_in_netns(const std::vector<std::pair<std::string, std::string>> &env, const std::string &out, F body)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (unshare(CLONE_NEWNET) != 0)
        _exit(125);
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || o < 0)
        _exit(124);
    dup2(in, STDIN_FILENO);
    dup2(o, STDOUT_FILENO);
    dup2(o, STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const auto &[k, v] : env)
        setenv(k.c_str(), v.c_str(), 1);
    body();
    _exit(127);
}

class DaemonNotify : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!SDWAN_WITH_SYSTEMD)
            GTEST_SKIP() << "built without libsystemd: nothing is ever sent";
    }
    TempDir dir;
    pid_t pid = -1;
    void TearDown() override { kill_and_reap(pid); }
};

TEST_F(DaemonNotify, ReadyStatusWatchdogStoppingAndTheStatusFile)
{
    REQUIRE_ROOT();
    NotifySocket sock(dir / "notify.sock");
    ASSERT_TRUE(sock.ok());
    const std::string log = dir / "tolvad.log";
    const std::string cfg = dir / "tolvad.conf";
    const std::string prom = dir / "tolvad.prom";
    // Readable by everyone: the daemon warns, and runs all the same.
    spit(cfg, "[tnfy0]\nserver=192.0.2.1\nusername=alice\npassword=secret\nport=4500\nmtu=1400\nstatus=" + prom + "\n",
         0644);

    // The uplink is a veth pair of the daemon's own namespace: its OPENs go nowhere.
    const std::string setup = "set -e\n"
                              "ip link set lo up\n"
                              "ip link add up0 type veth peer name up1\n"
                              "ip addr add 192.0.2.2/24 dev up0\n"
                              "ip link set up0 up\nip link set up1 up\n"
                              "ip route add default via 192.0.2.1\n"
                              "export WATCHDOG_PID=$$\n"
                              "exec \"$0\" \"$@\"\n";
    pid = spawn_in_netns({{"NOTIFY_SOCKET", sock.path()}, {"WATCHDOG_USEC", "2000000"}}, dir / "out", [&] {
        execl("/bin/sh", "sh", "-c", setup.c_str(), TOLVAD_BIN, "-f", cfg.c_str(), "-l", log.c_str(),
              static_cast<char *>(nullptr));
    });
    ASSERT_GT(pid, 0);

    Lines seen;
    ASSERT_TRUE(sock.wait_for("READY=1", 15000, &seen)) << slurp(dir / "out") << slurp(log);
    // READY=1 is sent after the RUNNING line.
    const Lines at_ready = log_messages(slurp(log));
    EXPECT_EQ(count(at_ready, "RUNNING"), 1);
    ASSERT_TRUE(sock.wait_for("WATCHDOG=1", 3000, &seen));
    ASSERT_TRUE(sock.wait_for("WATCHDOG=1", 3000, &seen));
    EXPECT_EQ(count(seen, "STATUS=AUTH, peer 192.0.2.1:4500"), 1) << "sent once, not with every tick";
    EXPECT_EQ(count(seen, "READY=1"), 1);

    // The status file, written by the same tick.
    const std::string text = slurp(prom);
    EXPECT_NE(text.find("tolvad_session_state{interface=\"tnfy0\",state=\"AUTH\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("tolvad_peer_info{interface=\"tnfy0\",peer=\"192.0.2.1\",address=\"192.0.2.1\",port=\"4500\"} 1\n"),
              std::string::npos);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(sock.wait_for("STOPPING=1\nSTATUS=Stopping", 5000, &seen));
    int st = 0;
    ASSERT_TRUE(wait_exit(pid, 5000, &st));
    pid = -1;
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_NE(access(prom.c_str(), F_OK), 0) << "status file left after the stop";

    const Lines lines = log_messages(slurp(log));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Warning: configuration file " + cfg + " is readable by other users; it holds a password");
    EXPECT_EQ(lines.back(), "EXIT");
    // Nothing after the stop but the watchdog's last pings.
    for (const std::string &m : sock.take(100))
        EXPECT_EQ(m, "WATCHDOG=1");
}

TEST_F(DaemonNotify, PeerServerReadyStatusWatchdogStopping)
{
    REQUIRE_ROOT();
    NotifySocket sock(dir / "notify.sock");
    ASSERT_TRUE(sock.ok());
    const std::string cfg = dir / "peer.conf";
    const std::string log = dir / "peer.log";
    spit(cfg, "[pnfy0]\nport=47011\npool=10.8.0.0\nuser=alice:secret\n", 0600);
    pid = spawn_in_netns({{"NOTIFY_SOCKET", sock.path()}, {"WATCHDOG_USEC", "2000000"}}, dir / "out", [&] {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "lo");
        ioctl(s, SIOCGIFFLAGS, &ifr);
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        ioctl(s, SIOCSIFFLAGS, &ifr);
        close(s);
        std::string a0 = "sdwan-peerd", a1 = "-f", a3 = "-l";
        std::string a2 = cfg, a4 = log;
        char *argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), nullptr};
        const int rc = peer_main(5, argv);
        fflush(nullptr);
        _exit(rc);
    });
    ASSERT_GT(pid, 0);

    Lines seen;
    ASSERT_TRUE(sock.wait_for("READY=1", 10000, &seen)) << slurp(dir / "out") << slurp(log);
    ASSERT_TRUE(sock.wait_for("WATCHDOG=1", 3000, &seen));
    ASSERT_TRUE(sock.wait_for("WATCHDOG=1", 3000, &seen));
    EXPECT_EQ(count(seen, "STATUS=Listening on UDP 0.0.0.0:47011, 0 sessions"), 1) << "sent once, before READY=1";
    EXPECT_EQ(seen.front(), "STATUS=Listening on UDP 0.0.0.0:47011, 0 sessions");
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(sock.wait_for("STOPPING=1\nSTATUS=Stopping", 5000, &seen));
    int st = 0;
    ASSERT_TRUE(wait_exit(pid, 5000, &st));
    pid = -1;
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

// A start-up that fails leaves its cause as the unit's status line, the last message sent: the
// unit restarts the daemon, and systemctl status shows no journal line of a finished attempt.
TEST_F(DaemonNotify, FailedStartLeavesItsCauseAsTheStatus)
{
    struct Row {
        const char *conf;
        bool peer;
        std::string want;
    };
    const std::string cfg = dir / "bad.conf";
    const Row rows[] = {
        {"[tbad0]\nport=4500\nusername=a\npassword=b\nmtu=1400\n", false,
         "STATUS=configuration file " + cfg + ": INVALID peer server"},
        {"[pbad0]\nport=4500\nuser=alice:secret\n", true, "STATUS=" + cfg + ": no pool= line"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.want);
        NotifySocket sock(dir / "notify.sock");
        ASSERT_TRUE(sock.ok());
        spit(cfg, r.conf, 0600);
        const std::string log = dir / "bad.log";
        pid = spawn_in_netns({{"NOTIFY_SOCKET", sock.path()}}, dir / "out", [&] {
            std::string a0 = r.peer ? "sdwan-peerd" : "tolvad", a1 = "-f", a3 = "-l";
            std::string a2 = cfg, a4 = log;
            char *argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), nullptr};
            if (r.peer) {
                const int rc = peer_main(5, argv);
                fflush(nullptr);
                _exit(rc);
            }
            execv(TOLVAD_BIN, argv);
        });
        ASSERT_GT(pid, 0);
        int st = 0;
        ASSERT_TRUE(wait_exit(pid, 5000, &st));
        pid = -1;
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st << slurp(dir / "out");
        const Lines seen = sock.take(100);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back(), r.want);
        EXPECT_EQ(count(seen, "READY=1"), 0);
    }
}

}  // namespace
