// Keepalive echo: signed requests carrying a tick and the measured delays.
#pragma once
#include <cstdint>
#include "client/record.h"

uint32_t sdwan_pktechoreq(const sdwan_t *clnt, uint8_t *buf);  // 44; buf holds >= 64 bytes
void sdwan_sendECHOREQ(sdwan_t *clnt);
void sdwan_onECHORESP(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt);
