// The status file: what tolvactl show lists, one line per live session, rewritten every second.
// A file rather than a control socket: a daemon running as root opens no new listening surface,
// the file's permissions say who may read it, and the client's status file has the same
// staleness rule and tooling. The lines are "key=value" words so fields can be added without
// breaking a reader; the user name comes last, the rest of its line, as it may hold blanks.
//
// 10 000 sessions are about a megabyte: the text goes through one static buffer, written out
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
constexpr size_t LINE_MAX_BYTES = 256;  // the longest line: a 31-character user and every count at 20 digits

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

__attribute__((format(printf, 2, 3))) void put(out_t *o, const char *fmt, ...)
{
    if (o->full)
        return;
    if (o->fd >= 0 && o->len - o->used < LINE_MAX_BYTES)
        drain(o);
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(o->buf + o->used, o->len - o->used, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= o->len - o->used) {
        o->full = true;
        return;
    }
    o->used += static_cast<size_t>(n);
}

void emit(const peer_t *p, uint64_t now, out_t *o)
{
    char a[16], b[16];
    put(o, "%s: the server, then one line per live session\n", PEER_STATUS_MAGIC);
    put(o, "server version=%s start=%llu time=%llu sessions=%u max=%u interface=%s listen=%s:%u\n", peer_version,
        static_cast<unsigned long long>(p->start_time), static_cast<unsigned long long>(now), p->live, p->nsess,
        p->cfg.tun_name, ip2strv4(p->cfg.listen, a, sizeof a), unsigned{p->cfg.port});
    for (uint32_t i = 0; i < p->nsess && !o->full; i++) {
        const peer_sess_t &s = p->sess[i];
        if (!s.live)
            continue;
        // The last datagram's wall-clock second, from its age on the monotonic clock.
        const uint32_t idle = p->now - s.lastsec;
        put(o,
            "session endpoint=%s:%u address=%s kind=%s since=%u heard=%llu rx_packets=%llu rx_bytes=%llu "
            "tx_packets=%llu tx_bytes=%llu user=%s\n",
            ip2strv4(s.ipbe, a, sizeof a), unsigned{s.port}, ip2strv4(s.addr, b, sizeof b),
            s.sealed != 0 ? "sealed" : "legacy", s.started, static_cast<unsigned long long>(now - idle),
            static_cast<unsigned long long>(s.rxpkts), static_cast<unsigned long long>(s.rxbytes),
            static_cast<unsigned long long>(s.txpkts), static_cast<unsigned long long>(s.txbytes),
            p->cfg.users[s.user].name);
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
