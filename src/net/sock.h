// The UDP socket: addresses in network order, ports in host order across this interface.
#pragma once
#include <cstdint>

int sock_udpinit();  // non-blocking, close-on-exec, broadcast; -1 on failure
// Receive or send buffer of bytes: the FORCE option first (past the system's cap, with
// CAP_NET_ADMIN), then the plain one. 0, or -1 with errno set when neither took.
int sock_bufsz(int s, int opt_force, int opt, int bytes);
uint32_t sock_sendto(int s, uint32_t toipbe, uint16_t toport, const uint8_t *buf, uint32_t len);
uint32_t sock_recvfrom(int s, uint32_t *r_ipbe, uint16_t *r_port, uint8_t *buf, uint32_t len);
void sock_close(int s);
