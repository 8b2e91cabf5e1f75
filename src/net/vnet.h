// The virtio-net header that a TUN device opened with IFF_VNET_HDR puts in front of every packet
// it hands over and expects in front of every packet written to it, and the work it asks of the
// reader: a TCP super-packet (segmentation offload) cut into the segments the wire carries, a
// partial checksum completed. Pure code: no system calls, so it is fuzzed as it stands.
//
// Every parser takes (buffer, length) and never reads past it; a read it refuses has a reason
// (vnet_err) for the caller to count.
#pragma once
#include <cstddef>
#include <cstdint>

// The record as the kernel lays it out; every 16-bit field little-endian (the header size is set
// to 10 with TUNSETVNETHDRSZ, and TUNSETVNETLE is never used: x86 and arm64 are little-endian and
// the loads and stores below are explicit anyway).
//
//    0        1        2                 4                 6                 8                10
//   +--------+--------+--------+--------+--------+--------+--------+--------+--------+--------+
//   | flags  |gso_type|     hdr_len     |    gso_size     |   csum_start    |   csum_offset   |
//   +--------+--------+--------+--------+--------+--------+--------+--------+--------+--------+
struct vnet_hdr_t {
    uint8_t flags;         // VNET_F_ bits
    uint8_t gso_type;      // VNET_GSO_ value, possibly with VNET_GSO_ECN
    uint16_t hdr_len;      // bytes of headers in front of the payload (a hint; not trusted)
    uint16_t gso_size;     // payload bytes of every segment but the last (the MSS)
    uint16_t csum_start;   // where the checksummed span begins (the transport header)
    uint16_t csum_offset;  // where, from csum_start, the checksum goes
};
static_assert(sizeof(vnet_hdr_t) == 10);
static_assert(offsetof(vnet_hdr_t, flags) == 0);
static_assert(offsetof(vnet_hdr_t, gso_type) == 1);
static_assert(offsetof(vnet_hdr_t, hdr_len) == 2);
static_assert(offsetof(vnet_hdr_t, gso_size) == 4);
static_assert(offsetof(vnet_hdr_t, csum_start) == 6);
static_assert(offsetof(vnet_hdr_t, csum_offset) == 8);

inline constexpr uint32_t VNET_HDR_LEN = 10;
inline constexpr uint8_t VNET_F_NEEDS_CSUM = 1;  // the checksum at csum_start + csum_offset is partial
inline constexpr uint8_t VNET_F_DATA_VALID = 2;
inline constexpr uint8_t VNET_GSO_NONE = 0;
inline constexpr uint8_t VNET_GSO_TCPV4 = 1;
inline constexpr uint8_t VNET_GSO_UDP = 3;
inline constexpr uint8_t VNET_GSO_TCPV6 = 4;
inline constexpr uint8_t VNET_GSO_ECN = 0x80;

// The largest read from a TUN device with the header: the header and a 64 KiB IP packet.
inline constexpr uint32_t VNET_READ_MAX = VNET_HDR_LEN + 65535;
// The most a train may hold: one UDP_SEGMENT send takes at most 64 datagrams, and at most 65507
// bytes of UDP payload (an IPv4 datagram of 65535 bytes).
inline constexpr uint32_t VNET_TRAIN_SEGS = 64;
inline constexpr uint32_t VNET_TRAIN_BYTES = 65507;

// The longest IPv4 and TCP headers together: an MTU at or below it leaves the split no room for
// a segment's payload, so such a session reads its TUN device plain.
inline constexpr uint32_t VNET_HDRS_MAX = 120;

vnet_hdr_t vnet_hdr_load(const uint8_t *p);      // p holds VNET_HDR_LEN bytes
void vnet_hdr_store(uint8_t *p, const vnet_hdr_t *h);

// Why a read is refused.
enum vnet_err : int {
    VNET_OK = 0,
    VNET_ERR_SHORT = 1,  // shorter than the header and an IPv4 header
    VNET_ERR_IP = 2,     // not IPv4, header length or total length inconsistent with the read
    VNET_ERR_GSO = 3,    // a GSO type other than TCPv4, not TCP, TCP header cut, gso_size 0
    VNET_ERR_CSUM = 4,   // NEEDS_CSUM with its span or field outside the packet
    VNET_ERR_ROOM = 5,   // a segment (or the plain packet) does not fit the caller's buffer
};
inline constexpr int VNET_ERR_COUNT = 6;

// One read being cut into packets: set up by vnet_split_begin, consumed by vnet_split_next.
// The read's bytes must stay in place until the last train is taken.
struct vnet_split_t {
    const uint8_t *pkt;  // the IP packet (behind the header)
    uint32_t len;        // its length
    uint32_t hlen;       // IP and TCP header bytes copied in front of every segment (GSO only)
    uint32_t mss;        // payload bytes of every segment but the last (GSO only)
    uint32_t off;        // payload offset of the next segment; len once all are taken
    uint32_t seg;        // segments taken so far
    uint16_t csum_start;
    uint16_t csum_offset;
    uint8_t kind;        // VNET_KIND_ value
};
inline constexpr uint8_t VNET_KIND_PLAIN = 0;  // one packet as it stands
inline constexpr uint8_t VNET_KIND_CSUM = 1;   // one packet whose checksum is to be completed
inline constexpr uint8_t VNET_KIND_TSO4 = 2;   // a TCP/IPv4 super-packet to cut

// Checks the header and the IP packet of one read of len bytes (header included) and prepares
// the split. mtu bounds every segment (IP header included): a gso_size that would exceed it is
// cut smaller, so each packet fits the session. VNET_OK or the reason the read is refused.
int vnet_split_begin(vnet_split_t *s, const uint8_t *buf, uint32_t len, uint32_t mtu);

// A read of one packet (gso_type NONE), the common case, made ready where it lies without the
// split's copy: a partial checksum completed at buf + VNET_HDR_LEN. Its length; 0 when the read is
// a super-packet (for vnet_split_begin); -VNET_ERR_SHORT or -VNET_ERR_CSUM when vnet_split_begin
// would refuse it. The bytes in front of the packet (the header) are the caller's to overwrite.
int vnet_single(uint8_t *buf, uint32_t len);

// A train of packets laid out for one UDP_SEGMENT send: packet i (of count) starts at
// out + i * stride + room, with room bytes free in front of it for the tunnel header; every
// packet is seglen bytes but the last, which is lastlen (<= seglen); stride = room + seglen. The
// datagrams of the train are then out[i * stride, i * stride + room + len_i), back to back.
struct vnet_train_t {
    uint32_t count;
    uint32_t stride;
    uint32_t seglen;
    uint32_t lastlen;
};
// Bytes of the train from out: (count - 1) * stride + room + lastlen.
uint32_t vnet_train_bytes(const vnet_train_t *t, uint32_t room);

// Lays out the next train in out (cap bytes): at most maxsegs packets and at most cap bytes in
// all, each a complete IPv4 packet: total length, id (the super-packet's, plus the segment's
// index), header checksum; TCP sequence number, flags (FIN and PSH on the last segment only, CWR
// on the first only) and checksum; a NEEDS_CSUM checksum completed. The count, 0 when the read is
// used up, or -VNET_ERR_ROOM when the next packet alone does not fit cap.
int vnet_split_next(vnet_split_t *s, uint8_t *out, uint32_t cap, uint32_t room, uint32_t maxsegs,
                    vnet_train_t *t);

// The Internet checksum over len bytes, folded and not complemented, started from sum.
uint16_t vnet_csum(const uint8_t *p, uint32_t len, uint32_t sum);

// Offloads of a TUN descriptor attached with this header (net/tun.h): the TUN_F_ bits of
// TUNSETOFFLOAD under names of our own. Kept here, below the device, so the reader of the
// header and the device's adapter do not need each other.
inline constexpr uint32_t TUN_OFFLOAD_CSUM = 0x01;  // the reader completes partial checksums
inline constexpr uint32_t TUN_OFFLOAD_TSO4 = 0x02;  // the reader cuts TCP/IPv4 super-packets
inline constexpr uint32_t TUN_OFFLOAD_TSO6 = 0x04;

// The start-up line's text of what the kernel granted: "tun tso4, udp gso, udp gro", the ones
// refused left out, or "none" when nothing was granted. tun is the TUN_OFFLOAD_ bits granted.
void vnet_offload_text(char *out, size_t n, uint32_t tun, bool gso, bool gro);

// The other way: in-order TCP/IPv4 segments of one flow, as the peer sends them one datagram at a
// time, joined into one super-packet that one TUN write with a GSO header hands to the kernel
// (which takes it as its own receive offload would). Only segments whose headers match but for
// the sequence number, the checksums, the IP id and total length join; each one's TCP checksum is
// verified first, since the kernel trusts a super-packet's.
struct vnet_coal_t {
    uint8_t *buf;      // VNET_READ_MAX bytes of the caller's: the header, then the super-packet
    uint32_t len;      // bytes of the super-packet held; 0 when nothing is pending
    uint32_t count;    // segments held
    uint32_t hlen;     // IP and TCP header bytes of the first segment
    uint32_t mss;      // payload of the first segment: every later one but a last is as long
    uint32_t nextseq;  // the sequence number the next segment must carry
    bool closed;       // a short, PSH or FIN segment ended it: nothing more joins
};
void vnet_coal_init(vnet_coal_t *c, uint8_t *buf);
// pkt (an IP packet of len bytes): true when it joined what is pending, or began it; false when
// it cannot join. The caller then writes what is pending (vnet_coal_finish) and offers the
// packet again; refused by an empty coalescer, it is written on its own with a zero header.
bool vnet_coal_add(vnet_coal_t *c, const uint8_t *pkt, uint32_t len);
// Makes what is pending ready for one write from c->buf: the header (TCPv4 GSO with a partial
// checksum when two or more segments joined; none for one, which stays as it came), the IP total
// length and header checksum. The bytes to write (header included), 0 when nothing was pending;
// the coalescer is empty afterwards.
uint32_t vnet_coal_finish(vnet_coal_t *c);
