#include "core/event.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/wait.h>
#include <x86intrin.h>

#include "base/log.h"

namespace {
// The reactor: one loop per process, so one record of static storage.
struct reactor_t {
    tm_t tms[TM_SLOTS];
    poll_op_t polls[POLL_SLOTS];

    uint64_t (*sec_clock)();
    uint64_t (*usec_clock)();
    uint64_t (*mono_clock)();

    CALLBACK_FUNC alive;
    void *alive_arg;
    uint64_t alive_sec;

    // The poll set survives from one iteration to the next and is rebuilt only after poll_add,
    // poll_del or poll_init changed the table: under load the loop runs once per packet, and
    // the table changes only when the session's socket is replaced.
    struct pollfd pfds[POLL_SLOTS];
    int pidx[POLL_SLOTS];
    int pcnt;
    bool pset_stale;

    // The daemon starts no children; a stray one (left by a library, say) is still reaped, but
    // the system call is made at most once a second instead of once per packet. UINT64_MAX:
    // never yet.
    uint64_t reapsec;
    pid_t keep_child;

    // The monotonic second at which poll() returned, for the callbacks of that wake-up: one
    // read of the clock per iteration instead of one per datagram.
    uint64_t woke_sec;
    bool serving;
};

constinit reactor_t s_loop = [] {
    reactor_t r{};
    r.alive_sec = UINT64_MAX;
    r.pset_stale = true;
    r.reapsec = UINT64_MAX;
    r.keep_child = -1;
    return r;
}();

void pollset_rebuild()
{
    s_loop.pcnt = 0;
    for (int i = 0; i < POLL_SLOTS; i++) {
        if (s_loop.polls[i].fds < 0)
            continue;
        s_loop.pfds[s_loop.pcnt] = pollfd{s_loop.polls[i].fds, POLLIN, 0};
        s_loop.pidx[s_loop.pcnt] = i;
        s_loop.pcnt++;
    }
    s_loop.pset_stale = false;
}
}  // namespace

uint64_t os_cursec()
{
    if (s_loop.sec_clock != nullptr)
        return s_loop.sec_clock();
    return static_cast<uint64_t>(time(nullptr));
}

uint64_t rdtsc() { return __rdtsc(); }

uint64_t os_curusec()
{
    if (s_loop.usec_clock != nullptr)
        return s_loop.usec_clock();
    return rdtsc() / 1000;
}

uint64_t os_monousec()
{
    if (s_loop.mono_clock != nullptr)
        return s_loop.mono_clock();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

// The session's ages read this on every datagram: whole seconds straight from the clock, without
// the microseconds' arithmetic.
uint64_t os_monosec()
{
    if (s_loop.mono_clock != nullptr)
        return s_loop.mono_clock() / 1000000;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec);
}

void os_set_clock(uint64_t (*sec)(), uint64_t (*usec)(), uint64_t (*mono)())
{
    s_loop.sec_clock = sec;
    s_loop.usec_clock = usec;
    s_loop.mono_clock = mono;
}

void tm_init()
{
    for (tm_t &t : s_loop.tms)
        t = tm_t{};
    log_help("System initial timer success\n");
}

int tm_add(const char *name, uint64_t sec, CALLBACK_FUNC func, void *arg)
{
    const size_t len = strnlen(name, sizeof tm_t::name);
    if (len == sizeof tm_t::name)
        return -ENAMETOOLONG;
    for (tm_t &t : s_loop.tms) {
        if (t.name[0] != 0)
            continue;
        t = tm_t{{}, sec, os_monosec(), 0, arg, func};
        memcpy(t.name, name, len);
        return 0;
    }
    return -ENOSPC;
}

void tm_del(const char *name)
{
    for (tm_t &t : s_loop.tms) {
        if (t.name[0] != 0 && strcmp(t.name, name) == 0) {
            t = tm_t{};
            return;
        }
    }
}

void tm_scan()
{
    const uint64_t cursec = os_monosec();
    for (tm_t &t : s_loop.tms) {
        if (t.tmout == 0)
            continue;
        // A free slot has tmout 0; a slot whose name is empty but period set (registered with an
        // empty name) is still called, though the next registration may take it over.
        uint64_t nextsec = t.lastsec + t.tmout;
        if (nextsec > cursec)
            continue;
        t.lastsec = cursec;
        t.func(t.arg);
        t.tmcnt++;
    }
}

void poll_init()
{
    for (poll_op_t &p : s_loop.polls)
        p = poll_op_t{-1, nullptr, nullptr, nullptr};
    s_loop.pset_stale = true;
    s_loop.reapsec = UINT64_MAX;
    log_help("System initial POLL mode success\n");
}

int poll_add(int s, CALLBACK_FUNC func, void *arg)
{
    if (s == -1)
        return -1;
    for (poll_op_t &p : s_loop.polls) {
        if (p.fds != -1)
            continue;
        p = poll_op_t{s, func, arg, nullptr};
        s_loop.pset_stale = true;
        return 0;
    }
    return -1;
}

void poll_del(int s)
{
    for (poll_op_t &p : s_loop.polls) {
        if (p.fds == s) {
            p = poll_op_t{-1, nullptr, nullptr, nullptr};
            s_loop.pset_stale = true;
            return;
        }
    }
}

void poll_set_error(int s, CALLBACK_FUNC efunc)
{
    for (poll_op_t &p : s_loop.polls) {
        if (p.fds == s && s != -1) {
            p.efunc = efunc;
            return;
        }
    }
}

void poll_set_alive(CALLBACK_FUNC func, void *arg)
{
    s_loop.alive = func;
    s_loop.alive_arg = arg;
    s_loop.alive_sec = UINT64_MAX;
}

void poll_start(CALLBACK_FUNC alive, void *arg)
{
    poll_init();
    tm_init();
    poll_set_alive(alive, arg);
}

void poll_once(int timeout_ms)
{
    tm_scan();

    // A timer callback's table change (above) is polled in this same iteration; a descriptor
    // callback's change (below) from the next one.
    if (s_loop.pset_stale)
        pollset_rebuild();
    const int cnt = s_loop.pcnt;

    const bool woke = cnt > 0 && poll(s_loop.pfds, static_cast<nfds_t>(cnt), timeout_ms) > 0;
    const uint64_t now = os_monosec();
    if (woke) {
        s_loop.woke_sec = now;
        s_loop.serving = true;
        for (int k = 0; k < cnt; k++) {
            // An error, hang-up or invalid descriptor reaches the owner too: left unserved, it
            // would make every poll return at once, for ever.
            const short ev = s_loop.pfds[k].revents;
            const bool failed = (ev & (POLLERR | POLLHUP | POLLNVAL)) != 0;
            if ((ev & POLLIN) == 0 && !failed)
                continue;
            // Read the slot now: an earlier callback of this pass may have emptied it, or given it
            // to another descriptor whose readiness this poll did not report; neither is called.
            const poll_op_t &slot = s_loop.polls[s_loop.pidx[k]];
            if (slot.fds != s_loop.pfds[k].fd || slot.func == nullptr)
                continue;
            if (failed && slot.efunc != nullptr)
                slot.efunc(slot.arg);
            else
                slot.func(slot.arg);
        }
        s_loop.serving = false;
    }

    if (s_loop.alive != nullptr && now != s_loop.alive_sec) {
        s_loop.alive_sec = now;
        s_loop.alive(s_loop.alive_arg);
    }

    if (now != s_loop.reapsec) {
        s_loop.reapsec = now;
        // Looked at first, reaped only when it is no child whose status a module waits for.
        siginfo_t si;
        std::memset(&si, 0, sizeof si);
        if (waitid(P_ALL, 0, &si, WEXITED | WNOHANG | WNOWAIT) == 0 && si.si_pid > 0 && si.si_pid != s_loop.keep_child)
            waitpid(si.si_pid, nullptr, WNOHANG);
    }
}

void poll_keep_child(pid_t pid) { s_loop.keep_child = pid; }

uint64_t poll_monosec() { return s_loop.serving ? s_loop.woke_sec : os_monosec(); }

tm_t (&tm_table())[TM_SLOTS] { return s_loop.tms; }

poll_op_t (&poll_table())[POLL_SLOTS] { return s_loop.polls; }

void poll_loop()
{
    while (os_quit.load(std::memory_order_relaxed) == 0) {
        poll_once(1000);
        log_service();
    }
}
