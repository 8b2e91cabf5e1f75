// Route-netlink: the kernel's notices of link, address and route changes, an interface's alias
// (the free text "ip link set dev X alias ..." sets) and its further IPv4 addresses (the ioctl
// interface sets only one per interface name). Adapters only: no policy here. As everywhere in
// net/: 0, a length or a descriptor on success, a negative errno (the socket's or the kernel's
// answer) on failure.
#pragma once
#include <cstddef>
#include <cstdint>

// A non-blocking socket subscribed to IPv4 link, address and route changes, or -errno.
int rtnl_monitor_open();
// Reads every notice waiting on the socket; the number of link, address or route notices read
// (0 when none was waiting), or the negative errno of the socket (-ENOBUFS: the kernel dropped
// notices when its queue overflowed; the caller must assume anything changed).
int rtnl_monitor_drain(int fd);

// The alias of interface name into buf (terminated, cut to len - 1). Its length (0: no alias),
// or -ENODEV (no such interface), -EINVAL (len 0), -EPROTO (no answer understood) or the
// socket's -errno.
int rtnl_alias_get(const char *name, char *buf, size_t len);
// Sets (or, with "", removes) the alias of interface name. 0 or -errno.
int rtnl_alias_set(const char *name, const char *alias);

// What an interface is and carries, read before anything of it is touched.
struct rtnl_link_t {
    bool up;         // IFF_UP set: brought up by someone
    int mtu;
    int txqlen;
    int naddr;       // its IPv4 addresses
    bool tun;        // an interface of the TUN driver (its link kind "tun")
    bool running;    // IFF_RUNNING: up and its carrier (the kernel's operational state) there
    int ifindex;
    // With want (an address, network order): want when it is on the interface, else 0; without,
    // the first IPv4 address listed (0: none).
    uint32_t addr;
};
// 0 with *out filled, or -errno (-ENODEV: no such interface).
int rtnl_link_get(const char *name, rtnl_link_t *out, uint32_t want = 0);
// Sets the interface's IPv6 address generation to none: once up it makes no link-local
// address, so the kernel sends nothing of IPv6 from it. Works where /proc/sys is read-only.
// 0 or -errno.
int rtnl_addrgen_none(const char *name);

// Adds ipbe/prefixlen to the interface; an address already there counts as added. 0 or -errno
// (-ENODEV: no such interface).
int ifaddr_add(const char *ifname, uint32_t ipbe, int prefixlen);
