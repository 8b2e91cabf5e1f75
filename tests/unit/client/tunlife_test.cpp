// The TUN interface's life, in a private network namespace: the alias that marks this daemon's
// tunnels, an interface of another kind or another instance's left alone, one made beforehand
// used and left as found, and what a killed run left removed.
#include "client/hostroute.h"
#include "client/tunlife.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "client/dns.h"
#include "net/rtnl.h"
#include "net/tun.h"
#include "base/fail.h"
#include "support/client.h"
#include "support/hostns.h"
#include "support/logcap.h"
#include "support/netns.h"
#include "support/proc.h"

namespace {
// The clean-up step as a configuration without "setdns" runs it, on the namespace's kernel.
int cleanup(const char *name)
{
    client_ptr c = new_client();
    c->ops = netns_kernel_ops();
    return sdwclnt_cleanup(c.get(), name);
}

using Lines = std::vector<std::string>;

}  // namespace

class TunLifeNs : public HostNs {};

TEST(HostrtAlias, FormatAndParse)
{
    sdwan_hostrt_t rt[2] = {{ip("198.51.100.7"), ip("192.0.2.1"), "up0"}, {ip("8.8.8.8"), 0, "ppp0"}};
    char buf[HOSTRT_ALIAS_MAX];
    const size_t n = hostrt_alias_format(rt, 2, buf, sizeof buf);
    EXPECT_EQ(n, std::strlen(buf));
    EXPECT_STREQ(buf, "tolvad 198.51.100.7,192.0.2.1,up0 8.8.8.8,0.0.0.0,ppp0");
    sdwan_hostrt_t none[2] = {};
    hostrt_alias_format(none, 2, buf, sizeof buf);
    EXPECT_STREQ(buf, "tolvad");
    hostrt_alias_format(rt, 1, buf, sizeof buf, true);
    EXPECT_STREQ(buf, "tolvad kept 198.51.100.7,192.0.2.1,up0");
    hostrt_alias_format(rt, 1, buf, sizeof buf, true, true);
    EXPECT_STREQ(buf, "tolvad kept killswitch 198.51.100.7,192.0.2.1,up0");

    struct {
        const char *alias;
        int n;
        const char *first_dev;
    } const cases[] = {
        {"tolvad", 0, nullptr},
        {"tolvad 198.51.100.7,192.0.2.1,up0", 1, "up0"},
        {"tolvad 198.51.100.7,192.0.2.1,up0 8.8.8.8,0.0.0.0,ppp0", 2, "up0"},
        {"tolvadx", -1, nullptr},
        {"uplink to the branch", -1, nullptr},
        {"", -1, nullptr},
        {"tolvad ", -1, nullptr},
        {"tolvad 198.51.100.7,192.0.2.1", -1, nullptr},
        {"tolvad 198.51.100.7,192.0.2.1,", -1, nullptr},
        {"tolvad 0.0.0.0,192.0.2.1,up0", -1, nullptr},       // no destination
        {"tolvad 198.51.100.7,300.0.2.1,up0", -1, nullptr},  // no gateway
        {"tolvad 198.51.100.7,192.0.2.1,abcdefghijklmnop", -1, nullptr},  // 16 characters
        {"tolvad  198.51.100.7,192.0.2.1,up0", -1, nullptr},
        {"tolvad 1.1.1.1,0.0.0.0,a 2.2.2.2,0.0.0.0,b 3.3.3.3,0.0.0.0,c", -1, nullptr},  // more than asked for
        {"tolvad kept", 0, nullptr},
        {"tolvad kept 198.51.100.7,192.0.2.1,up0", 1, "up0"},
        {"tolvad keptx", -1, nullptr},
        {"tolvad 198.51.100.7,192.0.2.1,up0 kept", -1, nullptr},
        {"tolvad killswitch", 0, nullptr},
        {"tolvad kept killswitch 198.51.100.7,192.0.2.1,up0", 1, "up0"},
        {"tolvad killswitch kept", -1, nullptr},
        {"tolvad killswitchx", -1, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.alias);
        sdwan_hostrt_t out[2];
        std::memset(out, 0, sizeof out);
        bool kept = true, ks = true;
        ASSERT_EQ(hostrt_alias_parse(c.alias, std::strlen(c.alias), out, 2, &kept, &ks), c.n);
        if (c.n >= 0) {
            EXPECT_EQ(kept, has(c.alias, "kept"));
            EXPECT_EQ(ks, has(c.alias, "killswitch"));
        }
        if (c.first_dev != nullptr) {
            EXPECT_STREQ(out[0].dev, c.first_dev);
        }
    }
    // The bytes given, not a terminator, bound the text.
    EXPECT_EQ(hostrt_alias_parse("tolvad 198.51.100.7,192.0.2.1,up0", 6, rt, 2), 0);
}
// A section line naming an interface of another kind: the start fails, and the steps of the
// shutdown that follows find nothing of theirs on it.
TEST_F(TunLifeNs, AnInterfaceOfAnotherKindIsLeftAlone)
{
    const std::string before = uplink();
    sdwan_t c;
    init(&c);
    std::strcpy(c.conf.tun_name, UPLINK);
    c.sess.gateway = 0;
    LogCapture log;
    EXPECT_EQ(sdwclnt_tun_open(&c), -EINVAL);
    sdwclnt_tun_close(&c);
    sdwclnt_clear_iproute(&c);
    EXPECT_EQ(log.all(), Lines{"Failed to attach tun interface up0: Invalid argument"});
    EXPECT_EQ(uplink(), before);
    EXPECT_EQ(alias_of(UPLINK), "");
    EXPECT_EQ(cleanup(UPLINK), 0);
    EXPECT_EQ(uplink(), before);
}

// A second instance with the same interface name leaves the first one's interface and routes.
TEST_F(TunLifeNs, ASecondInstanceLeavesTheFirstsTunnel)
{
    sdwclnt_set_iproute(&c_);
    const std::string before = routes() + if_inet(TUN) + std::to_string(if_flags(TUN));
    sdwan_t second;
    init(&second);
    LogCapture log;
    EXPECT_EQ(sdwclnt_tun_open(&second), -EBUSY);
    sdwclnt_tun_close(&second);
    sdwclnt_clear_iproute(&second);
    EXPECT_EQ(log.all(), Lines{"Failed to attach tun interface tolv0: Device or resource busy"});
    // Nor does the clean-up step take a running daemon's interface for a dead one's.
    EXPECT_EQ(cleanup(TUN), 0);
    EXPECT_EQ(routes() + if_inet(TUN) + std::to_string(if_flags(TUN)), before);
    sdwclnt_clear_iproute(&c_);
}

// A run killed in session leaves its persistent interface, its address, the tunnel default route
// and the host route; the clean-up step, or the next start, removes exactly that.
TEST_F(TunLifeNs, WhatAKilledRunLeftIsRemoved)
{
    const std::string host = routes();
    for (bool by_start : {false, true}) {
        SCOPED_TRACE(by_start ? "the next start takes it over" : "the clean-up step");
        sdwan_t dead;
        init(&dead);
        if (c_.io.tunfd < 0) {
            ASSERT_EQ(sdwclnt_tun_open(&c_), 0);
        }
        sdwclnt_set_iproute(&c_);
        ASSERT_TRUE(has(routes(), "198.51.100.7 via 192.0.2.1")) << routes();
        close(c_.io.tunfd);  // killed: nothing undone
        c_.io.tunfd = -1;
        c_.host.own = 0;
        std::memset(&c_.host.hostrt_peer, 0, sizeof c_.host.hostrt_peer);
        ASSERT_TRUE(has(route_get("203.0.113.5"), "dev tolv0"));

        LogCapture log;
        if (by_start) {
            ASSERT_EQ(sdwclnt_tun_open(&dead), 0);
            EXPECT_EQ(dead.host.own, SDWAN_OWN_TUN | SDWAN_OWN_TUNIF) << "taken over as this run's own";
            EXPECT_EQ(if_inet(TUN), "");
            EXPECT_EQ(if_flags(TUN) & IFF_UP, 0);
            sdwclnt_tun_close(&dead);
        } else {
            EXPECT_EQ(cleanup(TUN), 0);
        }
        EXPECT_EQ(log.all(), Lines{"Removed what an earlier run left on tolv0"});
        EXPECT_EQ(if_flags(TUN), -1);
        EXPECT_EQ(routes(), host);
        EXPECT_EQ(cleanup(TUN), 0) << "nothing left: nothing to do";
    }
}
namespace {
// What another program or the administrator sees of an interface: "absent", or its flags, IPv4
// addresses, MTU, queue length, the routes through it and its alias.
std::string ifstate(const char *name)
{
    const int flags = if_flags(name);
    if (flags < 0)
        return "absent";
    const std::string link = netns_sh(std::string("ip -o link show dev ") + name);
    const size_t q = link.find("qlen ");
    return std::string((flags & IFF_UP) != 0 ? "up" : "down") + " [" + if_inet(name) + "] mtu " +
           std::to_string(if_mtu(name)) + " qlen " + link.substr(q + 5, link.find_first_of(" \\", q + 5) - q - 5) + " [" +
           netns_sh(std::string("ip -o -4 route show dev ") + name + " | tr '\\n' ';'") + "] " + alias_of(name);
}
}  // namespace

// A TUN interface that exists at the start: used only when nobody uses it or an earlier run of
// this daemon left it; what is used is left as it was found, or removed when it was a run's own.
// The stop is the daemon's shutdown, or a kill and the clean-up step.
TEST_F(TunLifeNs, AnExistingTunInterfaceIsUsedOnlyWhenFree)
{
    constexpr char NAME[] = "tun0";
    const std::string MADE = "ip tuntap add tun0 mode tun && ip link set tun0 txqueuelen 500 && ";
    const std::string LEFT = "ip addr add 10.9.0.2/24 dev tun0 && ip link set tun0 up && ip link set tun0 alias ";
    const char *REFUSED = "TUN interface tun0 is in use (up or addressed) and not this daemon's: left alone";
    const char *REMOVED = "Removed what an earlier run left on tun0";
    const std::string SESSION =
        "up [10.9.0.2/24] mtu 1400 qlen 1000 [default via 10.9.0.1 ;10.9.0.0/24 proto kernel scope link src 10.9.0.2 ;] ";
    struct {
        const char *name;
        std::string make;  // "" for none
        bool killed;       // stopped by a kill and the clean-up step
        bool attached;
        std::string session_alias;
        std::string after;  // its state after the stop; "" for as it was made
        Lines log;
    } const cases[] = {
        {"absent", "", false, true, "tolvad 198.51.100.8,192.0.2.1,up0", "absent", {}},
        {"made beforehand, down and bare", MADE + "ip link set tun0 mtu 1280", false, true,
         "tolvad kept 198.51.100.8,192.0.2.1,up0", "", {}},
        {"made beforehand, killed", MADE + "ip link set tun0 mtu 1280", true, true,
         "tolvad kept 198.51.100.8,192.0.2.1,up0", "down [] mtu 1400 qlen 1000 [] ", {REMOVED}},
        {"made beforehand with an alias of its own", MADE + "ip link set tun0 alias branch", false, true, "branch", "",
         {}},
        {"made beforehand, left by a killed run", MADE + LEFT + "'tolvad kept'", false, true,
         "tolvad kept 198.51.100.8,192.0.2.1,up0", "down [] mtu 1400 qlen 1000 [] ", {REMOVED}},
        {"another VPN's: up, addressed, routed",
         MADE + "ip addr add 10.77.0.2/24 dev tun0 && ip link set tun0 up && ip route add 10.78.0.0/16 dev tun0", false,
         false, "", "", {REFUSED}},
        {"up without an address", MADE + "ip link set tun0 up", false, false, "", "", {REFUSED}},
        {"addressed and down", MADE + "ip addr add 10.77.0.2/24 dev tun0", false, false, "", "", {REFUSED}},
        {"an earlier run's, marked", MADE + LEFT + "tolvad", false, true, "tolvad 198.51.100.8,192.0.2.1,up0", "absent",
         {REMOVED}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string err;
        if (!c.make.empty()) {
            ASSERT_TRUE(sh(c.make, &err)) << err;
        }
        const std::string before = ifstate(NAME);
        sdwan_t t;
        init(&t);
        std::strcpy(t.conf.tun_name, NAME);
        t.sess.peerip = ip("198.51.100.8");
        t.sess.ip = ip("10.9.0.2");
        t.sess.gateway = ip("10.9.0.1");
        LogCapture log;
        ASSERT_EQ(sdwclnt_tun_open(&t), c.attached ? 0 : -EBUSY);
        if (!c.attached) {
            EXPECT_EQ(ifstate(NAME), before) << "decided before the attach";
        } else {
            sdwclnt_set_iproute(&t);
            EXPECT_EQ(ifstate(NAME), SESSION + c.session_alias);
        }
        if (c.killed) {
            close(t.io.tunfd);
            EXPECT_EQ(cleanup(NAME), 0);
            EXPECT_FALSE(has(routes(), "198.51.100.8")) << routes();
        } else {
            // The daemon's shutdown, in its order.
            sdwclnt_tun_close(&t);
            sdwclnt_clear_iproute(&t);
            EXPECT_EQ(t.host.own, 0);
        }
        EXPECT_EQ(ifstate(NAME), c.after.empty() ? before : c.after);
        EXPECT_EQ(log.all(), c.log);
        (void)netns_sh("ip link del tun0 2>/dev/null");
    }
    EXPECT_STREQ(fail_text(), REFUSED) << "the start-up failure's line on standard error";
}

// With offloads on, an MTU that leaves a cut segment no payload reads the device plain.
TEST_F(TunLifeNs, ATinyMtuReadsTheDevicePlain)
{
    struct {
        uint16_t cfg;
        bool tso;
        Lines log;
    } const rows[] = {
        {46, false, {"MTU 46 is too small to cut segments: tolv2 is read packet by packet"}},
        {68, false, {"MTU 68 is too small to cut segments: tolv2 is read packet by packet"}},
        {120, false, {"MTU 120 is too small to cut segments: tolv2 is read packet by packet"}},
        {121, true, {}},
        {1400, true, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.cfg);
        sdwan_t t;
        init(&t);
        std::strcpy(t.conf.tun_name, "tolv2");
        t.conf.offload = 1;
        t.conf.mtu = r.cfg;
        LogCapture log;
        ASSERT_EQ(sdwclnt_tun_open(&t), 0);
        EXPECT_EQ((t.io.tunoff & TUN_OFFLOAD_TSO4) != 0, r.tso);
        if (!r.tso) {
            EXPECT_EQ(t.io.tunoff, 0u) << "plain descriptor";
        }
        EXPECT_EQ(log.all(), r.log);
        sdwclnt_tun_close(&t);
    }
}

// Under a read-only /proc/sys (a service's sandbox) the disable_ipv6 switch cannot be written: the
// refusal is logged and the interface, once up, still has no IPv6 address. Run in a child with a
// private mount namespace, so the read-only mount is nobody else's.
TEST_F(TunLifeNs, NoIpv6AddressUnderAReadOnlyProcSys)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(p[0]);
        std::string out;
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("/proc/sys", "/proc/sys", nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
            mount(nullptr, "/proc/sys", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            out = std::string("mount: ") + std::strerror(errno);
        } else {
            sdwan_t t;
            init(&t);
            std::strcpy(t.conf.tun_name, "tolv3");
            LogCapture log;
            out = sdwclnt_tun_open(&t) == 0 ? "open" : "not open";
            sdwclnt_set_iproute(&t);  // up, with its descriptor attached: the carrier is on
            for (const auto &l : log.all())
                out += "|" + l;
            out += "|" + netns_sh("ip -6 -o addr show dev tolv3");
            sdwclnt_clear_iproute(&t);
            sdwclnt_tun_close(&t);
        }
        (void)!write(p[1], out.data(), out.size());
        _exit(0);
    }
    close(p[1]);
    std::string got;
    char buf[512];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(got, "open|Failed to disable IPv6 on tolv3: Read-only file system|");
    EXPECT_EQ(if_flags("tolv3"), -1) << "removed at the stop";
}
