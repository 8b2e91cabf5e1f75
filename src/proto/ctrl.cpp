#include "proto/ctrl.h"

#include <cerrno>

#include "proto/packet.h"

uint32_t ctrl_encode(const ctrl_msg_t &m, std::span<uint8_t> out)
{
    if (out.size() < SDWAN_CTRL_LEN)
        return 0;
    sdwan_hdr_store(out.data(), &m.hdr);
    sdwan_pktsign(out.data());
    return SDWAN_CTRL_LEN;
}

int ctrl_decode(std::span<const uint8_t> in, ctrl_msg_t *out)
{
    *out = ctrl_msg_t{};
    if (in.size() < SDWAN_CTRL_LEN)
        return -EBADMSG;
    out->hdr = sdwan_hdr_load(in.data());
    return 0;
}
