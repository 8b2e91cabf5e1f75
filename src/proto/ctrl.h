// OPENREJ and CLOSE: header and signature, nothing behind them that either end reads.
//
// Every codec of proto/ follows one shape: a plain record per message, one encoder that writes the
// header as the record holds it, signs it and lays out the body, returning the length or 0 when
// the buffer is too small; one decoder that reads header and body from a datagram, returning 0 or
// a negative errno code. Decoders do not check the signature: each end calls sdwan_pktverify where
// its policy puts it (the client tests its state before it spends a digest on a packet), and does
// not choose a decoder but by the header's type.
#pragma once
#include <cstdint>
#include <span>

#include "sdwan.h"

struct ctrl_msg_t {
    sdwan_pkthdr_t hdr;
    bool operator==(const ctrl_msg_t &) const = default;
};

uint32_t ctrl_encode(const ctrl_msg_t &m, std::span<uint8_t> out);  // SDWAN_CTRL_LEN, or 0
// -EBADMSG when shorter than header and signature; bytes past them are ignored.
int ctrl_decode(std::span<const uint8_t> in, ctrl_msg_t *out);
