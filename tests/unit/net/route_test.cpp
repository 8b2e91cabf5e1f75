#include "net/route.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "client/dns.h"
#include "net/tun.h"
#include "support/logcap.h"
#include "support/netns.h"

namespace {

using Lines = std::vector<std::string>;

uint32_t ip(const char *text)
{
    in_addr a;
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

std::string text(uint32_t ipbe)
{
    char b[16];
    in_addr a;
    a.s_addr = ipbe;
    return inet_ntop(AF_INET, &a, b, sizeof b);
}

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

}  // namespace

// Parsing of the route table, from files laid out as the kernel writes /proc/net/route.
TEST(RouteReadDefault, RouteTables)
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
        FILE *fp = fopen((std::string(TEST_DATA_DIR) + "/route/" + c.file).c_str(), "r");
        ASSERT_NE(fp, nullptr);
        char ifname[32];
        std::memset(ifname, 'K', sizeof ifname);
        uint32_t nexthop = 0xDEADBEEF;
        LogCapture log;
        EXPECT_EQ(route_read_default(fp, c.skip, ifname, &nexthop), c.rc);
        fclose(fp);
        EXPECT_EQ(log.all(), c.log);
        if (c.rc == 0) {
            EXPECT_STREQ(ifname, c.ifname);
            for (size_t i = std::strlen(c.ifname); i < sizeof ifname; i++)
                EXPECT_EQ(ifname[i], '\0') << "name field not padded at " << i;
            EXPECT_EQ(text(nexthop), c.nexthop);
        } else {
            EXPECT_EQ(nexthop, 0xDEADBEEFu) << "a failed read must leave the values held";
            EXPECT_EQ(std::string(ifname, sizeof ifname), std::string(sizeof ifname, 'K'));
        }
    }
}

namespace {

constexpr char TUN[] = "tolv0";
constexpr char UPLINK[] = "up0";

// A namespace with an uplink that has an address and a default gateway, and the tunnel interface.
class RouteNs : public NetnsTunTest {
protected:
    void SetUp() override
    {
        NetnsTunTest::SetUp();
        if (IsSkipped())
            return;
        std::string err;
        ASSERT_TRUE(sh("ip link add up0 type veth peer name up1", &err) && sh("ip addr add 192.0.2.2/24 dev up0", &err) &&
                    sh("ip link set up1 up", &err) && sh("ip link set up0 up", &err) &&
                    sh("ip route add default via 192.0.2.1 dev up0", &err))
            << err;
        std::memset(&c_, 0, sizeof c_);
        c_.si_udpsock = -1;
        c_.tunfd = -1;
        std::strcpy(c_.tun_name, TUN);
        ASSERT_EQ(tun_init(&c_.tunfd, c_.tun_name), 0);
        c_.si_peerip = ip("198.51.100.7");
        c_.si_peerport = 4500;
        c_.si_ip = ip("10.8.0.2");
        c_.si_gateway = ip("10.8.0.1");
        c_.si_peermtu = 1400;
        c_.si_cfgmtu = 1500;
    }
    void TearDown() override
    {
        if (c_.tunfd >= 0)
            close(c_.tunfd);
        NetnsTunTest::TearDown();
    }
    static bool sh(const std::string &cmd, std::string *err) { return netns_sh_ok(cmd, err); }
    static std::string route_get(const char *dst) { return netns_sh(std::string("ip route get ") + dst); }
    static std::string routes() { return netns_sh("ip -o -4 route show"); }

    sdwan_t c_;
};

}  // namespace

TEST_F(RouteNs, LoadFindsTheHostDefaultRoute)
{
    LogCapture log;
    ASSERT_EQ(sdwclnt_load_defroute(&c_), 0);
    EXPECT_STREQ(c_.si_defifname, UPLINK);
    EXPECT_EQ(c_.si_defrtnexthop, ip("192.0.2.1"));
    EXPECT_EQ(log.all(), Lines{});
}

TEST_F(RouteNs, WithoutDefaultRouteLoadFailsAndReloadStaysQuiet)
{
    std::string err;
    ASSERT_TRUE(sh("ip route del default", &err)) << err;
    std::strcpy(c_.si_defifname, "held0");
    c_.si_defrtnexthop = ip("192.0.2.99");
    LogCapture log;
    EXPECT_EQ(sdwclnt_load_defroute(&c_), -1);
    EXPECT_EQ(sdwclnt_reload_defroute(&c_), -1);
    EXPECT_EQ(log.all(), Lines{});
    EXPECT_STREQ(c_.si_defifname, "held0");
    EXPECT_EQ(c_.si_defrtnexthop, ip("192.0.2.99"));
}

TEST_F(RouteNs, SessionRoutesKeepThePeerOutsideTheTunnel)
{
    ASSERT_EQ(sdwclnt_load_defroute(&c_), 0);
    LogCapture log;
    sdwclnt_set_iproute(&c_);

    EXPECT_EQ(if_inet(TUN), "10.8.0.2/24");
    EXPECT_EQ(if_flags(TUN) & IFF_UP, IFF_UP);
    EXPECT_EQ(if_mtu(TUN), 1400);
    std::string all = routes();
    EXPECT_TRUE(has(all, "default via 10.8.0.1 dev tolv0")) << all;
    EXPECT_TRUE(has(all, "default via 192.0.2.1 dev up0")) << "the host's own stays: " << all;
    EXPECT_TRUE(has(all, "198.51.100.7 via 192.0.2.1 dev up0")) << all;
    EXPECT_EQ(c_.si_hostrt_peer, c_.si_peerip);
    EXPECT_EQ(c_.si_hostrt_dns, 0u) << "a peer given by address needs no resolver";

    std::string peer = route_get("198.51.100.7");
    EXPECT_TRUE(has(peer, "via 192.0.2.1 dev up0")) << peer;
    std::string other = route_get("203.0.113.5");
    EXPECT_TRUE(has(other, "via 10.8.0.1 dev tolv0")) << "the tunnel's default route takes effect: " << other;

    // The tunnel's own default route, listed first now, is not taken for the host's.
    EXPECT_EQ(sdwclnt_reload_defroute(&c_), 0);
    EXPECT_STREQ(c_.si_defifname, UPLINK);
    EXPECT_EQ(c_.si_defrtnexthop, ip("192.0.2.1"));

    sdwclnt_clear_iproute(&c_);
    EXPECT_EQ(if_inet(TUN), "");
    EXPECT_EQ(if_flags(TUN) & IFF_UP, 0);
    all = routes();
    EXPECT_FALSE(has(all, "tolv0")) << all;
    EXPECT_FALSE(has(all, "198.51.100.7")) << all;
    EXPECT_TRUE(has(all, "default via 192.0.2.1 dev up0")) << all;
    EXPECT_EQ(c_.si_hostrt_peer, 0u);
    other = route_get("203.0.113.5");
    EXPECT_TRUE(has(other, "via 192.0.2.1 dev up0")) << other;
    EXPECT_EQ(log.all(), Lines{});
}

TEST_F(RouteNs, PeerByNameAlsoKeepsTheResolverOutside)
{
    std::strcpy(c_.si_peerdomain, "peer.example.net");
    ASSERT_EQ(sdwclnt_load_defroute(&c_), 0);
    sdwclnt_set_iproute(&c_);
    const std::string resolver = text(sdwan_resolver_ip());
    std::string got = route_get(resolver.c_str());
    EXPECT_TRUE(has(got, "via 192.0.2.1 dev up0")) << got;
    got = route_get("198.51.100.7");
    EXPECT_TRUE(has(got, "via 192.0.2.1 dev up0")) << got;
    EXPECT_EQ(c_.si_hostrt_dns, sdwan_resolver_ip());

    sdwclnt_clear_iproute(&c_);
    std::string all = routes();
    EXPECT_FALSE(has(all, resolver + " ")) << all;
    EXPECT_FALSE(has(all, "198.51.100.7")) << all;
    EXPECT_EQ(c_.si_hostrt_dns, 0u);
}

// After a CLOSED session the next OPENACK sets the routes again without a clear in between.
TEST_F(RouteNs, ANewPeerAddressMovesTheHostRoute)
{
    ASSERT_EQ(sdwclnt_load_defroute(&c_), 0);
    sdwclnt_set_iproute(&c_);
    c_.si_peerip = ip("198.51.100.8");
    sdwclnt_set_iproute(&c_);
    std::string all = routes();
    EXPECT_FALSE(has(all, "198.51.100.7")) << all;
    EXPECT_TRUE(has(all, "198.51.100.8 via 192.0.2.1 dev up0")) << all;
    EXPECT_EQ(c_.si_hostrt_peer, ip("198.51.100.8"));
    std::string old = route_get("198.51.100.7");
    EXPECT_TRUE(has(old, "dev tolv0")) << old;

    // The same peer again changes nothing.
    sdwclnt_set_iproute(&c_);
    EXPECT_EQ(routes(), all);

    sdwclnt_clear_iproute(&c_);
    all = routes();
    EXPECT_FALSE(has(all, "198.51.100.8")) << all;
}

// A session closed by the peer keeps the tunnel's default route; a new address for the peer
// (its name resolved elsewhere) must be routed outside the tunnel before the next OPEN.
TEST_F(RouteNs, FollowPeerMovesTheHostRouteWhileTheTunnelRouteStays)
{
    ASSERT_EQ(sdwclnt_load_defroute(&c_), 0);
    sdwclnt_set_iproute(&c_);
    c_.si_peerip = ip("198.51.100.9");
    EXPECT_TRUE(has(route_get("198.51.100.9"), "dev tolv0"));
    sdwclnt_follow_peer(&c_);
    std::string now = route_get("198.51.100.9");
    EXPECT_TRUE(has(now, "via 192.0.2.1 dev up0")) << now;
    EXPECT_FALSE(has(routes(), "198.51.100.7")) << routes();
    EXPECT_EQ(c_.si_hostrt_peer, ip("198.51.100.9"));

    sdwclnt_clear_iproute(&c_);
    EXPECT_FALSE(has(routes(), "198.51.100.9")) << routes();
}

TEST_F(RouteNs, FollowPeerWithoutTunnelRouteAddsNothing)
{
    ASSERT_EQ(sdwclnt_load_defroute(&c_), 0);
    std::string before = routes();
    sdwclnt_follow_peer(&c_);
    EXPECT_EQ(routes(), before);
    EXPECT_EQ(c_.si_hostrt_peer, 0u);
}

TEST_F(RouteNs, DefaultRouteWithoutNextHopGivesADeviceRoute)
{
    std::string err;
    ASSERT_TRUE(sh("ip route replace default dev up0", &err)) << err;
    ASSERT_EQ(sdwclnt_load_defroute(&c_), 0);
    EXPECT_EQ(c_.si_defrtnexthop, 0u);
    sdwclnt_set_iproute(&c_);
    std::string all = routes();
    EXPECT_TRUE(has(all, "198.51.100.7 dev up0 scope link")) << all;
    EXPECT_TRUE(has(all, "default via 10.8.0.1 dev tolv0")) << all;
    std::string peer = route_get("198.51.100.7");
    EXPECT_TRUE(has(peer, "dev up0")) << peer;
    sdwclnt_clear_iproute(&c_);
    EXPECT_FALSE(has(routes(), "198.51.100.7"));
}

// Shutdown releases the interface first; the host routes on the uplink must still go.
TEST_F(RouteNs, ShutdownOrderRemovesTheHostRoutes)
{
    std::strcpy(c_.si_peerdomain, "peer.example.net");
    ASSERT_EQ(sdwclnt_load_defroute(&c_), 0);
    sdwclnt_set_iproute(&c_);
    tun_deinit(&c_.tunfd, c_.tun_name);
    c_.tunfd = -1;
    sdwclnt_clear_iproute(&c_);
    EXPECT_EQ(if_flags(TUN), -1);
    std::string all = routes();
    EXPECT_FALSE(has(all, "198.51.100.7")) << all;
    EXPECT_FALSE(has(all, text(sdwan_resolver_ip()) + " ")) << all;
    EXPECT_TRUE(has(all, "default via 192.0.2.1 dev up0")) << all;
}

TEST_F(RouteNs, ReloadMovesTheHostRoutesAlongAChangedDefaultRoute)
{
    ASSERT_EQ(sdwclnt_load_defroute(&c_), 0);
    sdwclnt_set_iproute(&c_);
    std::string err;
    ASSERT_TRUE(sh("ip route del default via 192.0.2.1 dev up0", &err) &&
                sh("ip route add default via 192.0.2.254 dev up0 metric 10", &err))
        << err;
    LogCapture log;
    EXPECT_EQ(sdwclnt_reload_defroute(&c_), 0);
    EXPECT_EQ(c_.si_defrtnexthop, ip("192.0.2.254"));
    std::string all = routes();
    EXPECT_TRUE(has(all, "198.51.100.7 via 192.0.2.254 dev up0")) << all;
    EXPECT_FALSE(has(all, "198.51.100.7 via 192.0.2.1 ")) << all;

    // The uplink loses its default route for a while: what is held stays.
    ASSERT_TRUE(sh("ip route del default via 192.0.2.254 dev up0", &err)) << err;
    EXPECT_EQ(sdwclnt_reload_defroute(&c_), -1);
    EXPECT_EQ(c_.si_defrtnexthop, ip("192.0.2.254"));
    EXPECT_STREQ(c_.si_defifname, UPLINK);
    EXPECT_EQ(log.all(), Lines{});

    sdwclnt_clear_iproute(&c_);
    EXPECT_FALSE(has(routes(), "198.51.100.7"));
}

// Without a route that keeps the peer outside, the tunnel would swallow the session's own packets.
TEST_F(RouteNs, NoTunnelDefaultRouteWhenThePeerCannotBeKeptOutside)
{
    std::strcpy(c_.si_defifname, "gone0");
    c_.si_defrtnexthop = ip("192.0.2.1");
    LogCapture log;
    sdwclnt_set_iproute(&c_);
    EXPECT_EQ(log.all(), (Lines{"Failed to add host route to 198.51.100.7 via 192.0.2.1 on gone0: No such device",
                                "Default route through tolv0 not set: the peer would be unreachable"}));
    EXPECT_EQ(if_inet(TUN), "10.8.0.2/24") << "the interface is configured all the same";
    std::string all = routes();
    EXPECT_FALSE(has(all, "default via 10.8.0.1")) << all;
    EXPECT_EQ(c_.si_hostrt_peer, 0u);
}

TEST_F(RouteNs, MtuIsTheSmallerOneAndTheNetmaskAlwaysA24)
{
    ASSERT_EQ(sdwclnt_load_defroute(&c_), 0);
    struct {
        uint16_t peer, cfg;
        int mtu;
        const char *addr, *gw, *inet;
    } const sessions[] = {
        {1400, 1500, 1400, "10.8.0.2", "10.8.0.1", "10.8.0.2/24"},
        {1500, 1300, 1300, "172.16.44.9", "172.16.44.1", "172.16.44.9/24"},
        {0, 1500, 1300, "10.200.3.77", "10.200.3.1", "10.200.3.77/24"},  // no MTU from the peer: kept
    };
    for (const auto &s : sessions) {
        SCOPED_TRACE(s.inet);
        c_.si_peermtu = s.peer;
        c_.si_cfgmtu = s.cfg;
        c_.si_ip = ip(s.addr);
        c_.si_gateway = ip(s.gw);
        sdwclnt_set_iproute(&c_);
        EXPECT_EQ(if_mtu(TUN), s.mtu);
        EXPECT_EQ(if_inet(TUN), s.inet);
        std::string all = routes();
        EXPECT_TRUE(has(all, std::string("default via ") + s.gw + " dev tolv0")) << all;
        sdwclnt_clear_iproute(&c_);
        EXPECT_FALSE(has(routes(), "dev tolv0"));
    }
}

TEST_F(RouteNs, RouteHandleSubmitsAndWithdrawsAGatewayRoute)
{
    char dev[32] = "up0";
    EXPECT_EQ(route_handle(1, ip("198.18.0.0"), ip("255.254.0.0"), ip("192.0.2.1"), 0, dev), 0);
    std::string all = routes();
    EXPECT_TRUE(has(all, "198.18.0.0/15 via 192.0.2.1 dev up0")) << all;
    EXPECT_EQ(route_handle(0, ip("198.18.0.0"), ip("255.254.0.0"), ip("192.0.2.1"), 0, dev), 0);
    EXPECT_FALSE(has(routes(), "198.18.0.0"));
    // A refused request still counts as submitted.
    char nodev[32] = "nosuch0";
    EXPECT_EQ(route_handle(1, ip("198.18.0.0"), ip("255.254.0.0"), ip("192.0.2.1"), 0, nodev), 0);
    EXPECT_FALSE(has(routes(), "198.18.0.0"));
}

TEST_F(RouteNs, RouteHandleWithoutASocketReportsOnStandardError)
{
    char dev[32] = "up0";
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    ::testing::internal::CaptureStderr();
    rlimit none = old;
    none.rlim_cur = 0;  // no descriptor can be opened
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    int rc = route_handle(1, ip("198.18.0.0"), ip("255.254.0.0"), ip("192.0.2.1"), 0, dev);
    setrlimit(RLIMIT_NOFILE, &old);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, "socket creation failed: Too many open files\n");
    EXPECT_FALSE(has(routes(), "198.18.0.0"));
}
