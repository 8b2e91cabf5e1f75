// Requests to the kernel about an interface or the routing table (SIOC*), each through a
// throw-away datagram socket: opened, one ioctl, closed.
#pragma once
#include <net/if.h>

// 0, or -1 with errno set (by the socket or by the request).
int ifctl(unsigned long req, void *arg);
// ifr zeroed and naming the interface; the kernel takes at most IFNAMSIZ bytes of the name, so a
// longer one is cut, as strncpy would.
void ifreq_named(ifreq *ifr, const char *name);
