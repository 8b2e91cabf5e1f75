#include "proto/openack.h"

#include <cerrno>

#include "proto/packet.h"

namespace {
// Each option the record can hold: its type, its one length, its bit, and where its value is.
struct field_t {
    uint8_t type;
    uint8_t len;
    uint8_t bit;
    void (*load)(openack_msg_t *m, const uint8_t *v);
    uint8_t *(*store)(const openack_msg_t &m, uint8_t *p);
};
constexpr field_t FIELDS[] = {
    {SDWAN_OPT_IP, SDWAN_OPTLEN_IP, OPENACK_HAVE_IP, [](openack_msg_t *m, const uint8_t *v) { m->ip = ld_raw32(v); },
     [](const openack_msg_t &m, uint8_t *p) { return sdwan_opt_raw32(p, SDWAN_OPT_IP, m.ip); }},
    {SDWAN_OPT_GATEWAY, SDWAN_OPTLEN_GATEWAY, OPENACK_HAVE_GATEWAY,
     [](openack_msg_t *m, const uint8_t *v) { m->gateway = ld_raw32(v); },
     [](const openack_msg_t &m, uint8_t *p) { return sdwan_opt_raw32(p, SDWAN_OPT_GATEWAY, m.gateway); }},
    {SDWAN_OPT_MTU, SDWAN_OPTLEN_MTU, OPENACK_HAVE_MTU, [](openack_msg_t *m, const uint8_t *v) { m->mtu = ld_be16(v); },
     [](const openack_msg_t &m, uint8_t *p) { return sdwan_opt_be16(p, SDWAN_OPT_MTU, m.mtu); }},
    {SDWAN_OPT_DNS, SDWAN_OPTLEN_DNS, OPENACK_HAVE_DNS,
     [](openack_msg_t *m, const uint8_t *v) {
         m->dns0 = ld_raw32(v);
         m->dns1 = ld_raw32(v + 4);
     },
     [](const openack_msg_t &m, uint8_t *p) {
         uint8_t *v = sdwan_opt_head(p, SDWAN_OPT_DNS, 8);
         st_raw32(v, m.dns0);
         st_raw32(v + 4, m.dns1);
         return v + 8;
     }},
    {SDWAN_OPT_ENCRYPT, SDWAN_OPTLEN_ENCRYPT, OPENACK_HAVE_ENCRYPT,
     [](openack_msg_t *m, const uint8_t *v) { m->encrypt = v[0]; },
     [](const openack_msg_t &m, uint8_t *p) { return sdwan_opt_u8(p, SDWAN_OPT_ENCRYPT, m.encrypt); }},
    {SDWAN_OPT_DUPPKT, SDWAN_OPTLEN_DUPPKT, OPENACK_HAVE_DUPPKT,
     [](openack_msg_t *m, const uint8_t *v) { m->duppkt = v[0]; },
     [](const openack_msg_t &m, uint8_t *p) { return sdwan_opt_u8(p, SDWAN_OPT_DUPPKT, m.duppkt); }},
};
}  // namespace

uint32_t openack_encode(const openack_msg_t &m, std::span<uint8_t> out)
{
    uint32_t len = SDWAN_CTRL_LEN;
    for (const field_t &f : FIELDS)
        len += (m.have & f.bit) != 0 ? f.len : 0;
    if (out.size() < len)
        return 0;
    sdwan_hdr_store(out.data(), &m.hdr);
    uint8_t *p = sdwan_pktsign(out.data());
    for (const field_t &f : FIELDS) {
        if ((m.have & f.bit) != 0)
            p = f.store(m, p);
    }
    return len;
}

int openack_decode(std::span<const uint8_t> in, openack_msg_t *out)
{
    *out = openack_msg_t{};
    if (in.size() < SDWAN_CTRL_LEN)
        return -EBADMSG;
    out->hdr = sdwan_hdr_load(in.data());
    uint32_t pos = SDWAN_CTRL_LEN;
    sdwan_opt_t opt;
    int r;
    while ((r = sdwan_opt_next(in.data(), static_cast<uint32_t>(in.size()), &pos, &opt)) > 0) {
        for (const field_t &f : FIELDS) {
            if (f.type != opt.type)
                continue;
            if (opt.len != f.len)
                return -EPROTO;
            f.load(out, opt.p + SDWAN_OPTLEN_HEAD);
            out->have |= f.bit;
        }
    }
    return r == 0 ? 0 : -EBADMSG;
}
