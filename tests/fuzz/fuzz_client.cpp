#include "fuzz_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "client/auth.h"
#include "client/data.h"
#include "client/dns.h"
#include "client/session.h"
#include "core/event.h"
#include "daemon/hostkernel.h"
#include "fuzz_support.h"
#include "net/sock.h"
#include "proto/packet.h"

namespace {
sdwan_t s_template;  // its io record is not used: the buffers and the cipher are s_clnt's
sdwan_t s_clnt;      // the object each run works on, of static storage as the daemon's
int s_sink = -1;
uint16_t s_sinkport = 0;
int s_devnull = -1;
int s_sock = -1;  // the client's UDP socket; each run works on a duplicate of it

template <size_t N>
void put_text(char (&field)[N], const char *text)
{
    memset(field, 0, N);
    memcpy(field, text, strnlen(text, N - 1));
}

// poll_init without its log line, which every run would otherwise pay for.
void polls_clear()
{
    for (poll_op_t &p : poll_table())
        p = poll_op_t{-1, nullptr, nullptr, nullptr};
}
}  // namespace

void fuzz_client_init()
{
    fuzz_enter_netns();
    fuzz_quiet_log();
    fuzz_fixed_clock();
    poll_init();
    tm_init();
    // Sent OPEN and echo requests need the cipher; created once, as at start-up.
    sdwclnt_record_init(&s_clnt);
    FUZZ_CHECK(sdwan_aes_init(&s_clnt) == 0);

    s_sink = fuzz_sink(&s_sinkport);
    s_devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    s_sock = sock_udpinit();
    FUZZ_CHECK(s_devnull >= 0 && s_sock >= 0);

    sdwan_t &r = s_template;
    memset(&r, 0, sizeof r);
    // The private namespace's kernel; the resolver manager's ways are the machine's: none.
    static const hostops_t kernel = [] {
        hostops_t t = *hostkernel_ops_without_resolved();
        t.resolvconf_add = nullptr;
        t.resolvconf_del = nullptr;
        t.resolvconf_del_left = nullptr;
        return t;
    }();
    r.ops = &kernel;
    put_text(r.conf.tun_name, FUZZ_TUN);
    put_text(r.io.tmr_name, "sdwclnt_0");
    put_text(r.conf.peer, "127.0.0.1");
    put_text(r.conf.user, "alice");
    put_text(r.conf.pass, "secret");
    put_text(r.host.defifname, FUZZ_UPLINK);
    r.host.defrtnexthop = 0;
    r.sess.peerip = fuzz_loopback();
    r.conf.peerport = s_sinkport;
    r.conf.mtu = 1400;
    r.conf.encrypt = 1;
    r.conf.datalog = 1;
    r.io.udpsock = -1;
    r.io.tunfd = s_devnull;
    r.rtt.mindelay = SDWAN_MINDELAY_START;
    sdwan_set_key(&r);
    // The resolver's address is computed on first use; take that cost here, not in a run.
    (void)sdwan_resolver_ip();
}

sdwan_t *fuzz_client_begin(const fuzz_client_opts &o)
{
    sdwan_t *c = &s_clnt;
    // Every record but io from the template; of io what a run reads, the rest as a reset
    // leaves it (the buffers need no clearing: the data path writes before it reads).
    c->ops = s_template.ops;
    c->conf = s_template.conf;
    c->sess = s_template.sess;
    c->host = s_template.host;
    c->rtt = s_template.rtt;
    c->count = s_template.count;
    c->io.tunfd = s_template.io.tunfd;
    c->io.rtnlfd = -1;
    memcpy(c->io.tmr_name, s_template.io.tmr_name, sizeof c->io.tmr_name);
    c->io.tunoff = 0;
    c->io.udpgso = false;
    c->io.udpgro = false;
    sdwan_data_reset(c);
    c->sess.state = o.state;
    if (o.by_name) {
        put_text(c->conf.peer, FUZZ_DOMAIN);
        put_text(c->conf.peerdomain, FUZZ_DOMAIN);
    }
    if (o.host_routes) {
        c->host.own = SDWAN_OWN_DEFRT;
        c->host.hostrt_peer.dst = c->sess.peerip;
        put_text(c->host.hostrt_peer.dev, FUZZ_UPLINK);
        if (o.by_name) {
            c->host.hostrt_dns.dst = sdwan_resolver_ip();
            put_text(c->host.hostrt_dns.dev, FUZZ_UPLINK);
        }
    }
    // Values an established session holds; harmless in the other states.
    if (o.state == SDWANCLNT_DATA || o.state == SDWANCLNT_CLOSED) {
        c->sess.sid = FUZZ_SID;
        c->sess.token = FUZZ_TOKEN;
        c->sess.ip = 0x0500080a;       // 10.8.0.5
        c->sess.gateway = 0x0100080a;  // 10.8.0.1
        c->sess.peermtu = 1400;
        c->sess.peerencrypt = o.encrypted ? 1 : 0;
    }
    c->conf.datalog = o.datalog ? 1 : 0;
    c->sess.ltime = static_cast<uint32_t>(FUZZ_NOW_MONO_SEC) - 1;
    polls_clear();
    fuzz_fd_mark();
    c->io.udpsock = dup(s_sock);
    FUZZ_CHECK(c->io.udpsock >= 0);
    FUZZ_CHECK(poll_add(c->io.udpsock, sdwan_sock_recv, c) == 0);
    return c;
}

void fuzz_client_end()
{
    sdwan_t *c = &s_clnt;
    // A reset during the run closed the duplicate and opened a socket of its own; either way
    // the record holds the one that is still open.
    if (c->io.udpsock >= 0)
        close(c->io.udpsock);
    c->io.udpsock = -1;
    polls_clear();
    fuzz_fd_check();
}

uint32_t fuzz_client_peerip() { return s_template.sess.peerip; }
uint16_t fuzz_client_peerport() { return s_sinkport; }
