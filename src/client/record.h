// The client object: the one tunnel the daemon keeps, in records with one job each. The process
// entry owns it (static storage: the data path's buffers are in it) and hands it to what needs it.
#pragma once
#include <cstdint>
#include <sys/types.h>

#include "client/hostops.h"
#include "net/vnet.h"
#include "proto/aes.h"
#include "sdwan.h"
#include "seal/noise.h"
#include "seal/replay.h"

// Session states, the values of sess.state.
enum : uint8_t {
    SDWANCLNT_NONE = 0,
    SDWANCLNT_IDLE = 1,
    SDWANCLNT_DNS = 2,
    SDWANCLNT_INIT = 3,
    SDWANCLNT_AUTH = 4,
    SDWANCLNT_DATA = 5,
    SDWANCLNT_CLOSED = 6,
};

// A prefix of the "routes" key: net in network order, host bits zero, masklen 1 to 32.
struct rtcfg_entry_t {
    uint32_t net;
    uint32_t masklen;
    rtcfg_entry_t *next;
};
// Prefixes the "routes" key may list: as many as the echo's route block can carry in a control
// packet's buffer.
inline constexpr uint32_t SDWAN_ROUTES_MAX = 120;
static_assert(SDWAN_ECHO_LEN + 4 + sizeof(sdwan_rtpkt_t) + SDWAN_ROUTES_MAX * sizeof(sdwan_rtpktentry_t) <=
              SDWAN_CTRLBUF);
// Route modes (sdwan_conf_t::rtmode).
inline constexpr int SDWAN_RTMODE_FULL = 0;   // everything through the tunnel: its default route
inline constexpr int SDWAN_RTMODE_SPLIT = 1;  // only the prefixes of conf.rtcfg
inline constexpr int SDWAN_RTMODE_BAD = -1;   // a "routes" value that is no prefix list: the configuration is invalid

struct netif_stats {
    uint32_t sock_rxpkts;
    uint32_t sock_txpkts;
    uint32_t tun_rxpkts;
    uint32_t tun_txpkts;
    uint32_t txdnscnt;
    uint32_t rxdnscnt;
    uint32_t opencnt;
    uint32_t openackcnt;
    uint32_t openrejcnt;
    uint32_t echoreqcnt;
    uint32_t echorespcnt;
    uint32_t closedcnt;
    uint32_t panic_txdrop;
    uint32_t panic_pktdest;
    uint32_t panic_token;
    uint32_t panic_dns;
    uint32_t panic_pktverify;
    uint32_t panic_open;
    uint32_t panic_dataot;
    uint32_t panic_authot;
    uint32_t panic_pkttype;
};
static_assert(sizeof(netif_stats) == 21 * 4);

// A host route this run added: dst/32 through gw (0: straight out of dev) on dev.
struct sdwan_hostrt_t {
    uint32_t dst;  // 0: none
    uint32_t gw;
    char dev[16];
};

// Ownership bits of sdwan_host_t::own.
inline constexpr uint8_t SDWAN_OWN_TUN = 1;      // the TUN descriptor was attached by this process
inline constexpr uint8_t SDWAN_OWN_TUNIF = 2;    // the interface is this run's (created, or a dead run's taken over): removed at the end
inline constexpr uint8_t SDWAN_OWN_TUNCONF = 4;  // this run set the interface's address and flags
inline constexpr uint8_t SDWAN_OWN_DEFRT = 8;    // this run added the tunnel's default route
inline constexpr uint8_t SDWAN_OWN_SPLITRT = 16; // this run added routes of conf.rtcfg (host.rtset says which)
inline constexpr uint8_t SDWAN_OWN_TUNMARK = 32; // this run set the alias of an interface made beforehand: cleared at the close
inline constexpr uint8_t SDWAN_OWN_KILLSW = 64;  // this run added kill switch routes (host.ksset says which); not on the interface

// Kinds of kernel request whose refusals are counted (count.kreq_refused), each a series of the
// status file's kernel_requests_refused_total.
inline constexpr int SDWAN_KREQ_ROUTE = 0;    // a route through the tunnel or a host route
inline constexpr int SDWAN_KREQ_ADDRESS = 1;  // the tunnel's address, netmask or flags
inline constexpr int SDWAN_KREQ_MTU = 2;
inline constexpr int SDWAN_KREQ_COUNT = 3;

inline constexpr uint8_t SDWAN_DNSVIA_NONE = 0;
inline constexpr uint8_t SDWAN_DNSVIA_RESOLVED = 1;
inline constexpr uint8_t SDWAN_DNSVIA_RESOLVCONF = 2;

// Real-clock round-trip delay in microseconds over the daemon's run (client/echo.h); all 0
// before the first sample. srtt is the smoothed average, srtt += (sample - srtt) / 8 after a
// first srtt = sample.
struct sdwan_rtt_t {
    uint32_t cur;
    uint32_t min;
    uint32_t max;
    uint32_t srtt;
    uint32_t samples;
};
// An echo request in flight: its tick and the monotonic time at which it went out.
struct sdwan_echosent_t {
    uint64_t tick;
    uint64_t mono;
    bool used;
};
inline constexpr uint32_t SDWAN_RTT_RING = 8;  // requests remembered: more than a session's silence limit spans
inline constexpr uint64_t SDWAN_PROBE_WAIT_USEC = 1500000;  // an answer to the probe is awaited this long
inline constexpr uint64_t SDWAN_PROBE_GAP_USEC = 1000000;   // and probes go out at most this often

// Log lines a stranger can cause by sending datagrams from the peer's address: each kind is
// written at most SDWAN_RLOG_LINES times per SDWAN_RLOG_USEC of the monotonic clock, the rest
// counted and summed up in one line when the interval ends (client/rlog.h).
enum : uint8_t {
    SDWAN_RL_PKTTYPE,  // "Unknown packet type: %u"
    SDWAN_RL_DATALEN,  // "Invalid data length received: %d"
    SDWAN_RL_STATE,    // "Invalid state: expected %s, but got %d"
    SDWAN_RL_OPENACK,  // "Invalid state or packet verification failed"
    SDWAN_RL_VERIFY,   // "Packet verification failed"
    SDWAN_RL_OPENREJ,  // "Packet verification failed for OPENREJ"
    SDWAN_RL_CLOSE,    // "CLOSE for another session (sid %u, token %u): asking the peer"
    SDWAN_RL_SEALED,   // "SEALED packet dropped: %s"
    SDWAN_RL_KINDS
};
inline constexpr uint32_t SDWAN_RLOG_LINES = 5;
inline constexpr uint64_t SDWAN_RLOG_USEC = 1000000;
struct sdwan_rlog_t {
    bool active;                    // an interval is running
    uint64_t start;                 // its start, monotonic microseconds
    uint8_t lines[SDWAN_RL_KINDS];  // lines written in it, by kind
    uint32_t held[SDWAN_RL_KINDS];  // lines held back in it, by kind
};

// Uplinks: the "uplinks" key names up to SDWAN_PATHS_MAX interfaces, each the first hop of one
// path to the peer (client/paths.h).
inline constexpr uint32_t SDWAN_PATHS_MAX = 4;
// How the path that carries the session is chosen ("pathpolicy" key).
enum class path_policy : uint8_t {
    best = 0,    // the lowest smoothed round trip among the healthy paths, with hysteresis
    backup = 1,  // the first healthy path in priority order
};
// A path's state, as measured by its probes and told by the kernel's link notices.
enum class path_state : uint8_t {
    absent = 0,    // its interface is not there (or has no address): no socket
    down = 1,      // the link is down, or its last probes were lost
    up = 2,        // answers, loss under the threshold
    degraded = 3,  // answers, loss over the threshold: chosen only when nothing is up
};
// One entry of the "uplinks" key: NAME[@SOURCE][:PRIORITY|:backup].
struct sdwan_uplink_t {
    char ifname[16];
    uint32_t source;  // the address the path's socket is bound to, network order; 0: the interface's
    uint8_t prio;     // lower first; an entry without one takes its position, from 1
    bool backup;      // carries only probes while another path is up
};
inline constexpr uint16_t SDWAN_PROBE_MS_DEFAULT = 250;  // "probeinterval": 4 probes a second per path
inline constexpr uint8_t SDWAN_PATHLOSS_DEFAULT = 10;    // "pathloss": percent of the window that degrades a path

// The records of the client object, one job each. Addresses in network order, ports in host
// order, times in whole seconds truncated to 32 bits.

// What the configuration file gave (daemon/cfg.h): written by the loader, read-only after it.
struct sdwan_conf_t {
    char tun_name[32];  // the section line: the TUN interface's name
    char peer[64];
    char peerdomain[64];  // peer, when it is no IPv4 address: a name to resolve
    uint16_t peerport;
    char user[32];
    char pass[32];
    uint8_t encrypt;
    uint16_t mtu;
    uint16_t pipeid, pipeidx;
    rtcfg_entry_t *rtcfg;                    // the "routes" prefixes, in the order given; null in full tunnel mode
    int rtmode;                              // SDWAN_RTMODE_
    rtcfg_entry_t routes[SDWAN_ROUTES_MAX];  // where rtcfg's entries are kept
    uint32_t nroutes;
    uint32_t rtmagic;
    // "setdns" and "dnsdomains" keys: hand the peer's DNS servers to the host's resolver manager,
    // with a comma-separated domain list.
    uint8_t setdns;
    char dnsdomains[256];
    // "datalog" key: 0 silences the per-packet line of the inbound data path.
    uint8_t datalog;
    // "offload" key: 0 keeps the TUN device plain and every datagram its own system call.
    uint8_t offload;
    // "killswitch" key: between sessions the traffic the tunnel would carry is refused, not sent
    // by the uplink (client/killswitch).
    uint8_t killswitch;
    // "peerkey" key: the peer's pinned static public key; with it the client speaks only the
    // sealed session (client/sealed.h).
    uint8_t peerkey[32];
    uint8_t peerkey_state;  // SDWAN_PEERKEY_
    // "waitroute" key: 1 waits at start-up until the host has a route to the peer (or to the
    // resolver, for a peer given by name); 0 refuses to start without a default route.
    uint8_t waitroute;
    // "resolver" key: where a peer given by name is looked up (network order; 0: the build's,
    // client/resolver.h); resolver_bad for a value that is no usable address, which makes the
    // configuration invalid.
    uint32_t resolver;
    bool resolver_bad;
    // "uplinks", "pathpolicy", "probeinterval" and "pathloss" keys: without uplinks (nuplinks 0)
    // the one socket follows the host's routes as it always did.
    sdwan_uplink_t uplinks[SDWAN_PATHS_MAX];
    uint8_t nuplinks;
    bool uplinks_bad;  // a value that is no uplink list: the configuration is invalid
    path_policy pathpolicy;
    uint16_t probems;  // milliseconds between two probes of one path
    uint8_t pathloss;  // percent
};
inline constexpr uint8_t SDWAN_PEERKEY_NONE = 0;
inline constexpr uint8_t SDWAN_PEERKEY_SET = 1;
inline constexpr uint8_t SDWAN_PEERKEY_BAD = 2;  // a value that is no key: the configuration is invalid

// The session: its state, what the peer gave in OPENACK, its ages and the key.
struct sdwan_sess_t {
    uint8_t state;    // SDWANCLNT_
    uint32_t peerip;  // the peer's address, as configured or resolved
    uint32_t ip;
    uint32_t gateway;
    uint32_t dns0, dns1;
    uint32_t token;
    uint16_t sid;
    uint16_t peermtu;
    uint8_t peerencrypt;
    uint8_t peerduppkt;
    // Ages on the monotonic clock, which a change of the wall clock does not move; lastdial is
    // the wall clock's, shown as the session's start and never compared.
    uint32_t lastopen;
    uint32_t lastdial;
    uint32_t ltime;
    uint32_t echotimer;
    sdwan_key_t key;
    // A CLOSE whose sid and token are not the session's may be forged (its signature needs no
    // key): the session asks the peer with an echo request first, and ends only when no answer
    // to it comes within SDWAN_PROBE_WAIT_USEC.
    bool probe_pending;   // an echo request asks whether the peer still holds the session
    uint64_t probe_mono;  // when the last one went out, monotonic microseconds
};

// What of the host this run made (SDWAN_OWN_ bits), and so may undo; nothing else is ever
// cleared or deleted.
struct sdwan_host_t {
    uint8_t own;
    uint32_t defrt_gw;  // next hop of the tunnel default route this run added
    // Host routes that keep the peer and the resolver on the path they had before the tunnel's
    // default route, while it is in place; dst 0 when none is held.
    sdwan_hostrt_t hostrt_peer;
    sdwan_hostrt_t hostrt_dns;
    // 1 where this run added the route of the i-th prefix of conf.rtcfg (and so may delete it).
    uint8_t rtset[SDWAN_ROUTES_MAX];
    // 1 where this run added the kill switch's unreachable route of the i-th prefix it closes.
    uint8_t ksset[SDWAN_ROUTES_MAX];
    // Where the peer's DNS servers went (SDWAN_DNSVIA_), so that only this run's settings are
    // withdrawn, from the link dnsifidx.
    uint8_t dnsvia;
    int dnsifidx;
    // A TUN interface made beforehand (down, no address) and not this daemon's: its MTU and
    // queue length as found, put back at the end; 0 for any other.
    int tunpre_mtu;
    int tunpre_txq;
    // The MTU the interface has in the session, read back after it was set (the kernel may have
    // refused the one asked for); 0 outside a session.
    uint16_t tunmtu;
    // The host's default route as found: next hop and interface.
    uint32_t defrtnexthop;
    char defifname[32];
    uint32_t tunretry;  // 0, or 1 + ticks since a lost TUN interface could not be made again
    // Started without a route to the peer (waitroute): no session until one appears.
    bool routewait;
    // The host's default routes other than the one it prefers, tried in turn for the peer when
    // session attempts through the preferred one keep failing: attempts failed in a row through
    // the route in use, the backup in use (dev "" while the kernel's preferred route is), and that
    // preferred route as it was when the backup was chosen, to notice it change.
    uint8_t upfails;
    sdwan_hostrt_t upalt;
    sdwan_hostrt_t uppref;
};

// Receive offload hands over a train of datagrams from one source of at most this many bytes.
inline constexpr uint32_t SDWAN_RXTRAIN = 65535;
// The plain paths read one datagram or packet into the same buffers.
static_assert(SDWAN_RXTRAIN >= SDWAN_PKTBUF && VNET_READ_MAX >= SDWAN_PKTBUF);
// A sealed packet read with the virtio-net header leaves where it was read: its sealed header
// (17 bytes) needs this much more room in front than the interface's header (10) gives, and its
// tag (16) this much behind the longest read.
inline constexpr uint32_t SDWAN_READ_FRONT = 7;
inline constexpr uint32_t SDWAN_READ_BACK = 16;

// The descriptors, what the kernel granted on them, and the data path's buffers, sized at
// compile time: a whole read of the TUN device with its header, one train of datagrams for one
// send, one received train, and the super-packet that inbound segments are joined into.
struct sdwan_io_t {
    int udpsock;
    int tunfd;
    int rtnlfd;  // the kernel's notices of link and route changes, -1 when none
    char tmr_name[32];
    // What the kernel granted: TUN_OFFLOAD_ bits of the descriptor (0: a plain one, read and
    // written as without the key), UDP segmentation of sends (cleared for good at the first
    // refused send) and receive offload on the socket.
    uint32_t tunoff;
    bool udpgso;
    bool udpgro;
    // The cipher of OPEN's password block: opened once at start-up, so that an OPEN costs no
    // heap traffic; keying it is no change to the object an OPEN is built from.
    mutable sdwan_aes_t aes;
    aead_ctx_t aead;  // the sealed session's AEAD contexts (seal/noise.h), opened with the session
    uint8_t read[SDWAN_READ_FRONT + VNET_READ_MAX + SDWAN_READ_BACK];
    uint8_t train[VNET_TRAIN_BYTES];
    uint8_t rxtrain[SDWAN_RXTRAIN];
    uint8_t coalbuf[VNET_READ_MAX];
    vnet_coal_t coal;  // joins into coalbuf; emptied with the session (sdwan_data_reset)
};

// Round trip: the delays in the echo's tick unit that the echo request reports, and the real
// clock's measure of the requests in flight.
struct sdwan_rttrec_t {
    uint32_t curdelay, maxdelay, mindelay;
    sdwan_rtt_t usec;
    sdwan_echosent_t ring[SDWAN_RTT_RING];
    uint32_t next;
};

// Counters since start-up, and the rate limit of the lines a stranger can cause.
struct sdwan_count_t {
    netif_stats stats;
    // Bytes of the IP packets carried each way (headers of the tunnel left out): sent to the
    // peer, written to the TUN interface. 64 bits: 32 would wrap within minutes at line rate.
    uint64_t txbytes;
    uint64_t rxbytes;
    sdwan_rlog_t rlog;
    uint64_t log_suppressed;  // lines of rlog's kinds held back since start-up
    uint32_t close_mismatch;  // CLOSEs for another session received in DATA since start-up
    uint64_t start_time;      // wall-clock second of the start-up: shown, never compared
    uint32_t heard;           // monotonic second of the last datagram from the peer's address and port, or of the start-up
    uint32_t tx_failed;       // packets from the TUN interface lost: their send to the peer failed
    uint32_t tun_write_failed;  // packets from the peer lost: their write to the TUN interface failed
    // Requests the kernel refused since start-up, by kind (SDWAN_KREQ_): each also has its line.
    uint32_t kreq_refused[SDWAN_KREQ_COUNT];
    uint32_t uplink_switches;  // moves of the peer's host route to another default route after failed attempts
};

inline constexpr uint32_t STATUS_PATH_MAX = 264;  // path, ".tmpXXXXXX" and the terminator
inline constexpr uint32_t STATUS_BUF = 32768;     // the whole file, with every prefix of "routes" and every path

// The status file (client/status.h): the "status" key's path and the writer's state.
struct sdwan_status_t {
    char path[STATUS_PATH_MAX];  // "" when off
    char tmp[STATUS_PATH_MAX];   // the temporary file's name, path + ".tmpXXXXXX"
    bool written;                // this run put a file at path: only then does the stop remove it
    mode_t umask;                // the process's, read with the key: fchmod does not apply it itself
    // errno of the last failed write, 0 after a good one: a lasting fault is logged once, not
    // every second.
    int write_errno;
    char buf[STATUS_BUF];
};

// Why a sealed datagram was dropped: the series of sealed_drops_total.
enum : uint8_t {
    SEAL_DROP_MALFORMED,  // too short, a nonzero reserved byte, an SRESP of the wrong size
    SEAL_DROP_INDEX,      // an index no key or handshake of this client has
    SEAL_DROP_TAG,        // the tag does not verify (forged, corrupted, or a wrong pinned key)
    SEAL_DROP_REPLAY,     // a counter already taken
    SEAL_DROP_OLD,        // a counter behind the replay window
    SEAL_DROP_KIND,       // a kind the client does not take, or not in this state
    SEAL_DROP_KINDS
};

// One set of session keys, from one handshake: the ciphers of both directions, the receive
// counter window and the two indices that name it.
struct sdwan_sealkeys_t {
    noise_cipher send;
    noise_cipher recv;
    replay_window win;
    uint32_t mine;    // the index this client chose: the peer puts it in what it sends
    uint32_t theirs;  // the peer's: put in what this client sends
    uint32_t born;    // monotonic second of the split, or of the retirement for prev
    bool live;
};

// The sealed session (client/sealed.h): the handshake in flight, the keys that carry data (cur),
// those of a finished handshake awaiting its AUTHACK (next) and those a rekey replaced, still
// taken from the peer for a while (prev).
struct sdwan_seal_t {
    noise_handshake hs;
    uint32_t hs_idx;    // the handshake's index, 0 when none is in flight
    uint32_t hs_start;  // monotonic second its SINIT went out
    sdwan_sealkeys_t cur, next, prev;
    uint32_t rekey_at;  // monotonic second at which the next rekey starts; 0 outside DATA
    // Since start-up.
    uint32_t handshakes;  // SRESPs taken: keys made
    uint32_t hs_failed;   // SRESPs that did not decrypt: a wrong pinned key or a forgery
    uint32_t rekeys;      // AUTHACKs that moved sending to a rekey's keys
    uint32_t expired;     // sessions started over: their keys reached SEAL_KEY_MAX_SEC
    uint32_t drops[SEAL_DROP_KINDS];
};

// Round trip of one path's probes, microseconds; all 0 before the first answer. srtt as
// sdwan_rtt_t's; jitter the mean deviation of consecutive samples, jitter += (|d| - jitter) / 16.
struct sdwan_pathrtt_t {
    uint32_t cur, srtt, min, max, jitter;
};
// Probes a path remembers for its loss figure: loss is the share of this many last probes that
// went unanswered.
inline constexpr uint32_t SDWAN_PATH_WINDOW = 32;

// A probe of a path that went out: what its answer returns (key), when it went, and whether it
// is still awaited or was already counted lost (a late answer then only measures the delay).
inline constexpr uint32_t SDWAN_PATH_INFLIGHT = 16;
enum : uint8_t { PROBE_FREE = 0, PROBE_AWAITED = 1, PROBE_LATE = 2 };
struct sdwan_probesent_t {
    uint64_t key;
    uint64_t sent;
    uint8_t st;  // PROBE_
};

// One path: an uplink of conf.uplinks, its socket and route, its measure and its counters.
// Times are monotonic microseconds, 0 for never.
struct sdwan_path_t {
    uint8_t id;  // its index in conf.uplinks, the probe body's path number
    path_state state;
    int ifindex;  // 0 while its interface is absent
    int fd;       // its socket, bound to the interface; -1 when none
    bool udpgso, udpgro;  // what the kernel granted on fd
    uint32_t source;      // the address its datagrams leave from, network order
    sdwan_hostrt_t route; // the host route to the peer this run added through it; dst 0: none
    sdwan_pathrtt_t rtt;
    uint32_t lossmap;     // bit i: the i-th last finished probe was lost
    uint8_t nwin;         // probes in lossmap, up to SDWAN_PATH_WINDOW
    uint8_t loss;         // percent of the window lost
    uint64_t heard;       // the last datagram of the session taken through it
    uint64_t since;       // the last change of state
    // Since start-up.
    uint64_t probes_sent, probes_lost;
    uint64_t txpkts, txbytes, rxpkts, rxbytes;  // the session's datagrams and their bytes through it
    // The measure's own state (client/paths).
    uint64_t next_probe;    // when the next probe is due, in DATA; 0: not probed
    uint32_t seq;           // the last probe's number
    uint32_t samples;       // round trips taken
    uint8_t lostrun;        // probes lost in a row
    bool judged;            // answered or lost since it was present: its state says something
    bool noticed;           // down by the kernel's word (link down, no address), not by its probes
    int metric;             // of the default route route.gw came from, for its deletion
    sdwan_probesent_t fl[SDWAN_PATH_INFLIGHT];  // by seq modulo the size
};
// The paths of the session, one per uplink, and which of them carries it.
struct sdwan_paths_t {
    sdwan_path_t p[SDWAN_PATHS_MAX];
    uint8_t n;           // conf.nuplinks
    int8_t active;       // the path that carries the session, -1 when none
    uint64_t moved;      // the last move of the session to another path
    uint32_t moves;      // since start-up
    bool probing;        // the session is in DATA: its paths are probed
    // The read handler of each path's socket (client/session's receive, by path), and the path a
    // datagram being handled came through (-1: the socket of no uplink).
    void (*rx[SDWAN_PATHS_MAX])(void *);
    int8_t rxpath;
    bool reopen;         // a legacy session moved: its OPEN through the new path not yet taken
    int tmrfd;           // wakes the probes, -1 when none
    // Where the data path counts what it sends: the active path's txpkts and txbytes, else spare.
    uint64_t *txpkts_at, *txbytes_at;
    uint64_t spare[2];
};

// The client object. Not copied once in use: the coalescer points into its own buffer.
struct sdwan_t {
    // The host's interfaces and routes as the policy reaches them (the kernel's in the daemon).
    const hostops_t *ops;
    sdwan_conf_t conf;
    sdwan_sess_t sess;
    sdwan_host_t host;
    sdwan_io_t io;
    sdwan_rttrec_t rtt;
    sdwan_count_t count;
    sdwan_status_t status;
    sdwan_seal_t seal;
    sdwan_paths_t paths;
};

// The object as at process start: everything zero but the descriptors, which are "none", the
// per-packet log line, the kernel's offloads and the wait for a route, which are on unless the
// configuration turns them off, and the coalescer, empty over its buffer.
void sdwclnt_record_init(sdwan_t *clnt);

// 1 while the record lacks what a session needs (peer, port, user, password), else 0.
int sdwclnt_not_ready(const sdwan_t *clnt);
