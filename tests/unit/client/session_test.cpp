// Session state machine and receive dispatch: the one-second tick through its states with a
// controllable clock, the source filter and the dispatch by type, against a scripted peer on
// loopback and a recording fake of the host (no root). Start and stop, which create and release
// the TUN interface, run in a private network namespace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <linux/netlink.h>
#include <linux/route.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client/auth.h"
#include "client/data.h"
#include "client/hostroute.h"
#include "client/session.h"
#include "core/event.h"
#include "net/ipaddr.h"
#include "net/tun.h"
#include "proto/packet.h"
#include "support/fakeclock.h"
#include "support/netns.h"
#include "support/scriptpeer.h"

namespace {

using Lines = std::vector<std::string>;
const Lines SOCKET_LINES{"sdwan client socket reinit success", "sdwan client socket reg success"};

Lines join(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const poll_op_t *poll_slot(int fd)
{
    for (const poll_op_t &p : poll_table())
        if (p.fds == fd)
            return &p;
    return nullptr;
}

const tm_t *timer_slot(CALLBACK_FUNC func)
{
    for (const tm_t &t : tm_table())
        if (t.name[0] != 0 && t.func == func)
            return &t;
    return nullptr;
}

Bytes session_options()
{
    return ScriptPeer::cat({ScriptPeer::opt_mtu(1400), ScriptPeer::opt_ip(str2ip("10.200.0.5")),
                            ScriptPeer::opt_gateway(str2ip("10.200.0.1"))});
}

struct ReadyCase {
    const char *what;
    void (*change)(sdwan_t *);
    int not_ready;
};

TEST(SessionReady, EveryRequiredFieldCounts)
{
    const ReadyCase cases[] = {
        {"complete", [](sdwan_t *) {}, 0},
        {"state NONE", [](sdwan_t *c) { c->sess.state = SDWANCLNT_NONE; }, 1},
        {"no port", [](sdwan_t *c) { c->conf.peerport = 0; }, 1},
        {"no user", [](sdwan_t *c) { c->conf.user[0] = 0; }, 1},
        {"no password", [](sdwan_t *c) { c->conf.pass[0] = 0; }, 1},
        {"no address, no name", [](sdwan_t *c) { c->sess.peerip = 0; }, 1},
        {"name instead of address",
         [](sdwan_t *c) {
             c->sess.peerip = 0;
             snprintf(c->conf.peerdomain, sizeof c->conf.peerdomain, "peer.example");
         },
         0},
    };
    for (const ReadyCase &rc : cases) {
        sdwan_t c{};
        c.sess.state = SDWANCLNT_AUTH;
        c.conf.peerport = 4500;
        c.sess.peerip = str2ip("192.0.2.1");
        snprintf(c.conf.user, sizeof c.conf.user, "u");
        snprintf(c.conf.pass, sizeof c.conf.pass, "p");
        rc.change(&c);
        EXPECT_EQ(sdwclnt_not_ready(&c), rc.not_ready) << rc.what;
    }
}

class SessionTicks : public ClientFakeTest {
protected:
    void SetUp() override
    {
        ClientFakeTest::SetUp();
        log->take();
    }
    std::string init_line() const { return "INIT peer 127.0.0.1:" + std::to_string(peer->port()); }
};

TEST_F(SessionTicks, SetPeerClearsTheSessionAndOpensARegisteredSocket)
{
    clnt->sess.token = 5;
    clnt->sess.sid = 6;
    clnt->sess.gateway = 7;
    clnt->sess.dns0 = clnt->sess.dns1 = 8;
    clnt->sess.peermtu = 9;
    clnt->sess.peerencrypt = 1;
    clnt->sess.peerduppkt = 1;
    clnt->rtt.curdelay = clnt->rtt.maxdelay = clnt->rtt.mindelay = 10;
    clnt->sess.lastopen = clnt->sess.lastdial = clnt->sess.ltime = clnt->sess.echotimer = 11;
    memset(&clnt->count.stats, 0xAB, sizeof clnt->count.stats);

    EXPECT_EQ(sdwclnt_set_peer(clnt), 0);
    EXPECT_EQ(log->take(), SOCKET_LINES);
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_INIT);
    for (uint32_t v : {clnt->sess.ip, clnt->sess.gateway, clnt->sess.dns0, clnt->sess.dns1, clnt->sess.token,
                       uint32_t{clnt->sess.sid}, uint32_t{clnt->sess.peermtu}, uint32_t{clnt->sess.peerencrypt},
                       clnt->rtt.curdelay, clnt->rtt.maxdelay, clnt->sess.lastopen, clnt->sess.lastdial, clnt->sess.ltime,
                       clnt->sess.echotimer})
        EXPECT_EQ(v, 0u);
    EXPECT_EQ(clnt->rtt.mindelay, 5000000u);
    EXPECT_EQ(clnt->sess.peerduppkt, 1) << "kept from process start on";
    const netif_stats zero{};
    EXPECT_EQ(0, memcmp(&zero, &clnt->count.stats, sizeof zero));

    sdwan_t expect_key{};
    memcpy(expect_key.conf.user, clnt->conf.user, sizeof expect_key.conf.user);
    memcpy(expect_key.conf.pass, clnt->conf.pass, sizeof expect_key.conf.pass);
    sdwan_set_key(&expect_key);
    EXPECT_EQ(0, memcmp(expect_key.sess.key.data8, clnt->sess.key.data8, 8));

    ASSERT_GE(clnt->io.udpsock, 0);
    const poll_op_t *slot = poll_slot(clnt->io.udpsock);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->func, &sdwan_sock_recv);
    EXPECT_EQ(slot->arg, clnt);
}

TEST_F(SessionTicks, AuthSendsThreeOpensThenStartsOverOnAFreshSocket)
{
    set_peer_quiet();
    tick();
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_AUTH);
    EXPECT_EQ(clnt->sess.ltime, FakeClock::mono_sec());
    EXPECT_EQ(log->take(), Lines{init_line()});
    EXPECT_TRUE(peer->recv(20).empty()) << "nothing is sent on the INIT tick";

    uint8_t open[SDWAN_CTRLBUF];
    const uint32_t open_len = sdwan_pktopen(clnt, open);
    uint16_t first_port = 0;
    for (int t = 1; t <= 5; t++) {
        SCOPED_TRACE("AUTH tick " + std::to_string(t));
        tick();
        const Bytes got = peer->recv(t % 2 == 1 ? 200 : 20);
        if (t % 2 == 1) {
            EXPECT_EQ(log->take(), Lines{"AUTH start"});
            EXPECT_EQ(got, Bytes(open, open + open_len));
            EXPECT_EQ(clnt->sess.lastopen, FakeClock::mono_sec());
            if (first_port == 0)
                first_port = peer->last_from_port();
            EXPECT_EQ(peer->last_from_port(), first_port);
        } else {
            EXPECT_TRUE(log->take().empty());
            EXPECT_TRUE(got.empty());
        }
        EXPECT_EQ(clnt->sess.state, SDWANCLNT_AUTH);
    }
    tick();  // the sixth after INIT: the timeout (HowASessionEnds)
    log->take();
    tick();
    EXPECT_EQ(log->take(), Lines{init_line()});
    tick();
    EXPECT_EQ(log->take(), Lines{"AUTH start"});
    ASSERT_FALSE(peer->recv().empty());
    EXPECT_NE(peer->last_from_port(), first_port) << "every attempt uses a new local port";
}

TEST_F(SessionTicks, SourceFilterDropsOtherPortsAndAddresses)
{
    set_peer_quiet();
    tick();
    tick();
    ASSERT_FALSE(peer->recv().empty());
    log->take();
    const uint32_t ltime = clnt->sess.ltime;
    const uint32_t heard = clnt->count.heard;
    FakeClock::advance(1);

    // A real datagram from another port of the peer's address.
    int other = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(other, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = ScriptPeer::ipbe();
    to.sin_port = htons(ScriptPeer::client_port(clnt));
    const Bytes rej = ScriptPeer::openrej();
    ASSERT_EQ(sendto(other, rej.data(), rej.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
              static_cast<ssize_t>(rej.size()));
    EXPECT_EQ(ScriptPeer::deliver(clnt), 1);
    close(other);

    ScriptPeer::inject_from(clnt, ScriptPeer::ipbe(), static_cast<uint16_t>(peer->port() + 1), rej);
    ScriptPeer::inject_from(clnt, str2ip("127.0.0.2"), peer->port(), rej);
    ScriptPeer::inject_from(clnt, str2ip("10.99.0.2"), peer->port(), ScriptPeer::data(SDWAN_DATA, 0, 0, {0x45}));

    EXPECT_EQ(clnt->count.stats.sock_rxpkts, 0u);
    EXPECT_EQ(clnt->count.stats.openrejcnt, 0u);
    EXPECT_EQ(clnt->sess.ltime, ltime);
    EXPECT_EQ(clnt->count.heard, heard);
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_AUTH);
    EXPECT_TRUE(log->take().empty());

    // The same datagram from the peer's own address and port is taken.
    ASSERT_TRUE(peer->send_and_deliver(clnt, rej));
    EXPECT_EQ(clnt->count.stats.sock_rxpkts, 1u);
    EXPECT_EQ(clnt->count.heard, FakeClock::mono_sec());
    EXPECT_EQ(clnt->count.stats.openrejcnt, 1u);
}

TEST_F(SessionTicks, UnknownTypesAreCountedAndStillSignsOfLife)
{
    set_peer_quiet();
    tick();
    tick();
    ASSERT_FALSE(peer->recv().empty());
    log->take();
    uint32_t n = 0;
    for (uint8_t type : {SDWAN_OPEN, SDWAN_ECHOREQ, uint8_t{0}, uint8_t{16}, uint8_t{25}, uint8_t{255}}) {
        for (size_t len : {size_t{1}, size_t{7}, size_t{44}}) {
            SCOPED_TRACE("type " + std::to_string(type) + " len " + std::to_string(len));
            FakeClock::advance(1);
            Bytes pkt = ScriptPeer::control(type, 1, 2, Bytes(20, 0));
            pkt.resize(len);
            if (len == 44) {
                ASSERT_TRUE(peer->send_and_deliver(clnt, pkt));
            } else {
                peer->inject(clnt, pkt);
            }
            n++;
            EXPECT_EQ(clnt->count.stats.panic_pkttype, n);
            EXPECT_EQ(clnt->count.stats.sock_rxpkts, n);
            EXPECT_EQ(clnt->sess.ltime, FakeClock::mono_sec());
            EXPECT_EQ(log->take(), Lines{"Unknown packet type: " + std::to_string(type)});
            EXPECT_EQ(clnt->sess.state, SDWANCLNT_AUTH);
        }
    }
}

TEST_F(SessionTicks, EmptyDatagramIsIgnored)
{
    set_peer_quiet();
    tick();
    tick();
    ASSERT_FALSE(peer->recv().empty());
    log->take();
    ASSERT_TRUE(peer->send_and_deliver(clnt, {}));
    EXPECT_EQ(clnt->count.stats.sock_rxpkts, 0u);
    EXPECT_EQ(clnt->count.stats.panic_pkttype, 0u);
    EXPECT_TRUE(log->take().empty());
}

TEST_F(SessionTicks, AnyDatagramFromThePeerPostponesTheDataTimeout)
{
    set_peer_quiet();
    ASSERT_TRUE(establish(1, 2, session_options()));
    for (int t = 1; t <= 5; t++)
        tick();
    peer->inject(clnt, {SDWAN_ECHOREQ});  // an unknown type, but from the peer
    for (int t = 6; t <= 14; t++)
        tick();
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_DATA);
    tick();
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_INIT);
    EXPECT_EQ(clnt->count.stats.panic_dataot, 1u);
}

// A setting of the wall clock an hour back or forward, in AUTH and in DATA, through the reactor's
// timer: what each second of the monotonic clock sends goes on as without it. Per second: 'O' an
// OPEN, 'E' an echo request, 'T' the session's timeout, 'I' the INIT tick, '-' nothing.
struct WallStepCase {
    const char *what;
    bool data;
    int64_t step;
    const char *want;
};

TEST_F(SessionTicks, WallClockStepsMoveNeitherTimersNorAges)
{
    const WallStepCase cases[] = {
        {"AUTH, set back", false, -3600, "-O-OTIO"},
        {"AUTH, set forward", false, 3600, "-O-OTIO"},
        {"DATA, set back", true, -3600, "E-E-E-E-ETIO"},
        {"DATA, set forward", true, 3600, "E-E-E-E-ETIO"},
    };
    for (const WallStepCase &c : cases) {
        SCOPED_TRACE(c.what);
        set_peer_quiet();
        if (c.data) {
            ASSERT_TRUE(establish(1, 2, session_options()));
        } else {
            tick();
            tick();
            ASSERT_FALSE(peer->recv().empty()) << "the first OPEN";
        }
        tm_init();
        ASSERT_EQ(tm_add("sdwclnt_0", 1, sdwclnt_do_timer, clnt), 0);
        FakeClock::step_wall(c.step);
        std::string got;
        for (const char *w = c.want; *w != '\0'; w++) {
            const uint32_t timeouts = clnt->count.stats.panic_authot + clnt->count.stats.panic_dataot;
            const uint8_t was = clnt->sess.state;
            FakeClock::advance(1);
            tm_scan();
            const Bytes sent = peer->recv(*w == 'O' || *w == 'E' ? 200 : 20);
            if (clnt->count.stats.panic_authot + clnt->count.stats.panic_dataot != timeouts)
                got += 'T';
            else if (was == SDWANCLNT_INIT && clnt->sess.state == SDWANCLNT_AUTH)
                got += 'I';
            else if (sent.empty())
                got += '-';
            else
                got += sent[0] == SDWAN_OPEN ? 'O' : sent[0] == SDWAN_ECHOREQ ? 'E' : '?';
        }
        EXPECT_EQ(got, c.want);
        log->take();
    }
}

// How a session ends, tick by tick: the state it is in, the tick's second counted from the last
// sign of life (sess.ltime), and what follows: the lines, the next state, the one counter moved, the
// datagrams the peer gets (their types) and what is asked of the host: a session that ends in
// silence takes its address and routes with it, one the peer closed leaves them to the next.
struct EndCase {
    const char *what;
    uint8_t state;
    uint32_t second;
    Lines lines;
    uint8_t next;
    uint32_t netif_stats::*counter;
    Bytes sent;
    Lines host;
};

TEST_F(SessionTicks, HowASessionEnds)
{
    const Lines withdrawn{"addr clear tolva0", "route del 0.0.0.0/0 via 10.200.0.1 dev tolva0"};
    const EndCase cases[] = {
        {"AUTH, sixth second: timeout", SDWANCLNT_AUTH, 6, join(SOCKET_LINES, {"AUTH timeout"}), SDWANCLNT_INIT,
         &netif_stats::panic_authot, {}, {}},
        {"DATA, ninth second: an echo request", SDWANCLNT_DATA, 9, {}, SDWANCLNT_DATA, &netif_stats::echoreqcnt,
         {SDWAN_ECHOREQ}, {}},
        {"DATA, tenth second: timeout", SDWANCLNT_DATA, 10, join({"peer DATA timeout"}, SOCKET_LINES),
         SDWANCLNT_INIT, &netif_stats::panic_dataot, {}, withdrawn},
        {"CLOSED: the next tick starts over", SDWANCLNT_CLOSED, 1, join(SOCKET_LINES, {"peer CLOSED"}),
         SDWANCLNT_INIT, nullptr, {}, {}},
    };
    for (const EndCase &c : cases) {
        SCOPED_TRACE(c.what);
        set_peer_quiet();
        if (c.state == SDWANCLNT_AUTH) {
            tick();
            tick();
            ASSERT_FALSE(peer->recv().empty());
        } else {
            ASSERT_TRUE(establish(5, 6, session_options()));
            host_calls();
            if (c.state == SDWANCLNT_CLOSED) {
                peer->inject(clnt, ScriptPeer::close_pkt(5, 6));
                EXPECT_EQ(host_calls(), Lines{}) << "the peer's CLOSE leaves the interface and routes";
            }
            ASSERT_EQ(clnt->sess.state, c.state);
        }
        log->take();
        host_calls();
        netif_stats want = clnt->count.stats;
        if (c.counter != nullptr)
            (want.*c.counter)++;
        ASSERT_LE(FakeClock::mono_sec(), uint64_t{clnt->sess.ltime} + c.second - 1);
        FakeClock::advance(uint64_t{clnt->sess.ltime} + c.second - 1 - FakeClock::mono_sec());
        tick();
        Bytes sent;
        for (const Bytes &d : peer->recv_all(c.sent.empty() ? 20 : 200))
            sent.push_back(d[0]);
        EXPECT_EQ(log->take(), c.lines);
        EXPECT_EQ(clnt->sess.state, c.next);
        EXPECT_EQ(0, memcmp(&want, &clnt->count.stats, sizeof want));
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(host_calls(), c.host);
    }
}

TEST_F(SessionTicks, TickWithoutSocketResets)
{
    set_peer_quiet();
    poll_del(clnt->io.udpsock);
    close(clnt->io.udpsock);
    clnt->io.udpsock = -1;
    clnt->sess.state = SDWANCLNT_AUTH;
    tick();
    EXPECT_EQ(log->take(), join({"client domain socket invalid reset state"}, SOCKET_LINES));
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_INIT);
    EXPECT_GE(clnt->io.udpsock, 0);
}

TEST_F(SessionTicks, NotReadyTickDoesNothing)
{
    set_peer_quiet();
    clnt->conf.pass[0] = 0;
    for (int t = 0; t < 3; t++)
        tick();
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_INIT);
    EXPECT_TRUE(log->take().empty());
    EXPECT_TRUE(peer->recv(20).empty());
}

// The first session against the host's routes at start-up. With waitroute a host without a
// route to the peer (to the resolver, for a peer given by name) gets one line and no datagram
// until a route appears; the kernel's notice of it (or, without the notices, the next tick) ends
// the wait and the session is set up as at any start. waitroute=0 refuses any host without a
// default route, a more specific route to the peer notwithstanding.
struct RouteWaitCase {
    const char *what;
    uint8_t waitroute;
    const char *routes;  // a prefix through the tunnel (split mode), or null: the default route
    const char *domain;  // the peer's name, or null: the peer is 127.0.0.1
    std::string start;   // the route table at start-up, then once the route appeared
    std::string later;
    bool notices;  // the kernel's notices of route changes are followed
    Lines start_lines;
    Lines later_lines;  // when the route appears
    Lines first;        // the session's first tick after it, for a peer given by name
    Lines host;         // the routes asked of the host once the session is up
    uint8_t killswitch = 0;
};

TEST_F(SessionTicks, StartWaitsForARouteToThePeer)
{
    const std::string none = FakeHost::rows({});
    const std::string deflt = FakeHost::rows({{"up0", "0.0.0.0", "10.99.0.2", "0.0.0.0", 0, 0}});
    const std::string loop = FakeHost::rows({{"up1", "127.0.0.0", "10.99.0.9", "255.0.0.0", 0, 0}});
    const std::string unreachable =
        FakeHost::rows({{"*", "0.0.0.0", "0.0.0.0", "0.0.0.0", RTF_UP | RTF_REJECT, 0}});
    const Lines wait{"no route to peer 127.0.0.1 yet: waiting for one"};
    const Lines found{"route to peer 127.0.0.1 found: starting the session"};
    const Lines refused{"Failed to load default route"};
    const Lines full{"host add 127.0.0.1 via 10.99.0.2 dev up0", "route add 0.0.0.0/0 via 10.200.0.1 dev tolva0"};
    const RouteWaitCase cases[] = {
        {"full, no route, then a default route", 1, nullptr, nullptr, none, deflt, true, join(wait, SOCKET_LINES),
         found, {}, full},
        {"full, an unreachable default route only, then a default route", 1, nullptr, nullptr, unreachable, deflt,
         true, join(wait, SOCKET_LINES), found, {}, full},
        {"full, no route, then a default route, no notices", 1, nullptr, nullptr, none, deflt, false,
         join(wait, SOCKET_LINES), found, {}, full},
        {"split, no route, then a route to the peer's network", 1, "127.0.0.0/16", nullptr, none, loop, true,
         join(wait, SOCKET_LINES), found, {},
         {"host add 127.0.0.1 via 10.99.0.9 dev up1", "route add 127.0.0.0/16 via 10.200.0.1 dev tolva0"}},
        {"a route more specific than the tunnel's: no wait, no host route", 1, nullptr, nullptr, loop, "", true,
         SOCKET_LINES, {}, {}, {"route add 0.0.0.0/0 via 10.200.0.1 dev tolva0"}},
        {"a default route: no wait", 1, nullptr, nullptr, deflt, "", true, SOCKET_LINES, {}, {}, full},
        {"by name, no route to the resolver, then one", 1, nullptr, "vpn.example.net", none, loop, true,
         join({"no route to resolver 127.0.0.9 for peer vpn.example.net yet: waiting for one"}, SOCKET_LINES),
         {"route to resolver 127.0.0.9 found: starting the session"},
         {"DNS query vpn.example.net", "Send DNS Query to 127.0.0.9:53"}, {}},
        {"full, kill switch, no route: the peer's missing path said once, then a default route", 1, nullptr, nullptr,
         none, deflt, true,
         join(wait, join(SOCKET_LINES, {"Kill switch on: outside sessions, traffic for tolva0 is refused",
                                        "No route to 127.0.0.1 outside tolva0"})),
         found, {},
         {"host add 127.0.0.1 via 10.99.0.2 dev up0", "route add 0.0.0.0/1 via 10.200.0.1 dev tolva0",
          "route add 128.0.0.0/1 via 10.200.0.1 dev tolva0"},
         1},
        {"waitroute=0, no route: refused", 0, nullptr, nullptr, none, "", true, refused, {}, {}, {}},
        {"waitroute=0, only a route to the peer's network: refused", 0, "127.0.0.0/16", nullptr, loop, "", true,
         refused, {}, {}, {}},
        {"waitroute=0, a default route", 0, nullptr, nullptr, deflt, "", true, SOCKET_LINES, {}, {}, full},
    };
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv), 0);
    for (const RouteWaitCase &c : cases) {
        SCOPED_TRACE(c.what);
        peer->prepare(clnt);
        clnt->ops = host.ops();
        clnt->conf.waitroute = c.waitroute;
        clnt->conf.killswitch = c.killswitch;
        if (c.routes != nullptr) {
            clnt->conf.routes[0] = {str2ip("127.0.0.0"), 16, nullptr};
            clnt->conf.rtcfg = &clnt->conf.routes[0];
            clnt->conf.nroutes = 1;
            clnt->conf.rtmode = SDWAN_RTMODE_SPLIT;
        }
        if (c.domain != nullptr) {
            snprintf(clnt->conf.peerdomain, sizeof clnt->conf.peerdomain, "%s", c.domain);
            clnt->sess.peerip = 0;
            // A resolver on loopback: the query this test makes goes nowhere else.
            clnt->conf.resolver = str2ip("127.0.0.9");
        }
        clnt->io.rtnlfd = c.notices ? sv[0] : -1;
        host.table(c.start);
        host.take();
        log->take();
        const bool ok = c.start_lines != refused;
        EXPECT_EQ(sdwclnt_start(clnt), ok ? 0 : -1);
        EXPECT_EQ(log->take(), c.start_lines);
        if (!ok) {
            EXPECT_EQ(clnt->io.udpsock, -1);
            continue;
        }
        const nlmsghdr note{sizeof(nlmsghdr), RTM_NEWROUTE, 0, 0, 0};
        if (!c.later_lines.empty()) {
            for (int t = 0; t < 3; t++)
                tick();
            if (c.notices) {
                // A change that brings no route to the peer (the kill switch's own routes, say).
                ASSERT_EQ(send(sv[1], &note, sizeof note, 0), static_cast<ssize_t>(sizeof note));
                sdwclnt_rtnl_recv(clnt);
                EXPECT_EQ(log->take(), Lines{}) << "a notice while still waiting";
            }
            host.table(c.later);
            tick();  // with the notices, the tick does not look at the table
            if (c.notices) {
                EXPECT_TRUE(log->take().empty());
                ASSERT_EQ(send(sv[1], &note, sizeof note, 0), static_cast<ssize_t>(sizeof note));
                sdwclnt_rtnl_recv(clnt);
            }
            EXPECT_TRUE(peer->recv_all(20).empty()) << "a datagram while waiting";
            EXPECT_EQ(log->take(), c.later_lines);
        }
        if (c.domain != nullptr) {
            tick();
            EXPECT_EQ(log->take(), c.first);
            continue;
        }
        host.take();
        ASSERT_TRUE(establish(5, 6, session_options()));
        Lines routes;
        for (const std::string &l : host.take())
            if (l.rfind("host ", 0) == 0 || l.rfind("route ", 0) == 0)
                routes.push_back(l);
        EXPECT_EQ(routes, c.host);
    }
    clnt->io.rtnlfd = -1;
    close(sv[0]);
    close(sv[1]);
}

// Start and stop with sdwclnt_init/sdwclnt_deinit, which create and release the TUN interface.
class SessionInitTest : public ClientNetnsTest {};

TEST_F(SessionInitTest, InitRegistersEverythingAndDeinitReleasesIt)
{
    ASSERT_EQ(sdwclnt_init(clnt), 0);
    const Lines lines = log->take();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              join(join({"sdwan client initial success"}, SOCKET_LINES), {"offloads: off"}));
    EXPECT_EQ(clnt->io.tunoff, 0u);
    EXPECT_FALSE(clnt->io.udpgso);
    EXPECT_FALSE(clnt->io.udpgro);
    EXPECT_STREQ(clnt->io.tmr_name, "sdwclnt_0");
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_INIT);
    ASSERT_GE(clnt->io.tunfd, 0);
    EXPECT_NE(if_flags("tolva0"), -1);

    const tm_t *t = timer_slot(&sdwclnt_do_timer);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t->name, 8), "sdwclnt_");
    EXPECT_EQ(t->tmout, 1u);
    EXPECT_EQ(t->arg, clnt);
    const poll_op_t *tun = poll_slot(clnt->io.tunfd);
    ASSERT_NE(tun, nullptr);
    EXPECT_EQ(tun->func, &sdwclnt_tun_recv);
    const poll_op_t *udp = poll_slot(clnt->io.udpsock);
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(udp->func, &sdwan_sock_recv);
    const int udpsock = clnt->io.udpsock;

    sdwclnt_deinit(clnt);
    EXPECT_EQ(if_flags("tolva0"), -1);
    EXPECT_EQ(timer_slot(&sdwclnt_do_timer), nullptr);
    EXPECT_EQ(poll_slot(udpsock), nullptr);
    EXPECT_EQ(fcntl(udpsock, F_GETFD), -1) << "socket closed";
}

// The kernel's offloads, asked for by default: what it grants is said once, and the descriptor
// and the socket have them.
TEST_F(SessionInitTest, InitTakesTheOffloadsTheKernelGrants)
{
    clnt->conf.offload = 1;
    ASSERT_EQ(sdwclnt_init(clnt), 0);
    EXPECT_EQ(log->take().back(), "offloads: tun tso4, udp gso, udp gro");
    EXPECT_EQ(clnt->io.tunoff, TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4);
    EXPECT_TRUE(clnt->io.udpgso);
    EXPECT_TRUE(clnt->io.udpgro);
    EXPECT_NE(netns_sh("ip -d link show dev tolva0").find("vnet_hdr on"), std::string::npos);
    int on = 0;
    socklen_t l = sizeof on;
    ASSERT_EQ(getsockopt(clnt->io.udpsock, SOL_UDP, UDP_GRO, &on, &l), 0);
    EXPECT_EQ(on, 1);
    // A socket made again for the next session gets them again, quietly.
    sdwclnt_reset_state(clnt);
    EXPECT_EQ(log->take(), SOCKET_LINES);
    EXPECT_TRUE(clnt->io.udpgro);
    sdwclnt_deinit(clnt);
}

TEST_F(SessionInitTest, NoDefaultRouteFailsAndUnregisters)
{
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip route del default", &err)) << err;
    clnt->conf.waitroute = 0;
    ASSERT_EQ(sdwclnt_init(clnt), -1);
    const Lines lines = log->take();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "sdwan client initial success");
    EXPECT_EQ(lines.back(), "Failed to load default route");
    EXPECT_EQ(timer_slot(&sdwclnt_do_timer), nullptr);
    EXPECT_EQ(poll_slot(clnt->io.tunfd), nullptr);
    EXPECT_GE(clnt->io.tunfd, 0) << "the descriptor stays open until deinit";
    EXPECT_EQ(clnt->io.udpsock, -1);
}

TEST_F(SessionInitTest, TunFailureRegistersNothing)
{
    snprintf(clnt->conf.tun_name, sizeof clnt->conf.tun_name, "bad/name");
    ASSERT_EQ(sdwclnt_init(clnt), -1);
    EXPECT_FALSE(log->contains("sdwan client initial success"));
    EXPECT_EQ(timer_slot(&sdwclnt_do_timer), nullptr);
    EXPECT_EQ(clnt->io.tunfd, -1);
}

// The whole path through the event core: timer scan, descriptor poll, read callbacks.
TEST_F(SessionInitTest, EventLoopEstablishesASession)
{
    ASSERT_EQ(sdwclnt_init(clnt), 0);
    bool answered = false;
    for (int i = 0; i < 10 && clnt->sess.state != SDWANCLNT_DATA; i++) {
        FakeClock::advance(1);
        poll_once(50);
        const Bytes got = peer->recv(answered ? 0 : 100);
        if (!got.empty() && got[0] == SDWAN_OPEN && !answered) {
            ASSERT_TRUE(peer->send(clnt, ScriptPeer::openack(0x0201, 9, session_options())));
            answered = true;
        }
    }
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_DATA);
    EXPECT_TRUE(log->contains("sdwan DATA ESTABLISHED session 513"));
    EXPECT_TRUE(log->contains("Using IP: 10.200.0.5, Gateway: 10.200.0.1, MTU: 1400, Encrypt: N"));
    EXPECT_EQ(if_inet("tolva0"), "10.200.0.5/24");
    sdwclnt_deinit(clnt);
}

}  // namespace

// The TUN interface deleted under the daemon: its descriptor reports an error, which reaches the
// client (not a busy loop): one line, the session starts over on a new interface. While the name
// cannot be taken, the client tries again every 10 ticks.
TEST_F(SessionInitTest, ALostInterfaceIsMadeAgain)
{
    ASSERT_EQ(sdwclnt_init(clnt), 0);
    log->take();
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip link del tolva0", &err)) << err;
    poll_once(0);
    EXPECT_TRUE(log->contains("TUN interface tolva0 lost, creating it again"));
    EXPECT_EQ(clnt->sess.state, SDWANCLNT_INIT) << "the session starts over";
    ASSERT_GE(clnt->io.tunfd, 0);
    EXPECT_NE(if_flags("tolva0"), -1);
    const poll_op_t *tun = poll_slot(clnt->io.tunfd);
    ASSERT_NE(tun, nullptr);
    EXPECT_NE(tun->efunc, nullptr);

    // Lost again, and the name taken by an interface of another kind (a veth) meanwhile.
    log->take();
    ASSERT_TRUE(netns_sh_ok("ip link del tolva0 && ip link add tolva0 type veth peer name tolvb0", &err)) << err;
    poll_once(0);
    EXPECT_EQ(log->take(), (Lines{"TUN interface tolva0 lost, creating it again", "sdwan client socket reinit success",
                                  "sdwan client socket reg success",
                                  "Failed to attach tun interface tolva0: Invalid argument"}));
    EXPECT_EQ(clnt->io.tunfd, -1);
    for (int i = 0; i < 9; i++)
        sdwclnt_do_timer(clnt);  // the tick itself, without the session's clock moving
    const Lines waiting = log->take();
    EXPECT_EQ(std::count(waiting.begin(), waiting.end(), "Failed to attach tun interface tolva0: Invalid argument"), 0);
    ASSERT_TRUE(netns_sh_ok("ip link del tolva0", &err)) << err;
    sdwclnt_do_timer(clnt);
    ASSERT_GE(clnt->io.tunfd, 0) << "made again on the tenth tick";
    EXPECT_NE(if_flags("tolva0"), -1);
    sdwclnt_deinit(clnt);
    EXPECT_EQ(if_flags("tolva0"), -1);
}
