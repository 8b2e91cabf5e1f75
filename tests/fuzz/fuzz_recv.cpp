// One datagram of any bytes and any length (up to the receive buffer) through the client's
// receive dispatch, in every session state: sdwan_sock_recv_core as the UDP callback calls it,
// or, while the peer's name is being resolved, the DNS answer handler sdwan_parseDNS.
//
// Input: one flag byte, then the datagram.
//   bits 0-2  session state to start from (7: a value that is no state at all)
//   bit 3     the datagram comes from somewhere else than the peer (or the resolver)
//   bit 4     sign the datagram's header, so signed control packets get past verification
//   bit 5     peer configured by name
//   bit 6     host routes to the peer and the resolver held
//   bit 7     enciphered session, per-packet log line off
#include <cstring>

#include "client/dns.h"
#include "client/session.h"
#include "fuzz_client.h"
#include "fuzz_support.h"
#include "proto/packet.h"

namespace {
bool is_signed_type(uint8_t t)
{
    return t == SDWAN_OPENACK || t == SDWAN_OPENREJ || t == SDWAN_CLOSE || t == SDWAN_ECHORESP;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_client_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t flags = data[0];
    const uint8_t state = flags & 7;
    const bool foreign = (flags & 0x08) != 0;
    fuzz_client_opts o{};
    o.state = state;
    o.by_name = (flags & 0x20) != 0 || state == SDWANCLNT_DNS;
    o.host_routes = (flags & 0x40) != 0;
    o.encrypted = (flags & 0x80) != 0;
    o.datalog = (flags & 0x80) == 0;

    fuzz_bytes buf(data + 1, size - 1, SDWAN_PKTBUF);
    const uint32_t len = buf.size();
    if ((flags & 0x10) != 0 && len >= SDWAN_CTRL_LEN)
        sdwan_pktsign(buf.data());
    const bool verified = sdwan_pktverify(buf.data(), len) != 0;
    const uint8_t type = len > 0 ? buf.data()[0] : 0;

    sdwan_t *c = fuzz_client_begin(o);
    sdwan_t before;
    memcpy(&before, c, sizeof before);

    if (state == SDWANCLNT_DNS) {
        const uint32_t from = foreign ? fuzz_client_peerip() : sdwan_resolver_ip();
        const uint32_t answer = sdwan_parse_answer(buf.data(), len);
        sdwan_parseDNS(c, from, SDWAN_DNS_PORT, buf.data(), len);
        if (foreign) {
            FUZZ_CHECK(memcmp(&before, c, sizeof before) == 0);
        } else if (answer != 0) {
            FUZZ_CHECK(c->sess.state == SDWANCLNT_INIT && c->sess.peerip == answer);
        } else {
            FUZZ_CHECK(c->sess.state == SDWANCLNT_DNS && c->sess.peerip == before.sess.peerip);
            FUZZ_CHECK(c->count.stats.panic_dns == before.count.stats.panic_dns + 1);
        }
    } else {
        const uint16_t port = foreign ? static_cast<uint16_t>(fuzz_client_peerport() + 1) : fuzz_client_peerport();
        sdwan_sock_recv_core(c, fuzz_client_peerip(), port, buf.data(), len);
        if (foreign || len == 0) {
            FUZZ_CHECK(memcmp(&before, c, sizeof before) == 0);
        } else {
            FUZZ_CHECK(c->count.stats.sock_rxpkts == before.count.stats.sock_rxpkts + 1);
            FUZZ_CHECK(c->sess.ltime == static_cast<uint32_t>(FUZZ_NOW_MONO_SEC));
            // A control packet that does not carry its signature changes nothing of the session.
            if (is_signed_type(type) && !verified) {
                FUZZ_CHECK(c->sess.state == before.sess.state);
                FUZZ_CHECK(c->sess.sid == before.sess.sid && c->sess.token == before.sess.token);
                FUZZ_CHECK(c->sess.ip == before.sess.ip && c->io.udpsock == before.io.udpsock);
            }
            // Data goes to the TUN device whatever the state; /dev/null takes it all.
            if ((type == SDWAN_DATA || type == SDWAN_EDATA) && len > SDWAN_HDR_LEN)
                FUZZ_CHECK(c->count.stats.tun_txpkts == before.count.stats.tun_txpkts + 1);
        }
    }
    // Whatever happened, the session is in a state the tick knows, or where it was.
    FUZZ_CHECK(c->sess.state == state || (c->sess.state >= SDWANCLNT_DNS && c->sess.state <= SDWANCLNT_CLOSED));
    fuzz_client_end();
    return 0;
}
