// The server's counters and every live session's in the Prometheus text format, for a
// node exporter's text-file collector or any scraper that reads a file. Written to "<path>.tmp"
// through a fixed buffer and renamed over the file, so a reader sees one whole snapshot, and
// nothing is allocated however many sessions there are.
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/event.h"
#include "net/ipaddr.h"
#include "peer/peer.h"
#include "base/log.h"

namespace {

struct counter_t {
    const char *name;
    uint64_t peer_stats_t::*field;
    const char *help;
};

constexpr counter_t COUNTERS[] = {
    {"rx_datagrams", &peer_stats_t::rx_dgrams, "Datagrams received on the UDP port."},
    {"tx_datagrams", &peer_stats_t::tx_dgrams, "Datagrams sent."},
    {"tx_dropped", &peer_stats_t::tx_drop, "Datagrams the socket refused."},
    {"drop_short", &peer_stats_t::drop_short, "Datagrams shorter than their type needs."},
    {"drop_truncated", &peer_stats_t::drop_trunc, "Datagrams longer than the receive buffer."},
    {"drop_signature", &peer_stats_t::drop_sig, "Datagrams whose signature did not verify."},
    {"drop_malformed", &peer_stats_t::drop_malformed, "OPEN requests with a broken option list."},
    {"drop_type", &peer_stats_t::drop_type, "Datagrams of a type clients never send."},
    {"drop_nosession", &peer_stats_t::drop_nosess, "Data or echo from an address without a session."},
    {"drop_token", &peer_stats_t::drop_token, "Datagrams with another session's id or token."},
    {"drop_badip", &peer_stats_t::drop_badip, "Data not from the session's own tunnel address."},
    {"drop_noroute", &peer_stats_t::drop_noroute, "Interface packets for an address no session owns."},
    {"drop_tun_malformed", &peer_stats_t::drop_tunbad, "Interface reads whose offload header or packet was refused."},
    {"tun_rx_packets", &peer_stats_t::tun_rx, "Packets read from the TUN interface."},
    {"tun_tx_packets", &peer_stats_t::tun_tx, "Packets written to the TUN interface."},
    {"tun_tx_errors", &peer_stats_t::tun_txerr, "TUN writes that failed."},
    {"open_accepted", &peer_stats_t::open_ok, "Sessions created."},
    {"open_repeated", &peer_stats_t::open_again, "Repeated OPEN answered with the existing session."},
    {"open_rejected", &peer_stats_t::open_rej, "OPENREJ sent, whatever the reason."},
    {"reject_unknown_user", &peer_stats_t::rej_unknown, "OPEN rejected: unknown user."},
    {"reject_wrong_password", &peer_stats_t::rej_password, "OPEN rejected: wrong password."},
    {"reject_live_session", &peer_stats_t::rej_held, "OPEN rejected: the user's session was heard from lately."},
    {"reject_source_held", &peer_stats_t::rej_srcheld,
     "OPEN rejected: another user's session at the same source was heard from lately."},
    {"reject_table_full", &peer_stats_t::rej_full, "OPEN rejected: session table full."},
    {"reject_no_address", &peer_stats_t::rej_noaddr, "OPEN rejected: no free address."},
    {"log_suppressed", &peer_stats_t::log_suppressed, "Remotely triggered log lines counted but not written."},
    {"echo_replies", &peer_stats_t::echo, "ECHORESP sent."},
    {"sessions_silent", &peer_stats_t::sess_silent, "Sessions dropped for silence."},
    {"sessions_replaced", &peer_stats_t::sess_replaced, "Sessions replaced by a new one."},
    {"sessions_closed", &peer_stats_t::sess_closed, "Sessions closed at shutdown or at a reload."},
    {"reloads", &peer_stats_t::reloads, "User lists reloaded."},
    {"reload_failures", &peer_stats_t::reload_fail, "Reloads refused."},
    {"reject_legacy", &peer_stats_t::rej_legacy, "OPEN rejected: legacy sessions refused (legacy=0)."},
    {"sealed_handshakes", &peer_stats_t::seal_hs, "SINIT answered with SRESP."},
    {"sealed_auth_accepted", &peer_stats_t::seal_auth, "AUTH accepted, rekeys included."},
    {"sealed_auth_rejected", &peer_stats_t::seal_rej, "AUTHREJ sent."},
    {"sealed_rekeys", &peer_stats_t::seal_rekeys, "Sealed sessions that took new keys."},
    {"sealed_moved", &peer_stats_t::seal_moved, "Sealed sessions moved to a new client address and port."},
    {"sealed_drop_ratelimited", &peer_stats_t::seal_ratelimit, "SINIT dropped by the per-source or global limit."},
    {"sealed_drop_pending_full", &peer_stats_t::seal_pendfull, "SINIT dropped: every pending handshake slot taken."},
    {"sealed_drop_malformed", &peer_stats_t::seal_malformed, "Sealed messages of a wrong length or header, or refused handshakes."},
    {"sealed_drop_unknown_index", &peer_stats_t::seal_unknown, "SDATA for an index the peer does not hold."},
    {"sealed_drop_replay", &peer_stats_t::seal_replay, "SDATA whose counter was already seen."},
    {"sealed_drop_too_old", &peer_stats_t::seal_old, "SDATA whose counter is behind the replay window."},
    {"sealed_drop_bad_tag", &peer_stats_t::seal_badtag, "SDATA whose tag did not verify."},
    {"sealed_drop_kind", &peer_stats_t::seal_kind, "SDATA of a kind not expected in its state."},
    {"sealed_sessions_expired", &peer_stats_t::seal_expired, "Sealed sessions closed: their keys went 180 s without a rekey."},
    {"sealed_probe_replies", &peer_stats_t::seal_probes, "PROBEACK sent, each to its probe's source."},
    {"sealed_move_source_held", &peer_stats_t::seal_srcheld,
     "Sealed datagrams from a source another live session holds: their session stayed."},
};
// Every counter of the record is in the file: a drop nobody can see is a drop nobody looks for.
static_assert(sizeof COUNTERS / sizeof COUNTERS[0] == sizeof(peer_stats_t) / sizeof(uint64_t));

struct out_t {
    int fd;
    int err;  // errno of the first failed write, 0 while all went well
    size_t n;
    char buf[65536];
};
out_t s_out;

void flush(out_t *o)
{
    if (o->err == 0 && log_write_all(o->fd, o->buf, o->n) != o->n)
        o->err = errno;
    o->n = 0;
}

void put(out_t *o, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void put(out_t *o, const char *fmt, ...)
{
    if (sizeof o->buf - o->n < 512)
        flush(o);
    va_list ap;
    va_start(ap, fmt);
    int w = vsnprintf(o->buf + o->n, sizeof o->buf - o->n, fmt, ap);
    va_end(ap);
    if (w > 0)
        o->n += static_cast<size_t>(w) < sizeof o->buf - o->n ? static_cast<size_t>(w) : 0;
}

void session_series(out_t *o, const peer_t *p, const char *name, const char *type, const char *help,
                    uint64_t (*value)(const peer_t *, const peer_sess_t &))
{
    put(o, "# HELP sdwan_peer_session_%s %s\n# TYPE sdwan_peer_session_%s %s\n", name, help, name, type);
    for (uint32_t i = 0; i < p->nsess; i++) {
        const peer_sess_t &s = p->sess[i];
        if (!s.live)
            continue;
        char a[16];
        // User names are printable ASCII, which may hold the label syntax's '"' and '\'.
        char user[64];
        size_t k = 0;
        for (const char *c = p->cfg.users[s.user].name; *c != '\0' && k + 2 < sizeof user; c++) {
            if (*c == '"' || *c == '\\')
                user[k++] = '\\';
            user[k++] = *c;
        }
        user[k] = '\0';
        put(o, "sdwan_peer_session_%s{user=\"%s\",address=\"%s\"} %llu\n", name, user, ip2strv4(s.addr, a, sizeof a),
            static_cast<unsigned long long>(value(p, s)));
    }
}

}  // namespace

int peer_metrics_write(peer_t *p)
{
    char tmp[PEER_LOGPATH + 8];
    snprintf(tmp, sizeof tmp, "%s.tmp", p->cfg.metrics);
    out_t *o = &s_out;
    o->fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (o->fd < 0) {
        o->err = errno;
    } else {
        o->err = 0;
        o->n = 0;
        for (const counter_t &c : COUNTERS)
            put(o, "# HELP sdwan_peer_%s_total %s\n# TYPE sdwan_peer_%s_total counter\nsdwan_peer_%s_total %llu\n",
                c.name, c.help, c.name, c.name, static_cast<unsigned long long>(p->st.*c.field));
        put(o, "# HELP sdwan_peer_rx_bytes_total Bytes of the data packets from clients written to the interface.\n"
               "# TYPE sdwan_peer_rx_bytes_total counter\nsdwan_peer_rx_bytes_total %llu\n",
            static_cast<unsigned long long>(p->rxbytes));
        put(o, "# HELP sdwan_peer_tx_bytes_total Bytes of the data packets from the interface sent to clients.\n"
               "# TYPE sdwan_peer_tx_bytes_total counter\nsdwan_peer_tx_bytes_total %llu\n",
            static_cast<unsigned long long>(p->txbytes));
        put(o, "# HELP sdwan_peer_build_info The server's version.\n# TYPE sdwan_peer_build_info gauge\n"
               "sdwan_peer_build_info{version=\"%s\"} 1\n",
            peer_version);
        put(o, "# HELP sdwan_peer_start_time_seconds Unix time at which the server started.\n"
               "# TYPE sdwan_peer_start_time_seconds gauge\nsdwan_peer_start_time_seconds %llu\n",
            static_cast<unsigned long long>(p->start_time));
        put(o, "# HELP sdwan_peer_sessions Live sessions.\n# TYPE sdwan_peer_sessions gauge\nsdwan_peer_sessions %u\n",
            p->live);
        put(o, "# HELP sdwan_peer_sessions_max Size of the session table (sessions=).\n"
               "# TYPE sdwan_peer_sessions_max gauge\nsdwan_peer_sessions_max %u\n",
            p->nsess);
        put(o, "# HELP sdwan_peer_users Users in the configuration.\n# TYPE sdwan_peer_users gauge\nsdwan_peer_users %d\n",
            p->cfg.nusers);
        session_series(o, p, "rx_packets_total", "counter", "Data packets from the client to the interface.",
                       [](const peer_t *, const peer_sess_t &s) { return s.rxpkts; });
        session_series(o, p, "tx_packets_total", "counter", "Data packets from the interface to the client.",
                       [](const peer_t *, const peer_sess_t &s) { return s.txpkts; });
        session_series(o, p, "idle_seconds", "gauge", "Seconds since the client was last heard from.",
                       [](const peer_t *q, const peer_sess_t &s) { return uint64_t{q->now - s.lastsec}; });
        session_series(o, p, "rx_bytes_total", "counter", "Bytes of the data packets from the client to the interface.",
                       [](const peer_t *, const peer_sess_t &s) { return s.rxbytes; });
        session_series(o, p, "tx_bytes_total", "counter", "Bytes of the data packets from the interface to the client.",
                       [](const peer_t *, const peer_sess_t &s) { return s.txbytes; });
        session_series(o, p, "start_time_seconds", "gauge", "Unix time at which the session started.",
                       [](const peer_t *, const peer_sess_t &s) { return uint64_t{s.started}; });
        // Last: a file that stops changing tells its age by this.
        put(o, "# HELP sdwan_peer_status_time_seconds Unix time at which the server wrote this file.\n"
               "# TYPE sdwan_peer_status_time_seconds gauge\nsdwan_peer_status_time_seconds %llu\n",
            static_cast<unsigned long long>(os_cursec()));
        flush(o);
        if (close(o->fd) != 0 && o->err == 0)
            o->err = errno;
        if (o->err == 0 && rename(tmp, p->cfg.metrics) != 0)
            o->err = errno;
        if (o->err != 0)
            unlink(tmp);
    }
    // A lasting fault is logged once, when it first appears or changes.
    static int last_err = 0;
    if (o->err != 0 && o->err != last_err)
        log_help("peer: cannot write metrics file %s: %s\n", p->cfg.metrics, strerror(o->err));
    last_err = o->err;
    return o->err == 0 ? 0 : -1;
}
