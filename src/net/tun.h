// The layer-3 TUN interface (IFF_TUN | IFF_NO_PI) and its IPv4 settings.
#pragma once
#include <cstdint>

int tun_ioctl(int *tunfd, const char *tun_name, int add);
int tun_init(int *tunfd, const char *tun_name);  // -1 with errno telling why
void tun_deinit(int *tunfd, const char *tun_name);
// Closes the descriptor and leaves the interface as it is (persistent): for an interface that
// existed, persistent, before this process attached to it.
void tun_detach(int *tunfd);
// An interface of that name exists (of any kind).
bool tun_exists(const char *tun_name);
// Attaches a fresh descriptor to the existing persistent TUN interface tun_name without the log
// line of a refusal; 0, or the errno of the refusal (EBUSY: a running process holds it).
int tun_attach_quiet(int *tunfd, const char *tun_name);
int tun_recv(int tunfd, uint8_t *buf, int len);
int tun_send(int tunfd, const uint8_t *buf, int len);
void tun_set_ip(const char *tun_name, uint32_t ip, uint32_t mask);
void tun_set_mtu(const char *tun_name, unsigned int mtu);
void tun_clear_ip(const char *tun_name);
// Sets the interface's disable_ipv6 switch: no link-local address, no router solicitation or
// other IPv6 packet is ever routed into it. 0, or the errno of the refusal (ENOENT: a kernel
// without IPv6, where nothing is to be done).
int tun_disable_ipv6(const char *tun_name);
