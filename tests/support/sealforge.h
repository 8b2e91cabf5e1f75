// SDATA as either end of a sealed session sends it, written from the wire's definition (16-byte
// header: type 34, three reserved bytes, the receiver's index and the counter, little-endian;
// then kind and body sealed under the header as AD), and the hostile variants of one that both
// ends' tests throw at the daemons.
#pragma once
#include <cstdint>
#include <vector>

#include "seal/noise.h"

namespace sealforge {

using Bytes = std::vector<uint8_t>;

// The datagram sealed with tx at counter (tx's nonce is left at counter + 1).
Bytes sdata(noise_cipher *tx, uint32_t receiver, uint8_t kind, const Bytes &body, uint64_t counter);

struct Opened {
    uint8_t kind = 0;  // 0: not an SDATA that rx opens
    Bytes body;
    uint32_t receiver = 0;
    uint64_t counter = 0;
};
Opened open(noise_cipher *rx, const Bytes &d);

// What a stranger or the path does to a genuine SDATA.
enum class forge {
    body_flipped,     // a bit of the sealed kind and body: the tag fails
    counter_flipped,  // a bit of the counter, which the tag covers as AD
    index_flipped,    // a bit of the receiver's index: an index the end does not hold
    truncated,        // one byte short of the smallest SDATA
    header_only,      // the 16 header bytes and nothing sealed
    reserved_set,     // a reserved header byte not zero
};
Bytes forged(forge f, Bytes good);

}  // namespace sealforge
