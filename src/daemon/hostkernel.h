// The host operations of the client's policy (client/hostops.h) as this host carries them out:
// each member calls its net/ adapter, or the resolver manager's (daemon/resolved,
// daemon/resolvconf), with the same arguments and hands back its answer. No policy here: which
// routes and servers a session wants, and when, is client/hostroute's and client/hostdns's.
#pragma once
#include "client/hostops.h"

// Constant tables (their ctx unused); the process sets one on the record before anything reads it.
// The daemon's: the kernel, systemd-resolved, resolvconf.
const hostops_t *hostkernel_ops();
// tolvactl's: the same without systemd-resolved, so that nothing of libsystemd is linked or
// called; a killed run's servers go through resolvconf.
const hostops_t *hostkernel_ops_without_resolved();
