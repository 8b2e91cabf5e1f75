// The link DNS settings of systemd-resolved, through its D-Bus API on the system bus
// (org.freedesktop.resolve1.Manager), with sd-bus: with base/notify, the one part that calls
// libsystemd. Built without it, the manager counts as absent. Which servers and domains a session
// hands over, and when, is decided in client/hostdns, which reaches these through the record's
// hostops_t (daemon/hostkernel).
#pragma once
#include <cstddef>
#include <cstdint>

#include "client/hostdns.h"

// Each method call waits at most this long: the reactor's one thread must not hang on the bus.
// A set-up makes at most six calls (the name's owner, servers, domains, default route, LLMNR,
// multicast DNS), at session set-up and tear-down only.
inline constexpr uint64_t RESOLVED_CALL_USEC = 500000;

// hostops_t's resolved_set and resolved_revert: HOSTDNS_OK, _ABSENT (no system bus, or no
// one owns the resolver's name) or _FAILED.
int resolved_set_link(int ifindex, const uint32_t *servers, int n, const char *domains, bool routing_only,
                      bool default_route, char *why, size_t len);
int resolved_revert_link(int ifindex, char *why, size_t len);
