// The host a client's tunnel changes, in a private network namespace: an uplink with an address
// and a default gateway, and the tunnel interface as the client opens it.
#pragma once
#include <unistd.h>

#include <cstring>
#include <string>

#include "client/tunlife.h"
#include "net/rtnl.h"
#include "support/netns.h"
#include "support/proc.h"

inline constexpr char TUN[] = "tolv0";
inline constexpr char UPLINK[] = "up0";

class HostNs : public NetnsTunTest {
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
        init(&c_);
        ASSERT_EQ(sdwclnt_tun_open(&c_), 0);
    }
    void TearDown() override
    {
        if (c_.io.tunfd >= 0)
            close(c_.io.tunfd);
        NetnsTunTest::TearDown();
    }
    static void init(sdwan_t *c)
    {
        std::memset(c, 0, sizeof *c);
        c->paths.txpkts_at = &c->paths.spare[0];
        c->paths.txbytes_at = &c->paths.spare[1];
        c->ops = netns_kernel_ops();
        c->io.udpsock = -1;
        c->io.tunfd = -1;
        c->io.rtnlfd = -1;
        std::strcpy(c->conf.tun_name, TUN);
        c->sess.peerip = ip("198.51.100.7");
        c->conf.peerport = 4500;
        c->sess.ip = ip("10.8.0.2");
        c->sess.gateway = ip("10.8.0.1");
        c->sess.peermtu = 1400;
        c->conf.mtu = 1500;
        c->sess.state = SDWANCLNT_DATA;
    }
    static bool sh(const std::string &cmd, std::string *err) { return netns_sh_ok(cmd, err); }
    static std::string route_get(const char *dst) { return netns_sh(std::string("ip route get ") + dst); }
    static std::string routes() { return netns_sh("ip -o -4 route show"); }
    // The uplink's settings, to compare before and after.
    static std::string uplink()
    {
        return netns_sh("ip -o -4 addr show dev up0; ip -o link show dev up0 | cut -d' ' -f2-3; ip -o -4 route show");
    }

    sdwan_t c_;
};

// The interface's alias as another program reads it, "<none>" when it cannot be read.
inline std::string alias_of(const char *name)
{
    char a[HOSTRT_ALIAS_MAX];
    return rtnl_alias_get(name, a, sizeof a) >= 0 ? a : "<none>";
}
