// Data path: TUN -> peer (sdwclnt_tun_recv), peer -> TUN (sdwan_onDATA).
#pragma once
#include <cstdint>
#include "client/record.h"

void sdwclnt_tun_recv(void *arg);
void sdwan_onDATA(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt);
// pkt (len bytes, as read from the TUN device) is a UDP datagram to the peer's address and port,
// or to the resolver's while resolving: the daemon's own traffic, which never enters the tunnel.
bool sdwan_own_dest(const sdwan_t *clnt, const uint8_t *pkt, int len);
