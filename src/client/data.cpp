#include "client/data.h"

#include "bytes.h"
#include "client/dns.h"
#include "net/sock.h"
#include "net/tun.h"
#include "proto/packet.h"
#include "shell/log.h"

namespace {
// The packet is read behind exactly the header's room, so the header is written in front of it
// and the payload enciphered where it lies: the datagram leaves from offset 0 without a copy.
constexpr uint32_t DATA_ROOM = SDWAN_PKTBUF - SDWAN_HDR_LEN;
static_assert(DATA_ROOM == 2040);
// A session's MTU never exceeds the configured one, so every packet fits the room.
static_assert(SDWAN_MTU_MAX <= DATA_ROOM);

constexpr uint8_t IP_PROTO_UDP = 17;
}  // namespace

bool sdwan_own_dest(const sdwan_t *clnt, const uint8_t *pkt, int len)
{
    // A first fragment of IPv4/UDP with its whole UDP port pair inside the packet.
    if (len < 20 || (pkt[0] >> 4) != 4)
        return false;
    const int ihl = (pkt[0] & 0x0F) * 4;
    if (ihl < 20 || len < ihl + 4 || pkt[9] != IP_PROTO_UDP || (ld_be16(pkt + 6) & 0x1FFF) != 0)
        return false;
    const uint32_t dst = ld_raw32(pkt + 16);
    const uint16_t dport = ld_be16(pkt + ihl + 2);
    if (dst == clnt->si_peerip && dport == clnt->si_peerport)
        return true;
    return clnt->si_state == SDWANCLNT_DNS && dst == sdwan_resolver_ip() && dport == SDWAN_DNS_PORT;
}

void sdwclnt_tun_recv(void *arg)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(arg);
    uint8_t buf[SDWAN_PKTBUF];

    int len = tun_recv(clnt->tunfd, buf + SDWAN_HDR_LEN, static_cast<int>(DATA_ROOM));
    if (len <= 0)
        return;
    clnt->si_stats.tun_rxpkts++;
    // The daemon's own datagram, routed into its own tunnel (the host route that kept it outside
    // is gone): wrapped and sent, it would come back again at once, for ever.
    if (sdwan_own_dest(clnt, buf + SDWAN_HDR_LEN, len)) {
        clnt->si_stats.panic_pktdest++;
        return;
    }
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
    clnt->si_txbytes += static_cast<uint32_t>(len);
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
    clnt->si_rxbytes += static_cast<uint32_t>(dlen);
    if (clnt->si_datalog != 0)
        log_help("Successfully processed and forwarded data, packet length: %d\n", dlen);
}
