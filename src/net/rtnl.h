// Route-netlink: the kernel's notices of link, address and route changes, an interface's alias
// (the free text "ip link set dev X alias ..." sets) and its further IPv4 addresses (the ioctl
// interface sets only one per interface name). Adapters only: no policy here.
#pragma once
#include <cstddef>
#include <cstdint>

// A non-blocking socket subscribed to IPv4 link, address and route changes; -1 when none opens.
int rtnl_monitor_open();
// Reads every notice waiting on the socket; the number of link, address or route notices read
// (0 when none was waiting), or -1 when the socket failed (the kernel dropped notices when its
// queue overflowed: the caller must assume anything changed).
int rtnl_monitor_drain(int fd);

// The alias of interface name into buf (terminated, cut to len - 1). Its length (0: no alias),
// or -1 when there is no such interface or no answer.
int rtnl_alias_get(const char *name, char *buf, size_t len);
// Sets (or, with "", removes) the alias of interface name. 0, or the errno of the socket or
// the kernel's.
int rtnl_alias_set(const char *name, const char *alias);

// What an interface is and carries, read before anything of it is touched.
struct rtnl_link_t {
    bool up;         // IFF_UP set: brought up by someone
    int mtu;
    int txqlen;
    int naddr;       // its IPv4 addresses
    bool tun;        // an interface of the TUN driver (its link kind "tun")
};
// 0 with *out filled, or the errno of the socket or the kernel's (ENODEV: no such interface).
int rtnl_link_get(const char *name, rtnl_link_t *out);
// Sets the interface's IPv6 address generation to none: once up it makes no link-local
// address, so the kernel sends nothing of IPv6 from it. Works where /proc/sys is read-only.
// 0, or the errno of the socket or the kernel's.
int rtnl_addrgen_none(const char *name);

// Adds ipbe/prefixlen to the interface; an address already there counts as added. 0, or -1 with
// errno set.
int ifaddr_add(const char *ifname, uint32_t ipbe, int prefixlen);
