#include "net/sock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "shell/log.h"

namespace {
// Queue room for bursts: the peer sends its answers a batch at a time and the sender of a flow
// through the tunnel may outrun the daemon for a moment; the default (about 200 KiB, a few
// hundred small datagrams) drops packets under load, which TCP then pays for.
constexpr int SOCK_BUFSZ = 1 << 20;
}  // namespace

int sock_bufsz(int s, int opt_force, int opt, int bytes)
{
    // The FORCE variant passes the system's cap (net.core.rmem_max/wmem_max); it needs
    // CAP_NET_ADMIN, which the daemons have anyway for their interfaces and routes.
    if (setsockopt(s, SOL_SOCKET, opt_force, &bytes, sizeof bytes) == 0)
        return 0;
    return setsockopt(s, SOL_SOCKET, opt, &bytes, sizeof bytes) == 0 ? 0 : -1;
}

int sock_udpinit()
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        log_help("sock init failed\n");
        return -1;
    }
    // The options are best effort: a socket that lacks one still carries the session, so none of
    // these results stops start-up.
    fcntl(s, F_SETFD, FD_CLOEXEC);
    int flags = fcntl(s, F_GETFL);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int flag = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, &flag, sizeof flag);
    sock_bufsz(s, SO_RCVBUFFORCE, SO_RCVBUF, SOCK_BUFSZ);
    sock_bufsz(s, SO_SNDBUFFORCE, SO_SNDBUF, SOCK_BUFSZ);
    return s;
}

uint32_t sock_sendto(int s, uint32_t toipbe, uint16_t toport, const uint8_t *buf, uint32_t len)
{
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(toport);
    to.sin_addr.s_addr = toipbe;
    if (sendto(s, buf, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0) {
        // A full non-blocking send buffer lands here too; the session's timeouts recover.
        log_help("Sendto error\n");
        return 0;
    }
    return len;
}

uint32_t sock_recvfrom(int s, uint32_t *r_ipbe, uint16_t *r_port, uint8_t *buf, uint32_t len)
{
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(s, buf, len, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n < 0)
        return 0;  // nothing waiting on the non-blocking socket is the common case: no log line
    *r_ipbe = from.sin_addr.s_addr;
    *r_port = ntohs(from.sin_port);
    return static_cast<uint32_t>(n);
}

void sock_close(int s) { close(s); }
