// Explicit loads and stores of wire fields. Every multi-byte field goes through one of these,
// never through a cast of a buffer pointer: buffers carry no alignment, and the byte order of a
// field is a property of the protocol, not of the host.
#pragma once
#include <cstdint>
#include <cstring>

inline uint16_t ld_be16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t ld_be32(const uint8_t *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline uint16_t ld_le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ld_le32(const uint8_t *p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint64_t ld_le64(const uint8_t *p) { return uint64_t{ld_le32(p)} | (uint64_t{ld_le32(p + 4)} << 32); }

inline void st_be16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void st_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void st_le16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void st_le32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void st_le64(uint8_t *p, uint64_t v)
{
    st_le32(p, static_cast<uint32_t>(v));
    st_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Opaque fields (the header's sid and token, addresses already in network order) are copied as
// the bytes stand, in memory order, with no conversion either way.
inline uint16_t ld_raw16(const uint8_t *p)
{
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline uint32_t ld_raw32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void st_raw16(uint8_t *p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline void st_raw32(uint8_t *p, uint32_t v) { std::memcpy(p, &v, sizeof v); }
