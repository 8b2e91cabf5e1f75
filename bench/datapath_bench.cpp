// Per-packet cost of the client's data path, with the devices replaced by sockets: the TUN device
// by one end of an AF_UNIX datagram socket pair (packet boundaries kept, like TUN), the peer by a
// UDP socket on the loopback. Each iteration hands the daemon exactly one packet, lets the real
// handler take it, and takes the result away, so the figures are per packet and include the
// system calls the data path makes.
//
//   bench_datapath [google benchmark flags]     the timed benchmarks
//   bench_datapath --callgrind WHAT N           N packets through one handler and nothing else, for
//                                               bench/micro.sh to count instructions under callgrind
//                                               (WHAT: out, out-xor, in, in-xor, in-log, loop, and
//                                               with the kernel's offloads: out-tso, out-tso-xor,
//                                               in-gro, in-gro-xor; small UDP packets of 92 bytes:
//                                               out-small, in-small, and with the offloads
//                                               out-small-vnet, in-small-gro, in-small-train; a
//                                               sealed session with the offloads: out-tso-sealed,
//                                               in-gro-sealed)
//
// With the offloads the "TUN device" hands over one 64 KiB TCP super-packet behind a virtio-net
// header (48 packets of 1400 bytes once cut), and the peer sends one UDP_SEGMENT train of 46
// TCP segments that the client receives with UDP_GRO and writes back joined: the figures are
// per inner packet. The small rows carry one 92-byte UDP/IPv4 packet (64 bytes of payload) per
// read or receive, as an interactive or packet-rate sender makes them, once without and once with
// the offloads, where every read and write has the header and the socket takes trains; the small
// train is the peer's batch of 64 of them, sent as one.
//
// The sealed rows run the same super-packet out, each segment sealed (33 bytes more per datagram),
// and a train of 45 sealed datagrams in (46 would pass the 64 KiB a train holds), sealed afresh
// by the "peer" before each send so that the replay window takes every one.
//
// The process counts its own heap allocations (malloc and friends are wrapped below); every
// benchmark reports them per packet, which must stay 0.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client/auth.h"
#include "client/data.h"
#include "client/record.h"
#include "client/sealed.h"
#include "client/session.h"
#include "core/event.h"
#include "bytes.h"
#include "net/sock.h"
#include "net/tun.h"
#include "net/vnet.h"
#include "proto/packet.h"
#include "base/log.h"
#include "seal/noise.h"

// ---------------------------------------------------------------- allocation counter
namespace {
std::atomic<uint64_t> g_allocs{0};
}
extern "C" {
void *__libc_malloc(size_t n);
void *__libc_calloc(size_t n, size_t m);
void *__libc_realloc(void *p, size_t n);
void *malloc(size_t n)
{
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m)
{
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n)
{
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
}

namespace {

// ---------------------------------------------------------------- the rig
struct rig_t {
    int tun_kernel = -1;  // the kernel's side of the "TUN device"
    int peer = -1;        // the peer's UDP socket
    sockaddr_in cli_addr{};
    sdwan_t *clnt = nullptr;
    uint8_t pkt[SDWAN_PKTBUF];       // an IP packet as the kernel would route it to the TUN device
    uint8_t dgram[SDWAN_PKTBUF];     // the same packet as the peer sends it, DATA or EDATA
    uint8_t sink[SDWAN_PKTBUF];
    uint32_t len = 0;
    // The offload paths: what the "kernel" reads or writes in one go, and the peer's train.
    uint8_t super[VNET_READ_MAX];
    uint32_t super_len = 0;
    uint8_t train[VNET_TRAIN_BYTES];
    uint32_t train_len = 0;
    uint8_t bigsink[VNET_READ_MAX];
    uint8_t plain[VNET_TRAIN_BYTES];  // the sealed train's segments before each sealing
    // The small packet behind the interface's header, as the kernel hands it over.
    uint8_t vread[VNET_HDR_LEN + SDWAN_PKTBUF];
    uint32_t vread_len = 0;
};

constexpr uint32_t MTU = 1400;
constexpr uint32_t TSO_PKTS = 48;  // 48 x 1360 bytes of TCP payload: one read of 65 320 bytes
constexpr uint32_t GRO_PKTS = 46;  // 46 datagrams of 1408 bytes: one train of 64 768 bytes
constexpr uint32_t SMALL = 92;         // 64 bytes of UDP payload in IPv4
constexpr uint32_t SMALL_TRAIN = 64;   // the most one UDP_SEGMENT send takes
constexpr uint32_t SEALED_GRO_PKTS = 45;  // 45 sealed datagrams of 1433 bytes: 64 485 bytes
noise_cipher g_peer_send;  // the "peer" end of the sealed rows' session

sdwan_t g_clnt;
rig_t g_rig;

void die(const char *what)
{
    perror(what);
    exit(1);
}

void big_buffers(int fd)
{
    int v = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &v, sizeof v);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &v, sizeof v);
}

// Builds the rig for packets of `len` bytes; encrypt != 0 makes the peer send EDATA and the
// client encipher.
void rig_open(rig_t *r, uint32_t len, uint8_t encrypt, uint8_t datalog)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0)
        die("socketpair");
    big_buffers(sv[0]);
    big_buffers(sv[1]);
    r->tun_kernel = sv[1];

    r->peer = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (r->peer < 0)
        die("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(r->peer, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        die("bind peer");
    socklen_t al = sizeof a;
    getsockname(r->peer, reinterpret_cast<sockaddr *>(&a), &al);

    sdwan_t *c = &g_clnt;
    sdwclnt_record_init(c);
    c->io.tunfd = sv[0];
    c->io.udpsock = sock_udpinit();
    if (c->io.udpsock < 0)
        die("sock_udpinit");
    // The daemon never binds; here the peer must know where to send before the first datagram.
    sockaddr_in ca{};
    ca.sin_family = AF_INET;
    ca.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(c->io.udpsock, reinterpret_cast<sockaddr *>(&ca), sizeof ca) != 0)
        die("bind client");
    al = sizeof ca;
    getsockname(c->io.udpsock, reinterpret_cast<sockaddr *>(&ca), &al);
    r->cli_addr = ca;

    c->sess.state = SDWANCLNT_DATA;
    c->sess.peerip = a.sin_addr.s_addr;
    c->conf.peerport = ntohs(a.sin_port);
    c->sess.sid = 0x1234;
    c->sess.token = 0xa5a5a5a5;
    c->sess.peerencrypt = encrypt;
    c->conf.datalog = datalog;
    memcpy(c->conf.user, "bench", 6);
    memcpy(c->conf.pass, "bench-secret", 13);
    sdwan_set_key(c);
    r->clnt = c;

    r->len = len;
    for (uint32_t i = 0; i < len; i++)
        r->pkt[i] = static_cast<uint8_t>(i * 7 + 1);
    r->pkt[0] = 0x45;  // looks like IPv4; nothing on this path looks inside
    sdwan_pkthdr_t h{encrypt != 0 ? SDWAN_EDATA : SDWAN_DATA, encrypt, c->sess.sid, c->sess.token};
    sdwan_hdr_store(r->dgram, &h);
    memcpy(r->dgram + SDWAN_HDR_LEN, r->pkt, len);
    if (encrypt != 0)
        sdwan_encrypt(&c->sess.key, r->dgram + SDWAN_HDR_LEN, static_cast<int>(len));
}

// A TCP/IPv4 packet of the bench's one flow with right checksums: hdr 40 bytes, then pay bytes.
void tcp_packet(uint8_t *p, uint32_t seq, uint32_t pay, uint16_t id, uint8_t flags)
{
    memset(p, 0, 40);
    p[0] = 0x45;
    st_be16(p + 2, static_cast<uint16_t>(40 + pay));
    st_be16(p + 4, id);
    st_be16(p + 6, 0x4000);
    p[8] = 64;
    p[9] = 6;
    st_be32(p + 12, 0x0A080002);
    st_be32(p + 16, 0x0A080001);
    st_be16(p + 10, static_cast<uint16_t>(~vnet_csum(p, 20, 0)));
    st_be16(p + 20, 40000);
    st_be16(p + 22, 5201);
    st_be32(p + 24, seq);
    st_be32(p + 28, 1);
    p[32] = 0x50;
    p[33] = flags;
    st_be16(p + 34, 512);
    for (uint32_t i = 0; i < pay; i++)
        p[40 + i] = static_cast<uint8_t>(seq + i);
    const uint32_t pseudo = uint32_t{vnet_csum(p + 12, 8, 0)} + 6 + 20 + pay;
    st_be16(p + 36, static_cast<uint16_t>(~vnet_csum(p + 20, 20 + pay, pseudo)));
}

// A UDP/IPv4 packet from a sender inside the tunnel: len bytes in all, the header checksum right;
// the UDP checksum holds only the pseudo-header's sum, as the kernel leaves it for an interface
// that completes checksums (a partial checksum, NEEDS_CSUM in the header).
void udp_packet(uint8_t *p, uint32_t len)
{
    memset(p, 0, 28);
    p[0] = 0x45;
    st_be16(p + 2, static_cast<uint16_t>(len));
    st_be16(p + 6, 0x4000);
    p[8] = 64;
    p[9] = 17;
    st_be32(p + 12, 0x0A080002);
    st_be32(p + 16, 0x0A080001);
    st_be16(p + 10, static_cast<uint16_t>(~vnet_csum(p, 20, 0)));
    st_be16(p + 20, 40001);
    st_be16(p + 22, 5201);
    st_be16(p + 24, static_cast<uint16_t>(len - 20));
    for (uint32_t i = 28; i < len; i++)
        p[i] = static_cast<uint8_t>(i * 7 + 1);
    st_be16(p + 26, vnet_csum(p + 12, 8, 17 + len - 20));
}

// The small rows: the rig's packet a UDP one, and its datagram the peer's.
void rig_small(rig_t *r)
{
    udp_packet(r->pkt, SMALL);
    r->len = SMALL;
    memcpy(r->dgram + SDWAN_HDR_LEN, r->pkt, SMALL);
    if (r->clnt->sess.peerencrypt != 0)
        sdwan_encrypt(&r->clnt->sess.key, r->dgram + SDWAN_HDR_LEN, static_cast<int>(SMALL));
    vnet_hdr_t h{VNET_F_NEEDS_CSUM, VNET_GSO_NONE, 0, 0, 20, 6};
    vnet_hdr_store(r->vread, &h);
    memcpy(r->vread + VNET_HDR_LEN, r->pkt, SMALL);
    r->vread_len = VNET_HDR_LEN + SMALL;
    for (uint32_t i = 0; i < SMALL_TRAIN; i++)
        memcpy(r->train + i * (SDWAN_HDR_LEN + SMALL), r->dgram, SDWAN_HDR_LEN + SMALL);
    r->train_len = SMALL_TRAIN * (SDWAN_HDR_LEN + SMALL);
}

// The offload rig: the client's descriptor and socket as the daemon has them with offloads.
void rig_offload(rig_t *r, uint8_t encrypt)
{
    sdwan_t *c = r->clnt;
    c->io.tunoff = TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4;
    c->io.udpgso = sock_gso_probe(c->io.udpsock) == 0;
    c->io.udpgro = sock_gro_enable(c->io.udpsock) == 0;
    c->conf.mtu = MTU;
    c->sess.peermtu = MTU;
    if (!c->io.udpgso || !c->io.udpgro)
        die("the kernel offers no UDP GSO or GRO");

    // Out: the super-packet as the kernel's TCP hands it over, the checksum left partial.
    const uint32_t mss = MTU - 40;
    vnet_hdr_t h{VNET_F_NEEDS_CSUM, VNET_GSO_TCPV4, 40, static_cast<uint16_t>(mss), 20, 16};
    vnet_hdr_store(r->super, &h);
    tcp_packet(r->super + VNET_HDR_LEN, 1, TSO_PKTS * mss, 7, 0x18);
    r->super_len = VNET_HDR_LEN + 40 + TSO_PKTS * mss;

    // In: the peer's train, each datagram a header and one segment of the flow.
    r->train_len = 0;
    for (uint32_t i = 0; i < GRO_PKTS; i++) {
        uint8_t *d = r->train + r->train_len;
        sdwan_pkthdr_t dh{encrypt != 0 ? SDWAN_EDATA : SDWAN_DATA, encrypt, c->sess.sid, c->sess.token};
        sdwan_hdr_store(d, &dh);
        tcp_packet(d + SDWAN_HDR_LEN, 1 + i * mss, mss, static_cast<uint16_t>(100 + i), i + 1 == GRO_PKTS ? 0x18 : 0x10);
        if (encrypt != 0)
            sdwan_encrypt(&c->sess.key, d + SDWAN_HDR_LEN, static_cast<int>(MTU));
        r->train_len += SDWAN_HDR_LEN + MTU;
    }
}

// The sealed session's keys as a handshake leaves them, fixed; the peer's train of sealed
// segments laid out (sealed_train seals it before each send).
void rig_sealed(rig_t *r)
{
    sdwan_t *c = r->clnt;
    if (seal_init() != 0)
        die("seal_init");
    uint8_t k1[NOISE_KEY], k2[NOISE_KEY];
    for (uint32_t i = 0; i < NOISE_KEY; i++) {
        k1[i] = static_cast<uint8_t>(i + 1);
        k2[i] = static_cast<uint8_t>(0x80 + i);
    }
    c->conf.peerkey_state = SDWAN_PEERKEY_SET;
    sdwan_sealkeys_t &k = c->seal.cur;
    (void)aead_open(&c->io.aead);
    noise_cipher_init(&k.send, &c->io.aead, k1);
    noise_cipher_init(&k.recv, &c->io.aead, k2);
    static aead_ctx_t peer_aead{};  // the peer's own, as in its process
    (void)aead_open(&peer_aead);
    noise_cipher_init(&g_peer_send, &peer_aead, k2);
    replay_init(&k.win);
    k.mine = 0x11111111;
    k.theirs = 0x22222222;
    k.live = true;
    const uint32_t mss = MTU - 40;
    r->train_len = 0;
    for (uint32_t i = 0; i < SEALED_GRO_PKTS; i++) {
        uint8_t *d = r->plain + r->train_len;
        tcp_packet(d + SEAL_HEAD, 1 + i * mss, mss, static_cast<uint16_t>(100 + i),
                   i + 1 == SEALED_GRO_PKTS ? 0x18 : 0x10);
        r->train_len += SEAL_OVERHEAD + MTU;
    }
}

void rig_close(rig_t *r)
{
    close(r->tun_kernel);
    close(r->peer);
    close(r->clnt->io.tunfd);
    sock_close(r->clnt->io.udpsock);
}

// One packet from the "kernel" into the TUN device, through the daemon, out at the peer.
inline bool out_one(rig_t *r)
{
    if (write(r->tun_kernel, r->pkt, r->len) != static_cast<ssize_t>(r->len))
        return false;
    sdwclnt_tun_recv(r->clnt);
    return recv(r->peer, r->sink, sizeof r->sink, 0) == static_cast<ssize_t>(r->len + SDWAN_HDR_LEN);
}

// One datagram from the peer, through the daemon, out of the TUN device to the "kernel".
inline bool in_one(rig_t *r)
{
    const size_t n = r->len + SDWAN_HDR_LEN;
    if (sendto(r->peer, r->dgram, n, 0, reinterpret_cast<sockaddr *>(&r->cli_addr), sizeof r->cli_addr) !=
        static_cast<ssize_t>(n))
        return false;
    sdwan_sock_recv(r->clnt);
    return read(r->tun_kernel, r->sink, sizeof r->sink) == static_cast<ssize_t>(r->len);
}

// One small packet read with the interface's header, out at the peer as one datagram.
inline bool out_vnet(rig_t *r)
{
    if (write(r->tun_kernel, r->vread, r->vread_len) != static_cast<ssize_t>(r->vread_len))
        return false;
    sdwclnt_tun_recv(r->clnt);
    return recv(r->peer, r->sink, sizeof r->sink, 0) == static_cast<ssize_t>(r->len + SDWAN_HDR_LEN);
}

// One small datagram from the peer, received on the socket that takes trains, written behind the
// interface's header.
inline bool in_vnet(rig_t *r)
{
    const size_t n = r->len + SDWAN_HDR_LEN;
    if (sendto(r->peer, r->dgram, n, 0, reinterpret_cast<sockaddr *>(&r->cli_addr), sizeof r->cli_addr) !=
        static_cast<ssize_t>(n))
        return false;
    sdwan_sock_recv(r->clnt);
    return read(r->tun_kernel, r->sink, sizeof r->sink) == static_cast<ssize_t>(VNET_HDR_LEN + r->len);
}

// The peer's batch of small datagrams as one train, received whole; each packet is its own write.
inline bool in_small_train(rig_t *r)
{
    bool gso = true;
    if (sock_send_gso(r->peer, r->cli_addr.sin_addr.s_addr, ntohs(r->cli_addr.sin_port), r->train, r->train_len,
                      SDWAN_HDR_LEN + SMALL, &gso) != static_cast<int>(r->train_len))
        return false;
    sdwan_sock_recv(r->clnt);
    for (uint32_t i = 0; i < SMALL_TRAIN; i++)
        if (read(r->tun_kernel, r->sink, sizeof r->sink) != static_cast<ssize_t>(VNET_HDR_LEN + SMALL))
            return false;
    return true;
}

// One 64 KiB TCP read from the "kernel", cut by the daemon into TSO_PKTS datagrams that reach the
// peer (the loopback delivers a train as its datagrams to a plain socket).
inline bool out_tso(rig_t *r)
{
    if (write(r->tun_kernel, r->super, r->super_len) != static_cast<ssize_t>(r->super_len))
        return false;
    sdwclnt_tun_recv(r->clnt);
    for (uint32_t i = 0; i < TSO_PKTS; i++)
        if (recv(r->peer, r->sink, sizeof r->sink, 0) != static_cast<ssize_t>(MTU + SDWAN_HDR_LEN))
            return false;
    return true;
}

// One train from the peer, received whole and written to the "kernel" joined again.
inline bool in_gro(rig_t *r)
{
    bool gso = true;
    if (sock_send_gso(r->peer, r->cli_addr.sin_addr.s_addr, ntohs(r->cli_addr.sin_port), r->train, r->train_len,
                      SDWAN_HDR_LEN + MTU, &gso) != static_cast<int>(r->train_len))
        return false;
    sdwan_sock_recv(r->clnt);
    return read(r->tun_kernel, r->bigsink, sizeof r->bigsink) ==
           static_cast<ssize_t>(VNET_HDR_LEN + 40 + GRO_PKTS * (MTU - 40));
}

// The sealed super-packet out: 48 sealed datagrams at the peer.
inline bool out_tso_sealed(rig_t *r)
{
    if (write(r->tun_kernel, r->super, r->super_len) != static_cast<ssize_t>(r->super_len))
        return false;
    sdwclnt_tun_recv(r->clnt);
    for (uint32_t i = 0; i < TSO_PKTS; i++)
        if (recv(r->peer, r->sink, sizeof r->sink, 0) != static_cast<ssize_t>(MTU + SEAL_OVERHEAD))
            return false;
    return true;
}

// The peer's train of sealed segments, each sealed anew under the next counters (outside the
// measured handler), received whole, opened and written joined.
inline bool in_gro_sealed(rig_t *r)
{
    const uint32_t dlen = SEAL_OVERHEAD + MTU;
    memcpy(r->train, r->plain, r->train_len);
    for (uint32_t i = 0; i < SEALED_GRO_PKTS; i++) {
        uint8_t *d = r->train + i * dlen;
        d[0] = SDWAN_SDATA;
        d[1] = d[2] = d[3] = 0;
        st_le32(d + 4, 0x11111111);
        st_le64(d + 8, g_peer_send.n);
        d[SEAL_HDR] = SEAL_KIND_IP;
        if (noise_encrypt(&g_peer_send, {d, SEAL_HDR}, {d + SEAL_HDR, MTU + 1}, {d + SEAL_HDR, MTU + 1 + SEAL_TAG}) < 0)
            return false;
    }
    bool gso = true;
    if (sock_send_gso(r->peer, r->cli_addr.sin_addr.s_addr, ntohs(r->cli_addr.sin_port), r->train, r->train_len, dlen,
                      &gso) != static_cast<int>(r->train_len))
        return false;
    sdwan_sock_recv(r->clnt);
    const ssize_t n = read(r->tun_kernel, r->bigsink, sizeof r->bigsink);
    return n == static_cast<ssize_t>(VNET_HDR_LEN + 40 + SEALED_GRO_PKTS * (MTU - 40));
}

// The system calls that any forwarder of this design makes for one packet, with the same
// injection and removal: what is left of the daemon's figure above this is its own work.
inline bool out_floor(rig_t *r)
{
    if (write(r->tun_kernel, r->pkt, r->len) != static_cast<ssize_t>(r->len))
        return false;
    ssize_t n = read(r->clnt->io.tunfd, r->dgram + SDWAN_HDR_LEN, SDWAN_PKTBUF - SDWAN_HDR_LEN);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(r->clnt->conf.peerport);
    to.sin_addr.s_addr = r->clnt->sess.peerip;
    sendto(r->clnt->io.udpsock, r->dgram, static_cast<size_t>(n) + SDWAN_HDR_LEN, 0,
           reinterpret_cast<sockaddr *>(&to), sizeof to);
    return recv(r->peer, r->sink, sizeof r->sink, 0) == static_cast<ssize_t>(r->len + SDWAN_HDR_LEN);
}

inline bool in_floor(rig_t *r)
{
    const size_t n = r->len + SDWAN_HDR_LEN;
    if (sendto(r->peer, r->dgram, n, 0, reinterpret_cast<sockaddr *>(&r->cli_addr), sizeof r->cli_addr) !=
        static_cast<ssize_t>(n))
        return false;
    uint8_t buf[SDWAN_PKTBUF];
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t m = recvfrom(r->clnt->io.udpsock, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl);
    if (m > static_cast<ssize_t>(SDWAN_HDR_LEN))
        (void)!write(r->clnt->io.tunfd, buf + SDWAN_HDR_LEN, static_cast<size_t>(m) - SDWAN_HDR_LEN);
    return read(r->tun_kernel, r->sink, sizeof r->sink) == static_cast<ssize_t>(r->len);
}

// Both descriptors registered with the event core and served by one loop iteration, as in the
// daemon under load in both directions: two packets per iteration.
inline bool loop_two(rig_t *r)
{
    const size_t n = r->len + SDWAN_HDR_LEN;
    if (write(r->tun_kernel, r->pkt, r->len) != static_cast<ssize_t>(r->len))
        return false;
    if (sendto(r->peer, r->dgram, n, 0, reinterpret_cast<sockaddr *>(&r->cli_addr), sizeof r->cli_addr) !=
        static_cast<ssize_t>(n))
        return false;
    poll_once(0);
    bool ok = recv(r->peer, r->sink, sizeof r->sink, 0) == static_cast<ssize_t>(n);
    return read(r->tun_kernel, r->sink, sizeof r->sink) == static_cast<ssize_t>(r->len) && ok;
}

void loop_register(rig_t *r)
{
    poll_init();
    tm_init();
    poll_add(r->clnt->io.tunfd, sdwclnt_tun_recv, r->clnt);
    poll_add(r->clnt->io.udpsock, sdwan_sock_recv, r->clnt);
}

void loop_unregister(rig_t *r)
{
    poll_del(r->clnt->io.tunfd);
    poll_del(r->clnt->io.udpsock);
}

// The log goes to /dev/null (a write that costs nothing to keep, an fsync that fails at once)
// unless a benchmark asks for a real file.
void log_to(const char *path)
{
    log_deinit();
    if (strcmp(path, "/dev/null") == 0) {
        // The daemon takes only a regular file as its log; the seam takes the device.
        log_use_fd(open(path, O_WRONLY | O_CLOEXEC));
        return;
    }
    logfile_path = path;
    log_init();
}

template <bool (*STEP)(rig_t *)>
void run_bench(benchmark::State &st, uint8_t datalog, int packets_per_step, const char *logpath)
{
    rig_t *r = &g_rig;
    if (logpath != nullptr)
        log_to(logpath);
    rig_open(r, static_cast<uint32_t>(st.range(0)), static_cast<uint8_t>(st.range(1)), datalog);
    if (STEP == out_tso || STEP == in_gro || STEP == out_vnet || STEP == in_vnet || STEP == in_small_train)
        rig_offload(r, static_cast<uint8_t>(st.range(1)));
    if (STEP == out_vnet || STEP == in_vnet || STEP == in_small_train)
        rig_small(r);
    if (STEP == loop_two)
        loop_register(r);
    const uint64_t a0 = g_allocs.load();
    for (auto _ : st) {
        if (!STEP(r)) {
            st.SkipWithError("a packet was lost");
            break;
        }
    }
    const uint64_t a1 = g_allocs.load();
    const int64_t pkts = st.iterations() * packets_per_step;
    st.SetItemsProcessed(pkts);
    st.counters["pkts/iter"] = packets_per_step;
    st.counters["allocs/pkt"] = pkts > 0 ? static_cast<double>(a1 - a0) / static_cast<double>(pkts) : 0.0;
    if (STEP == loop_two)
        loop_unregister(r);
    rig_close(r);
    if (logpath != nullptr)
        log_to("/dev/null");
}

void BM_outbound(benchmark::State &st) { run_bench<out_one>(st, 0, 1, nullptr); }
void BM_outbound_syscalls_only(benchmark::State &st) { run_bench<out_floor>(st, 0, 1, nullptr); }
void BM_inbound_datalog0(benchmark::State &st) { run_bench<in_one>(st, 0, 1, nullptr); }
void BM_inbound_syscalls_only(benchmark::State &st) { run_bench<in_floor>(st, 0, 1, nullptr); }
void BM_loop_both_directions(benchmark::State &st) { run_bench<loop_two>(st, 0, 2, nullptr); }
void BM_outbound_tso(benchmark::State &st) { run_bench<out_tso>(st, 0, TSO_PKTS, nullptr); }
void BM_inbound_gro(benchmark::State &st) { run_bench<in_gro>(st, 0, GRO_PKTS, nullptr); }
void BM_outbound_vnet(benchmark::State &st) { run_bench<out_vnet>(st, 0, 1, nullptr); }
void BM_inbound_vnet(benchmark::State &st) { run_bench<in_vnet>(st, 0, 1, nullptr); }
void BM_inbound_small_train(benchmark::State &st) { run_bench<in_small_train>(st, 0, SMALL_TRAIN, nullptr); }

// The log file of the benchmarks that sync their lines: in /tmp, the file system of the daemon's
// default log path.
char g_disklog[64];
void BM_inbound_datalog1_synced(benchmark::State &st) { run_bench<in_one>(st, 1, 1, g_disklog); }

// The per-packet line alone: formatting and one write (the log on /dev/null), then the same line
// synced to a file on disk as the daemon does.
void BM_logline_unsynced(benchmark::State &st)
{
    const uint64_t a0 = g_allocs.load();
    for (auto _ : st)
        log_help("Successfully processed and forwarded data, packet length: %d\n", 1400);
    st.counters["allocs/pkt"] = static_cast<double>(g_allocs.load() - a0) / static_cast<double>(st.iterations());
}
void BM_logline_synced(benchmark::State &st)
{
    log_to(g_disklog);
    const uint64_t a0 = g_allocs.load();
    for (auto _ : st)
        log_help("Successfully processed and forwarded data, packet length: %d\n", 1400);
    st.counters["allocs/pkt"] = static_cast<double>(g_allocs.load() - a0) / static_cast<double>(st.iterations());
    log_to("/dev/null");
}

// {packet length, encrypt}: a 64-byte UDP payload makes a 92-byte IP packet; 1400 is the MTU.
void sizes(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"len", "xor"});
    for (int len : {92, 1400})
        for (int x : {0, 1})
            b->Args({len, x});
}

BENCHMARK(BM_outbound)->Apply(sizes);
BENCHMARK(BM_outbound_syscalls_only)->Args({92, 0})->Args({1400, 0})->ArgNames({"len", "xor"});
BENCHMARK(BM_inbound_datalog0)->Apply(sizes);
BENCHMARK(BM_inbound_syscalls_only)->Args({92, 0})->Args({1400, 0})->ArgNames({"len", "xor"});
BENCHMARK(BM_loop_both_directions)->Args({92, 0})->Args({1400, 0})->Args({1400, 1})->ArgNames({"len", "xor"});
BENCHMARK(BM_outbound_tso)->Args({1400, 0})->Args({1400, 1})->ArgNames({"len", "xor"});
BENCHMARK(BM_inbound_gro)->Args({1400, 0})->Args({1400, 1})->ArgNames({"len", "xor"});
BENCHMARK(BM_outbound_vnet)->Args({SMALL, 0})->ArgNames({"len", "xor"});
BENCHMARK(BM_inbound_vnet)->Args({SMALL, 0})->ArgNames({"len", "xor"});
BENCHMARK(BM_inbound_small_train)->Args({SMALL, 0})->ArgNames({"len", "xor"});
BENCHMARK(BM_inbound_datalog1_synced)->Args({1400, 0})->ArgNames({"len", "xor"})->MinTime(0.5);
BENCHMARK(BM_logline_unsynced);
BENCHMARK(BM_logline_synced)->MinTime(0.5);

// Callgrind driver: N packets through one path; bench/micro.sh collects only inside the handler.
int callgrind_main(const char *what, long n)
{
    rig_t *r = &g_rig;
    bool (*step)(rig_t *) = nullptr;
    uint8_t enc = 0;
    uint8_t datalog = 0;
    bool small = false;
    if (strcmp(what, "out") == 0) {
        step = out_one;
    } else if (strcmp(what, "out-xor") == 0) {
        step = out_one;
        enc = 1;
    } else if (strcmp(what, "in") == 0) {
        step = in_one;
    } else if (strcmp(what, "in-xor") == 0) {
        step = in_one;
        enc = 1;
    } else if (strcmp(what, "in-log") == 0) {
        step = in_one;
        datalog = 1;
        log_to(g_disklog);
    } else if (strcmp(what, "loop") == 0) {
        step = loop_two;
    } else if (strcmp(what, "out-tso") == 0 || strcmp(what, "out-tso-xor") == 0) {
        step = out_tso;
        enc = strstr(what, "xor") != nullptr ? 1 : 0;
    } else if (strcmp(what, "in-gro") == 0 || strcmp(what, "in-gro-xor") == 0) {
        step = in_gro;
        enc = strstr(what, "xor") != nullptr ? 1 : 0;
    } else if (strcmp(what, "out-small") == 0) {
        step = out_one;
        small = true;
    } else if (strcmp(what, "in-small") == 0) {
        step = in_one;
        small = true;
    } else if (strcmp(what, "out-small-vnet") == 0) {
        step = out_vnet;
    } else if (strcmp(what, "in-small-gro") == 0) {
        step = in_vnet;
    } else if (strcmp(what, "in-small-train") == 0) {
        step = in_small_train;
    } else if (strcmp(what, "out-tso-sealed") == 0) {
        step = out_tso_sealed;
    } else if (strcmp(what, "in-gro-sealed") == 0) {
        step = in_gro_sealed;
    } else {
        fprintf(stderr, "--callgrind takes out, out-xor, in, in-xor, in-log, loop, out-tso, out-tso-xor, in-gro, "
                        "in-gro-xor, out-small, in-small, out-small-vnet, in-small-gro, in-small-train, out-tso-sealed or "
                        "in-gro-sealed\n");
        return 2;
    }
    const bool vnet_small = step == out_vnet || step == in_vnet || step == in_small_train;
    rig_open(r, small || vnet_small ? SMALL : 1400, enc, datalog);
    const bool sealed = step == out_tso_sealed || step == in_gro_sealed;
    if (step == out_tso || step == in_gro || vnet_small || sealed)
        rig_offload(r, enc);
    if (sealed)
        rig_sealed(r);
    if (small || vnet_small)
        rig_small(r);
    if (step == loop_two)
        loop_register(r);
    const uint64_t a0 = g_allocs.load();
    for (long i = 0; i < n; i++) {
        if (!step(r)) {
            fprintf(stderr, "packet %ld lost\n", i);
            return 1;
        }
    }
    const long per = step == loop_two                               ? 2
                     : step == out_tso || step == out_tso_sealed    ? TSO_PKTS
                     : step == in_gro                               ? GRO_PKTS
                     : step == in_gro_sealed                        ? SEALED_GRO_PKTS
                     : step == in_small_train                       ? SMALL_TRAIN
                                                                    : 1;
    printf("packets %ld allocations %llu\n", n * per,
           static_cast<unsigned long long>(g_allocs.load() - a0));
    rig_close(r);
    log_to("/dev/null");
    unlink(g_disklog);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    snprintf(g_disklog, sizeof g_disklog, "/tmp/bench_datapath.%d.log", static_cast<int>(getpid()));
    log_to("/dev/null");
    if (argc == 4 && strcmp(argv[1], "--callgrind") == 0)
        return callgrind_main(argv[2], strtol(argv[3], nullptr, 10));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(g_disklog);
    return 0;
}
