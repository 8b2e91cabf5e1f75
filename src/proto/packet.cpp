#include "proto/packet.h"

#include <cstring>

#include "bytes.h"
#include "digest/sys_md5.h"
#include "proto/opts.h"
#include "sdwan_build.h"

namespace {
// MD5(header | salt): the salt is written next to the digest input at each use rather than kept
// as one stored constant, like the password key in auth.cpp.
void sign_digest(const uint8_t *hdr, uint8_t out[16])
{
    const uint8_t salt[2] = {SDWAN_SALT0, SDWAN_SALT1};
    sys_md5ctx_t ctx;
    sys_md5init(&ctx);
    sys_md5update(&ctx, hdr, SDWAN_HDR_LEN);
    sys_md5update(&ctx, salt, sizeof salt);
    sys_md5final(out, &ctx);
}
}  // namespace

void sdwan_hdr_store(uint8_t *buf, const sdwan_pkthdr_t *hdr)
{
    buf[0] = hdr->type;
    buf[1] = hdr->encrypt;
    st_raw16(buf + 2, hdr->sid);
    st_raw32(buf + 4, hdr->token);
}

sdwan_pkthdr_t sdwan_hdr_load(const uint8_t *buf)
{
    sdwan_pkthdr_t h;
    h.type = buf[0];
    h.encrypt = buf[1];
    h.sid = ld_raw16(buf + 2);
    h.token = ld_raw32(buf + 4);
    return h;
}

uint8_t *sdwan_pktsign(uint8_t *pkt)
{
    sign_digest(pkt, pkt + SDWAN_HDR_LEN);
    return pkt + SDWAN_CTRL_LEN;
}

int sdwan_pktverify(const uint8_t *pkt, uint32_t len)
{
    if (len < SDWAN_CTRL_LEN)
        return 0;
    uint8_t sig[16];
    sign_digest(pkt, sig);
    return memcmp(sig, pkt + SDWAN_HDR_LEN, SDWAN_SIG_LEN) == 0 ? 1 : 0;
}

void sdwan_key_derive(const char *user, const char *pass, sdwan_key_t *key)
{
    // The bounds also guard a text without its terminator.
    uint8_t joined[SDWAN_USER_MAX + SDWAN_PASS_MAX];
    const size_t nu = strnlen(user, SDWAN_USER_MAX);
    const size_t np = strnlen(pass, SDWAN_PASS_MAX);
    memcpy(joined, user, nu);
    memcpy(joined + nu, pass, np);
    uint8_t digest[32];
    sys_md5ctx_t ctx;
    sys_md5init(&ctx);
    sys_md5update(&ctx, joined, static_cast<unsigned int>(nu + np));
    sys_md5final(digest, &ctx);
    memcpy(key->data8, digest, sizeof key->data8);
}

void sdwan_encrypt(const sdwan_key_t *key, uint8_t *data, int len)
{
    if (len <= 0)
        return;
    // XOR of a whole 8-byte block with the key bytes in memory order is the per-byte rule
    // "byte i ^ key[i % 8]" on any host; memcpy keeps the unaligned access well defined.
    uint64_t k;
    memcpy(&k, key->data8, sizeof k);
    const int blocks = len / 8;
    uint8_t *p = data;
    for (int b = 0; b < blocks; b++, p += 8) {
        uint64_t w;
        memcpy(&w, p, sizeof w);
        w ^= k;
        memcpy(p, &w, sizeof w);
    }
    const int tail = len % 8;
    for (int i = 0; i < tail; i++)
        p[i] = static_cast<uint8_t>(p[i] ^ key->data8[i]);
}
