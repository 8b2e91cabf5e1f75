// The fixed NK session the sealed-session harnesses and their seeds share: the same keys give
// the same messages, so a seed is a message the harness's own side would accept.
#pragma once
#include <cstdint>

#include "seal/noise.h"

inline constexpr uint8_t FUZZ_NK_S[NOISE_KEY] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
inline constexpr uint8_t FUZZ_NK_EI[NOISE_KEY] = {0xe1};
inline constexpr uint8_t FUZZ_NK_ER[NOISE_KEY] = {0xe2};
inline constexpr uint8_t FUZZ_NK_PROLOGUE[] = {'f', 'u', 'z', 'z'};

// The harnesses' AEAD contexts, opened as a daemon opens its own: every message the harness
// seals or opens goes through the same code the daemons' do.
inline aead_ctx_t *fuzz_aead()
{
    static aead_ctx_t ax{};
    static const int opened = aead_open(&ax);
    (void)opened;
    return &ax;
}

// Both sides, before the first message.
inline void fuzz_nk_pair(noise_handshake *i, noise_handshake *r)
{
    noise_handshake_init(r, fuzz_aead(), noise_pattern::NK, false, FUZZ_NK_PROLOGUE, FUZZ_NK_S, nullptr);
    noise_handshake_init(i, fuzz_aead(), noise_pattern::NK, true, FUZZ_NK_PROLOGUE, nullptr, r->s_pub);
    noise_handshake_set_ephemeral(i, FUZZ_NK_EI);
    noise_handshake_set_ephemeral(r, FUZZ_NK_ER);
}

// The harness's first byte: which reader the rest goes to.
enum fuzz_seal_step : uint8_t {
    FUZZ_SEAL_MSG0 = 0,      // the responder reads a first message
    FUZZ_SEAL_MSG1 = 1,      // the initiator, having sent its first, reads the answer
    FUZZ_SEAL_TRANSPORT = 2, // the responder, after the handshake: 8 bytes of counter, then the AEAD
};
