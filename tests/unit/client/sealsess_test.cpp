// The sealed session against a scripted peer built from src/seal directly (its own Noise NK
// responder and ciphers), the host a recording fake and the TUN device one end of a datagram
// socket pair: the handshake's bytes, the AUTH body, AUTHACK to DATA, AUTHREJ, refused answers,
// hostile SDATA, the data path both ways and the rekey on the fake clock.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "bytes.h"
#include "client/data.h"
#include "client/rlog.h"
#include "client/sealed.h"
#include "client/session.h"
#include "client/status.h"
#include "client/uplinks.h"
#include "net/ipaddr.h"
#include "net/sock.h"
#include "net/vnet.h"
#include "proto/sealed.h"
#include "seal/keyfile.h"
#include "seal/noise.h"
#include "support/fakeclock.h"
#include "support/ippkt.h"
#include "support/netns.h"
#include "support/scriptpeer.h"
#include "support/sealforge.h"

// Allocations are counted while s_counting is set: the sealed data path, its handshakes and its
// rekey allocate nothing. A sanitizer brings its own allocator, which this would stand in for.
#if !defined(__SANITIZE_ADDRESS__)
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
namespace {
bool s_counting = false;
size_t s_allocs = 0;
}  // namespace
extern "C" void *malloc(size_t n)
{
    s_allocs += s_counting ? 1 : 0;
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m)
{
    s_allocs += s_counting ? 1 : 0;
    return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n)
{
    s_allocs += s_counting ? 1 : 0;
    return __libc_realloc(p, n);
}
#define SEALED_COUNTS_ALLOCS 1
#endif

namespace {

using Lines = std::vector<std::string>;

// The peer's half of one handshake and the keys it gives.
struct SealPeer {
    aead_ctx_t ax{};  // closed: this side through libsodium, the client's through its own contexts
    uint8_t priv[KEY_BYTES];
    uint8_t pub[KEY_BYTES];
    noise_cipher send{}, recv{};
    uint32_t idx = 0;
    uint32_t client = 0;

    explicit SealPeer(uint8_t seed)
    {
        for (size_t i = 0; i < KEY_BYTES; i++)
            priv[i] = static_cast<uint8_t>(seed + i * 7);
        key_public(priv, pub);
    }
    // The SRESP to an SINIT; the keys taken. Empty when the SINIT does not read.
    Bytes answer(const Bytes &sinit, uint32_t my_idx)
    {
        noise_handshake hs;
        uint8_t pl[NOISE_TAG];
        if (sinit.size() != 56 || noise_handshake_init(&hs, &ax, noise_pattern::NK, false, SEALED_PROLOGUE, priv, nullptr) != 0 ||
            noise_handshake_read(&hs, {sinit.data() + 8, 48}, pl) != 0)
            return {};
        client = ld_le32(sinit.data() + 4);
        idx = my_idx;
        Bytes out(60);
        out[0] = 33;
        out[1] = 1;
        st_le32(&out[4], client);
        st_le32(&out[8], idx);
        EXPECT_EQ(noise_handshake_write(&hs, {}, {out.data() + 12, 48}), 48);
        EXPECT_EQ(noise_handshake_split(&hs, &send, &recv), 0);
        return out;
    }
    Bytes seal(uint8_t kind, const Bytes &body) { return sealforge::sdata(&send, client, kind, body, send.n); }
    using Opened = sealforge::Opened;
    Opened open(const Bytes &d) { return sealforge::open(&recv, d); }
};

Bytes options()
{
    return ScriptPeer::cat({ScriptPeer::opt_mtu(1375), ScriptPeer::opt_ip(str2ip("10.200.0.5")),
                            ScriptPeer::opt_gateway(str2ip("10.200.0.1"))});
}

// A small IPv4/ICMP packet to 10.200.0.1 (never the daemon's own traffic).
Bytes ip_packet(uint8_t fill)
{
    Bytes p(28, fill);
    p[0] = 0x45;
    st_be16(&p[2], 28);
    p[8] = 64;
    p[9] = 1;
    const uint8_t src[4] = {10, 200, 0, 5}, dst[4] = {10, 200, 0, 1};
    std::copy(src, src + 4, p.begin() + 12);
    std::copy(dst, dst + 4, p.begin() + 16);
    return p;
}

class Sealed : public ClientFakeTest {
protected:
    SealPeer sp{7};
    int tun[2] = {-1, -1};

    void SetUp() override
    {
        ClientFakeTest::SetUp();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, tun), 0);
        clnt->io.tunfd = tun[0];
        pin(sp);
    }
    void TearDown() override
    {
        clnt->io.tunfd = -1;
        close(tun[0]);
        close(tun[1]);
        ClientFakeTest::TearDown();
    }
    void pin(const SealPeer &p)
    {
        memcpy(clnt->conf.peerkey, p.pub, KEY_BYTES);
        clnt->conf.peerkey_state = SDWAN_PEERKEY_SET;
        set_peer_quiet();
    }
    // The client's datagrams that reached the peer, the first of the given size (0: any).
    Bytes recv_sized(size_t size)
    {
        for (const Bytes &d : peer->recv_all(100))
            if (size == 0 || d.size() == size)
                return d;
        return {};
    }
    // The client's SDATA that p's keys open, of the kind asked for.
    SealPeer::Opened recv_kind(SealPeer &p, uint8_t kind)
    {
        for (const Bytes &d : peer->recv_all(100)) {
            SealPeer::Opened o = p.open(d);
            if (o.kind == kind)
                return o;
        }
        return {};
    }
    // INIT tick, the SRESP of p: the AUTH the client sends.
    SealPeer::Opened handshake(SealPeer &p, uint32_t idx)
    {
        tick();
        const Bytes sinit = recv_sized(56);
        last_sresp = p.answer(sinit, idx);
        EXPECT_TRUE(peer->send_and_deliver(clnt, last_sresp));
        return recv_kind(p, SEAL_KIND_AUTH);
    }
    Bytes last_sresp, last_ack;  // of the last handshake
    bool establish_sealed()
    {
        if (handshake(sp, 0x11112222).kind != SEAL_KIND_AUTH)
            return false;
        last_ack = sp.seal(SEAL_KIND_AUTHACK, options());
        peer->inject(clnt, last_ack);
        log->take();
        return clnt->sess.state == SDWANCLNT_DATA;
    }
    Bytes tun_read()
    {
        uint8_t b[2048];
        const ssize_t n = read(tun[1], b, sizeof b);
        return n > 0 ? Bytes(b, b + n) : Bytes{};
    }
    // One packet written to the TUN device, carried by the client: what reached the peer.
    Bytes tun_send(const Bytes &pkt)
    {
        EXPECT_EQ(write(tun[1], pkt.data(), pkt.size()), static_cast<ssize_t>(pkt.size()));
        sdwclnt_tun_recv(clnt);
        return recv_sized(pkt.size() + SEALED_OVERHEAD);
    }
};

TEST_F(Sealed, HandshakeBytesAndAuthBody)
{
    tick();
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_AUTH);
    const Bytes sinit = peer->recv();
    ASSERT_EQ(sinit.size(), 56u);
    EXPECT_EQ(Bytes(sinit.begin(), sinit.begin() + 4), (Bytes{32, 1, 0, 0}));
    EXPECT_NE(ld_le32(&sinit[4]), 0u);
    EXPECT_EQ(peer->recv(20), Bytes{}) << "one SINIT, no legacy OPEN";

    ASSERT_TRUE(peer->send_and_deliver(clnt, sp.answer(sinit, 0xA1B2C3D4)));
    const Bytes auth = peer->recv();
    ASSERT_GE(auth.size(), 33u);
    EXPECT_EQ(Bytes(auth.begin(), auth.begin() + 16), (Bytes{34, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1, 0, 0, 0, 0, 0, 0, 0, 0}));
    const SealPeer::Opened o = sp.open(auth);
    EXPECT_EQ(o.kind, SEAL_KIND_AUTH);
    // MTU 1400, user "alice", the password in plain text.
    EXPECT_EQ(o.body, (Bytes{3, 4, 0x05, 0x78, 1, 7, 'a', 'l', 'i', 'c', 'e', 2, 8, 's', 'e', 'c', 'r', 'e', 't'}));
    EXPECT_EQ(log->take(), (Lines{"INIT peer 127.0.0.1:" + std::to_string(peer->port()), "SEALED handshake start",
                                  "AUTH start"}));
    EXPECT_EQ(clnt->seal.handshakes, 1u);
}

// The AUTHACK does to the host what an OPENACK does: the legacy session first, then the sealed one.
TEST_F(Sealed, AuthackHasTheHostEffectsOfOpenack)
{
    clnt->conf.peerkey_state = SDWAN_PEERKEY_NONE;
    set_peer_quiet();
    ASSERT_TRUE(establish(0x2222, 9, options()));
    const Lines legacy = host_calls();
    ASSERT_FALSE(legacy.empty());
    sdwclnt_reset_state(clnt);
    host_calls();
    pin(sp);
    ASSERT_TRUE(establish_sealed());
    EXPECT_EQ(host_calls(), legacy);
    EXPECT_EQ(clnt->sess.sid, 0x2222) << "the peer's index, low 16 bits";
    EXPECT_EQ(clnt->count.stats.openackcnt, 1u) << "counted since the peer was set";
}

TEST_F(Sealed, AuthackLines)
{
    ASSERT_EQ(handshake(sp, 0x00050007).kind, SEAL_KIND_AUTH);
    log->take();
    peer->inject(clnt, sp.seal(SEAL_KIND_AUTHACK, options()));
    EXPECT_EQ(log->take(), (Lines{"sdwan DATA ESTABLISHED session 7",
                                  "Using IP: 10.200.0.5, Gateway: 10.200.0.1, MTU: 1375, Encrypt: N"}));
}

TEST_F(Sealed, AuthrejStartsOver)
{
    ASSERT_EQ(handshake(sp, 5).kind, SEAL_KIND_AUTH);
    log->take();
    peer->inject(clnt, sp.seal(SEAL_KIND_AUTHREJ, {1}));
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_INIT);
    EXPECT_EQ(clnt->count.stats.openrejcnt, 1u);
    EXPECT_TRUE(log->contains("SDWAN peer authentication REJECTED"));
    EXPECT_FALSE(clnt->seal.next.live || clnt->seal.cur.live) << "the keys are wiped";
    EXPECT_EQ(host_calls(), Lines{});
}

// An SRESP that does not decrypt under the pinned key: counted, no AUTH, and the handshake still
// takes the genuine answer.
TEST_F(Sealed, RefusedAnswers)
{
    tick();
    const Bytes sinit = peer->recv();
    Bytes good = sp.answer(sinit, 77);
    ASSERT_EQ(good.size(), 60u);
    // An answer under another peer's key: the SINIT read as if pinned to it.
    SealPeer other(9);
    Bytes resent = sinit;
    noise_handshake ini;
    ASSERT_EQ(noise_handshake_init(&ini, &other.ax, noise_pattern::NK, true, SEALED_PROLOGUE, nullptr, other.pub), 0);
    ASSERT_EQ(noise_handshake_write(&ini, {}, {resent.data() + 8, 48}), 48);
    Bytes foreign = other.answer(resent, 77);
    ASSERT_EQ(foreign.size(), 60u);
    Bytes flipped = good;
    flipped[59] ^= 1;
    Bytes wrong_idx = good;
    wrong_idx[4] ^= 1;
    struct Row {
        const char *what;
        Bytes pkt;
        uint32_t failed, index, malformed;
    } rows[] = {
        {"answer under another key", foreign, 1, 0, 0},
        {"tag flipped", flipped, 2, 0, 0},
        {"another handshake's index", wrong_idx, 2, 1, 0},
        {"short", Bytes(good.begin(), good.end() - 1), 2, 1, 1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        peer->inject(clnt, r.pkt);
        EXPECT_EQ(clnt->seal.hs_failed, r.failed);
        EXPECT_EQ(clnt->seal.drops[SEAL_DROP_INDEX], r.index);
        EXPECT_EQ(clnt->seal.drops[SEAL_DROP_MALFORMED], r.malformed);
        EXPECT_EQ(peer->recv(20), Bytes{});
        EXPECT_EQ(clnt->sess.state, SDWANCLNT_AUTH);
    }
    EXPECT_TRUE(log->contains("SEALED handshake refused: the answer does not decrypt under peerkey"));
    peer->inject(clnt, good);
    EXPECT_EQ(sp.open(peer->recv()).kind, SEAL_KIND_AUTH);
}

TEST_F(Sealed, DataBothWays)
{
    ASSERT_TRUE(establish_sealed());
    const Bytes out = ip_packet(0xAA);
    const SealPeer::Opened o = sp.open(tun_send(out));
    EXPECT_EQ(o.kind, SEAL_KIND_IP);
    EXPECT_EQ(o.body, out);
    EXPECT_EQ(o.receiver, 0x11112222u);
    EXPECT_EQ(clnt->count.stats.sock_txpkts, 1u);

    const Bytes in = ip_packet(0x55);
    peer->inject(clnt, sp.seal(SEAL_KIND_IP, in));
    EXPECT_EQ(tun_read(), in);
    EXPECT_EQ(clnt->count.stats.tun_txpkts, 1u);
    EXPECT_EQ(clnt->count.rxbytes, in.size());
}

// A packet whose sealing OpenSSL refuses (contexts never given their cipher) is dropped and
// counted, and nothing leaves: the next one, sealed again, goes out under the next counter.
TEST_F(Sealed, RefusedSealDropsThePacket)
{
    ASSERT_TRUE(establish_sealed());
    peer->recv_all(20);
    aead_ctx_t &ax = clnt->io.aead;
    ASSERT_EQ(ax.seal, nullptr) << "the fixture's client opened no contexts";
    ax.seal = EVP_CIPHER_CTX_new();
    const uint64_t n = clnt->seal.cur.send.n;
    EXPECT_EQ(tun_send(ip_packet(1)), Bytes{});
    EXPECT_EQ(clnt->count.tx_failed, 1u);
    EXPECT_EQ(clnt->count.stats.sock_txpkts, 0u);
    EVP_CIPHER_CTX_free(ax.seal);
    ax.seal = nullptr;
    const SealPeer::Opened o = sp.open(tun_send(ip_packet(2)));
    EXPECT_EQ(o.body, ip_packet(2));
    EXPECT_EQ(o.counter, n);
    EXPECT_EQ(clnt->count.tx_failed, 1u);
}

// Under the offloads. Out: a TCP super-packet of 3500 bytes cut at 1000 and a packet that is
// none; every datagram the client sent must be byte for byte the reference cipher's sealing of
// the segment at its own counter, all the size of the first but the last, gone as one segmented
// send. In: a received train whose middle datagram is forged.
TEST_F(Sealed, OffloadTrainsBothWays)
{
    ASSERT_TRUE(establish_sealed());
    peer->recv_all(20);
    clnt->io.tunoff = TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4;
    clnt->io.udpgso = true;
    ASSERT_EQ(sock_gro_enable(clnt->io.udpsock), 0);
    clnt->io.udpgro = true;

    ippkt::Tcp t;
    t.src = 0x0AC80005;  // 10.200.0.5, the session's
    t.dst = 0x0AC80001;
    t.flags = ippkt::ACK | ippkt::PSH;
    const Bytes super = ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, VNET_GSO_TCPV4, 40, 1000, 20, 16),
                                   ippkt::tcp4(t, ippkt::pattern(3500)));
    // The segments as the clear path cuts them.
    std::vector<Bytes> want;
    {
        Bytes rd = super;
        static uint8_t cut[VNET_TRAIN_BYTES];
        vnet_split_t sp_;
        vnet_train_t tr;
        ASSERT_EQ(vnet_split_begin(&sp_, rd.data(), static_cast<uint32_t>(rd.size()), 1375), VNET_OK);
        ASSERT_EQ(vnet_split_next(&sp_, cut, sizeof cut, 0, VNET_TRAIN_SEGS, &tr), 4);
        for (uint32_t i = 0; i < tr.count; i++)
            want.emplace_back(cut + i * tr.stride, cut + i * tr.stride + (i + 1 < tr.count ? tr.seglen : tr.lastlen));
    }
    want.push_back(ip_packet(0x33));
    const Bytes single = ippkt::cat(Bytes(VNET_HDR_LEN, 0), want.back());

    const uint64_t n0 = clnt->seal.cur.send.n;
    const netif_stats before = clnt->count.stats;
    const uint64_t tx0 = clnt->count.txbytes;
    for (const Bytes *rd : {&super, &single}) {
        ASSERT_EQ(write(tun[1], rd->data(), rd->size()), static_cast<ssize_t>(rd->size()));
        sdwclnt_tun_recv(clnt);
    }
    const std::vector<Bytes> got = peer->recv_all(200);
    ASSERT_EQ(got.size(), want.size());
    uint64_t bytes = 0;
    for (size_t i = 0; i < want.size(); i++) {
        SCOPED_TRACE(i);
        noise_cipher ref = sp.recv;  // the client's sending key
        EXPECT_EQ(got[i], sealforge::sdata(&ref, 0x11112222, SEAL_KIND_IP, want[i], n0 + i));
        bytes += want[i].size();
    }
    EXPECT_EQ(got[0].size(), 1040u + SEALED_OVERHEAD);
    EXPECT_EQ(got[3].size(), 540u + SEALED_OVERHEAD);
    EXPECT_TRUE(clnt->io.udpgso) << "the train left as one segmented send";
    EXPECT_EQ(clnt->seal.cur.send.n, n0 + 5);
    EXPECT_EQ(clnt->count.stats.tun_rxpkts, before.tun_rxpkts + 5);
    EXPECT_EQ(clnt->count.stats.sock_txpkts, before.sock_txpkts + 5);
    EXPECT_EQ(clnt->count.txbytes, tx0 + bytes);

    // In: two segments of one flow with a forgery between them, one received train.
    ippkt::Tcp in = t;
    std::swap(in.src, in.dst);
    in.flags = ippkt::ACK;
    const Bytes payload = ippkt::pattern(2000, 5);
    Bytes train;
    for (int i = 0; i < 3; i++) {
        in.seq = t.seq + 1000u * static_cast<uint32_t>(i == 2 ? 1 : 0);
        Bytes d = sp.seal(SEAL_KIND_IP, ippkt::tcp4(in, Bytes(payload.begin() + 1000 * (i == 2), payload.begin() + 1000 * (1 + (i == 2)))));
        if (i == 1)
            d[d.size() - 1] ^= 1;
        train.insert(train.end(), d.begin(), d.end());
    }
    bool gso = true;
    ASSERT_EQ(sock_send_gso(peer->fd(), ScriptPeer::ipbe(), ScriptPeer::client_port(clnt), train.data(),
                            static_cast<uint32_t>(train.size()), static_cast<uint32_t>(train.size() / 3), &gso),
              static_cast<int>(train.size()));
    const netif_stats mid = clnt->count.stats;
    while (fd_wait_readable(clnt->io.udpsock, 200) && clnt->count.stats.sock_rxpkts < mid.sock_rxpkts + 3)
        sdwan_sock_recv(clnt);
    EXPECT_EQ(clnt->count.stats.sock_rxpkts, mid.sock_rxpkts + 3);
    EXPECT_EQ(clnt->seal.drops[SEAL_DROP_TAG], 1u);
    EXPECT_EQ(clnt->count.stats.tun_txpkts, mid.tun_txpkts + 2);
    static uint8_t w[4096];
    const ssize_t wn = read(tun[1], w, sizeof w);
    ASSERT_EQ(wn, 10 + 2040) << "the two genuine segments in one write";
    EXPECT_EQ(Bytes(w, w + 10), ippkt::vhdr(VNET_F_NEEDS_CSUM, VNET_GSO_TCPV4, 40, 1000, 20, 16));
    EXPECT_EQ(Bytes(w + 50, w + wn), payload);
    EXPECT_EQ(tun_read(), Bytes{});
    clnt->io.tunoff = 0;
}

// Hostile SDATA in DATA: each dropped, counted under its reason with its line, nothing reset and
// nothing written to the interface.
TEST_F(Sealed, HostileSdata)
{
    ASSERT_TRUE(establish_sealed());
    // good: a packet the client took; fresh: one it has not seen.
    using Make = std::function<Bytes(const Bytes &good, const Bytes &fresh)>;
    auto forge = [](sealforge::forge f) -> Make {
        return [f](const Bytes &, const Bytes &fresh) { return sealforge::forged(f, fresh); };
    };
    struct Row {
        const char *what;
        Make make;
        int reason;  // -1: counted as an unknown type
        const char *line;
    } rows[] = {
        {"replayed", [](const Bytes &g, const Bytes &) { return g; }, SEAL_DROP_REPLAY, "SEALED packet dropped: replayed"},
        {"body flipped", forge(sealforge::forge::body_flipped), SEAL_DROP_TAG, "SEALED packet dropped: bad tag"},
        {"counter flipped (AD)", forge(sealforge::forge::counter_flipped), SEAL_DROP_TAG,
         "SEALED packet dropped: bad tag"},
        {"truncated", forge(sealforge::forge::truncated), SEAL_DROP_MALFORMED, "SEALED packet dropped: malformed"},
        {"the header alone", forge(sealforge::forge::header_only), SEAL_DROP_MALFORMED,
         "SEALED packet dropped: malformed"},
        {"the session's SRESP replayed", [this](const Bytes &, const Bytes &) { return last_sresp; }, SEAL_DROP_INDEX,
         "SEALED packet dropped: unknown index"},
        {"the session's AUTHACK replayed", [this](const Bytes &, const Bytes &) { return last_ack; }, SEAL_DROP_REPLAY,
         "SEALED packet dropped: replayed"},
        {"unknown index", forge(sealforge::forge::index_flipped), SEAL_DROP_INDEX,
         "SEALED packet dropped: unknown index"},
        {"behind the window",
         [this](const Bytes &, const Bytes &) {
             const uint64_t n = sp.send.n;
             sp.send.n = n + REPLAY_WINDOW + 100;
             peer->inject(clnt, sp.seal(SEAL_KIND_ECHORESP, Bytes(20)));
             const uint64_t ahead = sp.send.n;
             sp.send.n = n;
             Bytes old = sp.seal(SEAL_KIND_IP, ip_packet(1));
             sp.send.n = ahead;
             return old;
         },
         SEAL_DROP_OLD, "SEALED packet dropped: too old"},
        {"AUTHACK under the session's keys",
         [this](const Bytes &, const Bytes &) { return sp.seal(SEAL_KIND_AUTHACK, options()); }, SEAL_DROP_KIND,
         "SEALED packet dropped: unexpected kind"},
        {"a legacy CLOSE", [](const Bytes &, const Bytes &) { return ScriptPeer::close_pkt(0x2222, 0); }, -1,
         "Unknown packet type: 23"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        const Bytes good = sp.seal(SEAL_KIND_IP, ip_packet(2));
        peer->inject(clnt, good);
        ASSERT_EQ(tun_read(), ip_packet(2));
        const Bytes fresh = sp.seal(SEAL_KIND_IP, ip_packet(3));
        const Bytes bad = r.make(good, fresh);
        // A new interval of the rate limit: each row's line is written.
        FakeClock::advance(1);
        sdwclnt_rlog_tick(clnt);
        log->take();
        sdwan_seal_t before = clnt->seal;
        const uint32_t unknown = clnt->count.stats.panic_pkttype;
        peer->inject(clnt, bad);
        if (r.reason >= 0)
            before.drops[r.reason]++;
        EXPECT_EQ(0, memcmp(before.drops, clnt->seal.drops, sizeof before.drops));
        EXPECT_EQ(clnt->count.stats.panic_pkttype, unknown + (r.reason < 0 ? 1 : 0));
        EXPECT_EQ(log->take(), Lines{r.line});
        EXPECT_EQ(clnt->sess.state, SDWANCLNT_DATA);
        EXPECT_EQ(tun_read(), Bytes{});
    }
}

// Every 120 s a new handshake; data stays on the old keys until the new AUTHACK, and the old keys
// are still taken from the peer for a while after it.
TEST_F(Sealed, RekeyWithoutGap)
{
    ASSERT_TRUE(establish_sealed());
    peer->recv_all(20);
    host_calls();
    FakeClock::advance(SEAL_REKEY_SEC - 2);
    peer->inject(clnt, sp.seal(SEAL_KIND_ECHORESP, Bytes(20)));  // keeps the session alive
    tick();
    EXPECT_EQ(recv_sized(56), Bytes{}) << "no rekey before 120 s";
    tick();
    const Bytes sinit = recv_sized(56);
    ASSERT_EQ(sinit.size(), 56u) << "the rekey's SINIT at 120 s";

    EXPECT_EQ(sp.open(tun_send(ip_packet(3))).receiver, 0x11112222u) << "old keys while the handshake runs";
    SealPeer sp2(7);
    ASSERT_TRUE(peer->send_and_deliver(clnt, sp2.answer(sinit, 0x33334444)));
    EXPECT_EQ(sp2.open(peer->recv()).kind, SEAL_KIND_AUTH) << "the credentials again, under the new keys";
    EXPECT_EQ(sp.open(tun_send(ip_packet(4))).kind, SEAL_KIND_IP) << "old keys until the AUTHACK";

    peer->inject(clnt, sp2.seal(SEAL_KIND_AUTHACK, options()));
    EXPECT_EQ(clnt->seal.rekeys, 1u);
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_DATA);
    EXPECT_EQ(host_calls(), Lines{}) << "the address and routes survive";
    const SealPeer::Opened o = sp2.open(tun_send(ip_packet(5)));
    EXPECT_EQ(o.receiver, 0x33334444u);
    EXPECT_EQ(o.body, ip_packet(5));

    peer->inject(clnt, sp.seal(SEAL_KIND_IP, ip_packet(6)));
    EXPECT_EQ(tun_read(), ip_packet(6)) << "the old keys still taken";
    for (uint32_t t = 0; t <= SEAL_PREV_SEC; t++) {
        peer->inject(clnt, sp2.seal(SEAL_KIND_ECHORESP, Bytes(20)));
        tick();
    }
    peer->inject(clnt, sp.seal(SEAL_KIND_IP, ip_packet(7)));
    EXPECT_EQ(tun_read(), Bytes{});
    EXPECT_EQ(clnt->seal.drops[SEAL_DROP_INDEX], 1u) << "retired after 15 s";
}

// Keys are used for SEAL_KEY_MAX_SEC from their handshake: when no rekey has replaced them by then
// (the peer no longer answers to the pinned key, say), the session drops and starts over.
TEST_F(Sealed, KeysExpireWithoutRekey)
{
    struct Row {
        const char *what;
        bool rekey;  // the peer answers the first rekey, and no other
        uint32_t expires_after;
    } rows[] = {
        {"no rekey answered", false, SEAL_KEY_MAX_SEC},
        {"one rekey answered", true, SEAL_REKEY_SEC + SEAL_KEY_MAX_SEC},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        sdwclnt_reset_state(clnt);
        ASSERT_TRUE(establish_sealed());
        peer->recv_all(20);
        const uint32_t expired = clnt->seal.expired;
        SealPeer sp2(7);
        SealPeer *keys = &sp;
        for (uint32_t t = 1; t < r.expires_after; t++) {
            peer->recv_all(0);  // echoes and unanswered SINITs
            peer->inject(clnt, keys->seal(SEAL_KIND_ECHORESP, Bytes(20)));
            tick();
            if (r.rekey && t == SEAL_REKEY_SEC) {
                ASSERT_TRUE(peer->send_and_deliver(clnt, sp2.answer(recv_sized(56), 0x7777)));
                ASSERT_EQ(recv_kind(sp2, SEAL_KIND_AUTH).kind, SEAL_KIND_AUTH);
                peer->inject(clnt, sp2.seal(SEAL_KIND_AUTHACK, options()));
                ASSERT_EQ(clnt->seal.rekeys, 1u);
                keys = &sp2;
            }
            ASSERT_EQ(clnt->sess.state, SDWANCLNT_DATA) << t << " s";
        }
        EXPECT_EQ(sp.open(tun_send(ip_packet(1))).kind != 0, !r.rekey) << "the last second under the keys";
        log->take();
        peer->inject(clnt, keys->seal(SEAL_KIND_ECHORESP, Bytes(20)));
        tick();
        EXPECT_EQ(clnt->sess.state, SDWANCLNT_INIT);
        EXPECT_EQ(clnt->seal.expired, expired + 1);
        EXPECT_FALSE(clnt->seal.cur.live || clnt->seal.prev.live) << "the keys are wiped";
        const Lines lines = log->take();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "SEALED keys expired: no rekey for 180 s, starting over");
        tick();
        EXPECT_EQ(clnt->sess.state, SDWANCLNT_AUTH);
        EXPECT_EQ(recv_sized(56).size(), 56u) << "a fresh handshake";
        clnt->seal.rekeys = 0;
        peer->recv_all(20);
    }
}

// A socket made again (a new source port, as after a NAT rebinding) carries the same session: data
// both ways under its keys, and the next rekey runs from the new port, which is where the peer
// then finds the session.
TEST_F(Sealed, SocketRemadeKeepsTheSession)
{
    ASSERT_TRUE(establish_sealed());
    peer->recv_all(20);
    const uint16_t before = ScriptPeer::client_port(clnt);
    sdwclnt_sock_reinit(clnt);
    ASSERT_NE(ScriptPeer::client_port(clnt), before);
    EXPECT_EQ(sp.open(tun_send(ip_packet(1))).body, ip_packet(1));
    ASSERT_TRUE(peer->send_and_deliver(clnt, sp.seal(SEAL_KIND_IP, ip_packet(2))));
    EXPECT_EQ(tun_read(), ip_packet(2));

    FakeClock::advance(SEAL_REKEY_SEC);
    ASSERT_TRUE(peer->send_and_deliver(clnt, sp.seal(SEAL_KIND_ECHORESP, Bytes(20))));
    tick();
    SealPeer sp2(7);
    ASSERT_TRUE(peer->send_and_deliver(clnt, sp2.answer(recv_sized(56), 0x5555)));
    ASSERT_EQ(recv_kind(sp2, SEAL_KIND_AUTH).kind, SEAL_KIND_AUTH);
    ASSERT_TRUE(peer->send_and_deliver(clnt, sp2.seal(SEAL_KIND_AUTHACK, options())));
    EXPECT_EQ(clnt->seal.rekeys, 1u);
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_DATA);
    EXPECT_EQ(sp2.open(tun_send(ip_packet(3))).body, ip_packet(3));
}

// What else starts a handshake in DATA: a send counter past 2^60 at once, and a rekey's handshake
// left unanswered for more than 5 s again; nothing before.
TEST_F(Sealed, RekeyTriggers)
{
    struct Row {
        const char *what;
        uint64_t counter;  // the send counter set after the session is up
        bool sinit;        // at the next tick
    } rows[] = {
        {"send counter below the limit", SEAL_SEND_LIMIT - 100, false},
        {"send counter at the limit", SEAL_SEND_LIMIT, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        sdwclnt_reset_state(clnt);
        ASSERT_TRUE(establish_sealed());
        peer->recv_all(20);
        clnt->seal.cur.send.n = r.counter;
        tick();
        EXPECT_EQ(recv_sized(56).size(), r.sinit ? 56u : 0u);
    }
    // The last row's handshake unanswered: the next SINIT only once it is more than 5 s old.
    for (uint32_t t = 0; t < SEAL_HS_SEC; t++) {
        peer->inject(clnt, sp.seal(SEAL_KIND_ECHORESP, Bytes(20)));
        tick();
    }
    EXPECT_EQ(recv_sized(56), Bytes{});
    tick();
    EXPECT_EQ(recv_sized(56).size(), 56u);
}

#ifdef SEALED_COUNTS_ALLOCS
TEST_F(Sealed, NoHeapInTheDataPathOrTheRekey)
{
    ASSERT_TRUE(establish_sealed());
    peer->recv_all(20);
    Bytes in = sp.seal(SEAL_KIND_IP, ip_packet(8));
    const Bytes out = ip_packet(9);
    ASSERT_EQ(write(tun[1], out.data(), out.size()), static_cast<ssize_t>(out.size()));
    FakeClock::advance(SEAL_REKEY_SEC);
    // The counter counts.
    s_allocs = 0;
    s_counting = true;
    void *volatile probe = malloc(16);
    s_counting = false;
    free(probe);
    ASSERT_EQ(s_allocs, 1u);
    s_allocs = 0;
    s_counting = true;
    sdwan_sock_recv_core(clnt, ScriptPeer::ipbe(), peer->port(), in.data(), static_cast<uint32_t>(in.size()));
    sdwclnt_tun_recv(clnt);
    sdwclnt_do_timer(clnt);  // an echo and the rekey's SINIT
    s_counting = false;
    EXPECT_EQ(s_allocs, 0u);
    EXPECT_EQ(tun_read(), ip_packet(8));
    EXPECT_EQ(recv_sized(56).size(), 56u);
}
#endif

// Two uplinks (both the loopback here): each path probed by a sealed PROBE through its own
// socket, its 16-byte body exact; the PROBEACK measures that path; the faster path takes the
// session, which shows the peer its new source by a sealed echo request through it at once.
TEST_F(Sealed, ProbesAndMoveOverUplinks)
{
    for (int i = 0; i < 2; i++) {
        std::snprintf(clnt->conf.uplinks[i].ifname, 16, "lo");
        clnt->conf.uplinks[i].prio = static_cast<uint8_t>(i + 1);
        clnt->paths.rx[i] = SDWAN_PATH_RECV[i];
    }
    clnt->conf.nuplinks = 2;
    host.link("lo", {1, true, str2ip("127.0.0.1")});
    ASSERT_EQ(uplinks_start(clnt), 0);
    set_peer_quiet();
    ASSERT_EQ(clnt->io.udpsock, clnt->paths.p[0].fd);
    ASSERT_TRUE(establish_sealed());
    peer->recv_all(20);

    const uint64_t t0 = FakeClock::mono;
    uplinks_timer(clnt);
    Bytes want[2];
    for (uint8_t i = 0; i < 2; i++) {
        want[i] = Bytes(16, 0);
        want[i][0] = i;
        st_le32(&want[i][4], 1);
        st_le64(&want[i][8], t0);
    }
    std::vector<Bytes> bodies;
    for (const Bytes &d : peer->recv_all(100)) {
        const SealPeer::Opened o = sp.open(d);
        if (o.kind == SEAL_KIND_PROBE)
            bodies.push_back(o.body);
    }
    EXPECT_EQ(bodies, (std::vector<Bytes>{want[0], want[1]}));

    FakeClock::mono = t0 + 20300;
    peer->inject(clnt, sp.seal(SEAL_KIND_PROBEACK, want[1]));
    FakeClock::mono = t0 + 40000;
    peer->inject(clnt, sp.seal(SEAL_KIND_PROBEACK, want[0]));
    peer->inject(clnt, sp.seal(SEAL_KIND_PROBEACK, want[0]));  // a second answer measures nothing
    EXPECT_EQ(log->take(), (Lines{"path lo up: round trip 20.3 ms", "path lo up: round trip 40.0 ms"}));
    EXPECT_EQ(clnt->paths.p[0].samples, 1u);
    EXPECT_EQ(clnt->paths.p[1].rtt.srtt, 20300u);

    uplinks_timer(clnt);
    EXPECT_EQ(log->take(), Lines{"path lo chosen: round trip 20.3 ms, was lo"});
    EXPECT_EQ(clnt->paths.active, 1);
    EXPECT_EQ(clnt->io.udpsock, clnt->paths.p[1].fd);
    EXPECT_EQ(recv_kind(sp, SEAL_KIND_ECHOREQ).kind, SEAL_KIND_ECHOREQ);
    EXPECT_EQ(peer->last_from_port(), ScriptPeer::client_port(clnt));
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_DATA);

    // The data path sends on the new path's socket and counts there.
    const Bytes sent = tun_send(ip_packet(0x5a));
    ASSERT_EQ(sent.size(), 28 + SEALED_OVERHEAD);
    EXPECT_EQ(peer->last_from_port(), ScriptPeer::client_port(clnt));
    EXPECT_EQ(std::vector<uint64_t>({clnt->paths.p[1].txpkts, clnt->paths.p[1].txbytes, clnt->paths.p[0].txpkts}),
              std::vector<uint64_t>({1, sent.size(), 0}));

    // A PROBEACK of the wrong size is refused like any kind out of place.
    peer->inject(clnt, sp.seal(SEAL_KIND_PROBEACK, Bytes(15, 0)));
    EXPECT_EQ(clnt->seal.drops[SEAL_DROP_KIND], 1u);
    uplinks_stop(clnt);
}

TEST_F(Sealed, StatusAndEchoOverSdata)
{
    ASSERT_TRUE(establish_sealed());
    peer->recv_all(20);
    tick();
    tick();
    const SealPeer::Opened echo = recv_kind(sp, SEAL_KIND_ECHOREQ);
    ASSERT_EQ(echo.body.size(), 20u) << "the legacy echo body";
    peer->inject(clnt, sp.seal(SEAL_KIND_ECHORESP, echo.body));
    EXPECT_EQ(clnt->count.stats.echorespcnt, 1u);

    peer->inject(clnt, Bytes(10, 34));
    char buf[STATUS_BUF];
    const uint32_t n = status_format(clnt, buf, sizeof buf);
    const std::string text(buf, n);
    for (const char *want : {"cipher=\"sealed\"} 1\n", "tolvad_sealed_handshakes_total{interface=\"tolva0\",result=\"done\"} 1\n",
                             "tolvad_sealed_drops_total{interface=\"tolva0\",reason=\"malformed\"} 1\n",
                             "tolvad_sealed_rekeys_total{interface=\"tolva0\"} 0\n",
                             "tolvad_sealed_keys_expired_total{interface=\"tolva0\"} 0\n"})
        EXPECT_NE(text.find(want), std::string::npos) << want;

    peer->inject(clnt, sp.seal(SEAL_KIND_CLOSE, {}));
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_CLOSED);
}

}  // namespace
