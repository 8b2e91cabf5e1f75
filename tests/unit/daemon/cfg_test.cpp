// Configuration file: line pieces, section lines, keys and values as stored, numbers modulo 65536,
// the validation order and its log lines, and the clearing of a rejected configuration.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <algorithm>
#include <sys/stat.h>
#include <vector>

#include "client/resolver.h"
#include "client/session.h"
#include "client/status.h"
#include "daemon/cfg.h"
#include "net/ipaddr.h"
#include "sdwan_build.h"
#include "base/log.h"
#include "support/client.h"
#include "support/logcap.h"
#include "support/tempdir.h"

namespace {
// The client object of this file's tests (the daemon's is main's).
const client_ptr g_owned = new_client();
sdwan_t &g_clnt = *g_owned;

using Lines = std::vector<std::string>;

const std::string BASE_SECTION = "[tun0]\n";
const std::string BASE_KEYS = "server=192.0.2.1\nusername=alice\npassword=secret\nport=4500\nmtu=1400\n";
const std::string BASE = BASE_SECTION + BASE_KEYS;

// BASE without one of its lines.
std::string base_without(const std::string &key)
{
    std::string out;
    size_t pos = 0;
    const std::string all = BASE;
    while (pos < all.size()) {
        size_t nl = all.find('\n', pos);
        std::string line = all.substr(pos, nl + 1 - pos);
        pos = nl + 1;
        if (line.rfind(key, 0) != 0)
            out += line;
    }
    return out;
}

std::array<uint8_t, 4> bytes_of(uint32_t ipbe)
{
    std::array<uint8_t, 4> b{};
    memcpy(b.data(), &ipbe, 4);
    return b;
}

template <size_t N>
bool zero_after_text(const char (&field)[N])
{
    size_t n = strnlen(field, N);
    if (n == N)
        return false;  // no terminator at all
    for (size_t i = n; i < N; i++)
        if (field[i] != 0)
            return false;
    return true;
}

// n "routes" lines of one /32 each, 10.0.x.y.
std::string many_routes(int n)
{
    std::string out;
    for (int i = 0; i < n; i++)
        out += "routes=10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "/32\n";
    return out;
}

// A prefix list longer than one piece of a line: 10.1.x.0/24 from x = 10 on, 12 characters each.
std::string long_routes()
{
    std::string out;
    for (int x = 10; out.size() < 300; x++)
        out += (out.empty() ? "" : ",") + std::string("10.1.") + std::to_string(x) + ".0/24";
    return out + "\n";
}

class Cfg : public ::testing::Test {
protected:
    LogCapture cap;

    // Parses `text` into a copy of `start` through a memory stream; returns the record and the
    // log lines the parse wrote.
    sdwan_t parse(const std::string &text, const sdwan_t &start, Lines *log = nullptr)
    {
        sdwan_t rec = start;
        std::string copy = text;  // fmemopen wants a mutable buffer; an empty text still needs one byte
        copy.push_back('\0');
        FILE *fp = fmemopen(copy.data(), text.size() == 0 ? 1 : text.size(), "r");
        EXPECT_NE(fp, nullptr);
        if (fp != nullptr) {
            if (text.empty())
                fgetc(fp);  // the stream of one NUL byte: consume it so the parser sees end of file
            EXPECT_EQ(cfg_read(fp, &rec), 0);
            fclose(fp);
        }
        Lines l = cap.take();
        if (log != nullptr)
            *log = l;
        return rec;
    }
    sdwan_t parse(const std::string &text, Lines *log = nullptr) { return parse(text, sdwan_t{}, log); }
};

// ---- validation: order, bounds, and the one log line of the first failure ----

struct ValidCase {
    const char *name;
    std::string text;
    const char *failure;  // null when the text is valid
};

TEST_F(Cfg, ValidationReportsFirstFailureOnly)
{
    const char *TUN = "sdwclnt configuration failed: INVALID tun name";
    const char *PEER = "sdwclnt configuration failed: INVALID peer server";
    const char *USER = "sdwclnt configuration failed: INVALID username";
    const char *PASS = "sdwclnt configuration failed: INVALID password";
    const char *MTU = "sdwclnt configuration failed: INVALID MTU";
    const char *PORT = "sdwclnt configuration failed: INVALID port";
    const char *ROUTES = "sdwclnt configuration failed: INVALID routes";
    const char *DOMAINS = "sdwclnt configuration failed: INVALID dnsdomains";
    const char *PEERKEY = "sdwclnt configuration failed: INVALID peerkey";
    const char *RESOLVER = "sdwclnt configuration failed: INVALID resolver";
    const std::string KEY = "peerkey=" + std::string(42, 'A') + "E=\n";  // 32 bytes: 0 ... 0, 1
    const ValidCase cases[] = {
        {"peerkey", BASE + KEY, nullptr},
        {"peerkey short", BASE + "peerkey=" + std::string(40, 'A') + "=\n", PEERKEY},
        {"peerkey stray bits", BASE + "peerkey=" + std::string(42, 'A') + "B=\n", PEERKEY},
        {"peerkey trailing blank", BASE + "peerkey=" + std::string(42, 'A') + "E= \n", PEERKEY},
        {"peerkey bad then good", BASE + "peerkey=x\n" + KEY, nullptr},
        {"peerkey empty", BASE + "peerkey=\n", PEERKEY},
        {"complete", BASE, nullptr},
        {"empty file", "", TUN},
        {"comments only", "# nothing\n#[tun0]\n", TUN},
        {"no section", BASE_KEYS, TUN},
        {"empty section", "[]\n" + BASE_KEYS, TUN},
        {"empty section after a named one", BASE + "[]\n", TUN},
        {"named section after an empty one", "[]\n" + BASE + "[tun1]\n", nullptr},
        {"unclosed section", "[tun0\n" + BASE_KEYS, TUN},
        {"no server", base_without("server"), PEER},
        {"empty server", BASE + "server=\n", PEER},
        {"no username", base_without("username"), USER},
        {"no password", base_without("password"), PASS},
        {"no mtu", base_without("mtu"), MTU},
        {"mtu 45", BASE + "mtu=45\n", MTU},
        {"mtu 46", BASE + "mtu=46\n", nullptr},
        {"mtu 1600", BASE + "mtu=1600\n", nullptr},
        {"mtu 1601", BASE + "mtu=1601\n", MTU},
        {"mtu 65536+46 wraps to 46", BASE + "mtu=65582\n", nullptr},
        {"mtu 65536+45 wraps to 45", BASE + "mtu=65581\n", MTU},
        {"mtu -1 wraps to 65535", BASE + "mtu=-1\n", MTU},
        {"mtu without digits", BASE + "mtu=abc\n", MTU},
        {"mtu hexadecimal reads 0", BASE + "mtu=0x600\n", MTU},
        {"no port", base_without("port"), PORT},
        {"port 0", BASE + "port=0\n", PORT},
        {"port 65536 wraps to 0", BASE + "port=65536\n", PORT},
        {"port 65537 wraps to 1", BASE + "port=65537\n", nullptr},
        {"port -1 wraps to 65535", BASE + "port=-1\n", nullptr},
        {"username and port missing", base_without("username") + "port=0\n", USER},
        {"no section and bad mtu", BASE_KEYS + "mtu=1\n", TUN},
        {"password and mtu missing", base_without("password") + "mtu=\n", PASS},
        {"domain server with bad port", BASE + "server=vpn.example.net\nport=0\n", PORT},
        // split routes: checked after the port, a bad prefix anywhere refuses the whole file
        {"bad routes after bad port", BASE + "port=0\nroutes=10.0.0.0/33\n", PORT},
        {"routes one prefix", BASE + "routes=10.93.0.0/24\n", nullptr},
        {"routes list with blanks", BASE + "routes=10.93.0.0/24 , 172.16.0.0/12,\t192.0.2.7/32\n", nullptr},
        {"routes repeated", BASE + "routes=10.93.0.0/24\nroutes=10.94.0.0/16\n", nullptr},
        {"routes empty", BASE + "routes=\n", ROUTES},
        {"routes no length", BASE + "routes=10.93.0.0\n", ROUTES},
        {"routes length 0", BASE + "routes=10.93.0.0/0\n", ROUTES},
        {"routes length 33", BASE + "routes=10.93.0.0/33\n", ROUTES},
        {"routes length 024", BASE + "routes=10.93.0.0/024\n", ROUTES},
        {"routes length sign", BASE + "routes=10.93.0.0/+8\n", ROUTES},
        {"routes host bits", BASE + "routes=10.93.0.1/24\n", ROUTES},
        {"routes short address", BASE + "routes=10/8\n", ROUTES},
        {"routes lower half", BASE + "routes=0.0.0.0/1,128.0.0.0/1\n", nullptr},
        {"routes address 0 host bits", BASE + "routes=0.0.0.0/0\n", ROUTES},
        {"routes address 0 spelt short", BASE + "routes=0.0/1\n", ROUTES},
        {"routes address no number", BASE + "routes=a.b.c.d/1\n", ROUTES},
        {"routes octet 256", BASE + "routes=10.256.0.0/16\n", ROUTES},
        {"routes empty item", BASE + "routes=10.93.0.0/24,,10.94.0.0/24\n", ROUTES},
        {"routes trailing comma", BASE + "routes=10.93.0.0/24,\n", ROUTES},
        {"routes blank inside", BASE + "routes=10.93.0.0/24 10.94.0.0/24\n", ROUTES},
        {"routes bad then good", BASE + "routes=x\nroutes=10.94.0.0/24\n", ROUTES},
        {"routes crlf", BASE + "routes=10.93.0.0/24\r\n", nullptr},
        {"routes 120", BASE + many_routes(120), nullptr},
        {"routes 121", BASE + many_routes(121), ROUTES},
        {"routes line cut at 255", BASE + "routes=" + long_routes(), ROUTES},
        {"dnsdomains after routes", BASE + "routes=x\ndnsdomains=a..b,\n", ROUTES},
        {"dnsdomains list", BASE + "setdns=1\ndnsdomains=corp.example, Branch-2.corp.example\n", nullptr},
        {"dnsdomains empty item", BASE + "dnsdomains=corp.example,,x.example\n", DOMAINS},
        {"dnsdomains empty", BASE + "dnsdomains=\n", DOMAINS},
        {"dnsdomains leading dot", BASE + "dnsdomains=.corp.example\n", DOMAINS},
        {"dnsdomains trailing dot", BASE + "dnsdomains=corp.example.\n", DOMAINS},
        {"dnsdomains underscore", BASE + "dnsdomains=c_rp.example\n", DOMAINS},
        {"dnsdomains routing tilde", BASE + "dnsdomains=~.\n", DOMAINS},
        {"dnsdomains blank inside", BASE + "dnsdomains=a.example b.example\n", DOMAINS},
        {"dnsdomains too long", BASE + "dnsdomains=" + std::string(200, 'a') + "," + std::string(60, 'b') + "\n", DOMAINS},
        {"dnsdomains bad then good", BASE + "dnsdomains=a_b\ndnsdomains=corp.example\n", nullptr},
        {"routes line of 254", BASE + "routes=" + long_routes().substr(0, 12 + 18 * 13) + "\n", nullptr},
        // the resolver: a unicast address a server outside this host can have
        {"resolver", BASE + "resolver=10.94.0.2\n", nullptr},
        {"resolver crlf and blanks", BASE + "resolver=10.94.0.2 \t\r\n", nullptr},
        {"resolver 223.255.255.255", BASE + "resolver=223.255.255.255\n", nullptr},
        {"resolver after bad peerkey", BASE + "peerkey=x\nresolver=x\n", PEERKEY},
        {"resolver a name", BASE + "resolver=dns.example\n", RESOLVER},
        {"resolver empty", BASE + "resolver=\n", RESOLVER},
        {"resolver short", BASE + "resolver=10.94\n", RESOLVER},
        {"resolver leading zero", BASE + "resolver=010.94.0.2\n", RESOLVER},
        {"resolver with a port", BASE + "resolver=10.94.0.2:53\n", RESOLVER},
        {"resolver blank inside", BASE + "resolver= 10.94.0.2\n", RESOLVER},
        {"resolver 0.0.0.0", BASE + "resolver=0.0.0.0\n", RESOLVER},
        {"resolver on this host", BASE + "resolver=127.0.0.53\n", RESOLVER},
        {"resolver multicast", BASE + "resolver=224.0.0.251\n", RESOLVER},
        {"resolver broadcast", BASE + "resolver=255.255.255.255\n", RESOLVER},
        {"resolver good then bad", BASE + "resolver=10.94.0.2\nresolver=x\n", RESOLVER},
        {"resolver bad then good", BASE + "resolver=x\nresolver=10.94.0.2\n", nullptr},
        {"uplinks after bad resolver", BASE + "resolver=x\nuplinks=,\n", RESOLVER},
    };
    for (const ValidCase &c : cases) {
        Lines log;
        parse(c.text, &log);
        if (c.failure == nullptr)
            EXPECT_EQ(log, Lines{}) << c.name;
        else
            EXPECT_EQ(log, Lines{c.failure}) << c.name;
    }
}

// The uplinks and the keys of their paths: each row's record as stored (nuplinks, the entries,
// the policy, the probe interval, the loss threshold) and the reader's lines, or the one line of
// a refused configuration.
TEST_F(Cfg, UplinksAndPathKeys)
{
    const std::string BAD = "INVALID uplinks";
    const std::string DFLT = " | best 250 10";
    struct {
        std::string lines;  // appended to BASE
        std::string want;   // the record, or the failure
        Lines diags;        // "<line> <text>" past BASE's six lines
    } const cases[] = {
        {"", "0" + DFLT, {}},
        {"uplinks=eth0\n", "1 eth0 1" + DFLT, {}},
        {"uplinks=eth0,wwan0:backup\n", "2 eth0 1, wwan0 2 backup" + DFLT, {}},
        {"uplinks= eth0@192.0.2.10:20 ,\twwan0:5,wlan0 , lte0:backup\r\n",
         "4 eth0 20 192.0.2.10, wwan0 5, wlan0 3, lte0 4 backup" + DFLT, {}},
        {"uplinks=" + std::string(15, 'e') + "@10.0.0.1:255\n", "1 " + std::string(15, 'e') + " 255 10.0.0.1" + DFLT, {}},
        {"uplinks=eth0\nuplinks=wwan0\n", "1 wwan0 1" + DFLT, {"8 uplinks again: this value replaces the one of line 7"}},
        {"uplinks=x\nuplinks=eth0,\n", BAD,
         {"8 uplinks again: this value replaces the one of line 7", "8 uplinks: entry 2 is empty (two commas, or a comma at an end)"}},
        {"uplinks=eth0,wwan0\nuplinks=eth0:0\nuplinks=wwan0\n", "1 wwan0 1" + DFLT,
         {"8 uplinks again: this value replaces the one of line 7", "8 uplinks: entry 1 \"eth0:0\" has a priority that is not 1 to 255 or backup",
          "9 uplinks again: this value replaces the one of line 8"}},
        {"uplinks=\n", BAD, {"7 uplinks: entry 1 is empty (two commas, or a comma at an end)"}},
        {"uplinks=,eth0\n", BAD, {"7 uplinks: entry 1 is empty (two commas, or a comma at an end)"}},
        {"uplinks=" + std::string(16, 'e') + "\n", BAD,
         {"7 uplinks: entry 1 \"" + std::string(16, 'e') + "\" has an interface name longer than 15 characters"}},
        {"uplinks=eth0,@10.0.0.1,..,a/b,e\vf\n", BAD,
         {"7 uplinks: entry 2 \"@10.0.0.1\" has no interface name", "7 uplinks: entry 3 \"..\" is no interface name",
          "7 uplinks: entry 4 \"a/b\" is no interface name", "7 uplinks: entry 5 \"e\vf\" is no interface name"}},
        {"uplinks=eth0@10.0.0,eth1@,eth2@127.0.0.1,eth3@224.0.0.1,eth4@0.1.2.3\n", BAD,
         {"7 uplinks: entry 1 \"eth0@10.0.0\" has a source that is not an IPv4 address a.b.c.d",
          "7 uplinks: entry 2 \"eth1@\" has a source that is not an IPv4 address a.b.c.d",
          "7 uplinks: entry 3 \"eth2@127.0.0.1\" has a source no uplink sends from (0/8, 127/8, 224/3)",
          "7 uplinks: entry 4 \"eth3@224.0.0.1\" has a source no uplink sends from (0/8, 127/8, 224/3)",
          "7 uplinks: entry 5 \"eth4@0.1.2.3\" has a source no uplink sends from (0/8, 127/8, 224/3)"}},
        {"uplinks=a:0,b:256,c:,d:+1,e:Backup,f:1:2\n", BAD,
         {"7 uplinks: entry 1 \"a:0\" has a priority that is not 1 to 255 or backup",
          "7 uplinks: entry 2 \"b:256\" has a priority that is not 1 to 255 or backup",
          "7 uplinks: entry 3 \"c:\" has a priority that is not 1 to 255 or backup",
          "7 uplinks: entry 4 \"d:+1\" has a priority that is not 1 to 255 or backup",
          "7 uplinks: entry 5 \"e:Backup\" has a priority that is not 1 to 255 or backup",
          "7 uplinks: entry 6 \"f:1:2\" has a priority that is not 1 to 255 or backup"}},
        {"uplinks=eth0,wwan0,eth0:backup\n", BAD, {"7 uplinks: entry 3 \"eth0:backup\" names the interface of entry 1 again"}},
        {"uplinks=eth0 wwan0\n", BAD, {"7 uplinks: entry 1 \"eth0\" is followed by more text before the next comma"}},
        {"uplinks=a,b,c,d,e\n", BAD, {"7 uplinks: entry 5 \"e\" is one uplink more than tolvad takes (4)"}},
        {"uplinks=eth0\npathpolicy=backup\nprobeinterval=50\npathloss=100\n", "1 eth0 1 | backup 50 100", {}},
        {"pathpolicy=best \r\nprobeinterval=10000\r\npathloss=1\r\n", "0 | best 10000 1", {}},
        {"pathpolicy=backup\npathpolicy=fastest\n", "0" + DFLT,
         {"8 pathpolicy again: this value replaces the one of line 7", "8 pathpolicy=fastest is neither best nor backup: tolvad uses best"}},
        {"probeinterval=49\npathloss=0\n", "0 | best 50 1",
         {"7 probeinterval=49 is not 50 to 10000: tolvad uses 50", "8 pathloss=0 is not 1 to 100: tolvad uses 1"}},
        {"probeinterval=99999999999\npathloss=101\n", "0 | best 10000 100",
         {"7 probeinterval=99999999999 is not 50 to 10000: tolvad uses 10000", "8 pathloss=101 is not 1 to 100: tolvad uses 100"}},
        {"probeinterval=1s\npathloss=\n", "0" + DFLT,
         {"7 probeinterval=1s is no number: tolvad uses 250", "8 pathloss= is no number: tolvad uses 10"}},
    };
    for (const auto &c : cases) {
        std::string text = BASE + c.lines;
        FILE *fp = fmemopen(text.data(), text.size(), "r");
        ASSERT_NE(fp, nullptr);
        sdwan_t r{};
        kv_diags_t d{};
        cfg_read(fp, &r, nullptr, &d);
        fclose(fp);
        Lines got;
        for (int i = 0; i < d.n; i++)
            got.push_back(std::to_string(d.d[i].line) + " " + d.d[i].text);
        EXPECT_EQ(got, c.diags) << c.lines;
        const Lines log = cap.take();
        if (c.want == BAD) {
            EXPECT_EQ(log, Lines{"sdwclnt configuration failed: " + BAD}) << c.lines;
            EXPECT_EQ(r.conf.nuplinks, 0) << c.lines;
            continue;
        }
        EXPECT_EQ(log, Lines{}) << c.lines;
        std::string got_rec = std::to_string(r.conf.nuplinks);
        for (uint32_t i = 0; i < r.conf.nuplinks; i++) {
            const sdwan_uplink_t &u = r.conf.uplinks[i];
            EXPECT_TRUE(zero_after_text(u.ifname)) << c.lines;
            char ip[16];
            got_rec += (i == 0 ? " " : ", ") + std::string(u.ifname) + " " + std::to_string(u.prio) +
                       (u.source != 0 ? std::string(" ") + ip2strv4(u.source, ip, sizeof ip) : "") +
                       (u.backup ? " backup" : "");
        }
        got_rec += std::string(" | ") + (r.conf.pathpolicy == path_policy::backup ? "backup " : "best ") +
                   std::to_string(r.conf.probems) + " " + std::to_string(r.conf.pathloss);
        EXPECT_EQ(got_rec, c.want) << c.lines;
        for (uint32_t i = r.conf.nuplinks; i < SDWAN_PATHS_MAX; i++)
            EXPECT_EQ(std::string(r.conf.uplinks[i].ifname, 16), std::string(16, '\0')) << c.lines;
    }
}

// The key table's bounds and widths as the reader reports them; what is stored stays as above.
TEST_F(Cfg, ReportsTheTablesBoundsAndWidths)
{
    struct {
        std::string line;  // appended to BASE
        Lines diags;       // "<line> <text>" past BASE's six lines
    } const cases[] = {
        {"pipeidx=65535\nencrypt=5\nstatus=/run/a.prom\n", {}},
        {"pipeid=70000\n", {"7 pipeid=70000 is not 0 to 65535: tolvad reads it as 4464"}},
        {"mtu=45\n", {"7 mtu again: this value replaces the one of line 6", "7 mtu=45 is not 46 to 1600: tolvad reads it as 45"}},
        {"logsize=2000000\n", {"7 logsize=2000000 is not 0 to 1048576: tolvad uses 1048576"}},
        {"username=" + std::string(32, 'u') + "\n",
         {"7 username again: this value replaces the one of line 3", "7 the username value has 32 characters: tolvad keeps the first 31"}},
        {"status=/run/" + std::string(240, 's') + "\n", {}},
        {"routes=10.0.0.0/8\nroutes=10.1.0.0/16\n", {}},
        {"peerkey=abc\n", {"7 peerkey: not a public key (44 characters of base64 giving 32 bytes)"}},
        {many_routes(121), {"127 routes: \"10.0.0.120/32\" is one prefix more than tolvad takes (120)"}},
    };
    for (const auto &c : cases) {
        std::string text = BASE + c.line;
        FILE *fp = fmemopen(text.data(), text.size(), "r");
        ASSERT_NE(fp, nullptr);
        sdwan_t rec{};
        kv_diags_t d{};
        cfg_read(fp, &rec, nullptr, &d);
        fclose(fp);
        Lines got;
        for (int i = 0; i < d.n; i++)
            got.push_back(std::to_string(d.d[i].line) + " " + d.d[i].text);
        EXPECT_EQ(got, c.diags) << c.line;
    }
    cap.take();
    log_set_limit(0);
}

TEST_F(Cfg, RejectedConfigurationIsClearedButKeepsPipeNumbers)
{
    sdwan_t start{};
    start.sess.peerip = 0x01020304;
    strcpy(start.conf.peerdomain, "stale.example");
    const std::string text = "[tun0]\nserver=vpn.example.net\nusername=alice\npassword=secret\nmtu=1400\n"
                             "encrypt=1\npipeid=9\npipeidx=8\n";  // no port
    Lines log;
    sdwan_t r = parse(text, start, &log);
    EXPECT_EQ(log, Lines{"sdwclnt configuration failed: INVALID port"});
    EXPECT_EQ(r.sess.peerip, 0u);
    EXPECT_EQ(r.conf.mtu, 0);
    EXPECT_EQ(r.conf.peerport, 0);
    EXPECT_EQ(r.conf.encrypt, 0);
    EXPECT_EQ(r.conf.pipeid, 9);
    EXPECT_EQ(r.conf.pipeidx, 8);
    for (const auto &f : {std::string(r.conf.peer, sizeof r.conf.peer), std::string(r.conf.peerdomain, sizeof r.conf.peerdomain),
                          std::string(r.conf.user, sizeof r.conf.user), std::string(r.conf.pass, sizeof r.conf.pass),
                          std::string(r.conf.tun_name, sizeof r.conf.tun_name)})
        EXPECT_EQ(f, std::string(f.size(), '\0'));
}

// ---- how values are stored ----

struct ValueCase {
    std::string lines;  // appended to BASE
    std::function<std::string(const sdwan_t &)> field;
    std::string want;
};

std::string tun(const sdwan_t &r) { return r.conf.tun_name; }
std::string pass(const sdwan_t &r) { return r.conf.pass; }
std::string user(const sdwan_t &r) { return r.conf.user; }
std::string peer(const sdwan_t &r) { return r.conf.peer; }
std::string mtu(const sdwan_t &r) { return std::to_string(r.conf.mtu); }
std::string port(const sdwan_t &r) { return std::to_string(r.conf.peerport); }
std::string encrypt(const sdwan_t &r) { return std::to_string(r.conf.encrypt); }
std::string pipeid(const sdwan_t &r) { return std::to_string(r.conf.pipeid); }
std::string pipeidx(const sdwan_t &r) { return std::to_string(r.conf.pipeidx); }
std::string setdns(const sdwan_t &r) { return std::to_string(r.conf.setdns) + " " + r.conf.dnsdomains; }
std::string resolver(const sdwan_t &r)
{
    char t[16];
    return ip2strv4(sdwan_resolver(&r), t, sizeof t);
}
// The mode and the prefix list as stored, "1 10.93.0.0/24,10.94.0.0/16".
std::string routes(const sdwan_t &r)
{
    std::string out = std::to_string(r.conf.rtmode);
    const char *sep = " ";
    for (const rtcfg_entry_t *e = r.conf.rtcfg; e != nullptr; e = e->next, sep = ",") {
        uint8_t b[4];
        memcpy(b, &e->net, 4);
        out += sep + std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
               std::to_string(b[3]) + "/" + std::to_string(e->masklen);
    }
    return out;
}

TEST_F(Cfg, ValuesAreStoredAsWritten)
{
    const ValueCase cases[] = {
        // split at the first '=', nothing trimmed, '#' inside a value is data
        {"password=a=b=c\n", pass, "a=b=c"},
        {"password=pa#ss\n", pass, "pa#ss"},
        {"password= spaced \n", pass, " spaced "},
        {"password==\n", pass, "="},
        {"password=last\npassword=later\n", pass, "later"},
        // lines that set nothing
        {"#password=zzz\n", pass, "secret"},
        {"\rpassword=zzz\n", pass, "secret"},
        {" password=zzz\n", pass, "secret"},
        {"password =zzz\n", pass, "secret"},
        {"Password=zzz\n", pass, "secret"},
        {"passwordzzz\n", pass, "secret"},
        {"=zzz\n", pass, "secret"},
        // section lines: first '[' to last ']', checked before '='
        {"password=x[y]z\n", pass, "secret"},
        {"password=x[y]z\n", tun, "y"},
        {"password=[x\n", pass, "[x"},
        {"password=x]y[\n", pass, "x]y["},
        {"password=x]y[\n", tun, "tun0"},
        {"a[b]c]d\n", tun, "b]c"},
        {"[t1][t2]\n", tun, "t1][t2"},
        {"[tun=9]\n", tun, "tun=9"},
        {"[tun9]\n", tun, "tun9"},
        {"  [tun9]  # later\n", tun, "tun9"},
        // the line end: one character removed, so a line ending in "\r\n" keeps its '\r'
        {"password=crlf\r\n", pass, "crlf\r"},
        {"password=two\r\r\n", pass, "two\r\r"},
        {"password=noend", pass, "noend"},
        {"[tunc]\r\n", tun, "tunc"},
        // numbers the way atoi reads them, then modulo 65536
        {"mtu=1500.9\n", mtu, "1500"},
        {"mtu=  1280\n", mtu, "1280"},
        {"mtu=+1280\n", mtu, "1280"},
        {"mtu=1280\r\n", mtu, "1280"},
        {"port=4501junk\n", port, "4501"},
        {"port=\t4503\n", port, "4503"},
        {"port=65537\n", port, "1"},
        {"port=-1\n", port, "65535"},
        {"pipeid=70000\n", pipeid, "4464"},
        {"pipeid=-2\n", pipeid, "65534"},
        {"pipeidx=65535\n", pipeidx, "65535"},
        {"pipeid=3\npipeidx=4\n", pipeid, "3"},
        {"pipeid=3\npipeidx=4\n", pipeidx, "4"},
        {"pipeidxx=5\n", pipeidx, "0"},
        {"pipeidxx=5\n", pipeid, "0"},
        // encrypt is a flag: any nonzero number, including multiples of 256, gives 1
        {"encrypt=0\n", encrypt, "0"},
        {"encrypt=\n", encrypt, "0"},
        {"encrypt=on\n", encrypt, "0"},
        {"encrypt=0x1\n", encrypt, "0"},
        {"encrypt=1\n", encrypt, "1"},
        {"encrypt=7\n", encrypt, "1"},
        {"encrypt=-3\n", encrypt, "1"},
        {"encrypt=256\n", encrypt, "1"},
        {"encrypt=65536\n", encrypt, "1"},
        {"encrypt= 5\n", encrypt, "1"},
        {"encrypt=1\nencrypt=0\n", encrypt, "0"},
        // text fields keep width - 1 characters
        {"username=" + std::string(40, 'u') + "\n", user, std::string(31, 'u')},
        {"password=" + std::string(31, 'p') + "\n", pass, std::string(31, 'p')},
        {"[" + std::string(40, 't') + "]\n", tun, std::string(31, 't')},
        {"server=" + std::string(63, 's') + "\n", peer, std::string(63, 's')},
        {"server=" + std::string(70, 's') + "\n", peer, std::string(63, 's')},
        // split routes: in the order given, repeated keys adding up; none is full tunnel mode
        {"", routes, "0"},
        {"routes=10.93.0.0/24\n", routes, "1 10.93.0.0/24"},
        {"routes= 10.93.0.0/24,172.16.0.0/12 ,192.0.2.7/32\n", routes, "1 10.93.0.0/24,172.16.0.0/12,192.0.2.7/32"},
        {"routes=10.93.0.0/24\nroutes=128.0.0.0/1\n", routes, "1 10.93.0.0/24,128.0.0.0/1"},
        {"routes=10.93.0.0/24\nroutes=10.93.0.0/24\n", routes, "1 10.93.0.0/24,10.93.0.0/24"},
        {"Routes=10.93.0.0/24\n", routes, "0"},
        {"routes=10.93.0.0/24\nroutes=bad\n", routes, "0"},  // refused: the cleared record is full mode
        // the peer's DNS servers: a flag, and a domain list kept as given
        {"", setdns, "0 "},
        {"setdns=1\n", setdns, "1 "},
        {"setdns=0\ndnsdomains=corp.example\n", setdns, "0 corp.example"},
        {"setdns=2\ndnsdomains= a.example ,b.example\r\n", setdns, "1 a.example,b.example"},
        {"dnsdomains=a.example\ndnsdomains=b.example\n", setdns, "0 b.example"},
        {"setdns=1\ndnsdomains=bad_name\n", setdns, "0 "},  // refused: the cleared record sets nothing
        // the resolver: the build's without the key, and again after a refused file
        {"", resolver, SDWAN_DNS_RESOLVER},
        {"resolver=10.94.0.2\n", resolver, "10.94.0.2"},
        {"resolver=10.94.0.2\nresolver=9.9.9.9\n", resolver, "9.9.9.9"},
        {"resolver=10.94.0.2\nresolver=127.0.0.1\n", resolver, SDWAN_DNS_RESOLVER},
    };
    for (const ValueCase &c : cases) {
        sdwan_t r = parse(BASE + c.lines, nullptr);
        EXPECT_EQ(c.field(r), c.want) << "lines: " << c.lines;
    }
}

TEST_F(Cfg, TextFieldsAreZeroFilledPastTheValue)
{
    sdwan_t start{};
    memset(start.conf.peer, 'Z', sizeof start.conf.peer);
    memset(start.conf.user, 'Z', sizeof start.conf.user);
    memset(start.conf.pass, 'Z', sizeof start.conf.pass);
    memset(start.conf.tun_name, 'Z', sizeof start.conf.tun_name);
    sdwan_t r = parse("[t]\nserver=1.2.3.4\nusername=" + std::string(45, 'u') + "\npassword=p\nport=1\nmtu=100\n", start);
    EXPECT_STREQ(r.conf.tun_name, "t");
    EXPECT_TRUE(zero_after_text(r.conf.peer));
    EXPECT_TRUE(zero_after_text(r.conf.user));
    EXPECT_TRUE(zero_after_text(r.conf.pass));
    EXPECT_TRUE(zero_after_text(r.conf.tun_name));
}

// The flag keys "datalog" (the per-packet line), "offload" (the kernel's offloads),
// "waitroute" (the wait for a route at start-up) and "killswitch": nonzero turns it on, 0 off,
// and without the key the record keeps whatever it had.
TEST_F(Cfg, FlagKeys)
{
    uint8_t sdwan_conf_t::*const DATALOG = &sdwan_conf_t::datalog;
    uint8_t sdwan_conf_t::*const OFFLOAD = &sdwan_conf_t::offload;
    uint8_t sdwan_conf_t::*const WAITROUTE = &sdwan_conf_t::waitroute;
    uint8_t sdwan_conf_t::*const KILLSW = &sdwan_conf_t::killswitch;
    struct {
        uint8_t sdwan_conf_t::*field;
        uint8_t start;
        const char *line;
        uint8_t want;
    } cases[] = {
        {DATALOG, 0, "", 0},           {DATALOG, 1, "", 1},           {DATALOG, 1, "datalog=0\n", 0},
        {DATALOG, 0, "datalog=1\n", 1}, {DATALOG, 0, "datalog=2\n", 1}, {DATALOG, 0, "datalog=256\n", 1},
        {DATALOG, 0, "datalog=65536\n", 1}, {DATALOG, 1, "datalog=off\n", 0}, {DATALOG, 1, "datalog=\n", 0},
        {DATALOG, 1, "Datalog=0\n", 1}, {DATALOG, 1, "datalog=0\r\n", 0}, {DATALOG, 0, "datalog=-1\n", 1},
        {OFFLOAD, 1, "", 1},           {OFFLOAD, 0, "", 0},           {OFFLOAD, 1, "offload=0\n", 0},
        {OFFLOAD, 0, "offload=1\n", 1}, {OFFLOAD, 0, "offload=256\n", 1}, {OFFLOAD, 1, "offload=off\n", 0},
        {OFFLOAD, 1, "Offload=0\n", 1}, {OFFLOAD, 1, "offload=0\r\n", 0},
        {WAITROUTE, 1, "", 1},          {WAITROUTE, 1, "waitroute=0\n", 0}, {WAITROUTE, 0, "waitroute=1\n", 1},
        {WAITROUTE, 1, "waitroute=no\n", 0},
        {KILLSW, 0, "", 0},            {KILLSW, 0, "killswitch=1\n", 1}, {KILLSW, 1, "killswitch=0\n", 0},
    };
    for (const auto &c : cases) {
        sdwan_t start{};
        start.conf.*c.field = c.start;
        sdwan_t r = parse(BASE + c.line, start);
        EXPECT_EQ(r.conf.*c.field, c.want) << "start " << int(c.start) << " line " << c.line;
    }
}

// "logsize" in MiB; 0 turns the bound off, a number past the largest bound means the largest.
TEST_F(Cfg, LogsizeKeyBoundsTheLog)
{
    struct {
        const char *text;
        uint64_t want;
    } cases[] = {
        {"", 7 * LOG_MIB},  // untouched: the daemon set the default before reading
        {"logsize=1\n", LOG_MIB},
        {"logsize=64\n", 64 * LOG_MIB},
        {"logsize=0\n", 0},
        {"logsize=\n", 0},
        {"logsize=off\n", 0},
        {"logsize=1\nlogsize=2\n", 2 * LOG_MIB},
        {"logsize=1048576\n", LOG_MIB_MAX * LOG_MIB},
        {"logsize=99999999999\n", LOG_MIB_MAX * LOG_MIB},
        {"logsize=-1\n", LOG_MIB_MAX * LOG_MIB},
        {" logsize=1\n", 7 * LOG_MIB},
    };
    for (const auto &c : cases) {
        log_set_limit(7 * LOG_MIB);
        parse(BASE + c.text);
        EXPECT_EQ(log_limit(), c.want) << c.text;
    }
    log_set_limit(0);
}

struct PeerCase {
    std::string server;
    std::array<uint8_t, 4> ip;
    std::string domain;
};

TEST_F(Cfg, PeerIsAnAddressOrADomain)
{
    const PeerCase cases[] = {
        {"192.0.2.1", {192, 0, 2, 1}, ""},
        {"10.1", {10, 0, 0, 1}, ""},
        {"3221225985", {192, 0, 2, 1}, ""},
        {"vpn.example.net", {0, 0, 0, 0}, "vpn.example.net"},
        {"0.0.0.0", {0, 0, 0, 0}, "0.0.0.0"},
        {"192.0.2.1 ", {0, 0, 0, 0}, "192.0.2.1 "},
        {"192.0.2.256", {0, 0, 0, 0}, "192.0.2.256"},
        {std::string(63, 'd'), {0, 0, 0, 0}, std::string(63, 'd')},
        {std::string(70, 'e'), {0, 0, 0, 0}, std::string(63, 'e')},
    };
    for (const PeerCase &c : cases) {
        Lines log;
        sdwan_t r = parse(BASE + "server=" + c.server + "\n", &log);
        EXPECT_EQ(bytes_of(r.sess.peerip), c.ip) << c.server;
        EXPECT_STREQ(r.conf.peerdomain, c.domain.c_str()) << c.server;
        if (c.domain.empty())
            EXPECT_EQ(log, Lines{}) << c.server;
        else
            EXPECT_EQ(log, Lines{"sdwclnt: peer " + c.domain + " is not in IPv4 format, treating it as domain"});
    }
}

// fgets reads 255 characters at a time: the rest of a longer line is parsed as a line of its own.
TEST_F(Cfg, LongLinesArePiecesOf255)
{
    struct {
        const char *name;
        std::string text;
        std::function<std::string(const sdwan_t &)> field;
        std::string want;
    } cases[] = {
        {"comment of exactly 255 then a key", base_without("mtu") + "#" + std::string(254, 'x') + "mtu=1300\n", mtu,
         "1300"},
        {"comment of 254 cuts the key", base_without("mtu") + "#" + std::string(253, 'x') + "mtu=1300\n", mtu, "0"},
        {"value line then a second key", BASE + "username=" + std::string(246, 'a') + "password=pw2\n", pass, "pw2"},
        {"value line cut to its field", BASE + "username=" + std::string(246, 'a') + "password=pw2\n", user,
         std::string(31, 'a')},
        {"line of 255 then its newline alone", BASE + "password=" + std::string(246, 'q') + "\nmtu=1200\n", mtu,
         "1200"},
        {"section split before its bracket", base_without("[") + "[" + std::string(260, 'n') + "]\n", tun, ""},
    };
    for (const auto &c : cases) {
        sdwan_t r = parse(c.text, nullptr);
        EXPECT_EQ(c.field(r), c.want) << c.name;
    }
}

// ---- cfg_load on files ----

class CfgLoad : public Cfg {
protected:
    sdwan_t saved_;
    void SetUp() override { saved_ = g_clnt; }
    void TearDown() override
    {
        g_clnt = saved_;
        cfgfile_path = "/etc/sdwan/kesp.conf";
    }
    // The files of the source tree are usually checked out readable by everyone, and loading
    // one then begins with the permission warning.
    static Lines after_warning(const std::string &path, Lines rest)
    {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0)
            rest.insert(rest.begin(), "Warning: configuration file " + path +
                                          " is readable by other users; it holds a password");
        return rest;
    }
};

TEST_F(CfgLoad, GoldenFile)
{
    const std::string path = std::string(TEST_DATA_DIR) + "/cfg/valid.conf";
    cfgfile_path = path.c_str();
    ASSERT_EQ(cfg_load(&g_clnt), 0);
    EXPECT_EQ(cap.take(), after_warning(path, {}));
    EXPECT_STREQ(g_clnt.conf.tun_name, "tolva0");
    EXPECT_STREQ(g_clnt.conf.peer, "192.0.2.1");
    EXPECT_EQ(bytes_of(g_clnt.sess.peerip), (std::array<uint8_t, 4>{192, 0, 2, 1}));
    EXPECT_STREQ(g_clnt.conf.peerdomain, "");
    EXPECT_STREQ(g_clnt.conf.user, "branch-17");
    EXPECT_STREQ(g_clnt.conf.pass, "s3cr#t=x");
    EXPECT_EQ(g_clnt.conf.peerport, 4500);
    EXPECT_EQ(g_clnt.conf.mtu, 1400);
    EXPECT_EQ(g_clnt.conf.encrypt, 1);
    EXPECT_EQ(g_clnt.conf.pipeid, 7);
    EXPECT_EQ(g_clnt.conf.pipeidx, 2);
    EXPECT_EQ(g_clnt.conf.datalog, 1) << "the per-packet line is on unless the file turns it off";
    EXPECT_EQ(g_clnt.conf.offload, 1) << "the kernel's offloads are asked for unless the file says no";
    EXPECT_EQ(g_clnt.io.udpsock, -1);
    EXPECT_EQ(g_clnt.io.tunfd, -1);
}

TEST_F(CfgLoad, CrlfFileKeepsCarriageReturnsInTextValues)
{
    const std::string path = std::string(TEST_DATA_DIR) + "/cfg/crlf.conf";
    cfgfile_path = path.c_str();
    ASSERT_EQ(cfg_load(&g_clnt), 0);
    EXPECT_EQ(cap.take(), after_warning(path, {"sdwclnt: peer 192.0.2.1\r is not in IPv4 format, treating it as domain"}));
    EXPECT_STREQ(g_clnt.conf.tun_name, "tolva0");
    EXPECT_STREQ(g_clnt.conf.peer, "192.0.2.1\r");
    EXPECT_EQ(g_clnt.sess.peerip, 0u);
    EXPECT_STREQ(g_clnt.conf.peerdomain, "192.0.2.1\r");
    EXPECT_STREQ(g_clnt.conf.user, "branch-17\r");
    EXPECT_STREQ(g_clnt.conf.pass, "secret\r");
    EXPECT_EQ(g_clnt.conf.peerport, 4500);
    EXPECT_EQ(g_clnt.conf.mtu, 1400);
    EXPECT_EQ(g_clnt.conf.encrypt, 0);
}

TEST_F(CfgLoad, DomainFileWithWrappedNumbers)
{
    const std::string path = std::string(TEST_DATA_DIR) + "/cfg/domain.conf";
    cfgfile_path = path.c_str();
    ASSERT_EQ(cfg_load(&g_clnt), 0);
    EXPECT_EQ(cap.take(), after_warning(path, {"sdwclnt: peer vpn.example.net is not in IPv4 format, treating it as domain"}));
    EXPECT_STREQ(g_clnt.conf.tun_name, "tolva1");
    EXPECT_EQ(g_clnt.sess.peerip, 0u);
    EXPECT_STREQ(g_clnt.conf.peerdomain, "vpn.example.net");
    EXPECT_EQ(g_clnt.conf.peerport, 1);
    EXPECT_EQ(g_clnt.conf.mtu, 46);
}

TEST_F(CfgLoad, UnreadableFileReturnsMinusOneSilently)
{
    const std::string path = std::string(TEST_DATA_DIR) + "/cfg/no-such-file.conf";
    cfgfile_path = path.c_str();
    const sdwan_t before = g_clnt;
    EXPECT_EQ(cfg_load(&g_clnt), -1);
    EXPECT_EQ(cap.take(), Lines{});
    EXPECT_EQ(memcmp(&before, &g_clnt, sizeof before), 0);
}

// What is not a regular file of a sane size stops the start-up like a missing file: a device
// such as /dev/zero would be read forever, a directory would read as an empty file, a FIFO would
// hold the open. Nothing is logged here and the record is untouched.
TEST_F(CfgLoad, OnlyARegularFileOfASaneSizeIsRead)
{
    TempDir dir;
    const std::string fifo = dir / "fifo", big = dir / "big.conf", full = dir / "full.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // BASE and comment lines up to the bound exactly, then one byte past it.
    std::string text = BASE;
    while (text.size() < static_cast<size_t>(CFG_FILE_MAX))
        text += CFG_FILE_MAX - text.size() < 2 ? "\n" : "#" + std::string(std::min<size_t>(200, CFG_FILE_MAX - text.size() - 2), 'c') + "\n";
    ASSERT_EQ(text.size(), static_cast<size_t>(CFG_FILE_MAX));
    std::ofstream(full, std::ios::binary) << text;
    std::ofstream(big, std::ios::binary) << text << "#";
    chmod(full.c_str(), 0600);
    struct {
        std::string path;
        int want;
    } cases[] = {
        {std::string(TEST_DATA_DIR) + "/cfg", -1}, {"/dev/zero", -1}, {"/dev/null", -1}, {fifo, -1},
        {big, -1}, {full, 0},
    };
    for (const auto &c : cases) {
        g_clnt = saved_;
        const sdwan_t before = g_clnt;
        cfgfile_path = c.path.c_str();
        EXPECT_EQ(cfg_load(&g_clnt), c.want) << c.path;
        if (c.want == 0) {
            EXPECT_STREQ(g_clnt.conf.tun_name, "tun0") << c.path;
            EXPECT_EQ(cap.take(), Lines{}) << c.path;
        } else {
            EXPECT_EQ(memcmp(&before, &g_clnt, sizeof before), 0) << c.path;
            EXPECT_EQ(cap.take(), Lines{}) << c.path;
        }
    }
}

// ---- the password's file permissions ----

TEST_F(CfgLoad, WarnsWhenOtherUsersMayReadThePassword)
{
    struct PermCase {
        mode_t mode;
        bool warned;
    };
    const PermCase cases[] = {
        {0644, true}, {0604, true}, {0444, true}, {0600, false}, {0640, false}, {0400, false}, {0660, false},
    };
    char tmpl[] = "/tmp/tolvad-cfgperm-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/kesp.conf";
    for (const PermCase &c : cases) {
        unlink(path.c_str());  // a read-only file of the last case cannot be opened again without root
        FILE *fp = fopen(path.c_str(), "w");
        ASSERT_NE(fp, nullptr);
        fputs(BASE.c_str(), fp);
        fclose(fp);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);  // whatever the umask made of it
        cfgfile_path = path.c_str();
        g_clnt = saved_;
        ASSERT_EQ(cfg_load(&g_clnt), 0) << std::oct << c.mode;
        const Lines want = c.warned ? Lines{"Warning: configuration file " + path +
                                            " is readable by other users; it holds a password"}
                                    : Lines{};
        EXPECT_EQ(cap.take(), want) << std::oct << c.mode;
        EXPECT_STREQ(g_clnt.conf.tun_name, "tun0") << "a warning does not stop the load, mode " << std::oct << c.mode;
        EXPECT_EQ(g_clnt.conf.peerport, 4500);
    }
    unlink(path.c_str());
    rmdir(tmpl);
}

// ---- the status key ----

TEST_F(Cfg, StatusKeyNamesTheStatusFile)
{
    struct StatusCase {
        const char *name;
        std::string text;
        const char *want;
    };
    const StatusCase cases[] = {
        {"absent", BASE, ""},
        {"a path", BASE + "status=/run/tolvad/tolvad.prom\n", "/run/tolvad/tolvad.prom"},
        {"empty value turns it off", BASE + "status=/a.prom\nstatus=\n", ""},
        {"a later line replaces", BASE + "status=/a.prom\nstatus=/b.prom\n", "/b.prom"},
        {"nothing trimmed", BASE + "status= /a.prom \n", " /a.prom "},
        {"indented key is not the key", BASE + " status=/a.prom\n", ""},
        {"kept when the configuration fails validation", "status=/a.prom\n", "/a.prom"},
        {"longest value of one piece", BASE + "status=/" + std::string(247, 'p') + "\n",
         nullptr},  // compared below
    };
    for (const StatusCase &c : cases) {
        const sdwan_t r = parse(c.text, sdwan_t{});
        if (c.want != nullptr)
            EXPECT_STREQ(status_path(&r), c.want) << c.name;
        else
            EXPECT_EQ(std::string(status_path(&r)), "/" + std::string(247, 'p')) << c.name;
    }
}

}  // namespace
