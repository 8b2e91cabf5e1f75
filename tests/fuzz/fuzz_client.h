// The client record in memory, for harnesses that drive the client's receive handlers.
//
// The object is the harness's own, of static storage, filled from a fixed template before every
// input: the peer is a UDP sink on 127.0.0.1 that nobody reads, the TUN descriptor is /dev/null, the
// TUN interface and the host's uplink have names that exist nowhere, and everything runs in a
// network namespace of the harness's own, so an accepted session's interface and route
// requests fail harmlessly there.
#pragma once
#include <cstdint>

#include "client/record.h"

inline constexpr char FUZZ_TUN[] = "fzt0";
inline constexpr char FUZZ_UPLINK[] = "fzup0";
inline constexpr char FUZZ_DOMAIN[] = "peer.example";
inline constexpr uint16_t FUZZ_SID = 0x3412;
inline constexpr uint32_t FUZZ_TOKEN = 0x78563412u;

// Once, from LLVMFuzzerInitialize: namespace, quiet log, fixed clock, sink, event tables.
void fuzz_client_init();

struct fuzz_client_opts {
    uint8_t state;        // session state to start from
    bool by_name;         // peer configured as a name (resolved to the sink already)
    bool host_routes;     // host routes held for the peer and the resolver
    bool encrypted;       // the peer granted enciphering
    bool datalog;         // per-packet log line on
};

// Before each input: the template record in the given state, with a UDP socket of its own
// registered as a session reset would leave it. Marks the descriptors for the leak check.
sdwan_t *fuzz_client_begin(const fuzz_client_opts &o);
// After each input: closes whatever socket the run left in the record, empties the event
// tables, and checks that no descriptor leaked.
void fuzz_client_end();

uint32_t fuzz_client_peerip();    // the sink's address, network order
uint16_t fuzz_client_peerport();  // the sink's port, host order
