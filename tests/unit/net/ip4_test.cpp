// The IPv4 and TCP header views: each field read from packets the tests build themselves
// (support/ippkt.h), each write landing on exactly its bytes.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "net/ip4.h"
#include "support/ippkt.h"

namespace {
using ippkt::Bytes;

TEST(Ip4View, ReadsTheFieldsWhereTheyStand)
{
    ippkt::Tcp t;
    t.options = {1, 1, 1, 1};
    t.flags = ippkt::ACK | ippkt::PSH;
    const Bytes tcp = ippkt::tcp4(t, ippkt::pattern(10));
    const ip4_view ip({tcp.data(), tcp.size()});
    ASSERT_TRUE(ip.ok());
    EXPECT_EQ(ip.ihl(), 20u);
    EXPECT_EQ(ip.total(), tcp.size());
    EXPECT_EQ(ip.id(), 0x4242);
    EXPECT_EQ(ip.proto(), IP4_PROTO_TCP);
    EXPECT_FALSE(ip.fragment());  // DF alone is no fragment
    EXPECT_EQ(ip.src(), htonl(t.src));
    EXPECT_EQ(ip.dst(), htonl(t.dst));
    EXPECT_EQ(ip.dport(), 5201);
    EXPECT_EQ(ip.tcp().doff(), 24u);
    EXPECT_EQ(ip.tcp().seq(), 0x11223344u);
    EXPECT_EQ(ip.tcp().flags(), ippkt::ACK | ippkt::PSH);

    const Bytes udp = ippkt::udp4(t.src, t.dst, 5000, 53, ippkt::pattern(4));
    const ip4_view u({udp.data(), udp.size()});
    EXPECT_EQ(u.proto(), IP4_PROTO_UDP);
    EXPECT_EQ(u.dport(), 53);
}

TEST(Ip4View, VersionLengthAndFragments)
{
    const Bytes base = ippkt::udp4(0x0A000001, 0x0A000002, 1, 2, {});
    struct Row {
        const char *what;
        size_t len;
        uint8_t b0, b6, b7;
        bool ok, fragment, later;
    } rows[] = {
        {"whole header", 20, 0x45, 0x40, 0x00, true, false, false},
        {"19 bytes", 19, 0x45, 0x40, 0x00, false, false, false},
        {"version 6", 20, 0x65, 0x40, 0x00, false, false, false},
        {"more fragments, offset 0", 20, 0x45, 0x20, 0x00, true, true, false},
        {"offset 1", 20, 0x45, 0x00, 0x01, true, true, true},
        {"highest offset bit", 20, 0x45, 0x10, 0x00, true, true, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Bytes b = base;
        b[0] = r.b0;
        b[6] = r.b6;
        b[7] = r.b7;
        const ip4_view ip({b.data(), r.len});
        EXPECT_EQ(ip.ok(), r.ok);
        EXPECT_EQ(ip.fragment(), r.fragment);
        EXPECT_EQ(ip.later_fragment(), r.later);
    }
}

TEST(Ip4Edit, WritesOnlyItsOwnBytes)
{
    const Bytes orig = ippkt::tcp4(ippkt::Tcp{}, ippkt::pattern(8));
    struct Row {
        const char *what;
        void (*write)(uint8_t *p, uint32_t len);
        size_t at;
        Bytes value;
    } rows[] = {
        {"total", [](uint8_t *p, uint32_t n) { ip4_edit({p, n}).set_total(0x0102); }, 2, {0x01, 0x02}},
        {"id", [](uint8_t *p, uint32_t n) { ip4_edit({p, n}).set_id(0x0304); }, 4, {0x03, 0x04}},
        {"checksum", [](uint8_t *p, uint32_t n) { ip4_edit({p, n}).set_csum(0x0506); }, 10, {0x05, 0x06}},
        {"sequence", [](uint8_t *p, uint32_t n) { ip4_edit({p, n}).tcp().set_seq(0x0708090A); }, 24,
         {0x07, 0x08, 0x09, 0x0A}},
        {"flags", [](uint8_t *p, uint32_t n) { ip4_edit({p, n}).tcp().set_flags(0xC3); }, 33, {0xC3}},
        {"TCP checksum", [](uint8_t *p, uint32_t n) { ip4_edit({p, n}).tcp().set_csum(0x0B0C); }, 36,
         {0x0B, 0x0C}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Bytes b = orig;
        r.write(b.data(), static_cast<uint32_t>(b.size()));
        Bytes want = orig;
        std::copy(r.value.begin(), r.value.end(), want.begin() + static_cast<long>(r.at));
        EXPECT_EQ(b, want);
    }
}

}  // namespace
