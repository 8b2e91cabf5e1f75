#include "net/ipaddr.h"

#include <arpa/inet.h>

uint32_t str2ip(const char *cp)
{
    // Each number is bounded by the field it fills; a number that grows past 32 bits is refused
    // before it can wrap, so no over-long text is ever taken for an address.
    constexpr uint64_t bounds[4] = {0xFFFFFFFFu, 0xFFFFFFu, 0xFFFFu, 0xFFu};
    uint64_t parts[3] = {0, 0, 0};
    uint64_t cur = 0;
    int done = 0;

    for (const char *p = cp; *p != 0; p++) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            cur = cur * 10 + static_cast<uint64_t>(c - '0');
            if (cur > 0xFFFFFFFFu)
                return 0;
        } else if (c == '.') {
            if (done == 3 || cur > 255)
                return 0;
            parts[done++] = cur;
            cur = 0;
        } else {
            return 0;
        }
    }

    if (cur > bounds[done])
        return 0;
    uint32_t host = 0;
    switch (done) {
    case 0:
        host = static_cast<uint32_t>(cur);
        break;
    case 1:
        host = static_cast<uint32_t>(parts[0] << 24 | cur);
        break;
    case 2:
        host = static_cast<uint32_t>(parts[0] << 24 | parts[1] << 16 | cur);
        break;
    default:
        host = static_cast<uint32_t>(parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | cur);
        break;
    }
    return htonl(host);
}

const char *ip2strv4(uint32_t ipbe, char *buf, size_t len)
{
    struct in_addr a;
    a.s_addr = ipbe;
    return inet_ntop(AF_INET, &a, buf, static_cast<socklen_t>(len));
}
