// The layer-3 TUN interface (IFF_TUN | IFF_NO_PI) and its IPv4 settings. As everywhere in net/:
// 0 (or a length) on success, a negative errno on failure.
#pragma once
#include <cstdint>

#include "net/vnet.h"  // TUN_OFFLOAD_ bits

// Attaches (add 1) or releases the persistence of (add 0) tun_name on *tunfd, opening the device
// first when *tunfd is negative. 0, or the negative errno of the open or the attach, after a line.
int tun_ioctl(int *tunfd, const char *tun_name, int add);
int tun_init(int *tunfd, const char *tun_name);  // tun_ioctl(tunfd, tun_name, 1)
// Clears persistence, closes the descriptor (the interface goes with it) and sets *tunfd to -1;
// nothing when *tunfd is negative.
void tun_deinit(int *tunfd, const char *tun_name);
// Closes the descriptor and leaves the interface as it is (persistent): for an interface that
// existed, persistent, before this process attached to it.
void tun_detach(int *tunfd);
// An interface of that name exists (of any kind).
bool tun_exists(const char *tun_name);
// Attaches a fresh descriptor to the existing persistent TUN interface tun_name without the log
// line of a refusal; 0, or the negative errno of the refusal (-EBUSY: a running process holds it).
int tun_attach_quiet(int *tunfd, const char *tun_name);
// One packet: its length, or the negative errno (-EAGAIN: none waiting, or no room).
int tun_recv(int tunfd, uint8_t *buf, int len);
int tun_send(int tunfd, const uint8_t *buf, int len);
// Each request goes on after a refused one; 0, or the negative errno of the first refusal.
int tun_set_ip(const char *tun_name, uint32_t ip, uint32_t mask);
// A refused MTU (the kernel's floor for IPv4 is 68) leaves the one in force.
int tun_set_mtu(const char *tun_name, unsigned int mtu);
int tun_clear_ip(const char *tun_name);
// The MTU in force, or a negative errno.
int tun_get_mtu(const char *tun_name);
// The interface's queue length (what the attach set it to, TUN_TXQLEN, put back); 0 or -errno.
int tun_set_txqlen(const char *tun_name, int qlen);
// Sets the interface's disable_ipv6 switch: no link-local address, no router solicitation or
// other IPv6 packet is ever routed into it. 0, or the negative errno of the refusal (-ENOENT: a
// kernel without IPv6, where nothing is to be done).
int tun_disable_ipv6(const char *tun_name);

// tun_init that asks for the virtio-net header and the offloads want (CSUM is implied by TSO):
// *granted gets what the kernel took, 0 when it refused the header or the offloads, and the
// descriptor is then a plain one exactly as tun_init makes it. Returns as tun_init.
int tun_init_vnet(int *tunfd, const char *tun_name, uint32_t want, uint32_t *granted);
// tun_attach_quiet with the same request: the negative errno of a refused attach, or 0 with
// *granted set.
int tun_attach_vnet_quiet(int *tunfd, const char *tun_name, uint32_t want, uint32_t *granted);
// On a descriptor with the header: a read of the header and the packet behind it into buf (at
// most VNET_READ_MAX bytes are ever needed); as read(2).
int tun_recv_vnet(int tunfd, uint8_t *buf, int len);
// On a descriptor with the header: one packet (or super-packet) written behind the 10-byte
// header vhdr, null for a plain packet (a zero header); as tun_send, the header's bytes left out
// of a positive result.
int tun_send_vnet(int tunfd, const uint8_t *vhdr, const uint8_t *pkt, int len);
