#include "client/session.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "client/auth.h"
#include "client/data.h"
#include "client/dns.h"
#include "client/echo.h"
#include "client/hostdns.h"
#include "client/hostroute.h"
#include "client/killswitch.h"
#include "client/rlog.h"
#include "client/sealed.h"
#include "client/tunlife.h"
#include "client/uplinks.h"
#include "core/event.h"
#include "net/ipaddr.h"
#include "net/rtnl.h"
#include "net/sock.h"
#include "net/tun.h"
#include "net/vnet.h"
#include "proto/packet.h"
#include "base/fail.h"
#include "base/log.h"

namespace {
// An unanswered authentication is abandoned after 5 s (three OPENs); an established session
// that has heard nothing from the peer for 9 s (several echo requests unanswered) is presumed
// dead.
constexpr uint32_t AUTH_TIMEOUT_SEC = 5;
constexpr uint32_t DATA_TIMEOUT_SEC = 9;
// OPEN goes out on the first AUTH tick and then every second tick.
constexpr uint32_t OPEN_INTERVAL_SEC = 1;

// The session's ages run on the monotonic clock: a wall clock set back would hold every timeout
// and retry for the length of the step, one set forward would end a live session at once.
uint32_t now_sec() { return static_cast<uint32_t>(poll_monosec()); }

void on_dns(sdwan_t *clnt, dns_outcome o)
{
    switch (o) {
    case dns_outcome::resolved:
        // The resolver is no longer needed outside the tunnel; the peer's host route follows
        // its new address.
        sdwclnt_routes_sync(clnt);
        uplinks_routes(clnt);
        break;
    case dns_outcome::reset:
        sdwclnt_reset_state(clnt);
        break;
    case dns_outcome::none:
        break;
    }
}

void on_auth(sdwan_t *clnt, auth_outcome o)
{
    switch (o) {
    case auth_outcome::established:
        sdwclnt_uplink_answered(clnt);
        uplinks_established(clnt);
        sdwclnt_set_iproute(clnt);
        sdwclnt_dns_apply(clnt);
        break;
    case auth_outcome::rejected:
        sdwclnt_uplink_answered(clnt);
        sdwclnt_reset_state(clnt);
        break;
    case auth_outcome::malformed:
        sdwclnt_reset_state(clnt);
        break;
    case auth_outcome::closed:
        sdwclnt_enter_closed(clnt);
        break;
    case auth_outcome::probe:
        sdwan_sendECHOREQ(clnt);
        break;
    case auth_outcome::none:
        break;
    }
}

int init_fail(sdwan_t *clnt)
{
    if (clnt->io.tunfd != -1) {
        poll_del(clnt->io.tunfd);
        tm_del(clnt->io.tmr_name);
    }
    return -1;
}

template <int I>
void path_recv(void *arg);

// The kernel's notices: the host's routes (client/hostroute), then the uplinks.
void rtnl_recv(void *arg)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(arg);
    if (rtnl_monitor_drain(clnt->io.rtnlfd) == 0)
        return;
    sdwclnt_rtnl_changed(clnt);
    uplinks_sync(clnt);
}

// A lost interface is made again at most this often while its name cannot be taken.
constexpr uint32_t TUN_RETRY_TICKS = 10;

void tun_lost(void *arg);

int tun_register(sdwan_t *clnt)
{
    if (poll_add(clnt->io.tunfd, sdwclnt_tun_recv, clnt) != 0)
        return -1;
    poll_set_error(clnt->io.tunfd, tun_lost);
    return 0;
}

// The interface is made again, or its name taken over; false while that is not possible.
bool tun_remake(sdwan_t *clnt)
{
    if (sdwclnt_tun_open(clnt) != 0)
        return false;
    if (tun_register(clnt) != 0) {
        log_help("sdwclnt reg tun fd failed\n");
        sdwclnt_tun_close(clnt);
        return false;
    }
    return true;
}

// The TUN descriptor reports an error or hang-up: the interface was deleted under the daemon.
// Everything on it went with it; the session starts over on a new interface.
void tun_lost(void *arg)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(arg);
    log_help("TUN interface %s lost, creating it again\n", clnt->conf.tun_name);
    poll_del(clnt->io.tunfd);
    tun_detach(&clnt->io.tunfd);
    // The interface, its address and the tunnel's default route are gone; a kill switch is not on it.
    clnt->host.own &= SDWAN_OWN_KILLSW;
    if (clnt->sess.state != SDWANCLNT_NONE)
        sdwclnt_reset_state(clnt);
    clnt->host.tunretry = tun_remake(clnt) ? 0 : 1;
}

void tick_init(sdwan_t *clnt, uint32_t now)
{
    char ip[16];
    const char *ips = ip2strv4(clnt->sess.peerip, ip, sizeof ip);
    log_help("INIT peer %s:%u\n", ips != nullptr ? ips : "", static_cast<unsigned>(clnt->conf.peerport));
    clnt->sess.ltime = now;
    clnt->sess.token = 0;
    clnt->sess.lastopen = 0;
    clnt->sess.peerencrypt = 0;
    clnt->sess.state = SDWANCLNT_AUTH;
    if (seal_on(clnt)) {
        clnt->sess.lastopen = now;
        seal_start(clnt, now);
    }
}

void tick_auth(sdwan_t *clnt, uint32_t now)
{
    if (now - clnt->sess.ltime > AUTH_TIMEOUT_SEC) {
        if (!uplinks_failed(clnt))
            sdwclnt_uplink_failed(clnt);
        sdwclnt_reset_state(clnt);
        clnt->count.stats.panic_authot++;
        log_help("AUTH timeout\n");
        return;
    }
    if (seal_on(clnt)) {
        // Unanswered: a fresh handshake, as an OPEN would go again.
        if (now - clnt->sess.lastopen > OPEN_INTERVAL_SEC) {
            clnt->sess.lastopen = now;
            seal_start(clnt, now);
        }
        return;
    }
    if (now - clnt->sess.lastopen > OPEN_INTERVAL_SEC) {
        clnt->sess.lastopen = now;
        log_help("AUTH start\n");
        sdwan_sendOPEN(clnt);
    }
}

void tick_closed(sdwan_t *clnt)
{
    // Leaving CLOSED does not clear the interface: it stays up with its address until the
    // next session sets it again.
    sdwclnt_reset_state(clnt);
    clnt->sess.token = 0;
    // Counted once, when the session was closed (sdwclnt_enter_closed): a session the peer
    // closed is one reset, as a timeout is.
    log_help("peer CLOSED\n");
}

void tick_data(sdwan_t *clnt, uint32_t now)
{
    if (now - clnt->sess.ltime > DATA_TIMEOUT_SEC) {
        clnt->sess.token = 0;
        clnt->sess.sid = 0;
        clnt->count.stats.panic_dataot++;
        log_help("peer DATA timeout\n");
        if (!uplinks_failed(clnt))
            sdwclnt_uplink_failed(clnt);
        sdwclnt_reset_state(clnt);
        return;
    }
    if (clnt->sess.probe_pending && os_monousec() - clnt->sess.probe_mono >= SDWAN_PROBE_WAIT_USEC) {
        log_help("No answer from the peer after a CLOSE for another session\n");
        sdwclnt_enter_closed(clnt);
        tick_closed(clnt);
        return;
    }
    if (seal_on(clnt) && seal_keys_expired(clnt, now)) {
        clnt->sess.token = 0;
        clnt->sess.sid = 0;
        sdwclnt_reset_state(clnt);
        return;
    }
    // The parity is never reset between sessions, so the first echo of a new session may wait
    // one extra tick.
    const uint32_t old = clnt->sess.echotimer++;
    if ((old & 1U) == 0)
        sdwan_sendECHOREQ(clnt);
    if (seal_on(clnt))
        seal_tick_data(clnt, now);
    uplinks_tick(clnt, now);
}
}  // namespace

int sdwclnt_init(sdwan_t *clnt)
{
    snprintf(clnt->io.tmr_name, sizeof clnt->io.tmr_name, "%s_%d", "sdwclnt", 0);
    clnt->count.start_time = os_cursec();
    clnt->count.heard = now_sec();
    clnt->io.tunfd = -1;
    // Created here so the first OPEN allocates nothing; on failure it is tried again at the
    // first OPEN.
    (void)sdwan_aes_init(clnt);
    // The sealed session's cipher contexts, made before the first key so that no message
    // allocates.
    if (seal_on(clnt) && seal_init() != 0) {
        fail_note("libsodium cannot start");
        return init_fail(clnt);
    }
    if (seal_on(clnt))
        (void)aead_open(&clnt->io.aead);  // without it libsodium seals: slower, not different

    const int trc = sdwclnt_tun_open(clnt);
    if (trc != 0) {
        fail_note("cannot create TUN interface %s through /dev/net/tun: %s", clnt->conf.tun_name, strerror(-trc));
        return init_fail(clnt);
    }
    if (tm_add(clnt->io.tmr_name, 1, sdwclnt_do_timer, clnt) != 0) {
        log_help("sdwclnt reg timer failed\n");
        return init_fail(clnt);
    }
    if (tun_register(clnt) != 0) {
        log_help("sdwclnt reg tun fd failed\n");
        return init_fail(clnt);
    }
    // Route changes are followed so that a host route the kernel drops is put back at once;
    // without the notices the session still runs, and recovers by its timeouts.
    const int rtnl = rtnl_monitor_open();
    clnt->io.rtnlfd = rtnl < 0 ? -1 : rtnl;
    if (rtnl < 0)
        log_help("Failed to follow route changes: %s\n", strerror(-rtnl));
    if (clnt->io.rtnlfd >= 0 && poll_add(clnt->io.rtnlfd, rtnl_recv, clnt) != 0) {
        close(clnt->io.rtnlfd);
        clnt->io.rtnlfd = -1;
    }
    if (uplinks_on(clnt)) {
        for (uint32_t i = 0; i < SDWAN_PATHS_MAX; i++)
            clnt->paths.rx[i] = SDWAN_PATH_RECV[i];
        if (uplinks_start(clnt) != 0)
            return init_fail(clnt);
    }
    log_help("sdwan client initial success\n");
    if (sdwclnt_start(clnt) != 0)
        return init_fail(clnt);
    if (clnt->conf.offload == 0) {
        log_help("offloads: off\n");
    } else {
        char what[64];
        vnet_offload_text(what, sizeof what, clnt->io.tunoff, clnt->io.udpgso, clnt->io.udpgro);
        log_help("offloads: %s\n", what);
    }
    return 0;
}

void sdwclnt_deinit(sdwan_t *clnt)
{
    sdwclnt_tun_close(clnt);  // closed: the number may be reused by the next descriptor opened
    // A backup uplink chosen for the peer is this run's choice: its host route goes with the rest.
    clnt->host.upalt.dev[0] = '\0';
    sdwclnt_clear_iproute(clnt);
    if (killswitch_disarm(clnt))  // the last: nothing leaves in clear before the stop
        sdwclnt_routes_sync(clnt);
    if (clnt->io.rtnlfd >= 0) {
        poll_del(clnt->io.rtnlfd);
        close(clnt->io.rtnlfd);
        clnt->io.rtnlfd = -1;
    }
    if (uplinks_on(clnt))
        uplinks_stop(clnt);  // io.udpsock was the active path's
    if (clnt->io.udpsock != -1) {
        poll_del(clnt->io.udpsock);
        sock_close(clnt->io.udpsock);
        clnt->io.udpsock = -1;
    }
    tm_del(clnt->io.tmr_name);
    sdwan_aes_fini(clnt);
    aead_close(&clnt->io.aead);
}

int sdwclnt_start(sdwan_t *clnt)
{
    if (clnt->conf.waitroute == 0 && sdwclnt_load_defroute(clnt) != 0) {
        log_help("Failed to load default route\n");
        fail_note("no default route in /proc/net/route: the peer would be unreachable");
        return -1;
    }
    // A host whose uplink comes up after the daemon (DHCP, a modem) would otherwise see the
    // start fail until the service manager gives up restarting it.
    if (clnt->conf.waitroute != 0)
        (void)sdwclnt_route_wait(clnt, true);
    if (sdwclnt_set_peer(clnt) != 0) {
        log_help("Failed to set peer\n");
        return -1;
    }
    return 0;
}

int sdwclnt_set_peer(sdwan_t *clnt)
{
    if (clnt->sess.ip != 0)
        sdwclnt_clear_iproute(clnt);
    clnt->io.udpsock = -1;
    sdwan_set_key(clnt);

    clnt->sess.ip = 0;
    clnt->sess.gateway = 0;
    clnt->sess.dns0 = 0;
    clnt->sess.dns1 = 0;
    clnt->sess.token = 0;
    clnt->sess.sid = 0;
    clnt->sess.peermtu = 0;
    clnt->sess.peerencrypt = 0;
    clnt->rtt.curdelay = 0;
    clnt->rtt.maxdelay = 0;
    clnt->rtt.mindelay = SDWAN_MINDELAY_START;
    clnt->sess.lastopen = 0;
    clnt->sess.lastdial = 0;
    clnt->sess.ltime = 0;
    clnt->sess.echotimer = 0;

    clnt->sess.state = SDWANCLNT_IDLE;
    memset(&clnt->count.stats, 0, sizeof clnt->count.stats);

    sdwclnt_reset_state(clnt);
    return 0;
}

void sdwclnt_reset_state(sdwan_t *clnt)
{
    if (clnt->sess.state == SDWANCLNT_DATA) {
        sdwclnt_uplink_ended(clnt);
        sdwclnt_clear_iproute(clnt);
    }
    // Segments joined in the session that ended are not written into the next one.
    sdwan_data_reset(clnt);
    seal_reset(clnt);
    sdwclnt_sock_reinit(clnt);
    clnt->sess.state = clnt->conf.peerdomain[0] != '\0' ? SDWANCLNT_DNS : SDWANCLNT_INIT;
    // A session closed by the peer leaves the tunnel's default route until the next one: the
    // peer, and the resolver while its name is looked up again, keep the host's path, decided
    // afresh (the host may have moved to another uplink since).
    if (killswitch_arm(clnt))
        hostrt_mark(clnt);
    sdwclnt_routes_sync(clnt);
}

void sdwclnt_sock_reinit(sdwan_t *clnt)
{
    if (uplinks_on(clnt)) {
        uplinks_session_reset(clnt);
        return;
    }
    if (clnt->io.udpsock >= 0) {
        poll_del(clnt->io.udpsock);
        sock_close(clnt->io.udpsock);
    }
    const int s = sock_udpinit();
    clnt->io.udpsock = s < 0 ? -1 : s;
    if (s < 0) {
        log_help("sdwan client reinit socket failed\n");
        return;
    }
    log_help("sdwan client socket reinit success\n");
    // Asked of every new socket, quietly: the start-up line has said what the kernel offers.
    clnt->io.udpgso = clnt->conf.offload != 0 && sock_gso_probe(clnt->io.udpsock) == 0;
    clnt->io.udpgro = clnt->conf.offload != 0 && sock_gro_enable(clnt->io.udpsock) == 0;
    if (poll_add(clnt->io.udpsock, sdwan_sock_recv, clnt) != 0)
        log_help("sdwan client socket reg failed\n");
    else
        log_help("sdwan client socket reg success\n");
}

void sdwclnt_do_timer(void *arg)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(arg);
    sdwclnt_rlog_tick(clnt);
    // A lost interface that could not be made again: tried once more every TUN_RETRY_TICKS.
    if (clnt->host.tunretry != 0 && ++clnt->host.tunretry > TUN_RETRY_TICKS)
        clnt->host.tunretry = tun_remake(clnt) ? 0 : 1;
    if (sdwclnt_not_ready(clnt) != 0)
        return;
    if (clnt->host.routewait) {
        // Without the kernel's notices the table is looked at once a tick instead; either way
        // the session starts at the tick after the route appeared.
        if (clnt->io.rtnlfd < 0)
            (void)sdwclnt_route_wait(clnt, false);
        return;
    }
    if (clnt->io.udpsock == -1) {
        // No uplink is there: the session waits for one quietly (the paths' lines said why).
        if (uplinks_on(clnt) && clnt->sess.state != SDWANCLNT_DATA)
            return;
        log_help("client domain socket invalid reset state\n");
        sdwclnt_reset_state(clnt);
        return;
    }
    const uint32_t now = now_sec();
    switch (clnt->sess.state) {
    case SDWANCLNT_DNS:
        log_help("DNS query %s\n", clnt->conf.peerdomain);
        on_dns(clnt, sdwclnt_sendDNS(clnt));
        break;
    case SDWANCLNT_INIT:
        tick_init(clnt, now);
        break;
    case SDWANCLNT_AUTH:
        tick_auth(clnt, now);
        break;
    case SDWANCLNT_DATA:
        tick_data(clnt, now);
        break;
    case SDWANCLNT_CLOSED:
        tick_closed(clnt);
        break;
    default:  // NONE, IDLE, and anything unknown
        break;
    }
}

void sdwclnt_enter_closed(sdwan_t *clnt)
{
    clnt->sess.state = SDWANCLNT_CLOSED;
    clnt->sess.probe_pending = false;
    clnt->count.stats.closedcnt++;
    // Nothing answers them while the client starts over.
    sdwclnt_dns_withdraw(clnt);
}

namespace {
void recv_core_at(sdwan_t *clnt, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len, uint32_t now);

// now: the monotonic second of the receive, read once for all the datagrams of a train.
void sock_dispatch(sdwan_t *clnt, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len, uint32_t now)
{
    // While resolving, the socket carries only the resolver's answers.
    if (clnt->sess.state == SDWANCLNT_DNS) {
        on_dns(clnt, sdwan_parseDNS(clnt, ipbe, port, buf, len));
        return;
    }
    recv_core_at(clnt, ipbe, port, buf, len, now);
}
}  // namespace

namespace {
// What socket fd (of path `path`, -1 for the one socket) has waiting, each datagram through the
// receive core with the path it came through.
void sock_recv_on(sdwan_t *clnt, int fd, bool gro, int path)
{
    clnt->paths.rxpath = static_cast<int8_t>(path);
    uint32_t ipbe = 0;
    uint16_t port = 0;
    if (gro) {
        uint32_t seg = 0;
        const int rc = sock_recv_gro(fd, &ipbe, &port, clnt->io.rxtrain, sizeof clnt->io.rxtrain, &seg);
        if (rc > 0) {
            const uint32_t len = static_cast<uint32_t>(rc);
            // Each datagram of the train goes the way it would have gone alone, cut where the
            // plain receive buffer would have cut it; a train of small ones would otherwise spend
            // a sixth of its time reading the clock.
            const uint32_t now = now_sec();
            for (uint32_t off = 0; off < len; off += seg) {
                uint32_t n = len - off < seg ? len - off : seg;
                sock_dispatch(clnt, ipbe, port, clnt->io.rxtrain + off, n < SDWAN_PKTBUF ? n : SDWAN_PKTBUF, now);
            }
            sdwan_data_flush(clnt);
        }
    } else {
        uint8_t *const buf = clnt->io.rxtrain;  // one datagram, cut as the plain receive cuts it
        const int len = sock_recvfrom(fd, &ipbe, &port, buf, SDWAN_PKTBUF);
        if (len > 0) {
            sock_dispatch(clnt, ipbe, port, buf, static_cast<uint32_t>(len), now_sec());
            if (clnt->io.tunoff != 0)
                sdwan_data_flush(clnt);
        }
    }
    clnt->paths.rxpath = -1;
}

template <int I>
void path_recv(void *arg)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(arg);
    sdwan_path_t &p = clnt->paths.p[I];
    if (p.fd < 0)
        return;
    const uint64_t before = p.rxpkts;
    sock_recv_on(clnt, p.fd, p.udpgro, I);
    if (p.rxpkts != before)  // once a read, not once a datagram
        p.heard = os_monousec();
}
}  // namespace

void sdwan_sock_recv(void *arg)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(arg);
    sock_recv_on(clnt, clnt->io.udpsock, clnt->io.udpgro, -1);
}

void (*const SDWAN_PATH_RECV[SDWAN_PATHS_MAX])(void *) = {path_recv<0>, path_recv<1>, path_recv<2>, path_recv<3>};

void sdwan_sock_recv_core(sdwan_t *clnt, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len)
{
    recv_core_at(clnt, ipbe, port, buf, len, now_sec());
}

namespace {
void recv_core_at(sdwan_t *clnt, uint32_t ipbe, uint16_t port, uint8_t *buf, uint32_t len, uint32_t now)
{
    if (len == 0)
        return;
    if (ipbe != clnt->sess.peerip || port != clnt->conf.peerport)
        return;
    // No token or session-id check here: the peer does not echo them in every packet (an
    // OPENREJ or a late ECHORESP may carry other values), so dropping on a mismatch would drop
    // good packets. panic_token stays unused.
    clnt->count.stats.sock_rxpkts++;
    clnt->count.heard = now;
    if (clnt->paths.rxpath >= 0) {
        sdwan_path_t &p = clnt->paths.p[clnt->paths.rxpath];
        p.rxpkts++;
        p.rxbytes += len;
    }
    // Only what decrypts under the session's keys shows the peer alive.
    if (seal_on(clnt)) {
        seal_rx rx;
        on_auth(clnt, seal_recv(clnt, buf, len, now, &rx));
        if (rx.kind == SEAL_KIND_IP)
            sdwan_data_deliver(clnt, rx.body, rx.len);
        else if (rx.kind == SEAL_KIND_ECHORESP)
            echo_taken(clnt, ld_le64(rx.body));
        else if (rx.kind == SEAL_KIND_PROBEACK)
            uplinks_probeack(clnt, rx.body, rx.len);
        return;
    }
    clnt->sess.ltime = now;

    // A runt datagram is decoded from the bytes it has, the rest read as zero; the handlers
    // refuse it by its length.
    uint8_t head[SDWAN_HDR_LEN] = {};
    const uint8_t *h = buf;
    if (len < SDWAN_HDR_LEN) {
        memcpy(head, buf, len);
        h = head;
    }
    const sdwan_pkthdr_t hdr = sdwan_hdr_load(h);

    switch (hdr.type) {
    case SDWAN_OPENREJ:
        on_auth(clnt, sdwan_onOPENREJ(clnt, buf, len, &hdr));
        return;
    case SDWAN_OPENACK:
        on_auth(clnt, sdwan_onOPENACK(clnt, buf, len, &hdr));
        return;
    case SDWAN_CLOSE:
        if (uplinks_close_answer(clnt, buf, len, hdr))
            return;
        on_auth(clnt, sdwan_onCLOSE(clnt, buf, len, &hdr));
        return;
    case SDWAN_ECHORESP:
        if (uplinks_echo_answer(clnt, buf, len))
            return;
        sdwan_onECHORESP(clnt, buf, len, &hdr);
        return;
    case SDWAN_DATA:
    case SDWAN_EDATA:
        sdwan_onDATA(clnt, buf, len, &hdr);
        return;
    default:  // OPEN, ECHOREQ and anything else: not what a peer sends
        clnt->count.stats.panic_pkttype++;
        if (sdwclnt_rlog_allow(clnt, SDWAN_RL_PKTTYPE))
            log_help("Unknown packet type: %u\n", static_cast<unsigned>(hdr.type));
        return;
    }
}
}  // namespace
