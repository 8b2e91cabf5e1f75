// Data path against the kernel: a real TUN interface in a private network namespace on one side,
// a scripted peer on the namespace's loopback on the other.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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
#include "net/sock.h"
#include "net/tun.h"
#include "net/vnet.h"
#include "proto/packet.h"
#include "support/fakehost.h"
#include "support/ippkt.h"
#include "support/logcap.h"
#include "support/netns.h"
#include "support/scriptpeer.h"

namespace {
// The client object of this file's tests (the daemon's is main's).
const client_ptr g_owned = new_client();
sdwan_t &g_clnt = *g_owned;

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
        peer_->prepare(&g_clnt, "alice", "secret", tunfd_, TUN);
        ASSERT_EQ(sdwclnt_set_peer(&g_clnt), 0);
        g_clnt.sess.state = SDWANCLNT_DATA;
        g_clnt.sess.sid = SID;
        g_clnt.sess.token = TOKEN;
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
        g_clnt.io.tunfd = -1;
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
        sdwclnt_tun_recv(&g_clnt);
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
        g_clnt.sess.peerencrypt = tc.peerencypt;
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
        EXPECT_EQ(g_clnt.count.stats.tun_rxpkts, sent);
        EXPECT_EQ(g_clnt.count.stats.sock_txpkts, sent);
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
        g_clnt.sess.state = st;
        ASSERT_TRUE(route_out(pattern(20, st)));
        read++;
        EXPECT_EQ(g_clnt.count.stats.tun_rxpkts, read);
        EXPECT_TRUE(peer_->recv(100).empty());
    }
    EXPECT_EQ(g_clnt.count.stats.sock_txpkts, 0u);
    EXPECT_TRUE(log.all().empty());

    // Nothing waiting: nothing counted.
    sdwclnt_tun_recv(&g_clnt);
    EXPECT_EQ(g_clnt.count.stats.tun_rxpkts, read);
}

TEST_F(DataPathTest, OutboundSendFailure)
{
    // No route to this peer inside the namespace.
    g_clnt.sess.peerip = ip4(192, 0, 2, 1);
    LogCapture log;
    ASSERT_TRUE(route_out(pattern(10, 1)));
    EXPECT_EQ(g_clnt.count.stats.tun_rxpkts, 1u);
    EXPECT_EQ(g_clnt.count.stats.sock_txpkts, 0u);
    EXPECT_EQ(log.all(), (std::vector<std::string>{"Sendto error", "Failed to send packet to peer"}));
    EXPECT_EQ(g_clnt.count.tx_failed, 1u);
    EXPECT_EQ(g_clnt.sess.state, SDWANCLNT_DATA);
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
        g_clnt.sess.state = tc.state;
        const Bytes payload = pattern(tc.payload, 0x30);
        const Bytes ip = ipv4_udp(FAR_IP, TUN_IP, 5555, LOCAL_PORT, payload);
        const Bytes body = tc.enciphered ? xored(ip, key) : ip;
        peer_->inject(&g_clnt, ScriptPeer::cat({header(tc.type, tc.encrypt), body}));

        EXPECT_EQ(recv_within(receiver_, 1000), payload);
        delivered++;
        EXPECT_EQ(g_clnt.count.stats.tun_txpkts, delivered);
        EXPECT_EQ(log.all(), std::vector<std::string>{"Successfully processed and forwarded data, packet length: " +
                                                      std::to_string(ip.size())});
        EXPECT_EQ(g_clnt.sess.state, tc.state);
    }
}

TEST_F(DataPathTest, InboundRefused)
{
    struct Case {
        const char *name;
        Bytes dgram;
        const char *line;
        uint32_t write_failed;  // lost to a refused TUN write, so far
    };
    const Case cases[] = {
        {"header_only", header(SDWAN_DATA, 0), "Invalid data length received: 0", 0},
        {"five_bytes", Bytes{SDWAN_DATA, 0, 1, 2, 3}, "Invalid data length received: -3", 0},
        {"edata_header_only", header(SDWAN_EDATA, 1), "Invalid data length received: 0", 0},
        // Not an IP packet: the TUN driver refuses the write.
        {"not_ip", ScriptPeer::cat({header(SDWAN_DATA, 0), Bytes(20, 0)}), "Failed to send data to tunnel", 1},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        LogCapture log;
        peer_->inject(&g_clnt, tc.dgram);
        EXPECT_EQ(log.all(), std::vector<std::string>{tc.line});
        EXPECT_EQ(g_clnt.count.stats.tun_txpkts, 0u);
        EXPECT_EQ(g_clnt.count.tun_write_failed, tc.write_failed);
    }
    EXPECT_TRUE(recv_within(receiver_, 50).empty());
}

TEST_F(DataPathTest, DatalogOffSilencesOnlyTheSuccessLine)
{
    g_clnt.conf.datalog = 0;
    LogCapture log;
    const Bytes payload = pattern(30, 9);
    const Bytes ip = ipv4_udp(FAR_IP, TUN_IP, 5555, LOCAL_PORT, payload);
    peer_->inject(&g_clnt, ScriptPeer::cat({header(SDWAN_DATA, 0), ip}));
    EXPECT_EQ(recv_within(receiver_, 1000), payload);
    EXPECT_EQ(g_clnt.count.stats.tun_txpkts, 1u);
    EXPECT_TRUE(log.all().empty());

    peer_->inject(&g_clnt, header(SDWAN_DATA, 0));
    peer_->inject(&g_clnt, ScriptPeer::cat({header(SDWAN_DATA, 0), Bytes(20, 0)}));
    EXPECT_EQ(log.all(),
              (std::vector<std::string>{"Invalid data length received: 0", "Failed to send data to tunnel"}));
    EXPECT_EQ(g_clnt.count.stats.tun_txpkts, 1u);
}

// A TCP connection between a socket of the namespace (the near end, on the tunnel's address)
// and this test (the far end, behind the peer), carried by the client both ways, with the
// kernel's offloads and without: the peer sees only packets that fit the session, enciphered
// one by one, and the near end gets its bytes whole whichever way they came.
TEST_F(DataPathTest, TcpStreamWithAndWithoutOffloads)
{
    struct Row {
        const char *name;
        bool offload;
        uint8_t peerencypt;
    } const rows[] = {
        {"offloads, clear", true, 0},
        {"offloads, enciphered", true, 1},
        {"no offloads, enciphered", false, 2},
    };
    const Bytes key = key_of("alice", "secret");
    constexpr uint32_t MTU = 1400;
    uint16_t port = 6000;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        port++;
        // The interface made again the way the daemon makes it.
        tun_deinit(&tunfd_, TUN);
        tunfd_ = -1;
        uint32_t granted = 0;
        ASSERT_EQ(tun_init_vnet(&tunfd_, TUN, r.offload ? TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4 : 0, &granted), 0);
        ASSERT_EQ(granted != 0, r.offload);
        tun_set_ip(TUN, TUN_IP, ip4(255, 255, 255, 0));
        tun_set_mtu(TUN, MTU);
        g_clnt.io.tunfd = tunfd_;
        g_clnt.io.tunoff = granted;
        g_clnt.conf.offload = r.offload ? 1 : 0;
        g_clnt.sess.peermtu = MTU;
        sdwclnt_sock_reinit(&g_clnt);
        ASSERT_EQ(g_clnt.io.udpgro, r.offload);
        g_clnt.sess.state = SDWANCLNT_DATA;
        g_clnt.sess.peerencrypt = r.peerencypt;
        g_clnt.count.stats = netif_stats{};

        auto far_write = [&](const Bytes &ip) {
            const int n = granted != 0 ? tun_send_vnet(tunfd_, nullptr, ip.data(), static_cast<int>(ip.size()))
                                       : tun_send(tunfd_, ip.data(), static_cast<int>(ip.size()));
            ASSERT_EQ(n, static_cast<int>(ip.size()));
        };
        // Every datagram the peer got, its header checked and its payload deciphered; the packets
        // of this row's connection kept (the kernel may still send the last row's FIN through the
        // new interface, which has the same address).
        uint32_t datagrams = 0;
        auto peer_packets = [&]() {
            std::vector<Bytes> pkts;
            for (const Bytes &d : peer_->recv_all(100)) {
                datagrams++;
                EXPECT_EQ(Bytes(d.begin(), d.begin() + 8), header(r.peerencypt != 0 ? SDWAN_EDATA : SDWAN_DATA, r.peerencypt));
                Bytes ip(d.begin() + 8, d.end());
                if (r.peerencypt != 0)
                    ip = xored(ip, key);
                if (ip.size() >= 40 && ip[9] == IPPROTO_TCP && ld_be16(ip.data() + 20) == port && ld_be16(ip.data() + 22) == 40000)
                    pkts.push_back(ip);
            }
            return pkts;
        };

        const int ls = tcp_listen(TUN_IP, port);
        ASSERT_GE(ls, 0);

        ippkt::Tcp far;
        far.src = ntohl(FAR_IP);
        far.dst = ntohl(TUN_IP);
        far.sport = 40000;
        far.dport = port;
        far.seq = 5000;
        far.window = 65535;
        far.flags = ippkt::SYN;
        far.options = {2, 4, 0x05, 0x50};  // MSS 1360
        far_write(ippkt::tcp4(far, {}));
        std::vector<Bytes> got;
        for (int i = 0; i < 10 && got.empty() && fd_wait_readable(tunfd_, 1000); i++) {
            sdwclnt_tun_recv(&g_clnt);
            got = peer_packets();
        }
        ASSERT_EQ(got.size(), 1u);
        ASSERT_EQ(got[0][33], ippkt::SYN | ippkt::ACK);
        const uint32_t isn = ld_be32(got[0].data() + 24);
        far.seq = 5001;
        far.ack = isn + 1;
        far.flags = ippkt::ACK;
        far.options.clear();
        far_write(ippkt::tcp4(far, {}));
        ASSERT_TRUE(fd_wait_readable(ls, 1000));
        const int conn = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(conn, 0);

        // Near to far: 40 segments' worth, acknowledged as it comes.
        const Bytes down = ippkt::pattern(40 * 1360, 11);
        ASSERT_EQ(send(conn, down.data(), down.size(), 0), static_cast<ssize_t>(down.size()));
        Bytes far_got;
        uint32_t reads = 0;
        uint32_t segments = 1;  // the SYN-ACK
        for (int round = 0; round < 200 && far_got.size() < down.size(); round++) {
            while (fd_wait_readable(tunfd_, 20)) {
                sdwclnt_tun_recv(&g_clnt);
                reads++;
            }
            for (const Bytes &p : peer_packets()) {
                segments++;
                ASSERT_LE(p.size(), MTU);
                ASSERT_EQ(ippkt::sum16(p.data(), 20), 0xFFFF);
                ASSERT_EQ(ippkt::sum16(p.data() + 20, p.size() - 20, ippkt::pseudo(p.data(), 6, p.size() - 20)), 0xFFFF);
                ASSERT_EQ(ld_be32(p.data() + 24), isn + 1 + far_got.size());
                far_got.insert(far_got.end(), p.begin() + 40, p.end());
            }
            far.ack = isn + 1 + static_cast<uint32_t>(far_got.size());
            far.id++;
            far_write(ippkt::tcp4(far, {}));
        }
        EXPECT_TRUE(far_got == down) << far_got.size() << " of " << down.size() << " bytes";
        EXPECT_EQ(g_clnt.count.stats.tun_rxpkts, datagrams);
        EXPECT_EQ(g_clnt.count.stats.sock_txpkts, datagrams);
        if (r.offload) {
            EXPECT_LT(reads, segments - 1) << "no read carried more than one packet";
        }

        // Far to near: one train of segments from the peer, each logged as it is delivered.
        LogCapture log;
        Bytes train;
        const Bytes up = ippkt::pattern(4 * 1000, 12);
        for (int k = 0; k < 4; k++) {
            far.seq = 5001 + static_cast<uint32_t>(k) * 1000;
            far.id++;
            far.flags = k == 3 ? ippkt::ACK | ippkt::PSH : ippkt::ACK;
            const Bytes ip = ippkt::tcp4(far, Bytes(up.begin() + k * 1000, up.begin() + (k + 1) * 1000));
            const Bytes d = ScriptPeer::cat({header(r.peerencypt != 0 ? SDWAN_EDATA : SDWAN_DATA, r.peerencypt),
                                             r.peerencypt != 0 ? xored(ip, key) : ip});
            train.insert(train.end(), d.begin(), d.end());
        }
        bool gso = true;
        ASSERT_EQ(sock_send_gso(peer_->fd(), ip4(127, 0, 0, 1), ScriptPeer::client_port(&g_clnt), train.data(),
                                static_cast<uint32_t>(train.size()), 1048, &gso),
                  static_cast<int>(train.size()));
        const int reads_in = ScriptPeer::deliver(&g_clnt, 1000);
        EXPECT_EQ(reads_in, r.offload ? 1 : 4);
        EXPECT_TRUE(recv_upto(conn, up.size(), 1000) == up);
        EXPECT_EQ(g_clnt.count.stats.tun_txpkts, 4u);
        EXPECT_EQ(log.all(), std::vector<std::string>(4, "Successfully processed and forwarded data, packet length: 1040"));
        close(conn);
        close(ls);
    }
}

// A read the split refuses is dropped and counted, and the next one goes through.
TEST_F(DataPathTest, MalformedOffloadReadIsCountedAndDropped)
{
    g_clnt.io.tunoff = TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    g_clnt.io.tunfd = sv[0];
    const Bytes good = ippkt::udp4(ntohl(TUN_IP), ntohl(REMOTE_IP), 5000, REMOTE_PORT, pattern(30, 1));
    Bytes bad = ippkt::cat(ippkt::vhdr(0, VNET_GSO_TCPV4, 40, 1000, 20, 16), good);  // UDP under TCP
    ASSERT_EQ(write(sv[1], bad.data(), bad.size()), static_cast<ssize_t>(bad.size()));
    // A plain read longer than any train (the interface's MTU bounds what the kernel hands over).
    const Bytes huge = ippkt::cat(Bytes(VNET_HDR_LEN, 0), ippkt::udp4(ntohl(TUN_IP), ntohl(REMOTE_IP), 5000,
                                                                      REMOTE_PORT, pattern(VNET_TRAIN_BYTES, 2)));
    ASSERT_EQ(write(sv[1], huge.data(), huge.size()), static_cast<ssize_t>(huge.size()));
    const Bytes plain = ippkt::cat(Bytes(VNET_HDR_LEN, 0), good);
    ASSERT_EQ(write(sv[1], plain.data(), plain.size()), static_cast<ssize_t>(plain.size()));
    LogCapture log;
    for (int i = 0; i < 3; i++)
        sdwclnt_tun_recv(&g_clnt);
    EXPECT_EQ(g_clnt.count.stats.panic_txdrop, 2u);
    EXPECT_EQ(g_clnt.count.stats.tun_rxpkts, 3u);
    EXPECT_EQ(g_clnt.count.stats.sock_txpkts, 1u);
    const Bytes d = peer_->recv(500);
    EXPECT_EQ(d, ScriptPeer::cat({header(SDWAN_DATA, 0), good}));
    EXPECT_TRUE(log.all().empty());
    g_clnt.io.tunfd = tunfd_;
    g_clnt.io.tunoff = 0;
    close(sv[0]);
    close(sv[1]);
}

// Under the offloads a small packet goes the plain way in both directions: out from where it was
// read, its partial checksum completed, one datagram; in written alone behind a zero header, after
// the TCP segment joined before it, which keeps the peer's order.
TEST_F(DataPathTest, SmallPacketsUnderOffloadsGoOneByOne)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    g_clnt.io.tunfd = sv[0];
    g_clnt.io.tunoff = TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4;
    g_clnt.io.udpgro = true;
    LogCapture log;

    const Bytes udp = ippkt::udp4(ntohl(TUN_IP), ntohl(REMOTE_IP), 5000, REMOTE_PORT, pattern(64, 4));
    Bytes partial = udp;
    ippkt::put16(partial, 26, ippkt::sum16(nullptr, 0, ippkt::pseudo(partial.data(), IPPROTO_UDP, 72)));
    const Bytes read = ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, VNET_GSO_NONE, 0, 0, 20, 6), partial);
    ASSERT_EQ(write(sv[1], read.data(), read.size()), static_cast<ssize_t>(read.size()));
    sdwclnt_tun_recv(&g_clnt);
    EXPECT_EQ(peer_->recv(500), ScriptPeer::cat({header(SDWAN_DATA, 0), udp}));
    EXPECT_EQ(g_clnt.count.stats.tun_rxpkts, 1u);
    EXPECT_EQ(g_clnt.count.stats.sock_txpkts, 1u);
    EXPECT_EQ(g_clnt.count.txbytes, 92u);

    ippkt::Tcp far;
    far.src = ntohl(FAR_IP);
    far.dst = ntohl(TUN_IP);
    const Bytes tcp = ippkt::tcp4(far, pattern(100, 6));
    const Bytes back = ippkt::udp4(ntohl(REMOTE_IP), ntohl(TUN_IP), REMOTE_PORT, 5000, pattern(64, 5));
    for (const Bytes *pkt : {&tcp, &back}) {
        Bytes d = ScriptPeer::cat({header(SDWAN_DATA, 0), *pkt});
        const sdwan_pkthdr_t h = sdwan_hdr_load(d.data());
        sdwan_onDATA(&g_clnt, d.data(), static_cast<uint32_t>(d.size()), &h);
    }
    sdwan_data_flush(&g_clnt);
    uint8_t got[4096];
    for (const Bytes *pkt : {&tcp, &back}) {
        const ssize_t n = recv(sv[1], got, sizeof got, MSG_DONTWAIT);
        ASSERT_GT(n, 0);
        EXPECT_EQ(Bytes(got, got + n), ippkt::cat(Bytes(VNET_HDR_LEN, 0), *pkt));
    }
    EXPECT_EQ(recv(sv[1], got, sizeof got, MSG_DONTWAIT), -1);
    EXPECT_EQ(g_clnt.count.stats.tun_txpkts, 2u);
    EXPECT_EQ(g_clnt.count.rxbytes, static_cast<uint32_t>(tcp.size() + back.size()));
    const std::string ok = "Successfully processed and forwarded data, packet length: ";
    EXPECT_EQ(log.all(), (std::vector<std::string>{ok + "140", ok + "92"}));
    g_clnt.io.tunfd = tunfd_;
    g_clnt.io.tunoff = 0;
    g_clnt.io.udpgro = false;
    close(sv[0]);
    close(sv[1]);
}

// Segments joined into one write are counted and logged once the interface takes the write; a
// refused one loses them all with one line, as a refused write of one packet does.
TEST_F(DataPathTest, JoinedSegmentsDeliveredOnlyWhenTheirWriteIsTaken)
{
    struct Row {
        const char *name;
        bool taken;
        uint64_t txpkts;
        std::vector<std::string> lines;
    };
    const std::string ok = "Successfully processed and forwarded data, packet length: ";
    const Row rows[] = {
        {"taken", true, 3, {ok + "1040", ok + "1040", ok + "540"}},
        {"refused", false, 0, {"Failed to send data to tunnel"}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
        // A descriptor open for reading only refuses every write.
        const int ro = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(ro, 0);
        g_clnt.io.tunfd = r.taken ? sv[0] : ro;
        g_clnt.io.tunoff = TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4;
        g_clnt.io.udpgro = true;
        g_clnt.count.stats = netif_stats{};
        g_clnt.count.rxbytes = 0;
        g_clnt.count.tun_write_failed = 0;
        LogCapture log;
        ippkt::Tcp far;
        far.src = ntohl(FAR_IP);
        far.dst = ntohl(TUN_IP);
        for (uint32_t k = 0; k < 3; k++) {
            far.seq = 1000 + k * 1000;
            far.id++;
            far.flags = k == 2 ? ippkt::ACK | ippkt::PSH : ippkt::ACK;
            Bytes d = ScriptPeer::cat({header(SDWAN_DATA, 0), ippkt::tcp4(far, pattern(k == 2 ? 500 : 1000, 3))});
            const sdwan_pkthdr_t h = sdwan_hdr_load(d.data());
            sdwan_onDATA(&g_clnt, d.data(), static_cast<uint32_t>(d.size()), &h);
        }
        EXPECT_EQ(g_clnt.count.stats.tun_txpkts, 0u) << "counted before the write";
        sdwan_data_flush(&g_clnt);
        EXPECT_EQ(g_clnt.count.stats.tun_txpkts, r.txpkts);
        EXPECT_EQ(g_clnt.count.rxbytes, r.taken ? 2620u : 0u);
        EXPECT_EQ(g_clnt.count.tun_write_failed, r.taken ? 0u : 3u);
        EXPECT_EQ(log.all(), r.lines);
        if (r.taken) {
            uint8_t got[4096];
            EXPECT_EQ(recv(sv[1], got, sizeof got, MSG_DONTWAIT), static_cast<ssize_t>(VNET_HDR_LEN + 40 + 2500));
        }
        g_clnt.io.tunfd = tunfd_;
        g_clnt.io.tunoff = 0;
        g_clnt.io.udpgro = false;
        close(ro);
        close(sv[0]);
        close(sv[1]);
    }
}

// A segment the coalescer holds belongs to its session: a reset, and a new peer's, drop it, so the
// next session's first write is not the last one's data. Without either it is written.
TEST(DataCoalescer, EmptiedWhenTheSessionIsReset)
{
    struct Row {
        const char *name;
        void (*end)(sdwan_t *);
        size_t written;
    };
    const Row rows[] = {
        {"written at the flush", nullptr, VNET_HDR_LEN + 40 + 1000},
        {"sdwclnt_reset_state", sdwclnt_reset_state, 0},
        {"sdwclnt_set_peer", [](sdwan_t *c) { (void)sdwclnt_set_peer(c); }, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        poll_init();
        FakeHost host;
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
        const client_ptr c = new_client();
        c->ops = host.ops();
        c->conf.offload = 0;
        c->sess.state = SDWANCLNT_DATA;
        c->io.tunfd = sv[0];
        c->io.tunoff = TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4;
        c->io.udpgro = true;
        LogCapture log;
        ippkt::Tcp far;
        far.src = ntohl(FAR_IP);
        far.dst = ntohl(TUN_IP);
        far.flags = ippkt::ACK;  // no PSH: the coalescer waits for more
        Bytes d = ScriptPeer::cat({Bytes{SDWAN_DATA, 0, 0, 0, 0, 0, 0, 0}, ippkt::tcp4(far, pattern(1000, 5))});
        const sdwan_pkthdr_t h = sdwan_hdr_load(d.data());
        sdwan_onDATA(c.get(), d.data(), static_cast<uint32_t>(d.size()), &h);
        if (r.end != nullptr)
            r.end(c.get());
        sdwan_data_flush(c.get());
        uint8_t got[4096];
        const ssize_t n = recv(sv[1], got, sizeof got, MSG_DONTWAIT);
        EXPECT_EQ(n < 0 ? 0 : static_cast<size_t>(n), r.written);
        EXPECT_EQ(c->count.stats.tun_txpkts, r.written != 0 ? 1u : 0u);
        if (c->io.udpsock >= 0) {
            poll_del(c->io.udpsock);
            close(c->io.udpsock);
        }
        close(sv[0]);
        close(sv[1]);
    }
}

}  // namespace

// The daemon's own datagrams, routed into its own tunnel when the host route that kept them
// outside is gone, are recognised by their destination and never sent.
TEST(SdwanOwnDest, PacketsToThePeerOrTheResolverWhileResolving)
{
    sdwan_t c{};
    c.sess.peerip = 0x0200a8c0;  // 192.168.0.2
    c.conf.peerport = 4500;
    const uint32_t resolver = sdwan_resolver_ip();
    const uint32_t configured = 0x0200000a;  // 10.0.0.2, a resolver= key
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
        {"UDP to the peer's port", SDWANCLNT_DATA, 0x45, 17, 0, c.sess.peerip, 4500, 28, true},
        {"with IP options", SDWANCLNT_DATA, 0x46, 17, 0, c.sess.peerip, 4500, 32, true},
        {"IP options push the port out", SDWANCLNT_DATA, 0x46, 17, 0, c.sess.peerip, 4500, 27, false},
        {"another port of the peer", SDWANCLNT_DATA, 0x45, 17, 0, c.sess.peerip, 22, 28, false},
        {"TCP to the peer's port", SDWANCLNT_DATA, 0x45, 6, 0, c.sess.peerip, 4500, 40, false},
        {"a later fragment", SDWANCLNT_DATA, 0x45, 17, 0x0010, c.sess.peerip, 4500, 28, false},
        {"another host", SDWANCLNT_DATA, 0x45, 17, 0, 0x0300a8c0, 4500, 28, false},
        {"cut before the port", SDWANCLNT_DATA, 0x45, 17, 0, c.sess.peerip, 4500, 23, false},
        {"IPv6", SDWANCLNT_DATA, 0x60, 17, 0, c.sess.peerip, 4500, 48, false},
        {"header length below 20", SDWANCLNT_DATA, 0x44, 17, 0, c.sess.peerip, 4500, 28, false},
        {"the resolver while resolving", SDWANCLNT_DNS, 0x45, 17, 0, resolver, 53, 28, true},
        {"the resolver in session", SDWANCLNT_DATA, 0x45, 17, 0, resolver, 53, 28, false},
        // with a resolver= key, that one is recognised and no longer the build's
        {"a configured resolver while resolving", SDWANCLNT_DNS, 0x45, 17, 0, configured, 53, 28, true},
        {"the build's when another is configured", SDWANCLNT_DNS, 0x45, 17, 0, resolver, 53, 28, false},
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
        c.sess.state = t.state;
        c.conf.resolver = &t >= &cases[std::size(cases) - 2] ? configured : 0;
        EXPECT_EQ(sdwan_own_dest(&c, p, t.len), t.own);
    }
}
