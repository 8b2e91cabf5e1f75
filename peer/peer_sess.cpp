// The session table: a fixed array of sessions, found by the client's (address, port) through a
// small chained hash and by tunnel address through the host octet of the /24 pool, so both
// directions of the data path cost one lookup whatever the number of clients.
#include <cerrno>
#include <cstring>
#include <sys/random.h>

#include "core/event.h"
#include "net/ipaddr.h"
#include "peer/peer.h"
#include "proto/aes.h"
#include "proto/packet.h"
#include "shell/log.h"

namespace {

uint8_t sess_hash(uint32_t ipbe, uint16_t port)
{
    uint32_t h = (ipbe * 2654435761u) ^ (uint32_t{port} * 40503u);
    return static_cast<uint8_t>(h >> 24);
}

uint8_t sess_index(const peer_t *p, const peer_sess_t *s) { return static_cast<uint8_t>(s - p->sess); }

// sid and token come from the kernel's random source; a zero sid or token would look like the
// "no session" value of a client record, and two live sessions never share a sid.
int sess_ids(const peer_t *p, uint16_t *sid, uint32_t *token)
{
    for (int attempt = 0; attempt < 16; attempt++) {
        uint8_t r[6];
        ssize_t n = getrandom(r, sizeof r, 0);
        if (n != static_cast<ssize_t>(sizeof r))
            continue;
        uint16_t s = ld_raw16(r);
        uint32_t t = ld_raw32(r + 2);
        if (s == 0 || t == 0)
            continue;
        bool clash = false;
        for (const peer_sess_t &o : p->sess)
            clash = clash || (o.live && o.sid == s);
        if (clash)
            continue;
        *sid = s;
        *token = t;
        return 0;
    }
    return -1;
}

}  // namespace

peer_t _peer;

int peer_setup(peer_t *p)
{
    memset(p->sess, 0, sizeof p->sess);
    for (peer_sess_t &s : p->sess)
        s.hnext = PEER_NONE;
    memset(p->hash, PEER_NONE, sizeof p->hash);
    memset(p->byhost, PEER_NONE, sizeof p->byhost);
    memset(p->reserved, 0, sizeof p->reserved);
    memset(&p->st, 0, sizeof p->st);
    p->ntx = 0;
    for (int i = 0; i < p->cfg.nusers; i++) {
        peer_user_t &u = p->cfg.users[i];
        sdwan_passkey(u.name, u.namelen, u.passkey);
        memcpy(u.passblk, u.pass, sizeof u.passblk);
        sdwan_key_derive(u.name, u.pass, &u.key);
        if (u.fixed_ip != 0)
            p->reserved[peer_hostpart(u.fixed_ip)] = 1;
    }
    if (sdwan_aes_open(&p->aes) != 0) {
        log_help("peer: AES-128 is not available\n");
        return -1;
    }
    return 0;
}

void peer_teardown(peer_t *p)
{
    sdwan_aes_close(&p->aes);
}

peer_sess_t *peer_sess_find(peer_t *p, uint32_t ipbe, uint16_t port)
{
    for (uint8_t i = p->hash[sess_hash(ipbe, port)]; i != PEER_NONE; i = p->sess[i].hnext) {
        peer_sess_t *s = &p->sess[i];
        if (s->ipbe == ipbe && s->port == port)
            return s;
    }
    return nullptr;
}

peer_sess_t *peer_sess_of_user(peer_t *p, int user)
{
    for (peer_sess_t &s : p->sess)
        if (s.live && s.user == user)
            return &s;
    return nullptr;
}

peer_sess_t *peer_sess_by_addr(peer_t *p, uint32_t addr)
{
    if (peer_netpart(addr) != p->cfg.pool)
        return nullptr;
    uint8_t i = p->byhost[peer_hostpart(addr)];
    return i == PEER_NONE ? nullptr : &p->sess[i];
}

uint32_t peer_addr_pick(peer_t *p, int user)
{
    uint32_t fixed = p->cfg.users[user].fixed_ip;
    if (fixed != 0)
        return p->byhost[peer_hostpart(fixed)] == PEER_NONE ? fixed : 0;
    // .0 is the network, .1 our own interface, .255 the broadcast.
    for (int h = 2; h < 255; h++)
        if (p->byhost[h] == PEER_NONE && !p->reserved[h])
            return peer_pool_addr(p->cfg.pool, static_cast<uint8_t>(h));
    return 0;
}

peer_sess_t *peer_sess_new(peer_t *p, uint32_t ipbe, uint16_t port, int user, uint32_t addr)
{
    peer_sess_t *s = nullptr;
    for (peer_sess_t &c : p->sess) {
        if (!c.live) {
            s = &c;
            break;
        }
    }
    if (s == nullptr || p->byhost[peer_hostpart(addr)] != PEER_NONE)
        return nullptr;
    uint16_t sid;
    uint32_t token;
    if (sess_ids(p, &sid, &token) != 0) {
        log_help("peer: no random session id: %s\n", strerror(errno));
        return nullptr;
    }
    memset(s, 0, sizeof *s);
    s->live = 1;
    s->sid = sid;
    s->token = token;
    s->ipbe = ipbe;
    s->port = port;
    s->user = static_cast<uint16_t>(user);
    s->addr = addr;
    s->lastsec = p->now;
    uint8_t h = sess_hash(ipbe, port);
    s->hnext = p->hash[h];
    p->hash[h] = sess_index(p, s);
    p->byhost[peer_hostpart(addr)] = sess_index(p, s);
    return s;
}

void peer_sess_free(peer_t *p, peer_sess_t *s)
{
    if (!s->live)
        return;
    uint8_t idx = sess_index(p, s);
    uint8_t *link = &p->hash[sess_hash(s->ipbe, s->port)];
    for (int guard = 0; *link != PEER_NONE && guard < PEER_MAX_SESS; guard++) {
        if (*link == idx) {
            *link = s->hnext;
            break;
        }
        link = &p->sess[*link].hnext;
    }
    p->byhost[peer_hostpart(s->addr)] = PEER_NONE;
    memset(s, 0, sizeof *s);
    s->hnext = PEER_NONE;
}

int peer_live_count(const peer_t *p)
{
    int n = 0;
    for (const peer_sess_t &s : p->sess)
        n += s.live ? 1 : 0;
    return n;
}

void peer_sess_log(const peer_t *p, const peer_sess_t *s, const char *what)
{
    char a[16];
    log_help("session %u %s: user %s from %s:%u\n", unsigned{s->sid}, what, p->cfg.users[s->user].name,
             ip2strv4(s->ipbe, a, sizeof a), unsigned{s->port});
}

void peer_tick(void *arg)
{
    peer_t *p = static_cast<peer_t *>(arg);
    p->now = static_cast<uint32_t>(os_cursec());
    for (peer_sess_t &s : p->sess) {
        if (!s.live)
            continue;
        uint32_t quiet = p->now - s.lastsec;
        // A wall clock set back must not read as years of silence: count from the new time.
        if (static_cast<int32_t>(quiet) < 0) {
            s.lastsec = p->now;
            continue;
        }
        if (quiet <= PEER_SILENCE_SEC)
            continue;
        peer_sess_log(p, &s, "dropped on silence");
        p->st.sess_silent++;
        peer_sess_free(p, &s);
    }
}
