// The peer's sealed session against a client made here from the Noise core: the handshake and
// AUTH byte for byte, every hostile SDATA dropped under its own counter, the admission limits,
// packets both ways, rekey and the expiry of the keys it replaced. Datagrams go straight into
// peer_on_datagram and what the peer would send is read from its send batch: no socket but the
// stand-in for the TUN device.
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/event.h"
#include "peer/peer.h"
#include "proto/openack.h"
#include "proto/sealed.h"
#include "support/ippkt.h"
#include "support/logcap.h"
#include "support/netns.h"
#include "support/sealforge.h"
#include "support/tempdir.h"
#include "support/wire.h"

using wire::Bytes;

namespace {

// One end of the sealed session, the client's, as the wire describes it.
struct Client {
    aead_ctx_t ax{};  // closed: the client's side through libsodium, the peer's through OpenSSL
    noise_handshake hs{};
    noise_cipher tx{}, rx{};
    uint32_t index = 0, peer = 0;
    uint64_t next = 0;

    Bytes sinit(const uint8_t pub[KEY_BYTES], uint32_t idx)
    {
        index = idx;
        EXPECT_EQ(noise_handshake_init(&hs, &ax, noise_pattern::NK, true, SEALED_PROLOGUE, nullptr, pub), 0);
        sinit_msg_t m{};
        m.sender = idx;
        EXPECT_EQ(noise_handshake_write(&hs, {}, {m.noise, SEALED_HS_LEN}), static_cast<int>(SEALED_HS_LEN));
        Bytes b(SEALED_SINIT_LEN);
        sinit_encode(m, b);
        return b;
    }
    bool sresp(const Bytes &b)
    {
        sresp_msg_t m;
        uint8_t none[1];
        if (sresp_decode(b, &m) != 0 || m.receiver != index ||
            noise_handshake_read(&hs, {m.noise, SEALED_HS_LEN}, {none, 0}) != 0)
            return false;
        peer = m.sender;
        next = 0;
        return noise_handshake_split(&hs, &tx, &rx) == 0;
    }
    Bytes seal(sealed_kind kind, const Bytes &body) { return seal_at(kind, body, next++); }
    Bytes seal_at(sealed_kind kind, const Bytes &body, uint64_t counter)
    {
        return sealforge::sdata(&tx, peer, static_cast<uint8_t>(kind), body, counter);
    }
    // The kind and body of an SDATA for us, or kind 0.
    std::pair<uint8_t, Bytes> open(const Bytes &b)
    {
        const sealforge::Opened o = sealforge::open(&rx, b);
        if (o.kind == 0 || o.receiver != index)
            return {0, {}};
        return {o.kind, o.body};
    }
};

Bytes auth(const std::string &user, const std::string &pass)
{
    auth_msg_t m{};
    m.userlen = static_cast<uint8_t>(user.size());
    memcpy(m.user, user.data(), user.size());
    m.passlen = static_cast<uint8_t>(pass.size());
    memcpy(m.pass, pass.data(), pass.size());
    Bytes b(SEALED_AUTH_MAX);
    b.resize(auth_encode(m, b));
    return b;
}

// Expected lines with their marks ("%s") replaced by what a run gave.
std::vector<std::string> fill(std::vector<std::string> lines,
                              std::initializer_list<std::pair<const char *, std::string>> marks)
{
    for (std::string &l : lines)
        for (const auto &[mark, val] : marks)
            if (const size_t at = l.find(mark); at != std::string::npos)
                l.replace(at, strlen(mark), val);
    return lines;
}

const uint32_t SRC = wire::addr("192.0.2.7");
const uint32_t SRC2 = wire::addr("192.0.2.8");

peer_t g_peer;  // the server under test: too large for a fixture member

class PeerSeal : public ::testing::Test {
protected:
    peer_t *p = &g_peer;
    TempDir dir;
    LogCapture log;
    int tun[2] = {-1, -1};
    uint8_t pub[KEY_BYTES];

    void SetUp() override { load("legacy=1\n"); }
    void TearDown() override { unload(); }

    // The configuration of these tests, with privatekey= naming key when it is not empty.
    std::string config(const std::string &key, const std::string &extra) const
    {
        return "[sdwt0]\nport=4500\npool=10.8.0.0\nmtu=1400\ndns=9.9.9.9\nuser=alice:secret\n"
               "user=bob:hunter2:10.8.0.50\nuser=carol:pw\n" +
               (key.empty() ? std::string() : "privatekey=" + key + "\n") + extra;
    }
    // A new private key file; its public key in out.
    std::string new_key(const std::string &name, uint8_t out[KEY_BYTES])
    {
        uint8_t priv[KEY_BYTES];
        const std::string key = dir / name;
        unlink(key.c_str());
        EXPECT_EQ(keyfile_create(key.c_str(), priv), 0);
        key_public(priv, out);
        return key;
    }
    void load(const std::string &extra, bool sealed = true)
    {
        ASSERT_EQ(seal_init(), 0);
        const std::string key = new_key("peer.key", pub);
        std::string text = config(sealed ? key : "", extra);
        FILE *fp = fmemopen(text.data(), text.size(), "r");
        char err[PEER_ERRLEN];
        ASSERT_EQ(peer_cfg_read(fp, &p->cfg, err, sizeof err), 0) << err;
        fclose(fp);
        ASSERT_EQ(peer_setup(p), 0);
        p->udpfd = -1;
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, tun), 0);
        p->tunfd = tun[0];
        p->now = 1000;
        log.take();
    }
    void unload()
    {
        close(tun[0]);
        close(tun[1]);
        p->tunfd = -1;
        peer_teardown(p);
    }

    // What the peer answers one datagram with: the send batch, emptied.
    std::vector<Bytes> in(const Bytes &b, uint32_t ipbe = SRC, uint16_t port = 5000)
    {
        Bytes copy = b;
        peer_on_datagram(p, ipbe, port, copy.data(), static_cast<uint32_t>(copy.size()));
        std::vector<Bytes> out;
        for (int i = 0; i < p->ntx; i++) {
            EXPECT_EQ(p->tx[i].ipbe, ipbe);
            out.emplace_back(p->tx[i].buf, p->tx[i].buf + p->tx[i].len);
        }
        p->ntx = 0;
        return out;
    }
    Bytes one(const Bytes &b, uint32_t ipbe = SRC, uint16_t port = 5000)
    {
        auto v = in(b, ipbe, port);
        EXPECT_EQ(v.size(), 1u);
        return v.empty() ? Bytes{} : v[0];
    }
    bool handshake(Client *c, uint32_t idx, uint32_t ipbe = SRC, uint16_t port = 5000)
    {
        return c->sresp(one(c->sinit(pub, idx), ipbe, port));
    }
    // What one datagram from ipbe:port made the peer send, and where: the send batch, emptied.
    struct Sent {
        uint32_t ipbe;
        uint16_t port;
        Bytes b;
    };
    std::vector<Sent> sent(const Bytes &b, uint32_t ipbe, uint16_t port)
    {
        Bytes copy = b;
        peer_on_datagram(p, ipbe, port, copy.data(), static_cast<uint32_t>(copy.size()));
        std::vector<Sent> out;
        for (int i = 0; i < p->ntx; i++)
            out.push_back({p->tx[i].ipbe, p->tx[i].port, Bytes(p->tx[i].buf, p->tx[i].buf + p->tx[i].len)});
        p->ntx = 0;
        return out;
    }
    Bytes tun_read()
    {
        Bytes b(4096);
        const ssize_t n = ::recv(tun[1], b.data(), b.size(), MSG_DONTWAIT);
        b.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return b;
    }
};

TEST_F(PeerSeal, HandshakeAndAuth)
{
    Client c;
    const Bytes sinit = c.sinit(pub, 0x11223344);
    const Bytes sresp = one(sinit);
    // Type, version, zeros, the client's index; the peer's index is never 0.
    ASSERT_EQ(sresp.size(), 60u);
    EXPECT_EQ(Bytes(sresp.begin(), sresp.begin() + 8), (Bytes{33, 1, 0, 0, 0x44, 0x33, 0x22, 0x11}));
    ASSERT_TRUE(c.sresp(sresp));
    EXPECT_NE(c.peer, 0u);
    EXPECT_EQ(p->live, 0u) << "no session before AUTH";

    auto [kind, body] = c.open(one(c.seal(sealed_kind::auth, auth("alice", "secret"))));
    ASSERT_EQ(kind, static_cast<uint8_t>(sealed_kind::authack));
    openack_msg_t ack;
    ASSERT_EQ(authack_decode(body, &ack), 0);
    EXPECT_EQ(ack.ip, wire::addr("10.8.0.2"));
    EXPECT_EQ(ack.gateway, wire::addr("10.8.0.1"));
    EXPECT_EQ(ack.mtu, 1375) << "the interface MTU less the sealed overhead beyond DATA's";
    EXPECT_EQ(ack.dns0, wire::addr("9.9.9.9"));
    EXPECT_EQ(p->st.seal_hs, 1u);
    EXPECT_EQ(p->st.seal_auth, 1u);
    EXPECT_EQ(p->live, 1u);
    const auto lines = log.take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "session " + std::to_string(p->sess[p->cfg.users[0].sess].sid) +
                            " accepted: user alice from 192.0.2.7:5000, address 10.8.0.2, sealed");

    // A repeated AUTH (the AUTHACK lost) gets the same answer and no second session.
    auto [k2, b2] = c.open(one(c.seal(sealed_kind::auth, auth("alice", "secret"))));
    EXPECT_EQ(k2, static_cast<uint8_t>(sealed_kind::authack));
    EXPECT_EQ(b2, body);
    EXPECT_EQ(p->live, 1u);
    EXPECT_EQ(p->st.open_again, 1u) << "counted as a repeated OPEN";
    EXPECT_EQ(p->st.seal_auth, 1u);
}

TEST_F(PeerSeal, AuthRejected)
{
    struct Row {
        const char *what;
        std::string user, pass;
        uint64_t peer_stats_t::*counter;
        const char *line;
    } rows[] = {
        {"wrong password", "alice", "secreT", &peer_stats_t::rej_password,
         "rejected user alice from 192.0.2.7:5000: wrong password"},
        {"password with a tail", "alice", "secret1", &peer_stats_t::rej_password,
         "rejected user alice from 192.0.2.7:5000: wrong password"},
        {"password cut short", "alice", "secre", &peer_stats_t::rej_password,
         "rejected user alice from 192.0.2.7:5000: wrong password"},
        {"unknown user", "mallory", "secret", &peer_stats_t::rej_unknown,
         "rejected user mallory from 192.0.2.8:5000: unknown user"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        // Three lines a source per interval: the last row speaks from another.
        const uint32_t src = &r == &rows[3] ? SRC2 : SRC;
        const peer_stats_t before = p->st;
        Client c;
        ASSERT_TRUE(handshake(&c, 7, src));
        auto [kind, body] = c.open(one(c.seal(sealed_kind::auth, auth(r.user, r.pass)), src));
        EXPECT_EQ(kind, static_cast<uint8_t>(sealed_kind::authrej));
        EXPECT_EQ(body, Bytes{1});
        EXPECT_EQ(p->st.*r.counter, before.*r.counter + 1);
        EXPECT_EQ(p->live, 0u);
        EXPECT_EQ(log.take(), std::vector<std::string>{r.line});
        // The handshake is spent: a second try under its keys finds nothing.
        EXPECT_TRUE(in(c.seal(sealed_kind::auth, auth("alice", "secret")), src).empty());
        EXPECT_EQ(p->st.seal_unknown, before.seal_unknown + 1);
    }
}

TEST_F(PeerSeal, HostileSdataDroppedAndCounted)
{
    Client c;
    ASSERT_TRUE(handshake(&c, 9));
    one(c.seal(sealed_kind::auth, auth("alice", "secret")));
    log.take();
    const Bytes ping = wire::icmp_echo("10.8.0.2", "10.8.0.1", 1, 1, 24);
    const Bytes good = c.seal_at(sealed_kind::ip, ping, 5000);
    ASSERT_TRUE(in(good).empty());
    ASSERT_EQ(tun_read(), ping);

    using sealforge::forge, sealforge::forged;
    auto ip_at = [&](uint64_t n) { return c.seal_at(sealed_kind::ip, ping, n); };
    struct Row {
        const char *what;
        Bytes dgram;
        uint64_t peer_stats_t::*counter;
    } rows[] = {
        {"replayed", good, &peer_stats_t::seal_replay},
        {"behind the window", c.seal_at(sealed_kind::ip, ping, 5000 - REPLAY_WINDOW - 1), &peer_stats_t::seal_old},
        {"flipped bit in the ciphertext", forged(forge::body_flipped, ip_at(5001)), &peer_stats_t::seal_badtag},
        {"flipped bit in the header", forged(forge::counter_flipped, ip_at(5002)), &peer_stats_t::seal_badtag},
        {"unknown index", forged(forge::index_flipped, ip_at(5003)), &peer_stats_t::seal_unknown},
        {"truncated", forged(forge::truncated, c.seal_at(sealed_kind::ip, {}, 5004)), &peer_stats_t::seal_malformed},
        {"the header alone", forged(forge::header_only, ip_at(5008)), &peer_stats_t::seal_malformed},
        {"reserved byte set", forged(forge::reserved_set, ip_at(5005)), &peer_stats_t::seal_malformed},
        {"packet from another address", c.seal_at(sealed_kind::ip, wire::icmp_echo("10.8.0.50", "10.8.0.1", 1, 1, 8), 5006),
         &peer_stats_t::drop_badip},
        {"unknown kind", c.seal_at(static_cast<sealed_kind>(99), {}, 5007), &peer_stats_t::seal_kind},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        const peer_stats_t before = p->st;
        EXPECT_TRUE(in(r.dgram).empty());
        EXPECT_EQ(p->st.*r.counter, before.*r.counter + 1);
        EXPECT_EQ(tun_read(), Bytes{});
        EXPECT_EQ(p->live, 1u) << "nothing reset";
    }
    EXPECT_EQ(log.take(), std::vector<std::string>{}) << "a stranger's datagrams write no line";
    // The flipped packet did not move the window: its counter is still fresh.
    EXPECT_TRUE(in(c.seal_at(sealed_kind::ip, ping, 5001)).empty());
    EXPECT_EQ(tun_read(), ping);
}

TEST_F(PeerSeal, PacketsEchoAndCloseUnderTheKeys)
{
    Client c;
    ASSERT_TRUE(handshake(&c, 9));
    one(c.seal(sealed_kind::auth, auth("bob", "hunter2")));
    // From the interface, read behind a DATA header's room: sealed in place as kind 1.
    const Bytes down = wire::icmp_echo("10.8.0.1", "10.8.0.50", 2, 3, 1372 - 28);
    peer_txslot_t *slot = peer_tx_slot(p);
    memcpy(slot->buf + SDWAN_HDR_LEN, down.data(), down.size());
    peer_on_tunpkt(p, slot, static_cast<uint32_t>(down.size()));
    ASSERT_EQ(p->ntx, 1);
    EXPECT_EQ(p->tx[0].len, down.size() + SEALED_OVERHEAD);
    auto [kind, body] = c.open(Bytes(p->tx[0].buf, p->tx[0].buf + p->tx[0].len));
    p->ntx = 0;
    EXPECT_EQ(kind, static_cast<uint8_t>(sealed_kind::ip));
    EXPECT_EQ(body, down);

    // Legacy DATA carrying the session's own sid and token speaks for nobody.
    const peer_sess_t &bob = p->sess[p->cfg.users[1].sess];
    EXPECT_EQ(bob.txbytes, down.size());
    EXPECT_EQ(p->txbytes, down.size());
    // The status file tells the kind.
    char text[1024];
    const std::string listed(text, peer_status_format(p, 1700000000, text, sizeof text));
    EXPECT_NE(listed.find(" address=10.8.0.50 kind=sealed since="), std::string::npos) << listed;
    const uint64_t token_drops = p->st.drop_token;
    Bytes data = wire::header(SDWAN_DATA, 0, bob.sid, bob.token);
    const Bytes inner = wire::icmp_echo("10.8.0.50", "10.8.0.1", 1, 1, 8);
    data.insert(data.end(), inner.begin(), inner.end());
    EXPECT_TRUE(in(data).empty());
    EXPECT_EQ(p->st.drop_token, token_drops + 1);
    EXPECT_EQ(tun_read(), Bytes{});

    const Bytes tick = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    auto [ek, eb] = c.open(one(c.seal(sealed_kind::echoreq, tick)));
    EXPECT_EQ(ek, static_cast<uint8_t>(sealed_kind::echoresp));
    EXPECT_EQ(eb, tick);

    log.take();
    const std::string sid = std::to_string(p->sess[p->cfg.users[1].sess].sid);
    EXPECT_TRUE(in(c.seal(sealed_kind::close, {})).empty());
    EXPECT_EQ(p->live, 0u);
    EXPECT_EQ(log.take(), std::vector<std::string>{"session " + sid + " closed by the client: user bob from 192.0.2.7:5000"});
}

TEST_F(PeerSeal, RekeyKeepsTheSessionAndRetiresTheOldKeys)
{
    Client a;
    ASSERT_TRUE(handshake(&a, 1));
    one(a.seal(sealed_kind::auth, auth("alice", "secret")));
    const Bytes ping = wire::icmp_echo("10.8.0.2", "10.8.0.1", 1, 1, 8);
    ASSERT_TRUE(in(a.seal(sealed_kind::ip, ping)).empty());
    EXPECT_EQ(tun_read(), ping);
    p->sess[p->cfg.users[0].sess].started = 1690000000;
    const peer_sess_t *was = &p->sess[p->cfg.users[0].sess];
    const uint16_t sid = was->sid;
    const uint32_t token = was->token;
    log.take();
    // The new handshake from another address: the client moved, the session goes with it.
    Client b;
    ASSERT_TRUE(handshake(&b, 2, SRC2));
    auto [kind, body] = b.open(one(b.seal(sealed_kind::auth, auth("alice", "secret")), SRC2));
    ASSERT_EQ(kind, static_cast<uint8_t>(sealed_kind::authack));
    openack_msg_t ack;
    ASSERT_EQ(authack_decode(body, &ack), 0);
    EXPECT_EQ(ack.ip, wire::addr("10.8.0.2")) << "the address survives";
    EXPECT_EQ(p->st.seal_rekeys, 1u);
    EXPECT_EQ(p->live, 1u);

    // Its start and its counts go with it.
    EXPECT_EQ(p->sess[p->cfg.users[0].sess].started, 1690000000u);
    EXPECT_EQ(p->sess[p->cfg.users[0].sess].rxbytes, ping.size());

    // Sending moves to the new keys; the old ones still open what was in flight.
    EXPECT_TRUE(in(a.seal(sealed_kind::ip, ping)).empty());
    EXPECT_EQ(tun_read(), ping);
    // The replaced keys authenticate nothing any more: no answer, and counted.
    const uint64_t kinds = p->st.seal_kind;
    EXPECT_TRUE(in(a.seal(sealed_kind::auth, auth("alice", "secret"))).empty());
    EXPECT_EQ(p->st.seal_kind, kinds + 1);
    auto [ek, eb] = b.open(one(b.seal(sealed_kind::echoreq, Bytes(8, 1)), SRC2));
    EXPECT_EQ(ek, static_cast<uint8_t>(sealed_kind::echoresp));
    const peer_sess_t &s = p->sess[p->cfg.users[0].sess];
    EXPECT_EQ(s.ipbe, SRC2);
    EXPECT_EQ(&s, was) << "the same record";
    EXPECT_EQ(s.sid, sid);
    EXPECT_EQ(s.token, token);
    EXPECT_EQ(s.rxpkts, 2u) << "its counters go on";
    EXPECT_EQ(p->st.seal_moved, 1u);
    EXPECT_EQ(peer_sess_find(p, SRC2, 5000), &s);
    EXPECT_EQ(peer_sess_find(p, SRC, 5000), nullptr);
    EXPECT_EQ(log.take(), std::vector<std::string>{"session " + std::to_string(sid) +
                                                   " of user alice moved from 192.0.2.7:5000 to 192.0.2.8:5000"});

    p->now += PEER_SEAL_RETIRE_SEC;
    peer_seal_tick(p);
    const uint64_t unknown = p->st.seal_unknown;
    EXPECT_TRUE(in(a.seal(sealed_kind::ip, ping)).empty());
    EXPECT_EQ(p->st.seal_unknown, unknown + 1);
    EXPECT_TRUE(in(b.seal(sealed_kind::ip, ping), SRC2).empty());
    EXPECT_EQ(tun_read(), ping);
}

// Keys are used for PEER_SEAL_KEY_MAX_SEC from their handshake: a session whose client stops
// rekeying is closed then, with its line and count, and its keys open nothing more.
TEST_F(PeerSeal, KeysExpireWithoutRekey)
{
    struct Row {
        const char *what;
        uint32_t rekey_at;  // seconds after the session's handshake; 0: never
        uint32_t expires_at;
    } rows[] = {
        {"never rekeyed", 0, PEER_SEAL_KEY_MAX_SEC},
        {"rekeyed once", 120, 120 + PEER_SEAL_KEY_MAX_SEC},
    };
    const Bytes ping = wire::icmp_echo("10.8.0.2", "10.8.0.1", 1, 1, 8);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        unload();
        load("");
        const uint32_t t0 = p->now;
        Client a, b;
        ASSERT_TRUE(handshake(&a, 1));
        one(a.seal(sealed_kind::auth, auth("alice", "secret")));
        Client *keys = &a;
        if (r.rekey_at != 0) {
            p->now = t0 + r.rekey_at;
            ASSERT_TRUE(handshake(&b, 2));
            ASSERT_EQ(b.open(one(b.seal(sealed_kind::auth, auth("alice", "secret")))).first,
                      static_cast<uint8_t>(sealed_kind::authack));
            keys = &b;
        }
        const std::string sid = std::to_string(p->sess[p->cfg.users[0].sess].sid);
        p->now = t0 + r.expires_at - 1;
        peer_seal_tick(p);
        ASSERT_EQ(p->live, 1u);
        EXPECT_EQ(keys->open(one(keys->seal(sealed_kind::echoreq, Bytes(8, 1)))).first,
                  static_cast<uint8_t>(sealed_kind::echoresp));
        log.take();
        // Refused from their last second on, before and after the tick that closes the session.
        p->now = t0 + r.expires_at;
        for (bool ticked : {false, true}) {
            const uint64_t unknown = p->st.seal_unknown;
            EXPECT_TRUE(in(keys->seal(sealed_kind::ip, ping)).empty());
            EXPECT_EQ(p->st.seal_unknown, unknown + 1) << ticked;
            EXPECT_EQ(tun_read(), Bytes{});
            if (!ticked)
                peer_seal_tick(p);
        }
        EXPECT_EQ(p->live, 0u);
        EXPECT_EQ(p->st.seal_expired, 1u);
        EXPECT_EQ(log.take(), std::vector<std::string>{"session " + sid + " closed, keys expired: user alice from 192.0.2.7:5000"});
    }
}

// Where a rekey's AUTH comes from decides where the session lives; whose source it may take.
TEST_F(PeerSeal, RekeyFromANewSource)
{
    struct Row {
        const char *what;
        uint32_t ipbe;
        uint16_t port;
        int other;        // bob's legacy session at that source: -1 none, else its seconds of silence
        uint8_t answer;   // the kind of the answer to the AUTH
        bool moved;
        std::vector<std::string> lines;  // after "%s" the session's id
    } rows[] = {
        {"the same source", SRC, 5000, -1, 3, false, {"session %s rekeyed: user alice from 192.0.2.7:5000"}},
        {"a new port", SRC, 5001, -1, 3, true, {"session %s of user alice moved from 192.0.2.7:5000 to 192.0.2.7:5001"}},
        {"a new address", SRC2, 6000, -1, 3, true, {"session %s of user alice moved from 192.0.2.7:5000 to 192.0.2.8:6000"}},
        {"another user's session heard from lately", SRC2, 6000, 0, 4, false,
         {"rejected user alice from 192.0.2.8:6000: source held by another user"}},
        {"another user's silent session", SRC2, 6000, static_cast<int>(PEER_HOLD_SEC), 3, true,
         {"session %b replaced: user bob from 192.0.2.8:6000",
          "session %s of user alice moved from 192.0.2.7:5000 to 192.0.2.8:6000"}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        unload();
        load("");
        Client a;
        ASSERT_TRUE(handshake(&a, 1));
        one(a.seal(sealed_kind::auth, auth("alice", "secret")));
        std::string bob;
        if (r.other >= 0) {
            ASSERT_EQ(one(wire::open("bob", "hunter2"), r.ipbe, r.port)[0], SDWAN_OPENACK);
            bob = std::to_string(p->sess[p->cfg.users[1].sess].sid);
            p->now += static_cast<uint32_t>(r.other);
        }
        peer_sess_t *s = &p->sess[p->cfg.users[0].sess];
        const std::string sid = std::to_string(s->sid);
        const peer_stats_t before = p->st;
        log.take();

        Client b;
        ASSERT_TRUE(handshake(&b, 2, r.ipbe, r.port));
        EXPECT_EQ(b.open(one(b.seal(sealed_kind::auth, auth("alice", "secret")), r.ipbe, r.port)).first, r.answer);
        EXPECT_EQ(log.take(), fill(r.lines, {{"%s", sid}, {"%b", bob}}));
        EXPECT_EQ(std::to_string(p->sess[p->cfg.users[0].sess].sid), sid) << "never a new session";
        EXPECT_EQ(s->ipbe, r.moved ? r.ipbe : SRC);
        EXPECT_EQ(s->port, r.moved ? r.port : 5000);
        EXPECT_EQ(peer_sess_find(p, s->ipbe, s->port), s);
        EXPECT_EQ(p->st.seal_moved, before.seal_moved + (r.moved ? 1 : 0));
        EXPECT_EQ(p->st.seal_rekeys, before.seal_rekeys + (r.answer == 3 ? 1 : 0));
        EXPECT_EQ(p->live, r.other < 0 || r.moved ? 1u : 2u);
        // The peer answers where the session lives, under the keys it sends with.
        Client &now = r.answer == 3 ? b : a;
        auto out = in(now.seal(sealed_kind::echoreq, Bytes(8, 1)), s->ipbe, s->port);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(now.open(out[0]).first, static_cast<uint8_t>(sealed_kind::echoresp));
    }
}

Bytes probe_body(uint8_t path, uint32_t seq, uint64_t us)
{
    Bytes b(SEALED_PROBE_LEN);
    probe_encode({path, {0, 0, 0}, seq, us}, b);
    return b;
}

// A datagram of alice's session from source B (her session at A, her keys' newest counter 10):
// whether the session follows it there, and where the answer goes.
TEST_F(PeerSeal, FollowsTheClientToANewSource)
{
    const uint32_t A = SRC, B = SRC2;
    const Bytes ping = wire::icmp_echo("10.8.0.2", "10.8.0.1", 1, 1, 8);
    const Bytes tick(8, 7);
    const Bytes pb = probe_body(2, 77, 0x0102030405060708ull);
    enum Forge { CLEAN, FLIP, REPLAY };
    struct Row {
        const char *what;
        sealed_kind kind;
        Bytes body;
        uint64_t counter;
        Forge forge;
        int other;            // bob's legacy session at B: -1 none, else its seconds of silence
        bool moved;
        sealed_kind answer;   // 0: none
        uint32_t answer_to;
        uint64_t peer_stats_t::*counter_up;
        std::vector<std::string> lines;  // "%s" alice's session id, "%b" bob's
    } rows[] = {
        {"fresh newer ip", sealed_kind::ip, ping, 11, CLEAN, -1, true, sealed_kind{}, 0, &peer_stats_t::seal_moved,
         {"session %s of user alice moved from 192.0.2.7:5000 to 192.0.2.8:6000"}},
        {"fresh newer echoreq", sealed_kind::echoreq, tick, 11, CLEAN, -1, true, sealed_kind::echoresp, B,
         &peer_stats_t::seal_moved, {"session %s of user alice moved from 192.0.2.7:5000 to 192.0.2.8:6000"}},
        {"probe: answered at B, not moved", sealed_kind::probe, pb, 11, CLEAN, -1, false, sealed_kind::probeack, B,
         &peer_stats_t::seal_probes, {}},
        {"probe with a bad body", sealed_kind::probe, Bytes(15, 0), 11, CLEAN, -1, false, sealed_kind{}, 0,
         &peer_stats_t::seal_malformed, {}},
        {"replayed", sealed_kind::ip, ping, 10, REPLAY, -1, false, sealed_kind{}, 0, &peer_stats_t::seal_replay, {}},
        {"forged", sealed_kind::echoreq, tick, 11, FLIP, -1, false, sealed_kind{}, 0, &peer_stats_t::seal_badtag, {}},
        {"older but fresh counter", sealed_kind::echoreq, tick, 5, CLEAN, -1, false, sealed_kind::echoresp, A,
         &peer_stats_t::echo, {}},
        {"source held by another live session", sealed_kind::echoreq, tick, 11, CLEAN, 0, false,
         sealed_kind::echoresp, A, &peer_stats_t::seal_srcheld, {}},
        {"source of a silent session", sealed_kind::echoreq, tick, 11, CLEAN, static_cast<int>(PEER_HOLD_SEC), true,
         sealed_kind::echoresp, B, &peer_stats_t::sess_replaced,
         {"session %b replaced: user bob from 192.0.2.8:6000",
          "session %s of user alice moved from 192.0.2.7:5000 to 192.0.2.8:6000"}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        unload();
        load("");
        Client c;
        ASSERT_TRUE(handshake(&c, 1));
        one(c.seal(sealed_kind::auth, auth("alice", "secret")));
        const Bytes newest = c.seal_at(sealed_kind::ip, ping, 10);
        ASSERT_TRUE(in(newest).empty());
        tun_read();
        std::string bob;
        if (r.other >= 0) {
            ASSERT_EQ(one(wire::open("bob", "hunter2"), B, 6000)[0], SDWAN_OPENACK);
            bob = std::to_string(p->sess[p->cfg.users[1].sess].sid);
            p->now += static_cast<uint32_t>(r.other);
        }
        peer_sess_t *s = &p->sess[p->cfg.users[0].sess];
        const std::string sid = std::to_string(s->sid);
        Bytes d = r.forge == REPLAY ? newest : c.seal_at(r.kind, r.body, r.counter);
        if (r.forge == FLIP)
            d[SEALED_HDR_LEN + 2] ^= 0x10;
        log.take();
        const peer_stats_t before = p->st;
        const auto out = sent(d, B, 6000);
        EXPECT_EQ(log.take(), fill(r.lines, {{"%s", sid}, {"%b", bob}}));
        EXPECT_EQ(p->st.*r.counter_up, before.*r.counter_up + 1);
        EXPECT_EQ(p->st.seal_moved, before.seal_moved + (r.moved ? 1 : 0));
        EXPECT_EQ(s->ipbe, r.moved ? B : A);
        EXPECT_EQ(s->port, r.moved ? 6000 : 5000);
        EXPECT_EQ(peer_sess_find(p, s->ipbe, s->port), s);
        if (r.answer == sealed_kind{}) {
            EXPECT_TRUE(out.empty());
        } else {
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(out[0].ipbe, r.answer_to);
            EXPECT_EQ(out[0].port, r.answer_to == B ? 6000 : 5000);
            auto [kind, body] = c.open(out[0].b);
            EXPECT_EQ(kind, static_cast<uint8_t>(r.answer));
            EXPECT_EQ(body, r.body) << "the body returned unchanged";
        }
        EXPECT_EQ(tun_read(), r.kind == sealed_kind::ip && r.forge == CLEAN ? ping : Bytes{});
    }
}

// Datagrams under the keys a rekey replaced are from before it: they never move the session.
TEST_F(PeerSeal, RetiredKeysNeverMoveTheSession)
{
    Client a, b;
    ASSERT_TRUE(handshake(&a, 1));
    one(a.seal(sealed_kind::auth, auth("alice", "secret")));
    ASSERT_TRUE(handshake(&b, 2));
    one(b.seal(sealed_kind::auth, auth("alice", "secret")));
    const peer_sess_t *s = &p->sess[p->cfg.users[0].sess];
    const auto out = sent(a.seal_at(sealed_kind::echoreq, Bytes(8, 1), 50), SRC2, 6000);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].ipbe, SRC) << "answered where the session is";
    EXPECT_EQ(s->ipbe, SRC);
    EXPECT_EQ(p->st.seal_moved, 0u);
}

// Each source of a session keeps its own counts, the probes answered there among them; a fifth
// source takes the row heard from longest ago. What the status file lists under the session.
TEST_F(PeerSeal, CountsPerSource)
{
    Client c;
    ASSERT_TRUE(handshake(&c, 1));
    one(c.seal(sealed_kind::auth, auth("alice", "secret")));  // AUTHACK: 59 bytes out at A
    const Bytes ping = wire::icmp_echo("10.8.0.2", "10.8.0.1", 1, 1, 8);  // 36 bytes: 69 sealed
    const uint32_t A = SRC, B = SRC2, C = wire::addr("192.0.2.9"), D = wire::addr("192.0.2.10"),
                   E = wire::addr("192.0.2.11");
    struct Step {
        uint32_t from;
        bool probe;  // else the ping
    } steps[] = {{A, false}, {B, true}, {B, true}, {C, true}, {A, false}, {D, true}, {E, true}};
    for (const Step &st : steps) {
        sent(st.probe ? c.seal(sealed_kind::probe, probe_body(1, 1, 1)) : c.seal(sealed_kind::ip, ping), st.from, 5000);
        p->now++;
    }
    EXPECT_EQ(p->st.seal_probes, 5u);
    EXPECT_EQ(p->st.seal_moved, 0u);
    char text[2048];
    const std::string listed(text, peer_status_format(p, 1700000000, text, sizeof text));
    const size_t at = listed.find("source ");
    ASSERT_NE(at, std::string::npos) << listed;
    // Written with p->now at 1007: E's probe (1006) took the row of B, heard last at 1002.
    EXPECT_EQ(listed.substr(at),
              "source endpoint=192.0.2.7:5000 heard=1699999997 rx_packets=2 rx_bytes=138 tx_packets=1 tx_bytes=59 probes=0\n"
              "source endpoint=192.0.2.11:5000 heard=1699999999 rx_packets=1 rx_bytes=49 tx_packets=1 tx_bytes=49 probes=1\n"
              "source endpoint=192.0.2.9:5000 heard=1699999996 rx_packets=1 rx_bytes=49 tx_packets=1 tx_bytes=49 probes=1\n"
              "source endpoint=192.0.2.10:5000 heard=1699999998 rx_packets=1 rx_bytes=49 tx_packets=1 tx_bytes=49 probes=1\n");
}

// A client flapping between two uplinks: every move made and counted, one line a second.
TEST_F(PeerSeal, MoveLinesLimitedPerSession)
{
    Client c;
    ASSERT_TRUE(handshake(&c, 1));
    one(c.seal(sealed_kind::auth, auth("alice", "secret")));
    peer_sess_t *s = &p->sess[p->cfg.users[0].sess];
    const std::string sid = std::to_string(s->sid);
    const std::string to_b = "session " + sid + " of user alice moved from 192.0.2.7:5000 to 192.0.2.8:5000";
    const std::string to_a = "session " + sid + " of user alice moved from 192.0.2.8:5000 to 192.0.2.7:5000";
    log.take();
    struct Row {
        uint32_t advance;
        uint32_t to;
        std::vector<std::string> lines;
        uint64_t unlogged;
    } rows[] = {
        {0, SRC2, {to_b}, 0}, {0, SRC, {}, 1}, {0, SRC2, {}, 2}, {1, SRC, {to_a}, 2}, {0, SRC2, {}, 3},
        {5, SRC, {to_a}, 3},
    };
    uint64_t moves = 0;
    for (const Row &r : rows) {
        SCOPED_TRACE(moves);
        p->now += r.advance;
        in(c.seal(sealed_kind::echoreq, Bytes(8, 1)), r.to);
        EXPECT_EQ(s->ipbe, r.to);
        EXPECT_EQ(p->st.seal_moved, ++moves);
        EXPECT_EQ(p->st.log_suppressed, r.unlogged);
        EXPECT_EQ(log.take(), r.lines);
    }
}

// What a stranger gets from a captured handshake, or one made for another key: no session, no
// line, at most a pending handshake that expires, each outcome counted.
TEST_F(PeerSeal, HostileHandshakes)
{
    Client c;
    const Bytes sinit = c.sinit(pub, 21);
    ASSERT_TRUE(c.sresp(one(sinit)));
    const Bytes auth_dgram = c.seal(sealed_kind::auth, auth("alice", "secret"));
    ASSERT_EQ(c.open(one(auth_dgram)).first, static_cast<uint8_t>(sealed_kind::authack));
    uint8_t other_pub[KEY_BYTES];
    new_key("other.key", other_pub);
    Client wrong;
    log.take();
    struct Row {
        const char *what;
        Bytes dgram;
        uint32_t ipbe;
        uint64_t peer_stats_t::*counter;
        size_t answers;
        uint32_t pending;  // pending handshakes it adds
    } rows[] = {
        {"SINIT for another peer's key", wrong.sinit(other_pub, 22), SRC2, &peer_stats_t::seal_malformed, 0, 0},
        {"SINIT replayed", sinit, SRC, &peer_stats_t::seal_hs, 1, 1},
        {"SINIT replayed from elsewhere", sinit, SRC2, &peer_stats_t::seal_hs, 1, 1},
        {"AUTH replayed", auth_dgram, SRC, &peer_stats_t::seal_replay, 0, 0},
        {"AUTH replayed from elsewhere", auth_dgram, SRC2, &peer_stats_t::seal_replay, 0, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        const peer_stats_t before = p->st;
        const uint32_t pending = p->npending;
        EXPECT_EQ(in(r.dgram, r.ipbe).size(), r.answers);
        EXPECT_EQ(p->st.*r.counter, before.*r.counter + 1);
        EXPECT_EQ(p->npending, pending + r.pending);
        EXPECT_EQ(p->live, 1u);
        EXPECT_EQ(p->st.seal_auth, before.seal_auth);
        EXPECT_EQ(p->sess[p->cfg.users[0].sess].ipbe, SRC) << "the session stays where it is";
    }
    EXPECT_EQ(log.take(), std::vector<std::string>{});
    // The answered replays hold nothing once their time is up.
    p->now += PEER_SEAL_PENDING_SEC;
    peer_seal_tick(p);
    EXPECT_EQ(p->npending, 0u);
}

// SIGHUP takes legacy= and privatekey= from the file: rows from a peer with a sealed session
// (alice) and a legacy one (bob), which every row keeps, or from a peer without privatekey.
TEST_F(PeerSeal, ReloadSealedSettings)
{
    enum Key { KEEP, NEW, NONE, BAD };
    struct Row {
        const char *what;
        bool sealed;         // the peer started with privatekey=
        Key key;             // privatekey= of the reloaded file
        const char *extra;   // the rest of it
        int rc;
        std::vector<std::string> lines;  // %s: the new key's path, %p: its public key, %a: alice's session id
        bool old_answers;    // an SINIT for the key the peer started with is answered
        bool new_answers;    // one for the new key
        bool alice_up;
        uint8_t legacy_open; // what a new legacy OPEN (carol) gets
    } rows[] = {
        {"same key", true, KEEP, "", 0, {"peer: user list reloaded: 3 users, 2 sessions kept, 0 closed"}, true, false,
         true, SDWAN_OPENACK},
        {"new key", true, NEW, "", 0,
         {"peer: privatekey %s changed: new handshakes use public key %p; sessions up keep their keys until their next rekey",
          "peer: user list reloaded: 3 users, 2 sessions kept, 0 closed"},
         false, true, true, SDWAN_OPENACK},
        {"key file readable by others", true, BAD, "", -1,
         {"peer: reload refused, the old user list stays: privatekey %s: has mode 0644; it must be 0600 or 0400"}, true,
         false, true, SDWAN_OPENACK},
        {"key removed", true, NONE, "", 0,
         {"session %a closed at reload: user alice from 192.0.2.7:5000", "peer: privatekey removed: sealed sessions refused",
          "peer: user list reloaded: 3 users, 1 sessions kept, 1 closed"},
         false, false, false, SDWAN_OPENACK},
        {"key added", false, NEW, "", 0,
         {"peer: privatekey %s read: sealed sessions accepted, public key %p",
          "peer: user list reloaded: 3 users, 1 sessions kept, 0 closed"},
         false, true, false, SDWAN_OPENACK},
        {"legacy off", true, KEEP, "legacy=0\n", 0,
         {"peer: legacy=0: new legacy OPENs are refused; legacy sessions up go on",
          "peer: user list reloaded: 3 users, 2 sessions kept, 0 closed"},
         true, false, true, SDWAN_OPENREJ},
        {"legacy off without a key", false, NONE, "legacy=0\n", -1,
         {"peer: reload refused, the old user list stays: legacy=0 needs privatekey="}, false, false, false,
         SDWAN_OPENACK},
    };
    const std::string cfgfile = dir / "peer.conf";
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        unload();
        load("", r.sealed);
        p->cfgpath = cfgfile.c_str();
        const std::string first = dir / "peer.key";
        uint8_t first_pub[KEY_BYTES];
        memcpy(first_pub, pub, KEY_BYTES);
        Client alice;
        if (r.sealed) {
            ASSERT_TRUE(handshake(&alice, 1));
            ASSERT_EQ(alice.open(one(alice.seal(sealed_kind::auth, auth("alice", "secret")))).first,
                      static_cast<uint8_t>(sealed_kind::authack));
        }
        ASSERT_EQ(one(wire::open("bob", "hunter2"), SRC2)[0], SDWAN_OPENACK);
        const std::string asid = r.sealed ? std::to_string(p->sess[p->cfg.users[0].sess].sid) : "";
        uint8_t next_pub[KEY_BYTES] = {};
        std::string key = r.key == KEEP ? first : r.key == NONE ? "" : new_key("next.key", next_pub);
        if (r.key == BAD) {
            ASSERT_EQ(chmod(key.c_str(), 0644), 0);
        }
        FILE *f = fopen(cfgfile.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(config(key, r.extra).c_str(), f);
        fclose(f);
        char pubtext[KEY_TEXT + 1];
        key_format(next_pub, pubtext);
        log.take();
        const peer_stats_t before = p->st;
        EXPECT_EQ(peer_reload(p), r.rc);
        EXPECT_EQ(log.take(), fill(r.lines, {{"%s", key}, {"%p", pubtext}, {"%a", asid}}));
        EXPECT_EQ(p->st.reload_fail, before.reload_fail + (r.rc != 0 ? 1 : 0));
        EXPECT_EQ(p->st.sess_closed, before.sess_closed + (r.sealed && !r.alice_up ? 1 : 0));
        EXPECT_EQ(p->cfg.users[0].sess != PEER_NONE, r.alice_up);
        EXPECT_NE(p->cfg.users[1].sess, PEER_NONE) << "bob's legacy session goes on";
        if (r.alice_up) {
            // A session up carries on under the keys it has.
            const Bytes ping = wire::icmp_echo("10.8.0.2", "10.8.0.1", 1, 1, 8);
            EXPECT_TRUE(in(alice.seal(sealed_kind::ip, ping)).empty());
            EXPECT_EQ(tun_read(), ping);
        }
        for (auto [keypub, answers] : {std::pair{first_pub, r.old_answers}, std::pair{next_pub, r.new_answers}}) {
            if (keypub == next_pub && (r.key == KEEP || r.key == NONE))
                continue;  // no second key to try
            Client c;
            const auto out = in(c.sinit(keypub, 9), SRC);
            ASSERT_EQ(out.size(), answers ? 1u : 0u);
            if (!answers)
                continue;
            // Alice's next rekey runs under the key the handshake used: her session goes on.
            ASSERT_TRUE(c.sresp(out[0]));
            EXPECT_EQ(c.open(one(c.seal(sealed_kind::auth, auth("alice", "secret")))).first,
                      static_cast<uint8_t>(sealed_kind::authack));
            EXPECT_EQ(p->st.seal_rekeys, r.alice_up ? 1u : 0u);
        }
        const auto open = in(wire::open("carol", "pw"), SRC2, 7000);
        ASSERT_EQ(open.size(), 1u);
        EXPECT_EQ(open[0][0], r.legacy_open);
    }
    p->cfgpath = nullptr;
}

TEST_F(PeerSeal, AdmissionLimits)
{
    Client c;
    // A source's burst, then nothing until its bucket refills; another source is not held back.
    // The global budget is kept out of it: a millisecond between handshakes refills two.
    for (uint32_t i = 0; i < PEER_SINIT_BURST; i++, p->now_ms++)
        ASSERT_EQ(in(c.sinit(pub, i + 1)).size(), 1u);
    EXPECT_TRUE(in(c.sinit(pub, 99)).empty());
    EXPECT_EQ(p->st.seal_ratelimit, 1u);
    EXPECT_EQ(in(c.sinit(pub, 99), SRC2).size(), 1u);
    p->now += 1;
    EXPECT_EQ(in(c.sinit(pub, 100)).size(), 1u);

    // A pending handshake expires: its AUTH finds nothing.
    Client late;
    ASSERT_TRUE(handshake(&late, 5, SRC2));
    p->now += PEER_SEAL_PENDING_SEC;
    peer_seal_tick(p);
    EXPECT_TRUE(in(late.seal(sealed_kind::auth, auth("alice", "secret")), SRC2).empty());
    EXPECT_EQ(p->live, 0u);
    EXPECT_EQ(p->npending, 0u);

    // Malformed handshakes cost nothing but a count.
    Bytes bad = c.sinit(pub, 3);
    bad[20] ^= 1;
    const uint64_t mal = p->st.seal_malformed;
    EXPECT_TRUE(in(bad, SRC2).empty());
    EXPECT_TRUE(in(Bytes(bad.begin(), bad.end() - 1), SRC2).empty());
    EXPECT_EQ(p->st.seal_malformed, mal + 2);
}

// The global handshake budget over the millisecond clock, from sources that each have tokens: a
// burst, then what each millisecond brings, never more than a burst however long the quiet.
TEST_F(PeerSeal, AdmissionGlobalBudget)
{
    Client c;
    uint32_t src = wire::addr("198.51.100.1");
    struct Row {
        const char *what;
        uint64_t advance_ms;  // before the row's SINITs
        uint32_t sent, answered;
    } rows[] = {
        {"the burst at once", 0, PEER_SINIT_GLOBAL_BURST + 8, PEER_SINIT_GLOBAL_BURST},
        {"nothing in the same millisecond", 0, 4, 0},
        {"one millisecond", 1, 4, PEER_SINIT_GLOBAL / 1000},
        {"half a burst's time", PEER_SINIT_GLOBAL_BURST * 1000 / PEER_SINIT_GLOBAL / 2, PEER_SINIT_GLOBAL_BURST,
         PEER_SINIT_GLOBAL_BURST / 2},
        {"a quiet minute: one burst only", 60000, 2 * PEER_SINIT_GLOBAL_BURST, PEER_SINIT_GLOBAL_BURST},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        p->now_ms += r.advance_ms;
        const peer_stats_t before = p->st;
        uint32_t answered = 0;
        for (uint32_t i = 0; i < r.sent; i++) {
            // Each from a source of its own: only the global budget counts.
            answered += static_cast<uint32_t>(in(c.sinit(pub, i + 1), htonl(ntohl(src) + i)).size());
        }
        src = htonl(ntohl(src) + 1000);
        EXPECT_EQ(answered, r.answered);
        EXPECT_EQ(p->st.seal_hs, before.seal_hs + r.answered);
        EXPECT_EQ(p->st.seal_ratelimit, before.seal_ratelimit + r.sent - r.answered);
    }
}

// Which refusals come before the X25519 and which budget each takes: seen in the counters (a
// refused SINIT is neither answered nor found malformed) and in the global tokens left.
TEST_F(PeerSeal, AdmissionOrderOfChecks)
{
    enum Dgram { VALID, RANDOM, SHORT };
    struct Row {
        const char *what;
        bool pool_full, source_empty, budget_empty;
        Dgram dgram;
        uint64_t peer_stats_t::*counter;
        uint32_t tokens_taken;  // global tokens
    } rows[] = {
        {"answered", false, false, false, VALID, &peer_stats_t::seal_hs, 1},
        {"es fails: one X25519, a token", false, false, false, RANDOM, &peer_stats_t::seal_malformed, 1},
        {"wrong length", false, false, false, SHORT, &peer_stats_t::seal_malformed, 0},
        {"pool full", true, false, false, VALID, &peer_stats_t::seal_pendfull, 0},
        {"pool full and the budget spent", true, false, true, VALID, &peer_stats_t::seal_pendfull, 0},
        {"source's bucket empty", false, true, false, VALID, &peer_stats_t::seal_ratelimit, 0},
        {"global budget spent", false, false, true, VALID, &peer_stats_t::seal_ratelimit, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        unload();
        load("");  // a new key each time
        Client c;
        Bytes dgram = c.sinit(pub, 8);
        if (r.dgram == RANDOM)
            for (size_t i = 8; i < dgram.size(); i++)
                dgram[i] = static_cast<uint8_t>(i * 37);
        if (r.dgram == SHORT)
            dgram.pop_back();
        for (uint32_t i = 0; r.source_empty && i < PEER_SINIT_BURST; i++, p->now_ms++)
            ASSERT_EQ(in(c.sinit(pub, i + 100)).size(), 1u);
        p->npending = r.pool_full ? PEER_SEAL_PENDING : 0;
        const uint32_t milli = r.budget_empty ? 999 : PEER_SINIT_GLOBAL_BURST * 1000;
        p->sinit_ms = p->now_ms;
        p->sinit_milli = milli;
        const peer_stats_t before = p->st;
        in(dgram);
        EXPECT_EQ(p->st.*r.counter, before.*r.counter + 1);
        EXPECT_EQ(p->st.seal_hs + p->st.seal_malformed + p->st.seal_pendfull + p->st.seal_ratelimit,
                  before.seal_hs + before.seal_malformed + before.seal_pendfull + before.seal_ratelimit + 1)
            << "one outcome";
        // The budget is read (and refilled) before it is spent: p->now_ms did not move.
        EXPECT_EQ(p->sinit_milli, milli - 1000 * r.tokens_taken);
        p->npending = 0;
    }
}

TEST_F(PeerSeal, LegacyRefusedWhenOff)
{
    unload();
    load("legacy=0\n");
    const auto out = in(wire::open("alice", "secret"));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][0], SDWAN_OPENREJ);
    EXPECT_EQ(p->st.rej_legacy, 1u);
    EXPECT_EQ(p->live, 0u);
    EXPECT_EQ(log.take(), std::vector<std::string>{"rejected user alice from 192.0.2.7:5000: legacy sessions refused"});
    Client c;
    ASSERT_TRUE(handshake(&c, 4));
    EXPECT_EQ(c.open(one(c.seal(sealed_kind::auth, auth("alice", "secret")))).first,
              static_cast<uint8_t>(sealed_kind::authack));
}

// Under the offloads. Out: a TCP super-packet from the interface, each segment sealed where the
// split put it, byte for byte the reference cipher's sealing at its own counter, all four in one
// segmented send. In: a received train whose middle datagram is forged, dropped alone; the
// genuine segments around it join into one interface write.
TEST_F(PeerSeal, OffloadTrainsBothWays)
{
    const uint32_t LO = htonl(INADDR_LOOPBACK);
    p->udpfd = peer_udp_open(LO, 0);
    ASSERT_GE(p->udpfd, 0);
    peer_udp_offload(p, true);
    if (p->gso == 0)
        GTEST_SKIP() << "the kernel has no UDP_SEGMENT";
    const int r = peer_udp_open(LO, 0);
    ASSERT_GE(r, 0);
    sockaddr_in ra{};
    socklen_t rl = sizeof ra;
    ASSERT_EQ(getsockname(r, reinterpret_cast<sockaddr *>(&ra), &rl), 0);
    const uint16_t rport = ntohs(ra.sin_port);
    p->vnet = TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4;
    // The interface's read takes the clock's second: the keys are made at the same clock.
    p->now = static_cast<uint32_t>(os_monosec());

    Client c;
    ASSERT_TRUE(c.sresp(one(c.sinit(pub, 9), LO, rport)));
    ASSERT_EQ(c.open(one(c.seal(sealed_kind::auth, auth("bob", "hunter2")), LO, rport)).first,
              static_cast<uint8_t>(sealed_kind::authack));
    peer_sess_t *s = peer_sess_by_addr(p, wire::addr("10.8.0.50"));
    ASSERT_NE(s, nullptr);
    const uint64_t n0 = p->keys[s->keys].send.n;

    ippkt::Tcp t;
    t.src = 0x0A080001;  // 10.8.0.1
    t.dst = 0x0A080032;  // 10.8.0.50, Bob's
    t.flags = ippkt::ACK | ippkt::PSH;
    const Bytes read = ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, VNET_GSO_TCPV4, 40, 1000, 20, 16),
                                  ippkt::tcp4(t, ippkt::pattern(3500)));
    const peer_stats_t before = p->st;
    ASSERT_EQ(::send(tun[1], read.data(), read.size(), 0), static_cast<ssize_t>(read.size()));
    peer_tun_recv(p);
    EXPECT_EQ(p->tx_nseg[0], 4u) << "one segmented send";
    EXPECT_EQ(p->st.tx_dgrams, before.tx_dgrams + 4);
    // The segments as the clear path cuts them, each sealed by the reference cipher.
    static uint8_t cut[VNET_TRAIN_BYTES];
    Bytes rd = read;
    vnet_split_t sp;
    vnet_train_t tr;
    ASSERT_EQ(vnet_split_begin(&sp, rd.data(), static_cast<uint32_t>(rd.size()), p->cfg.mtu), VNET_OK);
    ASSERT_EQ(vnet_split_next(&sp, cut, sizeof cut, 0, VNET_TRAIN_SEGS, &tr), 4);
    for (uint32_t i = 0; i < tr.count; i++) {
        SCOPED_TRACE(i);
        const uint32_t len = i + 1 < tr.count ? tr.seglen : tr.lastlen;
        noise_cipher ref = c.rx;  // the peer's sending key
        const Bytes want = sealforge::sdata(&ref, c.index, static_cast<uint8_t>(sealed_kind::ip),
                                            Bytes(cut + i * tr.stride, cut + i * tr.stride + len), n0 + i);
        Bytes d(4096);
        ASSERT_TRUE(fd_wait_readable(r, 1000));
        d.resize(static_cast<size_t>(::recv(r, d.data(), d.size(), 0)));
        EXPECT_EQ(d, want);
    }
    EXPECT_EQ(tr.lastlen, 540u);
    EXPECT_EQ(p->keys[s->keys].send.n, n0 + 4);

    ippkt::Tcp up = t;
    std::swap(up.src, up.dst);
    up.flags = ippkt::ACK;
    const Bytes data = ippkt::pattern(2000, 3);
    Bytes train;
    for (int i = 0; i < 3; i++) {
        const int part = i == 2 ? 1 : 0;
        up.seq = t.seq + 1000u * static_cast<uint32_t>(part);
        Bytes d = c.seal(sealed_kind::ip, ippkt::tcp4(up, Bytes(data.begin() + 1000 * part, data.begin() + 1000 * (part + 1))));
        if (i == 1)
            d[d.size() - 1] ^= 1;
        train.insert(train.end(), d.begin(), d.end());
    }
    const uint64_t badtag = p->st.seal_badtag;
    const uint64_t rx = s->rxpkts;
    peer_rx_train(p, LO, rport, train.data(), static_cast<uint32_t>(train.size()), static_cast<uint32_t>(train.size() / 3));
    peer_tun_flush(p);
    EXPECT_EQ(p->st.seal_badtag, badtag + 1);
    EXPECT_EQ(s->rxpkts, rx + 2);
    const Bytes w = tun_read();
    ASSERT_EQ(w.size(), 10u + 2040u) << "the two genuine segments in one write";
    EXPECT_EQ(Bytes(w.begin(), w.begin() + 10), ippkt::vhdr(VNET_F_NEEDS_CSUM, VNET_GSO_TCPV4, 40, 1000, 20, 16));
    EXPECT_EQ(Bytes(w.begin() + 50, w.end()), data);
    EXPECT_EQ(tun_read(), Bytes{});
    close(r);
    close(p->udpfd);
    p->udpfd = -1;
}

}  // namespace
