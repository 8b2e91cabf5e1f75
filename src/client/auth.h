// Authentication handshake: OPEN out, OPENACK / OPENREJ / CLOSE in.
#pragma once
#include <cstdint>
#include "client/record.h"
#include "proto/openack.h"

uint32_t sdwan_pktopen(const sdwan_t *clnt, uint8_t *buf);  // buf holds >= SDWAN_OPEN_MAX bytes
void sdwan_sendOPEN(sdwan_t *clnt);
uint32_t parse_ip(const uint8_t *p);
uint32_t parse_ip_part(const uint8_t *p);

// Opens the record's AES context ahead of the first OPEN, so that no OPEN allocates; 0 on
// success. Without it every OPEN opens and closes a context of its own.
int sdwan_aes_init(sdwan_t *clnt);
void sdwan_aes_fini(sdwan_t *clnt);
// The record's payload key from its user name and password.
void sdwan_set_key(sdwan_t *clnt);

// What the session does after a handler took or refused a datagram. The handlers change the
// record, count and log; everything beyond it (the host's interface and routes, the socket, the
// state CLOSED) is the session's, so that they never call back into it.
enum class auth_outcome {
    none,         // refused, or nothing more to do
    established,  // OPENACK taken, state DATA: the interface, routes and DNS servers to set
    rejected,     // OPENREJ: the session to start over
    malformed,    // an OPENACK whose options do not parse: the session to start over
    closed,       // the peer's CLOSE of this session: state CLOSED
    probe,        // a CLOSE naming another session: an echo request asks the peer first
};

// What an OPENACK (or a sealed AUTHACK) holds, stored in the session.
void sdwan_openack_store(sdwan_t *clnt, const openack_msg_t &m);
// State DATA with the given session values, counted and logged as an accepted OPENACK is.
void sdwan_established(sdwan_t *clnt, uint16_t sid, uint32_t token);

auth_outcome sdwan_onOPENACK(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt);
auth_outcome sdwan_onOPENREJ(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt);
auth_outcome sdwan_onCLOSE(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt);
