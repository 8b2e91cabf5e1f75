// The routing-table adapters: requests to the kernel, and the one reader of its table (a fixed
// buffer, no stdio stream, which would allocate), with the longest-prefix lookup on top of it.
#include "net/route.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/netns.h"
#include "support/proc.h"

namespace {

std::string routes() { return netns_sh("ip -o -4 route show"); }

// An uplink up0 (192.0.2.2/24) and a second link up2 (198.18.0.2/24), no routes beyond theirs.
class RouteNs : public NetnsTest {
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped())
            return;
        std::string err;
        ASSERT_TRUE(netns_sh_ok("ip link add up0 type veth peer name up1 && ip addr add 192.0.2.2/24 dev up0 && "
                                "ip link set up1 up && ip link set up0 up && "
                                "ip link add up2 type veth peer name up3 && ip addr add 198.18.0.2/24 dev up2 && "
                                "ip link set up3 up && ip link set up2 up",
                                &err))
            << err;
    }
    // The route lookup on the namespace's table; "" when none matches.
    static std::string lookup(const char *dst, bool (*skip)(const route_row_t *, void *) = nullptr, void *ctx = nullptr)
    {
        int fd = route_table_open();
        route_row_t r;
        int rc = route_lookup(fd, ip(dst), skip, ctx, &r);
        close(fd);
        if (rc != 1)
            return rc == 0 ? "" : "error " + std::to_string(rc);
        return ip_text(r.dst) + "/" + std::to_string(__builtin_popcount(r.mask)) + " via " + ip_text(r.gw) + " dev " +
               r.name + " metric " + std::to_string(r.metric);
    }
};

bool skip_up2(const route_row_t *row, void *) { return std::strcmp(row->name, "up2") == 0; }

}  // namespace

TEST_F(RouteNs, LookupTakesTheLongestPrefixThenTheLowestMetric)
{
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip route add default via 192.0.2.1 metric 100 && ip route add default via 198.18.0.1 "
                            "metric 50 && ip route add 10.51.0.0/16 via 192.0.2.3 && ip route add 10.51.100.0/24 via "
                            "198.18.0.4 metric 7 && ip route add 10.51.100.0/24 via 192.0.2.4 metric 3 && "
                            "ip route add 10.51.100.9 via 192.0.2.9",
                            &err))
        << err;
    struct {
        const char *dst;
        bool skip;
        const char *want;
    } const cases[] = {
        {"203.0.113.5", false, "0.0.0.0/0 via 198.18.0.1 dev up2 metric 50"},
        {"203.0.113.5", true, "0.0.0.0/0 via 192.0.2.1 dev up0 metric 100"},
        {"10.51.7.7", false, "10.51.0.0/16 via 192.0.2.3 dev up0 metric 0"},
        {"10.51.100.7", false, "10.51.100.0/24 via 192.0.2.4 dev up0 metric 3"},
        {"10.51.100.9", false, "10.51.100.9/32 via 192.0.2.9 dev up0 metric 0"},
        {"192.0.2.77", false, "192.0.2.0/24 via 0.0.0.0 dev up0 metric 0"},
        {"198.18.0.77", true, "0.0.0.0/0 via 192.0.2.1 dev up0 metric 100"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.dst) + (c.skip ? " without up2" : ""));
        EXPECT_EQ(lookup(c.dst, c.skip ? skip_up2 : nullptr), c.want);
    }
    ASSERT_TRUE(netns_sh_ok("ip route del default via 192.0.2.1 && ip route del default via 198.18.0.1", &err)) << err;
    EXPECT_EQ(lookup("203.0.113.5"), "");
}

// Tables longer than the reader's buffer: the host's default route behind many of a tunnel's
// own (the kernel lists lower metrics first, 128 bytes a line).
TEST_F(RouteNs, LookupPastTheBuffer)
{
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip tuntap add dev tolv0 mode tun && ip addr add 10.8.0.2/24 dev tolv0 && ip link set tolv0 up",
                            &err))
        << err;
    struct {
        int tunnel_routes;
        const char *host_default;
        const char *want;
    } const cases[] = {
        {0, "default via 192.0.2.1 dev up0 metric 100", "0.0.0.0/0 via 192.0.2.1 dev up0 metric 100"},
        {30, "default via 192.0.2.5 dev up0 metric 100", "0.0.0.0/0 via 192.0.2.5 dev up0 metric 100"},
        {31, "default via 192.0.2.7 dev up0 metric 100", "0.0.0.0/0 via 192.0.2.7 dev up0 metric 100"},
        {32, "default via 192.0.2.9 dev up0 metric 100", "0.0.0.0/0 via 192.0.2.9 dev up0 metric 100"},
        {40, "default dev up0 metric 100", "0.0.0.0/0 via 0.0.0.0 dev up0 metric 100"},
    };
    auto skip_tun = [](const route_row_t *row, void *) { return std::strcmp(row->name, "tolv0") == 0; };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.tunnel_routes) + " tunnel routes, then " + c.host_default);
        netns_sh("ip route flush dev tolv0 proto boot; ip route del default dev up0");
        ASSERT_TRUE(netns_sh_ok(std::string("ip route add ") + c.host_default, &err)) << err;
        for (int m = 1; m <= c.tunnel_routes; m++)
            ASSERT_TRUE(netns_sh_ok("ip route add default via 10.8.0.1 dev tolv0 metric " + std::to_string(m), &err))
                << err;
        EXPECT_EQ(lookup("203.0.113.5", skip_tun), c.want);
    }
    FILE *fp = fopen("/proc/net/route", "r");
    ASSERT_NE(fp, nullptr);
    long n = 0;
    while (fgetc(fp) != EOF)
        n++;
    fclose(fp);
    EXPECT_GT(n, 4096) << "the last table must not fit one read";
}

TEST_F(RouteNs, ScanStopsWhereTheVisitorSays)
{
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip route add default via 192.0.2.1 && ip route add 10.1.0.0/16 via 192.0.2.3", &err)) << err;
    int fd = route_table_open();
    int seen = 0;
    EXPECT_EQ(route_table_scan(fd, [](const route_row_t *, void *ctx) { return ++*static_cast<int *>(ctx) < 2; }, &seen),
              ROUTE_SCAN_OK);
    close(fd);
    EXPECT_EQ(seen, 2);
}

TEST_F(RouteNs, RequestsAddAndDeleteWithTheKernelsAnswer)
{
    // In order: each row sees the table the rows before it left.
    struct Row {
        const char *what;
        int (*req)(int, uint32_t, uint32_t, uint32_t, int, const char *);
        int add;
        const char *dst, *mask, *gw, *dev;
        int rc;
        const char *present;  // in "ip route" afterwards, or null when 198.19.0.0 must be absent
    };
    const Row rows[] = {
        {"added", route_handle, 1, "198.19.0.0", "255.255.0.0", "192.0.2.1", "up0", 0, "198.19.0.0/16 via 192.0.2.1 dev up0"},
        {"added twice", route_handle, 1, "198.19.0.0", "255.255.0.0", "192.0.2.1", "up0", -EEXIST, "198.19.0.0/16 via 192.0.2.1 dev up0"},
        {"added twice, other name", route_request, 1, "198.19.0.0", "255.255.0.0", "192.0.2.1", "up0", -EEXIST, "198.19.0.0/16"},
        {"deleted", route_handle, 0, "198.19.0.0", "255.255.0.0", "192.0.2.1", "up0", 0, nullptr},
        {"deleted twice", route_handle, 0, "198.19.0.0", "255.255.0.0", "192.0.2.1", "up0", -ESRCH, nullptr},
        {"no such interface", route_handle, 1, "198.19.0.0", "255.255.0.0", "192.0.2.1", "nosuch0", -ENODEV, nullptr},
        {"gateway off every link", route_request, 1, "198.19.0.0", "255.255.0.0", "203.0.113.1", "up0", -ENETUNREACH, nullptr},
        {"mask with host bits set", route_request, 1, "198.19.0.1", "255.255.0.0", "192.0.2.1", "up0", -EINVAL, nullptr},
    };
    for (const Row &r : rows) {
        char dev[32];
        snprintf(dev, sizeof dev, "%s", r.dev);
        EXPECT_EQ(r.req(r.add, ip(r.dst), ip(r.mask), ip(r.gw), 0, dev), r.rc) << r.what;
        if (r.present != nullptr)
            EXPECT_TRUE(has(routes(), r.present)) << r.what << ": " << routes();
        else
            EXPECT_FALSE(has(routes(), "198.19.0.0")) << r.what << ": " << routes();
    }

    struct HostRow {
        int add;
        const char *dst, *gw;
        int rc;
        const char *shown;  // the line "ip route" shows for dst afterwards, "" when none
    };
    const HostRow hosts[] = {
        {1, "203.0.113.9", "192.0.2.1", 0, "203.0.113.9 via 192.0.2.1 dev up0"},
        {1, "203.0.113.10", "0.0.0.0", 0, "203.0.113.10 dev up0 scope link"},
        {1, "203.0.113.9", "192.0.2.1", -EEXIST, "203.0.113.9 via 192.0.2.1 dev up0"},
        {0, "203.0.113.9", "192.0.2.1", 0, ""},
        {0, "203.0.113.9", "192.0.2.1", -ESRCH, ""},
    };
    for (const HostRow &h : hosts) {
        EXPECT_EQ(route_host(h.add, ip(h.dst), ip(h.gw), "up0"), h.rc) << h.add << " " << h.dst;
        const std::string line = std::string(h.dst) + " ";
        if (h.shown[0] != '\0')
            EXPECT_TRUE(has(routes(), h.shown)) << routes();
        else
            EXPECT_FALSE(has(routes(), line)) << routes();
    }
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
    int rc = route_handle(1, ip("198.19.0.0"), ip("255.254.0.0"), ip("192.0.2.1"), 0, dev);
    const int fd = route_table_open();
    setrlimit(RLIMIT_NOFILE, &old);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -EMFILE);
    EXPECT_EQ(fd, -EMFILE);
    EXPECT_EQ(err, "socket creation failed: Too many open files\n");
    EXPECT_FALSE(has(routes(), "198.19.0.0"));
}
