#include "proto/aes.h"

#include <cstring>
#include <openssl/evp.h>

#include "digest/sys_md5.h"
#include "proto/opts.h"
#include "sdwan_build.h"

namespace {
constexpr int BLOCK = 16;
}  // namespace

int sdwan_aes_open(sdwan_aes_t *a)
{
    if (a->ctx != nullptr)
        return 0;
    EVP_CIPHER *c = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    if (c == nullptr || ctx == nullptr) {
        EVP_CIPHER_free(c);
        EVP_CIPHER_CTX_free(ctx);
        return -1;
    }
    a->cipher = c;
    a->ctx = ctx;
    a->dir = 0;
    return 0;
}

void sdwan_aes_close(sdwan_aes_t *a)
{
    EVP_CIPHER_CTX_free(a->ctx);
    EVP_CIPHER_free(a->cipher);
    *a = sdwan_aes_t{};
}

int sdwan_aes_run(sdwan_aes_t *a, bool decrypt, const uint8_t key[16], const uint8_t in[16], uint8_t out[16])
{
    if (sdwan_aes_open(a) != 0)
        return -1;
    const int8_t dir = decrypt ? -1 : 1;
    // The cipher is bound once per direction; later calls only load a new key into the context.
    const EVP_CIPHER *cipher = a->dir == dir ? nullptr : a->cipher;
    if (EVP_CipherInit_ex(a->ctx, cipher, nullptr, key, nullptr, decrypt ? 0 : 1) != 1)
        return -1;
    a->dir = dir;
    if (EVP_CIPHER_CTX_set_padding(a->ctx, 0) != 1)
        return -1;
    int n = 0;
    if (EVP_CipherUpdate(a->ctx, out, &n, in, BLOCK) != 1 || n != BLOCK)
        return -1;
    int fin = 0;
    uint8_t rest[BLOCK];
    if (EVP_CipherFinal_ex(a->ctx, rest, &fin) != 1 || fin != 0)
        return -1;
    return 0;
}

void sdwan_passkey(const char *user, uint32_t n, uint8_t key[16])
{
    if (n > SDWAN_USER_MAX)
        n = SDWAN_USER_MAX;
    // The salt is written next to the digest input at each use rather than kept as one stored
    // constant, like the signature's in packet.cpp.
    uint8_t in[2 + SDWAN_USER_MAX];
    in[0] = SDWAN_SALT0;
    in[1] = SDWAN_SALT1;
    memcpy(in + 2, user, n);
    uint8_t digest[32];
    sys_md5ctx_t ctx;
    sys_md5init(&ctx);
    sys_md5update(&ctx, in, n + 2);
    sys_md5final(digest, &ctx);
    memcpy(key, digest, 16);
}
