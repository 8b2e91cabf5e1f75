// Process entry of the peer server: command line, configuration, TUN interface and UDP port,
// the event loop until SIGINT or SIGTERM, then a CLOSE to every client and an orderly exit.
// SIGHUP reopens the log (as for the client) and reloads the user list; SIGPIPE is ignored (a
// log on a pipe whose reader left must not let a remote OPEN end the server). A failed TUN
// interface ends the run with status 1, for the service manager to start a new one.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "core/event.h"
#include "net/ipaddr.h"
#include "net/rtnl.h"
#include "net/sock.h"
#include "net/tun.h"
#include "net/vnet.h"
#include "peer/peer.h"
#include "base/fail.h"
#include "base/log.h"
#include "base/notify.h"
#include "base/os.h"

namespace {

constexpr char PEER_TIMER[] = "peer";
constexpr char NOTIFY_TIMER[] = "notify";

// SIGHUP: the log is reopened by the event loop at once, the user list read again by the next
// one-second tick. Both only set flags here.
std::atomic<int> s_hup{0};
void on_hup(int)
{
    log_request_reopen();
    s_hup.store(1);
}

// The server's second: silence, the log interval, then what SIGHUP asked for, the status file
// and the metrics.
void peer_second(void *arg)
{
    peer_t *p = static_cast<peer_t *>(arg);
    peer_tick(p);
    if (s_hup.exchange(0) != 0)
        (void)peer_reload(p);
    peer_status_tick(p);
    if (p->cfg.metrics[0] != '\0' && p->now - p->metrics_sec >= PEER_METRICS_SEC) {
        p->metrics_sec = p->now;
        (void)peer_metrics_write(p);
    }
}

// Every /24 of the pool has its .1 on the interface: a client's gateway is always the .1 of its
// own /24. The first goes through the interface's own settings, the others are added to it.
int pool_addresses(const peer_cfg_t &c)
{
    uint8_t mask[4] = {255, 255, 255, 0};
    const int rc = tun_set_ip(c.tun_name, peer_pool_addr(c.pool, 1), ld_raw32(mask));
    if (rc != 0) {
        char a[16];
        log_help("peer: cannot set %s/24 on %s: %s\n", ip2strv4(peer_pool_addr(c.pool, 1), a, sizeof a), c.tun_name,
                 strerror(-rc));
    }
    for (uint32_t k = 1; k < c.npools; k++) {
        uint8_t b[4];
        st_be32(b, ld_be32(reinterpret_cast<const uint8_t *>(&c.pool)) + (k << 8) + 1);
        const int err = ifaddr_add(c.tun_name, ld_raw32(b), 24);
        if (err != 0) {
            char a[16];
            log_help("peer: cannot add %s/24 to %s: %s\n", ip2strv4(ld_raw32(b), a, sizeof a), c.tun_name,
                     strerror(-err));
            return -1;
        }
    }
    return 0;
}

// Once a second, only under a service manager: the number of live sessions as the unit's
// status (sent when it changes). The watchdog ping comes from the loop itself (os_init).
void peer_notify_tick(void *arg)
{
    const peer_t *p = static_cast<const peer_t *>(arg);
    char la[16];
    char text[NOTIFY_STATUS_MAX];
    const char *las = ip2strv4(p->cfg.listen, la, sizeof la);
    snprintf(text, sizeof text, "Listening on UDP %s:%u, %d sessions", las != nullptr ? las : "?",
             unsigned{p->cfg.port}, peer_live_count(p));
    notify_status(text);
}

void usage(FILE *out)
{
    fputs("SD-WAN peer server\n", out);
    fputs("Usage: sdwan-peerd -f <config file> [-l <log file>] [-h] [-v]\n", out);
    fputs("Options:\n", out);
    fputs("\t-f <config file>    configuration file (required)\n", out);
    fputs("\t-l <log file>       log file, instead of the log= key or standard output\n", out);
    fputs("\t-h                  display this\n", out);
    fputs("\t-v                  version info\n", out);
}

// Every counter of the server, in the record's order, under the name the exit line gives it.
struct peer_counter_t {
    const char *name;
    uint64_t peer_stats_t::*field;
};
constexpr peer_counter_t PEER_COUNTERS[] = {
    {"rx", &peer_stats_t::rx_dgrams},          {"tx", &peer_stats_t::tx_dgrams},
    {"txdrop", &peer_stats_t::tx_drop},        {"short", &peer_stats_t::drop_short},
    {"trunc", &peer_stats_t::drop_trunc},      {"sig", &peer_stats_t::drop_sig},
    {"malformed", &peer_stats_t::drop_malformed}, {"type", &peer_stats_t::drop_type},
    {"nosess", &peer_stats_t::drop_nosess},    {"token", &peer_stats_t::drop_token},
    {"badip", &peer_stats_t::drop_badip},      {"noroute", &peer_stats_t::drop_noroute},
    {"tunbad", &peer_stats_t::drop_tunbad},
    {"tunrx", &peer_stats_t::tun_rx},          {"tuntx", &peer_stats_t::tun_tx},
    {"tunerr", &peer_stats_t::tun_txerr},      {"openok", &peer_stats_t::open_ok},
    {"openagain", &peer_stats_t::open_again},  {"openrej", &peer_stats_t::open_rej},
    {"echo", &peer_stats_t::echo},             {"silent", &peer_stats_t::sess_silent},
    {"replaced", &peer_stats_t::sess_replaced}, {"closed", &peer_stats_t::sess_closed},
    {"rejunknown", &peer_stats_t::rej_unknown}, {"rejpassword", &peer_stats_t::rej_password},
    {"rejheld", &peer_stats_t::rej_held},      {"rejsrcheld", &peer_stats_t::rej_srcheld},
    {"rejfull", &peer_stats_t::rej_full},      {"rejnoaddr", &peer_stats_t::rej_noaddr},
    {"unlogged", &peer_stats_t::log_suppressed}, {"reloads", &peer_stats_t::reloads},
    {"reloadfail", &peer_stats_t::reload_fail}, {"rejlegacy", &peer_stats_t::rej_legacy},
    {"sealhs", &peer_stats_t::seal_hs},        {"sealauth", &peer_stats_t::seal_auth},
    {"sealrej", &peer_stats_t::seal_rej},      {"rekeys", &peer_stats_t::seal_rekeys},
    {"sealmoved", &peer_stats_t::seal_moved},
    {"sealratelimit", &peer_stats_t::seal_ratelimit}, {"sealpendfull", &peer_stats_t::seal_pendfull},
    {"sealmalformed", &peer_stats_t::seal_malformed}, {"sealunknown", &peer_stats_t::seal_unknown},
    {"sealreplay", &peer_stats_t::seal_replay}, {"sealold", &peer_stats_t::seal_old},
    {"sealbadtag", &peer_stats_t::seal_badtag}, {"sealkind", &peer_stats_t::seal_kind},
    {"sealexpired", &peer_stats_t::seal_expired}, {"sealprobes", &peer_stats_t::seal_probes},
    {"sealsrcheld", &peer_stats_t::seal_srcheld},
};
static_assert(sizeof PEER_COUNTERS / sizeof PEER_COUNTERS[0] == sizeof(peer_stats_t) / sizeof(uint64_t));

void log_stats(const peer_stats_t &st)
{
    char line[2048];
    size_t n = 0;
    for (const peer_counter_t &c : PEER_COUNTERS) {
        const int w = snprintf(line + n, sizeof line - n, " %s %llu", c.name,
                               static_cast<unsigned long long>(st.*c.field));
        if (w > 0 && static_cast<size_t>(w) < sizeof line - n)
            n += static_cast<size_t>(w);
    }
    line[n] = '\0';
    log_help("peer stats:%s\n", line);
}

int peer_start(peer_t *p)
{
    const peer_cfg_t &c = p->cfg;
    if (peer_setup(p) != 0)
        return -1;
    // offload=0 opens the interface plain, as does a kernel that refuses the header.
    uint32_t granted = 0;
    const int trc = c.offload != 0 ? tun_init_vnet(&p->tunfd, c.tun_name, TUN_OFFLOAD_CSUM | TUN_OFFLOAD_TSO4, &granted)
                                   : tun_init(&p->tunfd, c.tun_name);
    if (trc != 0) {
        log_help("peer: cannot create TUN interface %s\n", c.tun_name);
        fail_note("cannot create TUN interface %s through /dev/net/tun: %s", c.tun_name, strerror(-trc));
        return -1;
    }
    if (pool_addresses(c) != 0)
        return -1;
    const int mrc = tun_set_mtu(c.tun_name, c.mtu);
    if (mrc != 0)
        log_help("peer: cannot set MTU %u on %s: %s\n", unsigned{c.mtu}, c.tun_name, strerror(-mrc));
    p->udpfd = peer_udp_open(c.listen, c.port);
    if (p->udpfd < 0)
        return -1;
    p->vnet = granted;
    peer_udp_offload(p, c.offload != 0);
    if (c.offload != 0) {
        char text[64];
        vnet_offload_text(text, sizeof text, p->vnet, p->gso != 0, p->gro != 0);
        log_help("offloads: %s\n", text);
    } else {
        log_help("offloads: off\n");
    }
    if (poll_add(p->udpfd, peer_udp_recv, p) != 0 || poll_add(p->tunfd, peer_tun_recv, p) != 0 ||
        tm_add(PEER_TIMER, 1, peer_second, p) != 0) {
        log_help("peer: cannot register with the event core\n");
        return -1;
    }
    char gw[16];
    char la[16];
    log_help("peer listening on UDP %s:%u, interface %s %s/24 mtu %u, %d users, encrypt %s\n",
             ip2strv4(c.listen, la, sizeof la), unsigned{c.port}, c.tun_name, ip2strv4(peer_pool_addr(c.pool, 1), gw, sizeof gw), unsigned{c.mtu}, c.nusers,
             c.encrypt != 0 ? "granted on request" : "never granted");
    if (c.npools > 1 || c.sessions != PEER_SESS_DEFAULT)
        log_help("peer pool %s/%d: %u /24s, %u client addresses, %u sessions at most\n", ip2strv4(c.pool, gw, sizeof gw),
                 24 - __builtin_ctz(c.npools), c.npools, c.npools * 253, p->nsess);
    return 0;
}

// os_init ignores SIGPIPE and makes SIGHUP reopen the log; the server's SIGHUP does that and
// reloads its users.
int peer_signals()
{
    s_hup.store(0);
    return os_on_signal(SIGHUP, on_hup, SA_RESTART);
}

void peer_stop(peer_t *p)
{
    if (p->udpfd >= 0) {
        poll_del(p->udpfd);
        sock_close(p->udpfd);
        p->udpfd = -1;
    }
    if (p->tunfd >= 0) {
        poll_del(p->tunfd);
        tun_deinit(&p->tunfd, p->cfg.tun_name);
        p->tunfd = -1;
    }
    tm_del(PEER_TIMER);
    peer_teardown(p);
}

// The cause on standard error and as the unit's status line; 1, the exit status.
int start_failed()
{
    fail_report("sdwan-peerd", "start-up failed");
    fail_notify("start-up failed");
    return 1;
}
}  // namespace

int peer_main(int argc, char **argv)
{
    const char *cfgpath = nullptr;
    const char *logpath = nullptr;
    optind = 0;  // glibc: a full rescan, so a second call in one process parses afresh
    switch (os_args(argc, argv, &cfgpath, &logpath)) {
    case 0:
        break;
    case 'h':
        usage(stdout);
        return 0;
    case 'v':
        printf("sdwan-peerd version %s\n", peer_version);
        return 0;
    default:
        usage(stderr);
        return 2;
    }
    if (cfgpath == nullptr) {
        fputs("sdwan-peerd: -f <config file> is required\n", stderr);
        usage(stderr);
        return 2;
    }

    // The one server object, of static storage: its batches and tables are large.
    static peer_t peer;
    peer_t *p = &peer;
    p->cfgpath = cfgpath;
    char err[PEER_ERRLEN];
    notify_init();
    if (seal_init() != 0) {
        fail_note("libsodium cannot start");
        return start_failed();
    }
    if (peer_cfg_load(cfgpath, &p->cfg, err, sizeof err) != 0) {
        fail_note("%s: %s", cfgpath, err);
        return start_failed();
    }
    if (logpath == nullptr && p->cfg.log[0] != '\0')
        logpath = p->cfg.log;
    // Without a log file the lines go to standard output, often a pipe to a service manager:
    // line buffering keeps them timely.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (logpath != nullptr) {
        // A server told to keep a log does not start without it: its lines would go where
        // nobody looks for them.
        logfile_path = logpath;
        const char *why = nullptr;
        if (log_open(&why) != 0) {
            fail_note("cannot open log file %s: %s", logpath, why);
            return start_failed();
        }
        log_set_limit(uint64_t{p->cfg.logsize} * LOG_MIB);
    }
    p->udpfd = -1;
    p->tunfd = -1;
    p->start_time = os_cursec();
    int rc = 1;
    poll_start(notify_watchdog, nullptr);
    if (os_init() == 0 && peer_signals() == 0 && peer_start(p) == 0) {
        if (notify_active()) {
            if (tm_add(NOTIFY_TIMER, 1, peer_notify_tick, p) != 0)
                log_help("peer: cannot register the service manager's timer\n");
            peer_notify_tick(p);
            notify_ready();
        }
        poll_loop();
        notify_stopping();
        log_help("peer stopping, %d sessions\n", peer_live_count(p));
        peer_close_all(p);
        rc = p->failed ? 1 : 0;
    } else {
        log_help("peer: start-up failed\n");
        (void)start_failed();
    }
    log_stats(p->st);
    // Nothing may read as a live server once it has ended.
    peer_status_remove(p);
    tm_del(NOTIFY_TIMER);
    peer_stop(p);
    os_deinit();
    log_help("EXIT\n");
    log_deinit();
    return rc;
}
