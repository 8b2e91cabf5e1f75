#include "proto/sealed.h"

#include <cerrno>
#include <cstring>

#include "bytes.h"
#include "proto/open.h"

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

uint32_t auth_encode(const auth_msg_t &m, std::span<uint8_t> out)
{
    if (m.userlen == 0 || m.userlen > SDWAN_USER_MAX || m.passlen == 0 || m.passlen > SDWAN_PASS_MAX)
        return 0;
    const uint32_t len = ((m.have & OPEN_HAVE_MTU) != 0 ? SDWAN_OPTLEN_MTU : 0) + 2 * SDWAN_OPTLEN_HEAD + m.userlen +
                         m.passlen + ((m.have & OPEN_HAVE_ENCRYPT) != 0 ? SDWAN_OPTLEN_ENCRYPT : 0) +
                         ((m.have & OPEN_HAVE_PIPE) != 0 ? SDWAN_OPTLEN_PIPE : 0);
    if (out.size() < len)
        return 0;
    uint8_t *p = out.data();
    if ((m.have & OPEN_HAVE_MTU) != 0)
        p = sdwan_opt_be16(p, SDWAN_OPT_MTU, m.mtu);
    memcpy(sdwan_opt_head(p, SDWAN_OPT_USER, m.userlen), m.user, m.userlen);
    p += SDWAN_OPTLEN_HEAD + m.userlen;
    memcpy(sdwan_opt_head(p, SDWAN_OPT_PASS, m.passlen), m.pass, m.passlen);
    p += SDWAN_OPTLEN_HEAD + m.passlen;
    if ((m.have & OPEN_HAVE_ENCRYPT) != 0)
        p = sdwan_opt_u8(p, SDWAN_OPT_ENCRYPT, m.encrypt);
    if ((m.have & OPEN_HAVE_PIPE) != 0)
        p = sdwan_opt_be16(p, SDWAN_OPT_PIPE, m.pipe);
    return static_cast<uint32_t>(p - out.data());
}

int auth_decode(std::span<const uint8_t> in, auth_msg_t *out)
{
    *out = auth_msg_t{};
    uint32_t pos = 0;
    sdwan_opt_t opt;
    int r;
    while ((r = sdwan_opt_next(in.data(), static_cast<uint32_t>(in.size()), &pos, &opt)) > 0) {
        const uint8_t *v = opt.p + SDWAN_OPTLEN_HEAD;
        const uint8_t vlen = static_cast<uint8_t>(opt.len - SDWAN_OPTLEN_HEAD);
        switch (opt.type) {
        case SDWAN_OPT_USER:
        case SDWAN_OPT_PASS: {
            if (vlen == 0 || vlen > SDWAN_USER_MAX)
                return -EPROTO;
            const bool user = opt.type == SDWAN_OPT_USER;
            uint8_t *dst = user ? out->user : out->pass;
            // A repeated option leaves its last value alone, nothing of a longer one before it.
            memset(dst, 0, SDWAN_USER_MAX);
            memcpy(dst, v, vlen);
            (user ? out->userlen : out->passlen) = vlen;
            break;
        }
        default:
            if (open_opt_extra(opt, &out->have, &out->encrypt, &out->mtu, &out->pipe) < 0)
                return -EPROTO;
            break;
        }
    }
    if (r < 0)
        return -EBADMSG;
    return out->userlen != 0 && out->passlen != 0 ? 0 : -ENODATA;
}

// The OPENACK codec works on whole control packets: the body is framed behind a header's room.
uint32_t authack_encode(const openack_msg_t &m, std::span<uint8_t> out)
{
    uint8_t buf[SDWAN_OPENACK_MAX];
    const uint32_t n = openack_encode(m, buf);
    if (n < SDWAN_CTRL_LEN || out.size() < n - SDWAN_CTRL_LEN)
        return 0;
    memcpy(out.data(), buf + SDWAN_CTRL_LEN, n - SDWAN_CTRL_LEN);
    return n - SDWAN_CTRL_LEN;
}

int authack_decode(std::span<const uint8_t> in, openack_msg_t *out)
{
    uint8_t buf[SDWAN_CTRL_LEN + 255];
    if (in.size() > sizeof buf - SDWAN_CTRL_LEN) {
        *out = openack_msg_t{};
        return -EBADMSG;
    }
    memset(buf, 0, SDWAN_CTRL_LEN);
    if (!in.empty())
        memcpy(buf + SDWAN_CTRL_LEN, in.data(), in.size());
    return openack_decode(std::span<const uint8_t>(buf, SDWAN_CTRL_LEN + in.size()), out);
}

uint32_t probe_encode(const probe_msg_t &m, std::span<uint8_t> out)
{
    if (out.size() < SEALED_PROBE_LEN)
        return 0;
    uint8_t *b = out.data();
    b[0] = m.path;
    b[1] = b[2] = b[3] = 0;
    st_le32(b + 4, m.seq);
    st_le64(b + 8, m.sent_us);
    return SEALED_PROBE_LEN;
}

int probe_decode(std::span<const uint8_t> in, probe_msg_t *out)
{
    *out = probe_msg_t{};
    if (in.size() != SEALED_PROBE_LEN)
        return -EBADMSG;
    const uint8_t *b = in.data();
    if (b[1] != 0 || b[2] != 0 || b[3] != 0)
        return -EPROTO;
    out->path = b[0];
    out->seq = ld_le32(b + 4);
    out->sent_us = ld_le64(b + 8);
    return 0;
}
