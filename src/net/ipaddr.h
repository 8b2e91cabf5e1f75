// IPv4 address text <-> 32-bit values in network byte order.
#pragma once
#include <cstddef>
#include <cstdint>

uint32_t str2ip(const char *cp);                             // 0 when not acceptable
const char *ip2strv4(uint32_t ipbe, char *buf, size_t len);  // null when len is too small
