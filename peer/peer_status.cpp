// The status file: what tolvactl show lists, one line per live session and one per source
// address it was heard from (up to PEER_SESS_SRCS: a client's uplinks), rewritten every second.
// A file rather than a control socket: a daemon running as root opens no new listening surface,
// the file's permissions say who may read it, and the client's status file has the same
// staleness rule and tooling. The lines are "key=value" words so fields can be added without
// breaking a reader; the user name comes last, the rest of its line, as it may hold blanks.
//
// 10 000 sessions are about a megabyte (two to three with every source row filled): the text goes through one static buffer, written out
// each time it fills, to a fresh temporary name renamed over the file, so a reader sees one
// whole second and nothing is allocated.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"
#include "core/event.h"
#include "net/ipaddr.h"
#include "peer/peer.h"

#ifndef PEER_VERSION
#define PEER_VERSION "unknown"
#endif

const char peer_version[] = PEER_VERSION;

namespace {

constexpr char TMP_SUFFIX[] = ".tmpXXXXXX";
// The longest session line: every key, a 31-character user and every count at 20 digits (280).
constexpr size_t LINE_MAX_BYTES = 320;

// The text into buf; with a descriptor, the buffer goes out each time it fills (the file's whole
// length is unbounded); without one, a text that does not fit marks the output full.
struct out_t {
    char *buf;
    size_t len;
    size_t used;
    int fd;   // -1: format only
    int err;  // errno of the first failed write
    bool full;
};

void drain(out_t *o)
{
    if (o->fd >= 0 && o->err == 0 && o->used != 0 && log_write_all(o->fd, o->buf, o->used) != o->used)
        o->err = errno != 0 ? errno : EIO;
    o->used = 0;
}

// n bytes, with room for a terminator after them.
void put_raw(out_t *o, const char *text, size_t n)
{
    if (o->full)
        return;
    if (o->fd >= 0 && o->len - o->used <= n)
        drain(o);
    if (o->len - o->used <= n) {
        o->full = true;
        return;
    }
    memcpy(o->buf + o->used, text, n);
    o->used += n;
    o->buf[o->used] = '\0';
}

__attribute__((format(printf, 2, 3))) void put(out_t *o, const char *fmt, ...)
{
    char line[LINE_MAX_BYTES];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line)
        o->full = true;
    else
        put_raw(o, line, static_cast<size_t>(n));
}

// A session line is made by hand: printf's parsing of eleven conversions, 10 000 times a
// second, was most of the write's time.
char *cat(char *d, const char *s)
{
    while (*s != '\0')
        *d++ = *s++;
    return d;
}

char *cat_u64(char *d, uint64_t v)
{
    char t[20];
    int n = 0;
    do {
        t[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0)
        *d++ = t[--n];
    return d;
}

char *cat_ip(char *d, uint32_t ipbe)
{
    uint8_t b[4];
    st_raw32(b, ipbe);
    for (int i = 0; i < 4; i++) {
        if (i > 0)
            *d++ = '.';
        d = cat_u64(d, b[i]);
    }
    return d;
}

void emit(const peer_t *p, uint64_t now, out_t *o)
{
    char a[16];
    put(o, "%s: the server, then one line per live session, each followed by its sources\n", PEER_STATUS_MAGIC);
    put(o, "server version=%s start=%llu time=%llu sessions=%u max=%u interface=%s listen=%s:%u\n", peer_version,
        static_cast<unsigned long long>(p->start_time), static_cast<unsigned long long>(now), p->live, p->nsess,
        p->cfg.tun_name, ip2strv4(p->cfg.listen, a, sizeof a), unsigned{p->cfg.port});
    char line[LINE_MAX_BYTES];
    for (uint32_t i = 0; i < p->nsess && !o->full; i++) {
        const peer_sess_t &s = p->sess[i];
        if (!s.live)
            continue;
        // The last datagram's wall-clock second, from its age on the monotonic clock.
        const uint32_t idle = p->now - s.lastsec;
        char *d = cat(line, "session endpoint=");
        d = cat_ip(d, s.ipbe);
        *d++ = ':';
        d = cat_u64(d, s.port);
        d = cat_ip(cat(d, " address="), s.addr);
        d = cat(cat(d, " kind="), s.sealed != 0 ? "sealed" : "legacy");
        d = cat_u64(cat(d, " since="), s.started);
        d = cat_u64(cat(d, " heard="), now - idle);
        d = cat_u64(cat(d, " rx_packets="), s.rxpkts);
        d = cat_u64(cat(d, " rx_bytes="), s.rxbytes);
        d = cat_u64(cat(d, " tx_packets="), s.txpkts);
        d = cat_u64(cat(d, " tx_bytes="), s.txbytes);
        d = cat(cat(d, " user="), p->cfg.users[s.user].name);
        *d++ = '\n';
        put_raw(o, line, static_cast<size_t>(d - line));
        // Every source the client spoke from lately (its uplinks), under its session's line.
        for (const peer_src_t &r : s.src) {
            if (r.ipbe == 0)
                continue;
            d = cat_ip(cat(line, "source endpoint="), r.ipbe);
            *d++ = ':';
            d = cat_u64(d, r.port);
            d = cat_u64(cat(d, " heard="), now - (p->now - r.heard));
            d = cat_u64(cat(d, " rx_packets="), r.rxpkts);
            d = cat_u64(cat(d, " rx_bytes="), r.rxbytes);
            d = cat_u64(cat(d, " tx_packets="), r.txpkts);
            d = cat_u64(cat(d, " tx_bytes="), r.txbytes);
            d = cat_u64(cat(d, " probes="), r.probes);
            *d++ = '\n';
            put_raw(o, line, static_cast<size_t>(d - line));
        }
    }
}

char s_buf[1 << 16];
char s_tmp[PEER_LOGPATH + sizeof TMP_SUFFIX];

}  // namespace

size_t peer_status_format(const peer_t *p, uint64_t now, char *buf, size_t len)
{
    out_t o{buf, len, 0, -1, 0, len == 0};
    emit(p, now, &o);
    return o.full ? 0 : o.used;
}

int peer_status_write(peer_t *p)
{
    // A fresh name made with O_EXCL: nothing planted in the directory (a link, a FIFO) is ever
    // opened. mkostemp makes it 0600; the operator's tolvactl may run as another user.
    snprintf(s_tmp, sizeof s_tmp, "%s%s", p->cfg.status, TMP_SUFFIX);
    const int fd = mkostemp(s_tmp, O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return -1;
    const mode_t mask = umask(0);
    umask(mask);
    out_t o{s_buf, sizeof s_buf, 0, fd, 0, false};
    struct stat st;
    if (fstat(fd, &st) != 0)
        o.err = errno;
    else if (!S_ISREG(st.st_mode))
        o.err = EINVAL;
    else if (fchmod(fd, 0644 & ~mask) != 0)
        o.err = errno;
    if (o.err == 0) {
        emit(p, os_cursec(), &o);
        drain(&o);
        if (o.full && o.err == 0)
            o.err = ENOBUFS;
    }
    if (close(fd) != 0 && o.err == 0)
        o.err = errno;
    if (o.err == 0 && rename(s_tmp, p->cfg.status) != 0)
        o.err = errno;
    if (o.err != 0) {
        unlink(s_tmp);
        errno = o.err;
        return -1;
    }
    p->status_written = 1;
    return 0;
}

void peer_status_tick(peer_t *p)
{
    if (p->cfg.status[0] == '\0')
        return;
    if (peer_status_write(p) == 0) {
        p->status_errno = 0;
    } else if (errno != p->status_errno) {
        p->status_errno = errno;
        log_help("peer: cannot write status file %s: %s\n", p->cfg.status, strerror(p->status_errno));
    }
}

void peer_status_remove(peer_t *p)
{
    if (p->cfg.status[0] == '\0' || p->status_written == 0)
        return;
    unlink(p->cfg.status);
    p->status_written = 0;
}
