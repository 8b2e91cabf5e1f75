// Several uplinks (the "uplinks" key): a socket per present uplink, tied to its interface and read
// by client/session's receive as the one socket is; a host route to the peer through each
// uplink's gateway, added by this run and removed only by it; the probes client/paths asks for;
// the session's start on the first present uplink, its move to the next after failed attempts,
// and in DATA the moves the paths' choice makes. Without the key nothing here acts and the one
// socket follows the host's routes (client/session, client/hostroute).
#pragma once
#include <cstdint>

#include "client/record.h"

inline bool uplinks_on(const sdwan_t *clnt) { return clnt->conf.nuplinks != 0; }

// At start-up, once paths.rx holds the read handlers: the paths, the probes' timer, a first look
// at the interfaces. 0, or -1 when the timer cannot be had (after its line).
int uplinks_start(sdwan_t *clnt);
// At the end: every socket closed, every host route this run added through an uplink removed.
void uplinks_stop(sdwan_t *clnt);
// The interfaces as the kernel has them now (at start, after each of its notices): sockets made
// or closed, states told, host routes put where the gateways are, the session moved off a path
// that went.
void uplinks_sync(sdwan_t *clnt);
// A session starts over (the one socket's re-creation): the probes stop; the session goes out on
// the active path, or on the first present one when that is gone. io.udpsock -1 when none is.
void uplinks_session_reset(sdwan_t *clnt);
// DATA entered (or a legacy move's OPEN taken): every present path is probed.
void uplinks_established(sdwan_t *clnt);
// A session attempt failed (AUTH or DATA timeout): after UPLINK_TRIES in a row through one uplink
// the session goes to the next present one. False without uplinks (client/hostroute's fallback
// then acts).
bool uplinks_failed(sdwan_t *clnt);
// The peer's address is known or changed: the host routes follow it.
void uplinks_routes(sdwan_t *clnt);
// In DATA, each second: a legacy move's OPEN again while the peer has not taken it.
void uplinks_tick(sdwan_t *clnt, uint32_t now);
// A sealed PROBEACK's body; a legacy ECHORESP (buf, len: the whole datagram) through a path's
// socket: true when it answered one of that path's probes (and is then no keepalive's answer).
void uplinks_probeack(sdwan_t *clnt, const uint8_t *body, uint32_t len);
bool uplinks_echo_answer(sdwan_t *clnt, const uint8_t *buf, uint32_t len);
// A legacy session's CLOSE that came through a path other than the session's, signed and with the
// session's sid and token: the peer's answer to that path's echo request from a source where it
// holds no session (the CLOSE names no request), taken as that path's answer; on the session's
// own path while it moves there by a new OPEN, expected. True when taken: the session does not end.
bool uplinks_close_answer(sdwan_t *clnt, const uint8_t *buf, uint32_t len, const sdwan_pkthdr_t &hdr);
// The probes' timer (the read handler of paths.tmrfd).
void uplinks_timer(void *arg);
