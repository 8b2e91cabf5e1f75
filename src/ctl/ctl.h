// tolvactl: the operator's companion of the daemon. `check` reads a configuration exactly as the
// daemon does and says what the daemon will make of it; `show` tells the state of a running
// client from its status file; `cleanup` removes what a killed run left.
#pragma once
#include <cstdio>

inline constexpr const char CTL_DEFAULT_CFG[] = "/etc/sdwan/kesp.conf";

struct sdwan_t;

// The commands that read a configuration load it into clnt, the caller's client object, which
// each first puts in its process-start shape: what a fresh daemon would make of the file.

// 0 when the daemon would start a session with the file, 1 otherwise.
int ctl_check(sdwan_t *clnt, const char *cfgpath, bool json, FILE *out);
// The status file of the client or of the server, whichever wrote it: 0 when it was read and is
// fresh, 3 when read but stale (its time more than three one-second writes old: the daemon has
// ended or stopped writing), 1 when it cannot be read (the reason on err).
int ctl_show(const char *statuspath, bool json, FILE *out, FILE *err);
// Removes what a killed run of the configuration's interface left; 0 also when there was nothing.
int ctl_cleanup(sdwan_t *clnt, const char *cfgpath);
// genkey: a new private key file (0600, never over an existing file), its public key on out.
// pubkey: the public key of a private key file. 0, or 1 with one line on err.
int ctl_genkey(const char *path, FILE *out, FILE *err);
int ctl_pubkey(const char *path, FILE *out, FILE *err);
// The whole command line; the exit status.
int ctl_main(int argc, char **argv);

// before (the punctuation and key that lead to the value), then s as a JSON string literal.
void ctl_json_str(FILE *out, const char *before, const char *s);
// ctl_show with the present time given, in Unix seconds.
int ctl_show_at(const char *statuspath, bool json, double now, FILE *out, FILE *err);
// The route table the check reads for the uplink's networks (tests; /proc/net/route otherwise).
void ctl_check_route_table(const char *path);
// The status file that a configuration names ("" when none); -1 with errno when unreadable.
int ctl_cfg_status(sdwan_t *clnt, const char *cfgpath, char *out, size_t len);
