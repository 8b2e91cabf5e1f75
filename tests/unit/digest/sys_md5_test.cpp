#include "digest/sys_md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string hex(const unsigned char *d, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string md5_pieces(const std::vector<uint8_t> &msg, const std::vector<size_t> &pieces)
{
    sys_md5ctx_t ctx;
    sys_md5init(&ctx);
    size_t off = 0;
    for (size_t p : pieces) {
        size_t n = std::min(p, msg.size() - off);
        sys_md5update(&ctx, msg.data() + off, static_cast<unsigned int>(n));
        off += n;
    }
    if (off < msg.size())
        sys_md5update(&ctx, msg.data() + off, static_cast<unsigned int>(msg.size() - off));
    unsigned char d[32];
    std::memset(d, 0xAA, sizeof d);
    sys_md5final(d, &ctx);
    for (size_t i = 16; i < sizeof d; i++)  // exactly 16 bytes written
        EXPECT_EQ(d[i], 0xAA);
    return hex(d, 16);
}

std::string openssl_md5(const std::vector<uint8_t> &msg)
{
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(msg.data(), msg.size(), d, &n, EVP_md5(), nullptr);
    return hex(d, n);
}

std::vector<uint8_t> bytes(const char *s) { return std::vector<uint8_t>(s, s + std::strlen(s)); }

}  // namespace

TEST(SysMd5, Rfc1321TestSuite)
{
    struct {
        const char *msg;
        const char *digest;
    } const cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(md5_pieces(bytes(c.msg), {}), c.digest) << '"' << c.msg << '"';
}

TEST(SysMd5, PiecesAroundTheBlockSizeGiveTheSameDigest)
{
    std::vector<uint8_t> msg(300);
    for (size_t i = 0; i < msg.size(); i++)
        msg[i] = static_cast<uint8_t>(i * 7 + 3);
    const std::string whole = openssl_md5(msg);
    const std::vector<std::vector<size_t>> splits = {
        {},  // at once
        std::vector<size_t>(300, 1),
        {63, 63, 63, 63, 48},
        {64, 64, 64, 64, 44},
        {65, 65, 65, 65, 40},
        {0, 55, 1, 8, 0, 64, 120},  // empty updates, and the padding boundary at 56
    };
    for (const auto &pieces : splits)
        EXPECT_EQ(md5_pieces(msg, pieces), whole) << "pieces " << ::testing::PrintToString(pieces);
}

TEST(SysMd5, MatchesOpensslOnRandomInputFedInRandomPieces)
{
    std::mt19937 rng(20250313);
    for (int round = 0; round < 200; round++) {
        // Lengths cluster around the padding edges (55, 56, 63, 64) as well as spreading wide.
        size_t len = (round % 4 == 0) ? 50 + rng() % 20 : rng() % 2000;
        std::vector<uint8_t> msg(len);
        for (auto &b : msg)
            b = static_cast<uint8_t>(rng());
        std::vector<size_t> pieces;
        for (size_t left = len; left > 0;) {
            size_t p = std::min<size_t>(left, rng() % 140);
            pieces.push_back(p);
            left -= p;
        }
        ASSERT_EQ(md5_pieces(msg, pieces), openssl_md5(msg)) << "length " << len;
    }
}

TEST(SysMd5, FinalLeavesTheContextAllZero)
{
    sys_md5ctx_t ctx;
    sys_md5init(&ctx);
    sys_md5update(&ctx, "secret password bytes", 21);
    unsigned char d[16];
    sys_md5final(d, &ctx);
    const unsigned char *raw = reinterpret_cast<const unsigned char *>(&ctx);
    for (size_t i = 0; i < sizeof ctx; i++)
        ASSERT_EQ(raw[i], 0) << "byte " << i;
}

TEST(SysMd5, InitResetsAContextInUse)
{
    sys_md5ctx_t ctx;
    sys_md5init(&ctx);
    sys_md5update(&ctx, "leftover", 8);
    sys_md5init(&ctx);
    sys_md5update(&ctx, "abc", 3);
    unsigned char d[16];
    sys_md5final(d, &ctx);
    EXPECT_EQ(hex(d, 16), "900150983cd24fb0d6963f7d28e17f72");
}
