// Data path against the kernel: a real TUN interface in a private network namespace on one side,
// a scripted peer on the namespace's loopback on the other.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "bytes.h"
#include "client/data.h"
#include "client/dns.h"
#include "client/session.h"
#include "core/event.h"
#include "net/tun.h"
#include "support/logcap.h"
#include "support/netns.h"
#include "support/scriptpeer.h"

namespace {

constexpr const char *TUN = "tdp0";
constexpr uint16_t SID = 0x0A0B;
constexpr uint32_t TOKEN = 0xC0FFEE11;
constexpr uint16_t LOCAL_PORT = 7777;   // a socket on the tunnel address
constexpr uint16_t REMOTE_PORT = 9999;  // somewhere behind the tunnel

uint32_t ip4(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    uint8_t v[4] = {a, b, c, d};
    return ld_raw32(v);
}
const uint32_t TUN_IP = ip4(10, 77, 0, 2);
const uint32_t REMOTE_IP = ip4(10, 77, 0, 5);
const uint32_t FAR_IP = ip4(10, 77, 0, 9);

// The payload key computed apart from the library: the first 8 bytes of MD5(user | password).
Bytes key_of(const std::string &user, const std::string &pass)
{
    std::string in = user + pass;
    uint8_t md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(in.data(), in.size(), md, &n, EVP_md5(), nullptr);
    return Bytes(md, md + 8);
}

Bytes xored(Bytes b, const Bytes &key)
{
    for (size_t i = 0; i < b.size(); i++)
        b[i] ^= key[i % 8];
    return b;
}

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

// IPv4/UDP packet with a valid header checksum and no UDP checksum.
Bytes ipv4_udp(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport, const Bytes &payload)
{
    Bytes p(28 + payload.size(), 0);
    p[0] = 0x45;
    st_be16(p.data() + 2, static_cast<uint16_t>(p.size()));
    st_be16(p.data() + 6, 0x4000);
    p[8] = 64;
    p[9] = IPPROTO_UDP;
    st_raw32(p.data() + 12, src);
    st_raw32(p.data() + 16, dst);
    uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2)
        sum += ld_be16(p.data() + i);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    st_be16(p.data() + 10, static_cast<uint16_t>(~sum));
    st_be16(p.data() + 20, sport);
    st_be16(p.data() + 22, dport);
    st_be16(p.data() + 24, static_cast<uint16_t>(8 + payload.size()));
    memcpy(p.data() + 28, payload.data(), payload.size());
    return p;
}

int udp_socket(uint32_t bind_ip = 0, uint16_t bind_port = 0)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && bind_ip != 0) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = bind_ip;
        a.sin_port = htons(bind_port);
        if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(s);
            return -1;
        }
    }
    return s;
}

Bytes recv_within(int fd, int timeout_ms)
{
    if (!fd_wait_readable(fd, timeout_ms))
        return {};
    uint8_t buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n < 0 ? Bytes{} : Bytes(buf, buf + n);
}

void write_proc(const char *path, const char *value)
{
    FILE *f = fopen(path, "w");
    if (f != nullptr) {
        fputs(value, f);
        fclose(f);
    }
}

class DataPathTest : public NetnsTest {
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped())
            return;
        // Without IPv6 the interface emits nothing of its own (no router solicitations or
        // listener reports), so every packet read from it is one the test routed there.
        write_proc("/proc/sys/net/ipv6/conf/default/disable_ipv6", "1");
        write_proc("/proc/sys/net/ipv6/conf/all/disable_ipv6", "1");
        poll_init();
        ASSERT_EQ(tun_init(&tunfd_, TUN), 0);
        tun_set_ip(TUN, TUN_IP, ip4(255, 255, 255, 0));
        ASSERT_GE(if_flags(TUN), 0);
        ASSERT_NE(if_flags(TUN) & IFF_UP, 0);

        peer_ = std::make_unique<ScriptPeer>();
        ASSERT_TRUE(peer_->ok());
        peer_->prepare(&_sdwclnt, "alice", "secret", tunfd_, TUN);
        ASSERT_EQ(sdwclnt_set_peer(&_sdwclnt), 0);
        _sdwclnt.si_state = SDWANCLNT_DATA;
        _sdwclnt.si_sid = SID;
        _sdwclnt.si_token = TOKEN;
        sender_ = udp_socket();
        ASSERT_GE(sender_, 0);
        receiver_ = udp_socket(TUN_IP, LOCAL_PORT);
        ASSERT_GE(receiver_, 0);
    }
    void TearDown() override
    {
        if (sender_ >= 0)
            close(sender_);
        if (receiver_ >= 0)
            close(receiver_);
        peer_.reset();
        if (tunfd_ >= 0)
            tun_deinit(&tunfd_, TUN);
        _sdwclnt.tunfd = -1;
        NetnsTest::TearDown();
    }

    // Sends payload from a socket of the namespace to REMOTE_IP, which the kernel routes into the
    // TUN interface, then lets the client read it. true when a packet was there to read.
    bool route_out(const Bytes &payload)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = REMOTE_IP;
        to.sin_port = htons(REMOTE_PORT);
        if (sendto(sender_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
            return false;
        if (!fd_wait_readable(tunfd_, 1000))
            return false;
        sdwclnt_tun_recv(&_sdwclnt);
        return true;
    }

    // The IP packet the test's socket sent, as the kernel wrote it: checked field by field.
    static void expect_routed_packet(const Bytes &ip, const Bytes &payload)
    {
        ASSERT_EQ(ip.size(), 28 + payload.size());
        EXPECT_EQ(ip[0], 0x45);
        EXPECT_EQ(ld_be16(ip.data() + 2), ip.size());
        EXPECT_EQ(ip[9], IPPROTO_UDP);
        EXPECT_EQ(ld_raw32(ip.data() + 12), TUN_IP);
        EXPECT_EQ(ld_raw32(ip.data() + 16), REMOTE_IP);
        EXPECT_EQ(ld_be16(ip.data() + 22), REMOTE_PORT);
        EXPECT_EQ(Bytes(ip.begin() + 28, ip.end()), payload);
    }

    Bytes header(uint8_t type, uint8_t encrypt) const
    {
        Bytes h{type, encrypt, 0, 0, 0, 0, 0, 0};
        st_raw16(h.data() + 2, SID);
        st_raw32(h.data() + 4, TOKEN);
        return h;
    }

    int tunfd_ = -1;
    int sender_ = -1;
    int receiver_ = -1;
    std::unique_ptr<ScriptPeer> peer_;
};

TEST_F(DataPathTest, OutboundEncapsulation)
{
    struct Case {
        const char *name;
        uint8_t peerencypt;
        size_t payload;  // UDP payload; the IP packet is 28 bytes more
        uint8_t type;
    };
    const Case cases[] = {
        {"clear", 0, 37, SDWAN_DATA},
        {"enciphered_1", 1, 37, SDWAN_EDATA},  // 65 bytes: eight blocks and one tail byte
        {"enciphered_2", 2, 36, SDWAN_EDATA},  // 64 bytes: whole blocks only
        {"enciphered_tail_7", 1, 3, SDWAN_EDATA},
    };
    const Bytes key = key_of("alice", "secret");
    uint32_t sent = 0;
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        LogCapture log;
        _sdwclnt.si_peerencypt = tc.peerencypt;
        const Bytes payload = pattern(tc.payload, static_cast<uint8_t>(tc.payload));
        ASSERT_TRUE(route_out(payload));
        sent++;
        Bytes d = peer_->recv(500);
        ASSERT_EQ(d.size(), 8 + 28 + tc.payload);
        EXPECT_EQ(Bytes(d.begin(), d.begin() + 8), header(tc.type, tc.peerencypt));
        Bytes ip(d.begin() + 8, d.end());
        if (tc.type == SDWAN_EDATA) {
            Bytes plain = xored(ip, key);
            EXPECT_NE(plain, ip);
            ip = plain;
        }
        expect_routed_packet(ip, payload);
        EXPECT_EQ(_sdwclnt.si_stats.tun_rxpkts, sent);
        EXPECT_EQ(_sdwclnt.si_stats.sock_txpkts, sent);
        EXPECT_TRUE(log.all().empty());
    }
    EXPECT_TRUE(peer_->recv_all(50).empty());
}

TEST_F(DataPathTest, OutboundDroppedOutsideData)
{
    const uint8_t states[] = {SDWANCLNT_INIT, SDWANCLNT_AUTH, SDWANCLNT_CLOSED};
    LogCapture log;
    uint32_t read = 0;
    for (uint8_t st : states) {
        SCOPED_TRACE(int{st});
        _sdwclnt.si_state = st;
        ASSERT_TRUE(route_out(pattern(20, st)));
        read++;
        EXPECT_EQ(_sdwclnt.si_stats.tun_rxpkts, read);
        EXPECT_TRUE(peer_->recv(100).empty());
    }
    EXPECT_EQ(_sdwclnt.si_stats.sock_txpkts, 0u);
    EXPECT_TRUE(log.all().empty());

    // Nothing waiting: nothing counted.
    sdwclnt_tun_recv(&_sdwclnt);
    EXPECT_EQ(_sdwclnt.si_stats.tun_rxpkts, read);
}

TEST_F(DataPathTest, OutboundSendFailure)
{
    // No route to this peer inside the namespace.
    _sdwclnt.si_peerip = ip4(192, 0, 2, 1);
    LogCapture log;
    ASSERT_TRUE(route_out(pattern(10, 1)));
    EXPECT_EQ(_sdwclnt.si_stats.tun_rxpkts, 1u);
    EXPECT_EQ(_sdwclnt.si_stats.sock_txpkts, 0u);
    EXPECT_EQ(log.all(), (std::vector<std::string>{"Sendto error", "Failed to send packet to peer"}));
    EXPECT_EQ(_sdwclnt.si_state, SDWANCLNT_DATA);
}

TEST_F(DataPathTest, InboundDelivery)
{
    struct Case {
        const char *name;
        uint8_t state;
        uint8_t type;
        uint8_t encrypt;    // the header byte, which the receiver does not consult
        bool enciphered;    // whether the peer enciphered the payload
        size_t payload;
    };
    const Case cases[] = {
        {"data", SDWANCLNT_DATA, SDWAN_DATA, 0, false, 40},
        {"data_with_flag_not_deciphered", SDWANCLNT_DATA, SDWAN_DATA, 1, false, 40},
        {"edata_odd_length", SDWANCLNT_DATA, SDWAN_EDATA, 1, true, 45},  // 73 bytes
        {"edata_flag_zero", SDWANCLNT_DATA, SDWAN_EDATA, 0, true, 13},
        {"edata_one_tail_byte", SDWANCLNT_DATA, SDWAN_EDATA, 2, true, 5},  // 33 bytes
        {"auth_state", SDWANCLNT_AUTH, SDWAN_DATA, 0, false, 21},
        {"auth_state_edata", SDWANCLNT_AUTH, SDWAN_EDATA, 1, true, 22},
    };
    const Bytes key = key_of("alice", "secret");
    uint32_t delivered = 0;
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        LogCapture log;
        _sdwclnt.si_state = tc.state;
        const Bytes payload = pattern(tc.payload, 0x30);
        const Bytes ip = ipv4_udp(FAR_IP, TUN_IP, 5555, LOCAL_PORT, payload);
        const Bytes body = tc.enciphered ? xored(ip, key) : ip;
        peer_->inject(&_sdwclnt, ScriptPeer::cat({header(tc.type, tc.encrypt), body}));

        EXPECT_EQ(recv_within(receiver_, 1000), payload);
        delivered++;
        EXPECT_EQ(_sdwclnt.si_stats.tun_txpkts, delivered);
        EXPECT_EQ(log.all(), std::vector<std::string>{"Successfully processed and forwarded data, packet length: " +
                                                      std::to_string(ip.size())});
        EXPECT_EQ(_sdwclnt.si_state, tc.state);
    }
}

TEST_F(DataPathTest, InboundRefused)
{
    struct Case {
        const char *name;
        Bytes dgram;
        const char *line;
    };
    const Case cases[] = {
        {"header_only", header(SDWAN_DATA, 0), "Invalid data length received: 0"},
        {"five_bytes", Bytes{SDWAN_DATA, 0, 1, 2, 3}, "Invalid data length received: -3"},
        {"edata_header_only", header(SDWAN_EDATA, 1), "Invalid data length received: 0"},
        // Not an IP packet: the TUN driver refuses the write.
        {"not_ip", ScriptPeer::cat({header(SDWAN_DATA, 0), Bytes(20, 0)}), "Failed to send data to tunnel"},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        LogCapture log;
        peer_->inject(&_sdwclnt, tc.dgram);
        EXPECT_EQ(log.all(), std::vector<std::string>{tc.line});
        EXPECT_EQ(_sdwclnt.si_stats.tun_txpkts, 0u);
    }
    EXPECT_TRUE(recv_within(receiver_, 50).empty());
}

TEST_F(DataPathTest, DatalogOffSilencesOnlyTheSuccessLine)
{
    _sdwclnt.si_datalog = 0;
    LogCapture log;
    const Bytes payload = pattern(30, 9);
    const Bytes ip = ipv4_udp(FAR_IP, TUN_IP, 5555, LOCAL_PORT, payload);
    peer_->inject(&_sdwclnt, ScriptPeer::cat({header(SDWAN_DATA, 0), ip}));
    EXPECT_EQ(recv_within(receiver_, 1000), payload);
    EXPECT_EQ(_sdwclnt.si_stats.tun_txpkts, 1u);
    EXPECT_TRUE(log.all().empty());

    peer_->inject(&_sdwclnt, header(SDWAN_DATA, 0));
    peer_->inject(&_sdwclnt, ScriptPeer::cat({header(SDWAN_DATA, 0), Bytes(20, 0)}));
    EXPECT_EQ(log.all(),
              (std::vector<std::string>{"Invalid data length received: 0", "Failed to send data to tunnel"}));
    EXPECT_EQ(_sdwclnt.si_stats.tun_txpkts, 1u);
}

}  // namespace

// The daemon's own datagrams, routed into its own tunnel when the host route that kept them
// outside is gone, are recognised by their destination and never sent.
TEST(SdwanOwnDest, PacketsToThePeerOrTheResolverWhileResolving)
{
    sdwan_t c{};
    c.si_peerip = 0x0200a8c0;  // 192.168.0.2
    c.si_peerport = 4500;
    const uint32_t resolver = sdwan_resolver_ip();
    struct {
        const char *what;
        uint8_t state;
        uint8_t ver_ihl, proto;
        uint16_t frag;
        uint32_t dst;
        uint16_t dport;
        int len;  // bytes of the packet offered
        bool own;
    } const cases[] = {
        {"UDP to the peer's port", SDWANCLNT_DATA, 0x45, 17, 0, c.si_peerip, 4500, 28, true},
        {"with IP options", SDWANCLNT_DATA, 0x46, 17, 0, c.si_peerip, 4500, 32, true},
        {"IP options push the port out", SDWANCLNT_DATA, 0x46, 17, 0, c.si_peerip, 4500, 27, false},
        {"another port of the peer", SDWANCLNT_DATA, 0x45, 17, 0, c.si_peerip, 22, 28, false},
        {"TCP to the peer's port", SDWANCLNT_DATA, 0x45, 6, 0, c.si_peerip, 4500, 40, false},
        {"a later fragment", SDWANCLNT_DATA, 0x45, 17, 0x0010, c.si_peerip, 4500, 28, false},
        {"another host", SDWANCLNT_DATA, 0x45, 17, 0, 0x0300a8c0, 4500, 28, false},
        {"cut before the port", SDWANCLNT_DATA, 0x45, 17, 0, c.si_peerip, 4500, 23, false},
        {"IPv6", SDWANCLNT_DATA, 0x60, 17, 0, c.si_peerip, 4500, 48, false},
        {"header length below 20", SDWANCLNT_DATA, 0x44, 17, 0, c.si_peerip, 4500, 28, false},
        {"the resolver while resolving", SDWANCLNT_DNS, 0x45, 17, 0, resolver, 53, 28, true},
        {"the resolver in session", SDWANCLNT_DATA, 0x45, 17, 0, resolver, 53, 28, false},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.what);
        uint8_t p[64] = {};
        p[0] = t.ver_ihl;
        p[9] = t.proto;
        st_be16(p + 6, t.frag);
        st_raw32(p + 16, t.dst);
        const int ihl = (t.ver_ihl & 0x0F) * 4;
        st_be16(p + (ihl < 20 ? 20 : ihl) + 2, t.dport);
        c.si_state = t.state;
        EXPECT_EQ(sdwan_own_dest(&c, p, t.len), t.own);
    }
}
