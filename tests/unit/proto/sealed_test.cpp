// The sealed session's framing: each record to the literal bytes of its layout and back, and
// hostile datagrams to the answer each has.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "proto/open.h"
#include "proto/sealed.h"

namespace {
using Bytes = std::vector<uint8_t>;

Bytes noise48()
{
    Bytes n(SEALED_HS_LEN);
    for (size_t i = 0; i < n.size(); i++)
        n[i] = static_cast<uint8_t>(0xA0 + i);
    return n;
}

Bytes cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes with(Bytes b, size_t at, uint8_t v)
{
    b[at] = v;
    return b;
}

Bytes cut(Bytes b, size_t n)
{
    b.resize(n);
    return b;
}

// Encodes into a roomy buffer (nothing past the length may change) and one a byte short (refused).
template <class M>
Bytes encoded(uint32_t (*encode)(const M &, std::span<uint8_t>), const M &m)
{
    uint8_t buf[128];
    memset(buf, 0xEE, sizeof buf);
    const uint32_t n = encode(m, std::span<uint8_t>(buf));
    EXPECT_EQ(Bytes(buf + n, buf + sizeof buf), Bytes(sizeof buf - n, 0xEE)) << "wrote past its length";
    EXPECT_EQ(encode(m, std::span<uint8_t>(buf, n - 1)), 0u) << "took a buffer a byte short";
    return Bytes(buf, buf + n);
}

// Exact-size copies, so that a read past the datagram is the sanitizer's finding.
template <class M>
int decoded(int (*decode)(std::span<const uint8_t>, M *), const Bytes &in, M *out)
{
    Bytes exact(in);
    return decode(std::span<const uint8_t>(exact.data(), exact.size()), out);
}

const Bytes SINIT = cat({32, 1, 0, 0, 0x78, 0x56, 0x34, 0x12}, noise48());
const Bytes SRESP = cat({33, 1, 0, 0, 0x78, 0x56, 0x34, 0x12, 0x04, 0x03, 0x02, 0x81}, noise48());
const Bytes SDATA = {34, 0, 0, 0, 0x04, 0x03, 0x02, 0x81, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0xF1};

TEST(SealedCodec, EncodesTheLayoutAndDecodesItBack)
{
    sinit_msg_t i{};
    i.type = SDWAN_SINIT;
    i.version = 1;
    i.sender = 0x12345678;
    memcpy(i.noise, noise48().data(), SEALED_HS_LEN);
    ASSERT_EQ(encoded(sinit_encode, i), SINIT);
    sinit_msg_t ib;
    ASSERT_EQ(decoded(sinit_decode, SINIT, &ib), 0);
    EXPECT_EQ(ib, i);

    sresp_msg_t r{};
    r.type = SDWAN_SRESP;
    r.version = 1;
    r.receiver = 0x12345678;
    r.sender = 0x81020304;
    memcpy(r.noise, noise48().data(), SEALED_HS_LEN);
    ASSERT_EQ(encoded(sresp_encode, r), SRESP);
    sresp_msg_t rb;
    ASSERT_EQ(decoded(sresp_decode, SRESP, &rb), 0);
    EXPECT_EQ(rb, r);

    const sdata_hdr_t d{SDWAN_SDATA, 0, 0, 0x81020304, 0xF102030405060708};
    ASSERT_EQ(encoded(sdata_encode, d), SDATA);
    sdata_hdr_t db;
    ASSERT_EQ(decoded(sdata_decode, cat(SDATA, Bytes(17, 0)), &db), 0);
    EXPECT_EQ(db, d);

    // The header's constants are the encoder's, whatever the record says.
    sinit_msg_t stray = i;
    stray.type = 99;
    stray.version = 7;
    stray.reserved = 0xFFFF;
    EXPECT_EQ(encoded(sinit_encode, stray), SINIT);
    EXPECT_EQ(Bytes(SEALED_PROLOGUE.begin(), SEALED_PROLOGUE.end()), Bytes({'t', 'o', 'l', 'v', 'a', ' ', 's', 'e', 'a', 'l', 'e', 'd', ' ', '1'}));
}

TEST(SealedCodec, HostileDatagrams)
{
    struct Row {
        const char *what;
        int (*decode)(const Bytes &);
        Bytes in;
        int rc;
    };
    auto si = [](const Bytes &b) { sinit_msg_t m; return decoded(sinit_decode, b, &m); };
    auto sr = [](const Bytes &b) { sresp_msg_t m; return decoded(sresp_decode, b, &m); };
    auto sd = [](const Bytes &b) { sdata_hdr_t m; return decoded(sdata_decode, b, &m); };
    const Bytes data33 = cat(SDATA, Bytes(17, 0));
    const Row rows[] = {
        {"SINIT empty", si, {}, -EBADMSG},
        {"SINIT 55 bytes", si, cut(SINIT, 55), -EBADMSG},
        {"SINIT 57 bytes", si, cat(SINIT, {0}), -EBADMSG},
        {"SINIT type of SRESP", si, with(SINIT, 0, 33), -EPROTO},
        {"SINIT version 2", si, with(SINIT, 1, 2), -EPROTO},
        {"SINIT reserved byte 3 set", si, with(SINIT, 3, 1), -EPROTO},
        {"SINIT sender 0", si, with(with(with(with(SINIT, 4, 0), 5, 0), 6, 0), 7, 0), -EPROTO},
        {"SRESP 59 bytes", sr, cut(SRESP, 59), -EBADMSG},
        {"SRESP a SINIT", sr, SINIT, -EBADMSG},
        {"SRESP version 0", sr, with(SRESP, 1, 0), -EPROTO},
        {"SRESP reserved byte 2 set", sr, with(SRESP, 2, 0x80), -EPROTO},
        {"SRESP receiver 0", sr, with(with(with(with(SRESP, 4, 0), 5, 0), 6, 0), 7, 0), -EPROTO},
        {"SRESP sender 0", sr, with(with(with(with(SRESP, 8, 0), 9, 0), 10, 0), 11, 0), -EPROTO},
        {"SDATA header only", sd, SDATA, -EBADMSG},
        {"SDATA 32 bytes", sd, cut(data33, 32), -EBADMSG},
        {"SDATA type of DATA", sd, with(data33, 0, SDWAN_DATA), -EPROTO},
        {"SDATA byte 1 set", sd, with(data33, 1, 1), -EPROTO},
        {"SDATA byte 3 set", sd, with(data33, 3, 1), -EPROTO},
        {"SDATA receiver 0 is the table's to judge", sd, with(with(with(with(data33, 4, 0), 5, 0), 6, 0), 7, 0), 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.decode(r.in), r.rc);
    }
    // A refused datagram leaves nothing of itself in the record.
    sresp_msg_t m;
    ASSERT_EQ(decoded(sresp_decode, with(SRESP, 0, 32), &m), -EPROTO);
    ASSERT_EQ(decoded(sresp_decode, cut(SRESP, 12), &m), -EBADMSG);
    EXPECT_EQ(m, sresp_msg_t{});
}

auth_msg_t auth_rec(const char *user, const char *pass, uint8_t have = 0)
{
    auth_msg_t m{};
    m.have = have;
    m.mtu = (have & OPEN_HAVE_MTU) != 0 ? 1400 : 0;
    m.encrypt = (have & OPEN_HAVE_ENCRYPT) != 0 ? 1 : 0;
    m.pipe = (have & OPEN_HAVE_PIPE) != 0 ? 0x8005 : 0;
    m.userlen = static_cast<uint8_t>(strlen(user));
    memcpy(m.user, user, m.userlen);
    m.passlen = static_cast<uint8_t>(strlen(pass));
    memcpy(m.pass, pass, m.passlen);
    return m;
}

TEST(SealedCodec, AuthBodies)
{
    struct Row {
        const char *what;
        auth_msg_t m;
        Bytes wire;
    } rows[] = {
        {"user and password", auth_rec("al", "pw1"), {1, 4, 'a', 'l', 2, 5, 'p', 'w', '1'}},
        {"every option", auth_rec("u", "p", OPEN_HAVE_MTU | OPEN_HAVE_ENCRYPT | OPEN_HAVE_PIPE),
         {3, 4, 0x05, 0x78, 1, 3, 'u', 2, 3, 'p', 8, 3, 1, 10, 4, 0x80, 0x05}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(encoded(auth_encode, r.m), r.wire);
        auth_msg_t back;
        ASSERT_EQ(decoded(auth_decode, r.wire, &back), 0);
        EXPECT_EQ(back, r.m);
    }
    const std::string u31(31, 'u');
    EXPECT_EQ(encoded(auth_encode, auth_rec(u31.c_str(), u31.c_str(), 7)).size(), SEALED_AUTH_MAX);
    uint8_t big[128];
    EXPECT_EQ(auth_encode(auth_rec("", "p"), big), 0u);
    EXPECT_EQ(auth_encode(auth_rec("u", ""), big), 0u);

    const Bytes good = {1, 3, 'u', 2, 3, 'p'};
    struct Bad {
        const char *what;
        Bytes in;
        int rc;
    } bad[] = {
        {"empty", {}, -ENODATA},
        {"no password", {1, 3, 'u'}, -ENODATA},
        {"option past the end", cat(good, {7, 9, 0}), -EBADMSG},
        {"option length 1", cat(good, {7, 1}), -EBADMSG},
        {"empty password", {1, 3, 'u', 2, 2}, -EPROTO},
        {"32-byte password", cat({1, 3, 'u', 2, 34}, Bytes(32, 'p')), -EPROTO},
        {"mtu of 5", cat(good, {3, 5, 1, 2, 3}), -EPROTO},
    };
    for (const Bad &r : bad) {
        SCOPED_TRACE(r.what);
        auth_msg_t m;
        EXPECT_EQ(decoded(auth_decode, r.in, &m), r.rc);
    }
    // A repeated option leaves the last value and nothing of the longer one before it; unknown
    // types are stepped over.
    auth_msg_t m;
    ASSERT_EQ(decoded(auth_decode, {2, 6, 'l', 'o', 'n', 'g', 1, 3, 'u', 77, 2, 2, 3, 'p'}, &m), 0);
    EXPECT_EQ(m, auth_rec("u", "p"));
}

TEST(SealedCodec, AuthackBodyIsTheOpenackListWithoutHeader)
{
    openack_msg_t m{};
    m.have = OPENACK_HAVE_IP | OPENACK_HAVE_GATEWAY | OPENACK_HAVE_MTU;
    m.ip = 0x0200080A;
    m.gateway = 0x0100080A;
    m.mtu = 1375;
    const Bytes wire = {4, 6, 10, 8, 0, 2, 6, 6, 10, 8, 0, 1, 3, 4, 0x05, 0x5F};
    EXPECT_EQ(encoded(authack_encode, m), wire);
    openack_msg_t back;
    ASSERT_EQ(decoded(authack_decode, wire, &back), 0);
    EXPECT_EQ(back, m);
    EXPECT_EQ(decoded(authack_decode, cat(wire, {3, 5, 1, 2, 3}), &back), -EPROTO);
    EXPECT_EQ(decoded(authack_decode, Bytes(256, 7), &back), -EBADMSG);
}

TEST(SealedCodec, ProbeBodyByteExact)
{
    const probe_msg_t m{3, {0, 0, 0}, 0x01020304, 0x1122334455667788ULL};
    const Bytes wire = {3, 0, 0, 0, 4, 3, 2, 1, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(encoded(probe_encode, m), wire);
    probe_msg_t back;
    ASSERT_EQ(decoded(probe_decode, wire, &back), 0);
    EXPECT_EQ(back, m);
    Bytes reserved = wire;
    reserved[2] = 1;
    EXPECT_EQ(decoded(probe_decode, reserved, &back), -EPROTO);
    EXPECT_EQ(decoded(probe_decode, Bytes(wire.begin(), wire.end() - 1), &back), -EBADMSG);
    EXPECT_EQ(decoded(probe_decode, cat(wire, {0}), &back), -EBADMSG);
}
}  // namespace
