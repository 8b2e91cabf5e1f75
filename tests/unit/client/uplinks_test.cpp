// The uplinks' plumbing: what the kernel's word on each interface makes of its path, socket and
// host route (the host a FakeHost, the sockets real, on veth interfaces of a private namespace),
// and a legacy probe through a path's own socket, answered by a scripted peer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bytes.h"
#include "client/session.h"
#include "client/uplinks.h"
#include "core/event.h"
#include "net/ipaddr.h"
#include "proto/echo.h"
#include "proto/packet.h"
#include "support/fakeclock.h"
#include "support/scriptpeer.h"

namespace {

using L = std::vector<std::string>;
using S = path_state;

uint32_t ip(const char *s) { return str2ip(s); }

void uplink(sdwan_t *c, int i, const char *name, bool backup)
{
    sdwan_uplink_t &u = c->conf.uplinks[i];
    std::snprintf(u.ifname, sizeof u.ifname, "%s", name);
    u.prio = static_cast<uint8_t>(i + 1);
    u.backup = backup;
    c->conf.nuplinks = static_cast<uint8_t>(i + 1);
}

void handlers(sdwan_t *c)
{
    for (uint32_t i = 0; i < SDWAN_PATHS_MAX; i++)
        c->paths.rx[i] = SDWAN_PATH_RECV[i];
}

class UplinksNs : public NetnsTest {};

// Each row: what changed on the host, then the host calls, the lines, the paths' states and the
// path the session goes out on.
TEST_F(UplinksNs, KernelWordRows)
{
    if (IsSkipped())
        return;
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip link add upa type veth peer name upa-p && ip link add upb type veth peer name upb-p",
                            &err))
        << err;
    poll_init();
    tm_init();
    LogCapture log;
    FakeHost host;
    client_ptr owned = new_client();
    sdwan_t *c = owned.get();
    c->ops = host.ops();
    c->sess.peerip = ip("198.51.100.7");
    c->conf.peerport = 4500;
    c->conf.offload = 0;
    uplink(c, 0, "upa", false);
    uplink(c, 1, "upb", true);
    handlers(c);
    const auto table = [&](const char *gwb) {
        host.table(FakeHost::rows({{"upa", "0.0.0.0", "10.1.0.1", "0.0.0.0", 0, 100},
                                   {"upb", "0.0.0.0", gwb, "0.0.0.0", 0, 200}}));
    };
    table("10.2.0.1");
    host.link("upa", {2, true, ip("10.1.0.5")});
    host.link("upb", {3, true, ip("10.2.0.5")});

    struct Row {
        const char *what;
        std::function<void()> act;
        L calls;
        L lines;
        std::vector<S> st;
        int active;
    };
    const Row rows[] = {
        {"start: sockets, a host route through each gateway, no verdict yet",
         [&] { ASSERT_EQ(uplinks_start(c), 0); },
         {"host add 198.51.100.7 via 10.1.0.1 dev upa metric 100",
          "host add 198.51.100.7 via 10.2.0.1 dev upb metric 200"},
         {},
         {S::down, S::down},
         0},
        {"link down: the session goes out on the other", [&] { host.link("upa", {2, false, ip("10.1.0.5")}); }, {},
         {"path upa down: link down"}, {S::down, S::down}, 1},
        {"interface gone: its route goes, the session goes out on the next",
         [&] { host.gone("upa"); },
         {"host del 198.51.100.7 via 10.1.0.1 dev upa metric 100"},
         {"path upa absent: interface gone"},
         {S::absent, S::down},
         1},
        {"back: socket and route again, probed afresh",
         [&] { host.link("upa", {7, true, ip("10.1.0.5")}); },
         {"host add 198.51.100.7 via 10.1.0.1 dev upa metric 100"},
         {},
         {S::down, S::down},
         1},
        {"address lost", [&] { host.link("upb", {3, true, 0}); }, {}, {"path upb down: no address"},
         {S::down, S::down}, 0},
        {"the gateway moved: the new route before the old one goes",
         [&] { table("10.2.0.9"); },
         {"host add 198.51.100.7 via 10.2.0.9 dev upb metric 200",
          "host del 198.51.100.7 via 10.2.0.1 dev upb metric 200"},
         {},
         {S::down, S::down},
         0},
        {"a route someone else holds is not taken over",
         [&] {
             host.refuse("host_route", -EEXIST);
             table("10.2.0.10");
         },
         {"host add 198.51.100.7 via 10.2.0.10 dev upb metric 200 -> EEXIST",
          "host del 198.51.100.7 via 10.2.0.9 dev upb metric 200 -> EEXIST"},
         {},
         {S::down, S::down},
         0},
    };
    for (const Row &r : rows) {
        r.act();
        if (c->paths.tmrfd >= 0)
            uplinks_sync(c);
        EXPECT_EQ(host.take(), r.calls) << r.what;
        EXPECT_EQ(log.take(), r.lines) << r.what;
        EXPECT_EQ(std::vector<S>({c->paths.p[0].state, c->paths.p[1].state}), r.st) << r.what;
        EXPECT_EQ(c->paths.active, r.active) << r.what;
        EXPECT_EQ(c->io.udpsock, c->paths.p[r.active].fd) << r.what;
    }
    // The socket is tied to its interface.
    char dev[16] = {};
    socklen_t dl = sizeof dev;
    ASSERT_GE(c->paths.p[0].fd, 0);
    ASSERT_EQ(getsockopt(c->paths.p[0].fd, SOL_SOCKET, SO_BINDTODEVICE, dev, &dl), 0);
    EXPECT_STREQ(dev, "upa");

    // upb's address back; then two failed attempts through upa: the session tries upb.
    host.link("upb", {3, true, ip("10.2.0.5")});
    uplinks_sync(c);
    EXPECT_EQ(host.take(), L{"host add 198.51.100.7 via 10.2.0.10 dev upb metric 200 -> EEXIST"});
    EXPECT_TRUE(uplinks_failed(c));
    EXPECT_TRUE(uplinks_failed(c));
    EXPECT_EQ(log.take(), L{"peer 198.51.100.7 unreachable via upa after 2 attempts: trying upb"});
    EXPECT_EQ(c->count.uplink_switches, 1u);
    uplinks_session_reset(c);
    EXPECT_EQ(c->io.udpsock, c->paths.p[1].fd);
    EXPECT_EQ(host.take(), L{"host add 198.51.100.7 via 10.2.0.10 dev upb metric 200 -> EEXIST"});  // still another's

    // The end removes this run's routes only (upb's is someone else's now).
    host.refuse("host_route", 0);
    uplinks_stop(c);
    EXPECT_EQ(host.take(), L{"host del 198.51.100.7 via 10.1.0.1 dev upa metric 100"});
    EXPECT_EQ(c->paths.p[0].fd, -1);
    EXPECT_EQ(c->paths.p[1].fd, -1);
    EXPECT_EQ(c->io.udpsock, -1);
}

// A legacy session probes each path with an echo request through the path's socket; the answer
// that returns its tick is the path's, measured on the monotonic clock, and no keepalive's.
TEST_F(UplinksNs, LegacyProbeThroughPathSocket)
{
    if (IsSkipped())
        return;
    ClientDriver d;
    d.start(1700000000);
    ASSERT_TRUE(d.peer->ok());
    sdwan_t *c = d.clnt;
    FakeHost host;
    c->ops = host.ops();
    c->conf.waitroute = 0;
    uplink(c, 0, "lo", false);
    handlers(c);
    host.link("lo", {1, true, ip("127.0.0.1")});
    ASSERT_EQ(uplinks_start(c), 0);
    d.set_peer_quiet();
    ASSERT_EQ(c->io.udpsock, c->paths.p[0].fd);
    ASSERT_TRUE(d.establish(7, 0x01020304, {}));
    d.log->take();

    uplinks_timer(c);
    const Bytes req = d.peer->recv();
    ASSERT_EQ(req.size(), SDWAN_ECHO_LEN);
    EXPECT_EQ(req[0], SDWAN_ECHOREQ);
    EXPECT_EQ(c->paths.p[0].probes_sent, 1u);
    const uint64_t tick = ld_le64(req.data() + ECHO_TICK_AT);
    const uint32_t resp_before = c->count.stats.echorespcnt;

    FakeClock::mono += 20300;
    ASSERT_TRUE(d.peer->send(c, ScriptPeer::echoresp(tick, 7, 0x01020304)));
    ASSERT_TRUE(fd_wait_readable(c->paths.p[0].fd, 500));
    c->paths.rx[0](c);
    EXPECT_EQ(d.log->take(), L{"path lo up: round trip 20.3 ms"});
    EXPECT_EQ(c->paths.p[0].state, S::up);
    EXPECT_EQ(c->paths.p[0].rxpkts, 1u);
    EXPECT_EQ(c->paths.p[0].heard, FakeClock::mono);
    EXPECT_EQ(c->count.stats.echorespcnt, resp_before);

    // Another tick is the keepalive's: the echo takes it, the path does not.
    ASSERT_TRUE(d.peer->send(c, ScriptPeer::echoresp(tick + 1, 7, 0x01020304)));
    ASSERT_TRUE(fd_wait_readable(c->paths.p[0].fd, 500));
    c->paths.rx[0](c);
    EXPECT_EQ(c->count.stats.echorespcnt, resp_before + 1);
    EXPECT_EQ(c->paths.p[0].rxpkts, 2u);
    EXPECT_EQ(c->paths.p[0].samples, 1u);
    uplinks_stop(c);
    FakeClock::uninstall();
}

// A datagram from the peer's socket to the client's port (a path's socket other than the
// session's).
void send_to(int from, uint16_t port, const Bytes &b)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(sendto(from, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
              static_cast<ssize_t>(b.size()));
}

uint16_t port_of(int fd)
{
    sockaddr_in a{};
    socklen_t l = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l) == 0 ? ntohs(a.sin_port) : 0;
}

// A legacy session measures its other path by the CLOSE the peer answers there, and when its own
// path goes down moves to the other at once: an OPEN through the new
// path's socket, again each second while refused, and the peer's OPENACK there is taken in DATA.
// Two names of the loopback (its altname) stand for two uplinks.
TEST_F(UplinksNs, LegacyMoveReopens)
{
    if (IsSkipped())
        return;
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip link property add dev lo altname upx", &err)) << err;
    ClientDriver d;
    d.start(1700000000);
    ASSERT_TRUE(d.peer->ok());
    sdwan_t *c = d.clnt;
    FakeHost host;
    c->ops = host.ops();
    c->conf.waitroute = 0;
    uplink(c, 0, "lo", false);
    uplink(c, 1, "upx", false);
    handlers(c);
    host.link("lo", {1, true, ip("127.0.0.1")});
    host.link("upx", {1, true, ip("127.0.0.1")});
    ASSERT_EQ(uplinks_start(c), 0);
    d.set_peer_quiet();
    ASSERT_TRUE(d.establish(7, 0x01020304, {}));
    const int fd1 = c->paths.p[1].fd;
    uplinks_timer(c);
    const uint16_t port1 = port_of(fd1);  // the kernel gave it one at the probe's send
    Bytes probe1;
    for (Bytes b = d.peer->recv(); !b.empty(); b = d.peer->recv(50))
        if (d.peer->last_from_port() == port1)
            probe1 = b;
    ASSERT_EQ(probe1.size(), SDWAN_ECHO_LEN);
    // The peer holds no session at that source: its CLOSE, with the session's sid and token, is the
    // path's answer and ends nothing.
    FakeClock::mono += 20300;
    send_to(d.peer->fd(), port1, ScriptPeer::close_pkt(7, 0x01020304));
    ASSERT_TRUE(fd_wait_readable(fd1, 500));
    c->paths.rx[1](c);
    EXPECT_EQ(c->sess.state, SDWANCLNT_DATA);
    EXPECT_EQ(c->paths.p[1].state, S::up);
    EXPECT_EQ(c->count.stats.closedcnt, 0u);
    d.log->take();

    host.link("lo", {1, false, ip("127.0.0.1")});
    uplinks_sync(c);
    EXPECT_EQ(d.log->take(), (L{"path lo down: link down", "path upx chosen: round trip 20.3 ms, was lo"}));
    EXPECT_EQ(c->io.udpsock, fd1);
    EXPECT_EQ(c->paths.moves, 1u);
    Bytes open = d.peer->recv();
    ASSERT_FALSE(open.empty());
    EXPECT_EQ(open[0], SDWAN_OPEN);
    EXPECT_EQ(d.peer->last_from_port(), port1);

    // The peer holds nothing there yet: the CLOSE its echo gets, and the refusal, leave the
    // session as it is, and it asks again a second later.
    send_to(d.peer->fd(), port1, ScriptPeer::close_pkt(7, 0x01020304));
    ASSERT_TRUE(fd_wait_readable(fd1, 500));
    c->paths.rx[1](c);
    EXPECT_EQ(c->sess.state, SDWANCLNT_DATA);
    send_to(d.peer->fd(), port1, ScriptPeer::openrej(7, 0x01020304));
    ASSERT_TRUE(fd_wait_readable(fd1, 500));
    c->paths.rx[1](c);
    EXPECT_EQ(c->sess.state, SDWANCLNT_DATA);
    EXPECT_TRUE(c->paths.reopen);
    d.tick();
    bool again = false;
    for (Bytes b = d.peer->recv(); !b.empty(); b = d.peer->recv(50))
        again = again || (b[0] == SDWAN_OPEN && d.peer->last_from_port() == port1);
    EXPECT_TRUE(again);

    send_to(d.peer->fd(), port1, ScriptPeer::openack(9, 0x0a0b0c0d, {}));
    ASSERT_TRUE(fd_wait_readable(fd1, 500));
    c->paths.rx[1](c);
    EXPECT_EQ(c->sess.state, SDWANCLNT_DATA);
    EXPECT_EQ(c->sess.sid, 9u);
    EXPECT_FALSE(c->paths.reopen);
    uplinks_stop(c);
    FakeClock::uninstall();
}

}  // namespace
