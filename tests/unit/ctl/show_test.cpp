// tolvactl show: a status file read back for a person and as JSON.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "ctl/ctl.h"
#include "support/tempdir.h"

namespace {

// A file as the daemon writes it in an established session, the HELP and TYPE lines left out:
// the reader skips them.
const std::string DATA_FILE =
    "tolvad_session_state{interface=\"tolva0\",state=\"DNS\"} 0\n"
    "tolvad_session_state{interface=\"tolva0\",state=\"INIT\"} 0\n"
    "tolvad_session_state{interface=\"tolva0\",state=\"AUTH\"} 0\n"
    "tolvad_session_state{interface=\"tolva0\",state=\"DATA\"} 1\n"
    "tolvad_session_state{interface=\"tolva0\",state=\"CLOSED\"} 0\n"
    "tolvad_session_established_timestamp_seconds{interface=\"tolva0\"} 1700000000\n"
    "tolvad_peer_info{interface=\"tolva0\",peer=\"vpn.example.net\",address=\"192.0.2.1\",port=\"4500\"} 1\n"
    "tolvad_tunnel_info{interface=\"tolva0\",address=\"10.8.0.2\",gateway=\"10.8.0.1\",cipher=\"xor\"} 1\n"
    "tolvad_tunnel_mtu_bytes{interface=\"tolva0\"} 1400\n"
    "tolvad_tunnel_transmit_packets_total{interface=\"tolva0\"} 2345\n"
    "tolvad_tunnel_transmit_bytes_total{interface=\"tolva0\"} 3565158\n"
    "tolvad_tunnel_receive_packets_total{interface=\"tolva0\"} 1234\n"
    "tolvad_tunnel_receive_bytes_total{interface=\"tolva0\"} 999\n"
    "tolvad_session_resets_total{interface=\"tolva0\",reason=\"auth_timeout\"} 2\n"
    "tolvad_session_resets_total{interface=\"tolva0\",reason=\"rejected\"} 0\n"
    "tolvad_session_resets_total{interface=\"tolva0\",reason=\"peer_silent\"} 1\n"
    "tolvad_session_resets_total{interface=\"tolva0\",reason=\"closed\"} 0\n"
    "tolvad_rtt_current_seconds{interface=\"tolva0\"} 0.001234\n"
    "tolvad_rtt_min_seconds{interface=\"tolva0\"} 0.0009\n"
    "tolvad_rtt_max_seconds{interface=\"tolva0\"} 0.0031\n"
    "tolvad_rtt_smoothed_seconds{interface=\"tolva0\"} 0.0013\n"
    "tolvad_rtt_samples_total{interface=\"tolva0\"} 7\n"
    "tolvad_status_time_seconds{interface=\"tolva0\"} 1700000192\n";
// The same session, sealed.
const std::string SEALED_FILE = [] {
    std::string f = DATA_FILE;
    const std::string xor_label = "cipher=\"xor\"";
    f.replace(f.find(xor_label), xor_label.size(), "cipher=\"sealed\"");
    return f;
}();

// Split routes, one in place and one not.
const std::string SPLIT_FILE = DATA_FILE +
                               "tolvad_route_installed{interface=\"tolva0\",prefix=\"10.93.0.0/24\"} 1\n"
                               "tolvad_route_installed{interface=\"tolva0\",prefix=\"172.16.0.0/12\"} 0\n";

// Moved off its preferred uplink twice.
const std::string SWITCHED_FILE = DATA_FILE + "tolvad_uplink_switches_total{interface=\"tolva0\"} 2\n";

// Authenticating, nothing measured yet; a peer label holding an escaped quote.
const std::string AUTH_FILE =
    "# HELP tolvad_session_state Session state.\n"
    "tolvad_session_state{interface=\"tolva0\",state=\"DATA\"} 0\n"
    "tolvad_session_state{interface=\"tolva0\",state=\"AUTH\"} 1\n"
    "tolvad_session_established_timestamp_seconds{interface=\"tolva0\"} 0\n"
    "tolvad_peer_info{interface=\"tolva0\",peer=\"odd\\\"name\",address=\"0.0.0.0\",port=\"4500\"} 1\n"
    "tolvad_tunnel_info{interface=\"tolva0\",address=\"0.0.0.0\",gateway=\"0.0.0.0\",cipher=\"none\"} 1\n"
    "tolvad_status_time_seconds{interface=\"tolva0\"} 1700000100\n";

// The server's file: two sessions, one sealed, a user name with a blank.
const std::string PEER_FILE =
    "# sdwan-peerd status: the server, then one line per live session\n"
    "server version=2025.03.13 start=1699990000 time=1700000192 sessions=2 max=1024 interface=sdwt0 "
    "listen=0.0.0.0:4500\n"
    "session endpoint=198.51.100.7:40001 address=10.8.0.2 kind=legacy since=1700000000 heard=1700000190 "
    "rx_packets=1234 rx_bytes=999 tx_packets=2345 tx_bytes=3565158 user=alice\n"
    "session endpoint=203.0.113.9:5000 address=10.8.1.50 kind=sealed since=1699996400 heard=1700000192 "
    "rx_packets=0 rx_bytes=0 tx_packets=1 tx_bytes=84 user=bob \"b\"\n"
    // Cut short before its line end: not whole, left out.
    "session endpoint=192.0.2.1:1 address=10.8.0.3 kind=legacy since=1 heard=1 rx_packets=0";

struct ShowRun {
    int rc;
    std::string out, err;
};

ShowRun show(const std::string &path, bool json, double now)
{
    char *ob = nullptr, *eb = nullptr;
    size_t ol = 0, el = 0;
    FILE *out = open_memstream(&ob, &ol);
    FILE *err = open_memstream(&eb, &el);
    ShowRun r;
    r.rc = ctl_show_at(path.c_str(), json, now, out, err);
    fclose(out);
    fclose(err);
    r.out.assign(ob, ol);
    r.err.assign(eb, el);
    free(ob);
    free(eb);
    return r;
}

void write(const std::string &path, const std::string &text)
{
    FILE *fp = fopen(path.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    fputs(text.c_str(), fp);
    fclose(fp);
}

// Three uplinks: the first carries the session, the second lost a quarter of its probes and was
// never heard, the third's interface is gone.
const std::string PATHS_FILE =
    DATA_FILE +
    "tolvad_path_state{interface=\"tolva0\",path=\"eth0\",state=\"down\"} 0\n"
    "tolvad_path_state{interface=\"tolva0\",path=\"eth0\",state=\"up\"} 1\n"
    "tolvad_path_state{interface=\"tolva0\",path=\"wwan0\",state=\"up\"} 0\n"
    "tolvad_path_state{interface=\"tolva0\",path=\"wwan0\",state=\"degraded\"} 1\n"
    "tolvad_path_state{interface=\"tolva0\",path=\"lte0\",state=\"absent\"} 1\n"
    "tolvad_path_active{interface=\"tolva0\",path=\"eth0\"} 1\n"
    "tolvad_path_active{interface=\"tolva0\",path=\"wwan0\"} 0\n"
    "tolvad_path_active{interface=\"tolva0\",path=\"lte0\"} 0\n"
    "tolvad_path_rtt_seconds{interface=\"tolva0\",path=\"eth0\"} 0.020312\n"
    "tolvad_path_rtt_seconds{interface=\"tolva0\",path=\"wwan0\"} 0.061000\n"
    "tolvad_path_rtt_seconds{interface=\"tolva0\",path=\"lte0\"} 0.000000\n"
    "tolvad_path_rtt_smoothed_seconds{interface=\"tolva0\",path=\"eth0\"} 0.020100\n"
    "tolvad_path_rtt_smoothed_seconds{interface=\"tolva0\",path=\"wwan0\"} 0.060000\n"
    "tolvad_path_rtt_min_seconds{interface=\"tolva0\",path=\"eth0\"} 0.018000\n"
    "tolvad_path_rtt_min_seconds{interface=\"tolva0\",path=\"wwan0\"} 0.055000\n"
    "tolvad_path_rtt_max_seconds{interface=\"tolva0\",path=\"eth0\"} 2.500000\n"
    "tolvad_path_rtt_max_seconds{interface=\"tolva0\",path=\"wwan0\"} 0.090000\n"
    "tolvad_path_rtt_max_seconds{interface=\"tolva0\",path=\"lte0\"} 0.000000\n"
    "tolvad_path_jitter_seconds{interface=\"tolva0\",path=\"eth0\"} 0.001250\n"
    "tolvad_path_jitter_seconds{interface=\"tolva0\",path=\"wwan0\"} 0.004000\n"
    "tolvad_path_loss_ratio{interface=\"tolva0\",path=\"eth0\"} 0.03\n"
    "tolvad_path_loss_ratio{interface=\"tolva0\",path=\"wwan0\"} 0.25\n"
    "tolvad_path_loss_ratio{interface=\"tolva0\",path=\"lte0\"} 0.00\n"
    "tolvad_path_last_heard_seconds{interface=\"tolva0\",path=\"eth0\"} 2.500000\n"
    "tolvad_path_probes_sent_total{interface=\"tolva0\",path=\"eth0\"} 4000\n"
    "tolvad_path_probes_sent_total{interface=\"tolva0\",path=\"wwan0\"} 4100\n"
    "tolvad_path_probes_lost_total{interface=\"tolva0\",path=\"eth0\"} 12\n"
    "tolvad_path_probes_lost_total{interface=\"tolva0\",path=\"wwan0\"} 1025\n"
    "tolvad_path_sent_packets_total{interface=\"tolva0\",path=\"eth0\"} 900\n"
    "tolvad_path_sent_bytes_total{interface=\"tolva0\",path=\"eth0\"} 1200000\n"
    "tolvad_path_received_packets_total{interface=\"tolva0\",path=\"eth0\"} 800\n"
    "tolvad_path_received_bytes_total{interface=\"tolva0\",path=\"eth0\"} 640000\n"
    "tolvad_path_moves_total{interface=\"tolva0\"} 3\n";

// What most rows show: the established session, for a person and as JSON.
const std::string DATA_TEXT =
    "interface: tolva0\n"
    "  state: DATA since 2023-11-14 22:13:20 UTC (3m 13s)\n"
    "  peer: vpn.example.net (192.0.2.1) port 4500\n"
    "  address: 10.8.0.2/24, gateway 10.8.0.1, mtu 1400\n"
    "  cipher: payload enciphered (XOR, 8-byte key)\n"
    "  round trip: 1.234 ms now, min 0.900 ms, max 3.100 ms, smoothed 1.300 ms\n"
    "  transfer: 999 B received (1234 packets), 3.40 MiB sent (2345 packets)\n"
    "  resets: authentication unanswered 2, peer silent 1\n"
    "  status file: @, written 2023-11-14 22:16:32 UTC (1s ago)\n";
const std::string DATA_JSON =
    "{\"interface\":\"tolva0\",\"state\":\"DATA\",\"since\":1700000000,\"peer\":{\"name\":\"vpn.example.net\","
    "\"address\":\"192.0.2.1\",\"port\":4500},\"address\":\"10.8.0.2\",\"gateway\":\"10.8.0.1\",\"mtu\":1400,"
    "\"cipher\":\"xor\",\"rtt_seconds\":{\"current\":0.001234,\"min\":0.000900,\"max\":0.003100,"
    "\"smoothed\":0.001300,\"samples\":7},\"received\":{\"packets\":1234,\"bytes\":999},"
    "\"sent\":{\"packets\":2345,\"bytes\":3565158},\"resets\":{\"auth_timeout\":2,\"rejected\":0,"
    "\"peer_silent\":1,\"closed\":0},\"routes\":[],\"paths\":[],\"path_moves\":0,\"status_time\":1700000192,"
    "\"stale\":false}\n";

struct ShowCase {
    const char *name;
    const std::string *file;
    bool json;
    double now;
    std::string want;  // "@" stands for the file's path
    std::vector<std::pair<std::string, std::string>> edits;  // in turn, the first `from` of want becomes `to`
    int rc = 0;
};

TEST(CtlShow, StatusFilesForAPersonAndForScripts)
{
    const ShowCase cases[] = {
        {"established", &DATA_FILE, false, 1700000193, DATA_TEXT, {}},
        {"sealed", &SEALED_FILE, false, 1700000193, DATA_TEXT,
         {{"payload enciphered (XOR, 8-byte key)", "sealed, ChaCha20-Poly1305"}}},
        {"switched uplinks", &SWITCHED_FILE, false, 1700000193, DATA_TEXT,
         {{"  status file:", "  uplink switches: 2 (the peer was unreachable through a default route)\n  status file:"}}},
        {"authenticating, and a file gone stale", &AUTH_FILE, false, 1700000200,
         "interface: tolva0\n"
         "  state: AUTH\n"
         "  peer: odd\"name port 4500\n"
         "  address: none yet\n"
         "  cipher: none\n"
         "  round trip: not measured yet\n"
         "  transfer: 0 B received (0 packets), 0 B sent (0 packets)\n"
         "  resets: none\n"
         "  status file: @, written 2023-11-14 22:15:00 UTC (1m 40s ago): stale, the daemon is not running or not "
         "writing\n",
         {},
         3},
        {"json", &DATA_FILE, true, 1700000193, DATA_JSON, {}},
        {"json of a stale file", &AUTH_FILE, true, 1700000200,
         "{\"interface\":\"tolva0\",\"state\":\"AUTH\",\"since\":null,\"peer\":{\"name\":\"odd\\\"name\","
         "\"address\":\"0.0.0.0\",\"port\":4500},\"address\":\"0.0.0.0\",\"gateway\":\"0.0.0.0\",\"mtu\":0,"
         "\"cipher\":\"none\",\"rtt_seconds\":{\"current\":0.000000,\"min\":0.000000,\"max\":0.000000,"
         "\"smoothed\":0.000000,\"samples\":0},\"received\":{\"packets\":0,\"bytes\":0},"
         "\"sent\":{\"packets\":0,\"bytes\":0},\"resets\":{\"auth_timeout\":0,\"rejected\":0,"
         "\"peer_silent\":0,\"closed\":0},\"routes\":[],\"paths\":[],\"path_moves\":0,\"status_time\":1700000100,"
         "\"stale\":true}\n",
         {},
         3},
        {"split routes", &SPLIT_FILE, false, 1700000193, DATA_TEXT,
         {{"  cipher:", "  routes: 10.93.0.0/24 installed, 172.16.0.0/12 not installed\n  cipher:"}}},
        {"split routes, json", &SPLIT_FILE, true, 1700000193, DATA_JSON,
         {{"\"routes\":[]", "\"routes\":[{\"prefix\":\"10.93.0.0/24\",\"installed\":true},"
                            "{\"prefix\":\"172.16.0.0/12\",\"installed\":false}]"}}},
        {"three writes old: still fresh", &DATA_FILE, true, 1700000195, DATA_JSON, {}},
        {"paths", &PATHS_FILE, false, 1700000193, DATA_TEXT,
         {{"(1s ago)\n",
           "(1s ago)\n"
           "\n"
           "path              state     rtt ms    srtt ms   min ms    max ms    jitter ms loss  heard\n"
           "* eth0            up        20.312    20.100    18.000    2500.000  1.250     3%    2s ago\n"
           "  wwan0           degraded  61.000    60.000    55.000    90.000    4.000     25%   never\n"
           "  lte0            absent    -         -         -         -         -         0%    never\n"
           "(* carries the session; path moves since start-up: 3)\n"}}},
        {"paths, json", &PATHS_FILE, true, 1700000193, DATA_JSON,
         {{"\"paths\":[],\"path_moves\":0",
           "\"paths\":[{\"name\":\"eth0\",\"state\":\"up\",\"active\":true,\"rtt_seconds\":{\"current\":0.020312,"
           "\"smoothed\":0.020100,\"min\":0.018000,\"max\":2.500000,\"jitter\":0.001250},\"loss_ratio\":0.03,"
           "\"last_heard_seconds\":2.500000,\"probes\":{\"sent\":4000,\"lost\":12},\"received\":{\"packets\":800,"
           "\"bytes\":640000},\"sent\":{\"packets\":900,\"bytes\":1200000}},"
           "{\"name\":\"wwan0\",\"state\":\"degraded\",\"active\":false,\"rtt_seconds\":{\"current\":0.061000,"
           "\"smoothed\":0.060000,\"min\":0.055000,\"max\":0.090000,\"jitter\":0.004000},\"loss_ratio\":0.25,"
           "\"last_heard_seconds\":null,\"probes\":{\"sent\":4100,\"lost\":1025},\"received\":{\"packets\":0,"
           "\"bytes\":0},\"sent\":{\"packets\":0,\"bytes\":0}},"
           "{\"name\":\"lte0\",\"state\":\"absent\",\"active\":false,\"rtt_seconds\":{\"current\":0.000000,"
           "\"smoothed\":0.000000,\"min\":0.000000,\"max\":0.000000,\"jitter\":0.000000},\"loss_ratio\":0.00,"
           "\"last_heard_seconds\":null,\"probes\":{\"sent\":0,\"lost\":0},\"received\":{\"packets\":0,"
           "\"bytes\":0},\"sent\":{\"packets\":0,\"bytes\":0}}],\"path_moves\":3"}}},
        {"the server's sessions", &PEER_FILE, false, 1700000193,
         "server: sdwan-peerd 2025.03.13, interface sdwt0, UDP 0.0.0.0:4500\n"
         "  started: 2023-11-14 19:26:40 UTC (2h 49m)\n"
         "  sessions: 2 of 1024\n"
         "  status file: @, written 2023-11-14 22:16:32 UTC (1s ago)\n"
         "\n"
         "user             endpoint              address         kind   up       heard  received (packets)       sent (packets)\n"
         "alice            198.51.100.7:40001    10.8.0.2        legacy 3m 13s   3s     999 B (1234)             3.40 MiB (2345)\n"
         "bob \"b\"          203.0.113.9:5000      10.8.1.50       sealed 1h 3m    1s     0 B (0)                  84 B (1)\n", {}},
        {"the server's sessions, json", &PEER_FILE, true, 1700000193,
         "{\"daemon\":\"sdwan-peerd\",\"version\":\"2025.03.13\",\"interface\":\"sdwt0\",\"listen\":{\"address\":"
         "\"0.0.0.0\",\"port\":4500},\"start_time\":1699990000,\"sessions_max\":1024,\"sessions\":["
         "{\"user\":\"alice\",\"endpoint\":{\"address\":\"198.51.100.7\",\"port\":40001},\"address\":\"10.8.0.2\","
         "\"kind\":\"legacy\",\"since\":1700000000,\"last_heard\":1700000190,\"received\":{\"packets\":1234,"
         "\"bytes\":999},\"sent\":{\"packets\":2345,\"bytes\":3565158}},"
         "{\"user\":\"bob \\\"b\\\"\",\"endpoint\":{\"address\":\"203.0.113.9\",\"port\":5000},\"address\":"
         "\"10.8.1.50\",\"kind\":\"sealed\",\"since\":1699996400,\"last_heard\":1700000192,\"received\":"
         "{\"packets\":0,\"bytes\":0},\"sent\":{\"packets\":1,\"bytes\":84}}],\"status_time\":1700000192,"
         "\"stale\":false}\n", {}},
        {"the server's file gone stale", &PEER_FILE, false, 1700000196,
         "server: sdwan-peerd 2025.03.13, interface sdwt0, UDP 0.0.0.0:4500\n"
         "  started: 2023-11-14 19:26:40 UTC (2h 49m)\n"
         "  sessions: 2 of 1024\n"
         "  status file: @, written 2023-11-14 22:16:32 UTC (4s ago): stale, the daemon is not running or not writing\n"
         "\n"
         "user             endpoint              address         kind   up       heard  received (packets)       sent (packets)\n"
         "alice            198.51.100.7:40001    10.8.0.2        legacy 3m 16s   6s     999 B (1234)             3.40 MiB (2345)\n"
         "bob \"b\"          203.0.113.9:5000      10.8.1.50       sealed 1h 3m    4s     0 B (0)                  84 B (1)\n",
         {},
         3},
    };
    for (const ShowCase &c : cases) {
        TempDir dir;
        const std::string path = dir / "tolvad.prom";
        write(path, *c.file);
        std::string want = c.want;
        for (const auto &[from, to] : c.edits) {
            const size_t at = want.find(from);
            ASSERT_NE(at, std::string::npos) << c.name << ": " << from;
            want.replace(at, from.size(), to);
        }
        if (size_t at = want.find('@'); at != std::string::npos)
            want.replace(at, 1, path);
        const ShowRun r = show(path, c.json, c.now);
        EXPECT_EQ(r.rc, c.rc) << c.name;
        EXPECT_EQ(r.out, want) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
    }
}

TEST(CtlShow, WhatIsNoStatusFileIsRefused)
{
    TempDir dir;
    write(dir / "other.prom", "node_load1 0.5\n");
    // Cut short before its line end: the one sample of the file is not whole.
    write(dir / "cut.prom", "tolvad_status_time_seconds{interface=\"tolva0\"} 1700000100");
    write(dir / "peerhead.status", "# sdwan-peerd status: the server, then one line per live session\n"
                                   "session endpoint=1.2.3.4:5 user=a\n");
    struct Case {
        std::string path, err;
    } cases[] = {
        {dir / "absent.prom", "tolvactl: cannot read status file " + (dir / "absent.prom") + ": No such file or directory\n"},
        {dir / "other.prom", "tolvactl: " + (dir / "other.prom") + " is not a tolvad status file\n"},
        {dir / "cut.prom", "tolvactl: " + (dir / "cut.prom") + " is not a tolvad status file\n"},
        {dir / "peerhead.status", "tolvactl: " + (dir / "peerhead.status") + " is not a whole sdwan-peerd status file\n"},
    };
    for (const Case &c : cases) {
        const ShowRun r = show(c.path, false, 0);
        EXPECT_EQ(r.rc, 1) << c.path;
        EXPECT_EQ(r.out, "") << c.path;
        EXPECT_EQ(r.err, c.err) << c.path;
    }
}

}  // namespace
