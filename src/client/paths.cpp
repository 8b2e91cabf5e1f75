#include "client/paths.h"

#include <cstdio>

namespace {

uint32_t clamp32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

// "20.3": microseconds as milliseconds to a tenth, rounded.
struct ms_text {
    char s[16];
    explicit ms_text(uint32_t us)
    {
        const uint32_t t = static_cast<uint32_t>((uint64_t{us} + 50) / 100);
        snprintf(s, sizeof s, "%u.%u", t / 10, t % 10);
    }
};

const char *name_of(const paths_env &env, int i) { return env.conf->uplinks[i].ifname; }

// The state, and its line when it changed.
void set_state(sdwan_path_t &p, const paths_env &env, path_state st, uint64_t now, const char *line)
{
    if (p.state == st)
        return;
    p.state = st;
    p.since = now;
    env.line(env.ctx, line);
}

void forget_inflight(sdwan_path_t &p)
{
    for (sdwan_probesent_t &f : p.fl)
        f.st = PROBE_FREE;
}

uint64_t wait_of(const sdwan_path_t &p)
{
    if (p.samples == 0 || p.state == path_state::down)
        return PATH_WAIT_MAX_USEC;
    const uint64_t w = 2 * uint64_t{p.rtt.srtt} + 4 * uint64_t{p.rtt.jitter};
    return w < PATH_WAIT_MIN_USEC ? PATH_WAIT_MIN_USEC : w > PATH_WAIT_MAX_USEC ? PATH_WAIT_MAX_USEC : w;
}

void window_push(sdwan_path_t &p, bool lost)
{
    p.lossmap = (p.lossmap << 1) | (lost ? 1u : 0u);
    if (p.nwin < SDWAN_PATH_WINDOW)
        p.nwin++;
    const uint32_t mask = p.nwin >= 32 ? 0xffffffffu : (1u << p.nwin) - 1;
    p.loss = static_cast<uint8_t>(static_cast<uint32_t>(__builtin_popcount(p.lossmap & mask)) * 100 / p.nwin);
}

void rtt_sample(sdwan_pathrtt_t &r, uint32_t samples, uint32_t us)
{
    if (samples == 0) {
        r = {us, us, us, us, 0};
        return;
    }
    const int64_t d = static_cast<int64_t>(us) - static_cast<int64_t>(r.cur);
    const int64_t ad = d < 0 ? -d : d;
    r.jitter = static_cast<uint32_t>(static_cast<int64_t>(r.jitter) + (ad - static_cast<int64_t>(r.jitter)) / 16);
    r.srtt = static_cast<uint32_t>(static_cast<int64_t>(r.srtt) + (static_cast<int64_t>(us) - r.srtt) / 8);
    r.cur = us;
    if (us < r.min)
        r.min = us;
    if (us > r.max)
        r.max = us;
}

// Up or degraded by the loss over the window; a path answering again leaves down this way too.
void judge_answered(sdwan_path_t &p, const paths_env &env, int i, uint64_t now)
{
    char line[128];
    if (p.loss > env.conf->pathloss) {
        snprintf(line, sizeof line, "path %s degraded: %u%% of probes lost", name_of(env, i), unsigned{p.loss});
        set_state(p, env, path_state::degraded, now, line);
    } else {
        snprintf(line, sizeof line, "path %s up: round trip %s ms", name_of(env, i), ms_text(p.rtt.cur).s);
        set_state(p, env, path_state::up, now, line);
    }
}

void probe_lost(sdwan_path_t &p, const paths_env &env, int i, uint64_t now)
{
    p.probes_lost++;
    p.judged = true;
    if (p.lostrun < 255)
        p.lostrun++;
    window_push(p, true);
    char line[128];
    if (p.state != path_state::down && p.lostrun >= PATH_LOST_DOWN) {
        snprintf(line, sizeof line, "path %s down: %u probes lost", name_of(env, i), unsigned{PATH_LOST_DOWN});
        set_state(p, env, path_state::down, now, line);
        return;
    }
    if (p.state == path_state::up && p.loss > env.conf->pathloss) {
        snprintf(line, sizeof line, "path %s degraded: %u%% of probes lost", name_of(env, i), unsigned{p.loss});
        set_state(p, env, path_state::degraded, now, line);
    }
    // A path that still answers is asked again soon: three losses then take well under a second.
    if (p.state != path_state::down && (p.next_probe == 0 || p.next_probe > now + PATH_FAST_USEC))
        p.next_probe = now + PATH_FAST_USEC;
}

// Probes past their wait, oldest first.
void expire(sdwan_path_t &p, const paths_env &env, int i, uint64_t now)
{
    for (uint32_t k = 1; k <= SDWAN_PATH_INFLIGHT; k++) {
        sdwan_probesent_t &f = p.fl[(p.seq + k) % SDWAN_PATH_INFLIGHT];
        if (f.st == PROBE_AWAITED && now - f.sent >= wait_of(p)) {
            f.st = PROBE_LATE;
            probe_lost(p, env, i, now);
        }
    }
}

void send_due(sdwan_path_t &p, const paths_env &env, int i, uint64_t now)
{
    // A link the kernel says is down carries nothing: it is probed again once it is back.
    if (p.next_probe == 0 || now < p.next_probe || p.noticed)
        return;
    const uint32_t seq = p.seq + 1;
    sdwan_probesent_t &f = p.fl[seq % SDWAN_PATH_INFLIGHT];
    if (f.st == PROBE_AWAITED) {  // as many probes later, it is overdue whatever the wait
        f.st = PROBE_FREE;
        probe_lost(p, env, i, now);
    }
    uint64_t key = 0;
    if (env.probe(env.ctx, i, seq, now, &key)) {
        p.seq = seq;
        f = {key, now, PROBE_AWAITED};
        p.probes_sent++;
    } else {
        probe_lost(p, env, i, now);  // the path cannot send: as good as unanswered
    }
    const bool fast = p.lostrun > 0 && p.state != path_state::down;
    p.next_probe = now + (fast ? PATH_FAST_USEC : uint64_t{env.conf->probems} * 1000);
}

// Lower first: up before degraded, a backup after the others of its kind; -1 for a path that
// cannot carry the session (absent, down, or not yet judged).
int tier(const sdwan_paths_t *ps, const sdwan_conf_t *conf, int i)
{
    const sdwan_path_t &p = ps->p[i];
    if (!p.judged || (p.state != path_state::up && p.state != path_state::degraded))
        return -1;
    return (p.state == path_state::degraded ? 2 : 0) + (conf->uplinks[i].backup ? 1 : 0);
}

// a before b in the policy's order, both of one tier.
bool before(const sdwan_paths_t *ps, const sdwan_conf_t *conf, int a, int b)
{
    if (conf->pathpolicy == path_policy::best && ps->p[a].rtt.srtt != ps->p[b].rtt.srtt)
        return ps->p[a].rtt.srtt < ps->p[b].rtt.srtt;
    if (conf->uplinks[a].prio != conf->uplinks[b].prio)
        return conf->uplinks[a].prio < conf->uplinks[b].prio;
    return a < b;
}

int candidate(const sdwan_paths_t *ps, const sdwan_conf_t *conf)
{
    int c = -1;
    for (int i = 0; i < ps->n; i++) {
        const int t = tier(ps, conf, i);
        if (t < 0)
            continue;
        const int tc = c < 0 ? 99 : tier(ps, conf, c);
        if (t < tc || (t == tc && before(ps, conf, i, c)))
            c = i;
    }
    return c;
}

// The order a session tries its paths in before any is measured: by priority, backups last.
bool start_before(const sdwan_conf_t *conf, int a, int b)
{
    const sdwan_uplink_t &x = conf->uplinks[a], &y = conf->uplinks[b];
    if (x.backup != y.backup)
        return !x.backup;
    return x.prio != y.prio ? x.prio < y.prio : a < b;
}
}  // namespace

void paths_init(sdwan_paths_t *ps, const sdwan_conf_t *conf)
{
    for (uint8_t i = 0; i < SDWAN_PATHS_MAX; i++) {
        ps->p[i] = sdwan_path_t{};
        ps->p[i].id = i;
        ps->p[i].fd = -1;
    }
    ps->n = conf->nuplinks <= SDWAN_PATHS_MAX ? conf->nuplinks : SDWAN_PATHS_MAX;
    ps->active = -1;
    ps->moved = 0;
    ps->moves = 0;
    ps->probing = false;
    ps->rxpath = -1;
    ps->reopen = false;
}

void paths_present(sdwan_paths_t *ps, int i, int ifindex, uint64_t now)
{
    sdwan_path_t &p = ps->p[i];
    p.ifindex = ifindex;
    if (p.state == path_state::up || p.state == path_state::degraded)
        return;
    p.noticed = false;
    if (p.state == path_state::absent)
        p.since = now;
    p.state = path_state::down;
    p.judged = false;
    p.lostrun = 0;
    forget_inflight(p);
    p.next_probe = ps->probing ? now : 0;
}

void paths_down(sdwan_paths_t *ps, const paths_env &env, int i, const char *why, uint64_t now)
{
    sdwan_path_t &p = ps->p[i];
    if (p.state == path_state::absent)
        return;
    p.judged = true;
    // The kernel's word is said once, also of a path already down by its probes or not yet judged.
    const bool said = p.state == path_state::down && p.noticed;
    p.noticed = true;
    if (said)
        return;
    char line[128];
    snprintf(line, sizeof line, "path %s down: %s", name_of(env, i), why);
    if (p.state != path_state::down)
        p.since = now;
    p.state = path_state::down;
    env.line(env.ctx, line);
}

void paths_absent(sdwan_paths_t *ps, const paths_env &env, int i, uint64_t now)
{
    sdwan_path_t &p = ps->p[i];
    p.ifindex = 0;
    p.judged = false;
    p.noticed = false;
    p.lostrun = 0;
    p.next_probe = 0;
    forget_inflight(p);
    char line[128];
    snprintf(line, sizeof line, "path %s absent: interface gone", name_of(env, i));
    set_state(p, env, path_state::absent, now, line);
}

void paths_session_begin(sdwan_paths_t *ps, uint64_t now)
{
    ps->probing = true;
    for (int i = 0; i < ps->n; i++)
        ps->p[i].next_probe = ps->p[i].state == path_state::absent ? 0 : now;
}

void paths_session_end(sdwan_paths_t *ps)
{
    ps->probing = false;
    for (int i = 0; i < ps->n; i++) {
        ps->p[i].next_probe = 0;
        ps->p[i].lostrun = 0;
        forget_inflight(ps->p[i]);
    }
}

bool paths_tick(sdwan_paths_t *ps, const paths_env &env, uint64_t now)
{
    if (!ps->probing)
        return false;
    for (int i = 0; i < ps->n; i++) {
        if (ps->p[i].state == path_state::absent)
            continue;
        expire(ps->p[i], env, i, now);
        send_due(ps->p[i], env, i, now);
    }
    return paths_choose(ps, env, now);
}

bool paths_answer(sdwan_paths_t *ps, const paths_env &env, int i, uint64_t key, uint64_t now)
{
    if (i < 0 || i >= ps->n)
        return false;
    sdwan_path_t &p = ps->p[i];
    sdwan_probesent_t *f = nullptr;
    for (sdwan_probesent_t &x : p.fl) {
        if (x.st != PROBE_FREE && x.key == key)
            f = &x;
    }
    if (f == nullptr || p.state == path_state::absent)
        return false;
    const bool late = f->st == PROBE_LATE;
    f->st = PROBE_FREE;
    rtt_sample(p.rtt, p.samples, clamp32(now - f->sent));
    p.samples++;
    // Counted lost already: the delay is taken (a path whose delay grew learns it), the verdict
    // stands.
    if (late)
        return true;
    p.lostrun = 0;
    p.judged = true;
    window_push(p, false);
    judge_answered(p, env, i, now);
    return true;
}

bool paths_answer_last(sdwan_paths_t *ps, const paths_env &env, int i, uint64_t now)
{
    if (i < 0 || i >= ps->n)
        return false;
    const sdwan_probesent_t *last = nullptr;
    for (const sdwan_probesent_t &x : ps->p[i].fl) {
        if (x.st == PROBE_AWAITED && (last == nullptr || x.sent > last->sent))
            last = &x;
    }
    return last != nullptr && paths_answer(ps, env, i, last->key, now);
}

bool paths_choose(sdwan_paths_t *ps, const paths_env &env, uint64_t now)
{
    const sdwan_conf_t *conf = env.conf;
    const int act = ps->active;
    const int c = candidate(ps, conf);
    const bool forced = act < 0 || ps->p[act].state == path_state::absent ||
                        (ps->p[act].state == path_state::down && ps->p[act].judged);
    if (c < 0) {
        if (act >= 0 && ps->p[act].state == path_state::absent) {
            ps->active = -1;
            return true;
        }
        return false;
    }
    if (c == act)
        return false;
    if (!forced) {
        // The path in use is held until its first verdict, and a working one for a while after a
        // move, so that two paths of about one delay do not trade the session back and forth.
        if (!ps->p[act].judged || (ps->moved != 0 && now - ps->moved < PATH_HOLD_USEC))
            return false;
        if (tier(ps, conf, c) == tier(ps, conf, act) && conf->pathpolicy == path_policy::best &&
            uint64_t{ps->p[c].rtt.srtt} * 10 >= uint64_t{ps->p[act].rtt.srtt} * 9)
            return false;
    }
    char line[160];
    snprintf(line, sizeof line, "path %s chosen: round trip %s ms, was %s", name_of(env, c),
             ms_text(ps->p[c].rtt.srtt).s, act >= 0 ? name_of(env, act) : "none");
    env.line(env.ctx, line);
    ps->active = static_cast<int8_t>(c);
    ps->moved = now;
    if (act >= 0)
        ps->moves++;
    return true;
}

uint64_t paths_next_wake(const sdwan_paths_t *ps, const sdwan_conf_t *)
{
    if (!ps->probing)
        return 0;
    uint64_t w = 0;
    auto take = [&w](uint64_t t) { w = w == 0 || t < w ? t : w; };
    for (int i = 0; i < ps->n; i++) {
        const sdwan_path_t &p = ps->p[i];
        if (p.state == path_state::absent)
            continue;
        if (p.next_probe != 0 && !p.noticed)
            take(p.next_probe);
        for (const sdwan_probesent_t &f : p.fl) {
            if (f.st == PROBE_AWAITED)
                take(f.sent + wait_of(p));
        }
    }
    return w;
}

int paths_first(const sdwan_paths_t *ps, const sdwan_conf_t *conf)
{
    // A path whose link the kernel says is down only when no other is there.
    int f = -1;
    for (int i = 0; i < ps->n; i++) {
        const sdwan_path_t &p = ps->p[i];
        if (p.state == path_state::absent)
            continue;
        if (f < 0 || (ps->p[f].noticed && !p.noticed) || (ps->p[f].noticed == p.noticed && start_before(conf, i, f)))
            f = i;
    }
    return f;
}

int paths_after(const sdwan_paths_t *ps, const sdwan_conf_t *conf, int after)
{
    if (after < 0 || after >= ps->n)
        return paths_first(ps, conf);
    // The next present one in the start order, else round to the first.
    int nx = -1;
    for (int i = 0; i < ps->n; i++) {
        if (i == after || ps->p[i].state == path_state::absent || ps->p[i].noticed || !start_before(conf, after, i))
            continue;
        if (nx < 0 || start_before(conf, i, nx))
            nx = i;
    }
    if (nx >= 0)
        return nx;
    const int f = paths_first(ps, conf);
    return f >= 0 ? f : (ps->p[after].state != path_state::absent ? after : -1);
}
