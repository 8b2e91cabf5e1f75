#include "client/rlog.h"

#include <cstdio>
#include <cstring>

#include "core/event.h"
#include "base/log.h"

namespace {

// The fixed start of each kind's line, so that a reader can match the summary to the lines.
constexpr const char *KIND_NAMES[SDWAN_RL_KINDS] = {
    "Unknown packet type",        "Invalid data length received",
    "Invalid state",              "Invalid state or packet verification failed",
    "Packet verification failed", "Packet verification failed for OPENREJ",
    "CLOSE for another session",  "SEALED packet dropped",
};

void rlog_flush(sdwan_t *clnt, uint64_t now)
{
    sdwan_rlog_t *r = &clnt->count.rlog;
    uint64_t total = 0;
    for (uint32_t v : r->held)
        total += v;
    if (total != 0) {
        char what[320];
        size_t o = 0;
        what[0] = '\0';
        for (int k = 0; k < SDWAN_RL_KINDS; k++) {
            if (r->held[k] == 0 || o >= sizeof what)
                continue;
            const int w = snprintf(what + o, sizeof what - o, "%s%s %u", o == 0 ? "" : ", ", KIND_NAMES[k], r->held[k]);
            o += w > 0 ? static_cast<size_t>(w) : 0;
        }
        log_help("%llu lines suppressed in the last %u s: %s\n", static_cast<unsigned long long>(total),
                 static_cast<unsigned>((now - r->start) / 1000000), what);
    }
    memset(r, 0, sizeof *r);
}

}  // namespace

const char *sdwclnt_rlog_name(uint8_t kind) { return kind < SDWAN_RL_KINDS ? KIND_NAMES[kind] : "?"; }

bool sdwclnt_rlog_allow(sdwan_t *clnt, uint8_t kind)
{
    if (kind >= SDWAN_RL_KINDS)
        return true;
    const uint64_t now = os_monousec();
    sdwan_rlog_t *r = &clnt->count.rlog;
    // The summary of an interval that ended comes before the first line of the next.
    if (r->active && now - r->start >= SDWAN_RLOG_USEC)
        rlog_flush(clnt, now);
    if (!r->active) {
        r->active = true;
        r->start = now;
    }
    if (r->lines[kind] < SDWAN_RLOG_LINES) {
        r->lines[kind]++;
        return true;
    }
    r->held[kind]++;
    clnt->count.log_suppressed++;
    return false;
}

void sdwclnt_rlog_tick(sdwan_t *clnt)
{
    const uint64_t now = os_monousec();
    if (clnt->count.rlog.active && now - clnt->count.rlog.start >= SDWAN_RLOG_USEC)
        rlog_flush(clnt, now);
}
