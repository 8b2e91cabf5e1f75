// Option lists of OPEN and OPENACK bodies: type, length of the whole option, value. The framing
// is read and written here; which types an end accepts, and at which lengths, is its own policy.
#pragma once
#include <cstdint>

#include "bytes.h"

// The texts the configuration allows and OPEN carries: at most 31 characters each. Only the first
// SDWAN_PASSBLK_LEN password bytes travel, as one AES block.
inline constexpr uint32_t SDWAN_USER_MAX = 31;
inline constexpr uint32_t SDWAN_PASS_MAX = 31;
inline constexpr uint32_t SDWAN_PASSBLK_LEN = 16;

// The one length, head included, that each option of a fixed size has wherever it appears. The
// user option is 3 to SDWAN_USER_MAX + 2 bytes; any other type is at least its two head bytes.
inline constexpr uint8_t SDWAN_OPTLEN_HEAD = 2;
inline constexpr uint8_t SDWAN_OPTLEN_PASS = SDWAN_OPTLEN_HEAD + SDWAN_PASSBLK_LEN;
inline constexpr uint8_t SDWAN_OPTLEN_MTU = 4;
inline constexpr uint8_t SDWAN_OPTLEN_IP = 6;
inline constexpr uint8_t SDWAN_OPTLEN_DNS = 10;
inline constexpr uint8_t SDWAN_OPTLEN_GATEWAY = 6;
inline constexpr uint8_t SDWAN_OPTLEN_ENCRYPT = 3;
inline constexpr uint8_t SDWAN_OPTLEN_DUPPKT = 3;
inline constexpr uint8_t SDWAN_OPTLEN_PIPE = 4;

struct sdwan_opt_t {
    uint8_t type;
    uint8_t len;         // the whole option, head included
    const uint8_t *p;    // the option's first byte; the value starts at p + 2
};

// The next option of buf[*pos, len): 1 with opt set and *pos moved past it, 0 at the end of the
// list, -1 when the head or the value would run past len or the length is below 2.
int sdwan_opt_next(const uint8_t *buf, uint32_t len, uint32_t *pos, sdwan_opt_t *opt);

// Writers: each puts one option at p and returns the byte after it. sdwan_opt_head writes the two
// head bytes only and returns where the vlen value bytes go.
inline uint8_t *sdwan_opt_head(uint8_t *p, uint8_t type, uint32_t vlen)
{
    p[0] = type;
    p[1] = static_cast<uint8_t>(vlen + 2);
    return p + 2;
}
inline uint8_t *sdwan_opt_u8(uint8_t *p, uint8_t type, uint8_t v)
{
    *sdwan_opt_head(p, type, 1) = v;
    return p + 3;
}
inline uint8_t *sdwan_opt_be16(uint8_t *p, uint8_t type, uint16_t v)
{
    st_be16(sdwan_opt_head(p, type, 2), v);
    return p + 4;
}
inline uint8_t *sdwan_opt_raw32(uint8_t *p, uint8_t type, uint32_t v)
{
    st_raw32(sdwan_opt_head(p, type, 4), v);
    return p + 6;
}
