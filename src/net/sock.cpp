#include "net/sock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "base/log.h"

namespace {
// Queue room for bursts: the peer sends its answers a batch at a time and the sender of a flow
// through the tunnel may outrun the daemon for a moment; the default (about 200 KiB, a few
// hundred small datagrams) drops packets under load, which TCP then pays for.
constexpr int SOCK_BUFSZ = 1 << 20;

static_assert(CMSG_SPACE(sizeof(int)) <= SOCK_UDPCMSG_SPACE);
static_assert(CMSG_SPACE(sizeof(uint16_t)) <= SOCK_UDPCMSG_SPACE);

sockaddr_in sin_of(uint32_t ipbe, uint16_t port)
{
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = ipbe;
    return to;
}

// One datagram's message: its address, its one buffer, no control data yet.
msghdr msg_of(sockaddr_in *addr, iovec *iov)
{
    msghdr m;
    std::memset(&m, 0, sizeof m);
    m.msg_name = addr;
    m.msg_namelen = sizeof *addr;
    m.msg_iov = iov;
    m.msg_iovlen = 1;
    return m;
}
}  // namespace

int sock_bufsz(int s, int opt_force, int opt, int bytes)
{
    // The FORCE variant passes the system's cap (net.core.rmem_max/wmem_max); it needs
    // CAP_NET_ADMIN, which the daemons have anyway for their interfaces and routes.
    if (setsockopt(s, SOL_SOCKET, opt_force, &bytes, sizeof bytes) == 0)
        return 0;
    return setsockopt(s, SOL_SOCKET, opt, &bytes, sizeof bytes) == 0 ? 0 : -errno;
}

namespace {
// A refused option is no reason to stop: the socket carries the session without it, but the
// operator learns which one is missing.
void sockopt_refused(const char *what, int err)
{
    if (err < 0)
        log_help("Failed to set %s on the UDP socket: %s\n", what, strerror(-err));
}
}  // namespace

int sock_udpinit()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        const int err = errno;
        log_help("sock init failed\n");
        return -err;
    }
    const int flags = fcntl(s, F_GETFL);
    sockopt_refused("O_NONBLOCK", flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0 ? -errno : 0);
    int flag = 1;
    sockopt_refused("SO_BROADCAST", setsockopt(s, SOL_SOCKET, SO_BROADCAST, &flag, sizeof flag) < 0 ? -errno : 0);
    sockopt_refused("SO_RCVBUF", sock_bufsz(s, SO_RCVBUFFORCE, SO_RCVBUF, SOCK_BUFSZ));
    sockopt_refused("SO_SNDBUF", sock_bufsz(s, SO_SNDBUFFORCE, SO_SNDBUF, SOCK_BUFSZ));
    return s;
}

int sock_udpinit_dev(const char *ifname, uint32_t source)
{
    const int s = sock_udpinit();
    if (s < 0)
        return s;
    const socklen_t n = static_cast<socklen_t>(strnlen(ifname, 15));
    int err = setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, ifname, n) == 0 ? 0 : -errno;
    if (err == 0 && source != 0) {
        const sockaddr_in at = sin_of(source, 0);
        err = bind(s, reinterpret_cast<const sockaddr *>(&at), sizeof at) == 0 ? 0 : -errno;
    }
    if (err != 0) {
        close(s);
        return err;
    }
    return s;
}

int sock_sendto(int s, uint32_t toipbe, uint16_t toport, const uint8_t *buf, uint32_t len, bool quiet)
{
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(toport);
    to.sin_addr.s_addr = toipbe;
    if (sendto(s, buf, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0) {
        // A full non-blocking send buffer lands here too; the session's timeouts recover.
        const int err = errno;
        if (!quiet)
            log_help("Sendto error\n");
        return -err;
    }
    return static_cast<int>(len);
}

int sock_recvfrom(int s, uint32_t *r_ipbe, uint16_t *r_port, uint8_t *buf, uint32_t len)
{
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(s, buf, len, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n < 0)
        return -errno;  // nothing waiting on the non-blocking socket is the common case: no log line
    *r_ipbe = from.sin_addr.s_addr;
    *r_port = ntohs(from.sin_port);
    return static_cast<int>(n);
}

void sock_close(int s) { close(s); }

int sock_gso_probe(int s)
{
    // A size of 0 leaves every plain send as it is; a kernel without the option refuses it.
    int zero = 0;
    return setsockopt(s, SOL_UDP, UDP_SEGMENT, &zero, sizeof zero) == 0 ? 0 : -errno;
}

void sock_gso_cmsg(msghdr *m, uint8_t *ctrl, uint16_t segsz)
{
    std::memset(ctrl, 0, SOCK_UDPCMSG_SPACE);
    m->msg_control = ctrl;
    m->msg_controllen = CMSG_SPACE(sizeof(uint16_t));
    cmsghdr *cm = CMSG_FIRSTHDR(m);
    cm->cmsg_level = SOL_UDP;
    cm->cmsg_type = UDP_SEGMENT;
    cm->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    std::memcpy(CMSG_DATA(cm), &segsz, sizeof segsz);
}

uint32_t sock_gro_segsz(const msghdr *m, uint32_t len)
{
    for (cmsghdr *cm = CMSG_FIRSTHDR(m); cm != nullptr; cm = CMSG_NXTHDR(const_cast<msghdr *>(m), cm)) {
        if (cm->cmsg_level != SOL_UDP || cm->cmsg_type != UDP_GRO || cm->cmsg_len < CMSG_LEN(sizeof(int)))
            continue;
        int sz = 0;
        std::memcpy(&sz, CMSG_DATA(cm), sizeof sz);
        return sz > 0 && static_cast<uint32_t>(sz) < len ? static_cast<uint32_t>(sz) : len;
    }
    return len;
}

int sock_send_gso(int s, uint32_t toipbe, uint16_t toport, const uint8_t *buf, uint32_t len,
                  uint32_t segsz, bool *gso)
{
    if (segsz != 0 && len > segsz && *gso) {
        sockaddr_in to = sin_of(toipbe, toport);
        iovec iov{const_cast<uint8_t *>(buf), len};
        msghdr m = msg_of(&to, &iov);
        alignas(cmsghdr) uint8_t ctrl[SOCK_UDPCMSG_SPACE];
        sock_gso_cmsg(&m, ctrl, static_cast<uint16_t>(segsz));
        if (sendmsg(s, &m, 0) >= 0)
            return static_cast<int>(len);
        const int err = errno;
        if (!sock_gso_refused()) {
            log_help("Sendto error\n");
            return -err;
        }
        // One by one from now on.
        *gso = false;
    }
    for (uint32_t off = 0; off < len; off += segsz == 0 ? len : segsz) {
        const uint32_t n = segsz == 0 || len - off < segsz ? len - off : segsz;
        const int rc = sock_sendto(s, toipbe, toport, buf + off, n);
        if (rc < 0)
            return rc;
    }
    return static_cast<int>(len);
}

bool sock_gso_refused()
{
    if (errno != EIO && errno != EINVAL)
        return false;
    log_help("UDP segmentation refused (%s): sending one datagram at a time\n", strerror(errno));
    return true;
}

int sock_gro_enable(int s)
{
    int one = 1;
    return setsockopt(s, SOL_UDP, UDP_GRO, &one, sizeof one) == 0 ? 0 : -errno;
}

int sock_recv_gro(int s, uint32_t *r_ipbe, uint16_t *r_port, uint8_t *buf, uint32_t len,
                  uint32_t *segsz)
{
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    iovec iov{buf, len};
    msghdr m = msg_of(&from, &iov);
    alignas(cmsghdr) uint8_t ctrl[SOCK_UDPCMSG_SPACE];
    m.msg_control = ctrl;
    m.msg_controllen = sizeof ctrl;
    const ssize_t n = recvmsg(s, &m, 0);
    if (n < 0)
        return -errno;
    *r_ipbe = from.sin_addr.s_addr;
    *r_port = ntohs(from.sin_port);
    *segsz = sock_gro_segsz(&m, static_cast<uint32_t>(n));
    return static_cast<int>(n);
}
