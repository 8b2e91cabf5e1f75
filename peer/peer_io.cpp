// Batched I/O of the peer server. Datagrams come in by recvmmsg, a batch at a time, and every
// answer or routed TUN packet is built straight into a slot of the send batch, which goes out
// with one sendmmsg: the per-packet cost is the handling, not the system calls.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/event.h"
#include "net/sock.h"
#include "net/tun.h"
#include "peer/peer.h"
#include "shell/fail.h"
#include "shell/log.h"
#include "shell/os.h"

namespace {

void set_buf(int s, int opt_force, int opt, const char *what)
{
    if (sock_bufsz(s, opt_force, opt, PEER_SOCKBUF) != 0)
        log_help("peer: %s not set: %s\n", what, strerror(errno));
}

}  // namespace

int peer_udp_open(uint32_t ipbe, uint16_t port)
{
    int s = sock_udpinit();
    if (s < 0) {
        fail_note("cannot open a UDP socket: %s", strerror(errno));
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
        memset(&p->tx_msg[i], 0, sizeof p->tx_msg[i]);
        p->tx_msg[i].msg_hdr.msg_name = &p->tx_addr[i];
        p->tx_msg[i].msg_hdr.msg_namelen = sizeof p->tx_addr[i];
        p->tx_msg[i].msg_hdr.msg_iov = &p->tx_iov[i];
        p->tx_msg[i].msg_hdr.msg_iovlen = 1;
    }
    // Each pass either sends at least one datagram or gives one up, so the loop ends.
    int off = 0;
    while (off < n) {
        int r = sendmmsg(p->udpfd, p->tx_msg + off, static_cast<unsigned>(n - off), MSG_DONTWAIT);
        if (r > 0) {
            off += r;
            p->st.tx_dgrams += static_cast<uint64_t>(r);
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
            // The send buffer is full: what remains would meet the same fate.
            p->st.tx_drop += static_cast<uint64_t>(n - off);
            break;
        } else {
            // Refused for this destination alone (unreachable, no route): skip it.
            p->st.tx_drop++;
            off++;
        }
    }
}

void peer_udp_recv(void *arg)
{
    peer_t *p = static_cast<peer_t *>(arg);
    p->now = static_cast<uint32_t>(os_cursec());
    for (int round = 0; round < PEER_RX_ROUNDS; round++) {
        for (int i = 0; i < PEER_RX_BATCH; i++) {
            p->rx_iov[i].iov_base = p->rx_buf[i];
            p->rx_iov[i].iov_len = sizeof p->rx_buf[i];
            memset(&p->rx_msg[i], 0, sizeof p->rx_msg[i]);
            p->rx_msg[i].msg_hdr.msg_name = &p->rx_addr[i];
            p->rx_msg[i].msg_hdr.msg_namelen = sizeof p->rx_addr[i];
            p->rx_msg[i].msg_hdr.msg_iov = &p->rx_iov[i];
            p->rx_msg[i].msg_hdr.msg_iovlen = 1;
        }
        int n = recvmmsg(p->udpfd, p->rx_msg, PEER_RX_BATCH, MSG_DONTWAIT, nullptr);
        if (n <= 0)
            break;
        for (int i = 0; i < n; i++) {
            const msghdr &m = p->rx_msg[i].msg_hdr;
            if ((m.msg_flags & MSG_TRUNC) != 0 || m.msg_namelen < sizeof(sockaddr_in) ||
                p->rx_addr[i].sin_family != AF_INET) {
                p->st.rx_dgrams++;
                p->st.drop_trunc++;
                continue;
            }
            peer_on_datagram(p, p->rx_addr[i].sin_addr.s_addr, ntohs(p->rx_addr[i].sin_port), p->rx_buf[i], p->rx_msg[i].msg_len);
        }
        if (n < PEER_RX_BATCH)
            break;
    }
    peer_tx_flush(p);
}

void peer_tun_recv(void *arg)
{
    peer_t *p = static_cast<peer_t *>(arg);
    p->now = static_cast<uint32_t>(os_cursec());
    for (int i = 0; i < PEER_TUN_BURST; i++) {
        // Read behind the header's room in a send slot: routed, the packet leaves from there.
        peer_txslot_t *slot = peer_tx_slot(p);
        int n = tun_recv(p->tunfd, slot->buf + SDWAN_HDR_LEN, static_cast<int>(SDWAN_PKTBUF - SDWAN_HDR_LEN));
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            // The interface was deleted under us (EBADFD) or the device failed: the descriptor
            // stays readable with an error for ever, and no session could be carried. End the
            // run with status 1; the service manager starts a new one with a new interface.
            if (!p->failed)
                log_help("peer: interface %s failed: %s; stopping\n", p->cfg.tun_name, strerror(errno));
            p->failed = 1;
            _quit.store(1);
            break;
        }
        if (n <= 0)
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
