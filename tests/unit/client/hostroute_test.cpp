// The route policy against a recording host (support/fakehost): from the route mode, the
// prefixes, the host's table, what the record already owns and what the host refuses, the exact
// requests in their order, the lines, and what the record owns afterwards. The kernel's side of
// each request is daemon/hostkernel_test's.
#include "client/hostroute.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/route.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "client/dns.h"
#include "support/fakehost.h"
#include "support/logcap.h"
#include "support/netns.h"
#include "support/proc.h"

namespace {

using Lines = std::vector<std::string>;
using Refusals = std::vector<std::pair<const char *, int>>;
using Counts = std::array<uint32_t, SDWAN_KREQ_COUNT>;  // route, address, MTU

constexpr uint8_t OWN_IF = SDWAN_OWN_TUN | SDWAN_OWN_TUNIF;
constexpr uint8_t CONF = SDWAN_OWN_TUNCONF, DEFRT = SDWAN_OWN_DEFRT, SPLIT = SDWAN_OWN_SPLITRT;
constexpr uint8_t FULL = OWN_IF | CONF | DEFRT, SPL = OWN_IF | CONF | SPLIT, BARE = OWN_IF | CONF;

// The host's own routes: the uplink's network and its default route.
const FakeHost::Row LINK{"up0", "192.0.2.0", "0.0.0.0", "255.255.255.0", 0, 0};
const FakeHost::Row DEFAULT{"up0", "0.0.0.0", "192.0.2.1", "0.0.0.0", 0, 100};
const std::string HOST = FakeHost::rows({LINK, DEFAULT});
// A second uplink's route to the peer's network, more specific than the tunnel's default route.
const FakeHost::Row UP2_MORE{"up2", "198.51.100.0", "198.18.0.1", "255.255.255.0", 0, 0};

const std::string ADDR = "addr set tolv0 10.8.0.2/24", MTU = "mtu set tolv0 1400";
const std::string HOSTADD = "host add 198.51.100.7 via 192.0.2.1 dev up0";
const std::string HOSTDEL = "host del 198.51.100.7 via 192.0.2.1 dev up0";
const std::string MARK = "alias tolv0 \"tolvad 198.51.100.7,192.0.2.1,up0\"", UNMARK = "alias tolv0 \"tolvad\"";
const std::string DEFADD = "route add 0.0.0.0/0 via 10.8.0.1 dev tolv0";
const std::string DEFDEL = "route del 0.0.0.0/0 via 10.8.0.1 dev tolv0";
const char PEER_HELD[] = "198.51.100.7,192.0.2.1,up0";

sdwan_hostrt_t held_of(const std::string &text)
{
    sdwan_hostrt_t h{};
    if (text.empty())
        return h;
    const size_t a = text.find(','), b = text.find(',', a + 1);
    h.dst = ip(text.substr(0, a).c_str());
    h.gw = ip(text.substr(a + 1, b - a - 1).c_str());
    std::strncpy(h.dev, text.c_str() + b + 1, sizeof h.dev - 1);
    return h;
}
std::string text_of(const sdwan_hostrt_t &h)
{
    return h.dst == 0 ? "" : ip_text(h.dst) + "," + ip_text(h.gw) + "," + std::string(h.dev);
}
std::string resolver() { return ip_text(sdwan_resolver_ip()); }

// What a row starts from: what an earlier session or step of this run left in the record.
struct Before {
    uint8_t own = OWN_IF;
    const char *defrt_gw = "0.0.0.0";
    std::vector<uint8_t> rtset = {};
    std::string peer = "";  // the host routes held, "dst,gw,dev"
    std::string dns = "";
};

// One client record on one fake host: the tunnel tolv0 at 10.8.0.2 behind 10.8.0.1, the peer
// 198.51.100.7, in session.
struct Host {
    FakeHost fake;
    sdwan_t c{};
    rtcfg_entry_t rt[4]{};

    Host(const std::string &table, const std::vector<const char *> &prefixes, const Before &b, const Refusals &refuse)
    {
        fake.table(table);
        for (const auto &[kind, err] : refuse)
            fake.refuse(kind, err);
        c.ops = fake.ops();
        std::strcpy(c.conf.tun_name, "tolv0");
        c.sess.peerip = ip("198.51.100.7");
        c.sess.ip = ip("10.8.0.2");
        c.sess.gateway = ip("10.8.0.1");
        c.sess.peermtu = 1400;
        c.conf.mtu = 1500;
        c.sess.state = SDWANCLNT_DATA;
        c.host.own = b.own;
        c.host.defrt_gw = ip(b.defrt_gw);
        c.host.hostrt_peer = held_of(b.peer);
        c.host.hostrt_dns = held_of(b.dns);
        for (size_t i = 0; i < b.rtset.size(); i++)
            c.host.rtset[i] = b.rtset[i];
        for (size_t i = 0; i < prefixes.size(); i++) {
            const std::string p = prefixes[i];
            rt[i] = {ip(p.substr(0, p.find('/')).c_str()), static_cast<uint32_t>(std::stoul(p.substr(p.find('/') + 1))),
                     i + 1 < prefixes.size() ? &rt[i + 1] : nullptr};
        }
        c.conf.rtmode = prefixes.empty() ? SDWAN_RTMODE_FULL : SDWAN_RTMODE_SPLIT;
        c.conf.rtcfg = prefixes.empty() ? nullptr : rt;
    }
    Counts refused() const { return {c.count.kreq_refused[0], c.count.kreq_refused[1], c.count.kreq_refused[2]}; }
    std::vector<uint8_t> rtset(size_t n) const { return {c.host.rtset, c.host.rtset + n}; }
};

}  // namespace

// OPENACK's routes: the peer held outside where the tunnel's routes would take it, then the
// tunnel's default route or split routes.
TEST(HostRoutePolicy, SetIprouteRoutes)
{
    const std::string R = " -> ENETUNREACH", X = " -> EEXIST";
    const std::string MORE = FakeHost::rows({LINK, DEFAULT, UP2_MORE});
    const std::string OTHER_TUN = FakeHost::rows({{"tolv1", "0.0.0.0", "10.9.0.1", "0.0.0.0", 0, 0}, LINK, DEFAULT});
    const std::string NO_HOP = FakeHost::rows({LINK, {"up0", "0.0.0.0", "0.0.0.0", "0.0.0.0", 0, 0}});
    const std::string NO_PATH = FakeHost::rows({LINK});
    const std::string NO_WAY = "No route to 198.51.100.7 outside tolv0";
    const std::string NO_DEF = "Default route through tolv0 not set: the peer would be unreachable";
    auto add = [](const char *prefix) { return std::string("route add ") + prefix + " via 10.8.0.1 dev tolv0"; };
    const struct {
        const char *what;
        std::vector<const char *> prefixes;  // split mode when any
        std::string table;
        Before before;
        Refusals refuse;
        Lines calls, log;  // the calls after the address and the MTU
        uint8_t own;
        std::string peer;
        std::vector<uint8_t> rtset;
        Counts refused;
    } rows[] = {
        {"full", {}, HOST, {}, {}, {HOSTADD, MARK, DEFADD}, {}, FULL, PEER_HELD, {}, {}},
        {"full, the host's default route has no next hop", {}, NO_HOP, {}, {},
         {"host add 198.51.100.7 dev up0", "alias tolv0 \"tolvad 198.51.100.7,0.0.0.0,up0\"", DEFADD}, {}, FULL,
         "198.51.100.7,0.0.0.0,up0", {}, {}},
        {"another instance's tunnel is not the host's path", {}, OTHER_TUN, {}, {}, {HOSTADD, MARK, DEFADD}, {}, FULL,
         PEER_HELD, {}, {}},
        {"a more specific route keeps the peer's path", {}, MORE, {}, {}, {DEFADD}, {}, FULL, "", {}, {}},
        {"no path outside the tunnel", {}, NO_PATH, {}, {}, {}, {NO_WAY, NO_DEF}, BARE, "", {}, {}},
        {"no path: an earlier session's default route withdrawn", {}, NO_PATH, {FULL, "10.8.0.1"}, {}, {DEFDEL},
         {NO_WAY, NO_DEF}, BARE, "", {}, {}},
        {"a new gateway: the earlier default route replaced", {}, HOST, {FULL, "10.8.0.9", {}, PEER_HELD}, {},
         {HOSTADD, "route del 0.0.0.0/0 via 10.8.0.9 dev tolv0", DEFADD}, {}, FULL, PEER_HELD, {}, {}},
        {"default route refused", {}, HOST, {}, {{"route", -ENETUNREACH}}, {HOSTADD, MARK, DEFADD + R},
         {"Failed to add default route via 10.8.0.1 on tolv0: Network is unreachable"}, BARE, PEER_HELD, {}, {1, 0, 0}},
        {"this run's default route already there", {}, HOST, {FULL, "10.8.0.1", {}, PEER_HELD}, {{"route", -EEXIST}},
         {HOSTADD, DEFADD + X}, {}, FULL, PEER_HELD, {}, {}},
        {"someone else's default route through the tunnel", {}, HOST, {}, {{"route", -EEXIST}},
         {HOSTADD, MARK, DEFADD + X}, {"Failed to add default route via 10.8.0.1 on tolv0: File exists"}, BARE,
         PEER_HELD, {}, {1, 0, 0}},
        {"someone else's host route to the peer: used, not held", {}, HOST, {}, {{"host_route", -EEXIST}},
         {HOSTADD + X, DEFADD}, {}, FULL, "", {}, {}},
        {"host route refused", {}, HOST, {}, {{"host_route", -ENETUNREACH}}, {HOSTADD + R},
         {"Failed to add host route to 198.51.100.7 via 192.0.2.1 on up0: Network is unreachable", NO_DEF}, BARE, "",
         {}, {1, 0, 0}},
        {"split, the peer outside every prefix", {"10.93.0.0/24"}, HOST, {}, {}, {add("10.93.0.0/24")}, {}, SPL, "",
         {1}, {}},
        {"split, the peer inside a prefix", {"10.93.0.0/24", "198.51.100.0/24"}, HOST, {}, {},
         {HOSTADD, MARK, add("10.93.0.0/24"), add("198.51.100.0/24")}, {}, SPL, PEER_HELD, {1, 1}, {}},
        {"split, the host's path more specific than the prefix", {"198.51.100.0/24"},
         FakeHost::rows({LINK, DEFAULT, {"up0", "198.51.100.0", "192.0.2.1", "255.255.255.128", 0, 0}}), {}, {},
         {add("198.51.100.0/24")}, {}, SPL, "", {1}, {}},
        {"split, the host's path less specific: its next hop held", {"198.51.100.0/24"},
         FakeHost::rows({LINK, DEFAULT, {"up0", "198.51.0.0", "192.0.2.254", "255.255.0.0", 0, 0}}), {}, {},
         {"host add 198.51.100.7 via 192.0.2.254 dev up0", "alias tolv0 \"tolvad 198.51.100.7,192.0.2.254,up0\"",
          add("198.51.100.0/24")},
         {}, SPL, "198.51.100.7,192.0.2.254,up0", {1}, {}},
        {"split, the peer's own /32 left out", {"198.51.100.7/32", "10.93.0.0/24"}, HOST, {}, {},
         {HOSTADD, MARK, add("10.93.0.0/24")}, {"Route to 198.51.100.7/32 via tolv0 not set: it is the peer's address"},
         SPL, PEER_HELD, {0, 1}, {}},
        {"split, refused prefixes: each tried, named and counted", {"10.93.0.0/24", "10.94.0.0/16"}, HOST, {},
         {{"route", -ENETUNREACH}}, {add("10.93.0.0/24") + R, add("10.94.0.0/16") + R},
         {"Failed to add route to 10.93.0.0/24 via 10.8.0.1 on tolv0: Network is unreachable",
          "Failed to add route to 10.94.0.0/16 via 10.8.0.1 on tolv0: Network is unreachable"},
         BARE, "", {0, 0}, {2, 0, 0}},
        {"split, a prefix already in place kept", {"10.93.0.0/24", "10.94.0.0/16"}, HOST, {SPL, "10.8.0.1", {1, 0}}, {},
         {add("10.94.0.0/16")}, {}, SPL, "", {1, 1}, {}},
        {"split, no path: an earlier session's prefixes withdrawn", {"198.51.100.0/24", "10.93.0.0/24"}, NO_PATH,
         {SPL, "10.8.0.1", {1, 0}}, {}, {"route del 198.51.100.0/24 via 10.8.0.1 dev tolv0"},
         {NO_WAY, "Routes through tolv0 not set: the peer would be unreachable"}, BARE, "", {0, 0}, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        Host h(r.table, r.prefixes, r.before, r.refuse);
        h.fake.alias("tolv1", "tolvad 203.0.113.1,192.0.2.1,up0");  // another instance's tunnel
        LogCapture log;
        sdwclnt_set_iproute(&h.c);
        Lines calls{ADDR, MTU};  // the interface first (SetIprouteInterface's rows)
        calls.insert(calls.end(), r.calls.begin(), r.calls.end());
        EXPECT_EQ(h.fake.take(), calls);
        EXPECT_EQ(log.all(), r.log);
        EXPECT_EQ(h.c.host.own, r.own);
        EXPECT_EQ(text_of(h.c.host.hostrt_peer), r.peer);
        EXPECT_EQ(h.rtset(r.prefixes.size()), r.rtset);
        EXPECT_EQ(h.refused(), r.refused);
    }
}

// The interface's address (always a /24) and MTU: the smaller of the peer's and the
// configuration's, never below the kernel's floor of 68; the session carries what it then has.
TEST(HostRoutePolicy, SetIprouteInterface)
{
    const struct {
        uint16_t peer, cfg;
        Refusals refuse;
        int reads;  // what the interface's MTU reads back as; 0: the one set
        Lines calls, log;
        uint16_t tunmtu;
        Counts refused;
    } rows[] = {
        {1400, 1500, {}, 0, {ADDR, MTU}, {}, 1400, {}},
        {1500, 1300, {}, 0, {ADDR, "mtu set tolv0 1300"}, {}, 1300, {}},
        {0, 1500, {}, 1300, {ADDR}, {}, 1300, {}},  // none from the peer: kept
        {1400, 68, {}, 0, {ADDR, "mtu set tolv0 68"}, {}, 68, {}},
        {1400, 67, {}, 0, {ADDR, "mtu set tolv0 68"}, {"MTU 67 is below the IPv4 minimum: tolv0 set to 68"}, 68, {}},
        {50, 1400, {}, 0, {ADDR, "mtu set tolv0 68"}, {"MTU 50 is below the IPv4 minimum: tolv0 set to 68"}, 68, {}},
        {1400, 1500, {{"mtu", -EINVAL}}, 1500, {ADDR, MTU + " -> EINVAL"},
         {"Failed to set MTU 1400 on tolv0: Invalid argument"}, 1500, {0, 0, 1}},
        {1400, 1500, {{"addr", -EPERM}}, 0, {ADDR + " -> EPERM", MTU},
         {"Failed to set address 10.8.0.2 on tolv0: Operation not permitted"}, 1400, {0, 1, 0}},
        // Unreadable: 0, not a negative number cut to 16 bits.
        {1400, 1500, {{"mtu_get", -ENODEV}}, 0, {ADDR, MTU}, {}, 0, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.peer) + "/" + std::to_string(r.cfg) + " reads " + std::to_string(r.reads));
        Host h(HOST, {}, {}, r.refuse);
        h.c.sess.peermtu = r.peer;
        h.c.conf.mtu = r.cfg;
        if (r.reads != 0)
            h.fake.mtu(r.reads);
        LogCapture log;
        sdwclnt_set_iproute(&h.c);
        Lines calls;
        for (const std::string &l : h.fake.take())
            if (l.rfind("addr ", 0) == 0 || l.rfind("mtu ", 0) == 0)
                calls.push_back(l);
        EXPECT_EQ(calls, r.calls);
        EXPECT_EQ(log.all(), r.log);
        EXPECT_EQ(h.c.host.tunmtu, r.tunmtu);
        EXPECT_EQ(h.refused(), r.refused);
        EXPECT_EQ(h.c.host.own, FULL) << "the session goes on";
    }
}

// After a change of the host's routes (restore) or at a session's set-up (sync), with this run's
// tunnel default route in place and the peer's host route held.
TEST(HostRoutePolicy, HeldRoutesFollowTheHost)
{
    const std::string R = resolver(), R_HELD = R + ",192.0.2.1,up0";
    const char P7[] = "198.51.100.7";
    constexpr uint8_t DATA = SDWANCLNT_DATA;
    const Before IN_SESSION{FULL, "10.8.0.1", {}, PEER_HELD};
    // The kernel lists the route held among the host's own: never taken for the host's path.
    const FakeHost::Row HELD{"up0", "198.51.100.7", "192.0.2.1", "255.255.255.255", 0, 0};
    const struct {
        const char *what;
        bool sync;
        std::string table;
        Before before;
        Refusals refuse;
        uint8_t state;
        const char *peerip;
        Lines calls;
        std::string peer, dns;
        Counts refused;
    } rows[] = {
        {"dropped by the kernel: put back", false, HOST, IN_SESSION, {}, DATA, P7, {HOSTADD}, PEER_HELD, "", {}},
        {"still in place", false, FakeHost::rows({LINK, DEFAULT, HELD}), IN_SESSION, {{"host_route", -EEXIST}}, DATA,
         P7, {HOSTADD + " -> EEXIST"}, PEER_HELD, "", {}},
        {"another gateway: the new route before the old goes", false,
         FakeHost::rows({HELD, LINK, {"up0", "0.0.0.0", "192.0.2.254", "0.0.0.0", 0, 10}}), IN_SESSION, {}, DATA, P7,
         {"host add 198.51.100.7 via 192.0.2.254 dev up0", HOSTDEL,
          "alias tolv0 \"tolvad 198.51.100.7,192.0.2.254,up0\""},
         "198.51.100.7,192.0.2.254,up0", "", {}},
        {"another interface", true, FakeHost::rows({{"up2", "0.0.0.0", "198.18.0.1", "0.0.0.0", 0, 0}}), IN_SESSION, {},
         DATA, P7,
         {"host add 198.51.100.7 via 198.18.0.1 dev up2", HOSTDEL,
          "alias tolv0 \"tolvad 198.51.100.7,198.18.0.1,up2\""},
         "198.51.100.7,198.18.0.1,up2", "", {}},
        {"the link is down: the one held stays, tried again quietly", false, FakeHost::rows({}), IN_SESSION,
         {{"host_route", -ENETUNREACH}}, DATA, P7, {HOSTADD + " -> ENETUNREACH"}, PEER_HELD, "", {1, 0, 0}},
        {"a more specific route of the host's: dropped", false, FakeHost::rows({LINK, DEFAULT, UP2_MORE}), IN_SESSION,
         {}, DATA, P7, {HOSTDEL, UNMARK}, "", "", {}},
        {"none held, the peer would enter the tunnel: added", false, HOST, {FULL, "10.8.0.1"}, {}, DATA, P7,
         {HOSTADD, MARK}, PEER_HELD, "", {}},
        {"no tunnel route of this run: every held route goes", true, HOST, {BARE, "0.0.0.0", {}, PEER_HELD, R_HELD}, {},
         DATA, P7, {HOSTDEL, "host del " + R + " via 192.0.2.1 dev up0", UNMARK}, "", "", {}},
        {"resolving the peer's name: the resolver held outside too", true, HOST, IN_SESSION, {}, SDWANCLNT_DNS, P7,
         {HOSTADD, "host add " + R + " via 192.0.2.1 dev up0",
          "alias tolv0 \"tolvad 198.51.100.7,192.0.2.1,up0 " + R_HELD + "\""},
         PEER_HELD, R_HELD, {}},
        {"resolved to a new address: the peer's route moves, the resolver's goes", true, HOST,
         {FULL, "10.8.0.1", {}, PEER_HELD, R_HELD}, {}, SDWANCLNT_INIT, "198.51.100.9",
         {"host add 198.51.100.9 via 192.0.2.1 dev up0", HOSTDEL, "host del " + R + " via 192.0.2.1 dev up0",
          "alias tolv0 \"tolvad 198.51.100.9,192.0.2.1,up0\""},
         "198.51.100.9,192.0.2.1,up0", "", {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        Host h(r.table, {}, r.before, r.refuse);
        h.c.sess.state = r.state;
        h.c.sess.peerip = ip(r.peerip);
        std::strcpy(h.c.conf.peerdomain, "peer.example.net");
        LogCapture log;
        if (r.sync)
            sdwclnt_routes_sync(&h.c);
        else
            sdwclnt_routes_restore(&h.c);
        EXPECT_EQ(h.fake.take(), r.calls);
        EXPECT_EQ(log.all(), Lines{});
        EXPECT_EQ(text_of(h.c.host.hostrt_peer), r.peer);
        EXPECT_EQ(text_of(h.c.host.hostrt_dns), r.dns);
        EXPECT_EQ(h.refused(), r.refused);
        EXPECT_EQ(h.c.host.own, r.before.own) << "what the run owns stays";
    }
    // A resolver= key: that resolver is the one held outside while resolving.
    Host h(HOST, {}, IN_SESSION, {});
    h.c.sess.state = SDWANCLNT_DNS;
    h.c.sess.peerip = ip(P7);
    std::strcpy(h.c.conf.peerdomain, "peer.example.net");
    h.c.conf.resolver = ip("203.0.113.53");
    sdwclnt_routes_sync(&h.c);
    EXPECT_EQ(h.fake.take(), (Lines{HOSTADD, "host add 203.0.113.53 via 192.0.2.1 dev up0",
                                    "alias tolv0 \"tolvad 198.51.100.7,192.0.2.1,up0 203.0.113.53,192.0.2.1,up0\""}));
}

// The end of a session: only what this run made is undone, the tunnel's routes before the host
// routes that kept the peer outside them.
TEST(HostRoutePolicy, ClearUndoesOnlyWhatThisRunMade)
{
    const std::string DNS_HELD = "192.0.2.53,192.0.2.1,up0";
    constexpr uint8_t KEPT = SDWAN_OWN_TUN | SDWAN_OWN_TUNMARK;
    const struct {
        const char *what;
        std::vector<const char *> prefixes;
        Before before;
        Refusals refuse;
        Lines calls, log;
        uint8_t own;
        Counts refused;
    } rows[] = {
        {"a session's address, default route and host route", {}, {FULL, "10.8.0.1", {}, PEER_HELD}, {},
         {"addr clear tolv0", DEFDEL, HOSTDEL, UNMARK}, {}, OWN_IF, {}},
        {"nothing of this run's: nothing touched", {}, {}, {}, {}, {}, OWN_IF, {}},
        {"split: only the prefixes this run set", {"10.93.0.0/24", "10.94.0.0/16"}, {SPL, "10.8.0.1", {0, 1}}, {},
         {"addr clear tolv0", "route del 10.94.0.0/16 via 10.8.0.1 dev tolv0"}, {}, OWN_IF, {}},
        {"the interface went first (shutdown): its host routes still go", {}, {0, "0.0.0.0", {}, PEER_HELD, DNS_HELD},
         {}, {HOSTDEL, "host del 192.0.2.53 via 192.0.2.1 dev up0"}, {}, 0, {}},
        {"an interface made beforehand keeps its kept mark", {}, {KEPT, "0.0.0.0", {}, PEER_HELD}, {},
         {HOSTDEL, "alias tolv0 \"tolvad kept\""}, {}, KEPT, {}},
        {"address refused", {}, {BARE}, {{"addr_clear", -EPERM}}, {"addr clear tolv0 -> EPERM"},
         {"Failed to clear the address of tolv0: Operation not permitted"}, OWN_IF, {0, 1, 0}},
        {"the interface is already gone", {}, {BARE}, {{"addr_clear", -ENODEV}}, {"addr clear tolv0 -> ENODEV"}, {},
         OWN_IF, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        Host h(HOST, r.prefixes, r.before, r.refuse);
        h.c.host.tunmtu = 1400;
        LogCapture log;
        sdwclnt_clear_iproute(&h.c);
        EXPECT_EQ(h.fake.take(), r.calls);
        EXPECT_EQ(log.all(), r.log);
        EXPECT_EQ(h.c.host.own, r.own);
        EXPECT_EQ(h.refused(), r.refused);
        EXPECT_EQ(h.rtset(r.prefixes.size()), std::vector<uint8_t>(r.prefixes.size(), 0));
        EXPECT_EQ(h.c.host.hostrt_peer.dst | h.c.host.hostrt_dns.dst | h.c.host.defrt_gw | h.c.host.tunmtu, 0u);
    }
}

// The host's default route at start-up: another instance's tunnel is known by its alias (the
// table's own cases are FindDefaultReadsTheKernelsLayout's).
TEST(HostRoutePolicy, LoadDefroute)
{
    const std::string TUN_FIRST = FakeHost::rows({{"tolv1", "0.0.0.0", "10.9.0.1", "0.0.0.0", 0, 0}, DEFAULT});
    // Another instance's (RTF_UP | RTF_REJECT, on no interface): destination 0, and no path.
    const std::string REJECT_FIRST = FakeHost::rows({{"*", "0.0.0.0", "0.0.0.0", "128.0.0.0", 0x0201, 3999}, DEFAULT});
    const struct {
        const char *what;
        std::string table;
        const char *tolv1_alias;
        Refusals refuse;
        int rc;
        const char *ifname, *nexthop;
        Lines log;
    } rows[] = {
        {"the uplink", HOST, "", {}, 0, "up0", "192.0.2.1", {}},
        {"another instance's tunnel listed first", TUN_FIRST, "tolvad 203.0.113.1,192.0.2.1,up0", {}, 0, "up0",
         "192.0.2.1", {}},
        {"an alias that only starts like the mark", TUN_FIRST, "tolvadx", {}, 0, "tolv1", "10.9.0.1", {}},
        {"an alias that cannot be read is no mark", TUN_FIRST, "tolvad", {{"alias_get", -EPERM}}, 0, "tolv1",
         "10.9.0.1", {}},
        {"the table unreadable", HOST, "", {{"table", -EACCES}}, -1, "", "0.0.0.0", {"Failed to open /proc/net/route"}},
        {"a kill switch's unreachable half listed first", REJECT_FIRST, "", {}, 0, "up0", "192.0.2.1", {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        Host h(r.table, {}, {}, r.refuse);
        if (r.tolv1_alias[0] != '\0')
            h.fake.alias("tolv1", r.tolv1_alias);
        LogCapture log;
        EXPECT_EQ(sdwclnt_load_defroute(&h.c), r.rc);
        EXPECT_STREQ(h.c.host.defifname, r.ifname);
        EXPECT_EQ(ip_text(h.c.host.defrtnexthop), r.nexthop);
        EXPECT_EQ(log.all(), r.log);
        EXPECT_EQ(h.fake.take(), Lines{}) << "a search changes nothing";
    }
}

// The same search on tables laid out byte for byte as the kernel writes /proc/net/route.
TEST(HostRoutePolicy, FindDefaultReadsTheKernelsLayout)
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
        FakeHost fake;
        sdwan_t clnt{};
        clnt.ops = fake.ops();
        std::strcpy(clnt.conf.tun_name, c.skip);
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

// Several default routes: attempts through the preferred one fail, the peer's host route tries
// the next. Steps: F an attempt timed out (the reset's route sync follows), A the peer answered,
// S a session established, E it ended, C the table became `later` and the kernel said so. Each
// sync asks for the route held again (EEXIST from a kernel that has it).
TEST(HostRoutePolicy, UplinkSwitchAfterFailedAttempts)
{
    const FakeHost::Row LINK1{"up1", "203.0.113.0", "0.0.0.0", "255.255.255.0", 0, 0};
    const FakeHost::Row B{"up1", "0.0.0.0", "203.0.113.1", "0.0.0.0", 0, 200};
    const FakeHost::Row C{"up2", "0.0.0.0", "198.18.0.1", "0.0.0.0", 0, 300};
    const std::string TWO = FakeHost::rows({LINK, LINK1, B, DEFAULT});  // listed out of metric order
    const std::string THREE = FakeHost::rows({LINK, DEFAULT, C, B});
    const std::string ADD_B = "host add 198.51.100.7 via 203.0.113.1 dev up1";
    const std::string DEL_B = "host del 198.51.100.7 via 203.0.113.1 dev up1";
    const std::string MARK_B = "alias tolv0 \"tolvad 198.51.100.7,203.0.113.1,up1\"";
    const std::string TO_B = "peer 198.51.100.7 unreachable via up0 after 2 attempts: trying up1 via 203.0.113.1";
    const std::string BACK = "peer 198.51.100.7 back on the preferred default route up0 via 192.0.2.1: ";
    const struct {
        const char *what;
        std::string table;
        const char *steps;
        std::string later;
        Lines calls, log;
        uint32_t switches;
        std::string peer;  // held at the end
    } rows[] = {
        {"one default route: never a switch", HOST, "FFFF", "", {}, {}, 0, ""},
        {"two routes, one failure", TWO, "F", "", {}, {}, 0, ""},
        {"an answer between two failures: not in a row", TWO, "FAF", "", {}, {}, 0, ""},
        {"two routes, two failures: the host route to the second", TWO, "FF", "", {ADD_B, MARK_B}, {TO_B}, 1,
         "198.51.100.7,203.0.113.1,up1"},
        {"a session on the second keeps it there, its end gives the first back", TWO, "FFSE", "",
         {ADD_B, MARK_B, ADDR, MTU, ADD_B, DEFADD, "addr clear tolv0", DEFDEL, DEL_B, UNMARK},
         {TO_B, BACK + "the session through up1 via 203.0.113.1 ended"}, 1, ""},
        {"failing on the second too: round robin to the first", TWO, "FFFF", "",
         {ADD_B, MARK_B, ADD_B, DEL_B, UNMARK},
         {TO_B, "peer 198.51.100.7 unreachable via up1 after 2 attempts: trying up0 via 192.0.2.1"}, 2, ""},
        {"three routes in turn, by metric", THREE, "FFFF", "",
         {ADD_B, MARK_B, ADD_B, "host add 198.51.100.7 via 198.18.0.1 dev up2", DEL_B,
          "alias tolv0 \"tolvad 198.51.100.7,198.18.0.1,up2\""},
         {TO_B, "peer 198.51.100.7 unreachable via up1 after 2 attempts: trying up2 via 198.18.0.1"}, 2,
         "198.51.100.7,198.18.0.1,up2"},
        {"the second route disappears: back to the first", TWO, "FFC", HOST, {ADD_B, MARK_B, DEL_B, UNMARK},
         {TO_B, BACK + "up1 via 203.0.113.1 is gone"}, 1, ""},
        {"the preferred route changes: back to it", TWO, "FFC",
         FakeHost::rows({LINK, LINK1, B, {"up0", "0.0.0.0", "192.0.2.254", "0.0.0.0", 0, 50}}),
         {ADD_B, MARK_B, DEL_B, UNMARK},
         {TO_B, "peer 198.51.100.7 back on the preferred default route up0 via 192.0.2.254: the preferred route "
                "changed"},
         1, ""},
        {"a route change that leaves both: the second stays", TWO, "FFC", FakeHost::rows({LINK, LINK1, B, DEFAULT, C}),
         {ADD_B, MARK_B, ADD_B}, {TO_B}, 1, "198.51.100.7,203.0.113.1,up1"},
        {"tunnels' and unreachable or blackhole default routes are no uplinks", FakeHost::rows({{"tolv0", "0.0.0.0", "10.8.0.1",
                                                                                  "0.0.0.0", 0, 0},
                                                                                 {"tolv1", "0.0.0.0", "10.9.0.1",
                                                                                  "0.0.0.0", 0, 150},
                                                                                 {"lo", "0.0.0.0", "0.0.0.0", "0.0.0.0",
                                                                                  RTF_UP | RTF_REJECT, 50},
                                                                                 {"*", "0.0.0.0", "0.0.0.0", "0.0.0.0",
                                                                                  RTF_UP, 60},
                                                                                 LINK, DEFAULT}),
         "FF", "", {}, {}, 0, ""},
        {"a peer behind a more specific route stays on it", FakeHost::rows({LINK, LINK1, B, DEFAULT, UP2_MORE}), "FF",
         "", {}, {}, 0, ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        Host h(r.table, {}, {}, {});
        h.fake.alias("tolv1", "tolvad");
        h.c.sess.state = SDWANCLNT_AUTH;
        LogCapture log;
        for (const char *s = r.steps; *s != '\0'; s++) {
            switch (*s) {
            case 'F':
                sdwclnt_uplink_failed(&h.c);
                sdwclnt_routes_sync(&h.c);
                break;
            case 'A':
                sdwclnt_uplink_answered(&h.c);
                break;
            case 'S':
                h.c.sess.state = SDWANCLNT_DATA;
                sdwclnt_set_iproute(&h.c);
                break;
            case 'E':
                sdwclnt_uplink_ended(&h.c);
                sdwclnt_clear_iproute(&h.c);
                h.c.sess.state = SDWANCLNT_INIT;
                sdwclnt_routes_sync(&h.c);
                break;
            case 'C':
                h.fake.table(r.later);
                sdwclnt_uplink_check(&h.c);
                sdwclnt_routes_restore(&h.c);
                break;
            }
        }
        EXPECT_EQ(h.fake.take(), r.calls);
        EXPECT_EQ(log.all(), r.log);
        EXPECT_EQ(h.c.count.uplink_switches, r.switches);
        EXPECT_EQ(text_of(h.c.host.hostrt_peer), r.peer);
    }
}
