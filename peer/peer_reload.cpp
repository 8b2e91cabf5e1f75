// Reload of the user list: operators add and remove branches every day, and a restart would
// drop every session. The file is read again by the same strict reader; a file it refuses
// changes nothing. Sessions of users still present with the same password and fixed address,
// on an address the new list does not fix for someone else, are kept and move to the new list;
// the others get a CLOSE. The rest of the configuration (port, pool, interface, table size)
// belongs to the running interface and socket and changes only at a restart, but for the two
// settings of who may come in: legacy= (legacy sessions up go on; new OPENs follow the new value)
// and privatekey= (read with the same checks as at start-up; new handshakes use the new key,
// sessions up keep theirs until their next rekey; without it, the sealed sessions end).
#include <cstring>

#include "net/ipaddr.h"
#include "peer/peer.h"
#include "base/log.h"
#include "seal/keyfile.h"
#include "seal/noise.h"

namespace {

peer_cfg_t s_next;  // large: static storage, as the running configuration

bool same_settings(const peer_cfg_t &a, const peer_cfg_t &b)
{
    return strcmp(a.tun_name, b.tun_name) == 0 && a.port == b.port && a.listen == b.listen && a.mtu == b.mtu &&
           a.encrypt == b.encrypt && a.dns0 == b.dns0 && a.dns1 == b.dns1 && a.sessions == b.sessions &&
           strcmp(a.log, b.log) == 0 && strcmp(a.metrics, b.metrics) == 0 &&
           strcmp(a.status, b.status) == 0;
}

// legacy= and privatekey= of the new file become the running ones, with one line for what
// changed. The sessions that could not stay are gone by now.
void take_sealed_settings(peer_t *p)
{
    peer_cfg_t &c = p->cfg;
    if (c.legacy != s_next.legacy)
        log_help(s_next.legacy != 0 ? "peer: legacy=1: legacy OPENs are answered again\n"
                                    : "peer: legacy=0: new legacy OPENs are refused; legacy sessions up go on\n");
    c.legacy = s_next.legacy;
    if (!s_next.sealed) {
        if (c.sealed)
            log_help("peer: privatekey removed: sealed sessions refused\n");
        peer_seal_free(p);
        seal_wipe(c.privkey, sizeof c.privkey);
        c.sealed = 0;
        c.keypath[0] = '\0';
        return;
    }
    const bool same = c.sealed && seal_equal(c.privkey, s_next.privkey, KEY_BYTES);
    if (!same) {
        uint8_t pub[KEY_BYTES];
        char text[KEY_TEXT + 1];
        key_public(s_next.privkey, pub);
        key_format(pub, text);
        if (c.sealed)
            log_help("peer: privatekey %s changed: new handshakes use public key %s; sessions up keep their keys "
                     "until their next rekey\n",
                     s_next.keypath, text);
        else
            log_help("peer: privatekey %s read: sealed sessions accepted, public key %s\n", s_next.keypath, text);
    }
    memcpy(c.privkey, s_next.privkey, KEY_BYTES);
    memcpy(c.keypath, s_next.keypath, sizeof c.keypath);
    c.sealed = 1;
}

// The session may stay: its user is still there, with the credentials it authenticated with (the
// payload key comes from the password), and the address it holds is one the new list lets it
// keep: its own fixed address, or, when it has none, an address fixed for no one (p->reserved
// already marks the new list's). A fixed address is never anyone else's, so a session on an
// address the new list fixes for another user ends, and that user gets it at its next OPEN.
int kept_as(const peer_t *p, const peer_sess_t &s)
{
    if (s.sealed && !s_next.sealed)
        return -1;
    const peer_user_t &u = p->cfg.users[s.user];
    int ni = peer_user_find(&s_next, reinterpret_cast<const uint8_t *>(u.name), u.namelen);
    if (ni < 0)
        return -1;
    const peer_user_t &n = s_next.users[ni];
    if (strcmp(n.pass, u.pass) != 0)
        return -1;
    if (n.fixed_ip != 0)
        return n.fixed_ip == s.addr ? ni : -1;
    const uint32_t off = peer_pool_off(&p->cfg, s.addr);
    return off != UINT32_MAX && p->reserved[off] ? -1 : ni;
}

}  // namespace

int peer_reload(peer_t *p)
{
    char err[PEER_ERRLEN];
    if (p->cfgpath == nullptr || peer_cfg_load(p->cfgpath, &s_next, err, sizeof err) != 0) {
        log_help("peer: reload refused, the old user list stays: %s\n", p->cfgpath != nullptr ? err : "no file");
        p->st.reload_fail++;
        return -1;
    }
    if (s_next.pool != p->cfg.pool || s_next.npools != p->cfg.npools) {
        log_help("peer: reload refused, the old user list stays: the pool changed; restart to apply it\n");
        p->st.reload_fail++;
        peer_cfg_free(&s_next);
        return -1;
    }
    // Sealed sessions accepted from now on need their key table before anything changes.
    if (s_next.sealed && p->keys == nullptr && peer_seal_table(p) != 0) {
        log_help("peer: reload refused, the old user list stays: no memory for the sealed sessions\n");
        p->st.reload_fail++;
        peer_cfg_free(&s_next);
        return -1;
    }
    if (!same_settings(p->cfg, s_next))
        log_help("peer: reload takes the user list, legacy and privatekey only; the other settings change at a "
                 "restart\n");
    peer_users_derive(&s_next);
    // From here on the reload goes through: the pool map takes the new list's fixed addresses
    // now, once, so that each session's check below costs one look-up.
    peer_reserve_fixed(p, &s_next);

    // First close what cannot stay, while the sessions still point into the old list; then move
    // the others over.
    uint32_t closed = 0, kept = 0;
    for (uint32_t i = 0; i < p->nsess; i++)
        if (p->sess[i].live && kept_as(p, p->sess[i]) < 0)
            peer_send_close(p, &p->sess[i]);
    peer_tx_flush(p);
    for (uint32_t i = 0; i < p->nsess; i++) {
        peer_sess_t &s = p->sess[i];
        if (!s.live || kept_as(p, s) >= 0)
            continue;
        peer_sess_log_bulk(p, &s, "closed at reload", &closed);
        p->st.sess_closed++;
        peer_sess_free(p, &s);
    }
    peer_sess_log_rest(closed, "closed at reload");
    for (uint32_t i = 0; i < p->nsess; i++) {
        peer_sess_t &s = p->sess[i];
        if (!s.live)
            continue;
        int ni = kept_as(p, s);
        s.user = static_cast<uint32_t>(ni);
        s_next.users[ni].sess = i;
        kept++;
    }
    take_sealed_settings(p);
    // The other running settings stay; the user list and its hash change hands.
    peer_cfg_t old = p->cfg;
    p->cfg.users = s_next.users;
    p->cfg.uhash = s_next.uhash;
    p->cfg.umask = s_next.umask;
    p->cfg.nusers = s_next.nusers;
    p->cfg.capusers = s_next.capusers;
    s_next.users = nullptr;
    s_next.uhash = nullptr;
    s_next.nusers = s_next.capusers = 0;
    peer_cfg_free(&old);
    peer_cfg_free(&s_next);  // its users are ours now; this wipes its copy of the private key
    p->st.reloads++;
    log_help("peer: user list reloaded: %d users, %u sessions kept, %u closed\n", p->cfg.nusers, kept, closed);
    return 0;
}
