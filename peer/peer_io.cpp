// Batched I/O of the peer server. Datagrams come in by recvmmsg, a batch at a time, and every
// answer or routed TUN packet is built straight into a slot of the send batch, which goes out
// with one sendmmsg: the per-packet cost is the handling, not the system calls.
//
// Where the kernel offers them, the socket's offloads take the cost per datagram out of the
// kernel too: with UDP GRO a receive may hold a train of datagrams from one client, which is
// walked datagram by datagram; with UDP_SEGMENT a run of slots to one client, of one size but
// the last, leaves as one message that the kernel (or the interface) cuts into datagrams. What
// goes on the wire is the same either way.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/event.h"
#include "net/ip4.h"
#include "net/sock.h"
#include "net/tun.h"
#include "peer/peer.h"
#include "proto/sealed.h"
#include "base/fail.h"
#include "base/log.h"
#include "base/os.h"

namespace {

void set_buf(int s, int opt_force, int opt, const char *what)
{
    const int rc = sock_bufsz(s, opt_force, opt, PEER_SOCKBUF);
    if (rc != 0)
        log_help("peer: %s not set: %s\n", what, strerror(-rc));
}

// After a TUN read of n (a length or a negative errno): true when the burst is over, nothing
// more to read or the interface failed. Deleted under us (EBADFD) or failed, the descriptor stays
// readable with an error for ever, and no session could be carried: the run ends with status 1,
// and the service manager starts a new one with a new interface.
bool tun_burst_over(peer_t *p, int n)
{
    if (n < 0 && n != -EAGAIN && n != -EWOULDBLOCK && n != -EINTR) {
        if (!p->failed)
            log_help("peer: interface %s failed: %s; stopping\n", p->cfg.tun_name, strerror(-n));
        p->failed = 1;
        os_quit.store(1);
    }
    return n <= 0;
}

}  // namespace

int peer_udp_open(uint32_t ipbe, uint16_t port)
{
    int s = sock_udpinit();
    if (s < 0) {
        fail_note("cannot open a UDP socket: %s", strerror(-s));
        return -1;
    }
    set_buf(s, SO_RCVBUFFORCE, SO_RCVBUF, "SO_RCVBUF");
    set_buf(s, SO_SNDBUFFORCE, SO_SNDBUF, "SO_SNDBUF");
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = ipbe;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        const int err = errno;
        log_help("peer: cannot bind UDP port %u: %s\n", unsigned{port}, strerror(err));
        fail_note("cannot bind UDP port %u: %s", unsigned{port}, strerror(err));
        sock_close(s);
        return -1;
    }
    return s;
}

void peer_udp_offload(peer_t *p, bool want)
{
    p->gro = 0;
    p->gso = 0;
    if (!want)
        return;
    p->gro = sock_gro_enable(p->udpfd) == 0 ? 1 : 0;
    p->gso = sock_gso_probe(p->udpfd) == 0 ? 1 : 0;
}

peer_txslot_t *peer_tx_slot(peer_t *p)
{
    if (p->ntx >= PEER_TX_BATCH)
        peer_tx_flush(p);
    return &p->tx[p->ntx];
}

void peer_tx_commit(peer_t *p)
{
    if (p->ntx < PEER_TX_BATCH)
        p->ntx++;
}

namespace {

// Slots from i on that may leave as one train: the same client, every one the size of the first
// but the last, which may be shorter and ends the train.
int tx_train(const peer_t *p, int i, int n)
{
    const peer_txslot_t &a = p->tx[i];
    uint32_t bytes = a.len;
    int k = 1;
    while (i + k < n && k < PEER_GSO_SEGS) {
        const peer_txslot_t &b = p->tx[i + k];
        if (b.ipbe != a.ipbe || b.port != a.port || b.len > a.len || bytes + b.len > PEER_GSO_BYTES)
            break;
        bytes += b.len;
        k++;
        if (b.len < a.len)
            break;
    }
    return k;
}

// The messages for the slots from `from` on, into tx_msg; slots before `alone` leave one per
// message (their train was refused). The number of messages.
int tx_messages(peer_t *p, int from, int n, int alone)
{
    int m = 0;
    for (int i = from; i < n; m++) {
        const int k = (p->gso != 0 && i >= alone) ? tx_train(p, i, n) : 1;
        msghdr &h = p->tx_msg[m].msg_hdr;
        memset(&p->tx_msg[m], 0, sizeof p->tx_msg[m]);
        h.msg_name = &p->tx_addr[i];
        h.msg_namelen = sizeof p->tx_addr[i];
        h.msg_iov = &p->tx_iov[i];
        h.msg_iovlen = static_cast<size_t>(k);
        if (k > 1)
            sock_gso_cmsg(&h, p->tx_ctl[m].b, p->tx[i].len);
        p->tx_nseg[m] = static_cast<uint8_t>(k);
        i += k;
    }
    return m;
}

}  // namespace

void peer_tx_flush(peer_t *p)
{
    int n = p->ntx;
    p->ntx = 0;
    if (n == 0)
        return;
    for (int i = 0; i < n; i++) {
        peer_txslot_t &t = p->tx[i];
        memset(&p->tx_addr[i], 0, sizeof p->tx_addr[i]);
        p->tx_addr[i].sin_family = AF_INET;
        p->tx_addr[i].sin_port = htons(t.port);
        p->tx_addr[i].sin_addr.s_addr = t.ipbe;
        p->tx_iov[i].iov_base = t.buf;
        p->tx_iov[i].iov_len = t.len;
    }
    // Each pass sends at least one message, gives one up, or turns the trains off (once), so the
    // loop ends.
    int off = 0;
    int alone = 0;
    while (off < n) {
        const int m = tx_messages(p, off, n, alone);
        const int r = sendmmsg(p->udpfd, p->tx_msg, static_cast<unsigned>(m), MSG_DONTWAIT);
        if (r > 0) {
            for (int j = 0; j < r; j++) {
                off += p->tx_nseg[j];
                p->st.tx_dgrams += p->tx_nseg[j];
            }
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
            // The send buffer is full: what remains would meet the same fate.
            p->st.tx_drop += static_cast<uint64_t>(n - off);
            break;
        } else if (p->tx_nseg[0] > 1 && sock_gso_refused()) {
            // This and every later train go one datagram at a time, as without the offload.
            p->gso = 0;
            alone = n;
        } else {
            // Refused for this destination alone (unreachable, no route): skip it.
            p->st.tx_drop += p->tx_nseg[0];
            off += p->tx_nseg[0];
        }
    }
}

void peer_rx_train(peer_t *p, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len, uint32_t seg)
{
    if (seg == 0 || seg > len)
        seg = len;
    // An empty datagram is one too: at least one pass.
    uint32_t off = 0;
    do {
        const uint32_t n = len - off < seg ? len - off : seg;
        if (n > SDWAN_PKTBUF) {
            // Longer than any datagram a client sends, as without GRO.
            p->st.rx_dgrams++;
            p->st.drop_trunc++;
        } else {
            peer_on_datagram(p, ipbe, port, buf + off, n);
        }
    } while ((off += seg) < len);
}

void peer_udp_recv(void *arg)
{
    peer_t *p = static_cast<peer_t *>(arg);
    const uint64_t us = os_monousec();
    p->now = static_cast<uint32_t>(us / 1000000);
    p->now_ms = us / 1000;
    for (int round = 0; round < PEER_RX_ROUNDS; round++) {
        for (int i = 0; i < PEER_RX_BATCH; i++) {
            p->rx_iov[i].iov_base = p->rx_buf[i];
            p->rx_iov[i].iov_len = sizeof p->rx_buf[i];
            memset(&p->rx_msg[i], 0, sizeof p->rx_msg[i]);
            p->rx_msg[i].msg_hdr.msg_name = &p->rx_addr[i];
            p->rx_msg[i].msg_hdr.msg_namelen = sizeof p->rx_addr[i];
            p->rx_msg[i].msg_hdr.msg_iov = &p->rx_iov[i];
            p->rx_msg[i].msg_hdr.msg_iovlen = 1;
            if (p->gro != 0) {
                p->rx_msg[i].msg_hdr.msg_control = p->rx_ctl[i].b;
                p->rx_msg[i].msg_hdr.msg_controllen = sizeof p->rx_ctl[i].b;
            }
        }
        int n = recvmmsg(p->udpfd, p->rx_msg, PEER_RX_BATCH, MSG_DONTWAIT, nullptr);
        if (n <= 0)
            break;
        for (int i = 0; i < n; i++) {
            msghdr &m = p->rx_msg[i].msg_hdr;
            if ((m.msg_flags & MSG_TRUNC) != 0 || m.msg_namelen < sizeof(sockaddr_in) ||
                p->rx_addr[i].sin_family != AF_INET) {
                p->st.rx_dgrams++;
                p->st.drop_trunc++;
                continue;
            }
            const uint32_t len = p->rx_msg[i].msg_len;
            peer_rx_train(p, p->rx_addr[i].sin_addr.s_addr, ntohs(p->rx_addr[i].sin_port), p->rx_buf[i], len,
                          p->gro != 0 ? sock_gro_segsz(&m, len) : 0);
        }
        if (n < PEER_RX_BATCH)
            break;
    }
    peer_tun_flush(p);
    peer_tx_flush(p);
}

void peer_tun_put(peer_t *p, peer_sess_t *s, const uint8_t *pkt, uint32_t len)
{
    // Only TCP ever joins (the IPv4 protocol field; on_data has checked the version and length).
    if (p->vnet != 0 && ip4_view({pkt, len}).proto() == IP4_PROTO_TCP) {
        // Not of the pending flow: that one is written first, then this one begins the next,
        // unless it cannot begin one either (no payload, a flag beyond ACK and PSH, a bad
        // checksum): then it goes alone.
        bool joined = vnet_coal_add(&p->coal, pkt, len);
        if (!joined && p->coal.len != 0) {
            peer_tun_flush(p);
            joined = vnet_coal_add(&p->coal, pkt, len);
        }
        if (joined) {
            p->coal_sess = static_cast<uint32_t>(s - p->sess);
            p->coal_sid = s->sid;
            p->st.tun_tx++;
            s->rxpkts++;
            s->rxbytes += len;
            p->rxbytes += len;
            p->coal_bytes += len;
            return;
        }
    }
    // Not for joining: after what is pending, so the order stays.
    peer_tun_flush(p);
    const int r = p->vnet != 0 ? tun_send_vnet(p->tunfd, nullptr, pkt, static_cast<int>(len))
                               : tun_send(p->tunfd, pkt, static_cast<int>(len));
    if (r < 0) {
        p->st.tun_txerr++;
        return;
    }
    p->st.tun_tx++;
    s->rxpkts++;
    s->rxbytes += len;
    p->rxbytes += len;
}

void peer_tun_flush(peer_t *p)
{
    const uint32_t count = p->coal.count;
    const uint32_t bytes = p->coal_bytes;
    p->coal_bytes = 0;
    const uint32_t n = vnet_coal_finish(&p->coal);
    if (n == 0)
        return;
    if (tun_send_vnet(p->tunfd, p->coal_buf, p->coal_buf + VNET_HDR_LEN, static_cast<int>(n - VNET_HDR_LEN)) >= 0)
        return;
    // Counted as written when they joined: not so.
    p->st.tun_tx -= count;
    p->st.tun_txerr += count;
    p->rxbytes -= bytes;
    peer_sess_t *s = p->coal_sess < p->nsess ? &p->sess[p->coal_sess] : nullptr;
    if (s != nullptr && s->live && s->sid == p->coal_sid && s->rxpkts >= count) {
        s->rxpkts -= count;
        s->rxbytes -= bytes;
    }
}

namespace {

// A read with the interface's header: a packet, or a TCP super-packet cut into packets of the
// MTU, each into a send slot behind the header's room and handled as a plain read would be.
void tun_vnet_read(peer_t *p, uint32_t n)
{
    // Every packet of a read goes to one address: placed where its session's header leaves it
    // room (and a sealed one, its tag), so it is sealed or enciphered where it lies.
    const ip4_view ip({p->tun_rd + VNET_HDR_LEN, n > VNET_HDR_LEN ? n - VNET_HDR_LEN : 0});
    const uint32_t at = ip.ok() ? peer_tun_room(p, ip.dst()) : SDWAN_HDR_LEN;
    const uint32_t cap = at == SDWAN_HDR_LEN ? SDWAN_PKTBUF : SDWAN_PKTBUF - SEALED_TAG_LEN;
    // One packet (anything but a TCP super-packet): made ready where it was read and copied once
    // into its slot, without the split's set-up for a train of one.
    const int one = vnet_single(p->tun_rd, n);
    if (one > 0 && static_cast<uint32_t>(one) <= cap - at) {
        peer_txslot_t *slot = peer_tx_slot(p);
        memcpy(slot->buf + at, p->tun_rd + VNET_HDR_LEN, static_cast<size_t>(one));
        peer_on_tunpkt(p, slot, static_cast<uint32_t>(one), at);
        return;
    }
    if (one != 0) {
        // Refused, or longer than a slot: dropped whole.
        p->st.tun_rx++;
        p->st.drop_tunbad++;
        return;
    }
    vnet_split_t sp;
    int k = vnet_split_begin(&sp, p->tun_rd, n, p->cfg.mtu) == VNET_OK ? 1 : -1;
    // A super-packet that fits a batch but not what is left of this one: the batch leaves first,
    // so that its packets make one train rather than the tail of one and the head of the next.
    if (k > 0 && sp.kind == VNET_KIND_TSO4 && sp.mss != 0) {
        const uint32_t need = (sp.len - sp.hlen + sp.mss - 1) / sp.mss;
        if (need <= static_cast<uint32_t>(PEER_TX_BATCH) && static_cast<uint32_t>(p->ntx) + need > PEER_TX_BATCH)
            peer_tx_flush(p);
    }
    while (k > 0) {
        peer_txslot_t *slot = peer_tx_slot(p);
        vnet_train_t t;
        k = vnet_split_next(&sp, slot->buf, cap, at, 1, &t);
        if (k > 0)
            peer_on_tunpkt(p, slot, t.lastlen, at);
    }
    // A super-packet the split refuses: dropped whole.
    if (k < 0) {
        p->st.tun_rx++;
        p->st.drop_tunbad++;
    }
}

}  // namespace

void peer_tun_recv(void *arg)
{
    peer_t *p = static_cast<peer_t *>(arg);
    p->now = static_cast<uint32_t>(os_monosec());
    if (p->vnet != 0) {
        for (int i = 0; i < PEER_TUN_BURST; i++) {
            const int n = tun_recv_vnet(p->tunfd, p->tun_rd, static_cast<int>(sizeof p->tun_rd));
            if (tun_burst_over(p, n))
                break;
            tun_vnet_read(p, static_cast<uint32_t>(n));
        }
        peer_tx_flush(p);
        return;
    }
    for (int i = 0; i < PEER_TUN_BURST; i++) {
        // Read behind the header's room in a send slot: routed, the packet leaves from there.
        peer_txslot_t *slot = peer_tx_slot(p);
        int n = tun_recv(p->tunfd, slot->buf + SDWAN_HDR_LEN, static_cast<int>(SDWAN_PKTBUF - SDWAN_HDR_LEN));
        if (tun_burst_over(p, n))
            break;
        peer_on_tunpkt(p, slot, static_cast<uint32_t>(n));
    }
    peer_tx_flush(p);
}

void peer_close_all(peer_t *p)
{
    // Every CLOSE leaves before the first (synced) log line, so that clients hear of the stop
    // at once however many there are.
    for (uint32_t i = 0; i < p->nsess; i++)
        if (p->sess[i].live)
            peer_send_close(p, &p->sess[i]);
    peer_tx_flush(p);
    uint32_t n = 0;
    for (uint32_t i = 0; i < p->nsess; i++) {
        peer_sess_t &s = p->sess[i];
        if (!s.live)
            continue;
        peer_sess_log_bulk(p, &s, "closed", &n);
        p->st.sess_closed++;
        peer_sess_free(p, &s);
    }
    peer_sess_log_rest(n, "closed");
}
