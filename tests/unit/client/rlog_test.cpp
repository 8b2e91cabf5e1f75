// The rate limit on the lines a stranger can cause: datagrams forged from the peer's address go
// through the real dispatcher, the clock is the controllable one, and every datagram stays counted.
#include "client/rlog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/session.h"
#include "support/fakeclock.h"
#include "support/logcap.h"

namespace {

using Lines = std::vector<std::string>;

constexpr uint32_t PEER_IP = 0x0100007F;
constexpr uint16_t PEER_PORT = 4500;

// One step: the monotonic clock moved on by at_ms since the previous step, then n datagrams of
// one byte (the type; 0 for a tick of the session timer instead), then exactly these lines.
struct Step {
    uint64_t at_ms;
    uint8_t type;
    int n;
    Lines lines;
};

Lines times(int n, const std::string &line) { return Lines(static_cast<size_t>(n), line); }

TEST(ClientRlog, FiveLinesPerKindPerSecondThenOneSummary)
{
    const std::string unknown = "Unknown packet type: 25";
    const std::string runt = "Invalid data length received: -7";
    const Step steps[] = {
        // The first five of a kind as ever, the rest held back; another kind has its own five.
        {0, 25, 7, times(5, unknown)},
        {10, 20, 1, {runt}},
        // The interval is one second long: a tick before its end writes nothing.
        {500, 0, 1, {}},
        {489, 25, 1, {}},
        {1, 0, 1, {"3 lines suppressed in the last 1 s: Unknown packet type 3"}},
        // A new interval: five lines again, and a summary naming both kinds held back.
        {0, 25, 6, times(5, unknown)},
        {0, 20, 8, times(5, runt)},
        {1000, 0, 1, {"4 lines suppressed in the last 1 s: Unknown packet type 1, Invalid data length received 3"}},
        // An interval that ends with no tick: the next line of any kind is preceded by its summary.
        {0, 20, 7, times(5, runt)},
        {2500, 25, 1, {"2 lines suppressed in the last 2 s: Invalid data length received 2", unknown}},
        // Nothing held back: no summary.
        {1000, 0, 1, {}},
        {0, 25, 1, {unknown}},
    };
    FakeClock::install();
    LogCapture log;
    sdwan_t c{};
    c.sess.state = SDWANCLNT_AUTH;
    c.sess.peerip = PEER_IP;
    c.conf.peerport = PEER_PORT;
    uint32_t datagrams = 0, unknowns = 0;
    int i = 0;
    for (const Step &s : steps) {
        SCOPED_TRACE("step " + std::to_string(i++));
        FakeClock::mono += s.at_ms * 1000;
        for (int k = 0; k < s.n; k++) {
            if (s.type == 0) {
                sdwclnt_rlog_tick(&c);
                continue;
            }
            uint8_t d[1] = {s.type};
            sdwan_sock_recv_core(&c, PEER_IP, PEER_PORT, d, 1);
            datagrams++;
            unknowns += s.type == 25 ? 1 : 0;
        }
        EXPECT_EQ(log.take(), s.lines);
    }
    // Every datagram counted, whatever was logged.
    EXPECT_EQ(c.count.stats.sock_rxpkts, datagrams);
    EXPECT_EQ(c.count.stats.panic_pkttype, unknowns);
    EXPECT_EQ(c.count.log_suppressed, 3u + 4u + 2u);
    FakeClock::uninstall();
}

TEST(ClientRlog, EveryKindHasItsNameAndItsOwnCount)
{
    FakeClock::install();
    LogCapture log;
    sdwan_t c{};
    Lines want;
    std::string summary;
    for (uint8_t k = 0; k < SDWAN_RL_KINDS; k++) {
        for (uint32_t n = 0; n < SDWAN_RLOG_LINES; n++)
            EXPECT_TRUE(sdwclnt_rlog_allow(&c, k)) << int{k};
        for (uint32_t n = 0; n <= k; n++)
            EXPECT_FALSE(sdwclnt_rlog_allow(&c, k)) << int{k};
        summary += std::string(k == 0 ? "" : ", ") + sdwclnt_rlog_name(k) + " " + std::to_string(k + 1);
    }
    FakeClock::mono += SDWAN_RLOG_USEC;
    sdwclnt_rlog_tick(&c);
    EXPECT_EQ(log.take(), Lines{"36 lines suppressed in the last 1 s: " + summary});
    EXPECT_EQ(summary, "Unknown packet type 1, Invalid data length received 2, Invalid state 3, "
                       "Invalid state or packet verification failed 4, Packet verification failed 5, "
                       "Packet verification failed for OPENREJ 6, CLOSE for another session 7, "
                       "SEALED packet dropped 8");
    FakeClock::uninstall();
}

}  // namespace
