// What the session changes on the host's routes, and what it undoes: the tunnel's default route
// or split routes, and the host routes that keep the daemon's own datagrams off the tunnel. Only
// what this run made is ever deleted (sdwan_host_t::own, hostrt_*, rtset); the interface
// itself is client/tunlife's.
#pragma once
#include <cstdint>
#include "client/record.h"

// The host's default route at start-up: the first one listed that is up and on no tunnel of
// this daemon. 0, or -1 (after the reader's own line, if any).
int sdwclnt_load_defroute(sdwan_t *clnt);
// The same search on a table read from fd: ifname (32 bytes, padded with zeros) and nexthop set
// on success only.
int hostrt_find_default(int fd, const sdwan_t *clnt, char *ifname, uint32_t *nexthop);

// The wait for a first route to the peer (for a peer given by name: to the resolver) that the
// "waitroute" key asks for at start-up. start begins it, with one line, when the host has no such
// route yet; later calls (each notice of a route change, or each tick without the notices) end
// it, with one line, once there is one. host.routewait after the call: while it is set, the
// session sends nothing. A table that cannot be read holds nothing back.
bool sdwclnt_route_wait(sdwan_t *clnt, bool start);

// OPENACK: the interface's address and MTU (never below the kernel's floor of 68; host.tunmtu gets
// the MTU the interface then has), the host route to the peer where the tunnel's routes
// would take it, then those routes: the default route through the gateway, or with the "routes"
// key (split mode) a route through it for each configured prefix, the host's own default route
// staying in effect for everything else.
void sdwclnt_set_iproute(sdwan_t *clnt);
// The end of a session, a new peer, shutdown: undoes what this run set, nothing else.
void sdwclnt_clear_iproute(sdwan_t *clnt);
// While this run's tunnel default route is in place: the peer (and, while resolving, the
// resolver) keep the path the host would give them without the tunnel, looked up afresh (each
// session set-up: the host's routes change while the daemon runs). Without that route, nothing
// is held.
void sdwclnt_routes_sync(sdwan_t *clnt);
// After a change of the host's links or routes, in session: a host route held is put back if the
// kernel removed it, and moved when the host's own path to that address now takes another next
// hop or interface (the old one would carry the session into a gateway no longer in use until
// it timed out); where none is held and the peer would now enter the tunnel, one is added as at
// set-up. While the host has no path at all (its link is down) the one held stays.
void sdwclnt_routes_restore(sdwan_t *clnt);

// Several default routes (other interfaces or gateways, none of this daemon's tunnels, none
// unreachable): after UPLINK_TRIES session attempts in a row failed through the one in use, the
// peer's host route moves to the next of them, in turn, by metric, as the table has them then;
// back on the preferred one after a session through a backup ended, or when the backup goes or
// the preferred route changes. A peer reached through a more specific route stays on it.
inline constexpr uint8_t UPLINK_TRIES = 2;
// An AUTH or handshake timeout, or the DATA timeout, before the session is reset (whose route
// sync puts the host route where this chose).
void sdwclnt_uplink_failed(sdwan_t *clnt);
// The host's default route through ifname that the kernel prefers, of those the tunnel does not
// hold: its next hop (0: straight out of it) and metric. False when there is none, or no table.
bool sdwclnt_defroute_via(const sdwan_t *clnt, const char *ifname, uint32_t *gw, int *metric);
// The peer answered (a session, a refusal): the path works, the count starts over.
void sdwclnt_uplink_answered(sdwan_t *clnt);
// A session ended: one through a backup gives the peer back to the preferred route.
void sdwclnt_uplink_ended(sdwan_t *clnt);
// After a change of the host's routes: the backup gone or the preferred route changed.
void sdwclnt_uplink_check(sdwan_t *clnt);

// The kernel's notices of link and route changes (the read handler of io.rtnlfd).
void sdwclnt_rtnl_recv(void *arg);
// What a batch of those notices sets off here: the wait for a route, the uplink fallback's check
// and the host routes held.
void sdwclnt_rtnl_changed(sdwan_t *clnt);
