#include "client/data.h"

#include "bytes.h"
#include "client/resolver.h"
#include "client/rlog.h"
#include "client/sealed.h"
#include "net/ip4.h"
#include "net/sock.h"
#include "net/tun.h"
#include "net/vnet.h"
#include "proto/packet.h"
#include "base/log.h"

namespace {
// The packet is read behind exactly the header's room, so the header is written in front of it
// and the payload enciphered where it lies: the datagram leaves from offset 0 without a copy.
constexpr uint32_t DATA_ROOM = SDWAN_PKTBUF - SDWAN_HDR_LEN;
static_assert(DATA_ROOM == 2040);
// A session's MTU never exceeds the configured one, so every packet fits the room.
static_assert(SDWAN_MTU_MAX <= DATA_ROOM);

// The largest packet the session carries: what the interface's MTU was set to.
uint32_t session_mtu(const sdwan_t *clnt)
{
    if (clnt->host.tunmtu != 0)
        return clnt->host.tunmtu;  // the interface's own, where the kernel took another than asked
    const uint32_t mtu = clnt->sess.peermtu < clnt->conf.mtu ? clnt->sess.peermtu : clnt->conf.mtu;
    if (mtu != 0)
        return mtu;
    return clnt->conf.mtu != 0 ? clnt->conf.mtu : SDWAN_MTU_MAX;
}

// One packet read from the interface, at dgram + SDWAN_HDR_LEN: counted, checked, and in a
// session given its header in the room in front and enciphered. false when it goes nowhere.
// Inlined into both paths: a call per packet is a tenth of the plain path's own work.
[[gnu::always_inline]] inline bool data_wrap(sdwan_t *clnt, uint8_t *dgram, int len)
{
    clnt->count.stats.tun_rxpkts++;
    // The daemon's own datagram, routed into its own tunnel (the host route that kept it outside
    // is gone): wrapped and sent, it would come back again at once, for ever.
    if (sdwan_own_dest(clnt, dgram + SDWAN_HDR_LEN, len)) {
        clnt->count.stats.panic_pktdest++;
        return false;
    }
    // Outside a session the packet is still read, so the device never backs up; it has nowhere
    // to go.
    if (clnt->sess.state != SDWANCLNT_DATA)
        return false;

    sdwan_pkthdr_t hdr{SDWAN_DATA, 0, clnt->sess.sid, clnt->sess.token};
    if (clnt->sess.peerencrypt != 0) {
        // The peer's own value goes back in the flag byte, not a normalised 1.
        hdr.type = SDWAN_EDATA;
        hdr.encrypt = clnt->sess.peerencrypt;
        sdwan_encrypt(&clnt->sess.key, dgram + SDWAN_HDR_LEN, len);
    }
    sdwan_hdr_store(dgram, &hdr);
    return true;
}

// One packet read at dgram + SDWAN_HDR_LEN, wrapped and sent as one datagram: the whole of the
// plain path, and of the offload path for a read that is no super-packet.
[[gnu::always_inline]] inline void send_one(sdwan_t *clnt, uint8_t *dgram, int len)
{
    if (!data_wrap(clnt, dgram, len))
        return;
    const uint32_t pkt_len = static_cast<uint32_t>(len) + SDWAN_HDR_LEN;
    if (sock_sendto(clnt->io.udpsock, clnt->sess.peerip, clnt->conf.peerport, dgram, pkt_len) < 0) {
        clnt->count.tx_failed++;
        log_help("Failed to send packet to peer\n");
        return;
    }
    clnt->count.stats.sock_txpkts++;
    clnt->count.txbytes += static_cast<uint32_t>(len);
    ++*clnt->paths.txpkts_at;
    *clnt->paths.txbytes_at += pkt_len;
}

// pkts wrapped datagrams back to back from buf (bytes in all, each stride long but the last),
// carrying payload bytes of IP packets: one send where the kernel segments them.
void send_run(sdwan_t *clnt, const uint8_t *buf, uint32_t bytes, uint32_t stride, uint32_t pkts, uint32_t payload)
{
    if (pkts == 0)
        return;
    if (sock_send_gso(clnt->io.udpsock, clnt->sess.peerip, clnt->conf.peerport, buf, bytes, stride, &clnt->io.udpgso) <
        0) {
        clnt->count.tx_failed += pkts;
        log_help("Failed to send packet to peer\n");
        return;
    }
    clnt->count.stats.sock_txpkts += pkts;
    clnt->count.txbytes += payload;
    *clnt->paths.txpkts_at += pkts;
    *clnt->paths.txbytes_at += bytes;
}

// A read of a descriptor with the virtio-net header: a super-packet becomes the segments the
// wire carries, each going the one-packet way above; the segments of a train that are sent go
// out together. Everything read is sent or dropped before the event core polls again.
void tun_recv_offload(sdwan_t *clnt)
{
    uint8_t *const rd = clnt->io.read;
    uint8_t *const train = clnt->io.train;
    const int n = tun_recv_vnet(clnt->io.tunfd, rd, static_cast<int>(sizeof clnt->io.read));
    if (n <= 0)
        return;
    // Most reads are one packet (every one that is not TCP): it is sent from where it was read,
    // its tunnel header over the tail of the interface's, as the plain path sends it. Only a
    // super-packet pays for the split's copy into a train.
    static_assert(VNET_HDR_LEN >= SDWAN_HDR_LEN);
    const int one = vnet_single(rd, static_cast<uint32_t>(n));
    if (one > 0 && static_cast<uint32_t>(one) <= VNET_TRAIN_BYTES - SDWAN_HDR_LEN) {
        send_one(clnt, rd + VNET_HDR_LEN - SDWAN_HDR_LEN, one);
        return;
    }
    if (one != 0) {
        // Refused, or longer than one datagram carries: dropped whole, as the split drops it.
        clnt->count.stats.tun_rxpkts++;
        clnt->count.stats.panic_txdrop++;
        return;
    }
    vnet_split_t sp;
    vnet_train_t t;
    int cnt = vnet_split_begin(&sp, rd, static_cast<uint32_t>(n), session_mtu(clnt)) == VNET_OK ? 1 : -1;
    constexpr uint32_t TRAIN_BYTES = sizeof clnt->io.train;
    while (cnt > 0 && (cnt = vnet_split_next(&sp, train, TRAIN_BYTES, SDWAN_HDR_LEN, VNET_TRAIN_SEGS, &t)) > 0) {
        uint32_t first = 0;
        uint32_t payload = 0;
        for (uint32_t i = 0; i < t.count; i++) {
            const uint32_t len = i + 1 == t.count ? t.lastlen : t.seglen;
            if (data_wrap(clnt, train + i * t.stride, static_cast<int>(len))) {
                payload += len;
                continue;
            }
            // A packet that goes nowhere ends a run: every one before it is full-sized.
            send_run(clnt, train + first * t.stride, (i - first) * t.stride, t.stride, i - first, payload);
            first = i + 1;
            payload = 0;
        }
        if (first < t.count)
            send_run(clnt, train + first * t.stride, (t.count - 1 - first) * t.stride + SDWAN_HDR_LEN + t.lastlen,
                     t.stride, t.count - first, payload);
    }
    // A super-packet the split refuses: dropped whole.
    if (cnt < 0) {
        clnt->count.stats.tun_rxpkts++;
        clnt->count.stats.panic_txdrop++;
    }
}

// The sealed session's outbound paths: every packet sealed where it lies, behind the sealed
// header's room, its tag written behind it.
constexpr uint32_t SEAL_ROOM = SDWAN_PKTBUF - SEAL_OVERHEAD;
static_assert(SDWAN_MTU_MAX <= SEAL_ROOM);

// One packet at dgram + SEAL_HEAD, read from the interface: counted, checked, sealed and sent.
void send_sealed_one(sdwan_t *clnt, uint8_t *dgram, uint32_t len)
{
    clnt->count.stats.tun_rxpkts++;
    if (sdwan_own_dest(clnt, dgram + SEAL_HEAD, static_cast<int>(len))) {
        clnt->count.stats.panic_pktdest++;
        return;
    }
    if (clnt->sess.state != SDWANCLNT_DATA)
        return;
    const uint32_t n = seal_wrap(clnt, dgram, len);
    if (n == 0) {
        clnt->count.tx_failed++;  // the cipher refused it: lost as a refused send is
        return;
    }
    if (sock_sendto(clnt->io.udpsock, clnt->sess.peerip, clnt->conf.peerport, dgram, n) < 0) {
        clnt->count.tx_failed++;
        log_help("Failed to send packet to peer\n");
        return;
    }
    clnt->count.stats.sock_txpkts++;
    clnt->count.txbytes += len;
    ++*clnt->paths.txpkts_at;
    *clnt->paths.txbytes_at += n;
}

void tun_recv_sealed(sdwan_t *clnt)
{
    uint8_t *const buf = clnt->io.read;
    const int len = tun_recv(clnt->io.tunfd, buf + SEAL_HEAD, static_cast<int>(SEAL_ROOM));
    if (len > 0)
        send_sealed_one(clnt, buf, static_cast<uint32_t>(len));
}

// A read with the virtio-net header in a sealed session, the way tun_recv_offload goes. The read
// lands SDWAN_READ_FRONT bytes in, so that a single packet's sealed header goes over the tail of
// the interface's. A super-packet's train is laid out with room for a whole sealed overhead in
// front of each segment and starts a tag's length into the buffer: each segment's tag then takes
// the first bytes of the next one's room, its header and kind byte the rest, and the sealed
// datagrams lie back to back, all one size but the last, ready for one segmented send.
static_assert(SDWAN_READ_FRONT + VNET_HDR_LEN == SEAL_HEAD && SDWAN_READ_BACK == SEAL_TAG);
void tun_recv_offload_sealed(sdwan_t *clnt)
{
    uint8_t *const rd = clnt->io.read + SDWAN_READ_FRONT;
    const int n = tun_recv_vnet(clnt->io.tunfd, rd, static_cast<int>(VNET_READ_MAX));
    if (n <= 0)
        return;
    const int one = vnet_single(rd, static_cast<uint32_t>(n));
    if (one > 0 && static_cast<uint32_t>(one) <= VNET_TRAIN_BYTES - SEAL_OVERHEAD) {
        send_sealed_one(clnt, clnt->io.read, static_cast<uint32_t>(one));
        return;
    }
    if (one != 0) {
        clnt->count.stats.tun_rxpkts++;
        clnt->count.stats.panic_txdrop++;
        return;
    }
    // Only TCP super-packets are cut, so no segment is the daemon's own (UDP) datagram.
    uint8_t *const dgrams = clnt->io.train + SEAL_TAG;
    constexpr uint32_t CAP = sizeof clnt->io.train - SEAL_TAG;
    vnet_split_t sp;
    vnet_train_t t;
    int cnt = vnet_split_begin(&sp, rd, static_cast<uint32_t>(n), session_mtu(clnt)) == VNET_OK ? 1 : -1;
    while (cnt > 0 && (cnt = vnet_split_next(&sp, clnt->io.train, CAP, SEAL_OVERHEAD, VNET_TRAIN_SEGS, &t)) > 0) {
        clnt->count.stats.tun_rxpkts += t.count;
        if (clnt->sess.state != SDWANCLNT_DATA)
            continue;
        const uint32_t sealed = seal_train(clnt, dgrams, t.stride, t.count, t.seglen, t.lastlen);
        clnt->count.tx_failed += t.count - sealed;
        if (sealed == 0)
            continue;
        const uint32_t last = sealed == t.count ? t.lastlen : t.seglen;
        send_run(clnt, dgrams, (sealed - 1) * t.stride + SEAL_OVERHEAD + last, t.stride, sealed,
                 (sealed - 1) * t.seglen + last);
    }
    if (cnt < 0) {
        clnt->count.stats.tun_rxpkts++;
        clnt->count.stats.panic_txdrop++;
    }
}

// Writes what the coalescer holds; kept out of line (see sdwan_data_flush).
[[gnu::noinline]] void coal_write(sdwan_t *clnt);

// One packet written to the interface: counted and, with datalog, logged.
void data_delivered(sdwan_t *clnt, uint32_t len)
{
    clnt->count.stats.tun_txpkts++;
    clnt->count.rxbytes += len;
    if (clnt->conf.datalog != 0)
        log_help("Successfully processed and forwarded data, packet length: %u\n", len);
}

// One inbound packet to the interface. On a descriptor with segmentation offload the packets of
// a TCP flow are joined and written together when the train ends (sdwan_data_flush), which
// counts them once the write is taken: 0 then. Anything else is written at once, behind a zero
// header where the descriptor has one: the write's result.
int data_tun_write(sdwan_t *clnt, const uint8_t *pkt, int len)
{
    if (clnt->io.tunoff == 0)
        return tun_send(clnt->io.tunfd, pkt, len);
    // Joined only when datagrams come in trains: a datagram received alone is written alone.
    // Only TCP ever joins; anything else is not offered, which spares it the join's parsing and
    // checksum (the protocol byte is read only where an IPv4 header can be).
    if ((clnt->io.tunoff & TUN_OFFLOAD_TSO4) != 0 && clnt->io.udpgro) {
        const ip4_view ip({pkt, static_cast<size_t>(len)});
        if (ip.ok() && ip.proto() == IP4_PROTO_TCP) {
            if (vnet_coal_add(&clnt->io.coal, pkt, static_cast<uint32_t>(len)))
                return 0;
            if (clnt->io.coal.len != 0) {
                sdwan_data_flush(clnt);
                if (vnet_coal_add(&clnt->io.coal, pkt, static_cast<uint32_t>(len)))
                    return 0;
            }
        } else if (clnt->io.coal.len != 0) {
            // Written after what is pending, so the interface sees the peer's order.
            sdwan_data_flush(clnt);
        }
    }
    return tun_send_vnet(clnt->io.tunfd, nullptr, pkt, len);
}
}  // namespace

bool sdwan_own_dest(const sdwan_t *clnt, const uint8_t *pkt, int len)
{
    // A first fragment of IPv4/UDP with its whole UDP port pair inside the packet.
    const ip4_view ip({pkt, static_cast<size_t>(len < 0 ? 0 : len)});
    if (!ip.ok())
        return false;
    const uint32_t ihl = ip.ihl();
    if (ihl < IP4_HDR_MIN || static_cast<uint32_t>(len) < ihl + 4 || ip.proto() != IP4_PROTO_UDP || ip.later_fragment())
        return false;
    const uint32_t dst = ip.dst();
    const uint16_t dport = ip.dport();
    if (dst == clnt->sess.peerip && dport == clnt->conf.peerport)
        return true;
    return clnt->sess.state == SDWANCLNT_DNS && dst == sdwan_resolver(clnt) && dport == SDWAN_DNS_PORT;
}

void sdwclnt_tun_recv(void *arg)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(arg);
    if (clnt->io.tunoff != 0) {
        if (seal_on(clnt))
            tun_recv_offload_sealed(clnt);
        else
            tun_recv_offload(clnt);
        return;
    }
    if (seal_on(clnt)) {
        tun_recv_sealed(clnt);
        return;
    }
    uint8_t *const buf = clnt->io.read;
    const int len = tun_recv(clnt->io.tunfd, buf + SDWAN_HDR_LEN, static_cast<int>(DATA_ROOM));
    if (len > 0)
        send_one(clnt, buf, len);
}

void sdwan_onDATA(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt)
{
    // Signed on purpose: a datagram shorter than the header reports a negative payload length.
    // blen is bounded by the 2048-byte receive buffer, so it always fits.
    int dlen = static_cast<int>(blen) - static_cast<int>(SDWAN_HDR_LEN);
    if (dlen <= 0) {
        if (sdwclnt_rlog_allow(clnt, SDWAN_RL_DATALEN))
            log_help("Invalid data length received: %d\n", dlen);
        return;
    }

    // The type alone decides: the peer's flag byte is not trusted to say whether the payload
    // is enciphered.
    if (pkt->type == SDWAN_EDATA)
        sdwan_encrypt(&clnt->sess.key, buf + SDWAN_HDR_LEN, dlen);

    const int n = data_tun_write(clnt, buf + SDWAN_HDR_LEN, dlen);
    if (n < 0) {
        clnt->count.tun_write_failed++;
        log_help("Failed to send data to tunnel\n");
        return;
    }
    if (n > 0)
        data_delivered(clnt, static_cast<uint32_t>(dlen));
}

void sdwan_data_deliver(sdwan_t *clnt, const uint8_t *pkt, uint32_t len)
{
    const int n = data_tun_write(clnt, pkt, static_cast<int>(len));
    if (n < 0) {
        clnt->count.tun_write_failed++;
        log_help("Failed to send data to tunnel\n");
        return;
    }
    if (n > 0)
        data_delivered(clnt, len);
}

void sdwan_data_reset(sdwan_t *clnt) { vnet_coal_init(&clnt->io.coal, clnt->io.coalbuf); }

void sdwan_data_flush(sdwan_t *clnt)
{
    // Called after every receive, and nothing is pending after most: the test alone stays in the
    // caller's path, without the write's register saves.
    if (clnt->io.coal.len != 0)
        coal_write(clnt);
}

namespace {
void coal_write(sdwan_t *clnt)
{
    // Every joined packet but the last carried the first's payload; the last the rest.
    const vnet_coal_t &c = clnt->io.coal;
    const uint32_t count = c.count;
    const uint32_t seglen = c.hlen + c.mss;
    const uint32_t lastlen = c.len - (count - 1) * c.mss;
    const uint32_t n = vnet_coal_finish(&clnt->io.coal);
    // One write for them all: taken, each is delivered as if written alone; refused, all are
    // lost, with one line for the one write.
    uint8_t *const buf = clnt->io.coalbuf;
    if (tun_send_vnet(clnt->io.tunfd, buf, buf + VNET_HDR_LEN, static_cast<int>(n - VNET_HDR_LEN)) < 0) {
        clnt->count.tun_write_failed += count;
        log_help("Failed to send data to tunnel\n");
        return;
    }
    for (uint32_t i = 0; i + 1 < count; i++)
        data_delivered(clnt, seglen);
    data_delivered(clnt, lastlen);
}
}  // namespace
