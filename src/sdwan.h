// Records and numbers shared by the event core, the host adapters and the tunnel client.
//
// Tunnel header, at the start of every datagram exchanged with the peer:
//
//    0        1        2                 4                                  8
//   +--------+--------+--------+--------+--------+--------+--------+--------+
//   |  type  |encrypt |       sid       |               token               |
//   +--------+--------+--------+--------+--------+--------+--------+--------+
//   |            signature: MD5(header[0..7] | salt[0..1]), 16 bytes          |  control
//   |                          (bytes 8 to 23)                              |  packets
//   +-----------------------------------------------------------------------+  only
//   |  body: option list (OPEN, OPENACK), echo body (ECHOREQ, ECHORESP)      |
//   +-----------------------------------------------------------------------+
//
// Data packets (DATA, EDATA) carry the IP packet right after the 8-byte header.
// sid and token are opaque: copied as raw bytes, never byte-swapped.
#pragma once
#include <cstddef>
#include <cstdint>

using CALLBACK_FUNC = void (*)(void *);

// Session states.
inline constexpr uint8_t SDWANCLNT_NONE = 0;
inline constexpr uint8_t SDWANCLNT_IDLE = 1;
inline constexpr uint8_t SDWANCLNT_DNS = 2;
inline constexpr uint8_t SDWANCLNT_INIT = 3;
inline constexpr uint8_t SDWANCLNT_AUTH = 4;
inline constexpr uint8_t SDWANCLNT_DATA = 5;
inline constexpr uint8_t SDWANCLNT_CLOSED = 6;

// Packet types.
inline constexpr uint8_t SDWAN_OPENREJ = 17;
inline constexpr uint8_t SDWAN_OPENACK = 18;
inline constexpr uint8_t SDWAN_OPEN = 19;
inline constexpr uint8_t SDWAN_DATA = 20;
inline constexpr uint8_t SDWAN_ECHOREQ = 21;
inline constexpr uint8_t SDWAN_ECHORESP = 22;
inline constexpr uint8_t SDWAN_CLOSE = 23;
inline constexpr uint8_t SDWAN_EDATA = 24;

// Option types of OPEN and OPENACK bodies: type, length (whole option), value.
inline constexpr uint8_t SDWAN_OPT_USER = 1;
inline constexpr uint8_t SDWAN_OPT_PASS = 2;
inline constexpr uint8_t SDWAN_OPT_MTU = 3;
inline constexpr uint8_t SDWAN_OPT_IP = 4;
inline constexpr uint8_t SDWAN_OPT_DNS = 5;
inline constexpr uint8_t SDWAN_OPT_GATEWAY = 6;
inline constexpr uint8_t SDWAN_OPT_ENCRYPT = 8;
inline constexpr uint8_t SDWAN_OPT_DUPPKT = 9;
inline constexpr uint8_t SDWAN_OPT_PIPE = 10;

// Sizes of the wire and of the buffers.
inline constexpr uint32_t SDWAN_HDR_LEN = 8;         // header
inline constexpr uint32_t SDWAN_SIG_LEN = 16;        // MD5 signature after the header
inline constexpr uint32_t SDWAN_CTRL_LEN = 24;       // header + signature: smallest control packet
inline constexpr uint32_t SDWAN_ECHO_LEN = 44;       // echo request as sent
inline constexpr uint32_t SDWAN_ECHORESP_MIN = 32;   // header, signature and the returned tick
inline constexpr uint32_t SDWAN_OPEN_MAX = 86;       // 31-character user, encrypt and pipe options
inline constexpr uint32_t SDWAN_CTRLBUF = 1024;      // stack buffer of an outbound control packet or DNS query
inline constexpr uint32_t SDWAN_PKTBUF = 2048;       // stack buffer of a received datagram or outbound data
inline constexpr uint32_t SDWAN_MTU_MIN = 46;
inline constexpr uint32_t SDWAN_MTU_MAX = 1600;
inline constexpr uint32_t SDWAN_MINDELAY_START = 5000000;

// The header as a record. It is decoded from and encoded into buffers with sdwan_hdr_load and
// sdwan_hdr_store (proto/packet.h); sid and token hold the wire bytes in memory order.
struct sdwan_pkthdr_t {
    uint8_t type;
    uint8_t encrypt;
    uint16_t sid;
    uint32_t token;
};
static_assert(sizeof(sdwan_pkthdr_t) == 8);
static_assert(offsetof(sdwan_pkthdr_t, type) == 0);
static_assert(offsetof(sdwan_pkthdr_t, encrypt) == 1);
static_assert(offsetof(sdwan_pkthdr_t, sid) == 2);
static_assert(offsetof(sdwan_pkthdr_t, token) == 4);

// Payload key: the first 8 bytes of MD5(user | password).
union sdwan_key_t {
    uint32_t data32[2];
    uint8_t data8[8];
};
static_assert(sizeof(sdwan_key_t) == 8);

// Echo body, little-endian, at offset 24 of ECHOREQ and ECHORESP (only tick is read back).
struct sdwan_echopkt_t {
    uint64_t tick;
    uint32_t cur_delay;
    uint32_t min_delay;
    uint32_t max_delay;
};
static_assert(offsetof(sdwan_echopkt_t, tick) == 0);
static_assert(offsetof(sdwan_echopkt_t, cur_delay) == 8);
static_assert(offsetof(sdwan_echopkt_t, min_delay) == 12);
static_assert(offsetof(sdwan_echopkt_t, max_delay) == 16);
inline constexpr uint32_t SDWAN_ECHOBODY_LEN = 20;
static_assert(SDWAN_CTRL_LEN + SDWAN_ECHOBODY_LEN == SDWAN_ECHO_LEN);

// Route block laid out behind the echo body; it is never part of a sent request.
struct sdwan_rtpktentry_t {
    uint32_t net;
    uint32_t mask;
};
struct sdwan_rtpkt_t {
    char tag[4];  // "SDRT"
    uint32_t magic;
    uint32_t cnt;
};
static_assert(sizeof(sdwan_rtpktentry_t) == 8);
static_assert(sizeof(sdwan_rtpkt_t) == 12);
static_assert(offsetof(sdwan_rtpkt_t, magic) == 4);
static_assert(offsetof(sdwan_rtpkt_t, cnt) == 8);

struct rtcfg_entry_t {
    uint32_t net;
    uint32_t masklen;
    rtcfg_entry_t *next;
};

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

// Ownership bits of sdwan_t::si_own.
inline constexpr uint8_t SDWAN_OWN_TUN = 1;      // the TUN descriptor was attached by this process
inline constexpr uint8_t SDWAN_OWN_TUNIF = 2;    // the interface is this run's (created, or a dead run's taken over): removed at the end
inline constexpr uint8_t SDWAN_OWN_TUNCONF = 4;  // this run set the interface's address and flags
inline constexpr uint8_t SDWAN_OWN_DEFRT = 8;    // this run added the tunnel's default route

// The client record; one instance, _sdwclnt. Addresses in network order, ports in host order,
// times in whole seconds truncated to 32 bits.
struct sdwan_t {
    uint8_t si_state;
    uint8_t si_encrypt;
    uint8_t si_peerencypt;
    uint8_t si_peerduppkt;
    uint32_t si_ip;
    uint32_t si_peerip;
    uint16_t si_peerport;
    uint16_t si_myport;
    uint32_t si_gateway;
    uint32_t si_dns0, si_dns1;
    uint16_t si_pipeid, si_pipeidx;
    uint32_t si_token;
    uint16_t si_sid;
    uint16_t si_ifidx;
    uint16_t si_peermtu;
    uint16_t si_cfgmtu;
    uint32_t si_curdelay, si_maxdelay, si_mindelay;
    uint32_t si_lastopen;
    uint32_t si_lastdial;
    uint32_t si_ltime;
    uint32_t si_echotimer;
    sdwan_key_t si_key;
    char si_peer[64];
    char si_peerdomain[64];
    char si_user[32];
    char si_pass[32];
    netif_stats si_stats;
    int si_udpsock;
    int tunfd;
    char tun_name[32];
    char tmr_name[32];
    uint32_t si_defrtnexthop;
    char si_defifname[32];
    uint32_t si_rtmagic;
    rtcfg_entry_t *si_rtcfg;
    int si_rtmode;

    // What of the host this run made (SDWAN_OWN_ bits), and so may undo; nothing else is ever
    // cleared or deleted.
    uint8_t si_own;
    uint32_t si_defrt_gw;  // next hop of the tunnel default route this run added
    // Host routes that keep the peer and the resolver on the path they had before the tunnel's
    // default route, while it is in place; dst 0 when none is held.
    sdwan_hostrt_t si_hostrt_peer;
    sdwan_hostrt_t si_hostrt_dns;
    int si_rtnlfd;        // the kernel's notices of link and route changes, -1 when none
    uint32_t si_tunretry; // 0, or 1 + ticks since a lost TUN interface could not be made again
    // "datalog" key: 0 silences the per-packet line of the inbound data path.
    uint8_t si_datalog;
};

// Timer slot. name holds up to 8 bytes, not necessarily zero-terminated; a zero first byte
// marks the slot free.
struct tm_t {
    char name[8];
    uint64_t tmout;
    uint64_t lastsec;
    uint64_t tmcnt;
    void *arg;
    CALLBACK_FUNC func;
};

// Descriptor slot; fds -1 marks it free. efunc, when set, is called instead of func when the
// descriptor reports an error, a hang-up or an invalid descriptor.
struct poll_op_t {
    int fds;
    CALLBACK_FUNC func;
    void *arg;
    CALLBACK_FUNC efunc;
};

inline constexpr int TM_SLOTS = 8;
inline constexpr int POLL_SLOTS = 16;
