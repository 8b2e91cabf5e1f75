// Data path: TUN -> peer (sdwclnt_tun_recv), peer -> TUN (sdwan_onDATA).
#pragma once
#include <cstdint>
#include "sdwan.h"

void sdwclnt_tun_recv(void *arg);
void sdwan_onDATA(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt);
