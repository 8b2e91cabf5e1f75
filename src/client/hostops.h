// The host as the client's policy sees it. Every change the session makes to the tunnel
// interface, the host's routes and its resolver manager, and every question it asks about them,
// goes through one of these: the process fills them with the kernel adapters (daemon/hostkernel),
// the tests with a fake that records each call and answers from its own table
// (tests/support/fakehost), so the route and session policy runs without root. Answers as
// everywhere below, unless said otherwise: 0 (or a length, a descriptor, an MTU) on success, a
// negative errno on failure.
#pragma once
#include <cstddef>
#include <cstdint>

// An uplink as the paths see it (client/uplinks).
struct hostlink_t {
    int ifindex;
    bool up;        // administratively up with its carrier
    uint32_t addr;  // the source asked for when the interface has it, else 0; without one, its first IPv4 address (0: none)
};

struct hostops_t {
    void *ctx;
    // The interface's IPv4 address with its netmask (network order), set and up; cleared, down.
    int (*addr_set)(void *ctx, const char *ifname, uint32_t ip, uint32_t mask);
    int (*addr_clear)(void *ctx, const char *ifname);
    // Its MTU, set; read back.
    int (*mtu_set)(void *ctx, const char *ifname, unsigned mtu);
    int (*mtu_get)(void *ctx, const char *ifname);
    // A route dest/mask through gw (0: none) on ifname, added (add 1) or deleted (add 0); a /32
    // route to dest through gw, or straight out of ifname when gw is 0.
    int (*route)(void *ctx, int add, uint32_t dest, uint32_t mask, uint32_t gw, int metric, const char *ifname);
    int (*host_route)(void *ctx, int add, uint32_t dest, uint32_t gw, const char *ifname);
    // The main route table in /proc/net/route's layout: a readable descriptor the caller closes.
    int (*table_open)(void *ctx);
    // An interface's alias: its length read into buf (len bytes, not terminated), or set ("" clears).
    int (*alias_get)(void *ctx, const char *ifname, char *buf, size_t len);
    int (*alias_set)(void *ctx, const char *ifname, const char *alias);

    // The ways to the host's resolver manager (client/hostdns), answering HOSTDNS_OK, _ABSENT
    // (not there) or _FAILED with a reason of at most len bytes in why; a way left null counts as
    // absent. systemd-resolved: the link's servers (n addresses in network order), its domains (a
    // comma-separated list, "" for none; each routing-only when routing_only is set, "~." routes
    // every lookup to the link), whether it is the default route for lookups, LLMNR and multicast
    // DNS off; reverted.
    int (*resolved_set)(void *ctx, int ifindex, const uint32_t *servers, int n, const char *domains,
                        bool routing_only, bool default_route, char *why, size_t len);
    int (*resolved_revert)(void *ctx, int ifindex, char *why, size_t len);
    // resolvconf: the interface record "<ifname>.tolvad" added (conf: resolv.conf lines;
    // exclusive: its servers take every lookup, where the manager knows how; servers: their text
    // for the log) or deleted; OK means the run is under way and logs its outcome when it ends.
    // del_left deletes the record a killed run may have left, none there being no failure.
    int (*resolvconf_add)(void *ctx, const char *ifname, const char *conf, bool exclusive, const char *servers,
                          char *why, size_t len);
    int (*resolvconf_del)(void *ctx, const char *ifname, char *why, size_t len);
    int (*resolvconf_del_left)(void *ctx, const char *ifname, char *why, size_t len);

    // An unreachable route to dest/mask at metric (on no interface: what it matches is refused
    // with EHOSTUNREACH, sent nowhere), added or deleted; deleting touches only that type of
    // route at that exact metric.
    int (*unreachable)(void *ctx, int add, uint32_t dest, uint32_t mask, int metric);

    // Interface ifname now: -ENODEV when there is none. source: the address asked for (network
    // order, 0 for the interface's own).
    int (*link_state)(void *ctx, const char *ifname, uint32_t source, hostlink_t *out);
    // host_route's at a metric (as the route table lists it): the peer through one uplink.
    int (*uplink_route)(void *ctx, int add, uint32_t dest, uint32_t gw, int metric, const char *ifname);
};
