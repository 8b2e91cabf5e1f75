// The status file and the real-clock round-trip delay.
//
// With the configuration key "status" set, the session tick replaces the file at that path
// once a second (a temporary file of a fresh name "<path>.tmpXXXXXX" in the same directory,
// created with O_EXCL, then rename), so a reader sees either the last whole file or the one
// before it, never a part. The content is the Prometheus text exposition format in its
// conventions (base units, one series per state, counters named *_total, every series labelled
// with the interface): session state, establishment time, peer, tunnel, the split routes (with
// the "routes" key) and whether each is in place, the counters of the client record that
// something counts, the bytes carried each way, the round-trip time in seconds and the time of
// writing.
//
// The round-trip delay shown is the echo's real-clock measure (client/echo.h).
#pragma once
#include <cstdint>
#include "client/record.h"

// The "status" key. An empty path turns the file off. -1 (and the file off) when the path and
// its ".tmpXXXXXX" twin do not fit STATUS_PATH_MAX.
int status_set_path(sdwan_t *clnt, const char *path);
const char *status_path(const sdwan_t *clnt);  // "" when off

// Back to the start-up value: no write error remembered.
void status_reset(sdwan_t *clnt);

// The file's content into buf; its length, or 0 when it does not fit.
uint32_t status_format(const sdwan_t *clnt, char *buf, uint32_t len);
// One line for the service manager's STATUS=, e.g. "DATA, peer 198.51.100.7:4500, address
// 10.8.0.2, rtt 1.2 ms".
void status_text(const sdwan_t *clnt, char *buf, uint32_t len);
// Writes the file once (temporary file, then rename). 0, or -1 with errno set.
int status_write(sdwan_t *clnt);

// The file written once (when configured); a failure is logged once per fault, not every second.
void status_file_tick(sdwan_t *clnt);
// At shutdown: the file this run wrote is removed, so nothing reports a session of a daemon that
// has ended.
void status_deinit(sdwan_t *clnt);
