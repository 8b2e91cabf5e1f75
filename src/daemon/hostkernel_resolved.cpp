// hostkernel_ops(): the kernel's table with systemd-resolved's members.
#include "daemon/hostkernel.h"
#include "daemon/resolved.h"

namespace {
int set(void *, int ifindex, const uint32_t *servers, int n, const char *domains, bool routing_only,
        bool default_route, char *why, size_t len)
{
    return resolved_set_link(ifindex, servers, n, domains, routing_only, default_route, why, len);
}
int revert(void *, int ifindex, char *why, size_t len) { return resolved_revert_link(ifindex, why, len); }

hostops_t with_resolved()
{
    hostops_t t = *hostkernel_ops_without_resolved();
    t.resolved_set = set;
    t.resolved_revert = revert;
    return t;
}
}  // namespace

const hostops_t *hostkernel_ops()
{
    static const hostops_t table = with_resolved();
    return &table;
}
