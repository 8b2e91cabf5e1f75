#include "client/auth.h"

#include <cstring>

#include "bytes.h"
#include "client/ctlsend.h"
#include "client/rlog.h"
#include "core/event.h"
#include "net/ipaddr.h"
#include "proto/aes.h"
#include "proto/open.h"
#include "proto/openack.h"
#include "proto/packet.h"
#include "base/log.h"

void sdwan_openack_store(sdwan_t *clnt, const openack_msg_t &m)
{
    if ((m.have & OPENACK_HAVE_MTU) != 0)
        clnt->sess.peermtu = m.mtu;
    if ((m.have & OPENACK_HAVE_IP) != 0)
        clnt->sess.ip = m.ip;
    if ((m.have & OPENACK_HAVE_GATEWAY) != 0)
        clnt->sess.gateway = m.gateway;
    if ((m.have & OPENACK_HAVE_DNS) != 0) {
        clnt->sess.dns0 = m.dns0;
        clnt->sess.dns1 = m.dns1;
    }
    if ((m.have & OPENACK_HAVE_ENCRYPT) != 0)
        clnt->sess.peerencrypt = m.encrypt;
    if ((m.have & OPENACK_HAVE_DUPPKT) != 0)
        clnt->sess.peerduppkt = m.duppkt;
}

namespace {
// A control packet is taken only in the state that expects it, and only with a good signature;
// the lines name the state expected and the refused packet (refused_kind: its rate limit).
bool control_ok(sdwan_t *clnt, uint8_t want, const char *want_name, const uint8_t *buf, uint32_t blen,
                uint8_t refused_kind, const char *refused)
{
    if (clnt->sess.state != want) {
        if (sdwclnt_rlog_allow(clnt, SDWAN_RL_STATE))
            log_help("Invalid state: expected %s, but got %d\n", want_name, clnt->sess.state);
        return false;
    }
    if (sdwan_pktverify(buf, blen) == 0) {
        clnt->count.stats.panic_pktverify++;
        if (sdwclnt_rlog_allow(clnt, refused_kind))
            log_help("%s\n", refused);
        return false;
    }
    return true;
}

// The CLOSE names another session, or a forger does: an echo request (at most one per
// SDWAN_PROBE_GAP_USEC, one at a time) asks the peer, and the tick ends the session only when no
// answer comes in time. A peer that lost the session answers it with a CLOSE of the right sid.
auth_outcome close_probe(sdwan_t *clnt)
{
    const uint64_t now = os_monousec();
    if (clnt->sess.probe_pending || now - clnt->sess.probe_mono < SDWAN_PROBE_GAP_USEC)
        return auth_outcome::none;
    clnt->sess.probe_pending = true;
    clnt->sess.probe_mono = now;
    return auth_outcome::probe;
}
}  // namespace

int sdwan_aes_init(sdwan_t *clnt) { return sdwan_aes_open(&clnt->io.aes); }

void sdwan_aes_fini(sdwan_t *clnt) { sdwan_aes_close(&clnt->io.aes); }

void sdwan_set_key(sdwan_t *clnt) { sdwan_key_derive(clnt->conf.user, clnt->conf.pass, &clnt->sess.key); }

uint32_t parse_ip(const uint8_t *p) { return ld_raw32(p + 2); }

uint32_t parse_ip_part(const uint8_t *p) { return ld_raw32(p); }

uint32_t sdwan_pktopen(const sdwan_t *clnt, uint8_t *buf)
{
    open_msg_t m{};
    m.hdr = {SDWAN_OPEN, clnt->conf.encrypt, 0, 0};
    m.have = OPEN_HAVE_MTU;
    m.mtu = clnt->conf.mtu;
    m.userlen = static_cast<uint8_t>(strnlen(clnt->conf.user, SDWAN_USER_MAX));
    memcpy(m.user, clnt->conf.user, m.userlen);
    uint8_t key[16];
    sdwan_passkey(clnt->conf.user, m.userlen, key);
    // Only the first 16 password bytes travel; the field is zero past the password's end.
    // A record whose context was never opened (a tool's) pays for one of its own, closed again.
    sdwan_aes_t once{};
    sdwan_aes_t *aes = clnt->io.aes.ctx != nullptr ? &clnt->io.aes : &once;
    const int rc = sdwan_aes_run(aes, false, key, reinterpret_cast<const uint8_t *>(clnt->conf.pass), m.passblk);
    sdwan_aes_close(&once);
    if (rc != 0)
        return 0;
    if (clnt->conf.encrypt != 0) {
        m.have |= OPEN_HAVE_ENCRYPT;
        m.encrypt = clnt->conf.encrypt;
    }
    if (clnt->conf.pipeid != 0) {
        // Bit 0 of the pipe index lands on bit 15; its higher bits fall off the 16-bit field.
        m.have |= OPEN_HAVE_PIPE;
        m.pipe = static_cast<uint16_t>((uint32_t{clnt->conf.pipeidx} << 15) | clnt->conf.pipeid);
    }
    return open_encode(m, {buf, SDWAN_OPEN_MAX});
}

void sdwan_sendOPEN(sdwan_t *clnt)
{
    uint8_t buf[SDWAN_CTRLBUF];
    const uint32_t len = sdwan_pktopen(clnt, buf);
    if (len == 0) {
        // The cipher could not run: nothing whole can go out; the tick tries again.
        log_help("OPEN not sent: the password could not be enciphered\n");
        return;
    }
    sdwan_sock_send(clnt, buf, len);
}

void sdwan_established(sdwan_t *clnt, uint16_t sid, uint32_t token)
{
    clnt->sess.state = SDWANCLNT_DATA;
    clnt->sess.sid = sid;
    clnt->sess.token = token;
    clnt->sess.ltime = static_cast<uint32_t>(os_monosec());
    clnt->sess.lastdial = static_cast<uint32_t>(os_cursec());  // a date for the status file only
    clnt->sess.probe_pending = false;
    clnt->count.stats.openackcnt++;
    log_help("sdwan DATA ESTABLISHED session %u\n", static_cast<unsigned>(clnt->sess.sid));

    char ip[16];
    char gw[16];
    const char *ips = ip2strv4(clnt->sess.ip, ip, sizeof ip);
    const char *gws = ip2strv4(clnt->sess.gateway, gw, sizeof gw);
    log_help("Using IP: %s, Gateway: %s, MTU: %u, Encrypt: %c\n", ips != nullptr ? ips : "",
             gws != nullptr ? gws : "", static_cast<unsigned>(clnt->sess.peermtu),
             clnt->sess.peerencrypt != 0 ? 'Y' : 'N');
}

auth_outcome sdwan_onOPENACK(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt)
{
    // The state is tested first: outside AUTH the signature is not even computed.
    // A legacy session that moved to another uplink asked again with an OPEN from there.
    const bool reopen = clnt->sess.state == SDWANCLNT_DATA && clnt->paths.reopen;
    if ((clnt->sess.state != SDWANCLNT_AUTH && !reopen) || sdwan_pktverify(buf, blen) == 0) {
        clnt->count.stats.panic_pktverify++;
        if (sdwclnt_rlog_allow(clnt, SDWAN_RL_OPENACK))
            log_help("Invalid state or packet verification failed\n");
        return auth_outcome::none;
    }
    // The options before a faulty one are stored all the same.
    openack_msg_t m;
    const int r = openack_decode({buf, blen}, &m);
    sdwan_openack_store(clnt, m);
    if (r != 0) {
        clnt->count.stats.panic_open++;
        return auth_outcome::malformed;
    }

    sdwan_established(clnt, pkt->sid, pkt->token);
    return auth_outcome::established;
}

auth_outcome sdwan_onOPENREJ(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *)
{
    // The OPEN of a legacy session's move refused: the session stays, and asks again each second.
    if (clnt->sess.state == SDWANCLNT_DATA && clnt->paths.reopen) {
        if (sdwan_pktverify(buf, blen) != 0)
            clnt->count.stats.openrejcnt++;
        return auth_outcome::none;
    }
    if (!control_ok(clnt, SDWANCLNT_AUTH, "SDWANCLNT_AUTH", buf, blen, SDWAN_RL_OPENREJ,
                    "Packet verification failed for OPENREJ"))
        return auth_outcome::none;
    log_help("SDWAN peer authentication REJECTED\n");
    clnt->count.stats.openrejcnt++;
    return auth_outcome::rejected;
}

auth_outcome sdwan_onCLOSE(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt)
{
    if (!control_ok(clnt, SDWANCLNT_DATA, "SDWANCLNT_DATA", buf, blen, SDWAN_RL_VERIFY, "Packet verification failed"))
        return auth_outcome::none;
    // The peer closes with the session's own sid and token, also when it answers an echo of a
    // session it no longer holds; anyone else's CLOSE only makes the client ask.
    if (pkt->sid != clnt->sess.sid || pkt->token != clnt->sess.token) {
        clnt->count.close_mismatch++;
        if (sdwclnt_rlog_allow(clnt, SDWAN_RL_CLOSE))
            log_help("CLOSE for another session (sid %u, token %u): asking the peer\n", unsigned{pkt->sid},
                     unsigned{pkt->token});
        return close_probe(clnt);
    }
    log_help("Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state\n");
    return auth_outcome::closed;
}
