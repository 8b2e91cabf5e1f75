#include "daemon/resolved.h"

#include <cstdio>

#include "sdwan_build.h"

#if SDWAN_WITH_SYSTEMD
#include <errno.h>
#include <netinet/in.h>
#include <systemd/sd-bus.h>

#include <cstring>

namespace {

constexpr char DEST[] = "org.freedesktop.resolve1";
constexpr char PATH[] = "/org/freedesktop/resolve1";
constexpr char IFACE[] = "org.freedesktop.resolve1.Manager";

void say(char *why, size_t len, const char *what, int r, const sd_bus_error *e)
{
    if (len == 0)
        return;
    if (e != nullptr && sd_bus_error_is_set(e))
        snprintf(why, len, "%s: %s", what, e->message != nullptr ? e->message : e->name);
    else
        snprintf(why, len, "%s: %s", what, strerror(r < 0 ? -r : r));
}

// The system bus, if the resolver's name has an owner there. Asked first, so that a host without
// the resolver neither waits for the call nor has the bus start it.
int open_resolver(sd_bus **bus, char *why, size_t len)
{
    int r = sd_bus_open_system(bus);
    if (r < 0) {
        say(why, len, "system bus", r, nullptr);
        return HOSTDNS_ABSENT;
    }
    (void)sd_bus_set_method_call_timeout(*bus, RESOLVED_CALL_USEC);
    sd_bus_error e = {};  // SD_BUS_ERROR_NULL, without the C compound literal clang refuses in C++
    sd_bus_message *reply = nullptr;
    int owned = 0;
    r = sd_bus_call_method(*bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", &e, &reply, "s", DEST);
    if (r >= 0)
        r = sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    if (r < 0 || owned == 0) {
        say(why, len, "NameHasOwner", r < 0 ? r : ENOENT, &e);
        sd_bus_error_free(&e);
        *bus = sd_bus_flush_close_unref(*bus);
        return HOSTDNS_ABSENT;
    }
    return HOSTDNS_OK;
}

int call(sd_bus *bus, sd_bus_message *m, const char *what, char *why, size_t len)
{
    sd_bus_error e = {};  // SD_BUS_ERROR_NULL, without the C compound literal clang refuses in C++
    const int r = sd_bus_call(bus, m, RESOLVED_CALL_USEC, &e, nullptr);
    if (r < 0)
        say(why, len, what, r, &e);
    sd_bus_error_free(&e);
    return r;
}

int new_call(sd_bus *bus, sd_bus_message **m, const char *member, int ifindex)
{
    int r = sd_bus_message_new_method_call(bus, m, DEST, PATH, IFACE, member);
    if (r >= 0)
        r = sd_bus_message_append(*m, "i", static_cast<int32_t>(ifindex));
    return r;
}

// Sends a call built by new_call and what followed it (r: how the building went), and lets it go.
int finish(sd_bus *bus, sd_bus_message *m, int r, const char *member, char *why, size_t len)
{
    if (r >= 0)
        r = call(bus, m, member, why, len);
    else
        say(why, len, member, r, nullptr);
    sd_bus_message_unref(m);
    return r;
}

int set_dns(sd_bus *bus, int ifindex, const uint32_t *servers, int n, char *why, size_t len)
{
    sd_bus_message *m = nullptr;
    int r = new_call(bus, &m, "SetLinkDNS", ifindex);
    if (r >= 0)
        r = sd_bus_message_open_container(m, 'a', "(iay)");
    for (int i = 0; i < n && r >= 0; i++) {
        r = sd_bus_message_open_container(m, 'r', "iay");
        if (r >= 0)
            r = sd_bus_message_append(m, "i", static_cast<int32_t>(AF_INET));
        if (r >= 0)
            r = sd_bus_message_append_array(m, 'y', &servers[i], 4);
        if (r >= 0)
            r = sd_bus_message_close_container(m);
    }
    if (r >= 0)
        r = sd_bus_message_close_container(m);
    return finish(bus, m, r, "SetLinkDNS", why, len);
}

int set_domains(sd_bus *bus, int ifindex, const char *domains, bool routing_only, char *why, size_t len)
{
    sd_bus_message *m = nullptr;
    int r = new_call(bus, &m, "SetLinkDomains", ifindex);
    if (r >= 0)
        r = sd_bus_message_open_container(m, 'a', "(sb)");
    for (const char *p = domains; *p != '\0' && r >= 0;) {
        const char *end = std::strchr(p, ',');
        const size_t n = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
        char name[256];
        if (n == 0 || n >= sizeof name) {
            r = -EINVAL;
            break;
        }
        std::memcpy(name, p, n);
        name[n] = '\0';
        r = sd_bus_message_append(m, "(sb)", name, static_cast<int>(routing_only || std::strcmp(name, "~.") == 0));
        p += n + (end != nullptr ? 1 : 0);
    }
    if (r >= 0)
        r = sd_bus_message_close_container(m);
    return finish(bus, m, r, "SetLinkDomains", why, len);
}

int set_default_route(sd_bus *bus, int ifindex, bool on, char *why, size_t len)
{
    sd_bus_message *m = nullptr;
    int r = new_call(bus, &m, "SetLinkDefaultRoute", ifindex);
    if (r >= 0)
        r = sd_bus_message_append(m, "b", static_cast<int>(on));
    return finish(bus, m, r, "SetLinkDefaultRoute", why, len);
}

// SetLinkLLMNR, SetLinkMulticastDNS: a tunnel has no neighbours to ask by name.
int set_mode(sd_bus *bus, int ifindex, const char *member, const char *mode, char *why, size_t len)
{
    sd_bus_message *m = nullptr;
    int r = new_call(bus, &m, member, ifindex);
    if (r >= 0)
        r = sd_bus_message_append(m, "s", mode);
    return finish(bus, m, r, member, why, len);
}

}  // namespace

int resolved_set_link(int ifindex, const uint32_t *servers, int n, const char *domains, bool routing_only,
                      bool default_route, char *why, size_t len)
{
    sd_bus *bus = nullptr;
    const int rc = open_resolver(&bus, why, len);
    if (rc != HOSTDNS_OK)
        return rc;
    int r = set_dns(bus, ifindex, servers, n, why, len);
    if (r >= 0)
        r = set_domains(bus, ifindex, domains, routing_only, why, len);
    if (r >= 0)
        r = set_default_route(bus, ifindex, default_route, why, len);
    if (r >= 0)
        r = set_mode(bus, ifindex, "SetLinkLLMNR", "no", why, len);
    if (r >= 0)
        r = set_mode(bus, ifindex, "SetLinkMulticastDNS", "no", why, len);
    sd_bus_flush_close_unref(bus);
    return r >= 0 ? HOSTDNS_OK : HOSTDNS_FAILED;
}

int resolved_revert_link(int ifindex, char *why, size_t len)
{
    sd_bus *bus = nullptr;
    const int rc = open_resolver(&bus, why, len);
    if (rc != HOSTDNS_OK)
        return rc;
    sd_bus_message *m = nullptr;
    int r = new_call(bus, &m, "RevertLink", ifindex);
    r = finish(bus, m, r, "RevertLink", why, len);
    sd_bus_flush_close_unref(bus);
    return r >= 0 ? HOSTDNS_OK : HOSTDNS_FAILED;
}
#else
// Built without libsystemd: there is no bus to hand the servers to.
int resolved_set_link(int, const uint32_t *, int, const char *, bool, bool, char *why, size_t len)
{
    snprintf(why, len, "built without libsystemd");
    return HOSTDNS_ABSENT;
}

int resolved_revert_link(int, char *why, size_t len)
{
    snprintf(why, len, "built without libsystemd");
    return HOSTDNS_ABSENT;
}
#endif
