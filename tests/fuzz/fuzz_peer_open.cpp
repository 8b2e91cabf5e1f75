// The handshake end to end in memory: an OPEN built by the client's own sdwan_pktopen for a
// user name and password taken from the input goes through the peer's peer_on_datagram. The
// peer accepts it exactly when the name is one of its users and the password's first 16
// characters are that user's; an accepted OPEN's OPENACK, fed back to the authenticating
// client, establishes the session the peer recorded.
//
// Input: one flag byte, then the user name up to a zero byte, then the password up to the
// next zero byte or the end. Both are cut to 31 characters, as the configuration reader does.
//   bits 0-1  source: 0 alice's session, 1 bob's session, 2 (and 3) no session
//   bit 2     the client asks for enciphering
//   bit 3     the client selects a pipe
#include <cstring>

#include "client/auth.h"
#include "fuzz_client.h"
#include "fuzz_peerset.h"
#include "fuzz_support.h"
#include "proto/packet.h"

namespace {
// The index of the user the peer must accept, or -1.
int expected_user(const sdwan_t &c)
{
    for (int i = 0; i < FUZZ_PEER_NUSERS; i++) {
        if (strcmp(c.conf.user, FUZZ_PEER_USERS[i][0]) != 0)
            continue;
        // Only the first 16 password characters travel, zero padded.
        uint8_t want[16] = {};
        memcpy(want, FUZZ_PEER_USERS[i][1], strnlen(FUZZ_PEER_USERS[i][1], sizeof want));
        return memcmp(want, c.conf.pass, sizeof want) == 0 ? i : -1;
    }
    return -1;
}

void take_text(char (&field)[32], const uint8_t *p, size_t n)
{
    memset(field, 0, sizeof field);
    const size_t len = strnlen(reinterpret_cast<const char *>(p), n);
    memcpy(field, p, len < sizeof field - 1 ? len : sizeof field - 1);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_client_init();
    fuzz_peer_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t flags = data[0];
    fuzz_client_opts o{};
    o.state = SDWANCLNT_AUTH;
    o.datalog = true;
    sdwan_t *c = fuzz_client_begin(o);
    const uint8_t *rest = data + 1;
    const size_t n = size - 1;
    const uint8_t *sep = static_cast<const uint8_t *>(memchr(rest, 0, n));
    take_text(c->conf.user, rest, n);
    if (sep != nullptr)
        take_text(c->conf.pass, sep + 1, n - static_cast<size_t>(sep + 1 - rest));
    else
        memset(c->conf.pass, 0, sizeof c->conf.pass);
    c->conf.encrypt = (flags & 4) != 0 ? 1 : 0;
    c->conf.pipeid = (flags & 8) != 0 ? 7 : 0;
    c->conf.pipeidx = 2;

    uint8_t open[SDWAN_CTRLBUF];
    const uint32_t olen = sdwan_pktopen(c, open);
    FUZZ_CHECK(olen >= SDWAN_CTRL_LEN && olen <= SDWAN_OPEN_MAX);

    fuzz_peer_reset();
    uint32_t ipbe;
    uint16_t port;
    const int src = (flags & 3) > 2 ? 2 : flags & 3;
    fuzz_peer_source(src, &ipbe, &port);
    peer_on_datagram(&fuzz_peer, ipbe, port, open, olen);
    const peer_stats_t &st = fuzz_peer.st;
    FUZZ_CHECK(fuzz_peer_outcomes(st) == 1);

    const int user = expected_user(*c);
    if (c->conf.user[0] == 0) {
        // No name at all is a malformed OPEN, not a wrong one: dropped without an answer.
        FUZZ_CHECK(st.drop_malformed == 1 && fuzz_peer.ntx == 0);
    } else if (user < 0) {
        FUZZ_CHECK(st.open_rej == 1 && fuzz_peer.ntx == 1 && fuzz_peer.tx[0].buf[0] == SDWAN_OPENREJ);
    } else if (user < 2 && src != user) {
        // alice and bob were just heard from on their own sockets: an OPEN from another one is
        // refused, whoever sends it.
        FUZZ_CHECK(st.rej_held == 1 && fuzz_peer.ntx == 1 && fuzz_peer.tx[0].buf[0] == SDWAN_OPENREJ);
    } else if (src < 2 && src != user) {
        // carol from alice's or bob's live source: refused too, and the session there stays.
        FUZZ_CHECK(st.rej_srcheld == 1 && fuzz_peer.ntx == 1 && fuzz_peer.tx[0].buf[0] == SDWAN_OPENREJ);
        const peer_sess_t *s = peer_sess_find(&fuzz_peer, ipbe, port);
        FUZZ_CHECK(s != nullptr && s->user == static_cast<uint32_t>(src));
    } else {
        FUZZ_CHECK(st.open_ok + st.open_again == 1 && fuzz_peer.ntx == 1);
        const peer_txslot_t &ack = fuzz_peer.tx[0];
        FUZZ_CHECK(ack.buf[0] == SDWAN_OPENACK && ack.ipbe == ipbe && ack.port == port);
        const peer_sess_t *s = peer_sess_find(&fuzz_peer, ipbe, port);
        FUZZ_CHECK(s != nullptr && s->live && s->user == static_cast<uint32_t>(user));
        if (st.open_ok == 1)
            FUZZ_CHECK(s->encrypt == c->conf.encrypt);

        // The client takes the answer and holds the session the peer recorded.
        uint8_t reply[SDWAN_PKTBUF];
        memcpy(reply, ack.buf, ack.len);
        const sdwan_pkthdr_t hdr = sdwan_hdr_load(reply);
        sdwan_onOPENACK(c, reply, ack.len, &hdr);
        FUZZ_CHECK(c->sess.state == SDWANCLNT_DATA);
        FUZZ_CHECK(c->sess.sid == s->sid && c->sess.token == s->token);
        FUZZ_CHECK(c->sess.ip == s->addr && c->sess.gateway == peer_gateway(s->addr));
        FUZZ_CHECK(c->sess.peermtu == fuzz_peer.cfg.mtu && c->sess.peerencrypt == s->encrypt);
        FUZZ_CHECK(c->sess.dns0 == fuzz_peer.cfg.dns0 && c->sess.dns1 == fuzz_peer.cfg.dns1);
    }
    // The client's socket first: the peer's check looks for leaked descriptors.
    fuzz_client_end();
    fuzz_peer_check();
    return 0;
}
