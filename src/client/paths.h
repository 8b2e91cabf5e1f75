// The paths to the peer, one per uplink: when each is probed, what its answers and silences make
// of it (round trip, loss, state), and which one carries the session. Pure: no system call; the
// time (monotonic microseconds) is handed in, and what is to be sent or said goes out through
// paths_env. The sockets, routes and sends are client/uplinks'.
#pragma once
#include <cstdint>

#include "client/record.h"

// A probe lost is followed by one every this often until one is answered or the path is down.
inline constexpr uint64_t PATH_FAST_USEC = 50000;
// An unanswered probe is lost after max(2 srtt + 4 jitter, the floor), at most the cap; a path
// without a round trip yet, or down, waits the cap, so that a path whose delay grew comes back.
inline constexpr uint64_t PATH_WAIT_MIN_USEC = 100000;
inline constexpr uint64_t PATH_WAIT_MAX_USEC = 1000000;
inline constexpr uint8_t PATH_LOST_DOWN = 3;  // lost in a row: down
// The "best" policy leaves a working path only for one more than a tenth faster, and not twice
// within this long.
inline constexpr uint64_t PATH_HOLD_USEC = 10000000;

// What the policy asks of whoever runs it.
struct paths_env {
    const sdwan_conf_t *conf;
    void *ctx;
    // A log line, without its line end.
    void (*line)(void *ctx, const char *text);
    // A probe through path i, numbered seq: true when it went, with *key what its answer will
    // return (the sequence of a sealed probe, the tick of a legacy echo request); one refused
    // counts as lost.
    bool (*probe)(void *ctx, int i, uint32_t seq, uint64_t now, uint64_t *key);
};

// The paths of conf.uplinks, all absent, none active.
void paths_init(sdwan_paths_t *ps, const sdwan_conf_t *conf);
// Path i's interface is there with an address (ifindex), or its link came up: down until its
// first probe is answered, probed from now on. No line: nothing was known of it.
void paths_present(sdwan_paths_t *ps, int i, int ifindex, uint64_t now);
// Path i's link went down, or its address went ("link down", "no address"): down at once, said
// once, and not probed until the path is present again.
void paths_down(sdwan_paths_t *ps, const paths_env &env, int i, const char *why, uint64_t now);
// Path i's interface is gone: absent, and no longer the active one.
void paths_absent(sdwan_paths_t *ps, const paths_env &env, int i, uint64_t now);

// The session entered DATA: every present path is probed from now. Left: probes in flight are
// forgotten (the next session's keys would not answer them).
void paths_session_begin(sdwan_paths_t *ps, uint64_t now);
void paths_session_end(sdwan_paths_t *ps);

// In DATA, whenever the timer wakes: probes past their wait are lost, the probes due go out,
// then the choice (paths_choose). True when the session moved to another path.
bool paths_tick(sdwan_paths_t *ps, const paths_env &env, uint64_t now);
// The answer to path i's probe key: its round trip, its loss, its state. False for a key the
// path has not sent (or already answered).
bool paths_answer(sdwan_paths_t *ps, const paths_env &env, int i, uint64_t key, uint64_t now);
// An answer that names no probe (a peer's CLOSE to an echo request from a source where it holds no
// session): taken as the answer to path i's last probe still awaited. False when none is.
bool paths_answer_last(sdwan_paths_t *ps, const paths_env &env, int i, uint64_t now);
// The choice under conf.pathpolicy; true when paths.active changed (the line said so).
bool paths_choose(sdwan_paths_t *ps, const paths_env &env, uint64_t now);
// The earliest time paths_tick has something to do in DATA, 0 when nothing.
uint64_t paths_next_wake(const sdwan_paths_t *ps, const sdwan_conf_t *conf);

// Outside DATA the session goes out through one path: the first present in priority order
// (backups last, one whose link is down only when no other is there), or the first present with
// its link after path `after` in that order (wrapping to paths_first), -1 when none is present.
int paths_first(const sdwan_paths_t *ps, const sdwan_conf_t *conf);
int paths_after(const sdwan_paths_t *ps, const sdwan_conf_t *conf, int after);
