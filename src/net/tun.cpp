#include "net/tun.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/ifctl.h"
#include "net/vnet.h"
#include "base/log.h"

static_assert(TUNSETIFF == 0x400454ca);
static_assert(TUNSETPERSIST == 0x400454cb);
static_assert((IFF_TUN | IFF_NO_PI) == 0x1001);
static_assert(TUN_OFFLOAD_CSUM == TUN_F_CSUM && TUN_OFFLOAD_TSO4 == TUN_F_TSO4 && TUN_OFFLOAD_TSO6 == TUN_F_TSO6);

namespace {

// The queue of packets routed to the interface and not yet read by the daemon. The driver's
// default of 500 overflows while a fast sender outruns the daemon for a moment, and TCP takes
// every drop as congestion; 1000 is what Ethernet interfaces get.
constexpr int TUN_TXQLEN = 1000;

}  // namespace

namespace {
// The virtio-net header and the offloads on a descriptor just attached with IFF_VNET_HDR: the
// offloads granted, 0 when the kernel took none of them.
uint32_t tun_offload(int fd, uint32_t want)
{
    int sz = static_cast<int>(VNET_HDR_LEN);
    if (ioctl(fd, TUNSETVNETHDRSZ, &sz) < 0)
        return 0;
    // Segmentation needs the checksum offload under it; without TSO the checksum alone still
    // spares the kernel a pass over every packet.
    if ((want & (TUN_OFFLOAD_TSO4 | TUN_OFFLOAD_TSO6)) != 0)
        want |= TUN_OFFLOAD_CSUM;
    while (want != 0) {
        if (ioctl(fd, TUNSETOFFLOAD, static_cast<unsigned long>(want)) == 0)
            return want;
        want = (want & TUN_OFFLOAD_CSUM) != 0 && want != TUN_OFFLOAD_CSUM ? TUN_OFFLOAD_CSUM : 0;
    }
    return 0;
}

// 0, or the negative errno of the open or the attach.
int tun_attach(int *tunfd, const char *tun_name, int add, bool quiet, uint32_t want = 0, uint32_t *granted = nullptr)
{
    if (granted != nullptr)
        *granted = 0;
    // The header first: a kernel that refuses it, or every offload under it, gets the plain
    // attach on a fresh descriptor (the flag cannot be taken back from an attached one).
    if (want != 0 && *tunfd < 0) {
        int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            ifreq ifr;
            ifreq_named(&ifr, tun_name);
            ifr.ifr_flags = IFF_TUN | IFF_NO_PI | IFF_VNET_HDR;
            uint32_t got = 0;
            if (ioctl(fd, TUNSETIFF, &ifr) == 0 && (got = tun_offload(fd, want)) != 0) {
                *tunfd = fd;
                if (granted != nullptr)
                    *granted = got;
            } else {
                close(fd);
            }
        }
    }

    bool opened = false;
    if (*tunfd < 0) {
        *tunfd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        if (*tunfd < 0) {
            const int err = errno;
            if (!quiet)
                log_help("open tun device path failed\n");
            return -err;
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
        const int err = errno;
        if (!quiet)
            log_help("Failed to attach tun interface %s: %s\n", tun_name, strerror(err));
        close(*tunfd);
        *tunfd = -1;
        return -err;
    }

    // Persistent while the daemon runs, so the interface outlives a crash and the next run
    // attaches to it; cleared on release so that a regular shutdown removes it.
    if (ioctl(*tunfd, TUNSETPERSIST, add ? 1 : 0) < 0 && !quiet)
        log_help("Failed to %s persistence of %s: %s\n", add ? "set" : "clear", tun_name, strerror(errno));
    // Best effort: the default queue still carries the traffic.
    const int qrc = add ? tun_set_txqlen(tun_name, TUN_TXQLEN) : 0;
    if (qrc < 0 && !quiet)
        log_help("Failed to set queue length %d on %s: %s\n", TUN_TXQLEN, tun_name, strerror(-qrc));
    fcntl(*tunfd, F_SETFL, O_NONBLOCK);
    fcntl(*tunfd, F_SETFD, FD_CLOEXEC);
    return 0;
}
}  // namespace

int tun_ioctl(int *tunfd, const char *tun_name, int add) { return tun_attach(tunfd, tun_name, add, false); }

int tun_attach_quiet(int *tunfd, const char *tun_name) { return tun_attach(tunfd, tun_name, 1, true); }

int tun_init_vnet(int *tunfd, const char *tun_name, uint32_t want, uint32_t *granted)
{
    return tun_attach(tunfd, tun_name, 1, false, want, granted);
}

int tun_attach_vnet_quiet(int *tunfd, const char *tun_name, uint32_t want, uint32_t *granted)
{
    return tun_attach(tunfd, tun_name, 1, true, want, granted);
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
    if (*tunfd < 0)
        return;
    tun_ioctl(tunfd, tun_name, 0);
    close(*tunfd);
    *tunfd = -1;  // the number may be reused at once: a later release or poll must not reach it
}

int tun_recv(int tunfd, uint8_t *buf, int len)
{
    const ssize_t n = read(tunfd, buf, static_cast<size_t>(len));
    return n < 0 ? -errno : static_cast<int>(n);
}

int tun_send(int tunfd, const uint8_t *buf, int len)
{
    const ssize_t n = write(tunfd, buf, static_cast<size_t>(len));
    return n < 0 ? -errno : static_cast<int>(n);
}

int tun_recv_vnet(int tunfd, uint8_t *buf, int len) { return tun_recv(tunfd, buf, len); }

int tun_send_vnet(int tunfd, const uint8_t *vhdr, const uint8_t *pkt, int len)
{
    static const uint8_t zero[VNET_HDR_LEN] = {};
    iovec iov[2];
    iov[0].iov_base = const_cast<uint8_t *>(vhdr != nullptr ? vhdr : zero);
    iov[0].iov_len = VNET_HDR_LEN;
    iov[1].iov_base = const_cast<uint8_t *>(pkt);
    iov[1].iov_len = static_cast<size_t>(len);
    const ssize_t n = writev(tunfd, iov, 2);
    return n < 0 ? -errno : static_cast<int>(n - static_cast<ssize_t>(VNET_HDR_LEN));
}

int tun_set_ip(const char *tun_name, uint32_t ip, uint32_t mask)
{
    ifreq ifr;
    ifreq_named(&ifr, tun_name);
    // Address and netmask before the interface comes up, so it never runs with a stale subnet.
    sin_store(&ifr.ifr_addr, ip);
    int first = ifctl(SIOCSIFADDR, &ifr);
    sin_store(&ifr.ifr_addr, mask);
    int rc = ifctl(SIOCSIFNETMASK, &ifr);
    first = first != 0 ? first : rc;
    rc = ifctl(SIOCGIFFLAGS, &ifr);
    first = first != 0 ? first : rc;
    if (rc == 0) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
        rc = ifctl(SIOCSIFFLAGS, &ifr);
        first = first != 0 ? first : rc;
    }
    return first;
}

int tun_set_mtu(const char *tun_name, unsigned int mtu)
{
    ifreq ifr;
    ifreq_named(&ifr, tun_name);
    ifr.ifr_mtu = static_cast<int>(mtu);
    return ifctl(SIOCSIFMTU, &ifr);
}

int tun_get_mtu(const char *tun_name)
{
    ifreq ifr;
    ifreq_named(&ifr, tun_name);
    const int rc = ifctl(SIOCGIFMTU, &ifr);
    return rc != 0 ? rc : ifr.ifr_mtu;
}

int tun_set_txqlen(const char *tun_name, int qlen)
{
    ifreq ifr;
    ifreq_named(&ifr, tun_name);
    ifr.ifr_qlen = qlen;
    return ifctl(SIOCSIFTXQLEN, &ifr);
}

int tun_clear_ip(const char *tun_name)
{
    ifreq ifr;
    ifreq_named(&ifr, tun_name);
    // Down first, so no packet leaves with the address that is about to go.
    int first = ifctl(SIOCGIFFLAGS, &ifr);
    if (first == 0) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags & ~IFF_UP);
        first = ifctl(SIOCSIFFLAGS, &ifr);
    }
    sin_store(&ifr.ifr_addr, 0);  // 0.0.0.0 removes the IPv4 address and its netmask
    const int rc = ifctl(SIOCSIFADDR, &ifr);
    // An interface without an address refuses its removal: nothing was left to remove.
    return first != 0 ? first : (rc == -EADDRNOTAVAIL ? 0 : rc);
}

int tun_disable_ipv6(const char *tun_name)
{
    // An interface name holds no '/', and the kernel's sysctl files are no links anyone plants.
    char path[64];
    snprintf(path, sizeof path, "/proc/sys/net/ipv6/conf/%.*s/disable_ipv6", IFNAMSIZ - 1, tun_name);
    const int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -errno;
    const int rc = write(fd, "1", 1) == 1 ? 0 : -errno;
    close(fd);
    return rc;
}
