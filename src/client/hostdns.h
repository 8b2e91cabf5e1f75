// The peer's DNS servers on the host ("setdns" key): handed to systemd-resolved as the tunnel
// link's servers when a session is established, withdrawn when it ends or the daemon stops. In
// full tunnel mode the link takes every lookup ("~." and the default route for lookups); in split
// mode (the "routes" key) only the lookups under the "dnsdomains" domains. Without a resolver
// manager one log line says that the servers were not applied. The daemon's own lookup of its
// peer keeps using the built-in resolver.
#pragma once
#include "client/record.h"

// With DATA entered (after the routes): sets the servers, at every session set-up.
void sdwclnt_dns_apply(sdwan_t *clnt);
// The end of a session, shutdown: withdraws what sdwclnt_dns_apply set, nothing else.
void sdwclnt_dns_withdraw(sdwan_t *clnt);
