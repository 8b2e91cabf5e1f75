// Keepalive echo: the request on the wire, the delay bookkeeping of the response handler, and the
// pacing by the session tick against a scripted peer on loopback, the host a recording fake.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <openssl/evp.h>
#include <string>
#include <vector>

#include "bytes.h"
#include "client/echo.h"
#include "client/session.h"
#include "core/event.h"
#include "proto/echo.h"
#include "proto/packet.h"
#include "sdwan_build.h"
#include "support/fakeclock.h"
#include "support/logcap.h"
#include "support/fakehost.h"
#include "support/scriptpeer.h"

namespace {
// The client object of this file's tests (the daemon's is main's).
const client_ptr g_owned = new_client();
sdwan_t &g_clnt = *g_owned;

constexpr uint64_t NOW_USEC = uint64_t{1} << 40;  // far from 0 so that delays above 2^32 fit

// The signature computed independently of the library: MD5 over the header then the salt.
Bytes expected_signature(const uint8_t *hdr)
{
    uint8_t in[10];
    memcpy(in, hdr, 8);
    in[8] = SDWAN_SALT0;
    in[9] = SDWAN_SALT1;
    uint8_t md[EVP_MAX_MD_SIZE];
    unsigned int mdlen = 0;
    EVP_Digest(in, sizeof in, md, &mdlen, EVP_md5(), nullptr);
    return Bytes(md, md + 16);
}

struct Delays {
    uint32_t cur, min, max;
    bool operator==(const Delays &) const = default;
};

Delays delays_of(const sdwan_t &c) { return {c.rtt.curdelay, c.rtt.mindelay, c.rtt.maxdelay}; }

Delays delays_in_request(const Bytes &req)
{
    return {ld_le32(req.data() + 32), ld_le32(req.data() + 36), ld_le32(req.data() + 40)};
}

class EchoTest : public ::testing::Test {
protected:
    void SetUp() override { FakeClock::install(1700000000, NOW_USEC); }
    void TearDown() override { FakeClock::uninstall(); }
};

TEST_F(EchoTest, RequestBytes)
{
    sdwan_t c{};
    c.sess.sid = 0xBEEF;
    c.sess.token = 0x11223344;
    c.rtt.curdelay = 0x0A0B0C0D;
    c.rtt.mindelay = 5000000;
    c.rtt.maxdelay = 0xFFFFFFFE;
    c.conf.rtmagic = 0x01020304;
    FakeClock::usec = 0x0102030405060708;

    uint8_t buf[80];
    memset(buf, 0xEE, sizeof buf);
    ASSERT_EQ(sdwan_pktechoreq(&c, buf), 44u);

    // The layout is the codec's (proto/codec_test); here, that the record and the clock fill it.
    echo_msg_t m;
    ASSERT_EQ(echo_decode({buf, 44}, &m), 0);
    const echo_msg_t want{{SDWAN_ECHOREQ, 0, 0xBEEF, 0x11223344}, true, 0x0102030405060708, 0x0A0B0C0D, 5000000,
                          0xFFFFFFFE};
    EXPECT_EQ(m, want);
    EXPECT_EQ(sdwan_pktverify(buf, 44), 1);

    // The route block lies four bytes behind the body, inside the 64 bytes the caller provides.
    EXPECT_EQ(Bytes(buf + 44, buf + 48), Bytes(4, 0xEE));
    const Bytes rt{'S', 'D', 'R', 'T', 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(buf + 48, buf + 60), rt);
    EXPECT_EQ(Bytes(buf + 60, buf + 80), Bytes(20, 0xEE));
}

struct RespCase {
    const char *name;
    uint8_t state;
    Delays before;
    int64_t delay;          // tick returned = now - delay
    uint32_t blen;          // 0: the whole 44-byte response
    int corrupt;            // -1: none, else the byte index flipped after signing
    Delays after;
    uint32_t respcnt;
    uint32_t verifyfail;
    const char *line;       // expected log line, or null for none
};

const Delays START{0, 5000000, 0};
const Delays MID{7, 100, 900};

const RespCase RESP_CASES[] = {
    {"first", SDWANCLNT_DATA, START, 1234, 0, -1, {1234, 1234, 1234}, 1, 0, nullptr},
    {"first_zero", SDWANCLNT_DATA, START, 0, 0, -1, {0, 0, 0}, 1, 0, nullptr},
    {"future_tick_wraps", SDWANCLNT_DATA, START, -5, 0, -1, {0xFFFFFFFB, 5000000, 0xFFFFFFFB}, 1, 0, nullptr},
    {"delay_mod_2_32", SDWANCLNT_DATA, MID, (int64_t{1} << 32) + 500, 0, -1, {500, 100, 900}, 1, 0, nullptr},
    {"equal_max", SDWANCLNT_DATA, MID, 900, 0, -1, {900, 100, 900}, 1, 0, nullptr},
    {"equal_min", SDWANCLNT_DATA, MID, 100, 0, -1, {100, 100, 900}, 1, 0, nullptr},
    {"new_max", SDWANCLNT_DATA, MID, 901, 0, -1, {901, 100, 901}, 1, 0, nullptr},
    {"new_min", SDWANCLNT_DATA, MID, 99, 0, -1, {99, 99, 900}, 1, 0, nullptr},
    {"exactly_32_bytes", SDWANCLNT_DATA, MID, 300, 32, -1, {300, 100, 900}, 1, 0, nullptr},
    {"body_not_signed", SDWANCLNT_DATA, MID, 300, 0, 40, {300, 100, 900}, 1, 0, nullptr},
    {"state_auth", SDWANCLNT_AUTH, MID, 300, 0, -1, MID, 0, 0, "Invalid state: expected SDWANCLNT_DATA, but got 4"},
    {"state_dns", SDWANCLNT_DNS, MID, 300, 0, -1, MID, 0, 0, "Invalid state: expected SDWANCLNT_DATA, but got 2"},
    {"state_closed", SDWANCLNT_CLOSED, MID, 300, 0, -1, MID, 0, 0, "Invalid state: expected SDWANCLNT_DATA, but got 6"},
    {"state_before_signature", SDWANCLNT_INIT, MID, 300, 0, 9, MID, 0, 0,
     "Invalid state: expected SDWANCLNT_DATA, but got 3"},
    {"bad_signature", SDWANCLNT_DATA, MID, 300, 0, 23, MID, 0, 1, "Packet verification failed"},
    {"header_changed", SDWANCLNT_DATA, MID, 300, 0, 5, MID, 0, 1, "Packet verification failed"},
    {"short_31", SDWANCLNT_DATA, MID, 300, 31, -1, MID, 0, 1, "Packet verification failed"},
    {"short_24", SDWANCLNT_DATA, MID, 300, 24, -1, MID, 0, 1, "Packet verification failed"},
    {"short_8", SDWANCLNT_DATA, MID, 300, 8, -1, MID, 0, 1, "Packet verification failed"},
    {"short_1", SDWANCLNT_DATA, MID, 300, 1, -1, MID, 0, 1, "Packet verification failed"},
};

TEST_F(EchoTest, ResponseHandling)
{
    for (const RespCase &tc : RESP_CASES) {
        SCOPED_TRACE(tc.name);
        LogCapture log;
        sdwan_t c{};
        c.sess.state = tc.state;
        c.rtt.curdelay = tc.before.cur;
        c.rtt.mindelay = tc.before.min;
        c.rtt.maxdelay = tc.before.max;

        Bytes full = ScriptPeer::echoresp(NOW_USEC - static_cast<uint64_t>(tc.delay), 0x0102, 0xA0B0C0D0);
        ASSERT_EQ(full.size(), 44u);
        if (tc.corrupt >= 0)
            full[static_cast<size_t>(tc.corrupt)] ^= 0x40;
        uint32_t blen = tc.blen != 0 ? tc.blen : static_cast<uint32_t>(full.size());
        // An exact-size copy: a read past the datagram is caught by AddressSanitizer.
        std::vector<uint8_t> dgram(full.begin(), full.begin() + blen);
        sdwan_pkthdr_t hdr = sdwan_hdr_load(full.data());
        sdwan_onECHORESP(&c, dgram.data(), blen, &hdr);

        EXPECT_EQ(delays_of(c), tc.after);
        EXPECT_EQ(c.count.stats.echorespcnt, tc.respcnt);
        EXPECT_EQ(c.count.stats.panic_pktverify, tc.verifyfail);
        std::vector<std::string> expect;
        if (tc.line != nullptr)
            expect.push_back(tc.line);
        EXPECT_EQ(log.all(), expect);
        EXPECT_EQ(c.sess.state, tc.state);
    }
}

TEST_F(EchoTest, NextRequestCarriesMeasuredDelays)
{
    sdwan_t c{};
    c.sess.state = SDWANCLNT_DATA;
    c.rtt.mindelay = 5000000;
    uint8_t buf[64];
    sdwan_pktechoreq(&c, buf);
    EXPECT_EQ(delays_in_request(Bytes(buf, buf + 44)), START);

    Bytes resp = ScriptPeer::echoresp(ld_le64(buf + 24));
    FakeClock::usec += 4321;
    sdwan_pkthdr_t hdr = sdwan_hdr_load(resp.data());
    sdwan_onECHORESP(&c, resp.data(), static_cast<uint32_t>(resp.size()), &hdr);
    sdwan_pktechoreq(&c, buf);
    EXPECT_EQ(delays_in_request(Bytes(buf, buf + 44)), (Delays{4321, 4321, 4321}));
    EXPECT_EQ(ld_le64(buf + 24), NOW_USEC + 4321);
}

// The tick drives requests through the client's real socket to a scripted peer, so this part
// runs in a private network namespace.
class EchoTicks : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeClock::install(1700000000, NOW_USEC);
        poll_init();
        peer_ = std::make_unique<ScriptPeer>();
        ASSERT_TRUE(peer_->ok());
        peer_->prepare(&g_clnt);
        g_clnt.ops = host_.ops();
        ASSERT_EQ(sdwclnt_set_peer(&g_clnt), 0);
        ASSERT_EQ(g_clnt.sess.state, SDWANCLNT_INIT);
        enter_data();
    }
    void TearDown() override
    {
        peer_.reset();
        g_clnt.ops = nullptr;
        FakeClock::uninstall();
    }
    // As an accepted OPENACK leaves the record, without the interface work.
    void enter_data()
    {
        g_clnt.sess.state = SDWANCLNT_DATA;
        g_clnt.sess.sid = 0x0203;
        g_clnt.sess.token = 0x04050607;
        g_clnt.sess.ltime = static_cast<uint32_t>(FakeClock::mono_sec());
    }
    // One tick; returns what reached the peer.
    std::vector<Bytes> tick()
    {
        sdwclnt_do_timer(&g_clnt);
        std::vector<Bytes> got = peer_->recv_all(30);
        FakeClock::advance(1);
        g_clnt.sess.ltime = static_cast<uint32_t>(FakeClock::mono_sec());
        return got;
    }
    FakeHost host_;
    std::unique_ptr<ScriptPeer> peer_;
};

TEST_F(EchoTicks, EveryOtherTickA44ByteRequest)
{
    std::vector<size_t> per_tick;
    Bytes first;
    for (int i = 0; i < 6; i++) {
        std::vector<Bytes> got = tick();
        per_tick.push_back(got.size());
        for (const Bytes &b : got) {
            EXPECT_EQ(b.size(), 44u);
            EXPECT_EQ(b[0], SDWAN_ECHOREQ);
            EXPECT_EQ(b[1], 0);
            EXPECT_EQ(ld_raw16(b.data() + 2), 0x0203);
            EXPECT_EQ(ld_raw32(b.data() + 4), 0x04050607u);
            EXPECT_EQ(Bytes(b.begin() + 8, b.begin() + 24), expected_signature(b.data()));
            if (first.empty())
                first = b;
        }
    }
    EXPECT_EQ(per_tick, (std::vector<size_t>{1, 0, 1, 0, 1, 0}));
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(delays_in_request(first), START);
    EXPECT_EQ(g_clnt.count.stats.echoreqcnt, 3u) << "every request sent is counted";
}

TEST_F(EchoTicks, RoundTripAndDelaysSurviveReset)
{
    std::vector<Bytes> got = tick();
    ASSERT_EQ(got.size(), 1u);
    // The peer returns the tick; 2500 units pass on the way.
    FakeClock::usec += 2500;
    const Bytes resp = ScriptPeer::echoresp(ld_le64(got[0].data() + 24), 0x0203, 0x04050607);
    ASSERT_TRUE(peer_->send_and_deliver(&g_clnt, resp));
    EXPECT_EQ(g_clnt.count.stats.echorespcnt, 1u);
    EXPECT_EQ(delays_of(g_clnt), (Delays{2500, 2500, 2500}));

    tick();  // odd tick: nothing goes out
    got = tick();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(delays_in_request(got[0]), (Delays{2500, 2500, 2500}));

    // A new session keeps the figures of the old one.
    sdwclnt_reset_state(&g_clnt);
    EXPECT_EQ(delays_of(g_clnt), (Delays{2500, 2500, 2500}));
    enter_data();
    std::vector<Bytes> after;
    for (int i = 0; i < 2 && after.empty(); i++)
        after = tick();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(delays_in_request(after[0]), (Delays{2500, 2500, 2500}));
}

}  // namespace
