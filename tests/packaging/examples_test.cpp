// The example configurations the package installs: each is read by the real parser as it
// ships (the commented optional keys stay off), and again with every commented "#key=value"
// line switched on, so an example value that the parser would refuse never reaches a user.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "client/status.h"
#include "net/ipaddr.h"
#include "peer/peer.h"
#include "daemon/cfg.h"
#include "base/log.h"
#include "seal/keyfile.h"
#include "seal/noise.h"
#include "support/logcap.h"
#include "support/tempdir.h"

namespace {

std::string slurp(const std::string &name)
{
    std::ifstream f(std::string(PACKAGING_ETC_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(f.good()) << name;
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// "#key=value" lines become "key=value"; prose comments ("# ...") stay.
std::string uncomment(const std::string &text, int *switched)
{
    static const std::regex opt("^#([a-z]+=)", std::regex::multiline);
    std::string out = std::regex_replace(text, opt, "$1");
    *switched = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), opt); it != std::sregex_iterator(); ++it)
        (*switched)++;
    return out;
}

FILE *open_text(std::string &text) { return fmemopen(text.data(), text.size(), "r"); }

uint32_t addr(const char *a) { return str2ip(a); }

class ClientExample : public ::testing::Test {
protected:
    LogCapture cap;
    sdwan_t rec{};

    std::vector<std::string> read(std::string text)
    {
        rec = sdwan_t{};
        rec.conf.datalog = 1;  // the daemon's defaults, set before the file is read
        rec.conf.offload = 1;
        log_set_limit(7 * LOG_MIB);  // a value the file must leave alone unless it sets logsize
        FILE *fp = open_text(text);
        EXPECT_NE(fp, nullptr);
        if (fp != nullptr) {
            EXPECT_EQ(cfg_read(fp, &rec), 0);
            fclose(fp);
        }
        return cap.take();
    }
    void TearDown() override
    {
        log_set_limit(0);
    }
};

TEST_F(ClientExample, AsShippedIsValidWithOptionalKeysOff)
{
    auto log = read(slurp("kesp.conf.example"));
    EXPECT_TRUE(log.empty()) << log.front();
    EXPECT_STREQ(rec.conf.tun_name, "tun0");
    EXPECT_STREQ(rec.conf.peer, "198.51.100.7");
    EXPECT_EQ(rec.sess.peerip, addr("198.51.100.7"));
    EXPECT_EQ(rec.conf.peerport, 4500);
    EXPECT_STREQ(rec.conf.user, "alice");
    EXPECT_STREQ(rec.conf.pass, "change-me");
    EXPECT_EQ(rec.conf.mtu, 1400);
    EXPECT_EQ(rec.conf.encrypt, 0);
    EXPECT_EQ(rec.conf.pipeid, 0);
    EXPECT_EQ(rec.conf.pipeidx, 0);
    EXPECT_EQ(rec.conf.datalog, 0) << "the per-packet line is off as shipped";
    EXPECT_EQ(rec.conf.offload, 1) << "the offloads are on as shipped";
    EXPECT_EQ(rec.conf.killswitch, 0) << "no kill switch as shipped";
    EXPECT_EQ(log_limit(), 7 * LOG_MIB) << "logsize stays commented out";
    EXPECT_STREQ(status_path(&rec), "/run/tolvad/tolvad.prom") << "the status file is on as shipped";
    EXPECT_EQ(rec.conf.rtmode, SDWAN_RTMODE_FULL) << "routes stays commented out";
    EXPECT_EQ(rec.conf.setdns, 0);
    EXPECT_EQ(rec.conf.peerkey_state, SDWAN_PEERKEY_NONE) << "the legacy protocol as shipped";
    EXPECT_EQ(rec.conf.nuplinks, 0) << "one socket following the host's routes as shipped";
}

TEST_F(ClientExample, EveryCommentedKeySwitchedOnIsValid)
{
    int switched = 0;
    std::string text = uncomment(slurp("kesp.conf.example"), &switched);
    // encrypt, pipeid, pipeidx, offload, killswitch, peerkey, logsize, resolver, waitroute, routes, setdns,
    // dnsdomains, uplinks, pathpolicy, probeinterval, pathloss
    EXPECT_EQ(switched, 16);
    auto log = read(text);
    EXPECT_TRUE(log.empty()) << log.front();
    EXPECT_STREQ(rec.conf.tun_name, "tun0");
    EXPECT_EQ(rec.conf.encrypt, 1);
    EXPECT_EQ(rec.conf.pipeid, 5);
    EXPECT_EQ(rec.conf.pipeidx, 1);
    EXPECT_EQ(rec.conf.offload, 0);
    EXPECT_EQ(rec.conf.datalog, 0);
    EXPECT_EQ(log_limit(), 64 * LOG_MIB);
    EXPECT_STREQ(status_path(&rec), "/run/tolvad/tolvad.prom");
    ASSERT_EQ(rec.conf.rtmode, SDWAN_RTMODE_SPLIT);
    ASSERT_NE(rec.conf.rtcfg, nullptr);
    EXPECT_EQ(rec.conf.rtcfg->masklen, 8u);
    EXPECT_EQ(rec.conf.setdns, 1);
    EXPECT_STREQ(rec.conf.dnsdomains, "corp.example");
    EXPECT_EQ(rec.conf.peerkey_state, SDWAN_PEERKEY_SET);
    EXPECT_EQ(rec.conf.resolver, addr("192.0.2.53"));
    EXPECT_EQ(rec.conf.waitroute, 0);
    ASSERT_EQ(rec.conf.nuplinks, 2);
    EXPECT_STREQ(rec.conf.uplinks[0].ifname, "eth0");
    EXPECT_TRUE(rec.conf.uplinks[1].backup);
}

int read_peer(std::string text, peer_cfg_t *cfg, std::string *err)
{
    FILE *fp = open_text(text);
    if (fp == nullptr)
        return -2;
    char e[PEER_ERRLEN] = "untouched";
    int r = peer_cfg_read(fp, cfg, e, sizeof e);
    fclose(fp);
    *err = e;
    return r;
}

peer_cfg_t pcfg;  // large: static storage, as in the server

TEST(PeerExample, AsShippedIsValidWithOptionalKeysOff)
{
    std::string err;
    ASSERT_EQ(read_peer(slurp("sdwan-peerd.conf.example"), &pcfg, &err), 0) << err;
    EXPECT_STREQ(pcfg.tun_name, "sdwan0");
    EXPECT_EQ(pcfg.port, 4500);
    EXPECT_EQ(pcfg.pool, addr("10.8.0.0"));
    EXPECT_EQ(pcfg.mtu, 1400);
    EXPECT_EQ(pcfg.encrypt, 1);
    EXPECT_EQ(pcfg.offload, 1);
    EXPECT_EQ(pcfg.listen, 0u);
    EXPECT_EQ(pcfg.dns0, 0u);
    EXPECT_STREQ(pcfg.log, "");
    ASSERT_EQ(pcfg.nusers, 1);
    EXPECT_STREQ(pcfg.users[0].name, "alice");
    EXPECT_STREQ(pcfg.users[0].pass, "change-me");
    EXPECT_EQ(pcfg.sealed, 0) << "the legacy server as shipped";
    EXPECT_EQ(pcfg.legacy, 1);
}

TEST(PeerExample, EveryCommentedKeySwitchedOnIsValid)
{
    int switched = 0;
    std::string text = uncomment(slurp("sdwan-peerd.conf.example"), &switched);
    // sessions, metrics, status, listen, offload, dns, log, logsize, privatekey, legacy, the second user
    EXPECT_EQ(switched, 11);
    // The key file the example names, made where the test may write.
    TempDir dir;
    const std::string key = dir / "sdwan-peerd.key";
    uint8_t priv[KEY_BYTES];
    ASSERT_EQ(seal_init(), 0);
    ASSERT_EQ(keyfile_create(key.c_str(), priv), 0);
    text = std::regex_replace(text, std::regex("privatekey=/etc/sdwan/sdwan-peerd.key"), "privatekey=" + key);
    std::string err;
    ASSERT_EQ(read_peer(text, &pcfg, &err), 0) << err;
    EXPECT_EQ(pcfg.sealed, 1);
    EXPECT_EQ(pcfg.legacy, 0);
    EXPECT_EQ(pcfg.listen, addr("198.51.100.7"));
    EXPECT_EQ(pcfg.dns0, addr("10.8.0.1"));
    EXPECT_EQ(pcfg.dns1, addr("198.51.100.53"));
    EXPECT_STREQ(pcfg.log, "/var/log/sdwan-peerd/sdwan-peerd.log");
    EXPECT_EQ(pcfg.logsize, 64u);
    EXPECT_EQ(pcfg.sessions, 10000u);
    EXPECT_STREQ(pcfg.metrics, "/run/sdwan-peerd/metrics.prom");
    EXPECT_EQ(pcfg.offload, 0);
    ASSERT_EQ(pcfg.nusers, 2);
    EXPECT_STREQ(pcfg.users[1].name, "branch-12");
    EXPECT_EQ(pcfg.users[1].fixed_ip, addr("10.8.0.12"));
}

}  // namespace
