#include "client/status.h"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/ipaddr.h"
#include "shell/log.h"

namespace {

// mkostemp's template: the six X become a fresh name at each write.
constexpr char TMP_SUFFIX[] = ".tmpXXXXXX";

char s_path[STATUS_PATH_MAX];
char s_tmp[STATUS_PATH_MAX];
// This run has put a file at s_path: only then does the shutdown remove what is there.
bool s_written = false;
// The process's umask, read at configuration time: fchmod does not apply it by itself.
mode_t s_umask = 022;
// errno of the last failed write, 0 after a good one: a lasting fault is logged once, not
// every second.
int s_write_errno = 0;
char s_buf[STATUS_BUF];

struct counter_t {
    const char *name;
    size_t offset;
    const char *help;
};

// Every counter of the client record, in the record's order.
constexpr counter_t COUNTERS[] = {
    {"sock_rxpkts", offsetof(netif_stats, sock_rxpkts), "Datagrams accepted from the peer's address and port."},
    {"sock_txpkts", offsetof(netif_stats, sock_txpkts), "Data packets sent to the peer."},
    {"tun_rxpkts", offsetof(netif_stats, tun_rxpkts), "Packets read from the TUN interface."},
    {"tun_txpkts", offsetof(netif_stats, tun_txpkts), "Packets written to the TUN interface."},
    {"txdnscnt", offsetof(netif_stats, txdnscnt), "DNS queries counted as sent (not counted by the client)."},
    {"rxdnscnt", offsetof(netif_stats, rxdnscnt), "Datagrams from port 53 received while resolving the peer."},
    {"opencnt", offsetof(netif_stats, opencnt), "OPEN requests counted as sent (not counted by the client)."},
    {"openackcnt", offsetof(netif_stats, openackcnt), "OPENACK answers accepted: sessions established."},
    {"openrejcnt", offsetof(netif_stats, openrejcnt), "OPENREJ answers accepted: authentications rejected."},
    {"echoreqcnt", offsetof(netif_stats, echoreqcnt), "Echo requests counted as sent (not counted by the client)."},
    {"echorespcnt", offsetof(netif_stats, echorespcnt), "Echo responses accepted."},
    {"closedcnt", offsetof(netif_stats, closedcnt), "CLOSE packets accepted, and closed sessions left."},
    {"panic_txdrop", offsetof(netif_stats, panic_txdrop), "Transmit drops (not counted by the client)."},
    {"panic_pktdest", offsetof(netif_stats, panic_pktdest), "Misdirected packets (not counted by the client)."},
    {"panic_token", offsetof(netif_stats, panic_token), "Token mismatches (not counted by the client)."},
    {"panic_dns", offsetof(netif_stats, panic_dns), "Resolver answers without a usable address."},
    {"panic_pktverify", offsetof(netif_stats, panic_pktverify),
     "Control packets refused for their signature or the session state."},
    {"panic_open", offsetof(netif_stats, panic_open), "OPENACK answers with a malformed option list."},
    {"panic_dataot", offsetof(netif_stats, panic_dataot), "Established sessions ended by the peer's silence."},
    {"panic_authot", offsetof(netif_stats, panic_authot), "Authentications abandoned for want of an answer."},
    {"panic_pkttype", offsetof(netif_stats, panic_pkttype), "Datagrams from the peer of an unknown packet type."},
};
static_assert(sizeof COUNTERS / sizeof COUNTERS[0] == sizeof(netif_stats) / sizeof(uint32_t));

const char *const STATE_NAMES[] = {"NONE", "IDLE", "DNS", "INIT", "AUTH", "DATA", "CLOSED"};
static_assert(sizeof STATE_NAMES / sizeof STATE_NAMES[0] == SDWANCLNT_CLOSED + 1);

const char *state_name(uint8_t state) { return state <= SDWANCLNT_CLOSED ? STATE_NAMES[state] : "UNKNOWN"; }

uint32_t counter_value(const netif_stats &st, size_t offset)
{
    uint32_t v;
    memcpy(&v, reinterpret_cast<const unsigned char *>(&st) + offset, sizeof v);
    return v;
}

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

void put_gauge(out_t *o, const char *name, const char *help, uint64_t v)
{
    put(o, "# HELP %s %s\n# TYPE %s gauge\n%s %llu\n", name, help, name, name, static_cast<unsigned long long>(v));
}

const char *ip_text(uint32_t ipbe, char *buf, uint32_t len)
{
    if (ipbe == 0)
        return "";
    const char *s = ip2strv4(ipbe, buf, len);
    return s != nullptr ? s : "";
}

}  // namespace

int status_set_path(const char *path)
{
    s_path[0] = '\0';
    s_tmp[0] = '\0';
    const size_t n = strlen(path);
    if (n == 0)
        return 0;
    if (n + sizeof TMP_SUFFIX > STATUS_PATH_MAX)
        return -1;
    memcpy(s_path, path, n + 1);
    memcpy(s_tmp, path, n);
    memcpy(s_tmp + n, TMP_SUFFIX, sizeof TMP_SUFFIX);
    s_written = false;
    s_umask = umask(0);
    umask(s_umask);
    return 0;
}

const char *status_path() { return s_path; }

void status_reset() { s_write_errno = 0; }

uint32_t status_format(const sdwan_t *clnt, char *buf, uint32_t len)
{
    out_t o{buf, len, 0, len == 0};
    char a[16];

    put(&o, "# HELP tolvad_session_state Session state: 0 NONE, 1 IDLE, 2 DNS, 3 INIT, 4 AUTH, 5 DATA, 6 CLOSED.\n"
            "# TYPE tolvad_session_state gauge\n");
    put(&o, "tolvad_session_state{state=\"%s\"} %u\n", state_name(clnt->si_state), unsigned{clnt->si_state});
    put_gauge(&o, "tolvad_session_established_since_seconds",
              "Unix time at which the current session was established, 0 when none is.",
              clnt->si_state == SDWANCLNT_DATA ? clnt->si_lastdial : 0);

    put(&o, "# HELP tolvad_peer_info The configured peer, its current address and UDP port.\n"
            "# TYPE tolvad_peer_info gauge\n"
            "tolvad_peer_info{peer=\"");
    put_label(&o, clnt->si_peer);
    put(&o, "\",address=\"%s\",port=\"%u\"} 1\n", ip_text(clnt->si_peerip, a, sizeof a), unsigned{clnt->si_peerport});

    put(&o, "# HELP tolvad_tunnel_info The TUN interface and the address and gateway the peer handed out.\n"
            "# TYPE tolvad_tunnel_info gauge\n"
            "tolvad_tunnel_info{interface=\"");
    put_label(&o, clnt->tun_name);
    put(&o, "\",address=\"%s\"", ip_text(clnt->si_ip, a, sizeof a));
    put(&o, ",gateway=\"%s\"} 1\n", ip_text(clnt->si_gateway, a, sizeof a));

    for (const counter_t &c : COUNTERS)
        put(&o, "# HELP tolvad_%s_total %s\n# TYPE tolvad_%s_total counter\ntolvad_%s_total %u\n", c.name, c.help,
            c.name, c.name, counter_value(clnt->si_stats, c.offset));

    const sdwan_rtt_t &r = clnt->si_rtt;
    put_gauge(&o, "tolvad_rtt_current_microseconds", "Round-trip delay of the last echo answered (monotonic clock).",
              r.cur);
    put_gauge(&o, "tolvad_rtt_min_microseconds", "Smallest round-trip delay since start-up.", r.min);
    put_gauge(&o, "tolvad_rtt_max_microseconds", "Largest round-trip delay since start-up.", r.max);
    put_gauge(&o, "tolvad_rtt_smoothed_microseconds", "Smoothed round-trip delay (moving average, gain 1/8).",
              r.srtt);
    put(&o, "# HELP tolvad_rtt_samples_total Echo responses matched to their request and measured.\n"
            "# TYPE tolvad_rtt_samples_total counter\n"
            "tolvad_rtt_samples_total %u\n",
        r.samples);
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
    put(&o, "%s, peer ", state_name(clnt->si_state));
    if (clnt->si_peerdomain[0] != '\0') {
        put(&o, "%s", clnt->si_peerdomain);
        if (clnt->si_state == SDWANCLNT_DNS || clnt->si_peerip == 0)
            put(&o, " (resolving)");
        else
            put(&o, " (%s:%u)", ip_text(clnt->si_peerip, a, sizeof a), unsigned{clnt->si_peerport});
    } else {
        put(&o, "%s:%u", ip_text(clnt->si_peerip, a, sizeof a), unsigned{clnt->si_peerport});
    }
    if (clnt->si_state == SDWANCLNT_DATA) {
        put(&o, ", address %s", ip_text(clnt->si_ip, a, sizeof a));
        // The smoothed delay to a tenth of a millisecond: jitter below that does not make a new
        // status every two seconds.
        if (clnt->si_rtt.samples != 0)
            put(&o, ", rtt %u.%u ms", clnt->si_rtt.srtt / 1000, clnt->si_rtt.srtt % 1000 / 100);
    }
}

int status_write(const sdwan_t *clnt)
{
    if (s_path[0] == '\0')
        return 0;
    const uint32_t n = status_format(clnt, s_buf, sizeof s_buf);
    if (n == 0) {
        errno = ENOBUFS;
        return -1;
    }
    // A fresh name made with O_CREAT | O_EXCL: nothing planted in a directory others may write
    // to (a link, a FIFO that would block the open) is ever opened; the name that is taken is
    // simply not used. mkostemp gives 0600, the collector reading the file may be another user.
    const size_t len = strlen(s_path);
    memcpy(s_tmp + len, TMP_SUFFIX, sizeof TMP_SUFFIX);
    const int fd = mkostemp(s_tmp, O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    int e = 0;
    if (fstat(fd, &st) != 0)
        e = errno;
    else if (!S_ISREG(st.st_mode))
        e = EINVAL;
    else if (fchmod(fd, 0644 & ~s_umask) != 0)
        e = errno;
    uint32_t off = 0;
    while (e == 0 && off < n) {
        const ssize_t w = write(fd, s_buf + off, n - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            e = w < 0 ? errno : EIO;
        else
            off += static_cast<uint32_t>(w);
    }
    if (close(fd) != 0 && e == 0)
        e = errno;
    if (e == 0 && rename(s_tmp, s_path) != 0)
        e = errno;
    if (e != 0) {
        unlink(s_tmp);
        errno = e;
        return -1;
    }
    s_written = true;
    return 0;
}

void status_file_tick(const sdwan_t *clnt)
{
    if (s_path[0] == '\0')
        return;
    if (status_write(clnt) == 0) {
        s_write_errno = 0;
    } else if (errno != s_write_errno) {
        s_write_errno = errno;
        log_help("Failed to write status file %s: %s\n", s_path, strerror(s_write_errno));
    }
}

void status_deinit()
{
    if (s_path[0] == '\0' || !s_written)
        return;
    unlink(s_path);
    s_written = false;
}
