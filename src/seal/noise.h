// The Noise Protocol Framework (revision 34) for the sealed session: Curve25519, ChaChaPoly and
// SHA-256 from libsodium, the one-way pattern N and the interactive NN and NK. The sealed
// session speaks NK only; N and NN cost a row each in the pattern table and let every published
// vector of this cipher suite run. The states are the framework's own, as plain records with
// fixed-size fields: nothing here allocates, throws or keeps a pointer to a caller's buffer.
// Functions answer 0 (or a length) on success and a negative errno otherwise.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <openssl/types.h>

constexpr size_t NOISE_KEY = 32;    // a cipher key, a DH key (private or public), a hash
constexpr size_t NOISE_TAG = 16;    // the AEAD tag after every encrypted field
constexpr size_t NOISE_MSG = 65535; // the largest Noise message, handshake or transport
constexpr uint64_t NOISE_NONCE_MAX = UINT64_MAX; // reserved: never used for a message

// Once at start-up, before any key is generated: libsodium picks its implementations and its
// random source. 0, or -EIO when libsodium cannot start.
int seal_init();

// The AEAD's two OpenSSL contexts, one per direction, and the key each holds. Each daemon owns
// one, opened at start-up, and gives it to every handshake it starts; the keys a handshake
// yields carry it to every message they seal or open. Zero-initialised it is closed: every
// message then goes through libsodium (the same construction, byte for byte).
struct aead_ctx_t {
    EVP_CIPHER_CTX *seal;
    EVP_CIPHER_CTX *open;
    uint64_t seal_gen; // the generation of the key seal holds; 0: none
    uint64_t open_gen;
    uint64_t next_gen; // every key installed gets a new one, never 0
    // How often a message keyed a context: once per key set and direction while one
    // session's train goes through, once per message where sessions alternate.
    uint64_t keyings;
};
// After seal_init: the contexts made, so that no message allocates. 0, or -ENOMEM when OpenSSL
// has no ChaCha20-Poly1305 (the record stays closed: libsodium then). Opening twice is harmless.
int aead_open(aead_ctx_t *ax);
void aead_close(aead_ctx_t *ax);

// A CipherState. The handshake's first tokens go out in the clear while it has no key; the
// functions below refuse a cipher without one (-ENOKEY), so a transport never sends plaintext.
struct noise_cipher {
    uint8_t k[NOISE_KEY];
    uint64_t n;
    aead_ctx_t *ax; // the contexts that seal and open its messages
    uint64_t gen;   // which key this is to ax's contexts (they keep the last one): 0 for none
    bool has_key;
};

void noise_cipher_init(noise_cipher *cs, aead_ctx_t *ax, const uint8_t *key); // key nullptr: empty
// EncryptWithAd: out receives in.size() + NOISE_TAG bytes; the length written, -EMSGSIZE when out is short or the result would exceed NOISE_MSG, -EOVERFLOW
// once the nonce reached NOISE_NONCE_MAX, -EIO when an OpenSSL step fails (out's bytes are then
// undefined, the nonce is left where it was). in and out may be the same bytes.
int noise_encrypt(noise_cipher *cs, std::span<const uint8_t> ad, std::span<const uint8_t> in,
                  std::span<uint8_t> out);
// DecryptWithAd: the plaintext's length, or -EBADMSG when the tag does not verify, which leaves
// the nonce where it was so that a forged message costs the receiver nothing (out's bytes are
// then undefined).
int noise_decrypt(noise_cipher *cs, std::span<const uint8_t> ad, std::span<const uint8_t> in,
                  std::span<uint8_t> out);
// The transport's receiver picks the nonce from the packet (out of order delivery); it must have
// passed the replay window's check first.
int noise_decrypt_at(noise_cipher *cs, uint64_t nonce, std::span<const uint8_t> ad,
                     std::span<const uint8_t> in, std::span<uint8_t> out);
// Rekey(): the new key is the first 32 bytes of ENCRYPT(k, 2^64-1, "", 32 zero bytes). The
// nonce is left as it is.
void noise_rekey(noise_cipher *cs);
void noise_cipher_clear(noise_cipher *cs);

// A SymmetricState.
struct noise_symmetric {
    noise_cipher cs;
    uint8_t ck[NOISE_KEY];
    uint8_t h[NOISE_KEY];
};

enum class noise_pattern : uint8_t { N, NN, NK };
// "Noise_NK_25519_ChaChaPoly_SHA256" to NK; -EINVAL for any other protocol name.
int noise_pattern_from_name(const char *name, noise_pattern *out);

// A HandshakeState for the patterns above.
struct noise_handshake {
    noise_symmetric ss;
    uint8_t s_priv[NOISE_KEY], s_pub[NOISE_KEY]; // the responder's own static key (N, NK)
    uint8_t e_priv[NOISE_KEY], e_pub[NOISE_KEY];
    uint8_t rs[NOISE_KEY], re[NOISE_KEY];
    noise_pattern pattern;
    bool initiator;
    bool has_s, has_e, has_rs, has_re;
    uint8_t next; // index of the next message of the pattern
};

// Initialize(): the responder of N and NK passes its static private key, the initiator of N
// and NK the responder's pinned public key; NN takes neither. -EINVAL when a key the pattern
// needs is missing or one it does not use is given. ax seals the handshake's messages and
// those of the keys split from it.
int noise_handshake_init(noise_handshake *hs, aead_ctx_t *ax, noise_pattern p, bool initiator,
                         std::span<const uint8_t> prologue, const uint8_t *s_priv,
                         const uint8_t *rs);
// The ephemeral key pair this side will send: from a given private key (vectors, tests) or
// fresh from the system's random source. Without either, the first write generates one.
void noise_handshake_set_ephemeral(noise_handshake *hs, const uint8_t *e_priv);
void noise_handshake_generate_ephemeral(noise_handshake *hs);

// WriteMessage: the message's length in out; -EPROTO when it is not this side's turn (or the
// handshake is over), -EMSGSIZE when out is short, -EINVAL when a DH gives the all-zero value.
int noise_handshake_write(noise_handshake *hs, std::span<const uint8_t> payload,
                          std::span<uint8_t> out);
// ReadMessage: the payload's length in payload; -EPROTO as above, -EBADMSG for a message of the
// wrong length or whose tag does not verify, -EINVAL for a public key of small order. A refused
// message wipes the state's secrets and leaves it unusable: the caller starts a new handshake.
int noise_handshake_read(noise_handshake *hs, std::span<const uint8_t> msg,
                         std::span<uint8_t> payload);
bool noise_handshake_done(const noise_handshake *hs);
// Split(), once the last message is written or read: the cipher this side sends with and the
// one it receives with (the initiator sends with the first). The one-way N gets both as
// well; Noise has its responder send nothing. The handshake hash stays readable
// in hs->ss.h for channel binding; every other secret of hs is wiped. -EPROTO before the end.
int noise_handshake_split(noise_handshake *hs, noise_cipher *send, noise_cipher *recv);
void noise_handshake_clear(noise_handshake *hs);

// Comparison in time independent of where the bytes differ: for secrets a stranger may probe
// (passwords). True when equal.
bool seal_equal(const uint8_t *a, const uint8_t *b, size_t n);
// Wipes memory that held a secret so that the compiler cannot leave the store out.
void seal_wipe(void *p, size_t n);
// Bytes from the system's random source (libsodium's, started by seal_init).
void seal_random(uint8_t *out, size_t n);
