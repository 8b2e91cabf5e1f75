#include "client/dns.h"

#include <cstring>

#include "bytes.h"
#include "core/event.h"
#include "net/ipaddr.h"
#include "net/sock.h"
#include "base/log.h"

namespace {
constexpr uint32_t DNS_HDR_LEN = 12;
constexpr uint16_t DNS_FLAGS_RD = 0x0100;  // standard query, recursion desired
constexpr uint16_t DNS_TYPE_A = 1;
constexpr uint16_t DNS_CLASS_IN = 1;
// A record as read: 2-byte owner name (a compression pointer), TYPE, CLASS, TTL, RDLENGTH,
// then a 4-byte address.
constexpr int64_t RR_TYPE = 2;
constexpr int64_t RR_RDLEN = 10;
constexpr int64_t RR_RDATA = 12;
constexpr int64_t RR_A_LEN = RR_RDATA + 4;

// The domain field holds at most 63 characters; header, labels and QTYPE/QCLASS fit the
// builder's 96-byte contract.
constexpr uint32_t DNS_NAME_MAX = sizeof(sdwan_conf_t::peerdomain) - 1;
static_assert(DNS_HDR_LEN + DNS_NAME_MAX + 2 + 4 <= 96);

bool is_a_in(const uint8_t *p) { return ld_be16(p) == DNS_TYPE_A && ld_be16(p + 2) == DNS_CLASS_IN; }
}  // namespace

uint32_t sdwan_pktDNS(const sdwan_t *clnt, uint8_t *buf)
{
    st_be16(buf + 0, static_cast<uint16_t>(os_cursec()));
    st_be16(buf + 2, DNS_FLAGS_RD);
    st_be16(buf + 4, 1);
    st_be16(buf + 6, 0);
    st_be16(buf + 8, 0);
    st_be16(buf + 10, 0);

    const char *name = clnt->conf.peerdomain;
    uint32_t n = static_cast<uint32_t>(strnlen(name, DNS_NAME_MAX));
    // Walking backwards, each dot becomes the length of the label behind it; the count left
    // over at the front is the first label's length. Empty labels are not refused: they encode
    // as a zero byte, and the name then ends early for any reader.
    uint8_t run = 0;
    for (uint32_t k = n; k-- > 0;) {
        if (name[k] == '.') {
            buf[DNS_HDR_LEN + 1 + k] = run;
            run = 0;
        } else {
            buf[DNS_HDR_LEN + 1 + k] = static_cast<uint8_t>(name[k]);
            run++;
        }
    }
    buf[DNS_HDR_LEN] = run;
    buf[DNS_HDR_LEN + 1 + n] = 0;
    st_be16(buf + DNS_HDR_LEN + 2 + n, DNS_TYPE_A);
    st_be16(buf + DNS_HDR_LEN + 4 + n, DNS_CLASS_IN);
    return n + DNS_HDR_LEN + 6;
}

dns_outcome sdwclnt_sendDNS(sdwan_t *clnt)
{
    uint8_t dnspkt[SDWAN_CTRLBUF];
    uint32_t len = sdwan_pktDNS(clnt, dnspkt);
    const uint32_t resolver = sdwan_resolver(clnt);
    char text[16];
    ip2strv4(resolver, text, sizeof text);

    if (sock_sendto(clnt->io.udpsock, resolver, SDWAN_DNS_PORT, dnspkt, len) >= 0) {
        log_help("Send DNS Query to %s:%u\n", text, unsigned{SDWAN_DNS_PORT});
        return dns_outcome::none;
    }
    log_help("Failed to send DNS Query to %s:%u\n", text, unsigned{SDWAN_DNS_PORT});
    // A socket that cannot send is replaced; the name stays unresolved, so the next tick asks
    // again.
    return dns_outcome::reset;
}

dns_outcome sdwan_parseDNS(sdwan_t *clnt, uint32_t ipbe, uint16_t port, const uint8_t *buf, uint32_t len)
{
    // Only the resolver that was asked may answer: taking any source port 53 would let any
    // host on the path choose where the tunnel goes.
    if (port != SDWAN_DNS_PORT || ipbe != sdwan_resolver(clnt))
        return dns_outcome::none;
    clnt->count.stats.rxdnscnt++;

    uint32_t peer_ip = sdwan_parse_answer(buf, len);
    if (peer_ip == 0) {
        clnt->count.stats.panic_dns++;
        log_help("DNS resolution failed for domain %s\n", clnt->conf.peerdomain);
        return dns_outcome::none;
    }
    char text[16];
    log_help("DNS resolved domain %s to IP %s\n", clnt->conf.peerdomain, ip2strv4(peer_ip, text, sizeof text));
    clnt->sess.peerip = peer_ip;
    clnt->sess.state = SDWANCLNT_INIT;
    return dns_outcome::resolved;
}

uint32_t sdwan_parse_answer(const uint8_t *buf, uint32_t len)
{
    // Every read below is at most 15 bytes past an offset that is <= L, so nothing past the
    // datagram is read. The arithmetic is 64-bit: RDLENGTH may point anywhere.
    const int64_t L = static_cast<int64_t>(len) - RR_A_LEN;

    // The question name is skipped to its first zero byte; label lengths are not followed.
    int64_t p = DNS_HDR_LEN;
    while (p < L && buf[p] != 0)
        p++;
    if (p >= L)
        return 0;
    p++;
    if (!is_a_in(buf + p))
        return 0;

    int64_t r = p + 4;
    uint32_t cnt = ld_be16(buf + 6);
    while (cnt > 0 && r <= L) {
        const uint8_t *rr = buf + r;
        if (is_a_in(rr + RR_TYPE) && ld_be16(rr + RR_RDLEN) == 4)
            return ld_raw32(rr + RR_RDATA);
        r += RR_RDATA + ld_be16(rr + RR_RDLEN);
        cnt--;
    }
    return 0;
}
