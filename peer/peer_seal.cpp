// The server's side of the sealed session: SINIT answered with SRESP under admission limits,
// SDATA opened with the keys its index names, AUTH judged as an OPEN is (same users, same
// addresses, same session records), and packets both ways under the session's keys. Framing is
// proto/sealed's, cryptography seal/'s; what is here is the policy.
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "net/ip4.h"
#include "net/ipaddr.h"
#include "peer/peer.h"
#include "proto/open.h"
#include "proto/openack.h"
#include "proto/sealed.h"

namespace {

constexpr uint32_t SLOT_MASK = (1u << PEER_SEAL_SLOT_BITS) - 1;
static_assert(2 * PEER_SESS_MAX + PEER_SEAL_PENDING <= SLOT_MASK + 1);

uint32_t slot_of(const peer_t *p, const peer_keys_t *k) { return static_cast<uint32_t>(k - p->keys); }

void keys_release(peer_t *p, peer_keys_t *k)
{
    if (k->state == PEER_KEYS_FREE)
        return;
    if (k->state == PEER_KEYS_PENDING)
        p->npending--;
    seal_wipe(k, sizeof *k);
    k->next = p->keys_free;
    p->keys_free = slot_of(p, k);
}

peer_keys_t *keys_take(peer_t *p)
{
    if (p->keys_free == PEER_NONE)
        return nullptr;
    peer_keys_t *k = &p->keys[p->keys_free];
    p->keys_free = k->next;
    uint8_t r[4];
    seal_random(r, sizeof r);
    // Random bits above the slot, never all zero, so that no index is 0 and a stale one misses.
    uint32_t high = ld_le32(r) >> PEER_SEAL_SLOT_BITS;
    if (high == 0)
        high = 1;
    k->index = (high << PEER_SEAL_SLOT_BITS) | slot_of(p, k);
    k->sess = PEER_NONE;
    return k;
}

peer_keys_t *keys_find(peer_t *p, uint32_t index)
{
    const uint32_t slot = index & SLOT_MASK;
    if (slot >= p->nkeys || p->keys[slot].state == PEER_KEYS_FREE || p->keys[slot].index != index)
        return nullptr;
    peer_keys_t *k = &p->keys[slot];
    // Past its time but not yet swept by the tick: already gone for the client; and keys past
    // their age are not used between their last second and the tick that closes their session.
    if (k->state != PEER_KEYS_LIVE && static_cast<int32_t>(p->now - k->until) >= 0)
        return nullptr;
    if (k->state == PEER_KEYS_LIVE && p->now - k->born >= PEER_SEAL_KEY_MAX_SEC)
        return nullptr;
    return k;
}

// The global handshake budget, in thousandths of a token: refilled by the milliseconds gone since
// the last look, so that it never lets a second's worth through at once.
uint32_t global_tokens(peer_t *p)
{
    constexpr uint32_t FULL = PEER_SINIT_GLOBAL_BURST * 1000;
    const uint64_t ms = p->now_ms - p->sinit_ms;
    p->sinit_ms = p->now_ms;
    const uint64_t milli = p->sinit_milli + (ms < FULL ? ms * PEER_SINIT_GLOBAL : uint64_t{FULL});
    p->sinit_milli = static_cast<uint32_t>(milli < FULL ? milli : FULL);
    return p->sinit_milli / 1000;
}

// Whether an SINIT from ipbe may cost an X25519 now: a token of its source's bucket and one of
// the global budget, neither taken unless both are there. Source buckets: one per slot (a
// newcomer takes over a slot with a full bucket: the global budget bounds what rotating sources
// gain), refilled by whole seconds.
bool sinit_admit(peer_t *p, uint32_t ipbe)
{
    if (global_tokens(p) == 0)
        return false;
    uint32_t h = ipbe * 2654435761u;
    peer_srclim_t &b = p->srclim[(h >> 20) % PEER_SINIT_SLOTS];
    if (b.ipbe != ipbe) {
        b.ipbe = ipbe;
        b.last = p->now;
        b.tokens = PEER_SINIT_BURST;
    } else {
        const uint64_t add = static_cast<uint64_t>(p->now - b.last) * PEER_SINIT_RATE;
        b.tokens = static_cast<uint32_t>(b.tokens + add > PEER_SINIT_BURST ? PEER_SINIT_BURST : b.tokens + add);
        b.last = p->now;
    }
    if (b.tokens == 0)
        return false;
    b.tokens--;
    p->sinit_milli -= 1000;
    return true;
}

// Seals kind | body into a send slot for the client behind k; counted on the row of that source
// of session s when there is one.
void seal_send(peer_t *p, peer_keys_t *k, uint32_t ipbe, uint16_t port, sealed_kind kind, const uint8_t *body,
               uint32_t blen, peer_sess_t *s = nullptr)
{
    peer_txslot_t *slot = peer_tx_slot(p);
    uint8_t *b = slot->buf;
    sdata_encode({SDWAN_SDATA, 0, 0, k->remote, k->send.n}, {b, SEALED_HDR_LEN});
    b[SEALED_HDR_LEN] = static_cast<uint8_t>(kind);
    if (blen != 0)
        memcpy(b + SEALED_HDR_LEN + 1, body, blen);
    const int n = noise_encrypt(&k->send, {b, SEALED_HDR_LEN}, {b + SEALED_HDR_LEN, blen + 1},
                                {b + SEALED_HDR_LEN, SDWAN_PKTBUF - SEALED_HDR_LEN});
    if (n < 0)
        return;  // nonces spent: nothing leaves unsealed; the client's rekey is long overdue
    slot->ipbe = ipbe;
    slot->port = port;
    slot->len = static_cast<uint16_t>(SEALED_HDR_LEN + static_cast<uint32_t>(n));
    peer_tx_commit(p);
    if (s != nullptr)
        peer_src_tx(p, s, ipbe, port, slot->len);
}

void send_rej(peer_t *p, peer_keys_t *k, sealed_rej why)
{
    const uint8_t b = static_cast<uint8_t>(why);
    seal_send(p, k, k->ipbe, k->port, sealed_kind::authrej, &b, 1);
    p->st.seal_rej++;
}

void send_ack(peer_t *p, peer_keys_t *k, peer_sess_t *s)
{
    openack_msg_t m{};
    m.have = OPENACK_HAVE_IP | OPENACK_HAVE_GATEWAY | OPENACK_HAVE_MTU;
    m.ip = s->addr;
    m.gateway = peer_gateway(s->addr);
    // The sealed overhead comes out of the inner packet, so the outer one fits where DATA did.
    m.mtu = static_cast<uint16_t>(p->cfg.mtu > PEER_MTU_MIN + SEALED_MTU_COST ? p->cfg.mtu - SEALED_MTU_COST
                                                                              : PEER_MTU_MIN);
    if (p->cfg.dns0 != 0) {
        m.have |= OPENACK_HAVE_DNS;
        m.dns0 = p->cfg.dns0;
        m.dns1 = p->cfg.dns1;
    }
    uint8_t body[SEALED_AUTHACK_MAX];
    const uint32_t n = authack_encode(m, body);
    seal_send(p, k, s->ipbe, s->port, sealed_kind::authack, body, n, s);
}

void log_rej(peer_t *p, const peer_keys_t *k, const char *name, peer_ev_t why)
{
    peer_note_reject(p, k->ipbe, k->port, name, why);
}

// The password in constant time over the whole field, its length included.
bool password_ok(const peer_user_t &u, const auth_msg_t &m)
{
    uint8_t want[SDWAN_PASS_MAX + 1] = {}, got[SDWAN_PASS_MAX + 1] = {};
    memcpy(want, u.pass, SDWAN_PASS_MAX);
    memcpy(got, m.pass, m.passlen);
    want[SDWAN_PASS_MAX] = static_cast<uint8_t>(strnlen(u.pass, SDWAN_PASS_MAX + 1));
    got[SDWAN_PASS_MAX] = m.passlen;
    const bool ok = seal_equal(want, got, sizeof want);
    seal_wipe(want, sizeof want);
    seal_wipe(got, sizeof got);
    return ok;
}

void on_auth(peer_t *p, peer_keys_t *k, const uint8_t *body, uint32_t blen)
{
    auth_msg_t m;
    if (auth_decode({body, blen}, &m) != 0) {
        p->st.seal_malformed++;
        return;
    }
    char name[SDWAN_USER_MAX + 1];
    peer_safe_name(m.user, m.userlen, name);
    if (k->state != PEER_KEYS_PENDING) {
        // The client missed our AUTHACK: the same answer, nothing judged again, counted as a
        // repeated OPEN is. Keys a rekey replaced authenticate nothing any more.
        if (k->state == PEER_KEYS_LIVE && k->sess != PEER_NONE) {
            send_ack(p, k, &p->sess[k->sess]);
            p->st.open_again++;
        } else {
            p->st.seal_kind++;
        }
        return;
    }
    const int ui = peer_user_find(&p->cfg, m.user, m.userlen);
    const bool ok = ui >= 0 && password_ok(p->cfg.users[ui], m);
    seal_wipe(m.pass, sizeof m.pass);
    if (!ok) {
        send_rej(p, k, sealed_rej::credentials);
        log_rej(p, k, name, ui < 0 ? PEER_EV_UNKNOWN : PEER_EV_PASSWORD);
        keys_release(p, k);
        return;
    }
    peer_sess_t *s = peer_sess_of_user(p, ui);
    if (s != nullptr && s->sealed) {
        // The same user under new keys: a rekey. The session, its id, address and counters stay;
        // the keys replaced open what is still in flight for a while. Fresh ephemeral keys and
        // the user's credentials prove the client as much from a new source (NAT rebinding,
        // another uplink) as from the old one, and an AUTH cannot be replayed past the window,
        // so the session follows it there; but not over another session heard from lately.
        const bool moves = s->ipbe != k->ipbe || s->port != k->port;
        peer_sess_t *src = moves ? peer_sess_find(p, k->ipbe, k->port) : nullptr;
        if (src != nullptr && peer_sess_held(p, src)) {
            send_rej(p, k, sealed_rej::live);
            log_rej(p, k, name, PEER_EV_SRCHELD);
            keys_release(p, k);
            return;
        }
        if (src != nullptr) {
            peer_sess_log(p, src, "replaced");
            p->st.sess_replaced++;
            peer_sess_free(p, src);
        }
        const uint32_t idx = static_cast<uint32_t>(s - p->sess);
        if (s->oldkeys != PEER_NONE)
            keys_release(p, &p->keys[s->oldkeys]);
        peer_keys_t *cur = &p->keys[s->keys];
        cur->state = PEER_KEYS_RETIRING;
        cur->until = p->now + PEER_SEAL_RETIRE_SEC;
        s->oldkeys = s->keys;
        s->keys = slot_of(p, k);
        p->npending--;
        k->state = PEER_KEYS_LIVE;
        k->sess = idx;
        s->lastsec = p->now;
        p->st.seal_rekeys++;
        p->st.seal_auth++;
        if (moves) {
            peer_sess_log_move(p, s, k->ipbe, k->port);
            peer_sess_rehome(p, s, k->ipbe, k->port);
            p->st.seal_moved++;
        } else {
            peer_sess_log(p, s, "rekeyed");
        }
        send_ack(p, k, s);
        return;
    }
    if (s != nullptr) {
        // A legacy session of the user: given up only as a new OPEN would make it.
        if (peer_sess_held(p, s)) {
            send_rej(p, k, sealed_rej::live);
            log_rej(p, k, name, PEER_EV_HELD);
            keys_release(p, k);
            return;
        }
        peer_sess_log(p, s, "replaced");
        p->st.sess_replaced++;
    }
    peer_sess_t *src = peer_sess_find(p, k->ipbe, k->port);
    if (src != nullptr && src != s) {
        if (peer_sess_held(p, src)) {
            send_rej(p, k, sealed_rej::live);
            log_rej(p, k, name, PEER_EV_SRCHELD);
            keys_release(p, k);
            return;
        }
        peer_sess_log(p, src, "replaced");
        p->st.sess_replaced++;
        peer_sess_free(p, src);
    }
    uint32_t addr;
    if (s != nullptr) {
        addr = s->addr;
        peer_sess_free(p, s);
    } else {
        addr = peer_addr_pick(p, ui);
    }
    peer_sess_t *n = (addr != 0 && p->live < p->nsess) ? peer_sess_new(p, k->ipbe, k->port, ui, addr) : nullptr;
    if (n == nullptr) {
        send_rej(p, k, sealed_rej::no_address);
        log_rej(p, k, name, addr == 0 ? PEER_EV_NOADDR : PEER_EV_FULL);
        keys_release(p, k);
        return;
    }
    n->sealed = 1;
    n->keys = slot_of(p, k);
    n->oldkeys = PEER_NONE;
    p->npending--;
    k->state = PEER_KEYS_LIVE;
    k->sess = static_cast<uint32_t>(n - p->sess);
    send_ack(p, k, n);
    p->st.open_ok++;
    p->st.seal_auth++;
    char a[16], t[16];
    log_help("session %u accepted: user %s from %s:%u, address %s, sealed\n", unsigned{n->sid}, name,
             ip2strv4(k->ipbe, a, sizeof a), unsigned{k->port}, ip2strv4(n->addr, t, sizeof t));
}

// An authenticated datagram of session s, the newest its current keys carried, came from a new
// source: the client's uplink or its NAT binding changed, and the session goes there as after
// a rekey from there. Not over another session heard from lately: a source address is easy to
// share behind a NAT, and a client with two sessions must not pull one onto the other.
void follow(peer_t *p, peer_sess_t *s, uint32_t ipbe, uint16_t port)
{
    peer_sess_t *src = peer_sess_find(p, ipbe, port);
    if (src != nullptr && peer_sess_held(p, src)) {
        p->st.seal_srcheld++;
        return;
    }
    if (src != nullptr) {
        peer_sess_log(p, src, "replaced");
        p->st.sess_replaced++;
        peer_sess_free(p, src);
    }
    peer_sess_log_move(p, s, ipbe, port);
    peer_sess_rehome(p, s, ipbe, port);
    p->st.seal_moved++;
}

}  // namespace

int peer_seal_init(peer_t *p) { return p->cfg.sealed ? peer_seal_table(p) : 0; }

int peer_seal_table(peer_t *p)
{
    const uint32_t n = 2 * p->nsess + PEER_SEAL_PENDING;
    if (p->keys == nullptr || p->nkeys != n) {
        peer_seal_free(p);
        p->keys = static_cast<peer_keys_t *>(calloc(n, sizeof(peer_keys_t)));
        if (p->keys == nullptr) {
            log_help("peer: no memory for %u sealed key sets\n", n);
            return -1;
        }
        p->nkeys = n;
    }
    seal_wipe(p->keys, sizeof(peer_keys_t) * n);
    for (uint32_t i = 0; i < n; i++)
        p->keys[i].next = i + 1 < n ? i + 1 : PEER_NONE;
    p->keys_free = 0;
    p->npending = 0;
    p->sinit_ms = p->now_ms;
    p->sinit_milli = PEER_SINIT_GLOBAL_BURST * 1000;
    memset(p->srclim, 0, sizeof p->srclim);
    return 0;
}

void peer_seal_free(peer_t *p)
{
    if (p->keys != nullptr)
        seal_wipe(p->keys, sizeof(peer_keys_t) * p->nkeys);
    free(p->keys);
    p->keys = nullptr;
    p->nkeys = 0;
    p->keys_free = PEER_NONE;
}

void peer_on_sinit(peer_t *p, uint32_t ipbe, uint16_t port, const uint8_t *buf, uint32_t len)
{
    if (!p->cfg.sealed) {
        p->st.drop_type++;
        return;
    }
    sinit_msg_t m;
    if (sinit_decode({buf, len}, &m) != 0) {
        p->st.seal_malformed++;
        return;
    }
    // Every refusal before the first X25519, the cheapest first; a full pool takes no token.
    if (p->npending >= PEER_SEAL_PENDING) {
        p->st.seal_pendfull++;
        return;
    }
    if (!sinit_admit(p, ipbe)) {
        p->st.seal_ratelimit++;
        return;
    }
    noise_handshake hs;
    sresp_msg_t r{};
    uint8_t none[1];
    int rc = noise_handshake_init(&hs, &p->aead, noise_pattern::NK, false, SEALED_PROLOGUE, p->cfg.privkey, nullptr);
    if (rc == 0)
        rc = noise_handshake_read(&hs, {m.noise, SEALED_HS_LEN}, {none, 0});
    if (rc == 0) {
        noise_handshake_generate_ephemeral(&hs);
        rc = noise_handshake_write(&hs, {}, {r.noise, SEALED_HS_LEN});
    }
    peer_keys_t *k = rc >= 0 ? keys_take(p) : nullptr;
    if (rc < 0 || k == nullptr) {
        noise_handshake_clear(&hs);
        (rc < 0 ? p->st.seal_malformed : p->st.seal_pendfull)++;
        return;
    }
    noise_handshake_split(&hs, &k->send, &k->recv);
    noise_handshake_clear(&hs);
    replay_init(&k->rw);
    k->remote = m.sender;
    k->ipbe = ipbe;
    k->port = port;
    k->state = PEER_KEYS_PENDING;
    k->until = p->now + PEER_SEAL_PENDING_SEC;
    k->born = p->now;
    p->npending++;
    r.receiver = m.sender;
    r.sender = k->index;
    peer_txslot_t *slot = peer_tx_slot(p);
    slot->len = static_cast<uint16_t>(sresp_encode(r, slot->buf));
    slot->ipbe = ipbe;
    slot->port = port;
    peer_tx_commit(p);
    p->st.seal_hs++;
}

void peer_on_sdata(peer_t *p, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len)
{
    if (!p->cfg.sealed) {
        p->st.drop_type++;
        return;
    }
    sdata_hdr_t h;
    if (sdata_decode({buf, len}, &h) != 0) {
        p->st.seal_malformed++;
        return;
    }
    peer_keys_t *k = keys_find(p, h.receiver);
    if (k == nullptr) {
        p->st.seal_unknown++;
        return;
    }
    switch (replay_check(&k->rw, h.counter)) {
    case replay_verdict::fresh:
        break;
    case replay_verdict::seen:
        p->st.seal_replay++;
        return;
    default:
        p->st.seal_old++;
        return;
    }
    uint8_t *sealed = buf + SEALED_HDR_LEN;
    const int n = noise_decrypt_at(&k->recv, h.counter, {buf, SEALED_HDR_LEN}, {sealed, len - SEALED_HDR_LEN},
                                   {sealed, len - SEALED_HDR_LEN});
    if (n < 1) {
        p->st.seal_badtag++;
        return;
    }
    // Whether this counter is beyond every one these keys took before: read before the commit.
    const bool newest = !k->rw.started || h.counter > k->rw.newest;
    replay_commit(&k->rw, h.counter);
    const sealed_kind kind = static_cast<sealed_kind>(sealed[0]);
    uint8_t *body = sealed + 1;
    const uint32_t blen = static_cast<uint32_t>(n) - 1;
    if (kind == sealed_kind::auth) {
        // The session lives where its AUTH came from, which proved it holds the keys.
        if (k->state == PEER_KEYS_PENDING) {
            k->ipbe = ipbe;
            k->port = port;
        }
        on_auth(p, k, body, blen);
        return;
    }
    peer_sess_t *s = k->sess != PEER_NONE ? &p->sess[k->sess] : nullptr;
    if (s == nullptr) {
        // Before its AUTH a handshake carries nothing else; a CLOSE ends it.
        if (kind == sealed_kind::close)
            keys_release(p, k);
        else
            p->st.seal_kind++;
        return;
    }
    s->lastsec = p->now;
    peer_src_rx(p, s, ipbe, port, len);
    if (kind == sealed_kind::probe) {
        // Measures one uplink of the client: answered where it came from, the session left where it is.
        probe_msg_t m;
        if (probe_decode({body, blen}, &m) != 0) {
            p->st.seal_malformed++;
            return;
        }
        seal_send(p, &p->keys[s->keys], ipbe, port, sealed_kind::probeack, body, SEALED_PROBE_LEN, s);
        peer_src_of(p, s, ipbe, port)->probes++;
        p->st.seal_probes++;
        return;
    }
    // A CLOSE ends the session wherever it came from: nothing to follow.
    if ((ipbe != s->ipbe || port != s->port) && newest && k == &p->keys[s->keys] && kind != sealed_kind::close)
        follow(p, s, ipbe, port);
    switch (kind) {
    case sealed_kind::ip: {
        // A session speaks only from the address it was given, as with DATA.
        const ip4_view ip({body, blen});
        if (!ip.ok() || ip.src() != s->addr) {
            p->st.drop_badip++;
            return;
        }
        peer_tun_put(p, s, body, blen);
        break;
    }
    case sealed_kind::echoreq: {
        if (blen < 8) {
            p->st.drop_short++;
            return;
        }
        const uint32_t back = blen < SDWAN_ECHOBODY_LEN ? blen : SDWAN_ECHOBODY_LEN;
        seal_send(p, &p->keys[s->keys], s->ipbe, s->port, sealed_kind::echoresp, body, back, s);
        p->st.echo++;
        break;
    }
    case sealed_kind::close:
        peer_sess_log(p, s, "closed by the client");
        p->st.sess_closed++;
        peer_sess_free(p, s);
        break;
    default:
        p->st.seal_kind++;
        break;
    }
}

void peer_seal_tunpkt(peer_t *p, peer_sess_t *s, peer_txslot_t *slot, uint32_t len, uint32_t at)
{
    if (len + SEALED_OVERHEAD > SDWAN_PKTBUF) {
        p->st.drop_tunbad++;
        return;
    }
    // A plain read lands behind a DATA header's room, before its session is known: moved to
    // where the sealed header and kind leave it. A read with the interface's header was put there.
    uint8_t *b = slot->buf;
    if (at != SEALED_HDR_LEN + 1)
        memmove(b + SEALED_HDR_LEN + 1, b + at, len);
    peer_keys_t *k = &p->keys[s->keys];
    sdata_encode({SDWAN_SDATA, 0, 0, k->remote, k->send.n}, {b, SEALED_HDR_LEN});
    b[SEALED_HDR_LEN] = static_cast<uint8_t>(sealed_kind::ip);
    const int n = noise_encrypt(&k->send, {b, SEALED_HDR_LEN}, {b + SEALED_HDR_LEN, len + 1},
                                {b + SEALED_HDR_LEN, SDWAN_PKTBUF - SEALED_HDR_LEN});
    if (n < 0) {
        p->st.tx_drop++;
        return;
    }
    slot->ipbe = s->ipbe;
    slot->port = s->port;
    slot->len = static_cast<uint16_t>(SEALED_HDR_LEN + static_cast<uint32_t>(n));
    peer_tx_commit(p);
    peer_src_tx(p, s, s->ipbe, s->port, slot->len);
    s->txpkts++;
    s->txbytes += len;
    p->txbytes += len;
}

void peer_seal_close(peer_t *p, peer_sess_t *s)
{
    seal_send(p, &p->keys[s->keys], s->ipbe, s->port, sealed_kind::close, nullptr, 0, s);
}

void peer_seal_sess_gone(peer_t *p, peer_sess_t *s)
{
    if (!s->sealed || p->keys == nullptr)
        return;
    keys_release(p, &p->keys[s->keys]);
    if (s->oldkeys != PEER_NONE)
        keys_release(p, &p->keys[s->oldkeys]);
    s->sealed = 0;
}

void peer_seal_tick(peer_t *p)
{
    uint32_t expired = 0;
    for (uint32_t i = 0; i < p->nkeys; i++) {
        peer_keys_t *k = &p->keys[i];
        if (k->state == PEER_KEYS_LIVE && k->sess != PEER_NONE && p->now - k->born >= PEER_SEAL_KEY_MAX_SEC) {
            // No rekey for too long (a client pinning a key we no longer hold, say): the keys
            // are not used again, and nothing more can be said to the client under them.
            peer_sess_t *s = &p->sess[k->sess];
            peer_sess_log_bulk(p, s, "closed, keys expired", &expired);
            p->st.seal_expired++;
            peer_sess_free(p, s);
            continue;
        }
        if ((k->state != PEER_KEYS_PENDING && k->state != PEER_KEYS_RETIRING) ||
            static_cast<int32_t>(p->now - k->until) < 0)
            continue;
        if (k->state == PEER_KEYS_RETIRING && k->sess != PEER_NONE && p->sess[k->sess].oldkeys == i)
            p->sess[k->sess].oldkeys = PEER_NONE;
        keys_release(p, k);
    }
    peer_sess_log_rest(expired, "closed, keys expired");
}
