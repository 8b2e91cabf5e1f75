#include "client/data.h"

#include "client/packet.h"
#include "net/sock.h"
#include "net/tun.h"
#include "shell/log.h"

namespace {
// The packet is read behind exactly the header's room, so the header is written in front of it
// and the payload enciphered where it lies: the datagram leaves from offset 0 without a copy.
constexpr uint32_t DATA_ROOM = SDWAN_PKTBUF - SDWAN_HDR_LEN;
static_assert(DATA_ROOM == 2040);
// A session's MTU never exceeds the configured one, so every packet fits the room.
static_assert(SDWAN_MTU_MAX <= DATA_ROOM);
}  // namespace

void sdwclnt_tun_recv(void *arg)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(arg);
    uint8_t buf[SDWAN_PKTBUF];

    int len = tun_recv(clnt->tunfd, buf + SDWAN_HDR_LEN, static_cast<int>(DATA_ROOM));
    if (len <= 0)
        return;
    clnt->si_stats.tun_rxpkts++;
    // Outside a session the packet is still read, so the device never backs up; it has nowhere
    // to go.
    if (clnt->si_state != SDWANCLNT_DATA)
        return;

    sdwan_pkthdr_t hdr{SDWAN_DATA, 0, clnt->si_sid, clnt->si_token};
    if (clnt->si_peerencypt != 0) {
        // The peer's own value goes back in the flag byte, not a normalised 1.
        hdr.type = SDWAN_EDATA;
        hdr.encrypt = clnt->si_peerencypt;
        sdwan_encrypt(&clnt->si_key, buf + SDWAN_HDR_LEN, len);
    }
    sdwan_hdr_store(buf, &hdr);

    uint32_t pkt_len = static_cast<uint32_t>(len) + SDWAN_HDR_LEN;
    if (sock_sendto(clnt->si_udpsock, clnt->si_peerip, clnt->si_peerport, buf, pkt_len) != pkt_len) {
        log_help("Failed to send packet to peer\n");
        return;
    }
    clnt->si_stats.sock_txpkts++;
}

void sdwan_onDATA(sdwan_t *clnt, uint8_t *buf, uint32_t blen, const sdwan_pkthdr_t *pkt)
{
    // Signed on purpose: a datagram shorter than the header reports a negative payload length.
    // blen is bounded by the 2048-byte receive buffer, so it always fits.
    int dlen = static_cast<int>(blen) - static_cast<int>(SDWAN_HDR_LEN);
    if (dlen <= 0) {
        log_help("Invalid data length received: %d\n", dlen);
        return;
    }

    // The type alone decides: the peer's flag byte is not trusted to say whether the payload
    // is enciphered.
    if (pkt->type == SDWAN_EDATA)
        sdwan_encrypt(&clnt->si_key, buf + SDWAN_HDR_LEN, dlen);

    if (tun_send(clnt->tunfd, buf + SDWAN_HDR_LEN, dlen) < 0) {
        log_help("Failed to send data to tunnel\n");
        return;
    }
    clnt->si_stats.tun_txpkts++;
    if (clnt->si_datalog != 0)
        log_help("Successfully processed and forwarded data, packet length: %d\n", dlen);
}
