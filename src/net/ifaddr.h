// Further IPv4 addresses on an interface, through rtnetlink: the ioctl interface sets only one
// address per interface name.
#pragma once
#include <cstdint>

// Adds ipbe/prefixlen to the interface; an address already there counts as added. 0, or -1 with
// errno set.
int ifaddr_add(const char *ifname, uint32_t ipbe, int prefixlen);
