// The TUN interface's life: created, or a dead run's taken over, or one made beforehand used and
// left in place; closed; and the clean-up after a killed run. Only what this run made is ever
// removed (sdwan_host_t::own).
//
// The interface carries an alias that marks it as a tunnel of this daemon and lists the host
// routes the run holds ("tolvad 198.51.100.7,192.0.2.1,eth0"). It survives a killed process
// with the persistent interface: the clean-up step and the next start read it to remove exactly
// what the dead run left, and the route discovery of every instance skips these tunnels.
#pragma once
#include <cstddef>
#include "client/record.h"

inline constexpr size_t HOSTRT_ALIAS_MAX = 256;  // the kernel's alias size, terminator included

// Attaches the TUN descriptor. A name held by a running process or by an interface of another
// kind fails (the attach's line) and touches nothing; so does a TUN interface that is up or has an
// IPv4 address and does not carry this daemon's alias (another program's: a line, and the
// start-up failure's note). A dead run's interface is taken over after what it left has been
// removed; one made beforehand (down, no address) is used and left in place, its MTU and queue
// length put back at the close. While in use the latter carries the alias "tolvad kept ..." (when
// it had none), so that after a kill the next start or the clean-up step knows it again. 0 or -1.
int sdwclnt_tun_open(sdwan_t *clnt);
// Releases the descriptor; the interface is removed only when it is this run's.
void sdwclnt_tun_close(sdwan_t *clnt);

// The clean-up step after an abnormal end: removes the interface tun_name and the host routes
// (and kill switch routes) its alias lists, if it is a tunnel of this daemon that no running process holds; one made
// beforehand ("kept") stays, down, without its address and the daemon's alias. 0, or -1 when it
// could not be removed. clnt: the configuration ("setdns": whether DNS servers may be left too) and
// the host operations that reach them.
int sdwclnt_cleanup(const sdwan_t *clnt, const char *tun_name);

// An interface that carries this daemon's alias, this instance's or another's, as ops reads it:
// its routes are never the host's own.
bool hostrt_is_daemon_tunnel(const hostops_t *ops, const char *ifname);
// Writes the host routes this run holds into the alias of an interface it marks (clnt->ops).
void hostrt_mark(const sdwan_t *clnt);

// The alias text for the routes in rt[0..n) (dst 0: left out), into buf; its length. kept: the
// interface was made beforehand and stays after the daemon ("tolvad kept ..."); killswitch: the
// run holds kill switch routes ("tolvad [kept ]killswitch ...", client/killswitch).
size_t hostrt_alias_format(const sdwan_hostrt_t *rt, int n, char *buf, size_t len, bool kept = false,
                           bool killswitch = false);
// Reads an alias of len bytes: -1 when it is not this daemon's mark or is malformed, else the
// number of routes stored into out (at most max), and *kept, *killswitch (when given) set as
// formatted.
int hostrt_alias_parse(const char *text, size_t len, sdwan_hostrt_t *out, int max, bool *kept = nullptr,
                       bool *killswitch = nullptr);
