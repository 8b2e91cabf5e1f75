// The virtio-net header, the split of what a TUN device with offloads hands over, and the
// coalescing of segments for one TUN write: every packet compared byte for byte with one built
// apart (tests/support/ippkt.h), checksums included.
#include "net/vnet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/tun.h"
#include "support/ippkt.h"

namespace {

using ippkt::Bytes;
constexpr uint32_t ROOM = 8;
constexpr uint8_t FILL = 0xEE;  // what the room in front of each packet must still hold

// A super-packet as the kernel's sender hands it: the headers of the first segment with the
// total length of all, the TCP checksum left partial (the pseudo-header's folded sum).
Bytes super_packet(const ippkt::Tcp &t, const Bytes &payload, uint16_t mss)
{
    Bytes ip = ippkt::tcp4(t, payload);
    const size_t thl = 20 + t.options.size();
    const size_t tl = ip.size() - 20;
    ippkt::put16(ip, 36, ippkt::sum16(nullptr, 0, ippkt::pseudo(ip.data(), 6, tl)));
    return ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, VNET_GSO_TCPV4, static_cast<uint16_t>(20 + thl), mss, 20, 16), ip);
}

struct Packets {
    std::vector<Bytes> pkts;
    std::vector<vnet_train_t> trains;
    int rc = 0;
};

// Every train of one read, each checked for its layout: packets at their stride, the room in
// front of each untouched, equal lengths but the last, within cap and maxsegs.
Packets split_all(const Bytes &read, uint32_t mtu, uint32_t cap = VNET_TRAIN_BYTES, uint32_t maxsegs = VNET_TRAIN_SEGS)
{
    Packets r;
    vnet_split_t s;
    r.rc = vnet_split_begin(&s, read.data(), static_cast<uint32_t>(read.size()), mtu);
    if (r.rc != VNET_OK)
        return r;
    Bytes out(cap);
    for (int guard = 0; guard < 2000; guard++) {
        std::fill(out.begin(), out.end(), FILL);
        vnet_train_t t;
        const int n = vnet_split_next(&s, out.data(), cap, ROOM, maxsegs, &t);
        if (n <= 0) {
            r.rc = n;
            return r;
        }
        EXPECT_EQ(static_cast<uint32_t>(n), t.count);
        EXPECT_LE(t.count, maxsegs);
        EXPECT_EQ(t.stride, ROOM + t.seglen);
        EXPECT_LE(t.lastlen, t.seglen);
        EXPECT_LE(vnet_train_bytes(&t, ROOM), cap);
        for (uint32_t i = 0; i < t.count; i++) {
            const uint8_t *p = out.data() + i * t.stride;
            for (uint32_t k = 0; k < ROOM; k++)
                EXPECT_EQ(p[k], FILL) << "room of packet " << i;
            const uint32_t len = i + 1 == t.count ? t.lastlen : t.seglen;
            r.pkts.emplace_back(p + ROOM, p + ROOM + len);
        }
        r.trains.push_back(t);
    }
    ADD_FAILURE() << "the split never ended";
    return r;
}

// The segments the kernel's own segmentation makes of the same super-packet.
std::vector<Bytes> expected_segments(ippkt::Tcp t, const Bytes &payload, uint32_t mss)
{
    std::vector<Bytes> segs;
    const uint8_t flags = t.flags;
    const size_t n = payload.empty() ? 1 : (payload.size() + mss - 1) / mss;
    for (size_t k = 0; k < n; k++) {
        ippkt::Tcp s = t;
        s.seq = t.seq + static_cast<uint32_t>(k * mss);
        s.id = static_cast<uint16_t>(t.id + k);
        s.flags = flags;
        if (k + 1 < n)
            s.flags = static_cast<uint8_t>(s.flags & ~(ippkt::FIN | ippkt::PSH));
        if (k > 0)
            s.flags = static_cast<uint8_t>(s.flags & ~ippkt::CWR);
        const size_t from = k * mss;
        const size_t to = std::min(payload.size(), from + mss);
        segs.push_back(ippkt::tcp4(s, Bytes(payload.begin() + static_cast<long>(from), payload.begin() + static_cast<long>(to))));
    }
    return segs;
}

TEST(Vnet, HeaderIsTenLittleEndianBytes)
{
    const Bytes raw = {0x01, 0x81, 0x34, 0x12, 0xA8, 0x05, 0x14, 0x00, 0x10, 0x00};
    const vnet_hdr_t h = vnet_hdr_load(raw.data());
    EXPECT_EQ(h.flags, VNET_F_NEEDS_CSUM);
    EXPECT_EQ(h.gso_type, VNET_GSO_TCPV4 | VNET_GSO_ECN);
    EXPECT_EQ(h.hdr_len, 0x1234);
    EXPECT_EQ(h.gso_size, 1448);
    EXPECT_EQ(h.csum_start, 20);
    EXPECT_EQ(h.csum_offset, 16);
    Bytes back(VNET_HDR_LEN, 0);
    vnet_hdr_store(back.data(), &h);
    EXPECT_EQ(back, raw);
}

struct SplitCase {
    const char *name;
    size_t payload;
    uint16_t gso_size;
    uint32_t mtu;
    uint8_t flags;
    size_t options;
    uint32_t mss;  // what the segments carry
};

TEST(Vnet, SplitsSuperPacketsAsTheKernelWould)
{
    const SplitCase cases[] = {
        {"three, the last short", 4000, 1448, 1500, ippkt::ACK, 0, 1448},
        {"exact multiple", 2 * 1448, 1448, 1500, ippkt::ACK | ippkt::PSH, 0, 1448},
        {"one short segment", 100, 1448, 1500, ippkt::ACK | ippkt::PSH, 0, 1448},
        {"FIN, PSH last, CWR first", 5000, 1000, 1500, ippkt::ACK | ippkt::PSH | ippkt::FIN | ippkt::CWR, 0, 1000},
        {"timestamps option", 6000, 1436, 1500, ippkt::ACK, 12, 1436},
        {"cut to the session mtu", 5000, 1448, 1000, ippkt::ACK, 0, 960},
        {"cut to the mtu with options", 3000, 1436, 1400, ippkt::ACK | ippkt::PSH, 12, 1348},
        {"headers only", 0, 1448, 1500, ippkt::ACK | ippkt::FIN, 0, 1448},
        {"full 64 KiB", 65535 - 40, 1448, 1500, ippkt::ACK | ippkt::PSH, 0, 1448},
        {"small mtu", 20000, 1448, 576, ippkt::ACK, 0, 536},
    };
    for (const SplitCase &c : cases) {
        SCOPED_TRACE(c.name);
        ippkt::Tcp t;
        t.flags = c.flags;
        t.id = 0xFFFE;          // the ids wrap within the read
        t.seq = 0xFFFFF000;     // and so do the sequence numbers
        t.options = ippkt::pattern(c.options, 7);
        const Bytes payload = ippkt::pattern(c.payload, 3);
        const Packets got = split_all(super_packet(t, payload, c.gso_size), c.mtu);
        ASSERT_EQ(got.rc, 0);
        const std::vector<Bytes> want = expected_segments(t, payload, c.mss);
        ASSERT_EQ(got.pkts.size(), want.size());
        for (size_t k = 0; k < want.size(); k++) {
            EXPECT_EQ(got.pkts[k], want[k]) << "segment " << k;
            EXPECT_LE(got.pkts[k].size(), c.mtu);
        }
    }
}

TEST(Vnet, TrainsKeepToTheSendLimits)
{
    // A 64 KiB read at the smallest segments: more than one send's 64 datagrams, and, at a large
    // mss, more than one send's 65507 bytes once each packet has its tunnel header.
    struct Row {
        uint16_t mss;
        uint32_t cap;
        uint32_t maxsegs;
        size_t trains;
    } rows[] = {
        {1448, VNET_TRAIN_BYTES, VNET_TRAIN_SEGS, 2},  // 46 packets of 1496 bytes: 43 fit 65507
        {500, VNET_TRAIN_BYTES, VNET_TRAIN_SEGS, 3},   // 131 packets: 64, 64, 3
        {1448, 4 * 1496 + 10, 8, 12},                  // the caller's own smaller limits
    };
    ippkt::Tcp t;
    const Bytes payload = ippkt::pattern(65535 - 40, 5);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.mss);
        const Packets got = split_all(super_packet(t, payload, r.mss), 1500, r.cap, r.maxsegs);
        ASSERT_EQ(got.rc, 0);
        EXPECT_EQ(got.trains.size(), r.trains);
        EXPECT_EQ(got.pkts, expected_segments(t, payload, r.mss));
    }
}

TEST(Vnet, PlainReadPassesUntouched)
{
    // Not parsed at all: an IPv6 packet or any other bytes go on as a plain read gives them.
    const Bytes v6 = ippkt::pattern(300, 9);
    Bytes read = ippkt::cat(Bytes(VNET_HDR_LEN, 0), v6);
    read[VNET_HDR_LEN] = 0x60;
    const Packets got = split_all(read, 1500);
    ASSERT_EQ(got.rc, 0);
    ASSERT_EQ(got.pkts.size(), 1u);
    EXPECT_EQ(got.pkts[0], Bytes(read.begin() + VNET_HDR_LEN, read.end()));
}

TEST(Vnet, CompletesPartialChecksums)
{
    struct Row {
        const char *name;
        Bytes pkt;
        uint16_t at;  // the checksum's offset
        uint8_t proto;
    };
    ippkt::Tcp t;
    Bytes udp = ippkt::udp4(0x0A4D0002, 0x0A4D0005, 5353, 53, ippkt::pattern(61, 2));
    // A payload whose checksum sums to 0: sent as 0xFFFF, as UDP requires.
    Bytes zero = ippkt::udp4(0x0A4D0002, 0x0A4D0005, 5353, 53, Bytes(20, 0));
    {
        ippkt::put16(zero, 26, 0);
        const uint16_t s = ippkt::sum16(zero.data() + 20, zero.size() - 20, ippkt::pseudo(zero.data(), 17, zero.size() - 20));
        ippkt::put16(zero, zero.size() - 2, static_cast<uint16_t>(~s));
        ippkt::put16(zero, 26, 0xFFFF);
    }
    const Row rows[] = {
        {"udp, odd length", udp, 26, 17},
        {"udp summing to zero", zero, 26, 17},
        {"tcp", ippkt::tcp4(t, ippkt::pattern(1000, 4)), 36, 6},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Bytes partial = r.pkt;
        const size_t tl = partial.size() - 20;
        ippkt::put16(partial, r.at, ippkt::sum16(nullptr, 0, ippkt::pseudo(partial.data(), r.proto, tl)));
        const Packets got = split_all(ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, VNET_GSO_NONE, 0, 0, 20, static_cast<uint16_t>(r.at - 20)), partial), 1500);
        ASSERT_EQ(got.rc, 0);
        ASSERT_EQ(got.pkts.size(), 1u);
        EXPECT_EQ(got.pkts[0], r.pkt);
    }
    EXPECT_EQ(ippkt::be16(zero.data() + 26), 0xFFFF);
}

TEST(Vnet, RefusesMalformedReads)
{
    ippkt::Tcp t;
    const Bytes good = super_packet(t, ippkt::pattern(3000, 1), 1448);
    const size_t H = VNET_HDR_LEN;
    auto with = [&](size_t at, uint8_t v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    struct Row {
        const char *name;
        Bytes read;
        uint32_t mtu;
        int rc;
    } rows[] = {
        {"empty", {}, 1500, VNET_ERR_SHORT},
        {"header only", Bytes(good.begin(), good.begin() + H), 1500, VNET_ERR_SHORT},
        {"gso, ip cut", Bytes(good.begin(), good.begin() + H + 19), 1500, VNET_ERR_SHORT},
        {"gso udp", with(1, VNET_GSO_UDP), 1500, VNET_ERR_GSO},
        {"gso tcpv6", with(1, VNET_GSO_TCPV6), 1500, VNET_ERR_GSO},
        {"gso size 0", [&] { Bytes b = with(4, 0); b[5] = 0; return b; }(), 1500, VNET_ERR_GSO},
        {"ipv6 under tcpv4", with(H, 0x65), 1500, VNET_ERR_IP},
        {"ihl 4", with(H, 0x44), 1500, VNET_ERR_IP},
        {"total length short", with(H + 3, static_cast<uint8_t>(good[H + 3] - 1)), 1500, VNET_ERR_IP},
        {"total length long", Bytes(good.begin(), good.end() - 1), 1500, VNET_ERR_IP},
        {"fragment", with(H + 6, 0x20), 1500, VNET_ERR_IP},
        {"udp under tcpv4", with(H + 9, 17), 1500, VNET_ERR_GSO},
        {"tcp data offset 4", with(H + 32, 0x40), 1500, VNET_ERR_GSO},
        {"ihl past the packet", [&] { Bytes b = super_packet(t, {}, 1448); b[H] = 0x4F; return b; }(), 1500, VNET_ERR_GSO},
        {"mtu below the headers", good, 40, VNET_ERR_GSO},
        {"csum start past the end",
         ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, 0, 0, 0, 60, 6), ippkt::pattern(60, 1)), 1500, VNET_ERR_CSUM},
        {"csum field past the end",
         ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, 0, 0, 0, 20, 39), ippkt::pattern(60, 1)), 1500, VNET_ERR_CSUM},
        {"csum offset wraps",
         ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, 0, 0, 0, 20, 0xFFFF), ippkt::pattern(60, 1)), 1500, VNET_ERR_CSUM},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        vnet_split_t s;
        EXPECT_EQ(vnet_split_begin(&s, r.read.data(), static_cast<uint32_t>(r.read.size()), r.mtu), r.rc);
    }
}

// A read of one packet taken where it lies gives the split's packet byte for byte, and refuses
// what the split refuses for the same reason; a super-packet is left to the split, untouched.
TEST(Vnet, SinglePacketReadTakenInPlaceAsTheSplitTakesIt)
{
    Bytes udp = ippkt::udp4(0x0A4D0002, 0x0A4D0005, 40000, 5201, ippkt::pattern(64, 3));
    ippkt::put16(udp, 26, ippkt::sum16(nullptr, 0, ippkt::pseudo(udp.data(), 17, udp.size() - 20)));
    ippkt::Tcp t;
    const Bytes v6 = ippkt::cat(Bytes(VNET_HDR_LEN, 0), Bytes{0x60, 1, 2, 3, 4});
    const struct {
        const char *name;
        Bytes read;
        int rc;  // vnet_single's
    } rows[] = {
        {"plain, not IPv4", v6, 5},
        {"udp, partial checksum", ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, VNET_GSO_NONE, 0, 0, 20, 6), udp), 92},
        {"data valid", ippkt::cat(ippkt::vhdr(VNET_F_DATA_VALID, VNET_GSO_NONE, 0, 0, 0, 0), udp), 92},
        {"header only", Bytes(VNET_HDR_LEN, 0), -VNET_ERR_SHORT},
        {"csum field past the end", ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, 0, 0, 0, 20, 71), udp), -VNET_ERR_CSUM},
        {"tcp super-packet", super_packet(t, ippkt::pattern(3000, 1), 1448), 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        Bytes in_place = r.read;
        ASSERT_EQ(vnet_single(in_place.data(), static_cast<uint32_t>(in_place.size())), r.rc);
        const Packets split = split_all(r.read, 1500);
        if (r.rc < 0) {
            EXPECT_EQ(split.rc, -r.rc);
        } else if (r.rc == 0) {
            EXPECT_EQ(in_place, r.read);
        } else {
            ASSERT_EQ(split.pkts.size(), 1u);
            EXPECT_EQ(Bytes(in_place.begin() + VNET_HDR_LEN, in_place.end()), split.pkts[0]);
        }
    }
}

TEST(Vnet, RefusesWhatDoesNotFitTheBuffer)
{
    ippkt::Tcp t;
    Bytes out(2000);
    vnet_train_t tr;
    vnet_split_t s;
    const Bytes plain = ippkt::cat(Bytes(VNET_HDR_LEN, 0), ippkt::pattern(1500, 1));
    ASSERT_EQ(vnet_split_begin(&s, plain.data(), static_cast<uint32_t>(plain.size()), 1500), VNET_OK);
    EXPECT_EQ(vnet_split_next(&s, out.data(), 1507, ROOM, 64, &tr), -VNET_ERR_ROOM);
    EXPECT_EQ(vnet_split_next(&s, out.data(), 1508, ROOM, 64, &tr), 1);
    EXPECT_EQ(vnet_split_next(&s, out.data(), 1508, ROOM, 64, &tr), 0);

    const Bytes gso = super_packet(t, ippkt::pattern(3000, 1), 1448);
    ASSERT_EQ(vnet_split_begin(&s, gso.data(), static_cast<uint32_t>(gso.size()), 1500), VNET_OK);
    EXPECT_EQ(vnet_split_next(&s, out.data(), ROOM + 1487, ROOM, 64, &tr), -VNET_ERR_ROOM);
    EXPECT_EQ(vnet_split_next(&s, out.data(), ROOM + 1488, ROOM, 64, &tr), 1);
}

TEST(Vnet, CoalescesAFlowBackIntoTheSuperPacket)
{
    // Segments as the kernel cuts a super-packet, joined again: the write carries a header that
    // cuts back into exactly the same segments, and a checksum the kernel completes to the
    // super-packet's own.
    ippkt::Tcp t;
    t.flags = ippkt::ACK | ippkt::PSH;
    t.options = {1, 1, 8, 10, 0, 0, 0, 1, 0, 0, 0, 2};
    const Bytes payload = ippkt::pattern(10000, 8);
    const std::vector<Bytes> segs = expected_segments(t, payload, 1388);
    Bytes buf(VNET_READ_MAX);
    vnet_coal_t c;
    vnet_coal_init(&c, buf.data());
    for (const Bytes &s : segs)
        ASSERT_TRUE(vnet_coal_add(&c, s.data(), static_cast<uint32_t>(s.size())));
    const uint32_t n = vnet_coal_finish(&c);
    ASSERT_EQ(n, VNET_HDR_LEN + 52 + payload.size());
    EXPECT_EQ(c.len, 0u);
    const vnet_hdr_t h = vnet_hdr_load(buf.data());
    EXPECT_EQ(h.flags, VNET_F_NEEDS_CSUM);
    EXPECT_EQ(h.gso_type, VNET_GSO_TCPV4);
    EXPECT_EQ(h.hdr_len, 52);
    EXPECT_EQ(h.gso_size, 1388);
    EXPECT_EQ(h.csum_start, 20);
    EXPECT_EQ(h.csum_offset, 16);

    Bytes whole(buf.begin(), buf.begin() + n);
    Bytes done(whole.begin() + VNET_HDR_LEN, whole.end());
    ippkt::put16(done, 36, static_cast<uint16_t>(~ippkt::sum16(done.data() + 20, done.size() - 20)));
    EXPECT_EQ(done, ippkt::tcp4(t, payload));

    const Packets back = split_all(whole, 1500);
    ASSERT_EQ(back.rc, 0);
    EXPECT_EQ(back.pkts, segs);
}

TEST(Vnet, CoalescingStopsWhereTheFlowDoes)
{
    ippkt::Tcp t;
    const Bytes p = ippkt::pattern(1000, 1);
    auto seg = [&](auto change) {
        ippkt::Tcp s = t;
        s.seq += 1000;
        s.id++;
        change(s);
        return ippkt::tcp4(s, p);
    };
    Bytes bad_sum = seg([](ippkt::Tcp &) {});
    bad_sum[100] ^= 1;
    struct Row {
        const char *name;
        Bytes second;
    } rows[] = {
        {"another port", seg([](ippkt::Tcp &s) { s.sport++; })},
        {"another address", seg([](ippkt::Tcp &s) { s.dst++; })},
        {"out of order", seg([](ippkt::Tcp &s) { s.seq += 1; })},
        {"a retransmission", seg([](ippkt::Tcp &s) { s.seq -= 1000; })},
        {"another ack", seg([](ippkt::Tcp &s) { s.ack++; })},
        {"another window", seg([](ippkt::Tcp &s) { s.window++; })},
        {"another ttl", seg([](ippkt::Tcp &s) { s.ttl--; })},
        {"FIN", seg([](ippkt::Tcp &s) { s.flags |= ippkt::FIN; })},
        {"a wrong checksum", bad_sum},
        {"longer than the first", ippkt::tcp4([&] { ippkt::Tcp s = t; s.seq += 1000; return s; }(), ippkt::pattern(1001, 1))},
        {"udp", ippkt::udp4(t.src, t.dst, t.sport, t.dport, p)},
    };
    Bytes buf(VNET_READ_MAX);
    const Bytes first = ippkt::tcp4(t, p);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        vnet_coal_t c;
        vnet_coal_init(&c, buf.data());
        ASSERT_TRUE(vnet_coal_add(&c, first.data(), static_cast<uint32_t>(first.size())));
        EXPECT_FALSE(vnet_coal_add(&c, r.second.data(), static_cast<uint32_t>(r.second.size())));
        // What is pending goes alone, exactly as it came, behind a zero header.
        const uint32_t n = vnet_coal_finish(&c);
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + n), ippkt::cat(Bytes(VNET_HDR_LEN, 0), first));
    }

    // A pushed or short segment ends the super-packet: the next in order starts another.
    for (uint8_t end : {uint8_t{1}, uint8_t{2}}) {
        vnet_coal_t c;
        vnet_coal_init(&c, buf.data());
        ippkt::Tcp s = t;
        const Bytes a = ippkt::tcp4(s, p);
        s.seq += 1000;
        if (end == 1)
            s.flags |= ippkt::PSH;
        const Bytes b = ippkt::tcp4(s, end == 1 ? p : Bytes(p.begin(), p.begin() + 500));
        s.seq += end == 1 ? 1000 : 500;
        s.flags = ippkt::ACK;
        const Bytes d = ippkt::tcp4(s, p);
        ASSERT_TRUE(vnet_coal_add(&c, a.data(), static_cast<uint32_t>(a.size())));
        ASSERT_TRUE(vnet_coal_add(&c, b.data(), static_cast<uint32_t>(b.size())));
        EXPECT_FALSE(vnet_coal_add(&c, d.data(), static_cast<uint32_t>(d.size())));
    }
    // Nothing pending, nothing to write; a SYN does not even begin.
    vnet_coal_t c;
    vnet_coal_init(&c, buf.data());
    EXPECT_EQ(vnet_coal_finish(&c), 0u);
    const Bytes syn = seg([](ippkt::Tcp &s) { s.flags = ippkt::SYN; });
    EXPECT_FALSE(vnet_coal_add(&c, syn.data(), static_cast<uint32_t>(syn.size())));
}

TEST(Vnet, OffloadText)
{
    struct Row {
        uint32_t tun;
        bool gso, gro;
        const char *text;
    } rows[] = {
        {TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4, true, true, "tun tso4, udp gso, udp gro"},
        {TUN_OFFLOAD_CSUM, false, true, "tun csum, udp gro"},
        {0, true, false, "udp gso"},
        {0, false, false, "none"},
    };
    for (const Row &r : rows) {
        char buf[64];
        vnet_offload_text(buf, sizeof buf, r.tun, r.gso, r.gro);
        EXPECT_STREQ(buf, r.text);
    }
    char small[8];
    vnet_offload_text(small, sizeof small, TUN_OFFLOAD_TSO4, true, true);
    EXPECT_EQ(std::string(small), "tun tso");
}

}  // namespace
