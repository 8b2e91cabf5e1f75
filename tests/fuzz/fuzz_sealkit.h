// What the sealed-session harnesses of both daemons share: a random source that starts over
// from a seed (the daemons draw their ephemeral keys and indices from it, so a run after a
// reseed repeats the last one byte for byte), the peer's fixed static key, and the frame a
// genuine sender would seal.
#pragma once
#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <span>

#include "bytes.h"
#include "proto/sealed.h"
#include "seal/keyfile.h"
#include "seal/noise.h"
#include "fuzz_seal.h"

inline constexpr uint8_t FUZZ_PEER_PRIV[KEY_BYTES] = {0x70, 0x65, 0x65, 0x72, 0x2d, 0x6b, 0x65, 0x79, 1, 2, 3, 4};

// The client harness's session: its index, the peer's, the index of the rekey in flight, and the
// ephemerals of the handshake (the rekey's initiator reuses the client's).
inline constexpr uint32_t FUZZ_CS_MINE = 0xC11E47, FUZZ_CS_REKEY = 0xC11E48, FUZZ_CS_THEIRS = 0x9EE7;
inline constexpr uint8_t FUZZ_CS_EI[NOISE_KEY] = {0xa1}, FUZZ_CS_ER[NOISE_KEY] = {0xb1};

namespace fuzz_rng {
inline uint64_t state;
inline uint64_t next()
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
inline const char *name() { return "fuzz-fixed"; }
inline uint32_t random32() { return static_cast<uint32_t>(next()); }
inline void buf(void *p, size_t n)
{
    auto *b = static_cast<uint8_t *>(p);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(next());
}
inline randombytes_implementation impl = {name, random32, nullptr, nullptr, buf, nullptr};
}  // namespace fuzz_rng

// Once, before the first draw: libsodium takes its random bytes from the seeded source.
inline void fuzz_rng_install()
{
    randombytes_set_implementation(&fuzz_rng::impl);
    if (sodium_init() < 0)
        __builtin_trap();
}
inline void fuzz_rng_seed(uint64_t seed) { fuzz_rng::state = seed; }

// An SDATA to receiver, sealed with cs at counter: kind | body under the 16 header bytes as AD.
// out holds SEALED_OVERHEAD + blen bytes; the frame's length.
inline uint32_t fuzz_seal_frame(noise_cipher *cs, uint32_t receiver, uint64_t counter, uint8_t kind,
                                const uint8_t *body, uint32_t blen, uint8_t *out)
{
    sdata_encode({SDWAN_SDATA, 0, 0, receiver, counter}, {out, SEALED_HDR_LEN});
    out[SEALED_HDR_LEN] = kind;
    if (blen != 0)
        memmove(out + SEALED_HDR_LEN + 1, body, blen);
    cs->n = counter;
    const int n = noise_encrypt(cs, {out, SEALED_HDR_LEN}, {out + SEALED_HDR_LEN, blen + 1},
                                {out + SEALED_HDR_LEN, blen + 1 + SEALED_TAG_LEN});
    return n < 0 ? 0 : SEALED_HDR_LEN + static_cast<uint32_t>(n);
}

// The client harness's handshake, both ends at once: the client's keys (csend, crecv), the
// peer's sending keys, and the client's rekey with its first message written. Deterministic.
inline void fuzz_cs_keys(noise_cipher *csend, noise_cipher *crecv, noise_cipher *psend, noise_handshake *rekey)
{
    uint8_t pub[KEY_BYTES];
    key_public(FUZZ_PEER_PRIV, pub);
    noise_handshake i, r;
    uint8_t msg[SEALED_HS_LEN], none[1];
    noise_handshake_init(&i, fuzz_aead(), noise_pattern::NK, true, SEALED_PROLOGUE, nullptr, pub);
    noise_handshake_init(&r, fuzz_aead(), noise_pattern::NK, false, SEALED_PROLOGUE, FUZZ_PEER_PRIV, nullptr);
    noise_handshake_set_ephemeral(&i, FUZZ_CS_EI);
    noise_handshake_set_ephemeral(&r, FUZZ_CS_ER);
    noise_handshake_write(&i, {}, msg);
    noise_handshake_read(&r, msg, {none, 0});
    noise_handshake_write(&r, {}, msg);
    noise_handshake_read(&i, msg, {none, 0});
    noise_cipher precv;
    noise_handshake_split(&i, csend, crecv);
    noise_handshake_split(&r, psend, &precv);
    noise_handshake_init(rekey, fuzz_aead(), noise_pattern::NK, true, SEALED_PROLOGUE, nullptr, pub);
    noise_handshake_set_ephemeral(rekey, FUZZ_CS_EI);
    noise_handshake_write(rekey, {}, msg);
}
