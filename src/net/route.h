// Routing-table requests, the host's default route, and the routes a session installs.
#pragma once
#include <cstdint>
#include <cstdio>
#include "sdwan.h"

int route_handle(int add, uint32_t dest, uint32_t mask, uint32_t gw, int metric, const char *ifname);

// Reads a /proc/net/route style stream: the first default route (RTF_UP, destination 0) not on
// skip_ifname. 0 with ifname (32 bytes) and nexthop set, -1 otherwise (logs its own lines).
int route_read_default(FILE *fp, const char *skip_ifname, char *ifname, uint32_t *nexthop);
int sdwclnt_load_defroute(sdwan_t *clnt);
// Reads the host's default route again (each session reset) without a log line; on failure the
// recorded values stay as they were. 0 or -1.
int sdwclnt_reload_defroute(sdwan_t *clnt);

void sdwclnt_set_iproute(sdwan_t *clnt);
// A session that ends by the peer's CLOSE leaves the tunnel's default route in place until the
// next session; when the peer's name then resolves to a new address, its host route must move
// at once or the next OPEN would be routed into the dead tunnel.
void sdwclnt_follow_peer(sdwan_t *clnt);
void sdwclnt_clear_iproute(sdwan_t *clnt);
