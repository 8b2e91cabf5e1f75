// The client's receive entry in a sealed session: peerkey set, the keys those of a real
// handshake made once at start-up against the peer's fixed key (fixed ephemerals, so the same
// every run), then one datagram from the peer: any bytes, or an SDATA sealed under the peer's
// keys with a kind, body and counter from the input, so the handlers behind the tag are reached.
//
// Input: one flag byte, then
//   bit 0 clear: the datagram itself
//   bit 0 set:   8 bytes of counter (little-endian), the kind byte, the body, sealed
//   bit 1        clear: in DATA under the session's keys, with a rekey's handshake in flight (a
//                genuine SRESP is the seed's); set: in AUTH, the handshake's keys awaiting AUTHACK
//
// After each input: the session is in a state the tick knows, the peer's datagram that opened is
// refused when it comes again, and ASan watches every buffer.
#include <cstring>

#include "client/session.h"
#include "client/sealed.h"
#include "fuzz_client.h"
#include "fuzz_sealkit.h"
#include "fuzz_support.h"

namespace {
constexpr uint32_t MINE = FUZZ_CS_MINE, REKEY_IDX = FUZZ_CS_REKEY, THEIRS = FUZZ_CS_THEIRS;
noise_cipher s_csend, s_crecv;      // the client's side of the session
noise_cipher s_psend;               // the peer's sending keys: what the input is sealed under
noise_handshake s_rekey;            // the client's rekey, SINIT sent, SRESP awaited

uint32_t s_drops_total(const sdwan_t *c)
{
    uint32_t n = 0;
    for (uint32_t d : c->seal.drops)
        n += d;
    return n;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_rng_install();
    fuzz_rng_seed(0xC11E);
    fuzz_client_init();
    fuzz_cs_keys(&s_csend, &s_crecv, &s_psend, &s_rekey);
    // The keys a handshake really makes: the peer's seal opens on the client's side.
    uint8_t probe[SEALED_OVERHEAD];
    noise_cipher ps = s_psend, cr = s_crecv;
    fuzz_seal_frame(&ps, MINE, 0, SEAL_KIND_CLOSE, nullptr, 0, probe);
    FUZZ_CHECK(noise_decrypt_at(&cr, 0, {probe, SEALED_HDR_LEN}, {probe + SEALED_HDR_LEN, SEALED_OVERHEAD - SEALED_HDR_LEN},
                                {probe + SEALED_HDR_LEN, SEALED_OVERHEAD - SEALED_HDR_LEN}) == 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t flags = data[0];
    const bool auth = (flags & 2) != 0;
    fuzz_bytes in(data + 1, size - 1, SDWAN_PKTBUF);
    static uint8_t dgram[SDWAN_PKTBUF], again[SDWAN_PKTBUF];
    uint32_t len = in.size();
    memcpy(dgram, in.data(), len);
    if ((flags & 1) != 0 && len >= 9) {
        const uint32_t blen = len - 9 < SDWAN_PKTBUF - SEALED_OVERHEAD ? len - 9 : SDWAN_PKTBUF - SEALED_OVERHEAD;
        noise_cipher cs = s_psend;
        const uint32_t n = fuzz_seal_frame(&cs, MINE, ld_le64(in.data()), in.data()[8], in.data() + 9, blen, dgram);
        if (n != 0)
            len = n;
    }
    memcpy(again, dgram, len);

    fuzz_client_opts o{};
    o.state = auth ? SDWANCLNT_AUTH : SDWANCLNT_DATA;
    o.encrypted = true;
    sdwan_t *c = fuzz_client_begin(o);
    key_public(FUZZ_PEER_PRIV, c->conf.peerkey);
    c->conf.peerkey_state = SDWAN_PEERKEY_SET;
    seal_reset(c);
    memset(c->seal.drops, 0, sizeof c->seal.drops);
    sdwan_sealkeys_t &k = auth ? c->seal.next : c->seal.cur;
    k.send = s_csend;
    k.recv = s_crecv;
    replay_init(&k.win);
    k.mine = MINE;
    k.theirs = THEIRS;
    k.born = static_cast<uint32_t>(FUZZ_NOW_MONO_SEC);
    k.live = true;
    if (!auth) {
        c->seal.hs = s_rekey;
        c->seal.hs_idx = REKEY_IDX;
        c->seal.hs_start = k.born;
        c->seal.rekey_at = k.born + SEAL_REKEY_SEC;
    }

    const bool sdata = len >= SEALED_OVERHEAD && dgram[0] == SDWAN_SDATA;
    sdwan_sock_recv_core(c, fuzz_client_peerip(), fuzz_client_peerport(), dgram, len);
    FUZZ_CHECK(c->count.stats.sock_rxpkts == (len != 0 ? 1u : 0u));
    // Opened: the tag verified, whatever the kind's handler then made of it.
    const bool opened = sdata && s_drops_total(c) == c->seal.drops[SEAL_DROP_KIND];
    FUZZ_CHECK(c->sess.state >= SDWANCLNT_DNS && c->sess.state <= SDWANCLNT_CLOSED);
    FUZZ_CHECK(c->seal.hs_idx == 0 || c->seal.hs_idx == REKEY_IDX);

    // What opened once is refused the second time: its counter is in the window, or its keys are
    // gone (a CLOSE or a refusal reset the session).
    if (opened) {
        const uint32_t d[3] = {c->seal.drops[SEAL_DROP_REPLAY], c->seal.drops[SEAL_DROP_OLD],
                               c->seal.drops[SEAL_DROP_INDEX]};
        const uint32_t was = s_drops_total(c);
        if (seal_on(c) && c->sess.peerip == fuzz_client_peerip()) {
            sdwan_sock_recv_core(c, fuzz_client_peerip(), fuzz_client_peerport(), again, len);
            FUZZ_CHECK(s_drops_total(c) == was + 1);
            FUZZ_CHECK(c->seal.drops[SEAL_DROP_REPLAY] + c->seal.drops[SEAL_DROP_OLD] +
                           c->seal.drops[SEAL_DROP_INDEX] == d[0] + d[1] + d[2] + 1);
        }
    }
    fuzz_client_end();
    return 0;
}
