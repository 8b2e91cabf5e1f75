#include "client/tunlife.h"

#include <errno.h>

#include <cstring>

#include "client/hostdns.h"
#include "client/killswitch.h"
#include "net/ipaddr.h"
#include "net/route.h"
#include "net/rtnl.h"
#include "net/tun.h"
#include "net/vnet.h"
#include "base/fail.h"
#include "base/log.h"

namespace {

constexpr char MARK[] = "tolvad";
constexpr size_t MARK_LEN = sizeof MARK - 1;

bool alias_is_ours(const char *text, size_t len)
{
    return len >= MARK_LEN && std::memcmp(text, MARK, MARK_LEN) == 0 && (len == MARK_LEN || text[MARK_LEN] == ' ');
}
// A dead run's interface (its alias read before the attach): the host routes it lists go, with
// its kill switch routes when it marked them, and the interface is left down and without an
// address, as a new one would be. true when it was made beforehand (it stays).
bool leftover_remove(const sdwan_t *clnt, const char *tun_name, const char *alias, size_t len)
{
    sdwan_hostrt_t rt[2];
    bool kept = false, ks = false;
    const int n = hostrt_alias_parse(alias, len, rt, 2, &kept, &ks);
    if (ks)
        killswitch_left(clnt);
    for (int i = 0; i < n; i++)
        (void)route_host(0, rt[i].dst, rt[i].gw, rt[i].dev);
    (void)tun_clear_ip(tun_name);  // down: the kernel drops its routes, the tunnel's default route too
    log_help("Removed what an earlier run left on %s\n", tun_name);
    return kept;
}

// Before the link first comes up: the tunnel carries IPv4 only, and the peer would count every
// router solicitation or listener report as a bad packet. Where /proc/sys is read-only (a
// service's sandbox) the address generation mode does the same through route-netlink: no
// link-local address, so nothing of IPv6 leaves.
void ipv6_off(const char *tun_name)
{
    const int err = tun_disable_ipv6(tun_name);
    if (err == 0 || err == -ENOENT)
        return;  // ENOENT: a kernel without IPv6
    log_help("Failed to disable IPv6 on %s: %s\n", tun_name, strerror(-err));
    const int e2 = rtnl_addrgen_none(tun_name);
    if (e2 != 0)
        log_help("Failed to turn off IPv6 address generation on %s: %s\n", tun_name, strerror(-e2));
}
}  // namespace

bool hostrt_is_daemon_tunnel(const hostops_t *ops, const char *ifname)
{
    char alias[HOSTRT_ALIAS_MAX];
    const int n = ops->alias_get(ops->ctx, ifname, alias, sizeof alias);
    return n > 0 && alias_is_ours(alias, static_cast<size_t>(n));
}

void hostrt_mark(const sdwan_t *clnt)
{
    if ((clnt->host.own & (SDWAN_OWN_TUNIF | SDWAN_OWN_TUNMARK)) == 0)
        return;
    char alias[HOSTRT_ALIAS_MAX];
    const sdwan_hostrt_t held[2] = {clnt->host.hostrt_peer, clnt->host.hostrt_dns};
    hostrt_alias_format(held, 2, alias, sizeof alias, (clnt->host.own & SDWAN_OWN_TUNIF) == 0,
                        (clnt->host.own & SDWAN_OWN_KILLSW) != 0);
    // Best effort: the routes are held all the same, but a killed run's would then stay behind.
    const int err = clnt->ops->alias_set(clnt->ops->ctx, clnt->conf.tun_name, alias);
    if (err != 0)
        log_help("Failed to set the alias of %s: %s\n", clnt->conf.tun_name, strerror(-err));
}
size_t hostrt_alias_format(const sdwan_hostrt_t *rt, int n, char *buf, size_t len, bool kept, bool killswitch)
{
    size_t at = static_cast<size_t>(
        snprintf(buf, len, "%s%s%s", MARK, kept ? " kept" : "", killswitch ? " killswitch" : ""));
    for (int i = 0; i < n && at < len; i++) {
        if (rt[i].dst == 0)
            continue;
        char d[16], g[16];
        char dev[sizeof rt[i].dev];
        std::memcpy(dev, rt[i].dev, sizeof dev);
        dev[sizeof dev - 1] = '\0';
        at += static_cast<size_t>(snprintf(buf + at, len - at, " %s,%s,%s", ip2strv4(rt[i].dst, d, sizeof d),
                                           ip2strv4(rt[i].gw, g, sizeof g), dev));
    }
    return at < len ? at : len - 1;
}

namespace {
// A word of the mark at p (" kept", " killswitch"): skipped when there.
bool mark_word(const char *text, size_t len, size_t *p, const char *word, size_t wlen)
{
    const bool there = len - *p >= wlen && std::memcmp(text + *p, word, wlen) == 0 &&
                       (len - *p == wlen || text[*p + wlen] == ' ');
    if (there)
        *p += wlen;
    return there;
}
}  // namespace

int hostrt_alias_parse(const char *text, size_t len, sdwan_hostrt_t *out, int max, bool *kept, bool *killswitch)
{
    if (!alias_is_ours(text, len))
        return -1;
    size_t p = MARK_LEN;
    constexpr char KEPT[] = " kept", KS[] = " killswitch";
    const bool k = mark_word(text, len, &p, KEPT, sizeof KEPT - 1);
    const bool ks = mark_word(text, len, &p, KS, sizeof KS - 1);
    if (kept != nullptr)
        *kept = k;
    if (killswitch != nullptr)
        *killswitch = ks;
    int n = 0;
    while (p < len) {
        if (text[p] != ' ' || n == max)
            return -1;
        p++;
        // dst,gw,dev: two dotted addresses and an interface name of 1 to 15 characters.
        char field[3][16];
        for (int f = 0; f < 3; f++) {
            size_t k = 0;
            while (p < len && text[p] != ',' && text[p] != ' ' && text[p] != '\0') {
                if (k == sizeof field[f] - 1)
                    return -1;
                field[f][k++] = text[p++];
            }
            field[f][k] = '\0';
            if (k == 0)
                return -1;
            if (f < 2) {
                if (p == len || text[p] != ',')
                    return -1;
                p++;
            }
        }
        if (p < len && text[p] != ' ')
            return -1;
        sdwan_hostrt_t r;
        std::memset(&r, 0, sizeof r);
        r.dst = str2ip(field[0]);
        r.gw = str2ip(field[1]);
        if (r.dst == 0 || (r.gw == 0 && std::strcmp(field[1], "0.0.0.0") != 0))
            return -1;
        std::memcpy(r.dev, field[2], sizeof r.dev);
        out[n++] = r;
    }
    return n;
}
int sdwclnt_tun_open(sdwan_t *clnt)
{
    const bool existed = tun_exists(clnt->conf.tun_name);
    char alias[HOSTRT_ALIAS_MAX] = "";
    int alen = existed ? rtnl_alias_get(clnt->conf.tun_name, alias, sizeof alias) : 0;
    const bool dead_run = existed && alen > 0 && alias_is_ours(alias, static_cast<size_t>(alen));
    // A TUN interface someone else made is used only while nobody uses it: down and without an
    // address (made beforehand for this daemon, "ip tuntap add"). One that is up or addressed is
    // another program's or the administrator's, and is decided on before anything of it changes.
    // An interface of another kind is left to the attach, which refuses it and says why.
    rtnl_link_t pre;
    std::memset(&pre, 0, sizeof pre);
    if (existed && !dead_run && rtnl_link_get(clnt->conf.tun_name, &pre) == 0 && pre.tun &&
        (pre.up || pre.naddr > 0)) {
        log_help("TUN interface %s is in use (up or addressed) and not this daemon's: left alone\n", clnt->conf.tun_name);
        fail_note("TUN interface %s is in use (up or addressed) and not this daemon's: left alone", clnt->conf.tun_name);
        return -EBUSY;
    }
    // Segmentation offload asked for unless the configuration turns it off, or its MTU leaves a
    // cut segment no payload; a kernel that refuses it gets a plain descriptor (io.tunoff 0).
    const bool tso = clnt->conf.offload != 0 && clnt->conf.mtu > VNET_HDRS_MAX;
    if (clnt->conf.offload != 0 && !tso)
        log_help("MTU %u is too small to cut segments: %s is read packet by packet\n", unsigned{clnt->conf.mtu},
                 clnt->conf.tun_name);
    const uint32_t want = tso ? TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4 : 0;
    const int rc = tun_init_vnet(&clnt->io.tunfd, clnt->conf.tun_name, want, &clnt->io.tunoff);
    if (rc != 0)
        return rc;  // held by a running process, or another kind of interface: left alone
    clnt->host.own = static_cast<uint8_t>(SDWAN_OWN_TUN | (clnt->host.own & SDWAN_OWN_KILLSW));  // not on the interface
    clnt->host.tunpre_mtu = 0;
    clnt->host.tunpre_txq = 0;
    const bool kept = dead_run && leftover_remove(clnt, clnt->conf.tun_name, alias, static_cast<size_t>(alen));
    if ((existed && !dead_run) || kept) {
        // Made beforehand: it stays, persistent, after the stop, as it was found (after a killed
        // run, as that run left it). Marked only where no other alias would be lost.
        if (kept)
            std::memset(&pre, 0, sizeof pre);  // what it had before that run is not known
        clnt->host.tunpre_mtu = pre.mtu;
        clnt->host.tunpre_txq = pre.txqlen;
        if (kept || alen == 0)
            clnt->host.own |= SDWAN_OWN_TUNMARK;
        hostrt_mark(clnt);
        return 0;
    }
    clnt->host.own |= SDWAN_OWN_TUNIF;
    ipv6_off(clnt->conf.tun_name);
    hostrt_mark(clnt);
    return 0;
}

void sdwclnt_tun_close(sdwan_t *clnt)
{
    if (clnt->io.tunfd < 0)
        return;
    if ((clnt->host.own & SDWAN_OWN_TUNIF) != 0) {
        tun_deinit(&clnt->io.tunfd, clnt->conf.tun_name);
        // Gone with the interface: its address and the tunnel's routes.
        clnt->host.own = static_cast<uint8_t>(clnt->host.own & ~(SDWAN_OWN_TUNCONF | SDWAN_OWN_DEFRT | SDWAN_OWN_SPLITRT));
        std::memset(clnt->host.rtset, 0, sizeof clnt->host.rtset);
    } else {
        // One made beforehand gets back the MTU and queue length it had (its address and flags
        // go with the session's end).
        if (clnt->host.tunpre_mtu > 0 && tun_get_mtu(clnt->conf.tun_name) != clnt->host.tunpre_mtu)
            (void)tun_set_mtu(clnt->conf.tun_name, static_cast<unsigned>(clnt->host.tunpre_mtu));
        if (clnt->host.tunpre_txq > 0)
            (void)tun_set_txqlen(clnt->conf.tun_name, clnt->host.tunpre_txq);
        if ((clnt->host.own & SDWAN_OWN_TUNMARK) != 0)
            (void)rtnl_alias_set(clnt->conf.tun_name, "");
        tun_detach(&clnt->io.tunfd);
    }
    clnt->io.tunfd = -1;
    clnt->host.tunpre_mtu = 0;
    clnt->host.tunpre_txq = 0;
    clnt->host.own = static_cast<uint8_t>(clnt->host.own & ~(SDWAN_OWN_TUN | SDWAN_OWN_TUNIF | SDWAN_OWN_TUNMARK));
}

int sdwclnt_cleanup(const sdwan_t *clnt, const char *tun_name)
{
    if (tun_name[0] == '\0' || !tun_exists(tun_name))
        return 0;
    char alias[HOSTRT_ALIAS_MAX];
    const int alen = rtnl_alias_get(tun_name, alias, sizeof alias);
    if (alen <= 0 || !alias_is_ours(alias, static_cast<size_t>(alen)))
        return 0;  // not a tunnel of this daemon
    int fd = -1;
    const int err = tun_attach_quiet(&fd, tun_name);
    if (err == -EBUSY)
        return 0;  // a running daemon holds it
    if (err != 0) {
        log_help("Failed to attach tun interface %s: %s\n", tun_name, strerror(-err));
        return err;
    }
    sdwclnt_dns_leftover(clnt, tun_name);  // the configuration's "setdns" and ways
    if (leftover_remove(clnt, tun_name, alias, static_cast<size_t>(alen))) {
        (void)rtnl_alias_set(tun_name, "");
        tun_detach(&fd);
    } else {
        tun_deinit(&fd, tun_name);
    }
    return 0;
}
