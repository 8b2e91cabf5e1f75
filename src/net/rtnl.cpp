#include "net/rtnl.h"

#include <errno.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

// Room for one link message with its statistics, and for a burst of notices.
constexpr size_t RTNL_BUF = 16384;
constexpr size_t ALIAS_MAX = 256;  // the kernel's IFALIASZ, terminator included

int rtnl_socket(unsigned groups, int flags)
{
    int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | flags, NETLINK_ROUTE);
    if (s < 0)
        return -errno;
    sockaddr_nl sa;
    std::memset(&sa, 0, sizeof sa);
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = groups;
    if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        const int err = errno;
        close(s);
        return -err;
    }
    return s;
}

// Appends one attribute to the message in buf (room: cap bytes); false when it does not fit.
bool attr_put(nlmsghdr *h, size_t cap, unsigned short type, const void *data, size_t len)
{
    const size_t at = NLMSG_ALIGN(h->nlmsg_len);
    const size_t need = RTA_SPACE(len);
    if (at + need > cap)
        return false;
    rtattr *a = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(h) + at);
    a->rta_type = type;
    a->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
    if (len != 0)
        std::memcpy(RTA_DATA(a), data, len);
    h->nlmsg_len = static_cast<uint32_t>(at + need);
    return true;
}

// A nested attribute: opened empty at the end of the message, closed (its length set) once its
// contents have been appended.
rtattr *nest_begin(nlmsghdr *h, size_t cap, unsigned short type)
{
    rtattr *a = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(h) + NLMSG_ALIGN(h->nlmsg_len));
    attr_put(h, cap, type, nullptr, 0);
    return a;
}

void nest_end(const nlmsghdr *h, rtattr *a)
{
    const char *end = reinterpret_cast<const char *>(h) + h->nlmsg_len;
    a->rta_len = static_cast<unsigned short>(end - reinterpret_cast<const char *>(a));
}

// Sends the request and reads the answer into buf; the answer's length, or -errno.
ssize_t rtnl_ask(int s, nlmsghdr *req, char *buf, size_t cap)
{
    sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    if (sendto(s, req, req->nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
        return -errno;
    for (;;) {
        ssize_t n = recv(s, buf, cap, 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? -errno : n;
    }
}

// A request: the header, the family's message, room for attributes.
template <typename M, size_t ROOM>
struct rtnl_req_t {
    nlmsghdr h;
    M m;
    char attrs[ROOM];
};

template <typename R>
void req_init(R *req, uint16_t type, uint16_t flags)
{
    std::memset(req, 0, sizeof *req);
    req->h.nlmsg_len = NLMSG_LENGTH(sizeof req->m);
    req->h.nlmsg_type = type;
    req->h.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
    req->h.nlmsg_seq = 1;
}

// rtnl_ask on a socket of its own: the answer's length, or -errno.
ssize_t rtnl_call(nlmsghdr *req, char *buf, size_t cap)
{
    const int s = rtnl_socket(0, 0);
    if (s < 0)
        return s;
    const ssize_t n = rtnl_ask(s, req, buf, cap);
    close(s);
    return n;
}

// The kernel's answer to a request sent with NLM_F_ACK: 0, or its negative errno (-EPROTO when
// the answer is not an acknowledgement).
int rtnl_ack(nlmsghdr *req)
{
    alignas(nlmsghdr) char ans[1024];
    const ssize_t n = rtnl_call(req, ans, sizeof ans);
    if (n < 0)
        return static_cast<int>(n);
    const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(ans);
    if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) || h->nlmsg_type != NLMSG_ERROR)
        return -EPROTO;
    return static_cast<const nlmsgerr *>(NLMSG_DATA(h))->error;
}

}  // namespace

int rtnl_monitor_open()
{
    return rtnl_socket(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE, SOCK_NONBLOCK);
}

int rtnl_monitor_drain(int fd)
{
    alignas(nlmsghdr) char buf[RTNL_BUF];
    int seen = 0;
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? seen : -errno;
        if (n == 0)
            return seen;
        int len = static_cast<int>(n);
        for (nlmsghdr *h = reinterpret_cast<nlmsghdr *>(buf); NLMSG_OK(h, static_cast<unsigned>(len));
             h = NLMSG_NEXT(h, len)) {
            switch (h->nlmsg_type) {
            case RTM_NEWLINK:
            case RTM_DELLINK:
            case RTM_NEWADDR:
            case RTM_DELADDR:
            case RTM_NEWROUTE:
            case RTM_DELROUTE:
                seen++;
                break;
            default:
                break;
            }
        }
    }
}

namespace {
// One interface's RTM_NEWLINK, asked by name: 0 with *out pointing into ans, or a negative errno
// (-ENODEV for a name that is no interface, -EPROTO for an answer of another kind).
int link_query(const char *name, char *ans, size_t cap, const nlmsghdr **out)
{
    const size_t nlen = strnlen(name, IFNAMSIZ);
    if (nlen == 0 || nlen >= IFNAMSIZ)
        return -ENODEV;
    rtnl_req_t<ifinfomsg, 64> req;
    req_init(&req, RTM_GETLINK, 0);
    req.m.ifi_family = AF_UNSPEC;
    char nm[IFNAMSIZ] = {};
    std::memcpy(nm, name, nlen);
    attr_put(&req.h, sizeof req, IFLA_IFNAME, nm, nlen + 1);

    const ssize_t n = rtnl_call(&req.h, ans, cap);
    if (n < 0)
        return static_cast<int>(n);
    const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(ans);
    if (!NLMSG_OK(h, static_cast<unsigned>(n)))
        return -EPROTO;
    if (h->nlmsg_type == NLMSG_ERROR && h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) &&
        static_cast<const nlmsgerr *>(NLMSG_DATA(h))->error < 0)
        return static_cast<const nlmsgerr *>(NLMSG_DATA(h))->error;
    if (h->nlmsg_type != RTM_NEWLINK || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return -EPROTO;
    *out = h;
    return 0;
}
}  // namespace

int rtnl_alias_get(const char *name, char *buf, size_t len)
{
    if (len == 0)
        return -EINVAL;
    buf[0] = '\0';
    alignas(nlmsghdr) char ans[RTNL_BUF];
    const nlmsghdr *h = nullptr;
    const int err = link_query(name, ans, sizeof ans, &h);
    if (err != 0)
        return err;  // -ENODEV: no such interface
    int alen = static_cast<int>(IFLA_PAYLOAD(h));
    for (const rtattr *a = IFLA_RTA(static_cast<const ifinfomsg *>(NLMSG_DATA(h))); RTA_OK(a, alen);
         a = RTA_NEXT(a, alen)) {
        if (a->rta_type != IFLA_IFALIAS)
            continue;
        const size_t plen = strnlen(static_cast<const char *>(RTA_DATA(a)), RTA_PAYLOAD(a));
        const size_t take = plen < len - 1 ? plen : len - 1;
        std::memcpy(buf, RTA_DATA(a), take);
        buf[take] = '\0';
        return static_cast<int>(take);
    }
    return 0;
}

int rtnl_alias_set(const char *name, const char *alias)
{
    const unsigned idx = if_nametoindex(name);
    if (idx == 0)
        return errno != 0 ? -errno : -ENODEV;
    rtnl_req_t<ifinfomsg, ALIAS_MAX + 16> req;
    req_init(&req, RTM_NEWLINK, NLM_F_ACK);
    req.m.ifi_family = AF_UNSPEC;
    req.m.ifi_index = static_cast<int>(idx);
    const size_t alen = strnlen(alias, ALIAS_MAX - 1);
    attr_put(&req.h, sizeof req, IFLA_IFALIAS, alias, alen);
    return rtnl_ack(&req.h);
}

namespace {

// The IPv4 addresses of interface idx, by a dump of the kernel's address table: their count
// (or -errno), the first listed in *first, and whether want (0: none) is among them.
int ipv4_scan(unsigned idx, uint32_t want, uint32_t *first, bool *found)
{
    *first = 0;
    *found = false;
    const int s = rtnl_socket(0, 0);
    if (s < 0)
        return s;
    rtnl_req_t<ifaddrmsg, 8> req;
    req_init(&req, RTM_GETADDR, NLM_F_DUMP);
    req.m.ifa_family = AF_INET;
    alignas(nlmsghdr) char ans[RTNL_BUF];
    int count = 0;
    ssize_t n = rtnl_ask(s, &req.h, ans, sizeof ans);
    for (;;) {
        if (n <= 0) {
            close(s);
            return n < 0 ? static_cast<int>(n) : -EPROTO;
        }
        int rest = static_cast<int>(n);
        for (nlmsghdr *h = reinterpret_cast<nlmsghdr *>(ans); NLMSG_OK(h, static_cast<unsigned>(rest));
             h = NLMSG_NEXT(h, rest)) {
            if (h->nlmsg_type == NLMSG_DONE) {
                close(s);
                return count;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                close(s);
                return -EPROTO;
            }
            if (h->nlmsg_type != RTM_NEWADDR || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
                continue;
            const ifaddrmsg *ifa = static_cast<const ifaddrmsg *>(NLMSG_DATA(h));
            if (ifa->ifa_index != idx)
                continue;
            count++;
            int alen = static_cast<int>(IFA_PAYLOAD(h));
            for (const rtattr *a = IFA_RTA(ifa); RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
                if (a->rta_type != IFA_LOCAL || RTA_PAYLOAD(a) < 4)
                    continue;
                uint32_t v;
                std::memcpy(&v, RTA_DATA(a), 4);
                if (*first == 0)
                    *first = v;
                *found = *found || (want != 0 && v == want);
            }
        }
        do {
            n = recv(s, ans, sizeof ans, 0);
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            n = -errno;
    }
}

}  // namespace

int rtnl_link_get(const char *name, rtnl_link_t *out, uint32_t want)
{
    std::memset(out, 0, sizeof *out);
    alignas(nlmsghdr) char ans[RTNL_BUF];
    const nlmsghdr *h = nullptr;
    const int err = link_query(name, ans, sizeof ans, &h);
    if (err != 0)
        return err;
    const ifinfomsg *ifi = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
    out->up = (ifi->ifi_flags & IFF_UP) != 0;
    out->running = (ifi->ifi_flags & IFF_RUNNING) != 0;
    out->ifindex = ifi->ifi_index;
    int alen = static_cast<int>(IFLA_PAYLOAD(h));
    for (const rtattr *a = IFLA_RTA(ifi); RTA_OK(a, alen); a = RTA_NEXT(a, alen)) {
        if ((a->rta_type == IFLA_MTU || a->rta_type == IFLA_TXQLEN) && RTA_PAYLOAD(a) >= 4) {
            uint32_t v;
            std::memcpy(&v, RTA_DATA(a), 4);
            (a->rta_type == IFLA_MTU ? out->mtu : out->txqlen) = static_cast<int>(v);
        } else if (a->rta_type == IFLA_LINKINFO) {
            int ilen = static_cast<int>(RTA_PAYLOAD(a));
            for (const rtattr *k = static_cast<const rtattr *>(RTA_DATA(a)); RTA_OK(k, ilen); k = RTA_NEXT(k, ilen)) {
                if (k->rta_type == IFLA_INFO_KIND)
                    out->tun = strncmp(static_cast<const char *>(RTA_DATA(k)), "tun", RTA_PAYLOAD(k)) == 0 &&
                               RTA_PAYLOAD(k) >= 3;
            }
        }
    }
    bool found = false;
    const int naddr = ipv4_scan(static_cast<unsigned>(ifi->ifi_index), want, &out->addr, &found);
    if (naddr < 0)
        return naddr;
    out->naddr = naddr;
    if (want != 0)
        out->addr = found ? want : 0;
    return 0;
}

int rtnl_addrgen_none(const char *name)
{
    const unsigned idx = if_nametoindex(name);
    if (idx == 0)
        return errno != 0 ? -errno : -ENODEV;
    rtnl_req_t<ifinfomsg, 64> req;
    req_init(&req, RTM_NEWLINK, NLM_F_ACK);
    req.m.ifi_family = AF_UNSPEC;
    req.m.ifi_index = static_cast<int>(idx);
    // IFLA_AF_SPEC { AF_INET6 { IFLA_INET6_ADDR_GEN_MODE: u8 } }: each nest's length is set
    // once its contents are in.
    rtattr *per_af = nest_begin(&req.h, sizeof req, IFLA_AF_SPEC);
    rtattr *inet6 = nest_begin(&req.h, sizeof req, AF_INET6);
    const uint8_t mode = IN6_ADDR_GEN_MODE_NONE;
    attr_put(&req.h, sizeof req, IFLA_INET6_ADDR_GEN_MODE, &mode, sizeof mode);
    nest_end(&req.h, inet6);
    nest_end(&req.h, per_af);
    return rtnl_ack(&req.h);
}

int ifaddr_add(const char *ifname, uint32_t ipbe, int prefixlen)
{
    const unsigned idx = if_nametoindex(ifname);
    if (idx == 0)
        return errno != 0 ? -errno : -ENODEV;
    rtnl_req_t<ifaddrmsg, 64> req;
    req_init(&req, RTM_NEWADDR, NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL);
    req.m.ifa_family = AF_INET;
    req.m.ifa_prefixlen = static_cast<unsigned char>(prefixlen);
    req.m.ifa_index = idx;
    req.m.ifa_scope = RT_SCOPE_UNIVERSE;
    attr_put(&req.h, sizeof req, IFA_LOCAL, &ipbe, 4);
    attr_put(&req.h, sizeof req, IFA_ADDRESS, &ipbe, 4);
    const int rc = rtnl_ack(&req.h);
    return rc == -EEXIST ? 0 : rc;
}
