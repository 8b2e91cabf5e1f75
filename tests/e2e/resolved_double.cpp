// A stand-in for the resolver manager's D-Bus API, for the tests: it takes the name
// org.freedesktop.resolve1 on the bus DBUS_SYSTEM_BUS_ADDRESS names (a private bus of the test)
// and writes one line per call it receives to standard output, e.g.
//   SetLinkDNS 7 10.94.0.2 10.94.0.3
//   SetLinkDomains 7 ~.:1 corp.example:0
//   SetLinkDefaultRoute 7 1
//   SetLinkLLMNR 7 no
//   SetLinkMulticastDNS 7 no
//   RevertLink 7
// With a first argument "refuse", SetLinkDNS answers with an error. It ends on SIGTERM or after
// 300 s.
#include <arpa/inet.h>
#include <errno.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

bool g_refuse = false;

int on_dns(sd_bus_message *m, void *, sd_bus_error *err)
{
    int32_t ifindex = 0;
    if (sd_bus_message_read(m, "i", &ifindex) < 0 || sd_bus_message_enter_container(m, 'a', "(iay)") < 0)
        return -EINVAL;
    printf("SetLinkDNS %d", ifindex);
    while (sd_bus_message_enter_container(m, 'r', "iay") > 0) {
        int32_t family = 0;
        const void *addr = nullptr;
        size_t len = 0;
        if (sd_bus_message_read(m, "i", &family) < 0 || sd_bus_message_read_array(m, 'y', &addr, &len) < 0)
            return -EINVAL;
        char text[INET6_ADDRSTRLEN] = "?";
        if ((family == AF_INET && len == 4) || (family == AF_INET6 && len == 16))
            inet_ntop(family, addr, text, sizeof text);
        printf(" %s", text);
        sd_bus_message_exit_container(m);
    }
    printf("\n");
    fflush(stdout);
    if (g_refuse)
        return sd_bus_error_set(err, "org.freedesktop.resolve1.LinkBusy", "refused by the test");
    return sd_bus_reply_method_return(m, "");
}

int on_domains(sd_bus_message *m, void *, sd_bus_error *)
{
    int32_t ifindex = 0;
    if (sd_bus_message_read(m, "i", &ifindex) < 0 || sd_bus_message_enter_container(m, 'a', "(sb)") < 0)
        return -EINVAL;
    printf("SetLinkDomains %d", ifindex);
    const char *name = nullptr;
    int routing = 0;
    while (sd_bus_message_read(m, "(sb)", &name, &routing) > 0)
        printf(" %s:%d", name, routing);
    printf("\n");
    fflush(stdout);
    return sd_bus_reply_method_return(m, "");
}

int on_default_route(sd_bus_message *m, void *, sd_bus_error *)
{
    int32_t ifindex = 0;
    int on = 0;
    if (sd_bus_message_read(m, "ib", &ifindex, &on) < 0)
        return -EINVAL;
    printf("SetLinkDefaultRoute %d %d\n", ifindex, on);
    fflush(stdout);
    return sd_bus_reply_method_return(m, "");
}

int on_mode(sd_bus_message *m, void *, sd_bus_error *)
{
    int32_t ifindex = 0;
    const char *mode = nullptr;
    if (sd_bus_message_read(m, "is", &ifindex, &mode) < 0)
        return -EINVAL;
    printf("%s %d %s\n", sd_bus_message_get_member(m), ifindex, mode);
    fflush(stdout);
    return sd_bus_reply_method_return(m, "");
}

int on_revert(sd_bus_message *m, void *, sd_bus_error *)
{
    int32_t ifindex = 0;
    if (sd_bus_message_read(m, "i", &ifindex) < 0)
        return -EINVAL;
    printf("RevertLink %d\n", ifindex);
    fflush(stdout);
    return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("SetLinkDNS", "ia(iay)", "", on_dns, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetLinkDomains", "ia(sb)", "", on_domains, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetLinkDefaultRoute", "ib", "", on_default_route, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetLinkLLMNR", "is", "", on_mode, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetLinkMulticastDNS", "is", "", on_mode, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RevertLink", "i", "", on_revert, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

volatile sig_atomic_t g_stop = 0;
void on_term(int) { g_stop = 1; }

}  // namespace

int main(int argc, char **argv)
{
    g_refuse = argc > 1 && std::strcmp(argv[1], "refuse") == 0;
    signal(SIGTERM, on_term);
    sd_bus *bus = nullptr;
    sd_bus_slot *slot = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/resolve1", "org.freedesktop.resolve1.Manager",
                                     VTABLE, nullptr);
    if (r >= 0)
        r = sd_bus_request_name(bus, "org.freedesktop.resolve1", 0);
    if (r < 0) {
        fprintf(stderr, "resolved_double: %s\n", strerror(-r));
        return 1;
    }
    fprintf(stderr, "ready\n");
    const time_t end = time(nullptr) + 300;
    while (g_stop == 0 && time(nullptr) < end) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0)
            break;
        if (r == 0)
            sd_bus_wait(bus, 500000);
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
    return 0;
}
