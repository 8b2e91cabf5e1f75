#include "client/hostdns.h"

#include <net/if.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "net/ipaddr.h"
#include "net/resolved.h"
#include "shell/log.h"

namespace {

// "a.b.c.d" or "a.b.c.d e.f.g.h": the addresses the peer handed out, zeros left out.
int servers_of(const sdwan_t *clnt, uint32_t *out, char *text, size_t len)
{
    int n = 0;
    text[0] = '\0';
    for (uint32_t a : {clnt->si_dns0, clnt->si_dns1}) {
        if (a == 0)
            continue;
        char t[16];
        const size_t at = std::strlen(text);
        snprintf(text + at, len - at, "%s%s", n > 0 ? " " : "", ip2strv4(a, t, sizeof t));
        out[n++] = a;
    }
    return n;
}

}  // namespace

void sdwclnt_dns_apply(sdwan_t *clnt)
{
    // Also over servers a session closed by the peer left in place: the next one may hand out
    // others, and SetLinkDNS replaces the link's list.
    if (clnt->si_setdns == 0)
        return;
    uint32_t servers[2];
    char text[40];
    const int n = servers_of(clnt, servers, text, sizeof text);
    if (n == 0) {
        log_help("No DNS servers from the peer to set on %s\n", clnt->tun_name);
        return;
    }
    const int ifindex = static_cast<int>(if_nametoindex(clnt->tun_name));
    const bool split = clnt->si_rtmode == SDWAN_RTMODE_SPLIT;
    // Full tunnel: every lookup goes to the tunnel's servers, the configured domains are searched.
    // Split: only the configured domains are looked up there.
    char domains[sizeof clnt->si_dnsdomains + 4];
    snprintf(domains, sizeof domains, "%s%s%s", split ? "" : "~.", !split && clnt->si_dnsdomains[0] != '\0' ? "," : "",
             clnt->si_dnsdomains);
    char why[160] = "";
    const int rc = resolved_set_link(ifindex, servers, n, domains, split, !split, why, sizeof why);
    if (rc == RESOLVED_OK) {
        clnt->si_dnsvia = SDWAN_DNSVIA_RESOLVED;
        clnt->si_dnsifidx = ifindex;
        log_help("DNS servers %s set on %s through systemd-resolved\n", text, clnt->tun_name);
    } else if (rc == RESOLVED_ABSENT) {
        // What an earlier session set went with the manager.
        clnt->si_dnsvia = SDWAN_DNSVIA_NONE;
        log_help("DNS servers %s not applied: systemd-resolved is not running\n", text);
    } else {
        log_help("Failed to set DNS servers %s on %s through systemd-resolved: %s\n", text, clnt->tun_name, why);
        // Part of the settings may have been made: dropped again at the session's end.
        clnt->si_dnsvia = SDWAN_DNSVIA_RESOLVED;
        clnt->si_dnsifidx = ifindex;
    }
}

void sdwclnt_dns_withdraw(sdwan_t *clnt)
{
    if (clnt->si_dnsvia != SDWAN_DNSVIA_RESOLVED)
        return;
    char why[160] = "";
    // An interface already gone took its settings with it; the call then finds nothing to revert.
    (void)resolved_revert_link(clnt->si_dnsifidx, why, sizeof why);
    clnt->si_dnsvia = SDWAN_DNSVIA_NONE;
    clnt->si_dnsifidx = 0;
    log_help("DNS servers withdrawn from %s\n", clnt->tun_name);
}
