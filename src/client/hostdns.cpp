#include "client/hostdns.h"

#include <net/if.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "net/ipaddr.h"
#include "base/log.h"

namespace {

// "a.b.c.d" or "a.b.c.d e.f.g.h": the addresses the peer handed out, zeros left out.
int servers_of(const sdwan_t *clnt, uint32_t *out, char *text, size_t len)
{
    int n = 0;
    text[0] = '\0';
    for (uint32_t a : {clnt->sess.dns0, clnt->sess.dns1}) {
        if (a == 0)
            continue;
        char t[16];
        const size_t at = std::strlen(text);
        snprintf(text + at, len - at, "%s%s", n > 0 ? " " : "", ip2strv4(a, t, sizeof t));
        out[n++] = a;
    }
    return n;
}

// resolv.conf lines: one nameserver line per server, one search line of the domains.
void resolvconf_text(const sdwan_t *clnt, const uint32_t *servers, int n, char *out, size_t len)
{
    size_t at = 0;
    out[0] = '\0';
    for (int i = 0; i < n; i++) {
        char t[16];
        at += static_cast<size_t>(snprintf(out + at, len - at, "nameserver %s\n", ip2strv4(servers[i], t, sizeof t)));
    }
    if (clnt->conf.dnsdomains[0] == '\0')
        return;
    at += static_cast<size_t>(snprintf(out + at, len - at, "search "));
    for (const char *p = clnt->conf.dnsdomains; *p != '\0' && at + 2 < len; p++)
        out[at++] = *p == ',' ? ' ' : *p;
    out[at++] = '\n';
    out[at] = '\0';
}

// resolvconf, when systemd-resolved is not on the bus. HOSTDNS_ABSENT when it is not installed;
// otherwise the run's outcome is logged when it ends.
int apply_resolvconf(sdwan_t *clnt, const uint32_t *servers, int n, const char *text)
{
    const hostops_t *ops = clnt->ops;
    if (ops->resolvconf_add == nullptr)
        return HOSTDNS_ABSENT;
    char conf[2 * sizeof "nameserver 255.255.255.255\n" + sizeof "search \n" + sizeof clnt->conf.dnsdomains];
    resolvconf_text(clnt, servers, n, conf, sizeof conf);
    char why[160] = "";
    const int rc = ops->resolvconf_add(ops->ctx, clnt->conf.tun_name, conf, clnt->conf.rtmode != SDWAN_RTMODE_SPLIT, text, why,
                                       sizeof why);
    if (rc == HOSTDNS_ABSENT)
        return rc;
    if (rc != HOSTDNS_OK)
        log_help("Failed to set DNS servers %s on %s through resolvconf: %s\n", text, clnt->conf.tun_name, why);
    // A refused call may still have written the record: it is deleted at the session's end.
    clnt->host.dnsvia = SDWAN_DNSVIA_RESOLVCONF;
    return rc;
}

}  // namespace

void sdwclnt_dns_apply(sdwan_t *clnt)
{
    // Also over servers a session closed by the peer left in place: the next one may hand out
    // others, and SetLinkDNS replaces the link's list (as resolvconf -a replaces its record).
    if (clnt->conf.setdns == 0)
        return;
    uint32_t servers[2];
    char text[40];
    const int n = servers_of(clnt, servers, text, sizeof text);
    if (n == 0) {
        log_help("No DNS servers from the peer to set on %s\n", clnt->conf.tun_name);
        return;
    }
    const int ifindex = static_cast<int>(if_nametoindex(clnt->conf.tun_name));
    const bool split = clnt->conf.rtmode == SDWAN_RTMODE_SPLIT;
    // Full tunnel: every lookup goes to the tunnel's servers, the configured domains are searched.
    // Split: only the configured domains are looked up there.
    char domains[sizeof clnt->conf.dnsdomains + 4];
    snprintf(domains, sizeof domains, "%s%s%s", split ? "" : "~.", !split && clnt->conf.dnsdomains[0] != '\0' ? "," : "",
             clnt->conf.dnsdomains);
    char why[160] = "";
    const hostops_t *ops = clnt->ops;
    const int rc = ops->resolved_set != nullptr
                       ? ops->resolved_set(ops->ctx, ifindex, servers, n, domains, split, !split, why, sizeof why)
                       : HOSTDNS_ABSENT;
    if (rc == HOSTDNS_OK) {
        clnt->host.dnsvia = SDWAN_DNSVIA_RESOLVED;
        clnt->host.dnsifidx = ifindex;
        log_help("DNS servers %s set on %s through systemd-resolved\n", text, clnt->conf.tun_name);
    } else if (rc == HOSTDNS_ABSENT) {
        // What an earlier session set through the manager went with it.
        if (clnt->host.dnsvia == SDWAN_DNSVIA_RESOLVED)
            clnt->host.dnsvia = SDWAN_DNSVIA_NONE;
        if (apply_resolvconf(clnt, servers, n, text) == HOSTDNS_ABSENT)
            log_help("DNS servers %s not applied: neither systemd-resolved nor resolvconf is available\n", text);
    } else {
        log_help("Failed to set DNS servers %s on %s through systemd-resolved: %s\n", text, clnt->conf.tun_name, why);
        // Part of the settings may have been made: dropped again at the session's end.
        clnt->host.dnsvia = SDWAN_DNSVIA_RESOLVED;
        clnt->host.dnsifidx = ifindex;
    }
}

void sdwclnt_dns_withdraw(sdwan_t *clnt)
{
    char why[160] = "";
    const hostops_t *ops = clnt->ops;
    if (clnt->host.dnsvia == SDWAN_DNSVIA_RESOLVCONF) {
        // The run logs its outcome when it ends.
        clnt->host.dnsvia = SDWAN_DNSVIA_NONE;
        if (ops->resolvconf_del != nullptr &&
            ops->resolvconf_del(ops->ctx, clnt->conf.tun_name, why, sizeof why) != HOSTDNS_OK)
            log_help("Failed to withdraw DNS servers from %s through resolvconf: %s\n", clnt->conf.tun_name, why);
        return;
    }
    if (clnt->host.dnsvia != SDWAN_DNSVIA_RESOLVED)
        return;
    // An interface already gone took its settings with it; the call then finds nothing to revert.
    if (ops->resolved_revert != nullptr)
        (void)ops->resolved_revert(ops->ctx, clnt->host.dnsifidx, why, sizeof why);
    clnt->host.dnsvia = SDWAN_DNSVIA_NONE;
    clnt->host.dnsifidx = 0;
    log_help("DNS servers withdrawn from %s\n", clnt->conf.tun_name);
}

void sdwclnt_dns_leftover(const sdwan_t *clnt, const char *tun_name)
{
    if (clnt->conf.setdns == 0)
        return;
    char why[160] = "";
    const hostops_t *ops = clnt->ops;
    const int ifindex = static_cast<int>(if_nametoindex(tun_name));
    const int rc =
        ops->resolved_revert != nullptr ? ops->resolved_revert(ops->ctx, ifindex, why, sizeof why) : HOSTDNS_ABSENT;
    if (rc == HOSTDNS_OK) {
        log_help("DNS servers withdrawn from %s\n", tun_name);
        return;
    }
    // A refusal is not told: the interface goes next, and the manager drops its settings with it.
    if (rc == HOSTDNS_FAILED)
        return;
    // The run logs its outcome when it ends.
    if (ops->resolvconf_del_left != nullptr)
        (void)ops->resolvconf_del_left(ops->ctx, tun_name, why, sizeof why);
}
