// The wire: packet types, options, sizes and records that both ends of the tunnel share.
//
// Tunnel header, at the start of every datagram exchanged with the peer:
//
//    0        1        2                 4                                  8
//   +--------+--------+--------+--------+--------+--------+--------+--------+
//   |  type  |encrypt |       sid       |               token               |
//   +--------+--------+--------+--------+--------+--------+--------+--------+
//   |            signature: MD5(header[0..7] | salt[0..1]), 16 bytes          |  control
//   |                          (bytes 8 to 23)                              |  packets
//   +-----------------------------------------------------------------------+  only
//   |  body: option list (OPEN, OPENACK), echo body (ECHOREQ, ECHORESP)      |
//   +-----------------------------------------------------------------------+
//
// Data packets (DATA, EDATA) carry the IP packet right after the 8-byte header.
// sid and token are opaque: copied as raw bytes, never byte-swapped.
#pragma once
#include <cstddef>
#include <cstdint>

// Packet types.
inline constexpr uint8_t SDWAN_OPENREJ = 17;
inline constexpr uint8_t SDWAN_OPENACK = 18;
inline constexpr uint8_t SDWAN_OPEN = 19;
inline constexpr uint8_t SDWAN_DATA = 20;
inline constexpr uint8_t SDWAN_ECHOREQ = 21;
inline constexpr uint8_t SDWAN_ECHORESP = 22;
inline constexpr uint8_t SDWAN_CLOSE = 23;
inline constexpr uint8_t SDWAN_EDATA = 24;
// The sealed session (proto/sealed.h): a legacy client counts these as unknown types.
inline constexpr uint8_t SDWAN_SINIT = 32;
inline constexpr uint8_t SDWAN_SRESP = 33;
inline constexpr uint8_t SDWAN_SDATA = 34;

// Option types of OPEN and OPENACK bodies: type, length (whole option), value.
inline constexpr uint8_t SDWAN_OPT_USER = 1;
inline constexpr uint8_t SDWAN_OPT_PASS = 2;
inline constexpr uint8_t SDWAN_OPT_MTU = 3;
inline constexpr uint8_t SDWAN_OPT_IP = 4;
inline constexpr uint8_t SDWAN_OPT_DNS = 5;
inline constexpr uint8_t SDWAN_OPT_GATEWAY = 6;
inline constexpr uint8_t SDWAN_OPT_ENCRYPT = 8;
inline constexpr uint8_t SDWAN_OPT_DUPPKT = 9;
inline constexpr uint8_t SDWAN_OPT_PIPE = 10;

// Sizes of the wire and of the buffers.
inline constexpr uint32_t SDWAN_HDR_LEN = 8;         // header
inline constexpr uint32_t SDWAN_SIG_LEN = 16;        // MD5 signature after the header
inline constexpr uint32_t SDWAN_CTRL_LEN = 24;       // header + signature: smallest control packet
inline constexpr uint32_t SDWAN_ECHO_LEN = 44;       // echo request as sent
inline constexpr uint32_t SDWAN_ECHORESP_MIN = 32;   // header, signature and the returned tick
inline constexpr uint32_t SDWAN_OPEN_MAX = 86;       // 31-character user, encrypt and pipe options
inline constexpr uint32_t SDWAN_CTRLBUF = 1024;      // stack buffer of an outbound control packet or DNS query
inline constexpr uint32_t SDWAN_PKTBUF = 2048;       // stack buffer of a received datagram or outbound data
inline constexpr uint32_t SDWAN_MTU_MIN = 46;
inline constexpr uint32_t SDWAN_MTU_MAX = 1600;
inline constexpr uint32_t SDWAN_MINDELAY_START = 5000000;

// The header as a record. It is decoded from and encoded into buffers with sdwan_hdr_load and
// sdwan_hdr_store (proto/packet.h); sid and token hold the wire bytes in memory order.
struct sdwan_pkthdr_t {
    uint8_t type;
    uint8_t encrypt;
    uint16_t sid;
    uint32_t token;
    bool operator==(const sdwan_pkthdr_t &) const = default;
};
static_assert(sizeof(sdwan_pkthdr_t) == 8);
static_assert(offsetof(sdwan_pkthdr_t, type) == 0);
static_assert(offsetof(sdwan_pkthdr_t, encrypt) == 1);
static_assert(offsetof(sdwan_pkthdr_t, sid) == 2);
static_assert(offsetof(sdwan_pkthdr_t, token) == 4);

// Payload key: the first 8 bytes of MD5(user | password).
union sdwan_key_t {
    uint32_t data32[2];
    uint8_t data8[8];
};
static_assert(sizeof(sdwan_key_t) == 8);

// Echo body, little-endian, at offset 24 of ECHOREQ and ECHORESP (only tick is read back).
struct sdwan_echopkt_t {
    uint64_t tick;
    uint32_t cur_delay;
    uint32_t min_delay;
    uint32_t max_delay;
};
static_assert(offsetof(sdwan_echopkt_t, tick) == 0);
static_assert(offsetof(sdwan_echopkt_t, cur_delay) == 8);
static_assert(offsetof(sdwan_echopkt_t, min_delay) == 12);
static_assert(offsetof(sdwan_echopkt_t, max_delay) == 16);
inline constexpr uint32_t SDWAN_ECHOBODY_LEN = 20;
static_assert(SDWAN_CTRL_LEN + SDWAN_ECHOBODY_LEN == SDWAN_ECHO_LEN);

// Route block laid out behind the echo body; it is never part of a sent request.
struct sdwan_rtpktentry_t {
    uint32_t net;
    uint32_t mask;
};
struct sdwan_rtpkt_t {
    char tag[4];  // "SDRT"
    uint32_t magic;
    uint32_t cnt;
};
static_assert(sizeof(sdwan_rtpktentry_t) == 8);
static_assert(sizeof(sdwan_rtpkt_t) == 12);
static_assert(offsetof(sdwan_rtpkt_t, magic) == 4);
static_assert(offsetof(sdwan_rtpkt_t, cnt) == 8);
