#include "seal/replay.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

namespace {

using v = replay_verdict;

struct step {
    uint64_t counter;
    v want;
};

struct row {
    const char *what;
    std::initializer_list<uint64_t> before; // committed first
    std::initializer_list<step> steps;      // each checked, then committed
};

const uint64_t W = REPLAY_WINDOW, MAX = UINT64_MAX;

const row ROWS[] = {
    {"in order", {}, {{0, v::fresh}, {1, v::fresh}, {2, v::fresh}, {2, v::seen}}},
    {"a first counter far from zero", {}, {{1000000, v::fresh}, {1000000 - 1, v::fresh}}},
    {"out of order within the window", {0, 10}, {{5, v::fresh}, {9, v::fresh}, {5, v::seen}, {1, v::fresh}}},
    {"replay of each", {3, 7, 64, 65}, {{3, v::seen}, {7, v::seen}, {64, v::seen}, {65, v::seen}}},
    {"the window's last counter and the one past it", {W + 100},
     {{100, v::fresh}, {99, v::too_old}, {100, v::seen}}},
    {"the window is at least 2048", {5000}, {{5000 - 2048, v::fresh}}},
    {"a jump across a word boundary keeps what the window still reaches", {60, 63, 64},
     {{130, v::fresh}, {60, v::seen}, {63, v::seen}, {61, v::fresh}}},
    {"a jump far ahead clears the window", {1, 2, 3},
     {{10 * W, v::fresh}, {3, v::too_old}, {10 * W - 1, v::fresh}, {10 * W - W, v::fresh}}},
    // The bits of counters a full lap behind (same word, same bit) must not answer for new ones.
    {"a jump of exactly one lap", {64}, {{64 + REPLAY_BITS, v::fresh}, {64 + REPLAY_BITS, v::seen}}},
    {"a jump of a lap and a word", {0, 1}, {{REPLAY_BITS + 64 + 1, v::fresh}, {REPLAY_BITS + 1, v::fresh}}},
    {"the counter's end", {MAX - 2}, {{MAX, v::reserved}, {MAX - 1, v::fresh}, {MAX - 2, v::seen}, {MAX, v::reserved}}},
    {"the reserved counter never starts a window", {}, {{MAX, v::reserved}, {0, v::fresh}}},
};

TEST(ReplayWindow, Table)
{
    for (const row &r : ROWS) {
        SCOPED_TRACE(r.what);
        replay_window w;
        replay_init(&w);
        for (uint64_t c : r.before)
            ASSERT_EQ(replay_commit(&w, c), v::fresh) << c;
        for (const step &s : r.steps) {
            EXPECT_EQ(replay_check(&w, s.counter), s.want) << s.counter;
            EXPECT_EQ(replay_commit(&w, s.counter), s.want) << s.counter;
        }
    }
}

// A refusal moves nothing: the window answers as before, to the bit.
TEST(ReplayWindow, RefusalsChangeNothing)
{
    replay_window w;
    replay_init(&w);
    for (uint64_t c : {W + 10, W + 12, W + 300})
        replay_commit(&w, c);
    replay_window before = w;
    for (uint64_t c : {W + 10, uint64_t{0}, uint64_t{200}, MAX})
        EXPECT_NE(replay_commit(&w, c), v::fresh) << c;
    EXPECT_EQ(std::memcmp(&before, &w, sizeof w), 0);
    EXPECT_EQ(replay_check(&w, W + 11), v::fresh);
}

} // namespace
