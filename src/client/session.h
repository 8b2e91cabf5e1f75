// The tunnel client: start/stop, the one-second session tick, the UDP socket's life and the
// source filter and dispatch of received datagrams. It drives auth, dns and echo, which answer
// with what is to be done; the host's interface and routes change only from here.
#pragma once
#include <cstdint>
#include "client/record.h"

// Start and stop of the client object's session, its interface, socket and timer.
int sdwclnt_init(sdwan_t *clnt);
void sdwclnt_deinit(sdwan_t *clnt);
int sdwclnt_set_peer(sdwan_t *clnt);
// The first session, once the interface and the timer are in place: with "waitroute=0" refused
// (-1, after its line and the start-up's failure note) while the host has no default route; else
// held back until a route to the peer exists (client/hostroute's sdwclnt_route_wait).
int sdwclnt_start(sdwan_t *clnt);
void sdwclnt_reset_state(sdwan_t *clnt);
void sdwclnt_sock_reinit(sdwan_t *clnt);
void sdwclnt_do_timer(void *arg);
void sdwan_sock_recv(void *arg);
// The read handlers of the uplinks' sockets, by path: each datagram through the receive core as
// sdwan_sock_recv's, counted on its path (client/uplinks polls them).
extern void (*const SDWAN_PATH_RECV[SDWAN_PATHS_MAX])(void *);
void sdwan_sock_recv_core(sdwan_t *clnt, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len);
// The session ends as the peer's CLOSE ends it: state CLOSED (the next tick starts over), counted;
// the peer's DNS servers are withdrawn at once, while the interface and routes stay until the
// next session.
void sdwclnt_enter_closed(sdwan_t *clnt);
