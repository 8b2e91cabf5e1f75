// Which way the peer's DNS servers take (systemd-resolved, else resolvconf, else none), what each
// way is handed, the one log line that says so, and that only what was set is withdrawn. The ways
// are stand-ins that record their calls; the real ones are run by the e2e_setdns test.
#include "client/hostdns.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/session.h"
#include "proto/packet.h"
#include "support/logcap.h"
#include "support/scriptpeer.h"

namespace {

using Lines = std::vector<std::string>;

// What each stand-in answers, and the calls it received.
int g_resolved_rc;
int g_resolvconf_rc;
int g_del_rc;
Lines g_calls;

void say(char *why, size_t len) { snprintf(why, len, "refused by the test"); }

int fake_set(int ifindex, const uint32_t *servers, int n, const char *domains, bool routing_only, bool default_route,
             char *why, size_t len)
{
    std::string c = "set " + std::to_string(ifindex);
    for (int i = 0; i < n; i++) {
        char t[16];
        c += " " + std::string(inet_ntop(AF_INET, &servers[i], t, sizeof t));
    }
    c += std::string(" [") + domains + "] routing=" + (routing_only ? "1" : "0") + " default=" + (default_route ? "1" : "0");
    g_calls.push_back(c);
    say(why, len);
    return g_resolved_rc;
}
int fake_revert(int ifindex, char *why, size_t len)
{
    g_calls.push_back("revert " + std::to_string(ifindex));
    say(why, len);
    return g_resolved_rc;
}
int fake_add(const char *ifname, const char *conf, bool exclusive, const char *servers, char *why, size_t len)
{
    g_calls.push_back(std::string("add ") + ifname + " [" + servers + "]" + (exclusive ? " exclusive\n" : "\n") + conf);
    say(why, len);
    return g_resolvconf_rc;
}
int fake_del(const char *ifname, char *why, size_t len)
{
    g_calls.push_back(std::string("del ") + ifname);
    say(why, len);
    return g_del_rc;
}
int fake_del_left(const char *ifname, char *why, size_t len)
{
    g_calls.push_back(std::string("del-left ") + ifname);
    say(why, len);
    return g_del_rc;
}
const hostdns_ops_t FAKES{fake_set, fake_revert, fake_add, fake_del, fake_del_left};
// A process built without libsystemd (and tolvactl): no way to systemd-resolved at all.
const hostdns_ops_t NO_RESOLVED{nullptr, nullptr, fake_add, fake_del, fake_del_left};

sdwan_t record(const char *routes_mode, const char *domains)
{
    sdwan_t c{};
    snprintf(c.tun_name, sizeof c.tun_name, "tolv0");
    c.si_setdns = 1;
    c.si_dns0 = inet_addr("10.94.0.2");
    c.si_dns1 = inet_addr("10.94.0.3");
    c.si_rtmode = std::strcmp(routes_mode, "split") == 0 ? SDWAN_RTMODE_SPLIT : SDWAN_RTMODE_FULL;
    snprintf(c.si_dnsdomains, sizeof c.si_dnsdomains, "%s", domains);
    return c;
}

}  // namespace

TEST(HostDns, WayChosenAndWithdrawn)
{
    constexpr int OK = HOSTDNS_OK, ABSENT = HOSTDNS_ABSENT, FAILED = HOSTDNS_FAILED;
    struct {
        const char *name;
        const hostdns_ops_t *ops;
        const char *mode;
        const char *domains;
        int resolved, resolvconf, del;
        Lines apply_calls, apply_log, withdraw_calls, withdraw_log;
    } const cases[] = {
        {"resolved, full tunnel: every lookup, the domains searched", &FAKES, "full", "corp.example", OK, OK, OK,
         {"set 0 10.94.0.2 10.94.0.3 [~.,corp.example] routing=0 default=1"},
         {"DNS servers 10.94.0.2 10.94.0.3 set on tolv0 through systemd-resolved"},
         {"revert 0"},
         {"DNS servers withdrawn from tolv0"}},
        {"resolved, split: only the domains", &FAKES, "split", "corp.example,b.corp.example", OK, OK, OK,
         {"set 0 10.94.0.2 10.94.0.3 [corp.example,b.corp.example] routing=1 default=0"},
         {"DNS servers 10.94.0.2 10.94.0.3 set on tolv0 through systemd-resolved"},
         {"revert 0"},
         {"DNS servers withdrawn from tolv0"}},
        {"resolved refuses: one line, reverted at the end, no fallback", &FAKES, "full", "", FAILED, OK, OK,
         {"set 0 10.94.0.2 10.94.0.3 [~.] routing=0 default=1"},
         {"Failed to set DNS servers 10.94.0.2 10.94.0.3 on tolv0 through systemd-resolved: refused by the test"},
         {"revert 0"},
         {"DNS servers withdrawn from tolv0"}},
        {"no resolved, resolvconf, full tunnel: an exclusive record", &FAKES, "full", "corp.example,b.corp.example",
         ABSENT, OK, OK,
         {"set 0 10.94.0.2 10.94.0.3 [~.,corp.example,b.corp.example] routing=0 default=1",
          "add tolv0 [10.94.0.2 10.94.0.3] exclusive\nnameserver 10.94.0.2\nnameserver 10.94.0.3\n"
          "search corp.example b.corp.example\n"},
         {},  // resolvconf's run logs its outcome when it ends
         {"del tolv0"},
         {}},
        {"built without libsystemd, split: a record beside the host's", &NO_RESOLVED, "split", "", OK, OK, OK,
         {"add tolv0 [10.94.0.2 10.94.0.3]\nnameserver 10.94.0.2\nnameserver 10.94.0.3\n"},
         {},
         {"del tolv0"},
         {}},
        {"resolvconf cannot be started either way", &NO_RESOLVED, "full", "", OK, FAILED, FAILED,
         {"add tolv0 [10.94.0.2 10.94.0.3] exclusive\nnameserver 10.94.0.2\nnameserver 10.94.0.3\n"},
         {"Failed to set DNS servers 10.94.0.2 10.94.0.3 on tolv0 through resolvconf: refused by the test"},
         {"del tolv0"},
         {"Failed to withdraw DNS servers from tolv0 through resolvconf: refused by the test"}},
        {"neither", &FAKES, "full", "", ABSENT, ABSENT, OK,
         {"set 0 10.94.0.2 10.94.0.3 [~.] routing=0 default=1",
          "add tolv0 [10.94.0.2 10.94.0.3] exclusive\nnameserver 10.94.0.2\nnameserver 10.94.0.3\n"},
         {"DNS servers 10.94.0.2 10.94.0.3 not applied: neither systemd-resolved nor resolvconf is available"},
         {},
         {}},
        {"no ways set at all", nullptr, "full", "", OK, OK, OK, {},
         {"DNS servers 10.94.0.2 10.94.0.3 not applied: neither systemd-resolved nor resolvconf is available"},
         {},
         {}},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        hostdns_set_ops(t.ops);
        g_resolved_rc = t.resolved;
        g_resolvconf_rc = t.resolvconf;
        g_del_rc = t.del;
        g_calls.clear();
        LogCapture cap;
        sdwan_t c = record(t.mode, t.domains);
        sdwclnt_dns_apply(&c);
        EXPECT_EQ(g_calls, t.apply_calls);
        EXPECT_EQ(cap.take(), t.apply_log);
        g_calls.clear();
        sdwclnt_dns_withdraw(&c);
        EXPECT_EQ(g_calls, t.withdraw_calls);
        EXPECT_EQ(cap.take(), t.withdraw_log);
        // Withdrawn once: a second end of session finds nothing to undo.
        g_calls.clear();
        sdwclnt_dns_withdraw(&c);
        EXPECT_EQ(g_calls, Lines{});
        EXPECT_EQ(cap.take(), Lines{});
    }
    hostdns_set_ops(nullptr);
}

TEST(HostDns, NothingWithoutTheKeyOrServers)
{
    hostdns_set_ops(&FAKES);
    g_calls.clear();
    LogCapture cap;
    sdwan_t off = record("full", "");
    off.si_setdns = 0;
    sdwclnt_dns_apply(&off);
    sdwclnt_dns_withdraw(&off);
    EXPECT_EQ(cap.take(), Lines{});
    sdwan_t none = record("full", "");
    none.si_dns0 = 0;
    none.si_dns1 = 0;
    sdwclnt_dns_apply(&none);
    sdwclnt_dns_withdraw(&none);
    EXPECT_EQ(cap.take(), Lines{"No DNS servers from the peer to set on tolv0"});
    EXPECT_EQ(g_calls, Lines{});
    hostdns_set_ops(nullptr);
}

// A dead run's interface (tolv0 absent here: index 0): what the run may have set goes through
// the manager a run would have used; only systemd-resolved's answer is logged here, resolvconf's
// run logs its own when it ends.
TEST(HostDns, DeadRunsServersWithdrawnThroughTheWayARunWouldTake)
{
    constexpr int OK = HOSTDNS_OK, ABSENT = HOSTDNS_ABSENT, FAILED = HOSTDNS_FAILED;
    struct {
        uint8_t setdns;
        const hostdns_ops_t *ops;
        int resolved_rc;
        Lines calls, lines;
    } const rows[] = {
        {1, &FAKES, OK, {"revert 0"}, {"DNS servers withdrawn from tolv0"}},
        {1, &FAKES, FAILED, {"revert 0"}, {}},
        {1, &FAKES, ABSENT, {"revert 0", "del-left tolv0"}, {}},
        {1, &NO_RESOLVED, OK, {"del-left tolv0"}, {}},
        {1, nullptr, OK, {}, {}},
        {0, &FAKES, OK, {}, {}},
    };
    for (const auto &r : rows) {
        hostdns_set_ops(r.ops);
        g_resolved_rc = r.resolved_rc;
        g_del_rc = HOSTDNS_OK;
        g_calls.clear();
        _sdwclnt.si_setdns = r.setdns;
        LogCapture cap;
        sdwclnt_dns_leftover("tolv0");
        EXPECT_EQ(g_calls, r.calls) << "row " << &r - rows;
        EXPECT_EQ(cap.take(), r.lines) << "row " << &r - rows;
    }
    _sdwclnt.si_setdns = 0;
    hostdns_set_ops(nullptr);
}

// The session's CLOSE ends it: the servers go at once, as at any other end of a session, while
// the interface and its routes wait for the next session. A CLOSE refused leaves them.
TEST(HostDns, WithdrawnWhenThePeerClosesTheSession)
{
    auto forged = [](Bytes p) {
        p[20] ^= 0x01;
        return p;
    };
    struct {
        const char *name;
        uint8_t state;
        Bytes pkt;
        Lines calls, log;
        uint8_t state_after;
    } const cases[] = {
        {"the session's CLOSE", SDWANCLNT_DATA, ScriptPeer::close_pkt(5, 6), {"revert 0"},
         {"Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state", "DNS servers withdrawn from tolv0"},
         SDWANCLNT_CLOSED},
        {"a CLOSE with a wrong signature", SDWANCLNT_DATA, forged(ScriptPeer::close_pkt(5, 6)), {},
         {"Packet verification failed"}, SDWANCLNT_DATA},
        {"a CLOSE outside a session", SDWANCLNT_AUTH, ScriptPeer::close_pkt(5, 6), {},
         {"Invalid state: expected SDWANCLNT_DATA, but got 4"}, SDWANCLNT_AUTH},
    };
    hostdns_set_ops(&FAKES);
    g_resolved_rc = HOSTDNS_OK;
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        sdwan_t c = record("full", "");
        c.si_udpsock = -1;
        c.si_sid = 5;
        c.si_token = 6;
        LogCapture cap;
        c.si_state = SDWANCLNT_DATA;
        sdwclnt_dns_apply(&c);
        cap.take();
        g_calls.clear();
        c.si_state = t.state;
        Bytes pkt = t.pkt;
        ScriptPeer::inject_from(&c, c.si_peerip, c.si_peerport, pkt);
        EXPECT_EQ(g_calls, t.calls);
        EXPECT_EQ(cap.take(), t.log);
        EXPECT_EQ(c.si_state, t.state_after);
    }
    hostdns_set_ops(nullptr);
}
