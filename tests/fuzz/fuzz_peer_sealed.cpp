// The peer server's sealed session behind its key: the server reads privatekey=, and before
// every input carol completes a real handshake (SINIT, SRESP, AUTH) from the source without a
// legacy session, with the random source reseeded, so her keys and index are the same every run.
// Then one datagram from a fixed source: any bytes, or an SDATA sealed under carol's keys, so
// the AUTH, echo, CLOSE, PROBE and IP-packet handlers behind the tag are reached, and from another
// source the move of the session (or its refusal onto alice's source).
//
// Input: one flag byte, then
//   bit 0 clear: the datagram itself
//   bit 0 set:   8 bytes of counter (little-endian), the kind byte, the body: sealed under
//                carol's sending keys to the peer's index (bit 3 set: to the index in the
//                counter's low 4 bytes instead, counter 0)
//   bits 1-2     source: 0 carol's, 1 alice's (a legacy session), 2 carol's port on 127.0.0.2
//
// Beyond the peer harness's invariants: every datagram is counted, and one the keys opened is
// refused when it comes again.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_peerset.h"
#include "fuzz_sealkit.h"
#include "fuzz_support.h"
#include "proto/packet.h"

namespace {
constexpr int CAROL = 2;
constexpr uint64_t SEED = 0x5EA1ED;
constexpr uint8_t EPHEMERAL[NOISE_KEY] = {0xc1, 0xa2};
noise_cipher s_send, s_recv;  // carol's, as the handshake left them
uint32_t s_index;             // the peer's index of carol's keys

// The key file lives only while the configuration is read.
std::string write_keyfile(char *dir)
{
    FUZZ_CHECK(mkdtemp(dir) != nullptr);
    const std::string path = std::string(dir) + "/peer.key";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    char text[KEY_TEXT + 2];
    key_format(FUZZ_PEER_PRIV, text);
    text[KEY_TEXT] = '\n';
    FUZZ_CHECK(write(fd, text, KEY_TEXT + 1) == static_cast<ssize_t>(KEY_TEXT + 1));
    close(fd);
    return path;
}

void deliver(int src, uint8_t *buf, uint32_t len)
{
    uint32_t ipbe;
    uint16_t port;
    fuzz_peer_source(src == 1 ? 0 : 2, &ipbe, &port);
    if (src >= 2)
        ipbe = htonl(0x7F000002);
    peer_on_datagram(&fuzz_peer, ipbe, port, buf, len);
}

// carol's handshake and AUTH, as her client sends them, through the server's own entry.
void handshake()
{
    peer_t *p = &fuzz_peer;
    fuzz_rng_seed(SEED);
    uint8_t pub[KEY_BYTES];
    key_public(FUZZ_PEER_PRIV, pub);
    noise_handshake hs;
    FUZZ_CHECK(noise_handshake_init(&hs, fuzz_aead(), noise_pattern::NK, true, SEALED_PROLOGUE, nullptr, pub) == 0);
    noise_handshake_set_ephemeral(&hs, EPHEMERAL);
    sinit_msg_t m{};
    m.sender = 0xCA201;
    FUZZ_CHECK(noise_handshake_write(&hs, {}, {m.noise, SEALED_HS_LEN}) == static_cast<int>(SEALED_HS_LEN));
    uint8_t b[SDWAN_PKTBUF];
    deliver(0, b, sinit_encode(m, b));
    FUZZ_CHECK(p->st.seal_hs == 1 && p->ntx == 1);
    sresp_msg_t r;
    FUZZ_CHECK(sresp_decode({p->tx[0].buf, p->tx[0].len}, &r) == 0 && r.receiver == m.sender);
    uint8_t none[1];
    FUZZ_CHECK(noise_handshake_read(&hs, {r.noise, SEALED_HS_LEN}, {none, 0}) == 0);
    FUZZ_CHECK(noise_handshake_split(&hs, &s_send, &s_recv) == 0);
    noise_handshake_clear(&hs);
    s_index = r.sender;

    auth_msg_t a{};
    a.userlen = static_cast<uint8_t>(strlen(FUZZ_PEER_USERS[CAROL][0]));
    memcpy(a.user, FUZZ_PEER_USERS[CAROL][0], a.userlen);
    a.passlen = static_cast<uint8_t>(strlen(FUZZ_PEER_USERS[CAROL][1]));
    memcpy(a.pass, FUZZ_PEER_USERS[CAROL][1], a.passlen);
    uint8_t body[SEALED_AUTH_MAX];
    const uint32_t blen = auth_encode(a, body);
    deliver(0, b, fuzz_seal_frame(&s_send, s_index, 0, static_cast<uint8_t>(sealed_kind::auth), body, blen, b));
    FUZZ_CHECK(p->st.seal_auth == 1 && p->st.open_ok == 1 && p->live == 3);
    peer_tx_flush(p);
    memset(&p->st, 0, sizeof p->st);
}

// Every datagram leaves a count. Some paths count twice (a refused AUTH in rej_* and seal_rej,
// a new session in open_ok and seal_auth), so the check is at least one.
uint64_t outcomes(const peer_stats_t &st)
{
    return fuzz_peer_outcomes(st) + st.seal_hs + st.seal_auth + st.seal_rej + st.seal_ratelimit + st.seal_pendfull +
           st.seal_malformed + st.seal_unknown + st.seal_replay + st.seal_old + st.seal_badtag + st.seal_kind +
           st.sess_closed + st.seal_probes;
}

uint64_t refusals(const peer_stats_t &st)
{
    return st.seal_malformed + st.seal_unknown + st.seal_replay + st.seal_old + st.seal_badtag;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_rng_install();
    char dir[] = "/tmp/fuzz-peer-sealed-XXXXXX";
    const std::string key = write_keyfile(dir);
    fuzz_peer_init(("privatekey=" + key + "\n").c_str());
    unlink(key.c_str());
    rmdir(dir);
    FUZZ_CHECK(fuzz_peer.cfg.sealed == 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t flags = data[0];
    const int src = (flags >> 1) & 3;
    fuzz_bytes in(data + 1, size - 1, SDWAN_PKTBUF);
    static uint8_t dgram[SDWAN_PKTBUF], again[SDWAN_PKTBUF];
    uint32_t len = in.size();
    memcpy(dgram, in.data(), len);

    fuzz_fd_mark();
    fuzz_peer_reset();
    handshake();
    peer_t *p = &fuzz_peer;

    if ((flags & 1) != 0 && len >= 9) {
        const uint64_t counter = ld_le64(in.data());
        const bool other = (flags & 8) != 0;
        const uint32_t to = other ? static_cast<uint32_t>(counter) : s_index;
        const uint32_t blen = len - 9 < SDWAN_PKTBUF - SEALED_OVERHEAD ? len - 9 : SDWAN_PKTBUF - SEALED_OVERHEAD;
        const uint32_t n = fuzz_seal_frame(&s_send, to, other ? 0 : counter, in.data()[8], in.data() + 9, blen, dgram);
        if (n != 0)
            len = n;
    }
    memcpy(again, dgram, len);
    const bool sdata = len >= SEALED_OVERHEAD && dgram[0] == SDWAN_SDATA;
    deliver(src, dgram, len);
    FUZZ_CHECK(p->st.rx_dgrams == 1);
    FUZZ_CHECK(outcomes(p->st) >= 1);
    const bool opened = sdata && refusals(p->st) == 0;
    fuzz_peer_check();

    // The window takes no counter twice: the same datagram again is refused before its handler,
    // or finds its keys gone (a CLOSE or a refused AUTH freed them).
    if (opened) {
        const peer_stats_t st = p->st;
        deliver(src, again, len);
        FUZZ_CHECK(p->st.seal_replay + p->st.seal_old + p->st.seal_unknown ==
                   st.seal_replay + st.seal_old + st.seal_unknown + 1);
        fuzz_peer_check();
    }
    return 0;
}
