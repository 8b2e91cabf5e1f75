// The one client record.
#include "client/record.h"

namespace {
// Zero, except the descriptors, which start as "none", and the per-packet log line and the
// kernel's offloads, which are on unless the configuration turns them off.
constexpr sdwan_t initial_record()
{
    sdwan_t r{};
    r.si_udpsock = -1;
    r.tunfd = -1;
    r.si_rtnlfd = -1;
    r.si_datalog = 1;
    r.si_offload = 1;
    return r;
}
}  // namespace

constinit sdwan_t _sdwclnt = initial_record();

int sdwclnt_not_ready(const sdwan_t *clnt)
{
    const bool ready = clnt->si_state != SDWANCLNT_NONE && clnt->si_peerport != 0 && clnt->si_user[0] != '\0' &&
                       clnt->si_pass[0] != '\0' && (clnt->si_peerip != 0 || clnt->si_peerdomain[0] != '\0');
    return ready ? 0 : 1;
}
