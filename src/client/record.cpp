// The client object's start.
#include "client/record.h"

#include <cstring>

void sdwclnt_record_init(sdwan_t *clnt)
{
    memset(static_cast<void *>(clnt), 0, sizeof *clnt);
    clnt->io.udpsock = -1;
    clnt->io.tunfd = -1;
    clnt->io.rtnlfd = -1;
    clnt->conf.datalog = 1;
    clnt->conf.offload = 1;
    clnt->conf.waitroute = 1;
    clnt->conf.probems = SDWAN_PROBE_MS_DEFAULT;
    clnt->conf.pathloss = SDWAN_PATHLOSS_DEFAULT;
    clnt->paths.active = -1;
    clnt->paths.rxpath = -1;
    clnt->paths.tmrfd = -1;
    clnt->paths.txpkts_at = &clnt->paths.spare[0];
    clnt->paths.txbytes_at = &clnt->paths.spare[1];
    for (sdwan_path_t &p : clnt->paths.p)
        p.fd = -1;
    vnet_coal_init(&clnt->io.coal, clnt->io.coalbuf);
}

int sdwclnt_not_ready(const sdwan_t *clnt)
{
    const bool ready = clnt->sess.state != SDWANCLNT_NONE && clnt->conf.peerport != 0 && clnt->conf.user[0] != '\0' &&
                       clnt->conf.pass[0] != '\0' && (clnt->sess.peerip != 0 || clnt->conf.peerdomain[0] != '\0');
    return ready ? 0 : 1;
}
