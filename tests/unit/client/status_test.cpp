// The status file: its exact content, its replacement by rename (a reader never sees a part),
// write failures logged once, the real-clock round-trip ring, the one-line status for the
// service manager, and the file after a session scripted against a peer in a private network
// namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bytes.h"
#include "client/echo.h"
#include "client/session.h"
#include "client/status.h"
#include "ctl/ctl.h"
#include "net/ipaddr.h"
#include "daemon/report.h"
#include "support/fakeclock.h"
#include "support/logcap.h"
#include "support/netns.h"
#include "support/scriptpeer.h"
#include "support/tempdir.h"
#include "support/proc.h"

namespace {

using Lines = std::vector<std::string>;


// The names in a directory, sorted.
Lines dir_entries(const std::string &dir)
{
    Lines out;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string read_fd(int fd)
{
    std::string s;
    char b[4096];
    ssize_t n;
    off_t off = 0;
    while ((n = pread(fd, b, sizeof b, off)) > 0) {
        s.append(b, static_cast<size_t>(n));
        off += n;
    }
    return s;
}


// A reader of the text exposition format, strict about what the daemon writes: every family
// announced by HELP then TYPE before its samples, counters named *_total, numbers of digits and
// at most one point, every sample labelled with its interface, every line ended.
struct Exposition {
    bool ok = false;
    std::string err;
    std::map<std::string, std::string> samples;  // "name{labels}" as written -> value
    std::map<std::string, std::string> types;
};

Exposition parse_exposition(const std::string &text)
{
    Exposition e;
    if (text.empty() || text.back() != '\n') {
        e.err = "empty or unterminated";
        return e;
    }
    std::string help_for;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            const size_t sp = line.find(' ', 7);
            if (sp == std::string::npos || sp + 1 >= line.size()) {
                e.err = "HELP without text: " + line;
                return e;
            }
            help_for = line.substr(7, sp - 7);
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            const size_t sp = line.find(' ', 7);
            const std::string name = line.substr(7, sp - 7);
            const std::string type = sp == std::string::npos ? "" : line.substr(sp + 1);
            if (name != help_for || (type != "gauge" && type != "counter") || e.types.count(name) != 0) {
                e.err = "TYPE out of place: " + line;
                return e;
            }
            if (type == "counter" && name.size() < 6) {
                e.err = "counter name: " + line;
                return e;
            }
            if (type == "counter" && name.compare(name.size() - 6, 6, "_total") != 0) {
                e.err = "counter not named _total: " + line;
                return e;
            }
            e.types[name] = type;
            continue;
        }
        const size_t sp = line.rfind(' ');
        if (sp == std::string::npos) {
            e.err = "not a sample: " + line;
            return e;
        }
        const std::string key = line.substr(0, sp);
        const std::string value = line.substr(sp + 1);
        const std::string name = key.substr(0, key.find('{'));
        if (e.types.count(name) == 0) {
            e.err = "sample before its TYPE: " + line;
            return e;
        }
        if (value.empty() || value.find_first_not_of("0123456789.") != std::string::npos ||
            value.find('.') != value.rfind('.')) {
            e.err = "value: " + line;
            return e;
        }
        if (key.find('{') == std::string::npos || key.back() != '}' ||
            key.compare(key.find('{'), 12, "{interface=\"") != 0) {
            e.err = "labels: " + line;
            return e;
        }
        if (!e.samples.emplace(key, value).second) {
            e.err = "sample twice: " + line;
            return e;
        }
    }
    e.ok = true;
    return e;
}

// All 21 counters of the record, in its order.
constexpr uint32_t netif_stats::*RECORD_COUNTERS[] = {
    &netif_stats::sock_rxpkts,  &netif_stats::sock_txpkts,     &netif_stats::tun_rxpkts,   &netif_stats::tun_txpkts,
    &netif_stats::txdnscnt,     &netif_stats::rxdnscnt,        &netif_stats::opencnt,      &netif_stats::openackcnt,
    &netif_stats::openrejcnt,   &netif_stats::echoreqcnt,      &netif_stats::echorespcnt,  &netif_stats::closedcnt,
    &netif_stats::panic_txdrop, &netif_stats::panic_pktdest,   &netif_stats::panic_token,  &netif_stats::panic_dns,
    &netif_stats::panic_pktverify, &netif_stats::panic_open,   &netif_stats::panic_dataot, &netif_stats::panic_authot,
    &netif_stats::panic_pkttype,
};
static_assert(sizeof RECORD_COUNTERS / sizeof RECORD_COUNTERS[0] == sizeof(netif_stats) / sizeof(uint32_t));

// What the file calls each counter of the record, labels after the interface's included; the
// three that nothing counts are not in the file.
const std::map<std::string, std::string> &exported_counters()
{
    static const std::map<std::string, std::string> names = {
        {"sock_txpkts", "tunnel_transmit_packets_total"},
        {"tun_txpkts", "tunnel_receive_packets_total"},
        {"tun_rxpkts", "tun_read_packets_total"},
        {"panic_pktdest", "looped_packets_total"},
        {"panic_txdrop", "tun_read_refused_total"},
        {"sock_rxpkts", "peer_datagrams_total"},
        {"openackcnt", "sessions_established_total"},
        {"panic_authot", "session_resets_total,reason=\"auth_timeout\""},
        {"openrejcnt", "session_resets_total,reason=\"rejected\""},
        {"panic_dataot", "session_resets_total,reason=\"peer_silent\""},
        {"closedcnt", "session_resets_total,reason=\"closed\""},
        {"echoreqcnt", "echo_requests_total"},
        {"echorespcnt", "echo_responses_total"},
        {"rxdnscnt", "resolver_datagrams_total"},
        {"panic_dns", "resolver_failures_total"},
        {"panic_pktverify", "control_refused_total"},
        {"panic_open", "openack_malformed_total"},
        {"panic_pkttype", "unknown_type_total"},
    };
    return names;
}

// The sample key of an exported counter in the file of interface ifname.
std::string counter_key(const std::string &exported, const std::string &ifname)
{
    const size_t comma = exported.find(',');
    const std::string name = exported.substr(0, comma);
    const std::string more = comma == std::string::npos ? "" : exported.substr(comma);
    return "tolvad_" + name + "{interface=\"" + ifname + "\"" + more + "}";
}

class StatusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeClock::mono = 5000000;
        FakeClock::install();
    }
    void TearDown() override { FakeClock::uninstall(); }
};

// ---- round-trip ring ----

struct RttStep {
    char op;  // 's' request sent, 'a' response accepted
    uint64_t tick;
    uint64_t mono;
};

struct RttCase {
    const char *name;
    std::vector<RttStep> steps;
    sdwan_rtt_t want;
};

bool same_rtt(const sdwan_rtt_t &a, const sdwan_rtt_t &b)
{
    return a.cur == b.cur && a.min == b.min && a.max == b.max && a.srtt == b.srtt && a.samples == b.samples;
}

std::string show(const sdwan_rtt_t &r)
{
    return "cur " + std::to_string(r.cur) + " min " + std::to_string(r.min) + " max " + std::to_string(r.max) +
           " srtt " + std::to_string(r.srtt) + " samples " + std::to_string(r.samples);
}

TEST_F(StatusTest, RoundTripRingMatchesResponsesToTheirRequests)
{
    std::vector<RttStep> nine_then_oldest;
    for (uint64_t i = 1; i <= 9; i++)
        nine_then_oldest.push_back({'s', i, 1000 * i});
    nine_then_oldest.push_back({'a', 1, 9050});  // forgotten: the ring holds the last 8
    nine_then_oldest.push_back({'a', 2, 9100});  // still there: 9100 - 2000
    const RttCase cases[] = {
        {"matching tick", {{'s', 100, 1000}, {'a', 100, 1800}}, {800, 800, 800, 800, 1}},
        {"unknown tick ignored", {{'s', 100, 1000}, {'a', 101, 2000}}, {0, 0, 0, 0, 0}},
        {"response without any request", {{'a', 7, 2000}}, {0, 0, 0, 0, 0}},
        {"a tick is answered once", {{'s', 100, 1000}, {'a', 100, 1500}, {'a', 100, 9000}}, {500, 500, 500, 500, 1}},
        {"answers out of order",
         {{'s', 100, 1000}, {'s', 200, 3000}, {'a', 200, 3400}, {'a', 100, 3500}},
         {2500, 400, 2500, 400 + (2500 - 400) / 8, 2}},
        {"smoothing follows a drop by an eighth",
         {{'s', 1, 0}, {'a', 1, 800}, {'s', 2, 1000}, {'a', 2, 1160}},
         {160, 160, 800, 800 - 80, 2}},
        {"a zero delay is a sample", {{'s', 5, 4000}, {'a', 5, 4000}}, {0, 0, 0, 0, 1}},
        {"the ring forgets the oldest", nine_then_oldest, {7100, 7100, 7100, 7100, 1}},
        {"same tick sent twice: the later request is answered first",
         {{'s', 9, 1000}, {'s', 9, 2000}, {'a', 9, 2300}, {'a', 9, 2600}},
         {1600, 300, 1600, 300 + (1600 - 300) / 8, 2}},
        {"delays beyond 32 bits are held at the largest value",
         {{'s', 3, 0}, {'a', 3, uint64_t{1} << 33}},
         {UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX, 1}},
    };
    for (const RttCase &c : cases) {
        sdwan_t clnt{};
        for (const RttStep &s : c.steps) {
            FakeClock::mono = s.mono;
            if (s.op == 's')
                echo_rtt_sent(&clnt, s.tick);
            else
                echo_rtt_answered(&clnt, s.tick);
        }
        EXPECT_TRUE(same_rtt(clnt.rtt.usec, c.want)) << c.name << ": got " << show(clnt.rtt.usec) << ", want "
                                                    << show(c.want);
    }
}

// ---- content ----

sdwan_t data_record()
{
    sdwan_t c{};
    c.io.udpsock = -1;
    c.io.tunfd = -1;
    c.sess.state = SDWANCLNT_DATA;
    snprintf(c.conf.peer, sizeof c.conf.peer, "vpn.example.net");
    snprintf(c.conf.peerdomain, sizeof c.conf.peerdomain, "vpn.example.net");
    snprintf(c.conf.user, sizeof c.conf.user, "alice");
    snprintf(c.conf.pass, sizeof c.conf.pass, "secret");
    snprintf(c.conf.tun_name, sizeof c.conf.tun_name, "tun0");
    c.sess.peerip = str2ip("198.51.100.7");
    c.conf.peerport = 4500;
    c.sess.ip = str2ip("10.8.0.2");
    c.sess.gateway = str2ip("10.8.0.1");
    c.sess.lastdial = 1700000002;
    c.sess.peerencrypt = 1;
    c.sess.peermtu = 1380;
    c.conf.mtu = 1400;
    c.count.txbytes = 5000000000u;
    c.count.rxbytes = 123456;
    for (size_t i = 0; i < std::size(RECORD_COUNTERS); i++)
        c.count.stats.*RECORD_COUNTERS[i] = static_cast<uint32_t>(1000 + i);
    c.count.stats.panic_pkttype = 4294967295u;
    return c;
}

std::string family(const std::string &name, const std::string &type, const std::string &help)
{
    return "# HELP tolvad_" + name + " " + help + "\n# TYPE tolvad_" + name + " " + type + "\n";
}

std::string one(const std::string &name, const std::string &type, const std::string &help, const std::string &v)
{
    return family(name, type, help) + "tolvad_" + name + "{interface=\"tun0\"} " + v + "\n";
}

TEST_F(StatusTest, ExactContentOfAnEstablishedSession)
{
    sdwan_t c = data_record();
    c.rtt.usec = {812, 640, 2210790, 790, 12};
    c.count.close_mismatch = 3;
    c.count.uplink_switches = 5;
    c.count.log_suppressed = 6000000000;
    c.count.kreq_refused[SDWAN_KREQ_ROUTE] = 2;
    c.count.kreq_refused[SDWAN_KREQ_ADDRESS] = 7;
    c.count.kreq_refused[SDWAN_KREQ_MTU] = 4294967295u;
    c.count.tx_failed = 21;
    c.count.tun_write_failed = 22;
    c.count.heard = static_cast<uint32_t>(FakeClock::mono_sec()) - 4;
    c.count.start_time = 1699999000;
    c.host.own = SDWAN_OWN_DEFRT;
    const std::string resets = "Session attempts and sessions ended, by reason.";
    const std::string want =
        family("session_state", "gauge", "1 for the session's current state, 0 for the others.") +
        "tolvad_session_state{interface=\"tun0\",state=\"DNS\"} 0\n"
        "tolvad_session_state{interface=\"tun0\",state=\"INIT\"} 0\n"
        "tolvad_session_state{interface=\"tun0\",state=\"AUTH\"} 0\n"
        "tolvad_session_state{interface=\"tun0\",state=\"DATA\"} 1\n"
        "tolvad_session_state{interface=\"tun0\",state=\"CLOSED\"} 0\n" +
        one("session_established_timestamp_seconds", "gauge",
            "Unix time at which the current session was established, 0 when none is.", "1700000002") +
        family("peer_info", "gauge", "The configured peer, its current address and UDP port.") +
        "tolvad_peer_info{interface=\"tun0\",peer=\"vpn.example.net\",address=\"198.51.100.7\",port=\"4500\"} 1\n" +
        family("tunnel_info", "gauge",
               "The address and gateway the peer handed out, and the payload cipher (xor or none).") +
        "tolvad_tunnel_info{interface=\"tun0\",address=\"10.8.0.2\",gateway=\"10.8.0.1\",cipher=\"xor\"} 1\n" +
        one("tunnel_mtu_bytes", "gauge", "MTU of the TUN interface in the session, 0 outside one.", "1380") +
        one("default_route_installed", "gauge", "1 while the tunnel's default route is in place.", "1") +
        one("tunnel_transmit_packets_total", "counter", "Packets from the TUN interface sent to the peer.", "1001") +
        one("tunnel_receive_packets_total", "counter", "Packets from the peer written to the TUN interface.", "1003") +
        one("tun_read_packets_total", "counter", "Packets read from the TUN interface, outside a session too.",
            "1002") +
        one("looped_packets_total", "counter", "The daemon's own datagrams routed into its own tunnel, dropped.",
            "1013") +
        one("tun_read_refused_total", "counter",
            "Reads of the TUN interface with an offload header or packet that cannot be cut into the session's packets, dropped.",
            "1012") +
        one("peer_datagrams_total", "counter", "Datagrams accepted from the peer's address and port.", "1000") +
        one("sessions_established_total", "counter", "Sessions established: OPENACK answers accepted.", "1007") +
        family("session_resets_total", "counter", resets) +
        "tolvad_session_resets_total{interface=\"tun0\",reason=\"auth_timeout\"} 1019\n"
        "tolvad_session_resets_total{interface=\"tun0\",reason=\"rejected\"} 1008\n"
        "tolvad_session_resets_total{interface=\"tun0\",reason=\"peer_silent\"} 1018\n"
        "tolvad_session_resets_total{interface=\"tun0\",reason=\"closed\"} 1011\n" +
        one("echo_requests_total", "counter", "Echo requests sent: 1 - responses / requests is the loss.", "1009") +
        one("echo_responses_total", "counter", "Echo responses accepted.", "1010") +
        one("resolver_datagrams_total", "counter", "Datagrams from port 53 received while resolving the peer.",
            "1005") +
        one("resolver_failures_total", "counter", "Resolver answers without a usable address.", "1015") +
        one("control_refused_total", "counter", "Control packets refused for their signature or the session state.",
            "1016") +
        one("openack_malformed_total", "counter", "OPENACK answers with a malformed option list.", "1017") +
        one("unknown_type_total", "counter", "Datagrams from the peer of an unknown packet type.", "4294967295") +
        family("kernel_requests_refused_total", "counter",
               "Requests the kernel refused: routes through the tunnel and host routes, the tunnel's address, its MTU.") +
        "tolvad_kernel_requests_refused_total{interface=\"tun0\",request=\"route\"} 2\n"
        "tolvad_kernel_requests_refused_total{interface=\"tun0\",request=\"address\"} 7\n"
        "tolvad_kernel_requests_refused_total{interface=\"tun0\",request=\"mtu\"} 4294967295\n" +
        one("tunnel_transmit_bytes_total", "counter", "Bytes of the packets sent to the peer, headers left out.",
            "5000000000") +
        one("tunnel_receive_bytes_total", "counter", "Bytes of the packets written to the TUN interface.", "123456") +
        one("tunnel_transmit_dropped_total", "counter",
            "Packets from the TUN interface lost: their send to the peer failed.", "21") +
        one("tunnel_receive_dropped_total", "counter",
            "Packets from the peer lost: their write to the TUN interface failed.", "22") +
        one("peer_idle_seconds", "gauge",
            "Seconds since the last datagram from the peer's address and port, or since the start while none came.",
            "4") +
        one("close_mismatch_total", "counter",
            "CLOSE packets in a session whose sid and token were not the session's: each asks the peer first.", "3") +
        one("log_lines_suppressed_total", "counter",
            "Log lines of refused datagrams held back by the rate limit, each counted in a summary line.",
            "6000000000") +
        one("uplink_switches_total", "counter",
            "Moves of the peer to another of the host's default routes after failed session attempts.", "5") +
        one("rtt_current_seconds", "gauge", "Round-trip time of the last echo answered (monotonic clock).",
            "0.000812") +
        one("rtt_min_seconds", "gauge", "Smallest round-trip time since start-up.", "0.000640") +
        one("rtt_max_seconds", "gauge", "Largest round-trip time since start-up.", "2.210790") +
        one("rtt_smoothed_seconds", "gauge", "Smoothed round-trip time (moving average, gain 1/8).", "0.000790") +
        one("rtt_samples_total", "counter", "Echo responses matched to their request and measured.", "12") +
        family("build_info", "gauge", "The daemon's version.") + "tolvad_build_info{interface=\"tun0\",version=\"" +
        TOLVAD_VERSION + "\"} 1\n" +
        one("start_time_seconds", "gauge", "Unix time at which the daemon started.", "1699999000") +
        one("status_time_seconds", "gauge", "Unix time at which the daemon wrote this file.", "1700000000");

    static char buf[STATUS_BUF];
    const uint32_t n = status_format(&c, buf, sizeof buf);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::string(buf, n), want);
    const Exposition e = parse_exposition(want);
    EXPECT_TRUE(e.ok) << e.err;

    // The buffer must hold it whole, terminator included, or nothing counts.
    EXPECT_EQ(status_format(&c, buf, n), 0u);
    EXPECT_EQ(status_format(&c, buf, n + 1), n);
    EXPECT_EQ(status_format(&c, buf, 0), 0u);
}

TEST_F(StatusTest, StatesAddressesAndLabelEscapes)
{
    struct FormatCase {
        const char *name;
        void (*change)(sdwan_t *);
        std::map<std::string, std::string> want;  // samples that must be present with this value
    };
    const std::string st = "tolvad_session_state{interface=\"tun0\",state=";
    const std::string since = "tolvad_session_established_timestamp_seconds{interface=\"tun0\"}";
    const std::string peer = "tolvad_peer_info{interface=\"tun0\",peer=";
    const FormatCase cases[] = {
        {"established", [](sdwan_t *) {},
         {{st + "\"DATA\"}", "1"}, {st + "\"AUTH\"}", "0"}, {since, "1700000002"},
          {"tolvad_tunnel_mtu_bytes{interface=\"tun0\"}", "1380"}}},
        {"the configured MTU when it is the smaller", [](sdwan_t *c) { c->conf.mtu = 1300; },
         {{"tolvad_tunnel_mtu_bytes{interface=\"tun0\"}", "1300"}}},
        {"authenticating: no establishment time, no MTU, no cipher",
         [](sdwan_t *c) { c->sess.state = SDWANCLNT_AUTH; },
         {{st + "\"AUTH\"}", "1"}, {st + "\"DATA\"}", "0"}, {since, "0"},
          {"tolvad_tunnel_mtu_bytes{interface=\"tun0\"}", "0"},
          {"tolvad_tunnel_info{interface=\"tun0\",address=\"10.8.0.2\",gateway=\"10.8.0.1\",cipher=\"none\"}", "1"}}},
        {"in clear", [](sdwan_t *c) { c->sess.peerencrypt = 0; },
         {{"tolvad_tunnel_info{interface=\"tun0\",address=\"10.8.0.2\",gateway=\"10.8.0.1\",cipher=\"none\"}", "1"}}},
        {"closed by the peer", [](sdwan_t *c) { c->sess.state = SDWANCLNT_CLOSED; },
         {{st + "\"CLOSED\"}", "1"}, {st + "\"DATA\"}", "0"}, {since, "0"}}},
        {"a state no series stands for: every series 0", [](sdwan_t *c) { c->sess.state = 77; },
         {{st + "\"DNS\"}", "0"}, {st + "\"INIT\"}", "0"}, {st + "\"AUTH\"}", "0"}, {st + "\"DATA\"}", "0"},
          {st + "\"CLOSED\"}", "0"}}},
        {"name not yet resolved",
         [](sdwan_t *c) {
             c->sess.state = SDWANCLNT_DNS;
             c->sess.peerip = 0;
         },
         {{st + "\"DNS\"}", "1"}, {peer + "\"vpn.example.net\",address=\"\",port=\"4500\"}", "1"}}},
        {"quotes, backslashes and line feeds escaped",
         [](sdwan_t *c) {
             snprintf(c->conf.peer, sizeof c->conf.peer, "a\"b\\c\nd\re");
             snprintf(c->conf.tun_name, sizeof c->conf.tun_name, "t\"0");
         },
         {{"tolvad_peer_info{interface=\"t\\\"0\",peer=\"a\\\"b\\\\c\\nd\re\",address=\"198.51.100.7\",port=\"4500\"}",
           "1"}}},
    };
    static char buf[STATUS_BUF];
    for (const FormatCase &fc : cases) {
        sdwan_t c = data_record();
        fc.change(&c);
        const uint32_t n = status_format(&c, buf, sizeof buf);
        ASSERT_GT(n, 0u) << fc.name;
        const Exposition e = parse_exposition(std::string(buf, n));
        ASSERT_TRUE(e.ok) << fc.name << ": " << e.err;
        for (const auto &[key, value] : fc.want) {
            auto it = e.samples.find(key);
            ASSERT_NE(it, e.samples.end()) << fc.name << ": no " << key;
            EXPECT_EQ(it->second, value) << fc.name << ": " << key;
        }
        // Every counter that can move, whatever the state; the three that cannot are left out.
        for (const auto &[record, exported] : exported_counters())
            EXPECT_EQ(e.types.count("tolvad_" + exported.substr(0, exported.find(','))), 1u) << fc.name << ": " << record;
        for (const char *never : {"txdnscnt", "opencnt", "panic_token"})
            EXPECT_EQ(std::string(buf, n).find(never), std::string::npos) << fc.name << ": " << never;
        // 5 states, 4 more gauges and the default route's, 18 counters, 3 kernel refusals, 2
        // byte and 2 loss counters, the mismatched CLOSEs, the lines held back and the uplink
        // switches, the peer's silence, 5 round-trip series, the version, the start and the time.
        EXPECT_EQ(e.samples.size(), 5u + 5u + 18u + 3u + 4u + 3u + 1u + 5u + 3u) << fc.name;
    }
}

// With the routes key, one series per prefix says whether its route is in place; the file of the
// longest interface name and every prefix the key may list still fits the buffer.
TEST_F(StatusTest, SplitRoutesInstalledOrNot)
{
    static rtcfg_entry_t routes[SDWAN_ROUTES_MAX];
    static char buf[STATUS_BUF];
    struct {
        const char *name;
        uint32_t n;
        const char *ifname;
        std::vector<std::pair<std::string, std::string>> want;
    } const cases[] = {
        {"two prefixes, the second not in place", 2, "tun0",
         {{"tolvad_route_installed{interface=\"tun0\",prefix=\"10.93.0.0/24\"}", "1"},
          {"tolvad_route_installed{interface=\"tun0\",prefix=\"10.93.1.0/24\"}", "0"}}},
        {"every prefix the key may list", SDWAN_ROUTES_MAX, "tolv-longest-15",
         {{"tolvad_route_installed{interface=\"tolv-longest-15\",prefix=\"10.93.119.0/24\"}", "0"}}},
    };
    for (const auto &t : cases) {
        sdwan_t c = data_record();
        snprintf(c.conf.tun_name, sizeof c.conf.tun_name, "%s", t.ifname);
        for (uint32_t i = 0; i < t.n; i++) {
            routes[i] = rtcfg_entry_t{htonl(0x0a5d0000u | (i << 8)), 24, i + 1 < t.n ? &routes[i + 1] : nullptr};
            c.host.rtset[i] = i == 0 ? 1 : 0;
        }
        c.conf.rtcfg = &routes[0];
        c.conf.rtmode = SDWAN_RTMODE_SPLIT;
        const uint32_t n = status_format(&c, buf, sizeof buf);
        ASSERT_GT(n, 0u) << t.name;
        const Exposition e = parse_exposition(std::string(buf, n));
        ASSERT_TRUE(e.ok) << t.name << ": " << e.err;
        for (const auto &[key, value] : t.want) {
            auto it = e.samples.find(key);
            ASSERT_NE(it, e.samples.end()) << t.name << ": no " << key;
            EXPECT_EQ(it->second, value) << t.name << ": " << key;
        }
        // As the full tunnel's file, the default route's series replaced by one per prefix.
        EXPECT_EQ(e.samples.size(), 5u + 4u + 18u + 3u + 4u + 3u + 1u + 5u + 3u + t.n) << t.name;
        EXPECT_EQ(e.types.count("tolvad_default_route_installed"), 0u) << t.name;
    }
}

// The text between two families' HELP lines: from's series up to before the next family.
std::string between(const std::string &text, const std::string &from, const std::string &to)
{
    const size_t a = text.find("# HELP tolvad_" + from + " ");
    const size_t b = text.find("# HELP tolvad_" + to + " ");
    return a == std::string::npos || b == std::string::npos || b < a ? "" : text.substr(a, b - a);
}

// promtool's verdict on a file, or "" where it is not installed (scripts/deps.sh installs it).
std::string promtool_check(const std::string &text)
{
    if (system("command -v promtool >/dev/null 2>&1") != 0)
        return "";
    TempDir dir;
    const std::string path = dir / "s.prom";
    std::ofstream(path) << text;
    const std::string cmd = "promtool check metrics < '" + path + "' 2>&1";
    FILE *fp = popen(cmd.c_str(), "r");
    std::string out;
    char b[256];
    while (fp != nullptr && fgets(b, sizeof b, fp) != nullptr)
        out += b;
    const int rc = fp != nullptr ? pclose(fp) : -1;
    return rc == 0 ? "clean" : "rc " + std::to_string(rc) + ": " + out;
}

// With uplinks, the path series from the paths' records; without, none. The largest file (four
// paths of the longest names, every prefix of routes, sealed, every counter at its largest) fits
// the buffer and the reader of tolvactl show.
TEST_F(StatusTest, PathSeries)
{
    static rtcfg_entry_t routes[SDWAN_ROUTES_MAX];
    static char buf[STATUS_BUF];
    const auto two = [](sdwan_t *c) {
        c->conf.nuplinks = 2;
        snprintf(c->conf.uplinks[0].ifname, sizeof c->conf.uplinks[0].ifname, "eth0");
        snprintf(c->conf.uplinks[1].ifname, sizeof c->conf.uplinks[1].ifname, "wwan\"0");
        sdwan_path_t &a = c->paths.p[0], &b = c->paths.p[1];
        a.state = path_state::up;
        a.rtt = {20312, 20100, 18000, 2500000, 1250};
        a.loss = 3;
        a.heard = FakeClock::mono - 1500;
        a.probes_sent = 4000;
        a.probes_lost = 12;
        a.txpkts = 900;
        a.txbytes = 18446744073709551615u;
        a.rxpkts = 800;
        a.rxbytes = 640000;
        b.state = path_state::degraded;
        b.rtt = {61000, 60000, 55000, 90000, 4000};
        b.loss = 25;
        b.probes_sent = 4100;
        b.probes_lost = 1025;
        c->paths.n = 2;
        c->paths.active = 0;
        c->paths.moves = 3;
    };
    const std::string P = "{interface=\"tun0\",path=\"eth0\"";
    const std::string W = "{interface=\"tun0\",path=\"wwan\\\"0\"";
    const auto usec = [](const std::string &name, const std::string &help) { return family(name, "gauge", help); };
    const std::string two_want =
        family("path_state", "gauge", "1 for the path's current state, 0 for the others.") +
        "tolvad_path_state" + P + ",state=\"absent\"} 0\ntolvad_path_state" + P + ",state=\"down\"} 0\n"
        "tolvad_path_state" + P + ",state=\"up\"} 1\ntolvad_path_state" + P + ",state=\"degraded\"} 0\n"
        "tolvad_path_state" + W + ",state=\"absent\"} 0\ntolvad_path_state" + W + ",state=\"down\"} 0\n"
        "tolvad_path_state" + W + ",state=\"up\"} 0\ntolvad_path_state" + W + ",state=\"degraded\"} 1\n" +
        family("path_active", "gauge", "1 for the path that carries the session, 0 for the others.") +
        "tolvad_path_active" + P + "} 1\ntolvad_path_active" + W + "} 0\n" +
        usec("path_rtt_seconds", "Round-trip time of the path's last probe answered, 0 before the first.") +
        "tolvad_path_rtt_seconds" + P + "} 0.020312\ntolvad_path_rtt_seconds" + W + "} 0.061000\n" +
        usec("path_rtt_smoothed_seconds", "Smoothed round-trip time of the path's probes (moving average, gain 1/8).") +
        "tolvad_path_rtt_smoothed_seconds" + P + "} 0.020100\ntolvad_path_rtt_smoothed_seconds" + W + "} 0.060000\n" +
        usec("path_rtt_min_seconds", "Smallest round-trip time of the path's probes since start-up.") +
        "tolvad_path_rtt_min_seconds" + P + "} 0.018000\ntolvad_path_rtt_min_seconds" + W + "} 0.055000\n" +
        usec("path_rtt_max_seconds", "Largest round-trip time of the path's probes since start-up.") +
        "tolvad_path_rtt_max_seconds" + P + "} 2.500000\ntolvad_path_rtt_max_seconds" + W + "} 0.090000\n" +
        usec("path_jitter_seconds", "Mean deviation of consecutive round-trip times of the path's probes (gain 1/16).") +
        "tolvad_path_jitter_seconds" + P + "} 0.001250\ntolvad_path_jitter_seconds" + W + "} 0.004000\n" +
        usec("path_loss_ratio", "Share of the path's last 32 probes left unanswered.") +
        "tolvad_path_loss_ratio" + P + "} 0.03\ntolvad_path_loss_ratio" + W + "} 0.25\n" +
        usec("path_last_heard_seconds",
             "Seconds since the last datagram of the session came through the path; absent while none did.") +
        "tolvad_path_last_heard_seconds" + P + "} 0.001500\n" +
        family("path_probes_sent_total", "counter", "Probes sent through the path.") +
        "tolvad_path_probes_sent_total" + P + "} 4000\ntolvad_path_probes_sent_total" + W + "} 4100\n" +
        family("path_probes_lost_total", "counter", "Probes of the path left unanswered within their wait.") +
        "tolvad_path_probes_lost_total" + P + "} 12\ntolvad_path_probes_lost_total" + W + "} 1025\n" +
        family("path_sent_packets_total", "counter", "Datagrams of the session sent through the path.") +
        "tolvad_path_sent_packets_total" + P + "} 900\ntolvad_path_sent_packets_total" + W + "} 0\n" +
        family("path_sent_bytes_total", "counter", "Bytes of the session's datagrams sent through the path.") +
        "tolvad_path_sent_bytes_total" + P + "} 18446744073709551615\ntolvad_path_sent_bytes_total" + W + "} 0\n" +
        family("path_received_packets_total", "counter", "Datagrams of the session received through the path.") +
        "tolvad_path_received_packets_total" + P + "} 800\ntolvad_path_received_packets_total" + W + "} 0\n" +
        family("path_received_bytes_total", "counter", "Bytes of the session's datagrams received through the path.") +
        "tolvad_path_received_bytes_total" + P + "} 640000\ntolvad_path_received_bytes_total" + W + "} 0\n" +
        one("path_moves_total", "counter", "Moves of the session to another path.", "3");
    struct {
        const char *name;
        std::function<void(sdwan_t *)> fill;
        std::string want;  // the path families, between the round trip's and the build's
        size_t samples;    // path samples in the file
    } const cases[] = {
        {"no uplinks: records filled, no series", [&](sdwan_t *c) { two(c), c->conf.nuplinks = 0; }, "", 0},
        {"two paths, the first active, the second never heard", two, two_want, 8 + 2 + 5 * 2 + 2 + 1 + 6 * 2 + 1},
        {"the largest file",
         [&](sdwan_t *c) {
             snprintf(c->conf.tun_name, sizeof c->conf.tun_name, "tolv-longest-15");
             c->conf.peerkey_state = SDWAN_PEERKEY_SET;
             for (uint32_t i = 0; i < SDWAN_ROUTES_MAX; i++)
                 routes[i] = rtcfg_entry_t{htonl(0x0a5d0000u | (i << 8)), 24, i + 1 < SDWAN_ROUTES_MAX ? &routes[i + 1] : nullptr};
             c->conf.rtcfg = &routes[0];
             c->conf.rtmode = SDWAN_RTMODE_SPLIT;
             c->conf.nuplinks = SDWAN_PATHS_MAX;
             c->paths.moves = 4294967295u;
             for (uint32_t i = 0; i < SDWAN_PATHS_MAX; i++) {
                 snprintf(c->conf.uplinks[i].ifname, sizeof c->conf.uplinks[i].ifname, "uplink-name-%03u", i);
                 sdwan_path_t &p = c->paths.p[i];
                 p.rtt = {4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u};
                 p.loss = 100;
                 p.heard = 1;
                 p.probes_sent = p.probes_lost = p.txpkts = p.txbytes = p.rxpkts = p.rxbytes = 18446744073709551615u;
             }
         },
         "", 4 * (4 + 1 + 5 + 1 + 1 + 6) + 1},
    };
    for (const auto &t : cases) {
        sdwan_t c = data_record();
        t.fill(&c);
        const uint32_t n = status_format(&c, buf, sizeof buf);
        ASSERT_GT(n, 0u) << t.name;
        const std::string text(buf, n);
        const Exposition e = parse_exposition(text);
        ASSERT_TRUE(e.ok) << t.name << ": " << e.err;
        if (!t.want.empty()) {
            EXPECT_EQ(between(text, "path_state", "build_info"), t.want) << t.name;
        }
        size_t paths = 0;
        for (const auto &[key, value] : e.samples)
            paths += key.rfind("tolvad_path_", 0) == 0 ? 1 : 0;
        EXPECT_EQ(paths, t.samples) << t.name;
        const std::string verdict = promtool_check(text);
        EXPECT_TRUE(verdict == "clean" || verdict.empty()) << t.name << ": " << verdict;
        // tolvactl show reads it whole: every path in its table.
        TempDir dir;
        std::ofstream(dir / "s.prom") << text;
        char *ob = nullptr;
        size_t ol = 0;
        FILE *out = open_memstream(&ob, &ol);
        EXPECT_EQ(ctl_show_at((dir / "s.prom").c_str(), true, 1700000000, out, stderr), 0) << t.name;
        fclose(out);
        const std::string shown(ob, ol);
        free(ob);
        for (uint32_t i = 0; i < c.conf.nuplinks; i++) {
            std::string name = c.conf.uplinks[i].ifname;
            if (size_t q = name.find('"'); q != std::string::npos)
                name.insert(q, "\\");
            EXPECT_NE(shown.find("{\"name\":\"" + name + "\""), std::string::npos) << t.name << ": " << shown;
        }
    }
}

TEST_F(StatusTest, OneLineForTheServiceManager)
{
    struct TextCase {
        const char *name;
        void (*change)(sdwan_t *);
        const char *want;
    };
    const TextCase cases[] = {
        {"established, no delay yet", [](sdwan_t *) {}, "DATA, peer vpn.example.net (198.51.100.7:4500), address 10.8.0.2"},
        {"established, smoothed delay",
         [](sdwan_t *c) { c->rtt.usec = {5000, 900, 5000, 1234, 3}; },
         "DATA, peer vpn.example.net (198.51.100.7:4500), address 10.8.0.2, rtt 1.2 ms"},
        {"below a tenth of a millisecond",
         [](sdwan_t *c) { c->rtt.usec = {80, 80, 80, 80, 1}; },
         "DATA, peer vpn.example.net (198.51.100.7:4500), address 10.8.0.2, rtt 0.0 ms"},
        {"peer by address",
         [](sdwan_t *c) {
             c->conf.peerdomain[0] = 0;
             c->sess.state = SDWANCLNT_AUTH;
         },
         "AUTH, peer 198.51.100.7:4500"},
        {"resolving",
         [](sdwan_t *c) {
             c->sess.state = SDWANCLNT_DNS;
             c->sess.peerip = 0;
         },
         "DNS, peer vpn.example.net (resolving)"},
        {"resolved, about to authenticate", [](sdwan_t *c) { c->sess.state = SDWANCLNT_INIT; },
         "INIT, peer vpn.example.net (198.51.100.7:4500)"},
        {"closed", [](sdwan_t *c) { c->sess.state = SDWANCLNT_CLOSED; }, "CLOSED, peer vpn.example.net (198.51.100.7:4500)"},
        {"waiting for a route to the peer",
         [](sdwan_t *c) {
             c->conf.peerdomain[0] = 0;
             c->sess.state = SDWANCLNT_INIT;
             c->host.routewait = true;
         },
         "INIT, peer 198.51.100.7:4500, waiting for a route to the peer"},
        {"waiting for a route to the resolver",
         [](sdwan_t *c) {
             c->sess.state = SDWANCLNT_DNS;
             c->sess.peerip = 0;
             c->host.routewait = true;
         },
         "DNS, peer vpn.example.net (resolving), waiting for a route to the resolver"},
        {"configuration rejected", [](sdwan_t *c) { c->conf.peerport = 0; }, "No session: the configuration is not valid"},
    };
    for (const TextCase &tc : cases) {
        sdwan_t c = data_record();
        tc.change(&c);
        char text[256];
        status_text(&c, text, sizeof text);
        EXPECT_STREQ(text, tc.want) << tc.name;
    }
    // Cut, never overrun.
    sdwan_t c = data_record();
    char small[8];
    memset(small, 'x', sizeof small);
    status_text(&c, small, sizeof small);
    EXPECT_STREQ(small, "DATA, p");
}

// ---- the file ----

TEST_F(StatusTest, PathAndItsTemporaryTwinMustFit)
{
    // ".tmpXXXXXX" and the terminator: 11 bytes.
    sdwan_t c = data_record();
    EXPECT_EQ(status_set_path(&c, std::string(STATUS_PATH_MAX - 11, 'a').c_str()), 0);
    EXPECT_EQ(std::string(status_path(&c)).size(), STATUS_PATH_MAX - 11);
    EXPECT_EQ(status_set_path(&c, std::string(STATUS_PATH_MAX - 10, 'a').c_str()), -1);
    EXPECT_STREQ(status_path(&c), "") << "a path that does not fit turns the file off";
    EXPECT_EQ(status_write(&c), 0) << "nothing to write is no failure";
}

// A reader holding the old file keeps reading the old file whole: the new one is a new inode
// put in place by rename, never the old one rewritten. A reader opening the path meanwhile
// always finds a whole file.
TEST_F(StatusTest, ReplacedAtomicallyByRename)
{
    TempDir dir;
    const std::string path = dir / "tolvad.prom";
    sdwan_t c = data_record();
    ASSERT_EQ(status_set_path(&c, path.c_str()), 0);

    const mode_t mask = umask(0);
    umask(mask);
    ASSERT_EQ(status_write(&c), 0);
    for (uint32_t i = 1; i <= 5; i++) {
        const int old = open(path.c_str(), O_RDONLY);
        ASSERT_GE(old, 0);
        struct stat before{};
        ASSERT_EQ(fstat(old, &before), 0);
        EXPECT_EQ(before.st_mode & 0777, 0644u & ~mask) << "readable by a collector running as another user";
        const std::string old_text = read_fd(old);

        c.count.stats.sock_rxpkts = 5000 + i;
        ASSERT_EQ(status_write(&c), 0);
        struct stat after{};
        ASSERT_EQ(stat(path.c_str(), &after), 0);
        EXPECT_NE(after.st_ino, before.st_ino) << "write " << i << " rewrote the file in place";
        EXPECT_EQ(read_fd(old), old_text) << "the old file changed under its reader";
        EXPECT_NE(slurp(path).find("tolvad_peer_datagrams_total{interface=\"tun0\"} " + std::to_string(5000 + i) + "\n"),
                  std::string::npos);
        close(old);
        EXPECT_EQ(dir_entries(dir.path()), Lines{"tolvad.prom"}) << "temporary file left behind";
    }

    // A reader racing a writer: every read is a whole file.
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::string bad;
    std::thread reader([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!stop.load() && std::chrono::steady_clock::now() < end) {
            const std::string t = slurp(path);
            const Exposition e = parse_exposition(t);
            if (!e.ok || e.samples.size() != 47) {
                bad = e.ok ? "incomplete file" : e.err;
                return;
            }
            reads++;
        }
    });
    for (uint32_t i = 0; i < 600 && bad.empty(); i++) {
        c.count.stats.tun_rxpkts = i;
        c.count.stats.sock_txpkts = i * 1000003u;  // lengths vary from one write to the next
        ASSERT_EQ(status_write(&c), 0);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(bad, "");
    EXPECT_GT(reads.load(), 0);
}

TEST_F(StatusTest, WriteFailuresAreLoggedOncePerFault)
{
    LogCapture log;
    TempDir dir;
    const std::string sub = dir / "run";
    const std::string path = sub + "/tolvad.prom";
    sdwan_t c = data_record();
    ASSERT_EQ(status_set_path(&c, path.c_str()), 0);

    errno = 0;
    EXPECT_EQ(status_write(&c), -1);
    EXPECT_EQ(errno, ENOENT);
    status_tick(&c);
    status_tick(&c);
    EXPECT_EQ(log.take(), Lines{"Failed to write status file " + path + ": No such file or directory"});

    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    status_tick(&c);
    EXPECT_EQ(log.take(), Lines{});
    EXPECT_TRUE(parse_exposition(slurp(path)).ok);

    // A directory in the way of the rename: a new fault, logged again.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    status_tick(&c);
    status_tick(&c);
    EXPECT_EQ(log.take(), Lines{"Failed to write status file " + path + ": Is a directory"});
    EXPECT_EQ(dir_entries(sub), Lines{"tolvad.prom"}) << "temporary file left behind";
    ASSERT_EQ(rmdir(path.c_str()), 0);

    status_tick(&c);
    EXPECT_EQ(log.take(), Lines{});
    status_deinit(&c);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the file outlived the daemon";
}

// Things planted where the writer works, in a directory others may write to: a FIFO or a link at
// the old temporary name is never opened (a FIFO would block the loop, and the exit with it), a
// link at the path itself is replaced, not followed. Whatever the run did not write, the
// shutdown leaves.
TEST_F(StatusTest, PlantedFilesAreNeitherOpenedNorRemoved)
{
    LogCapture log;
    TempDir dir;
    const std::string path = dir / "tolvad.prom", target = dir / "target";
    struct {
        const char *name;
        std::string planted;
        bool fifo;
    } cases[] = {
        {"FIFO at the temporary name", path + ".tmp", true},
        {"link at the temporary name", path + ".tmp", false},
        {"link at the path", path, false},
    };
    for (const auto &c : cases) {
        std::filesystem::remove(path);
        std::filesystem::remove(path + ".tmp");
        std::ofstream(target) << "root's own file\n";
        ASSERT_EQ(c.fifo ? mkfifo(c.planted.c_str(), 0666) : symlink(target.c_str(), c.planted.c_str()), 0) << c.name;
        sdwan_t rec = data_record();
        ASSERT_EQ(status_set_path(&rec, path.c_str()), 0);
        const auto t0 = std::chrono::steady_clock::now();
        status_tick(&rec);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1)) << c.name;
        EXPECT_EQ(log.take(), Lines{}) << c.name;
        EXPECT_EQ(slurp(target), "root's own file\n") << c.name;
        struct stat st{};
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << c.name;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << c.name;
        EXPECT_TRUE(parse_exposition(slurp(path)).ok) << c.name;
        status_deinit(&rec);
        EXPECT_NE(access(path.c_str(), F_OK), 0) << c.name;
        if (c.planted != path) {
            EXPECT_EQ(lstat(c.planted.c_str(), &st), 0) << c.name << ": removed what the run did not make";
        }
    }
    // Nothing written: nothing removed.
    std::ofstream(path) << "someone else's\n";
    sdwan_t rec = data_record();
    ASSERT_EQ(status_set_path(&rec, path.c_str()), 0);
    status_deinit(&rec);
    EXPECT_EQ(slurp(path), "someone else's\n");
}

// ---- a scripted session ----

class StatusSessionTest : public ClientNetnsTest {
protected:
    void SetUp() override
    {
        FakeClock::mono = 7000000;
        ClientNetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(open_tun());
        path_ = dir_ / "tolvad.prom";
        ASSERT_EQ(status_set_path(clnt, path_.c_str()), 0);
        log->take();
    }
    std::map<std::string, std::string> scrape()
    {
        const Exposition e = parse_exposition(slurp(path_));
        EXPECT_TRUE(e.ok) << e.err;
        return e.samples;
    }
    // The exported counters as the file shows them, by the record's names.
    std::map<std::string, std::string> counters()
    {
        std::map<std::string, std::string> all = scrape(), out;
        for (const auto &[record, exported] : exported_counters())
            out[record] = all[counter_key(exported, "tolva0")];
        return out;
    }
    static std::map<std::string, std::string> counters_with(std::map<std::string, std::string> nonzero)
    {
        std::map<std::string, std::string> out;
        for (const auto &[record, exported] : exported_counters())
            out[record] = nonzero.count(record) != 0 ? nonzero[record] : "0";
        return out;
    }
    TempDir dir_;
    std::string path_;
};

TEST_F(StatusSessionTest, FileFollowsTheSession)
{
    set_peer_quiet();
    const std::string port = std::to_string(peer->port());
    const std::string peer_info = "tolvad_peer_info{interface=\"tolva0\",peer=\"127.0.0.1\",address=\"127.0.0.1\",port=\"" + port + "\"}";

    tick();  // INIT -> AUTH, the file's first write
    auto s = scrape();
    EXPECT_EQ(s["tolvad_session_state{interface=\"tolva0\",state=\"AUTH\"}"], "1");
    EXPECT_EQ(s["tolvad_session_established_timestamp_seconds{interface=\"tolva0\"}"], "0");
    EXPECT_EQ(s[peer_info], "1");
    EXPECT_EQ(s["tolvad_tunnel_info{interface=\"tolva0\",address=\"\",gateway=\"\",cipher=\"none\"}"], "1");

    // Two ticks after INIT the OPEN goes out; the OPENACK arrives at CLIENT_T0 + 2.
    tick();
    ASSERT_FALSE(peer->recv().empty());
    const Bytes opts = ScriptPeer::cat({ScriptPeer::opt_mtu(1400), ScriptPeer::opt_ip(str2ip("10.200.0.5")),
                                        ScriptPeer::opt_gateway(str2ip("10.200.0.1"))});
    ASSERT_TRUE(peer->send_and_deliver(clnt, ScriptPeer::openack(0x0102, 0x0A0B0C0D, opts)));
    ASSERT_EQ(clnt->sess.state, SDWANCLNT_DATA);

    tick();  // CLIENT_T0 + 3: the first echo request, then the file
    const Bytes req = peer->recv();
    ASSERT_EQ(req.size(), 44u);
    s = scrape();
    EXPECT_EQ(s["tolvad_session_state{interface=\"tolva0\",state=\"DATA\"}"], "1");
    EXPECT_EQ(s["tolvad_session_established_timestamp_seconds{interface=\"tolva0\"}"], std::to_string(CLIENT_T0 + 2));
    EXPECT_EQ(s["tolvad_tunnel_info{interface=\"tolva0\",address=\"10.200.0.5\",gateway=\"10.200.0.1\",cipher=\"none\"}"], "1");
    EXPECT_EQ(s["tolvad_rtt_samples_total{interface=\"tolva0\"}"], "0");

    // 1.5 ms of real time pass before the answer; the counter-based tick moves by something
    // else entirely, which must not matter.
    FakeClock::mono += 1500;
    FakeClock::usec += 999999;
    ASSERT_TRUE(peer->send_and_deliver(clnt, ScriptPeer::echoresp(ld_le64(req.data() + 24), 0x0102, 0x0A0B0C0D)));
    // A response to a request never sent: counted by the echo, no sample.
    ASSERT_TRUE(peer->send_and_deliver(clnt, ScriptPeer::echoresp(12345, 0x0102, 0x0A0B0C0D)));
    ASSERT_TRUE(peer->send_and_deliver(clnt, ScriptPeer::control(99, 0x0102, 0x0A0B0C0D)));

    tick();  // CLIENT_T0 + 4
    s = scrape();
    EXPECT_EQ(s["tolvad_rtt_current_seconds{interface=\"tolva0\"}"], "0.001500");
    EXPECT_EQ(s["tolvad_rtt_min_seconds{interface=\"tolva0\"}"], "0.001500");
    EXPECT_EQ(s["tolvad_rtt_max_seconds{interface=\"tolva0\"}"], "0.001500");
    EXPECT_EQ(s["tolvad_rtt_smoothed_seconds{interface=\"tolva0\"}"], "0.001500");
    EXPECT_EQ(s["tolvad_rtt_samples_total{interface=\"tolva0\"}"], "1");
    EXPECT_EQ(counters(), counters_with({{"sock_rxpkts", "4"}, {"openackcnt", "1"}, {"echoreqcnt", "1"}, {"echorespcnt", "2"},
                                         {"panic_pkttype", "1"}}));

    tick();  // CLIENT_T0 + 5: the second request, answered after 700 us
    const Bytes req2 = peer->recv();
    ASSERT_EQ(req2.size(), 44u);
    FakeClock::mono += 700;
    ASSERT_TRUE(peer->send_and_deliver(clnt, ScriptPeer::echoresp(ld_le64(req2.data() + 24), 0x0102, 0x0A0B0C0D)));
    tick();
    s = scrape();
    EXPECT_EQ(s["tolvad_rtt_current_seconds{interface=\"tolva0\"}"], "0.000700");
    EXPECT_EQ(s["tolvad_rtt_min_seconds{interface=\"tolva0\"}"], "0.000700");
    EXPECT_EQ(s["tolvad_rtt_max_seconds{interface=\"tolva0\"}"], "0.001500");
    EXPECT_EQ(s["tolvad_rtt_smoothed_seconds{interface=\"tolva0\"}"], "0.001400");
    EXPECT_EQ(s["tolvad_rtt_samples_total{interface=\"tolva0\"}"], "2");

    // The peer closes; the next tick starts over.
    ASSERT_TRUE(peer->send_and_deliver(clnt, ScriptPeer::close_pkt(0x0102, 0x0A0B0C0D)));
    tick();
    s = scrape();
    EXPECT_EQ(s["tolvad_session_state{interface=\"tolva0\",state=\"INIT\"}"], "1");
    EXPECT_EQ(s["tolvad_session_established_timestamp_seconds{interface=\"tolva0\"}"], "0");
    EXPECT_EQ(counters(), counters_with({{"sock_rxpkts", "6"}, {"openackcnt", "1"}, {"echoreqcnt", "2"}, {"echorespcnt", "3"},
                                         {"closedcnt", "1"}, {"panic_pkttype", "1"}}));

    status_deinit(clnt);
    EXPECT_NE(access(path_.c_str(), F_OK), 0);
}

}  // namespace
