// IPv4 packets built from the protocols' definitions, with checksums summed 16 bits at a time
// apart from the library's own sum, for the tests of the offload adapters and the data path.
#pragma once
#include <cstdint>
#include <vector>

namespace ippkt {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t FIN = 0x01, SYN = 0x02, RST = 0x04, PSH = 0x08, ACK = 0x10, CWR = 0x80;

inline uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline void put16(Bytes &b, size_t at, uint32_t v)
{
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
inline void put32(Bytes &b, size_t at, uint32_t v)
{
    put16(b, at, v >> 16);
    put16(b, at + 2, v & 0xFFFF);
}

// The one's complement sum of 16-bit words (an odd byte padded with zero), folded.
inline uint16_t sum16(const uint8_t *p, size_t n, uint32_t sum = 0)
{
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += be16(p + i);
    if (n % 2 != 0)
        sum += uint32_t{p[n - 1]} << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

// The pseudo-header's part for a transport of len bytes carried by the IPv4 packet ip.
inline uint32_t pseudo(const uint8_t *ip, uint8_t proto, size_t len)
{
    return uint32_t{be16(ip + 12)} + be16(ip + 14) + be16(ip + 16) + be16(ip + 18) + proto +
           static_cast<uint32_t>(len);
}

struct Tcp {
    uint32_t src = 0x0A4D0002;  // 10.77.0.2
    uint32_t dst = 0x0A4D0005;
    uint16_t sport = 40000, dport = 5201;
    uint32_t seq = 0x11223344, ack = 0x55667788;
    uint8_t flags = ACK;
    uint16_t id = 0x4242;
    uint16_t window = 502;
    uint8_t ttl = 64;
    Bytes options;  // TCP options, a multiple of 4 bytes
};

// A TCP/IPv4 packet (DF set) with both checksums right.
inline Bytes tcp4(const Tcp &t, const Bytes &payload)
{
    const size_t thl = 20 + t.options.size();
    Bytes b(20 + thl + payload.size());
    b[0] = 0x45;
    put16(b, 2, static_cast<uint32_t>(b.size()));
    put16(b, 4, t.id);
    put16(b, 6, 0x4000);
    b[8] = t.ttl;
    b[9] = 6;
    put32(b, 12, t.src);
    put32(b, 16, t.dst);
    put16(b, 10, static_cast<uint16_t>(~sum16(b.data(), 20)));
    put16(b, 20, t.sport);
    put16(b, 22, t.dport);
    put32(b, 24, t.seq);
    put32(b, 28, t.ack);
    b[32] = static_cast<uint8_t>((thl / 4) << 4);
    b[33] = t.flags;
    put16(b, 34, t.window);
    for (size_t i = 0; i < t.options.size(); i++)
        b[40 + i] = t.options[i];
    for (size_t i = 0; i < payload.size(); i++)
        b[20 + thl + i] = payload[i];
    const size_t tl = b.size() - 20;
    put16(b, 36, static_cast<uint16_t>(~sum16(b.data() + 20, tl, pseudo(b.data(), 6, tl))));
    return b;
}

// A UDP/IPv4 datagram with both checksums right.
inline Bytes udp4(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport, const Bytes &payload)
{
    Bytes b(28 + payload.size());
    b[0] = 0x45;
    put16(b, 2, static_cast<uint32_t>(b.size()));
    b[8] = 64;
    b[9] = 17;
    put32(b, 12, src);
    put32(b, 16, dst);
    put16(b, 10, static_cast<uint16_t>(~sum16(b.data(), 20)));
    put16(b, 20, sport);
    put16(b, 22, dport);
    put16(b, 24, static_cast<uint32_t>(8 + payload.size()));
    for (size_t i = 0; i < payload.size(); i++)
        b[28 + i] = payload[i];
    const uint16_t c = static_cast<uint16_t>(~sum16(b.data() + 20, 8 + payload.size(), pseudo(b.data(), 17, 8 + payload.size())));
    put16(b, 26, c == 0 ? 0xFFFF : c);
    return b;
}

// n bytes of a pattern that differs from byte to byte and from one offset to the next.
inline Bytes pattern(size_t n, uint32_t seed = 1)
{
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

// The virtio-net header's 10 bytes, little-endian fields, from the kernel's layout.
inline Bytes vhdr(uint8_t flags, uint8_t gso_type, uint16_t hdr_len, uint16_t gso_size, uint16_t csum_start,
                  uint16_t csum_offset)
{
    return Bytes{flags,
                 gso_type,
                 static_cast<uint8_t>(hdr_len),
                 static_cast<uint8_t>(hdr_len >> 8),
                 static_cast<uint8_t>(gso_size),
                 static_cast<uint8_t>(gso_size >> 8),
                 static_cast<uint8_t>(csum_start),
                 static_cast<uint8_t>(csum_start >> 8),
                 static_cast<uint8_t>(csum_offset),
                 static_cast<uint8_t>(csum_offset >> 8)};
}

inline Bytes cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace ippkt
