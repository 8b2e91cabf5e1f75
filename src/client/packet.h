// Tunnel header, control-packet signature, payload key and payload cipher.
#pragma once
#include <cstdint>
#include "sdwan.h"

void sdwan_hdr_store(uint8_t *buf, const sdwan_pkthdr_t *hdr);  // 8 bytes
sdwan_pkthdr_t sdwan_hdr_load(const uint8_t *buf);             // caller checked len >= 8

// Writes MD5(header | salt) at offsets 8..23 and returns buf + 24.
uint8_t *sdwan_pktsign(uint8_t *pkt);
// 1 when the datagram holds a whole signature and it matches its header; a datagram shorter
// than 24 bytes never verifies.
int sdwan_pktverify(const uint8_t *pkt, uint32_t len);

void sdwan_set_key(sdwan_t *clnt);
void sdwan_encrypt(const sdwan_key_t *key, uint8_t *data, int len);
