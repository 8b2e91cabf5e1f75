// The peer server as a process, every run in a network namespace of its own: command line,
// start-up failures, and a whole run: TUN interface configured, a client accepted, a ping
// answered by the namespace's own kernel through the tunnel, CLOSE to the client on SIGTERM and
// exit status 0.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "peer/peer.h"
#include "base/log.h"
#include "support/wire.h"
#include "support/logcap.h"

using wire::Bytes;

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string drain(int fd)
{
    std::string s;
    char b[4096];
    ssize_t n;
    while ((n = read(fd, b, sizeof b)) > 0)
        s.append(b, static_cast<size_t>(n));
    return s;
}

ino_t netns_ino()
{
    struct stat st{};
    return stat("/proc/self/ns/net", &st) == 0 ? st.st_ino : 0;
}

// The namespace the test binary started in: the host's. No server ever runs in it, even one
// expected to refuse its arguments: a fault in that refusal would leave an interface and a bound
// port on the host.
const ino_t HOST_NETNS = netns_ino();

// In the child: a namespace of its own unless the test has one already; without root, through a
// user namespace. The namespace the server will run in, 0 when it could have none.
ino_t child_netns()
{
    if (netns_ino() == HOST_NETNS && unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return 0;
    const ino_t ino = netns_ino();
    return ino == HOST_NETNS ? 0 : ino;
}

// Forks a child that runs the server's entry point with these arguments in a private network
// namespace, with its standard output and error captured; returns the child's pid.
pid_t spawn(std::vector<std::string> args, int *outfd, int *errfd)
{
    int o[2], e[2], n[2];
    if (pipe(o) != 0 || pipe(e) != 0 || pipe(n) != 0)
        return -1;
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(o[1], 1);
        dup2(e[1], 2);
        close(o[0]);
        close(e[0]);
        close(n[0]);
        const ino_t ns = child_netns();
        if (write(n[1], &ns, sizeof ns) != static_cast<ssize_t>(sizeof ns) || ns == 0)
            _exit(125);
        close(n[1]);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = peer_main(static_cast<int>(args.size()), argv.data());
        fflush(stdout);
        fflush(stderr);
        _exit(rc);
    }
    close(o[1]);
    close(e[1]);
    close(n[1]);
    ino_t ns = 0;
    const bool told = read(n[0], &ns, sizeof ns) == static_cast<ssize_t>(sizeof ns);
    close(n[0]);
    EXPECT_TRUE(told && ns != 0 && ns != HOST_NETNS) << "the server must not run in the host's network namespace";
    *outfd = o[0];
    *errfd = e[0];
    return pid;
}

// Waits at most `ms` for the child; a child still running then is killed.
int reap(pid_t pid, int ms)
{
    int st = 0;
    for (int i = 0; i <= ms / 10; i++) {
        if (waitpid(pid, &st, WNOHANG) == pid)
            return st;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    return -1;
}

Outcome run(std::vector<std::string> args)
{
    Outcome r;
    int o = -1, e = -1;
    pid_t pid = spawn(std::move(args), &o, &e);
    if (pid < 0)
        return r;
    r.status = reap(pid, 10000);
    r.out = drain(o);
    r.err = drain(e);
    close(o);
    close(e);
    return r;
}

std::string temp_dir()
{
    char t[] = "/tmp/sdwan-peerd-test-XXXXXX";
    return mkdtemp(t) != nullptr ? std::string(t) : std::string();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
}

std::string read_text(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

TEST(PeerMain, UsageAndVersion)
{
    Outcome h = run({"sdwan-peerd", "-h"});
    EXPECT_TRUE(WIFEXITED(h.status) && WEXITSTATUS(h.status) == 0);
    EXPECT_EQ(h.out, "SD-WAN peer server\n"
                     "Usage: sdwan-peerd -f <config file> [-l <log file>] [-h] [-v]\n"
                     "Options:\n"
                     "\t-f <config file>    configuration file (required)\n"
                     "\t-l <log file>       log file, instead of the log= key or standard output\n"
                     "\t-h                  display this\n"
                     "\t-v                  version info\n");
    Outcome v = run({"sdwan-peerd", "-v"});
    EXPECT_TRUE(WIFEXITED(v.status) && WEXITSTATUS(v.status) == 0);
    EXPECT_EQ(v.out, "sdwan-peerd version 2025.03.13\n");
}

TEST(PeerMain, CommandLineAndConfigurationFaults)
{
    Outcome none = run({"sdwan-peerd"});
    EXPECT_TRUE(WIFEXITED(none.status) && WEXITSTATUS(none.status) == 2);
    EXPECT_EQ(none.err.substr(0, none.err.find('\n')), "sdwan-peerd: -f <config file> is required");
    EXPECT_EQ(none.out, "");

    std::string dir = temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string cfg = dir + "/peer.conf";
    write_file(cfg, "[sdwp0]\nport=0\npool=10.8.0.0\nuser=a:b\n");
    Outcome bad = run({"sdwan-peerd", "-f", cfg});
    EXPECT_TRUE(WIFEXITED(bad.status) && WEXITSTATUS(bad.status) == 1);
    EXPECT_EQ(bad.err, "sdwan-peerd: " + cfg + ": line 2: port must be 1 to 65535\n");
    EXPECT_EQ(bad.out, "");

    Outcome missing = run({"sdwan-peerd", "-f", dir + "/absent.conf"});
    EXPECT_TRUE(WIFEXITED(missing.status) && WEXITSTATUS(missing.status) == 1);
    EXPECT_EQ(missing.err, "sdwan-peerd: " + dir + "/absent.conf: cannot open: No such file or directory\n");

    Outcome notfile = run({"sdwan-peerd", "-f", dir});
    EXPECT_TRUE(WIFEXITED(notfile.status) && WEXITSTATUS(notfile.status) == 1);
    EXPECT_EQ(notfile.err, "sdwan-peerd: " + dir + ": not a regular file\n");

    // A log it cannot open stops the server before it touches the network: from the log= key
    // (a directory) and from -l (a link someone planted).
    const std::string target = dir + "/target", link = dir + "/peer.log";
    write_file(target, "untouched\n");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    write_file(cfg, "[sdwp0]\nport=4500\npool=10.8.0.0\nuser=a:b\nlog=" + dir + "\n");
    for (const auto &[args, path] : {std::pair<std::vector<std::string>, std::string>{{"sdwan-peerd", "-f", cfg}, dir},
                                     {{"sdwan-peerd", "-f", cfg, "-l", link}, link}}) {
        Outcome nolog = run(args);
        EXPECT_TRUE(WIFEXITED(nolog.status) && WEXITSTATUS(nolog.status) == 1) << path;
        EXPECT_EQ(nolog.err, "sdwan-peerd: cannot open log file " + path + ": not a regular file\n");
        EXPECT_EQ(nolog.out, "");
    }
    EXPECT_EQ(read_text(target), "untouched\n");
    unlink(link.c_str());
    unlink(target.c_str());
    unlink(cfg.c_str());
    rmdir(dir.c_str());
}

// Everything below creates interfaces: it runs only in a network namespace of its own.
class PeerNetns : public ::testing::Test {
protected:
    static inline bool ready = false;
    std::string dir;

    static void SetUpTestSuite()
    {
        if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0)
            return;
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "lo");
        ioctl(s, SIOCGIFFLAGS, &ifr);
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        ready = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
        close(s);
    }

    void SetUp() override
    {
        if (!ready)
            GTEST_SKIP() << "needs root to create a private network namespace";
        dir = temp_dir();
        ASSERT_FALSE(dir.empty());
    }

    void TearDown() override
    {
        if (dir.empty())
            return;
        unlink((dir + "/peer.conf").c_str());
        unlink((dir + "/peer.log").c_str());
        unlink((dir + "/peer.log.rotated").c_str());
        unlink((dir + "/peer.log.1").c_str());
        rmdir(dir.c_str());
    }

    static bool if_get(const char *name, unsigned long req, ifreq *ifr)
    {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        std::memset(ifr, 0, sizeof *ifr);
        std::strncpy(ifr->ifr_name, name, IFNAMSIZ - 1);
        bool ok = ioctl(s, req, ifr) == 0;
        close(s);
        return ok;
    }

    static uint32_t if_addr(const char *name, unsigned long req)
    {
        ifreq ifr;
        if (!if_get(name, req, &ifr))
            return 0;
        sockaddr_in a;
        std::memcpy(&a, &ifr.ifr_addr, sizeof a);
        return a.sin_addr.s_addr;
    }

    static int client()
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        return fd;
    }

    static void send_to(int fd, uint16_t port, const Bytes &b)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
    }

    static Bytes recv_wait(int fd, int ms)
    {
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, ms) != 1)
            return {};
        Bytes b(4096);
        ssize_t n = recv(fd, b.data(), b.size(), 0);
        b.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return b;
    }
};

TEST_F(PeerNetns, ServesAClientThroughItsInterfaceAndClosesOnSigterm)
{
    const uint16_t port = 47001;
    const std::string cfg = dir + "/peer.conf", logf = dir + "/peer.log";
    write_file(cfg, "[sdwp0]\nport=47001\npool=10.8.0.0\nmtu=1380\nencrypt=1\nuser=alice:secret\nlog=" + logf + "\n");
    int o = -1, e = -1;
    pid_t pid = spawn({"sdwan-peerd", "-f", cfg}, &o, &e);
    ASSERT_GT(pid, 0);
    // However the test ends, the server does not outlive it.
    struct Guard {
        pid_t &pid;
        ~Guard()
        {
            if (pid > 0)
                reap(pid, 0);
        }
    } guard{pid};

    // The handshake. The server opens its UDP port only once its interface is configured, so
    // an answer also means the interface is ready.
    int c = client();
    Bytes ack;
    for (int i = 0; i < 50 && ack.empty(); i++) {
        send_to(c, port, wire::open("alice", "secret", 1));
        ack = recv_wait(c, 100);
    }
    ASSERT_EQ(ack.size(), 24u + 6 + 6 + 4 + 3);
    EXPECT_EQ(ack[0], SDWAN_OPENACK);
    EXPECT_EQ(ack[1], 1);
    const Bytes key = wire::datakey("alice", "secret");
    uint16_t sid;
    uint32_t token;
    std::memcpy(&sid, &ack[2], 2);
    std::memcpy(&token, &ack[4], 4);

    // The interface: .1 of the pool, /24, up, the configured MTU.
    EXPECT_EQ(if_addr("sdwp0", SIOCGIFADDR), wire::addr("10.8.0.1"));
    EXPECT_EQ(if_addr("sdwp0", SIOCGIFNETMASK), wire::addr("255.255.255.0"));
    ifreq ifr;
    ASSERT_TRUE(if_get("sdwp0", SIOCGIFFLAGS, &ifr));
    EXPECT_TRUE(ifr.ifr_flags & IFF_UP);
    ASSERT_TRUE(if_get("sdwp0", SIOCGIFMTU, &ifr));
    EXPECT_EQ(ifr.ifr_mtu, 1380);

    // A ping from the client's tunnel address to the server's: the namespace's kernel answers
    // through the interface, and the answer comes back enciphered to the client.
    Bytes ping = wire::icmp_echo("10.8.0.2", "10.8.0.1", 0x4242, 7, 24);
    Bytes d = ping;
    wire::xor_payload(d.data(), d.size(), key);
    Bytes hdr = wire::header(SDWAN_EDATA, 1, sid, token);
    d.insert(d.begin(), hdr.begin(), hdr.end());
    Bytes reply;
    for (int i = 0; i < 20 && reply.empty(); i++) {
        send_to(c, port, d);
        reply = recv_wait(c, 200);
    }
    ASSERT_EQ(reply.size(), 8 + ping.size());
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8), hdr);
    wire::xor_payload(reply.data() + 8, reply.size() - 8, key);
    const uint8_t *ip = reply.data() + 8;
    EXPECT_EQ(ip[9], 1);  // ICMP
    EXPECT_EQ(Bytes(ip + 12, ip + 16), Bytes({10, 8, 0, 1}));
    EXPECT_EQ(Bytes(ip + 16, ip + 20), Bytes({10, 8, 0, 2}));
    EXPECT_EQ(ip[20], 0);  // echo reply
    EXPECT_EQ(Bytes(ip + 24, ip + 28), Bytes({0x42, 0x42, 0, 7}));

    // A rotation: the log renamed, then SIGHUP. The server goes on in a new file at the path.
    const std::string rotated = logf + ".rotated";
    ASSERT_EQ(rename(logf.c_str(), rotated.c_str()), 0);
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    const std::string reopened = " Log file " + logf + " reopened\n";
    for (int i = 0; i < 300 && read_text(logf).find(reopened) == std::string::npos; i++)
        usleep(10000);
    ASSERT_NE(read_text(logf).find(reopened), std::string::npos) << "no reopened log within 3 s";

    // SIGTERM: a CLOSE for the session, exit status 0, interface gone.
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    Bytes close_pkt = recv_wait(c, 3000);
    EXPECT_EQ(close_pkt, wire::control(SDWAN_CLOSE, 0, sid, token));
    int st = reap(pid, 5000);
    pid = 0;
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_EQ(if_nametoindex("sdwp0"), 0u);
    const std::string before = read_text(rotated), after = read_text(logf);
    EXPECT_NE(before.find(" accepted: user alice from 127.0.0.1:"), std::string::npos) << before;
    EXPECT_EQ(before.find(" EXIT\n"), std::string::npos) << before;
    const std::string first = after.substr(0, after.find('\n') + 1);
    EXPECT_EQ(first.size() - first.rfind(reopened), reopened.size()) << "the reopened line comes first:\n" << after;
    EXPECT_NE(after.find(" peer stopping, 1 sessions\n"), std::string::npos) << after;
    EXPECT_EQ(after.size() - after.rfind(" EXIT\n"), 6u) << after;
    close(c);
    close(o);
    close(e);

    std::vector<std::string> lines = log_messages(before + after);
    auto has = [&](const std::string &l) { return std::find(lines.begin(), lines.end(), l) != lines.end(); };
    const std::string from = std::to_string(sid);
    EXPECT_TRUE(has("peer listening on UDP 0.0.0.0:47001, interface sdwp0 10.8.0.1/24 mtu 1380, 1 users, encrypt granted on request"));
    bool accepted = false, closed = false;
    for (const std::string &l : lines) {
        accepted = accepted || (l.rfind("session " + from + " accepted: user alice from 127.0.0.1:", 0) == 0 &&
                                l.find(", address 10.8.0.2, encrypt 1") != std::string::npos);
        closed = closed || l.rfind("session " + from + " closed: user alice from 127.0.0.1:", 0) == 0;
    }
    EXPECT_TRUE(accepted);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(has("peer stopping, 1 sessions"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "EXIT");
}

// logsize= bounds the log: a reopen finds a file at the path 40 bytes short of 1 MiB, and the
// reopened line would take it past the bound.
TEST_F(PeerNetns, LogsizeBoundsTheLog)
{
    struct Row {
        const char *line;
        bool renamed;
    } const rows[] = {{"logsize=1\n", true}, {"", false}, {"logsize=0\n", false}};
    const std::string cfg = dir + "/peer.conf", logf = dir + "/peer.log";
    for (const Row &r : rows) {
        SCOPED_TRACE(r.line);
        unlink(logf.c_str());
        unlink((logf + ".1").c_str());
        write_file(cfg, "[sdwp2]\nport=47003\npool=10.7.0.0\nuser=a:b\n" + std::string(r.line));
        int o = -1, e = -1;
        pid_t pid = spawn({"sdwan-peerd", "-f", cfg, "-l", logf}, &o, &e);
        ASSERT_GT(pid, 0);
        for (int i = 0; i < 300 && read_text(logf).find(" peer listening ") == std::string::npos; i++)
            usleep(10000);
        ASSERT_EQ(rename(logf.c_str(), (logf + ".rotated").c_str()), 0);
        write_file(logf, "");
        ASSERT_EQ(truncate(logf.c_str(), static_cast<off_t>(LOG_MIB - 40)), 0);
        ASSERT_EQ(kill(pid, SIGHUP), 0);
        const std::string reopened = " Log file " + logf + " reopened\n";
        for (int i = 0; i < 300 && read_text(logf).find(reopened) == std::string::npos; i++)
            usleep(10000);
        ASSERT_EQ(kill(pid, SIGTERM), 0);
        const int st = reap(pid, 5000);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
        close(o);
        close(e);
        // The reopened line still went to the file it reopened; the next line found it full.
        const std::string text = read_text(logf), old = read_text(logf + ".1");
        EXPECT_EQ(text.size() - text.rfind(" EXIT\n"), 6u);
        EXPECT_NE((r.renamed ? old : text).find(reopened), std::string::npos);
        if (r.renamed) {
            EXPECT_GT(old.size(), LOG_MIB - 40);
            const std::vector<std::string> lines = log_messages(text);
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines[0], "Log file reached 1 MiB, earlier lines are in " + logf + ".1");
        } else {
            EXPECT_EQ(old, "");
            EXPECT_GT(text.size(), LOG_MIB);
        }
    }
}

TEST_F(PeerNetns, PortInUseStopsTheStartAndRemovesTheInterface)
{
    int busy = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(47002);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    const std::string cfg = dir + "/peer.conf", logf = dir + "/peer.log";
    write_file(cfg, "[sdwp1]\nport=47002\npool=10.9.0.0\nuser=a:b\n");
    Outcome r = run({"sdwan-peerd", "-f", cfg, "-l", logf});
    close(busy);
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1);
    // With a log file the journal would otherwise hear nothing of why.
    EXPECT_EQ(r.err, "sdwan-peerd: cannot bind UDP port 47002: Address already in use\n");
    EXPECT_EQ(if_nametoindex("sdwp1"), 0u);
    std::vector<std::string> lines = log_messages(read_text(logf));
    auto has = [&](const std::string &l) { return std::find(lines.begin(), lines.end(), l) != lines.end(); };
    EXPECT_TRUE(has("peer: cannot bind UDP port 47002: Address already in use"));
    EXPECT_TRUE(has("peer: start-up failed"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "EXIT");
}

}  // namespace
