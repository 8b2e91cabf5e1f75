#include "client/status.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/event.h"
#include "net/ipaddr.h"
#include "base/log.h"
#include "client/sealed.h"

#ifndef TOLVAD_VERSION
#define TOLVAD_VERSION "unknown"
#endif

namespace {

// mkostemp's template: the six X become a fresh name at each write.
constexpr char TMP_SUFFIX[] = ".tmpXXXXXX";

struct counter_t {
    const char *name;   // the metric family, tolvad_ left out
    const char *label;  // a label of the series besides the interface, or null
    uint32_t netif_stats::*field;
    const char *help;   // of the family: the same for every series of it
};

constexpr char RESETS_HELP[] = "Session attempts and sessions ended, by reason.";

// The counters the client counts, named for what they count. Three counters of the record are
// left out (txdnscnt, opencnt, panic_token): nothing counts them, and a series that can never
// move only misleads. Series of one family follow each other.
constexpr counter_t COUNTERS[] = {
    {"tunnel_transmit_packets_total", nullptr, &netif_stats::sock_txpkts,
     "Packets from the TUN interface sent to the peer."},
    {"tunnel_receive_packets_total", nullptr, &netif_stats::tun_txpkts,
     "Packets from the peer written to the TUN interface."},
    {"tun_read_packets_total", nullptr, &netif_stats::tun_rxpkts,
     "Packets read from the TUN interface, outside a session too."},
    {"looped_packets_total", nullptr, &netif_stats::panic_pktdest,
     "The daemon's own datagrams routed into its own tunnel, dropped."},
    {"tun_read_refused_total", nullptr, &netif_stats::panic_txdrop,
     "Reads of the TUN interface with an offload header or packet that cannot be cut into the session's packets, dropped."},
    {"peer_datagrams_total", nullptr, &netif_stats::sock_rxpkts,
     "Datagrams accepted from the peer's address and port."},
    {"sessions_established_total", nullptr, &netif_stats::openackcnt,
     "Sessions established: OPENACK answers accepted."},
    {"session_resets_total", "reason=\"auth_timeout\"", &netif_stats::panic_authot, RESETS_HELP},
    {"session_resets_total", "reason=\"rejected\"", &netif_stats::openrejcnt, RESETS_HELP},
    {"session_resets_total", "reason=\"peer_silent\"", &netif_stats::panic_dataot, RESETS_HELP},
    {"session_resets_total", "reason=\"closed\"", &netif_stats::closedcnt, RESETS_HELP},
    {"echo_requests_total", nullptr, &netif_stats::echoreqcnt,
     "Echo requests sent: 1 - responses / requests is the loss."},
    {"echo_responses_total", nullptr, &netif_stats::echorespcnt, "Echo responses accepted."},
    {"resolver_datagrams_total", nullptr, &netif_stats::rxdnscnt,
     "Datagrams from port 53 received while resolving the peer."},
    {"resolver_failures_total", nullptr, &netif_stats::panic_dns,
     "Resolver answers without a usable address."},
    {"control_refused_total", nullptr, &netif_stats::panic_pktverify,
     "Control packets refused for their signature or the session state."},
    {"openack_malformed_total", nullptr, &netif_stats::panic_open,
     "OPENACK answers with a malformed option list."},
    {"unknown_type_total", nullptr, &netif_stats::panic_pkttype,
     "Datagrams from the peer of an unknown packet type."},
};
static_assert(sizeof COUNTERS / sizeof COUNTERS[0] == sizeof(netif_stats) / sizeof(uint32_t) - 3);

// The request label of kernel_requests_refused_total, by SDWAN_KREQ_ value.
const char *const KREQ_NAMES[] = {"route", "address", "mtu"};
static_assert(sizeof KREQ_NAMES / sizeof KREQ_NAMES[0] == SDWAN_KREQ_COUNT);

// The states a status tick can see: IDLE lasts only inside a reset, NONE only before the
// start-up's end.
constexpr uint8_t EXPORTED_STATES[] = {SDWANCLNT_DNS, SDWANCLNT_INIT, SDWANCLNT_AUTH, SDWANCLNT_DATA, SDWANCLNT_CLOSED};

const char *const STATE_NAMES[] = {"NONE", "IDLE", "DNS", "INIT", "AUTH", "DATA", "CLOSED"};
static_assert(sizeof STATE_NAMES / sizeof STATE_NAMES[0] == SDWANCLNT_CLOSED + 1);

const char *state_name(uint8_t state) { return state <= SDWANCLNT_CLOSED ? STATE_NAMES[state] : "UNKNOWN"; }

// Appends to a fixed buffer; once something does not fit, everything after it is refused and
// the whole text counts as failed.
struct out_t {
    char *buf;
    uint32_t len;
    uint32_t used;
    bool full;
};

__attribute__((format(printf, 2, 3))) void put(out_t *o, const char *fmt, ...)
{
    if (o->full)
        return;
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(o->buf + o->used, o->len - o->used, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<uint32_t>(n) >= o->len - o->used) {
        o->full = true;
        return;
    }
    o->used += static_cast<uint32_t>(n);
}

// A label value: backslash, double quote and line feed escaped as the exposition format asks.
void put_label(out_t *o, const char *s)
{
    for (; *s != '\0' && !o->full; s++) {
        if (*s == '\\')
            put(o, "\\\\");
        else if (*s == '"')
            put(o, "\\\"");
        else if (*s == '\n')
            put(o, "\\n");
        else
            put(o, "%c", *s);
    }
}

void put_family(out_t *o, const char *name, const char *type, const char *help)
{
    put(o, "# HELP tolvad_%s %s\n# TYPE tolvad_%s %s\n", name, help, name, type);
}

// The start of a series: its name and its interface label (so that two clients' files can sit
// side by side in one collector's directory), open for more labels.
void put_series(out_t *o, const char *name, const sdwan_t *clnt)
{
    put(o, "tolvad_%s{interface=\"", name);
    put_label(o, clnt->conf.tun_name);
    put(o, "\"");
}

// A family of one series, with the interface as its only label.
void put_single(out_t *o, const sdwan_t *clnt, const char *name, const char *type, const char *help, uint64_t v)
{
    put_family(o, name, type, help);
    put_series(o, name, clnt);
    put(o, "} %llu\n", static_cast<unsigned long long>(v));
}

void put_gauge(out_t *o, const sdwan_t *clnt, const char *name, const char *help, uint64_t v)
{
    put_single(o, clnt, name, "gauge", help, v);
}

// Microseconds as seconds, the base unit, to the microsecond.
void put_seconds(out_t *o, const sdwan_t *clnt, const char *name, const char *help, uint32_t usec)
{
    put_family(o, name, "gauge", help);
    put_series(o, name, clnt);
    put(o, "} %u.%06u\n", usec / 1000000, usec % 1000000);
}

const char *ip_text(uint32_t ipbe, char *buf, uint32_t len)
{
    if (ipbe == 0)
        return "";
    const char *s = ip2strv4(ipbe, buf, len);
    return s != nullptr ? s : "";
}

// The reason label of sealed_drops_total, by SEAL_DROP_ value.
const char *const DROP_LABELS[] = {"malformed", "unknown_index", "bad_tag", "replay", "too_old", "unexpected_kind"};
static_assert(sizeof DROP_LABELS / sizeof DROP_LABELS[0] == SEAL_DROP_KINDS);

void put_sealed(out_t *o, const sdwan_t *clnt)
{
    const sdwan_seal_t &s = clnt->seal;
    put_family(o, "sealed_handshakes_total", "counter",
               "Sealed handshakes answered by the peer: keys made, or an answer that did not decrypt under peerkey.");
    put_series(o, "sealed_handshakes_total", clnt);
    put(o, ",result=\"done\"} %u\n", s.handshakes);
    put_series(o, "sealed_handshakes_total", clnt);
    put(o, ",result=\"failed\"} %u\n", s.hs_failed);
    put_family(o, "sealed_drops_total", "counter", "Sealed datagrams from the peer's address dropped, by reason.");
    for (int k = 0; k < SEAL_DROP_KINDS; k++) {
        put_series(o, "sealed_drops_total", clnt);
        put(o, ",reason=\"%s\"} %u\n", DROP_LABELS[k], s.drops[k]);
    }
    put_single(o, clnt, "sealed_rekeys_total", "counter", "Rekeys done: sending moved to a new handshake's keys.",
               s.rekeys);
    put_single(o, clnt, "sealed_keys_expired_total", "counter",
               "Sealed sessions started over: their keys went 180 s without a rekey.", s.expired);
}

// The paths of the uplinks key: one series per path and family, labelled with the uplink's
// interface, in the order of the key.
const char *const PATH_STATES[] = {"absent", "down", "up", "degraded"};
static_assert(sizeof PATH_STATES / sizeof PATH_STATES[0] == static_cast<size_t>(path_state::degraded) + 1);

struct path_rtt_t {
    const char *name;
    uint32_t sdwan_pathrtt_t::*field;
    const char *help;
};
constexpr path_rtt_t PATH_RTTS[] = {
    {"path_rtt_seconds", &sdwan_pathrtt_t::cur, "Round-trip time of the path's last probe answered, 0 before the first."},
    {"path_rtt_smoothed_seconds", &sdwan_pathrtt_t::srtt,
     "Smoothed round-trip time of the path's probes (moving average, gain 1/8)."},
    {"path_rtt_min_seconds", &sdwan_pathrtt_t::min, "Smallest round-trip time of the path's probes since start-up."},
    {"path_rtt_max_seconds", &sdwan_pathrtt_t::max, "Largest round-trip time of the path's probes since start-up."},
    {"path_jitter_seconds", &sdwan_pathrtt_t::jitter,
     "Mean deviation of consecutive round-trip times of the path's probes (gain 1/16)."},
};

struct path_count_t {
    const char *name;
    uint64_t sdwan_path_t::*field;
    const char *help;
};
constexpr path_count_t PATH_COUNTS[] = {
    {"path_probes_sent_total", &sdwan_path_t::probes_sent, "Probes sent through the path."},
    {"path_probes_lost_total", &sdwan_path_t::probes_lost, "Probes of the path left unanswered within their wait."},
    {"path_sent_packets_total", &sdwan_path_t::txpkts, "Datagrams of the session sent through the path."},
    {"path_sent_bytes_total", &sdwan_path_t::txbytes, "Bytes of the session's datagrams sent through the path."},
    {"path_received_packets_total", &sdwan_path_t::rxpkts, "Datagrams of the session received through the path."},
    {"path_received_bytes_total", &sdwan_path_t::rxbytes,
     "Bytes of the session's datagrams received through the path."},
};

void put_path(out_t *o, const sdwan_t *clnt, const char *name, uint32_t i)
{
    put_series(o, name, clnt);
    put(o, ",path=\"");
    put_label(o, clnt->conf.uplinks[i].ifname);
    put(o, "\"");
}

void put_usec(out_t *o, uint64_t usec)
{
    put(o, "} %llu.%06llu\n", static_cast<unsigned long long>(usec / 1000000),
        static_cast<unsigned long long>(usec % 1000000));
}

void put_paths(out_t *o, const sdwan_t *clnt)
{
    const uint32_t n = clnt->conf.nuplinks < SDWAN_PATHS_MAX ? clnt->conf.nuplinks : SDWAN_PATHS_MAX;
    const sdwan_path_t *const p = clnt->paths.p;
    put_family(o, "path_state", "gauge", "1 for the path's current state, 0 for the others.");
    for (uint32_t i = 0; i < n; i++)
        for (uint32_t s = 0; s < sizeof PATH_STATES / sizeof PATH_STATES[0]; s++) {
            put_path(o, clnt, "path_state", i);
            put(o, ",state=\"%s\"} %u\n", PATH_STATES[s], static_cast<uint32_t>(p[i].state) == s ? 1u : 0u);
        }
    put_family(o, "path_active", "gauge", "1 for the path that carries the session, 0 for the others.");
    for (uint32_t i = 0; i < n; i++) {
        put_path(o, clnt, "path_active", i);
        put(o, "} %u\n", clnt->paths.active == static_cast<int>(i) ? 1u : 0u);
    }
    for (const path_rtt_t &r : PATH_RTTS) {
        put_family(o, r.name, "gauge", r.help);
        for (uint32_t i = 0; i < n; i++) {
            put_path(o, clnt, r.name, i);
            put_usec(o, p[i].rtt.*r.field);
        }
    }
    put_family(o, "path_loss_ratio", "gauge", "Share of the path's last 32 probes left unanswered.");
    for (uint32_t i = 0; i < n; i++) {
        put_path(o, clnt, "path_loss_ratio", i);
        const uint32_t loss = p[i].loss <= 100 ? p[i].loss : 100;
        put(o, "} %u.%02u\n", loss / 100, loss % 100);
    }
    // A path never heard has no such sample: no figure would be true.
    put_family(o, "path_last_heard_seconds", "gauge",
               "Seconds since the last datagram of the session came through the path; absent while none did.");
    const uint64_t now = os_monousec();
    for (uint32_t i = 0; i < n; i++) {
        if (p[i].heard == 0)
            continue;
        put_path(o, clnt, "path_last_heard_seconds", i);
        put_usec(o, now > p[i].heard ? now - p[i].heard : 0);
    }
    for (const path_count_t &c : PATH_COUNTS) {
        put_family(o, c.name, "counter", c.help);
        for (uint32_t i = 0; i < n; i++) {
            put_path(o, clnt, c.name, i);
            put(o, "} %llu\n", static_cast<unsigned long long>(p[i].*c.field));
        }
    }
    put_single(o, clnt, "path_moves_total", "counter", "Moves of the session to another path.", clnt->paths.moves);
}

}  // namespace

int status_set_path(sdwan_t *clnt, const char *path)
{
    sdwan_status_t &sf = clnt->status;
    sf.path[0] = '\0';
    sf.tmp[0] = '\0';
    const size_t n = strlen(path);
    if (n == 0)
        return 0;
    if (n + sizeof TMP_SUFFIX > STATUS_PATH_MAX)
        return -1;
    memcpy(sf.path, path, n + 1);
    memcpy(sf.tmp, path, n);
    memcpy(sf.tmp + n, TMP_SUFFIX, sizeof TMP_SUFFIX);
    sf.written = false;
    sf.umask = umask(0);
    umask(sf.umask);
    return 0;
}

const char *status_path(const sdwan_t *clnt) { return clnt->status.path; }

void status_reset(sdwan_t *clnt) { clnt->status.write_errno = 0; }

uint32_t status_format(const sdwan_t *clnt, char *buf, uint32_t len)
{
    out_t o{buf, len, 0, len == 0};
    char a[16];

    put_family(&o, "session_state", "gauge", "1 for the session's current state, 0 for the others.");
    for (uint8_t st : EXPORTED_STATES) {
        put_series(&o, "session_state", clnt);
        put(&o, ",state=\"%s\"} %u\n", state_name(st), clnt->sess.state == st ? 1U : 0U);
    }
    put_gauge(&o, clnt, "session_established_timestamp_seconds",
              "Unix time at which the current session was established, 0 when none is.",
              clnt->sess.state == SDWANCLNT_DATA ? clnt->sess.lastdial : 0);

    put_family(&o, "peer_info", "gauge", "The configured peer, its current address and UDP port.");
    put_series(&o, "peer_info", clnt);
    put(&o, ",peer=\"");
    put_label(&o, clnt->conf.peer);
    put(&o, "\",address=\"%s\",port=\"%u\"} 1\n", ip_text(clnt->sess.peerip, a, sizeof a), unsigned{clnt->conf.peerport});

    put_family(&o, "tunnel_info", "gauge",
               "The address and gateway the peer handed out, and the payload cipher (xor or none).");
    put_series(&o, "tunnel_info", clnt);
    put(&o, ",address=\"%s\"", ip_text(clnt->sess.ip, a, sizeof a));
    put(&o, ",gateway=\"%s\",cipher=\"%s\"} 1\n", ip_text(clnt->sess.gateway, a, sizeof a),
        clnt->sess.state != SDWANCLNT_DATA ? "none"
        : seal_on(clnt)                    ? "sealed"
        : clnt->sess.peerencrypt != 0      ? "xor"
                                           : "none");
    // The interface gets the smaller of the peer's and the configured MTU, unless the kernel
    // took another (host.tunmtu, read back from it).
    const uint16_t mtu = clnt->host.tunmtu != 0 ? clnt->host.tunmtu
                         : clnt->sess.peermtu < clnt->conf.mtu ? clnt->sess.peermtu : clnt->conf.mtu;
    put_gauge(&o, clnt, "tunnel_mtu_bytes", "MTU of the TUN interface in the session, 0 outside one.",
              clnt->sess.state == SDWANCLNT_DATA ? mtu : 0);

    if (clnt->conf.rtmode != SDWAN_RTMODE_SPLIT)
        put_gauge(&o, clnt, "default_route_installed", "1 while the tunnel's default route is in place.",
                  (clnt->host.own & SDWAN_OWN_DEFRT) != 0 ? 1 : 0);
    if (clnt->conf.rtmode == SDWAN_RTMODE_SPLIT) {
        put_family(&o, "route_installed", "gauge",
                   "A prefix of the routes key: 1 while its route through the tunnel is in place.");
        int i = 0;
        for (const rtcfg_entry_t *e = clnt->conf.rtcfg; e != nullptr; e = e->next, i++) {
            put_series(&o, "route_installed", clnt);
            put(&o, ",prefix=\"%s/%u\"} %u\n", ip_text(e->net, a, sizeof a), static_cast<unsigned>(e->masklen),
                clnt->host.rtset[i] != 0 ? 1u : 0u);
        }
    }

    const char *family = "";
    for (const counter_t &c : COUNTERS) {
        if (strcmp(family, c.name) != 0)
            put_family(&o, c.name, "counter", c.help);
        family = c.name;
        put_series(&o, c.name, clnt);
        if (c.label != nullptr)
            put(&o, ",%s", c.label);
        put(&o, "} %u\n", clnt->count.stats.*c.field);
    }
    put_family(&o, "kernel_requests_refused_total", "counter",
               "Requests the kernel refused: routes through the tunnel and host routes, the tunnel's address, its MTU.");
    for (int k = 0; k < SDWAN_KREQ_COUNT; k++) {
        put_series(&o, "kernel_requests_refused_total", clnt);
        put(&o, ",request=\"%s\"} %u\n", KREQ_NAMES[k], clnt->count.kreq_refused[k]);
    }
    put_single(&o, clnt, "tunnel_transmit_bytes_total", "counter",
               "Bytes of the packets sent to the peer, headers left out.", clnt->count.txbytes);
    put_single(&o, clnt, "tunnel_receive_bytes_total", "counter", "Bytes of the packets written to the TUN interface.",
               clnt->count.rxbytes);
    put_single(&o, clnt, "tunnel_transmit_dropped_total", "counter",
               "Packets from the TUN interface lost: their send to the peer failed.", clnt->count.tx_failed);
    put_single(&o, clnt, "tunnel_receive_dropped_total", "counter",
               "Packets from the peer lost: their write to the TUN interface failed.", clnt->count.tun_write_failed);
    put_gauge(&o, clnt, "peer_idle_seconds",
              "Seconds since the last datagram from the peer's address and port, or since the start while none came.",
              static_cast<uint32_t>(os_monosec()) - clnt->count.heard);
    put_single(&o, clnt, "close_mismatch_total", "counter",
               "CLOSE packets in a session whose sid and token were not the session's: each asks the peer first.",
               clnt->count.close_mismatch);
    put_single(&o, clnt, "log_lines_suppressed_total", "counter",
               "Log lines of refused datagrams held back by the rate limit, each counted in a summary line.",
               clnt->count.log_suppressed);
    put_single(&o, clnt, "uplink_switches_total", "counter",
               "Moves of the peer to another of the host's default routes after failed session attempts.",
               clnt->count.uplink_switches);

    // Only where the session is sealed: a legacy client's file stays as it was.
    if (seal_on(clnt))
        put_sealed(&o, clnt);

    const sdwan_rtt_t &r = clnt->rtt.usec;
    put_seconds(&o, clnt, "rtt_current_seconds", "Round-trip time of the last echo answered (monotonic clock).", r.cur);
    put_seconds(&o, clnt, "rtt_min_seconds", "Smallest round-trip time since start-up.", r.min);
    put_seconds(&o, clnt, "rtt_max_seconds", "Largest round-trip time since start-up.", r.max);
    put_seconds(&o, clnt, "rtt_smoothed_seconds", "Smoothed round-trip time (moving average, gain 1/8).", r.srtt);
    put_single(&o, clnt, "rtt_samples_total", "counter", "Echo responses matched to their request and measured.",
               r.samples);

    // Only with the uplinks key: a file without it stays as it was.
    if (clnt->conf.nuplinks > 0)
        put_paths(&o, clnt);

    put_family(&o, "build_info", "gauge", "The daemon's version.");
    put_series(&o, "build_info", clnt);
    put(&o, ",version=\"%s\"} 1\n", TOLVAD_VERSION);
    put_gauge(&o, clnt, "start_time_seconds", "Unix time at which the daemon started.", clnt->count.start_time);
    // Last: a file that stops changing tells its age by this.
    put_gauge(&o, clnt, "status_time_seconds", "Unix time at which the daemon wrote this file.", os_cursec());
    return o.full ? 0 : o.used;
}

void status_text(const sdwan_t *clnt, char *buf, uint32_t len)
{
    if (len == 0)
        return;
    out_t o{buf, len, 0, false};
    buf[0] = '\0';
    if (sdwclnt_not_ready(clnt) != 0) {
        put(&o, "No session: the configuration is not valid");
        return;
    }
    char a[16];
    put(&o, "%s, peer ", state_name(clnt->sess.state));
    if (clnt->conf.peerdomain[0] != '\0') {
        put(&o, "%s", clnt->conf.peerdomain);
        if (clnt->sess.state == SDWANCLNT_DNS || clnt->sess.peerip == 0)
            put(&o, " (resolving)");
        else
            put(&o, " (%s:%u)", ip_text(clnt->sess.peerip, a, sizeof a), unsigned{clnt->conf.peerport});
    } else {
        put(&o, "%s:%u", ip_text(clnt->sess.peerip, a, sizeof a), unsigned{clnt->conf.peerport});
    }
    // The start-up's wait for an uplink: what the unit's status shows until the session starts.
    if (clnt->host.routewait)
        put(&o, ", waiting for a route to the %s", clnt->conf.peerdomain[0] != '\0' ? "resolver" : "peer");
    if (clnt->sess.state == SDWANCLNT_DATA) {
        put(&o, ", address %s", ip_text(clnt->sess.ip, a, sizeof a));
        // The smoothed delay to a tenth of a millisecond: jitter below that does not make a new
        // status every two seconds.
        if (clnt->rtt.usec.samples != 0)
            put(&o, ", rtt %u.%u ms", clnt->rtt.usec.srtt / 1000, clnt->rtt.usec.srtt % 1000 / 100);
    }
}

int status_write(sdwan_t *clnt)
{
    sdwan_status_t &sf = clnt->status;
    if (sf.path[0] == '\0')
        return 0;
    const uint32_t n = status_format(clnt, sf.buf, sizeof sf.buf);
    if (n == 0) {
        errno = ENOBUFS;
        return -1;
    }
    // A fresh name made with O_CREAT | O_EXCL: nothing planted in a directory others may write
    // to (a link, a FIFO that would block the open) is ever opened; the name that is taken is
    // simply not used. mkostemp gives 0600, the collector reading the file may be another user.
    const size_t len = strlen(sf.path);
    memcpy(sf.tmp + len, TMP_SUFFIX, sizeof TMP_SUFFIX);
    const int fd = mkostemp(sf.tmp, O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    int e = 0;
    if (fstat(fd, &st) != 0)
        e = errno;
    else if (!S_ISREG(st.st_mode))
        e = EINVAL;
    else if (fchmod(fd, 0644 & ~sf.umask) != 0 || log_write_all(fd, sf.buf, n) != n)
        e = errno;
    if (close(fd) != 0 && e == 0)
        e = errno;
    if (e == 0 && rename(sf.tmp, sf.path) != 0)
        e = errno;
    if (e != 0) {
        unlink(sf.tmp);
        errno = e;
        return -1;
    }
    sf.written = true;
    return 0;
}

void status_file_tick(sdwan_t *clnt)
{
    sdwan_status_t &sf = clnt->status;
    if (sf.path[0] == '\0')
        return;
    if (status_write(clnt) == 0) {
        sf.write_errno = 0;
    } else if (errno != sf.write_errno) {
        sf.write_errno = errno;
        log_help("Failed to write status file %s: %s\n", sf.path, strerror(sf.write_errno));
    }
}

void status_deinit(sdwan_t *clnt)
{
    sdwan_status_t &sf = clnt->status;
    if (sf.path[0] == '\0' || !sf.written)
        return;
    unlink(sf.path);
    sf.written = false;
}
