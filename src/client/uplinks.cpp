#include "client/uplinks.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "bytes.h"
#include "client/auth.h"
#include "client/ctlsend.h"
#include "client/echo.h"
#include "client/hostroute.h"
#include "client/paths.h"
#include "client/sealed.h"
#include "client/tunlife.h"
#include "core/event.h"
#include "net/ipaddr.h"
#include "net/sock.h"
#include "net/tmrfd.h"
#include "proto/echo.h"
#include "proto/packet.h"
#include "proto/sealed.h"
#include "base/log.h"

namespace {

void line_out(void *, const char *text) { log_help("%s\n", text); }

bool probe_out(void *ctx, int i, uint32_t seq, uint64_t now, uint64_t *key)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(ctx);
    const sdwan_path_t &p = clnt->paths.p[i];
    if (p.fd < 0 || clnt->sess.peerip == 0)
        return false;
    if (seal_on(clnt)) {
        uint8_t body[SEALED_PROBE_LEN];
        probe_msg_t m{};
        m.path = p.id;
        m.seq = seq;
        m.sent_us = now;
        (void)probe_encode(m, body);
        *key = seq;
        return seal_send_on(clnt, p.fd, SEAL_KIND_PROBE, body, sizeof body);
    }
    // Through the session's own path the peer answers with an ECHORESP, whose tick tells this
    // path's probe from the keepalive's; elsewhere it holds no session and answers with the CLOSE
    // that uplinks_close_answer takes as the path's answer.
    uint8_t buf[SDWAN_CTRLBUF];
    const uint32_t len = sdwan_pktechoreq(clnt, buf);
    *key = ld_le64(buf + ECHO_TICK_AT);
    return sdwan_sock_send_on(clnt, p.fd, buf, len);
}

paths_env env_of(sdwan_t *clnt) { return {&clnt->conf, clnt, line_out, probe_out}; }

uint64_t now_us() { return os_monousec(); }

const char *ifname_of(const sdwan_t *clnt, int i) { return clnt->conf.uplinks[i].ifname; }

void arm(sdwan_t *clnt)
{
    if (clnt->paths.tmrfd >= 0)
        (void)tmrfd_arm(clnt->paths.tmrfd, paths_next_wake(&clnt->paths, &clnt->conf));
}

// The data path sends on the active path's socket and counts on it.
void use_active(sdwan_t *clnt)
{
    sdwan_paths_t &ps = clnt->paths;
    if (ps.active >= 0 && ps.p[ps.active].fd >= 0) {
        sdwan_path_t &p = ps.p[ps.active];
        clnt->io.udpsock = p.fd;
        clnt->io.udpgso = p.udpgso;
        clnt->io.udpgro = p.udpgro;
        ps.txpkts_at = &p.txpkts;
        ps.txbytes_at = &p.txbytes;
        return;
    }
    clnt->io.udpsock = -1;
    ps.txpkts_at = &ps.spare[0];
    ps.txbytes_at = &ps.spare[1];
}

// The session moved to paths.active in DATA: a sealed one shows the peer its new source by an
// echo request under the session's keys, which the peer follows; a legacy one asks again with
// an OPEN through the new path.
void moved(sdwan_t *clnt)
{
    use_active(clnt);
    if (clnt->io.udpsock < 0 || clnt->sess.state != SDWANCLNT_DATA)
        return;
    if (seal_on(clnt)) {
        sdwan_sendECHOREQ(clnt);
        return;
    }
    clnt->paths.reopen = true;
    clnt->sess.lastopen = static_cast<uint32_t>(os_monosec());
    sdwan_sendOPEN(clnt);
}

void route_drop(sdwan_t *clnt, sdwan_path_t &p)
{
    if (p.route.dst == 0)
        return;
    (void)clnt->ops->uplink_route(clnt->ops->ctx, 0, p.route.dst, p.route.gw, p.metric, p.route.dev);
    std::memset(&p.route, 0, sizeof p.route);
    p.metric = 0;
}

// The peer's host route through path i's gateway, as the host's default route through that
// interface has it now; none while the path is absent or that route is not there.
void route_fit(sdwan_t *clnt, int i)
{
    sdwan_path_t &p = clnt->paths.p[i];
    struct {
        const char *ifname;
        uint32_t gw;
        int metric;
    } f{ifname_of(clnt, i), 0, 0};
    if (p.state == path_state::absent || clnt->sess.peerip == 0 ||
        !sdwclnt_defroute_via(clnt, f.ifname, &f.gw, &f.metric)) {
        route_drop(clnt, p);
        return;
    }
    if (p.route.dst == clnt->sess.peerip && p.route.gw == f.gw && p.metric == f.metric)
        return;
    // The new one goes in before the old one goes: the peer is never left to the tunnel's routes.
    const int err = clnt->ops->uplink_route(clnt->ops->ctx, 1, clnt->sess.peerip, f.gw, f.metric, f.ifname);
    route_drop(clnt, p);
    if (err == 0) {
        p.route.dst = clnt->sess.peerip;
        p.route.gw = f.gw;
        std::memcpy(p.route.dev, f.ifname, strnlen(f.ifname, sizeof p.route.dev - 1));
        p.metric = f.metric;
        hostrt_mark(clnt);
        return;
    }
    if (err == -EEXIST)  // someone else's: in place, and not this run's to delete
        return;
    clnt->count.kreq_refused[SDWAN_KREQ_ROUTE]++;
    char d[16], g[16];
    log_help("Failed to add host route to %s via %s on %s: %s\n", ip2strv4(clnt->sess.peerip, d, sizeof d),
             ip2strv4(f.gw, g, sizeof g), f.ifname, strerror(-err));
}

void sock_shut(sdwan_path_t &p)
{
    if (p.fd < 0)
        return;
    poll_del(p.fd);
    sock_close(p.fd);
    p.fd = -1;
    p.udpgso = p.udpgro = false;
}

bool sock_make(sdwan_t *clnt, int i)
{
    sdwan_path_t &p = clnt->paths.p[i];
    const int s = sock_udpinit_dev(ifname_of(clnt, i), clnt->conf.uplinks[i].source);
    if (s < 0) {
        log_help("path %s: no socket: %s\n", ifname_of(clnt, i), strerror(-s));
        return false;
    }
    p.fd = s;
    p.udpgso = clnt->conf.offload != 0 && sock_gso_probe(s) == 0;
    p.udpgro = clnt->conf.offload != 0 && sock_gro_enable(s) == 0;
    if (poll_add(s, clnt->paths.rx[i], clnt) != 0) {
        log_help("path %s: socket not polled\n", ifname_of(clnt, i));
        sock_close(s);
        p.fd = -1;
        return false;
    }
    return true;
}

// Path i as the kernel has it now.
void sync_one(sdwan_t *clnt, int i, const paths_env &env, uint64_t now)
{
    sdwan_path_t &p = clnt->paths.p[i];
    const sdwan_uplink_t &u = clnt->conf.uplinks[i];
    hostlink_t l{};
    const int rc = clnt->ops->link_state != nullptr ? clnt->ops->link_state(clnt->ops->ctx, u.ifname, u.source, &l)
                                                    : -ENODEV;
    if (rc != 0) {
        sock_shut(p);
        route_drop(clnt, p);
        if (p.state != path_state::absent)
            paths_absent(&clnt->paths, env, i, now);
        return;
    }
    // A socket is tied to an interface by its index: one made again under the same name needs a
    // new socket.
    if (p.fd >= 0 && p.ifindex != 0 && p.ifindex != l.ifindex)
        sock_shut(p);
    if (l.up && l.addr != 0) {
        // Made once the link can carry: a SOURCE address not yet there would refuse the bind.
        if (p.fd < 0 && !sock_make(clnt, i)) {
            if (p.state != path_state::absent)
                paths_absent(&clnt->paths, env, i, now);
            return;
        }
        // The address may have changed (a renewed lease): a socket bound to none follows it.
        p.source = l.addr;
        if (p.state == path_state::absent || p.noticed)
            paths_present(&clnt->paths, i, l.ifindex, now);
        p.ifindex = l.ifindex;
        return;
    }
    if (p.state == path_state::absent)
        paths_present(&clnt->paths, i, l.ifindex, now);
    p.ifindex = l.ifindex;
    paths_down(&clnt->paths, env, i, !l.up ? "link down" : "no address", now);
}

int start_order_next(sdwan_t *clnt) { return paths_after(&clnt->paths, &clnt->conf, clnt->paths.active); }
}  // namespace

int uplinks_start(sdwan_t *clnt)
{
    paths_init(&clnt->paths, &clnt->conf);
    const int t = tmrfd_open();
    if (t < 0) {
        log_help("Failed to make the probes' timer: %s\n", strerror(-t));
        return -1;
    }
    clnt->paths.tmrfd = t;
    if (poll_add(t, uplinks_timer, clnt) != 0) {
        close(t);
        clnt->paths.tmrfd = -1;
        log_help("Failed to poll the probes' timer\n");
        return -1;
    }
    uplinks_sync(clnt);
    return 0;
}

void uplinks_stop(sdwan_t *clnt)
{
    sdwan_paths_t &ps = clnt->paths;
    for (int i = 0; i < ps.n; i++) {
        sock_shut(ps.p[i]);
        route_drop(clnt, ps.p[i]);
    }
    ps.active = -1;
    use_active(clnt);
    if (ps.tmrfd >= 0) {
        poll_del(ps.tmrfd);
        close(ps.tmrfd);
        ps.tmrfd = -1;
    }
}

void uplinks_sync(sdwan_t *clnt)
{
    if (!uplinks_on(clnt))
        return;
    const paths_env env = env_of(clnt);
    const uint64_t now = now_us();
    for (int i = 0; i < clnt->paths.n; i++)
        sync_one(clnt, i, env, now);
    uplinks_routes(clnt);
    sdwan_paths_t &ps = clnt->paths;
    if (clnt->sess.state == SDWANCLNT_DATA) {
        if (paths_choose(&ps, env, now))
            moved(clnt);
    } else if (ps.active < 0 || ps.p[ps.active].state == path_state::absent || ps.p[ps.active].noticed) {
        ps.active = static_cast<int8_t>(paths_first(&ps, &clnt->conf));
    }
    use_active(clnt);
    arm(clnt);
}

void uplinks_session_reset(sdwan_t *clnt)
{
    sdwan_paths_t &ps = clnt->paths;
    paths_session_end(&ps);
    ps.reopen = false;
    if (ps.active < 0 || ps.p[ps.active].state == path_state::absent || ps.p[ps.active].noticed)
        ps.active = static_cast<int8_t>(paths_first(&ps, &clnt->conf));
    use_active(clnt);
    uplinks_routes(clnt);
    arm(clnt);
}

void uplinks_established(sdwan_t *clnt)
{
    if (!uplinks_on(clnt))
        return;
    clnt->paths.reopen = false;
    paths_session_begin(&clnt->paths, now_us());
    arm(clnt);
}

bool uplinks_failed(sdwan_t *clnt)
{
    if (!uplinks_on(clnt))
        return false;
    if (clnt->sess.peerip == 0 || ++clnt->host.upfails < UPLINK_TRIES)
        return true;
    const uint8_t fails = clnt->host.upfails;
    clnt->host.upfails = 0;
    const int from = clnt->paths.active;
    const int to = start_order_next(clnt);
    if (from < 0 || to < 0 || to == from)
        return true;
    char d[16];
    log_help("peer %s unreachable via %s after %u attempts: trying %s\n", ip2strv4(clnt->sess.peerip, d, sizeof d),
             ifname_of(clnt, from), static_cast<unsigned>(fails), ifname_of(clnt, to));
    clnt->count.uplink_switches++;
    clnt->paths.active = static_cast<int8_t>(to);
    return true;
}

void uplinks_routes(sdwan_t *clnt)
{
    for (int i = 0; i < clnt->paths.n; i++)
        route_fit(clnt, i);
}

void uplinks_tick(sdwan_t *clnt, uint32_t now)
{
    if (!uplinks_on(clnt) || !clnt->paths.reopen || now - clnt->sess.lastopen < 1)
        return;
    clnt->sess.lastopen = now;
    sdwan_sendOPEN(clnt);
}

void uplinks_probeack(sdwan_t *clnt, const uint8_t *body, uint32_t len)
{
    probe_msg_t m;
    if (probe_decode({body, len}, &m) != 0)
        return;
    (void)paths_answer(&clnt->paths, env_of(clnt), m.path, m.seq, now_us());
}

bool uplinks_echo_answer(sdwan_t *clnt, const uint8_t *buf, uint32_t len)
{
    const int i = clnt->paths.rxpath;
    if (i < 0 || !clnt->paths.probing || clnt->sess.state != SDWANCLNT_DATA)
        return false;
    echo_msg_t m;
    if (echo_decode({buf, len}, &m) != 0 || !sdwan_pktverify(buf, len))
        return false;
    return paths_answer(&clnt->paths, env_of(clnt), i, m.tick, now_us());
}

bool uplinks_close_answer(sdwan_t *clnt, const uint8_t *buf, uint32_t len, const sdwan_pkthdr_t &hdr)
{
    const int i = clnt->paths.rxpath;
    // On the path a legacy session is moving to, the peer holds no session until it takes the new
    // OPEN: the CLOSE that answers the echo sent there meanwhile is expected, not the end.
    const bool elsewhere = i != clnt->paths.active || clnt->paths.reopen;
    if (i < 0 || !elsewhere || !clnt->paths.probing || clnt->sess.state != SDWANCLNT_DATA)
        return false;
    if (hdr.sid != clnt->sess.sid || hdr.token != clnt->sess.token || !sdwan_pktverify(buf, len))
        return false;
    (void)paths_answer_last(&clnt->paths, env_of(clnt), i, now_us());
    return true;
}

void uplinks_timer(void *arg)
{
    sdwan_t *clnt = static_cast<sdwan_t *>(arg);
    tmrfd_drain(clnt->paths.tmrfd);
    // A session the peer closed is not probed until the next one: its answers would not come.
    if (clnt->sess.state != SDWANCLNT_DATA)
        paths_session_end(&clnt->paths);
    if (paths_tick(&clnt->paths, env_of(clnt), now_us()))
        moved(clnt);
    arm(clnt);
}
