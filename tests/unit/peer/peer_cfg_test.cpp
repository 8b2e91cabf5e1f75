// The peer server's configuration file: what a good file yields, and the one line each fault
// produces.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "peer/peer.h"
#include "support/tempdir.h"
#include "support/wire.h"

namespace {

using namespace std::string_literals;

int read_text(const std::string &text, peer_cfg_t *cfg, std::string *err)
{
    std::string copy = text;
    FILE *fp = fmemopen(copy.data(), copy.size(), "r");
    if (fp == nullptr)
        return -2;
    char e[PEER_ERRLEN] = "untouched";
    int r = peer_cfg_read(fp, cfg, e, sizeof e);
    fclose(fp);
    *err = e;
    return r;
}

peer_cfg_t cfg;  // large: static storage, as in the server

const std::string kBase = "[sdw0]\nport=4500\npool=10.8.0.0\nuser=alice:secret\n";

TEST(PeerCfg, GoodFileYieldsEveryField)
{
    const std::string text = "# peer server\n"
                             "[sdw0]\r\n"
                             "port=4500\r\n"
                             "pool=10.8.0.0/24\n"
                             "mtu=1380\n"
                             "encrypt=1\n"
                             "offload=0\n"
                             "logsize=16\n"
                             "dns=9.9.9.9,149.112.112.112\n"
                             "log=/var/log/sdwan-peerd.log\n"
                             "listen=192.0.2.10\n"
                             "\n"
                             "user=alice:s3cret=#x\n"
                             "user=bob:hunter2:10.8.0.50\n";
    std::string err;
    ASSERT_EQ(read_text(text, &cfg, &err), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_STREQ(cfg.tun_name, "sdw0");
    EXPECT_EQ(cfg.port, 4500);
    EXPECT_EQ(cfg.pool, wire::addr("10.8.0.0"));
    EXPECT_EQ(cfg.mtu, 1380);
    EXPECT_EQ(cfg.encrypt, 1);
    EXPECT_EQ(cfg.offload, 0);
    EXPECT_EQ(cfg.logsize, 16u);
    EXPECT_EQ(cfg.dns0, wire::addr("9.9.9.9"));
    EXPECT_EQ(cfg.dns1, wire::addr("149.112.112.112"));
    EXPECT_STREQ(cfg.log, "/var/log/sdwan-peerd.log");
    EXPECT_EQ(cfg.listen, wire::addr("192.0.2.10"));
    ASSERT_EQ(cfg.nusers, 2);
    EXPECT_STREQ(cfg.users[0].name, "alice");
    EXPECT_STREQ(cfg.users[0].pass, "s3cret=#x");  // '=' and '#' belong to the value
    EXPECT_EQ(cfg.users[0].namelen, 5);
    EXPECT_EQ(cfg.users[0].fixed_ip, 0u);
    EXPECT_STREQ(cfg.users[1].name, "bob");
    EXPECT_STREQ(cfg.users[1].pass, "hunter2");
    EXPECT_EQ(cfg.users[1].fixed_ip, wire::addr("10.8.0.50"));
}

TEST(PeerCfg, DefaultsWhenOptionalKeysAreAbsent)
{
    std::string err;
    ASSERT_EQ(read_text(kBase, &cfg, &err), 0) << err;
    EXPECT_EQ(cfg.mtu, PEER_MTU_DEFAULT);
    EXPECT_EQ(cfg.encrypt, 0);
    EXPECT_EQ(cfg.offload, 1);
    EXPECT_EQ(cfg.logsize, 64u);
    EXPECT_EQ(cfg.dns0, 0u);
    EXPECT_EQ(cfg.dns1, 0u);
    EXPECT_STREQ(cfg.log, "");
    EXPECT_EQ(cfg.listen, 0u);
}

struct Good {
    const char *line;
    uint16_t mtu;
    uint32_t dns0, dns1;
};

TEST(PeerCfg, BoundaryValuesAccepted)
{
    const Good cases[] = {
        {"mtu=68", 68, 0, 0},
        {"mtu=1600", 1600, 0, 0},
        {"dns=1.1.1.1", PEER_MTU_DEFAULT, wire::addr("1.1.1.1"), 0},
        {"dns=1.1.1.1,8.8.4.4", PEER_MTU_DEFAULT, wire::addr("1.1.1.1"), wire::addr("8.8.4.4")},
    };
    for (const Good &c : cases) {
        std::string err;
        ASSERT_EQ(read_text(kBase + c.line + "\n", &cfg, &err), 0) << c.line << ": " << err;
        EXPECT_EQ(cfg.mtu, c.mtu) << c.line;
        EXPECT_EQ(cfg.dns0, c.dns0) << c.line;
        EXPECT_EQ(cfg.dns1, c.dns1) << c.line;
    }
}

struct Bad {
    std::string text;  // appended to kBase unless it starts with '!'
    const char *err;
};

TEST(PeerCfg, EachFaultNamesItsLine)
{
    const Bad cases[] = {
        // Pools: a network of /16 to /24 written in full, starting at its first address.
        {"pool=10.8.0.1", "line 5: pool must be a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
        {"pool=10.8.0", "line 5: pool must be a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
        {"pool=10.8.0.0/15", "line 5: pool must be a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
        {"pool=10.8.0.0/25", "line 5: pool must be a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
        {"pool=10.8.1.0/23", "line 5: pool must be a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
        {"pool=10.8.0.0/024", "line 5: pool must be a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
        {"pool=10.8.0.0/", "line 5: pool must be a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
        {"pool=10.8.0.0/24 ", "line 5: pool must be a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
        {"pool=300.8.0.0", "line 5: pool must be a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
        {"pool=10.8.0.0 ", "line 5: pool must be a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
        {"pool=", "line 5: pool must be a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
        {"pool=0.0.0.0", "line 5: pool must be a network of /16 to /24 such as 10.8.0.0/24 or 10.8.0.0/20"},
        // Users.
        {"user=carol", "line 5: user needs name:password[:address]"},
        {"user=carol:pw:10.8.0.9:x", "line 5: user needs name:password[:address]"},
        {"user=:pw", "line 5: user name must have 1 to 31 characters"},
        {"user=abcdefghijklmnopqrstuvwxyz012345:pw", "line 5: user name must have 1 to 31 characters"},
        {"user=car ol:pw", "line 5: user name must be printable without blanks"},
        {"user=carol:", "line 5: password must have 1 to 31 characters"},
        {"user=carol::10.8.0.9", "line 5: password must have 1 to 31 characters"},
        {"user=carol:abcdefghijklmnopqrstuvwxyz0123456", "line 5: password must have 1 to 31 characters"},
        {"user=alice:other", "line 5: user alice appears twice"},
        {"user=carol:pw:10.8.0", "line 5: bad address 10.8.0 for user carol"},
        {"user=carol:pw:", "line 5: bad address  for user carol"},
        {"user=carol:pw:10.9.0.5", "user carol: address 10.9.0.5 is not a client address of the pool"},
        {"user=carol:pw:10.8.0.1", "user carol: address 10.8.0.1 is not a client address of the pool"},
        {"user=carol:pw:10.8.0.255", "user carol: address 10.8.0.255 is not a client address of the pool"},
        {"user=carol:pw:10.8.0.7\nuser=dave:pw:10.8.0.7", "user dave: address 10.8.0.7 is already given to user carol"},
        // Numbers.
        {"port=0", "line 5: port must be 1 to 65535"},
        {"port=65536", "line 5: port must be 1 to 65535"},
        {"port=+80", "line 5: port must be 1 to 65535"},
        {"port=80 ", "line 5: port must be 1 to 65535"},
        {"mtu=67", "line 5: mtu must be 68 to 1600"},
        {"mtu=1601", "line 5: mtu must be 68 to 1600"},
        {"encrypt=2", "line 5: encrypt must be 0 or 1"},
        {"encrypt=yes", "line 5: encrypt must be 0 or 1"},
        {"offload=2", "line 5: offload must be 0 or 1"},
        {"offload=", "line 5: offload must be 0 or 1"},
        {"logsize=1048577", "line 5: logsize must be 0 to 1048576"},
        {"logsize=-1", "line 5: logsize must be 0 to 1048576"},
        {"listen=10.92.0", "line 5: listen must be an address a.b.c.d"},
        {"listen=", "line 5: listen must be an address a.b.c.d"},
        {"dns=8.8.8", "line 5: dns must be one or two addresses a.b.c.d[,e.f.g.h]"},
        {"dns=8.8.8.8,", "line 5: dns must be one or two addresses a.b.c.d[,e.f.g.h]"},
        {"dns=1.1.1.1,2.2.2.2,3.3.3.3", "line 5: dns must be one or two addresses a.b.c.d[,e.f.g.h]"},
        // Shape of lines.
        {"encrpyt=1", "line 5: unknown key encrpyt"},
        {" port=4500", "line 5: unknown key  port"},
        {"port", "line 5: expected key=value"},
        {"[]", "line 5: interface name must be [name] with 1 to 15 characters"},
        {"[sixteen-chars-xx]", "line 5: interface name must be [name] with 1 to 15 characters"},
        {"[a/b]", "line 5: interface name must be [name] with 1 to 15 characters"},
        {"log=", "line 5: log must be a path of 1 to 255 characters"},
        {"metrics=", "line 5: metrics must be a path of 1 to 251 characters"},
        {"status=", "line 5: status must be a path of 1 to 245 characters"},
        {"status=/" + std::string(245, 'x'), "line 5: status must be a path of 1 to 245 characters"},
        {"sessions=0", "line 5: sessions must be 1 to 60000"},
        {"sessions=60001", "line 5: sessions must be 1 to 60000"},
        {"legacy=2", "line 5: legacy must be 0 or 1"},
        {"privatekey=", "line 5: privatekey must be a path of 1 to 255 characters"},
        {"legacy=0", "legacy=0 needs privatekey="},
        {"privatekey=/nonexistent/k", "privatekey /nonexistent/k: cannot be opened: No such file or directory"},
        // Required settings.
        {"!port=4500\npool=10.8.0.0\nuser=a:b\n", "no [interface] line"},
        {"![sdw0]\npool=10.8.0.0\nuser=a:b\n", "no port= line"},
        {"![sdw0]\nport=1\nuser=a:b\n", "no pool= line"},
        {"![sdw0]\nport=1\npool=10.8.0.0\n", "no user= line"},
        {"!", "no [interface] line"},
        // A single-valued key given twice, once its value is right.
        {"port=4600", "line 5: port= given again (first on line 2)"},
        {"pool=10.9.0.0", "line 5: pool= given again (first on line 3)"},
        {"[sdw1]", "line 5: a second [interface] line (the first is on line 1)"},
        {"mtu=1400\nmtu=1500", "line 6: mtu= given again (first on line 5)"},
        {"encrypt=1\nencrypt=0", "line 6: encrypt= given again (first on line 5)"},
        {"offload=1\noffload=1", "line 6: offload= given again (first on line 5)"},
        {"logsize=1\nlogsize=2", "line 6: logsize= given again (first on line 5)"},
        {"listen=10.0.0.1\nlisten=10.0.0.1", "line 6: listen= given again (first on line 5)"},
        {"dns=1.1.1.1\ndns=8.8.8.8", "line 6: dns= given again (first on line 5)"},
        {"log=/a.log\nlog=/b.log", "line 6: log= given again (first on line 5)"},
        // NUL bytes: nothing after one may be dropped unseen.
        {"!" + "[sdw0]\nport=4600\0junk\npool=10.8.0.0\nuser=a:b\n"s, "line 2: holds a NUL byte"},
        {"user=carol:pw\0:10.8.0.9"s, "line 5: holds a NUL byte"},
        {"# a comment\0"s, "line 5: holds a NUL byte"},
        {"\0"s, "line 5: holds a NUL byte"},
    };
    for (const Bad &c : cases) {
        std::string text = c.text[0] == '!' ? c.text.substr(1) : kBase + c.text + "\n";
        std::string err;
        EXPECT_EQ(read_text(text, &cfg, &err), -1) << c.text;
        EXPECT_EQ(err, c.err) << c.text;
    }
}

TEST(PeerCfg, PoolSplitIntoSlash24sAndTableSize)
{
    struct Case {
        const char *pool;
        uint32_t npools;
    } cases[] = {{"10.8.0.0", 1}, {"10.8.0.0/24", 1}, {"10.8.16.0/20", 16}, {"10.8.0.0/16", 256}, {"10.9.6.0/23", 2}};
    for (const Case &c : cases) {
        std::string err;
        ASSERT_EQ(read_text(std::string("[t]\nport=1\npool=") + c.pool + "\nuser=a:b\n", &cfg, &err), 0) << c.pool << err;
        EXPECT_EQ(cfg.npools, c.npools) << c.pool;
        EXPECT_EQ(cfg.sessions, PEER_SESS_DEFAULT);
    }
    std::string err;
    ASSERT_EQ(read_text("[t]\nport=1\npool=10.8.16.0/20\nsessions=20000\nmetrics=/run/peer.prom\n"
                        "status=/run/sdwan-peerd/status\nuser=a:b:10.8.31.254\nuser=c:d:10.8.16.2\n",
                        &cfg, &err),
              0)
        << err;
    EXPECT_EQ(cfg.sessions, 20000u);
    EXPECT_STREQ(cfg.metrics, "/run/peer.prom");
    EXPECT_STREQ(cfg.status, "/run/sdwan-peerd/status");
    EXPECT_EQ(peer_pool_off(&cfg, wire::addr("10.8.31.254")), 15u * 256 + 254);
    EXPECT_EQ(peer_pool_off(&cfg, wire::addr("10.8.32.0")), UINT32_MAX);
    EXPECT_EQ(peer_pool_off(&cfg, wire::addr("10.8.15.255")), UINT32_MAX);
    // Fixed addresses: anywhere in the pool but on a /24's network, gateway or broadcast.
    const Bad bad[] = {
        {"user=e:f:10.8.32.2", "user e: address 10.8.32.2 is not a client address of the pool"},
        {"user=e:f:10.8.20.1", "user e: address 10.8.20.1 is not a client address of the pool"},
        {"user=e:f:10.8.20.0", "user e: address 10.8.20.0 is not a client address of the pool"},
        {"user=e:f:10.8.16.2", "user e: address 10.8.16.2 is already given to user c"},
    };
    for (const Bad &b : bad) {
        EXPECT_EQ(read_text(std::string("[t]\nport=1\npool=10.8.16.0/20\nuser=c:d:10.8.16.2\n") + b.text + "\n", &cfg,
                            &err),
                  -1);
        EXPECT_EQ(err, b.err);
    }
}

TEST(PeerCfg, ManyUsersAreFoundByName)
{
    std::string text = "[t]\nport=1\npool=10.8.0.0/16\n";
    for (int i = 0; i < 10000; i++)
        text += "user=branch-" + std::to_string(i) + ":pw" + std::to_string(i) + "\n";
    std::string err;
    ASSERT_EQ(read_text(text, &cfg, &err), 0) << err;
    ASSERT_EQ(cfg.nusers, 10000);
    for (int i : {0, 1, 4999, 9999}) {
        std::string n = "branch-" + std::to_string(i);
        EXPECT_EQ(peer_user_find(&cfg, reinterpret_cast<const uint8_t *>(n.data()), static_cast<uint32_t>(n.size())), i);
    }
    EXPECT_EQ(peer_user_find(&cfg, reinterpret_cast<const uint8_t *>("branch-10000"), 12), -1);
    EXPECT_EQ(peer_user_find(&cfg, reinterpret_cast<const uint8_t *>("branch-1"), 7), -1);  // a prefix
    EXPECT_EQ(read_text(text + "user=branch-77:x\n", &cfg, &err), -1);
    EXPECT_EQ(err, "line 10004: user branch-77 appears twice");
}

TEST(PeerCfg, FixedAddressMayComeBeforeThePool)
{
    std::string err;
    ASSERT_EQ(read_text("[t]\nuser=bob:pw:192.168.7.20\nport=1\npool=192.168.7.0\n", &cfg, &err), 0) << err;
    EXPECT_EQ(cfg.users[0].fixed_ip, wire::addr("192.168.7.20"));
}

TEST(PeerCfg, LongLineIsAFault)
{
    std::string err;
    std::string text = kBase + "log=/" + std::string(300, 'x') + "\n";
    EXPECT_EQ(read_text(text, &cfg, &err), -1);
    EXPECT_EQ(err, "line 5: longer than 254 characters");
}

TEST(PeerCfg, TooManyUsers)
{
    std::string text = "[t]\nport=1\npool=10.1.2.0\n";
    for (int i = 0; i <= PEER_MAX_USERS; i++)
        text += "user=u" + std::to_string(i) + ":pw\n";
    std::string err;
    EXPECT_EQ(read_text(text, &cfg, &err), -1);
    EXPECT_EQ(err, "line " + std::to_string(4 + PEER_MAX_USERS) + ": more than " + std::to_string(PEER_MAX_USERS) + " users");
}

TEST(PeerCfg, MissingFile)
{
    char e[PEER_ERRLEN];
    EXPECT_EQ(peer_cfg_load("/nonexistent/peer.conf", &cfg, e, sizeof e), -1);
    EXPECT_STREQ(e, "cannot open: No such file or directory");
}

// Only a regular file of at most 16 MiB (200 000 users) is read: /dev/zero would never end, a FIFO would hold the
// open, a directory is no configuration.
TEST(PeerCfg, OnlyARegularFileOfASaneSize)
{
    TempDir dir;
    const std::string fifo = dir / "fifo", big = dir / "big.conf", full = dir / "full.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const size_t max = static_cast<size_t>(PEER_CFG_FILE_MAX);
    std::string text = kBase;
    while (text.size() < max)
        text += max - text.size() < 2 ? "\n" : "#" + std::string(std::min<size_t>(200, max - text.size() - 2), 'c') + "\n";
    ASSERT_EQ(text.size(), max);
    std::ofstream(full, std::ios::binary) << text;
    std::ofstream(big, std::ios::binary) << text << "#";
    const struct {
        std::string path;
        const char *err;  // null: loads
    } cases[] = {
        {dir.path(), "not a regular file"}, {"/dev/zero", "not a regular file"}, {fifo, "not a regular file"},
        {big, "larger than 16777216 bytes"}, {full, nullptr},
    };
    for (const auto &c : cases) {
        char e[PEER_ERRLEN] = "";
        EXPECT_EQ(peer_cfg_load(c.path.c_str(), &cfg, e, sizeof e), c.err == nullptr ? 0 : -1) << c.path;
        EXPECT_STREQ(e, c.err == nullptr ? "" : c.err) << c.path;
    }
}

TEST(PeerCfg, StrictAddressText)
{
    struct {
        const char *text;
        int ok;
    } cases[] = {
        {"10.8.0.2", 1},  {"255.255.255.255", 1}, {"010.8.0.2", 0}, {"10.8.0", 0},   {"10.1", 0},
        {"10..0.2", 0},   {".10.8.0", 0},         {"10.8.0.2.", 0}, {"10.8.0.256", 0}, {"1.2.3.4 ", 0},
        {"0.0.0.0", 0},   {"a.b.c.d", 0},         {"", 0},
    };
    for (const auto &c : cases) {
        uint32_t ip = 0;
        EXPECT_EQ(peer_parse_addr(c.text, &ip) == 0, c.ok == 1) << c.text;
        if (c.ok) {
            EXPECT_EQ(ip, wire::addr(c.text)) << c.text;
        }
    }
}

}  // namespace
