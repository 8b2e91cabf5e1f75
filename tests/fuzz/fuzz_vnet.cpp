// One read of a TUN device with the virtio-net header, as any bytes: the split takes it or names
// a reason, and never reads past it. What it makes of a TCP super-packet is checked against the
// read: every segment fits the mtu and carries right checksums and lengths, the sequence numbers
// follow on, the payloads put together are the read's, the room in front of each is untouched;
// a plain read comes out as it went in. Segments that all join again coalesce into a write that
// splits back into the very same segments. A read of one packet taken in place agrees with the
// split.
#include <cstring>
#include <vector>

#include "bytes.h"
#include "fuzz_support.h"
#include "net/vnet.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t ROOM = 8;
constexpr uint8_t FILL = 0xA5;

bool sums_to_ones(const uint8_t *p, uint32_t n, uint32_t sum) { return vnet_csum(p, n, sum) == 0xFFFF; }

std::vector<Bytes> split(const uint8_t *read, uint32_t len, uint32_t mtu, uint32_t cap, int *rc,
                         vnet_split_t *s)
{
    std::vector<Bytes> pkts;
    *rc = vnet_split_begin(s, read, len, mtu);
    if (*rc != VNET_OK)
        return pkts;
    FUZZ_CHECK(s->len == len - VNET_HDR_LEN);
    Bytes out(cap);
    for (;;) {
        std::fill(out.begin(), out.end(), FILL);
        vnet_train_t t;
        const int n = vnet_split_next(s, out.data(), cap, ROOM, VNET_TRAIN_SEGS, &t);
        if (n <= 0) {
            *rc = n;
            return pkts;
        }
        FUZZ_CHECK(static_cast<uint32_t>(n) == t.count && t.count <= VNET_TRAIN_SEGS);
        FUZZ_CHECK(t.lastlen <= t.seglen && t.stride == ROOM + t.seglen);
        FUZZ_CHECK(vnet_train_bytes(&t, ROOM) <= cap);
        for (uint32_t i = 0; i < t.count; i++) {
            const uint8_t *p = out.data() + i * t.stride;
            for (uint32_t k = 0; k < ROOM; k++)
                FUZZ_CHECK(p[k] == FILL);
            const uint32_t plen = i + 1 == t.count ? t.lastlen : t.seglen;
            pkts.emplace_back(p + ROOM, p + ROOM + plen);
        }
        FUZZ_CHECK(pkts.size() <= 70000);
    }
}

void check_tso(const vnet_split_t &s, const std::vector<Bytes> &pkts, uint32_t mtu)
{
    const uint8_t *ip = s.pkt;
    const uint32_t ihl = (ip[0] & 0x0Fu) * 4;
    uint32_t off = 0;
    for (size_t k = 0; k < pkts.size(); k++) {
        const Bytes &p = pkts[k];
        FUZZ_CHECK(p.size() >= s.hlen && p.size() <= mtu);
        FUZZ_CHECK(ld_be16(p.data() + 2) == p.size());
        FUZZ_CHECK(sums_to_ones(p.data(), ihl, 0));
        const uint32_t tl = static_cast<uint32_t>(p.size()) - ihl;
        const uint32_t pseudo = uint32_t{ld_be16(p.data() + 12)} + ld_be16(p.data() + 14) + ld_be16(p.data() + 16) +
                                ld_be16(p.data() + 18) + 6 + tl;
        FUZZ_CHECK(sums_to_ones(p.data() + ihl, tl, pseudo));
        FUZZ_CHECK(ld_be32(p.data() + ihl + 4) == ld_be32(ip + ihl + 4) + off);
        const uint32_t pay = static_cast<uint32_t>(p.size()) - s.hlen;
        FUZZ_CHECK(memcmp(p.data() + s.hlen, ip + s.hlen + off, pay) == 0);
        FUZZ_CHECK(k + 1 == pkts.size() || pay == s.mss);
        off += pay;
    }
    FUZZ_CHECK(off == s.len - s.hlen);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > VNET_READ_MAX)
        return 0;
    // The read alone in a buffer of its exact size: a read past it is the sanitizer's finding.
    fuzz_bytes read(data, size);
    const uint32_t len = read.size();
    // Taken in place, a read of one packet comes out as the split makes it, and is refused for
    // the split's reason; a super-packet is left to the split untouched.
    {
        fuzz_bytes in_place(data, size);
        const int one = vnet_single(in_place.data(), len);
        vnet_split_t s;
        int rc = 0;
        const std::vector<Bytes> pkts = split(read.data(), len, 1500, VNET_READ_MAX + ROOM, &rc, &s);
        if (one < 0)
            FUZZ_CHECK(rc == -one);
        else if (one == 0)
            FUZZ_CHECK(rc != 0 || s.kind == VNET_KIND_TSO4);
        else
            FUZZ_CHECK(rc == 0 && pkts.size() == 1 && static_cast<uint32_t>(one) == len - VNET_HDR_LEN &&
                       pkts[0] == Bytes(in_place.data() + VNET_HDR_LEN, in_place.data() + len));
        FUZZ_CHECK(one > 0 || size == 0 || memcmp(in_place.data(), data, size) == 0);
    }
    for (uint32_t mtu : {1500u, 576u}) {
        vnet_split_t s;
        int rc = 0;
        const std::vector<Bytes> pkts = split(read.data(), len, mtu, VNET_TRAIN_BYTES, &rc, &s);
        if (rc > 0) {
            FUZZ_CHECK(pkts.empty() && rc < VNET_ERR_COUNT);
            continue;
        }
        // Refused for room only when one packet alone cannot fit the train: a plain read longer
        // than a train, never a segment, which the mtu bounds.
        if (rc < 0) {
            FUZZ_CHECK(rc == -VNET_ERR_ROOM && pkts.empty() && s.kind != VNET_KIND_TSO4);
            FUZZ_CHECK(s.len > VNET_TRAIN_BYTES - ROOM);
            continue;
        }
        FUZZ_CHECK(!pkts.empty());
        if (s.kind == VNET_KIND_PLAIN) {
            FUZZ_CHECK(pkts.size() == 1 && pkts[0] == Bytes(data + VNET_HDR_LEN, data + size));
            continue;
        }
        if (s.kind == VNET_KIND_CSUM) {
            // The field held the pseudo-header's part P: the span now sums to its complement
            // (0 and 0xFFFF are the same number), and nothing but the field changed.
            const Bytes &p = pkts[0];
            const uint32_t at = uint32_t{s.csum_start} + s.csum_offset;
            FUZZ_CHECK(pkts.size() == 1 && p.size() == s.len);
            FUZZ_CHECK(memcmp(p.data(), s.pkt, at) == 0 && memcmp(p.data() + at + 2, s.pkt + at + 2, s.len - at - 2) == 0);
            if (s.csum_offset % 2 == 0) {
                const uint16_t got = vnet_csum(p.data() + s.csum_start, s.len - s.csum_start, 0);
                const uint16_t want = static_cast<uint16_t>(~ld_be16(s.pkt + at));
                FUZZ_CHECK(got == want || ((got == 0 || got == 0xFFFF) && (want == 0 || want == 0xFFFF)));
            }
            continue;
        }
        check_tso(s, pkts, mtu);

        Bytes buf(VNET_READ_MAX);
        vnet_coal_t c;
        vnet_coal_init(&c, buf.data());
        size_t joined = 0;
        while (joined < pkts.size() &&
               vnet_coal_add(&c, pkts[joined].data(), static_cast<uint32_t>(pkts[joined].size())))
            joined++;
        const uint32_t n = vnet_coal_finish(&c);
        FUZZ_CHECK((n == 0) == (joined == 0));
        if (joined != pkts.size() || joined == 0)
            continue;
        vnet_split_t again;
        int rc2 = 0;
        const std::vector<Bytes> back = split(buf.data(), n, mtu, VNET_TRAIN_BYTES, &rc2, &again);
        FUZZ_CHECK(rc2 == 0 && back == pkts);
    }
    return 0;
}
