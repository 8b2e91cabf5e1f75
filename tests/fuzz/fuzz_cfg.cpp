// The configuration reader on any file, under both rule sets: cfg_read over the input as a
// stream, into a zeroed record, and the peer's peer_cfg_read over the same bytes. Whatever the
// text, the client's record ends either cleared or valid, every text setting stays a terminated
// string inside its field, and every diagnostic names a line of the file; the peer's either
// refuses with one line or holds the settings it cannot start without.
#include <arpa/inet.h>
#include <cstring>

#include "fuzz_support.h"
#include "net/ipaddr.h"
#include "daemon/cfg.h"
#include "peer/peer.h"

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
    static kv_diags_t diags;
    FUZZ_CHECK(cfg_read(fp, &rec, nullptr, &diags) == 0);
    fclose(fp);
    // A file of n bytes has at most n + 1 lines.
    int errors = 0;
    FUZZ_CHECK(diags.n >= 0 && diags.n <= KV_DIAG_MAX && diags.dropped >= 0);
    for (int i = 0; i < diags.n; i++) {
        const kv_diag_t &d = diags.d[i];
        FUZZ_CHECK(d.line >= 1 && static_cast<size_t>(d.line) <= size + 1);
        FUZZ_CHECK(memchr(d.text, 0, sizeof d.text) != nullptr && d.text[0] != 0 && memchr(d.key, 0, sizeof d.key) != nullptr);
        FUZZ_CHECK(i == 0 || d.line >= diags.d[i - 1].line);
        errors += d.sev == kv_sev::error ? 1 : 0;
    }
    FUZZ_CHECK(errors <= diags.errors && diags.errors <= errors + diags.dropped);

    FUZZ_CHECK(terminated(rec.conf.tun_name) && terminated(rec.conf.peer) && terminated(rec.conf.peerdomain) &&
               terminated(rec.conf.user) && terminated(rec.conf.pass));
    if (rec.conf.tun_name[0] == 0 || rec.conf.peer[0] == 0 || rec.conf.user[0] == 0 || rec.conf.pass[0] == 0 ||
        rec.conf.peerport == 0 || rec.conf.mtu < SDWAN_MTU_MIN || rec.conf.mtu > SDWAN_MTU_MAX) {
        // Refused: nothing of it may stay behind to start a session with.
        FUZZ_CHECK(all_zero(rec.conf.tun_name) && all_zero(rec.conf.peer) && all_zero(rec.conf.peerdomain) &&
                   all_zero(rec.conf.user) && all_zero(rec.conf.pass));
        FUZZ_CHECK(rec.sess.peerip == 0 && rec.conf.peerport == 0 && rec.conf.mtu == 0 && rec.conf.encrypt == 0);
    } else {
        // Accepted: the peer is an address or a name, never both, never neither.
        FUZZ_CHECK(rec.sess.peerip == str2ip(rec.conf.peer));
        if (rec.sess.peerip == 0)
            FUZZ_CHECK(strcmp(rec.conf.peerdomain, rec.conf.peer) == 0);
        else
            FUZZ_CHECK(rec.conf.peerdomain[0] == 0);
    }
    FUZZ_CHECK(rec.conf.encrypt <= 1 && rec.conf.datalog <= 1 && rec.conf.waitroute <= 1);
    // A resolver the loader refused never stays behind, nor one on this host or of no server.
    const uint32_t first = ntohl(rec.conf.resolver) >> 24;
    FUZZ_CHECK(!rec.conf.resolver_bad && (rec.conf.resolver == 0 || (first != 0 && first != 127 && first < 224)));

    // The uplinks as the paths take them: a refused list leaves none, a kept one holds named,
    // distinct interfaces with a priority, nothing past its end; the path keys within bounds.
    FUZZ_CHECK(!rec.conf.uplinks_bad && rec.conf.nuplinks <= SDWAN_PATHS_MAX);
    for (uint32_t i = 0; i < SDWAN_PATHS_MAX; i++) {
        const sdwan_uplink_t &u = rec.conf.uplinks[i];
        FUZZ_CHECK(terminated(u.ifname) && strnlen(u.ifname, sizeof u.ifname) == strlen(u.ifname));
        if (i >= rec.conf.nuplinks) {
            FUZZ_CHECK(all_zero(u.ifname) && u.source == 0 && u.prio == 0 && !u.backup);
            continue;
        }
        FUZZ_CHECK(u.ifname[0] != 0 && u.prio >= 1 && strpbrk(u.ifname, "@:,/ \t") == nullptr);
        for (size_t k = strlen(u.ifname); k < sizeof u.ifname; k++)
            FUZZ_CHECK(u.ifname[k] == 0);
        for (uint32_t j = 0; j < i; j++)
            FUZZ_CHECK(strcmp(rec.conf.uplinks[j].ifname, u.ifname) != 0);
    }
    FUZZ_CHECK(rec.conf.probems >= 50 && rec.conf.probems <= 10000 && rec.conf.pathloss >= 1 &&
               rec.conf.pathloss <= 100);
    FUZZ_CHECK(rec.conf.pathpolicy == path_policy::best || rec.conf.pathpolicy == path_policy::backup);

    static peer_cfg_t pcfg;
    char err[PEER_ERRLEN];
    fuzz_bytes again(data, size);
    fp = fmemopen(again.data(), again.size(), "r");
    FUZZ_CHECK(fp != nullptr);
    const int rc = peer_cfg_read(fp, &pcfg, err, sizeof err);
    fclose(fp);
    if (rc != 0) {
        FUZZ_CHECK(rc == -1 && err[0] != 0 && pcfg.users == nullptr && pcfg.nusers == 0);
    } else {
        FUZZ_CHECK(err[0] == 0 && pcfg.tun_name[0] != 0 && pcfg.port != 0 && pcfg.pool != 0 && pcfg.nusers > 0);
        FUZZ_CHECK(pcfg.mtu >= PEER_MTU_MIN && pcfg.mtu <= PEER_MTU_MAX && pcfg.encrypt <= 1 && pcfg.offload <= 1);
    }
    peer_cfg_free(&pcfg);
    fuzz_fd_check();
    return 0;
}
