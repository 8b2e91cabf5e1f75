// The peer server's packet handling, driven through its real receive and send paths over
// loopback UDP, with a datagram socket pair standing in for the TUN device: OPEN answered byte
// for byte, every malformed input dropped and counted, data in both directions, echo, silence
// and shutdown.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "client/auth.h"
#include "client/echo.h"
#include "core/event.h"
#include "net/tun.h"
#include "peer/peer.h"
#include "proto/openack.h"
#include "proto/packet.h"
#include "base/log.h"
#include "base/os.h"
#include "support/wire.h"
#include "support/fakeclock.h"
#include "support/ippkt.h"
#include "support/logcap.h"

using wire::Bytes;

namespace {

const std::string kConfig = "[sdwt0]\n"
                            "port=4500\n"
                            "pool=10.8.0.0\n"
                            "mtu=1400\n"
                            "encrypt=1\n"
                            "dns=9.9.9.9,1.1.1.1\n"
                            "user=alice:secret\n"
                            "user=bob:hunter2:10.8.0.50\n"
                            "user=carol:abcdefghijklmnopqrst\n";

struct Sess {
    uint16_t sid = 0;
    uint32_t token = 0;
    uint32_t addr = 0;
    uint8_t encrypt = 0;
    Bytes ack;
};

peer_t g_peer;  // the server under test: too large for a fixture member

class PeerProto : public ::testing::Test {
protected:
    peer_t *p = &g_peer;
    LogCapture *log = nullptr;
    int tun[2] = {-1, -1};
    uint16_t port = 0;
    std::vector<int> fds;

    void SetUp() override
    {
        FakeClock::install(1700000000);
        log = new LogCapture();
        load(kConfig);
    }

    void TearDown() override
    {
        unload();
        delete log;
        FakeClock::uninstall();
    }

    void unload()
    {
        for (int fd : fds)
            close(fd);
        fds.clear();
        if (p->udpfd >= 0)
            close(p->udpfd);
        if (tun[0] >= 0)
            close(tun[0]);
        if (tun[1] >= 0)
            close(tun[1]);
        tun[0] = tun[1] = p->udpfd = p->tunfd = -1;
        peer_teardown(p);
    }

    void load(const std::string &text)
    {
        std::string copy = text;
        FILE *fp = fmemopen(copy.data(), copy.size(), "r");
        ASSERT_NE(fp, nullptr);
        char err[PEER_ERRLEN];
        ASSERT_EQ(peer_cfg_read(fp, &p->cfg, err, sizeof err), 0) << err;
        fclose(fp);
        ASSERT_EQ(peer_setup(p), 0);
        p->udpfd = peer_udp_open(htonl(INADDR_LOOPBACK), 0);
        ASSERT_GE(p->udpfd, 0);
        port = local_port(p->udpfd);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, tun), 0);
        p->tunfd = tun[0];
        log->take();
    }

    static uint16_t local_port(int fd)
    {
        sockaddr_in a{};
        socklen_t l = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l);
        return ntohs(a.sin_port);
    }

    int client()
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        EXPECT_GE(fd, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        fds.push_back(fd);
        return fd;
    }

    // Sends one datagram to the server and lets it handle everything that is waiting.
    void send(int fd, const Bytes &b)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a),
                  static_cast<ssize_t>(b.size()));
        pollfd pf{p->udpfd, POLLIN, 0};
        ASSERT_EQ(poll(&pf, 1, 2000), 1);
        peer_udp_recv(p);
    }

    // The next datagram for a client; the server has already sent everything it will send.
    static Bytes recv(int fd)
    {
        Bytes b(4096);
        ssize_t n = ::recv(fd, b.data(), b.size(), MSG_DONTWAIT);
        b.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return b;
    }

    Bytes tun_read()
    {
        Bytes b(4096);
        ssize_t n = ::recv(tun[1], b.data(), b.size(), MSG_DONTWAIT);
        b.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return b;
    }

    void tun_write(const Bytes &pkt)
    {
        ASSERT_EQ(::send(tun[1], pkt.data(), pkt.size(), 0), static_cast<ssize_t>(pkt.size()));
        peer_tun_recv(p);
    }

    Sess open(int fd, const std::string &user, const std::string &pass, int want = -1)
    {
        Sess s;
        send(fd, wire::open(user, pass, want));
        s.ack = recv(fd);
        EXPECT_GE(s.ack.size(), 24u);
        if (s.ack.size() < 24 || s.ack[0] != SDWAN_OPENACK)
            return s;
        openack_msg_t m;
        EXPECT_EQ(openack_decode(s.ack, &m), 0);
        s.encrypt = m.hdr.encrypt;
        s.sid = m.hdr.sid;
        s.token = m.hdr.token;
        s.addr = m.ip;
        return s;
    }

    std::string from(int fd) { return "127.0.0.1:" + std::to_string(local_port(fd)); }
};

TEST_F(PeerProto, OpenAcceptedWithEveryOption)
{
    int c = client();
    send(c, wire::open("alice", "secret", 1));
    Bytes ack = recv(c);
    ASSERT_EQ(ack.size(), 53u);
    EXPECT_EQ(ack[0], SDWAN_OPENACK);
    EXPECT_EQ(ack[1], 1);
    EXPECT_TRUE(wire::signed_ok(ack));
    EXPECT_EQ(sdwan_pktverify(ack.data(), static_cast<uint32_t>(ack.size())), 1);
    // The layout is the codec's (proto/codec_test); here, what the peer grants.
    openack_msg_t m;
    ASSERT_EQ(openack_decode(ack, &m), 0);
    const uint16_t sid = m.hdr.sid;
    const uint32_t token = m.hdr.token;
    EXPECT_NE(sid, 0);
    EXPECT_NE(token, 0u);
    openack_msg_t want{};
    want.hdr = {SDWAN_OPENACK, 1, sid, token};
    want.have = OPENACK_HAVE_IP | OPENACK_HAVE_GATEWAY | OPENACK_HAVE_MTU | OPENACK_HAVE_DNS | OPENACK_HAVE_ENCRYPT;
    want.ip = wire::addr("10.8.0.2");
    want.gateway = wire::addr("10.8.0.1");
    want.mtu = 1400;
    want.dns0 = wire::addr("9.9.9.9");
    want.dns1 = wire::addr("1.1.1.1");
    want.encrypt = 1;
    EXPECT_EQ(m, want);

    peer_sess_t *s = peer_sess_find(p, htonl(INADDR_LOOPBACK), local_port(c));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->sid, sid);
    EXPECT_EQ(s->token, token);
    EXPECT_EQ(s->addr, wire::addr("10.8.0.2"));
    EXPECT_EQ(peer_sess_by_addr(p, wire::addr("10.8.0.2")), s);
    EXPECT_EQ(p->st.open_ok, 1u);
    EXPECT_EQ(p->st.tx_dgrams, 1u);
    EXPECT_EQ(log->take(), std::vector<std::string>{"session " + std::to_string(sid) + " accepted: user alice from " +
                                                    from(c) + ", address 10.8.0.2, encrypt 1"});
}

TEST_F(PeerProto, EncryptGrantedOnlyWhenAskedAndAllowed)
{
    struct Case {
        int cfg_encrypt;
        int want;  // -1: no option
        uint8_t granted;
    } cases[] = {{1, 1, 1}, {1, -1, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}};
    for (const Case &k : cases) {
        unload();
        std::string text = kConfig;
        text.replace(text.find("encrypt=1"), 9, "encrypt=" + std::to_string(k.cfg_encrypt));
        load(text);
        int c = client();
        Sess s = open(c, "alice", "secret", k.want);
        SCOPED_TRACE(testing::Message() << "cfg " << k.cfg_encrypt << " want " << k.want);
        EXPECT_EQ(s.encrypt, k.granted);
        EXPECT_EQ(s.ack.size(), k.granted ? 53u : 50u);
        // Without the grant no encrypt option at all.
        openack_msg_t m;
        ASSERT_EQ(openack_decode(s.ack, &m), 0);
        EXPECT_EQ((m.have & OPENACK_HAVE_ENCRYPT) != 0, k.granted != 0);
        // Data towards the client follows the grant.
        tun_write(wire::icmp_echo("10.8.0.1", "10.8.0.2", 1, 1, 16));
        Bytes d = recv(c);
        ASSERT_EQ(d.size(), 8u + 44u);
        EXPECT_EQ(d[0], k.granted ? SDWAN_EDATA : SDWAN_DATA);
        EXPECT_EQ(d[1], k.granted);
    }
}

TEST_F(PeerProto, OpenRejected)
{
    struct Case {
        const char *user;
        const char *pass;
        const char *logged_name;
        const char *why;
    } cases[] = {
        {"alice", "wrong", "alice", "wrong password"},
        {"alice", "secreT", "alice", "wrong password"},
        {"alice", "secret\x01", "alice", "wrong password"},
        {"mallory", "secret", "mallory", "unknown user"},
        {"alic", "secret", "alic", "unknown user"},
        {"ev\nil", "x", "ev?il", "unknown user"},
    };
    for (const Case &k : cases) {
        // Each case in an interval of its own: all come from one address, which the rate limit
        // would otherwise silence after a few lines.
        FakeClock::advance(PEER_RLOG_SEC);
        peer_tick(p);
        int c = client();
        uint64_t rej = p->st.open_rej;
        send(c, wire::open(k.user, k.pass));
        Bytes r = recv(c);
        SCOPED_TRACE(k.logged_name);
        ASSERT_EQ(r.size(), 24u);
        EXPECT_EQ(r, wire::control(SDWAN_OPENREJ, 0, 0, 0));
        EXPECT_EQ(sdwan_pktverify(r.data(), 24), 1);
        EXPECT_EQ(p->st.open_rej, rej + 1);
        EXPECT_EQ(peer_live_count(p), 0);
        EXPECT_EQ(log->take(), std::vector<std::string>{std::string("rejected user ") + k.logged_name + " from " +
                                                        from(c) + ": " + k.why});
    }
}

struct Drop {
    const char *name;
    Bytes pkt;
    uint64_t peer_stats_t::*counter;
};

Bytes cut(Bytes b, size_t n)
{
    b.resize(n);
    return b;
}
Bytes plus(Bytes b, const Bytes &tail)
{
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}
Bytes flip(Bytes b, size_t at)
{
    b[at] ^= 0x01;
    return b;
}
Bytes open_with(const std::vector<Bytes> &options)
{
    Bytes o = wire::control(SDWAN_OPEN, 0, 0, 0);
    for (const Bytes &x : options)
        o.insert(o.end(), x.begin(), x.end());
    return o;
}

TEST_F(PeerProto, BadInputDroppedAndCounted)
{
    const Bytes good = wire::open("alice", "secret");
    const Bytes user = {SDWAN_OPT_USER, 7, 'a', 'l', 'i', 'c', 'e'};
    Bytes pass = {SDWAN_OPT_PASS, 18};
    Bytes blk = wire::passblock("alice", "secret");
    pass.insert(pass.end(), blk.begin(), blk.end());
    Bytes longuser = {SDWAN_OPT_USER, 34};
    longuser.resize(34, 'u');
    const std::vector<Drop> cases = {
        {"5 bytes", {19, 0, 0, 0, 0}, &peer_stats_t::drop_short},
        {"empty", {}, &peer_stats_t::drop_short},
        {"OPEN of 20 bytes", cut(good, 20), &peer_stats_t::drop_short},
        {"OPEN signature damaged", flip(good, 12), &peer_stats_t::drop_sig},
        {"OPEN header changed after signing", flip(good, 1), &peer_stats_t::drop_sig},
        // One OPEN of each kind the codec refuses (every one is in proto/codec_test).
        {"option running past the end", plus(good, {SDWAN_OPT_ENCRYPT, 5, 1}), &peer_stats_t::drop_malformed},
        {"no password", open_with({user}), &peer_stats_t::drop_malformed},
        {"user of 32 characters", open_with({longuser, pass}), &peer_stats_t::drop_malformed},
        {"OPENREJ from a client", wire::control(SDWAN_OPENREJ, 0, 0, 0), &peer_stats_t::drop_type},
        {"OPENACK from a client", wire::control(SDWAN_OPENACK, 0, 0, 0), &peer_stats_t::drop_type},
        {"ECHORESP from a client", plus(wire::control(SDWAN_ECHORESP, 0, 0, 0), Bytes(8)), &peer_stats_t::drop_type},
        {"CLOSE from a client", wire::control(SDWAN_CLOSE, 0, 0, 0), &peer_stats_t::drop_type},
        {"type 99", wire::control(99, 0, 0, 0), &peer_stats_t::drop_type},
        {"ECHOREQ of 31 bytes", plus(wire::control(SDWAN_ECHOREQ, 0, 1, 2), Bytes(7)), &peer_stats_t::drop_short},
        {"ECHOREQ badly signed", flip(plus(wire::control(SDWAN_ECHOREQ, 0, 1, 2), Bytes(20)), 20),
         &peer_stats_t::drop_sig},
        {"DATA without a session", plus(wire::header(SDWAN_DATA, 0, 1, 2), Bytes(40)), &peer_stats_t::drop_nosess},
        {"EDATA without a session", plus(wire::header(SDWAN_EDATA, 1, 1, 2), Bytes(40)), &peer_stats_t::drop_nosess},
        {"oversized datagram", Bytes(3000, SDWAN_DATA), &peer_stats_t::drop_trunc},
    };
    int c = client();
    for (const Drop &d : cases) {
        SCOPED_TRACE(d.name);
        peer_stats_t before = p->st;
        send(c, d.pkt);
        EXPECT_EQ(p->st.*d.counter, before.*d.counter + 1);
        EXPECT_EQ(p->st.rx_dgrams, before.rx_dgrams + 1);
        EXPECT_EQ(p->st.tx_dgrams, before.tx_dgrams);
        EXPECT_EQ(recv(c).size(), 0u);
        EXPECT_EQ(tun_read().size(), 0u);
        EXPECT_EQ(peer_live_count(p), 0);
    }
    EXPECT_EQ(log->take(), std::vector<std::string>{});
    // After all of that, the same socket still gets a session.
    Sess s = open(c, "alice", "secret");
    EXPECT_EQ(s.ack[0], SDWAN_OPENACK);
}

TEST_F(PeerProto, UnknownOptionsAreSkipped)
{
    int c = client();
    send(c, plus(wire::open("alice", "secret"), {7, 2, 200, 5, 1, 2, 3, SDWAN_OPT_PIPE, 4, 0x80, 0x05}));
    Bytes ack = recv(c);
    ASSERT_GE(ack.size(), 24u);
    EXPECT_EQ(ack[0], SDWAN_OPENACK);
}

TEST_F(PeerProto, RepeatedOpenGetsTheSameSession)
{
    int c = client();
    Sess a = open(c, "alice", "secret", 1);
    log->take();
    FakeClock::advance(3);
    Sess b = open(c, "alice", "secret", 1);
    EXPECT_EQ(b.ack, a.ack);  // same sid, token, address and options
    EXPECT_EQ(peer_live_count(p), 1);
    EXPECT_EQ(p->st.open_ok, 1u);
    EXPECT_EQ(p->st.open_again, 1u);
    EXPECT_EQ(peer_sess_find(p, htonl(INADDR_LOOPBACK), local_port(c))->lastsec, FakeClock::mono_sec());
    EXPECT_EQ(log->take(),
              std::vector<std::string>{"session " + std::to_string(a.sid) + " OPEN repeated: user alice from " + from(c)});
}

TEST_F(PeerProto, WrongPasswordLeavesALiveSessionAlone)
{
    int c = client();
    Sess a = open(c, "alice", "secret");
    send(c, wire::open("alice", "guess"));
    EXPECT_EQ(recv(c), wire::control(SDWAN_OPENREJ, 0, 0, 0));
    peer_sess_t *s = peer_sess_find(p, htonl(INADDR_LOOPBACK), local_port(c));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->sid, a.sid);
    EXPECT_EQ(s->token, a.token);
}

TEST_F(PeerProto, NewSocketOfTheSameUserReplacesTheOldSessionOnlyOnceItIsSilent)
{
    int c1 = client(), c2 = client();
    Sess a = open(c1, "alice", "secret");
    log->take();
    // Heard from within the hold time: the same OPEN from another socket (a restarted client,
    // or a captured OPEN replayed) is refused, and the live session is untouched.
    FakeClock::advance(PEER_HOLD_SEC - 1);
    send(c2, wire::open("alice", "secret"));
    EXPECT_EQ(recv(c2), wire::control(SDWAN_OPENREJ, 0, 0, 0));
    EXPECT_EQ(peer_sess_find(p, htonl(INADDR_LOOPBACK), local_port(c1))->sid, a.sid);
    EXPECT_EQ(p->st.rej_held, 1u);
    EXPECT_EQ(log->take(), std::vector<std::string>{"rejected user alice from " + from(c2) +
                                                    ": user has a live session"});
    // A sign of life restarts the hold; silence for the whole hold time ends it.
    send(c1, plus(wire::control(SDWAN_ECHOREQ, 0, a.sid, a.token), Bytes(20)));
    ASSERT_EQ(recv(c1).size(), 44u);
    FakeClock::advance(PEER_HOLD_SEC - 1);
    send(c2, wire::open("alice", "secret"));
    EXPECT_EQ(recv(c2), wire::control(SDWAN_OPENREJ, 0, 0, 0));
    log->take();
    FakeClock::advance(1);
    Sess b = open(c2, "alice", "secret");
    ASSERT_EQ(b.ack[0], SDWAN_OPENACK);
    EXPECT_FALSE(a.sid == b.sid && a.token == b.token);
    EXPECT_EQ(b.addr, a.addr);  // the client keeps its tunnel address
    EXPECT_EQ(peer_live_count(p), 1);
    EXPECT_EQ(p->st.sess_replaced, 1u);
    EXPECT_EQ(log->take(),
              (std::vector<std::string>{"session " + std::to_string(a.sid) + " replaced: user alice from " + from(c1),
                                        "session " + std::to_string(b.sid) + " accepted: user alice from " + from(c2) +
                                            ", address 10.8.0.2, encrypt 0"}));
    // The old socket's data no longer reaches the interface.
    send(c1, plus(wire::header(SDWAN_DATA, 0, a.sid, a.token), wire::icmp_echo("10.8.0.2", "10.8.0.1", 1, 1, 8)));
    EXPECT_EQ(p->st.drop_nosess, 1u);
    EXPECT_EQ(tun_read().size(), 0u);
}

TEST_F(PeerProto, RemoteEventsAreLoggedAtABoundedRate)
{
    // 40 sources each sending 10 bad OPENs: each source's first lines are logged until the
    // interval's budget is spent, the rest only counted; one summary ends the interval.
    std::vector<int> cs;
    for (int i = 0; i < 40; i++)
        cs.push_back(client());
    for (int round = 0; round < 10; round++)
        for (int c : cs)
            send(c, wire::open(round % 2 ? "alice" : "mallory", "guess"));
    EXPECT_EQ(p->st.open_rej, 400u);
    EXPECT_EQ(p->st.rej_unknown, 200u);
    EXPECT_EQ(p->st.rej_password, 200u);
    // Every datagram was answered, logged or not.
    for (int c : cs) {
        int n = 0;
        while (recv(c).size() == 24)
            n++;
        EXPECT_EQ(n, 10);
    }
    std::vector<std::string> lines = log->take();
    // All from loopback: one source address, so its first PEER_RLOG_PER_SRC lines only.
    ASSERT_EQ(lines.size(), PEER_RLOG_PER_SRC);
    EXPECT_EQ(lines[0], "rejected user mallory from " + from(cs[0]) + ": unknown user");
    EXPECT_EQ(p->st.log_suppressed, 400u - PEER_RLOG_PER_SRC);
    FakeClock::advance(PEER_RLOG_SEC - 1);
    peer_tick(p);
    EXPECT_EQ(log->take(), std::vector<std::string>{});
    FakeClock::advance(1);
    peer_tick(p);
    EXPECT_EQ(log->take(), std::vector<std::string>{"peer: 397 events from 1 sources not logged in the last 10 s: "
                                                    "unknown user 197, wrong password 200"});
    // A new interval: the source may be heard again.
    send(cs[0], wire::open("mallory", "x"));
    EXPECT_EQ(log->take().size(), 1u);
    FakeClock::advance(PEER_RLOG_SEC);
    peer_tick(p);
    EXPECT_EQ(log->take(), std::vector<std::string>{});  // nothing held back: no summary
}

TEST_F(PeerProto, RateLimitCountsSourcesAndCapsTheInterval)
{
    p->now = static_cast<uint32_t>(FakeClock::mono_sec());
    const uint32_t base = wire::addr("192.0.2.0");
    for (uint32_t i = 1; i <= 30; i++)
        for (int k = 0; k < 5; k++)
            peer_rlog_allow(p, base + htonl(i), PEER_EV_UNKNOWN) ? (void)log_help("x\n") : (void)0;
    // 30 sources, 3 lines each allowed but 20 in all: sources 1-6 fully, source 7 in part; every
    // source had something held back.
    EXPECT_EQ(log->take().size(), PEER_RLOG_LINES);
    EXPECT_EQ(p->st.log_suppressed, 150u - PEER_RLOG_LINES);
    FakeClock::advance(PEER_RLOG_SEC);
    peer_tick(p);
    EXPECT_EQ(log->take(), std::vector<std::string>{"peer: 130 events from 30 sources not logged in the last 10 s: "
                                                    "unknown user 130"});
}

TEST_F(PeerProto, RepeatedOpenFloodIsNotLoggedPerDatagram)
{
    int c = client();
    Sess a = open(c, "alice", "secret");
    log->take();
    for (int i = 0; i < 50; i++)
        send(c, wire::open("alice", "secret"));
    int acks = 0;
    while (recv(c) == a.ack)
        acks++;
    EXPECT_EQ(acks, 50);
    EXPECT_EQ(p->st.open_again, 50u);
    EXPECT_EQ(log->take().size(), PEER_RLOG_PER_SRC);
}

TEST_F(PeerProto, AnotherUserFromTheSameSourceReplacesTheSessionOnlyOnceItIsSilent)
{
    int c = client();
    Sess a = open(c, "alice", "secret");
    log->take();
    // bob's OPEN from alice's own address and port (a captured OPEN sent with her source forged)
    // is refused while she is live, and the refusal does not count as her sign of life.
    FakeClock::advance(PEER_HOLD_SEC - 1);
    send(c, wire::open("bob", "hunter2"));
    EXPECT_EQ(recv(c), wire::control(SDWAN_OPENREJ, 0, 0, 0));
    EXPECT_EQ(peer_sess_find(p, htonl(INADDR_LOOPBACK), local_port(c))->sid, a.sid);
    EXPECT_EQ(p->st.rej_srcheld, 1u);
    EXPECT_EQ(p->st.open_rej, 1u);
    EXPECT_EQ(log->take(),
              std::vector<std::string>{"rejected user bob from " + from(c) + ": source held by another user"});
    FakeClock::advance(1);
    Sess b = open(c, "bob", "hunter2");
    EXPECT_EQ(b.addr, wire::addr("10.8.0.50"));
    EXPECT_EQ(peer_live_count(p), 1);
    EXPECT_EQ(p->st.sess_replaced, 1u);
    EXPECT_EQ(peer_sess_by_addr(p, wire::addr("10.8.0.2")), nullptr);
    // alice, silent past the hold on another socket, asks from bob's live one: refused, and her
    // own session, which could have given way, is still there.
    int c2 = client();
    Sess a2 = open(c2, "alice", "secret");
    FakeClock::advance(PEER_HOLD_SEC);
    send(c, plus(wire::control(SDWAN_ECHOREQ, 0, b.sid, b.token), Bytes(20)));
    ASSERT_EQ(recv(c).size(), 44u);
    send(c, wire::open("alice", "secret"));
    EXPECT_EQ(recv(c), wire::control(SDWAN_OPENREJ, 0, 0, 0));
    EXPECT_EQ(p->st.rej_srcheld, 2u);
    EXPECT_EQ(peer_sess_find(p, htonl(INADDR_LOOPBACK), local_port(c2))->sid, a2.sid);
    EXPECT_EQ(peer_live_count(p), 2);
}

TEST_F(PeerProto, AddressesSkipThoseFixedForOthers)
{
    unload();
    load("[t]\nport=1\npool=10.8.0.0\nuser=dave:pw:10.8.0.2\nuser=alice:secret\nuser=erin:pw\n");
    int c1 = client(), c2 = client(), c3 = client();
    EXPECT_EQ(open(c1, "alice", "secret").addr, wire::addr("10.8.0.3"));  // .2 is dave's even while he is away
    EXPECT_EQ(open(c2, "erin", "pw").addr, wire::addr("10.8.0.4"));
    EXPECT_EQ(open(c3, "dave", "pw").addr, wire::addr("10.8.0.2"));
}

TEST_F(PeerProto, ClientBuiltOpenIsAccepted)
{
    // The client's own builder, including a password longer than the 16 characters it sends.
    sdwan_t rec{};
    std::strcpy(rec.conf.user, "carol");
    std::strcpy(rec.conf.pass, "abcdefghijklmnopqrst");
    rec.conf.mtu = 1400;
    rec.conf.encrypt = 1;
    rec.conf.pipeid = 5;
    rec.conf.pipeidx = 1;
    uint8_t buf[SDWAN_CTRLBUF];
    uint32_t n = sdwan_pktopen(&rec, buf);
    int c = client();
    send(c, Bytes(buf, buf + n));
    Bytes ack = recv(c);
    ASSERT_EQ(ack.size(), 53u);
    EXPECT_EQ(ack[0], SDWAN_OPENACK);

    // Data enciphered with the client's own key derivation arrives in clear.
    sdwan_set_key(&rec);
    Bytes ip = wire::icmp_echo("10.8.0.2", "10.8.0.1", 7, 9, 21);
    Bytes d = plus(Bytes(ack.begin(), ack.begin() + 8), ip);
    d[0] = SDWAN_EDATA;
    sdwan_encrypt(&rec.sess.key, d.data() + 8, static_cast<int>(ip.size()));
    send(c, d);
    EXPECT_EQ(tun_read(), ip);
}

TEST_F(PeerProto, DataFromTheClientReachesTheInterface)
{
    int c = client();
    Sess s = open(c, "alice", "secret", 1);
    const Bytes key = wire::datakey("alice", "secret");
    const Bytes ip = wire::icmp_echo("10.8.0.2", "10.8.0.1", 3, 4, 9);  // 37 bytes: a partial last block
    ASSERT_EQ(ip.size() % 8, 5u);

    Bytes e = plus(wire::header(SDWAN_EDATA, 1, s.sid, s.token), ip);
    wire::xor_payload(e.data() + 8, ip.size(), key);
    send(c, e);
    EXPECT_EQ(tun_read(), ip);

    // DATA is written as it comes, whatever the session's grant.
    send(c, plus(wire::header(SDWAN_DATA, 7, s.sid, s.token), ip));
    EXPECT_EQ(tun_read(), ip);
    EXPECT_EQ(p->st.tun_tx, 2u);

    struct Case {
        const char *name;
        Bytes pkt;
        uint64_t peer_stats_t::*counter;
    } drops[] = {
        {"wrong token", plus(wire::header(SDWAN_DATA, 0, s.sid, s.token ^ 1), ip), &peer_stats_t::drop_token},
        {"wrong sid", plus(wire::header(SDWAN_DATA, 0, static_cast<uint16_t>(s.sid ^ 1), s.token), ip),
         &peer_stats_t::drop_token},
        {"header only", wire::header(SDWAN_DATA, 0, s.sid, s.token), &peer_stats_t::drop_short},
        {"source of another client",
         plus(wire::header(SDWAN_DATA, 0, s.sid, s.token), wire::icmp_echo("10.8.0.50", "10.8.0.1", 1, 1, 8)),
         &peer_stats_t::drop_badip},
        {"not IPv4", plus(wire::header(SDWAN_DATA, 0, s.sid, s.token), Bytes(40, 0x60)), &peer_stats_t::drop_badip},
        {"shorter than an IPv4 header", plus(wire::header(SDWAN_DATA, 0, s.sid, s.token), cut(ip, 19)),
         &peer_stats_t::drop_badip},
    };
    for (const Case &k : drops) {
        SCOPED_TRACE(k.name);
        peer_stats_t before = p->st;
        send(c, k.pkt);
        EXPECT_EQ(p->st.*k.counter, before.*k.counter + 1);
        EXPECT_EQ(p->st.tun_tx, before.tun_tx);
        EXPECT_EQ(tun_read().size(), 0u);
    }
}

TEST_F(PeerProto, InterfacePacketsGoToTheSessionThatOwnsTheAddress)
{
    int ca = client(), cb = client();
    Sess a = open(ca, "alice", "secret", 1);
    Sess b = open(cb, "bob", "hunter2");
    ASSERT_EQ(b.addr, wire::addr("10.8.0.50"));
    const Bytes key = wire::datakey("alice", "secret");

    Bytes to_b = wire::icmp_echo("10.8.0.1", "10.8.0.50", 1, 2, 30);
    tun_write(to_b);
    EXPECT_EQ(recv(cb), plus(wire::header(SDWAN_DATA, 0, b.sid, b.token), to_b));
    EXPECT_EQ(recv(ca).size(), 0u);

    Bytes to_a = wire::icmp_echo("10.8.0.1", "10.8.0.2", 1, 3, 31);
    tun_write(to_a);
    Bytes got = recv(ca);
    Bytes want = plus(wire::header(SDWAN_EDATA, 1, a.sid, a.token), to_a);
    wire::xor_payload(want.data() + 8, to_a.size(), key);
    EXPECT_EQ(got, want);
    EXPECT_EQ(recv(cb).size(), 0u);

    const Bytes unroutable[] = {
        wire::icmp_echo("10.8.0.1", "10.8.0.77", 1, 1, 8),  // no session there
        wire::icmp_echo("10.8.0.1", "10.9.0.2", 1, 1, 8),   // outside the pool
        wire::icmp_echo("10.8.0.1", "10.8.0.255", 1, 1, 8), // broadcast
        Bytes(40, 0x60),                                    // IPv6
        cut(to_a, 19),                                      // shorter than an IPv4 header
    };
    for (const Bytes &u : unroutable) {
        uint64_t before = p->st.drop_noroute;
        tun_write(u);
        EXPECT_EQ(p->st.drop_noroute, before + 1);
    }
    EXPECT_EQ(recv(ca).size(), 0u);
    EXPECT_EQ(recv(cb).size(), 0u);
    EXPECT_EQ(p->st.tun_rx, 7u);
    // Each session's bytes are those of its own packets; the unroutable count nowhere.
    EXPECT_EQ(peer_sess_by_addr(p, a.addr)->txbytes, to_a.size());
    EXPECT_EQ(peer_sess_by_addr(p, b.addr)->txbytes, to_b.size());
    EXPECT_EQ(p->txbytes, to_a.size() + to_b.size());
}

TEST_F(PeerProto, InterfaceBurstIsBoundedAndKeepsOrder)
{
    int c = client();
    Sess s = open(c, "bob", "hunter2");
    const int total = 100;
    for (int i = 0; i < total; i++) {
        Bytes pkt = wire::icmp_echo("10.8.0.1", "10.8.0.50", 1, static_cast<uint16_t>(i), 16);
        ASSERT_EQ(::send(tun[1], pkt.data(), pkt.size(), 0), static_cast<ssize_t>(pkt.size()));
    }
    peer_tun_recv(p);
    EXPECT_EQ(p->st.tun_rx, static_cast<uint64_t>(PEER_TUN_BURST));
    peer_tun_recv(p);
    EXPECT_EQ(p->st.tun_rx, static_cast<uint64_t>(total));
    for (int i = 0; i < total; i++) {
        Bytes d = recv(c);
        ASSERT_EQ(d.size(), 8u + 44u) << i;
        EXPECT_EQ(d[0], SDWAN_DATA);
        EXPECT_EQ((d[8 + 26] << 8) | d[8 + 27], i);  // ICMP sequence number
    }
    EXPECT_EQ(recv(c).size(), 0u);
    (void)s;
}

// The kernel's offloads on the socket: a coalesced train in, trains out, and the path without.
struct Train {
    uint32_t seg = 0;  // the size of every datagram but the last, 0: a single datagram
    Bytes bytes;
};

// The next message for a client whose socket takes coalesced trains (UDP_GRO).
Train recv_train(int fd)
{
    Train t;
    t.bytes.resize(PEER_RX_TRAIN);
    iovec iov{t.bytes.data(), t.bytes.size()};
    peer_cmsg_t ctl{};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = ctl.b;
    m.msg_controllen = sizeof ctl.b;
    ssize_t n = recvmsg(fd, &m, MSG_DONTWAIT);
    t.bytes.resize(n < 0 ? 0 : static_cast<size_t>(n));
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO)
            memcpy(&t.seg, CMSG_DATA(c), sizeof(int));
    return t;
}

std::vector<Bytes> split(const Train &t)
{
    std::vector<Bytes> out;
    const size_t seg = t.seg != 0 ? t.seg : t.bytes.size();
    for (size_t off = 0; off < t.bytes.size(); off += seg)
        out.emplace_back(t.bytes.begin() + static_cast<long>(off),
                         t.bytes.begin() + static_cast<long>(std::min(off + seg, t.bytes.size())));
    return out;
}

Bytes join(const std::vector<Bytes> &v)
{
    Bytes b;
    for (const Bytes &x : v)
        b.insert(b.end(), x.begin(), x.end());
    return b;
}

TEST_F(PeerProto, CoalescedTrainIsWalkedDatagramByDatagram)
{
    int c = client();
    Sess s = open(c, "bob", "hunter2");
    auto ip = [](uint16_t seq, size_t n) { return wire::icmp_echo("10.8.0.50", "10.8.0.1", 1, seq, n); };
    auto data = [&](const Bytes &pkt, uint32_t token) {
        return plus(wire::header(SDWAN_DATA, 0, s.sid, token), pkt);
    };
    const Bytes a = ip(1, 100), b = ip(2, 100), c3 = ip(3, 100), shorter = ip(4, 40);
    const uint32_t seg = static_cast<uint32_t>(8 + a.size());
    const Bytes big(3000, SDWAN_DATA);
    struct Case {
        const char *name;
        std::vector<Bytes> dgrams;
        uint32_t seg;
        std::vector<Bytes> delivered;
        uint64_t peer_stats_t::*drop;
        uint64_t ndrop;
    } cases[] = {
        {"three of one size", {data(a, s.token), data(b, s.token), data(c3, s.token)}, seg, {a, b, c3},
         &peer_stats_t::drop_token, 0},
        {"the last one shorter", {data(a, s.token), data(b, s.token), data(shorter, s.token)}, seg, {a, b, shorter},
         &peer_stats_t::drop_token, 0},
        {"a wrong token in the middle", {data(a, s.token), data(b, s.token ^ 1), data(c3, s.token)}, seg, {a, c3},
         &peer_stats_t::drop_token, 1},
        {"a single datagram", {data(a, s.token)}, 0, {a}, &peer_stats_t::drop_token, 0},
        {"a size beyond the length", {data(a, s.token)}, 5000, {a}, &peer_stats_t::drop_token, 0},
        {"datagrams longer than any client sends", {big, big}, 3000, {}, &peer_stats_t::drop_trunc, 2},
        {"an empty datagram", {Bytes{}}, 0, {}, &peer_stats_t::drop_short, 1},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        const peer_stats_t before = p->st;
        Bytes train = join(k.dgrams);
        peer_rx_train(p, htonl(INADDR_LOOPBACK), local_port(c), train.data(), static_cast<uint32_t>(train.size()),
                      k.seg);
        EXPECT_EQ(p->st.rx_dgrams, before.rx_dgrams + k.dgrams.size());
        EXPECT_EQ(p->st.tun_tx, before.tun_tx + k.delivered.size());
        EXPECT_EQ(p->st.*k.drop, before.*k.drop + k.ndrop);
        for (const Bytes &pkt : k.delivered)
            EXPECT_EQ(tun_read(), pkt);
        EXPECT_EQ(tun_read().size(), 0u);
    }
}

TEST_F(PeerProto, TrainFromTheSocketIsWalked)
{
    peer_udp_offload(p, true);
    if (p->gro == 0)
        GTEST_SKIP() << "the kernel has no UDP GRO";
    int c = client();
    Sess s = open(c, "bob", "hunter2");
    std::vector<Bytes> pkts, dgrams;
    for (uint16_t i = 0; i < 5; i++) {
        pkts.push_back(wire::icmp_echo("10.8.0.50", "10.8.0.1", 1, i, i < 4 ? 200 : 20));
        dgrams.push_back(plus(wire::header(SDWAN_DATA, 0, s.sid, s.token), pkts.back()));
    }
    // One message that the kernel sends as five datagrams and hands over as one train.
    Bytes all = join(dgrams);
    bool gso = true;
    ASSERT_EQ(sock_send_gso(c, htonl(INADDR_LOOPBACK), port, all.data(), static_cast<uint32_t>(all.size()),
                            static_cast<uint32_t>(dgrams[0].size()), &gso),
              static_cast<int>(all.size()));
    ASSERT_TRUE(gso) << "sent one datagram at a time";
    pollfd pf{p->udpfd, POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 2000), 1);
    const peer_stats_t before = p->st;
    peer_udp_recv(p);
    EXPECT_EQ(p->st.rx_dgrams, before.rx_dgrams + 5);
    EXPECT_EQ(p->st.tun_tx, before.tun_tx + 5);
    for (const Bytes &pkt : pkts)
        EXPECT_EQ(tun_read(), pkt);
}

TEST_F(PeerProto, InterfacePacketsToOneClientLeaveAsTrains)
{
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "trains refused by the socket" : "trains taken");
        unload();
        load(kConfig);
        peer_udp_offload(p, true);
        if (p->gso == 0)
            GTEST_SKIP() << "the kernel has no UDP_SEGMENT";
        // The kernel refuses a train from a socket that leaves out UDP checksums: the datagrams
        // must then leave one by one, none lost.
        int one = 1;
        if (refused) {
            ASSERT_EQ(setsockopt(p->udpfd, SOL_SOCKET, SO_NO_CHECK, &one, sizeof one), 0);
        }
        int ca = client(), cb = client();
        Sess a = open(ca, "alice", "secret", 0);
        Sess b = open(cb, "bob", "hunter2");
        for (int fd : {ca, cb})
            ASSERT_EQ(setsockopt(fd, SOL_UDP, UDP_GRO, &one, sizeof one), 0);
        auto to = [](const char *dst, uint16_t seq, size_t n) { return wire::icmp_echo("10.8.0.1", dst, 1, seq, n); };
        const std::vector<Bytes> writes = {to("10.8.0.2", 1, 300), to("10.8.0.2", 2, 300), to("10.8.0.2", 3, 296),
                                           to("10.8.0.2", 4, 300), to("10.8.0.50", 5, 300), to("10.8.0.2", 6, 300),
                                           to("10.8.0.2", 7, 300)};
        for (const Bytes &w : writes)
            ASSERT_EQ(::send(tun[1], w.data(), w.size(), 0), static_cast<ssize_t>(w.size()));
        peer_tun_recv(p);
        auto dgram = [&](const Sess &s, size_t i) { return plus(wire::header(SDWAN_DATA, 0, s.sid, s.token), writes[i]); };
        const uint32_t seg = 8 + 328;
        // Alice: a train ended by its shorter last datagram, one alone (Bob's comes between),
        // then a train of two. Bob: one alone.
        std::vector<Train> want_a = {{seg, join({dgram(a, 0), dgram(a, 1), dgram(a, 2)})},
                                     {0, dgram(a, 3)},
                                     {seg, join({dgram(a, 5), dgram(a, 6)})}};
        if (refused)
            want_a = {{0, dgram(a, 0)}, {0, dgram(a, 1)}, {0, dgram(a, 2)}, {0, dgram(a, 3)}, {0, dgram(a, 5)},
                      {0, dgram(a, 6)}};
        for (const Train &w : want_a) {
            Train got = recv_train(ca);
            EXPECT_EQ(got.seg, w.seg);
            EXPECT_EQ(split(got), split(w));
        }
        EXPECT_EQ(recv_train(ca).bytes.size(), 0u);
        Train got = recv_train(cb);
        EXPECT_EQ(got.seg, 0u);
        EXPECT_EQ(got.bytes, dgram(b, 4));
        EXPECT_EQ(p->st.tx_dgrams, 2u + writes.size());  // the two OPENACKs and every packet
        EXPECT_EQ(p->st.tx_drop, 0u);
        // A refusal turns the trains off for good, with one line.
        EXPECT_EQ(p->gso, refused ? 0 : 1);
        std::vector<std::string> lines = log->take();
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [](const std::string &l) { return l.rfind("session ", 0) == 0; }),
                    lines.end());
        EXPECT_EQ(lines, refused ? std::vector<std::string>{"UDP segmentation refused (Invalid argument): sending one "
                                                            "datagram at a time"}
                                 : std::vector<std::string>{});
    }
}

// The interface with the virtio-net header (the socket pair standing in for it carries the
// header as a TUN device would): a TCP super-packet read is cut into the session's packets, which
// leave as one train; packets of one TCP flow from a client are joined for one write.
TEST_F(PeerProto, InterfaceSuperPacketIsCutIntoPacketsOfTheSession)
{
    p->vnet = TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4;
    peer_udp_offload(p, true);
    if (p->gso == 0)
        GTEST_SKIP() << "the kernel has no UDP_SEGMENT";
    int c = client();
    Sess s = open(c, "bob", "hunter2");
    int one = 1;
    ASSERT_EQ(setsockopt(c, SOL_UDP, UDP_GRO, &one, sizeof one), 0);
    peer_sess_t *ps = peer_sess_by_addr(p, s.addr);
    ASSERT_NE(ps, nullptr);

    ippkt::Tcp t;
    t.src = 0x0A080001;  // 10.8.0.1
    t.dst = 0x0A080032;  // 10.8.0.50, Bob's
    t.flags = ippkt::ACK | ippkt::PSH;
    const Bytes payload = ippkt::pattern(3500);
    const Bytes read = ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, VNET_GSO_TCPV4, 40, 1000, 20, 16), ippkt::tcp4(t, payload));
    const peer_stats_t before = p->st;
    ASSERT_EQ(::send(tun[1], read.data(), read.size(), 0), static_cast<ssize_t>(read.size()));
    peer_tun_recv(p);

    Train got = recv_train(c);
    EXPECT_EQ(got.seg, 8u + 1040u);
    const std::vector<Bytes> dgrams = split(got);
    ASSERT_EQ(dgrams.size(), 4u);
    Bytes joined;
    for (size_t i = 0; i < dgrams.size(); i++) {
        SCOPED_TRACE(i);
        const Bytes &d = dgrams[i];
        EXPECT_EQ(Bytes(d.begin(), d.begin() + 8), wire::header(SDWAN_DATA, 0, s.sid, s.token));
        const uint8_t *ip = d.data() + 8;
        const size_t len = d.size() - 8;
        EXPECT_EQ(len, i < 3 ? 1040u : 540u);
        EXPECT_EQ(ippkt::be16(ip + 2), len);
        EXPECT_EQ(ippkt::sum16(ip, 20), 0xFFFF);
        EXPECT_EQ(ippkt::sum16(ip + 20, len - 20, ippkt::pseudo(ip, 6, len - 20)), 0xFFFF);
        const uint32_t seq = static_cast<uint32_t>(ippkt::be16(ip + 24)) << 16 | ippkt::be16(ip + 26);
        EXPECT_EQ(seq, t.seq + 1000 * i);
        EXPECT_EQ(ip[33], i < 3 ? ippkt::ACK : ippkt::ACK | ippkt::PSH);
        joined.insert(joined.end(), ip + 40, ip + len);
    }
    EXPECT_EQ(joined, payload);
    EXPECT_EQ(p->st.tun_rx, before.tun_rx + 4);
    EXPECT_EQ(p->st.tx_dgrams, before.tx_dgrams + 4);
    EXPECT_EQ(ps->txpkts, 4u);

    // A plain packet behind a zero header goes as it came; reads the split refuses are counted.
    const Bytes icmp = wire::icmp_echo("10.8.0.1", "10.8.0.50", 1, 2, 30);
    const struct {
        const char *name;
        Bytes read;
        uint64_t tunbad;
    } reads[] = {
        {"plain packet", ippkt::cat(ippkt::vhdr(0, 0, 0, 0, 0, 0), icmp), 0},
        {"partial checksum, completed",
         [&] {
             Bytes partial = icmp;  // ICMP sums no pseudo-header: the partial sum is 0
             ippkt::put16(partial, 22, 0);
             return ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, 0, 0, 0, 20, 2), partial);
         }(),
         0},
        {"header alone", ippkt::vhdr(0, 0, 0, 0, 0, 0), 1},
        {"UDP segmentation", ippkt::cat(ippkt::vhdr(0, VNET_GSO_UDP, 28, 1000, 0, 0), icmp), 1},
        {"checksum field past the end", ippkt::cat(ippkt::vhdr(VNET_F_NEEDS_CSUM, 0, 0, 0, 20, 60), icmp), 1},
    };
    for (const auto &r : reads) {
        SCOPED_TRACE(r.name);
        const peer_stats_t b = p->st;
        ASSERT_EQ(::send(tun[1], r.read.data(), r.read.size(), 0), static_cast<ssize_t>(r.read.size()));
        peer_tun_recv(p);
        EXPECT_EQ(p->st.tun_rx, b.tun_rx + 1);
        EXPECT_EQ(p->st.drop_tunbad, b.drop_tunbad + r.tunbad);
        if (r.tunbad == 0) {
            EXPECT_EQ(recv(c), plus(wire::header(SDWAN_DATA, 0, s.sid, s.token), icmp));
        }
        EXPECT_EQ(recv(c).size(), 0u);
    }
}

TEST_F(PeerProto, SegmentsOfOneFlowFromAClientAreJoinedForOneWrite)
{
    p->vnet = TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4;
    int c = client();
    Sess s = open(c, "bob", "hunter2");
    peer_sess_t *ps = peer_sess_by_addr(p, s.addr);
    ASSERT_NE(ps, nullptr);
    ippkt::Tcp t;
    t.src = 0x0A080032;  // Bob's own address
    t.dst = 0x0A5D0002;  // 10.93.0.2, past the server
    const Bytes payload = ippkt::pattern(3000, 7);
    std::vector<Bytes> dgrams;
    for (int i = 0; i < 3; i++) {
        ippkt::Tcp seg = t;
        seg.seq = t.seq + 1000u * static_cast<uint32_t>(i);
        seg.flags = i < 2 ? ippkt::ACK : ippkt::ACK | ippkt::PSH;
        dgrams.push_back(plus(wire::header(SDWAN_DATA, 0, s.sid, s.token),
                              ippkt::tcp4(seg, Bytes(payload.begin() + 1000 * i, payload.begin() + 1000 * (i + 1)))));
    }
    const Bytes icmp = wire::icmp_echo("10.8.0.50", "10.93.0.2", 1, 9, 20);
    dgrams.push_back(plus(wire::header(SDWAN_DATA, 0, s.sid, s.token), icmp));

    // All four in one receive pass: what joins is written when the pass ends.
    auto deliver = [&](const std::vector<Bytes> &v) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (const Bytes &d : v)
            ASSERT_EQ(sendto(c, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a),
                      static_cast<ssize_t>(d.size()));
        pollfd pf{p->udpfd, POLLIN, 0};
        ASSERT_EQ(poll(&pf, 1, 2000), 1);
        peer_udp_recv(p);
    };
    deliver(dgrams);
    Bytes w = tun_read();
    ASSERT_GE(w.size(), 10u + 40u);
    EXPECT_EQ(Bytes(w.begin(), w.begin() + 10), ippkt::vhdr(VNET_F_NEEDS_CSUM, VNET_GSO_TCPV4, 40, 1000, 20, 16));
    const uint8_t *ip = w.data() + 10;
    EXPECT_EQ(ippkt::be16(ip + 2), 3040u);
    EXPECT_EQ(ippkt::sum16(ip, 20), 0xFFFF);
    EXPECT_EQ(ip[33], ippkt::ACK | ippkt::PSH);
    EXPECT_EQ(Bytes(w.begin() + 50, w.end()), payload);
    EXPECT_EQ(tun_read(), ippkt::cat(ippkt::vhdr(0, 0, 0, 0, 0, 0), icmp));
    EXPECT_EQ(tun_read().size(), 0u);
    EXPECT_EQ(p->st.tun_tx, 4u);
    EXPECT_EQ(ps->rxpkts, 4u);
    // Bytes of the packets as the client sent them, not of the joined write.
    const uint64_t bytes = 3 * (40 + 1000) + icmp.size();
    EXPECT_EQ(ps->rxbytes, bytes);
    EXPECT_EQ(p->rxbytes, bytes);

    // A joined write the interface refuses: every packet in it counted as an error, none as written.
    close(tun[1]);
    tun[1] = -1;
    deliver({dgrams[0], dgrams[1]});
    EXPECT_EQ(p->st.tun_tx, 4u);
    EXPECT_EQ(p->st.tun_txerr, 2u);
    EXPECT_EQ(ps->rxpkts, 4u);
    EXPECT_EQ(ps->rxbytes, bytes);
    EXPECT_EQ(p->rxbytes, bytes);
}

TEST_F(PeerProto, EchoRequestAnswered)
{
    int c = client();
    Sess s = open(c, "alice", "secret");
    Bytes body = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // tick
                  1, 0, 0, 0, 0x40, 0x4b, 0x4c, 0, 3, 0, 0, 0};     // cur, min, max delay
    send(c, plus(wire::control(SDWAN_ECHOREQ, 0, s.sid, s.token), body));
    EXPECT_EQ(recv(c), plus(wire::control(SDWAN_ECHORESP, 0, s.sid, s.token), body));

    // A request carrying only its tick gets only the tick back.
    send(c, plus(wire::control(SDWAN_ECHOREQ, 0, s.sid, s.token), cut(body, 8)));
    EXPECT_EQ(recv(c), plus(wire::control(SDWAN_ECHORESP, 0, s.sid, s.token), cut(body, 8)));

    // The client's own request builder.
    sdwan_t rec{};
    rec.sess.sid = s.sid;
    rec.sess.token = s.token;
    rec.rtt.mindelay = SDWAN_MINDELAY_START;
    uint8_t buf[64];
    uint32_t n = sdwan_pktechoreq(&rec, buf);
    send(c, Bytes(buf, buf + n));
    Bytes r = recv(c);
    ASSERT_EQ(r.size(), 44u);
    EXPECT_EQ(r[0], SDWAN_ECHORESP);
    EXPECT_EQ(sdwan_pktverify(r.data(), 44), 1);
    EXPECT_TRUE(std::equal(buf + 24, buf + 32, r.begin() + 24));
    EXPECT_EQ(p->st.echo, 3u);

    // The wrong token is dropped without an answer.
    send(c, plus(wire::control(SDWAN_ECHOREQ, 0, s.sid, s.token + 1), body));
    EXPECT_EQ(recv(c).size(), 0u);
    EXPECT_EQ(p->st.drop_token, 1u);
}

// An echo request from a source that holds no session gets the CLOSE, even with a live session's
// sid and token: a legacy client whose address changed must start over, and one measuring another
// uplink takes the CLOSE as that path's answer. The session stays where it is.
TEST_F(PeerProto, EchoFromAnotherSourceOfTheSession)
{
    int home = client(), bobs = client();
    const Sess a = open(home, "alice", "secret");
    const Sess b = open(bobs, "bob", "hunter2");
    peer_sess_t *s = peer_sess_by_addr(p, a.addr);
    ASSERT_NE(s, nullptr);
    const Bytes body(20, 9);
    struct Row {
        const char *what;
        bool from_bobs;  // from the source of bob's session, else a fresh socket
        uint16_t sid;
        uint32_t token;
        uint8_t answer;  // SDWAN_CLOSE with the request's sid and token, or 0 for none
        uint64_t peer_stats_t::*counter;
    } rows[] = {
        {"sid and token of alice's session", false, a.sid, a.token, SDWAN_CLOSE, &peer_stats_t::drop_nosess},
        {"alice's sid, a wrong token", false, a.sid, a.token ^ 1, SDWAN_CLOSE, &peer_stats_t::drop_nosess},
        {"a sid no session holds", false, static_cast<uint16_t>(a.sid ^ b.sid ^ 0x5a5a), a.token, SDWAN_CLOSE,
         &peer_stats_t::drop_nosess},
        {"alice's from the source of bob's session", true, a.sid, a.token, 0, &peer_stats_t::drop_token},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        const int c = r.from_bobs ? bobs : client();
        const peer_stats_t before = p->st;
        const uint32_t heard = s->lastsec;
        send(c, plus(wire::control(SDWAN_ECHOREQ, 0, r.sid, r.token), body));
        const Bytes got = recv(c);
        if (r.answer == SDWAN_CLOSE)
            EXPECT_EQ(got, wire::control(SDWAN_CLOSE, 0, r.sid, r.token));
        else
            EXPECT_EQ(got, Bytes{});
        EXPECT_EQ(p->st.*r.counter, before.*r.counter + 1);
        EXPECT_EQ(p->st.echo, before.echo);
        EXPECT_EQ(recv(home), Bytes{}) << "nothing to the session's own source";
        EXPECT_EQ(from(home), "127.0.0.1:" + std::to_string(s->port)) << "the session did not move";
        EXPECT_EQ(s->lastsec, heard);
    }
}

TEST_F(PeerProto, EchoWithoutSessionIsAnsweredWithClose)
{
    int c = client();
    Bytes req = plus(wire::control(SDWAN_ECHOREQ, 0, 0x0201, 0xdeadbeef), Bytes(20, 1));
    send(c, req);
    EXPECT_EQ(recv(c), wire::control(SDWAN_CLOSE, 0, 0x0201, 0xdeadbeef));
    EXPECT_EQ(p->st.drop_nosess, 1u);
    EXPECT_EQ(p->st.echo, 0u);
}

TEST_F(PeerProto, SilentSessionDroppedAfterFifteenSeconds)
{
    int c = client();
    Sess s = open(c, "alice", "secret");
    log->take();
    FakeClock::advance(10);
    send(c, plus(wire::control(SDWAN_ECHOREQ, 0, s.sid, s.token), Bytes(20)));
    ASSERT_EQ(recv(c).size(), 44u);
    FakeClock::advance(PEER_SILENCE_SEC);
    peer_tick(p);
    EXPECT_EQ(peer_live_count(p), 1);  // the echo counted as a sign of life
    EXPECT_EQ(log->take(), std::vector<std::string>{});
    FakeClock::advance(1);
    peer_tick(p);
    EXPECT_EQ(peer_live_count(p), 0);
    EXPECT_EQ(peer_sess_by_addr(p, s.addr), nullptr);
    EXPECT_EQ(p->st.sess_silent, 1u);
    EXPECT_EQ(log->take(), std::vector<std::string>{"session " + std::to_string(s.sid) +
                                                    " dropped on silence: user alice from " + from(c)});
    // The address is free again; addresses are handed out in turn, so the next user takes the
    // next one, and the freed one comes back after a round of the pool.
    int c2 = client();
    EXPECT_EQ(open(c2, "carol", "abcdefghijklmnopqrst").addr, wire::addr("10.8.0.3"));
}

TEST_F(PeerProto, MassEventsAreLoggedInPart)
{
    // An outage silences every session at once; a shutdown closes them all: the first lines of
    // the pass are logged, the rest summed up in one line. Every CLOSE still goes out.
    unload();
    std::string text = "[t]\nport=1\npool=10.8.0.0\n";
    for (int i = 0; i < 50; i++)
        text += "user=u" + std::to_string(i) + ":pw\n";
    load(text);
    std::vector<int> cs;
    for (int i = 0; i < 50; i++) {
        cs.push_back(client());
        ASSERT_EQ(open(cs.back(), "u" + std::to_string(i), "pw").ack.size(), 40u);
    }
    log->take();
    FakeClock::advance(PEER_SILENCE_SEC + 1);
    peer_tick(p);
    std::vector<std::string> lines = log->take();
    ASSERT_EQ(lines.size(), PEER_RLOG_LINES + 1);
    EXPECT_EQ(lines.back(), "peer: 30 more sessions dropped on silence");
    EXPECT_EQ(p->st.sess_silent, 50u);
    EXPECT_EQ(peer_live_count(p), 0);

    for (int i = 0; i < 25; i++)
        ASSERT_EQ(open(cs[static_cast<size_t>(i)], "u" + std::to_string(i), "pw").ack.size(), 40u);
    log->take();
    peer_close_all(p);
    lines = log->take();
    ASSERT_EQ(lines.size(), PEER_RLOG_LINES + 1);
    EXPECT_EQ(lines.back(), "peer: 5 more sessions closed");
    for (int i = 0; i < 25; i++)
        EXPECT_EQ(recv(cs[static_cast<size_t>(i)]).size(), 24u) << i;
}

// Silence is counted on the monotonic clock: a setting of the wall clock an hour either way
// neither drops a session at once nor keeps it past its silence.
TEST_F(PeerProto, WallClockStepsDoNotMoveTheSilence)
{
    for (const int64_t step : {int64_t{-3600}, int64_t{3600}}) {
        SCOPED_TRACE(step);
        open(client(), "alice", "secret");
        FakeClock::step_wall(step);
        peer_tick(p);
        EXPECT_EQ(peer_live_count(p), 1);
        FakeClock::advance(PEER_SILENCE_SEC);
        peer_tick(p);
        EXPECT_EQ(peer_live_count(p), 1);
        FakeClock::advance(1);
        peer_tick(p);
        EXPECT_EQ(peer_live_count(p), 0);
    }
}

TEST_F(PeerProto, CloseSentToEveryClientAtShutdown)
{
    int ca = client(), cb = client();
    Sess a = open(ca, "alice", "secret");
    Sess b = open(cb, "bob", "hunter2");
    log->take();
    peer_close_all(p);
    EXPECT_EQ(recv(ca), wire::control(SDWAN_CLOSE, 0, a.sid, a.token));
    EXPECT_EQ(recv(cb), wire::control(SDWAN_CLOSE, 0, b.sid, b.token));
    EXPECT_EQ(peer_live_count(p), 0);
    EXPECT_EQ(log->take(),
              (std::vector<std::string>{"session " + std::to_string(a.sid) + " closed: user alice from " + from(ca),
                                        "session " + std::to_string(b.sid) + " closed: user bob from " + from(cb)}));
}

TEST_F(PeerProto, FullTableRejects)
{
    unload();
    const int max = 8;
    std::string text = "[t]\nport=1\npool=10.8.0.0\nsessions=" + std::to_string(max) + "\n";
    for (int i = 0; i <= max; i++)
        text += "user=u" + std::to_string(i) + ":pw\n";
    load(text);
    std::vector<uint16_t> sids;
    for (int i = 0; i < max; i++) {
        int c = client();
        Sess s = open(c, "u" + std::to_string(i), "pw");
        ASSERT_EQ(s.ack.size(), 40u) << i;
        sids.push_back(s.sid);
    }
    std::sort(sids.begin(), sids.end());
    EXPECT_EQ(std::unique(sids.begin(), sids.end()), sids.end());  // no two sessions share a sid
    log->take();
    int c = client();
    send(c, wire::open("u8", "pw"));
    EXPECT_EQ(recv(c), wire::control(SDWAN_OPENREJ, 0, 0, 0));
    EXPECT_EQ(log->take(), std::vector<std::string>{"rejected user u8 from " + from(c) + ": session table full"});
    EXPECT_EQ(peer_live_count(p), max);
    EXPECT_EQ(p->st.rej_full, 1u);
    // A silent session leaves; its slot and address serve the next user.
    FakeClock::advance(PEER_SILENCE_SEC + 1);
    peer_tick(p);
    EXPECT_EQ(peer_live_count(p), 0);
    EXPECT_EQ(open(c, "u8", "pw").ack.size(), 40u);
}

TEST_F(PeerProto, SeveralSlash24PoolsEachWithItsGateway)
{
    unload();
    // A /23: two /24s, 253 client addresses each. Fixed address in the second one.
    std::string text = "[t]\nport=1\npool=10.8.0.0/23\nsessions=600\nuser=fixed:pw:10.8.1.9\n";
    for (int i = 0; i < 510; i++)
        text += "user=u" + std::to_string(i) + ":pw\n";
    load(text);
    std::vector<uint32_t> addrs;
    for (int i = 0; i < 505; i++) {
        int c = client();
        Sess s = open(c, "u" + std::to_string(i), "pw");
        ASSERT_EQ(s.ack.size(), 40u) << i;
        // The gateway option is the .1 of the client's own /24.
        uint32_t gw;
        std::memcpy(&gw, &s.ack[32], 4);
        EXPECT_EQ(gw, peer_gateway(s.addr)) << i;
        addrs.push_back(s.addr);
    }
    // In order: 10.8.0.2 .. 10.8.0.254, then 10.8.1.2 .. 10.8.1.254 without the fixed .9.
    EXPECT_EQ(addrs[0], wire::addr("10.8.0.2"));
    EXPECT_EQ(addrs[252], wire::addr("10.8.0.254"));
    EXPECT_EQ(addrs[253], wire::addr("10.8.1.2"));
    EXPECT_EQ(addrs[260], wire::addr("10.8.1.10"));
    EXPECT_EQ(addrs[504], wire::addr("10.8.1.254"));
    for (uint32_t a : addrs) {
        uint8_t host = peer_hostpart(a);
        EXPECT_TRUE(host >= 2 && host <= 254);
        ASSERT_NE(peer_sess_by_addr(p, a), nullptr);
        EXPECT_EQ(peer_sess_by_addr(p, a)->addr, a);
    }
    EXPECT_EQ(peer_sess_by_addr(p, wire::addr("10.8.2.2")), nullptr);
    // Pool exhausted but for the fixed address, which stays its user's.
    int c = client();
    send(c, wire::open("u505", "pw"));
    EXPECT_EQ(recv(c), wire::control(SDWAN_OPENREJ, 0, 0, 0));
    EXPECT_EQ(p->st.rej_noaddr, 1u);
    EXPECT_EQ(open(c, "fixed", "pw").addr, wire::addr("10.8.1.9"));
    // Packets from the interface find their session in either /24.
    tun_write(wire::icmp_echo("10.8.1.1", "10.8.1.9", 1, 1, 8));
    Bytes d = recv(c);
    ASSERT_EQ(d.size(), 8u + 36u);
    EXPECT_EQ(d[0], SDWAN_DATA);
}

TEST_F(PeerProto, TunFailureEndsTheRunWithAnError)
{
    // A read that fails other than "nothing to read" (here EBADF, for a deleted interface
    // EBADFD) is not retried: one line, the run ends, the exit status will say so.
    int wronly = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(wronly, 0);
    fds.push_back(wronly);
    p->tunfd = wronly;
    peer_tun_recv(p);
    peer_tun_recv(p);
    EXPECT_EQ(p->failed, 1);
    EXPECT_EQ(os_quit.load(), 1);
    EXPECT_EQ(log->take(), std::vector<std::string>{"peer: interface sdwt0 failed: Bad file descriptor; stopping"});
    os_quit.store(0);
    p->failed = 0;
    p->tunfd = tun[0];
}

// Reload of the user list from the file the server was started with.
class PeerReload : public PeerProto {
protected:
    std::string path;
    void SetUp() override
    {
        PeerProto::SetUp();
        char t[] = "/tmp/peer-reload-XXXXXX";
        int fd = mkstemp(t);
        ASSERT_GE(fd, 0);
        ::close(fd);
        path = t;
        p->cfgpath = path.c_str();
    }
    void TearDown() override
    {
        unlink(path.c_str());
        p->cfgpath = nullptr;
        PeerProto::TearDown();
    }
    void write(const std::string &text)
    {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    }
};

TEST_F(PeerReload, KeepsSessionsOfUsersStillPresentAndClosesTheOthers)
{
    int ca = client(), cb = client(), cc = client();
    Sess a = open(ca, "alice", "secret", 1);
    Sess b = open(cb, "bob", "hunter2");
    Sess c = open(cc, "carol", "abcdefghijklmnopqrst");
    log->take();
    // alice stays (moved in the list), bob is gone, carol's password changed, dave is new.
    write("[sdwt0]\nport=4500\npool=10.8.0.0\nuser=dave:pw\nuser=carol:changed\nuser=alice:secret\n");
    ASSERT_EQ(peer_reload(p), 0);
    EXPECT_EQ(log->take(),
              (std::vector<std::string>{"peer: reload takes the user list, legacy and privatekey only; the other settings change at a restart",
                                        "session " + std::to_string(b.sid) + " closed at reload: user bob from " + from(cb),
                                        "session " + std::to_string(c.sid) + " closed at reload: user carol from " + from(cc),
                                        "peer: user list reloaded: 3 users, 1 sessions kept, 2 closed"}));
    EXPECT_EQ(recv(cb), wire::control(SDWAN_CLOSE, 0, b.sid, b.token));
    EXPECT_EQ(recv(cc), wire::control(SDWAN_CLOSE, 0, c.sid, c.token));
    EXPECT_EQ(recv(ca).size(), 0u);
    EXPECT_EQ(peer_live_count(p), 1);
    EXPECT_EQ(p->st.reloads, 1u);
    // alice's session carries on, enciphered with her key, and is found as hers.
    const Bytes ip = wire::icmp_echo("10.8.0.2", "10.8.0.1", 3, 4, 9);
    Bytes e = plus(wire::header(SDWAN_EDATA, 1, a.sid, a.token), ip);
    wire::xor_payload(e.data() + 8, ip.size(), wire::datakey("alice", "secret"));
    send(ca, e);
    EXPECT_EQ(tun_read(), ip);
    int ui = peer_user_find(&p->cfg, reinterpret_cast<const uint8_t *>("alice"), 5);
    ASSERT_EQ(ui, 2);
    EXPECT_EQ(peer_sess_of_user(p, ui), peer_sess_find(p, htonl(INADDR_LOOPBACK), local_port(ca)));
    // bob is refused now; dave and carol (new password) get in, bob's fixed address is free.
    int c2 = client();
    send(c2, wire::open("bob", "hunter2"));
    EXPECT_EQ(recv(c2), wire::control(SDWAN_OPENREJ, 0, 0, 0));
    EXPECT_EQ(open(c2, "dave", "pw").ack[0], SDWAN_OPENACK);
    EXPECT_EQ(open(client(), "carol", "changed").ack[0], SDWAN_OPENACK);
}

TEST_F(PeerReload, AFixedAddressIsTakenFromWhicheverLiveSessionHoldsIt)
{
    struct Row {
        const char *why;
        const char *users;
        std::vector<std::string> closed;  // of alice (10.8.0.2) and carol (10.8.0.3), both live
        const char *then_user, *then_pass, *then_addr;
    } rows[] = {
        {"another user is fixed on alice's address",
         "user=alice:secret\nuser=bob:hunter2:10.8.0.2\nuser=carol:abcdefghijklmnopqrst\n", {"alice"}, "bob",
         "hunter2", "10.8.0.2"},
        {"a new user is fixed on carol's address",
         "user=alice:secret\nuser=carol:abcdefghijklmnopqrst\nuser=dave:pw:10.8.0.3\n", {"carol"}, "dave", "pw",
         "10.8.0.3"},
        {"alice is fixed on the address she holds",
         "user=alice:secret:10.8.0.2\nuser=carol:abcdefghijklmnopqrst\nuser=erin:pw\n", {}, "erin", "pw",
         "10.8.0.4"},
        {"alice and carol swap addresses",
         "user=alice:secret:10.8.0.3\nuser=carol:abcdefghijklmnopqrst:10.8.0.2\n", {"alice", "carol"}, "carol",
         "abcdefghijklmnopqrst", "10.8.0.2"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.why);
        unload();
        load(kConfig);
        int ca = client(), cc = client();
        Sess a = open(ca, "alice", "secret"), c = open(cc, "carol", "abcdefghijklmnopqrst");
        ASSERT_EQ(a.addr, wire::addr("10.8.0.2"));
        ASSERT_EQ(c.addr, wire::addr("10.8.0.3"));
        log->take();
        const std::string text = "[sdwt0]\nport=4500\npool=10.8.0.0\nmtu=1400\nencrypt=1\ndns=9.9.9.9,1.1.1.1\n";
        write(text + r.users);
        ASSERT_EQ(peer_reload(p), 0);
        std::vector<std::string> want;
        for (const std::string &who : r.closed) {
            const bool al = who == "alice";
            const Sess &s = al ? a : c;
            want.push_back("session " + std::to_string(s.sid) + " closed at reload: user " + who + " from " +
                           from(al ? ca : cc));
            EXPECT_EQ(recv(al ? ca : cc), wire::control(SDWAN_CLOSE, 0, s.sid, s.token));
        }
        const size_t nusers = static_cast<size_t>(std::count(r.users, r.users + strlen(r.users), '\n'));
        want.push_back("peer: user list reloaded: " + std::to_string(nusers) + " users, " +
                       std::to_string(2 - r.closed.size()) + " sessions kept, " + std::to_string(r.closed.size()) +
                       " closed");
        EXPECT_EQ(log->take(), want);
        EXPECT_EQ(p->st.sess_closed, r.closed.size());
        EXPECT_EQ(peer_live_count(p), static_cast<int>(2 - r.closed.size()));
        EXPECT_EQ(open(client(), r.then_user, r.then_pass).addr, wire::addr(r.then_addr));
    }
}

TEST_F(PeerReload, AFileTheReaderRefusesChangesNothing)
{
    int ca = client();
    Sess a = open(ca, "alice", "secret");
    log->take();
    struct Case {
        const char *text;
        const char *line;
    } cases[] = {
        {"[sdwt0]\nport=4500\npool=10.8.0.0\nuser=alice\n",
         "peer: reload refused, the old user list stays: line 4: user needs name:password[:address]"},
        {"[sdwt0]\nport=4500\npool=10.9.0.0\nuser=alice:secret\n",
         "peer: reload refused, the old user list stays: the pool changed; restart to apply it"},
    };
    for (const Case &k : cases) {
        write(k.text);
        EXPECT_EQ(peer_reload(p), -1);
        EXPECT_EQ(log->take(), std::vector<std::string>{k.line});
    }
    unlink(path.c_str());
    EXPECT_EQ(peer_reload(p), -1);
    EXPECT_EQ(log->take(), std::vector<std::string>{"peer: reload refused, the old user list stays: cannot open: No such file or directory"});
    EXPECT_EQ(p->st.reload_fail, 3u);
    EXPECT_EQ(p->cfg.nusers, 3);
    EXPECT_EQ(peer_live_count(p), 1);
    EXPECT_EQ(peer_sess_of_user(p, 0)->sid, a.sid);
}

TEST_F(PeerProto, MetricsFileHoldsCountersAndEverySession)
{
    char dir[] = "/tmp/peer-metrics-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/peer.prom";
    std::snprintf(p->cfg.metrics, sizeof p->cfg.metrics, "%s", path.c_str());
    int ca = client();
    Sess a = open(ca, "alice", "secret");
    send(ca, plus(wire::header(SDWAN_DATA, 0, a.sid, a.token), wire::icmp_echo("10.8.0.2", "10.8.0.1", 1, 1, 8)));
    send(client(), wire::open("mallory", "x"));
    FakeClock::advance(4);
    p->now = static_cast<uint32_t>(FakeClock::mono_sec());
    p->start_time = 1699999000;
    ASSERT_EQ(peer_metrics_write(p), 0);
    FILE *f = fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::vector<std::string> lines;
    char buf[512];
    while (fgets(buf, sizeof buf, f) != nullptr)
        lines.emplace_back(buf, strcspn(buf, "\n"));
    fclose(f);
    auto has = [&](const std::string &l) { return std::find(lines.begin(), lines.end(), l) != lines.end(); };
    EXPECT_TRUE(has("# TYPE sdwan_peer_open_accepted_total counter"));
    EXPECT_TRUE(has("sdwan_peer_open_accepted_total 1"));
    EXPECT_TRUE(has("sdwan_peer_reject_unknown_user_total 1"));
    EXPECT_TRUE(has("sdwan_peer_rx_datagrams_total 3"));
    EXPECT_TRUE(has("sdwan_peer_sessions 1"));
    EXPECT_TRUE(has("sdwan_peer_sessions_max 1024"));
    EXPECT_TRUE(has("sdwan_peer_users 3"));
    EXPECT_TRUE(has("sdwan_peer_session_rx_packets_total{user=\"alice\",address=\"10.8.0.2\"} 1"));
    EXPECT_TRUE(has("sdwan_peer_session_idle_seconds{user=\"alice\",address=\"10.8.0.2\"} 4"));
    EXPECT_TRUE(has("sdwan_peer_session_rx_bytes_total{user=\"alice\",address=\"10.8.0.2\"} 36"));
    EXPECT_TRUE(has("sdwan_peer_session_tx_bytes_total{user=\"alice\",address=\"10.8.0.2\"} 0"));
    EXPECT_TRUE(has("sdwan_peer_session_start_time_seconds{user=\"alice\",address=\"10.8.0.2\"} 1700000000"));
    EXPECT_TRUE(has("sdwan_peer_rx_bytes_total 36"));
    EXPECT_TRUE(has("sdwan_peer_tx_bytes_total 0"));
    EXPECT_TRUE(has("# TYPE sdwan_peer_build_info gauge"));
    EXPECT_TRUE(has(std::string("sdwan_peer_build_info{version=\"") + peer_version + "\"} 1"));
    EXPECT_TRUE(has("sdwan_peer_start_time_seconds 1699999000"));
    EXPECT_TRUE(has("sdwan_peer_status_time_seconds 1700000004"));
    EXPECT_EQ(lines.back(), "sdwan_peer_status_time_seconds 1700000004");
    // Every line is a comment or "name[{labels}] value".
    for (const std::string &l : lines)
        EXPECT_TRUE(l.rfind("# HELP ", 0) == 0 || l.rfind("# TYPE ", 0) == 0 || l.find(' ') != std::string::npos) << l;
    EXPECT_EQ(access((path + ".tmp").c_str(), F_OK), -1);
    // An unwritable place: one line, and -1.
    log->take();
    std::snprintf(p->cfg.metrics, sizeof p->cfg.metrics, "%s/absent/peer.prom", dir);
    EXPECT_EQ(peer_metrics_write(p), -1);
    EXPECT_EQ(peer_metrics_write(p), -1);
    EXPECT_EQ(log->take(), std::vector<std::string>{"peer: cannot write metrics file " + std::string(dir) +
                                                    "/absent/peer.prom: No such file or directory"});
    unlink(path.c_str());
    rmdir(dir);
}

TEST_F(PeerProto, StatusFileListsEverySession)
{
    int ca = client(), cb = client();
    Sess a = open(ca, "alice", "secret");
    FakeClock::advance(30);
    Sess b = open(cb, "bob", "hunter2");
    const Bytes up = wire::icmp_echo("10.8.0.2", "10.8.0.1", 1, 1, 8);
    send(ca, plus(wire::header(SDWAN_DATA, 0, a.sid, a.token), up));
    send(ca, plus(wire::header(SDWAN_DATA, 0, a.sid, a.token), up));
    const Bytes down = wire::icmp_echo("10.8.0.1", "10.8.0.50", 1, 2, 100);
    tun_write(down);
    FakeClock::advance(5);
    p->now = static_cast<uint32_t>(FakeClock::mono_sec());
    p->start_time = 1699999000;
    const std::string want =
        "# sdwan-peerd status: the server, then one line per live session, each followed by its sources\n"
        "server version=" + std::string(peer_version) +
        " start=1699999000 time=1700000035 sessions=2 max=1024 interface=sdwt0 listen=0.0.0.0:4500\n"
        "session endpoint=" + from(ca) + " address=10.8.0.2 kind=legacy since=1700000000 heard=1700000030 "
        "rx_packets=2 rx_bytes=72 tx_packets=0 tx_bytes=0 user=alice\n"
        // Whole datagrams on a source's row: two DATA of 44 bytes in, the OPENACK of 50 out.
        "source endpoint=" + from(ca) + " heard=1700000030 rx_packets=2 rx_bytes=88 tx_packets=1 tx_bytes=50 probes=0\n"
        "session endpoint=" + from(cb) + " address=10.8.0.50 kind=legacy since=1700000030 heard=1700000030 "
        "rx_packets=0 rx_bytes=0 tx_packets=1 tx_bytes=128 user=bob\n"
        "source endpoint=" + from(cb) + " heard=1700000030 rx_packets=0 rx_bytes=0 tx_packets=2 tx_bytes=186 probes=0\n";
    char buf[1024];
    const size_t n = peer_status_format(p, 1700000035, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n), want);
    EXPECT_EQ(peer_status_format(p, 1700000035, buf, want.size()), 0u) << "no room for the terminator";

    // Written whole under its name, nothing else left in the directory; removed at the stop.
    char dir[] = "/tmp/peer-status-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/peer.status";
    std::snprintf(p->cfg.status, sizeof p->cfg.status, "%s", path.c_str());
    const mode_t mask = umask(022);
    peer_status_tick(p);
    umask(mask);
    FILE *f = fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string got(4096, '\0');
    got.resize(fread(got.data(), 1, got.size(), f));
    fclose(f);
    EXPECT_EQ(got, want);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    peer_status_remove(p);
    EXPECT_EQ(rmdir(dir), 0) << "a file left in the directory";

    // A place it cannot be written: one line per fault, not one per second.
    std::snprintf(p->cfg.status, sizeof p->cfg.status, "%s/absent/peer.status", dir);
    log->take();
    peer_status_tick(p);
    peer_status_tick(p);
    EXPECT_EQ(log->take(), std::vector<std::string>{"peer: cannot write status file " + std::string(dir) +
                                                    "/absent/peer.status: No such file or directory"});
    peer_status_remove(p);
    p->cfg.status[0] = '\0';
}

}  // namespace
