#include "seal/replay.h"

#include <cstring>

void replay_init(replay_window *w) { std::memset(w, 0, sizeof *w); }

replay_verdict replay_check(const replay_window *w, uint64_t counter)
{
    if (counter == UINT64_MAX)
        return replay_verdict::reserved;
    if (!w->started || counter > w->newest)
        return replay_verdict::fresh;
    if (w->newest - counter > REPLAY_WINDOW)
        return replay_verdict::too_old;
    uint64_t word = w->bits[(counter / 64) % REPLAY_WORDS];
    return (word >> (counter % 64)) & 1 ? replay_verdict::seen : replay_verdict::fresh;
}

replay_verdict replay_commit(replay_window *w, uint64_t counter)
{
    replay_verdict v = replay_check(w, counter);
    if (v != replay_verdict::fresh)
        return v;
    if (!w->started || counter > w->newest) {
        // The words between the newest one and the counter's now stand for newer counters.
        uint64_t from = w->started ? w->newest / 64 : counter / 64;
        uint64_t to = counter / 64;
        uint64_t clear = to - from < REPLAY_WORDS ? to - from : REPLAY_WORDS;
        for (uint64_t i = 1; i <= clear; i++)
            w->bits[(from + i) % REPLAY_WORDS] = 0;
        w->newest = counter;
        w->started = true;
    }
    w->bits[(counter / 64) % REPLAY_WORDS] |= uint64_t{1} << (counter % 64);
    return v;
}
