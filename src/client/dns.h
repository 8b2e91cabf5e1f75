// Resolution of a peer given by name: one A/IN query to the built-in resolver per tick.
#pragma once
#include <cstdint>
#include "client/record.h"

inline constexpr uint16_t SDWAN_DNS_PORT = 53;
uint32_t sdwan_resolver_ip();  // the built-in resolver, network order

uint32_t sdwan_pktDNS(const sdwan_t *clnt, uint8_t *buf);  // buf holds >= 96 bytes
void sdwclnt_sendDNS(sdwan_t *clnt);
void sdwan_parseDNS(sdwan_t *clnt, uint32_t ipbe, uint16_t port, const uint8_t *buf, uint32_t len);
uint32_t sdwan_parse_answer(const uint8_t *buf, uint32_t len);
