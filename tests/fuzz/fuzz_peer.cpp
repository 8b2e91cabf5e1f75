// The peer server's datagram handling: one datagram of any bytes and length through
// peer_on_datagram, with two sessions in place, then the batch of replies sent to clients that
// never read. Every datagram ends in exactly one counted outcome and the session table keeps
// its structure.
//
// Input: one flag byte, then the datagram.
//   bits 0-1  source: 0 alice's session, 1 bob's session, 2 no session, 3 alice's port on
//             another address
//   bit 2     sign the datagram's header, so OPEN and ECHOREQ get past verification
#include <arpa/inet.h>

#include <cstring>

#include "fuzz_peerset.h"
#include "fuzz_support.h"
#include "proto/packet.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_peer_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t flags = data[0];
    fuzz_bytes buf(data + 1, size - 1, SDWAN_PKTBUF);
    const uint32_t len = buf.size();
    if ((flags & 4) != 0 && len >= SDWAN_CTRL_LEN)
        sdwan_pktsign(buf.data());

    fuzz_fd_mark();
    fuzz_peer_reset();
    uint32_t ipbe;
    uint16_t port;
    const int src = flags & 3;
    fuzz_peer_source(src == 3 ? 0 : src, &ipbe, &port);
    if (src == 3)
        ipbe = htonl(0x7F000002);  // 127.0.0.2

    const int live_before = peer_live_count(&fuzz_peer);
    peer_on_datagram(&fuzz_peer, ipbe, port, buf.data(), len);

    FUZZ_CHECK(fuzz_peer.st.rx_dgrams == 1);
    FUZZ_CHECK(fuzz_peer_outcomes(fuzz_peer.st) == 1);
    // Only an accepted OPEN changes the table: one session more, or fewer when it replaced the
    // session of its own user and the one at its own address.
    const int live_after = peer_live_count(&fuzz_peer);
    if (fuzz_peer.st.open_ok == 0)
        FUZZ_CHECK(live_after == live_before);
    else
        FUZZ_CHECK(live_after >= live_before - 1 && live_after <= live_before + 1);
    fuzz_peer_check();
    return 0;
}
