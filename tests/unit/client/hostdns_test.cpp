// Which way the peer's DNS servers take (systemd-resolved, else resolvconf, else none), what each
// way is handed, the one log line that says so, and that only what was set is withdrawn. The ways
// are the recording host's (support/fakehost); the real ones are run by the e2e_setdns test.
#include "client/hostdns.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/session.h"
#include "proto/packet.h"
#include "support/fakehost.h"
#include "support/logcap.h"
#include "support/scriptpeer.h"

namespace {

using Lines = std::vector<std::string>;
constexpr int OK = HOSTDNS_OK, ABSENT = HOSTDNS_ABSENT, FAILED = HOSTDNS_FAILED;

// The ways there (a process built without libsystemd, and tolvactl, have no systemd-resolved),
// and what they answer: systemd-resolved's two calls, resolvconf's add, its deletes.
struct Ways {
    bool resolved = true, resolvconf = true;
    int resolved_rc = OK, add_rc = OK, del_rc = OK;
};
const Ways BOTH{}, NO_RESOLVED{false, true}, NONE{false, false};

void answer(FakeHost *f, const Ways &w)
{
    f->ways(w.resolved, w.resolvconf);
    f->dns("resolved_set", w.resolved_rc);
    f->dns("resolved_revert", w.resolved_rc);
    f->dns("resolvconf_add", w.add_rc);
    f->dns("resolvconf_del", w.del_rc);
    f->dns("resolvconf_del_left", w.del_rc);
}

sdwan_t record(const FakeHost &f, const char *routes_mode, const char *domains)
{
    sdwan_t c{};
    c.ops = f.ops();
    snprintf(c.conf.tun_name, sizeof c.conf.tun_name, "tolv0");
    c.conf.setdns = 1;
    c.sess.dns0 = inet_addr("10.94.0.2");
    c.sess.dns1 = inet_addr("10.94.0.3");
    c.conf.rtmode = std::strcmp(routes_mode, "split") == 0 ? SDWAN_RTMODE_SPLIT : SDWAN_RTMODE_FULL;
    snprintf(c.conf.dnsdomains, sizeof c.conf.dnsdomains, "%s", domains);
    return c;
}

}  // namespace

TEST(HostDns, WayChosenAndWithdrawn)
{
    const std::string SET = "resolved set 0 10.94.0.2 10.94.0.3 ";
    const std::string ADD = "resolvconf add tolv0 [10.94.0.2 10.94.0.3]";
    const std::string CONF = "nameserver 10.94.0.2\nnameserver 10.94.0.3\n";
    struct {
        const char *name;
        Ways ways;
        const char *mode;
        const char *domains;
        Lines apply_calls, apply_log, withdraw_calls, withdraw_log;
    } const cases[] = {
        {"resolved, full tunnel: every lookup, the domains searched", BOTH, "full", "corp.example",
         {SET + "[~.,corp.example] routing=0 default=1"},
         {"DNS servers 10.94.0.2 10.94.0.3 set on tolv0 through systemd-resolved"},
         {"resolved revert 0"},
         {"DNS servers withdrawn from tolv0"}},
        {"resolved, split: only the domains", BOTH, "split", "corp.example,b.corp.example",
         {SET + "[corp.example,b.corp.example] routing=1 default=0"},
         {"DNS servers 10.94.0.2 10.94.0.3 set on tolv0 through systemd-resolved"},
         {"resolved revert 0"},
         {"DNS servers withdrawn from tolv0"}},
        {"resolved refuses: one line, reverted at the end, no fallback", {true, true, FAILED}, "full", "",
         {SET + "[~.] routing=0 default=1 -> failed"},
         {"Failed to set DNS servers 10.94.0.2 10.94.0.3 on tolv0 through systemd-resolved: refused by the test"},
         {"resolved revert 0 -> failed"},
         {"DNS servers withdrawn from tolv0"}},
        {"no resolved, resolvconf, full tunnel: an exclusive record", {true, true, ABSENT}, "full",
         "corp.example,b.corp.example",
         {SET + "[~.,corp.example,b.corp.example] routing=0 default=1 -> absent",
          ADD + " exclusive\n" + CONF + "search corp.example b.corp.example\n"},
         {},  // resolvconf's run logs its outcome when it ends
         {"resolvconf del tolv0"},
         {}},
        {"built without libsystemd, split: a record beside the host's", NO_RESOLVED, "split", "", {ADD + "\n" + CONF},
         {}, {"resolvconf del tolv0"}, {}},
        {"resolvconf cannot be started either way", {false, true, OK, FAILED, FAILED}, "full", "",
         {ADD + " exclusive\n" + CONF + " -> failed"},
         {"Failed to set DNS servers 10.94.0.2 10.94.0.3 on tolv0 through resolvconf: refused by the test"},
         {"resolvconf del tolv0 -> failed"},
         {"Failed to withdraw DNS servers from tolv0 through resolvconf: refused by the test"}},
        {"neither", {true, true, ABSENT, ABSENT}, "full", "",
         {SET + "[~.] routing=0 default=1 -> absent", ADD + " exclusive\n" + CONF + " -> absent"},
         {"DNS servers 10.94.0.2 10.94.0.3 not applied: neither systemd-resolved nor resolvconf is available"},
         {},
         {}},
        {"no ways at all", NONE, "full", "", {},
         {"DNS servers 10.94.0.2 10.94.0.3 not applied: neither systemd-resolved nor resolvconf is available"},
         {},
         {}},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        FakeHost f;
        answer(&f, t.ways);
        LogCapture cap;
        sdwan_t c = record(f, t.mode, t.domains);
        sdwclnt_dns_apply(&c);
        EXPECT_EQ(f.take(), t.apply_calls);
        EXPECT_EQ(cap.take(), t.apply_log);
        sdwclnt_dns_withdraw(&c);
        EXPECT_EQ(f.take(), t.withdraw_calls);
        EXPECT_EQ(cap.take(), t.withdraw_log);
        // Withdrawn once: a second end of session finds nothing to undo.
        sdwclnt_dns_withdraw(&c);
        EXPECT_EQ(f.take(), Lines{});
        EXPECT_EQ(cap.take(), Lines{});
    }
}

TEST(HostDns, NothingWithoutTheKeyOrServers)
{
    FakeHost f;
    LogCapture cap;
    sdwan_t off = record(f, "full", "");
    off.conf.setdns = 0;
    sdwclnt_dns_apply(&off);
    sdwclnt_dns_withdraw(&off);
    EXPECT_EQ(cap.take(), Lines{});
    sdwan_t none = record(f, "full", "");
    none.sess.dns0 = 0;
    none.sess.dns1 = 0;
    sdwclnt_dns_apply(&none);
    sdwclnt_dns_withdraw(&none);
    EXPECT_EQ(cap.take(), Lines{"No DNS servers from the peer to set on tolv0"});
    EXPECT_EQ(f.take(), Lines{});
}

// A dead run's interface (tolv0 absent here: index 0): what the run may have set goes through
// the manager a run would have used; only systemd-resolved's answer is logged here, resolvconf's
// run logs its own when it ends.
TEST(HostDns, DeadRunsServersWithdrawnThroughTheWayARunWouldTake)
{
    struct {
        uint8_t setdns;
        Ways ways;
        Lines calls, lines;
    } const rows[] = {
        {1, BOTH, {"resolved revert 0"}, {"DNS servers withdrawn from tolv0"}},
        {1, {true, true, FAILED}, {"resolved revert 0 -> failed"}, {}},
        {1, {true, true, ABSENT}, {"resolved revert 0 -> absent", "resolvconf del-left tolv0"}, {}},
        {1, NO_RESOLVED, {"resolvconf del-left tolv0"}, {}},
        {1, NONE, {}, {}},
        {0, BOTH, {}, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE("row " + std::to_string(&r - rows));
        FakeHost f;
        answer(&f, r.ways);
        sdwan_t c = record(f, "full", "");
        c.conf.setdns = r.setdns;
        LogCapture cap;
        sdwclnt_dns_leftover(&c, "tolv0");
        EXPECT_EQ(f.take(), r.calls);
        EXPECT_EQ(cap.take(), r.lines);
    }
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
        {"the session's CLOSE", SDWANCLNT_DATA, ScriptPeer::close_pkt(5, 6), {"resolved revert 0"},
         {"Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state", "DNS servers withdrawn from tolv0"},
         SDWANCLNT_CLOSED},
        {"a CLOSE with a wrong signature", SDWANCLNT_DATA, forged(ScriptPeer::close_pkt(5, 6)), {},
         {"Packet verification failed"}, SDWANCLNT_DATA},
        {"a CLOSE outside a session", SDWANCLNT_AUTH, ScriptPeer::close_pkt(5, 6), {},
         {"Invalid state: expected SDWANCLNT_DATA, but got 4"}, SDWANCLNT_AUTH},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        FakeHost f;
        sdwan_t c = record(f, "full", "");
        c.io.udpsock = -1;
        c.sess.sid = 5;
        c.sess.token = 6;
        LogCapture cap;
        c.sess.state = SDWANCLNT_DATA;
        sdwclnt_dns_apply(&c);
        cap.take();
        f.take();
        c.sess.state = t.state;
        Bytes pkt = t.pkt;
        ScriptPeer::inject_from(&c, c.sess.peerip, c.conf.peerport, pkt);
        EXPECT_EQ(f.take(), t.calls);
        EXPECT_EQ(cap.take(), t.log);
        EXPECT_EQ(c.sess.state, t.state_after);
    }
}
