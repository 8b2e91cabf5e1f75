// Requests to the kernel about an interface or the routing table (SIOC*), each through a
// throw-away datagram socket: opened, one ioctl, closed. As everywhere in net/: 0 (or a length,
// a descriptor) on success, a negative errno on failure.
#pragma once
#include <cstdint>
#include <sys/socket.h>

struct ifreq;  // <net/if.h>; not included here, so that <linux/...> users do not meet it twice

// 0, or the negative errno of the socket or of the request.
int ifctl(unsigned long req, void *arg);
// ifr zeroed and naming the interface; the kernel takes at most IFNAMSIZ bytes of the name, so a
// longer one is cut, as strncpy would.
void ifreq_named(ifreq *ifr, const char *name);
// An IPv4 address (network order) into a request's sockaddr field, as a zeroed sockaddr_in.
void sin_store(sockaddr *sa, uint32_t ipbe);
