// ECHOREQ and ECHORESP, one body for both:
//
//   0    header: type 21 (request) or 22 (response), encrypt 0, the session's sid and token
//   8    signature
//   24   tick       u64 little-endian: the client's counter when it built the request
//   32   cur_delay  u32 little-endian: the client's last,
//   36   min_delay  u32 little-endian: smallest
//   40   max_delay  u32 little-endian: and largest delay, in the tick's unit
//
// A request is always 44 bytes (SDWAN_ECHO_LEN). The peer answers a request with its body, the
// delays only when the request carried them: 44 or 32 bytes (SDWAN_ECHORESP_MIN).
#pragma once
#include <cstdint>
#include <span>

#include "sdwan.h"

struct echo_msg_t {
    sdwan_pkthdr_t hdr;
    bool delays;  // the delay figures travel (44 bytes) or not (32)
    uint64_t tick;
    uint32_t cur_delay;
    uint32_t min_delay;
    uint32_t max_delay;
    bool operator==(const echo_msg_t &) const = default;
};

inline constexpr uint32_t ECHO_TICK_AT = SDWAN_CTRL_LEN + offsetof(sdwan_echopkt_t, tick);
inline constexpr uint32_t ECHO_CUR_AT = SDWAN_CTRL_LEN + offsetof(sdwan_echopkt_t, cur_delay);
inline constexpr uint32_t ECHO_MIN_AT = SDWAN_CTRL_LEN + offsetof(sdwan_echopkt_t, min_delay);
inline constexpr uint32_t ECHO_MAX_AT = SDWAN_CTRL_LEN + offsetof(sdwan_echopkt_t, max_delay);
static_assert(ECHO_TICK_AT + 8 == SDWAN_ECHORESP_MIN);
static_assert(ECHO_MAX_AT + 4 == SDWAN_ECHO_LEN);

uint32_t echo_encode(const echo_msg_t &m, std::span<uint8_t> out);  // 44 or 32, or 0
// 0, or -EBADMSG when shorter than the tick's end. 44 bytes or more carry the delays; bytes past
// them are ignored.
int echo_decode(std::span<const uint8_t> in, echo_msg_t *out);
