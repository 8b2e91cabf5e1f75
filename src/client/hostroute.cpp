#include "client/hostroute.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/route.h>  // RTF_ flags (<net/route.h> would be net/route.h here)
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "client/resolver.h"
#include "client/hostdns.h"
#include "client/killswitch.h"
#include "client/tunlife.h"
#include "core/event.h"
#include "net/ipaddr.h"
#include "net/route.h"
#include "net/rtnl.h"
#include "base/log.h"

namespace {

// The kernel takes no smaller MTU on an interface that carries IPv4.
constexpr unsigned TUN_MTU_MIN = 68;

bool hostrt_same(const sdwan_hostrt_t &a, const sdwan_hostrt_t &b)
{
    return a.dst == b.dst && a.gw == b.gw && std::strncmp(a.dev, b.dev, sizeof a.dev) == 0;
}

bool is_held(const sdwan_t *clnt, const route_row_t *row)
{
    for (const sdwan_hostrt_t *h : {&clnt->host.hostrt_peer, &clnt->host.hostrt_dns}) {
        if (h->dst != 0 && row->mask == 0xffffffffu && row->dst == h->dst && row->gw == h->gw &&
            std::strncmp(row->name, h->dev, sizeof h->dev) == 0)
            return true;
    }
    return false;
}

// The routes that are not the host's own path: this daemon's tunnels and the host routes this
// run holds (the path they copy is looked up again underneath them).
bool skip_not_host(const route_row_t *row, void *ctx)
{
    const sdwan_t *clnt = static_cast<const sdwan_t *>(ctx);
    // An unreachable route (a kill switch's) is no path either.
    if ((row->flags & RTF_REJECT) != 0 || std::strcmp(row->name, clnt->conf.tun_name) == 0 || is_held(clnt, row))
        return true;
    return hostrt_is_daemon_tunnel(clnt->ops, row->name);
}

struct defroute_find {
    const sdwan_t *clnt;
    route_row_t found;
    bool ok;
};

bool defroute_visit(const route_row_t *row, void *ctx)
{
    defroute_find *f = static_cast<defroute_find *>(ctx);
    // The first default route listed, whatever its metric, mask or next hop; a name that a zero
    // byte cut to nothing names no interface.
    if ((row->flags & RTF_UP) == 0 || (row->flags & RTF_REJECT) != 0 || row->dst != 0 || row->name[0] == '\0' ||
        std::strcmp(row->name, f->clnt->conf.tun_name) == 0 || hostrt_is_daemon_tunnel(f->clnt->ops, row->name))
        return true;
    f->found = *row;
    f->ok = true;
    return false;
}
void hostrt_drop(const sdwan_t *clnt, sdwan_hostrt_t *held, bool *changed)
{
    if (held->dst == 0)
        return;
    (void)clnt->ops->host_route(clnt->ops->ctx, 0, held->dst, held->gw, held->dev);
    std::memset(held, 0, sizeof *held);
    *changed = true;
}

// Holds the host route for dst (0: none) that the path outside the tunnel needs, moved when the
// host's own path for dst moved (another gateway or interface), put back when the kernel dropped
// it; false when dst cannot be kept outside the tunnel.
//
// tunnel_len is the length of the longest prefix through the tunnel that covers dst (0: its
// default route), or -1 when none does: then dst keeps its path without help.
bool hostrt_apply(sdwan_t *clnt, sdwan_hostrt_t *held, uint32_t dst, int tunnel_len, bool *changed)
{
    // A backup uplink chosen for the peer holds it whatever the tunnel's routes are.
    const bool alt = held == &clnt->host.hostrt_peer && clnt->host.upalt.dev[0] != '\0';
    if (dst == 0 || (tunnel_len < 0 && !alt)) {
        hostrt_drop(clnt, held, changed);
        return true;
    }
    // The routes held are left out of the lookup: it sees the path the host itself has now.
    route_row_t row;
    int rc = -1;
    const int fd = clnt->ops->table_open(clnt->ops->ctx);
    if (fd >= 0) {
        rc = route_lookup(fd, dst, skip_not_host, clnt, &row);
        close(fd);
    }
    sdwan_hostrt_t want;
    std::memset(&want, 0, sizeof want);
    if (alt) {
        want = clnt->host.upalt;
        want.dst = dst;
    } else if (rc == 1 && __builtin_popcount(row.mask) > tunnel_len) {
        // More specific than the tunnel's route for dst: that route does not take dst from it.
        hostrt_drop(clnt, held, changed);
        return true;
    } else if (rc == 1) {
        want.dst = dst;
        want.gw = (row.flags & RTF_GATEWAY) != 0 ? row.gw : 0;
        std::memcpy(want.dev, row.name, strnlen(row.name, sizeof want.dev - 1));
    } else if (held->dst == dst) {
        // No path to dst but the one held: its link went down with the host's own routes. It is
        // put back as it was once the kernel takes it again.
        want = *held;
    } else {
        char d[16];
        log_help("No route to %s outside %s\n", ip2strv4(dst, d, sizeof d), clnt->conf.tun_name);
        hostrt_drop(clnt, held, changed);
        return false;
    }
    // The new path goes in before the old one goes, so the peer is at no moment left to the
    // tunnel's routes; the kernel puts the newer of two equal routes first.
    const bool moving = held->dst != 0 && !hostrt_same(*held, want);
    const int err = clnt->ops->host_route(clnt->ops->ctx, 1, want.dst, want.gw, want.dev);
    if (moving)
        hostrt_drop(clnt, held, changed);
    if (err == 0) {
        if (!hostrt_same(*held, want))
            *changed = true;
        *held = want;
        return true;
    }
    // In place: still the one held, or an identical route someone else made (not ours to delete).
    if (err == -EEXIST)
        return true;
    clnt->count.kreq_refused[SDWAN_KREQ_ROUTE]++;
    if (hostrt_same(*held, want))
        return true;  // the kernel refuses it for now (its link is down); tried again at the next change
    char d[16], v[16];
    log_help("Failed to add host route to %s via %s on %s: %s\n", ip2strv4(want.dst, d, sizeof d),
             ip2strv4(want.gw, v, sizeof v), want.dev, strerror(-err));
    return false;
}

// The peer's address for hostrt_peer: none with uplinks, each of which holds its own host route
// to the peer (client/uplinks).
uint32_t peer_held(const sdwan_t *clnt) { return clnt->conf.nuplinks != 0 ? 0 : clnt->sess.peerip; }

void hostrt_release_all(sdwan_t *clnt)
{
    bool changed = false;
    hostrt_drop(clnt, &clnt->host.hostrt_peer, &changed);
    hostrt_drop(clnt, &clnt->host.hostrt_dns, &changed);
    if (changed)
        hostrt_mark(clnt);
}

// The tunnel's default route: 0.0.0.0/0, or with the kill switch the two halves, which its
// unreachable routes (of the same prefixes) would otherwise override. The first refusal.
int defrt_request(sdwan_t *clnt, int add, uint32_t gw)
{
    if (clnt->conf.killswitch == 0)
        return clnt->ops->route(clnt->ops->ctx, add, 0, 0, gw, 0, clnt->conf.tun_name);
    int first = 0;
    uint32_t net, mask;
    for (int i = 0; killswitch_prefix(clnt, i, &net, &mask); i++) {
        const int err = clnt->ops->route(clnt->ops->ctx, add, net, mask, gw, 0, clnt->conf.tun_name);
        first = first != 0 ? first : err;
    }
    return first;
}

void defrt_withdraw(sdwan_t *clnt)
{
    if ((clnt->host.own & SDWAN_OWN_DEFRT) == 0)
        return;
    (void)defrt_request(clnt, 0, clnt->host.defrt_gw);
    clnt->host.own = static_cast<uint8_t>(clnt->host.own & ~SDWAN_OWN_DEFRT);
    clnt->host.defrt_gw = 0;
}

uint32_t prefix_mask(uint32_t masklen)
{
    return htonl(masklen >= 32 ? 0xffffffffu : ~(0xffffffffu >> masklen));
}

// The routes through the tunnel this run has in place: dst's longest covering prefix length, or
// -1 when they leave dst alone. planned: as they will be once this session's are added, which is
// also what the kill switch's routes cover between sessions.
int tunnel_cover(const sdwan_t *clnt, uint32_t dst, bool planned)
{
    planned = planned || (clnt->host.own & SDWAN_OWN_KILLSW) != 0;
    if (clnt->conf.rtmode != SDWAN_RTMODE_SPLIT)
        return planned || (clnt->host.own & SDWAN_OWN_DEFRT) != 0 ? 0 : -1;
    int best = -1;
    int i = 0;
    for (const rtcfg_entry_t *e = clnt->conf.rtcfg; e != nullptr; e = e->next, i++) {
        if ((planned || clnt->host.rtset[i] != 0) && (dst & prefix_mask(e->masklen)) == e->net &&
            static_cast<int>(e->masklen) > best)
            best = static_cast<int>(e->masklen);
    }
    return best;
}

void split_withdraw(sdwan_t *clnt)
{
    if ((clnt->host.own & SDWAN_OWN_SPLITRT) == 0)
        return;
    int i = 0;
    for (const rtcfg_entry_t *e = clnt->conf.rtcfg; e != nullptr; e = e->next, i++) {
        if (clnt->host.rtset[i] != 0)
            (void)clnt->ops->route(clnt->ops->ctx, 0, e->net, prefix_mask(e->masklen), clnt->host.defrt_gw, 0,
                                   clnt->conf.tun_name);
        clnt->host.rtset[i] = 0;
    }
    clnt->host.own = static_cast<uint8_t>(clnt->host.own & ~SDWAN_OWN_SPLITRT);
    clnt->host.defrt_gw = 0;
}

// The configured prefixes through the gateway; one already in place (the same session's, after a
// change of the host's routes) is kept.
void split_apply(sdwan_t *clnt)
{
    if ((clnt->host.own & SDWAN_OWN_SPLITRT) != 0 && clnt->host.defrt_gw != clnt->sess.gateway)
        split_withdraw(clnt);
    int i = 0;
    for (const rtcfg_entry_t *e = clnt->conf.rtcfg; e != nullptr; e = e->next, i++) {
        if (clnt->host.rtset[i] != 0)
            continue;
        char n[16], g[16];
        if (e->masklen == 32 && e->net == clnt->sess.peerip) {
            // It would tie with the peer's own host route, and the newer of two equal routes wins.
            log_help("Route to %s/32 via %s not set: it is the peer's address\n", ip2strv4(e->net, n, sizeof n),
                     clnt->conf.tun_name);
            continue;
        }
        const int err = clnt->ops->route(clnt->ops->ctx, 1, e->net, prefix_mask(e->masklen), clnt->sess.gateway, 0,
                                         clnt->conf.tun_name);
        if (err == 0) {
            clnt->host.rtset[i] = 1;
            clnt->host.own |= SDWAN_OWN_SPLITRT;
            clnt->host.defrt_gw = clnt->sess.gateway;
        } else {
            clnt->count.kreq_refused[SDWAN_KREQ_ROUTE]++;
            log_help("Failed to add route to %s/%u via %s on %s: %s\n", ip2strv4(e->net, n, sizeof n),
                     static_cast<unsigned>(e->masklen), ip2strv4(clnt->sess.gateway, g, sizeof g), clnt->conf.tun_name,
                     strerror(-err));
        }
    }
}
}  // namespace

int hostrt_find_default(int fd, const sdwan_t *clnt, char *ifname, uint32_t *nexthop)
{
    defroute_find f;
    std::memset(&f, 0, sizeof f);
    f.clnt = clnt;
    const int rc = route_table_scan(fd, defroute_visit, &f);
    if (rc == ROUTE_SCAN_NOHEAD) {
        log_help("Error reading the first line of /proc/net/route\n");
        return -1;
    }
    if (rc == ROUTE_SCAN_BADLINE) {
        log_help("Error reading route information\n");
        return -1;
    }
    if (!f.ok)
        return -1;
    std::memset(ifname, 0, 32);
    std::memcpy(ifname, f.found.name, strnlen(f.found.name, 31));
    *nexthop = f.found.gw;
    return 0;
}

int sdwclnt_load_defroute(sdwan_t *clnt)
{
    const int fd = clnt->ops->table_open(clnt->ops->ctx);
    if (fd < 0) {
        log_help("Failed to open /proc/net/route\n");
        return -1;
    }
    const int rc = hostrt_find_default(fd, clnt, clnt->host.defifname, &clnt->host.defrtnexthop);
    close(fd);
    return rc;
}

namespace {
// An unreachable, prohibit or blackhole route (a placeholder some network managers keep for the
// default) carries nothing to the peer.
bool skip_not_path(const route_row_t *row, void *ctx)
{
    return (row->flags & RTF_REJECT) != 0 || skip_not_host(row, ctx);
}
}  // namespace

bool sdwclnt_route_wait(sdwan_t *clnt, bool start)
{
    if (!start && !clnt->host.routewait)
        return false;
    const bool byname = clnt->conf.peerdomain[0] != '\0';
    const uint32_t dst = byname ? sdwan_resolver(clnt) : clnt->sess.peerip;
    route_row_t row;
    int rc = 1;
    const int fd = clnt->ops->table_open(clnt->ops->ctx);
    if (fd >= 0) {
        rc = route_lookup(fd, dst, skip_not_path, clnt, &row);
        close(fd);
    }
    const bool none = rc == 0;
    char d[16];
    const char *ds = ip2strv4(dst, d, sizeof d);
    if (none && start) {
        if (byname)
            log_help("no route to resolver %s for peer %s yet: waiting for one\n", ds, clnt->conf.peerdomain);
        else
            log_help("no route to peer %s yet: waiting for one\n", ds);
    } else if (!none && !start) {
        log_help("route to %s %s found: starting the session\n", byname ? "resolver" : "peer", ds);
    }
    // The record's default route as a start with one would have found it; none (a split
    // uplink's more specific route) is no failure here.
    if (!none)
        (void)sdwclnt_load_defroute(clnt);
    clnt->host.routewait = none;
    return none;
}

void sdwclnt_set_iproute(sdwan_t *clnt)
{
    uint32_t mask = str2ip("255.255.255.0");  // the peer hands out no netmask
    char a[16];
    int err = clnt->ops->addr_set(clnt->ops->ctx, clnt->conf.tun_name, clnt->sess.ip, mask);
    if (err != 0) {
        clnt->count.kreq_refused[SDWAN_KREQ_ADDRESS]++;
        log_help("Failed to set address %s on %s: %s\n", ip2strv4(clnt->sess.ip, a, sizeof a), clnt->conf.tun_name,
                 strerror(-err));
    }
    const unsigned mtu = clnt->sess.peermtu < clnt->conf.mtu ? clnt->sess.peermtu : clnt->conf.mtu;
    // The configuration takes an MTU down to 46 and a peer may offer anything: below the kernel's
    // floor the interface is set to the floor rather than left at its old, larger MTU, which the
    // data path would cut to the smaller size and refuse. 0 (the peer sent none) keeps it as is.
    unsigned set = mtu != 0 && mtu < TUN_MTU_MIN ? TUN_MTU_MIN : mtu;
    if (set != mtu)
        log_help("MTU %u is below the IPv4 minimum: %s set to %u\n", mtu, clnt->conf.tun_name, set);
    err = set != 0 ? clnt->ops->mtu_set(clnt->ops->ctx, clnt->conf.tun_name, set) : 0;
    if (err != 0) {
        clnt->count.kreq_refused[SDWAN_KREQ_MTU]++;
        log_help("Failed to set MTU %u on %s: %s\n", set, clnt->conf.tun_name, strerror(-err));
    }
    // The session carries what the interface really has.
    const int have = clnt->ops->mtu_get(clnt->ops->ctx, clnt->conf.tun_name);
    clnt->host.tunmtu = static_cast<uint16_t>(have > 0 && have <= 0xffff ? have : 0);
    clnt->host.own |= SDWAN_OWN_TUNCONF;

    // The tunnel's default route goes before the host's own, so the peer first keeps the path
    // it has now; in session the resolver goes through the tunnel like everything else.
    // With split routes, only the prefixes go through the tunnel and the peer needs a host route
    // only where one of them covers it.
    const bool split = clnt->conf.rtmode == SDWAN_RTMODE_SPLIT;
    bool changed = false;
    const bool peer_ok = hostrt_apply(clnt, &clnt->host.hostrt_peer, peer_held(clnt),
                                      tunnel_cover(clnt, clnt->sess.peerip, true), &changed);
    hostrt_apply(clnt, &clnt->host.hostrt_dns, 0, -1, &changed);
    if (changed)
        hostrt_mark(clnt);
    if (!peer_ok) {
        // Better the host's own default route than a session that cannot reach its peer; an
        // earlier session's tunnel route is withdrawn for the same reason.
        if (split) {
            log_help("Routes through %s not set: the peer would be unreachable\n", clnt->conf.tun_name);
            split_withdraw(clnt);
        } else {
            log_help("Default route through %s not set: the peer would be unreachable\n", clnt->conf.tun_name);
            defrt_withdraw(clnt);
        }
        return;
    }
    if (split) {
        split_apply(clnt);
        return;
    }
    if ((clnt->host.own & SDWAN_OWN_DEFRT) != 0 && clnt->host.defrt_gw != clnt->sess.gateway)
        defrt_withdraw(clnt);
    err = defrt_request(clnt, 1, clnt->sess.gateway);
    if (err == 0) {
        clnt->host.own |= SDWAN_OWN_DEFRT;
        clnt->host.defrt_gw = clnt->sess.gateway;
    } else if (err != -EEXIST || (clnt->host.own & SDWAN_OWN_DEFRT) == 0) {
        clnt->count.kreq_refused[SDWAN_KREQ_ROUTE]++;
        log_help("Failed to add default route via %s on %s: %s\n", ip2strv4(clnt->sess.gateway, a, sizeof a),
                 clnt->conf.tun_name, strerror(-err));
    }
}

namespace {
void routes_hold(sdwan_t *clnt);
}

void sdwclnt_clear_iproute(sdwan_t *clnt)
{
    sdwclnt_dns_withdraw(clnt);
    if ((clnt->host.own & SDWAN_OWN_TUNCONF) != 0) {
        const int err = clnt->ops->addr_clear(clnt->ops->ctx, clnt->conf.tun_name);
        // ENODEV: the interface went first (shutdown, or deleted under the daemon).
        if (err != 0 && err != -ENODEV) {
            clnt->count.kreq_refused[SDWAN_KREQ_ADDRESS]++;
            log_help("Failed to clear the address of %s: %s\n", clnt->conf.tun_name, strerror(-err));
        }
        clnt->host.own = static_cast<uint8_t>(clnt->host.own & ~SDWAN_OWN_TUNCONF);
    }
    clnt->host.tunmtu = 0;
    defrt_withdraw(clnt);
    split_withdraw(clnt);
    // Only after the tunnel's routes are gone, so the peer is never routed into the tunnel; under
    // a kill switch they stay, or the daemon could not reach its peer.
    routes_hold(clnt);
}

namespace {
void routes_hold(sdwan_t *clnt)
{
    if ((clnt->host.own & (SDWAN_OWN_DEFRT | SDWAN_OWN_SPLITRT | SDWAN_OWN_KILLSW)) == 0 &&
        clnt->host.upalt.dev[0] == '\0') {
        hostrt_release_all(clnt);
        return;
    }
    const uint32_t resolver =
        clnt->sess.state == SDWANCLNT_DNS && clnt->conf.peerdomain[0] != '\0' ? sdwan_resolver(clnt) : 0;
    bool changed = false;
    hostrt_apply(clnt, &clnt->host.hostrt_peer, peer_held(clnt), tunnel_cover(clnt, clnt->sess.peerip, false), &changed);
    hostrt_apply(clnt, &clnt->host.hostrt_dns, resolver, tunnel_cover(clnt, resolver, false), &changed);
    if (changed)
        hostrt_mark(clnt);
}
}  // namespace

void sdwclnt_routes_sync(sdwan_t *clnt) { routes_hold(clnt); }

void sdwclnt_routes_restore(sdwan_t *clnt) { routes_hold(clnt); }

namespace {
// The default routes a peer could be sent through, by metric (the kernel's preference), each
// interface and gateway once.
constexpr int UPLINK_MAX = 8;
struct uplink_list {
    const sdwan_t *clnt;
    sdwan_hostrt_t rt[UPLINK_MAX];
    int metric[UPLINK_MAX];
    int n;
};

bool same_way(const sdwan_hostrt_t &a, const sdwan_hostrt_t &b)
{
    return a.gw == b.gw && std::strncmp(a.dev, b.dev, sizeof a.dev) == 0;
}

bool uplink_visit(const route_row_t *row, void *ctx)
{
    uplink_list *l = static_cast<uplink_list *>(ctx);
    // A blackhole route has no RTF_REJECT in the kernel's listing, only no device ("*").
    if ((row->flags & RTF_UP) == 0 || row->dst != 0 || row->mask != 0 || row->name[0] == '\0' ||
        std::strcmp(row->name, "*") == 0 || std::strcmp(row->name, "lo") == 0 ||
        skip_not_host(row, const_cast<sdwan_t *>(l->clnt)))
        return true;
    sdwan_hostrt_t r;
    std::memset(&r, 0, sizeof r);
    r.gw = (row->flags & RTF_GATEWAY) != 0 ? row->gw : 0;
    std::memcpy(r.dev, row->name, strnlen(row->name, sizeof r.dev - 1));
    for (int i = 0; i < l->n; i++) {
        if (same_way(l->rt[i], r))
            return true;
    }
    if (l->n == UPLINK_MAX)
        return false;
    // Equal metrics keep the table's order, as the kernel's choice does.
    int at = l->n;
    while (at > 0 && l->metric[at - 1] > row->metric) {
        l->rt[at] = l->rt[at - 1];
        l->metric[at] = l->metric[at - 1];
        at--;
    }
    l->rt[at] = r;
    l->metric[at] = row->metric;
    l->n++;
    return true;
}

// False when the table cannot be read.
bool uplink_scan(const sdwan_t *clnt, uplink_list *l)
{
    std::memset(l, 0, sizeof *l);
    l->clnt = clnt;
    const int fd = clnt->ops->table_open(clnt->ops->ctx);
    if (fd < 0)
        return false;
    const int rc = route_table_scan(fd, uplink_visit, l);
    close(fd);
    return rc == ROUTE_SCAN_OK;
}

}  // namespace

bool sdwclnt_defroute_via(const sdwan_t *clnt, const char *ifname, uint32_t *gw, int *metric)
{
    uplink_list l;
    if (!uplink_scan(clnt, &l))
        return false;
    for (int i = 0; i < l.n; i++) {  // by metric: the first through ifname is the kernel's choice
        if (std::strncmp(l.rt[i].dev, ifname, sizeof l.rt[i].dev) == 0) {
            *gw = l.rt[i].gw;
            *metric = l.metric[i];
            return true;
        }
    }
    return false;
}

namespace {
const char *way_text(const sdwan_hostrt_t &r, char *buf, size_t len)
{
    char g[16];
    if (r.gw == 0)
        snprintf(buf, len, "%.*s", static_cast<int>(sizeof r.dev), r.dev);
    else
        snprintf(buf, len, "%.*s via %s", static_cast<int>(sizeof r.dev), r.dev, ip2strv4(r.gw, g, sizeof g));
    return buf;
}

void uplink_back(sdwan_t *clnt, const char *why)
{
    char d[16], w[48];
    log_help("peer %s back on the preferred default route %s: %s\n", ip2strv4(clnt->sess.peerip, d, sizeof d),
             way_text(clnt->host.uppref, w, sizeof w), why);
    std::memset(&clnt->host.upalt, 0, sizeof clnt->host.upalt);
    clnt->host.upfails = 0;
}
}  // namespace

void sdwclnt_uplink_failed(sdwan_t *clnt)
{
    // A session through a backup that ended gives way to the preferred route (uplink_ended).
    if (clnt->sess.state == SDWANCLNT_DATA && clnt->host.upalt.dev[0] != '\0')
        return;
    if (clnt->sess.peerip == 0 || ++clnt->host.upfails < UPLINK_TRIES)
        return;
    const uint8_t fails = clnt->host.upfails;
    clnt->host.upfails = 0;
    // Only a peer the host sends along its default route: a more specific one (a split uplink's)
    // was chosen by whoever set it.
    route_row_t row;
    int rc = 0;
    const int fd = clnt->ops->table_open(clnt->ops->ctx);
    if (fd >= 0) {
        rc = route_lookup(fd, clnt->sess.peerip, skip_not_path, clnt, &row);
        close(fd);
    }
    uplink_list l;
    if (rc != 1 || row.mask != 0 || !uplink_scan(clnt, &l) || l.n < 2)
        return;
    int pos = 0;
    for (int i = 0; i < l.n && clnt->host.upalt.dev[0] != '\0'; i++) {
        if (same_way(l.rt[i], clnt->host.upalt))
            pos = i;
    }
    const int next = (pos + 1) % l.n;
    char d[16], to[48];
    log_help("peer %s unreachable via %.*s after %u attempts: trying %s\n", ip2strv4(clnt->sess.peerip, d, sizeof d),
             static_cast<int>(sizeof l.rt[pos].dev), l.rt[pos].dev, static_cast<unsigned>(fails),
             way_text(l.rt[next], to, sizeof to));
    clnt->count.uplink_switches++;
    clnt->host.uppref = l.rt[0];
    if (next == 0)
        std::memset(&clnt->host.upalt, 0, sizeof clnt->host.upalt);
    else
        clnt->host.upalt = l.rt[next];
}

void sdwclnt_uplink_answered(sdwan_t *clnt) { clnt->host.upfails = 0; }

void sdwclnt_uplink_ended(sdwan_t *clnt)
{
    if (clnt->host.upalt.dev[0] == '\0')
        return;
    char w[48], why[80];
    snprintf(why, sizeof why, "the session through %s ended", way_text(clnt->host.upalt, w, sizeof w));
    uplink_back(clnt, why);
}

void sdwclnt_uplink_check(sdwan_t *clnt)
{
    uplink_list l;
    if (clnt->host.upalt.dev[0] == '\0' || !uplink_scan(clnt, &l))
        return;
    bool there = false;
    for (int i = 1; i < l.n; i++)
        there = there || same_way(l.rt[i], clnt->host.upalt);
    if (l.n == 0 || !same_way(l.rt[0], clnt->host.uppref)) {
        if (l.n > 0)
            clnt->host.uppref = l.rt[0];
        uplink_back(clnt, "the preferred route changed");
    } else if (!there) {
        char w[48], why[80];
        snprintf(why, sizeof why, "%s is gone", way_text(clnt->host.upalt, w, sizeof w));
        uplink_back(clnt, why);
    }
}

void sdwclnt_rtnl_recv(void *arg)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(arg);
    if (rtnl_monitor_drain(clnt->io.rtnlfd) == 0)
        return;
    sdwclnt_rtnl_changed(clnt);
}

void sdwclnt_rtnl_changed(sdwan_t *clnt)
{
    // While the start still waits there is no path to the peer to hold or move: the start has
    // said so once, and the notices the kill switch's own routes bring would only say it again.
    if (sdwclnt_route_wait(clnt, false))
        return;
    sdwclnt_uplink_check(clnt);
    sdwclnt_routes_restore(clnt);
}
