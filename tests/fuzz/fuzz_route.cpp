// The default-route reader on any text: route_read_default over the input as if it were
// /proc/net/route. A route it reports is a terminated name of at most 31 characters that is
// not the tunnel's own, and a failure leaves the caller's fields as they were.
#include <cstring>

#include "fuzz_support.h"
#include "net/route.h"

namespace {
constexpr char SKIP[] = "sdwt0";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_fd_mark();
    fuzz_bytes text(data, size);
    FILE *fp = fmemopen(text.data(), text.size(), "r");
    FUZZ_CHECK(fp != nullptr);
    char ifname[32];
    memset(ifname, 0x5A, sizeof ifname);
    uint32_t nexthop = 0xA5A5A5A5u;
    const int rc = route_read_default(fp, SKIP, ifname, &nexthop);
    fclose(fp);

    if (rc == 0) {
        const size_t n = strnlen(ifname, sizeof ifname);
        FUZZ_CHECK(n < sizeof ifname && n > 0);
        FUZZ_CHECK(strcmp(ifname, SKIP) != 0);
        // The name came from the text.
        FUZZ_CHECK(memmem(data, size, ifname, n) != nullptr);
    } else {
        FUZZ_CHECK(rc == -1);
        for (char c : ifname)
            FUZZ_CHECK(c == 0x5A);
        FUZZ_CHECK(nexthop == 0xA5A5A5A5u);
    }
    fuzz_fd_check();
    return 0;
}
