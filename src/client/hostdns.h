// The peer's DNS servers on the host ("setdns" key): handed to the host's resolver manager when a
// session is established, withdrawn when it ends or the daemon stops. systemd-resolved first, as
// the tunnel link's servers: in full tunnel mode the link takes every lookup ("~." and the default
// route for lookups), in split mode (the "routes" key) only the lookups under the "dnsdomains"
// domains; LLMNR and multicast DNS are off on the link. Without it on the bus, resolvconf, as the
// interface record "<tun>.tolvad" (nameserver lines, a search line of the domains), exclusive in
// full tunnel mode (openresolv then lists only the tunnel's servers), beside the host's own servers
// in split mode. Without either,
// one log line says that the servers were not applied. The daemon's own lookup of its peer keeps
// using the built-in resolver.
//
// These calls happen at session set-up and tear-down only, never on the packet path, and may
// allocate. systemd-resolved's are bounded by a D-Bus call timeout; resolvconf is never waited for
// (its outcome is logged when it ends, see daemon/resolvconf.h).
#pragma once
#include <cstddef>
#include <cstdint>

#include "client/record.h"

inline constexpr int HOSTDNS_OK = 0;
inline constexpr int HOSTDNS_ABSENT = 1;  // this way is not there (no manager on the bus, no program)
inline constexpr int HOSTDNS_FAILED = -1; // it is there and refused ("why" says how)

// The resolver manager is reached only through the record's ops (hostops_t: resolved_set ...
// resolvconf_del_left), which the process fills (daemon/hostkernel).

// With DATA entered (after the routes): sets the servers, at every session set-up.
void sdwclnt_dns_apply(sdwan_t *clnt);
// The end of a session, shutdown: withdraws what sdwclnt_dns_apply set, nothing else.
void sdwclnt_dns_withdraw(sdwan_t *clnt);
// A dead run's interface tun_name, still there (the caller has made sure it is this daemon's and
// no running process holds it), with "setdns" in the configuration: what the run may have set is
// withdrawn through the manager a run would use, systemd-resolved when it is on the bus, else
// resolvconf (its record "<tun_name>.tolvad"), as clnt (the configuration's record) reaches them.
void sdwclnt_dns_leftover(const sdwan_t *clnt, const char *tun_name);
