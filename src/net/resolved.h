// The link DNS settings of systemd-resolved, through its D-Bus API on the system bus
// (org.freedesktop.resolve1.Manager). Adapter only: which servers and domains a session hands
// over, and when, is decided in client/hostdns.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr int RESOLVED_OK = 0;
inline constexpr int RESOLVED_ABSENT = 1;  // no system bus, or no one owns the resolver's name
inline constexpr int RESOLVED_FAILED = -1; // it runs and refused (why says how)

// Method calls wait at most this long: the daemon's one thread must not hang on the bus.
inline constexpr uint64_t RESOLVED_CALL_USEC = 2000000;

// Sets the link's DNS servers (n addresses in network order), its domains (a comma-separated
// list, "" for none; each is routing-only when routing_only is set, "~." routes every lookup to
// the link) and whether the link is the default route for lookups.
int resolved_set_link(int ifindex, const uint32_t *servers, int n, const char *domains, bool routing_only,
                      bool default_route, char *why, size_t len);
// Drops every setting made on the link. 0, or one of the codes above.
int resolved_revert_link(int ifindex, char *why, size_t len);
