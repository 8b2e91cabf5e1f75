// The server's side of the tunnel protocol: OPEN answered with OPENACK or OPENREJ, ECHOREQ with
// ECHORESP, DATA/EDATA passed to the TUN interface, TUN packets routed to the session that owns
// their destination, CLOSE at shutdown. Header, signature, key, cipher and the messages' codecs
// are the protocol module's (proto/); what is here is the server's policy.
#include <cstring>
#include <openssl/crypto.h>

#include "net/ip4.h"
#include "net/ipaddr.h"
#include "peer/peer.h"
#include "proto/ctrl.h"
#include "proto/echo.h"
#include "proto/open.h"
#include "proto/openack.h"
#include "proto/packet.h"
#include "proto/sealed.h"
#include "base/log.h"

namespace {

// The client enciphers the first 16 password characters, zero padded, with AES-128 under
// MD5(salt | user name), one block and no chaining: undo that and compare in constant time.
bool password_ok(peer_t *p, const peer_user_t &u, const uint8_t blk[16])
{
    uint8_t plain[16];
    if (sdwan_aes_run(&p->aes, true, u.passkey, blk, plain) != 0)
        return false;
    bool ok = CRYPTO_memcmp(plain, u.passblk, 16) == 0;
    OPENSSL_cleanse(plain, sizeof plain);
    return ok;
}

void queue_ctrl(peer_t *p, uint32_t ipbe, uint16_t port, const uint8_t *pkt, uint32_t len)
{
    peer_txslot_t *slot = peer_tx_slot(p);
    memcpy(slot->buf, pkt, len);
    slot->ipbe = ipbe;
    slot->port = port;
    slot->len = static_cast<uint16_t>(len);
    peer_tx_commit(p);
}

void reject(peer_t *p, uint32_t ipbe, uint16_t port, const char *name, peer_ev_t why)
{
    uint8_t pkt[SDWAN_CTRL_LEN];
    uint32_t n = peer_pktopenrej(pkt);
    queue_ctrl(p, ipbe, port, pkt, n);
    p->st.open_rej++;
    peer_note_reject(p, ipbe, port, name, why);
}

void send_ack(peer_t *p, peer_sess_t *s)
{
    uint8_t pkt[SDWAN_OPENACK_MAX];
    uint32_t n = peer_pktopenack(p, s, pkt);
    queue_ctrl(p, s->ipbe, s->port, pkt, n);
    peer_src_tx(p, s, s->ipbe, s->port, n);
}

// The tick back, with the delay figures when the request carried them: never longer than the
// request, so an answer sent to a source that is not the session's own amplifies nothing.
void echo_answer(peer_t *p, peer_sess_t *s, uint32_t ipbe, uint16_t port, const uint8_t *buf, uint32_t len)
{
    echo_msg_t m;
    echo_decode({buf, len}, &m);  // cannot fail: signed_ok proved the tick is there
    m.hdr = {SDWAN_ECHORESP, 0, s->sid, s->token};
    peer_txslot_t *slot = peer_tx_slot(p);
    slot->ipbe = ipbe;
    slot->port = port;
    slot->len = static_cast<uint16_t>(echo_encode(m, slot->buf));
    peer_tx_commit(p);
    peer_src_tx(p, s, ipbe, port, slot->len);
    p->st.echo++;
}

// sid and token must be those of the sender's session; a datagram that passes keeps it alive.
bool session_token_ok(peer_t *p, peer_sess_t *s, const sdwan_pkthdr_t &h)
{
    // A sealed session never told anyone its sid and token: nothing unsealed speaks for it.
    if (s->sealed || h.sid != s->sid || h.token != s->token) {
        p->st.drop_token++;
        return false;
    }
    s->lastsec = p->now;
    return true;
}

// A control packet of at least min bytes whose signature holds; otherwise the drop is counted.
bool signed_ok(peer_t *p, const uint8_t *buf, uint32_t len, uint32_t min)
{
    if (len < min) {
        p->st.drop_short++;
        return false;
    }
    if (!sdwan_pktverify(buf, len)) {
        p->st.drop_sig++;
        return false;
    }
    return true;
}

void on_open(peer_t *p, uint32_t ipbe, uint16_t port, const uint8_t *buf, uint32_t len)
{
    if (!signed_ok(p, buf, len, SDWAN_CTRL_LEN))
        return;
    open_msg_t req;
    if (open_decode({buf, len}, &req) != 0) {
        p->st.drop_malformed++;
        return;
    }
    char name[SDWAN_USER_MAX + 1];
    peer_safe_name(req.user, req.userlen, name);
    if (p->cfg.legacy == 0) {
        reject(p, ipbe, port, name, PEER_EV_LEGACY);
        return;
    }
    int ui = peer_user_find(&p->cfg, req.user, req.userlen);
    if (ui < 0) {
        reject(p, ipbe, port, name, PEER_EV_UNKNOWN);
        return;
    }
    if (!password_ok(p, p->cfg.users[ui], req.passblk)) {
        reject(p, ipbe, port, name, PEER_EV_PASSWORD);
        return;
    }

    peer_sess_t *s = peer_sess_find(p, ipbe, port);
    if (s != nullptr && s->user == static_cast<uint32_t>(ui)) {
        // The client missed our OPENACK and asks again from the same socket: the same answer.
        s->lastsec = p->now;
        send_ack(p, s);
        p->st.open_again++;
        if (peer_rlog_allow(p, ipbe, PEER_EV_REPEAT))
            peer_sess_log(p, s, "OPEN repeated");
        return;
    }
    // One session per user: a client that re-opened its socket comes back from a new port, and
    // keeps its tunnel address. But an OPEN is the same bytes every time for a given user, so
    // anyone who captured one can replay it: a session heard from lately stays, and the new
    // socket is told no until the old one has been silent for PEER_HOLD_SEC.
    peer_sess_t *old = peer_sess_of_user(p, ui);
    if (old != nullptr && peer_sess_held(p, old)) {
        reject(p, ipbe, port, name, PEER_EV_HELD);
        return;
    }
    // The same goes for the session at this source, another user's: a source address is as easy
    // to forge as an OPEN is to capture, so another user's OPEN sent with a live client's
    // address and port would otherwise end that client's session at will.
    if (s != nullptr && peer_sess_held(p, s)) {
        reject(p, ipbe, port, name, PEER_EV_SRCHELD);
        return;
    }
    if (s != nullptr) {
        peer_sess_log(p, s, "replaced");
        p->st.sess_replaced++;
        peer_sess_free(p, s);
    }
    uint32_t addr = 0;
    if (old != nullptr) {
        addr = old->addr;
        peer_sess_log(p, old, "replaced");
        p->st.sess_replaced++;
        peer_sess_free(p, old);
    } else {
        addr = peer_addr_pick(p, ui);
    }
    if (p->live >= p->nsess) {
        reject(p, ipbe, port, name, PEER_EV_FULL);
        return;
    }
    if (addr == 0) {
        reject(p, ipbe, port, name, PEER_EV_NOADDR);
        return;
    }
    s = peer_sess_new(p, ipbe, port, ui, addr);
    if (s == nullptr) {
        reject(p, ipbe, port, name, PEER_EV_NOID);
        return;
    }
    s->encrypt = (req.encrypt != 0 && p->cfg.encrypt != 0) ? 1 : 0;
    send_ack(p, s);
    p->st.open_ok++;
    char a[16], t[16];
    log_help("session %u accepted: user %s from %s:%u, address %s, encrypt %u\n", unsigned{s->sid}, name,
             ip2strv4(ipbe, a, sizeof a), unsigned{port}, ip2strv4(s->addr, t, sizeof t), unsigned{s->encrypt});
}

void on_echo(peer_t *p, uint32_t ipbe, uint16_t port, const uint8_t *buf, uint32_t len, const sdwan_pkthdr_t &h)
{
    if (!signed_ok(p, buf, len, SDWAN_ECHORESP_MIN))
        return;
    peer_sess_t *s = peer_sess_find(p, ipbe, port);
    if (s == nullptr) {
        // A client that still believes in a session we do not hold (we restarted, or dropped
        // it), or one whose address changed under it: a CLOSE sends it back to OPEN at once
        // instead of after its 9 s of silence. An echo answer here, even to the session's sid and
        // token, would keep such a client believing while its data goes nowhere; a client
        // measuring another of its uplinks takes the CLOSE as that path's answer.
        uint8_t pkt[SDWAN_CTRL_LEN];
        const uint32_t n = ctrl_encode({{SDWAN_CLOSE, 0, h.sid, h.token}}, pkt);
        queue_ctrl(p, ipbe, port, pkt, n);
        p->st.drop_nosess++;
        return;
    }
    if (!session_token_ok(p, s, h))
        return;
    peer_src_rx(p, s, ipbe, port, len);
    echo_answer(p, s, ipbe, port, buf, len);
}

void on_data(peer_t *p, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len, const sdwan_pkthdr_t &h)
{
    peer_sess_t *s = peer_sess_find(p, ipbe, port);
    if (s == nullptr) {
        p->st.drop_nosess++;
        return;
    }
    if (!session_token_ok(p, s, h))
        return;
    peer_src_rx(p, s, ipbe, port, len);
    if (len <= SDWAN_HDR_LEN) {
        p->st.drop_short++;
        return;
    }
    uint8_t *pkt = buf + SDWAN_HDR_LEN;
    uint32_t plen = len - SDWAN_HDR_LEN;
    if (h.type == SDWAN_EDATA)
        sdwan_encrypt(&p->cfg.users[s->user].key, pkt, static_cast<int>(plen));
    // A session speaks only from the address it was given: anything else would let one client
    // inject traffic in another's name.
    const ip4_view ip({pkt, plen});
    if (!ip.ok() || ip.src() != s->addr) {
        p->st.drop_badip++;
        return;
    }
    peer_tun_put(p, s, pkt, plen);
}

}  // namespace

uint32_t peer_pktopenrej(uint8_t *buf) { return ctrl_encode({{SDWAN_OPENREJ, 0, 0, 0}}, {buf, SDWAN_CTRL_LEN}); }

uint32_t peer_pktopenack(const peer_t *p, const peer_sess_t *s, uint8_t *buf)
{
    openack_msg_t m{};
    m.hdr = {SDWAN_OPENACK, s->encrypt, s->sid, s->token};
    m.have = OPENACK_HAVE_IP | OPENACK_HAVE_GATEWAY | OPENACK_HAVE_MTU;
    m.ip = s->addr;
    m.gateway = peer_gateway(s->addr);
    m.mtu = p->cfg.mtu;
    if (p->cfg.dns0 != 0) {
        m.have |= OPENACK_HAVE_DNS;
        m.dns0 = p->cfg.dns0;
        m.dns1 = p->cfg.dns1;
    }
    if (s->encrypt != 0) {
        m.have |= OPENACK_HAVE_ENCRYPT;
        m.encrypt = s->encrypt;
    }
    return openack_encode(m, {buf, SDWAN_OPENACK_MAX});
}

void peer_send_close(peer_t *p, peer_sess_t *s)
{
    if (s->sealed) {
        peer_seal_close(p, s);
        return;
    }
    uint8_t pkt[SDWAN_CTRL_LEN];
    const uint32_t n = ctrl_encode({{SDWAN_CLOSE, 0, s->sid, s->token}}, pkt);
    queue_ctrl(p, s->ipbe, s->port, pkt, n);
    peer_src_tx(p, s, s->ipbe, s->port, n);
}

void peer_on_datagram(peer_t *p, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len)
{
    p->st.rx_dgrams++;
    if (len < SDWAN_HDR_LEN) {
        p->st.drop_short++;
        return;
    }
    sdwan_pkthdr_t h = sdwan_hdr_load(buf);
    switch (h.type) {
    case SDWAN_DATA:
    case SDWAN_EDATA:
        on_data(p, ipbe, port, buf, len, h);
        break;
    case SDWAN_ECHOREQ:
        on_echo(p, ipbe, port, buf, len, h);
        break;
    case SDWAN_OPEN:
        on_open(p, ipbe, port, buf, len);
        break;
    case SDWAN_SINIT:
        peer_on_sinit(p, ipbe, port, buf, len);
        break;
    case SDWAN_SDATA:
        peer_on_sdata(p, ipbe, port, buf, len);
        break;
    default:
        p->st.drop_type++;
        break;
    }
}

uint32_t peer_tun_room(peer_t *p, uint32_t dst)
{
    const peer_sess_t *s = peer_sess_by_addr(p, dst);
    return s != nullptr && s->sealed ? SEALED_HDR_LEN + 1 : SDWAN_HDR_LEN;
}

void peer_on_tunpkt(peer_t *p, peer_txslot_t *slot, uint32_t len, uint32_t at)
{
    p->st.tun_rx++;
    uint8_t *pkt = slot->buf + at;
    const ip4_view ip({pkt, len});
    if (!ip.ok()) {
        p->st.drop_noroute++;
        return;
    }
    peer_sess_t *s = peer_sess_by_addr(p, ip.dst());
    if (s == nullptr) {
        p->st.drop_noroute++;
        return;
    }
    if (s->sealed) {
        peer_seal_tunpkt(p, s, slot, len, at);
        return;
    }
    if (at != SDWAN_HDR_LEN) {
        memmove(slot->buf + SDWAN_HDR_LEN, pkt, len);
        pkt = slot->buf + SDWAN_HDR_LEN;
    }
    sdwan_pkthdr_t h{s->encrypt != 0 ? SDWAN_EDATA : SDWAN_DATA, s->encrypt, s->sid, s->token};
    sdwan_hdr_store(slot->buf, &h);
    if (s->encrypt != 0)
        sdwan_encrypt(&p->cfg.users[s->user].key, pkt, static_cast<int>(len));
    slot->ipbe = s->ipbe;
    slot->port = s->port;
    slot->len = static_cast<uint16_t>(len + SDWAN_HDR_LEN);
    peer_tx_commit(p);
    peer_src_tx(p, s, s->ipbe, s->port, slot->len);
    s->txpkts++;
    s->txbytes += len;
    p->txbytes += len;
}
