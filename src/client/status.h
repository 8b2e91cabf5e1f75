// The status file and the real-clock round-trip delay.
//
// With the configuration key "status" set, the session tick replaces the file at that path
// once a second (a temporary file of a fresh name "<path>.tmpXXXXXX" in the same directory,
// created with O_EXCL, then rename), so a reader sees either the last whole file or the one
// before it, never a part. The content is the
// Prometheus text exposition format: session state, establishment time, peer, tunnel, the 21
// counters of the client record and the round-trip delay.
//
// The echo's own delay figures are in units of the time-stamp counter and travel to the peer
// unconverted; the delay published here is measured on CLOCK_MONOTONIC instead: the time at
// which each echo request goes out is kept in a small ring keyed by the request's tick, and an
// accepted response that returns one of those ticks yields a sample in microseconds.
#pragma once
#include <cstdint>
#include "client/record.h"

inline constexpr uint32_t STATUS_PATH_MAX = 264;   // path, ".tmpXXXXXX" and the terminator
inline constexpr uint32_t STATUS_BUF = 8192;       // the whole file
inline constexpr uint32_t STATUS_RTT_RING = 8;     // requests remembered: more than a session's silence limit spans

// Real-clock round-trip delay in microseconds over the daemon's run; all 0 before the first
// sample. srtt is the smoothed average, srtt += (sample - srtt) / 8 after a first srtt = sample.
struct status_rtt_t {
    uint32_t cur;
    uint32_t min;
    uint32_t max;
    uint32_t srtt;
    uint32_t samples;
};
extern status_rtt_t _status_rtt;

// The "status" key. An empty path turns the file off. -1 (and the file off) when the path and
// its ".tmpXXXXXX" twin do not fit STATUS_PATH_MAX.
int status_set_path(const char *path);
const char *status_path();  // "" when off

// Test seam: replace the monotonic microsecond clock (null restores CLOCK_MONOTONIC).
void status_set_clock(uint64_t (*mono_usec)());
uint64_t status_mono_usec();
// Back to the start-up values: no delay samples, an empty ring, no write error remembered.
void status_reset();

void status_echo_sent(uint64_t tick);      // an echo request carrying tick goes out now
void status_echo_answered(uint64_t tick);  // an accepted response returned tick; unknown ticks are ignored

// The file's content into buf; its length, or 0 when it does not fit.
uint32_t status_format(const sdwan_t *clnt, char *buf, uint32_t len);
// One line for the service manager's STATUS=, e.g. "DATA, peer 198.51.100.7:4500, address
// 10.8.0.2, rtt 1.2 ms".
void status_text(const sdwan_t *clnt, char *buf, uint32_t len);
// Writes the file once (temporary file, then rename). 0, or -1 with errno set.
int status_write(const sdwan_t *clnt);

// Once a second, after the session tick: the file (when configured) and STATUS= on change
// (when the service manager asked for it). The watchdog ping comes from the loop (shell/os).
void status_tick(const sdwan_t *clnt);
// At shutdown: the file this run wrote is removed, so nothing reports a session of a daemon that
// has ended.
void status_deinit();
