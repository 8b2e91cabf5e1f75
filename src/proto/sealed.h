// The sealed session's three messages. Every integer is little-endian; the indices are each
// side's own name for the session, chosen at random and never 0.
//
//   SINIT  client -> peer, 56 bytes
//     0 type 32 | 1 version 1 | 2..3 zero | 4..7 sender index | 8..55 Noise message 1 (e, es)
//   SRESP  peer -> client, 60 bytes
//     0 type 33 | 1 version 1 | 2..3 zero | 4..7 receiver index (the client's) |
//     8..11 sender index (the peer's) | 12..59 Noise message 2 (e, ee)
//   SDATA  both ways, 33 bytes or more
//     0 type 34 | 1..3 zero | 4..7 receiver index | 8..15 counter (the sender's nonce) |
//     16.. AEAD(kind byte | body) and its 16-byte tag, with the 16 header bytes as AD
//
// The codec frames bytes only: sealing and opening are the session's, with the keys it holds.
// Decoders answer 0, -EBADMSG for a datagram of the wrong length, -EPROTO for a field that
// breaks a rule above (type, version, reserved bytes, an index of 0).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "proto/openack.h"
#include "proto/opts.h"
#include "sdwan.h"

inline constexpr uint8_t SEALED_VERSION = 1;
// The handshake's prologue, "tolva sealed 1" without a terminator: a peer of another protocol
// revision fails the first tag instead of agreeing on keys.
inline constexpr uint8_t SEALED_PROLOGUE_BYTES[] = {'t', 'o', 'l', 'v', 'a', ' ', 's', 'e', 'a', 'l', 'e', 'd', ' ', '1'};
inline constexpr std::span<const uint8_t> SEALED_PROLOGUE{SEALED_PROLOGUE_BYTES};
static_assert(sizeof SEALED_PROLOGUE_BYTES == 14);

inline constexpr uint32_t SEALED_HS_LEN = 48;  // a Noise handshake message: ephemeral 32 + tag 16
inline constexpr uint32_t SEALED_TAG_LEN = 16;

// The records mirror the wire's layout; the codec still loads and stores each field explicitly.
struct sinit_msg_t {
    uint8_t type;
    uint8_t version;
    uint16_t reserved;
    uint32_t sender;
    uint8_t noise[SEALED_HS_LEN];
    bool operator==(const sinit_msg_t &) const = default;
};
static_assert(offsetof(sinit_msg_t, version) == 1);
static_assert(offsetof(sinit_msg_t, reserved) == 2);
static_assert(offsetof(sinit_msg_t, sender) == 4);
static_assert(offsetof(sinit_msg_t, noise) == 8);
static_assert(sizeof(sinit_msg_t) == 56);
inline constexpr uint32_t SEALED_SINIT_LEN = sizeof(sinit_msg_t);

struct sresp_msg_t {
    uint8_t type;
    uint8_t version;
    uint16_t reserved;
    uint32_t receiver;
    uint32_t sender;
    uint8_t noise[SEALED_HS_LEN];
    bool operator==(const sresp_msg_t &) const = default;
};
static_assert(offsetof(sresp_msg_t, version) == 1);
static_assert(offsetof(sresp_msg_t, reserved) == 2);
static_assert(offsetof(sresp_msg_t, receiver) == 4);
static_assert(offsetof(sresp_msg_t, sender) == 8);
static_assert(offsetof(sresp_msg_t, noise) == 12);
static_assert(sizeof(sresp_msg_t) == 60);
inline constexpr uint32_t SEALED_SRESP_LEN = sizeof(sresp_msg_t);

struct sdata_hdr_t {
    uint8_t type;
    uint8_t reserved1;
    uint16_t reserved2;
    uint32_t receiver;
    uint64_t counter;
    bool operator==(const sdata_hdr_t &) const = default;
};
static_assert(offsetof(sdata_hdr_t, reserved1) == 1);
static_assert(offsetof(sdata_hdr_t, reserved2) == 2);
static_assert(offsetof(sdata_hdr_t, receiver) == 4);
static_assert(offsetof(sdata_hdr_t, counter) == 8);
static_assert(sizeof(sdata_hdr_t) == 16);
inline constexpr uint32_t SEALED_HDR_LEN = sizeof(sdata_hdr_t);
// Header, kind byte and tag: the least an SDATA can be, and what it adds to its body.
inline constexpr uint32_t SEALED_OVERHEAD = SEALED_HDR_LEN + 1 + SEALED_TAG_LEN;
static_assert(SEALED_OVERHEAD == 33);
// What a sealed packet costs beyond a legacy DATA's 8 bytes: the peer offers its interface MTU
// less this, so that inner packets fit the same outer size.
inline constexpr uint32_t SEALED_MTU_COST = SEALED_OVERHEAD - SDWAN_HDR_LEN;
static_assert(SEALED_MTU_COST == 25);

// The first plaintext byte of an SDATA.
enum class sealed_kind : uint8_t {
    ip = 1,       // an IP packet
    auth = 2,     // client -> peer: the OPEN option list (user, password, encrypt, pipe)
    authack = 3,  // peer -> client: the OPENACK option list
    authrej = 4,  // peer -> client: one reason byte
    echoreq = 5,  // the legacy echo body
    echoresp = 6, // the request's body returned
    close = 7,    // empty
    probe = 8,    // client -> peer, on any of its uplinks: the probe body
    probeack = 9, // peer -> client: the probe's body returned to where the probe came from
};
inline constexpr uint8_t SEALED_KIND_MAX = 9;

// The AUTHREJ reason byte.
enum class sealed_rej : uint8_t {
    credentials = 1, // bad user or password
    live = 2,        // the user has a live session
    no_address = 3,  // the pool is exhausted
    legacy_only = 4, // the peer does not speak the sealed session
};

// Encoders write the header's type, version and zeros themselves whatever the record holds; each
// answers the length written, or 0 when out is short.
uint32_t sinit_encode(const sinit_msg_t &m, std::span<uint8_t> out);
int sinit_decode(std::span<const uint8_t> in, sinit_msg_t *out);
uint32_t sresp_encode(const sresp_msg_t &m, std::span<uint8_t> out);
int sresp_decode(std::span<const uint8_t> in, sresp_msg_t *out);
// The 16 header bytes only: the sealed part follows at SEALED_HDR_LEN, written by the cipher.
uint32_t sdata_encode(const sdata_hdr_t &h, std::span<uint8_t> out);
// -EBADMSG below SEALED_OVERHEAD bytes; the receiver index is not judged here (an unknown index,
// 0 among them, is the session table's answer).
int sdata_decode(std::span<const uint8_t> in, sdata_hdr_t *out);

// AUTH's body: the OPEN option list (no header, no signature) with the password in plain text,
// which travels only under keys that include the ephemeral-ephemeral secret.
//   MTU 3, 4, MTU (big-endian)            only when the record has it
//   user 1, n + 2, the name (1 to 31 bytes)
//   password 2, n + 2, the password (1 to 31 bytes)
//   encrypt 8, 3, the wish               only when the record has it
//   pipe 10, 4, pipe value (big-endian)  only when the record has it
inline constexpr uint32_t SEALED_AUTH_MAX = SDWAN_OPTLEN_MTU + 2 * SDWAN_OPTLEN_HEAD + SDWAN_USER_MAX +
                                            SDWAN_PASS_MAX + SDWAN_OPTLEN_ENCRYPT + SDWAN_OPTLEN_PIPE;
static_assert(SEALED_AUTH_MAX == 77);
struct auth_msg_t {
    uint8_t have;  // OPEN_HAVE_* bits (proto/open.h): 1 MTU, 2 encrypt, 4 pipe
    uint8_t encrypt;
    uint16_t mtu;
    uint16_t pipe;
    uint8_t userlen;  // 1 to SDWAN_USER_MAX
    uint8_t user[SDWAN_USER_MAX];
    uint8_t passlen;  // 1 to SDWAN_PASS_MAX
    uint8_t pass[SDWAN_PASS_MAX];
    bool operator==(const auth_msg_t &) const = default;
};
// The length, or 0 when out is short or a name or password is empty or longer than 31 bytes.
uint32_t auth_encode(const auth_msg_t &m, std::span<uint8_t> out);
// 0, or -EBADMSG an option running past the body or shorter than its head, -EPROTO a known option
// of the wrong length (an empty or 32-byte name or password among them), -ENODATA no user or no
// password. Other types are skipped; a repeated option leaves its last value.
int auth_decode(std::span<const uint8_t> in, auth_msg_t *out);
// AUTHACK's body: the OPENACK option list, without header and signature (m.hdr is not sent and
// decodes as zeros). Answers as openack_encode and openack_decode.
uint32_t authack_encode(const openack_msg_t &m, std::span<uint8_t> out);
int authack_decode(std::span<const uint8_t> in, openack_msg_t *out);
inline constexpr uint32_t SEALED_AUTHACK_MAX = SDWAN_OPENACK_MAX - SDWAN_CTRL_LEN;

// PROBE's and PROBEACK's body, 16 bytes: what one uplink's measurement needs to match an answer
// to its probe without a table of probes in flight. The peer returns it unchanged to the probe's
// source and never moves the session for a probe, so a backup uplink can be measured while
// another carries the data.
//   0 path (the client's number of the uplink) | 1..3 zero | 4..7 sequence | 8..15 the client's
//   monotonic clock at the send, microseconds
struct probe_msg_t {
    uint8_t path;
    uint8_t reserved[3];
    uint32_t seq;
    uint64_t sent_us;
    bool operator==(const probe_msg_t &) const = default;
};
static_assert(offsetof(probe_msg_t, seq) == 4);
static_assert(offsetof(probe_msg_t, sent_us) == 8);
static_assert(sizeof(probe_msg_t) == 16);
inline constexpr uint32_t SEALED_PROBE_LEN = sizeof(probe_msg_t);
// 16, or 0 when out is short; the reserved bytes go out as zeros.
uint32_t probe_encode(const probe_msg_t &m, std::span<uint8_t> out);
// 0, or -EBADMSG for a body that is not 16 bytes, -EPROTO for a nonzero reserved byte.
int probe_decode(std::span<const uint8_t> in, probe_msg_t *out);
