#include "daemon/hostkernel.h"

#include "daemon/resolvconf.h"
#include "net/route.h"
#include "net/rtnl.h"
#include "net/tun.h"

namespace {
int addr_set(void *, const char *ifname, uint32_t ip, uint32_t mask) { return tun_set_ip(ifname, ip, mask); }
int addr_clear(void *, const char *ifname) { return tun_clear_ip(ifname); }
int mtu_set(void *, const char *ifname, unsigned mtu) { return tun_set_mtu(ifname, mtu); }
int mtu_get(void *, const char *ifname) { return tun_get_mtu(ifname); }
int route(void *, int add, uint32_t dest, uint32_t mask, uint32_t gw, int metric, const char *ifname)
{
    return route_request(add, dest, mask, gw, metric, ifname);
}
int host_route(void *, int add, uint32_t dest, uint32_t gw, const char *ifname)
{
    return route_host(add, dest, gw, ifname);
}
int table_open(void *) { return route_table_open(); }
int unreachable(void *, int add, uint32_t dest, uint32_t mask, int metric)
{
    return route_unreachable(add, dest, mask, metric);
}
int link_state(void *, const char *ifname, uint32_t source, hostlink_t *out)
{
    rtnl_link_t l;
    const int err = rtnl_link_get(ifname, &l, source);
    if (err != 0)
        return err;
    *out = {l.ifindex, l.up && l.running, l.addr};
    return 0;
}
int uplink_route(void *, int add, uint32_t dest, uint32_t gw, int metric, const char *ifname)
{
    return route_host_metric(add, dest, gw, metric, ifname);
}
int alias_get(void *, const char *ifname, char *buf, size_t len) { return rtnl_alias_get(ifname, buf, len); }
int alias_set(void *, const char *ifname, const char *alias) { return rtnl_alias_set(ifname, alias); }
int rc_add(void *, const char *ifname, const char *conf, bool exclusive, const char *servers, char *why, size_t len)
{
    return resolvconf_add(ifname, conf, exclusive, servers, why, len);
}
int rc_del(void *, const char *ifname, char *why, size_t len) { return resolvconf_del(ifname, why, len); }
int rc_del_left(void *, const char *ifname, char *why, size_t len) { return resolvconf_del_left(ifname, why, len); }

// systemd-resolved's two members are daemon/hostkernel_resolved's, kept out of this file so
// that tolvactl, which links this one, does not link the bus client.
constexpr hostops_t KERNEL{.ctx = nullptr,
                           .addr_set = addr_set,
                           .addr_clear = addr_clear,
                           .mtu_set = mtu_set,
                           .mtu_get = mtu_get,
                           .route = route,
                           .host_route = host_route,
                           .table_open = table_open,
                           .alias_get = alias_get,
                           .alias_set = alias_set,
                           .resolved_set = nullptr,
                           .resolved_revert = nullptr,
                           .resolvconf_add = rc_add,
                           .resolvconf_del = rc_del,
                           .resolvconf_del_left = rc_del_left,
                           .unreachable = unreachable,
                           .link_state = link_state,
                           .uplink_route = uplink_route};
}  // namespace

const hostops_t *hostkernel_ops_without_resolved() { return &KERNEL; }
