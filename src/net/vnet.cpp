#include "net/vnet.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "net/ip4.h"

namespace {

constexpr uint32_t IP_LEN_MAX = 65535;

uint16_t fold(uint64_t acc)
{
    acc = (acc & 0xFFFFFFFF) + (acc >> 32);
    while ((acc >> 16) != 0)
        acc = (acc & 0xFFFF) + (acc >> 16);
    return static_cast<uint16_t>(acc);
}

// The TCP pseudo-header's sum: both addresses, the protocol and the TCP length.
uint32_t pseudo_sum(const uint8_t *ip, uint32_t tcplen)
{
    return uint32_t{vnet_csum(ip + IP4_ADDRS_AT, 8, 0)} + IP4_PROTO_TCP + tcplen;
}

// A TCP/IPv4 packet as read or received: its header lengths once they are proved to lie inside
// len bytes and agree with the IP total length; false otherwise.
bool tcp4_parse(const uint8_t *ip, uint32_t len, uint32_t *ihl, uint32_t *hlen)
{
    const ip4_view h({ip, len});
    if (!h.ok())
        return false;
    const uint32_t il = h.ihl();
    if (il < IP4_HDR_MIN || h.total() != len || h.proto() != IP4_PROTO_TCP || h.fragment())
        return false;
    if (len < il + TCP_HDR_MIN)
        return false;
    const uint32_t doff = h.tcp().doff();
    if (doff < TCP_HDR_MIN || len < il + doff)
        return false;
    *ihl = il;
    *hlen = il + doff;
    return true;
}

void ip_fix(uint8_t *ip, uint32_t ihl, uint32_t total, uint16_t id)
{
    const ip4_edit h({ip, ihl});
    h.set_total(static_cast<uint16_t>(total));
    h.set_id(id);
    h.set_csum(0);
    h.set_csum(static_cast<uint16_t>(~vnet_csum(ip, ihl, 0)));
}

// A partial checksum completed as the kernel's own fallback does: the sum from csum_start to the
// end over the field (which holds the pseudo-header's part), complemented; a 0 goes out as 0xFFFF,
// which UDP needs and TCP reads the same.
void csum_complete(uint8_t *pkt, uint32_t len, uint32_t start, uint32_t at)
{
    const uint16_t c = static_cast<uint16_t>(~vnet_csum(pkt + start, len - start, 0));
    st_be16(pkt + at, c == 0 ? 0xFFFF : c);
}

// The span and the 16-bit field of a partial checksum both inside a packet of len bytes.
bool csum_span_ok(uint32_t start, uint32_t offset, uint32_t len) { return start < len && start + offset + 2 <= len; }

}  // namespace

vnet_hdr_t vnet_hdr_load(const uint8_t *p)
{
    return vnet_hdr_t{p[0], p[1], ld_le16(p + 2), ld_le16(p + 4), ld_le16(p + 6), ld_le16(p + 8)};
}

void vnet_hdr_store(uint8_t *p, const vnet_hdr_t *h)
{
    p[0] = h->flags;
    p[1] = h->gso_type;
    st_le16(p + 2, h->hdr_len);
    st_le16(p + 4, h->gso_size);
    st_le16(p + 6, h->csum_start);
    st_le16(p + 8, h->csum_offset);
}

uint16_t vnet_csum(const uint8_t *p, uint32_t len, uint32_t sum)
{
    // The one's complement sum does not depend on the byte order of its words (RFC 1071): the
    // words are added as the host loads them, 32 bits at a time into 64, and the folded sum is
    // put in network order once at the end. A whole segment's payload goes through here.
    uint64_t acc = 0;
    while (len >= 16) {
        uint32_t w[4];
        std::memcpy(w, p, sizeof w);
        acc += uint64_t{w[0]} + w[1] + w[2] + w[3];
        p += 16;
        len -= 16;
    }
    while (len >= 4) {
        uint32_t w;
        std::memcpy(&w, p, sizeof w);
        acc += w;
        p += 4;
        len -= 4;
    }
    if (len >= 2) {
        uint16_t h;
        std::memcpy(&h, p, sizeof h);
        acc += h;
        p += 2;
        len -= 2;
    }
    if (len != 0) {
        // The odd last byte is the first of a 16-bit word whose second byte is zero.
        const uint8_t last[2] = {p[0], 0};
        uint16_t h;
        std::memcpy(&h, last, sizeof h);
        acc += h;
    }
    uint16_t folded = fold(acc);
    if constexpr (std::endian::native == std::endian::little)
        folded = static_cast<uint16_t>((folded >> 8) | (folded << 8));
    return fold(uint64_t{folded} + sum);
}

int vnet_split_begin(vnet_split_t *s, const uint8_t *buf, uint32_t len, uint32_t mtu)
{
    std::memset(s, 0, sizeof *s);
    if (len <= VNET_HDR_LEN)
        return VNET_ERR_SHORT;
    const vnet_hdr_t h = vnet_hdr_load(buf);
    s->pkt = buf + VNET_HDR_LEN;
    s->len = len - VNET_HDR_LEN;

    if (h.gso_type == VNET_GSO_NONE) {
        if ((h.flags & VNET_F_NEEDS_CSUM) == 0) {
            // Whatever the interface routed, as a plain read would give it: nothing is parsed.
            s->kind = VNET_KIND_PLAIN;
            return VNET_OK;
        }
        if (!csum_span_ok(h.csum_start, h.csum_offset, s->len))
            return VNET_ERR_CSUM;
        s->kind = VNET_KIND_CSUM;
        s->csum_start = h.csum_start;
        s->csum_offset = h.csum_offset;
        return VNET_OK;
    }

    if ((h.gso_type & ~VNET_GSO_ECN) != VNET_GSO_TCPV4 || h.gso_size == 0)
        return VNET_ERR_GSO;
    if (s->len < IP4_HDR_MIN)
        return VNET_ERR_SHORT;
    const uint8_t *ip = s->pkt;
    const ip4_view h4({ip, s->len});
    if (!h4.ok() || h4.ihl() < IP4_HDR_MIN || h4.total() != s->len || h4.fragment())
        return VNET_ERR_IP;
    uint32_t il = 0;
    uint32_t hlen = 0;
    if (!tcp4_parse(ip, s->len, &il, &hlen))
        return VNET_ERR_GSO;
    // A segment the size the kernel chose would not fit the session: cut smaller, which TCP
    // takes as it takes any segmentation.
    if (mtu <= hlen)
        return VNET_ERR_GSO;
    s->kind = VNET_KIND_TSO4;
    s->hlen = hlen;
    s->mss = h.gso_size;
    if (hlen + s->mss > mtu)
        s->mss = mtu - hlen;
    return VNET_OK;
}

int vnet_single(uint8_t *buf, uint32_t len)
{
    if (len <= VNET_HDR_LEN)
        return -VNET_ERR_SHORT;
    // Only the two bytes that decide are looked at: most reads of a busy interface are these.
    if (buf[1] != VNET_GSO_NONE)
        return 0;
    const uint32_t plen = len - VNET_HDR_LEN;
    if ((buf[0] & VNET_F_NEEDS_CSUM) != 0) {
        const uint32_t start = ld_le16(buf + 6);
        const uint32_t offset = ld_le16(buf + 8);
        if (!csum_span_ok(start, offset, plen))
            return -VNET_ERR_CSUM;
        csum_complete(buf + VNET_HDR_LEN, plen, start, start + offset);
    }
    return static_cast<int>(plen);
}

uint32_t vnet_train_bytes(const vnet_train_t *t, uint32_t room)
{
    return t->count == 0 ? 0 : (t->count - 1) * t->stride + room + t->lastlen;
}

int vnet_split_next(vnet_split_t *s, uint8_t *out, uint32_t cap, uint32_t room, uint32_t maxsegs,
                    vnet_train_t *t)
{
    std::memset(t, 0, sizeof *t);
    if (s->kind != VNET_KIND_TSO4) {
        if (s->seg != 0 || s->pkt == nullptr)
            return 0;
        if (cap < room || s->len > cap - room)
            return -VNET_ERR_ROOM;
        uint8_t *pkt = out + room;
        std::memcpy(pkt, s->pkt, s->len);
        if (s->kind == VNET_KIND_CSUM)
            csum_complete(pkt, s->len, s->csum_start, uint32_t{s->csum_start} + s->csum_offset);
        s->seg = 1;
        s->off = s->len;
        *t = vnet_train_t{1, room + s->len, s->len, s->len};
        return 1;
    }

    const uint32_t payload = s->len - s->hlen;
    // A super-packet without payload is still one packet.
    if (s->seg != 0 && s->off >= payload)
        return 0;
    const uint8_t *ip = s->pkt;
    const ip4_view h4({ip, s->len});
    const uint32_t ihl = h4.ihl();
    const uint16_t id0 = h4.id();
    const uint32_t seq0 = h4.tcp().seq();
    const uint8_t flags0 = h4.tcp().flags();
    const uint32_t seglen = s->hlen + s->mss;
    const uint32_t stride = room + seglen;

    uint32_t count = 0;
    uint32_t last = 0;
    while (count < maxsegs && (s->off < payload || s->seg == 0)) {
        const uint32_t rest = payload - s->off;
        const uint32_t pay = rest < s->mss ? rest : s->mss;
        const uint32_t plen = s->hlen + pay;
        if (count * stride + room + plen > cap)
            break;
        uint8_t *seg = out + count * stride + room;
        std::memcpy(seg, ip, s->hlen);
        std::memcpy(seg + s->hlen, ip + s->hlen + s->off, pay);
        ip_fix(seg, ihl, plen, static_cast<uint16_t>(id0 + s->seg));

        const tcp_edit th(seg + ihl);
        const bool is_last = s->off + pay >= payload;
        uint8_t fl = flags0;
        if (!is_last)
            fl = static_cast<uint8_t>(fl & ~(TCP_FIN | TCP_PSH));
        if (s->seg != 0)
            fl = static_cast<uint8_t>(fl & ~TCP_CWR);
        th.set_flags(fl);
        th.set_seq(seq0 + s->off);
        th.set_csum(0);
        const uint32_t tcplen = plen - ihl;
        th.set_csum(static_cast<uint16_t>(~vnet_csum(th.data(), tcplen, pseudo_sum(seg, tcplen))));

        s->off += pay;
        s->seg++;
        count++;
        last = plen;
    }
    if (count == 0)
        return -VNET_ERR_ROOM;
    *t = vnet_train_t{count, stride, seglen, last};
    return static_cast<int>(count);
}

void vnet_offload_text(char *out, size_t n, uint32_t tun, bool gso, bool gro)
{
    if (n == 0)
        return;
    out[0] = '\0';
    size_t at = 0;
    auto add = [&](const char *item) {
        const int w = std::snprintf(out + at, n - at, "%s%s", at == 0 ? "" : ", ", item);
        if (w > 0)
            at = at + static_cast<size_t>(w) < n ? at + static_cast<size_t>(w) : n - 1;
    };
    if ((tun & TUN_OFFLOAD_TSO4) != 0 && (tun & TUN_OFFLOAD_TSO6) != 0)
        add("tun tso4 tso6");
    else if ((tun & TUN_OFFLOAD_TSO4) != 0)
        add("tun tso4");
    else if ((tun & TUN_OFFLOAD_CSUM) != 0)
        add("tun csum");
    if (gso)
        add("udp gso");
    if (gro)
        add("udp gro");
    if (at == 0)
        add("none");
}

void vnet_coal_init(vnet_coal_t *c, uint8_t *buf)
{
    std::memset(c, 0, sizeof *c);
    c->buf = buf;
}

namespace {

// A segment fit to join: ACK with or without PSH, nothing else, some payload, and both checksums
// right (the kernel will not look at them again).
bool coal_eligible(const uint8_t *ip, uint32_t len, uint32_t *ihl, uint32_t *hlen)
{
    if (!tcp4_parse(ip, len, ihl, hlen) || *hlen >= len)
        return false;
    const uint8_t fl = tcp_view(ip + *ihl).flags();
    if ((fl & ~(TCP_ACK | TCP_PSH)) != 0 || (fl & TCP_ACK) == 0)
        return false;
    if (vnet_csum(ip, *ihl, 0) != 0xFFFF)
        return false;
    const uint32_t tcplen = len - *ihl;
    return vnet_csum(ip + *ihl, tcplen, pseudo_sum(ip, tcplen)) == 0xFFFF;
}

}  // namespace

bool vnet_coal_add(vnet_coal_t *c, const uint8_t *pkt, uint32_t len)
{
    uint32_t ihl = 0;
    uint32_t hlen = 0;
    if (!coal_eligible(pkt, len, &ihl, &hlen))
        return false;
    const uint32_t pay = len - hlen;
    const tcp_view tcp(pkt + ihl);
    const uint32_t seq = tcp.seq();
    const bool psh = (tcp.flags() & TCP_PSH) != 0;
    uint8_t *head = c->buf + VNET_HDR_LEN;

    if (c->len == 0) {
        std::memcpy(head, pkt, len);
        c->len = len;
        c->count = 1;
        c->hlen = hlen;
        c->mss = pay;
        c->nextseq = seq + pay;
        c->closed = psh;
        return true;
    }
    if (c->closed || hlen != c->hlen || seq != c->nextseq || pay > c->mss || c->len + pay > IP_LEN_MAX)
        return false;
    // The same flow and the same headers but for what differs from segment to segment: the IP
    // total length, id and checksum; the TCP sequence number, PSH and checksum.
    const uint8_t *th = pkt + ihl;
    const uint8_t *hth = head + ihl;
    auto same = [](const uint8_t *a, const uint8_t *b, uint32_t from, uint32_t to) {
        return std::memcmp(a + from, b + from, to - from) == 0;
    };
    if (ip4_view({head, c->len}).ihl() != ihl || !same(pkt, head, 0, IP4_TOTAL_AT) ||
        !same(pkt, head, IP4_FRAG_AT, IP4_CSUM_AT) || !same(pkt, head, IP4_ADDRS_AT, ihl))
        return false;
    if (!same(th, hth, 0, TCP_SEQ_AT) || !same(th, hth, TCP_ACK_AT, TCP_FLAGS_AT) ||
        ((th[TCP_FLAGS_AT] ^ hth[TCP_FLAGS_AT]) & ~TCP_PSH) != 0 || !same(th, hth, TCP_WINDOW_AT, TCP_CSUM_AT) ||
        !same(th, hth, TCP_URGENT_AT, hlen - ihl))
        return false;

    std::memcpy(head + c->len, pkt + hlen, pay);
    c->len += pay;
    c->nextseq += pay;
    c->count++;
    if (psh) {
        const tcp_edit hth_edit(head + ihl);
        hth_edit.set_flags(static_cast<uint8_t>(hth_edit.flags() | TCP_PSH));
    }
    // A short or pushed segment is the end of what the sender had: nothing in order follows it
    // into the same super-packet.
    if (pay < c->mss || psh)
        c->closed = true;
    return true;
}

uint32_t vnet_coal_finish(vnet_coal_t *c)
{
    if (c->len == 0)
        return 0;
    uint8_t *ip = c->buf + VNET_HDR_LEN;
    vnet_hdr_t h{};
    if (c->count > 1) {
        const ip4_view h4({ip, c->len});
        const uint32_t ihl = h4.ihl();
        ip_fix(ip, ihl, c->len, h4.id());
        // The checksum left partial, as the kernel's own sender leaves it: the pseudo-header's
        // sum, folded and not complemented; the kernel completes (or trusts) the rest.
        const uint32_t tcplen = c->len - ihl;
        tcp_edit(ip + ihl).set_csum(fold(pseudo_sum(ip, tcplen)));
        h.flags = VNET_F_NEEDS_CSUM;
        h.gso_type = VNET_GSO_TCPV4;
        h.hdr_len = static_cast<uint16_t>(c->hlen);
        h.gso_size = static_cast<uint16_t>(c->mss);
        h.csum_start = static_cast<uint16_t>(ihl);
        h.csum_offset = TCP_CSUM_AT;
    }
    vnet_hdr_store(c->buf, &h);
    const uint32_t n = VNET_HDR_LEN + c->len;
    uint8_t *buf = c->buf;
    vnet_coal_init(c, buf);
    return n;
}
