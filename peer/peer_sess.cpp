// The session table: an array sized by sessions=, found by the client's (address, port)
// through a chained hash of twice that many heads, by tunnel address through a map over the
// whole pool, and by user through the user's own record, so both directions of the data path
// and every OPEN cost one lookup whatever the number of clients. Free sessions are chained, and
// session ids in use are one bit each: creating a session is O(1) too.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/random.h>

#include "core/event.h"
#include "net/ipaddr.h"
#include "peer/peer.h"
#include "proto/aes.h"
#include "proto/packet.h"
#include "base/log.h"

namespace {

uint32_t sess_hash(const peer_t *p, uint32_t ipbe, uint16_t port)
{
    uint32_t h = (ipbe * 2654435761u) ^ (uint32_t{port} * 40503u);
    h ^= h >> 15;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    return h & p->hmask;
}

uint32_t sess_index(const peer_t *p, const peer_sess_t *s) { return static_cast<uint32_t>(s - p->sess); }

bool sid_used(const peer_t *p, uint16_t sid) { return (p->sidmap[sid >> 3] & (1u << (sid & 7))) != 0; }
void sid_set(peer_t *p, uint16_t sid, bool on)
{
    if (on)
        p->sidmap[sid >> 3] = static_cast<uint8_t>(p->sidmap[sid >> 3] | (1u << (sid & 7)));
    else
        p->sidmap[sid >> 3] = static_cast<uint8_t>(p->sidmap[sid >> 3] & ~(1u << (sid & 7)));
}

// sid and token come from the kernel's random source; a zero sid or token would look like the
// "no session" value of a client record, and two live sessions never share a sid. With at most
// PEER_SESS_MAX of 65535 ids taken, 16 draws all failing is vanishingly rare.
int sess_ids(const peer_t *p, uint16_t *sid, uint32_t *token)
{
    for (int attempt = 0; attempt < 16; attempt++) {
        uint8_t r[6];
        ssize_t n = getrandom(r, sizeof r, 0);
        if (n != static_cast<ssize_t>(sizeof r))
            continue;
        uint16_t s = ld_raw16(r);
        uint32_t t = ld_raw32(r + 2);
        if (s == 0 || t == 0 || sid_used(p, s))
            continue;
        *sid = s;
        *token = t;
        return 0;
    }
    return -1;
}

uint32_t pow2_at_least(uint32_t n)
{
    uint32_t v = 1;
    while (v < n)
        v <<= 1;
    return v;
}

// Takes the session out of its address's hash chain.
void hash_unlink(peer_t *p, const peer_sess_t *s)
{
    const uint32_t idx = sess_index(p, s);
    uint32_t *link = &p->hash[sess_hash(p, s->ipbe, s->port)];
    for (uint32_t guard = 0; *link != PEER_NONE && guard < p->nsess; guard++) {
        if (*link == idx) {
            *link = s->hnext;
            return;
        }
        link = &p->sess[*link].hnext;
    }
}

void tables_free(peer_t *p)
{
    free(p->sess);
    free(p->hash);
    free(p->byaddr);
    free(p->reserved);
    p->sess = nullptr;
    p->hash = nullptr;
    p->byaddr = nullptr;
    p->reserved = nullptr;
    p->nsess = p->naddr = 0;
    p->hmask = 0;
}

}  // namespace

void peer_users_derive(peer_cfg_t *cfg)
{
    for (int i = 0; i < cfg->nusers; i++) {
        peer_user_t &u = cfg->users[i];
        sdwan_passkey(u.name, u.namelen, u.passkey);
        memcpy(u.passblk, u.pass, sizeof u.passblk);
        sdwan_key_derive(u.name, u.pass, &u.key);
    }
}

int peer_setup(peer_t *p)
{
    if (peer_table_init(p) != 0)
        return -1;
    memset(&p->st, 0, sizeof p->st);
    p->rxbytes = p->txbytes = 0;
    p->coal_bytes = 0;
    p->status_errno = 0;
    p->status_written = 0;
    p->ntx = 0;
    // The offloads are the start-up's to choose, once the interface and the socket are open.
    p->gro = p->gso = 0;
    p->vnet = 0;
    vnet_coal_init(&p->coal, p->coal_buf);
    peer_users_derive(&p->cfg);
    if (peer_seal_init(p) != 0)
        return -1;
    // Whether or not privatekey= is set yet: a reload may set it, and nothing may allocate then.
    // Without the contexts libsodium seals: slower, not different.
    (void)aead_open(&p->aead);
    if (sdwan_aes_open(&p->aes) != 0) {
        log_help("peer: AES-128 is not available\n");
        return -1;
    }
    return 0;
}

void peer_teardown(peer_t *p)
{
    sdwan_aes_close(&p->aes);
    aead_close(&p->aead);
    peer_seal_free(p);
    peer_table_free(p);
    peer_cfg_free(&p->cfg);
}

void peer_reserve_fixed(peer_t *p, const peer_cfg_t *list)
{
    memset(p->reserved, 0, p->naddr);
    for (int i = 0; i < list->nusers; i++) {
        uint32_t off = list->users[i].fixed_ip != 0 ? peer_pool_off(&p->cfg, list->users[i].fixed_ip) : UINT32_MAX;
        if (off != UINT32_MAX)
            p->reserved[off] = 1;
    }
}

int peer_table_init(peer_t *p)
{
    const uint32_t nsess = p->cfg.sessions != 0 ? p->cfg.sessions : PEER_SESS_DEFAULT;
    const uint32_t naddr = p->cfg.npools * 256;
    const uint32_t hsize = pow2_at_least(nsess * 2);
    // Allocated at start-up only; a second set-up of the same size (the tests, the fuzzers)
    // reuses the tables.
    if (p->sess == nullptr || p->nsess != nsess || p->naddr != naddr || p->hmask != hsize - 1) {
        tables_free(p);
        p->sess = static_cast<peer_sess_t *>(calloc(nsess, sizeof(peer_sess_t)));
        p->hash = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * hsize));
        p->byaddr = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * (naddr != 0 ? naddr : 1)));
        p->reserved = static_cast<uint8_t *>(malloc(naddr != 0 ? naddr : 1));
        if (p->sess == nullptr || p->hash == nullptr || p->byaddr == nullptr || p->reserved == nullptr) {
            tables_free(p);
            log_help("peer: no memory for %u sessions\n", nsess);
            return -1;
        }
        p->nsess = nsess;
        p->naddr = naddr;
        p->hmask = hsize - 1;
    }
    memset(p->sess, 0, sizeof(peer_sess_t) * nsess);
    for (uint32_t i = 0; i < nsess; i++)
        p->sess[i].hnext = i + 1 < nsess ? i + 1 : PEER_NONE;
    p->freehead = 0;
    p->live = 0;
    p->pick = 0;
    memset(p->hash, 0xFF, sizeof(uint32_t) * hsize);
    memset(p->byaddr, 0xFF, sizeof(uint32_t) * naddr);
    memset(p->sidmap, 0, sizeof p->sidmap);
    memset(&p->rlog, 0, sizeof p->rlog);
    for (int i = 0; i < p->cfg.nusers; i++)
        p->cfg.users[i].sess = PEER_NONE;
    peer_reserve_fixed(p, &p->cfg);
    return 0;
}

void peer_table_free(peer_t *p) { tables_free(p); }

peer_sess_t *peer_sess_find(peer_t *p, uint32_t ipbe, uint16_t port)
{
    if (p->hash == nullptr)
        return nullptr;
    for (uint32_t i = p->hash[sess_hash(p, ipbe, port)]; i != PEER_NONE; i = p->sess[i].hnext) {
        peer_sess_t *s = &p->sess[i];
        if (s->ipbe == ipbe && s->port == port)
            return s;
    }
    return nullptr;
}

peer_sess_t *peer_sess_of_user(peer_t *p, int user)
{
    uint32_t i = p->cfg.users[user].sess;
    return i == PEER_NONE ? nullptr : &p->sess[i];
}

peer_sess_t *peer_sess_by_addr(peer_t *p, uint32_t addr)
{
    uint32_t off = peer_pool_off(&p->cfg, addr);
    if (off == UINT32_MAX || p->byaddr == nullptr)
        return nullptr;
    uint32_t i = p->byaddr[off];
    return i == PEER_NONE ? nullptr : &p->sess[i];
}

uint32_t peer_addr_pick(peer_t *p, int user)
{
    uint32_t fixed = p->cfg.users[user].fixed_ip;
    if (fixed != 0) {
        uint32_t off = peer_pool_off(&p->cfg, fixed);
        return off != UINT32_MAX && p->byaddr[off] == PEER_NONE ? fixed : 0;
    }
    // The search goes on from where the last one ended: addresses are taken in order and come
    // back rarely, so a pick costs O(1) on average even with the pool nearly full.
    for (uint32_t n = 0; n < p->naddr; n++) {
        uint32_t off = (p->pick + n) % p->naddr;
        uint32_t host = off & 255;
        // .0 is the network, .1 our own interface, .255 the broadcast, of every /24.
        if (host < 2 || host == 255 || p->byaddr[off] != PEER_NONE || p->reserved[off])
            continue;
        p->pick = (off + 1) % p->naddr;
        uint8_t b[4];
        st_be32(b, ld_be32(reinterpret_cast<const uint8_t *>(&p->cfg.pool)) + off);
        return ld_raw32(b);
    }
    return 0;
}

peer_sess_t *peer_sess_new(peer_t *p, uint32_t ipbe, uint16_t port, int user, uint32_t addr)
{
    uint32_t off = peer_pool_off(&p->cfg, addr);
    if (p->freehead == PEER_NONE || off == UINT32_MAX || p->byaddr[off] != PEER_NONE ||
        p->cfg.users[user].sess != PEER_NONE)
        return nullptr;
    uint16_t sid;
    uint32_t token;
    if (sess_ids(p, &sid, &token) != 0) {
        log_help("peer: no random session id: %s\n", strerror(errno));
        return nullptr;
    }
    const uint32_t idx = p->freehead;
    peer_sess_t *s = &p->sess[idx];
    p->freehead = s->hnext;
    memset(s, 0, sizeof *s);
    s->live = 1;
    s->sid = sid;
    s->token = token;
    s->ipbe = ipbe;
    s->port = port;
    s->user = static_cast<uint32_t>(user);
    s->addr = addr;
    s->lastsec = p->now;
    s->started = static_cast<uint32_t>(os_cursec());
    uint32_t h = sess_hash(p, ipbe, port);
    s->hnext = p->hash[h];
    p->hash[h] = idx;
    p->byaddr[off] = idx;
    p->cfg.users[user].sess = idx;
    sid_set(p, sid, true);
    p->live++;
    return s;
}

peer_src_t *peer_src_of(peer_t *p, peer_sess_t *s, uint32_t ipbe, uint16_t port)
{
    peer_src_t *take = &s->src[0];
    for (peer_src_t &r : s->src) {
        if (r.ipbe == ipbe && r.port == port)
            return &r;
        if (take->ipbe != 0 && (r.ipbe == 0 || static_cast<int32_t>(r.heard - take->heard) < 0))
            take = &r;
    }
    *take = {};
    take->ipbe = ipbe;
    take->port = port;
    take->heard = p->now;
    return take;
}

void peer_src_rx(peer_t *p, peer_sess_t *s, uint32_t ipbe, uint16_t port, uint32_t len)
{
    peer_src_t *r = peer_src_of(p, s, ipbe, port);
    r->heard = p->now;
    r->rxpkts++;
    r->rxbytes += len;
}

void peer_src_tx(peer_t *p, peer_sess_t *s, uint32_t ipbe, uint16_t port, uint32_t len)
{
    peer_src_t *r = peer_src_of(p, s, ipbe, port);
    r->txpkts++;
    r->txbytes += len;
}

void peer_sess_log_move(peer_t *p, peer_sess_t *s, uint32_t ipbe, uint16_t port)
{
    if (static_cast<int32_t>(p->now - s->movelog) < 0) {
        p->st.log_suppressed++;
        return;
    }
    s->movelog = p->now + 1;
    char a[16], b[16];
    log_help("session %u of user %s moved from %s:%u to %s:%u\n", unsigned{s->sid}, p->cfg.users[s->user].name,
             ip2strv4(s->ipbe, a, sizeof a), unsigned{s->port}, ip2strv4(ipbe, b, sizeof b), unsigned{port});
}

void peer_sess_rehome(peer_t *p, peer_sess_t *s, uint32_t ipbe, uint16_t port)
{
    if (!s->live)
        return;
    hash_unlink(p, s);
    s->ipbe = ipbe;
    s->port = port;
    const uint32_t h = sess_hash(p, ipbe, port);
    s->hnext = p->hash[h];
    p->hash[h] = sess_index(p, s);
}

void peer_sess_free(peer_t *p, peer_sess_t *s)
{
    if (!s->live)
        return;
    peer_seal_sess_gone(p, s);
    const uint32_t idx = sess_index(p, s);
    hash_unlink(p, s);
    uint32_t off = peer_pool_off(&p->cfg, s->addr);
    if (off != UINT32_MAX && p->byaddr[off] == idx)
        p->byaddr[off] = PEER_NONE;
    if (s->user < static_cast<uint32_t>(p->cfg.nusers) && p->cfg.users[s->user].sess == idx)
        p->cfg.users[s->user].sess = PEER_NONE;
    sid_set(p, s->sid, false);
    memset(s, 0, sizeof *s);
    s->hnext = p->freehead;
    p->freehead = idx;
    p->live--;
}

int peer_live_count(const peer_t *p) { return static_cast<int>(p->live); }

void peer_sess_log(const peer_t *p, const peer_sess_t *s, const char *what)
{
    char a[16];
    log_help("session %u %s: user %s from %s:%u\n", unsigned{s->sid}, what, p->cfg.users[s->user].name,
             ip2strv4(s->ipbe, a, sizeof a), unsigned{s->port});
}

void peer_sess_log_bulk(const peer_t *p, const peer_sess_t *s, const char *what, uint32_t *n)
{
    if ((*n)++ < PEER_RLOG_LINES)
        peer_sess_log(p, s, what);
}

void peer_sess_log_rest(uint32_t n, const char *what)
{
    if (n > PEER_RLOG_LINES)
        log_help("peer: %u more sessions %s\n", n - PEER_RLOG_LINES, what);
}

void peer_tick(void *arg)
{
    peer_t *p = static_cast<peer_t *>(arg);
    p->now = static_cast<uint32_t>(os_monosec());
    uint32_t dropped = 0;
    for (uint32_t i = 0; i < p->nsess; i++) {
        peer_sess_t &s = p->sess[i];
        if (!s.live)
            continue;
        const uint32_t quiet = p->now - s.lastsec;
        if (quiet <= PEER_SILENCE_SEC)
            continue;
        peer_sess_log_bulk(p, &s, "dropped on silence", &dropped);
        p->st.sess_silent++;
        peer_sess_free(p, &s);
    }
    peer_sess_log_rest(dropped, "dropped on silence");
    peer_seal_tick(p);
    peer_rlog_tick(p);
}

bool peer_sess_held(const peer_t *p, const peer_sess_t *s)
{
    return static_cast<int32_t>(p->now - s->lastsec) < static_cast<int32_t>(PEER_HOLD_SEC);
}
