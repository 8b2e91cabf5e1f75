// The peer server set up in memory for the harnesses: its real configuration reader fed a
// fixed user table, its UDP socket on 127.0.0.1, /dev/null for its TUN device, and clients that
// are UDP sinks nobody reads. Before every input the session table goes back to the same two
// sessions, with fixed ids, so runs are deterministic.
#pragma once
#include <cstdint>

#include "peer/peer.h"

// Users of the table, in order: index 0 alice, 1 bob (fixed address .50), 2 carol (a password
// longer than the 16 characters that travel).
inline constexpr const char *FUZZ_PEER_USERS[][2] = {
    {"alice", "secret"}, {"bob", "hunter2"}, {"carol", "abcdefghijklmnopqrst"}};
inline constexpr int FUZZ_PEER_NUSERS = 3;

// The sessions in place before each input.
inline constexpr uint16_t FUZZ_PEER_SID[2] = {0x1111, 0x2222};
inline constexpr uint32_t FUZZ_PEER_TOKEN[2] = {0x44332211u, 0x88776655u};

// Client sources: 0 holds alice's session, 1 holds bob's, 2 holds none.
inline constexpr int FUZZ_PEER_SOURCES = 3;

// The server's configuration, read by its own reader: pool 10.8.0.0/24, MTU 1400, enciphering
// granted, two resolvers, the users above. Needs no privilege.
void fuzz_peer_config(peer_cfg_t *cfg, const char *extra = "");  // extra: more lines of the section
extern peer_t fuzz_peer;  // the server the harnesses drive
void fuzz_peer_init(const char *extra = "");  // once: namespace, quiet log, fixed clock, configuration, sockets
void fuzz_peer_reset();   // before each input
void fuzz_peer_source(int i, uint32_t *ipbe, uint16_t *port);
// After each input: the table's structure holds, every queued reply is whole (and signed when it
// is a control packet), the batch goes out, no descriptor leaked.
void fuzz_peer_check();
// Exactly one outcome counted for each datagram since the last reset.
uint64_t fuzz_peer_outcomes(const peer_stats_t &st);
