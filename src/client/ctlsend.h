// A control datagram (OPEN, echo request) to the peer on the session's socket. Below the
// handlers that build them, so that none of them needs the session.
#pragma once
#include <cstdint>
#include "client/record.h"

// A refused send is said in a line and otherwise dropped: the tick that sent it sends again.
void sdwan_sock_send(sdwan_t *clnt, const uint8_t *buf, uint32_t len);
// The same through socket fd (an uplink's probe), without a line; false when the send was refused.
bool sdwan_sock_send_on(sdwan_t *clnt, int fd, const uint8_t *buf, uint32_t len);
