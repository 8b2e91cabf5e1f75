// Resolution of a peer given by name: one A/IN query to the built-in resolver per tick.
#pragma once
#include <cstdint>
#include "client/record.h"
#include "client/resolver.h"

// What the session does next; the query and the answer change only the record.
enum class dns_outcome {
    none,      // nothing for the session to do
    resolved,  // sess.peerip holds the answer and the state is INIT: the routes follow the new address
    reset,     // the query could not be sent: the socket is to be replaced
};

uint32_t sdwan_pktDNS(const sdwan_t *clnt, uint8_t *buf);  // buf holds >= 96 bytes
dns_outcome sdwclnt_sendDNS(sdwan_t *clnt);
dns_outcome sdwan_parseDNS(sdwan_t *clnt, uint32_t ipbe, uint16_t port, const uint8_t *buf, uint32_t len);
uint32_t sdwan_parse_answer(const uint8_t *buf, uint32_t len);
