// Readiness, status and watchdog messages to the service manager (sd_notify). Everything here
// does nothing unless the process was started with a notification socket (NOTIFY_SOCKET), so
// a daemon run by hand behaves as if this module did not exist; nor does it in a build without
// libsystemd (SDWAN_SYSTEMD).
#pragma once
#include <cstdint>

// Reads the environment once: whether a notification socket is given, and whether the unit
// asks for watchdog pings (WatchdogSec=, for this very process). Call before the core thread
// starts; calling it again re-reads the environment.
void notify_init();
bool notify_active();           // a notification socket is configured
uint64_t notify_watchdog_usec();  // the watchdog period the unit asked for, 0 when none

void notify_ready();            // "READY=1"
// "STATUS=<text>", sent only when text differs from the last status sent (or after
// notify_init), so a caller may offer the same text every second at no cost. Text longer than
// NOTIFY_STATUS_MAX - 1 characters is cut.
void notify_status(const char *text);
void notify_watchdog(void * = nullptr);  // "WATCHDOG=1" when the unit asked for pings; a loop callback
void notify_stopping();         // "STOPPING=1" and "STATUS=Stopping"

inline constexpr int NOTIFY_STATUS_MAX = 256;
