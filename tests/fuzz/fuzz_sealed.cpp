// The sealed session's framing on any bytes. Input: one flag byte, then the rest.
//   bits 0-1  the message: 0 SINIT, 1 SRESP, 2 SDATA, 3 an AUTH body (bit 2 ignored)
//   bit 2     clear: the rest is a datagram, decoded; one that decodes encodes back to its own
//             header bytes. set: the rest fills a record, which encodes and decodes back to it.
#include <cerrno>
#include <cstring>
#include <span>

#include "fuzz_support.h"
#include "proto/sealed.h"

namespace {

template <class M>
struct codec_t {
    uint32_t (*encode)(const M &, std::span<uint8_t>);
    int (*decode)(std::span<const uint8_t>, M *);
    uint32_t len;  // the encoder's output; the decoder's minimum for SDATA, exact otherwise
};
constexpr codec_t<sinit_msg_t> SINIT{sinit_encode, sinit_decode, SEALED_SINIT_LEN};
constexpr codec_t<sresp_msg_t> SRESP{sresp_encode, sresp_decode, SEALED_SRESP_LEN};
constexpr codec_t<sdata_hdr_t> SDATA{sdata_encode, sdata_decode, SEALED_HDR_LEN};

// A decoder's answer follows from the length and the header alone, and a datagram it takes
// encodes again to the same leading bytes.
template <class M>
void datagram(const codec_t<M> &c, uint8_t type, bool exact, const uint8_t *p, size_t n)
{
    fuzz_bytes in(p, n, 4096);
    M m;
    const int rc = c.decode(std::span<const uint8_t>(in.data(), in.size()), &m);
    const bool len_ok = exact ? in.size() == c.len : in.size() >= SEALED_OVERHEAD;
    FUZZ_CHECK(rc == 0 || rc == -EBADMSG || rc == -EPROTO);
    FUZZ_CHECK((rc == -EBADMSG) == !len_ok);
    if (!len_ok) {
        FUZZ_CHECK(m == M{});
        return;
    }
    FUZZ_CHECK((rc == 0) == (in.data()[0] == type && (in.data()[1] == (exact ? SEALED_VERSION : 0)) &&
                             in.data()[2] == 0 && in.data()[3] == 0 &&
                             (!exact || memcmp(in.data() + 4, "\0\0\0", 4) != 0) &&
                             (type != SDWAN_SRESP || memcmp(in.data() + 8, "\0\0\0", 4) != 0)));
    if (rc != 0)
        return;
    uint8_t buf[SEALED_SRESP_LEN];
    FUZZ_CHECK(c.encode(m, std::span<uint8_t>(buf)) == c.len);
    FUZZ_CHECK(memcmp(buf, in.data(), c.len) == 0);
}

template <class M>
void record(const codec_t<M> &c, uint8_t type, const uint8_t *p, size_t n)
{
    M m{};
    memcpy(static_cast<void *>(&m), p, n < sizeof m ? n : sizeof m);
    // The fields the encoder sets itself, as a decoder gives them.
    uint8_t head[4] = {type, type == SDWAN_SDATA ? uint8_t{0} : SEALED_VERSION, 0, 0};
    memcpy(static_cast<void *>(&m), head, sizeof head);
    uint8_t buf[SEALED_SRESP_LEN];
    const uint32_t len = c.encode(m, std::span<uint8_t>(buf, c.len));
    FUZZ_CHECK(len == c.len);
    FUZZ_CHECK(c.encode(m, std::span<uint8_t>(buf, c.len - 1)) == 0);
    // An SDATA header decodes only with its sealed part behind it.
    uint8_t whole[SEALED_SRESP_LEN + SEALED_OVERHEAD] = {};
    memcpy(whole, buf, len);
    fuzz_bytes exact(whole, type == SDWAN_SDATA ? SEALED_OVERHEAD : len);
    M back;
    const int rc = c.decode(std::span<const uint8_t>(exact.data(), exact.size()), &back);
    FUZZ_CHECK(rc == 0 || rc == -EPROTO);  // -EPROTO: an index of 0
    if (rc == 0)
        FUZZ_CHECK(back == m);
}

// An AUTH body the decoder takes encodes again to a body that decodes to the same record.
void auth_body(const uint8_t *p, size_t n)
{
    fuzz_bytes in(p, n, 4096);
    auth_msg_t m;
    const int rc = auth_decode(std::span<const uint8_t>(in.data(), in.size()), &m);
    FUZZ_CHECK(rc == 0 || rc == -EBADMSG || rc == -EPROTO || rc == -ENODATA);
    if (rc != 0)
        return;
    FUZZ_CHECK(m.userlen >= 1 && m.userlen <= SDWAN_USER_MAX && m.passlen >= 1 && m.passlen <= SDWAN_PASS_MAX);
    uint8_t buf[SEALED_AUTH_MAX];
    const uint32_t len = auth_encode(m, buf);
    FUZZ_CHECK(len != 0);
    fuzz_bytes exact(buf, len);
    auth_msg_t back;
    FUZZ_CHECK(auth_decode(std::span<const uint8_t>(exact.data(), exact.size()), &back) == 0 && back == m);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const bool rec = (data[0] & 4) != 0;
    const uint8_t *p = data + 1;
    const size_t n = size - 1;
    switch (data[0] & 3) {
    case 0:
        rec ? record(SINIT, SDWAN_SINIT, p, n) : datagram(SINIT, SDWAN_SINIT, true, p, n);
        break;
    case 1:
        rec ? record(SRESP, SDWAN_SRESP, p, n) : datagram(SRESP, SDWAN_SRESP, true, p, n);
        break;
    case 2:
        rec ? record(SDATA, SDWAN_SDATA, p, n) : datagram(SDATA, SDWAN_SDATA, false, p, n);
        break;
    default:
        auth_body(p, n);
        break;
    }
    return 0;
}
