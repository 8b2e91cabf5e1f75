// tolvactl check: what the daemon makes of a configuration, in its own words, and what its
// reader found on the way, line by line.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

#include "client/session.h"
#include "client/status.h"
#include "ctl/ctl.h"
#include "sdwan_build.h"
#include "support/client.h"
#include "support/tempdir.h"

namespace {

using Lines = std::vector<std::string>;

const std::string BASE = "[tolva0]\nserver=192.0.2.1\nusername=alice\npassword=secret\nport=4500\nmtu=1400\n";

struct CheckRun {
    int rc;
    std::string out;
};

// One check as a fresh daemon would read the file: the record starts over for every case.
CheckRun check(const std::string &path, bool json = false, const char *table = TEST_DATA_DIR "/route/gateway.txt")
{
    const client_ptr clnt = new_client();
    ctl_check_route_table(table);  // a host of the tests' own, not the machine's
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    CheckRun r;
    r.rc = ctl_check(clnt.get(), path.c_str(), json, out);
    fclose(out);
    r.out.assign(buf, len);
    free(buf);
    return r;
}

Lines with_prefix(const std::string &text, const std::string &prefix)
{
    Lines l;
    size_t pos = 0;
    for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1)
        if (text.compare(pos, prefix.size(), prefix) == 0)
            l.push_back(text.substr(pos + prefix.size(), nl - pos - prefix.size()));
    return l;
}

void write(const std::string &path, const std::string &text, mode_t mode = 0600)
{
    FILE *fp = fopen(path.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    fputs(text.c_str(), fp);
    fclose(fp);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

TEST(CtlCheck, ValidFileSaysWhatTheDaemonWillDo)
{
    TempDir dir;
    write(dir / "k.conf", BASE + "encrypt=1\npipeid=7\npipeidx=2\ndatalog=0\noffload=0\nstatus=/run/tolvad/tolvad.prom\n");
    const CheckRun r = check(dir / "k.conf");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "configuration " + (dir / "k.conf") +
                         "\n"
                         "  interface  tolva0\n"
                         "  peer       192.0.2.1 port 4500\n"
                         "  username   alice\n"
                         "  password   set\n"
                         "  mtu        1400 at most (the peer may ask for less)\n"
                         "  encrypt    asked of the peer\n"
                         "  pipe       id 7, index 2\n"
                         "  datalog    off\n"
                         "  offload    off\n"
                         "  status     /run/tolvad/tolvad.prom\n"
                         "  routes     all through the tunnel\n"
                         "  setdns     off\n"
                         "result: valid: tolvad will start a session\n");
}

TEST(CtlCheck, JsonForScripts)
{
    TempDir dir;
    write(dir / "k.conf", "[tolva1]\nserver=vpn.example.net\nusername=a\"b\npassword=x\nport=1\nmtu=576\n");
    const CheckRun r = check(dir / "k.conf", true);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "{\"config\":\"" + (dir / "k.conf") +
                         "\",\"valid\":true,\"result\":\"valid: tolvad will start a session\","
                         "\"interface\":\"tolva1\",\"peer\":{\"server\":\"vpn.example.net\",\"resolver\":\"" +
                         std::string(SDWAN_DNS_RESOLVER) +
                         "\",\"port\":1},\"username\":\"a\\\"b\",\"password_set\":true,\"mtu\":576,"
                         "\"encrypt\":false,\"pipeid\":0,\"pipeidx\":0,\"datalog\":true,\"offload\":true,\"status\":null,"
                         "\"routes\":null,\"setdns\":false,\"dnsdomains\":[],"
                         "\"log\":[\"sdwclnt: peer vpn.example.net is not in IPv4 format, treating it as domain\"],"
                         "\"warnings\":[],\"diagnostics\":[],\"diagnostics_dropped\":0}\n");
    write(dir / "k.conf", "[tolva1]\nserver=vpn.example.net\nusername=a\npassword=x\nport=1\nmtu=576\nresolver=10.94.0.2\n");
    EXPECT_NE(check(dir / "k.conf", true).out.find("\"resolver\":\"10.94.0.2\""), std::string::npos);
    EXPECT_EQ(with_prefix(check(dir / "k.conf").out, "  peer       "),
              Lines{"vpn.example.net port 1, a name: resolved through 10.94.0.2 before every attempt"});
    const CheckRun bad = check(dir / "none.conf", true);
    EXPECT_EQ(bad.rc, 1);
    EXPECT_NE(bad.out.find("\"valid\":false,\"result\":\"cannot read configuration file"), std::string::npos)
        << bad.out;
}

// The routes, setdns and dnsdomains keys as the daemon will use them.
TEST(CtlCheck, BranchKeys)
{
    struct {
        const char *keys;
        const char *routes;
        const char *setdns;
        const char *json;  // from "routes" to the end of "dnsdomains", or of "pathloss"
        Lines uplinks;
    } const cases[] = {
        {"routes=10.93.0.0/24, 172.16.0.0/12\nsetdns=1\ndnsdomains=corp.example,branch.corp.example\n",
         "10.93.0.0/24, 172.16.0.0/12 through the tunnel, the rest by the host's own routes",
         "on: lookups under corp.example, branch.corp.example to the peer's DNS servers",
         "\"routes\":[\"10.93.0.0/24\",\"172.16.0.0/12\"],\"setdns\":true,"
         "\"dnsdomains\":[\"corp.example\",\"branch.corp.example\"]", {}},
        {"routes=10.93.0.0/24\nsetdns=1\n", "10.93.0.0/24 through the tunnel, the rest by the host's own routes",
         "on: no domain routed to the peer's DNS servers (no dnsdomains)",
         "\"routes\":[\"10.93.0.0/24\"],\"setdns\":true,\"dnsdomains\":[]", {}},
        {"setdns=1\ndnsdomains=corp.example,lab.example\n", "all through the tunnel",
         "on: every lookup to the peer's DNS servers, search corp.example lab.example",
         "\"routes\":null,\"setdns\":true,\"dnsdomains\":[\"corp.example\",\"lab.example\"]", {}},
        {"setdns=1\n", "all through the tunnel", "on: every lookup to the peer's DNS servers",
         "\"routes\":null,\"setdns\":true,\"dnsdomains\":[]", {}},
        {"uplinks=eth0, wwan0@10.0.0.2:backup\npathpolicy=backup\nprobeinterval=500\npathloss=20\n",
         "all through the tunnel", "off",
         "\"routes\":null,\"setdns\":false,\"dnsdomains\":[],\"uplinks\":[{\"name\":\"eth0\",\"source\":null,"
         "\"priority\":1,\"backup\":false},{\"name\":\"wwan0\",\"source\":\"10.0.0.2\",\"priority\":2,\"backup\":true}],"
         "\"pathpolicy\":\"backup\",\"probeinterval\":500,\"pathloss\":20",
         {"eth0 priority 1, wwan0@10.0.0.2 backup, priority 2; pathpolicy backup, a probe every 500 ms, degraded past 20% lost"}},
    };
    TempDir dir;
    for (const auto &t : cases) {
        write(dir / "k.conf", BASE + t.keys);
        const CheckRun r = check(dir / "k.conf");
        EXPECT_EQ(r.rc, 0) << t.keys;
        EXPECT_EQ(with_prefix(r.out, "  routes     "), Lines{t.routes}) << t.keys;
        EXPECT_EQ(with_prefix(r.out, "  setdns     "), Lines{t.setdns}) << t.keys;
        EXPECT_EQ(with_prefix(r.out, "  uplinks    "), t.uplinks) << t.keys;
        const CheckRun j = check(dir / "k.conf", true);
        EXPECT_NE(j.out.find(std::string(",") + t.json + ",\"log\":"), std::string::npos) << j.out;
    }
    write(dir / "k.conf", BASE + "routes=10.93.0.1/24\n");
    EXPECT_EQ(with_prefix(check(dir / "k.conf").out, "result: "), Lines{"sdwclnt configuration failed: INVALID routes"});
    write(dir / "k.conf", BASE + "dnsdomains=corp..example.\n");
    EXPECT_EQ(with_prefix(check(dir / "k.conf").out, "result: "),
              Lines{"sdwclnt configuration failed: INVALID dnsdomains"});
}

// Split routes against the uplinks' own networks: eth0 carries the default route (192.168.1.0/24),
// wlan0 the path to the peer 192.0.2.1 (10.20.0.0/16); docker0's network is no uplink's.
TEST(CtlCheck, RoutesOverTheUplinksOwnNetwork)
{
    struct {
        const char *routes;
        Lines warn;
    } const cases[] = {
        {"10.93.0.0/24,172.17.0.0/16", {}},
        {"192.168.1.0/24",
         {"routes: 192.168.1.0/24 lies in 192.168.1.0/24, the network of the uplink eth0: those hosts would be sent "
          "into the tunnel, not reached on eth0"}},
        {"10.20.7.0/24",
         {"routes: 10.20.7.0/24 lies in 10.20.0.0/16, the network of the uplink wlan0: those hosts would be sent "
          "into the tunnel, not reached on wlan0"}},
        {"0.0.0.0/1,128.0.0.0/1",
         {"routes: 128.0.0.0/1 covers 192.168.1.0/24, the network of the uplink eth0: that network stays on eth0",
          "routes: 0.0.0.0/1 covers 10.20.0.0/16, the network of the uplink wlan0: that network stays on wlan0"}},
    };
    TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.routes);
        write(dir / "k.conf", BASE + "routes=" + c.routes + "\n");
        const CheckRun r = check(dir / "k.conf", false, TEST_DATA_DIR "/route/uplinks.txt");
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(with_prefix(r.out, "warning: "), c.warn) << r.out;
    }
}

struct MistakeCase {
    const char *name;
    std::string text;
    mode_t mode;
    int rc;
    const char *result;
    Lines lines;  // "<file>:" left off; "warning: " lines as they are, "@" for the file's path
};

// What the reader found, line by line, after the result; errors make a file that cannot work
// fail the check even where the daemon would start.
TEST(CtlCheck, MistakesAreNamedByLine)
{
    const char *VALID = "valid: tolvad will start a session";
    const char *BROKEN1 = "tolvad would start a session, but one that cannot work: 1 error below";
    const MistakeCase cases[] = {
        {"blank before =", "[tolva0]\nserver=192.0.2.1\nusername=alice\npassword=secret\nport = 4500\nmtu=1400\n", 0600,
         1, "sdwclnt configuration failed: INVALID port",
         {"5: warning: blank before '=': the key is read as \"port \" and ignored"}},
        {"readable by others", BASE, 0644, 0, VALID,
         {"warning: readable by other users (mode 0644) and it holds a password: chmod 600 @"}},
        {"CR line ends", "[tolva0]\r\nserver=192.0.2.1\r\nusername=alice\r\npassword=secret\r\nport=4500\r\nmtu=1400\r\n",
         0600, 1, "tolvad would start a session, but one that cannot work: 3 errors below",
         {"2: error: ends in CR LF: the carriage return is part of the server value",
          "3: error: ends in CR LF: the carriage return is part of the username value",
          "4: error: ends in CR LF: the carriage return is part of the password value"}},
        {"port that wraps", BASE + "port=70000\n", 0600, 1, BROKEN1,
         {"7: warning: port again: this value replaces the one of line 5",
          "7: error: port=70000 is not 1 to 65535: tolvad reads it as 4464"}},
        {"mtu that wraps", "[tolva0]\nserver=192.0.2.1\nusername=alice\npassword=secret\nport=4500\nmtu=65582\n", 0600, 1,
         BROKEN1, {"6: error: mtu=65582 is not 46 to 1600: tolvad reads it as 46"}},
        {"IPv6 server", "[tolva0]\nserver=2001:db8::1\nusername=alice\npassword=secret\nport=4500\nmtu=1400\n", 0600, 1,
         BROKEN1, {"2: error: server is an IPv6 address: tolvad reaches its peer over IPv4 only"}},
        {"server with a port", "[tolva0]\nserver=vpn.example.net:4500\nusername=a\npassword=b\nport=4500\nmtu=1400\n",
         0600, 1, BROKEN1,
         {"2: error: server holds a port: tolvad would look the whole text up as a name; give the port as port=4500"}},
        {"routes, each element", BASE + "routes=10.93.0.1/24, 10.94.0.0/33,,10.95.0.0, 10/8,10.96.0.0/16 x\n", 0600, 1,
         "sdwclnt configuration failed: INVALID routes",
         {"7: error: routes: \"10.93.0.1/24\" has bits set past its /24: the network is 10.93.0.0/24",
          "7: error: routes: \"10.94.0.0/33\" has a length that is not 1 to 32",
          "7: error: routes: an element is empty (two commas, or a comma at an end)",
          "7: error: routes: \"10.95.0.0\" has no /length",
          "7: error: routes: \"10/8\" is not an address a.b.c.d with a length",
          "7: error: routes: \"10.96.0.0/16\" is followed by more text before the next comma"}},
        {"dnsdomains", BASE + "dnsdomains=corp.example,c_rp.example\n", 0600, 1,
         "sdwclnt configuration failed: INVALID dnsdomains",
         {"7: error: dnsdomains: not a list of names of letters, digits, '-' and '.' within 255 characters"}},
        {"resolver", BASE + "resolver=dns.example\nresolver=127.0.0.53\n", 0600, 1,
         "sdwclnt configuration failed: INVALID resolver",
         {"7: error: resolver: \"dns.example\" is not an IPv4 address a.b.c.d",
          "8: warning: resolver again: this value replaces the one of line 7",
          "8: error: resolver: 127.0.0.53 cannot be a resolver outside the tunnel (not in 0/8, 127/8 or 224/3)"}},
        {"uplinks", BASE + "uplinks=eth0,eth0:backup,wwan0:256\npathloss=0\n", 0600, 1,
         "sdwclnt configuration failed: INVALID uplinks",
         {"7: error: uplinks: entry 2 \"eth0:backup\" names the interface of entry 1 again",
          "7: error: uplinks: entry 3 \"wwan0:256\" has a priority that is not 1 to 255 or backup",
          "8: warning: pathloss=0 is not 1 to 100: tolvad uses 1"}},
    };
    for (const MistakeCase &c : cases) {
        TempDir dir;
        const std::string path = dir / "k.conf";
        write(path, c.text, c.mode);
        const CheckRun r = check(path);
        EXPECT_EQ(r.rc, c.rc) << c.name;
        EXPECT_EQ(with_prefix(r.out, "result: "), Lines{c.result}) << c.name << "\n" << r.out;
        Lines want = c.lines;
        for (std::string &w : want)
            if (size_t at = w.find('@'); at != std::string::npos)
                w.replace(at, 1, path);
        Lines got = with_prefix(r.out, path + ":");
        for (const std::string &w : with_prefix(r.out, "warning: "))
            got.push_back("warning: " + w);
        EXPECT_EQ(got, want) << c.name << "\n" << r.out;
    }
}

TEST(CtlCheck, JsonCarriesTheDiagnostics)
{
    TempDir dir;
    write(dir / "k.conf", BASE + "port=70000\nfoo=1\n");
    const CheckRun r = check(dir / "k.conf", true);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("\"valid\":false,\"result\":\"tolvad would start a session, but one that cannot work: 1 error "
                         "below\",\"interface\":\"tolva0\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(",\"diagnostics\":["
                         "{\"line\":7,\"kind\":\"repeated\",\"severity\":\"warning\",\"key\":\"port\","
                         "\"text\":\"port again: this value replaces the one of line 5\"},"
                         "{\"line\":7,\"kind\":\"bounds\",\"severity\":\"error\",\"key\":\"port\","
                         "\"text\":\"port=70000 is not 1 to 65535: tolvad reads it as 4464\"},"
                         "{\"line\":8,\"kind\":\"unknown_key\",\"severity\":\"warning\",\"key\":\"foo\","
                         "\"text\":\"unknown key \\\"foo\\\": tolvad ignores it\"}],\"diagnostics_dropped\":0}\n"),
              std::string::npos)
        << r.out;
}

// The daemon's own lines come through unchanged, time stamps removed.
TEST(CtlCheck, TheDaemonsWords)
{
    TempDir dir;
    write(dir / "k.conf", BASE, 0644);
    EXPECT_EQ(with_prefix(check(dir / "k.conf").out, "tolvad logs: "),
              Lines{"Warning: configuration file " + (dir / "k.conf") +
                    " is readable by other users; it holds a password"});
    const CheckRun missing = check(dir / "none.conf");
    EXPECT_EQ(missing.rc, 1);
    EXPECT_EQ(with_prefix(missing.out, "result: "),
              Lines{"cannot read configuration file " + (dir / "none.conf") + ": No such file or directory"});
}

// The command line: exit statuses and the status file found through the configuration.
TEST(CtlCommand, ExitStatuses)
{
    TempDir dir;
    write(dir / "ok.conf", BASE);
    write(dir / "bad.conf", "[tolva0]\n");
    write(dir / "nostatus.conf", BASE);
    write(dir / "status.conf", BASE + "status=" + (dir / "absent.prom") + "\n");
    struct Case {
        std::string args;
        int rc;
        std::string err_has;
    };
    const Case cases[] = {
        {"", 2, "Usage: tolvactl check"},
        {"-h", 0, ""},
        {"frob", 2, "unknown command frob"},
        {"check -f " + (dir / "ok.conf"), 0, ""},
        {"check -f " + (dir / "bad.conf"), 1, ""},
        {"check --json -f " + (dir / "none.conf"), 1, ""},
        {"check -x", 2, "unexpected argument -x"},
        {"show -f " + (dir / "nostatus.conf"), 1, "names no status file (status=)"},
        {"show -f " + (dir / "status.conf"), 1, "cannot read status file " + (dir / "absent.prom")},
        {"show " + (dir / "ok.conf"), 1, "is not a tolvad status file"},
        {"cleanup -f " + (dir / "none.conf"), 1, "cannot read configuration file " + (dir / "none.conf")},
        {"cleanup --json", 2, "unexpected argument --json"},
        {"cleanup -f " + (dir / "ok.conf"), 0, ""},  // no interface of that name: nothing to do
    };
    for (const Case &c : cases) {
        const std::string cmd = std::string(TOLVACTL_BIN) + " " + c.args + " >/dev/null 2>" + (dir / "err");
        const int st = system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(st)) << c.args;
        EXPECT_EQ(WEXITSTATUS(st), c.rc) << c.args;
        FILE *fp = fopen((dir / "err").c_str(), "r");
        ASSERT_NE(fp, nullptr);
        char buf[2048];
        const size_t n = fread(buf, 1, sizeof buf, fp);
        fclose(fp);
        const std::string err(buf, n);
        EXPECT_NE(err.find(c.err_has), std::string::npos) << c.args << ": " << err;
    }
}

}  // namespace

TEST(CtlCheck, MalformedPeerkeyNamedWithItsLine)
{
    TempDir dir;
    write(dir / "k.conf", BASE + "peerkey=" + std::string(43, 'A') + "\n");
    const CheckRun r = check(dir / "k.conf");
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(with_prefix(r.out, dir / "k.conf:7: "),
              Lines{"error: peerkey: not a public key (44 characters of base64 giving 32 bytes)"});
    EXPECT_EQ(with_prefix(r.out, "result: "), Lines{"sdwclnt configuration failed: INVALID peerkey"});
}

TEST(CtlCheck, PeerkeySaysTheSessionIsSealed)
{
    TempDir dir;
    const std::string key = "3p7bfXt9wbTTW2HC7OQ1Nz+DQ8hbeGdNrfx+FG+IK08=";
    write(dir / "k.conf", BASE + "peerkey=" + key + "\n");
    const CheckRun r = check(dir / "k.conf");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(with_prefix(r.out, "  peerkey    "), Lines{key + ": the sealed session only, never the legacy protocol"});
    // A sealed session keeps the offloads as the legacy one does.
    EXPECT_EQ(with_prefix(r.out, "  offload    "), Lines{"what the kernel grants (TUN segmentation, UDP GSO and GRO)"});
    const CheckRun j = check(dir / "k.conf", true);
    EXPECT_NE(j.out.find(",\"offload\":true,\"peerkey\":\"" + key + "\","), std::string::npos) << j.out;
}
