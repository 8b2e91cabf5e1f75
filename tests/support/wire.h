// The tests' one packet builder, for both ends' tests: written from the protocol's definition,
// with OpenSSL's MD5 and AES rather than through the library's own builders, so that a fault
// shared by the library's signer and either end cannot hide behind it. (tests/e2e/sdwan_wire.py
// is its twin for the end-to-end tests.)
#pragma once
#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <openssl/evp.h>
#include <string>
#include <vector>

#include "sdwan.h"
#include "sdwan_build.h"

namespace wire {

using Bytes = std::vector<uint8_t>;

inline Bytes md5(const Bytes &in)
{
    Bytes d(16);
    unsigned int n = 0;
    EVP_Digest(in.data(), in.size(), d.data(), &n, EVP_md5(), nullptr);
    return d;
}

// MD5(header | salt), the signature of every control packet.
inline Bytes signature(const uint8_t *hdr)
{
    Bytes in(hdr, hdr + 8);
    in.push_back(SDWAN_SALT0);
    in.push_back(SDWAN_SALT1);
    return md5(in);
}

inline bool signed_ok(const Bytes &pkt)
{
    if (pkt.size() < 24)
        return false;
    Bytes sig = signature(pkt.data());
    return std::memcmp(sig.data(), pkt.data() + 8, 16) == 0;
}

inline Bytes header(uint8_t type, uint8_t encrypt, uint16_t sid, uint32_t token)
{
    Bytes h(8);
    h[0] = type;
    h[1] = encrypt;
    std::memcpy(&h[2], &sid, 2);
    std::memcpy(&h[4], &token, 4);
    return h;
}

inline Bytes control(uint8_t type, uint8_t encrypt, uint16_t sid, uint32_t token, const Bytes &body = {})
{
    Bytes p = header(type, encrypt, sid, token);
    Bytes sig = signature(p.data());
    p.insert(p.end(), sig.begin(), sig.end());
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

// AES-128 of the first 16 password characters, zero padded, under MD5(salt | user).
inline Bytes passblock(const std::string &user, const std::string &pass)
{
    Bytes k{SDWAN_SALT0, SDWAN_SALT1};
    k.insert(k.end(), user.begin(), user.end());
    Bytes key = md5(k);
    uint8_t plain[16] = {};
    std::memcpy(plain, pass.data(), pass.size() < 16 ? pass.size() : 16);
    Bytes out(32);
    int l1 = 0, l2 = 0;
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(c, EVP_aes_128_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(c, 0);
    EVP_EncryptUpdate(c, out.data(), &l1, plain, 16);
    EVP_EncryptFinal_ex(c, out.data() + l1, &l2);
    EVP_CIPHER_CTX_free(c);
    out.resize(16);
    return out;
}

inline void opt(Bytes &p, uint8_t type, const Bytes &value)
{
    p.push_back(type);
    p.push_back(static_cast<uint8_t>(value.size() + 2));
    p.insert(p.end(), value.begin(), value.end());
}

inline Bytes be16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

// OPEN as the client sends it: MTU, user, password block, then the encrypt wish and the pipe
// value if any (-1: the option is absent).
inline Bytes open(const std::string &user, const std::string &pass, int want_encrypt = -1, uint16_t mtu = 1400,
                  int32_t pipe = -1)
{
    Bytes p = control(SDWAN_OPEN, want_encrypt > 0 ? static_cast<uint8_t>(want_encrypt) : 0, 0, 0);
    opt(p, SDWAN_OPT_MTU, be16(mtu));
    opt(p, SDWAN_OPT_USER, Bytes(user.begin(), user.end()));
    opt(p, SDWAN_OPT_PASS, passblock(user, pass));
    if (want_encrypt >= 0)
        opt(p, SDWAN_OPT_ENCRYPT, {static_cast<uint8_t>(want_encrypt)});
    if (pipe >= 0)
        opt(p, SDWAN_OPT_PIPE, be16(static_cast<uint16_t>(pipe)));
    return p;
}

inline Bytes le(uint64_t v, size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(v >> (8 * i));
    return b;
}

// The payload key: the first 8 bytes of MD5(user | password), XORed bytewise.
inline Bytes datakey(const std::string &user, const std::string &pass)
{
    std::string s = user + pass;
    Bytes d = md5(Bytes(s.begin(), s.end()));
    d.resize(8);
    return d;
}

inline void xor_payload(uint8_t *p, size_t n, const Bytes &key)
{
    for (size_t i = 0; i < n; i++)
        p[i] ^= key[i % 8];
}

inline uint32_t addr(const char *dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

inline uint16_t csum(const uint8_t *p, size_t n)
{
    uint32_t s = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        s += static_cast<uint32_t>((p[i] << 8) | p[i + 1]);
    if (n % 2 != 0)
        s += static_cast<uint32_t>(p[n - 1] << 8);
    while (s >> 16)
        s = (s & 0xffff) + (s >> 16);
    return static_cast<uint16_t>(~s);
}

// An IPv4 packet with a valid header checksum; protocol and payload as given.
inline Bytes ipv4(const char *src, const char *dst, uint8_t proto, const Bytes &payload)
{
    Bytes p(20);
    p[0] = 0x45;
    uint16_t total = static_cast<uint16_t>(20 + payload.size());
    p[2] = static_cast<uint8_t>(total >> 8);
    p[3] = static_cast<uint8_t>(total);
    p[8] = 64;
    p[9] = proto;
    uint32_t s = addr(src), d = addr(dst);
    std::memcpy(&p[12], &s, 4);
    std::memcpy(&p[16], &d, 4);
    uint16_t c = csum(p.data(), 20);
    p[10] = static_cast<uint8_t>(c >> 8);
    p[11] = static_cast<uint8_t>(c);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

// ICMP echo request carrying `n` bytes of data.
inline Bytes icmp_echo(const char *src, const char *dst, uint16_t id, uint16_t seq, size_t n)
{
    Bytes icmp(8 + n);
    icmp[0] = 8;
    icmp[4] = static_cast<uint8_t>(id >> 8);
    icmp[5] = static_cast<uint8_t>(id);
    icmp[6] = static_cast<uint8_t>(seq >> 8);
    icmp[7] = static_cast<uint8_t>(seq);
    for (size_t i = 0; i < n; i++)
        icmp[8 + i] = static_cast<uint8_t>(i * 7 + 1);
    uint16_t c = csum(icmp.data(), icmp.size());
    icmp[2] = static_cast<uint8_t>(c >> 8);
    icmp[3] = static_cast<uint8_t>(c);
    return ipv4(src, dst, 1, icmp);
}

}  // namespace wire
