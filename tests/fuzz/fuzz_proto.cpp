// The message decoders on any bytes, and the encoders on any record.
//
// Input: one flag byte, then the rest.
//   bits 0-1  the message: 0 OPENREJ/CLOSE, 1 OPEN, 2 OPENACK, 3 echo
//   bit 2     clear: the rest is a datagram, decoded; what a decoder takes, encoded again, decodes
//             to the same record. set: the rest fills a record, which encodes (into a buffer of
//             exactly the length it reports) and decodes back to the same record.
#include <cerrno>
#include <cstring>
#include <span>

#include "fuzz_support.h"
#include "proto/ctrl.h"
#include "proto/echo.h"
#include "proto/open.h"
#include "proto/openack.h"

namespace {

// A record type with its encoder and its decoder.
template <class M>
struct codec_t {
    uint32_t (*encode)(const M &, std::span<uint8_t>);
    int (*decode)(std::span<const uint8_t>, M *);
};

// Encodes m into a buffer just as long as it needs, decoded again to m: a read or a write past
// the encoder's length is the sanitizer's finding.
template <class M>
void round_trip(const codec_t<M> &c, const M &m)
{
    uint8_t buf[SDWAN_OPEN_MAX > SDWAN_OPENACK_MAX ? SDWAN_OPEN_MAX : SDWAN_OPENACK_MAX];
    const uint32_t n = c.encode(m, std::span<uint8_t>(buf));
    FUZZ_CHECK(n >= SDWAN_CTRL_LEN && n <= sizeof buf);
    fuzz_bytes exact(buf, n);
    M back;
    FUZZ_CHECK(c.decode(std::span<const uint8_t>(exact.data(), exact.size()), &back) == 0);
    FUZZ_CHECK(back == m);
    FUZZ_CHECK(c.encode(m, std::span<uint8_t>(buf, n - 1)) == 0);
}

// Every answer is one of the documented codes, and a datagram too short for a header and a
// signature leaves the record empty.
template <class M>
int decode_bytes(const codec_t<M> &c, fuzz_bytes &in, M *m)
{
    const int rc = c.decode(std::span<const uint8_t>(in.data(), in.size()), m);
    FUZZ_CHECK(rc == 0 || rc == -EBADMSG || rc == -EPROTO || rc == -ENODATA);
    FUZZ_CHECK(rc != -EBADMSG || in.size() >= SDWAN_CTRL_LEN || *m == M{});
    return rc;
}

constexpr codec_t<ctrl_msg_t> CTRL{ctrl_encode, ctrl_decode};
constexpr codec_t<open_msg_t> OPEN{open_encode, open_decode};
constexpr codec_t<openack_msg_t> OPENACK{openack_encode, openack_decode};
constexpr codec_t<echo_msg_t> ECHO{echo_encode, echo_decode};

// A record from raw bytes; the callers make it one a decoder could give: only the defined bits
// and the values they cover, a user name of 1 to 31 bytes and nothing behind it, no delay figures
// in a short echo.
template <class M>
M record_of(const uint8_t *p, size_t n)
{
    M m{};
    memcpy(static_cast<void *>(&m), p, n < sizeof m ? n : sizeof m);
    return m;
}

void datagram(uint8_t kind, const uint8_t *p, size_t n)
{
    fuzz_bytes in(p, n, SDWAN_PKTBUF);
    switch (kind) {
    case 0: {
        ctrl_msg_t m;
        const int rc = decode_bytes(CTRL, in, &m);
        FUZZ_CHECK((rc == 0) == (in.size() >= SDWAN_CTRL_LEN));
        if (rc == 0)
            round_trip(CTRL, m);
        break;
    }
    case 1: {
        open_msg_t m;
        const int rc = decode_bytes(OPEN, in, &m);
        if (rc == 0) {
            FUZZ_CHECK(m.userlen >= 1 && m.userlen <= SDWAN_USER_MAX);
            round_trip(OPEN, m);
        }
        break;
    }
    case 2: {
        openack_msg_t m;
        FUZZ_CHECK(decode_bytes(OPENACK, in, &m) != -ENODATA);
        // What a faulty grant leaves is a record all the same: the options before the fault.
        if (in.size() >= SDWAN_CTRL_LEN)
            round_trip(OPENACK, m);
        break;
    }
    default: {
        echo_msg_t m;
        if (decode_bytes(ECHO, in, &m) == 0) {
            FUZZ_CHECK(m.delays == (in.size() >= SDWAN_ECHO_LEN));
            round_trip(ECHO, m);
        } else {
            FUZZ_CHECK(in.size() < SDWAN_ECHORESP_MIN);
        }
        break;
    }
    }
}

void record(uint8_t kind, const uint8_t *p, size_t n)
{
    switch (kind) {
    case 0:
        round_trip(CTRL, record_of<ctrl_msg_t>(p, n));
        break;
    case 1: {
        open_msg_t m = record_of<open_msg_t>(p, n);
        m.have &= OPEN_HAVE_MTU | OPEN_HAVE_ENCRYPT | OPEN_HAVE_PIPE;
        m.mtu = (m.have & OPEN_HAVE_MTU) != 0 ? m.mtu : 0;
        m.encrypt = (m.have & OPEN_HAVE_ENCRYPT) != 0 ? m.encrypt : 0;
        m.pipe = (m.have & OPEN_HAVE_PIPE) != 0 ? m.pipe : 0;
        m.userlen = static_cast<uint8_t>(m.userlen % SDWAN_USER_MAX + 1);
        memset(m.user + m.userlen, 0, sizeof m.user - m.userlen);
        round_trip(OPEN, m);
        break;
    }
    case 2: {
        openack_msg_t m = record_of<openack_msg_t>(p, n);
        m.have &= OPENACK_HAVE_IP | OPENACK_HAVE_GATEWAY | OPENACK_HAVE_MTU | OPENACK_HAVE_DNS | OPENACK_HAVE_ENCRYPT |
                  OPENACK_HAVE_DUPPKT;
        m.ip = (m.have & OPENACK_HAVE_IP) != 0 ? m.ip : 0;
        m.gateway = (m.have & OPENACK_HAVE_GATEWAY) != 0 ? m.gateway : 0;
        m.mtu = (m.have & OPENACK_HAVE_MTU) != 0 ? m.mtu : 0;
        m.dns0 = (m.have & OPENACK_HAVE_DNS) != 0 ? m.dns0 : 0;
        m.dns1 = (m.have & OPENACK_HAVE_DNS) != 0 ? m.dns1 : 0;
        m.encrypt = (m.have & OPENACK_HAVE_ENCRYPT) != 0 ? m.encrypt : 0;
        m.duppkt = (m.have & OPENACK_HAVE_DUPPKT) != 0 ? m.duppkt : 0;
        round_trip(OPENACK, m);
        break;
    }
    default: {
        echo_msg_t m = record_of<echo_msg_t>(p, n);
        // A bool from raw bytes is not a bool: the flag is taken from one bit of the first byte.
        m.delays = n > 0 && (p[0] & 1) != 0;
        if (!m.delays)
            m.cur_delay = m.min_delay = m.max_delay = 0;
        round_trip(ECHO, m);
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t kind = data[0] & 3;
    if ((data[0] & 4) != 0)
        record(kind, data + 1, size - 1);
    else
        datagram(kind, data + 1, size - 1);
    return 0;
}
