// The one client record.
#include "client/record.h"

namespace {
// Zero, except the descriptors, which start as "none", and the per-packet log line and the
// kernel's offloads, which are on unless the configuration turns them off.
constexpr sdwan_t initial_record()
{
    sdwan_t r{};
    r.io.udpsock = -1;
    r.io.tunfd = -1;
    r.io.rtnlfd = -1;
    r.conf.datalog = 1;
    r.conf.offload = 1;
    return r;
}
}  // namespace

constinit sdwan_t _sdwclnt = initial_record();

int sdwclnt_not_ready(const sdwan_t *clnt)
{
    const bool ready = clnt->sess.state != SDWANCLNT_NONE && clnt->conf.peerport != 0 && clnt->conf.user[0] != '\0' &&
                       clnt->conf.pass[0] != '\0' && (clnt->sess.peerip != 0 || clnt->conf.peerdomain[0] != '\0');
    return ready ? 0 : 1;
}
