#include "net/route.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/route.h>  // with src/ on the include path, <net/route.h> is this module's header
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "client/dns.h"
#include "net/ipaddr.h"
#include "net/tun.h"
#include "shell/log.h"

static_assert((RTF_UP | RTF_GATEWAY) == 3);
static_assert(sizeof(sockaddr_in) == sizeof(sockaddr));

namespace {

constexpr const char ROUTE_FILE[] = "/proc/net/route";

void sin_store(sockaddr *sa, uint32_t ipbe)
{
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = ipbe;
    std::memcpy(sa, &sin, sizeof sin);
}

void rtentry_fill(rtentry *rt, uint32_t dest, uint32_t mask, uint32_t gw, unsigned short flags, int metric,
                  const char *ifname)
{
    std::memset(rt, 0, sizeof *rt);
    sin_store(&rt->rt_dst, dest);
    sin_store(&rt->rt_gateway, gw);
    sin_store(&rt->rt_genmask, mask);
    rt->rt_flags = flags;
    rt->rt_metric = static_cast<short>(metric);
    rt->rt_dev = const_cast<char *>(ifname);  // the kernel only reads the name
}

// One request on a socket of its own. -1 when no socket opens (after the perror line), else 0
// when the kernel took the request or the errno it refused it with.
int route_submit(int add, rtentry *rt)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        perror("socket creation failed");
        return -1;
    }
    int err = ioctl(s, add ? SIOCADDRT : SIOCDELRT, rt) < 0 ? errno : 0;
    close(s);
    return err;
}

// A /32 route to dest along the host's recorded default route: through its next hop, or straight
// out of its interface when it has none (a point-to-point uplink), which RTF_GATEWAY would refuse.
int route_host(int add, uint32_t dest, uint32_t gw, const char *ifname)
{
    rtentry rt;
    unsigned short flags = RTF_UP | RTF_HOST;
    if (gw != 0)
        flags |= RTF_GATEWAY;
    rtentry_fill(&rt, dest, 0xffffffffu, gw, flags, 0, ifname);
    return route_submit(add, &rt);
}

// Moves the host route held in *held (0: none) to want (0: none) along the recorded default route.
// Returns false when want should be routed outside the tunnel but no route to it is in place.
bool hostrt_move(sdwan_t *clnt, uint32_t *held, uint32_t want)
{
    if (*held != 0 && *held != want) {
        route_host(0, *held, clnt->si_defrtnexthop, clnt->si_defifname);
        *held = 0;
    }
    if (want == 0)
        return true;
    // Added again even when held: routes through an interface that went down are gone.
    int err = route_host(1, want, clnt->si_defrtnexthop, clnt->si_defifname);
    if (err == 0) {
        *held = want;
        return true;
    }
    if (err == EEXIST)  // held already, or someone else's identical route: either way in place
        return true;
    char dst[16], via[16];
    log_help("Failed to add host route to %s via %s on %s: %s\n", ip2strv4(want, dst, sizeof dst),
             ip2strv4(clnt->si_defrtnexthop, via, sizeof via), clnt->si_defifname,
             err > 0 ? strerror(err) : "no socket");
    return false;
}

void hostrt_clear(sdwan_t *clnt)
{
    hostrt_move(clnt, &clnt->si_hostrt_peer, 0);
    hostrt_move(clnt, &clnt->si_hostrt_dns, 0);
}

// The resolver's address is needed only while the peer is known by name.
uint32_t hostrt_dns_want(const sdwan_t *clnt) { return clnt->si_peerdomain[0] != '\0' ? sdwan_resolver_ip() : 0; }

int route_scan(FILE *fp, const char *skip_ifname, char *ifname, uint32_t *nexthop, bool quiet)
{
    if (fscanf(fp, "%*[^\n]\n") < 0) {
        if (!quiet)
            log_help("Error reading the first line of /proc/net/route\n");
        return -1;
    }
    for (;;) {
        char name[64];  // the width in the format below keeps a longer name from overflowing it
        unsigned long dst, gw, mask;
        unsigned int flags;
        int refcnt, use, metric, mtu, window, irtt;
        int n = fscanf(fp, "%63s%lx%lx%X%d%d%d%lx%d%d%d\n", name, &dst, &gw, &flags, &refcnt, &use, &metric,
                       &mask, &mtu, &window, &irtt);
        if (n != 11) {
            if (feof(fp))
                return -1;
            if (!quiet)
                log_help("Error reading route information\n");
            return -1;
        }
        // The first default route the kernel lists, whatever its metric, mask or next hop; the
        // tunnel's own would point the host routes to the peer into the tunnel. A name that a
        // zero byte cut to nothing names no interface.
        if ((flags & RTF_UP) != 0 && dst == 0 && name[0] != '\0' && std::strcmp(name, skip_ifname) != 0) {
            std::memset(ifname, 0, 32);
            std::memcpy(ifname, name, strnlen(name, 31));
            *nexthop = static_cast<uint32_t>(gw);
            return 0;
        }
    }
}

// One route line as the stream reader takes it: 1 for the first usable default route (ifname,
// nexthop set), 0 for any other route, -1 for a line that is not a route.
int route_line(const char *line, const char *skip_ifname, char *ifname, uint32_t *nexthop)
{
    char name[64];
    unsigned long dst, gw, mask;
    unsigned int flags;
    int refcnt, use, metric, mtu, window, irtt;
    if (sscanf(line, "%63s%lx%lx%X%d%d%d%lx%d%d%d", name, &dst, &gw, &flags, &refcnt, &use, &metric, &mask, &mtu,
               &window, &irtt) != 11)
        return -1;
    if ((flags & RTF_UP) == 0 || dst != 0 || std::strcmp(name, skip_ifname) == 0)
        return 0;
    std::memset(ifname, 0, 32);
    std::memcpy(ifname, name, strnlen(name, 31));
    *nexthop = static_cast<uint32_t>(gw);
    return 1;
}

// The same search as route_scan, for the reload at every session reset: a stdio stream costs a
// heap allocation each time it is opened, and the running daemon allocates nothing, so the table
// is read through a stack buffer. Lines are fixed-width (128 bytes) and the default routes come
// first, so the first read normally decides.
int route_scan_fd(int fd, const char *skip_ifname, char *ifname, uint32_t *nexthop)
{
    char buf[4096];
    size_t have = 0;
    bool header = true;
    for (;;) {
        ssize_t n = read(fd, buf + have, sizeof buf - 1 - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        have += static_cast<size_t>(n);
        buf[have] = '\0';
        char *line = buf;
        char *end = buf + have;
        for (char *nl; (nl = static_cast<char *>(std::memchr(line, '\n', static_cast<size_t>(end - line)))) != nullptr;
             line = nl + 1) {
            *nl = '\0';
            if (header) {
                header = false;
                continue;
            }
            int rc = route_line(line, skip_ifname, ifname, nexthop);
            if (rc != 0)
                return rc > 0 ? 0 : -1;
        }
        const size_t rest = static_cast<size_t>(end - line);
        if (rest == sizeof buf - 1)
            return -1;  // a line longer than the buffer is no route line
        std::memmove(buf, line, rest);
        have = rest;
    }
}

}  // namespace

int route_handle(int add, uint32_t dest, uint32_t mask, uint32_t gw, int metric, const char *ifname)
{
    rtentry rt;
    rtentry_fill(&rt, dest, mask, gw, RTF_UP | RTF_GATEWAY, metric, ifname);
    return route_submit(add, &rt) < 0 ? -1 : 0;  // a refused request goes unnoticed
}

int route_read_default(FILE *fp, const char *skip_ifname, char *ifname, uint32_t *nexthop)
{
    return route_scan(fp, skip_ifname, ifname, nexthop, false);
}

int sdwclnt_load_defroute(sdwan_t *clnt)
{
    FILE *fp = fopen(ROUTE_FILE, "r");
    if (fp == nullptr) {
        log_help("Failed to open /proc/net/route\n");
        return -1;
    }
    int rc = route_read_default(fp, clnt->tun_name, clnt->si_defifname, &clnt->si_defrtnexthop);
    fclose(fp);
    return rc;
}

int sdwclnt_reload_defroute(sdwan_t *clnt)
{
    int fd = open(ROUTE_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char ifname[32];
    uint32_t nexthop = 0;
    int rc = route_scan_fd(fd, clnt->tun_name, ifname, &nexthop);
    close(fd);
    if (rc < 0)
        return -1;  // keep what is held: an uplink between two routes comes back
    if (nexthop == clnt->si_defrtnexthop && std::strncmp(ifname, clnt->si_defifname, sizeof ifname) == 0)
        return 0;

    // The host routes were made along the old default route; remake them along the new one.
    uint32_t peer = clnt->si_hostrt_peer;
    uint32_t dns = clnt->si_hostrt_dns;
    hostrt_clear(clnt);
    std::memcpy(clnt->si_defifname, ifname, sizeof ifname);
    clnt->si_defrtnexthop = nexthop;
    hostrt_move(clnt, &clnt->si_hostrt_peer, peer);
    hostrt_move(clnt, &clnt->si_hostrt_dns, dns);
    return 0;
}

void sdwclnt_follow_peer(sdwan_t *clnt)
{
    if (clnt->si_hostrt_peer != 0 && clnt->si_hostrt_peer != clnt->si_peerip)
        hostrt_move(clnt, &clnt->si_hostrt_peer, clnt->si_peerip);
}

void sdwclnt_set_iproute(sdwan_t *clnt)
{
    uint32_t mask = str2ip("255.255.255.0");  // the peer hands out no netmask
    tun_set_ip(clnt->tun_name, clnt->si_ip, mask);
    uint16_t mtu = clnt->si_peermtu < clnt->si_cfgmtu ? clnt->si_peermtu : clnt->si_cfgmtu;
    tun_set_mtu(clnt->tun_name, mtu);

    // A default route added through the tunnel goes before the host's own, so the peer (and the
    // resolver that finds it again after a reset) first get host routes along the old default
    // route; without them the daemon's own datagrams would loop back into the tunnel.
    bool peer_ok = hostrt_move(clnt, &clnt->si_hostrt_peer, clnt->si_peerip);
    bool dns_ok = hostrt_move(clnt, &clnt->si_hostrt_dns, hostrt_dns_want(clnt));
    if (!peer_ok || !dns_ok) {
        // Better the host's own default route than a session that cannot reach its peer; an
        // earlier session's tunnel route is withdrawn for the same reason.
        log_help("Default route through %s not set: the peer would be unreachable\n", clnt->tun_name);
        route_handle(0, 0, 0, clnt->si_gateway, 0, clnt->tun_name);
        return;
    }
    route_handle(1, 0, 0, clnt->si_gateway, 0, clnt->tun_name);
}

void sdwclnt_clear_iproute(sdwan_t *clnt)
{
    tun_clear_ip(clnt->tun_name);
    route_handle(0, 0, 0, clnt->si_gateway, 0, clnt->tun_name);
    // Only after the tunnel's default route is gone, so the peer is never routed into the tunnel.
    hostrt_clear(clnt);
}
