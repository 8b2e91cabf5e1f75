// Peer name resolution: the query on the wire, the answer parser's bounds, the handler's source
// check, and the query/answer cycle of the session against a stand-in resolver in a private
// network namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bytes.h"
#include "client/dns.h"
#include "client/session.h"
#include "core/event.h"
#include "net/ipaddr.h"
#include "sdwan_build.h"
#include "client/hostroute.h"
#include "support/fakeclock.h"
#include "support/fakehost.h"
#include "support/logcap.h"
#include "support/netns.h"
#include "support/scriptpeer.h"

namespace {
// The client object of this file's tests (the daemon's is main's).
const client_ptr g_owned = new_client();
sdwan_t &g_clnt = *g_owned;

std::string resolver_text()
{
    char t[16];
    return ip2strv4(sdwan_resolver_ip(), t, sizeof t);
}

// --- answers, built record by record -------------------------------------------------------

Bytes be16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

Bytes dns_header(uint16_t ancount)
{
    return ScriptPeer::cat({be16(0x1234), be16(0x8180), be16(1), be16(ancount), be16(0), be16(0)});
}

Bytes qname(const std::vector<std::string> &labels)
{
    Bytes out;
    for (const std::string &l : labels) {
        out.push_back(static_cast<uint8_t>(l.size()));
        out.insert(out.end(), l.begin(), l.end());
    }
    out.push_back(0);
    return out;
}

Bytes question(const std::vector<std::string> &labels, uint16_t qtype = 1, uint16_t qclass = 1)
{
    return ScriptPeer::cat({qname(labels), be16(qtype), be16(qclass)});
}

// Owner name as a compression pointer to the question, TTL 300.
Bytes rr(uint16_t type, uint16_t cls, uint16_t rdlength, const Bytes &rdata)
{
    return ScriptPeer::cat({{0xC0, 0x0C}, be16(type), be16(cls), {0, 0, 1, 0x2C}, be16(rdlength), rdata});
}

Bytes a_rr(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return rr(1, 1, 4, {a, b, c, d}); }

uint32_t ipbe(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    uint8_t v[4] = {a, b, c, d};
    return ld_raw32(v);
}

const std::vector<std::string> PEER_LABELS{"peer", "example"};

// An exact-size copy, so that a read past len is caught by AddressSanitizer.
uint32_t parse(const Bytes &b, size_t len)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[len == 0 ? 1 : len]);
    if (len > 0)
        memcpy(copy.get(), b.data(), len);
    return sdwan_parse_answer(copy.get(), static_cast<uint32_t>(len));
}
uint32_t parse(const Bytes &b) { return parse(b, b.size()); }

// --- the query -----------------------------------------------------------------------------

TEST(DnsQuery, Bytes)
{
    struct Case {
        const char *name;
        Bytes qname;  // bytes 12 up to QTYPE
    };
    const std::string l63(63, 'x');
    const Case cases[] = {
        {"a.bc", {1, 'a', 2, 'b', 'c', 0}},
        {"peer.example.com", ScriptPeer::cat({qname({"peer", "example", "com"})})},
        {"localhost", qname({"localhost"})},
        {l63.c_str(), qname({l63})},
        // Empty labels are not refused: each encodes as a zero length byte.
        {"a..b", {1, 'a', 0, 1, 'b', 0}},
        {".a", {0, 1, 'a', 0}},
        {"a.", {1, 'a', 0, 0}},
    };
    FakeClock::install(0x5A5A1234, 0);
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        sdwan_t c{};
        snprintf(c.conf.peerdomain, sizeof c.conf.peerdomain, "%s", tc.name);
        uint8_t buf[128];
        memset(buf, 0xEE, sizeof buf);
        uint32_t len = sdwan_pktDNS(&c, buf);
        const Bytes head{0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
        const Bytes expect = ScriptPeer::cat({head, tc.qname, {0, 1, 0, 1}});
        ASSERT_EQ(len, strlen(tc.name) + 18);
        EXPECT_EQ(Bytes(buf, buf + len), expect);
        EXPECT_EQ(Bytes(buf + len, buf + sizeof buf), Bytes(sizeof buf - len, 0xEE));
    }
    FakeClock::uninstall();
}

// --- the answer parser ---------------------------------------------------------------------

TEST(DnsAnswer, Parse)
{
    struct Case {
        const char *name;
        Bytes answer;
        uint32_t expect;
    };
    const Bytes hdr1 = dns_header(1);
    const Bytes q = question(PEER_LABELS);
    const Case cases[] = {
        {"one_a", ScriptPeer::cat({hdr1, q, a_rr(203, 0, 113, 7)}), ipbe(203, 0, 113, 7)},
        {"cname_then_a",
         ScriptPeer::cat({dns_header(2), q, rr(5, 1, 6, {3, 'w', 'w', 'w', 0xC0, 0x0C}), a_rr(198, 51, 100, 1)}),
         ipbe(198, 51, 100, 1)},
        {"first_a_wins", ScriptPeer::cat({dns_header(2), q, a_rr(10, 0, 0, 1), a_rr(10, 0, 0, 2)}), ipbe(10, 0, 0, 1)},
        {"ancount_0", ScriptPeer::cat({dns_header(0), q, a_rr(10, 0, 0, 1)}), 0},
        {"ancount_stops_before_a", ScriptPeer::cat({hdr1, q, rr(5, 1, 2, {0xC0, 0x0C}), a_rr(10, 0, 0, 1)}), 0},
        {"aaaa_only", ScriptPeer::cat({hdr1, q, rr(28, 1, 16, Bytes(16, 0x20))}), 0},
        {"aaaa_then_a", ScriptPeer::cat({dns_header(2), q, rr(28, 1, 16, Bytes(16, 0x20)), a_rr(10, 1, 2, 3)}),
         ipbe(10, 1, 2, 3)},
        {"a_class_chaos", ScriptPeer::cat({hdr1, q, rr(1, 3, 4, {10, 0, 0, 1})}), 0},
        {"a_rdlength_5", ScriptPeer::cat({hdr1, q, rr(1, 1, 5, {10, 0, 0, 1, 0})}), 0},
        {"address_zero", ScriptPeer::cat({hdr1, q, a_rr(0, 0, 0, 0)}), 0},
        {"question_aaaa", ScriptPeer::cat({hdr1, question(PEER_LABELS, 28), a_rr(10, 0, 0, 1)}), 0},
        {"question_class_chaos", ScriptPeer::cat({hdr1, question(PEER_LABELS, 1, 3), a_rr(10, 0, 0, 1)}), 0},
        // 12 + 1 + 4 + 16: the record ends on the datagram's last byte.
        {"root_question_33", ScriptPeer::cat({hdr1, {0, 0, 1, 0, 1}, a_rr(192, 0, 2, 9)}), ipbe(192, 0, 2, 9)},
        // RDLENGTH sends r far past the end (and past 2^16 with an earlier hop); nothing is read there.
        {"rdlength_far",
         ScriptPeer::cat({dns_header(0xFFFF), q, rr(5, 1, 0xFFFF, {0xC0, 0x0C}), a_rr(10, 0, 0, 1)}), 0},
        {"empty", {}, 0},
        {"header_only", hdr1, 0},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        EXPECT_EQ(parse(tc.answer), tc.expect);
    }
    EXPECT_EQ(cases[12].answer.size(), 33u);
}

TEST(DnsAnswer, EveryTruncationStaysInBounds)
{
    // A record ending exactly at the last byte resolves; one byte less never does, and no cut
    // reads past its length.
    const Bytes answers[] = {
        ScriptPeer::cat({dns_header(1), {0, 0, 1, 0, 1}, a_rr(192, 0, 2, 9)}),
        ScriptPeer::cat({dns_header(2), question(PEER_LABELS), rr(5, 1, 6, {3, 'w', 'w', 'w', 0xC0, 0x0C}),
                         a_rr(198, 51, 100, 1)}),
        ScriptPeer::cat({dns_header(3), question(PEER_LABELS), rr(28, 1, 16, Bytes(16, 1)), rr(16, 1, 8, Bytes(8, 'x')),
                         a_rr(1, 2, 3, 4)}),
    };
    for (const Bytes &a : answers) {
        ASSERT_NE(parse(a), 0u);
        for (size_t len = 0; len < a.size(); len++) {
            SCOPED_TRACE(len);
            EXPECT_EQ(parse(a, len), 0u);
        }
    }
}

TEST(DnsAnswer, QuestionNameEndsAtFirstZero)
{
    // The name is skipped by its first zero byte, not by label lengths: a label whose length
    // byte hides a zero inside it cuts the name there.
    Bytes a = ScriptPeer::cat({dns_header(1), {3, 'a', 0, 'c', 0}, {0, 1, 0, 1}, a_rr(10, 0, 0, 1)});
    EXPECT_EQ(parse(a), 0u);
    // No zero byte at all before the last 16 bytes.
    Bytes b = ScriptPeer::cat({dns_header(1), Bytes(40, 'z')});
    EXPECT_EQ(parse(b), 0u);
}

// --- the handler ---------------------------------------------------------------------------

struct Resolving {
    sdwan_t c{};
    Resolving()
    {
        c.sess.state = SDWANCLNT_DNS;
        c.conf.peerport = 4433;
        snprintf(c.conf.peerdomain, sizeof c.conf.peerdomain, "peer.example");
    }
};

TEST(DnsHandler, Sources)
{
    const Bytes good = ScriptPeer::cat({dns_header(1), question(PEER_LABELS), a_rr(203, 0, 113, 7)});
    const uint32_t resolver = sdwan_resolver_ip();
    ASSERT_NE(resolver, 0u);
    const uint32_t configured = ipbe(10, 94, 0, 2);  // a resolver= key
    struct Case {
        const char *name;
        uint32_t conf;  // 0: the build's
        uint32_t ipbe;
        uint16_t port;
        bool taken;
    };
    const Case cases[] = {
        {"resolver_53", 0, resolver, 53, true},
        {"resolver_5353", 0, resolver, 5353, false},
        {"other_host_53", 0, ipbe(192, 0, 2, 66), 53, false},
        {"peer_address_53", 0, ipbe(203, 0, 113, 7), 53, false},
        {"configured_53", configured, configured, 53, true},
        {"configured_5353", configured, configured, 5353, false},
        {"the build's own when another is configured", configured, resolver, 53, false},
    };
    for (const Case &tc : cases) {
        SCOPED_TRACE(tc.name);
        LogCapture log;
        Resolving r;
        r.c.conf.resolver = tc.conf;
        sdwan_parseDNS(&r.c, tc.ipbe, tc.port, good.data(), static_cast<uint32_t>(good.size()));
        if (tc.taken) {
            EXPECT_EQ(r.c.sess.state, SDWANCLNT_INIT);
            EXPECT_EQ(r.c.sess.peerip, ipbe(203, 0, 113, 7));
            EXPECT_EQ(r.c.count.stats.rxdnscnt, 1u);
            EXPECT_EQ(log.all(), std::vector<std::string>{"DNS resolved domain peer.example to IP 203.0.113.7"});
        } else {
            EXPECT_EQ(r.c.sess.state, SDWANCLNT_DNS);
            EXPECT_EQ(r.c.sess.peerip, 0u);
            EXPECT_EQ(r.c.count.stats.rxdnscnt, 0u);
            EXPECT_TRUE(log.all().empty());
        }
        EXPECT_EQ(r.c.count.stats.panic_dns, 0u);
        EXPECT_EQ(r.c.conf.peerport, 4433);
    }
}

TEST(DnsHandler, AnswersWithoutAddress)
{
    const Bytes q = question(PEER_LABELS);
    const Bytes answers[] = {
        ScriptPeer::cat({dns_header(0), q}),
        ScriptPeer::cat({dns_header(1), q, rr(28, 1, 16, Bytes(16, 0x20))}),
        ScriptPeer::cat({dns_header(1), q, a_rr(0, 0, 0, 0)}),
        ScriptPeer::cat({dns_header(1), {0, 0, 1, 0, 1}, a_rr(192, 0, 2, 9)}),  // cut by one below
    };
    for (size_t i = 0; i < std::size(answers); i++) {
        SCOPED_TRACE(i);
        LogCapture log;
        Resolving r;
        size_t len = i == 3 ? answers[i].size() - 1 : answers[i].size();
        std::vector<uint8_t> dgram(answers[i].begin(), answers[i].begin() + static_cast<long>(len));
        sdwan_parseDNS(&r.c, sdwan_resolver_ip(), 53, dgram.data(), static_cast<uint32_t>(len));
        EXPECT_EQ(r.c.sess.state, SDWANCLNT_DNS);
        EXPECT_EQ(r.c.sess.peerip, 0u);
        EXPECT_EQ(r.c.count.stats.rxdnscnt, 1u);
        EXPECT_EQ(r.c.count.stats.panic_dns, 1u);
        EXPECT_EQ(log.all(), std::vector<std::string>{"DNS resolution failed for domain peer.example"});
    }
}

// --- the query/answer cycle on the wire ----------------------------------------------------

// Gives the namespace's loopback the resolver's address, so that queries to it stay inside.
bool add_loopback_alias(uint32_t addr)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo:53");
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = addr;
    memcpy(&ifr.ifr_addr, &sin, sizeof sin);
    bool ok = ioctl(s, SIOCSIFADDR, &ifr) == 0;
    sin.sin_addr.s_addr = 0xFFFFFFFF;
    memcpy(&ifr.ifr_netmask, &sin, sizeof sin);
    ok = ok && ioctl(s, SIOCSIFNETMASK, &ifr) == 0;
    close(s);
    return ok;
}

// Stand-in for the built-in resolver: a socket bound to its address and port 53 (or another
// port, to play a stranger on the resolver's host).
class FakeResolver {
public:
    explicit FakeResolver(uint16_t port = 53)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = sdwan_resolver_ip();
        a.sin_port = htons(port);
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~FakeResolver()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Next query within timeout_ms, empty when none; remembers where it came from.
    Bytes recv(int timeout_ms = 200)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return {};
        uint8_t buf[2048];
        socklen_t flen = sizeof from_;
        ssize_t n = recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from_), &flen);
        return n < 0 ? Bytes{} : Bytes(buf, buf + n);
    }
    bool answer(const Bytes &a) { return send_to(from_, a); }
    bool send_to(const sockaddr_in &to, const Bytes &a)
    {
        return sendto(fd_, a.data(), a.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) ==
               static_cast<ssize_t>(a.size());
    }
    const sockaddr_in &last_from() const { return from_; }

private:
    int fd_ = -1;
    sockaddr_in from_{};
};

ino_t socket_inode(int fd)
{
    struct stat st{};
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

bool contains_in_order(const std::vector<std::string> &lines, const std::vector<std::string> &want)
{
    size_t w = 0;
    for (const std::string &l : lines)
        if (w < want.size() && l == want[w])
            w++;
    return w == want.size();
}

class DnsCycleTest : public NetnsTest {
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped())
            return;
        FakeClock::install(1700000000, 1000000);
        poll_init();
        peer_ = std::make_unique<ScriptPeer>();
        ASSERT_TRUE(peer_->ok());
        peer_->prepare(&g_clnt);
        snprintf(g_clnt.conf.peerdomain, sizeof g_clnt.conf.peerdomain, "peer.example");
        g_clnt.sess.peerip = 0;
    }
    void TearDown() override
    {
        peer_.reset();
        FakeClock::uninstall();
        NetnsTest::TearDown();
    }
    std::unique_ptr<ScriptPeer> peer_;
};

// The namespace holds the resolver's address; the host's routes are a recording fake, the last
// session's default route through the tunnel still in place: each reset keeps the resolver (and
// the peer's last address) outside the tunnel, each answer moves the peer's host route to the
// new address and lets the resolver's go.
TEST_F(DnsCycleTest, ResolvedAgainAfterEveryReset)
{
    ASSERT_TRUE(add_loopback_alias(sdwan_resolver_ip()));
    FakeResolver resolver;
    ASSERT_TRUE(resolver.ok());
    LogCapture log;
    FakeHost host;
    g_clnt.ops = host.ops();
    host.table(FakeHost::rows({{"up0", "0.0.0.0", "10.99.0.2", "0.0.0.0", 0, 0}}));
    ASSERT_EQ(sdwclnt_set_peer(&g_clnt), 0);
    g_clnt.host.own |= SDWAN_OWN_DEFRT;
    sdwclnt_routes_sync(&g_clnt);

    const std::string rtext = resolver_text();
    const std::string via = " via 10.99.0.2 dev up0";
    std::string held_peer;
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        ASSERT_EQ(g_clnt.sess.state, SDWANCLNT_DNS);
        log.take();
        sdwclnt_do_timer(&g_clnt);
        Bytes q = resolver.recv();
        uint8_t expect[128];
        uint32_t qlen = sdwan_pktDNS(&g_clnt, expect);
        EXPECT_EQ(q, Bytes(expect, expect + qlen));
        EXPECT_EQ(log.take(),
                  (std::vector<std::string>{"DNS query peer.example", "Send DNS Query to " + rtext + ":53"}));

        // Each round the resolver hands out another address; the peer keeps its port.
        const uint8_t last = static_cast<uint8_t>(10 + round);
        ASSERT_TRUE(resolver.answer(ScriptPeer::cat({dns_header(1), question(PEER_LABELS), a_rr(127, 0, 0, last)})));
        ASSERT_EQ(ScriptPeer::deliver(&g_clnt), 1);
        EXPECT_EQ(g_clnt.sess.state, SDWANCLNT_INIT);
        EXPECT_EQ(g_clnt.sess.peerip, ipbe(127, 0, 0, last));
        EXPECT_EQ(g_clnt.count.stats.rxdnscnt, static_cast<uint32_t>(round + 1));
        std::string ip = "127.0.0." + std::to_string(last);
        EXPECT_EQ(log.take(), std::vector<std::string>{"DNS resolved domain peer.example to IP " + ip});
        std::vector<std::string> held{"host add " + rtext + via};  // at the reset
        if (!held_peer.empty())
            held.insert(held.begin(), "host add " + held_peer + via);
        std::vector<std::string> moved{"host add " + ip + via};  // at the answer
        if (!held_peer.empty())
            moved.push_back("host del " + held_peer + via);
        moved.push_back("host del " + rtext + via);
        held.insert(held.end(), moved.begin(), moved.end());
        EXPECT_EQ(host.take(), held);
        held_peer = ip;

        FakeClock::advance(1);
        sdwclnt_do_timer(&g_clnt);
        EXPECT_EQ(g_clnt.sess.state, SDWANCLNT_AUTH);
        EXPECT_TRUE(contains_in_order(log.take(), {"INIT peer " + ip + ":" + std::to_string(peer_->port())}));

        sdwclnt_reset_state(&g_clnt);
        FakeClock::advance(1);
    }
}

TEST_F(DnsCycleTest, ForeignAnswersIgnoredWhileResolving)
{
    ASSERT_TRUE(add_loopback_alias(sdwan_resolver_ip()));
    FakeResolver resolver;
    ASSERT_TRUE(resolver.ok());
    ASSERT_EQ(sdwclnt_set_peer(&g_clnt), 0);
    sdwclnt_do_timer(&g_clnt);
    ASSERT_FALSE(resolver.recv().empty());

    // The same answer from the peer's socket (127.0.0.1, not port 53) and from the resolver's
    // address but port 5353 changes nothing.
    const Bytes a = ScriptPeer::cat({dns_header(1), question(PEER_LABELS), a_rr(127, 0, 0, 66)});
    LogCapture log;
    ASSERT_TRUE(peer_->send_and_deliver(&g_clnt, a));
    FakeResolver stranger(5353);
    ASSERT_TRUE(stranger.ok());
    ASSERT_TRUE(stranger.send_to(resolver.last_from(), a));
    ASSERT_EQ(ScriptPeer::deliver(&g_clnt), 1);
    EXPECT_EQ(g_clnt.sess.state, SDWANCLNT_DNS);
    EXPECT_EQ(g_clnt.sess.peerip, 0u);
    EXPECT_EQ(g_clnt.count.stats.rxdnscnt, 0u);
    EXPECT_EQ(g_clnt.count.stats.sock_rxpkts, 0u);
    EXPECT_TRUE(log.all().empty());
}

TEST_F(DnsCycleTest, FailedSendResets)
{
    // No address and no route for the resolver in this namespace: the send fails at once.
    ASSERT_EQ(sdwclnt_set_peer(&g_clnt), 0);
    ASSERT_EQ(g_clnt.sess.state, SDWANCLNT_DNS);
    ino_t before = socket_inode(g_clnt.io.udpsock);
    ASSERT_NE(before, 0u);
    LogCapture log;
    sdwclnt_do_timer(&g_clnt);
    const std::string rtext = resolver_text();
    EXPECT_TRUE(contains_in_order(log.all(), {"DNS query peer.example", "Sendto error",
                                              "Failed to send DNS Query to " + rtext + ":53"}));
    EXPECT_FALSE(log.contains("Send DNS Query to " + rtext + ":53"));
    EXPECT_EQ(g_clnt.sess.state, SDWANCLNT_DNS);
    ASSERT_GE(g_clnt.io.udpsock, 0);
    EXPECT_NE(socket_inode(g_clnt.io.udpsock), before);
    EXPECT_EQ(g_clnt.count.stats.txdnscnt, 0u);
}

}  // namespace
