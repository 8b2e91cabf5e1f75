#include "client/killswitch.h"

#include <arpa/inet.h>
#include <errno.h>

#include <cstring>

#include "base/log.h"
#include "net/ipaddr.h"

namespace {

uint32_t mask_of(uint32_t masklen) { return htonl(masklen >= 32 ? 0xffffffffu : ~(0xffffffffu >> masklen)); }

// The two halves: every address, and more specific than a default route.
bool half(int i, uint32_t *net, uint32_t *mask)
{
    if (i < 0 || i > 1)
        return false;
    *net = i == 0 ? 0 : htonl(0x80000000u);
    *mask = htonl(0x80000000u);
    return true;
}
}  // namespace

bool killswitch_prefix(const sdwan_t *clnt, int i, uint32_t *net, uint32_t *mask)
{
    if (clnt->conf.rtmode != SDWAN_RTMODE_SPLIT)
        return half(i, net, mask);
    const rtcfg_entry_t *e = clnt->conf.rtcfg;
    for (int k = 0; e != nullptr && k < i; k++)
        e = e->next;
    if (e == nullptr || i < 0 || i >= static_cast<int>(SDWAN_ROUTES_MAX))
        return false;
    *net = e->net;
    *mask = mask_of(e->masklen);
    return true;
}

bool killswitch_arm(sdwan_t *clnt)
{
    if (clnt->conf.killswitch == 0)
        return false;
    const uint8_t was = clnt->host.own;
    uint32_t net, mask;
    for (int i = 0; killswitch_prefix(clnt, i, &net, &mask); i++) {
        if (clnt->host.ksset[i] != 0)
            continue;
        const int err = clnt->ops->unreachable(clnt->ops->ctx, 1, net, mask, KILLSWITCH_METRIC);
        if (err == 0) {
            clnt->host.ksset[i] = 1;
            clnt->host.own |= SDWAN_OWN_KILLSW;
        } else if (err != -EEXIST) {
            // Tried again at the next session; until then this prefix may leave by the uplink.
            clnt->count.kreq_refused[SDWAN_KREQ_ROUTE]++;
            char n[16];
            log_help("Failed to add kill switch route to %s/%d: %s\n", ip2strv4(net, n, sizeof n),
                     __builtin_popcount(mask), strerror(-err));
        }
    }
    if ((was & SDWAN_OWN_KILLSW) != 0 || (clnt->host.own & SDWAN_OWN_KILLSW) == 0)
        return false;
    log_help("Kill switch on: outside sessions, traffic for %s is refused\n", clnt->conf.tun_name);
    return true;
}

bool killswitch_disarm(sdwan_t *clnt)
{
    if ((clnt->host.own & SDWAN_OWN_KILLSW) == 0)
        return false;
    uint32_t net, mask;
    for (int i = 0; killswitch_prefix(clnt, i, &net, &mask); i++) {
        if (clnt->host.ksset[i] != 0)
            (void)clnt->ops->unreachable(clnt->ops->ctx, 0, net, mask, KILLSWITCH_METRIC);
        clnt->host.ksset[i] = 0;
    }
    clnt->host.own = static_cast<uint8_t>(clnt->host.own & ~SDWAN_OWN_KILLSW);
    log_help("Kill switch off for %s\n", clnt->conf.tun_name);
    return true;
}

void killswitch_left(const sdwan_t *clnt)
{
    uint32_t net, mask;
    for (int i = 0; half(i, &net, &mask); i++)
        (void)clnt->ops->unreachable(clnt->ops->ctx, 0, net, mask, KILLSWITCH_METRIC);
    for (int i = 0; clnt->conf.rtmode == SDWAN_RTMODE_SPLIT && killswitch_prefix(clnt, i, &net, &mask); i++)
        (void)clnt->ops->unreachable(clnt->ops->ctx, 0, net, mask, KILLSWITCH_METRIC);
}
