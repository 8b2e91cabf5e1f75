// The OPENACK option walker: any datagram, its header signed before the call so that
// sdwan_onOPENACK gets past verification and walks the option list, with the client
// authenticating. The outcome is checked against a walk written here from the option rules:
// a well-formed list establishes the session with the values of its options, a broken one
// tells the session to start over.
#include <cstring>

#include "bytes.h"
#include "client/auth.h"
#include "fuzz_client.h"
#include "fuzz_support.h"
#include "proto/packet.h"

namespace {
// What a well-formed OPENACK leaves in the record: the last value of each option.
struct expect_t {
    bool ok;
    uint16_t mtu;
    uint32_t ip, gateway, dns0, dns1;
    uint8_t encrypt, duppkt;
};

// Known options have one length; any other option is at least its two head bytes; nothing
// may run past the datagram.
expect_t reference_walk(const uint8_t *b, uint32_t len, const sdwan_t &start)
{
    expect_t e{true,          start.sess.peermtu, start.sess.ip,          start.sess.gateway,
               start.sess.dns0, start.sess.dns1,    start.sess.peerencrypt, start.sess.peerduppkt};
    for (uint32_t at = SDWAN_CTRL_LEN; at < len;) {
        if (len - at < 2)
            return expect_t{};
        const uint8_t t = b[at], l = b[at + 1];
        uint8_t need = 0;
        switch (t) {
        case SDWAN_OPT_MTU: need = 4; break;
        case SDWAN_OPT_IP: need = 6; break;
        case SDWAN_OPT_GATEWAY: need = 6; break;
        case SDWAN_OPT_DNS: need = 10; break;
        case SDWAN_OPT_ENCRYPT: need = 3; break;
        case SDWAN_OPT_DUPPKT: need = 3; break;
        default: break;
        }
        if ((need != 0 && l != need) || l < 2 || l > len - at)
            return expect_t{};
        const uint8_t *v = b + at + 2;
        switch (t) {
        case SDWAN_OPT_MTU: e.mtu = ld_be16(v); break;
        case SDWAN_OPT_IP: e.ip = ld_raw32(v); break;
        case SDWAN_OPT_GATEWAY: e.gateway = ld_raw32(v); break;
        case SDWAN_OPT_DNS:
            e.dns0 = ld_raw32(v);
            e.dns1 = ld_raw32(v + 4);
            break;
        case SDWAN_OPT_ENCRYPT: e.encrypt = v[0]; break;
        case SDWAN_OPT_DUPPKT: e.duppkt = v[0]; break;
        default: break;
        }
        at += l;
    }
    return e;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_client_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_bytes buf(data, size, SDWAN_PKTBUF);
    const uint32_t len = buf.size();
    if (len >= SDWAN_CTRL_LEN)
        sdwan_pktsign(buf.data());

    fuzz_client_opts o{};
    o.state = SDWANCLNT_AUTH;
    o.datalog = true;
    sdwan_t *c = fuzz_client_begin(o);
    const sdwan_t start = *c;

    uint8_t head[SDWAN_HDR_LEN] = {};
    memcpy(head, buf.data(), len < SDWAN_HDR_LEN ? len : SDWAN_HDR_LEN);
    const sdwan_pkthdr_t hdr = sdwan_hdr_load(head);
    const auth_outcome out = sdwan_onOPENACK(c, buf.data(), len, &hdr);

    if (len < SDWAN_CTRL_LEN) {
        // Too short to carry a signature: refused before any option is looked at.
        FUZZ_CHECK(out == auth_outcome::none && c->sess.state == SDWANCLNT_AUTH);
        FUZZ_CHECK(c->count.stats.panic_pktverify == start.count.stats.panic_pktverify + 1);
    } else {
        const expect_t e = reference_walk(buf.data(), len, start);
        if (e.ok) {
            FUZZ_CHECK(out == auth_outcome::established && c->sess.state == SDWANCLNT_DATA);
            FUZZ_CHECK(c->sess.sid == hdr.sid && c->sess.token == hdr.token);
            FUZZ_CHECK(c->sess.peermtu == e.mtu && c->sess.ip == e.ip && c->sess.gateway == e.gateway);
            FUZZ_CHECK(c->sess.dns0 == e.dns0 && c->sess.dns1 == e.dns1);
            FUZZ_CHECK(c->sess.peerencrypt == e.encrypt && c->sess.peerduppkt == e.duppkt);
            FUZZ_CHECK(c->count.stats.openackcnt == start.count.stats.openackcnt + 1);
        } else {
            // Refused whole: the session is told to start over, and the record is not in DATA.
            FUZZ_CHECK(out == auth_outcome::malformed && c->sess.state == SDWANCLNT_AUTH);
            FUZZ_CHECK(c->count.stats.panic_open == start.count.stats.panic_open + 1);
            FUZZ_CHECK(c->count.stats.openackcnt == start.count.stats.openackcnt);
        }
    }
    fuzz_client_end();
    return 0;
}
