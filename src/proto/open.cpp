#include "proto/open.h"

#include <cerrno>
#include <cstring>

#include "proto/packet.h"

uint32_t open_encode(const open_msg_t &m, std::span<uint8_t> out)
{
    // An empty name is written as it stands: the client sends what it was configured with, and it
    // is the peer's decoder that refuses it.
    if (m.userlen > SDWAN_USER_MAX)
        return 0;
    const uint32_t len = SDWAN_CTRL_LEN + ((m.have & OPEN_HAVE_MTU) != 0 ? SDWAN_OPTLEN_MTU : 0) + SDWAN_OPTLEN_HEAD +
                         m.userlen + SDWAN_OPTLEN_PASS + ((m.have & OPEN_HAVE_ENCRYPT) != 0 ? SDWAN_OPTLEN_ENCRYPT : 0) +
                         ((m.have & OPEN_HAVE_PIPE) != 0 ? SDWAN_OPTLEN_PIPE : 0);
    if (out.size() < len)
        return 0;
    uint8_t *buf = out.data();
    sdwan_hdr_store(buf, &m.hdr);
    uint8_t *p = sdwan_pktsign(buf);
    if ((m.have & OPEN_HAVE_MTU) != 0)
        p = sdwan_opt_be16(p, SDWAN_OPT_MTU, m.mtu);
    memcpy(sdwan_opt_head(p, SDWAN_OPT_USER, m.userlen), m.user, m.userlen);
    p += SDWAN_OPTLEN_HEAD + m.userlen;
    memcpy(sdwan_opt_head(p, SDWAN_OPT_PASS, SDWAN_PASSBLK_LEN), m.passblk, SDWAN_PASSBLK_LEN);
    p += SDWAN_OPTLEN_PASS;
    if ((m.have & OPEN_HAVE_ENCRYPT) != 0)
        p = sdwan_opt_u8(p, SDWAN_OPT_ENCRYPT, m.encrypt);
    if ((m.have & OPEN_HAVE_PIPE) != 0)
        p = sdwan_opt_be16(p, SDWAN_OPT_PIPE, m.pipe);
    return static_cast<uint32_t>(p - buf);
}

int open_opt_extra(const sdwan_opt_t &opt, uint8_t *have, uint8_t *encrypt, uint16_t *mtu, uint16_t *pipe)
{
    const uint8_t *v = opt.p + SDWAN_OPTLEN_HEAD;
    switch (opt.type) {
    case SDWAN_OPT_MTU:
        if (opt.len != SDWAN_OPTLEN_MTU)
            return -EPROTO;
        *mtu = ld_be16(v);
        *have |= OPEN_HAVE_MTU;
        return 1;
    case SDWAN_OPT_PIPE:
        if (opt.len != SDWAN_OPTLEN_PIPE)
            return -EPROTO;
        *pipe = ld_be16(v);
        *have |= OPEN_HAVE_PIPE;
        return 1;
    case SDWAN_OPT_ENCRYPT:
        if (opt.len != SDWAN_OPTLEN_ENCRYPT)
            return -EPROTO;
        *encrypt = v[0];
        *have |= OPEN_HAVE_ENCRYPT;
        return 1;
    default:
        return 0;  // not one of them: passed over, as the peer always has
    }
}

int open_decode(std::span<const uint8_t> in, open_msg_t *out)
{
    *out = open_msg_t{};
    if (in.size() < SDWAN_CTRL_LEN)
        return -EBADMSG;
    out->hdr = sdwan_hdr_load(in.data());
    bool user = false;
    bool pass = false;
    uint32_t pos = SDWAN_CTRL_LEN;
    sdwan_opt_t opt;
    int r;
    while ((r = sdwan_opt_next(in.data(), static_cast<uint32_t>(in.size()), &pos, &opt)) > 0) {
        const uint8_t *v = opt.p + SDWAN_OPTLEN_HEAD;
        switch (opt.type) {
        case SDWAN_OPT_USER:
            if (opt.len <= SDWAN_OPTLEN_HEAD || opt.len > SDWAN_OPTLEN_HEAD + SDWAN_USER_MAX)
                return -EPROTO;
            out->userlen = static_cast<uint8_t>(opt.len - SDWAN_OPTLEN_HEAD);
            // A repeated user option leaves the last name alone in the record, nothing of the
            // longer one before it.
            memset(out->user, 0, sizeof out->user);
            memcpy(out->user, v, out->userlen);
            user = true;
            break;
        case SDWAN_OPT_PASS:
            if (opt.len != SDWAN_OPTLEN_PASS)
                return -EPROTO;
            memcpy(out->passblk, v, SDWAN_PASSBLK_LEN);
            pass = true;
            break;
        default:
            if (open_opt_extra(opt, &out->have, &out->encrypt, &out->mtu, &out->pipe) < 0)
                return -EPROTO;
            break;
        }
    }
    if (r < 0)
        return -EBADMSG;
    return user && pass ? 0 : -ENODATA;
}
