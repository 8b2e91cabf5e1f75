// Tunnel header, control-packet signature, payload key and payload cipher: the wire rules both
// ends follow, with no state of either.
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

// The payload key: the first 8 bytes of MD5(user | password), each at most 31 characters.
void sdwan_key_derive(const char *user, const char *pass, sdwan_key_t *key);
void sdwan_encrypt(const sdwan_key_t *key, uint8_t *data, int len);
