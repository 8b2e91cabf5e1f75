// The peer server, sdwan-peerd: the far end of the tunnel. One UDP port serves many clients;
// each accepted client is a session keyed by its address and port, owning one address of the
// pool: a prefix of /16 to /24 split into /24s, each with its .1 on the server's own TUN
// interface (a client always takes the .1 of its own /24 as its gateway).
//
// Everything lives in one record, peer_t, owned by the process entry (peer_main) and passed to
// every function: the configuration, the session table, the receive and send batches. The tables are sized by the configuration and allocated
// once at start-up (and at a reload of the user list); nothing is allocated on the packet path.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>

#include "bytes.h"
#include "net/sock.h"
#include "net/vnet.h"
#include "proto/aes.h"
#include "proto/opts.h"
#include "seal/keyfile.h"
#include "seal/noise.h"
#include "seal/replay.h"
#include "sdwan.h"

inline constexpr uint32_t PEER_SESS_DEFAULT = 1024;  // sessions= when absent
inline constexpr uint32_t PEER_SESS_MAX = 60000;     // below the 65535 nonzero session ids
inline constexpr int PEER_MAX_USERS = 200000;        // user= lines
inline constexpr long PEER_CFG_FILE_MAX = 16L << 20;  // bytes of configuration file
inline constexpr uint32_t PEER_NONE = 0xFFFFFFFFu;   // "no session" / "no user" in the index tables
inline constexpr uint32_t PEER_SILENCE_SEC = 15;  // clients give up after 9 s; we wait longer
// An OPEN never displaces a session of the same user heard from in the last PEER_HOLD_SEC:
// a live client echoes every 2 s, so 6 s is three echoes, two of them lost, and a captured
// OPEN replayed from other ports cannot push it out; nor can another user's OPEN sent with the
// session's own address and port. A client that restarted finds its old session silent at
// most 6 s after its last datagram and gets through at its next attempt.
inline constexpr uint32_t PEER_HOLD_SEC = 6;
// Remotely triggered log lines (rejections, repeated OPENs): at most PEER_RLOG_PER_SRC per
// source address and PEER_RLOG_LINES in all per PEER_RLOG_SEC, then one summary line with the
// counts of what was not logged.
inline constexpr uint32_t PEER_RLOG_SEC = 10;
inline constexpr uint32_t PEER_RLOG_PER_SRC = 3;
inline constexpr uint32_t PEER_RLOG_LINES = 20;
inline constexpr int PEER_RLOG_SLOTS = 1024;  // source addresses tracked per interval
inline constexpr uint32_t PEER_POOL_MINLEN = 16;
inline constexpr uint32_t PEER_METRICS_SEC = 10;  // pool=a.b.0.0/16: 256 /24s
inline constexpr uint16_t PEER_MTU_DEFAULT = 1400;
inline constexpr uint16_t PEER_MTU_MIN = 68;  // the smallest MTU Linux accepts for IPv4
inline constexpr uint16_t PEER_MTU_MAX = SDWAN_MTU_MAX;
inline constexpr int PEER_RX_BATCH = 32;      // datagrams per recvmmsg
inline constexpr int PEER_RX_ROUNDS = 4;      // recvmmsg calls per readiness, so TUN gets its turn
inline constexpr int PEER_TX_BATCH = 64;      // datagrams per sendmmsg
// A receive buffer holds a whole train of datagrams the kernel coalesced (UDP GRO): up to 64 KB.
inline constexpr uint32_t PEER_RX_TRAIN = 65536;
// A train sent with one UDP_SEGMENT message: at most this many datagrams (the kernel's limit on
// older releases) and this many bytes (one IPv4 datagram's payload).
inline constexpr int PEER_GSO_SEGS = 64;
inline constexpr uint32_t PEER_GSO_BYTES = 65535 - 20 - 8;
inline constexpr int PEER_TUN_BURST = 64;     // TUN reads per readiness
inline constexpr int PEER_SOCKBUF = 4 << 20;  // SO_RCVBUF / SO_SNDBUF
inline constexpr int PEER_LOGPATH = 256;
// The sealed session. A handshake costs an X25519 or three: SINITs are admitted per source by a
// token bucket (PEER_SINIT_RATE a second, bursts of PEER_SINIT_BURST) in a table of
// PEER_SINIT_SLOTS sources, and by one global bucket refilled every millisecond. The global
// rate is what the loop may spend on handshakes while the data path keeps the socket drained:
// a flood of valid SINITs is stopped first by the pending pool (1024 per 5 s), so the budget
// bounds what a flood of SINITs that fail their tag (one X25519 each) costs: 4000 a second, about
// 0.2 s of a core. A burst of 128 holds the loop about 20 ms, far less than the socket's buffer
// takes to fill under a flood (about 160 ms at 25 000 datagrams a second). A mass reconnection
// needs the rate: at 2000 a second, bursts of 32, the first SINITs of 10 000 clients were refused
// and retried a second later, and all were up only after 10 s; at this budget, in 3 s. An
// answered handshake holds no session until its AUTH: it waits in a pool of PEER_SEAL_PENDING
// for PEER_SEAL_PENDING_SEC.
inline constexpr uint32_t PEER_SINIT_RATE = 20;
inline constexpr uint32_t PEER_SINIT_BURST = 40;
inline constexpr uint32_t PEER_SINIT_GLOBAL = 4000;
inline constexpr uint32_t PEER_SINIT_GLOBAL_BURST = 128;
inline constexpr uint32_t PEER_SINIT_SLOTS = 4096;
inline constexpr uint32_t PEER_SEAL_PENDING = 1024;
inline constexpr uint32_t PEER_SEAL_PENDING_SEC = 5;
// After a rekey the keys it replaced still open what was in flight for this long.
inline constexpr uint32_t PEER_SEAL_RETIRE_SEC = 15;
// Keys older than this are never used: a session whose client stopped rekeying (every 120 s) is
// closed, so that no key outlives the forward secrecy the rekey gives.
inline constexpr uint32_t PEER_SEAL_KEY_MAX_SEC = 180;
// The peer's index: random high bits over the slot of its keys, so a lookup is one load.
inline constexpr uint32_t PEER_SEAL_SLOT_BITS = 17;
inline constexpr int PEER_ERRLEN = 400;  // room for a key file path and the reason

// One user= line, with what the handshake and the data path derive from it at start-up.
struct peer_user_t {
    char name[SDWAN_USER_MAX + 1];  // 1 to 31 characters
    uint32_t unext;         // next user in the same name hash chain
    uint32_t sess;          // index of the user's live session, PEER_NONE
    char pass[SDWAN_PASS_MAX + 1];  // 1 to 31 characters
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
    uint32_t npools;        // /24s in the pool: 1 for a /24, 256 for a /16
    uint32_t sessions;      // sessions=: the size of the session table
    uint16_t mtu;           // mtu=, offered in OPENACK and set on the TUN interface
    uint8_t encrypt;        // encrypt=: grant enciphering to clients that ask
    uint8_t offload;        // offload=: use the kernel's TUN and UDP offloads where it has them
    uint32_t dns0, dns1;    // dns=, network order; 0 when absent
    uint8_t legacy;         // legacy=: answer legacy OPENs (1, the default) or refuse them
    uint8_t sealed;         // privatekey= given and read: the sealed session is spoken
    uint8_t privkey[KEY_BYTES];  // the static private key, read from privatekey= at load
    char keypath[PEER_LOGPATH];  // privatekey=
    char log[PEER_LOGPATH]; // log=
    uint32_t logsize;       // logsize=: MiB the log may reach before it is renamed to <log>.1; 0 unbounded
    char metrics[PEER_LOGPATH];  // metrics=: Prometheus text file, rewritten every PEER_METRICS_SEC
    char status[PEER_LOGPATH];   // status=: one line per live session, rewritten every second
    int nusers;
    int capusers;
    peer_user_t *users;     // allocated by the reader; peer_cfg_free releases it
    uint32_t *uhash;        // name hash -> first user of the chain
    uint32_t umask;         // hash size - 1, a power of two minus one
};

// What one source address and port of a session carried: a client with several uplinks speaks
// from each. Kept in the session record (a fixed array, nothing allocated on the way), the
// oldest replaced by a fifth source. Packets and bytes are whole datagrams, the tunnel's headers
// included: what the path carried, where the session's own counts are the IP packets.
inline constexpr int PEER_SESS_SRCS = 4;
struct peer_src_t {
    uint32_t ipbe;          // 0: a free row
    uint16_t port;
    uint32_t heard;         // p->now of the last datagram from there (or of its row's making)
    uint32_t probes;        // probes answered there (sealed PROBE, legacy ECHOREQ off the session's path)
    uint64_t rxpkts, rxbytes;
    uint64_t txpkts, txbytes;
};

struct peer_sess_t {
    uint8_t live;
    uint8_t encrypt;        // granted value; nonzero: data to this client goes out as EDATA
    uint16_t sid;           // wire bytes in memory order, as in sdwan_pkthdr_t
    uint32_t hnext;         // next session in the same address hash chain; free list when not live
    uint32_t token;         // wire bytes in memory order
    uint32_t ipbe;          // client's UDP address, network order
    uint16_t port;          // client's UDP port, host order
    uint32_t user;          // index into cfg.users
    uint32_t addr;          // tunnel address handed out, network order
    uint32_t lastsec;       // last datagram accepted from the client
    uint64_t rxpkts, txpkts;  // data packets client -> TUN, TUN -> client
    uint64_t rxbytes, txbytes;  // their IP bytes, the tunnel's headers left out
    uint32_t started;       // wall-clock second of the session's start: shown, never compared
    uint8_t sealed;         // a sealed session: keys below, never legacy DATA or echo
    uint32_t keys;          // slot of the keys it sends with (sealed)
    uint32_t oldkeys;       // slot of the keys a rekey replaced, still receiving; PEER_NONE
    uint32_t movelog;       // p->now from which the next "moved" line may be written
    peer_src_t src[PEER_SESS_SRCS];
};

// One set of sealed-session keys: answered handshake waiting for its AUTH (pending), a
// session's current keys (live), or those a rekey replaced (retiring).
enum peer_keystate_t : uint8_t { PEER_KEYS_FREE, PEER_KEYS_PENDING, PEER_KEYS_LIVE, PEER_KEYS_RETIRING };
struct peer_keys_t {
    uint32_t index;         // ours, the receiver index of what the client sends; 0 when free
    uint32_t remote;        // the client's index, the receiver index of what we send
    uint32_t sess;          // the session using these keys, PEER_NONE while pending
    uint32_t next;          // free list
    uint32_t ipbe;          // where the SINIT came from
    uint16_t port;
    uint8_t state;          // peer_keystate_t
    uint32_t until;         // p->now by which a pending or retiring set is dropped
    uint32_t born;          // p->now of the handshake that made them
    noise_cipher send, recv;
    replay_window rw;
};

// A source's token bucket for SINIT.
struct peer_srclim_t {
    uint32_t ipbe;
    uint32_t last;          // p->now of the last refill
    uint32_t tokens;
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
    uint64_t drop_tunbad;    // TUN read whose offload header or packet the split refused
    uint64_t tun_rx;         // packets read from the TUN interface
    uint64_t tun_tx;         // packets written to the TUN interface
    uint64_t tun_txerr;      // TUN writes that failed
    uint64_t open_ok;        // sessions created
    uint64_t open_again;     // repeated OPEN answered with the existing session
    uint64_t open_rej;       // OPENREJ sent, whatever the reason (the rej_* below)
    uint64_t rej_unknown;    // unknown user
    uint64_t rej_password;   // wrong password
    uint64_t rej_held;       // the user's session was heard from within PEER_HOLD_SEC
    uint64_t rej_srcheld;    // another user's session at the same source heard from within PEER_HOLD_SEC
    uint64_t rej_full;       // session table full
    uint64_t rej_noaddr;     // no free address for the user
    uint64_t log_suppressed; // remotely triggered lines counted but not logged
    uint64_t echo;           // ECHORESP sent
    uint64_t sess_silent;    // sessions dropped for silence
    uint64_t sess_replaced;  // sessions replaced by a new one of the same user or address
    uint64_t sess_closed;    // sessions closed at shutdown, or at a reload (user gone, or address fixed for another)
    uint64_t reloads;        // user lists reloaded
    uint64_t reload_fail;    // reloads refused (the old list stays)
    uint64_t rej_legacy;     // OPEN refused: legacy=0
    uint64_t seal_hs;        // SINIT answered with SRESP
    uint64_t seal_auth;      // AUTH accepted (new sessions and rekeys)
    uint64_t seal_rej;       // AUTHREJ sent
    uint64_t seal_rekeys;    // AUTH under new keys for a live sealed session
    uint64_t seal_moved;     // of those, from a new source: the session moved there
    uint64_t seal_ratelimit; // SINIT dropped by the per-source or global limit
    uint64_t seal_pendfull;  // SINIT dropped: every pending slot taken
    uint64_t seal_malformed; // sealed message of a wrong length or header, or a refused handshake message
    uint64_t seal_unknown;   // SDATA for an index we do not hold
    uint64_t seal_replay;    // SDATA counter already seen
    uint64_t seal_old;       // SDATA counter behind the window
    uint64_t seal_badtag;    // SDATA whose tag did not verify
    uint64_t seal_kind;      // SDATA of a kind not expected in its state
    uint64_t seal_expired;   // sealed sessions closed: their keys reached PEER_SEAL_KEY_MAX_SEC unrenewed
    uint64_t seal_probes;    // PROBEACK sent
    uint64_t seal_srcheld;   // SDATA that would have moved its session to a source another live session holds
};

// Remotely triggered events whose log lines are rate-limited.
enum peer_ev_t : uint8_t {
    PEER_EV_UNKNOWN,
    PEER_EV_PASSWORD,
    PEER_EV_HELD,
    PEER_EV_SRCHELD,
    PEER_EV_FULL,
    PEER_EV_NOADDR,
    PEER_EV_NOID,
    PEER_EV_REPEAT,
    PEER_EV_LEGACY,
    PEER_EV_COUNT
};

// The rate limiter's interval: lines logged, and per-source counts in a small open-addressed
// table that starts empty every interval.
struct peer_rlog_t {
    uint32_t active;                     // an interval is running: something happened since the last
    uint32_t start;                      // p->now when the interval began
    uint32_t lines;                      // lines logged in the interval
    uint32_t srcs;                       // sources with something not logged
    uint32_t ip[PEER_RLOG_SLOTS];        // 0: free slot
    uint8_t n[PEER_RLOG_SLOTS];          // events of that source in the interval, saturating
    uint64_t supp[PEER_EV_COUNT];        // not logged in the interval, per event
};

// Room for one control message: UDP_GRO on receive, UDP_SEGMENT on send.
struct peer_cmsg_t {
    alignas(cmsghdr) uint8_t b[SOCK_UDPCMSG_SPACE];
};
static_assert(SOCK_UDPCMSG_SPACE >= CMSG_SPACE(sizeof(int)));

// Outbound datagram being assembled in the send batch.
struct peer_txslot_t {
    uint32_t ipbe;
    uint16_t port;
    uint16_t len;
    uint8_t buf[SDWAN_PKTBUF];
};

struct peer_t {
    peer_cfg_t cfg;
    const char *cfgpath;               // re-read at a reload
    int udpfd;
    int tunfd;
    int failed;                        // a fault that ends the run with status 1 (the TUN interface gone)
    uint32_t now;                      // os_monosec() of the batch being handled: ages only, never a date
    uint64_t now_ms;                   // the same clock in milliseconds: the handshake budget's refill
    uint32_t nsess;                    // size of sess, from sessions=
    uint32_t live;                     // live sessions
    uint32_t freehead;                 // first free session, chained through hnext
    uint32_t hmask;                    // hash size - 1
    uint32_t naddr;                    // pool addresses: npools * 256
    uint32_t pick;                     // where the next search for a free address starts
    uint32_t metrics_sec;              // when the metrics file was last written
    uint64_t start_time;               // wall-clock second of the start-up, for the metrics and status
    uint64_t rxbytes, txbytes;         // data bytes client -> TUN, TUN -> client, since start-up
    int status_errno;                  // errno of the last failed status write, 0 after a good one
    uint8_t status_written;            // this run put a status file in place: the stop removes it
    peer_sess_t *sess;
    uint32_t *hash;                    // (address, port) hash -> first session of the chain
    uint32_t *byaddr;                  // offset of a pool address -> its session
    uint8_t *reserved;                 // per pool address: fixed address of some user
    uint8_t sidmap[8192];              // one bit per session id in use
    peer_rlog_t rlog;
    peer_stats_t st;
    sdwan_aes_t aes;                   // deciphers the OPEN password block
    aead_ctx_t aead;                   // seals and opens the sealed sessions' messages
    // The kernel's offloads this run uses, chosen at start-up (peer_offload_setup); all zero,
    // the path of one system call per datagram, in a record set up otherwise (the tests).
    uint8_t gro;                       // UDP_GRO on the socket: a receive may hold a train
    uint8_t gso;                       // UDP_SEGMENT: a run of equal datagrams to one client leaves as one
    uint32_t vnet;                     // TUN_OFFLOAD_ bits the interface took; nonzero: every read and
                                       // write carries the virtio-net header
    int ntx;
    peer_txslot_t tx[PEER_TX_BATCH];
    // The system calls' views of the batches: the send slots' addresses and buffers, and the
    // receive batch itself, all in the one static record so nothing is allocated.
    sockaddr_in tx_addr[PEER_TX_BATCH];
    iovec tx_iov[PEER_TX_BATCH];
    mmsghdr tx_msg[PEER_TX_BATCH];
    peer_cmsg_t tx_ctl[PEER_TX_BATCH];
    uint8_t tx_nseg[PEER_TX_BATCH];    // datagrams in each message of the batch
    uint8_t rx_buf[PEER_RX_BATCH][PEER_RX_TRAIN];
    sockaddr_in rx_addr[PEER_RX_BATCH];
    iovec rx_iov[PEER_RX_BATCH];
    mmsghdr rx_msg[PEER_RX_BATCH];
    peer_cmsg_t rx_ctl[PEER_RX_BATCH];
    // With the header: one read (a TCP super-packet of up to 64 KB, cut into the send slots), and
    // the packets from clients joined for one write (coal, in coal_buf), whose counts go back to
    // the session coal_sess (coal_sid) should the write fail.
    uint8_t tun_rd[VNET_READ_MAX];
    uint8_t coal_buf[VNET_READ_MAX];
    vnet_coal_t coal;
    uint32_t coal_bytes;               // IP bytes of the packets joined, taken back should the write fail
    uint32_t coal_sess;
    uint16_t coal_sid;
    // The sealed session, sized at start-up when privatekey= is given: 2 key sets per session
    // (current and retiring) and the pending pool.
    peer_keys_t *keys;
    uint32_t nkeys;
    uint32_t keys_free;
    uint32_t npending;
    uint64_t sinit_ms;                 // p->now_ms of the global bucket's last refill
    uint32_t sinit_milli;              // its tokens, in thousandths
    peer_srclim_t srclim[PEER_SINIT_SLOTS];
};

// Pool addresses: the /24 network, and the host octet.
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

// The gateway of a pool address: the .1 of its /24.
inline uint32_t peer_gateway(uint32_t ipbe) { return peer_pool_addr(peer_netpart(ipbe), 1); }
// Offset of an address from the start of the pool, or UINT32_MAX outside it.
uint32_t peer_pool_off(const peer_cfg_t *cfg, uint32_t ipbe);

// Configuration (peer_cfg.cpp). 0 on success; -1 with one line in err naming the fault. The
// reader allocates the user table; peer_cfg_free releases it (and is harmless twice).
int peer_cfg_read(FILE *fp, peer_cfg_t *cfg, char *err, size_t errlen);
int peer_cfg_load(const char *path, peer_cfg_t *cfg, char *err, size_t errlen);
void peer_cfg_free(peer_cfg_t *cfg);
int peer_parse_addr(const char *text, uint32_t *ipbe);  // strict a.b.c.d; 0 or -1
int peer_user_find(const peer_cfg_t *cfg, const uint8_t *name, uint32_t len);  // index, -1 when absent

// Sessions (peer_sess.cpp).
int peer_setup(peer_t *p);     // derives the per-user keys, sizes and empties the tables; 0 or -1
void peer_teardown(peer_t *p); // releases what peer_setup acquired, and the configuration
void peer_users_derive(peer_cfg_t *cfg);  // keys of every user, from name and password
int peer_table_init(peer_t *p);    // sizes (allocating only at a change of size) and empties the tables
void peer_table_free(peer_t *p);
// Marks the fixed addresses of list's users in the pool map (list: the running configuration,
// or at a reload the new one, whose pool is the same).
void peer_reserve_fixed(peer_t *p, const peer_cfg_t *list);
peer_sess_t *peer_sess_find(peer_t *p, uint32_t ipbe, uint16_t port);
peer_sess_t *peer_sess_of_user(peer_t *p, int user);
peer_sess_t *peer_sess_by_addr(peer_t *p, uint32_t addr);
// The row of a session's source: found, or made (a free one, else the one heard from longest ago).
peer_src_t *peer_src_of(peer_t *p, peer_sess_t *s, uint32_t ipbe, uint16_t port);
// A datagram of len bytes from that source (rx), or to it (tx), counted on its row.
void peer_src_rx(peer_t *p, peer_sess_t *s, uint32_t ipbe, uint16_t port, uint32_t len);
void peer_src_tx(peer_t *p, peer_sess_t *s, uint32_t ipbe, uint16_t port, uint32_t len);
// The "moved" line of a session going to a new source, at most one a session per second (a
// client flapping between two uplinks would write ten); the rest counted in log_suppressed.
void peer_sess_log_move(peer_t *p, peer_sess_t *s, uint32_t ipbe, uint16_t port);
peer_sess_t *peer_sess_new(peer_t *p, uint32_t ipbe, uint16_t port, int user, uint32_t addr);
void peer_sess_free(peer_t *p, peer_sess_t *s);
// The same session, its id, token, address and counters, found from now on at a new source.
void peer_sess_rehome(peer_t *p, peer_sess_t *s, uint32_t ipbe, uint16_t port);
uint32_t peer_addr_pick(peer_t *p, int user);  // a free pool address for user, 0 when none
int peer_live_count(const peer_t *p);
void peer_sess_log(const peer_t *p, const peer_sess_t *s, const char *what);  // one session event line
// The same for events that may hit every session at once (silence after an outage, shutdown,
// a reload): the first PEER_RLOG_LINES of one pass are logged, the rest counted in *n and
// summed up by peer_sess_log_rest. Each line is synced: 10 000 of them would stall the loop.
void peer_sess_log_bulk(const peer_t *p, const peer_sess_t *s, const char *what, uint32_t *n);
void peer_sess_log_rest(uint32_t n, const char *what);
// Whether a session may not yet give way to a new OPEN or AUTH: it was heard in the last
// PEER_HOLD_SEC (a clock set back counts as silence just begun).
bool peer_sess_held(const peer_t *p, const peer_sess_t *s);
void peer_tick(void *arg);     // one-second timer: drops silent sessions, ends log intervals

// Rate-limited log of remotely triggered events (peer_rlog.cpp). True when the caller may log
// this event from this source now; otherwise it is counted for the interval's summary line.
bool peer_rlog_allow(peer_t *p, uint32_t ipbe, peer_ev_t ev);
void peer_rlog_tick(peer_t *p);  // ends the interval when due: one summary line if anything was held back
const char *peer_ev_name(peer_ev_t ev);
// A refused OPEN or AUTH: counted by its reason, and its line ("rejected user %s from %s:%u: %s")
// written when the rate limit allows.
void peer_note_reject(peer_t *p, uint32_t ipbe, uint16_t port, const char *name, peer_ev_t why);
// A user name from the wire for a log line: anything but printable ASCII shown as '?', so a
// hostile name cannot forge or split a line.
const char *peer_safe_name(const uint8_t *n, uint32_t len, char out[SDWAN_USER_MAX + 1]);

// User list reload (peer_reload.cpp): the file read again; on success the new users replace
// the old, live sessions of users still present (same password and fixed address) are kept,
// the others closed. 0, or -1 with the old list kept and one line logged.
int peer_reload(peer_t *p);
// Prometheus text file (peer_metrics.cpp): server counters and one series per live session.
int peer_metrics_write(peer_t *p);

// Status file (peer_status.cpp): a header line with the server's version, start and time of
// writing, then one line per live session, for tolvactl show and scripts. Written every second
// to a fresh temporary name and renamed over the file, from one fixed buffer.
inline constexpr char PEER_STATUS_MAGIC[] = "# sdwan-peerd status";
// The content into buf (wall-clock second now); its length, or 0 when it does not fit.
size_t peer_status_format(const peer_t *p, uint64_t now, char *buf, size_t len);
int peer_status_write(peer_t *p);  // 0, or -1 with errno set
void peer_status_tick(peer_t *p);  // the write, a lasting fault logged once
void peer_status_remove(peer_t *p);  // at the stop: the file this run wrote
// The package's version, for -v, the metrics and the status file.
extern const char peer_version[];

// Packets (peer_proto.cpp). Replies go into the send batch; data for the TUN interface goes to
// peer_tun_put.
void peer_on_datagram(peer_t *p, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len);
// The packet at slot->buf + at: 8 (a DATA header's room), or where peer_tun_room put it.
void peer_on_tunpkt(peer_t *p, peer_txslot_t *slot, uint32_t len, uint32_t at = SDWAN_HDR_LEN);
// Where a packet to dst is best placed in a send slot: behind the room its session's header
// takes (17 bytes for a sealed one, which then leaves without a move), 8 otherwise.
uint32_t peer_tun_room(peer_t *p, uint32_t dst);
void peer_send_close(peer_t *p, peer_sess_t *s);
uint32_t peer_pktopenack(const peer_t *p, const peer_sess_t *s, uint8_t *buf);  // buf: SDWAN_OPENACK_MAX bytes
uint32_t peer_pktopenrej(uint8_t *buf);                                        // buf: SDWAN_CTRL_LEN bytes

// Batched I/O and the event-core callbacks (peer_io.cpp).
peer_txslot_t *peer_tx_slot(peer_t *p);  // the next free send slot, flushing a full batch first
void peer_tx_commit(peer_t *p);          // the slot from peer_tx_slot goes out with the batch
void peer_tx_flush(peer_t *p);
int peer_udp_open(uint32_t ipbe, uint16_t port);  // bound, non-blocking, large buffers; -1 on failure
// The socket's offloads (UDP GRO, UDP_SEGMENT) where the kernel has them and `want`: p->gro, p->gso.
void peer_udp_offload(peer_t *p, bool want);
void peer_udp_recv(void *arg);           // poller callback of the UDP socket
// One received datagram, or a train of them the kernel coalesced: seg is the size of every
// datagram of the train but the last (which may be shorter), 0 for a single datagram. Each
// goes through peer_on_datagram on its own, in order, and is counted on its own.
void peer_rx_train(peer_t *p, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len, uint32_t seg);
void peer_tun_recv(void *arg);           // poller callback of the TUN descriptor
void peer_close_all(peer_t *p);          // CLOSE to every client, sessions ended
// A packet from session s for the TUN interface, counted as written: at once, or with the
// interface's header, joined with the next ones of its TCP flow for one write, which
// peer_tun_flush makes (before the loop polls again).
void peer_tun_put(peer_t *p, peer_sess_t *s, const uint8_t *pkt, uint32_t len);
void peer_tun_flush(peer_t *p);

// The sealed session (peer_seal.cpp).
int peer_seal_init(peer_t *p);       // sizes the key table when privatekey= is set; 0, or -1 logged
int peer_seal_table(peer_t *p);      // sizes and empties the key table; 0, or -1 logged
void peer_seal_free(peer_t *p);
void peer_on_sinit(peer_t *p, uint32_t ipbe, uint16_t port, const uint8_t *buf, uint32_t len);
void peer_on_sdata(peer_t *p, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len);
void peer_seal_tunpkt(peer_t *p, peer_sess_t *s, peer_txslot_t *slot, uint32_t len, uint32_t at);  // packet at slot->buf + at
void peer_seal_close(peer_t *p, peer_sess_t *s);   // CLOSE under the session's keys
void peer_seal_sess_gone(peer_t *p, peer_sess_t *s);  // its keys freed (before the record is cleared)
void peer_seal_tick(peer_t *p);      // pending and retiring key sets past their time

// Process entry (peer_main.cpp), kept in the library so tests can run it in a child.
int peer_main(int argc, char **argv);
