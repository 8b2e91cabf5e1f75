// The sealed session's readers of outside bytes: both handshake messages of NK and a transport
// packet (counter, then ciphertext) through the replay window. Whatever the bytes, the answer is
// a payload or one of the documented refusals, a payload has the length the message leaves, and
// a refused packet leaves the window as it was.
#include <cerrno>
#include <cstring>

#include "bytes.h"
#include "fuzz_seal.h"
#include "fuzz_support.h"
#include "seal/replay.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return seal_init() == 0 ? 0 : 1; }

namespace {
bool refusal(int r) { return r == -EBADMSG || r == -EINVAL || r == -EMSGSIZE || r == -EOVERFLOW; }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const std::span<const uint8_t> msg(data + 1, size - 1);
    static uint8_t out[NOISE_MSG + 64];
    noise_handshake i, r;
    fuzz_nk_pair(&i, &r);
    int n;
    switch (data[0]) {
    case FUZZ_SEAL_MSG0:
        n = noise_handshake_read(&r, msg, out);
        FUZZ_CHECK(n >= 0 ? msg.size() == 48 + static_cast<size_t>(n) : refusal(n));
        // Accepted or not, no second read: a handshake is read once.
        FUZZ_CHECK(noise_handshake_read(&r, msg, out) == -EPROTO);
        break;
    case FUZZ_SEAL_MSG1: {
        int w = noise_handshake_write(&i, {}, out);
        FUZZ_CHECK(w == 48);
        n = noise_handshake_read(&i, msg, out);
        FUZZ_CHECK(n >= 0 ? msg.size() == 48 + static_cast<size_t>(n) : refusal(n));
        noise_cipher s, rc;
        FUZZ_CHECK((noise_handshake_split(&i, &s, &rc) == 0) == (n >= 0));
        break;
    }
    case FUZZ_SEAL_TRANSPORT: {
        FUZZ_CHECK(noise_handshake_read(&r, std::span(out, noise_handshake_write(&i, {}, out)), out) == 0);
        uint8_t m1[64];
        FUZZ_CHECK(noise_handshake_read(&i, std::span(m1, noise_handshake_write(&r, {}, m1)), out) == 0);
        noise_cipher send, recv;
        FUZZ_CHECK(noise_handshake_split(&r, &send, &recv) == 0);
        if (msg.size() < 8)
            return 0;
        replay_window w;
        replay_init(&w);
        replay_commit(&w, 3); // a window already started, so that "seen" and "too old" are reachable
        const replay_window before = w;
        uint64_t counter = ld_le64(msg.data());
        if (replay_check(&w, counter) != replay_verdict::fresh)
            return 0;
        n = noise_decrypt_at(&recv, counter, {}, msg.subspan(8), out);
        if (n >= 0) {
            FUZZ_CHECK(msg.size() == 8 + NOISE_TAG + static_cast<size_t>(n));
            FUZZ_CHECK(replay_commit(&w, counter) == replay_verdict::fresh);
            FUZZ_CHECK(replay_check(&w, counter) == replay_verdict::seen);
        } else {
            FUZZ_CHECK(refusal(n));
            FUZZ_CHECK(std::memcmp(&before, &w, sizeof w) == 0);
        }
        break;
    }
    default:
        break;
    }
    return 0;
}
