// The kill switch's policy against a recording host (support/fakehost): which unreachable routes
// go in and out, the tunnel's routes over them through a session, what is left to its owner, and
// the kernel's refusals. The kernel's side of the request is HostKernelNs's; the whole of it in a
// namespace, with a capture on the uplink, is tests/e2e/killswitch.sh.
#include "client/killswitch.h"

#include <errno.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "client/hostroute.h"
#include "client/resolver.h"
#include "client/tunlife.h"
#include "support/fakehost.h"
#include "support/logcap.h"
#include "support/netns.h"
#include "support/proc.h"

namespace {

using Lines = std::vector<std::string>;
constexpr uint8_t IF = SDWAN_OWN_TUN | SDWAN_OWN_TUNIF, KS = SDWAN_OWN_KILLSW;

const FakeHost::Row LINK{"up0", "192.0.2.0", "0.0.0.0", "255.255.255.0", 0, 0};
const FakeHost::Row DEFAULT{"up0", "0.0.0.0", "192.0.2.1", "0.0.0.0", 0, 0};
// The switch's routes as the kernel lists them: no interface, RTF_UP | RTF_REJECT.
const FakeHost::Row LOW{"*", "0.0.0.0", "0.0.0.0", "128.0.0.0", 0x0201, KILLSWITCH_METRIC};
const FakeHost::Row HIGH{"*", "128.0.0.0", "0.0.0.0", "128.0.0.0", 0x0201, KILLSWITCH_METRIC};

const std::string ADD_LOW = "unreachable add 0.0.0.0/1 metric 3999",
                  ADD_HIGH = "unreachable add 128.0.0.0/1 metric 3999";
const std::string DEL_LOW = "unreachable del 0.0.0.0/1 metric 3999",
                  DEL_HIGH = "unreachable del 128.0.0.0/1 metric 3999";
const std::string ON = "Kill switch on: outside sessions, traffic for tolv0 is refused",
                  OFF = "Kill switch off for tolv0";

struct Client {
    FakeHost fake;
    sdwan_t c{};
    rtcfg_entry_t rt[2]{};

    explicit Client(std::vector<std::pair<const char *, uint32_t>> prefixes = {}, uint8_t ks = 1)
    {
        fake.table(FakeHost::rows({LINK, DEFAULT, LOW, HIGH}));
        fake.alias("tolv0", "tolvad");
        c.ops = fake.ops();
        std::strcpy(c.conf.tun_name, "tolv0");
        c.conf.killswitch = ks;
        c.conf.mtu = 1500;
        c.host.own = IF;
        c.sess.peerip = ip("198.51.100.7");
        c.sess.ip = ip("10.8.0.2");
        c.sess.gateway = ip("10.8.0.1");
        c.sess.state = SDWANCLNT_INIT;
        for (size_t i = 0; i < prefixes.size(); i++)
            rt[i] = {ip(prefixes[i].first), prefixes[i].second, i + 1 < prefixes.size() ? &rt[i + 1] : nullptr};
        c.conf.rtmode = prefixes.empty() ? SDWAN_RTMODE_FULL : SDWAN_RTMODE_SPLIT;
        c.conf.rtcfg = prefixes.empty() ? nullptr : rt;
    }
};

}  // namespace

// Arming and disarming alone: what is added, what was there already, what the kernel refuses.
TEST(KillSwitchPolicy, ArmAndDisarm)
{
    const std::string P = " -> EPERM";
    const std::string FAIL_LOW = "Failed to add kill switch route to 0.0.0.0/1: Operation not permitted";
    const struct {
        const char *what;
        std::vector<std::pair<const char *, uint32_t>> prefixes;
        uint8_t ks;
        std::vector<uint8_t> before;  // ksset
        std::pair<const char *, int> refuse;
        Lines calls, log;
        bool on;
        uint32_t refused;
        Lines disarm;
    } rows[] = {
        {"off: nothing", {}, 0, {}, {"", 0}, {}, {}, false, 0, {}},
        {"full: both halves", {}, 1, {}, {"", 0}, {ADD_LOW, ADD_HIGH}, {ON}, true, 0, {DEL_LOW, DEL_HIGH}},
        {"split: the configured prefixes",
         {{"10.93.0.0", 24}, {"172.16.0.0", 12}},
         1,
         {},
         {"", 0},
         {"unreachable add 10.93.0.0/24 metric 3999", "unreachable add 172.16.0.0/12 metric 3999"},
         {ON},
         true,
         0,
         {"unreachable del 10.93.0.0/24 metric 3999", "unreachable del 172.16.0.0/12 metric 3999"}},
        {"someone else's identical routes: left to them",
         {},
         1,
         {},
         {"unreachable", -EEXIST},
         {ADD_LOW + " -> EEXIST", ADD_HIGH + " -> EEXIST"},
         {},
         false,
         0,
         {}},
        {"refused: named and counted, nothing owned",
         {},
         1,
         {},
         {"unreachable", -EPERM},
         {ADD_LOW + P, ADD_HIGH + P},
         {FAIL_LOW, "Failed to add kill switch route to 128.0.0.0/1: Operation not permitted"},
         false,
         2,
         {}},
        {"one in place: only the other added", {}, 1, {1, 0}, {"", 0}, {ADD_HIGH}, {ON}, true, 0, {DEL_LOW, DEL_HIGH}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        Client k(r.prefixes, r.ks);
        for (size_t i = 0; i < r.before.size(); i++)
            k.c.host.ksset[i] = r.before[i];
        if (r.refuse.second != 0)
            k.fake.refuse(r.refuse.first, r.refuse.second);
        LogCapture log;
        EXPECT_EQ(killswitch_arm(&k.c), r.on);
        EXPECT_EQ(k.fake.take(), r.calls);
        EXPECT_EQ(log.all(), r.log);
        EXPECT_EQ((k.c.host.own & KS) != 0, r.on);
        EXPECT_EQ(k.c.count.kreq_refused[SDWAN_KREQ_ROUTE], r.refused);
        log.take();
        EXPECT_EQ(killswitch_disarm(&k.c), r.on);
        EXPECT_EQ(k.fake.take(), r.disarm);
        EXPECT_EQ(log.take(), r.on ? Lines{OFF} : Lines{});
        EXPECT_EQ(k.c.host.own, IF);
    }
    // A refusal is tried again at the next arming, and the line says so each time.
    Client k;
    k.fake.refuse("unreachable", -EPERM);
    (void)killswitch_arm(&k.c);
    k.fake.refuse("unreachable", 0);
    k.fake.take();
    EXPECT_TRUE(killswitch_arm(&k.c));
    EXPECT_EQ(k.fake.take(), (Lines{ADD_LOW, ADD_HIGH}));
}

// Through a session: the tunnel's routes over the switch's (in full mode the same halves), the
// peer held outside throughout, the switch staying when the session ends and going at the stop;
// the host route's path is never the switch's own route. (The host route is asked for again at
// each step: the kernel answers EEXIST while it is in place.)
TEST(KillSwitchPolicy, AcrossASession)
{
    const std::string HOSTADD = "host add 198.51.100.7 via 192.0.2.1 dev up0";
    const std::string MARK = "alias tolv0 \"tolvad killswitch 198.51.100.7,192.0.2.1,up0\"";
    const struct {
        const char *what;
        std::vector<std::pair<const char *, uint32_t>> prefixes;
        Lines arm, up, down, stop;
    } rows[] = {
        {"full",
         {},
         {ADD_LOW, ADD_HIGH, "alias tolv0 \"tolvad killswitch\"", HOSTADD, MARK},
         {"addr set tolv0 10.8.0.2/24", HOSTADD, "route add 0.0.0.0/1 via 10.8.0.1 dev tolv0",
          "route add 128.0.0.0/1 via 10.8.0.1 dev tolv0"},
         {"addr clear tolv0", "route del 0.0.0.0/1 via 10.8.0.1 dev tolv0",
          "route del 128.0.0.0/1 via 10.8.0.1 dev tolv0", HOSTADD},
         {DEL_LOW, DEL_HIGH, "host del 198.51.100.7 via 192.0.2.1 dev up0", "alias tolv0 \"tolvad\""}},
        {"split, the peer outside the prefix: no host route",
         {{"10.93.0.0", 24}},
         {"unreachable add 10.93.0.0/24 metric 3999", "alias tolv0 \"tolvad killswitch\""},
         {"addr set tolv0 10.8.0.2/24", "route add 10.93.0.0/24 via 10.8.0.1 dev tolv0"},
         {"addr clear tolv0", "route del 10.93.0.0/24 via 10.8.0.1 dev tolv0"},
         {"unreachable del 10.93.0.0/24 metric 3999"}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        Client k(r.prefixes);
        if (killswitch_arm(&k.c))
            hostrt_mark(&k.c);
        sdwclnt_routes_sync(&k.c);  // between sessions: the peer's path held outside
        EXPECT_EQ(k.fake.take(), r.arm);
        k.c.sess.state = SDWANCLNT_DATA;
        sdwclnt_set_iproute(&k.c);
        EXPECT_EQ(k.fake.take(), r.up);
        sdwclnt_clear_iproute(&k.c);
        EXPECT_EQ(k.fake.take(), r.down);
        EXPECT_NE(k.c.host.own & KS, 0);
        if (killswitch_disarm(&k.c))
            sdwclnt_routes_sync(&k.c);
        EXPECT_EQ(k.fake.take(), r.stop);
        EXPECT_EQ(k.c.host.own, IF);
    }
}

// Between sessions, while a peer given by name is looked up again, the resolver keeps a host
// route too: without it the switch would refuse the lookup that leads to the next session.
TEST(KillSwitchPolicy, TheResolverIsHeldWhileResolving)
{
    Client k;
    std::strcpy(k.c.conf.peerdomain, "peer.example");
    k.c.sess.state = SDWANCLNT_DNS;
    (void)killswitch_arm(&k.c);
    k.fake.take();
    sdwclnt_routes_sync(&k.c);
    const std::string r = ip_text(sdwan_resolver_ip());
    EXPECT_EQ(k.fake.take(),
              (Lines{"host add 198.51.100.7 via 192.0.2.1 dev up0", "host add " + r + " via 192.0.2.1 dev up0",
                     "alias tolv0 \"tolvad killswitch 198.51.100.7,192.0.2.1,up0 " + r + ",192.0.2.1,up0\""}));
    EXPECT_EQ(k.c.host.hostrt_dns.dst, sdwan_resolver_ip());
}
