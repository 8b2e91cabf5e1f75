// OPENACK, the peer's grant of a session:
//
//   0    header: type 18, encrypt = the grant, sid and token of the new session
//   8    signature
//   24   options, each only when the record holds it, in this order:
//        address   4, 6, IPv4 address (network order)
//        gateway   6, 6, IPv4 address
//        MTU       3, 4, MTU (big-endian)
//        DNS       5, 10, two IPv4 addresses
//        encrypt   8, 3, the grant
//        duppkt    9, 3, one byte
//
// The peer sends the first five; the client takes all six and skips any other type by its length.
#pragma once
#include <cstdint>
#include <span>

#include "proto/opts.h"
#include "sdwan.h"

inline constexpr uint8_t OPENACK_HAVE_IP = 1;
inline constexpr uint8_t OPENACK_HAVE_GATEWAY = 2;
inline constexpr uint8_t OPENACK_HAVE_MTU = 4;
inline constexpr uint8_t OPENACK_HAVE_DNS = 8;
inline constexpr uint8_t OPENACK_HAVE_ENCRYPT = 16;
inline constexpr uint8_t OPENACK_HAVE_DUPPKT = 32;

struct openack_msg_t {
    sdwan_pkthdr_t hdr;
    uint8_t have;  // OPENACK_HAVE_* bits
    uint8_t encrypt;
    uint8_t duppkt;
    uint16_t mtu;
    uint32_t ip;  // addresses in network order, as the wire holds them
    uint32_t gateway;
    uint32_t dns0;
    uint32_t dns1;
    bool operator==(const openack_msg_t &) const = default;
};

inline constexpr uint32_t SDWAN_OPENACK_MAX = SDWAN_CTRL_LEN + SDWAN_OPTLEN_IP + SDWAN_OPTLEN_GATEWAY +
                                              SDWAN_OPTLEN_MTU + SDWAN_OPTLEN_DNS + SDWAN_OPTLEN_ENCRYPT +
                                              SDWAN_OPTLEN_DUPPKT;
static_assert(SDWAN_OPENACK_MAX == 56);

uint32_t openack_encode(const openack_msg_t &m, std::span<uint8_t> out);  // the length, or 0
// 0, or: -EBADMSG shorter than header and signature, or an option that runs past the datagram or
// is shorter than its head; -EPROTO one of the six types above with another length. A repeated
// option leaves its last value. On an error the record holds the options before the faulty one:
// the client keeps those, as it always has.
int openack_decode(std::span<const uint8_t> in, openack_msg_t *out);
