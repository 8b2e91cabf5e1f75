// Rate-limited log of what the network makes the server say. Anyone can send an OPEN; a line per
// datagram would let a flood of them fill the disk and, each line synced, stall the loop that
// also carries the real clients. Each source address gets a few lines per interval and all of
// them together a few more; the rest is counted, and the interval ends with one line of counts.
#include <cstdio>
#include <cstring>

#include "net/ipaddr.h"
#include "peer/peer.h"
#include "base/log.h"

namespace {

constexpr const char *EV_NAMES[PEER_EV_COUNT] = {
    "unknown user",       "wrong password",  "user has a live session", "source held by another user",
    "session table full", "no free address", "no random session id",    "OPEN repeated",
    "legacy sessions refused",
};

// The source's slot in the interval's table; nullptr when the table is full.
uint8_t *src_slot(peer_rlog_t *r, uint32_t ipbe)
{
    uint32_t h = (ipbe * 2654435761u) >> 22;  // 10 bits: PEER_RLOG_SLOTS
    static_assert(PEER_RLOG_SLOTS == 1024);
    for (int probe = 0; probe < 16; probe++) {
        uint32_t i = (h + static_cast<uint32_t>(probe)) & (PEER_RLOG_SLOTS - 1);
        if (r->ip[i] == ipbe)
            return &r->n[i];
        if (r->ip[i] == 0) {
            r->ip[i] = ipbe;
            r->n[i] = 0;
            return &r->n[i];
        }
    }
    return nullptr;
}

}  // namespace

const char *peer_ev_name(peer_ev_t ev) { return ev < PEER_EV_COUNT ? EV_NAMES[ev] : "?"; }

bool peer_rlog_allow(peer_t *p, uint32_t ipbe, peer_ev_t ev)
{
    peer_rlog_t *r = &p->rlog;
    if (!r->active) {
        r->active = 1;
        r->start = p->now;
    }
    uint8_t *n = src_slot(r, ipbe);
    const uint8_t before = n != nullptr ? *n : 255;
    if (n != nullptr && *n < 255)
        (*n)++;
    if (before < PEER_RLOG_PER_SRC && r->lines < PEER_RLOG_LINES) {
        r->lines++;
        return true;
    }
    // The first event of a source held back counts the source once; an untracked source (the
    // table full) counts every time, so the figure errs high rather than hiding sources.
    if (n == nullptr || before == PEER_RLOG_PER_SRC || (before < PEER_RLOG_PER_SRC && r->lines >= PEER_RLOG_LINES))
        r->srcs++;
    if (n != nullptr && before < PEER_RLOG_PER_SRC)
        *n = PEER_RLOG_PER_SRC + 1;  // held back once: counted as a source, never again this interval
    r->supp[ev]++;
    p->st.log_suppressed++;
    return false;
}

void peer_rlog_tick(peer_t *p)
{
    peer_rlog_t *r = &p->rlog;
    if (!r->active || p->now - r->start < PEER_RLOG_SEC)
        return;
    uint64_t total = 0;
    for (uint64_t v : r->supp)
        total += v;
    if (total != 0) {
        char what[256];
        size_t o = 0;
        for (int e = 0; e < PEER_EV_COUNT; e++) {
            if (r->supp[e] == 0 || o >= sizeof what)
                continue;
            int w = snprintf(what + o, sizeof what - o, "%s%s %llu", o == 0 ? "" : ", ", EV_NAMES[e],
                             static_cast<unsigned long long>(r->supp[e]));
            o += w > 0 ? static_cast<size_t>(w) : 0;
        }
        log_help("peer: %llu events from %u sources not logged in the last %u s: %s\n",
                 static_cast<unsigned long long>(total), r->srcs, p->now - r->start, what);
    }
    memset(r, 0, sizeof *r);
}

void peer_note_reject(peer_t *p, uint32_t ipbe, uint16_t port, const char *name, peer_ev_t why)
{
    static constexpr uint64_t peer_stats_t::*BY_REASON[PEER_EV_COUNT] = {
        &peer_stats_t::rej_unknown, &peer_stats_t::rej_password, &peer_stats_t::rej_held,
        &peer_stats_t::rej_srcheld, &peer_stats_t::rej_full,     &peer_stats_t::rej_noaddr,
        nullptr,                    nullptr,                     &peer_stats_t::rej_legacy};
    if (BY_REASON[why] != nullptr)
        p->st.*BY_REASON[why] += 1;
    if (!peer_rlog_allow(p, ipbe, why))
        return;
    char a[16];
    log_help("rejected user %s from %s:%u: %s\n", name, ip2strv4(ipbe, a, sizeof a), unsigned{port},
             peer_ev_name(why));
}

const char *peer_safe_name(const uint8_t *n, uint32_t len, char out[SDWAN_USER_MAX + 1])
{
    uint32_t i = 0;
    for (; i < len && i < SDWAN_USER_MAX; i++)
        out[i] = (n[i] > ' ' && n[i] < 0x7f) ? static_cast<char>(n[i]) : '?';
    out[i] = '\0';
    return out;
}
