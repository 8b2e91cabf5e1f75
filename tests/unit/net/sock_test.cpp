#include "net/sock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "net/rtnl.h"
#include "net/tmrfd.h"
#include "support/logcap.h"
#include "support/netns.h"
#include "support/proc.h"

namespace {

// A plain UDP socket bound to addr:port (port 0: any); its port in host order via *bound.
int bound_socket(uint32_t addr, uint16_t port, uint16_t *bound)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = addr;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
        ADD_FAILURE() << "bind: " << std::strerror(errno);
        return -1;
    }
    socklen_t l = sizeof sin;
    getsockname(s, reinterpret_cast<sockaddr *>(&sin), &l);
    *bound = ntohs(sin.sin_port);
    return s;
}

uint16_t local_port(int s)
{
    sockaddr_in sin{};
    socklen_t l = sizeof sin;
    getsockname(s, reinterpret_cast<sockaddr *>(&sin), &l);
    return ntohs(sin.sin_port);
}

class SockTest : public NetnsTest {};

}  // namespace

// Needs no privilege and touches nothing outside the process, so it runs everywhere.
TEST(SockInit, SocketOptions)
{
    int s = sock_udpinit();
    ASSERT_GE(s, 0);
    EXPECT_EQ(fcntl(s, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    int v = 0;
    socklen_t l = sizeof v;
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_BROADCAST, &v, &l), 0);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_DOMAIN, &v, &l), 0);
    EXPECT_EQ(v, AF_INET);
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_TYPE, &v, &l), 0);
    EXPECT_EQ(v, SOCK_DGRAM);
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_PROTOCOL, &v, &l), 0);
    EXPECT_EQ(v, IPPROTO_UDP);
    EXPECT_EQ(local_port(s), 0) << "the socket must not be bound before its first send";
    // Room for bursts: 1 MiB each way (the kernel reports twice what was set). Past the system's
    // cap only with the privilege the daemon runs with.
    if (geteuid() == 0) {
        for (int opt : {SO_RCVBUF, SO_SNDBUF}) {
            ASSERT_EQ(getsockopt(s, SOL_SOCKET, opt, &v, &l), 0);
            EXPECT_EQ(v, 2 << 20) << (opt == SO_RCVBUF ? "SO_RCVBUF" : "SO_SNDBUF");
        }
    }

    sock_close(s);
    EXPECT_EQ(fcntl(s, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

#if defined(__x86_64__) || defined(__aarch64__)
#if defined(__x86_64__)
constexpr uint32_t THIS_ARCH = AUDIT_ARCH_X86_64;
#else
constexpr uint32_t THIS_ARCH = AUDIT_ARCH_AARCH64;
#endif
// A kernel that refuses every socket option (a sandbox's seccomp filter makes it so): the socket
// is still made, and each refused option has its line. In a child, which the filter then binds.
TEST(SockInit, RefusedOptionsAreNamedAndTheSocketStillServes)
{
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int bad = 0;
        {
            LogCapture log;
            sock_filter f[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, THIS_ARCH, 1, 0),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_setsockopt, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            sock_fprog prog{static_cast<unsigned short>(sizeof f / sizeof f[0]), f};
            if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
                _exit(2);
            const int s = sock_udpinit();
            const std::vector<std::string> want = {
                "Failed to set SO_BROADCAST on the UDP socket: Operation not permitted",
                "Failed to set SO_RCVBUF on the UDP socket: Operation not permitted",
                "Failed to set SO_SNDBUF on the UDP socket: Operation not permitted",
            };
            for (const std::string &l : log.all())
                fprintf(stderr, "logged: %s\n", l.c_str());
            bad = s < 0 || (fcntl(s, F_GETFL) & O_NONBLOCK) == 0 || log.all() != want ||
                  sock_gso_probe(s) != -EPERM || sock_gro_enable(s) != -EPERM ||
                  sock_bufsz(s, SO_RCVBUFFORCE, SO_RCVBUF, 4096) != -EPERM;
        }
        _exit(bad);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0) << "2: no seccomp filter could be set";
}
#endif

// Ports cross the interface in host order both ways, whatever their two bytes look like.
TEST_F(SockTest, DatagramRoundTripOnLoopbackWithPortsInHostOrder)
{
    const uint32_t lo = ip("127.0.0.1");
    const uint32_t resolver = ip("127.0.0.53");
    for (uint16_t port : {uint16_t{53}, uint16_t{0x1234}, uint16_t{0xFF01}, uint16_t{65535}}) {
        SCOPED_TRACE(port);
        uint16_t bound = 0;
        int peer = bound_socket(resolver, port, &bound);
        ASSERT_GE(peer, 0);
        int s = sock_udpinit();
        ASSERT_GE(s, 0);

        uint8_t out[5] = {0x13, 0x00, 0xFF, 0x42, 0x80};
        EXPECT_EQ(sock_sendto(s, resolver, port, out, sizeof out), 5);
        ASSERT_TRUE(fd_wait_readable(peer, 1000));
        uint8_t got[16];
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        ASSERT_EQ(recvfrom(peer, got, sizeof got, 0, reinterpret_cast<sockaddr *>(&from), &fl), 5);
        EXPECT_EQ(std::memcmp(got, out, 5), 0);
        EXPECT_EQ(from.sin_addr.s_addr, lo);
        EXPECT_EQ(ntohs(from.sin_port), local_port(s));

        // The answer: the sender's address as it is, its port converted.
        uint8_t reply[3] = {7, 8, 9};
        ASSERT_EQ(sendto(peer, reply, 3, 0, reinterpret_cast<sockaddr *>(&from), fl), 3);
        ASSERT_TRUE(fd_wait_readable(s, 1000));
        uint32_t r_ip = 0;
        uint16_t r_port = 0;
        uint8_t in[16] = {};
        EXPECT_EQ(sock_recvfrom(s, &r_ip, &r_port, in, sizeof in), 3);
        EXPECT_EQ(std::memcmp(in, reply, 3), 0);
        EXPECT_EQ(r_ip, resolver);
        EXPECT_EQ(r_port, port);

        sock_close(s);
        close(peer);
    }
}

TEST_F(SockTest, EmptyDatagramReadsAsZeroButStoresTheSender)
{
    uint16_t port = 0;
    int peer = bound_socket(ip("127.0.0.1"), 0, &port);
    ASSERT_GE(peer, 0);
    int s = sock_udpinit();
    ASSERT_GE(s, 0);
    ASSERT_EQ(sock_sendto(s, ip("127.0.0.1"), port, nullptr, 0), 0);  // len 0 sent is 0 returned
    // Let the peer learn s's port, then send it an empty datagram.
    ASSERT_TRUE(fd_wait_readable(peer, 1000));
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    uint8_t scratch[4];
    ASSERT_EQ(recvfrom(peer, scratch, sizeof scratch, 0, reinterpret_cast<sockaddr *>(&from), &fl), 0);
    ASSERT_EQ(sendto(peer, scratch, 0, 0, reinterpret_cast<sockaddr *>(&from), fl), 0);

    ASSERT_TRUE(fd_wait_readable(s, 1000));
    uint32_t r_ip = 0xDEADBEEF;
    uint16_t r_port = 0xBEEF;
    uint8_t in[8];
    EXPECT_EQ(sock_recvfrom(s, &r_ip, &r_port, in, sizeof in), 0);
    EXPECT_EQ(r_ip, ip("127.0.0.1"));
    EXPECT_EQ(r_port, port);
    sock_close(s);
    close(peer);
}

TEST_F(SockTest, LongDatagramIsCutToLenAndTheRestIsLost)
{
    uint16_t port = 0;
    int peer = bound_socket(ip("127.0.0.1"), 0, &port);
    ASSERT_GE(peer, 0);
    int s = sock_udpinit();
    ASSERT_GE(s, 0);
    uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(sock_sendto(s, ip("127.0.0.1"), port, ten, 1), 1);
    ASSERT_TRUE(fd_wait_readable(peer, 1000));
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    uint8_t scratch[4];
    ASSERT_EQ(recvfrom(peer, scratch, sizeof scratch, 0, reinterpret_cast<sockaddr *>(&from), &fl), 1);
    ASSERT_EQ(sendto(peer, ten, sizeof ten, 0, reinterpret_cast<sockaddr *>(&from), fl), 10);

    ASSERT_TRUE(fd_wait_readable(s, 1000));
    uint8_t in[8];
    std::memset(in, 0xEE, sizeof in);
    uint32_t r_ip = 0;
    uint16_t r_port = 0;
    EXPECT_EQ(sock_recvfrom(s, &r_ip, &r_port, in, 4), 4);
    const uint8_t want[8] = {1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(std::memcmp(in, want, sizeof in), 0);

    // Nothing of it is left to read: the next receive fails at once and touches nothing.
    LogCapture log;
    r_ip = 0xDEADBEEF;
    r_port = 0xBEEF;
    EXPECT_EQ(sock_recvfrom(s, &r_ip, &r_port, in, sizeof in), -EAGAIN);
    EXPECT_EQ(r_ip, 0xDEADBEEFu);
    EXPECT_EQ(r_port, 0xBEEF);
    EXPECT_TRUE(log.all().empty()) << "a receive with nothing waiting logs nothing";
    sock_close(s);
    close(peer);
}

TEST_F(SockTest, FailedSendLogsAndReturnsTheNegativeErrno)
{
    int s = sock_udpinit();
    ASSERT_GE(s, 0);
    std::vector<uint8_t> huge(70000, 0x5A);
    struct {
        const char *what;
        uint32_t to;
        uint32_t len;
        int rc;
    } const rows[] = {
        {"more than a UDP datagram can carry", ip("127.0.0.1"), static_cast<uint32_t>(huge.size()), -EMSGSIZE},
        {"no route at all in this namespace", ip("203.0.113.1"), 1, -ENETUNREACH},
    };
    for (const auto &r : rows) {
        LogCapture log;
        EXPECT_EQ(sock_sendto(s, r.to, 9, huge.data(), r.len), r.rc) << r.what;
        EXPECT_EQ(log.all(), std::vector<std::string>{"Sendto error"}) << r.what;
    }
    sock_close(s);
}

TEST_F(SockTest, BroadcastIsPermitted)
{
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip link add bc0 type veth peer name bc1", &err) &&
                netns_sh_ok("ip addr add 10.9.0.1/24 dev bc0", &err) &&
                netns_sh_ok("ip link set bc1 up", &err) && netns_sh_ok("ip link set bc0 up", &err))
        << err;
    const uint32_t bcast = ip("10.9.0.255");
    uint8_t b = 0x42;

    // Without the option the kernel refuses the same send, so the check below means something.
    int plain = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = bcast;
    EXPECT_EQ(sendto(plain, &b, 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), -1);
    EXPECT_EQ(errno, EACCES);
    close(plain);

    int s = sock_udpinit();
    ASSERT_GE(s, 0);
    EXPECT_EQ(sock_sendto(s, bcast, 9, &b, 1), 1);
    sock_close(s);
}

namespace {

// Every datagram waiting on a plain socket, by size and content, for a moment after the last.
std::vector<std::vector<uint8_t>> drain(int s)
{
    std::vector<std::vector<uint8_t>> got;
    uint8_t buf[65536];
    while (fd_wait_readable(s, 200)) {
        const ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n < 0)
            break;
        got.emplace_back(buf, buf + n);
    }
    return got;
}

std::vector<std::vector<uint8_t>> cut(const std::vector<uint8_t> &train, size_t seg)
{
    std::vector<std::vector<uint8_t>> d;
    for (size_t off = 0; off < train.size(); off += seg)
        d.emplace_back(train.begin() + static_cast<long>(off),
                       train.begin() + static_cast<long>(std::min(train.size(), off + seg)));
    return d;
}

}  // namespace

// A train sent with one call reaches a plain socket as the datagrams it stands for, and a socket
// with receive offload as one train with its datagram size; the one-by-one way sends the same.
TEST_F(SockTest, SegmentedTrainsArriveAsTheirDatagrams)
{
    const uint32_t lo = ip("127.0.0.1");
    std::vector<uint8_t> train(5 * 1000 + 300);
    for (size_t i = 0; i < train.size(); i++)
        train[i] = static_cast<uint8_t>(i * 7 + i / 1000);
    const auto want = cut(train, 1000);

    uint16_t plain_port = 0;
    int plain = bound_socket(lo, 0, &plain_port);
    uint16_t gro_port = 0;
    int gro = bound_socket(lo, 0, &gro_port);
    ASSERT_GE(plain, 0);
    ASSERT_GE(gro, 0);
    ASSERT_EQ(sock_gro_enable(gro), 0);
    int s = sock_udpinit();
    ASSERT_EQ(sock_gso_probe(s), 0);

    for (bool on : {true, false}) {
        SCOPED_TRACE(on ? "segmentation offload" : "one by one");
        bool gso = on;
        ASSERT_EQ(sock_send_gso(s, lo, plain_port, train.data(), static_cast<uint32_t>(train.size()), 1000, &gso),
                  static_cast<int>(train.size()));
        EXPECT_EQ(gso, on);
        const auto got_plain = drain(plain);
        EXPECT_EQ(got_plain.size(), want.size());
        EXPECT_TRUE(got_plain == want);

        ASSERT_EQ(sock_send_gso(s, lo, gro_port, train.data(), static_cast<uint32_t>(train.size()), 1000, &gso),
                  static_cast<int>(train.size()));
        std::vector<uint8_t> got;
        size_t trains = 0;
        uint32_t r_ip = 0;
        uint16_t r_port = 0;
        std::vector<uint8_t> buf(65535);
        while (fd_wait_readable(gro, 200)) {
            uint32_t segsz = 0;
            const int n = sock_recv_gro(gro, &r_ip, &r_port, buf.data(), static_cast<uint32_t>(buf.size()), &segsz);
            ASSERT_GT(n, 0);
            // Every datagram of a train but its last is segsz long.
            EXPECT_TRUE(static_cast<uint32_t>(n) == segsz || segsz == 1000) << n << " bytes in datagrams of " << segsz;
            got.insert(got.end(), buf.begin(), buf.begin() + n);
            trains++;
        }
        EXPECT_TRUE(got == train);
        EXPECT_EQ(r_ip, lo);
        EXPECT_EQ(r_port, local_port(s));
        if (on) {
            EXPECT_EQ(trains, 1u) << "a train over loopback stays whole";
        }
    }

    // A train the kernel refuses (more datagrams in one call than any kernel takes, 64 or 128) goes one datagram at a
    // time, this one and every later one, with one line saying so.
    LogCapture log;
    bool gso = true;
    ASSERT_EQ(sock_send_gso(s, lo, plain_port, train.data(), static_cast<uint32_t>(train.size()), 40, &gso),
              static_cast<int>(train.size()));
    EXPECT_FALSE(gso);
    const auto small = drain(plain);
    EXPECT_EQ(small.size(), cut(train, 40).size());
    EXPECT_TRUE(small == cut(train, 40));
    EXPECT_EQ(log.all(), std::vector<std::string>{"UDP segmentation refused (Invalid argument): sending one datagram at a time"});
    close(plain);
    close(gro);
    sock_close(s);
}

namespace {
// An uplink's socket: tied to its interface (a datagram to the peer leaves by it whatever the
// routes prefer), bound to SOURCE when asked; the kernel's refusals as negative errnos. Beside
// it, what the paths read of an interface (index, carrier, address) and their timer descriptor.
TEST_F(SockTest, UplinkSocketLinkStateAndTimer)
{
    if (IsSkipped())
        return;
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip link add ua type veth peer name ua-p && ip link add ub type veth peer name ub-p && "
                            "ip addr add 10.61.0.1/24 dev ua && ip addr add 10.62.0.1/24 dev ub && "
                            "ip link set ua up && ip link set ua-p up && ip link set ub up && ip link set ub-p up && "
                            "ip route add default via 10.61.0.2 dev ua",
                            &err))
        << err;
    const uint32_t ub_ip = inet_addr("10.62.0.1");
    struct {
        const char *what;
        const char *ifname;
        uint32_t source;
        int want;  // 0: a socket
    } const rows[] = {
        {"no such interface", "nosuch0", 0, -ENODEV},
        {"source not the host's", "ub", inet_addr("10.62.0.9"), -EADDRNOTAVAIL},
        {"tied to ub", "ub", 0, 0},
        {"tied to ub, from its address", "ub", ub_ip, 0},
    };
    uint8_t far = 2;  // a neighbour not yet asked for each row: its ARP request is what leaves
    for (const auto &r : rows) {
        const int s = sock_udpinit_dev(r.ifname, r.source);
        if (r.want != 0) {
            EXPECT_EQ(s, r.want) << r.what;
            continue;
        }
        ASSERT_GE(s, 0) << r.what;
        char dev[16] = {};
        socklen_t dl = sizeof dev;
        ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, dev, &dl), 0);
        EXPECT_STREQ(dev, r.ifname) << r.what;
        EXPECT_TRUE((fcntl(s, F_GETFD) & FD_CLOEXEC) != 0) << r.what;
        // To an address only ua's default route covers, the datagram still leaves by ub (its
        // neighbour lookup there shows it: a packet counted on ub).
        const char *tx = "ip -s link show dev ub | awk 'f {print $2; exit} /TX:/ {f = 1}'";
        const std::string before = netns_sh(tx);
        const uint8_t b[4] = {1, 2, 3, 4};
        (void)sock_sendto(s, htonl((198u << 24) | (51u << 16) | (100u << 8) | far++), 9, b, sizeof b, true);
        usleep(20000);
        EXPECT_NE(netns_sh(tx), before) << r.what;
        sock_close(s);
    }

    rtnl_link_t l;
    ASSERT_EQ(rtnl_link_get("ub", &l), 0);
    EXPECT_TRUE(l.up && l.running);
    EXPECT_EQ(l.addr, ub_ip);
    EXPECT_GT(l.ifindex, 0);
    ASSERT_EQ(rtnl_link_get("ub", &l, inet_addr("10.62.0.9")), 0);
    EXPECT_EQ(l.addr, 0u);  // the source asked for is not there
    ASSERT_EQ(rtnl_link_get("ub", &l, ub_ip), 0);
    EXPECT_EQ(l.addr, ub_ip);
    ASSERT_TRUE(netns_sh_ok("ip link set ub-p down", &err)) << err;
    ASSERT_EQ(rtnl_link_get("ub", &l), 0);
    EXPECT_TRUE(l.up);
    EXPECT_FALSE(l.running);  // the carrier went with the far end

    const int t = tmrfd_open();
    ASSERT_GE(t, 0);
    EXPECT_FALSE(fd_wait_readable(t, 20));  // disarmed
    ASSERT_EQ(tmrfd_arm(t, 1), 0);          // long past: at once
    EXPECT_TRUE(fd_wait_readable(t, 200));
    tmrfd_drain(t);
    EXPECT_FALSE(fd_wait_readable(t, 20));
    ASSERT_EQ(tmrfd_arm(t, 1), 0);
    ASSERT_EQ(tmrfd_arm(t, 0), 0);  // disarmed again before it is read
    tmrfd_drain(t);
    EXPECT_FALSE(fd_wait_readable(t, 20));
    close(t);
}
}  // namespace
