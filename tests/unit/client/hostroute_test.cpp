// What the session changes on the host's routes, in a private network namespace: the host's
// default route at start-up, the tunnel's address and default route or split routes, the host
// routes that keep the daemon's own datagrams on the path they had, and nothing touched that this
// run did not make.
#include "client/hostroute.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "client/dns.h"
#include "client/status.h"
#include "net/rtnl.h"
#include "net/tun.h"
#include "support/hostns.h"
#include "support/logcap.h"
#include "support/netns.h"
#include "support/proc.h"

namespace {

using Lines = std::vector<std::string>;

}  // namespace

class HostRouteNs : public HostNs {};

// The start-up search, from files laid out as the kernel writes /proc/net/route.
TEST(HostrtFindDefault, RouteTables)
{
    struct {
        const char *file;
        const char *skip;  // the tunnel's interface name
        int rc;
        const char *ifname;  // on success
        const char *nexthop;
        Lines log;
    } const cases[] = {
        {"empty.txt", "tolv0", -1, nullptr, nullptr, {"Error reading the first line of /proc/net/route"}},
        {"header_only.txt", "tolv0", -1, nullptr, nullptr, {}},
        {"no_default.txt", "tolv0", -1, nullptr, nullptr, {}},
        {"gateway.txt", "tolv0", 0, "eth0", "192.168.1.1", {}},
        {"tunnel_first.txt", "tolv0", 0, "eth0", "192.168.1.254", {}},
        {"tunnel_first.txt", "", 0, "tolv0", "10.8.0.1", {}},      // no name: nothing is skipped
        {"tunnel_first.txt", "tolv", 0, "tolv0", "10.8.0.1", {}},  // names compare whole
        {"two_defaults.txt", "tolv0", 0, "wlan0", "10.0.0.1", {}},  // first listed, not lowest metric
        {"not_up.txt", "tolv0", 0, "eth1", "192.168.2.1", {}},
        {"no_gateway.txt", "tolv0", 0, "ppp0", "0.0.0.0", {}},
        {"half_default.txt", "tolv0", 0, "wg0", "0.0.0.0", {}},  // 0.0.0.0/1 counts as default
        {"malformed.txt", "tolv0", -1, nullptr, nullptr, {"Error reading route information"}},
        {"cut_short.txt", "tolv0", -1, nullptr, nullptr, {}},  // a cut last line is the end of the file
        {"long_name.txt", "tolv0", -1, nullptr, nullptr, {"Error reading route information"}},
        {"wide_name.txt", "tolv0", 0, "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn", "192.168.1.1", {}},  // cut to 31
        {"nul_name.txt", "tolv0", 0, "eth0", "192.168.1.1", {}},  // a name emptied by a zero byte is no interface
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " skipping \"" + c.skip + "\"");
        int fd = open((std::string(TEST_DATA_DIR) + "/route/" + c.file).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        sdwan_t clnt{};
        clnt.ops = hostkernel_ops();
        std::strcpy(clnt.tun_name, c.skip);
        char ifname[32];
        std::memset(ifname, 'K', sizeof ifname);
        uint32_t nexthop = 0xDEADBEEF;
        LogCapture log;
        EXPECT_EQ(hostrt_find_default(fd, &clnt, ifname, &nexthop), c.rc);
        close(fd);
        EXPECT_EQ(log.all(), c.log);
        if (c.rc == 0) {
            EXPECT_STREQ(ifname, c.ifname);
            for (size_t i = std::strlen(c.ifname); i < sizeof ifname; i++)
                EXPECT_EQ(ifname[i], '\0') << "name field not padded at " << i;
            EXPECT_EQ(ip_text(nexthop), c.nexthop);
        } else {
            EXPECT_EQ(nexthop, 0xDEADBEEFu) << "a failed read must leave the values held";
            EXPECT_EQ(std::string(ifname, sizeof ifname), std::string(sizeof ifname, 'K'));
        }
    }
}

TEST_F(HostRouteNs, LoadFindsTheHostDefaultRoute)
{
    LogCapture log;
    ASSERT_EQ(sdwclnt_load_defroute(&c_), 0);
    EXPECT_STREQ(c_.si_defifname, UPLINK);
    EXPECT_EQ(c_.si_defrtnexthop, ip("192.0.2.1"));
    EXPECT_EQ(log.all(), Lines{});
    EXPECT_EQ(alias_of(TUN), "tolvad") << "the tunnel is marked as this daemon's";
}

// Another instance's tunnel default route, listed first, is not the host's uplink.
TEST_F(HostRouteNs, DiscoverySkipsAnotherInstancesTunnel)
{
    sdwan_t other;
    init(&other);
    std::strcpy(other.tun_name, "tolv1");
    other.si_ip = ip("10.9.0.2");
    other.si_gateway = ip("10.9.0.1");
    ASSERT_EQ(sdwclnt_tun_open(&other), 0);
    ASSERT_EQ(sdwclnt_load_defroute(&other), 0);
    sdwclnt_set_iproute(&other);
    ASSERT_TRUE(has(routes(), "default via 10.9.0.1 dev tolv1")) << routes();

    ASSERT_EQ(sdwclnt_load_defroute(&c_), 0);
    EXPECT_STREQ(c_.si_defifname, UPLINK);
    sdwclnt_set_iproute(&c_);
    std::string all = routes();
    EXPECT_TRUE(has(all, "198.51.100.7 via 192.0.2.1 dev up0")) << "each reaches its peer over the uplink: " << all;
    EXPECT_TRUE(has(all, "default via 10.8.0.1 dev tolv0")) << all;
    sdwclnt_clear_iproute(&c_);
    all = routes();
    EXPECT_TRUE(has(all, "default via 10.9.0.1 dev tolv1")) << "the other instance's stays: " << all;
    sdwclnt_tun_close(&other);
}

TEST_F(HostRouteNs, SessionRoutesKeepThePeerOutsideAndTheResolverInside)
{
    std::strcpy(c_.si_peerdomain, "peer.example.net");
    LogCapture log;
    sdwclnt_set_iproute(&c_);

    EXPECT_EQ(if_inet(TUN), "10.8.0.2/24");
    EXPECT_EQ(if_flags(TUN) & IFF_UP, IFF_UP);
    EXPECT_EQ(if_mtu(TUN), 1400);
    std::string all = routes();
    EXPECT_TRUE(has(all, "default via 10.8.0.1 dev tolv0")) << all;
    EXPECT_TRUE(has(all, "default via 192.0.2.1 dev up0")) << "the host's own stays: " << all;
    EXPECT_TRUE(has(all, "198.51.100.7 via 192.0.2.1 dev up0")) << all;
    EXPECT_EQ(alias_of(TUN), "tolvad 198.51.100.7,192.0.2.1,up0");
    EXPECT_TRUE(has(route_get("198.51.100.7"), "via 192.0.2.1 dev up0"));
    EXPECT_TRUE(has(route_get("203.0.113.5"), "via 10.8.0.1 dev tolv0"));
    const std::string resolver = ip_text(sdwan_resolver_ip());
    EXPECT_TRUE(has(route_get(resolver.c_str()), "dev tolv0")) << "no leak: in session the resolver is in the tunnel";

    // The peer closed the session and its name is looked up again, the tunnel route still in place.
    c_.si_state = SDWANCLNT_DNS;
    sdwclnt_routes_sync(&c_);
    EXPECT_TRUE(has(route_get(resolver.c_str()), "via 192.0.2.1 dev up0")) << route_get(resolver.c_str());
    EXPECT_EQ(alias_of(TUN), "tolvad 198.51.100.7,192.0.2.1,up0 " + resolver + ",192.0.2.1,up0");
    // Resolved, to a new address: the resolver's route goes, the peer's follows.
    c_.si_state = SDWANCLNT_INIT;
    c_.si_peerip = ip("198.51.100.9");
    sdwclnt_routes_sync(&c_);
    all = routes();
    EXPECT_FALSE(has(all, resolver + " ")) << all;
    EXPECT_FALSE(has(all, "198.51.100.7")) << all;
    EXPECT_TRUE(has(all, "198.51.100.9 via 192.0.2.1 dev up0")) << all;

    sdwclnt_clear_iproute(&c_);
    EXPECT_EQ(if_inet(TUN), "");
    EXPECT_EQ(if_flags(TUN) & IFF_UP, 0);
    all = routes();
    EXPECT_FALSE(has(all, "tolv0")) << all;
    EXPECT_FALSE(has(all, "198.51.100")) << all;
    EXPECT_TRUE(has(all, "default via 192.0.2.1 dev up0")) << all;
    EXPECT_EQ(alias_of(TUN), "tolvad");
    EXPECT_EQ(log.all(), Lines{});
}

// The peer is reached over a second link by a more specific route: no host route, the path stays.
TEST_F(HostRouteNs, APeerBehindAMoreSpecificRouteKeepsItsPath)
{
    std::string err;
    ASSERT_TRUE(sh("ip link add up2 type veth peer name up3 && ip addr add 198.18.0.2/24 dev up2 && ip link set up3 up && "
                   "ip link set up2 up && ip route add 198.51.100.0/24 via 198.18.0.1",
                   &err))
        << err;
    sdwclnt_set_iproute(&c_);
    std::string all = routes();
    EXPECT_FALSE(has(all, "198.51.100.7")) << "no host route needed: " << all;
    EXPECT_TRUE(has(route_get("198.51.100.7"), "via 198.18.0.1 dev up2"));
    EXPECT_TRUE(has(route_get("203.0.113.5"), "dev tolv0"));
    sdwclnt_clear_iproute(&c_);
    all = routes();
    EXPECT_TRUE(has(all, "198.51.100.0/24 via 198.18.0.1 dev up2")) << all;
    EXPECT_FALSE(has(all, "198.51.100.7")) << all;
    EXPECT_EQ(c_.si_hostrt_peer.dst, 0u);
}

TEST_F(HostRouteNs, AHostRouteTheKernelDroppedIsPutBack)
{
    sdwclnt_set_iproute(&c_);
    std::string err;
    // The uplink flaps: the kernel drops every route through it, the host's default route too.
    ASSERT_TRUE(sh("ip link set up0 down", &err)) << err;
    EXPECT_FALSE(has(routes(), "198.51.100.7")) << routes();
    sdwclnt_routes_restore(&c_);  // link down: not possible yet, and nothing logged
    ASSERT_TRUE(sh("ip link set up0 up", &err)) << err;
    LogCapture log;
    sdwclnt_routes_restore(&c_);
    EXPECT_TRUE(has(routes(), "198.51.100.7 via 192.0.2.1 dev up0")) << routes();
    EXPECT_TRUE(has(route_get("198.51.100.7"), "via 192.0.2.1 dev up0"));
    EXPECT_EQ(log.all(), Lines{});
    sdwclnt_clear_iproute(&c_);
    EXPECT_FALSE(has(routes(), "198.51.100.7")) << routes();
}

TEST_F(HostRouteNs, TheHostRouteFollowsAChangedDefaultRoute)
{
    sdwclnt_set_iproute(&c_);
    std::string err;
    ASSERT_TRUE(sh("ip link add up2 type veth peer name up3 && ip addr add 198.18.0.2/24 dev up2 && ip link set up3 up && "
                   "ip link set up2 up",
                   &err))
        << err;
    // In session, at the kernel's notice: to another gateway, then to another interface.
    struct {
        const char *change;
        const char *route;
        const char *alias;
    } const moves[] = {
        {"ip route del default via 192.0.2.1 dev up0 && ip route add default via 192.0.2.254 dev up0 metric 10",
         "198.51.100.7 via 192.0.2.254 dev up0", "tolvad 198.51.100.7,192.0.2.254,up0"},
        {"ip route del default && ip route add default via 198.18.0.1 dev up2", "198.51.100.7 via 198.18.0.1 dev up2",
         "tolvad 198.51.100.7,198.18.0.1,up2"},
    };
    for (const auto &m : moves) {
        SCOPED_TRACE(m.change);
        ASSERT_TRUE(sh(m.change, &err)) << err;
        sdwclnt_routes_restore(&c_);
        EXPECT_EQ(netns_sh("ip -o -4 route show 198.51.100.7"), std::string(m.route) + " \n") << routes();
        EXPECT_EQ(alias_of(TUN), m.alias);
    }
    ASSERT_TRUE(sh("ip route del default && ip route add default via 192.0.2.254 dev up0", &err)) << err;
    sdwclnt_routes_sync(&c_);
    std::string all = routes();
    EXPECT_TRUE(has(all, "198.51.100.7 via 192.0.2.254 dev up0")) << all;
    EXPECT_FALSE(has(all, "198.51.100.7 via 198.18.0.1")) << all;
    // No default route of the host's for a while: the path held stays.
    ASSERT_TRUE(sh("ip route del default via 192.0.2.254 dev up0", &err)) << err;
    LogCapture log;
    sdwclnt_routes_sync(&c_);
    EXPECT_TRUE(has(routes(), "198.51.100.7 via 192.0.2.254 dev up0")) << routes();
    EXPECT_EQ(log.all(), Lines{});
    sdwclnt_clear_iproute(&c_);
    EXPECT_FALSE(has(routes(), "198.51.100.7"));
}

TEST_F(HostRouteNs, DefaultRouteWithoutNextHopGivesADeviceRoute)
{
    std::string err;
    ASSERT_TRUE(sh("ip route replace default dev up0", &err)) << err;
    sdwclnt_set_iproute(&c_);
    std::string all = routes();
    EXPECT_TRUE(has(all, "198.51.100.7 dev up0 scope link")) << all;
    EXPECT_TRUE(has(all, "default via 10.8.0.1 dev tolv0")) << all;
    sdwclnt_clear_iproute(&c_);
    EXPECT_FALSE(has(routes(), "198.51.100.7"));
}

// Without a route that keeps the peer outside, the tunnel would swallow the session's own packets.
TEST_F(HostRouteNs, NoTunnelDefaultRouteWhenThePeerCannotBeKeptOutside)
{
    std::string err;
    ASSERT_TRUE(sh("ip route del default", &err)) << err;
    LogCapture log;
    sdwclnt_set_iproute(&c_);
    EXPECT_EQ(log.all(), (Lines{"No route to 198.51.100.7 outside tolv0",
                                "Default route through tolv0 not set: the peer would be unreachable"}));
    EXPECT_EQ(if_inet(TUN), "10.8.0.2/24") << "the interface is configured all the same";
    EXPECT_FALSE(has(routes(), "default via 10.8.0.1")) << routes();
    EXPECT_EQ(c_.si_own & SDWAN_OWN_DEFRT, 0);
}

// The kernel takes no IPv4 MTU below 68: a smaller one (from the configuration or the peer) is
// raised to it rather than left at the interface's old one, and the session carries what the
// interface has.
TEST_F(HostRouteNs, MtuIsTheSmallerOneAndTheNetmaskAlwaysA24)
{
    struct {
        uint16_t peer, cfg;
        int mtu;
        const char *addr, *gw, *inet;
        Lines log;
        unsigned refused = 0;  // the default route's refusals counted, in the status file too
    } const sessions[] = {
        {1400, 1500, 1400, "10.8.0.2", "10.8.0.1", "10.8.0.2/24", {}},
        {1500, 1300, 1300, "172.16.44.9", "172.16.44.1", "172.16.44.9/24", {}},
        {0, 1500, 1300, "10.200.3.77", "10.200.3.1", "10.200.3.77/24", {}},  // no MTU from the peer: kept
        {1400, 46, 68, "10.8.0.2", "10.8.0.1", "10.8.0.2/24", {"MTU 46 is below the IPv4 minimum: tolv0 set to 68"}},
        {1400, 67, 68, "10.8.0.2", "10.8.0.1", "10.8.0.2/24", {"MTU 67 is below the IPv4 minimum: tolv0 set to 68"}},
        {50, 1400, 68, "10.8.0.2", "10.8.0.1", "10.8.0.2/24", {"MTU 50 is below the IPv4 minimum: tolv0 set to 68"}},
        {1400, 68, 68, "10.8.0.2", "10.8.0.1", "10.8.0.2/24", {}},
        {1400, 1500, 1400, "10.8.0.2", "10.9.9.1", "10.8.0.2/24",
         {"Failed to add default route via 10.9.9.1 on tolv0: Network is unreachable"}, 1},
    };
    for (const auto &s : sessions) {
        SCOPED_TRACE(std::string(s.inet) + " mtu " + std::to_string(s.peer) + "/" + std::to_string(s.cfg));
        c_.si_peermtu = s.peer;
        c_.si_cfgmtu = s.cfg;
        c_.si_ip = ip(s.addr);
        c_.si_gateway = ip(s.gw);
        std::memset(c_.si_kreq_refused, 0, sizeof c_.si_kreq_refused);
        LogCapture log;
        sdwclnt_set_iproute(&c_);
        EXPECT_EQ(if_mtu(TUN), s.mtu);
        EXPECT_EQ(c_.si_tunmtu, s.mtu);
        EXPECT_EQ(if_inet(TUN), s.inet);
        EXPECT_EQ(has(routes(), std::string("default via ") + s.gw + " dev tolv0"), s.refused == 0) << routes();
        EXPECT_EQ(log.all(), s.log);
        static char text[STATUS_BUF];
        const std::string file(text, status_format(&c_, text, sizeof text));
        EXPECT_TRUE(has(file, "tolvad_kernel_requests_refused_total{interface=\"tolv0\",request=\"route\"} " +
                                  std::to_string(s.refused) + "\n"))
            << file;
        sdwclnt_clear_iproute(&c_);
        EXPECT_FALSE(has(routes(), "dev tolv0"));
        EXPECT_EQ(c_.si_tunmtu, 0);
    }
}

// Shutdown releases the interface first; the host routes on the uplink must still go.
TEST_F(HostRouteNs, ShutdownOrderRemovesTheHostRoutesAndTheInterface)
{
    sdwclnt_set_iproute(&c_);
    sdwclnt_tun_close(&c_);
    sdwclnt_clear_iproute(&c_);
    EXPECT_EQ(if_flags(TUN), -1);
    std::string all = routes();
    EXPECT_FALSE(has(all, "198.51.100.7")) << all;
    EXPECT_TRUE(has(all, "default via 192.0.2.1 dev up0")) << all;
    EXPECT_EQ(c_.si_own, 0);
}

// Split routes: only the configured prefixes go through the tunnel, the host's default route
// keeps everything else, and the peer gets a host route only where a prefix would take it. A /32
// of the peer's own address is left out; a prefix the kernel refuses is named and not counted.
TEST_F(HostRouteNs, SplitRoutesAndThePeersPath)
{
    struct {
        const char *name;
        const char *host;                    // an extra route of the host's, or ""
        std::vector<const char *> prefixes;  // "net/len"
        const char *peer_route;              // the peer's host route, or "" for none
        const char *gateway;                 // the peer's gateway, nullptr for 10.8.0.1
        std::vector<uint8_t> set;            // si_rtset for each prefix, empty for all set
        Lines log;
        const char *rest = "via 192.0.2.1 dev up0";  // the path of an address no prefix names
    } cases[] = {
        {"peer not covered", "", {"10.93.0.0/24"}, "", nullptr, {}, {}},
        {"peer covered", "", {"10.93.0.0/24", "198.51.100.0/24"}, "198.51.100.7 via 192.0.2.1 dev up0", nullptr, {}, {}},
        {"peer covered by a /31", "", {"198.51.100.6/31"}, "198.51.100.7 via 192.0.2.1 dev up0", nullptr, {}, {}},
        {"host path less specific", "198.51.0.0/16 via 192.0.2.1", {"198.51.100.0/24"},
         "198.51.100.7 via 192.0.2.1 dev up0", nullptr, {}, {}},
        {"host path more specific", "198.51.100.0/25 via 192.0.2.1", {"198.51.100.0/24"}, "", nullptr, {}, {}},
        {"the peer's own /32", "", {"198.51.100.7/32", "10.93.0.0/24"}, "198.51.100.7 via 192.0.2.1 dev up0", nullptr,
         {0, 1}, {"Route to 198.51.100.7/32 via tolv0 not set: it is the peer's address"}},
        {"refused by the kernel: a gateway off the tunnel's network", "", {"10.93.0.0/24"}, "", "10.9.9.1", {0},
         {"Failed to add route to 10.93.0.0/24 via 10.9.9.1 on tolv0: Network is unreachable"}},
        {"the two halves", "", {"0.0.0.0/1", "128.0.0.0/1"}, "198.51.100.7 via 192.0.2.1 dev up0", nullptr, {}, {},
         "via 10.8.0.1 dev tolv0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string err;
        if (c.host[0] != '\0') {
            ASSERT_TRUE(sh(std::string("ip route add ") + c.host, &err)) << err;
        }
        rtcfg_entry_t e[4];
        for (size_t i = 0; i < c.prefixes.size(); i++) {
            std::string p = c.prefixes[i];
            e[i] = {ip(p.substr(0, p.find('/')).c_str()), static_cast<uint32_t>(std::stoul(p.substr(p.find('/') + 1))),
                    i + 1 < c.prefixes.size() ? &e[i + 1] : nullptr};
        }
        c_.si_rtcfg = e;
        c_.si_rtmode = SDWAN_RTMODE_SPLIT;
        c_.si_gateway = ip(c.gateway != nullptr ? c.gateway : "10.8.0.1");
        LogCapture log;
        sdwclnt_set_iproute(&c_);
        std::string all = routes();
        for (size_t i = 0; i < c.prefixes.size(); i++) {
            const bool want = c.set.empty() || c.set[i] != 0;
            const std::string p = std::string(c.prefixes[i]);
            EXPECT_EQ(has(all, p.substr(0, p.find("/32")) + " via " + std::string(c.gateway != nullptr ? c.gateway : "10.8.0.1") + " dev tolv0"), want) << all;
            EXPECT_EQ(c_.si_rtset[i], want ? 1 : 0) << p;
        }
        EXPECT_FALSE(has(all, "default via 10.8.0.1")) << "no tunnel default route: " << all;
        EXPECT_TRUE(has(route_get("203.0.113.5"), c.rest));
        if (c.peer_route[0] != '\0')
            EXPECT_TRUE(has(all, c.peer_route)) << all;
        else
            EXPECT_FALSE(has(all, "198.51.100.7 ")) << all;
        EXPECT_FALSE(has(route_get("198.51.100.7"), "tolv0")) << "the peer stays outside the tunnel";
        // Looking up the name again: the resolver is held outside only where a prefix takes it in.
        c_.si_state = SDWANCLNT_DNS;
        std::strcpy(c_.si_peerdomain, "peer.example.net");
        sdwclnt_routes_sync(&c_);
        EXPECT_EQ(c_.si_hostrt_dns.dst != 0, has(c.rest, "tolv0"));
        c_.si_state = SDWANCLNT_DATA;
        c_.si_peerdomain[0] = '\0';

        sdwclnt_clear_iproute(&c_);
        all = routes();
        EXPECT_FALSE(has(all, "tolv0")) << all;
        EXPECT_FALSE(has(all, "198.51.100.7")) << all;
        EXPECT_TRUE(has(all, "default via 192.0.2.1 dev up0")) << all;
        EXPECT_EQ(c_.si_own & (SDWAN_OWN_SPLITRT | SDWAN_OWN_DEFRT), 0);
        EXPECT_EQ(c_.si_rtset[0], 0);
        EXPECT_EQ(log.all(), c.log);
        if (c.host[0] != '\0') {
            ASSERT_TRUE(sh(std::string("ip route del ") + c.host, &err)) << err;
        }
    }
}
