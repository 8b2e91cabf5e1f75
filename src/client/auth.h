// Authentication handshake: OPEN out, OPENACK / OPENREJ / CLOSE in.
#pragma once
#include <cstdint>
#include "sdwan.h"

uint32_t sdwan_pktopen(const sdwan_t *clnt, uint8_t *buf);  // buf holds >= SDWAN_OPEN_MAX bytes
void sdwan_sendOPEN(sdwan_t *clnt);
uint32_t parse_ip(const uint8_t *p);
uint32_t parse_ip_part(const uint8_t *p);

// Creates the reusable AES context ahead of the first OPEN, so that no OPEN allocates; 0 on
// success. sdwan_aes128_block creates it itself when this was not called.
int sdwan_aes_init();
// AES-128 of one 16-byte block (no chaining); 0 on success.
int sdwan_aes128_block(const uint8_t key[16], const uint8_t in[16], uint8_t out[16]);
// The password key: MD5(salt | user name), n bytes of user.
void sdwan_passkey(const char *user, uint32_t n, uint8_t key[16]);

void sdwan_onOPENACK(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt);
void sdwan_onOPENREJ(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt);
void sdwan_onCLOSE(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt);
