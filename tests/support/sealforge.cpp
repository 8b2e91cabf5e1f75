#include "support/sealforge.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace sealforge {

namespace {
constexpr size_t HDR = 16;
constexpr size_t SMALLEST = HDR + 1 + NOISE_TAG;

void le(uint8_t *p, uint64_t v, int n)
{
    for (int i = 0; i < n; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t from_le(const uint8_t *p, int n)
{
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--)
        v = (v << 8) | p[i];
    return v;
}
}  // namespace

Bytes sdata(noise_cipher *tx, uint32_t receiver, uint8_t kind, const Bytes &body, uint64_t counter)
{
    Bytes b(SMALLEST + body.size());
    b[0] = 34;
    le(&b[4], receiver, 4);
    le(&b[8], counter, 8);
    b[HDR] = kind;
    std::copy(body.begin(), body.end(), b.begin() + HDR + 1);
    tx->n = counter;
    EXPECT_EQ(noise_encrypt(tx, {b.data(), HDR}, {b.data() + HDR, body.size() + 1}, {b.data() + HDR, b.size() - HDR}),
              static_cast<int>(b.size() - HDR));
    return b;
}

Opened open(noise_cipher *rx, const Bytes &d)
{
    if (d.size() < SMALLEST || d[0] != 34)
        return {};
    Bytes pt(d.size() - HDR);
    const uint64_t counter = from_le(&d[8], 8);
    const int r = noise_decrypt_at(rx, counter, {d.data(), HDR}, {d.data() + HDR, d.size() - HDR}, pt);
    if (r < 1)
        return {};
    return {pt[0], Bytes(pt.begin() + 1, pt.begin() + r), static_cast<uint32_t>(from_le(&d[4], 4)), counter};
}

Bytes forged(forge f, Bytes b)
{
    switch (f) {
    case forge::body_flipped:
        b.at(HDR + 3) ^= 0x01;
        break;
    case forge::counter_flipped:
        b.at(8) ^= 0x80;
        break;
    case forge::index_flipped:
        b.at(4) ^= 0x01;
        break;
    case forge::truncated:
        b.resize(SMALLEST - 1);
        break;
    case forge::header_only:
        b.resize(HDR);
        break;
    case forge::reserved_set:
        b.at(1) = 1;
        break;
    }
    return b;
}

}  // namespace sealforge
