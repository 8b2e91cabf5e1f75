#include "seal/noise.h"

#include <cerrno>
#include <cstring>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <sodium.h>

#include "bytes.h"

// The AEAD of every message: OpenSSL's ChaCha20-Poly1305 where aead_open made the record's two
// contexts, libsodium's otherwise (the same construction, byte for byte). OpenSSL's vector code
// takes about a quarter fewer instructions per 1400-byte packet on x86. The contexts are made
// once, so a message costs no allocation. Keying a context costs more than sealing a 1400-byte
// packet (parameter lookups, the key schedule, the old key's cleansing), so each context
// remembers the generation of the key it holds and a message of the same key sets only its
// nonce: a train of one key set pays the key once, and a peer alternating between sessions pays
// what it did before.
namespace {
// The contexts keep the last key they were given: wiped with the keys themselves.
void aead_scrub(aead_ctx_t *ax)
{
    if (ax == nullptr)
        return;
    static const uint8_t zero[NOISE_KEY] = {};
    if (ax->seal != nullptr)
        (void)EVP_EncryptInit_ex2(ax->seal, nullptr, zero, nullptr, nullptr);
    if (ax->open != nullptr)
        (void)EVP_DecryptInit_ex2(ax->open, nullptr, zero, nullptr, nullptr);
    ax->seal_gen = 0;
    ax->open_gen = 0;
}
} // namespace

int seal_init() { return sodium_init() < 0 ? -EIO : 0; }

int aead_open(aead_ctx_t *ax)
{
    if (ax->seal != nullptr)
        return 0;
    static const uint8_t zero[NOISE_KEY] = {};
    EVP_CIPHER *c = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
    EVP_CIPHER_CTX *e = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX *d = EVP_CIPHER_CTX_new();
    int r = 0;
    if (c != nullptr && e != nullptr && d != nullptr && EVP_EncryptInit_ex2(e, c, zero, nullptr, nullptr) == 1 &&
        EVP_DecryptInit_ex2(d, c, zero, nullptr, nullptr) == 1) {
        ax->seal = e;
        ax->open = d;
        ax->seal_gen = ax->open_gen = 0;
    } else {
        EVP_CIPHER_CTX_free(e);
        EVP_CIPHER_CTX_free(d);
        r = -ENOMEM;
    }
    EVP_CIPHER_free(c);  // the contexts hold their own reference
    return r;
}

void aead_close(aead_ctx_t *ax)
{
    EVP_CIPHER_CTX_free(ax->seal);  // cleanses the key it holds
    EVP_CIPHER_CTX_free(ax->open);
    ax->seal = ax->open = nullptr;
    ax->seal_gen = ax->open_gen = 0;
}

namespace {

static_assert(crypto_scalarmult_BYTES == NOISE_KEY && crypto_scalarmult_SCALARBYTES == NOISE_KEY);
static_assert(crypto_aead_chacha20poly1305_ietf_KEYBYTES == NOISE_KEY);
static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES == NOISE_TAG);
static_assert(crypto_hash_sha256_BYTES == NOISE_KEY && crypto_auth_hmacsha256_BYTES == NOISE_KEY);

enum token : uint8_t { T_END, T_E, T_EE, T_ES };

// The patterns' tokens; message i goes from the initiator when i is even.
struct pattern_def {
    const char *name;
    bool pre_responder_s; // "<- s" before the first message
    uint8_t messages;
    token msg[2][3];
};
const pattern_def PATTERNS[] = {
    {"Noise_N_25519_ChaChaPoly_SHA256", true, 1, {{T_E, T_ES, T_END}, {T_END}}},
    {"Noise_NN_25519_ChaChaPoly_SHA256", false, 2, {{T_E, T_END}, {T_E, T_EE, T_END}}},
    {"Noise_NK_25519_ChaChaPoly_SHA256", true, 2, {{T_E, T_ES, T_END}, {T_E, T_EE, T_END}}},
};
const pattern_def &def(noise_pattern p) { return PATTERNS[static_cast<uint8_t>(p)]; }

constexpr uint8_t BROKEN = 0xff; // a refused message ends the handshake

void nonce_bytes(uint8_t out[crypto_aead_chacha20poly1305_ietf_NPUBBYTES], uint64_t n)
{
    std::memset(out, 0, 4);
    st_le64(out + 4, n);
}

void hmac(const uint8_t key[NOISE_KEY], std::span<const uint8_t> a, std::span<const uint8_t> b,
          uint8_t out[NOISE_KEY])
{
    crypto_auth_hmacsha256_state st;
    crypto_auth_hmacsha256_init(&st, key, NOISE_KEY);
    crypto_auth_hmacsha256_update(&st, a.data(), a.size());
    crypto_auth_hmacsha256_update(&st, b.data(), b.size());
    crypto_auth_hmacsha256_final(&st, out);
    sodium_memzero(&st, sizeof st);
}

// HKDF(chaining_key, input_key_material, 2) of the framework.
void hkdf2(const uint8_t ck[NOISE_KEY], std::span<const uint8_t> ikm, uint8_t o1[NOISE_KEY],
           uint8_t o2[NOISE_KEY])
{
    uint8_t temp[NOISE_KEY], a[NOISE_KEY], b[NOISE_KEY];
    const uint8_t one = 1, two = 2;
    hmac(ck, ikm, {}, temp);
    hmac(temp, {&one, 1}, {}, a);
    hmac(temp, a, {&two, 1}, b);
    std::memcpy(o1, a, NOISE_KEY);
    std::memcpy(o2, b, NOISE_KEY);
    sodium_memzero(temp, sizeof temp);
    sodium_memzero(a, sizeof a);
    sodium_memzero(b, sizeof b);
}

void hash2(const uint8_t h[NOISE_KEY], std::span<const uint8_t> data, uint8_t out[NOISE_KEY])
{
    crypto_hash_sha256_state st;
    crypto_hash_sha256_init(&st);
    crypto_hash_sha256_update(&st, h, NOISE_KEY);
    crypto_hash_sha256_update(&st, data.data(), data.size());
    crypto_hash_sha256_final(&st, out);
}

void mix_hash(noise_symmetric *ss, std::span<const uint8_t> data) { hash2(ss->h, data, ss->h); }

void mix_key(noise_symmetric *ss, std::span<const uint8_t> ikm)
{
    uint8_t k[NOISE_KEY];
    hkdf2(ss->ck, ikm, ss->ck, k);
    noise_cipher_init(&ss->cs, ss->cs.ax, k);
    sodium_memzero(k, sizeof k);
}

// The nonce alone where ctx already holds cs's key, key and nonce otherwise.
bool aead_key(EVP_CIPHER_CTX *ctx, uint64_t *held, uint64_t *keyings, const noise_cipher *cs,
              const uint8_t *nonce, int enc)
{
    if (cs->gen != 0 && cs->gen == *held)
        return EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, nonce, enc) == 1;
    *held = 0; // a keying that fails half way leaves no key to trust
    ++*keyings;
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, cs->k, nonce, enc) != 1)
        return false;
    *held = cs->gen;
    return true;
}

// The tag through the provider's parameters: the control call would build the same array
// for every message.
bool aead_tag(EVP_CIPHER_CTX *ctx, uint8_t *tag, bool set)
{
    OSSL_PARAM p[2] = {OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag, NOISE_TAG), OSSL_PARAM_END};
    return (set ? EVP_CIPHER_CTX_set_params(ctx, p) : EVP_CIPHER_CTX_get_params(ctx, p)) == 1;
}

// Both sides of the AEAD work in place: text that overlaps its result at another offset (a
// handshake payload read over its own message) is moved there first, since neither library's
// vector code takes a partial overlap. libsodium seals only where the record has no context:
// once OpenSSL has begun, out may hold its ciphertext, and sealing that again would put a valid
// tag over bytes the receiver cannot read. A failed step refuses the message instead.
int aead_encrypt(const noise_cipher *cs, uint64_t n, std::span<const uint8_t> ad,
                 std::span<const uint8_t> in, uint8_t *out)
{
    uint8_t nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
    nonce_bytes(nonce, n);
    const size_t len = in.size();
    if (len != 0 && out != in.data())
        std::memmove(out, in.data(), len);
    aead_ctx_t *const ax = cs->ax;
    if (EVP_CIPHER_CTX *const ctx = ax->seal; ctx != nullptr) {
        int l = 0;
        if (!aead_key(ctx, &ax->seal_gen, &ax->keyings, cs, nonce, 1) ||
            EVP_EncryptUpdate(ctx, nullptr, &l, ad.data(), static_cast<int>(ad.size())) != 1 ||
            EVP_EncryptUpdate(ctx, out, &l, out, static_cast<int>(len)) != 1 ||
            EVP_EncryptFinal_ex(ctx, out + len, &l) != 1 ||
            !aead_tag(ctx, out + len, false))
            return -EIO;
        return static_cast<int>(len + NOISE_TAG);
    }
    crypto_aead_chacha20poly1305_ietf_encrypt_detached(out, out + len, nullptr, out, len, ad.data(), ad.size(),
                                                       nullptr, nonce, cs->k);
    return static_cast<int>(len + NOISE_TAG);
}

// A refused message leaves out (and in, where they overlap) overwritten: every caller drops it.
int aead_decrypt(const noise_cipher *cs, uint64_t n, std::span<const uint8_t> ad,
                 std::span<const uint8_t> in, std::span<uint8_t> out)
{
    if (in.size() < NOISE_TAG || in.size() > NOISE_MSG)
        return -EBADMSG;
    const size_t len = in.size() - NOISE_TAG;
    if (out.size() < len)
        return -EMSGSIZE;
    uint8_t nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
    nonce_bytes(nonce, n);
    uint8_t tag[NOISE_TAG];
    std::memcpy(tag, in.data() + len, NOISE_TAG);
    uint8_t *const o = out.data();
    if (len != 0 && o != in.data())
        std::memmove(o, in.data(), len);
    aead_ctx_t *const ax = cs->ax;
    if (EVP_CIPHER_CTX *const ctx = ax->open; ctx != nullptr) {
        int l = 0;
        if (!aead_key(ctx, &ax->open_gen, &ax->keyings, cs, nonce, 0) ||
            !aead_tag(ctx, tag, true) ||
            EVP_DecryptUpdate(ctx, nullptr, &l, ad.data(), static_cast<int>(ad.size())) != 1 ||
            EVP_DecryptUpdate(ctx, o, &l, o, static_cast<int>(len)) != 1 ||
            EVP_DecryptFinal_ex(ctx, o + len, &l) != 1)
            return -EBADMSG;
        return static_cast<int>(len);
    }
    if (crypto_aead_chacha20poly1305_ietf_decrypt_detached(o, nullptr, o, len, tag, ad.data(), ad.size(), nonce,
                                                           cs->k) != 0)
        return -EBADMSG;
    return static_cast<int>(len);
}

// EncryptAndHash: in the clear before the first MixKey, sealed under h after it.
int encrypt_and_hash(noise_symmetric *ss, std::span<const uint8_t> in, std::span<uint8_t> out)
{
    size_t need = in.size() + (ss->cs.has_key ? NOISE_TAG : 0);
    if (out.size() < need)
        return -EMSGSIZE;
    if (ss->cs.has_key) {
        int r = noise_encrypt(&ss->cs, ss->h, in, out);
        if (r < 0)
            return r;
    } else if (!in.empty()) {
        std::memmove(out.data(), in.data(), in.size());
    }
    mix_hash(ss, out.first(need));
    return static_cast<int>(need);
}

int decrypt_and_hash(noise_symmetric *ss, std::span<const uint8_t> in, std::span<uint8_t> out)
{
    uint8_t h[NOISE_KEY];
    hash2(ss->h, in, h); // before decryption: out may be in's bytes
    int r;
    if (ss->cs.has_key) {
        r = noise_decrypt(&ss->cs, ss->h, in, out);
    } else if (out.size() < in.size()) {
        r = -EMSGSIZE;
    } else {
        if (!in.empty())
            std::memmove(out.data(), in.data(), in.size());
        r = static_cast<int>(in.size());
    }
    if (r >= 0)
        std::memcpy(ss->h, h, NOISE_KEY);
    return r;
}

int dh(const uint8_t priv[NOISE_KEY], const uint8_t pub[NOISE_KEY], uint8_t out[NOISE_KEY])
{
    // libsodium refuses a public key of small order by the all-zero result
    return crypto_scalarmult(out, priv, pub) == 0 ? 0 : -EINVAL;
}

int mix_dh(noise_handshake *hs, const uint8_t priv[NOISE_KEY], const uint8_t pub[NOISE_KEY])
{
    uint8_t shared[NOISE_KEY];
    int r = dh(priv, pub, shared);
    if (r == 0)
        mix_key(&hs->ss, shared);
    sodium_memzero(shared, sizeof shared);
    return r;
}

// ee, es: the DH of the token, in the order the side's keys give it.
int mix_token(noise_handshake *hs, token t)
{
    switch (t) {
    case T_EE:
        return mix_dh(hs, hs->e_priv, hs->re);
    case T_ES:
        return hs->initiator ? mix_dh(hs, hs->e_priv, hs->rs) : mix_dh(hs, hs->s_priv, hs->re);
    default:
        return -EINVAL;
    }
}

// A refused message ends the handshake, and nothing secret of it outlives the refusal.
int broken(noise_handshake *hs, int err)
{
    noise_pattern p = hs->pattern;
    bool initiator = hs->initiator;
    aead_ctx_t *ax = hs->ss.cs.ax;
    sodium_memzero(hs, sizeof *hs);
    aead_scrub(ax);
    hs->pattern = p;
    hs->initiator = initiator;
    hs->ss.cs.ax = ax;
    hs->next = BROKEN;
    return err;
}

bool my_turn(const noise_handshake *hs)
{
    return hs->next < def(hs->pattern).messages && ((hs->next % 2 == 0) == hs->initiator);
}

} // namespace

void noise_cipher_init(noise_cipher *cs, aead_ctx_t *ax, const uint8_t *key)
{
    // The key this cipher held leaves the contexts with it: a handshake's few keys cost a
    // keying each, the data path's none.
    aead_scrub(ax);
    cs->ax = ax;
    cs->gen = key != nullptr ? ++ax->next_gen : 0;
    if (key)
        std::memcpy(cs->k, key, NOISE_KEY);
    else
        sodium_memzero(cs->k, NOISE_KEY);
    cs->n = 0;
    cs->has_key = key != nullptr;
}

void noise_cipher_clear(noise_cipher *cs)
{
    // A cipher never keyed (all zero) has no contexts to wipe.
    aead_scrub(cs->ax);
    sodium_memzero(cs->k, NOISE_KEY);
    cs->gen = 0;
    cs->n = 0;
    cs->has_key = false;
}

int noise_encrypt(noise_cipher *cs, std::span<const uint8_t> ad, std::span<const uint8_t> in,
                  std::span<uint8_t> out)
{
    if (!cs->has_key)
        return -ENOKEY;
    if (cs->n == NOISE_NONCE_MAX)
        return -EOVERFLOW;
    if (in.size() > NOISE_MSG - NOISE_TAG || out.size() < in.size() + NOISE_TAG)
        return -EMSGSIZE;
    int r = aead_encrypt(cs, cs->n, ad, in, out.data());
    if (r >= 0)
        cs->n++;  // a refused message used no nonce: nothing left under it
    return r;
}

int noise_decrypt(noise_cipher *cs, std::span<const uint8_t> ad, std::span<const uint8_t> in,
                  std::span<uint8_t> out)
{
    int r = noise_decrypt_at(cs, cs->n, ad, in, out);
    if (r >= 0)
        cs->n++;
    return r;
}

int noise_decrypt_at(noise_cipher *cs, uint64_t nonce, std::span<const uint8_t> ad,
                     std::span<const uint8_t> in, std::span<uint8_t> out)
{
    if (!cs->has_key)
        return -ENOKEY;
    if (nonce == NOISE_NONCE_MAX)
        return -EOVERFLOW;
    return aead_decrypt(cs, nonce, ad, in, out);
}

void noise_rekey(noise_cipher *cs)
{
    // Through libsodium, which cannot fail here: a rekey has no error to answer.
    uint8_t zeros[NOISE_KEY] = {};
    uint8_t sealed[NOISE_KEY + NOISE_TAG];
    uint8_t nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
    nonce_bytes(nonce, NOISE_NONCE_MAX);
    crypto_aead_chacha20poly1305_ietf_encrypt_detached(sealed, sealed + NOISE_KEY, nullptr, zeros, NOISE_KEY,
                                                       nullptr, 0, nullptr, nonce, cs->k);
    std::memcpy(cs->k, sealed, NOISE_KEY);
    sodium_memzero(sealed, sizeof sealed);
    aead_scrub(cs->ax);
    cs->gen = ++cs->ax->next_gen;
}

int noise_pattern_from_name(const char *name, noise_pattern *out)
{
    for (size_t i = 0; i < std::size(PATTERNS); i++) {
        if (std::strcmp(name, PATTERNS[i].name) == 0) {
            *out = static_cast<noise_pattern>(i);
            return 0;
        }
    }
    return -EINVAL;
}

int noise_handshake_init(noise_handshake *hs, aead_ctx_t *ax, noise_pattern p, bool initiator,
                         std::span<const uint8_t> prologue, const uint8_t *s_priv, const uint8_t *rs)
{
    if (static_cast<size_t>(p) >= std::size(PATTERNS))
        return -EINVAL;
    const pattern_def &d = def(p);
    bool wants_s = d.pre_responder_s && !initiator, wants_rs = d.pre_responder_s && initiator;
    if ((s_priv != nullptr) != wants_s || (rs != nullptr) != wants_rs)
        return -EINVAL;
    sodium_memzero(hs, sizeof *hs);
    hs->pattern = p;
    hs->initiator = initiator;
    // InitializeSymmetric: a name of at most HASHLEN bytes is h itself, zero-padded.
    size_t len = std::strlen(d.name);
    if (len <= NOISE_KEY)
        std::memcpy(hs->ss.h, d.name, len);
    else
        crypto_hash_sha256(hs->ss.h, reinterpret_cast<const uint8_t *>(d.name), len);
    std::memcpy(hs->ss.ck, hs->ss.h, NOISE_KEY);
    noise_cipher_init(&hs->ss.cs, ax, nullptr);
    mix_hash(&hs->ss, prologue);
    if (s_priv) {
        std::memcpy(hs->s_priv, s_priv, NOISE_KEY);
        crypto_scalarmult_base(hs->s_pub, hs->s_priv);
        hs->has_s = true;
        mix_hash(&hs->ss, hs->s_pub);
    }
    if (rs) {
        std::memcpy(hs->rs, rs, NOISE_KEY);
        hs->has_rs = true;
        mix_hash(&hs->ss, hs->rs);
    }
    return 0;
}

void noise_handshake_set_ephemeral(noise_handshake *hs, const uint8_t *e_priv)
{
    std::memcpy(hs->e_priv, e_priv, NOISE_KEY);
    crypto_scalarmult_base(hs->e_pub, hs->e_priv);
    hs->has_e = true;
}

void noise_handshake_generate_ephemeral(noise_handshake *hs)
{
    uint8_t priv[NOISE_KEY];
    randombytes_buf(priv, sizeof priv);
    noise_handshake_set_ephemeral(hs, priv);
    sodium_memzero(priv, sizeof priv);
}

int noise_handshake_write(noise_handshake *hs, std::span<const uint8_t> payload,
                          std::span<uint8_t> out)
{
    if (!my_turn(hs) || hs->ss.cs.ax == nullptr)  // cleared, or never initialised
        return -EPROTO;
    // The whole message's size first, so that a short buffer changes nothing.
    const token *tokens = def(hs->pattern).msg[hs->next];
    size_t need = payload.size();
    bool keyed = hs->ss.cs.has_key;
    for (const token *t = tokens; *t != T_END; t++) {
        need += *t == T_E ? NOISE_KEY : 0;
        keyed |= *t != T_E;
    }
    need += keyed ? NOISE_TAG : 0;
    if (need > out.size() || need > NOISE_MSG)
        return -EMSGSIZE;
    size_t off = 0;
    for (const token *t = tokens; *t != T_END; t++) {
        if (*t == T_E) {
            if (!hs->has_e)
                noise_handshake_generate_ephemeral(hs);
            std::memcpy(out.data() + off, hs->e_pub, NOISE_KEY);
            mix_hash(&hs->ss, {hs->e_pub, NOISE_KEY});
            off += NOISE_KEY;
        } else if (int r = mix_token(hs, *t); r < 0) {
            return broken(hs, r);
        }
    }
    int r = encrypt_and_hash(&hs->ss, payload, out.subspan(off));
    if (r < 0)
        return broken(hs, r);
    hs->next++;
    return static_cast<int>(off) + r;
}

int noise_handshake_read(noise_handshake *hs, std::span<const uint8_t> msg,
                         std::span<uint8_t> payload)
{
    if (hs->next >= def(hs->pattern).messages || my_turn(hs) || hs->ss.cs.ax == nullptr)
        return -EPROTO;
    if (msg.size() > NOISE_MSG)
        return broken(hs, -EBADMSG);
    size_t off = 0;
    int r = 0;
    for (const token *t = def(hs->pattern).msg[hs->next]; *t != T_END && r == 0; t++) {
        if (*t == T_E) {
            if (msg.size() - off < NOISE_KEY) {
                r = -EBADMSG;
                break;
            }
            std::memcpy(hs->re, msg.data() + off, NOISE_KEY);
            hs->has_re = true;
            mix_hash(&hs->ss, {hs->re, NOISE_KEY});
            off += NOISE_KEY;
        } else {
            r = mix_token(hs, *t);
        }
    }
    if (r == 0 && hs->ss.cs.has_key && msg.size() - off < NOISE_TAG)
        r = -EBADMSG;
    if (r == 0)
        r = decrypt_and_hash(&hs->ss, msg.subspan(off), payload);
    if (r < 0)
        return broken(hs, r);
    hs->next++;
    return r;
}

bool noise_handshake_done(const noise_handshake *hs) { return hs->next == def(hs->pattern).messages; }

int noise_handshake_split(noise_handshake *hs, noise_cipher *send, noise_cipher *recv)
{
    if (!noise_handshake_done(hs))
        return -EPROTO;
    uint8_t k1[NOISE_KEY], k2[NOISE_KEY];
    hkdf2(hs->ss.ck, {}, k1, k2);
    aead_ctx_t *ax = hs->ss.cs.ax;
    noise_cipher_init(send, ax, hs->initiator ? k1 : k2);
    noise_cipher_init(recv, ax, hs->initiator ? k2 : k1);
    sodium_memzero(k1, sizeof k1);
    sodium_memzero(k2, sizeof k2);
    aead_scrub(ax);  // the handshake's last key
    uint8_t h[NOISE_KEY];
    std::memcpy(h, hs->ss.h, NOISE_KEY);
    noise_pattern p = hs->pattern;
    bool initiator = hs->initiator;
    uint8_t next = hs->next;
    sodium_memzero(hs, sizeof *hs);
    std::memcpy(hs->ss.h, h, NOISE_KEY);
    hs->pattern = p;
    hs->initiator = initiator;
    hs->ss.cs.ax = ax;
    hs->next = next;
    return 0;
}

void noise_handshake_clear(noise_handshake *hs)
{
    aead_ctx_t *ax = hs->ss.cs.ax;
    sodium_memzero(hs, sizeof *hs);
    aead_scrub(ax);
}

bool seal_equal(const uint8_t *a, const uint8_t *b, size_t n) { return sodium_memcmp(a, b, n) == 0; }
void seal_wipe(void *p, size_t n) { sodium_memzero(p, n); }
void seal_random(uint8_t *out, size_t n) { randombytes_buf(out, n); }
