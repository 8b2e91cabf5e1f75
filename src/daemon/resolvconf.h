// resolvconf(8) (openresolv's or Debian's resolvconf package), for hosts without systemd-resolved:
// "resolvconf -a <ifname>.tolvad" with resolv.conf lines on its standard input, "resolvconf -d
// <ifname>.tolvad". openresolv is a shell script that may take more than a second on a busy host,
// so the reactor never waits for it: a call records what the host should hold and starts the
// program (directly, no shell, a fixed environment, from /usr/sbin or /sbin); resolvconf_poll,
// once a second, reaps it, logs the one line of the outcome and starts the next run when what is
// wanted changed meanwhile, so the runs never overlap and the last word wins. A run is sent
// SIGTERM after RESOLVCONF_RUN_SEC (openresolv then drops its lock) and SIGKILL two seconds later.
// Exclusive (full tunnel mode) is said through the environment (IF_EXCLUSIVE=1, openresolv's -x),
// which Debian's resolvconf, knowing no such option, ignores instead of refusing the call.
#pragma once
#include <cstddef>

#include "client/hostdns.h"

inline constexpr int RESOLVCONF_RUN_SEC = 10;

// hostops_t's resolvconf_add and resolvconf_del: HOSTDNS_OK (the run is started or queued;
// its outcome is logged when it ends), _ABSENT (no executable resolvconf).
int resolvconf_add(const char *ifname, const char *conf, bool exclusive, const char *servers, char *why, size_t len);
int resolvconf_del(const char *ifname, char *why, size_t len);
// hostops_t's resolvconf_del_left: "resolvconf -d <ifname>.tolvad -f" (-f: a missing record
// is no failure; Debian's resolvconf ignores the word and exits 0 on a missing record as well).
int resolvconf_del_left(const char *ifname, char *why, size_t len);
// Once a second from the reactor: reaps a finished run, logs it, starts the next one.
void resolvconf_poll();
// At shutdown: waits for the last runs (the withdrawal among them) at most ms milliseconds.
void resolvconf_flush(int ms);
