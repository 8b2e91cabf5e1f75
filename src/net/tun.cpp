#include "net/tun.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/ifctl.h"
#include "shell/log.h"

static_assert(TUNSETIFF == 0x400454ca);
static_assert(TUNSETPERSIST == 0x400454cb);
static_assert((IFF_TUN | IFF_NO_PI) == 0x1001);

namespace {

// The queue of packets routed to the interface and not yet read by the daemon. The driver's
// default of 500 overflows while a fast sender outruns the daemon for a moment, and TCP takes
// every drop as congestion; 1000 is what Ethernet interfaces get.
constexpr int TUN_TXQLEN = 1000;

void tun_set_txqlen(const char *tun_name)
{
    ifreq ifr;
    ifreq_named(&ifr, tun_name);
    ifr.ifr_qlen = TUN_TXQLEN;
    ifctl(SIOCSIFTXQLEN, &ifr);  // best effort: the default queue still carries the traffic
}

}  // namespace

namespace {
int tun_attach(int *tunfd, const char *tun_name, int add, bool quiet, int *why)
{
    bool opened = false;
    if (*tunfd < 0) {
        *tunfd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        if (*tunfd < 0) {
            *why = errno;
            if (!quiet)
                log_help("open tun device path failed\n");
            return -1;
        }
        opened = true;
    }

    ifreq ifr;
    ifreq_named(&ifr, tun_name);
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    // On release the descriptor is already attached and the kernel refuses this second attach;
    // only a fresh descriptor must attach, or it would belong to no interface and poll as an
    // error on every pass of the event loop.
    if (ioctl(*tunfd, TUNSETIFF, &ifr) < 0 && opened) {
        *why = errno;
        if (!quiet)
            log_help("Failed to attach tun interface %s: %s\n", tun_name, strerror(errno));
        close(*tunfd);
        *tunfd = -1;
        return -1;
    }

    // Persistent while the daemon runs, so the interface outlives a crash and the next run
    // attaches to it; cleared on release so that a regular shutdown removes it.
    ioctl(*tunfd, TUNSETPERSIST, add ? 1 : 0);
    if (add)
        tun_set_txqlen(tun_name);
    fcntl(*tunfd, F_SETFL, O_NONBLOCK);
    fcntl(*tunfd, F_SETFD, FD_CLOEXEC);
    return 0;
}
}  // namespace

int tun_ioctl(int *tunfd, const char *tun_name, int add)
{
    int why = 0;
    const int rc = tun_attach(tunfd, tun_name, add, false, &why);
    if (rc != 0)
        errno = why;  // kept for the caller, who names the cause
    return rc;
}

int tun_attach_quiet(int *tunfd, const char *tun_name)
{
    int why = 0;
    return tun_attach(tunfd, tun_name, 1, true, &why) == 0 ? 0 : why;
}

void tun_detach(int *tunfd)
{
    if (*tunfd < 0)
        return;
    close(*tunfd);
    *tunfd = -1;
}

bool tun_exists(const char *tun_name)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq ifr;
    ifreq_named(&ifr, tun_name);
    const bool found = tun_name[0] != '\0' && ioctl(s, SIOCGIFINDEX, &ifr) == 0;
    close(s);
    return found;
}

int tun_init(int *tunfd, const char *tun_name) { return tun_ioctl(tunfd, tun_name, 1); }

void tun_deinit(int *tunfd, const char *tun_name)
{
    if (*tunfd == -1)
        return;
    tun_ioctl(tunfd, tun_name, 0);
    close(*tunfd);
}

int tun_recv(int tunfd, uint8_t *buf, int len)
{
    return static_cast<int>(read(tunfd, buf, static_cast<size_t>(len)));
}

int tun_send(int tunfd, const uint8_t *buf, int len)
{
    return static_cast<int>(write(tunfd, buf, static_cast<size_t>(len)));
}

void tun_set_ip(const char *tun_name, uint32_t ip, uint32_t mask)
{
    ifreq ifr;
    ifreq_named(&ifr, tun_name);
    // Address and netmask before the interface comes up, so it never runs with a stale subnet.
    sin_store(&ifr.ifr_addr, ip);
    ifctl(SIOCSIFADDR, &ifr);
    sin_store(&ifr.ifr_addr, mask);
    ifctl(SIOCSIFNETMASK, &ifr);
    ifctl(SIOCGIFFLAGS, &ifr);
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    ifctl(SIOCSIFFLAGS, &ifr);
}

void tun_set_mtu(const char *tun_name, unsigned int mtu)
{
    ifreq ifr;
    ifreq_named(&ifr, tun_name);
    ifr.ifr_mtu = static_cast<int>(mtu);
    ifctl(SIOCSIFMTU, &ifr);  // a refused MTU (0 when the peer sent none) keeps the old one
}

void tun_clear_ip(const char *tun_name)
{
    ifreq ifr;
    ifreq_named(&ifr, tun_name);
    // Down first, so no packet leaves with the address that is about to go.
    ifctl(SIOCGIFFLAGS, &ifr);
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
    ifctl(SIOCSIFFLAGS, &ifr);
    sin_store(&ifr.ifr_addr, 0);  // 0.0.0.0 removes the IPv4 address and its netmask
    ifctl(SIOCSIFADDR, &ifr);
}

int tun_disable_ipv6(const char *tun_name)
{
    // An interface name holds no '/', and the kernel's sysctl files are no links anyone plants.
    char path[64];
    snprintf(path, sizeof path, "/proc/sys/net/ipv6/conf/%.*s/disable_ipv6", IFNAMSIZ - 1, tun_name);
    const int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno;
    const int err = write(fd, "1", 1) == 1 ? 0 : errno;
    close(fd);
    return err;
}
