#include "client/sealed.h"

#include <sys/random.h>

#include <cstring>

#include "bytes.h"
#include "client/ctlsend.h"
#include "client/rlog.h"
#include "core/event.h"
#include "proto/open.h"
#include "base/log.h"

namespace {

static_assert(SEALED_HS_LEN == NOISE_KEY + NOISE_TAG);  // e and a tag over an empty payload

constexpr const char *DROP_NAMES[SEAL_DROP_KINDS] = {"malformed", "unknown index", "bad tag",
                                                     "replayed",  "too old",       "unexpected kind"};

// Dropped and counted; nothing of the session changes, whatever a stranger sends.
auth_outcome drop(sdwan_t *clnt, uint8_t why)
{
    clnt->seal.drops[why]++;
    if (sdwclnt_rlog_allow(clnt, SDWAN_RL_SEALED))
        log_help("SEALED packet dropped: %s\n", DROP_NAMES[why]);
    return auth_outcome::none;
}

void keys_clear(sdwan_sealkeys_t *k)
{
    noise_cipher_clear(&k->send);
    noise_cipher_clear(&k->recv);
    memset(k, 0, sizeof *k);
}

// A random index, nonzero and none of the live keys', so that an SDATA names one key set only.
// The index is no secret (it travels in the clear): where the random source fails, the clock's
// bits stir it, and the keys' strength does not depend on it.
uint32_t fresh_index(const sdwan_seal_t &s)
{
    for (;;) {
        uint32_t v = 0;
        if (getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v))
            v = static_cast<uint32_t>(os_monousec() * 2654435761u);
        if (v != 0 && v != s.cur.mine && v != s.prev.mine && v != s.next.mine)
            return v;
    }
}

// The message (kind byte and body already at pkt + SEAL_HDR, plain bytes in all) sealed in
// place behind its header: the datagram's length, or a negative errno.
int box(sdwan_sealkeys_t *k, uint8_t *pkt, uint32_t plain)
{
    sdata_hdr_t h{};
    h.receiver = k->theirs;
    h.counter = k->send.n;
    (void)sdata_encode(h, {pkt, SEAL_HDR});
    const int n = noise_encrypt(&k->send, {pkt, SEAL_HDR}, {pkt + SEAL_HDR, plain}, {pkt + SEAL_HDR, plain + SEAL_TAG});
    return n < 0 ? n : static_cast<int>(SEAL_HDR) + n;
}

// fd -1: the session's socket.
bool send_on(sdwan_t *clnt, sdwan_sealkeys_t *k, uint8_t kind, const uint8_t *body, uint32_t len, int fd = -1)
{
    uint8_t pkt[SDWAN_CTRLBUF];
    if (!k->live || len + SEAL_OVERHEAD > sizeof pkt)
        return false;
    pkt[SEAL_HDR] = kind;
    if (len != 0)
        memcpy(pkt + SEAL_HEAD, body, len);
    const int n = box(k, pkt, len + 1);
    if (n < 0)
        return false;
    if (fd >= 0)
        return sdwan_sock_send_on(clnt, fd, pkt, static_cast<uint32_t>(n));
    sdwan_sock_send(clnt, pkt, static_cast<uint32_t>(n));
    return true;
}

sdwan_sealkeys_t *keys_of(sdwan_seal_t &s, uint32_t idx)
{
    for (sdwan_sealkeys_t *k : {&s.cur, &s.next, &s.prev})
        if (k->live && k->mine == idx)
            return k;
    return nullptr;
}

// next becomes the sending keys; those it replaces are still taken from the peer for a while.
void promote(sdwan_seal_t &s, uint32_t now)
{
    keys_clear(&s.prev);
    if (s.cur.live) {
        s.prev = s.cur;
        s.prev.born = now;
    }
    s.cur = s.next;
    keys_clear(&s.next);
    s.rekey_at = now + SEAL_REKEY_SEC;
}

auth_outcome on_authack(sdwan_t *clnt, const uint8_t *body, uint32_t blen, uint32_t now)
{
    sdwan_seal_t &s = clnt->seal;
    if (clnt->sess.state == SDWANCLNT_DATA) {
        // A rekey: the address and routes stay; only the keys move.
        promote(s, now);
        s.rekeys++;
        log_help("SEALED keys renewed\n");
        return auth_outcome::none;
    }
    // As an OPENACK's: the options before a faulty one are stored all the same.
    openack_msg_t m;
    const int r = authack_decode({body, blen}, &m);
    sdwan_openack_store(clnt, m);
    if (r != 0) {
        clnt->count.stats.panic_open++;
        return auth_outcome::malformed;
    }
    promote(s, now);
    sdwan_established(clnt, static_cast<uint16_t>(s.cur.theirs & 0xffff), 0);
    return auth_outcome::established;
}

auth_outcome on_sresp(sdwan_t *clnt, const uint8_t *buf, uint32_t len, uint32_t now)
{
    sdwan_seal_t &s = clnt->seal;
    sresp_msg_t m;
    if (sresp_decode({buf, len}, &m) != 0)
        return drop(clnt, SEAL_DROP_MALFORMED);
    const uint32_t rx = m.receiver;
    const uint32_t peer = m.sender;
    if (s.hs_idx == 0 || rx != s.hs_idx)
        return drop(clnt, SEAL_DROP_INDEX);
    // Read on a copy: a refused message wipes the state it is read on, and a forged answer must
    // not end the handshake the real one is still coming for.
    noise_handshake trial = s.hs;
    uint8_t payload[NOISE_TAG];
    const int r = noise_handshake_read(&trial, m.noise, payload);
    if (r != 0) {
        noise_handshake_clear(&trial);
        s.hs_failed++;
        if (sdwclnt_rlog_allow(clnt, SDWAN_RL_SEALED))
            log_help("SEALED handshake refused: the answer does not decrypt under peerkey\n");
        return auth_outcome::none;
    }
    keys_clear(&s.next);
    (void)noise_handshake_split(&trial, &s.next.send, &s.next.recv);
    noise_handshake_clear(&trial);
    noise_handshake_clear(&s.hs);
    s.hs_idx = 0;
    s.next.mine = rx;
    s.next.theirs = peer;
    s.next.born = now;
    s.next.live = true;
    replay_init(&s.next.win);
    s.handshakes++;
    clnt->sess.ltime = now;
    // The credentials travel only under these keys; a rekey shows them again.
    log_help("AUTH start\n");
    uint8_t body[SEALED_AUTH_MAX];
    const uint32_t blen = seal_auth_body(clnt, body);
    (void)send_on(clnt, &s.next, SEAL_KIND_AUTH, body, blen);
    explicit_bzero(body, sizeof body);
    return auth_outcome::none;
}

auth_outcome on_sdata(sdwan_t *clnt, uint8_t *buf, uint32_t len, uint32_t now, seal_rx *rx)
{
    sdwan_seal_t &s = clnt->seal;
    sdata_hdr_t h;
    if (sdata_decode({buf, len}, &h) != 0)
        return drop(clnt, SEAL_DROP_MALFORMED);
    sdwan_sealkeys_t *k = keys_of(s, h.receiver);
    if (h.receiver == 0 || k == nullptr)
        return drop(clnt, SEAL_DROP_INDEX);
    const uint64_t ctr = h.counter;
    switch (replay_check(&k->win, ctr)) {
    case replay_verdict::fresh:
        break;
    case replay_verdict::too_old:
        return drop(clnt, SEAL_DROP_OLD);
    case replay_verdict::seen:
    case replay_verdict::reserved:
        return drop(clnt, SEAL_DROP_REPLAY);
    }
    const int r = noise_decrypt_at(&k->recv, ctr, {buf, SEAL_HDR}, {buf + SEAL_HDR, len - SEAL_HDR},
                                   {buf + SEAL_HDR, len - SEAL_HDR});
    if (r < 1)
        return drop(clnt, SEAL_DROP_TAG);
    (void)replay_commit(&k->win, ctr);
    clnt->sess.ltime = now;
    const uint8_t kind = buf[SEAL_HDR];
    uint8_t *body = buf + SEAL_HEAD;
    const uint32_t blen = static_cast<uint32_t>(r) - 1;
    const bool data = clnt->sess.state == SDWANCLNT_DATA;
    switch (kind) {
    case SEAL_KIND_IP:
        if (!data)
            return drop(clnt, SEAL_DROP_KIND);
        *rx = {kind, body, blen};
        return auth_outcome::none;
    case SEAL_KIND_AUTHACK:
        if (k != &s.next)
            return drop(clnt, SEAL_DROP_KIND);
        return on_authack(clnt, body, blen, now);
    case SEAL_KIND_AUTHREJ:
        if (k != &s.next)
            return drop(clnt, SEAL_DROP_KIND);
        log_help("SDWAN peer authentication REJECTED\n");
        clnt->count.stats.openrejcnt++;
        return auth_outcome::rejected;
    case SEAL_KIND_ECHORESP:
        if (!data || blen < 8)
            return drop(clnt, SEAL_DROP_KIND);
        *rx = {kind, body, blen};
        return auth_outcome::none;
    case SEAL_KIND_PROBEACK:
        if (!data || blen != SEALED_PROBE_LEN)
            return drop(clnt, SEAL_DROP_KIND);
        *rx = {kind, body, blen};
        return auth_outcome::none;
    case SEAL_KIND_CLOSE:
        if (!data)
            return drop(clnt, SEAL_DROP_KIND);
        // Under the session's keys: no stranger can send it, so no probe asks first.
        log_help("Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state\n");
        return auth_outcome::closed;
    default:
        return drop(clnt, SEAL_DROP_KIND);
    }
}

}  // namespace

void seal_reset(sdwan_t *clnt)
{
    sdwan_seal_t &s = clnt->seal;
    noise_handshake_clear(&s.hs);
    s.hs_idx = 0;
    s.hs_start = 0;
    keys_clear(&s.cur);
    keys_clear(&s.next);
    keys_clear(&s.prev);
    s.rekey_at = 0;
}

void seal_start(sdwan_t *clnt, uint32_t now)
{
    sdwan_seal_t &s = clnt->seal;
    noise_handshake_clear(&s.hs);
    keys_clear(&s.next);
    s.hs_idx = 0;
    sinit_msg_t m{};
    m.sender = fresh_index(s);
    if (noise_handshake_init(&s.hs, &clnt->io.aead, noise_pattern::NK, true, SEALED_PROLOGUE, nullptr, clnt->conf.peerkey) != 0 ||
        noise_handshake_write(&s.hs, {}, m.noise) != static_cast<int>(SEALED_HS_LEN)) {
        // Only a key of small order does this: the tick tries again, and the line says why.
        noise_handshake_clear(&s.hs);
        log_help("SEALED handshake not started: peerkey is not a usable public key\n");
        return;
    }
    uint8_t pkt[SEALED_SINIT_LEN];
    (void)sinit_encode(m, pkt);
    s.hs_idx = m.sender;
    s.hs_start = now;
    log_help("SEALED handshake start\n");
    sdwan_sock_send(clnt, pkt, sizeof pkt);
}

uint32_t seal_auth_body(const sdwan_t *clnt, uint8_t *out)
{
    auth_msg_t m{};
    m.have = OPEN_HAVE_MTU;
    m.mtu = clnt->conf.mtu;
    m.userlen = static_cast<uint8_t>(strnlen(clnt->conf.user, SDWAN_USER_MAX));
    memcpy(m.user, clnt->conf.user, m.userlen);
    m.passlen = static_cast<uint8_t>(strnlen(clnt->conf.pass, SDWAN_PASS_MAX));
    memcpy(m.pass, clnt->conf.pass, m.passlen);
    if (clnt->conf.encrypt != 0) {
        m.have |= OPEN_HAVE_ENCRYPT;
        m.encrypt = clnt->conf.encrypt;
    }
    if (clnt->conf.pipeid != 0) {
        // As OPEN carries it: bit 0 of the pipe index on bit 15.
        m.have |= OPEN_HAVE_PIPE;
        m.pipe = static_cast<uint16_t>((uint32_t{clnt->conf.pipeidx} << 15) | clnt->conf.pipeid);
    }
    const uint32_t n = auth_encode(m, {out, SEALED_AUTH_MAX});
    explicit_bzero(&m, sizeof m);  // the password
    return n;
}

auth_outcome seal_recv(sdwan_t *clnt, uint8_t *buf, uint32_t len, uint32_t now, seal_rx *rx)
{
    *rx = {};
    switch (buf[0]) {
    case SDWAN_SRESP:
        return on_sresp(clnt, buf, len, now);
    case SDWAN_SDATA:
        return on_sdata(clnt, buf, len, now, rx);
    default:
        // The legacy types among them: their signature needs no key, and a sealed session
        // never takes one.
        clnt->count.stats.panic_pkttype++;
        if (sdwclnt_rlog_allow(clnt, SDWAN_RL_PKTTYPE))
            log_help("Unknown packet type: %u\n", static_cast<unsigned>(buf[0]));
        return auth_outcome::none;
    }
}

bool seal_keys_expired(sdwan_t *clnt, uint32_t now)
{
    sdwan_seal_t &s = clnt->seal;
    if (!s.cur.live || now - s.cur.born < SEAL_KEY_MAX_SEC)
        return false;
    s.expired++;
    log_help("SEALED keys expired: no rekey for %u s, starting over\n", SEAL_KEY_MAX_SEC);
    return true;
}

void seal_tick_data(sdwan_t *clnt, uint32_t now)
{
    sdwan_seal_t &s = clnt->seal;
    if (s.prev.live && now - s.prev.born >= SEAL_PREV_SEC)
        keys_clear(&s.prev);
    const bool hs_stale = (s.hs_idx != 0 && now - s.hs_start > SEAL_HS_SEC) ||
                          (s.next.live && now - s.next.born > SEAL_HS_SEC);
    const bool due = s.hs_idx == 0 && !s.next.live &&
                     (static_cast<int32_t>(now - s.rekey_at) >= 0 || s.cur.send.n >= SEAL_SEND_LIMIT);
    if (hs_stale || due)
        seal_start(clnt, now);
}

bool seal_send(sdwan_t *clnt, uint8_t kind, const uint8_t *body, uint32_t len)
{
    return send_on(clnt, &clnt->seal.cur, kind, body, len);
}

bool seal_send_on(sdwan_t *clnt, int fd, uint8_t kind, const uint8_t *body, uint32_t len)
{
    return send_on(clnt, &clnt->seal.cur, kind, body, len, fd);
}

uint32_t seal_wrap(sdwan_t *clnt, uint8_t *dgram, uint32_t len)
{
    if (!clnt->seal.cur.live)
        return 0;
    dgram[SEAL_HDR] = SEAL_KIND_IP;
    const int n = box(&clnt->seal.cur, dgram, len + 1);
    return n < 0 ? 0 : static_cast<uint32_t>(n);
}

uint32_t seal_train(sdwan_t *clnt, uint8_t *dgrams, uint32_t stride, uint32_t count, uint32_t seglen,
                    uint32_t lastlen)
{
    sdwan_sealkeys_t *k = &clnt->seal.cur;
    if (!k->live)
        return 0;
    for (uint32_t i = 0; i < count; i++) {
        uint8_t *const d = dgrams + i * stride;
        d[SEAL_HDR] = SEAL_KIND_IP;
        if (box(k, d, (i + 1 == count ? lastlen : seglen) + 1) < 0)
            return i;
    }
    return count;
}
