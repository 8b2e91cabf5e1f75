// The sealed session, client side: a Noise NK handshake against the pinned peerkey (SINIT out,
// SRESP in), then every message in SDATA under the split's keys: AUTH with the credentials,
// AUTHACK / AUTHREJ, echoes, CLOSE and the IP packets. A rekey every SEAL_REKEY_SEC runs a new
// handshake while the old keys keep carrying data; sending moves to the new keys at their
// AUTHACK. Like auth, it changes the record, counts and logs, and answers with what the session
// is to do; it never calls back into the session.
#pragma once
#include <cstdint>

#include "client/auth.h"
#include "client/record.h"
#include "proto/sealed.h"

// The wire is proto/sealed's; these name its sizes as the data path uses them.
inline constexpr uint32_t SEAL_HDR = SEALED_HDR_LEN;
inline constexpr uint32_t SEAL_HEAD = SEAL_HDR + 1;  // room in front of a packet sealed in place
inline constexpr uint32_t SEAL_TAG = SEALED_TAG_LEN;
inline constexpr uint32_t SEAL_OVERHEAD = SEALED_OVERHEAD;
static_assert(SDWAN_MTU_MAX + SEAL_OVERHEAD <= SDWAN_PKTBUF);

enum : uint8_t {
    SEAL_KIND_IP = static_cast<uint8_t>(sealed_kind::ip),
    SEAL_KIND_AUTH = static_cast<uint8_t>(sealed_kind::auth),
    SEAL_KIND_AUTHACK = static_cast<uint8_t>(sealed_kind::authack),
    SEAL_KIND_AUTHREJ = static_cast<uint8_t>(sealed_kind::authrej),
    SEAL_KIND_ECHOREQ = static_cast<uint8_t>(sealed_kind::echoreq),
    SEAL_KIND_ECHORESP = static_cast<uint8_t>(sealed_kind::echoresp),
    SEAL_KIND_CLOSE = static_cast<uint8_t>(sealed_kind::close),
    SEAL_KIND_PROBE = static_cast<uint8_t>(sealed_kind::probe),
    SEAL_KIND_PROBEACK = static_cast<uint8_t>(sealed_kind::probeack),
};

inline constexpr uint32_t SEAL_REKEY_SEC = 120;   // a session's keys carry data this long
inline constexpr uint32_t SEAL_HS_SEC = 5;        // a rekey's handshake unanswered this long starts again
inline constexpr uint32_t SEAL_PREV_SEC = 15;     // the replaced keys are still taken this long
inline constexpr uint64_t SEAL_SEND_LIMIT = uint64_t{1} << 60;  // a send counter past it rekeys at once
// Keys never used past this age: a session whose rekeys keep failing (a pinned key the peer no
// longer holds) starts over rather than keep the keys forward secrecy means to retire.
inline constexpr uint32_t SEAL_KEY_MAX_SEC = 180;

inline bool seal_on(const sdwan_t *clnt) { return clnt->conf.peerkey_state == SDWAN_PEERKEY_SET; }

// Wipes the handshake and every key: the session starts over.
void seal_reset(sdwan_t *clnt);
// A new handshake, replacing one in flight: SINIT out.
void seal_start(sdwan_t *clnt, uint32_t now);
// The AUTH body: the OPEN option list, the password in plain text. Its length.
uint32_t seal_auth_body(const sdwan_t *clnt, uint8_t *out);  // out holds >= SEALED_AUTH_MAX bytes
// What an SDATA taken in DATA carries on to the data path, the echo or the paths: kind
// SEAL_KIND_IP (the packet), SEAL_KIND_ECHORESP (the body, 8 bytes or more) or SEAL_KIND_PROBEACK
// (the probe's body, SEALED_PROBE_LEN bytes); kind 0 for nothing.
struct seal_rx {
    uint8_t kind;
    uint8_t *body;
    uint32_t len;
};
// A datagram from the peer's address in a sealed session: SRESP, SDATA (decrypted in place), and
// any other type counted as unknown, the legacy ones among them.
auth_outcome seal_recv(sdwan_t *clnt, uint8_t *buf, uint32_t len, uint32_t now, seal_rx *rx);
// In DATA, each tick before anything is sent: true when the sending keys are SEAL_KEY_MAX_SEC old
// (counted and logged); the session is then to start over.
bool seal_keys_expired(sdwan_t *clnt, uint32_t now);
// In DATA, each tick: the rekey when due, the retirement of replaced keys.
void seal_tick_data(sdwan_t *clnt, uint32_t now);
// One message of a kind other than IP under the keys that send: false when none do.
bool seal_send(sdwan_t *clnt, uint8_t kind, const uint8_t *body, uint32_t len);
// The same through socket fd (an uplink's probe): false also when the send was refused.
bool seal_send_on(sdwan_t *clnt, int fd, uint8_t kind, const uint8_t *body, uint32_t len);
// The IP packet of len bytes at dgram + SEAL_HEAD sealed in place, its tag behind it: the
// datagram's length, or 0 when there are no keys to send with.
uint32_t seal_wrap(sdwan_t *clnt, uint8_t *dgram, uint32_t len);
// A train of count IP packets, packet i at dgrams + i * stride + SEAL_HEAD, seglen bytes each
// but the last (lastlen), stride at least SEAL_OVERHEAD + seglen: each sealed where it lies, its
// own counter, its tag behind it. How many were sealed from the first on (0 with no keys to send
// with): those are the datagrams to send.
uint32_t seal_train(sdwan_t *clnt, uint8_t *dgrams, uint32_t stride, uint32_t count, uint32_t seglen,
                    uint32_t lastlen);
