#include "seal/noise.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

void st_le64_ref(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bytes unhex(const std::string &s)
{
    bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return b;
}

// A record of AEAD contexts as a daemon opens it at start-up, closed at the end of its scope.
struct opened_aead {
    aead_ctx_t ax{};
    opened_aead() { EXPECT_EQ(aead_open(&ax), 0); }
    ~opened_aead() { aead_close(&ax); }
    opened_aead(const opened_aead &) = delete;
    opened_aead &operator=(const opened_aead &) = delete;
};

// The published vectors (the old wiki format: key=value lines, a blank line between vectors),
// those of this cipher suite's N, NN and NK, with every message after the handshake too.
std::vector<std::map<std::string, std::string>> load_vectors(const char *path)
{
    std::vector<std::map<std::string, std::string>> out;
    std::ifstream in(path);
    std::map<std::string, std::string> cur;
    std::string line;
    auto flush = [&] {
        noise_pattern p;
        if (cur.count("handshake") && noise_pattern_from_name(cur["handshake"].c_str(), &p) == 0)
            out.push_back(cur);
        cur.clear();
    };
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            flush();
        else
            cur[line.substr(0, eq)] = line.substr(eq + 1);
    }
    flush();
    return out;
}

// One vector, our initiator and our responder side by side: each writes exactly the vector's
// bytes, and each reads the vector's bytes (not its partner's) back to the payload.
void run_vector(aead_ctx_t *ax, std::map<std::string, std::string> v)
{
    SCOPED_TRACE(v["handshake"] + " prologue=" + v["prologue"]);
    noise_pattern p;
    ASSERT_EQ(noise_pattern_from_name(v["handshake"].c_str(), &p), 0);
    bytes prologue = unhex(v["prologue"]), s = unhex(v["resp_static"]);
    uint8_t rs[NOISE_KEY];
    const uint8_t *s_priv = nullptr, *rs_pub = nullptr;
    if (!s.empty()) {
        noise_handshake tmp;
        ASSERT_EQ(noise_handshake_init(&tmp, ax, p, false, prologue, s.data(), nullptr), 0);
        std::memcpy(rs, tmp.s_pub, NOISE_KEY);
        s_priv = s.data();
        rs_pub = rs;
    }
    noise_handshake side[2];
    ASSERT_EQ(noise_handshake_init(&side[0], ax, p, true, prologue, nullptr, rs_pub), 0);
    ASSERT_EQ(noise_handshake_init(&side[1], ax, p, false, prologue, s_priv, nullptr), 0);
    noise_handshake_set_ephemeral(&side[0], unhex(v["gen_init_ephemeral"]).data());
    noise_handshake_set_ephemeral(&side[1], unhex(v["gen_resp_ephemeral"]).data());
    noise_cipher send[2], recv[2];
    uint8_t buf[NOISE_MSG];
    int handshake = 0;
    for (int i = 0; v.count("msg_" + std::to_string(i) + "_payload"); i++) {
        SCOPED_TRACE("message " + std::to_string(i));
        bytes payload = unhex(v["msg_" + std::to_string(i) + "_payload"]);
        bytes ct = unhex(v["msg_" + std::to_string(i) + "_ciphertext"]);
        // After the handshake the turns start again from the initiator, in N too (whose
        // second cipher Noise leaves unused: these vectors use it).
        int from = (noise_handshake_done(&side[0]) ? i - handshake : i) % 2, to = 1 - from;
        int w, r;
        if (!noise_handshake_done(&side[from])) {
            w = noise_handshake_write(&side[from], payload, buf);
            ASSERT_EQ(bytes(buf, buf + std::max(w, 0)), ct);
            r = noise_handshake_read(&side[to], ct, buf);
            if (noise_handshake_done(&side[0])) {
                handshake = i + 1;
                ASSERT_TRUE(noise_handshake_done(&side[1]));
                ASSERT_EQ(noise_handshake_split(&side[0], &send[0], &recv[0]), 0);
                ASSERT_EQ(noise_handshake_split(&side[1], &send[1], &recv[1]), 0);
                EXPECT_EQ(bytes(side[0].ss.h, side[0].ss.h + NOISE_KEY),
                          bytes(side[1].ss.h, side[1].ss.h + NOISE_KEY));
            }
        } else {
            w = noise_encrypt(&send[from], {}, payload, buf);
            ASSERT_EQ(bytes(buf, buf + std::max(w, 0)), ct);
            r = noise_decrypt(&recv[to], {}, ct, buf);
        }
        ASSERT_EQ(bytes(buf, buf + std::max(r, 0)), payload);
        ASSERT_EQ(r, static_cast<int>(payload.size()));
    }
}

TEST(NoiseVectors, EveryVectorOfTheSuiteInBothRoles)
{
    const char *path = std::getenv("SDWAN_NOISE_VECTORS");
    if (!path) {
        if (std::getenv("CI"))
            FAIL() << "SDWAN_NOISE_VECTORS is not set: scripts/deps.sh fetches the vectors";
        GTEST_SKIP() << "SDWAN_NOISE_VECTORS is not set (scripts/deps.sh fetches the vectors)";
    }
    ASSERT_TRUE(std::ifstream(path).good()) << path << " cannot be read: run scripts/deps.sh";
    ASSERT_EQ(seal_init(), 0);
    opened_aead daemon;  // the daemons' AEAD, as they run it
    auto vectors = load_vectors(path);
    std::map<std::string, int> ran;
    for (auto &v : vectors) {
        run_vector(&daemon.ax, v);
        ran[v["handshake"]]++;
    }
    // A parser that found nothing would pass everything above.
    EXPECT_GE(ran["Noise_NK_25519_ChaChaPoly_SHA256"], 4) << path;
    EXPECT_GE(ran["Noise_NN_25519_ChaChaPoly_SHA256"], 4) << path;
    EXPECT_GE(ran["Noise_N_25519_ChaChaPoly_SHA256"], 4) << path;
    std::printf("ran %zu vectors\n", vectors.size());
}

// A fixed NK pair, for the hostile cases.
const uint8_t S_PRIV[NOISE_KEY] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                   17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

struct pair {
    aead_ctx_t ax{};  // closed: libsodium
    noise_handshake i, r;
    pair()
    {
        noise_handshake_init(&r, &ax, noise_pattern::NK, false, {}, S_PRIV, nullptr);
        noise_handshake_init(&i, &ax, noise_pattern::NK, true, {}, nullptr, r.s_pub);
    }
    pair(const pair &) = delete;
    pair &operator=(const pair &) = delete;
};

bytes flip(bytes b, size_t at)
{
    b.at(at) ^= 0x01;
    return b;
}

TEST(NoiseHandshake, HostileMessagesAreRefusedAndEndTheHandshake)
{
    uint8_t buf[NOISE_MSG + 16];
    pair ref;
    int n0 = noise_handshake_write(&ref.i, {}, buf);
    ASSERT_EQ(n0, 48);
    bytes msg0(buf, buf + n0);
    // The public key of small order (the all-zero point) libsodium's X25519 refuses.
    bytes low_order(48, 0);
    struct row {
        const char *what;
        bytes msg;
        int want;
    } rows[] = {
        {"empty", {}, -EBADMSG},
        {"shorter than e", bytes(msg0.begin(), msg0.begin() + 31), -EBADMSG},
        {"e without the tag", bytes(msg0.begin(), msg0.begin() + 32), -EBADMSG},
        {"one byte short of the tag", bytes(msg0.begin(), msg0.end() - 1), -EBADMSG},
        {"a bit of e flipped", flip(msg0, 0), -EBADMSG},
        {"a bit of the tag flipped", flip(msg0, 47), -EBADMSG},
        {"a byte appended", [&] { bytes b = msg0; b.push_back(0); return b; }(), -EBADMSG},
        {"e of small order", low_order, -EINVAL},
        {"longer than a Noise message", bytes(NOISE_MSG + 1, 0x55), -EBADMSG},
    };
    for (const row &c : rows) {
        SCOPED_TRACE(c.what);
        pair p;
        EXPECT_EQ(noise_handshake_read(&p.r, c.msg, buf), c.want);
        EXPECT_EQ(noise_handshake_read(&p.r, msg0, buf), -EPROTO) << "a refused handshake goes on";
        EXPECT_EQ(noise_handshake_write(&p.r, {}, buf), -EPROTO);
        const uint8_t zero[NOISE_KEY] = {};
        EXPECT_EQ(std::memcmp(p.r.s_priv, zero, NOISE_KEY), 0) << "the static key outlived the refusal";
        EXPECT_EQ(std::memcmp(p.r.ss.ck, zero, NOISE_KEY), 0);
    }
    // The initiator likewise refuses a tampered answer.
    pair p;
    noise_handshake_write(&p.i, {}, buf);
    ASSERT_EQ(noise_handshake_read(&p.r, msg0, buf), 0);
    int n1 = noise_handshake_write(&p.r, {}, buf);
    ASSERT_EQ(n1, 48);
    EXPECT_EQ(noise_handshake_read(&p.i, flip(bytes(buf, buf + n1), 40), buf), -EBADMSG);
}

TEST(NoiseHandshake, TurnsKeysAndSizes)
{
    uint8_t buf[NOISE_MSG + 64];
    aead_ctx_t ax{};
    noise_handshake hs;
    uint8_t key[NOISE_KEY] = {9};
    struct row {
        const char *what;
        noise_pattern p;
        bool initiator;
        const uint8_t *s, *rs;
        int want;
    } inits[] = {
        {"NK initiator without the pinned key", noise_pattern::NK, true, nullptr, nullptr, -EINVAL},
        {"NK responder without its key", noise_pattern::NK, false, nullptr, nullptr, -EINVAL},
        {"NK initiator given a static key", noise_pattern::NK, true, key, key, -EINVAL},
        {"NN given a remote key", noise_pattern::NN, true, nullptr, key, -EINVAL},
        {"NK initiator", noise_pattern::NK, true, nullptr, key, 0},
    };
    for (const row &c : inits)
        EXPECT_EQ(noise_handshake_init(&hs, &ax, c.p, c.initiator, {}, c.s, c.rs), c.want) << c.what;

    pair p;
    EXPECT_EQ(noise_handshake_read(&p.i, bytes(48, 0), buf), -EPROTO) << "the initiator speaks first";
    EXPECT_EQ(noise_handshake_write(&p.r, {}, buf), -EPROTO);
    noise_cipher a, b;
    EXPECT_EQ(noise_handshake_split(&p.i, &a, &b), -EPROTO);
    // The largest payload fills a Noise message exactly; one byte more, or a short buffer,
    // changes nothing and the same message can still be written.
    bytes big(NOISE_MSG - 48, 0x61);
    EXPECT_EQ(noise_handshake_write(&p.i, bytes(big.size() + 1, 0x61), buf), -EMSGSIZE);
    EXPECT_EQ(noise_handshake_write(&p.i, big, std::span(buf, NOISE_MSG - 1)), -EMSGSIZE);
    ASSERT_EQ(noise_handshake_write(&p.i, big, buf), static_cast<int>(NOISE_MSG));
    ASSERT_EQ(noise_handshake_read(&p.r, std::span(buf, NOISE_MSG), buf), static_cast<int>(big.size()));
    EXPECT_EQ(bytes(buf, buf + big.size()), big);
}

// The transport after the split: the counter's end, a forged packet, out of order delivery and
// rekeying on both sides.
TEST(NoiseTransport, NonceForgeryAndRekey)
{
    uint8_t buf[256];
    pair p;
    noise_handshake_write(&p.i, {}, buf);
    noise_handshake_read(&p.r, std::span(buf, 48), buf);
    noise_handshake_write(&p.r, {}, buf);
    noise_handshake_read(&p.i, std::span(buf, 48), buf);
    noise_cipher is, ir, rs, rr;
    ASSERT_EQ(noise_handshake_split(&p.i, &is, &ir), 0);
    ASSERT_EQ(noise_handshake_split(&p.r, &rs, &rr), 0);
    bytes msg = {'h', 'i'};

    uint8_t c0[64], c1[64];
    ASSERT_EQ(noise_encrypt(&is, {}, msg, c0), 18);
    ASSERT_EQ(noise_encrypt(&is, {}, msg, c1), 18);
    EXPECT_NE(bytes(c0, c0 + 18), bytes(c1, c1 + 18)) << "the nonce did not advance";
    // Forged: refused and the receiver's nonce stays, so the genuine packet still opens.
    EXPECT_EQ(noise_decrypt(&rr, {}, flip(bytes(c0, c0 + 18), 17), buf), -EBADMSG);
    EXPECT_EQ(noise_decrypt(&rr, {}, std::span(c0, 15), buf), -EBADMSG);
    EXPECT_EQ(rr.n, 0u);
    EXPECT_EQ(noise_decrypt_at(&rr, 1, {}, std::span(c1, 18), buf), 2) << "out of order";
    EXPECT_EQ(noise_decrypt_at(&rr, 0, {}, std::span(c0, 18), buf), 2);
    EXPECT_EQ(noise_decrypt_at(&rr, 1, {}, std::span(c0, 18), buf), -EBADMSG) << "wrong nonce";
    EXPECT_EQ(noise_decrypt_at(&rr, NOISE_NONCE_MAX, {}, std::span(c0, 18), buf), -EOVERFLOW);

    // The direction's keys differ: the initiator cannot read its own packet.
    EXPECT_EQ(noise_decrypt_at(&ir, 0, {}, std::span(c0, 18), buf), -EBADMSG);

    // Rekey on one side only: nothing opens; on both: it does again, and the key changed.
    noise_rekey(&is);
    is.n = 5;
    ASSERT_EQ(noise_encrypt(&is, {}, msg, c0), 18);
    EXPECT_EQ(noise_decrypt_at(&rr, 5, {}, std::span(c0, 18), buf), -EBADMSG);
    noise_rekey(&rr);
    EXPECT_EQ(noise_decrypt_at(&rr, 5, {}, std::span(c0, 18), buf), 2);

    // 2^64-1 is never a message's nonce.
    is.n = NOISE_NONCE_MAX - 1;
    EXPECT_EQ(noise_encrypt(&is, {}, msg, c0), 18);
    EXPECT_EQ(noise_encrypt(&is, {}, msg, c0), -EOVERFLOW);
    EXPECT_EQ(is.n, NOISE_NONCE_MAX);
}

// After seal_init every message goes through OpenSSL's contexts: byte for byte libsodium's
// construction, at the lengths a packet, an empty body and the largest message have, sealed in
// place and apart; a flipped bit anywhere is refused.
TEST(NoiseTransport, SealInitKeepsTheConstruction)
{
    ASSERT_EQ(seal_init(), 0);
    opened_aead daemon;
    uint8_t key[NOISE_KEY];
    for (size_t i = 0; i < sizeof key; i++)
        key[i] = static_cast<uint8_t>(0xA0 + i);
    const uint8_t ad[16] = {34, 0, 0, 0, 1, 2, 3, 4, 7};
    static uint8_t pt[NOISE_MSG], ref[NOISE_MSG], got[NOISE_MSG], back[NOISE_MSG];
    for (const size_t len : {size_t{0}, size_t{1}, size_t{1401}, size_t{NOISE_MSG - NOISE_TAG}}) {
        for (const bool in_place : {false, true}) {
            SCOPED_TRACE(std::to_string(len) + (in_place ? " in place" : " apart"));
            for (size_t i = 0; i < len; i++)
                pt[i] = static_cast<uint8_t>(i * 13 + 1);
            noise_cipher cs;
            noise_cipher_init(&cs, &daemon.ax, key);
            cs.n = 0x0102030405ULL;
            uint8_t nonce[12] = {0, 0, 0, 0, 0x05, 0x04, 0x03, 0x02, 0x01};
            unsigned long long rl = 0;
            crypto_aead_chacha20poly1305_ietf_encrypt(ref, &rl, pt, len, ad, sizeof ad, nullptr, nonce, key);
            uint8_t *out = in_place ? pt : got;
            ASSERT_EQ(noise_encrypt(&cs, ad, {pt, len}, {out, len + NOISE_TAG}), static_cast<int>(len + NOISE_TAG));
            EXPECT_EQ(bytes(out, out + len + NOISE_TAG), bytes(ref, ref + rl));
            uint8_t *dst = in_place ? out : back;
            ASSERT_EQ(noise_decrypt_at(&cs, 0x0102030405ULL, ad, {out, len + NOISE_TAG}, {dst, len + NOISE_TAG}),
                      static_cast<int>(len));
            for (size_t i = 0; i < len; i++)
                ASSERT_EQ(dst[i], static_cast<uint8_t>(i * 13 + 1)) << i;
            for (const size_t at : {size_t{0}, len / 2, len + NOISE_TAG - 1}) {
                bytes bad(ref, ref + rl);
                bad[at] ^= 0x10;
                EXPECT_EQ(noise_decrypt_at(&cs, 0x0102030405ULL, ad, bad, {back, bad.size()}), -EBADMSG) << at;
            }
        }
    }
}

// Once a record has contexts, OpenSSL alone seals: a step that fails refuses the message (the
// caller drops it) rather than have libsodium seal what OpenSSL may already have overwritten.
// Contexts never given their cipher fail at the first step; a record without contexts seals
// through libsodium.
TEST(NoiseTransport, AFailedOpenSslStepRefusesTheMessage)
{
    ASSERT_EQ(seal_init(), 0);
    aead_ctx_t broken{};
    broken.seal = EVP_CIPHER_CTX_new();
    broken.open = EVP_CIPHER_CTX_new();
    ASSERT_TRUE(broken.seal != nullptr && broken.open != nullptr);
    aead_ctx_t closed{};
    const uint8_t key[NOISE_KEY] = {7, 7, 7}, ad[16] = {34};
    const uint8_t nonce[12] = {0, 0, 0, 0, 9};
    struct row {
        aead_ctx_t *ax;
        size_t len;
        int want;
    } rows[] = {
        {&broken, 0, -EIO},
        {&broken, 1401, -EIO},
        {&closed, 0, static_cast<int>(NOISE_TAG)},
        {&closed, 1401, static_cast<int>(1401 + NOISE_TAG)},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.ax == &broken ? "failing contexts, " : "no contexts, ") + std::to_string(r.len));
        uint8_t pt[1401] = {1, 2, 3}, got[sizeof pt + NOISE_TAG], ref[sizeof got];
        unsigned long long rl = 0;
        crypto_aead_chacha20poly1305_ietf_encrypt(ref, &rl, pt, r.len, ad, sizeof ad, nullptr, nonce, key);
        noise_cipher cs;
        noise_cipher_init(&cs, r.ax, key);
        cs.n = 9;
        EXPECT_EQ(noise_encrypt(&cs, ad, {pt, r.len}, {got, r.len + NOISE_TAG}), r.want);
        EXPECT_EQ(cs.n, r.want < 0 ? 9u : 10u) << "a refused message spends no nonce";
        if (r.want > 0) {
            EXPECT_EQ(bytes(got, got + r.want), bytes(ref, ref + rl));
        }
        EXPECT_EQ(noise_decrypt_at(&cs, 9, ad, {ref, static_cast<size_t>(rl)}, got),
                  r.want < 0 ? -EBADMSG : static_cast<int>(r.len));
    }
    EVP_CIPHER_CTX_free(broken.seal);
    EVP_CIPHER_CTX_free(broken.open);
}

// A context keeps the key of its last message: the next message of that key sets only its nonce;
// another session's key, a rekey or a cleared cipher keys it again. Every message stays
// libsodium's construction under the key its cipher holds, a copy's old key included.
TEST(NoiseTransport, ContextsKeyOncePerKeySet)
{
    ASSERT_EQ(seal_init(), 0);
    opened_aead daemon;
    aead_ctx_t *const ax = &daemon.ax;
    opened_aead other;  // a second daemon's in the same process
    enum op { SEAL_A, SEAL_B, SEAL_COPY, SEAL_OTHER, OPEN_A, OPEN_B, COPY_A, REKEY_A, REINIT_A, CLEAR_A };
    struct row {
        op o;
        uint64_t keyings;
        const char *why;
    };
    const row rows[] = {
        {SEAL_A, 1, "a key set's first message keys the context"},
        {SEAL_A, 0, "its next ones set the nonce only"},
        {OPEN_A, 1, "the receiving direction has a context of its own"},
        {SEAL_A, 0, "which left the sending one keyed"},
        {OPEN_A, 0, "and itself"},
        {SEAL_OTHER, 0, "another record's key goes to its own contexts"},
        {SEAL_A, 0, "leaving this one's in place"},
        {SEAL_B, 1, "another session's key"},
        {OPEN_B, 1, "in both directions"},
        {SEAL_A, 1, "back to the first"},
        {COPY_A, 0, "a copy holds the same key"},
        {SEAL_COPY, 0, "and needs no keying"},
        {REKEY_A, 0, "the rekey derives its key without the contexts"},
        {SEAL_A, 1, "the new key is keyed"},
        {SEAL_COPY, 1, "the copy still seals under the old key"},
        {OPEN_A, 1, "a rekey wipes the receiving context too"},
        {REINIT_A, 0, ""},
        {SEAL_A, 1, "a key installed over the last one"},
        {COPY_A, 0, ""},
        {SEAL_COPY, 0, "the copy's key is held"},
        {CLEAR_A, 0, ""},
        {SEAL_COPY, 1, "until its cleared original wiped the contexts"},
    };
    uint8_t key_a[NOISE_KEY], key_b[NOISE_KEY];
    std::memset(key_a, 0x5a, sizeof key_a);
    std::memset(key_b, 0xb5, sizeof key_b);
    noise_cipher a, b, copy, d;
    noise_cipher_init(&a, ax, key_a);
    noise_cipher_init(&b, ax, key_b);
    noise_cipher_init(&copy, ax, nullptr);
    noise_cipher_init(&d, &other.ax, key_b);
    bytes ka(key_a, key_a + NOISE_KEY), kb(key_b, key_b + NOISE_KEY), kc;
    const uint8_t ad[4] = {1, 2, 3, 4}, pt[40] = {9, 8, 7};
    uint64_t n = 7;
    for (const row &r : rows) {
        SCOPED_TRACE(std::to_string(&r - rows) + ": " + r.why);
        noise_cipher *cs = r.o == SEAL_B || r.o == OPEN_B ? &b : r.o == SEAL_COPY ? &copy : r.o == SEAL_OTHER ? &d : &a;
        const bytes &k = cs == &b || cs == &d ? kb : cs == &copy ? kc : ka;
        uint8_t nonce[12] = {}, ref[sizeof pt + NOISE_TAG], got[sizeof ref];
        st_le64_ref(nonce + 4, ++n);
        unsigned long long rl = 0;
        crypto_aead_chacha20poly1305_ietf_encrypt(ref, &rl, pt, sizeof pt, ad, sizeof ad, nullptr, nonce, k.data());
        const uint64_t before = ax->keyings;
        switch (r.o) {
        case SEAL_A:
        case SEAL_B:
        case SEAL_COPY:
        case SEAL_OTHER:
            cs->n = n;
            ASSERT_EQ(noise_encrypt(cs, ad, pt, got), static_cast<int>(sizeof got));
            EXPECT_EQ(bytes(got, got + sizeof got), bytes(ref, ref + rl));
            break;
        case OPEN_A:
        case OPEN_B:
            EXPECT_EQ(noise_decrypt_at(cs, n, ad, {ref, static_cast<size_t>(rl)}, got), static_cast<int>(sizeof pt));
            EXPECT_EQ(bytes(got, got + sizeof pt), bytes(pt, pt + sizeof pt));
            break;
        case COPY_A:
            copy = a;
            kc = ka;
            break;
        case REKEY_A: {
            const uint8_t zeros[NOISE_KEY] = {}, max[12] = {0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
            uint8_t next[NOISE_KEY + NOISE_TAG];
            crypto_aead_chacha20poly1305_ietf_encrypt(next, nullptr, zeros, NOISE_KEY, nullptr, 0, nullptr, max,
                                                      ka.data());
            ka.assign(next, next + NOISE_KEY);
            noise_rekey(&a);
            break;
        }
        case REINIT_A:
            std::memset(key_a, 0x3c, sizeof key_a);
            ka.assign(key_a, key_a + NOISE_KEY);
            noise_cipher_init(&a, ax, key_a);
            break;
        case CLEAR_A:
            noise_cipher_clear(&a);
            break;
        }
        EXPECT_EQ(ax->keyings - before, r.keyings);
    }
}

} // namespace
