#include "net/route.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/route.h>  // rtentry and the RTF_ flags
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/ifctl.h"

static_assert((RTF_UP | RTF_GATEWAY) == 3);

namespace {

void rtentry_fill(rtentry *rt, uint32_t dest, uint32_t mask, uint32_t gw, unsigned short flags, int metric,
                  const char *ifname)
{
    std::memset(rt, 0, sizeof *rt);
    sin_store(&rt->rt_dst, dest);
    sin_store(&rt->rt_gateway, gw);
    sin_store(&rt->rt_genmask, mask);
    rt->rt_flags = flags;
    rt->rt_metric = static_cast<short>(metric);
    rt->rt_dev = const_cast<char *>(ifname);  // the kernel only reads the name
}

// One request on a socket of its own: 0, or the negative errno of the socket (after the perror
// line) or of the kernel's refusal.
int route_submit(int add, rtentry *rt)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        const int err = errno;
        perror("socket creation failed");
        return -err;
    }
    const int rc = ioctl(s, add ? SIOCADDRT : SIOCDELRT, rt) < 0 ? -errno : 0;
    close(s);
    return rc;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

int hexval(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Fields of one line, [p, end). Hexadecimal fields fit 32 bits; decimal ones an int.
bool field_hex(const char *p, const char *end, uint32_t *v)
{
    if (p == end || end - p > 8)
        return false;
    uint32_t x = 0;
    for (; p < end; p++) {
        int d = hexval(*p);
        if (d < 0)
            return false;
        x = (x << 4) | static_cast<uint32_t>(d);
    }
    *v = x;
    return true;
}

bool field_dec(const char *p, const char *end, int *v)
{
    bool neg = p < end && *p == '-';
    if (neg)
        p++;
    if (p == end || end - p > 9)
        return false;
    int x = 0;
    for (; p < end; p++) {
        if (*p < '0' || *p > '9')
            return false;
        x = x * 10 + (*p - '0');
    }
    *v = neg ? -x : x;
    return true;
}

constexpr int ROUTE_FIELDS = 11;
constexpr long NAME_MAX_LEN = 63;  // the longest name token taken; names from the kernel have 15

// 1: a route, 0: a blank line, -1: too few fields (a line cut short), -2: not a route line.
// The name is the bytes up to the first blank, and as text ends at a zero byte among them.
int row_parse(const char *p, const char *end, route_row_t *row)
{
    const char *f[ROUTE_FIELDS];
    const char *fe[ROUTE_FIELDS];
    int n = 0;
    while (p < end) {
        while (p < end && is_blank(*p))
            p++;
        if (p == end)
            break;
        if (n == ROUTE_FIELDS)
            return -2;
        f[n] = p;
        while (p < end && !is_blank(*p))
            p++;
        fe[n++] = p;
    }
    if (n == 0)
        return 0;
    if (fe[0] - f[0] > NAME_MAX_LEN)
        return -2;
    route_row_t r;
    std::memset(&r, 0, sizeof r);
    const size_t take = static_cast<size_t>(fe[0] - f[0]) < sizeof r.name - 1 ? static_cast<size_t>(fe[0] - f[0])
                                                                               : sizeof r.name - 1;
    std::memcpy(r.name, f[0], take);
    r.name[strnlen(r.name, take)] = '\0';  // cut at a zero byte, if any
    int unused = 0;
    // Each field converts in order; the first one that does not decides, as it would for a
    // reader that stops at it.
    const int have = n;
    auto conv = [&](int i, bool ok) { return i >= have ? -1 : (ok ? 0 : -2); };
    int rc;
    if ((rc = conv(1, have > 1 && field_hex(f[1], fe[1], &r.dst))) != 0 ||
        (rc = conv(2, have > 2 && field_hex(f[2], fe[2], &r.gw))) != 0 ||
        (rc = conv(3, have > 3 && field_hex(f[3], fe[3], &r.flags))) != 0 ||
        (rc = conv(4, have > 4 && field_dec(f[4], fe[4], &unused))) != 0 ||
        (rc = conv(5, have > 5 && field_dec(f[5], fe[5], &unused))) != 0 ||
        (rc = conv(6, have > 6 && field_dec(f[6], fe[6], &r.metric))) != 0 ||
        (rc = conv(7, have > 7 && field_hex(f[7], fe[7], &r.mask))) != 0 ||
        (rc = conv(8, have > 8 && field_dec(f[8], fe[8], &unused))) != 0 ||
        (rc = conv(9, have > 9 && field_dec(f[9], fe[9], &unused))) != 0 ||
        (rc = conv(10, have > 10 && field_dec(f[10], fe[10], &unused))) != 0)
        return rc;
    // The table lists addresses as the little-endian host stores them: the value read is already
    // in network order.
    *row = r;
    return 1;
}

struct lookup_ctx {
    uint32_t dst;
    bool (*skip)(const route_row_t *, void *);
    void *ctx;
    route_row_t best;
    int found;
};

int prefix_len(uint32_t maskbe)
{
    return __builtin_popcount(maskbe);
}

bool lookup_visit(const route_row_t *row, void *arg)
{
    lookup_ctx *l = static_cast<lookup_ctx *>(arg);
    if ((row->flags & RTF_UP) == 0 || row->name[0] == '\0' || (l->dst & row->mask) != row->dst)
        return true;
    if (l->skip != nullptr && l->skip(row, l->ctx))
        return true;
    if (l->found != 0) {
        const int a = prefix_len(row->mask), b = prefix_len(l->best.mask);
        if (a < b || (a == b && row->metric >= l->best.metric))
            return true;
    }
    l->best = *row;
    l->found = 1;
    return true;
}

}  // namespace

int route_request(int add, uint32_t dest, uint32_t mask, uint32_t gw, int metric, const char *ifname)
{
    rtentry rt;
    rtentry_fill(&rt, dest, mask, gw, RTF_UP | RTF_GATEWAY, metric, ifname);
    return route_submit(add, &rt);
}

int route_handle(int add, uint32_t dest, uint32_t mask, uint32_t gw, int metric, const char *ifname)
{
    return route_request(add, dest, mask, gw, metric, ifname);
}

int route_host(int add, uint32_t dest, uint32_t gw, const char *ifname)
{
    rtentry rt;
    unsigned short flags = RTF_UP | RTF_HOST;
    if (gw != 0)
        flags |= RTF_GATEWAY;
    rtentry_fill(&rt, dest, 0xffffffffu, gw, flags, 0, ifname);
    return route_submit(add, &rt);
}

int route_host_metric(int add, uint32_t dest, uint32_t gw, int metric, const char *ifname)
{
    rtentry rt;
    unsigned short flags = RTF_UP | RTF_HOST;
    if (gw != 0)
        flags |= RTF_GATEWAY;
    rtentry_fill(&rt, dest, 0xffffffffu, gw, flags, metric + 1, ifname);
    return route_submit(add, &rt);
}

int route_unreachable(int add, uint32_t dest, uint32_t mask, int metric)
{
    // The request's metric is one past the kernel's priority (0 leaves the priority at 0); with
    // RTF_REJECT the kernel makes the route unreachable and matches that type when deleting.
    rtentry rt;
    rtentry_fill(&rt, dest, mask, 0, RTF_UP | RTF_REJECT, metric + 1, nullptr);
    return route_submit(add, &rt);
}

int route_table_open()
{
    const int fd = open("/proc/net/route", O_RDONLY | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

int route_table_scan(int fd, bool (*visit)(const route_row_t *row, void *ctx), void *ctx)
{
    // The kernel writes lines of 128 bytes; a line that does not fit the buffer is no route line.
    char buf[4096];
    size_t have = 0;
    bool header = true;
    bool cut = false;  // a line with too few fields: only the end of the input may follow it
    for (;;) {
        ssize_t n = read(fd, buf + have, sizeof buf - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return header ? ROUTE_SCAN_NOHEAD : ROUTE_SCAN_BADLINE;
        const bool eof = n == 0;
        have += static_cast<size_t>(n);
        const char *line = buf;
        const char *end = buf + have;
        for (;;) {
            const char *nl = static_cast<const char *>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
            if (nl == nullptr && !(eof && line < end))
                break;
            const char *le = nl != nullptr ? nl : end;
            if (header) {
                header = false;
            } else {
                route_row_t row;
                const int rc = row_parse(line, le, &row);
                if (rc != 0 && cut)
                    return ROUTE_SCAN_BADLINE;
                if (rc == -2)
                    return ROUTE_SCAN_BADLINE;
                if (rc == -1)
                    cut = true;
                else if (rc == 1 && !visit(&row, ctx))
                    return ROUTE_SCAN_OK;
            }
            line = nl != nullptr ? nl + 1 : end;
        }
        if (eof)
            return header ? ROUTE_SCAN_NOHEAD : ROUTE_SCAN_OK;
        const size_t rest = static_cast<size_t>(end - line);
        if (rest == sizeof buf)
            return header ? ROUTE_SCAN_NOHEAD : ROUTE_SCAN_BADLINE;
        std::memmove(buf, line, rest);
        have = rest;
    }
}

int route_lookup(int fd, uint32_t dst, bool (*skip)(const route_row_t *row, void *ctx), void *ctx,
                 route_row_t *out)
{
    lookup_ctx l;
    std::memset(&l, 0, sizeof l);
    l.dst = dst;
    l.skip = skip;
    l.ctx = ctx;
    const int rc = route_table_scan(fd, lookup_visit, &l);
    if (rc != ROUTE_SCAN_OK)
        return rc;
    if (l.found != 0)
        *out = l.best;
    return l.found;
}
