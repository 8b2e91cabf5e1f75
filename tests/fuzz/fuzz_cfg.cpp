// The configuration reader on any file: cfg_read over the input as a stream, into a zeroed
// record. Whatever the text, the record ends either cleared or valid, and every text setting
// stays a terminated string inside its field.
#include <cstring>

#include "fuzz_support.h"
#include "net/ipaddr.h"
#include "daemon/cfg.h"

namespace {
template <size_t N>
bool terminated(const char (&field)[N])
{
    return memchr(field, 0, N) != nullptr;
}

template <size_t N>
bool all_zero(const char (&field)[N])
{
    for (char c : field)
        if (c != 0)
            return false;
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
    fuzz_bytes text(data, size);
    FILE *fp = fmemopen(text.data(), text.size(), "r");
    FUZZ_CHECK(fp != nullptr);
    sdwan_t rec;
    memset(&rec, 0, sizeof rec);
    FUZZ_CHECK(cfg_read(fp, &rec) == 0);
    fclose(fp);

    FUZZ_CHECK(terminated(rec.tun_name) && terminated(rec.si_peer) && terminated(rec.si_peerdomain) &&
               terminated(rec.si_user) && terminated(rec.si_pass));
    if (rec.tun_name[0] == 0 || rec.si_peer[0] == 0 || rec.si_user[0] == 0 || rec.si_pass[0] == 0 ||
        rec.si_peerport == 0 || rec.si_cfgmtu < SDWAN_MTU_MIN || rec.si_cfgmtu > SDWAN_MTU_MAX) {
        // Refused: nothing of it may stay behind to start a session with.
        FUZZ_CHECK(all_zero(rec.tun_name) && all_zero(rec.si_peer) && all_zero(rec.si_peerdomain) &&
                   all_zero(rec.si_user) && all_zero(rec.si_pass));
        FUZZ_CHECK(rec.si_peerip == 0 && rec.si_peerport == 0 && rec.si_cfgmtu == 0 && rec.si_encrypt == 0);
    } else {
        // Accepted: the peer is an address or a name, never both, never neither.
        FUZZ_CHECK(rec.si_peerip == str2ip(rec.si_peer));
        if (rec.si_peerip == 0)
            FUZZ_CHECK(strcmp(rec.si_peerdomain, rec.si_peer) == 0);
        else
            FUZZ_CHECK(rec.si_peerdomain[0] == 0);
    }
    FUZZ_CHECK(rec.si_encrypt <= 1 && rec.si_datalog <= 1);
    fuzz_fd_check();
    return 0;
}
