// The reload of the host's default route at every session reset reads the kernel's table through
// a fixed buffer (no stdio stream, which would allocate). Tables longer than that buffer, with the
// host's default route behind many of the tunnel's own, must give the same answer as the
// start-up reader.
#include "net/route.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "net/tun.h"
#include "support/logcap.h"
#include "support/netns.h"

namespace {

uint32_t ip(const char *text)
{
    in_addr a;
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

constexpr char TUN[] = "tolv0";

class RouteReloadNs : public NetnsTunTest {
protected:
    void SetUp() override
    {
        NetnsTunTest::SetUp();
        if (IsSkipped())
            return;
        std::memset(&c_, 0, sizeof c_);
        c_.si_udpsock = -1;
        c_.tunfd = -1;
        std::strcpy(c_.tun_name, TUN);
        ASSERT_EQ(tun_init(&c_.tunfd, c_.tun_name), 0);
        std::string err;
        ASSERT_TRUE(netns_sh_ok("ip link add up0 type veth peer name up1", &err) &&
                    netns_sh_ok("ip addr add 192.0.2.2/24 dev up0", &err) && netns_sh_ok("ip link set up1 up", &err) &&
                    netns_sh_ok("ip link set up0 up", &err) && netns_sh_ok("ip link set tolv0 up", &err) &&
                    netns_sh_ok("ip addr add 10.8.0.2/24 dev tolv0", &err))
            << err;
    }
    void TearDown() override
    {
        if (c_.tunfd >= 0)
            close(c_.tunfd);
        NetnsTunTest::TearDown();
    }
    // n default routes on the tunnel, metrics 1..n: the kernel lists them before any default of a
    // higher metric, 128 bytes a line.
    void tunnel_defaults(int n)
    {
        std::string err;
        for (int m = 1; m <= n; m++)
            ASSERT_TRUE(netns_sh_ok("ip route add default via 10.8.0.1 dev tolv0 metric " + std::to_string(m), &err))
                << err;
    }
    static long table_bytes()
    {
        FILE *fp = fopen("/proc/net/route", "r");
        long n = 0;
        while (fp != nullptr && fgetc(fp) != EOF)
            n++;
        if (fp != nullptr)
            fclose(fp);
        return n;
    }

    sdwan_t c_;
};

}  // namespace

TEST_F(RouteReloadNs, HostDefaultBehindTheTunnelsOwnAndPastTheBuffer)
{
    struct {
        int tunnel_routes;  // listed before the host's default
        const char *host_default;
    } const cases[] = {
        {0, "default via 192.0.2.1 dev up0 metric 100"},
        {1, "default via 192.0.2.3 dev up0 metric 100"},
        // Around the end of the first 4095-byte read: header and 30, 31, 32 lines of 128 bytes.
        {30, "default via 192.0.2.5 dev up0 metric 100"},
        {31, "default via 192.0.2.7 dev up0 metric 100"},
        {32, "default via 192.0.2.9 dev up0 metric 100"},
        {40, "default via 192.0.2.11 dev up0 metric 100"},  // wholly in a later read
        {40, "default dev up0 metric 100"},                 // no next hop
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.tunnel_routes) + " tunnel routes, then " + c.host_default);
        std::string err;
        // What the case before left: the tunnel's defaults (protocol boot, as added by ip) and
        // the host's.
        netns_sh("ip route flush dev tolv0 proto boot; ip route del default dev up0");
        ASSERT_TRUE(netns_sh_ok(std::string("ip route add ") + c.host_default, &err)) << err;
        tunnel_defaults(c.tunnel_routes);
        if (c.tunnel_routes >= 40) {
            ASSERT_GT(table_bytes(), 4096) << "the table must not fit one read";
        }

        // The start-up reader is the reference.
        sdwan_t ref = c_;
        ASSERT_EQ(sdwclnt_load_defroute(&ref), 0);
        ASSERT_STREQ(ref.si_defifname, "up0");

        std::strcpy(c_.si_defifname, "old0");
        c_.si_defrtnexthop = ip("203.0.113.1");
        LogCapture log;
        EXPECT_EQ(sdwclnt_reload_defroute(&c_), 0);
        EXPECT_STREQ(c_.si_defifname, ref.si_defifname);
        EXPECT_EQ(c_.si_defrtnexthop, ref.si_defrtnexthop);
        EXPECT_TRUE(log.all().empty());
    }
}

TEST_F(RouteReloadNs, OnlyTheTunnelsOwnDefaultsKeepWhatIsHeld)
{
    tunnel_defaults(40);
    ASSERT_GT(table_bytes(), 4096);
    std::strcpy(c_.si_defifname, "held0");
    c_.si_defrtnexthop = ip("192.0.2.99");
    LogCapture log;
    EXPECT_EQ(sdwclnt_reload_defroute(&c_), -1);
    EXPECT_STREQ(c_.si_defifname, "held0");
    EXPECT_EQ(c_.si_defrtnexthop, ip("192.0.2.99"));
    EXPECT_TRUE(log.all().empty());
}
