#include "client/ctlsend.h"

#include "net/sock.h"
#include "base/log.h"

void sdwan_sock_send(sdwan_t *clnt, const uint8_t *buf, uint32_t len)
{
    if (sock_sendto(clnt->io.udpsock, clnt->sess.peerip, clnt->conf.peerport, buf, len) < 0)
        log_help("domain socket send failed\n");
}

bool sdwan_sock_send_on(sdwan_t *clnt, int fd, const uint8_t *buf, uint32_t len)
{
    // Quiet: a path that cannot send shows it in its lost probes and state, not in a line a probe.
    return sock_sendto(fd, clnt->sess.peerip, clnt->conf.peerport, buf, len, true) >= 0;
}
