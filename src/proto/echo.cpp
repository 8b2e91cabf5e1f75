#include "proto/echo.h"

#include <cerrno>

#include "bytes.h"
#include "proto/packet.h"

uint32_t echo_encode(const echo_msg_t &m, std::span<uint8_t> out)
{
    const uint32_t len = m.delays ? SDWAN_ECHO_LEN : SDWAN_ECHORESP_MIN;
    if (out.size() < len)
        return 0;
    uint8_t *buf = out.data();
    sdwan_hdr_store(buf, &m.hdr);
    sdwan_pktsign(buf);
    st_le64(buf + ECHO_TICK_AT, m.tick);
    if (m.delays) {
        st_le32(buf + ECHO_CUR_AT, m.cur_delay);
        st_le32(buf + ECHO_MIN_AT, m.min_delay);
        st_le32(buf + ECHO_MAX_AT, m.max_delay);
    }
    return len;
}

int echo_decode(std::span<const uint8_t> in, echo_msg_t *out)
{
    *out = echo_msg_t{};
    if (in.size() < SDWAN_ECHORESP_MIN)
        return -EBADMSG;
    const uint8_t *buf = in.data();
    out->hdr = sdwan_hdr_load(buf);
    out->tick = ld_le64(buf + ECHO_TICK_AT);
    if (in.size() >= SDWAN_ECHO_LEN) {
        out->delays = true;
        out->cur_delay = ld_le32(buf + ECHO_CUR_AT);
        out->min_delay = ld_le32(buf + ECHO_MIN_AT);
        out->max_delay = ld_le32(buf + ECHO_MAX_AT);
    }
    return 0;
}
