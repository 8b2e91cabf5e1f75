// OPEN, the client's request for a session:
//
//   0    header: type 19, encrypt = the client's wish, sid 0, token 0
//   8    signature
//   24   MTU option          3, 4, MTU (big-endian)
//   28   user option         1, n + 2, n bytes of user name (1 to 31, no terminator)
//   30+n password option     2, 18, the password block (16 bytes, AES under MD5(salt | user))
//   48+n encrypt option      8, 3, the wish                      only when asked for
//        pipe option         10, 4, pipe value (big-endian)      only when a pipe is chosen
//
// 49 to SDWAN_OPEN_MAX (86) bytes. The codec carries the enciphered password block as it
// travels; the cipher is proto/aes, run by the client before encoding and by the peer after
// decoding.
#pragma once
#include <cstdint>
#include <span>

#include "proto/opts.h"
#include "sdwan.h"

// Which of the optional options the record holds (the user and password options always travel).
inline constexpr uint8_t OPEN_HAVE_MTU = 1;
inline constexpr uint8_t OPEN_HAVE_ENCRYPT = 2;
inline constexpr uint8_t OPEN_HAVE_PIPE = 4;

struct open_msg_t {
    sdwan_pkthdr_t hdr;
    uint8_t have;  // OPEN_HAVE_* bits
    uint8_t encrypt;
    uint16_t mtu;
    uint16_t pipe;
    uint8_t userlen;  // 1 to SDWAN_USER_MAX
    uint8_t user[SDWAN_USER_MAX];
    uint8_t passblk[SDWAN_PASSBLK_LEN];
    bool operator==(const open_msg_t &) const = default;
};

static_assert(SDWAN_CTRL_LEN + SDWAN_OPTLEN_MTU + SDWAN_OPTLEN_HEAD + SDWAN_USER_MAX + SDWAN_OPTLEN_PASS +
                  SDWAN_OPTLEN_ENCRYPT + SDWAN_OPTLEN_PIPE ==
              SDWAN_OPEN_MAX);

// The options OPEN and the sealed session's AUTH share besides the name and password (MTU, pipe,
// encrypt), stored with their OPEN_HAVE_ bit: 1 taken, 0 not one of them, -EPROTO of the wrong
// length.
int open_opt_extra(const sdwan_opt_t &opt, uint8_t *have, uint8_t *encrypt, uint16_t *mtu, uint16_t *pipe);

// The length, or 0 when out is too small or the user name is longer than 31 bytes.
uint32_t open_encode(const open_msg_t &m, std::span<uint8_t> out);
// 0, or: -EBADMSG shorter than header and signature, or an option that runs past the datagram or
// is shorter than its head; -EPROTO a known option of the wrong length, a user name of 0 or more
// than 31 bytes; -ENODATA no user or no password option. Options of other types are skipped; a
// repeated option leaves its last value.
int open_decode(std::span<const uint8_t> in, open_msg_t *out);
