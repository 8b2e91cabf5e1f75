// Rate-limited log of what a stranger can make the client say. The legacy signature needs no key
// and the source filter only compares an address anyone can forge, so every refused datagram
// "from the peer" would otherwise cost one synced log line: a flood of them stalls the loop that
// carries the tunnel and rotates the log's history away. Each kind of line is written at most
// SDWAN_RLOG_LINES times per interval of SDWAN_RLOG_USEC on the monotonic clock; the rest is
// counted (count.log_suppressed) and, when the interval ends, summed up in one line:
// "%llu lines suppressed in the last %u s: <kind> <count>, ...". The datagrams themselves are
// still counted by the handlers, one by one.
#pragma once
#include <cstdint>
#include "client/record.h"

// True when the caller may write its line of that kind now.
bool sdwclnt_rlog_allow(sdwan_t *clnt, uint8_t kind);
// From the session tick: ends the interval when due, with the summary line if anything was held.
void sdwclnt_rlog_tick(sdwan_t *clnt);
// The kind's name in the summary line.
const char *sdwclnt_rlog_name(uint8_t kind);
