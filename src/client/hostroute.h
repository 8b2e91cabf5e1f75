// What the session changes on the host, and what it undoes: the TUN interface (created, or a
// dead run's taken over), its address, the tunnel's default route or split routes, and the host
// routes that keep the daemon's own datagrams off the tunnel. Only what this run made is ever
// cleared or deleted (sdwan_t::si_own, si_hostrt_*, si_rtset).
//
// The interface carries an alias that marks it as a tunnel of this daemon and lists the host
// routes the run holds ("tolvad 198.51.100.7,192.0.2.1,eth0"). It survives a killed process
// with the persistent interface: the clean-up step and the next start read it to remove exactly
// what the dead run left, and the route discovery of every instance skips these tunnels.
#pragma once
#include <cstddef>
#include <cstdint>
#include "client/record.h"

inline constexpr size_t HOSTRT_ALIAS_MAX = 256;  // the kernel's alias size, terminator included

// The host's default route at start-up: the first one listed that is up and on no tunnel of
// this daemon. 0, or -1 (after the reader's own line, if any).
int sdwclnt_load_defroute(sdwan_t *clnt);
// The same search on a table read from fd: ifname (32 bytes, padded with zeros) and nexthop set
// on success only.
int hostrt_find_default(int fd, const sdwan_t *clnt, char *ifname, uint32_t *nexthop);

// OPENACK: the interface's address and MTU (never below the kernel's floor of 68; si_tunmtu gets
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

// Attaches the TUN descriptor. A name held by a running process or by an interface of another
// kind fails (the attach's line) and touches nothing; so does a TUN interface that is up or has an
// IPv4 address and does not carry this daemon's alias (another program's: a line, and the
// start-up failure's note). A dead run's interface is taken over after what it left has been
// removed; one made beforehand (down, no address) is used and left in place, its MTU and queue
// length put back at the close. While in use the latter carries the alias "tolvad kept ..." (when
// it had none), so that after a kill the next start or the clean-up step knows it again. 0 or -1.
int sdwclnt_tun_open(sdwan_t *clnt);
// Releases the descriptor; the interface is removed only when it is this run's.
void sdwclnt_tun_close(sdwan_t *clnt);

// The clean-up step after an abnormal end: removes the interface tun_name and the host routes
// its alias lists, if it is a tunnel of this daemon that no running process holds; one made
// beforehand ("kept") stays, down, without its address and the daemon's alias. 0, or -1 when it
// could not be removed.
int sdwclnt_cleanup(const char *tun_name);

// The kernel's notices of link and route changes (the read handler of si_rtnlfd).
void sdwclnt_rtnl_recv(void *arg);

// The alias text for the routes in rt[0..n) (dst 0: left out), into buf; its length. kept: the
// interface was made beforehand and stays after the daemon ("tolvad kept ...").
size_t hostrt_alias_format(const sdwan_hostrt_t *rt, int n, char *buf, size_t len, bool kept = false);
// Reads an alias of len bytes: -1 when it is not this daemon's mark or is malformed, else the
// number of routes stored into out (at most max), and *kept (when given) set as formatted.
int hostrt_alias_parse(const char *text, size_t len, sdwan_hostrt_t *out, int max, bool *kept = nullptr);
