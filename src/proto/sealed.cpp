#include "proto/sealed.h"

#include <cerrno>
#include <cstring>

#include "bytes.h"

uint32_t sinit_encode(const sinit_msg_t &m, std::span<uint8_t> out)
{
    if (out.size() < SEALED_SINIT_LEN)
        return 0;
    uint8_t *b = out.data();
    b[0] = SDWAN_SINIT;
    b[1] = SEALED_VERSION;
    st_le16(b + offsetof(sinit_msg_t, reserved), 0);
    st_le32(b + offsetof(sinit_msg_t, sender), m.sender);
    memcpy(b + offsetof(sinit_msg_t, noise), m.noise, SEALED_HS_LEN);
    return SEALED_SINIT_LEN;
}

int sinit_decode(std::span<const uint8_t> in, sinit_msg_t *out)
{
    *out = sinit_msg_t{};
    if (in.size() != SEALED_SINIT_LEN)
        return -EBADMSG;
    const uint8_t *b = in.data();
    out->type = b[0];
    out->version = b[1];
    out->reserved = ld_le16(b + offsetof(sinit_msg_t, reserved));
    out->sender = ld_le32(b + offsetof(sinit_msg_t, sender));
    memcpy(out->noise, b + offsetof(sinit_msg_t, noise), SEALED_HS_LEN);
    if (out->type != SDWAN_SINIT || out->version != SEALED_VERSION || out->reserved != 0 || out->sender == 0)
        return -EPROTO;
    return 0;
}

uint32_t sresp_encode(const sresp_msg_t &m, std::span<uint8_t> out)
{
    if (out.size() < SEALED_SRESP_LEN)
        return 0;
    uint8_t *b = out.data();
    b[0] = SDWAN_SRESP;
    b[1] = SEALED_VERSION;
    st_le16(b + offsetof(sresp_msg_t, reserved), 0);
    st_le32(b + offsetof(sresp_msg_t, receiver), m.receiver);
    st_le32(b + offsetof(sresp_msg_t, sender), m.sender);
    memcpy(b + offsetof(sresp_msg_t, noise), m.noise, SEALED_HS_LEN);
    return SEALED_SRESP_LEN;
}

int sresp_decode(std::span<const uint8_t> in, sresp_msg_t *out)
{
    *out = sresp_msg_t{};
    if (in.size() != SEALED_SRESP_LEN)
        return -EBADMSG;
    const uint8_t *b = in.data();
    out->type = b[0];
    out->version = b[1];
    out->reserved = ld_le16(b + offsetof(sresp_msg_t, reserved));
    out->receiver = ld_le32(b + offsetof(sresp_msg_t, receiver));
    out->sender = ld_le32(b + offsetof(sresp_msg_t, sender));
    memcpy(out->noise, b + offsetof(sresp_msg_t, noise), SEALED_HS_LEN);
    if (out->type != SDWAN_SRESP || out->version != SEALED_VERSION || out->reserved != 0 || out->receiver == 0 ||
        out->sender == 0)
        return -EPROTO;
    return 0;
}

uint32_t sdata_encode(const sdata_hdr_t &h, std::span<uint8_t> out)
{
    if (out.size() < SEALED_HDR_LEN)
        return 0;
    uint8_t *b = out.data();
    b[0] = SDWAN_SDATA;
    b[1] = 0;
    st_le16(b + offsetof(sdata_hdr_t, reserved2), 0);
    st_le32(b + offsetof(sdata_hdr_t, receiver), h.receiver);
    st_le64(b + offsetof(sdata_hdr_t, counter), h.counter);
    return SEALED_HDR_LEN;
}

int sdata_decode(std::span<const uint8_t> in, sdata_hdr_t *out)
{
    *out = sdata_hdr_t{};
    if (in.size() < SEALED_OVERHEAD)
        return -EBADMSG;
    const uint8_t *b = in.data();
    out->type = b[0];
    out->reserved1 = b[1];
    out->reserved2 = ld_le16(b + offsetof(sdata_hdr_t, reserved2));
    out->receiver = ld_le32(b + offsetof(sdata_hdr_t, receiver));
    out->counter = ld_le64(b + offsetof(sdata_hdr_t, counter));
    if (out->type != SDWAN_SDATA || out->reserved1 != 0 || out->reserved2 != 0)
        return -EPROTO;
    return 0;
}
