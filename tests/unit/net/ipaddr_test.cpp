// Address text: every accepted form of str2ip with its bounds, the rejections, and ip2strv4's
// buffer handling.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "net/ipaddr.h"

namespace {

// The address as its four bytes in memory order (network order), so a byte-order slip shows.
std::array<uint8_t, 4> bytes_of(uint32_t ipbe)
{
    std::array<uint8_t, 4> b{};
    memcpy(b.data(), &ipbe, 4);
    return b;
}

struct ParseCase {
    const char *text;
    std::array<uint8_t, 4> want;  // all zero for a rejected text
};

std::ostream &operator<<(std::ostream &os, const ParseCase &c) { return os << '"' << c.text << '"'; }

class Str2ip : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Str2ip, Parses)
{
    const ParseCase &c = GetParam();
    EXPECT_EQ(bytes_of(str2ip(c.text)), c.want);
}

constexpr std::array<uint8_t, 4> FAIL = {0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(Forms, Str2ip,
                         ::testing::Values(
                             // four numbers, first number lands in the lowest-addressed byte
                             ParseCase{"192.168.1.1", {192, 168, 1, 1}},
                             ParseCase{"255.255.255.0", {255, 255, 255, 0}},
                             ParseCase{"255.255.255.255", {255, 255, 255, 255}},
                             ParseCase{"1.2.3.4", {1, 2, 3, 4}},
                             // shorter forms: the last number fills the remaining bytes
                             ParseCase{"10.1", {10, 0, 0, 1}},
                             ParseCase{"10.1.2", {10, 1, 0, 2}},
                             ParseCase{"258", {0, 0, 1, 2}},
                             ParseCase{"16909060", {1, 2, 3, 4}},
                             ParseCase{"4294967295", {255, 255, 255, 255}},
                             // empty numbers count as 0
                             ParseCase{"1..2", {1, 0, 0, 2}},
                             ParseCase{".5", {0, 0, 0, 5}},
                             ParseCase{"10.1.2.", {10, 1, 2, 0}},
                             ParseCase{"1.", {1, 0, 0, 0}},
                             // always decimal: leading zeros are not octal
                             ParseCase{"010.001.000.001", {10, 1, 0, 1}},
                             ParseCase{"0000000000000000000000000001.2.3.4", {1, 2, 3, 4}},
                             ParseCase{"1.2.3.000000000000000000000255", {1, 2, 3, 255}},
                             // the all-zero address cannot be told from a failure
                             ParseCase{"0.0.0.0", FAIL}, ParseCase{"0", FAIL}, ParseCase{"...", FAIL},
                             ParseCase{"", FAIL}),
                         [](const ::testing::TestParamInfo<ParseCase> &i) { return "case" + std::to_string(i.index); });

INSTANTIATE_TEST_SUITE_P(Bounds, Str2ip,
                         ::testing::Values(
                             ParseCase{"1.2.65535", {1, 2, 255, 255}},
                             ParseCase{"1.2.65536", FAIL},
                             ParseCase{"10.16777215", {10, 255, 255, 255}},
                             ParseCase{"10.16777216", FAIL},
                             ParseCase{"256.1.1.1", FAIL},
                             ParseCase{"1.256.1.1", FAIL},
                             ParseCase{"1.1.256.1", FAIL},
                             ParseCase{"1.1.1.256", FAIL},
                             ParseCase{"256.1", FAIL},
                             ParseCase{"1.256.1", FAIL},
                             // a fourth dot fails wherever it stands
                             ParseCase{"1.2.3.4.5", FAIL},
                             ParseCase{"1.2.3.4.", FAIL},
                             ParseCase{"....", FAIL},
                             // a lone number above 32 bits is refused, not cut to its low bits
                             ParseCase{"4294967296", FAIL},
                             ParseCase{"4294967297", FAIL},
                             ParseCase{"99999999999", FAIL},
                             // 20 digits and more: 2^64 + 5 would wrap to 5 in a 64-bit accumulator
                             ParseCase{"18446744073709551621", FAIL},
                             ParseCase{"18446744073709551621.1.1.1", FAIL},
                             ParseCase{"1.18446744073709551621.1.1", FAIL},
                             ParseCase{"1.2.18446744073709551621", FAIL},
                             ParseCase{"1.2.3.18446744073709551621", FAIL},
                             ParseCase{"10.18446744073709551626", FAIL},
                             ParseCase{"340282366920938463463374607431768211457", FAIL}),
                         [](const ::testing::TestParamInfo<ParseCase> &i) { return "case" + std::to_string(i.index); });

INSTANTIATE_TEST_SUITE_P(Characters, Str2ip,
                         ::testing::Values(
                             ParseCase{"vpn.example.com", FAIL},
                             ParseCase{"1.2.3.4 ", FAIL},
                             ParseCase{" 1.2.3.4", FAIL},
                             ParseCase{"1.2.3.4\r", FAIL},
                             ParseCase{"1.2.3.4\n", FAIL},
                             ParseCase{"1.2.\t3.4", FAIL},
                             ParseCase{"-1", FAIL},
                             ParseCase{"+1.2.3.4", FAIL},
                             ParseCase{"1.2.3.-4", FAIL},
                             ParseCase{"0x7f.0.0.1", FAIL},
                             ParseCase{"0x7f000001", FAIL},
                             ParseCase{"1.2.3.4a", FAIL},
                             ParseCase{"1,2,3,4", FAIL},
                             ParseCase{"1.2.3.\xc2\xb2", FAIL},
                             ParseCase{"\xff", FAIL}),
                         [](const ::testing::TestParamInfo<ParseCase> &i) { return "case" + std::to_string(i.index); });

struct FormatCase {
    std::array<uint8_t, 4> addr;
    const char *want;
};

TEST(Ip2strv4, FormatsMemoryOrderWithoutLeadingZeros)
{
    const FormatCase cases[] = {
        {{10, 0, 0, 1}, "10.0.0.1"},
        {{0, 0, 0, 0}, "0.0.0.0"},
        {{255, 255, 255, 255}, "255.255.255.255"},
        {{192, 0, 2, 10}, "192.0.2.10"},
        {{1, 20, 100, 7}, "1.20.100.7"},
    };
    for (const FormatCase &c : cases) {
        uint32_t v;
        memcpy(&v, c.addr.data(), 4);
        char buf[16];
        memset(buf, 'X', sizeof buf);
        const char *r = ip2strv4(v, buf, sizeof buf);
        ASSERT_EQ(r, buf) << c.want;
        EXPECT_STREQ(buf, c.want);
        // Text and back give the same value, except the all-zero address that means failure.
        if (v != 0) {
            EXPECT_EQ(str2ip(buf), v) << c.want;
        }
    }
}

// A buffer one byte short of the text and its terminator gives a null pointer and the bytes past
// `len` stay as they were; exactly enough succeeds.
TEST(Ip2strv4, ShortBufferIsRefusedWithoutOverrun)
{
    const FormatCase cases[] = {
        {{255, 255, 255, 255}, "255.255.255.255"},
        {{10, 0, 0, 1}, "10.0.0.1"},
        {{1, 2, 3, 4}, "1.2.3.4"},
    };
    for (const FormatCase &c : cases) {
        uint32_t v;
        memcpy(&v, c.addr.data(), 4);
        const size_t need = strlen(c.want) + 1;
        for (size_t len = 0; len <= need; len++) {
            char buf[32];
            memset(buf, 'X', sizeof buf);
            const char *r = ip2strv4(v, buf, len);
            if (len < need) {
                EXPECT_EQ(r, nullptr) << c.want << " len " << len;
            } else {
                EXPECT_EQ(r, buf) << c.want << " len " << len;
                EXPECT_STREQ(buf, c.want);
            }
            for (size_t k = len; k < sizeof buf; k++)
                ASSERT_EQ(buf[k], 'X') << c.want << " len " << len << " wrote byte " << k;
        }
    }
}

}  // namespace
