#include "base/notify.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdwan_build.h"
#if SDWAN_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#else
// Built without libsystemd: no message is ever sent, and no socket is ever active.
namespace {
int sd_notify(int, const char *) { return 0; }
int sd_watchdog_enabled(int, uint64_t *) { return 0; }
}  // namespace
#endif

namespace {
bool s_active = false;
uint64_t s_watchdog_usec = 0;
// The last status sent; only the core thread's tick (or the one owner of the loop) touches it.
char s_last_status[NOTIFY_STATUS_MAX];
}  // namespace

void notify_init()
{
    const char *sock = getenv("NOTIFY_SOCKET");
    s_active = SDWAN_WITH_SYSTEMD && sock != nullptr && sock[0] != '\0';
    s_watchdog_usec = 0;
    uint64_t usec = 0;
    // Positive only when WATCHDOG_USEC is set and WATCHDOG_PID, if set, names this process: a
    // child that inherited the environment does not ping for its parent.
    if (s_active && sd_watchdog_enabled(0, &usec) > 0)
        s_watchdog_usec = usec;
    s_last_status[0] = '\0';
}

bool notify_active() { return s_active; }

uint64_t notify_watchdog_usec() { return s_watchdog_usec; }

void notify_ready()
{
    if (s_active)
        (void)sd_notify(0, "READY=1");
}

void notify_status(const char *text)
{
    if (!s_active || strncmp(text, s_last_status, sizeof s_last_status - 1) == 0)
        return;
    snprintf(s_last_status, sizeof s_last_status, "%s", text);
    char msg[sizeof "STATUS=" + NOTIFY_STATUS_MAX];
    snprintf(msg, sizeof msg, "STATUS=%s", s_last_status);
    (void)sd_notify(0, msg);
}

void notify_watchdog(void *)
{
    if (s_active && s_watchdog_usec != 0)
        (void)sd_notify(0, "WATCHDOG=1");
}

void notify_stopping()
{
    if (!s_active)
        return;
    snprintf(s_last_status, sizeof s_last_status, "%s", "Stopping");
    (void)sd_notify(0, "STOPPING=1\nSTATUS=Stopping");
}
