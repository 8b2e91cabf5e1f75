// The DNS answer parser, twice per input:
//  - sdwan_parse_answer over the input as a datagram from the resolver;
//  - a round trip: the query sdwan_pktDNS builds for a name taken from the input, turned into
//    the answer a resolver gives (the question echoed, some records of other types first, then
//    one A record), parses back to the address in that record.
// Round-trip input: address (4 bytes), then one byte: low 2 bits the number of records before
// the A record, the rest their data length; then the name, up to a zero byte, at most 63
// characters.
#include <cstring>
#include <vector>

#include "bytes.h"
#include "client/dns.h"
#include "core/event.h"
#include "fuzz_support.h"

namespace {
constexpr uint32_t DNS_HDR = 12;

// A name the round trip must survive: labels that are none of them empty. An empty label is
// sent as a zero byte, which ends the name early for any reader; the empty name is one empty
// label, and is never resolved (a peer given by address needs no query).
bool plain_name(const char *n)
{
    size_t len = strlen(n);
    if (len == 0)
        return false;
    if (n[0] == '.' || n[len - 1] == '.')
        return false;
    return strstr(n, "..") == nullptr;
}

void put_rr(std::vector<uint8_t> &a, uint16_t type, const uint8_t *rdata, uint16_t rdlen)
{
    const uint8_t head[10] = {0xC0, 0x0C, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 1,
                              0,    0,    0x0E, 0x10};
    a.insert(a.end(), head, head + sizeof head);
    a.push_back(static_cast<uint8_t>(rdlen >> 8));
    a.push_back(static_cast<uint8_t>(rdlen));
    a.insert(a.end(), rdata, rdata + rdlen);
}

void round_trip(const uint8_t *data, size_t size)
{
    if (size < 5)
        return;
    const uint32_t addr = ld_raw32(data);
    const uint8_t others = data[4] & 3;
    const uint16_t other_len = static_cast<uint16_t>(data[4] >> 2);
    sdwan_t rec;
    memset(&rec, 0, sizeof rec);
    const size_t n = strnlen(reinterpret_cast<const char *>(data + 5), size - 5);
    memcpy(rec.conf.peerdomain, data + 5, n < sizeof rec.conf.peerdomain - 1 ? n : sizeof rec.conf.peerdomain - 1);

    uint8_t query[96];
    memset(query, 0xEE, sizeof query);
    const uint32_t qlen = sdwan_pktDNS(&rec, query);
    const size_t name_len = strlen(rec.conf.peerdomain);
    FUZZ_CHECK(qlen == DNS_HDR + name_len + 6 && qlen <= sizeof query);
    FUZZ_CHECK(ld_be16(query + 2) == 0x0100 && ld_be16(query + 4) == 1);
    FUZZ_CHECK(ld_be16(query + qlen - 4) == 1 && ld_be16(query + qlen - 2) == 1);

    // The resolver's answer: the query with QR set and the answer count, then the records.
    std::vector<uint8_t> ans(query, query + qlen);
    ans[2] |= 0x80;
    st_be16(&ans[6], static_cast<uint16_t>(others + 1));
    const uint8_t filler[64] = {};
    for (int i = 0; i < others; i++)
        put_rr(ans, 5 /* CNAME */, filler, other_len);
    uint8_t a[4];
    st_raw32(a, addr);
    put_rr(ans, 1 /* A */, a, 4);
    fuzz_bytes whole(ans.data(), ans.size());
    const uint32_t got = sdwan_parse_answer(whole.data(), whole.size());
    if (plain_name(rec.conf.peerdomain))
        FUZZ_CHECK(got == addr);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_fixed_clock();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_bytes buf(data, size, SDWAN_PKTBUF);
    (void)sdwan_parse_answer(buf.data(), buf.size());
    round_trip(data, size);
    return 0;
}
