// The peer server, sdwan-peerd: the far end of the tunnel. One UDP port serves many clients;
// each accepted client is a session keyed by its address and port, owning one address of a /24
// pool whose .1 sits on the server's own TUN interface.
//
// Everything lives in one static record, _peer (peer_sess.cpp): the configuration, the session
// table, the receive and send batches. Nothing is allocated once the server has started.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>

#include "bytes.h"
#include "proto/aes.h"
#include "sdwan.h"

inline constexpr int PEER_MAX_SESS = 64;      // live sessions at once
inline constexpr int PEER_MAX_USERS = 256;    // user= lines
inline constexpr uint8_t PEER_NONE = 0xFF;    // "no session" in the index tables
inline constexpr uint32_t PEER_SILENCE_SEC = 15;  // clients give up after 9 s; we wait longer
inline constexpr uint16_t PEER_MTU_DEFAULT = 1400;
inline constexpr uint16_t PEER_MTU_MIN = 68;  // the smallest MTU Linux accepts for IPv4
inline constexpr uint16_t PEER_MTU_MAX = SDWAN_MTU_MAX;
inline constexpr int PEER_RX_BATCH = 32;      // datagrams per recvmmsg
inline constexpr int PEER_RX_ROUNDS = 4;      // recvmmsg calls per readiness, so TUN gets its turn
inline constexpr int PEER_TX_BATCH = 64;      // datagrams per sendmmsg
inline constexpr int PEER_TUN_BURST = 64;     // TUN reads per readiness
inline constexpr int PEER_SOCKBUF = 4 << 20;  // SO_RCVBUF / SO_SNDBUF
inline constexpr int PEER_LOGPATH = 256;
inline constexpr int PEER_ERRLEN = 160;

// One user= line, with what the handshake and the data path derive from it at start-up.
struct peer_user_t {
    char name[32];          // 1..31 characters
    char pass[32];          // 1..31 characters
    uint32_t fixed_ip;      // network order; 0 = take any free pool address
    uint8_t namelen;
    uint8_t passkey[16];    // MD5(salt | name): the AES key of the OPEN password block
    uint8_t passblk[16];    // first 16 password characters, zero padded: the expected plain block
    sdwan_key_t key;        // payload key, derived exactly as the client derives its own
};

struct peer_cfg_t {
    char tun_name[16];      // [section] line
    uint16_t port;          // port=
    uint32_t listen;        // listen=, network order; 0 = every address of the host
    uint32_t pool;          // pool=, network order, host part 0
    uint16_t mtu;           // mtu=, offered in OPENACK and set on the TUN interface
    uint8_t encrypt;        // encrypt=: grant enciphering to clients that ask
    uint32_t dns0, dns1;    // dns=, network order; 0 when absent
    char log[PEER_LOGPATH]; // log=
    int nusers;
    peer_user_t users[PEER_MAX_USERS];
};

struct peer_sess_t {
    uint8_t live;
    uint8_t encrypt;        // granted value; nonzero: data to this client goes out as EDATA
    uint8_t hnext;          // next session in the same address hash chain
    uint16_t sid;           // wire bytes in memory order, as in sdwan_pkthdr_t
    uint32_t token;         // wire bytes in memory order
    uint32_t ipbe;          // client's UDP address, network order
    uint16_t port;          // client's UDP port, host order
    uint16_t user;          // index into cfg.users
    uint32_t addr;          // tunnel address handed out, network order
    uint32_t lastsec;       // last datagram accepted from the client
    uint64_t rxpkts, txpkts;  // data packets client -> TUN, TUN -> client
};

// Counters of the whole server. Every dropped datagram or packet lands in exactly one drop_*.
struct peer_stats_t {
    uint64_t rx_dgrams;      // datagrams received on the UDP port
    uint64_t tx_dgrams;      // datagrams sent
    uint64_t tx_drop;        // datagrams the socket refused
    uint64_t drop_short;     // shorter than its type needs (header, signature, echo tick)
    uint64_t drop_trunc;     // longer than the receive buffer
    uint64_t drop_sig;       // signature did not verify
    uint64_t drop_malformed; // OPEN option list broken or without user/password
    uint64_t drop_type;      // a type clients never send
    uint64_t drop_nosess;    // data or echo from an address without a session
    uint64_t drop_token;     // sid or token not those of the sender's session
    uint64_t drop_badip;     // payload not an IPv4 packet from the session's own address
    uint64_t drop_noroute;   // TUN packet for an address no session owns
    uint64_t tun_rx;         // packets read from the TUN interface
    uint64_t tun_tx;         // packets written to the TUN interface
    uint64_t tun_txerr;      // TUN writes that failed
    uint64_t open_ok;        // sessions created
    uint64_t open_again;     // repeated OPEN answered with the existing session
    uint64_t open_rej;       // OPENREJ sent
    uint64_t echo;           // ECHORESP sent
    uint64_t sess_silent;    // sessions dropped for silence
    uint64_t sess_replaced;  // sessions replaced by a new one of the same user or address
    uint64_t sess_closed;    // sessions closed at shutdown
};

// Outbound datagram being assembled in the send batch.
struct peer_txslot_t {
    uint32_t ipbe;
    uint16_t port;
    uint16_t len;
    uint8_t buf[SDWAN_PKTBUF];
};

struct peer_t {
    peer_cfg_t cfg;
    int udpfd;
    int tunfd;
    uint32_t now;                      // os_cursec() of the batch being handled
    peer_sess_t sess[PEER_MAX_SESS];
    uint8_t hash[256];                 // (address, port) hash -> first session of the chain
    uint8_t byhost[256];               // last octet of a pool address -> its session
    uint8_t reserved[256];             // nonzero: fixed address of some user, not handed to others
    peer_stats_t st;
    sdwan_aes_t aes;                   // deciphers the OPEN password block
    int ntx;
    peer_txslot_t tx[PEER_TX_BATCH];
    // The system calls' views of the batches: the send slots' addresses and buffers, and the
    // receive batch itself, all in the one static record so nothing is allocated.
    sockaddr_in tx_addr[PEER_TX_BATCH];
    iovec tx_iov[PEER_TX_BATCH];
    mmsghdr tx_msg[PEER_TX_BATCH];
    uint8_t rx_buf[PEER_RX_BATCH][SDWAN_PKTBUF];
    sockaddr_in rx_addr[PEER_RX_BATCH];
    iovec rx_iov[PEER_RX_BATCH];
    mmsghdr rx_msg[PEER_RX_BATCH];
};

extern peer_t _peer;

// Pool addresses: the /24 network, and the host octet that indexes byhost and reserved.
inline uint8_t peer_hostpart(uint32_t ipbe)
{
    uint8_t b[4];
    st_raw32(b, ipbe);
    return b[3];
}
inline uint32_t peer_netpart(uint32_t ipbe)
{
    uint8_t b[4];
    st_raw32(b, ipbe);
    b[3] = 0;
    return ld_raw32(b);
}
inline uint32_t peer_pool_addr(uint32_t pool, uint8_t host)
{
    uint8_t b[4];
    st_raw32(b, pool);
    b[3] = host;
    return ld_raw32(b);
}

// Configuration (peer_cfg.cpp). 0 on success; -1 with one line in err naming the fault.
int peer_cfg_read(FILE *fp, peer_cfg_t *cfg, char *err, size_t errlen);
int peer_cfg_load(const char *path, peer_cfg_t *cfg, char *err, size_t errlen);
int peer_parse_addr(const char *text, uint32_t *ipbe);  // strict a.b.c.d; 0 or -1

// Sessions (peer_sess.cpp).
int peer_setup(peer_t *p);     // derives the per-user keys, empties the table; 0 or -1
void peer_teardown(peer_t *p); // releases what peer_setup acquired
peer_sess_t *peer_sess_find(peer_t *p, uint32_t ipbe, uint16_t port);
peer_sess_t *peer_sess_of_user(peer_t *p, int user);
peer_sess_t *peer_sess_by_addr(peer_t *p, uint32_t addr);
peer_sess_t *peer_sess_new(peer_t *p, uint32_t ipbe, uint16_t port, int user, uint32_t addr);
void peer_sess_free(peer_t *p, peer_sess_t *s);
uint32_t peer_addr_pick(peer_t *p, int user);  // a free pool address for user, 0 when none
int peer_live_count(const peer_t *p);
void peer_sess_log(const peer_t *p, const peer_sess_t *s, const char *what);  // one session event line
void peer_tick(void *arg);     // one-second timer: drops silent sessions

// Packets (peer_proto.cpp). Replies go into the send batch; data for the TUN interface is
// written to p->tunfd at once.
void peer_on_datagram(peer_t *p, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len);
void peer_on_tunpkt(peer_t *p, peer_txslot_t *slot, uint32_t len);  // packet at slot->buf + 8
void peer_send_close(peer_t *p, peer_sess_t *s);
uint32_t peer_pktopenack(const peer_t *p, const peer_sess_t *s, uint8_t *buf);
uint32_t peer_pktopenrej(uint8_t *buf);

// Batched I/O and the event-core callbacks (peer_io.cpp).
peer_txslot_t *peer_tx_slot(peer_t *p);  // the next free send slot, flushing a full batch first
void peer_tx_commit(peer_t *p);          // the slot from peer_tx_slot goes out with the batch
void peer_tx_flush(peer_t *p);
int peer_udp_open(uint32_t ipbe, uint16_t port);  // bound, non-blocking, large buffers; -1 on failure
void peer_udp_recv(void *arg);           // poller callback of the UDP socket
void peer_tun_recv(void *arg);           // poller callback of the TUN descriptor
void peer_close_all(peer_t *p);          // CLOSE to every client, sessions ended

// Process entry (peer_main.cpp), kept in the library so tests can run it in a child.
int peer_main(int argc, char **argv);
