// Routing-table requests and the kernel's route table as /proc/net/route lists it. Adapters
// only: which routes a session wants, and when they move, is decided in client/hostroute.
// As everywhere in net/: 0 (or a descriptor) on success, a negative errno on failure; the table
// scan alone answers with its own ROUTE_SCAN_ codes, which say what was wrong with the text.
#pragma once
#include <cstdint>

// A route request: dest/mask through gw on ifname, RTF_UP | RTF_GATEWAY. 0 when the kernel took
// it, else the negative errno it refused it with (-EEXIST, -ESRCH, -ENODEV, -ENETUNREACH...) or
// of the socket (after a perror line). Nothing is logged of a refusal: the caller says what
// the route was for.
int route_request(int add, uint32_t dest, uint32_t mask, uint32_t gw, int metric, const char *ifname);
// route_request under the name older callers use; the same answer.
int route_handle(int add, uint32_t dest, uint32_t mask, uint32_t gw, int metric, const char *ifname);
// A /32 route to dest through gw on ifname, or straight out of ifname when gw is 0 (a
// point-to-point link, which RTF_GATEWAY would refuse). As route_request.
int route_host(int add, uint32_t dest, uint32_t gw, const char *ifname);
// The same at a metric, as /proc/net/route lists it (the kernel's priority; the request's field
// is one past it): an uplink's host route at the metric of that uplink's default route.
int route_host_metric(int add, uint32_t dest, uint32_t gw, int metric, const char *ifname);

// An unreachable route dest/mask at metric (the kernel's priority, as "ip route" shows it), on
// no interface. Deleting names the type and the metric, so no other route of that prefix goes.
// As route_request.
int route_unreachable(int add, uint32_t dest, uint32_t mask, int metric);

// One line of the table. Addresses in network order; name cut at 31 characters (or at a zero
// byte, which leaves it empty).
struct route_row_t {
    char name[32];
    uint32_t dst;
    uint32_t gw;
    uint32_t mask;
    uint32_t flags;
    int metric;
};

inline constexpr int ROUTE_SCAN_OK = 0;       // the whole table was read, or the visitor stopped it
inline constexpr int ROUTE_SCAN_NOHEAD = -1;  // no header line: empty, or unreadable
inline constexpr int ROUTE_SCAN_BADLINE = -2; // a line that is no route, before the end of the table

// Reads a table in /proc/net/route's layout from fd through a stack buffer (nothing allocated),
// calling visit for each route line until it returns false. A last line cut short by the end of
// the input ends the table quietly.
int route_table_scan(int fd, bool (*visit)(const route_row_t *row, void *ctx), void *ctx);

// The route the kernel's main table would take for dst, leaving out every line for which skip
// returns true: the longest prefix, then the lowest metric, then the first listed. 1 with *out
// set, 0 when none matches, or a negative ROUTE_SCAN_ code.
int route_lookup(int fd, uint32_t dst, bool (*skip)(const route_row_t *row, void *ctx), void *ctx,
                 route_row_t *out);

// Opens /proc/net/route read-only (O_CLOEXEC): the descriptor, or the negative errno.
int route_table_open();
