// The peer server's packet handling, driven through its real receive and send paths over
// loopback UDP, with a datagram socket pair standing in for the TUN device: OPEN answered byte
// for byte, every malformed input dropped and counted, data in both directions, echo, silence
// and shutdown.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "client/auth.h"
#include "client/echo.h"
#include "core/event.h"
#include "peer/peer.h"
#include "proto/packet.h"
#include "support/wire.h"
#include "support/fakeclock.h"
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

class PeerProto : public ::testing::Test {
protected:
    peer_t *p = &_peer;
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
        s.encrypt = s.ack[1];
        std::memcpy(&s.sid, &s.ack[2], 2);
        std::memcpy(&s.token, &s.ack[4], 4);
        std::memcpy(&s.addr, &s.ack[26], 4);
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
    uint16_t sid;
    uint32_t token;
    std::memcpy(&sid, &ack[2], 2);
    std::memcpy(&token, &ack[4], 4);
    EXPECT_NE(sid, 0);
    EXPECT_NE(token, 0u);
    const Bytes opts(ack.begin() + 24, ack.end());
    const Bytes want = {4, 6, 10, 8, 0, 2,                 // address
                        6, 6, 10, 8, 0, 1,                 // gateway
                        3, 4, 0x05, 0x78,                  // MTU 1400
                        5, 10, 9, 9, 9, 9, 1, 1, 1, 1,     // DNS
                        8, 3, 1};                          // enciphering granted
    EXPECT_EQ(opts, want);

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
        if (!k.granted) {
            // Without the grant the list ends after DNS: no encrypt option at all.
            EXPECT_EQ(s.ack[40], SDWAN_OPT_DNS);
        }
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
        {"option running past the end", plus(good, {SDWAN_OPT_ENCRYPT, 5, 1}), &peer_stats_t::drop_malformed},
        {"single byte after the options", plus(good, {SDWAN_OPT_ENCRYPT}), &peer_stats_t::drop_malformed},
        {"option length 1", plus(good, {7, 1}), &peer_stats_t::drop_malformed},
        {"option length 0", plus(good, {7, 0}), &peer_stats_t::drop_malformed},
        {"cut inside the password", cut(good, good.size() - 5), &peer_stats_t::drop_malformed},
        {"no password", open_with({user}), &peer_stats_t::drop_malformed},
        {"no user", open_with({pass}), &peer_stats_t::drop_malformed},
        {"no options", open_with({}), &peer_stats_t::drop_malformed},
        {"user of 32 characters", open_with({longuser, pass}), &peer_stats_t::drop_malformed},
        {"password option of 17", open_with({user, cut(pass, 17)}), &peer_stats_t::drop_malformed},
        {"mtu option of 5", open_with({{SDWAN_OPT_MTU, 5, 1, 2, 3}, user, pass}), &peer_stats_t::drop_malformed},
        {"encrypt option of 4", open_with({user, pass, {SDWAN_OPT_ENCRYPT, 4, 1, 1}}), &peer_stats_t::drop_malformed},
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
    EXPECT_EQ(peer_sess_find(p, htonl(INADDR_LOOPBACK), local_port(c))->lastsec, FakeClock::sec);
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

TEST_F(PeerProto, NewSocketOfTheSameUserReplacesTheOldSession)
{
    int c1 = client(), c2 = client();
    Sess a = open(c1, "alice", "secret");
    log->take();
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

TEST_F(PeerProto, AnotherUserFromTheSameAddressReplacesTheSession)
{
    int c = client();
    open(c, "alice", "secret");
    Sess b = open(c, "bob", "hunter2");
    EXPECT_EQ(b.addr, wire::addr("10.8.0.50"));
    EXPECT_EQ(peer_live_count(p), 1);
    EXPECT_EQ(peer_sess_by_addr(p, wire::addr("10.8.0.2")), nullptr);
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
    std::strcpy(rec.si_user, "carol");
    std::strcpy(rec.si_pass, "abcdefghijklmnopqrst");
    rec.si_cfgmtu = 1400;
    rec.si_encrypt = 1;
    rec.si_pipeid = 5;
    rec.si_pipeidx = 1;
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
    sdwan_encrypt(&rec.si_key, d.data() + 8, static_cast<int>(ip.size()));
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
    rec.si_sid = s.sid;
    rec.si_token = s.token;
    rec.si_mindelay = SDWAN_MINDELAY_START;
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
    // The address is free again: the next user to come takes it.
    int c2 = client();
    EXPECT_EQ(open(c2, "carol", "abcdefghijklmnopqrst").addr, s.addr);
}

TEST_F(PeerProto, ClockSetBackDoesNotDropSessions)
{
    int c = client();
    open(c, "alice", "secret");
    FakeClock::sec -= 3600;
    peer_tick(p);
    EXPECT_EQ(peer_live_count(p), 1);
    FakeClock::advance(PEER_SILENCE_SEC + 1);
    peer_tick(p);
    EXPECT_EQ(peer_live_count(p), 0);
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
    std::string text = "[t]\nport=1\npool=10.8.0.0\n";
    for (int i = 0; i <= PEER_MAX_SESS; i++)
        text += "user=u" + std::to_string(i) + ":pw\n";
    load(text);
    std::vector<uint16_t> sids;
    for (int i = 0; i < PEER_MAX_SESS; i++) {
        int c = client();
        Sess s = open(c, "u" + std::to_string(i), "pw");
        ASSERT_EQ(s.ack.size(), 40u) << i;
        sids.push_back(s.sid);
    }
    std::sort(sids.begin(), sids.end());
    EXPECT_EQ(std::unique(sids.begin(), sids.end()), sids.end());  // no two sessions share a sid
    log->take();
    int c = client();
    send(c, wire::open("u64", "pw"));
    EXPECT_EQ(recv(c), wire::control(SDWAN_OPENREJ, 0, 0, 0));
    EXPECT_EQ(log->take(), std::vector<std::string>{"rejected user u64 from " + from(c) + ": session table full"});
    EXPECT_EQ(peer_live_count(p), PEER_MAX_SESS);
}

}  // namespace
