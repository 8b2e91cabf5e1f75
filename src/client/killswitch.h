// The kill switch ("killswitch" key): between sessions, what the tunnel carries in session is
// refused by the host instead of leaving in clear by the uplink. Its routes are unreachable
// routes to the prefixes the tunnel's own routes take, at a higher metric than theirs: a
// session's routes win while they are in place, and when they go (the session ends, the link
// goes down and the kernel drops them) the switch is already there, with nothing to do at that
// moment. In full tunnel mode the prefixes are the two halves of the address space, more
// specific than any default route of the host whatever its metric (so with the switch the
// tunnel's own default route is the same two halves); in split mode they are the configured
// prefixes, the rest keeping the uplink as it does in session. The peer's host route, and the
// resolver's while the peer's name is looked up, are held in the meantime (client/hostroute), so
// the daemon's own datagrams still leave by the uplink.
//
// Only the routes this run added are deleted (host.ksset). Its mark in the interface's alias
// ("tolvad killswitch ...", client/tunlife) lets the clean-up after a killed run find them.
#pragma once
#include "client/record.h"
#include <cstdint>

// The kernel's priority of the switch's routes; the tunnel's own routes are at 0.
inline constexpr int KILLSWITCH_METRIC = 3999;

// The i-th prefix the tunnel takes (the switch's, and with the switch the tunnel's default route):
// false past the last.
bool killswitch_prefix(const sdwan_t *clnt, int i, uint32_t *net, uint32_t *mask);
// Adds the switch's routes not yet in place (with the "killswitch" key; at start-up and again at
// each new session while the kernel refuses one). A route identical to one in place is left to
// its owner. true when the switch has just come on: the interface's mark is then to be written
// again (hostrt_mark).
bool killswitch_arm(sdwan_t *clnt);
// At the stop: deletes the routes this run added. true when there were any: the host routes
// held for the daemon's own datagrams (sdwclnt_routes_sync) and the mark follow.
bool killswitch_disarm(sdwan_t *clnt);
// After a killed run whose interface carried the mark: its routes, the full mode's halves and
// the configured prefixes at the switch's metric (nothing else matches that delete).
void killswitch_left(const sdwan_t *clnt);
