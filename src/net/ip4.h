// IPv4 and TCP header fields by name, read and written in place in the packet's own bytes: the
// data paths of both ends and the virtio-net split and join look at packets only through these.
//
//   IPv4:  0 version | IHL   2 total length   4 id   6 flags | fragment offset   9 protocol
//          10 header checksum   12 source   16 destination
//   TCP (at ihl()):  4 sequence number   12 data offset   13 flags   16 checksum
//
// The views check nothing when they read: ok() says whether the minimal header is there and of
// version 4; the callers prove any further length (the IHL's, the TCP header's) before they read
// past it. Addresses are returned as the wire holds them (network order, opaque).
#pragma once
#include <cstdint>
#include <span>
#include <type_traits>

#include "bytes.h"

inline constexpr uint32_t IP4_HDR_MIN = 20;
inline constexpr uint32_t TCP_HDR_MIN = 20;
inline constexpr uint8_t IP4_PROTO_TCP = 6;
inline constexpr uint8_t IP4_PROTO_UDP = 17;
// Where each field starts.
inline constexpr uint32_t IP4_TOTAL_AT = 2;
inline constexpr uint32_t IP4_ID_AT = 4;
inline constexpr uint32_t IP4_FRAG_AT = 6;
inline constexpr uint32_t IP4_PROTO_AT = 9;
inline constexpr uint32_t IP4_CSUM_AT = 10;
inline constexpr uint32_t IP4_ADDRS_AT = 12;  // source then destination, 8 bytes: the pseudo-header's
inline constexpr uint32_t IP4_DST_AT = 16;
inline constexpr uint32_t TCP_SEQ_AT = 4;  // after the two ports, which UDP has in the same place
inline constexpr uint32_t TCP_ACK_AT = 8;
inline constexpr uint32_t TCP_DOFF_AT = 12;
inline constexpr uint32_t TCP_FLAGS_AT = 13;
inline constexpr uint32_t TCP_WINDOW_AT = 14;
inline constexpr uint32_t TCP_CSUM_AT = 16;
inline constexpr uint32_t TCP_URGENT_AT = 18;  // then the options, up to the data offset
inline constexpr uint8_t TCP_FIN = 0x01;
inline constexpr uint8_t TCP_PSH = 0x08;
inline constexpr uint8_t TCP_ACK = 0x10;
inline constexpr uint8_t TCP_CWR = 0x80;

// B is const uint8_t for a packet that is only read, uint8_t for one whose header is rewritten.
template <class B>
class tcp_hdr {
public:
    explicit tcp_hdr(B *th) : p_(th) {}

    B *data() const { return p_; }
    uint32_t doff() const { return (p_[TCP_DOFF_AT] >> 4) * 4u; }  // the header's length
    uint32_t seq() const { return ld_be32(p_ + TCP_SEQ_AT); }
    uint8_t flags() const { return p_[TCP_FLAGS_AT]; }

    void set_seq(uint32_t v) const requires(!std::is_const_v<B>) { st_be32(p_ + TCP_SEQ_AT, v); }
    void set_flags(uint8_t v) const requires(!std::is_const_v<B>) { p_[TCP_FLAGS_AT] = v; }
    void set_csum(uint16_t v) const requires(!std::is_const_v<B>) { st_be16(p_ + TCP_CSUM_AT, v); }

private:
    B *p_;
};

template <class B>
class ip4_hdr {
public:
    explicit ip4_hdr(std::span<B> pkt) : p_(pkt.data()), len_(static_cast<uint32_t>(pkt.size())) {}

    bool ok() const { return len_ >= IP4_HDR_MIN && (p_[0] >> 4) == 4; }
    uint32_t ihl() const { return (p_[0] & 0x0Fu) * 4; }
    uint16_t total() const { return ld_be16(p_ + IP4_TOTAL_AT); }
    uint16_t id() const { return ld_be16(p_ + IP4_ID_AT); }
    bool fragment() const { return (ld_be16(p_ + IP4_FRAG_AT) & 0x3FFF) != 0; }        // MF or an offset
    bool later_fragment() const { return (ld_be16(p_ + IP4_FRAG_AT) & 0x1FFF) != 0; }  // an offset: no L4 header
    uint8_t proto() const { return p_[IP4_PROTO_AT]; }
    uint32_t src() const { return ld_raw32(p_ + IP4_ADDRS_AT); }
    uint32_t dst() const { return ld_raw32(p_ + IP4_DST_AT); }
    // The destination port of UDP or TCP, which share its place; the caller proved ihl() + 4 bytes.
    uint16_t dport() const { return ld_be16(p_ + ihl() + 2); }
    // The TCP header behind this one; the caller proved the bytes it reads.
    tcp_hdr<B> tcp() const { return tcp_hdr<B>(p_ + ihl()); }

    void set_total(uint16_t v) const requires(!std::is_const_v<B>) { st_be16(p_ + IP4_TOTAL_AT, v); }
    void set_id(uint16_t v) const requires(!std::is_const_v<B>) { st_be16(p_ + IP4_ID_AT, v); }
    void set_csum(uint16_t v) const requires(!std::is_const_v<B>) { st_be16(p_ + IP4_CSUM_AT, v); }

private:
    B *p_;
    uint32_t len_;
};

using ip4_view = ip4_hdr<const uint8_t>;
using ip4_edit = ip4_hdr<uint8_t>;
using tcp_view = tcp_hdr<const uint8_t>;
using tcp_edit = tcp_hdr<uint8_t>;
