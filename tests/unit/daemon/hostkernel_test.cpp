// The kernel's host operations in a private network namespace: each member of the table reaches
// the kernel with its arguments in place, read back as another program sees them. What the
// adapters answer in every case is tests/unit/net's; what the policy asks is HostRoutePolicy's.
#include "daemon/hostkernel.h"

#include <errno.h>
#include <net/if.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "net/route.h"
#include "net/tun.h"
#include "support/netns.h"
#include "support/proc.h"

class HostKernelNs : public NetnsTunTest {};

TEST_F(HostKernelNs, EachRequestReachesTheKernel)
{
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip link add up0 type veth peer name up1 && ip addr add 192.0.2.2/24 dev up0 && "
                            "ip link set up1 up && ip link set up0 up",
                            &err))
        << err;
    int tunfd = -1;
    ASSERT_EQ(tun_init(&tunfd, "tolv0"), 0);
    const hostops_t *k = hostkernel_ops();
    auto shown = [](const char *what) { return netns_sh(std::string("ip -o -4 route show ") + what); };

    EXPECT_EQ(k->addr_set(k->ctx, "tolv0", ip("10.8.0.2"), ip("255.255.255.0")), 0);
    EXPECT_EQ(if_inet("tolv0"), "10.8.0.2/24");
    EXPECT_EQ(if_flags("tolv0") & IFF_UP, IFF_UP);
    EXPECT_EQ(k->mtu_set(k->ctx, "tolv0", 1320), 0);
    EXPECT_EQ(if_mtu("tolv0"), 1320);
    EXPECT_EQ(k->mtu_get(k->ctx, "tolv0"), 1320);

    EXPECT_EQ(k->route(k->ctx, 1, ip("10.93.0.0"), ip("255.255.255.0"), ip("10.8.0.1"), 0, "tolv0"), 0);
    EXPECT_TRUE(has(shown("10.93.0.0/24"), "10.93.0.0/24 via 10.8.0.1 dev tolv0")) << shown("10.93.0.0/24");
    EXPECT_EQ(k->host_route(k->ctx, 1, ip("198.51.100.7"), ip("192.0.2.1"), "up0"), 0);
    EXPECT_TRUE(has(shown("198.51.100.7"), "198.51.100.7 via 192.0.2.1 dev up0")) << shown("198.51.100.7");
    // The table as the policy reads it lists both.
    const int fd = k->table_open(k->ctx);
    ASSERT_GE(fd, 0);
    route_row_t row{};
    EXPECT_EQ(route_lookup(fd, ip("10.93.0.9"), nullptr, nullptr, &row), 1);
    close(fd);
    EXPECT_STREQ(row.name, "tolv0");
    EXPECT_EQ(row.gw, ip("10.8.0.1"));

    const char mark[] = "tolvad 198.51.100.7,192.0.2.1,up0";
    EXPECT_EQ(k->alias_set(k->ctx, "tolv0", mark), 0);
    EXPECT_TRUE(has(netns_sh("ip link show dev tolv0"), std::string("alias ") + mark));
    char alias[64];
    EXPECT_EQ(k->alias_get(k->ctx, "tolv0", alias, sizeof alias), static_cast<int>(std::strlen(mark)));
    EXPECT_EQ(std::string(alias, std::strlen(mark)), mark);

    EXPECT_EQ(k->route(k->ctx, 0, ip("10.93.0.0"), ip("255.255.255.0"), ip("10.8.0.1"), 0, "tolv0"), 0);
    EXPECT_EQ(k->host_route(k->ctx, 0, ip("198.51.100.7"), ip("192.0.2.1"), "up0"), 0);
    EXPECT_EQ(k->alias_set(k->ctx, "tolv0", ""), 0);
    EXPECT_EQ(k->alias_get(k->ctx, "tolv0", alias, sizeof alias), 0);
    EXPECT_EQ(k->addr_clear(k->ctx, "tolv0"), 0);
    EXPECT_EQ(if_inet("tolv0"), "");
    EXPECT_EQ(netns_sh("ip -o -4 route show dev up0 | grep -v 192.0.2.0/24"), "");

    // The kernel's refusal comes back as it is: a route on an interface that is not there.
    EXPECT_EQ(k->route(k->ctx, 1, ip("10.93.0.0"), ip("255.255.255.0"), ip("10.8.0.1"), 0, "nosuch0"), -ENODEV);
    EXPECT_EQ(k->alias_get(k->ctx, "nosuch0", alias, sizeof alias), -ENODEV);
    tun_deinit(&tunfd, "tolv0");
}

// The kill switch's route: unreachable at its metric on no interface, listed as refused; an
// identical one is refused, and deleting it leaves the same prefix's other routes, an
// administrator's unreachable one at another metric among them.
TEST_F(HostKernelNs, UnreachableRouteIsOnlyOurs)
{
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip route add unreachable 0.0.0.0/1 metric 10 && ip link add up0 type veth peer name up1 && "
                            "ip addr add 192.0.2.2/24 dev up0 && ip link set up0 up && ip link set up1 up && "
                            "ip route add 0.0.0.0/1 via 192.0.2.1 metric 20",
                            &err))
        << err;
    const hostops_t *k = hostkernel_ops();
    const uint32_t half = ip("128.0.0.0");
    EXPECT_EQ(k->unreachable(k->ctx, 1, 0, half, 3999), 0);
    EXPECT_EQ(k->unreachable(k->ctx, 1, 0, half, 3999), -EEXIST);
    EXPECT_EQ(netns_sh("ip -o -4 route show 0.0.0.0/1"),
              "unreachable 0.0.0.0/1 metric 10 \n0.0.0.0/1 via 192.0.2.1 dev up0 metric 20 \n"
              "unreachable 0.0.0.0/1 scope host metric 3999 \n");
    const int fd = k->table_open(k->ctx);
    ASSERT_GE(fd, 0);
    route_row_t row{};
    EXPECT_EQ(route_lookup(fd, ip("10.0.0.1"), nullptr, nullptr, &row), 1);
    close(fd);
    EXPECT_EQ(row.flags & 0x0200u, 0x0200u) << "RTF_REJECT: the lowest metric, the administrator's";

    EXPECT_EQ(k->unreachable(k->ctx, 0, 0, half, 3999), 0);
    EXPECT_EQ(k->unreachable(k->ctx, 0, 0, half, 3999), -ESRCH);
    EXPECT_EQ(netns_sh("ip -o -4 route show 0.0.0.0/1"),
              "unreachable 0.0.0.0/1 metric 10 \n0.0.0.0/1 via 192.0.2.1 dev up0 metric 20 \n");
}
