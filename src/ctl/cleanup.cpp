// tolvactl cleanup: the step the service units run after every end of the daemon. A run that was
// killed or crashed could not undo its work; its persistent interface names the host routes it
// held, so they and the interface go, and the host's own default route is in effect again. An
// interface a running daemon holds, or one that is not this daemon's, is left alone. With
// "setdns", the DNS servers such a run gave the host are withdrawn too: resolvconf's record is
// deleted (systemd-resolved drops a link's settings when the interface goes).
#include <cerrno>
#include <cstring>

#include "client/tunlife.h"
#include "client/record.h"
#include "ctl/ctl.h"
#include "daemon/cfg.h"
#include "daemon/hostkernel.h"
#include "daemon/resolvconf.h"

int ctl_cleanup(sdwan_t *clnt, const char *cfgpath)
{
    sdwclnt_record_init(clnt);
    clnt->ops = hostkernel_ops_without_resolved();
    cfgfile_path = cfgpath;
    // The lines of the loader and of the clean-up go to standard output: the log of the run
    // that ended stays as it is.
    if (cfg_load(clnt) != 0) {
        fprintf(stderr, "tolvactl: cannot read configuration file %s: %s\n", cfgpath, strerror(errno));
        return 1;
    }
    const int rc = sdwclnt_cleanup(clnt, clnt->conf.tun_name);
    // Its outcome is the last line; a run that hangs is ended after RESOLVCONF_RUN_SEC.
    resolvconf_flush((RESOLVCONF_RUN_SEC + 3) * 1000);
    return rc == 0 ? 0 : 1;
}
