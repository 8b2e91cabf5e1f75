// What every fuzz harness shares: a private network namespace, a silent log, a fixed clock,
// a UDP sink nobody reads, and the check that ends a run when an oracle does not hold.
//
// A harness is built twice from the same source: as a libFuzzer target (clang, SDWAN_FUZZ) and
// as a replay program (any compiler) that runs it over the files of its corpus, so a normal
// test build replays every seed and every past finding.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// Exit status of a harness that cannot run here (not root, namespaces refused): the replay
// tests report it as skipped; for libFuzzer any non-zero status is a failed run, as it must be.
inline constexpr int FUZZ_SKIP = 77;

// A broken oracle is a finding like any crash: abort, so libFuzzer stores the input.
#define FUZZ_CHECK(cond)                                                                       \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// Moves the process into a network namespace of its own with its loopback up, so that nothing
// a harness does to interfaces, routes or sockets reaches this machine's own network. Exits
// with FUZZ_SKIP when that is not possible: such a harness must never run outside one.
void fuzz_enter_netns();

// Log lines go to /dev/null: the code still formats and writes every line, the terminal and
// the disk see none of it.
void fuzz_quiet_log();

// The clocks of the event core stop at fixed values, so an input behaves the same every run.
inline constexpr uint64_t FUZZ_NOW_SEC = 1700000000;
inline constexpr uint64_t FUZZ_NOW_USEC = 5000000;
inline constexpr uint64_t FUZZ_NOW_MONO_SEC = 100;  // the monotonic clock: the timers' and ages'
inline constexpr uint64_t FUZZ_NOW_MONO_USEC = FUZZ_NOW_MONO_SEC * 1000000;
void fuzz_fixed_clock();

// A UDP socket bound to 127.0.0.1 and never read: the harnesses' sends go there. Its port in
// host order through *port.
int fuzz_sink(uint16_t *port);
uint32_t fuzz_loopback();  // 127.0.0.1 in network order

// Descriptor leak check: fuzz_fd_mark() at the start of a run notes the lowest free
// descriptor; fuzz_fd_check() at its end aborts when the run left it taken. Every descriptor a
// run opens and forgets lands there first, since the kernel always hands out the lowest free
// number. Marked per run, not once: libFuzzer itself opens descriptors between runs (its
// symbolizer's pipes).
void fuzz_fd_mark();
void fuzz_fd_check();

// The input's bytes in a heap block of exactly their size (one byte for an empty input, never
// read), so that a read past the end is caught under the sanitizers. At most max bytes are
// taken: nothing longer than the receive buffer ever reaches a datagram handler.
class fuzz_bytes {
public:
    fuzz_bytes(const uint8_t *data, size_t size, size_t max = SIZE_MAX)
        : len_(static_cast<uint32_t>(size < max ? size : max)), p_(new uint8_t[len_ != 0 ? len_ : 1])
    {
        if (len_ != 0)
            std::memcpy(p_.get(), data, len_);
    }
    uint8_t *data() { return p_.get(); }
    uint32_t size() const { return len_; }

private:
    uint32_t len_;
    std::unique_ptr<uint8_t[]> p_;
};
