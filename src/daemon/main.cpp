// tolvad: process entry, start-up and shutdown order.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "client/tunlife.h"
#include "client/session.h"
#include "client/status.h"
#include "core/event.h"
#include "daemon/cfg.h"
#include "daemon/hostkernel.h"
#include "base/fail.h"
#include "base/log.h"
#include "base/notify.h"
#include "base/os.h"
#include "daemon/report.h"
#include "daemon/resolvconf.h"

namespace {
constexpr const char DEFAULT_CFGFILE[] = "/etc/sdwan/kesp.conf";
constexpr const char DEFAULT_LOGFILE[] = "/tmp/kesp.log";

void usage()
{
    puts("Quorvex SD-WAN Linux Client");
    puts("Usage: tolvad [options]");
    puts("Options:");
    printf("\t-f <config file>            special config filepath,[default: %s]\n", DEFAULT_CFGFILE);
    printf("\t-l <log file>               special log filepath,[default: %s]\n", DEFAULT_LOGFILE);
    puts("\t-h                          display this");
    puts("\t-v                        version info");
}

void version() { puts("version: linux_tolvad_x86 2025-03-13"); }

// The loop runs on a thread of its own while main waits on it: the shutdown after it is main's.
void *core_run(void *)
{
    poll_loop();
    return nullptr;
}

// Each step runs only if the one before it succeeded; every path that opened the log runs the
// whole shutdown, whatever it reached. A failure before the loop ran is 1: a service manager
// must see a daemon that never served as failed, not as a clean stop. A configuration that
// cannot start a session counts too: left running, it would never carry a packet.
int run(sdwan_t *clnt)
{
    const char *why = nullptr;
    if (cfg_load(clnt, &why) != 0) {
        const int err = errno;
        log_help("Failed to load configuration file.\n");
        fail_note("cannot read configuration file %s: %s", cfgfile_path, strerror(err));
        return 1;
    }
    if (why != nullptr) {
        fail_note("configuration file %s: %s", cfgfile_path, why);
        return 1;
    }
    if (os_init() != 0) {
        log_help("Failed to initialize OS components.\n");
        return 1;
    }
    poll_start(notify_watchdog, nullptr);
    // What a killed run left, its DNS servers among them, goes before this run sets anything:
    // the same clean-up as the units' step after the end. A failure is the attach's to tell.
    (void)sdwclnt_cleanup(clnt, clnt->conf.tun_name);
    if (sdwclnt_init(clnt) != 0) {
        log_help("Failed to initialize SD-WAN client.\n");
        return 1;
    }
    if (report_start(clnt) != 0)
        log_help("status reg timer failed\n");
    log_help("INIT\n");
    pthread_t core;
    if (int err = pthread_create(&core, nullptr, core_run, nullptr); err != 0) {
        log_help("Failed to create core thread.\n");
        fail_note("cannot create the core thread: %s", strerror(err));
        return 1;
    }
    log_help("RUNNING\n");
    notify_ready();
    pthread_join(core, nullptr);
    return 0;
}
}  // namespace

int main(int argc, char **argv)
{
    // The one client object, of static storage: the data path's buffers are in it.
    static sdwan_t clnt;
    sdwclnt_record_init(&clnt);
    // The kernel, and for "setdns" systemd-resolved when it is on the bus, else resolvconf.
    clnt.ops = hostkernel_ops();
    cfgfile_path = DEFAULT_CFGFILE;
    logfile_path = DEFAULT_LOGFILE;

    int opt = os_args(argc, argv, &cfgfile_path, &logfile_path);
    while (opt == '?')  // an unknown option is passed over
        opt = os_args(argc, argv, &cfgfile_path, &logfile_path);
    if (opt == 'h')
        usage();
    else if (opt == 'v')
        version();
    if (opt != 0)
        return 0;

    // The bound holds from the first line; a "logsize" key read later replaces it.
    log_set_limit(LOG_MIB_DEFAULT * LOG_MIB);
    log_init();
    notify_init();
    const int rc = run(&clnt);
    if (rc != 0)
        fail_report("tolvad", "Failed to initialize SD-WAN client.");

    log_help("Start quit\n");
    if (rc != 0)
        fail_notify("Failed to initialize SD-WAN client.");
    else
        notify_stopping();
    sdwclnt_deinit(&clnt);
    // The withdrawal of the DNS servers from resolvconf, when it was used.
    resolvconf_flush(3000);
    report_stop();
    status_deinit(&clnt);
    os_deinit();
    log_help("EXIT\n");
    log_deinit();
    return rc;
}
