// The receiver's sliding window over transport counters (RFC 6479): 4096 bits in 64 words, so
// that a counter up to REPLAY_WINDOW behind the newest one seen is still accepted once. A jump
// ahead clears only the words it passes over, never the whole bitmap bit by bit.
//
// Check before the AEAD tag is verified (a refused counter costs no decryption), commit after
// (a forged packet cannot move the window). A refusal changes nothing.
#pragma once
#include <cstdint>

constexpr unsigned REPLAY_WORDS = 64;
constexpr uint64_t REPLAY_BITS = REPLAY_WORDS * 64;
// The word holding the newest counter is partly ahead of it, so the window proper is one word
// shorter than the bitmap.
constexpr uint64_t REPLAY_WINDOW = REPLAY_BITS - 64;

enum class replay_verdict : uint8_t {
    fresh,   // never seen, within reach: decrypt it
    seen,    // a replay
    too_old, // further behind the newest than the window reaches
    reserved // 2^64-1, which Noise never uses for a message
};

struct replay_window {
    uint64_t bits[REPLAY_WORDS];
    uint64_t newest; // meaningful once started
    bool started;
};

void replay_init(replay_window *w);
replay_verdict replay_check(const replay_window *w, uint64_t counter);
// Records the counter of a packet whose tag verified; checks again and records nothing unless the
// counter is fresh, so a wrong call cannot corrupt the window.
replay_verdict replay_commit(replay_window *w, uint64_t counter);
