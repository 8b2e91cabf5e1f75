// The paths' policy against a simulated peer: each path answers its probes after a set delay or
// drops them, on a clock the test moves; what the policy says and sends is recorded.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "client/paths.h"

namespace {

constexpr uint64_t MS = 1000;
constexpr uint64_t T0 = 5000000000;  // far from 0: "never" is 0

struct Sim {
    sdwan_conf_t conf{};
    sdwan_paths_t ps{};
    std::vector<std::string> lines;
    uint64_t now = T0;
    uint64_t rtt[SDWAN_PATHS_MAX] = {};  // a path's answer delay; 0: its probes are dropped
    bool sendable[SDWAN_PATHS_MAX] = {true, true, true, true};
    std::multimap<uint64_t, std::pair<int, uint64_t>> due;  // answer time -> path, key
    uint32_t sent[SDWAN_PATHS_MAX] = {};
    int moves_seen = 0;
    paths_env env{};

    explicit Sim(std::vector<const char *> names, path_policy pol = path_policy::best)
    {
        conf.probems = SDWAN_PROBE_MS_DEFAULT;
        conf.pathloss = SDWAN_PATHLOSS_DEFAULT;
        conf.pathpolicy = pol;
        for (const char *n : names) {
            sdwan_uplink_t &u = conf.uplinks[conf.nuplinks];
            std::strncpy(u.ifname, n, sizeof u.ifname - 1);
            u.prio = static_cast<uint8_t>(++conf.nuplinks);
        }
        env = {&conf, this, [](void *c, const char *t) { static_cast<Sim *>(c)->lines.emplace_back(t); },
               [](void *c, int i, uint32_t seq, uint64_t at, uint64_t *key) {
                   Sim *s = static_cast<Sim *>(c);
                   if (!s->sendable[i])
                       return false;
                   *key = seq * 7u + 1;  // any value the answer returns
                   s->sent[i]++;
                   if (s->rtt[i] != 0)
                       s->due.emplace(at + s->rtt[i], std::make_pair(i, *key));
                   return true;
               }};
        paths_init(&ps, &conf);
    }
    void start(int active = 0)
    {
        for (int i = 0; i < ps.n; i++)
            paths_present(&ps, i, 10 + i, now);
        ps.active = static_cast<int8_t>(active);
        paths_session_begin(&ps, now);
    }
    // Runs the policy's timer and the peer's answers in time order over [now, now + d).
    void run(uint64_t d)
    {
        const uint64_t end = now + d;
        for (;;) {
            const uint64_t w = paths_next_wake(&ps, &conf);
            const uint64_t a = due.empty() ? 0 : due.begin()->first;
            uint64_t t = w == 0 ? a : a == 0 ? w : std::min(w, a);
            if (t == 0 || t >= end)
                break;
            now = std::max(now, t);
            if (a != 0 && a <= now) {
                const auto [i, key] = due.begin()->second;
                due.erase(due.begin());
                (void)paths_answer(&ps, env, i, key, now);
                moves_seen += paths_choose(&ps, env, now) ? 1 : 0;
            } else {
                moves_seen += paths_tick(&ps, env, now) ? 1 : 0;
            }
        }
        now = end;
    }
    std::vector<std::string> take()
    {
        std::vector<std::string> l;
        l.swap(lines);
        return l;
    }
    path_state st(int i) const { return ps.p[i].state; }
};

using L = std::vector<std::string>;

// Every line the paths write, each from the event that causes it.
TEST(PathsTest, LogLines)
{
    Sim s({"eth0", "wwan0"});
    s.rtt[0] = 20300;
    s.rtt[1] = 40000;
    s.start();
    s.run(100 * MS);
    EXPECT_EQ(s.take(), (L{"path eth0 up: round trip 20.3 ms", "path wwan0 up: round trip 40.0 ms"}));

    paths_down(&s.ps, s.env, 0, "link down", s.now);
    EXPECT_TRUE(paths_choose(&s.ps, s.env, s.now));
    EXPECT_EQ(s.take(), (L{"path eth0 down: link down", "path wwan0 chosen: round trip 40.0 ms, was eth0"}));
    paths_down(&s.ps, s.env, 0, "no address", s.now);
    EXPECT_EQ(s.take(), L{});  // down already: no second line
    paths_absent(&s.ps, s.env, 0, s.now);
    paths_down(&s.ps, s.env, 0, "link down", s.now);  // an absent path has no link to lose
    EXPECT_EQ(s.take(), L{"path eth0 absent: interface gone"});

    // Three answered, then one lost: 25 % of the window.
    Sim d({"eth1"});
    d.rtt[0] = 10 * MS;
    d.start();
    d.run(600 * MS);
    d.rtt[0] = 0;
    d.run(300 * MS);
    EXPECT_EQ(d.take(), (L{"path eth1 up: round trip 10.0 ms", "path eth1 degraded: 25% of probes lost"}));
    d.run(200 * MS);
    EXPECT_EQ(d.take(), L{"path eth1 down: 3 probes lost"});

    paths_down(&d.ps, d.env, 0, "no address", d.now);
    paths_absent(&d.ps, d.env, 0, d.now);
    Sim n({"eth2"});
    n.start();
    paths_down(&n.ps, n.env, 0, "no address", n.now);
    paths_down(&n.ps, n.env, 0, "link down", n.now);
    EXPECT_EQ(n.take(), L{"path eth2 down: no address"});  // never judged: the kernel's word is news, once
}

// cur, smoothed (an eighth), min, max and jitter (a sixteenth of each step) of a path's probes.
TEST(PathsTest, RoundTripFigures)
{
    struct Row {
        std::vector<uint32_t> ms;
        sdwan_pathrtt_t want;
    };
    const Row rows[] = {
        {{20}, {20000, 20000, 20000, 20000, 0}},
        {{20, 36}, {36000, 22000, 20000, 36000, 1000}},
        {{20, 36, 4}, {4000, 19750, 4000, 36000, 2937}},
    };
    for (const Row &r : rows) {
        Sim s({"eth0"});
        s.start();
        for (uint32_t ms : r.ms) {
            s.rtt[0] = ms * MS;
            s.run(SDWAN_PROBE_MS_DEFAULT * MS);
        }
        const sdwan_pathrtt_t &g = s.ps.p[0].rtt;
        EXPECT_EQ(std::vector<uint32_t>({g.cur, g.srtt, g.min, g.max, g.jitter}),
                  std::vector<uint32_t>({r.want.cur, r.want.srtt, r.want.min, r.want.max, r.want.jitter}))
            << r.ms.size() << " samples";
    }
}

// A probe waits max(2 srtt + 4 jitter, 100 ms) (1 s before any round trip); after one is lost
// the path is asked every 50 ms, and the third loss in a row puts it down, moving the session.
TEST(PathsTest, LossTimingAndFastProbe)
{
    Sim s({"eth0", "eth1"});
    s.conf.pathloss = 50;  // losses short of down leave it up: the down alone moves the session
    s.rtt[0] = 10 * MS;
    s.rtt[1] = 30 * MS;
    s.start();
    s.run(2 * SDWAN_PROBE_MS_DEFAULT * MS);
    ASSERT_EQ(s.ps.active, 0);
    const uint64_t cut = s.now;  // eth0's third probe goes out now and is dropped
    s.rtt[0] = 0;
    s.run(1);
    const uint32_t before = s.sent[0];
    s.run(100 * MS - 1);
    EXPECT_EQ(s.ps.p[0].probes_lost, 0u);  // 99.999 ms: still awaited
    s.run(1);
    EXPECT_EQ(s.ps.p[0].probes_lost, 1u);
    EXPECT_EQ(s.st(0), path_state::up);
    s.run(50 * MS);
    EXPECT_EQ(s.sent[0], before + 1);  // the fast re-probe, 50 ms after the loss
    s.run(300 * MS);
    EXPECT_EQ(s.st(0), path_state::down);
    EXPECT_EQ(s.ps.p[0].probes_lost, 3u);
    EXPECT_EQ(s.ps.active, 1);
    // Lost at 100 ms, then the re-probes of 150 and 200 ms at 250 and 300 ms.
    EXPECT_EQ(s.ps.moved - cut, 300 * MS);

    // Before any answer a probe waits the full second.
    Sim f({"eth0"});
    f.start();
    f.run(1000 * MS);
    EXPECT_EQ(f.ps.p[0].probes_lost, 0u);
    f.run(1);
    EXPECT_EQ(f.ps.p[0].probes_lost, 1u);
}

// A late answer measures the delay but does not undo the loss; a path whose delay grew past its
// wait comes back up once down (a down path waits the full second).
TEST(PathsTest, DelayGrowthComesBack)
{
    Sim s({"eth0"});
    s.rtt[0] = 10 * MS;
    s.start();
    s.run(1000 * MS);
    s.rtt[0] = 300 * MS;
    s.run(3000 * MS);
    EXPECT_EQ(s.take(), (L{"path eth0 up: round trip 10.0 ms", "path eth0 degraded: 20% of probes lost",
                           "path eth0 down: 3 probes lost", "path eth0 degraded: 37% of probes lost"}));
    EXPECT_GT(s.ps.p[0].rtt.srtt, 100 * MS);
    EXPECT_EQ(s.ps.p[0].rtt.max, 300 * MS);
}

// The choice, from paths' states and smoothed round trips; active 0 is forced off when down.
TEST(PathsTest, Choice)
{
    using S = path_state;
    struct Row {
        const char *what;
        path_policy pol;
        std::vector<S> st;
        std::vector<uint32_t> srtt_ms;
        std::vector<bool> backup;
        int want;
    };
    const Row rows[] = {
        {"best: lowest srtt", path_policy::best, {S::up, S::up, S::up}, {50, 30, 40}, {0, 0, 0}, 1},
        {"best: backup carries nothing while another is up", path_policy::best, {S::up, S::up}, {50, 5}, {0, 1}, 0},
        {"best: backup when the others are down", path_policy::best, {S::down, S::up}, {5, 50}, {0, 1}, 1},
        {"best: up backup before degraded", path_policy::best, {S::down, S::degraded, S::up}, {5, 5, 50}, {0, 0, 1}, 2},
        {"best: degraded when nothing is up", path_policy::best, {S::down, S::degraded, S::degraded}, {5, 60, 40},
         {0, 0, 0}, 2},
        {"best: absent is never chosen", path_policy::best, {S::absent, S::up}, {5, 50}, {0, 0}, 1},
        {"best: not 10 % better stays", path_policy::best, {S::up, S::up}, {50, 46}, {0, 0}, 0},
        {"best: more than 10 % better moves", path_policy::best, {S::up, S::up}, {50, 44}, {0, 0}, 1},
        {"backup: first up by priority", path_policy::backup, {S::up, S::up, S::up}, {50, 10, 5}, {0, 0, 0}, 0},
        {"backup: next when the first is down", path_policy::backup, {S::down, S::up, S::up}, {5, 50, 10}, {0, 0, 0},
         1},
        {"backup: degraded only when none is up", path_policy::backup, {S::degraded, S::down, S::up}, {5, 5, 90},
         {0, 0, 1}, 2},
        {"backup: first up after a degraded active", path_policy::backup, {S::degraded, S::up}, {5, 90}, {0, 0}, 1},
        {"nothing usable: the active stays", path_policy::best, {S::down, S::down}, {5, 5}, {0, 0}, 0},
        {"the active gone, nothing usable: none", path_policy::best, {S::absent, S::down}, {5, 5}, {0, 0}, -1},
    };
    for (const Row &r : rows) {
        Sim s({"a", "b", "c"}, r.pol);
        s.conf.nuplinks = static_cast<uint8_t>(r.st.size());
        paths_init(&s.ps, &s.conf);
        for (size_t i = 0; i < r.st.size(); i++) {
            s.conf.uplinks[i].backup = r.backup[i];
            s.ps.p[i].state = r.st[i];
            s.ps.p[i].judged = r.st[i] != S::absent;
            s.ps.p[i].rtt.srtt = r.srtt_ms[i] * 1000;
        }
        s.ps.active = 0;
        (void)paths_choose(&s.ps, s.env, s.now);
        EXPECT_EQ(s.ps.active, r.want) << r.what;
        EXPECT_EQ(s.ps.moves, r.want > 0 ? 1u : 0u) << r.what;
    }
}

// Two paths of about one delay, then a third much faster: under "best" at most one move per
// 10 s, and none between paths within 10 % of each other.
TEST(PathsTest, Hysteresis)
{
    Sim s({"a", "b", "c"});
    s.rtt[0] = 20 * MS;
    s.rtt[1] = 19 * MS;
    s.rtt[2] = 0;
    s.start();
    s.run(30000 * MS);
    EXPECT_EQ(s.ps.active, 0);
    EXPECT_EQ(s.ps.moves, 0u);
    s.rtt[2] = 10 * MS;  // c comes up much faster
    s.run(30000 * MS);
    EXPECT_EQ(s.ps.active, 2);
    EXPECT_EQ(s.ps.moves, 1u);
    const uint64_t first = s.ps.moved;
    s.rtt[2] = 40 * MS;  // now b is the fastest by far: but not within 10 s of the last move
    s.rtt[1] = 5 * MS;
    s.run(first + PATH_HOLD_USEC - 1 - s.now);
    EXPECT_EQ(s.ps.active, 2);
    s.run(30000 * MS);
    EXPECT_EQ(s.ps.active, 1);
    EXPECT_EQ(s.ps.moves, 2u);
    EXPECT_GE(s.ps.moved - first, PATH_HOLD_USEC);
    // A down active moves at once, even within the hold.
    s.rtt[1] = 0;
    const uint64_t cut = s.now;
    s.run(1000 * MS);
    EXPECT_NE(s.ps.active, 1);
    EXPECT_LT(s.ps.moved - cut, 1000 * MS);
}

// The path a session starts on: by priority, backups last; the failover goes round the present.
TEST(PathsTest, StartOrder)
{
    Sim s({"a", "b", "c", "d"});
    s.conf.uplinks[0].backup = true;
    s.conf.uplinks[1].prio = 9;
    s.conf.uplinks[2].prio = 3;
    s.conf.uplinks[3].prio = 3;
    EXPECT_EQ(paths_first(&s.ps, &s.conf), -1);
    for (int i = 0; i < 4; i++)
        paths_present(&s.ps, i, i + 1, s.now);
    std::vector<int> order{paths_first(&s.ps, &s.conf)};
    for (int k = 0; k < 4; k++)
        order.push_back(paths_after(&s.ps, &s.conf, order.back()));
    EXPECT_EQ(order, (std::vector<int>{2, 3, 1, 0, 2}));
    paths_down(&s.ps, s.env, 2, "link down", s.now);  // a link down is passed over
    EXPECT_EQ(paths_first(&s.ps, &s.conf), 3);
    EXPECT_EQ(paths_after(&s.ps, &s.conf, 0), 3);
    paths_present(&s.ps, 2, 3, s.now);
    paths_absent(&s.ps, s.env, 3, s.now);
    paths_absent(&s.ps, s.env, 1, s.now);
    paths_absent(&s.ps, s.env, 0, s.now);
    EXPECT_EQ(paths_after(&s.ps, &s.conf, 2), 2);
    paths_absent(&s.ps, s.env, 2, s.now);
    EXPECT_EQ(paths_after(&s.ps, &s.conf, 2), -1);
}

// Nothing is probed outside DATA, a refused send counts as lost, and an answer to a key never sent
// (or sent before the session ended) is refused.
TEST(PathsTest, ProbesOnlyInSession)
{
    Sim s({"a", "b"});
    s.rtt[0] = s.rtt[1] = 10 * MS;
    for (int i = 0; i < 2; i++)
        paths_present(&s.ps, i, i + 1, s.now);
    EXPECT_EQ(paths_next_wake(&s.ps, &s.conf), 0u);
    EXPECT_FALSE(paths_tick(&s.ps, s.env, s.now));
    s.sendable[1] = false;
    paths_session_begin(&s.ps, s.now);
    s.run(1000 * MS);
    EXPECT_EQ(s.ps.p[0].probes_sent, 4u);
    EXPECT_EQ(s.ps.p[1].probes_sent, 0u);
    EXPECT_EQ(s.ps.p[1].probes_lost, 4u);
    // b was down and stays so, silently; a, answering, takes the session no path had.
    EXPECT_EQ(s.take(), (L{"path a up: round trip 10.0 ms", "path a chosen: round trip 10.0 ms, was none"}));
    EXPECT_FALSE(paths_answer(&s.ps, s.env, 0, 12345, s.now));
    paths_down(&s.ps, s.env, 0, "link down", s.now);
    (void)paths_tick(&s.ps, s.env, s.now);
    ASSERT_GT(paths_next_wake(&s.ps, &s.conf), s.now);  // its due probe no longer wakes the timer
    s.run(1000 * MS);
    EXPECT_EQ(s.ps.p[0].probes_sent, 4u);  // a link the kernel says is down is not probed
    s.rtt[0] = 500 * MS;
    paths_present(&s.ps, 0, 1, s.now);
    s.run(50 * MS);  // back: probed at once, and awaited when the session ends
    paths_session_end(&s.ps);
    s.run(2000 * MS);
    EXPECT_EQ(s.ps.p[0].probes_lost, 0u);
    EXPECT_EQ(s.ps.p[0].probes_sent, 5u);
    EXPECT_EQ(s.ps.p[0].samples, 4u);  // its answer came for a session that was over
}

}  // namespace
