#include "net/ifaddr.h"

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct addr_req {
    nlmsghdr nh;
    ifaddrmsg ifa;
    char attrs[64];
};

void put_attr(addr_req *r, unsigned short type, const void *data, unsigned short len)
{
    auto *a = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(r) + NLMSG_ALIGN(r->nh.nlmsg_len));
    a->rta_type = type;
    a->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
    memcpy(RTA_DATA(a), data, len);
    r->nh.nlmsg_len = NLMSG_ALIGN(r->nh.nlmsg_len) + RTA_ALIGN(a->rta_len);
}

}  // namespace

int ifaddr_add(const char *ifname, uint32_t ipbe, int prefixlen)
{
    const unsigned idx = if_nametoindex(ifname);
    if (idx == 0)
        return -1;
    const int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0)
        return -1;
    addr_req r;
    memset(&r, 0, sizeof r);
    r.nh.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
    r.nh.nlmsg_type = RTM_NEWADDR;
    r.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
    r.nh.nlmsg_seq = 1;
    r.ifa.ifa_family = AF_INET;
    r.ifa.ifa_prefixlen = static_cast<unsigned char>(prefixlen);
    r.ifa.ifa_index = idx;
    r.ifa.ifa_scope = RT_SCOPE_UNIVERSE;
    put_attr(&r, IFA_LOCAL, &ipbe, 4);
    put_attr(&r, IFA_ADDRESS, &ipbe, 4);
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    int rc = -1;
    if (sendto(s, &r, r.nh.nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(r.nh.nlmsg_len)) {
        char buf[512];
        const ssize_t n = recv(s, buf, sizeof buf, 0);
        const auto *h = reinterpret_cast<const nlmsghdr *>(buf);
        if (n >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) && h->nlmsg_type == NLMSG_ERROR) {
            const auto *e = static_cast<const nlmsgerr *>(NLMSG_DATA(h));
            if (e->error == 0 || e->error == -EEXIST)
                rc = 0;
            else
                errno = -e->error;
        } else {
            errno = EPROTO;
        }
    }
    const int e = errno;
    close(s);
    errno = e;
    return rc;
}
