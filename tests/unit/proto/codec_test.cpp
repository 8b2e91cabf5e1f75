// The message codecs: each record encoded to the exact bytes the tests' own builder
// (support/wire.h) or a literal layout gives, decoded back to the same record, and hostile
// datagrams decoded to the answer each one has.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "proto/ctrl.h"
#include "proto/echo.h"
#include "proto/open.h"
#include "proto/openack.h"
#include "support/wire.h"

namespace {
using wire::Bytes;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes cut(Bytes b, size_t n)
{
    b.resize(n);
    return b;
}

// Encodes into a roomy buffer (nothing may be written past the returned length) and into one a
// byte too small (refused).
template <class M>
Bytes encoded(uint32_t (*encode)(const M &, std::span<uint8_t>), const M &m)
{
    uint8_t buf[128];
    memset(buf, 0xEE, sizeof buf);
    const uint32_t n = encode(m, std::span<uint8_t>(buf));
    EXPECT_EQ(Bytes(buf + n, buf + sizeof buf), Bytes(sizeof buf - n, 0xEE)) << "wrote past its length";
    if (n > 0) {
        EXPECT_EQ(encode(m, std::span<uint8_t>(buf, n - 1)), 0u) << "took a buffer a byte short";
    }
    return Bytes(buf, buf + n);
}

// Decodes from an exact-size copy, so that a read past the datagram is AddressSanitizer's finding.
template <class M>
int decoded(int (*decode)(std::span<const uint8_t>, M *), const Bytes &in, M *out)
{
    std::vector<uint8_t> exact(in);
    return decode(std::span<const uint8_t>(exact.data(), exact.size()), out);
}

sdwan_pkthdr_t hdr(uint8_t type, uint8_t encrypt, uint16_t sid, uint32_t token) { return {type, encrypt, sid, token}; }

// ---------------------------------------------------------------------------------------------
// OPEN

// The record of an OPEN as wire::open lays it out: encrypt -1 and pipe -1 mean no option.
open_msg_t open_rec(const std::string &user, const std::string &pass, int encrypt = -1, uint16_t mtu = 1400,
                    int32_t pipe = -1)
{
    open_msg_t m{};
    m.hdr = hdr(SDWAN_OPEN, encrypt > 0 ? static_cast<uint8_t>(encrypt) : 0, 0, 0);
    m.have = OPEN_HAVE_MTU;
    m.mtu = mtu;
    if (encrypt >= 0) {
        m.have |= OPEN_HAVE_ENCRYPT;
        m.encrypt = static_cast<uint8_t>(encrypt);
    }
    if (pipe >= 0) {
        m.have |= OPEN_HAVE_PIPE;
        m.pipe = static_cast<uint16_t>(pipe);
    }
    m.userlen = static_cast<uint8_t>(user.size());
    memcpy(m.user, user.data(), user.size());
    const Bytes blk = wire::passblock(user, pass);
    memcpy(m.passblk, blk.data(), blk.size());
    return m;
}

TEST(OpenCodec, EncodesTheClientsLayoutAndDecodesItBack)
{
    const std::string u31(31, 'u');
    struct Row {
        const char *what;
        std::string user, pass;
        int encrypt;
        uint16_t mtu;
        int32_t pipe;
        size_t len;
    } rows[] = {
        {"one-char user, nothing optional", "a", "x", -1, 1400, -1, 49},
        {"31-char user, encrypt and pipe", u31, "pw", 1, 1400, 0x8005, 86},
        {"encrypt option carrying 0", "alice", "secret", 0, 46, -1, 56},
        {"pipe without encrypt", "bob", "ABCDEFGHIJKLMNOPQRST", -1, 1600, 0x0005, 55},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        const open_msg_t m = open_rec(r.user, r.pass, r.encrypt, r.mtu, r.pipe);
        const Bytes b = encoded(open_encode, m);
        ASSERT_EQ(b.size(), r.len);
        EXPECT_EQ(b, wire::open(r.user, r.pass, r.encrypt, r.mtu, r.pipe));
        open_msg_t back;
        ASSERT_EQ(decoded(open_decode, b, &back), 0);
        EXPECT_EQ(back, m);
    }
    // The MTU at offsets 26 and 27, the user right behind it, the block behind the user.
    const Bytes b = encoded(open_encode, open_rec("u", "p"));
    EXPECT_EQ(Bytes(b.begin() + 24, b.begin() + 33), (Bytes{SDWAN_OPT_MTU, 4, 0x05, 0x78, SDWAN_OPT_USER, 3, 'u',
                                                             SDWAN_OPT_PASS, 18}));
    open_msg_t too_long = open_rec("u", "p");
    too_long.userlen = SDWAN_USER_MAX + 1;
    EXPECT_EQ(encoded(open_encode, too_long), Bytes{});
}

Bytes user_opt(const std::string &u)
{
    Bytes o;
    wire::opt(o, SDWAN_OPT_USER, Bytes(u.begin(), u.end()));
    return o;
}

TEST(OpenCodec, HostileRequests)
{
    const Bytes good = wire::open("alice", "secret");
    const Bytes head = wire::control(SDWAN_OPEN, 0, 0, 0);
    const Bytes user = user_opt("alice");
    Bytes pass;
    wire::opt(pass, SDWAN_OPT_PASS, wire::passblock("alice", "secret"));
    Bytes pass17 = cut(pass, 17);
    pass17[1] = 17;
    struct Row {
        const char *what;
        Bytes in;
        int rc;
    } rows[] = {
        {"empty", {}, -EBADMSG},
        {"23 bytes", cut(good, 23), -EBADMSG},
        {"option running past the end", cat({good, {SDWAN_OPT_ENCRYPT, 5, 1}}), -EBADMSG},
        {"single byte after the options", cat({good, {SDWAN_OPT_ENCRYPT}}), -EBADMSG},
        {"option length 1", cat({good, {7, 1}}), -EBADMSG},
        {"option length 0", cat({good, {7, 0}}), -EBADMSG},
        {"cut inside the password", cut(good, good.size() - 5), -EBADMSG},
        {"password option of 17", cat({head, user, pass17}), -EPROTO},
        {"empty user", cat({head, user_opt(""), pass}), -EPROTO},
        {"user of 32 characters", cat({head, user_opt(std::string(32, 'u')), pass}), -EPROTO},
        {"mtu option of 5", cat({head, {SDWAN_OPT_MTU, 5, 1, 2, 3}, user, pass}), -EPROTO},
        {"encrypt option of 4", cat({head, user, pass, {SDWAN_OPT_ENCRYPT, 4, 1, 1}}), -EPROTO},
        {"pipe option of 3", cat({head, user, pass, {SDWAN_OPT_PIPE, 3, 1}}), -EPROTO},
        {"no options", head, -ENODATA},
        {"no password", cat({head, user}), -ENODATA},
        {"no user", cat({head, pass}), -ENODATA},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        open_msg_t m;
        EXPECT_EQ(decoded(open_decode, r.in, &m), r.rc);
    }

    // Unknown types are stepped over by their length; a repeated option leaves its last value,
    // and nothing of a longer name before it.
    open_msg_t m;
    ASSERT_EQ(decoded(open_decode, cat({good, {7, 2, 200, 5, 1, 2, 3, SDWAN_OPT_PIPE, 4, 0x80, 0x05}}), &m), 0);
    EXPECT_EQ(m, open_rec("alice", "secret", -1, 1400, 0x8005));
    ASSERT_EQ(decoded(open_decode, cat({head, user_opt(std::string(31, 'z')), user, pass}), &m), 0);
    open_msg_t want = open_rec("alice", "secret");
    want.have = 0;
    want.mtu = 0;
    EXPECT_EQ(m, want);
}

// ---------------------------------------------------------------------------------------------
// OPENACK

const uint32_t IP = wire::addr("10.8.0.2");
const uint32_t GW = wire::addr("10.8.0.1");

TEST(OpenackCodec, EncodesThePeersLayoutAndDecodesItBack)
{
    openack_msg_t all{};
    all.hdr = hdr(SDWAN_OPENACK, 1, 0x0201, 0xDDCCBBAA);
    all.have = OPENACK_HAVE_IP | OPENACK_HAVE_GATEWAY | OPENACK_HAVE_MTU | OPENACK_HAVE_DNS | OPENACK_HAVE_ENCRYPT |
               OPENACK_HAVE_DUPPKT;
    all.ip = IP;
    all.gateway = GW;
    all.mtu = 1400;
    all.dns0 = wire::addr("9.9.9.9");
    all.dns1 = wire::addr("1.1.1.1");
    all.encrypt = 1;
    all.duppkt = 2;
    openack_msg_t plain = all;
    plain.hdr.encrypt = 0;
    plain.have &= static_cast<uint8_t>(~(OPENACK_HAVE_DNS | OPENACK_HAVE_ENCRYPT | OPENACK_HAVE_DUPPKT));
    plain.dns0 = plain.dns1 = 0;
    plain.encrypt = plain.duppkt = 0;
    openack_msg_t bare{};
    bare.hdr = hdr(SDWAN_OPENACK, 0, 7, 8);
    struct Row {
        const char *what;
        openack_msg_t m;
        Bytes options;
    } rows[] = {
        {"every option", all,
         {4, 6, 10, 8, 0, 2,              // address
          6, 6, 10, 8, 0, 1,              // gateway
          3, 4, 0x05, 0x78,               // MTU 1400
          5, 10, 9, 9, 9, 9, 1, 1, 1, 1,  // DNS
          8, 3, 1,                        // enciphering granted
          9, 3, 2}},
        {"address, gateway and MTU", plain, {4, 6, 10, 8, 0, 2, 6, 6, 10, 8, 0, 1, 3, 4, 0x05, 0x78}},
        {"no options", bare, {}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        const Bytes b = encoded(openack_encode, r.m);
        EXPECT_EQ(b, wire::control(SDWAN_OPENACK, r.m.hdr.encrypt, r.m.hdr.sid, r.m.hdr.token, r.options));
        openack_msg_t back;
        ASSERT_EQ(decoded(openack_decode, b, &back), 0);
        EXPECT_EQ(back, r.m);
    }
    static_assert(SDWAN_OPENACK_MAX == SDWAN_CTRL_LEN + 32);
}

TEST(OpenackCodec, HostileGrantsKeepWhatCameBeforeTheFault)
{
    // Each faulty option follows a good gateway option and precedes a good address option: the
    // record holds the gateway, never the address.
    const Bytes gw{SDWAN_OPT_GATEWAY, 6, 10, 203, 0, 1};
    const Bytes tail{SDWAN_OPT_IP, 6, 10, 9, 9, 9};
    struct Row {
        const char *what;
        Bytes option;
        bool with_tail;
        int rc;
    } rows[] = {
        {"MTU length 5", {SDWAN_OPT_MTU, 5, 0x05, 0x00, 0x00}, true, -EPROTO},
        {"MTU length 3", {SDWAN_OPT_MTU, 3, 0x05}, true, -EPROTO},
        {"IP length 5", {SDWAN_OPT_IP, 5, 10, 0, 0}, true, -EPROTO},
        {"IP length 7", {SDWAN_OPT_IP, 7, 10, 0, 0, 1, 0}, true, -EPROTO},
        {"DNS length 9", {SDWAN_OPT_DNS, 9, 8, 8, 8, 8, 1, 1, 1}, true, -EPROTO},
        {"DNS length 11", {SDWAN_OPT_DNS, 11, 8, 8, 8, 8, 1, 1, 1, 1, 0}, true, -EPROTO},
        {"gateway length 5", {SDWAN_OPT_GATEWAY, 5, 10, 0, 0}, true, -EPROTO},
        {"gateway length 7", {SDWAN_OPT_GATEWAY, 7, 10, 0, 0, 1, 0}, true, -EPROTO},
        {"encrypt length 2", {SDWAN_OPT_ENCRYPT, 2}, true, -EPROTO},
        {"encrypt length 4", {SDWAN_OPT_ENCRYPT, 4, 1, 0}, true, -EPROTO},
        {"duppkt length 2", {SDWAN_OPT_DUPPKT, 2}, true, -EPROTO},
        {"duppkt length 4", {SDWAN_OPT_DUPPKT, 4, 1, 0}, true, -EPROTO},
        {"unknown length 0", {7, 0, 0, 0}, true, -EBADMSG},
        // Read on by one byte, it would parse as a valid option.
        {"unknown length 1", {200, 1, 3, 0}, true, -EBADMSG},
        {"known length 0", {SDWAN_OPT_MTU, 0, 0, 0}, true, -EBADMSG},
        {"one byte left", {7}, false, -EBADMSG},
        {"MTU value cut", {SDWAN_OPT_MTU, 4, 0x05}, false, -EBADMSG},
        {"IP value cut", {SDWAN_OPT_IP, 6, 10, 0, 0}, false, -EBADMSG},
        {"unknown value cut", {7, 40, 1, 2, 3}, false, -EBADMSG},
        {"length byte past the end", {SDWAN_OPT_DNS}, false, -EBADMSG},
    };
    openack_msg_t want{};
    want.hdr = hdr(SDWAN_OPENACK, 0, 3, 4);
    want.have = OPENACK_HAVE_GATEWAY;
    want.gateway = wire::addr("10.203.0.1");
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        const Bytes opts = r.with_tail ? cat({gw, r.option, tail}) : cat({gw, r.option});
        openack_msg_t m;
        EXPECT_EQ(decoded(openack_decode, wire::control(SDWAN_OPENACK, 0, 3, 4, opts), &m), r.rc);
        EXPECT_EQ(m, want);
    }
    openack_msg_t m;
    EXPECT_EQ(decoded(openack_decode, cut(wire::control(SDWAN_OPENACK, 0, 3, 4), 23), &m), -EBADMSG);
}

TEST(OpenackCodec, UnknownOptionsAreSkippedAndTheLastValueStays)
{
    int n = 0;
    for (uint8_t type : {0, 1, 2, 7, 10, 11, 200, 255}) {
        for (uint8_t len : {2, 3, 6, 255}) {
            SCOPED_TRACE("type " + std::to_string(type) + " len " + std::to_string(len));
            // The skipped value looks like an address option: read into, it would give an address.
            Bytes unknown{type, len};
            unknown.resize(len, SDWAN_OPT_IP);
            const Bytes addr{SDWAN_OPT_IP, 6, 10, 202, 0, static_cast<uint8_t>(++n)};
            openack_msg_t m;
            ASSERT_EQ(decoded(openack_decode, wire::control(SDWAN_OPENACK, 0, 1, 1, cat({unknown, addr})), &m), 0);
            EXPECT_EQ(m.have, OPENACK_HAVE_IP);
            EXPECT_EQ(m.ip, wire::addr(("10.202.0." + std::to_string(n)).c_str()));
        }
    }
    openack_msg_t m;
    const Bytes twice{SDWAN_OPT_MTU, 4, 0x05, 0x78, SDWAN_OPT_ENCRYPT, 3, 1, SDWAN_OPT_MTU, 4, 0x05, 0xDC};
    ASSERT_EQ(decoded(openack_decode, wire::control(SDWAN_OPENACK, 0, 1, 1, twice), &m), 0);
    EXPECT_EQ(m.mtu, 1500);
    EXPECT_EQ(m.have, OPENACK_HAVE_MTU | OPENACK_HAVE_ENCRYPT);
}

// ---------------------------------------------------------------------------------------------
// OPENREJ, CLOSE and the echo

TEST(CtrlCodec, HeaderAndSignatureOnly)
{
    for (uint8_t type : {SDWAN_OPENREJ, SDWAN_CLOSE}) {
        SCOPED_TRACE(int{type});
        const ctrl_msg_t m{hdr(type, 0, 0x0102, 0x03040506)};
        const Bytes b = encoded(ctrl_encode, m);
        EXPECT_EQ(b, wire::control(type, 0, 0x0102, 0x03040506));
        for (size_t len : {0u, 8u, 23u, 24u, 40u}) {
            ctrl_msg_t back;
            const Bytes in = len <= b.size() ? cut(b, len) : cat({b, Bytes(len - b.size(), 7)});
            EXPECT_EQ(decoded(ctrl_decode, in, &back), len < 24 ? -EBADMSG : 0) << len;
            if (len >= 24) {
                EXPECT_EQ(back, m);
            }
        }
    }
}

TEST(EchoCodec, RequestAndResponseBytes)
{
    const echo_msg_t req{hdr(SDWAN_ECHOREQ, 0, 0xBEEF, 0x11223344), true, 0x0102030405060708, 0x0A0B0C0D, 5000000,
                         0xFFFFFFFE};
    const Bytes body{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // tick, little-endian
                     0x0D, 0x0C, 0x0B, 0x0A,                          // cur
                     0x40, 0x4B, 0x4C, 0x00,                          // min 5000000
                     0xFE, 0xFF, 0xFF, 0xFF};                         // max
    const echo_msg_t resp{hdr(SDWAN_ECHORESP, 0, 0x0102, 0xA0B0C0D0), false, 0xFFFFFFFFFFFFFFF0, 0, 0, 0};
    struct Row {
        const char *what;
        echo_msg_t m;
        Bytes want;
    } rows[] = {
        {"request with delays", req, wire::control(SDWAN_ECHOREQ, 0, 0xBEEF, 0x11223344, body)},
        {"response with the tick alone", resp,
         wire::control(SDWAN_ECHORESP, 0, 0x0102, 0xA0B0C0D0, wire::le(0xFFFFFFFFFFFFFFF0, 8))},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        const Bytes b = encoded(echo_encode, r.m);
        EXPECT_EQ(b, r.want);
        echo_msg_t back;
        ASSERT_EQ(decoded(echo_decode, b, &back), 0);
        EXPECT_EQ(back, r.m);
    }
}

TEST(EchoCodec, ShortAndLongDatagrams)
{
    const Bytes full = wire::control(SDWAN_ECHORESP, 0, 1, 2, cat({wire::le(77, 8), wire::le(1, 4), wire::le(2, 4),
                                                                   wire::le(3, 4), Bytes(16, 0xAB)}));
    struct Row {
        size_t len;
        int rc;
        bool delays;
    } rows[] = {{0, -EBADMSG, false}, {8, -EBADMSG, false}, {24, -EBADMSG, false}, {31, -EBADMSG, false},
                {32, 0, false},       {43, 0, false},       {44, 0, true},         {60, 0, true}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.len);
        echo_msg_t m;
        ASSERT_EQ(decoded(echo_decode, cut(full, r.len), &m), r.rc);
        if (r.rc != 0)
            continue;
        const echo_msg_t want{hdr(SDWAN_ECHORESP, 0, 1, 2), r.delays, 77, r.delays ? 1u : 0u, r.delays ? 2u : 0u,
                              r.delays ? 3u : 0u};
        EXPECT_EQ(m, want);
    }
}

}  // namespace
