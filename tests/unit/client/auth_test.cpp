// Authentication handshake: OPEN on the wire, the password block, and the handlers of OPENACK,
// OPENREJ and CLOSE driven through the receive dispatcher against a scripted peer on loopback,
// the host a recording fake (an accepted OPENACK configures the interface and the routes).
//
// Digests and the AES block are checked with OpenSSL directly, independently of the library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <string>
#include <vector>

#include <net/if.h>

#include "bytes.h"
#include "client/auth.h"
#include "client/session.h"
#include "net/ipaddr.h"
#include "proto/aes.h"
#include "proto/packet.h"
#include "sdwan_build.h"
#include "support/fakeclock.h"
#include "support/netns.h"
#include "support/scriptpeer.h"
#include "support/wire.h"
#include "support/proc.h"

namespace {

// Every allocation OpenSSL makes in this process is counted; the functions are installed before
// main, ahead of OpenSSL's first allocation, or OpenSSL refuses them.
size_t s_ossl_allocs = 0;
void *count_malloc(size_t n, const char *, int)
{
    s_ossl_allocs++;
    return malloc(n);
}
void *count_realloc(void *p, size_t n, const char *, int)
{
    s_ossl_allocs++;
    return realloc(p, n);
}
void count_free(void *p, const char *, int) { free(p); }
const bool s_counting = CRYPTO_set_mem_functions(count_malloc, count_realloc, count_free) == 1;

Bytes md5(const Bytes &in)
{
    uint8_t md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EXPECT_EQ(EVP_Digest(in.data(), in.size(), md, &n, EVP_md5(), nullptr), 1);
    return Bytes(md, md + 16);
}

Bytes passkey_of(const std::string &user)
{
    Bytes in{SDWAN_SALT0, SDWAN_SALT1};
    in.insert(in.end(), user.begin(), user.end());
    return md5(in);
}

Bytes aes_decrypt_block(const Bytes &key, const uint8_t *block)
{
    Bytes out(32);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0, fin = 0;
    EXPECT_EQ(EVP_DecryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(EVP_DecryptUpdate(ctx, out.data(), &n, block, 16), 1);
    EXPECT_EQ(EVP_DecryptFinal_ex(ctx, out.data() + n, &fin), 1);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + fin));
    return out;
}

Bytes hex(const char *s)
{
    Bytes out;
    for (size_t i = 0; s[i] != 0 && s[i + 1] != 0; i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(s + i, 2), nullptr, 16)));
    return out;
}

uint16_t raw16(uint8_t a, uint8_t b)
{
    const uint8_t v[2] = {a, b};
    return ld_raw16(v);
}

uint32_t raw32(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t v[4] = {a, b, c, d};
    return ld_raw32(v);
}

TEST(AuthCipher, Fips197VectorAndRekeying)
{
    const Bytes key = hex("000102030405060708090a0b0c0d0e0f");
    const Bytes pt = hex("00112233445566778899aabbccddeeff");
    const Bytes ct = hex("69c4e0d86a7b0430d8cdb78070b4c55a");
    uint8_t out[16];
    sdwan_aes_t aes{};
    ASSERT_EQ(sdwan_aes_run(&aes, false, key.data(), pt.data(), out), 0);
    EXPECT_EQ(Bytes(out, out + 16), ct);

    // The context is reused: another key in between must not leave anything behind.
    const Bytes other = hex("ffeeddccbbaa99887766554433221100");
    ASSERT_EQ(sdwan_aes_run(&aes, false, other.data(), pt.data(), out), 0);
    EXPECT_NE(Bytes(out, out + 16), ct);
    EXPECT_EQ(aes_decrypt_block(other, out), pt);
    ASSERT_EQ(sdwan_aes_run(&aes, false, key.data(), pt.data(), out), 0);
    EXPECT_EQ(Bytes(out, out + 16), ct);
    sdwan_aes_close(&aes);
}

TEST(AuthOpen, BuildingAnOpenAllocatesNothingAfterTheFirst)
{
    if (!s_counting)
        GTEST_SKIP() << "OpenSSL allocated before the counting functions could be installed";
    sdwan_t clnt{};
    snprintf(clnt.conf.user, sizeof clnt.conf.user, "alice");
    snprintf(clnt.conf.pass, sizeof clnt.conf.pass, "secret");
    clnt.conf.mtu = 1400;
    ASSERT_EQ(sdwan_aes_init(&clnt), 0);  // as sdwclnt_init opens it
    uint8_t buf[SDWAN_CTRLBUF];
    ASSERT_EQ(sdwan_pktopen(&clnt, buf), 53u);
    const size_t before = s_ossl_allocs;
    for (const char *user : {"bob", "carol", "alice"}) {
        snprintf(clnt.conf.user, sizeof clnt.conf.user, "%s", user);
        ASSERT_NE(sdwan_pktopen(&clnt, buf), 0u);
    }
    EXPECT_EQ(s_ossl_allocs, before);
    sdwan_aes_fini(&clnt);
}

TEST(AuthPasskey, IsMd5OfSaltThenUserName)
{
    const std::string u31(31, 'z');
    for (const std::string &user : {std::string("a"), std::string("alice"), u31}) {
        uint8_t key[16];
        sdwan_passkey(user.c_str(), static_cast<uint32_t>(user.size()), key);
        EXPECT_EQ(Bytes(key, key + 16), passkey_of(user)) << user;
    }
}

// The record's fields as OPEN carries them; the layout itself is the codec's (proto/codec_test).
TEST(AuthOpen, CarriesTheRecordsSettings)
{
    const std::string u31(31, 'u');
    const struct {
        const char *what;
        std::string user, pass;
        uint8_t encrypt;
        uint16_t pipeid, pipeidx, mtu;
        int32_t pipe;  // the pipe value on the wire, -1 for no pipe option
    } cases[] = {
        {"one-char user, nothing optional", "a", "x", 0, 0, 0, 1400, -1},
        {"31-char user, encrypt and pipe", u31, "pw", 1, 5, 1, 1400, 0x8005},
        {"pipe index 2 drops off bit 15", "alice", "secret", 0, 5, 2, 1400, 0x0005},
        {"pipe index 3 keeps bit 0 only", "alice", "secret", 0, 5, 3, 1400, 0x8005},
        {"pipe id 0 sends no pipe", "alice", "secret", 0, 0, 7, 1400, -1},
        {"pipe id bit 15 kept", "alice", "secret", 0, 0x8001, 0, 1400, 0x8001},
        {"20-char password: its first 16 travel", "bob", "ABCDEFGHIJKLMNOPQRST", 0, 0, 0, 46, -1},
        {"3-char password, zero padded", "bob", "abc", 1, 0, 0, 1600, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        sdwan_t clnt{};
        snprintf(clnt.conf.user, sizeof clnt.conf.user, "%s", c.user.c_str());
        snprintf(clnt.conf.pass, sizeof clnt.conf.pass, "%s", c.pass.c_str());
        clnt.conf.encrypt = c.encrypt;
        clnt.conf.pipeid = c.pipeid;
        clnt.conf.pipeidx = c.pipeidx;
        clnt.conf.mtu = c.mtu;
        uint8_t buf[SDWAN_CTRLBUF];
        memset(buf, 0xEE, sizeof buf);
        const uint32_t len = sdwan_pktopen(&clnt, buf);
        EXPECT_EQ(Bytes(buf, buf + len), wire::open(c.user, c.pass, c.encrypt != 0 ? c.encrypt : -1, c.mtu, c.pipe));
        EXPECT_EQ(buf[len], 0xEE) << "wrote past the returned length";
    }
}

TEST(AuthOptions, AddressParsersKeepNetworkOrder)
{
    const uint8_t opt[] = {SDWAN_OPT_DNS, 10, 8, 8, 4, 4, 1, 0, 0, 1};
    EXPECT_EQ(parse_ip(opt), ip("8.8.4.4"));
    EXPECT_EQ(parse_ip_part(opt + 6), ip("1.0.0.1"));
}

// ---------------------------------------------------------------------------------------------
// Handlers, through the dispatcher, with the host's interface and routes recorded by the fake.

class AuthReplies : public ClientFakeTest {
protected:
    void SetUp() override
    {
        ClientFakeTest::SetUp();
        if (HasFatalFailure())
            return;
        set_peer_quiet();
        ASSERT_EQ(clnt->sess.state, SDWANCLNT_INIT);
    }

    // INIT -> AUTH, and the first OPEN read by the peer.
    void to_auth()
    {
        tick();
        tick();
        ASSERT_EQ(clnt->sess.state, SDWANCLNT_AUTH);
        ASSERT_FALSE(peer->recv().empty());
        log->take();
    }
};

TEST_F(AuthReplies, OpenackWithAllOptionsEstablishesAndConfiguresTheInterface)
{
    to_auth();
    const uint16_t sid = raw16(0x01, 0x02);
    const uint32_t token = raw32(0xDE, 0xAD, 0xBE, 0xEF);
    const Bytes opts = ScriptPeer::cat({ScriptPeer::opt_mtu(1300), ScriptPeer::opt_ip(ip("10.200.0.5")),
                                        ScriptPeer::opt_gateway(ip("10.200.0.1")),
                                        ScriptPeer::opt_dns(ip("8.8.8.8"), ip("9.9.9.9")),
                                        ScriptPeer::opt_encrypt(1), ScriptPeer::opt_duppkt(1)});
    FakeClock::advance(1);
    ASSERT_TRUE(peer->send_and_deliver(clnt, ScriptPeer::openack(sid, token, opts)));

    EXPECT_EQ(clnt->sess.state, SDWANCLNT_DATA);
    uint8_t sidb[2], tokb[4];
    st_raw16(sidb, clnt->sess.sid);
    st_raw32(tokb, clnt->sess.token);
    EXPECT_EQ(Bytes(sidb, sidb + 2), (Bytes{0x01, 0x02}));
    EXPECT_EQ(Bytes(tokb, tokb + 4), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(clnt->sess.ip, ip("10.200.0.5"));
    EXPECT_EQ(clnt->sess.gateway, ip("10.200.0.1"));
    EXPECT_EQ(clnt->sess.dns0, ip("8.8.8.8"));
    EXPECT_EQ(clnt->sess.dns1, ip("9.9.9.9"));
    EXPECT_EQ(clnt->sess.peermtu, 1300);
    EXPECT_EQ(clnt->sess.peerencrypt, 1);
    EXPECT_EQ(clnt->sess.peerduppkt, 1);
    EXPECT_EQ(clnt->sess.ltime, FakeClock::mono_sec());
    EXPECT_EQ(clnt->sess.lastdial, FakeClock::sec);
    EXPECT_EQ(clnt->count.stats.openackcnt, 1u);
    EXPECT_EQ(clnt->count.stats.sock_rxpkts, 1u);

    const auto lines = log->take();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "sdwan DATA ESTABLISHED session 513");
    EXPECT_EQ(lines[1], "Using IP: 10.200.0.5, Gateway: 10.200.0.1, MTU: 1300, Encrypt: Y");

    EXPECT_EQ(host_calls(), (std::vector<std::string>{"addr set tolva0 10.200.0.5/24", "mtu set tolva0 1300",
                                                      "route add 0.0.0.0/0 via 10.200.0.1 dev tolva0"}));
}

TEST_F(AuthReplies, OpenackWithoutOptionsKeepsRecordValuesAndDataInClear)
{
    to_auth();
    const Bytes ack = ScriptPeer::openack(0, 0, {});
    ASSERT_EQ(ack.size(), 24u);
    peer->inject(clnt, ack);
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_DATA);
    EXPECT_EQ(clnt->sess.ip, 0u);
    EXPECT_EQ(clnt->sess.gateway, 0u);
    EXPECT_EQ(clnt->sess.peermtu, 0);
    EXPECT_EQ(clnt->sess.peerencrypt, 0);
    const auto lines = log->take();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "sdwan DATA ESTABLISHED session 0");
    EXPECT_EQ(lines[1], "Using IP: 0.0.0.0, Gateway: 0.0.0.0, MTU: 0, Encrypt: N");
}

TEST_F(AuthReplies, OpenackSkipsUnknownOptionsByTheirLength)
{
    to_auth();
    int n = 0;
    // Every type and length the codec skips is in proto/codec_test; here, that a skipped option
    // still establishes the session.
    for (uint8_t type : {7, 200}) {
        for (uint8_t len : {2, 255}) {
            SCOPED_TRACE("type " + std::to_string(type) + " len " + std::to_string(len));
            // The skipped value looks like an address option, so a parser that read into it
            // would store the wrong address.
            Bytes value(len - 2u, SDWAN_OPT_IP);
            const uint32_t addr = raw32(10, 202, 0, static_cast<uint8_t>(++n));
            Bytes unknown{type, len};
            unknown.insert(unknown.end(), value.begin(), value.end());
            clnt->sess.state = SDWANCLNT_AUTH;
            peer->inject(clnt, ScriptPeer::openack(1, 1, ScriptPeer::cat({unknown, ScriptPeer::opt_ip(addr)})));
            EXPECT_EQ(clnt->sess.state, SDWANCLNT_DATA);
            EXPECT_EQ(clnt->sess.ip, addr);
        }
    }
    EXPECT_EQ(clnt->count.stats.panic_open, 0u);
    EXPECT_EQ(clnt->count.stats.openackcnt, static_cast<uint32_t>(n));
}

struct MalformedCase {
    const char *what;
    Bytes option;  // follows a well-formed gateway option; nothing after it may be examined
};

TEST_F(AuthReplies, MalformedOpenackResetsWithoutALineOfItsOwn)
{
    // One of each kind of fault the codec answers (every one is in proto/codec_test): a known
    // option of the wrong length, broken framing, a value cut by the datagram's end.
    const MalformedCase cases[] = {
        {"MTU length 5", {SDWAN_OPT_MTU, 5, 0x05, 0x00, 0x00}},
        {"unknown length 1", {200, 1, 3, 0}},  // read on by one byte, it would parse as a valid option
    };
    const MalformedCase truncated[] = {
        {"IP value cut", {SDWAN_OPT_IP, 6, 10, 0, 0}},
    };
    auto run = [&](const MalformedCase &c, bool with_tail, uint8_t n) {
        SCOPED_TRACE(c.what);
        tick();  // INIT -> AUTH
        tick();  // OPEN: the socket gets its local port
        ASSERT_EQ(clnt->sess.state, SDWANCLNT_AUTH);
        ASSERT_FALSE(peer->recv().empty());
        ASSERT_NE(ScriptPeer::client_port(clnt), 0);
        log->take();
        const uint32_t gw = raw32(10, 203, 0, n);
        Bytes opts = ScriptPeer::cat({ScriptPeer::opt_gateway(gw), c.option});
        if (with_tail)
            opts = ScriptPeer::cat({opts, ScriptPeer::opt_ip(ip("10.9.9.9"))});
        const uint32_t before = clnt->count.stats.panic_open;
        peer->inject(clnt, ScriptPeer::openack(3, 4, opts));
        EXPECT_EQ(clnt->count.stats.panic_open, before + 1);
        EXPECT_EQ(clnt->sess.state, SDWANCLNT_INIT);
        EXPECT_EQ(clnt->sess.gateway, gw) << "options before the faulty one are stored";
        EXPECT_EQ(clnt->sess.ip, 0u) << "nothing after the faulty one is examined";
        EXPECT_EQ(clnt->count.stats.openackcnt, 0u);
        EXPECT_EQ(clnt->sess.sid, 0);
        EXPECT_NE(clnt->io.udpsock, -1);
        EXPECT_EQ(ScriptPeer::client_port(clnt), 0) << "a fresh socket has sent nothing yet";
        EXPECT_EQ(log->take(),
                  (std::vector<std::string>{"sdwan client socket reinit success", "sdwan client socket reg success"}));
    };
    uint8_t n = 0;
    for (const MalformedCase &c : cases)
        run(c, true, ++n);
    for (const MalformedCase &c : truncated)
        run(c, false, ++n);
}

TEST_F(AuthReplies, SecondOpenackInDataIsRefused)
{
    ASSERT_TRUE(establish(raw16(0x01, 0x02), 77, ScriptPeer::cat({ScriptPeer::opt_ip(ip("10.200.0.5")),
                                                                   ScriptPeer::opt_gateway(ip("10.200.0.1")),
                                                                   ScriptPeer::opt_mtu(1400)})));
    host_calls();
    peer->inject(clnt, ScriptPeer::openack(raw16(0x09, 0x09), 99, ScriptPeer::opt_ip(ip("10.200.0.77"))));
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_DATA);
    EXPECT_EQ(clnt->sess.sid, raw16(0x01, 0x02));
    EXPECT_EQ(clnt->sess.token, 77u);
    EXPECT_EQ(clnt->sess.ip, ip("10.200.0.5"));
    EXPECT_EQ(clnt->count.stats.panic_pktverify, 1u);
    EXPECT_EQ(clnt->count.stats.openackcnt, 1u);
    EXPECT_EQ(log->take(), std::vector<std::string>{"Invalid state or packet verification failed"});
    EXPECT_TRUE(host_calls().empty()) << "the interface keeps the first session's settings";
}

// One handler call through the dispatcher: the state it runs in, the packet, what it logs, the
// state after it and the one counter it moves (besides sock_rxpkts).
struct HandlerCase {
    const char *what;
    uint8_t state;
    Bytes pkt;
    std::vector<std::string> lines;
    uint8_t state_after;
    uint32_t netif_stats::*counter;
};

Bytes corrupt(Bytes pkt, size_t at)
{
    pkt[at] ^= 0x5A;
    return pkt;
}

TEST_F(AuthReplies, RejectAndCloseInRightAndWrongStates)
{
    const std::vector<std::string> reset_lines{"sdwan client socket reinit success", "sdwan client socket reg success"};
    auto with_reset = [&](std::vector<std::string> l) {
        l.insert(l.end(), reset_lines.begin(), reset_lines.end());
        return l;
    };
    const HandlerCase cases[] = {
        {"OPENREJ accepted", SDWANCLNT_AUTH, ScriptPeer::openrej(), with_reset({"SDWAN peer authentication REJECTED"}),
         SDWANCLNT_INIT, &netif_stats::openrejcnt},
        {"OPENREJ with a wrong signature", SDWANCLNT_AUTH, corrupt(ScriptPeer::openrej(), 12),
         {"Packet verification failed for OPENREJ"}, SDWANCLNT_AUTH, &netif_stats::panic_pktverify},
        {"OPENREJ with a changed header", SDWANCLNT_AUTH, corrupt(ScriptPeer::openrej(), 1),
         {"Packet verification failed for OPENREJ"}, SDWANCLNT_AUTH, &netif_stats::panic_pktverify},
        {"OPENREJ in DATA", SDWANCLNT_DATA, ScriptPeer::openrej(),
         {"Invalid state: expected SDWANCLNT_AUTH, but got 5"}, SDWANCLNT_DATA, nullptr},
        {"OPENREJ in INIT", SDWANCLNT_INIT, ScriptPeer::openrej(),
         {"Invalid state: expected SDWANCLNT_AUTH, but got 3"}, SDWANCLNT_INIT, nullptr},
        {"CLOSE accepted", SDWANCLNT_DATA, ScriptPeer::close_pkt(5, 6),
         {"Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state"}, SDWANCLNT_CLOSED, &netif_stats::closedcnt},
        {"CLOSE for another sid", SDWANCLNT_DATA, ScriptPeer::close_pkt(4, 6),
         {"CLOSE for another session (sid 4, token 6): asking the peer"}, SDWANCLNT_DATA, &netif_stats::echoreqcnt},
        {"CLOSE for another token", SDWANCLNT_DATA, ScriptPeer::close_pkt(5, 0),
         {"CLOSE for another session (sid 5, token 0): asking the peer"}, SDWANCLNT_DATA, nullptr},
        {"CLOSE with a wrong signature", SDWANCLNT_DATA, corrupt(ScriptPeer::close_pkt(), 23),
         {"Packet verification failed"}, SDWANCLNT_DATA, &netif_stats::panic_pktverify},
        {"CLOSE in AUTH", SDWANCLNT_AUTH, ScriptPeer::close_pkt(),
         {"Invalid state: expected SDWANCLNT_DATA, but got 4"}, SDWANCLNT_AUTH, nullptr},
        {"CLOSE in CLOSED", SDWANCLNT_CLOSED, ScriptPeer::close_pkt(),
         {"Invalid state: expected SDWANCLNT_DATA, but got 6"}, SDWANCLNT_CLOSED, nullptr},
        {"OPENACK in INIT", SDWANCLNT_INIT, ScriptPeer::openack(1, 2, {}),
         {"Invalid state or packet verification failed"}, SDWANCLNT_INIT, &netif_stats::panic_pktverify},
        {"OPENACK with a wrong signature", SDWANCLNT_AUTH, corrupt(ScriptPeer::openack(1, 2, {}), 8),
         {"Invalid state or packet verification failed"}, SDWANCLNT_AUTH, &netif_stats::panic_pktverify},
        {"OPENACK with a changed sid", SDWANCLNT_AUTH, corrupt(ScriptPeer::openack(1, 2, {}), 2),
         {"Invalid state or packet verification failed"}, SDWANCLNT_AUTH, &netif_stats::panic_pktverify},
    };
    clnt->sess.sid = 5;
    clnt->sess.token = 6;
    for (const HandlerCase &c : cases) {
        SCOPED_TRACE(c.what);
        clnt->sess.state = c.state;
        log->take();
        netif_stats want = clnt->count.stats;
        want.sock_rxpkts++;
        if (c.counter != nullptr)
            (want.*c.counter)++;
        peer->inject(clnt, c.pkt);
        EXPECT_EQ(log->take(), c.lines);
        EXPECT_EQ(clnt->sess.state, c.state_after);
        EXPECT_EQ(0, memcmp(&want, &clnt->count.stats, sizeof want));
    }
}

// A CLOSE that is not the session's asks the peer with an echo request; only silence ends the
// session. Steps: c another's CLOSE (sid 9, token 9), m the session's own CLOSE, a the peer
// answers the newest echo request it got, o it answers the oldest one, x it answers the newest
// with the session's CLOSE (a peer that lost the session), t a tick one second on, h half a second.
TEST_F(AuthReplies, CloseForAnotherSessionAsksThePeerFirst)
{
    const std::string asked = "CLOSE for another session (sid 9, token 9): asking the peer";
    const std::string taken = "Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state";
    const std::string silent = "No answer from the peer after a CLOSE for another session";
    const std::vector<std::string> reset{"sdwan client socket reinit success", "sdwan client socket reg success",
                                         "peer CLOSED"};
    struct {
        const char *what;
        const char *steps;
        uint8_t state;
        uint32_t closed, probes;
        std::vector<std::string> lines;
    } const cases[] = {
        {"the session's own CLOSE ends it at once", "m", SDWANCLNT_CLOSED, 1, 0, {taken}},
        {"answered: the session stays", "cattt", SDWANCLNT_DATA, 0, 1, {asked}},
        {"unanswered after one second: still waiting", "ct", SDWANCLNT_DATA, 0, 1, {asked}},
        {"unanswered at the next tick: ended as by a CLOSE", "ctt", SDWANCLNT_INIT, 1, 1,
         {asked, silent, reset[0], reset[1], reset[2]}},
        {"an answer to a request sent before it does not count", "thcott", SDWANCLNT_INIT, 1, 1,
         {asked, silent, reset[0], reset[1], reset[2]}},
        {"a peer that lost the session answers with its CLOSE", "cx", SDWANCLNT_CLOSED, 1, 1, {asked, taken}},
        {"one probe at a time", "ccc", SDWANCLNT_DATA, 0, 1, {asked, asked, asked}},
        {"at most one probe a second", "cahcahc", SDWANCLNT_DATA, 0, 2, {asked, asked, asked}},
        {"a flood: five lines, one probe", "ccccccc", SDWANCLNT_DATA, 0, 1, {asked, asked, asked, asked, asked}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        set_peer_quiet();
        const uint16_t sid = raw16(0x01, 0x02);
        const uint32_t token = 77;
        ASSERT_TRUE(establish(sid, token, {}));
        FakeClock::advance(1);  // a fresh interval of the log's rate limit
        peer->recv_all(20);
        const uint32_t mismatch0 = clnt->count.close_mismatch;
        Bytes hdr(8);
        hdr[0] = SDWAN_ECHOREQ;
        st_raw16(hdr.data() + 2, sid);
        st_raw32(hdr.data() + 4, token);
        std::vector<Bytes> reqs;
        uint32_t probes = 0, cs = 0;
        for (const char *st = c.steps; *st != '\0'; st++) {
            FakeClock::usec += 1000;  // each request its own tick
            if (*st == 'a' || *st == 'o') {
                ASSERT_FALSE(reqs.empty()) << "no echo request to answer";
            }
            switch (*st) {
            case 'c': cs++; peer->inject(clnt, ScriptPeer::close_pkt(9, 9)); break;
            case 'm': peer->inject(clnt, ScriptPeer::close_pkt(sid, token)); break;
            case 'a': peer->inject(clnt, ScriptPeer::echoresp(ld_le64(reqs.back().data() + 24), sid, token)); break;
            case 'o': peer->inject(clnt, ScriptPeer::echoresp(ld_le64(reqs.front().data() + 24), sid, token)); break;
            case 'x': peer->inject(clnt, ScriptPeer::close_pkt(sid, token)); break;
            case 't': tick(); break;
            case 'h': FakeClock::mono += 500000; break;
            }
            for (const Bytes &d : peer->recv_all(20)) {
                ASSERT_EQ(d.size(), 44u);
                EXPECT_EQ(Bytes(d.begin(), d.begin() + 8), hdr) << "an echo request of the session";
                probes += *st == 'c' ? 1 : 0;
                reqs.push_back(d);
            }
        }
        EXPECT_EQ(clnt->sess.state, c.state);
        EXPECT_EQ(clnt->count.stats.closedcnt, c.closed);
        EXPECT_EQ(clnt->count.close_mismatch - mismatch0, cs);
        EXPECT_EQ(probes, c.probes);
        EXPECT_EQ(log->take(), c.lines);
        clnt->sess.state = SDWANCLNT_INIT;
    }
}

TEST_F(AuthReplies, ShortControlPacketsFailVerification)
{
    struct Short {
        Bytes full;
        uint8_t state;
        const char *line;  // null: the handler's line is not this module's
    };
    const Short kinds[] = {
        {ScriptPeer::openrej(), SDWANCLNT_AUTH, "Packet verification failed for OPENREJ"},
        {ScriptPeer::openack(1, 2, ScriptPeer::opt_mtu(1400)), SDWANCLNT_AUTH,
         "Invalid state or packet verification failed"},
        {ScriptPeer::close_pkt(), SDWANCLNT_DATA, "Packet verification failed"},
        {ScriptPeer::echoresp(12345), SDWANCLNT_DATA, nullptr},
    };
    for (const Short &k : kinds) {
        for (size_t len : {1u, 2u, 7u, 8u, 23u}) {
            SCOPED_TRACE("type " + std::to_string(k.full[0]) + " len " + std::to_string(len));
            clnt->sess.state = k.state;
            log->take();
            const uint32_t before = clnt->count.stats.panic_pktverify;
            peer->inject(clnt, Bytes(k.full.begin(), k.full.begin() + static_cast<long>(len)));
            EXPECT_EQ(clnt->count.stats.panic_pktverify, before + 1);
            EXPECT_EQ(clnt->sess.state, k.state);
            if (k.line != nullptr) {
                EXPECT_EQ(log->take(), std::vector<std::string>{k.line});
            }
        }
    }
}

}  // namespace
