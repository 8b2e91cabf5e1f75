#include "client/auth.h"

#include <cstring>
#include <openssl/evp.h>

#include "bytes.h"
#include "client/hostroute.h"
#include "client/packet.h"
#include "client/session.h"
#include "core/event.h"
#include "digest/sys_md5.h"
#include "net/ipaddr.h"
#include "sdwan_build.h"
#include "shell/log.h"

namespace {
constexpr uint32_t PASS_BLOCK = 16;
constexpr uint32_t USER_MAX = sizeof(sdwan_t::si_user) - 1;

// One cipher and one context for the life of the process: keying an existing context again
// allocates nothing, so an OPEN costs no heap traffic once the first one is built.
EVP_CIPHER *s_aes_ecb = nullptr;
EVP_CIPHER_CTX *s_aes_ctx = nullptr;
bool s_aes_keyed = false;

// The length an OPENACK option of a known type must have; 0 for a type that is skipped.
uint32_t openack_required_len(uint8_t type)
{
    switch (type) {
    case SDWAN_OPT_MTU:
        return 4;
    case SDWAN_OPT_IP:
    case SDWAN_OPT_GATEWAY:
        return 6;
    case SDWAN_OPT_DNS:
        return 10;
    case SDWAN_OPT_ENCRYPT:
    case SDWAN_OPT_DUPPKT:
        return 3;
    default:
        return 0;
    }
}

void openack_store(sdwan_t *clnt, const uint8_t *opt)
{
    switch (opt[0]) {
    case SDWAN_OPT_MTU:
        clnt->si_peermtu = ld_be16(opt + 2);
        break;
    case SDWAN_OPT_IP:
        clnt->si_ip = parse_ip(opt);
        break;
    case SDWAN_OPT_DNS:
        clnt->si_dns0 = parse_ip_part(opt + 2);
        clnt->si_dns1 = parse_ip_part(opt + 6);
        break;
    case SDWAN_OPT_GATEWAY:
        clnt->si_gateway = parse_ip(opt);
        break;
    case SDWAN_OPT_ENCRYPT:
        clnt->si_peerencypt = opt[2];
        break;
    case SDWAN_OPT_DUPPKT:
        clnt->si_peerduppkt = opt[2];
        break;
    default:
        break;
    }
}

// Walks the option list of an OPENACK, storing each option as it goes. false at the first
// malformed option: a wrong length for its type, a length below the two head bytes, or a head
// or value that would run past the end of the datagram.
bool openack_options(sdwan_t *clnt, const uint8_t *buf, uint32_t blen)
{
    uint32_t pos = SDWAN_CTRL_LEN;
    while (pos < blen) {
        const uint32_t left = blen - pos;
        if (left < 2)
            return false;
        const uint8_t *opt = buf + pos;
        const uint32_t len = opt[1];
        const uint32_t need = openack_required_len(opt[0]);
        if (need != 0 ? len != need : len < 2)
            return false;
        if (len > left)
            return false;
        openack_store(clnt, opt);
        pos += len;
    }
    return true;
}
}  // namespace

int sdwan_aes_init()
{
    if (s_aes_ctx != nullptr)
        return 0;
    EVP_CIPHER *c = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    if (c == nullptr || ctx == nullptr) {
        EVP_CIPHER_free(c);
        EVP_CIPHER_CTX_free(ctx);
        return -1;
    }
    s_aes_ecb = c;
    s_aes_ctx = ctx;
    s_aes_keyed = false;
    return 0;
}

int sdwan_aes128_block(const uint8_t key[16], const uint8_t in[16], uint8_t out[16])
{
    if (sdwan_aes_init() != 0)
        return -1;
    // The cipher is bound once; later calls only load a new key into the same context.
    const EVP_CIPHER *cipher = s_aes_keyed ? nullptr : s_aes_ecb;
    if (EVP_EncryptInit_ex(s_aes_ctx, cipher, nullptr, key, nullptr) != 1)
        return -1;
    s_aes_keyed = true;
    if (EVP_CIPHER_CTX_set_padding(s_aes_ctx, 0) != 1)
        return -1;
    int n = 0;
    if (EVP_EncryptUpdate(s_aes_ctx, out, &n, in, static_cast<int>(PASS_BLOCK)) != 1 ||
        n != static_cast<int>(PASS_BLOCK))
        return -1;
    int fin = 0;
    uint8_t rest[PASS_BLOCK];
    if (EVP_EncryptFinal_ex(s_aes_ctx, rest, &fin) != 1 || fin != 0)
        return -1;
    return 0;
}

void sdwan_passkey(const char *user, uint32_t n, uint8_t key[16])
{
    if (n > USER_MAX)
        n = USER_MAX;
    uint8_t in[2 + USER_MAX];
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

uint32_t parse_ip(const uint8_t *p) { return ld_raw32(p + 2); }

uint32_t parse_ip_part(const uint8_t *p) { return ld_raw32(p); }

uint32_t sdwan_pktopen(const sdwan_t *clnt, uint8_t *buf)
{
    const sdwan_pkthdr_t hdr{SDWAN_OPEN, clnt->si_encrypt, 0, 0};
    sdwan_hdr_store(buf, &hdr);
    // The signature covers the header only, so it is taken before any option exists.
    uint8_t *p = sdwan_pktsign(buf);

    *p++ = SDWAN_OPT_MTU;
    *p++ = 4;
    st_be16(p, clnt->si_cfgmtu);
    p += 2;

    const uint32_t n = static_cast<uint32_t>(strnlen(clnt->si_user, USER_MAX));
    *p++ = SDWAN_OPT_USER;
    *p++ = static_cast<uint8_t>(n + 2);
    memcpy(p, clnt->si_user, n);
    p += n;

    uint8_t key[16];
    sdwan_passkey(clnt->si_user, n, key);
    *p++ = SDWAN_OPT_PASS;
    *p++ = 2 + PASS_BLOCK;
    // Only the first 16 password bytes travel; the field is zero past the password's end.
    if (sdwan_aes128_block(key, reinterpret_cast<const uint8_t *>(clnt->si_pass), p) != 0)
        return 0;
    p += PASS_BLOCK;

    if (clnt->si_encrypt != 0) {
        *p++ = SDWAN_OPT_ENCRYPT;
        *p++ = 3;
        *p++ = clnt->si_encrypt;
    }
    if (clnt->si_pipeid != 0) {
        // Bit 0 of the pipe index lands on bit 15; its higher bits fall off the 16-bit field.
        const uint32_t pipe = (uint32_t{clnt->si_pipeidx} << 15) | clnt->si_pipeid;
        *p++ = SDWAN_OPT_PIPE;
        *p++ = 4;
        st_be16(p, static_cast<uint16_t>(pipe));
        p += 2;
    }
    return static_cast<uint32_t>(p - buf);
}

void sdwan_sendOPEN(sdwan_t *clnt)
{
    uint8_t buf[SDWAN_CTRLBUF];
    const uint32_t len = sdwan_pktopen(clnt, buf);
    if (len == 0) {
        // The cipher could not run: nothing whole can go out; the tick tries again.
        log_help("domain socket send failed\n");
        return;
    }
    sdwan_sock_send(clnt, buf, len);
}

void sdwan_onOPENACK(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt)
{
    // The state is tested first: outside AUTH the signature is not even computed.
    if (clnt->si_state != SDWANCLNT_AUTH || sdwan_pktverify(buf, blen) == 0) {
        clnt->si_stats.panic_pktverify++;
        log_help("Invalid state or packet verification failed\n");
        return;
    }
    if (!openack_options(clnt, buf, blen)) {
        sdwclnt_reset_state(clnt);
        clnt->si_stats.panic_open++;
        return;
    }

    const uint32_t now = static_cast<uint32_t>(os_cursec());
    clnt->si_state = SDWANCLNT_DATA;
    clnt->si_sid = pkt->sid;
    clnt->si_token = pkt->token;
    clnt->si_ltime = now;
    clnt->si_lastdial = now;
    clnt->si_stats.openackcnt++;
    log_help("sdwan DATA ESTABLISHED session %u\n", static_cast<unsigned>(clnt->si_sid));

    char ip[16];
    char gw[16];
    const char *ips = ip2strv4(clnt->si_ip, ip, sizeof ip);
    const char *gws = ip2strv4(clnt->si_gateway, gw, sizeof gw);
    log_help("Using IP: %s, Gateway: %s, MTU: %u, Encrypt: %c\n", ips != nullptr ? ips : "",
             gws != nullptr ? gws : "", static_cast<unsigned>(clnt->si_peermtu),
             clnt->si_peerencypt != 0 ? 'Y' : 'N');
    sdwclnt_set_iproute(clnt);
}

void sdwan_onOPENREJ(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt)
{
    (void)pkt;
    if (clnt->si_state != SDWANCLNT_AUTH) {
        log_help("Invalid state: expected SDWANCLNT_AUTH, but got %d\n", clnt->si_state);
        return;
    }
    if (sdwan_pktverify(buf, blen) == 0) {
        clnt->si_stats.panic_pktverify++;
        log_help("Packet verification failed for OPENREJ\n");
        return;
    }
    log_help("SDWAN peer authentication REJECTED\n");
    sdwclnt_reset_state(clnt);
    clnt->si_stats.openrejcnt++;
}

void sdwan_onCLOSE(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt)
{
    (void)pkt;
    if (clnt->si_state != SDWANCLNT_DATA) {
        log_help("Invalid state: expected SDWANCLNT_DATA, but got %d\n", clnt->si_state);
        return;
    }
    if (sdwan_pktverify(buf, blen) == 0) {
        clnt->si_stats.panic_pktverify++;
        log_help("Packet verification failed\n");
        return;
    }
    log_help("Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state\n");
    clnt->si_state = SDWANCLNT_CLOSED;
    clnt->si_stats.closedcnt++;
}
