#include "net/tun.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"
#include "net/rtnl.h"
#include "net/vnet.h"
#include "support/ippkt.h"
#include "support/logcap.h"
#include "support/netns.h"
#include "support/proc.h"

namespace {

constexpr char TUN[] = "tolv0";

int open_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr)
        n++;
    if (d != nullptr)
        closedir(d);
    return n;
}

// The kernel reports IFF_RUNNING once the link watcher has seen the carrier; give it a moment.
int flags_when_running(const char *name)
{
    int f = if_flags(name);
    for (int i = 0; i < 100 && f >= 0 && (f & IFF_RUNNING) == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        f = if_flags(name);
    }
    return f;
}

uint16_t ip_checksum(const uint8_t *p, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += ld_be16(p + i);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// An IPv4/UDP packet without UDP checksum (allowed over IPv4).
std::vector<uint8_t> udp_packet(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport, const std::string &payload)
{
    std::vector<uint8_t> p(28 + payload.size(), 0);
    p[0] = 0x45;
    st_be16(&p[2], static_cast<uint16_t>(p.size()));
    p[8] = 64;
    p[9] = IPPROTO_UDP;
    st_raw32(&p[12], src);
    st_raw32(&p[16], dst);
    st_be16(&p[10], ip_checksum(p.data(), 20));
    st_be16(&p[20], sport);
    st_be16(&p[22], dport);
    st_be16(&p[24], static_cast<uint16_t>(8 + payload.size()));
    std::memcpy(&p[28], payload.data(), payload.size());
    return p;
}

class TunTest : public NetnsTunTest {
protected:
    void TearDown() override
    {
        if (fd_ >= 0)
            close(fd_);
        NetnsTunTest::TearDown();
    }
    // Creates the interface and keeps the descriptor for TearDown to close.
    void create(const char *name = TUN)
    {
        fd_ = -1;
        ASSERT_EQ(tun_init(&fd_, name), 0);
        ASSERT_GE(fd_, 0);
    }
    int fd_ = -1;
};

}  // namespace

TEST_F(TunTest, InitCreatesAPersistentInterfaceDownAndWithoutAddress)
{
    create();
    EXPECT_EQ(fcntl(fd_, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(fcntl(fd_, F_GETFL) & O_NONBLOCK, O_NONBLOCK);

    int flags = if_flags(TUN);
    ASSERT_GE(flags, 0) << "no interface " << TUN;
    EXPECT_EQ(flags & IFF_UP, 0);
    EXPECT_EQ(if_inet(TUN), "");
    std::string link = netns_sh(std::string("ip -d link show dev ") + TUN);
    EXPECT_NE(link.find("tun type tun pi off"), std::string::npos) << link;
    EXPECT_NE(link.find("persist on"), std::string::npos) << link;
    EXPECT_NE(link.find("qlen 1000"), std::string::npos) << "room for bursts: " << link;

    // Nothing waiting: the read fails at once instead of blocking.
    uint8_t buf[64];
    EXPECT_EQ(tun_recv(fd_, buf, sizeof buf), -EAGAIN);

    // A process killed without release leaves the interface behind ...
    close(fd_);
    fd_ = -1;
    EXPECT_GE(if_flags(TUN), 0);
    // ... and the next start attaches to it under the same name.
    create();
    EXPECT_EQ(netns_sh("ip -o link show type tun | wc -l"), "1\n");
}

TEST_F(TunTest, DeinitRemovesTheInterface)
{
    create();
    const int fd = fd_;
    tun_deinit(&fd_, TUN);
    EXPECT_EQ(fd_, -1) << "no closed number is left behind to be closed or polled again";
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(if_flags(TUN), -1);
    // The number goes to the next descriptor opened; a second release must not close that one.
    const int other = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (other != fd) {
        ASSERT_EQ(dup2(other, fd), fd);
        close(other);
    }
    tun_deinit(&fd_, TUN);
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    close(fd);

    int none = -1;
    tun_deinit(&none, TUN);  // nothing open: nothing to do
    EXPECT_EQ(none, -1);
}

TEST_F(TunTest, EmptyNameLetsTheKernelChoose)
{
    create("");
    std::string links = netns_sh("ip -o link show type tun");
    EXPECT_NE(links.find(": tun0:"), std::string::npos) << links;
    tun_deinit(&fd_, "");
    fd_ = -1;
    EXPECT_EQ(netns_sh("ip -o link show type tun"), "");
}

TEST_F(TunTest, RefusedAttachFailsAndClosesTheDescriptor)
{
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip link add vx0 type veth peer name vx1", &err)) << err;
    const int before = open_fds();
    LogCapture log;
    int fd = -1;
    EXPECT_EQ(tun_init(&fd, "vx0"), -EINVAL);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(open_fds(), before + 1) << "only the log file may stay open";
    EXPECT_EQ(log.all(), std::vector<std::string>{"Failed to attach tun interface vx0: Invalid argument"});
    std::string link = netns_sh("ip -d -o link show dev vx0");
    EXPECT_NE(link.find("veth"), std::string::npos) << "the other interface is left alone: " << link;
}

TEST_F(TunTest, SetIpGivesAddressAndNetmaskAndKeepsOtherFlags)
{
    struct {
        const char *addr;
        const char *mask;
        const char *inet;
    } const cases[] = {
        {"10.8.0.2", "255.255.255.0", "10.8.0.2/24"},
        {"172.20.7.9", "255.255.0.0", "172.20.7.9/16"},
    };
    create();
    std::string err;
    // Flags the operation must not touch: promiscuous on, multicast off.
    ASSERT_TRUE(netns_sh_ok(std::string("ip link set dev ") + TUN + " promisc on multicast off", &err)) << err;
    const int before = if_flags(TUN);
    ASSERT_EQ(before & (IFF_PROMISC | IFF_MULTICAST), IFF_PROMISC);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.inet);
        tun_set_ip(TUN, ip(c.addr), ip(c.mask));
        EXPECT_EQ(if_inet(TUN), c.inet);
        EXPECT_EQ(flags_when_running(TUN), before | IFF_UP | IFF_RUNNING);
    }
}

TEST_F(TunTest, ClearIpTakesTheInterfaceDownAndRemovesTheAddress)
{
    create();
    std::string err;
    ASSERT_TRUE(netns_sh_ok(std::string("ip link set dev ") + TUN + " promisc on multicast off", &err)) << err;
    const int before = if_flags(TUN);
    tun_set_ip(TUN, ip("10.8.0.2"), ip("255.255.255.0"));
    ASSERT_EQ(flags_when_running(TUN) & IFF_UP, IFF_UP);

    EXPECT_EQ(tun_clear_ip(TUN), 0);
    EXPECT_EQ(if_inet(TUN), "");
    EXPECT_EQ(tun_clear_ip(TUN), 0) << "nothing left to clear is no refusal";
    int after = if_flags(TUN);
    EXPECT_EQ(after & IFF_UP, 0);
    EXPECT_EQ(after & ~IFF_RUNNING, before & ~IFF_RUNNING) << "only IFF_UP may change";

    // A cleared interface comes back whole with the next session.
    tun_set_ip(TUN, ip("10.8.0.3"), ip("255.255.255.0"));
    EXPECT_EQ(if_inet(TUN), "10.8.0.3/24");
}

TEST_F(TunTest, SetMtuAndARefusedMtuKeepsTheOldOne)
{
    create();
    struct {
        unsigned int set;
        int rc;
        int want;
    } const steps[] = {{1400, 0, 1400}, {0, -EINVAL, 1400}, {1600, 0, 1600}, {46, -EINVAL, 1600}, {68, 0, 68}};
    for (const auto &s : steps) {
        EXPECT_EQ(tun_set_mtu(TUN, s.set), s.rc) << "setting " << s.set;
        EXPECT_EQ(if_mtu(TUN), s.want) << "after setting " << s.set;
        EXPECT_EQ(tun_get_mtu(TUN), s.want);
    }
}

TEST_F(TunTest, RefusedRequestsAnswerWithTheNegativeErrnoAndChangeNothing)
{
    create();  // TUN, held by fd_
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip link add vx0 type veth peer name vx1", &err)) << err;
    rtnl_link_t link;
    char alias[8];
    int fd = -1;
    struct {
        const char *what;
        int rc;
        int want;
    } const rows[] = {
        {"address, no interface", tun_set_ip("nosuch0", ip("10.8.0.2"), ip("255.255.255.0")), -ENODEV},
        {"MTU, no interface", tun_set_mtu("nosuch0", 1400), -ENODEV},
        {"MTU read, no interface", tun_get_mtu("nosuch0"), -ENODEV},
        {"address cleared, no interface", tun_clear_ip("nosuch0"), -ENODEV},
        {"queue length, no interface", tun_set_txqlen("nosuch0", 1000), -ENODEV},
        {"IPv6 switch, no interface", tun_disable_ipv6("nosuch0"), -ENOENT},
        {"attach, held by a process", tun_attach_quiet(&fd, TUN), -EBUSY},
        {"attach, not a TUN device", tun_attach_quiet(&fd, "vx0"), -EINVAL},
        {"link, no interface", rtnl_link_get("nosuch0", &link), -ENODEV},
        {"link, name too long", rtnl_link_get("nosuch0123456789", &link), -ENODEV},
        {"alias read, no interface", rtnl_alias_get("nosuch0", alias, sizeof alias), -ENODEV},
        {"alias read, no room", rtnl_alias_get(TUN, alias, 0), -EINVAL},
        {"alias set, no interface", rtnl_alias_set("nosuch0", "x"), -ENODEV},
        {"address generation, no interface", rtnl_addrgen_none("nosuch0"), -ENODEV},
        {"further address, no interface", ifaddr_add("nosuch0", ip("10.9.0.1"), 24), -ENODEV},
        {"further address, prefix too long", ifaddr_add(TUN, ip("10.9.0.1"), 33), -EINVAL},
    };
    for (const auto &r : rows)
        EXPECT_EQ(r.rc, r.want) << r.what << ": " << strerror(-r.rc);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(if_flags("nosuch0"), -1);
    EXPECT_EQ(netns_sh("ip -o -4 addr show | grep -v ' lo '"), "");
}

TEST_F(TunTest, SentPacketArrivesOnTheInterface)
{
    create();
    tun_set_ip(TUN, ip("10.8.0.2"), ip("255.255.255.0"));
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(5000);
    sin.sin_addr.s_addr = ip("10.8.0.2");
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0) << std::strerror(errno);

    std::vector<uint8_t> pkt = udp_packet(ip("10.8.0.1"), 6000, ip("10.8.0.2"), 5000, "through the tunnel");
    EXPECT_EQ(tun_send(fd_, pkt.data(), static_cast<int>(pkt.size())), static_cast<int>(pkt.size()));

    ASSERT_TRUE(fd_wait_readable(s, 1000)) << "the packet did not arrive";
    char got[64] = {};
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t n = recvfrom(s, got, sizeof got, 0, reinterpret_cast<sockaddr *>(&from), &fl);
    EXPECT_EQ(std::string(got, n > 0 ? static_cast<size_t>(n) : 0), "through the tunnel");
    EXPECT_EQ(from.sin_addr.s_addr, ip("10.8.0.1"));
    EXPECT_EQ(ntohs(from.sin_port), 6000);
    close(s);
}

TEST_F(TunTest, RoutedPacketIsReadFromItsFirstHeaderByte)
{
    create();
    tun_set_ip(TUN, ip("10.8.0.2"), ip("255.255.255.0"));
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(7000);
    to.sin_addr.s_addr = ip("10.8.0.9");
    ASSERT_EQ(sendto(s, "ping", 4, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), 4) << std::strerror(errno);

    // The kernel may queue packets of its own (IPv6 solicitations) ahead of ours: skip those.
    uint8_t buf[2048];
    int n = -1;
    for (int i = 0; i < 16 && fd_wait_readable(fd_, 1000); i++) {
        n = tun_recv(fd_, buf, sizeof buf);
        if (n >= 20 && (buf[0] >> 4) == 4)
            break;
        n = -1;
    }
    ASSERT_EQ(n, 32) << "no IPv4 packet read from the interface";
    EXPECT_EQ(buf[0], 0x45) << "no prefix in front of the IP header";
    EXPECT_EQ(buf[9], IPPROTO_UDP);
    EXPECT_EQ(ld_raw32(buf + 12), ip("10.8.0.2"));
    EXPECT_EQ(ld_raw32(buf + 16), ip("10.8.0.9"));
    EXPECT_EQ(ld_be16(buf + 22), 7000);
    EXPECT_EQ(std::memcmp(buf + 28, "ping", 4), 0);
    close(s);
}

namespace {

// One IPv4 packet read from a descriptor with the virtio-net header, skipping the kernel's own
// IPv6 chatter: the header and the packet, or an empty vector when none came.
std::vector<uint8_t> read_vnet_ipv4(int fd)
{
    std::vector<uint8_t> buf(VNET_READ_MAX);
    for (int i = 0; i < 32 && fd_wait_readable(fd, 1000); i++) {
        const int n = tun_recv_vnet(fd, buf.data(), static_cast<int>(buf.size()));
        if (n > static_cast<int>(VNET_HDR_LEN) && (buf[VNET_HDR_LEN] >> 4) == 4) {
            buf.resize(static_cast<size_t>(n));
            return buf;
        }
    }
    return {};
}

// The packets a read stands for, as the wire would carry them.
std::vector<ippkt::Bytes> split_read(const std::vector<uint8_t> &read, uint32_t mtu)
{
    std::vector<ippkt::Bytes> pkts;
    vnet_split_t s;
    if (vnet_split_begin(&s, read.data(), static_cast<uint32_t>(read.size()), mtu) != VNET_OK)
        return pkts;
    std::vector<uint8_t> out(VNET_TRAIN_BYTES);
    vnet_train_t t;
    while (vnet_split_next(&s, out.data(), VNET_TRAIN_BYTES, 8, VNET_TRAIN_SEGS, &t) > 0)
        for (uint32_t i = 0; i < t.count; i++)
            pkts.emplace_back(out.begin() + i * t.stride + 8,
                              out.begin() + i * t.stride + 8 + (i + 1 == t.count ? t.lastlen : t.seglen));
    return pkts;
}

bool tcp_sum_ok(const ippkt::Bytes &p)
{
    return ippkt::sum16(p.data(), 20) == 0xFFFF &&
           ippkt::sum16(p.data() + 20, p.size() - 20, ippkt::pseudo(p.data(), 6, p.size() - 20)) == 0xFFFF;
}

}  // namespace

// The kernel's own TCP on an interface with segmentation offload: its super-packets cut into
// segments of the MTU with every checksum right, and segments of ours joined into one write that
// it takes whole.
TEST_F(TunTest, VnetCarriesTheKernelsTcpBothWays)
{
    uint32_t granted = 0;
    ASSERT_EQ(tun_init_vnet(&fd_, TUN, TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4, &granted), 0);
    ASSERT_EQ(granted, TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4);
    EXPECT_NE(netns_sh(std::string("ip -d link show dev ") + TUN).find("vnet_hdr on"), std::string::npos);
    tun_set_ip(TUN, ip("10.8.0.2"), ip("255.255.255.0"));
    tun_set_mtu(TUN, 1400);

    const int ls = tcp_listen(ip("10.8.0.2"), 5000);
    ASSERT_GE(ls, 0) << std::strerror(errno);

    // The far end of the connection is this test, writing through the interface.
    ippkt::Tcp far;
    far.src = ntohl(ip("10.8.0.9"));
    far.dst = ntohl(ip("10.8.0.2"));
    far.sport = 40000;
    far.dport = 5000;
    far.seq = 1000;
    far.ack = 0;
    far.window = 65535;
    far.flags = ippkt::SYN;
    far.options = {2, 4, 0x05, 0x78};  // MSS 1400
    const ippkt::Bytes syn = ippkt::tcp4(far, {});
    ASSERT_EQ(tun_send_vnet(fd_, nullptr, syn.data(), static_cast<int>(syn.size())), static_cast<int>(syn.size()));
    const std::vector<ippkt::Bytes> synack = split_read(read_vnet_ipv4(fd_), 1400);
    ASSERT_EQ(synack.size(), 1u);
    ASSERT_TRUE(tcp_sum_ok(synack[0]));
    ASSERT_EQ(synack[0][33], ippkt::SYN | ippkt::ACK);
    const uint32_t isn = ld_be32(synack[0].data() + 24);

    far.seq = 1001;
    far.ack = isn + 1;
    far.flags = ippkt::ACK;
    far.options.clear();
    const ippkt::Bytes ack = ippkt::tcp4(far, {});
    ASSERT_EQ(tun_send_vnet(fd_, nullptr, ack.data(), static_cast<int>(ack.size())), static_cast<int>(ack.size()));
    ASSERT_TRUE(fd_wait_readable(ls, 1000));
    int conn = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(conn, 0);

    // Down: 10 segments' worth in one send leave as super-packets, cut here into segments that
    // each fit the MTU and follow on.
    const ippkt::Bytes down = ippkt::pattern(10 * 1360, 6);
    ASSERT_EQ(send(conn, down.data(), down.size(), 0), static_cast<ssize_t>(down.size()));
    ippkt::Bytes got;
    size_t supers = 0;
    while (got.size() < down.size()) {
        const std::vector<uint8_t> read = read_vnet_ipv4(fd_);
        ASSERT_FALSE(read.empty()) << "after " << got.size() << " bytes";
        supers += read[1] == VNET_GSO_TCPV4 ? 1 : 0;
        for (const ippkt::Bytes &p : split_read(read, 1400)) {
            ASSERT_LE(p.size(), 1400u);
            ASSERT_TRUE(tcp_sum_ok(p));
            ASSERT_EQ(ld_be32(p.data() + 24), isn + 1 + got.size()) << "segments in order";
            got.insert(got.end(), p.begin() + 40, p.end());
        }
    }
    EXPECT_EQ(got, down);
    EXPECT_GE(supers, 1u) << "the kernel handed no super-packet";

    // Up: three segments joined into one write arrive whole.
    const ippkt::Bytes up = ippkt::pattern(3 * 1000, 7);
    std::vector<uint8_t> cbuf(VNET_READ_MAX);
    vnet_coal_t c;
    vnet_coal_init(&c, cbuf.data());
    for (int k = 0; k < 3; k++) {
        far.seq = 1001 + static_cast<uint32_t>(k) * 1000;
        far.id = static_cast<uint16_t>(far.id + 1);
        far.flags = k == 2 ? ippkt::ACK | ippkt::PSH : ippkt::ACK;
        const ippkt::Bytes seg = ippkt::tcp4(far, ippkt::Bytes(up.begin() + k * 1000, up.begin() + (k + 1) * 1000));
        ASSERT_TRUE(vnet_coal_add(&c, seg.data(), static_cast<uint32_t>(seg.size())));
    }
    const uint32_t n = vnet_coal_finish(&c);
    ASSERT_EQ(cbuf[1], VNET_GSO_TCPV4);
    ASSERT_EQ(tun_send_vnet(fd_, cbuf.data(), cbuf.data() + VNET_HDR_LEN, static_cast<int>(n - VNET_HDR_LEN)),
              static_cast<int>(n - VNET_HDR_LEN));
    EXPECT_EQ(recv_upto(conn, up.size(), 1000), up);
    close(conn);
    close(ls);
}

TEST_F(TunTest, VnetRefusedOrNotAskedGivesThePlainDescriptor)
{
    // Not asked: exactly tun_init's descriptor.
    uint32_t granted = 99;
    ASSERT_EQ(tun_init_vnet(&fd_, TUN, 0, &granted), 0);
    EXPECT_EQ(granted, 0u);
    EXPECT_EQ(netns_sh(std::string("ip -d link show dev ") + TUN).find("vnet_hdr on"), std::string::npos);
    tun_set_ip(TUN, ip("10.8.0.2"), ip("255.255.255.0"));
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(7000);
    to.sin_addr.s_addr = ip("10.8.0.9");
    ASSERT_EQ(sendto(s, "ping", 4, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), 4);
    uint8_t buf[2048];
    int n = -1;
    for (int i = 0; i < 16 && fd_wait_readable(fd_, 1000); i++) {
        n = tun_recv(fd_, buf, sizeof buf);
        if (n >= 20 && (buf[0] >> 4) == 4)
            break;
    }
    EXPECT_EQ(n, 32) << "no header in front of the packet";
    close(s);

    // Refused: a veth is no TUN device, so the header's attach and the plain one both fail, and
    // nothing is left open.
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip link add vx0 type veth peer name vx1", &err)) << err;
    LogCapture log;
    int fd = -1;
    granted = 99;
    EXPECT_EQ(tun_init_vnet(&fd, "vx0", TUN_OFFLOAD_TSO4, &granted), -EINVAL);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(granted, 0u);
    EXPECT_EQ(log.all(), std::vector<std::string>{"Failed to attach tun interface vx0: Invalid argument"});
}
