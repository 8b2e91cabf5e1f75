// The route table reader on any text, as if it were /proc/net/route, and the interface-alias
// reader on the same bytes (an alias is free text anyone with CAP_NET_ADMIN may set). A row
// reported has a terminated name of at most 31 characters taken from the text; a lookup's answer
// is a row that matches the address; an alias read gives at most the routes asked for, each with
// an address and an interface name.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "client/tunlife.h"
#include "fuzz_support.h"
#include "net/route.h"

namespace {

struct seen {
    const uint8_t *data;
    size_t size;
    int rows;
};

bool check_row(const route_row_t *row, void *ctx)
{
    seen *s = static_cast<seen *>(ctx);
    const size_t n = strnlen(row->name, sizeof row->name);
    FUZZ_CHECK(n < sizeof row->name);
    FUZZ_CHECK(n == 0 || memmem(s->data, s->size, row->name, n) != nullptr);
    s->rows++;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_fd_mark();
    int fd = memfd_create("route", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, data, size) == static_cast<ssize_t>(size));

    seen s{data, size, 0};
    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    const int rc = route_table_scan(fd, check_row, &s);
    FUZZ_CHECK(rc == ROUTE_SCAN_OK || rc == ROUTE_SCAN_NOHEAD || rc == ROUTE_SCAN_BADLINE);
    FUZZ_CHECK(rc != ROUTE_SCAN_NOHEAD || s.rows == 0);

    const uint32_t dst = 0x0764330au;  // 10.51.100.7
    route_row_t best;
    memset(&best, 0x5A, sizeof best);
    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    const int found = route_lookup(fd, dst, nullptr, nullptr, &best);
    if (found == 1)
        FUZZ_CHECK((dst & best.mask) == best.dst && best.name[0] != '\0');
    else
        FUZZ_CHECK(found == 0 || found == ROUTE_SCAN_NOHEAD || found == ROUTE_SCAN_BADLINE);
    close(fd);

    sdwan_hostrt_t rt[2];
    bool kept = false, ks = false;
    const int n = hostrt_alias_parse(reinterpret_cast<const char *>(data), size, rt, 2, &kept, &ks);
    FUZZ_CHECK(n >= -1 && n <= 2);
    for (int i = 0; i < n; i++) {
        FUZZ_CHECK(rt[i].dst != 0);
        const size_t len = strnlen(rt[i].dev, sizeof rt[i].dev);
        FUZZ_CHECK(len > 0 && len < sizeof rt[i].dev);
    }
    // What was read is written back the same, its marks included: a killed run's alias names
    // exactly what the clean-up removes.
    if (n >= 0) {
        char again[HOSTRT_ALIAS_MAX];
        const size_t alen = hostrt_alias_format(rt, n, again, sizeof again, kept, ks);
        sdwan_hostrt_t rt2[2];
        bool kept2 = !kept, ks2 = !ks;
        FUZZ_CHECK(hostrt_alias_parse(again, alen, rt2, 2, &kept2, &ks2) == n && kept2 == kept && ks2 == ks);
        for (int i = 0; i < n; i++)
            FUZZ_CHECK(rt2[i].dst == rt[i].dst && rt2[i].gw == rt[i].gw && strcmp(rt2[i].dev, rt[i].dev) == 0);
    }
    fuzz_fd_check();
    return 0;
}
