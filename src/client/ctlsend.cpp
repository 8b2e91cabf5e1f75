#include "client/ctlsend.h"

#include "net/sock.h"
#include "base/log.h"

void sdwan_sock_send(sdwan_t *clnt, const uint8_t *buf, uint32_t len)
{
    if (sock_sendto(clnt->si_udpsock, clnt->si_peerip, clnt->si_peerport, buf, len) < 0)
        log_help("domain socket send failed\n");
}
