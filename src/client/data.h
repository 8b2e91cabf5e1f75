// Data path: TUN -> peer (sdwclnt_tun_recv), peer -> TUN (sdwan_onDATA).
#pragma once
#include <cstdint>
#include "client/record.h"

void sdwclnt_tun_recv(void *arg);
void sdwan_onDATA(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt);
// One packet from the peer to the interface, counted (the sealed session's inbound path).
void sdwan_data_deliver(sdwan_t *clnt, const uint8_t *pkt, uint32_t len);
// Writes to the interface what the inbound packets of a train left joined (on a descriptor with
// segmentation offload); called once the train is walked, before the event core polls again.
void sdwan_data_flush(sdwan_t *clnt);
// Drops what the coalescer holds: the session it came in has ended.
void sdwan_data_reset(sdwan_t *clnt);
// pkt (len bytes, as read from the TUN device) is a UDP datagram to the peer's address and port,
// or to the resolver's while resolving: the daemon's own traffic, which never enters the tunnel.
bool sdwan_own_dest(const sdwan_t *clnt, const uint8_t *pkt, int len);
