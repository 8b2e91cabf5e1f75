// Keepalive echo: signed requests carrying a tick and the measured delays, and the real-clock
// round-trip delay.
//
// The echo's own delay figures are in units of the time-stamp counter and travel to the peer
// unconverted; the round-trip delay kept in the record's rtt.usec is measured on CLOCK_MONOTONIC
// instead: the time at which each request goes out is kept in a small ring keyed by the
// request's tick, and an accepted response that returns one of those ticks yields a sample in
// microseconds.
#pragma once
#include <cstdint>
#include "client/record.h"

uint32_t sdwan_pktechoreq(const sdwan_t *clnt, uint8_t *buf);  // 44; buf holds >= 64 bytes
void sdwan_sendECHOREQ(sdwan_t *clnt);
void sdwan_onECHORESP(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt);

// A response (legacy or sealed) returned tick: the delays and the round trip measured.
void echo_taken(sdwan_t *clnt, uint64_t tick);

void echo_rtt_sent(sdwan_t *clnt, uint64_t tick);      // a request carrying tick goes out now
// An accepted response returned tick: true, with the monotonic time its request went out in
// *sent (when not null); unknown ticks are ignored (false).
bool echo_rtt_answered(sdwan_t *clnt, uint64_t tick, uint64_t *sent = nullptr);
