// The OPEN password block: AES-128 of one 16-byte block, no chaining, under the password key
// MD5(salt | user name). The client enciphers it, the peer deciphers it.
#pragma once
#include <cstdint>
#include <openssl/types.h>

// One reusable cipher context. Zero-initialised it is closed; sdwan_aes_open allocates, and
// after that keying it again allocates nothing, so a handshake costs no heap traffic.
struct sdwan_aes_t {
    EVP_CIPHER *cipher;
    EVP_CIPHER_CTX *ctx;
    int8_t dir;  // 0 not yet keyed, 1 enciphering, -1 deciphering
};

int sdwan_aes_open(sdwan_aes_t *a);  // 0, or -1 when AES-128 is not available; opening twice is harmless
void sdwan_aes_close(sdwan_aes_t *a);
// One block through the cipher (opening the context first if need be); 0 on success.
int sdwan_aes_run(sdwan_aes_t *a, bool decrypt, const uint8_t key[16], const uint8_t in[16], uint8_t out[16]);

// The password key: MD5(salt | user name), n bytes of user (at most 31 are used).
void sdwan_passkey(const char *user, uint32_t n, uint8_t key[16]);
