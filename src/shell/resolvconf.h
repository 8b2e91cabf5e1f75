// resolvconf(8) (openresolv's or Debian's resolvconf package), for hosts without systemd-resolved:
// "resolvconf -a <name>" with resolv.conf lines on its standard input, "resolvconf -d <name>".
// Exclusive is said through the environment (IF_EXCLUSIVE=1, openresolv's -x), which Debian's
// resolvconf, knowing no such option, ignores instead of refusing the call.
// The program is run directly (no shell, a fixed environment) from /usr/sbin or /sbin, and waited
// for at most RESOLVCONF_WAIT_MS: past that it is killed and the call counts as failed, so the
// reactor's thread never waits longer. Session set-up and tear-down only.
#pragma once
#include <cstddef>

#include "client/hostdns.h"

inline constexpr int RESOLVCONF_WAIT_MS = 1000;

// hostdns_ops_t's resolvconf_add and resolvconf_del: HOSTDNS_OK, _ABSENT (no executable
// resolvconf) or _FAILED (it could not be run, ran too long or exited with another status than 0;
// "why" holds the first line it wrote, or the status).
int resolvconf_add(const char *name, const char *conf, bool exclusive, char *why, size_t len);
int resolvconf_del(const char *name, char *why, size_t len);
