// Tunnel header, control-packet signature, payload key and payload cipher.
//
// Digests here are computed with OpenSSL's MD5, independently of the project's own MD5 module,
// so that a fault in either shows up as a mismatch.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <openssl/evp.h>
#include <string>
#include <vector>

#include "proto/packet.h"
#include "sdwan_build.h"

namespace {
using Bytes = std::vector<uint8_t>;

Bytes md5(const Bytes &in)
{
    Bytes out(16);
    unsigned int n = 0;
    EXPECT_EQ(EVP_Digest(in.data(), in.size(), out.data(), &n, EVP_md5(), nullptr), 1);
    EXPECT_EQ(n, 16u);
    return out;
}

Bytes signed_packet(const sdwan_pkthdr_t &h, size_t body_len)
{
    Bytes pkt(SDWAN_CTRL_LEN + body_len, 0);
    sdwan_hdr_store(pkt.data(), &h);
    uint8_t *after = sdwan_pktsign(pkt.data());
    EXPECT_EQ(after, pkt.data() + SDWAN_CTRL_LEN);
    for (size_t i = 0; i < body_len; i++)
        pkt[SDWAN_CTRL_LEN + i] = static_cast<uint8_t>(0xA0 + i);
    return pkt;
}

TEST(PacketHeader, SidAndTokenTravelAsRawBytes)
{
    const uint8_t wire[8] = {SDWAN_OPENACK, 1, 0x01, 0x02, 0xAA, 0xBB, 0xCC, 0xDD};
    sdwan_pkthdr_t h = sdwan_hdr_load(wire);
    EXPECT_EQ(h.type, SDWAN_OPENACK);
    EXPECT_EQ(h.encrypt, 1);
    // On the little-endian host the session id prints as byte 2 + 256 * byte 3.
    EXPECT_EQ(h.sid, 513);
    EXPECT_EQ(h.token, 0xDDCCBBAAu);

    uint8_t back[8] = {};
    sdwan_hdr_store(back, &h);
    EXPECT_EQ(0, memcmp(back, wire, sizeof wire));
}

TEST(PacketSignature, IsMd5OfHeaderThenSalt)
{
    for (uint8_t enc : {0, 1}) {
        const sdwan_pkthdr_t h{SDWAN_OPEN, enc, 0, 0};
        Bytes pkt = signed_packet(h, 0);
        const Bytes expect = md5({SDWAN_OPEN, enc, 0, 0, 0, 0, 0, 0, SDWAN_SALT0, SDWAN_SALT1});
        EXPECT_EQ(Bytes(pkt.begin() + 8, pkt.begin() + 24), expect) << "encrypt " << int{enc};
        EXPECT_EQ(sdwan_pktverify(pkt.data(), static_cast<uint32_t>(pkt.size())), 1);
    }
}

TEST(PacketSignature, EveryHeaderAndSignatureByteIsCovered)
{
    const sdwan_pkthdr_t h{SDWAN_ECHORESP, 0, 0x1234, 0x89ABCDEF};
    const Bytes good = signed_packet(h, 20);
    ASSERT_EQ(sdwan_pktverify(good.data(), static_cast<uint32_t>(good.size())), 1);
    for (size_t i = 0; i < SDWAN_CTRL_LEN; i++) {
        for (uint8_t flip : {0x01, 0x80}) {
            Bytes bad = good;
            bad[i] ^= flip;
            EXPECT_EQ(sdwan_pktverify(bad.data(), static_cast<uint32_t>(bad.size())), 0) << "byte " << i;
        }
    }
}

TEST(PacketSignature, BodyIsNotCovered)
{
    const sdwan_pkthdr_t h{SDWAN_OPENACK, 0, 7, 9};
    const Bytes good = signed_packet(h, 20);
    for (size_t i = SDWAN_CTRL_LEN; i < good.size(); i++) {
        Bytes other = good;
        other[i] ^= 0xFF;
        EXPECT_EQ(sdwan_pktverify(other.data(), static_cast<uint32_t>(other.size())), 1) << "byte " << i;
    }
    // Equal headers, equal signatures, whatever follows.
    const Bytes twin = signed_packet(h, 3);
    EXPECT_TRUE(std::equal(good.begin(), good.begin() + 24, twin.begin()));
}

TEST(PacketSignature, ShortDatagramNeverVerifies)
{
    const sdwan_pkthdr_t h{SDWAN_CLOSE, 0, 0, 0};
    const Bytes good = signed_packet(h, 0);
    EXPECT_EQ(sdwan_pktverify(good.data(), 24), 1);
    // The length decides, even when the bytes past it would make a valid signature.
    for (uint32_t len : {8u, 16u, 23u})
        EXPECT_EQ(sdwan_pktverify(good.data(), len), 0) << "len " << len;
    // Exact-size copies, so a read past the given length is caught by AddressSanitizer.
    for (uint32_t len : {0u, 1u, 8u, 23u}) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + len);
        cut.shrink_to_fit();
        EXPECT_EQ(sdwan_pktverify(cut.empty() ? nullptr : cut.data(), len), 0) << "len " << len;
    }
}

struct KeyCase {
    const char *user;
    const char *pass;
};

// The credentials as the client record and the peer's user table hold them.
struct Creds {
    char si_user[32];
    char si_pass[32];
    sdwan_key_t si_key;
};

TEST(PacketKey, FirstEightBytesOfMd5OfUserThenPassword)
{
    const std::string u31(31, 'u'), p31(31, 'p');
    const KeyCase cases[] = {{"a", "b"}, {"alice", "secret"}, {u31.c_str(), p31.c_str()}};
    for (const KeyCase &c : cases) {
        Creds clnt{};
        snprintf(clnt.si_user, sizeof clnt.si_user, "%s", c.user);
        snprintf(clnt.si_pass, sizeof clnt.si_pass, "%s", c.pass);
        // Something past the terminator must not enter the digest.
        if (strlen(c.user) < 31)
            clnt.si_user[31] = 'X';
        sdwan_key_derive(clnt.si_user, clnt.si_pass, &clnt.si_key);
        const std::string joined = std::string(c.user) + c.pass;
        const Bytes d = md5(Bytes(joined.begin(), joined.end()));
        EXPECT_EQ(Bytes(clnt.si_key.data8, clnt.si_key.data8 + 8), Bytes(d.begin(), d.begin() + 8))
            << c.user << "/" << c.pass;
    }
}

TEST(PacketKey, NoSeparatorBetweenUserAndPassword)
{
    Creds a{}, b{};
    snprintf(a.si_user, sizeof a.si_user, "alice");
    snprintf(a.si_pass, sizeof a.si_pass, "secret");
    snprintf(b.si_user, sizeof b.si_user, "ali");
    snprintf(b.si_pass, sizeof b.si_pass, "cesecret");
    sdwan_key_derive(a.si_user, a.si_pass, &a.si_key);
    sdwan_key_derive(b.si_user, b.si_pass, &b.si_key);
    EXPECT_EQ(0, memcmp(a.si_key.data8, b.si_key.data8, 8));
    snprintf(b.si_pass, sizeof b.si_pass, "ceSecret");
    sdwan_key_derive(b.si_user, b.si_pass, &b.si_key);
    EXPECT_NE(0, memcmp(a.si_key.data8, b.si_key.data8, 8));
}

TEST(PacketCipher, EqualsBytewiseRuleAtEveryLengthAndAlignment)
{
    sdwan_key_t key;
    const uint8_t kb[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    memcpy(key.data8, kb, 8);
    for (int len : {0, 1, 2, 7, 8, 9, 13, 15, 16, 17, 64, 1400}) {
        for (size_t misalign : {0u, 1u, 3u}) {
            Bytes buf(misalign + static_cast<size_t>(len) + 1);
            for (size_t i = 0; i < buf.size(); i++)
                buf[i] = static_cast<uint8_t>(i * 7 + 3);
            const Bytes orig = buf;
            sdwan_encrypt(&key, buf.data() + misalign, len);
            for (size_t i = 0; i < buf.size(); i++) {
                uint8_t want = orig[i];
                if (i >= misalign && i < misalign + static_cast<size_t>(len))
                    want = static_cast<uint8_t>(want ^ kb[(i - misalign) % 8]);
                ASSERT_EQ(buf[i], want) << "len " << len << " misalign " << misalign << " byte " << i;
            }
            // The same call deciphers.
            sdwan_encrypt(&key, buf.data() + misalign, len);
            ASSERT_EQ(buf, orig) << "len " << len;
        }
    }
}

TEST(PacketCipher, ThirteenBytesTailUsesKeyBytesZeroToFour)
{
    sdwan_key_t key;
    for (int i = 0; i < 8; i++)
        key.data8[i] = static_cast<uint8_t>(1u << i);
    std::array<uint8_t, 13> p{};
    sdwan_encrypt(&key, p.data(), 13);
    const std::array<uint8_t, 13> want{1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16};
    EXPECT_EQ(p, want);
}
}  // namespace
