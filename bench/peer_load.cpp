// sdwan-load: load for sdwan-peerd from one network namespace. Two modes:
//
//   sessions  N simulated clients, each on its own UDP socket, do the real OPEN handshake (a
//             bounded number in flight), then echo every 2 s for the given time, and optionally
//             send data: ICMP echo requests to their gateway, which the server's kernel answers
//             back through the tunnel. Reports handshakes per second, handshake latency
//             percentiles, echo round trips, data replies per second, and the server's CPU share
//             and resident memory (from /proc, given its PID).
//             With --sealed KEY (the peer's public key) every client does the sealed handshake
//             instead: a Noise NK initiator's SINIT, then its AUTH under the new keys, echoes as
//             sealed ECHOREQs; --sources spreads the clients over consecutive source addresses,
//             so that the peer's per-source limit on handshakes is not what is measured.
//   flood     OPENs nobody may have: unknown users, wrong passwords, bad signatures, or one valid
//             OPEN replayed from rotating ports, at a fixed rate from consecutive source
//             addresses. Reports what was sent and how many answers came back. The sealed kinds:
//             SINITs of random bytes, valid SINITs made once and replayed, SDATA that looks like
//             an AUTH to indices nobody holds, or the three in turn; sent with sendmmsg.
//
// Every run is bounded by --seconds and ends by itself; the result is one JSON line on stdout.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <netinet/in.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "client/auth.h"
#include "proto/open.h"
#include "proto/packet.h"
#include "proto/sealed.h"
#include "sdwan.h"
#include "seal/keyfile.h"
#include "seal/noise.h"

namespace {

struct opts_t {
    const char *mode = nullptr;
    uint32_t server = 0;
    uint16_t port = 4500;
    uint32_t bind = 0;  // first source address (network order); 0: any
    int clients = 100;
    int sources = 1;    // flood: consecutive source addresses
    int ports = 1;      // flood: sockets per source address
    double seconds = 10;
    double rate = 10000;  // flood: datagrams per second
    int window = 256;     // sessions: handshakes in flight
    int data = 0;         // sessions: clients that send data
    int inflight = 8;     // sessions: data packets in flight per data client
    int payload = 1000;   // sessions: ICMP payload bytes
    const char *kind = "unknown";
    std::string user = "branch-", pass = "pw-";
    int pid = 0;
    bool sealed = false;
    uint8_t peerkey[KEY_BYTES] = {};
};

uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// CPU ticks (user + system) and resident kB of a process; 0 when there is none to read.
uint64_t proc_ticks(int pid)
{
    if (pid <= 0)
        return 0;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return 0;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    const char *p = strrchr(buf, ')');
    if (p == nullptr)
        return 0;
    unsigned long long ut = 0, st = 0;
    // Fields after the name: state is 3, utime 14, stime 15.
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2)
        return 0;
    return ut + st;
}

long proc_rss_kb(int pid)
{
    if (pid <= 0)
        return 0;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return 0;
    char line[256];
    long kb = 0;
    while (fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "VmRSS: %ld", &kb) == 1)
            break;
    fclose(f);
    return kb;
}

int udp_socket(uint32_t bind_ip, const opts_t &o, bool do_connect)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = bind_ip;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    if (do_connect) {
        sockaddr_in d{};
        d.sin_family = AF_INET;
        d.sin_port = htons(o.port);
        d.sin_addr.s_addr = o.server;
        if (connect(s, reinterpret_cast<sockaddr *>(&d), sizeof d) != 0) {
            close(s);
            return -1;
        }
    }
    return s;
}

// The client's own object and builder: the bytes a real client sends. Its AES context is opened
// once (main), so that an OPEN costs no allocation.
sdwan_t s_rec;

uint32_t build_open(const std::string &user, const std::string &pass, uint8_t *buf)
{
    sdwan_t &rec = s_rec;
    rec.conf = sdwan_conf_t{};
    snprintf(rec.conf.user, sizeof rec.conf.user, "%s", user.c_str());
    snprintf(rec.conf.pass, sizeof rec.conf.pass, "%s", pass.c_str());
    rec.conf.mtu = 1400;
    return sdwan_pktopen(&rec, buf);
}

uint16_t ip_csum(const uint8_t *p, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1)
        sum += static_cast<uint32_t>(p[n - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// An ICMP echo request from src to dst inside a DATA datagram of the session.
uint32_t build_ping(uint16_t sid, uint32_t token, uint32_t src, uint32_t dst, uint16_t id, uint16_t seq, int payload,
                    uint8_t *buf)
{
    sdwan_pkthdr_t h{SDWAN_DATA, 0, sid, token};
    sdwan_hdr_store(buf, &h);
    uint8_t *ip = buf + SDWAN_HDR_LEN;
    const uint32_t iplen = 20 + 8 + static_cast<uint32_t>(payload);
    memset(ip, 0, iplen);
    ip[0] = 0x45;
    ip[2] = static_cast<uint8_t>(iplen >> 8);
    ip[3] = static_cast<uint8_t>(iplen);
    ip[8] = 64;
    ip[9] = 1;
    memcpy(ip + 12, &src, 4);
    memcpy(ip + 16, &dst, 4);
    uint16_t c = ip_csum(ip, 20);
    ip[10] = static_cast<uint8_t>(c >> 8);
    ip[11] = static_cast<uint8_t>(c);
    uint8_t *icmp = ip + 20;
    icmp[0] = 8;
    icmp[4] = static_cast<uint8_t>(id >> 8);
    icmp[5] = static_cast<uint8_t>(id);
    icmp[6] = static_cast<uint8_t>(seq >> 8);
    icmp[7] = static_cast<uint8_t>(seq);
    c = ip_csum(icmp, 8 + static_cast<size_t>(payload));
    icmp[2] = static_cast<uint8_t>(c >> 8);
    icmp[3] = static_cast<uint8_t>(c);
    return SDWAN_HDR_LEN + iplen;
}

void raise_nofile(int need)
{
    rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < static_cast<rlim_t>(need)) {
        r.rlim_cur = std::min<rlim_t>(r.rlim_max, static_cast<rlim_t>(need));
        if (r.rlim_cur < static_cast<rlim_t>(need))
            r.rlim_max = r.rlim_cur = static_cast<rlim_t>(need);  // root may raise the hard limit
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

double pct(std::vector<uint64_t> &v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return static_cast<double>(v[i]) / 1e6;  // ms
}

struct client_t {
    int fd;
    uint8_t state;  // 0 idle, 1 OPEN (sealed: SINIT) sent, 2 in session, 3 given up, 4 AUTH sent
    uint8_t tries;
    uint16_t sid;
    uint32_t token, addr, gw;
    uint64_t sent_ns, next_ns;  // OPEN or echo
    uint16_t seq;
    uint32_t ping_out;
    uint64_t data_ns;  // last data reply, or the first send: a window lost is refilled after 200 ms
    uint8_t open[std::max(SDWAN_OPEN_MAX, SEALED_OVERHEAD + SEALED_AUTH_MAX)];  // OPEN, SINIT or AUTH
    uint32_t openlen;
};

// The sealed client's state beside client_t, only allocated in the sealed mode.
struct sealc_t {
    noise_handshake hs;
    noise_cipher send, recv;
    uint32_t local, remote;  // our sender index, the peer's
};

// A fresh SINIT for client i: a new handshake and a new index (retries start over, as tolvad does).
uint32_t sealed_sinit(const opts_t &o, sealc_t &sc, uint32_t i, uint8_t *out)
{
    sinit_msg_t m{};
    sc.local = (i + 1) | (static_cast<uint32_t>(now_ns()) << 20);
    m.sender = sc.local;
    static aead_ctx_t ax{};  // the load's clients share one process, as one daemon's sessions do
    static const int opened = aead_open(&ax);
    (void)opened;
    if (noise_handshake_init(&sc.hs, &ax, noise_pattern::NK, true, SEALED_PROLOGUE, nullptr, o.peerkey) != 0 ||
        noise_handshake_write(&sc.hs, {}, m.noise) != static_cast<int>(SEALED_HS_LEN))
        return 0;
    return sinit_encode(m, {out, SEALED_SINIT_LEN});
}

// One SDATA of kind and body under the client's send cipher.
uint32_t sealed_pkt(sealc_t &sc, sealed_kind kind, const uint8_t *body, uint32_t blen, uint8_t *out, uint32_t cap)
{
    sdata_encode({SDWAN_SDATA, 0, 0, sc.remote, sc.send.n}, {out, SEALED_HDR_LEN});
    out[SEALED_HDR_LEN] = static_cast<uint8_t>(kind);
    if (blen != 0)
        memcpy(out + SEALED_HDR_LEN + 1, body, blen);
    const int n = noise_encrypt(&sc.send, {out, SEALED_HDR_LEN}, {out + SEALED_HDR_LEN, blen + 1},
                                {out + SEALED_HDR_LEN, cap - SEALED_HDR_LEN});
    return n < 0 ? 0 : SEALED_HDR_LEN + static_cast<uint32_t>(n);
}

uint32_t sealed_auth(sealc_t &sc, const std::string &user, const std::string &pass, uint8_t *out, uint32_t cap)
{
    auth_msg_t m{};
    m.have = OPEN_HAVE_MTU;
    m.mtu = 1400;
    m.userlen = static_cast<uint8_t>(std::min<size_t>(user.size(), SDWAN_USER_MAX));
    memcpy(m.user, user.data(), m.userlen);
    m.passlen = static_cast<uint8_t>(std::min<size_t>(pass.size(), SDWAN_PASS_MAX));
    memcpy(m.pass, pass.data(), m.passlen);
    uint8_t body[SEALED_AUTH_MAX];
    const uint32_t blen = auth_encode(m, body);
    return blen == 0 ? 0 : sealed_pkt(sc, sealed_kind::auth, body, blen, out, cap);
}

// The kind and body of an SDATA for this client, or -1 when it does not open.
int sealed_open(sealc_t &sc, uint8_t *buf, uint32_t len, uint32_t *blen)
{
    sdata_hdr_t h;
    if (sdata_decode({buf, len}, &h) != 0 || h.receiver != sc.local)
        return -1;
    const int n = noise_decrypt_at(&sc.recv, h.counter, {buf, SEALED_HDR_LEN},
                                   {buf + SEALED_HDR_LEN, len - SEALED_HDR_LEN}, {buf + SEALED_HDR_LEN, len});
    if (n < 1)
        return -1;
    *blen = static_cast<uint32_t>(n - 1);
    return buf[SEALED_HDR_LEN];
}

int run_sessions(const opts_t &o)
{
    const int n = o.clients;
    raise_nofile(n + 64);
    std::vector<client_t> cl(static_cast<size_t>(n));
    std::vector<sealc_t> sc(o.sealed ? static_cast<size_t>(n) : 0);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    const uint32_t base = ntohl(o.bind);
    for (int i = 0; i < n; i++) {
        client_t &c = cl[static_cast<size_t>(i)];
        memset(&c, 0, sizeof c);
        const uint32_t src = o.bind != 0 ? htonl(base + static_cast<uint32_t>(i % o.sources)) : 0;
        c.fd = udp_socket(src, o, true);
        if (c.fd < 0) {
            fprintf(stderr, "sdwan-load: socket %d: %s\n", i, strerror(errno));
            return 1;
        }
        if (!o.sealed)
            c.openlen = build_open(o.user + std::to_string(i), o.pass + std::to_string(i), c.open);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
    }
    const long rss_idle = proc_rss_kb(o.pid);
    std::vector<uint64_t> hs_lat, echo_rtt;
    hs_lat.reserve(static_cast<size_t>(n));
    const uint64_t t0 = now_ns();
    const uint64_t ticks_hs0 = proc_ticks(o.pid);
    const uint64_t end = t0 + static_cast<uint64_t>(o.seconds * 1e9);
    uint64_t t_hs_done = 0, t_echo0 = 0, ticks_echo0 = 0, data_replies = 0, data_sent = 0, echo_sent = 0;
    uint64_t data_t0 = 0;
    int next_open = 0, inflight = 0, established = 0, failed = 0, rejected = 0;
    uint8_t buf[SDWAN_PKTBUF];
    std::vector<epoll_event> evs(1024);
    long rss_sessions = 0;
    double cpu_hs = 0;  // the server's CPU share while the handshakes ran
    while (now_ns() < end) {
        const uint64_t t = now_ns();
        // Handshakes: a window of OPENs in flight; unanswered ones are sent again after 1 s.
        while (inflight < o.window && next_open < n) {
            const uint32_t i = static_cast<uint32_t>(next_open++);
            client_t &c = cl[i];
            if (o.sealed)
                c.openlen = sealed_sinit(o, sc[i], i, c.open);
            send(c.fd, c.open, c.openlen, 0);
            c.state = 1;
            c.tries = 1;
            c.sent_ns = c.next_ns = t;
            inflight++;
        }
        for (size_t i = 0; i < cl.size(); i++) {
            client_t &c = cl[i];
            if ((c.state == 1 || c.state == 4) && t - c.next_ns > 1000000000ull) {
                if (c.tries >= 5) {
                    c.state = 3;
                    inflight--;
                    failed++;
                    continue;
                }
                if (o.sealed) {
                    // A lost SRESP or AUTHACK: the handshake starts over, as tolvad's does.
                    c.openlen = sealed_sinit(o, sc[i], static_cast<uint32_t>(i), c.open);
                    c.state = 1;
                }
                send(c.fd, c.open, c.openlen, 0);
                c.tries++;
                c.next_ns = t;
            } else if (c.state == 2 && t >= c.next_ns && o.sealed) {
                uint8_t body[SDWAN_ECHOBODY_LEN] = {};
                memcpy(body, &t, 8);
                const uint32_t len = sealed_pkt(sc[i], sealed_kind::echoreq, body, sizeof body, buf, sizeof buf);
                if (len != 0)
                    send(c.fd, buf, len, 0);
                echo_sent++;
                c.next_ns = t + 2000000000ull;
            } else if (c.state == 2 && t >= c.next_ns) {
                // ECHOREQ: header, signature, the tick (our send time), three delay words.
                sdwan_pkthdr_t h{SDWAN_ECHOREQ, 0, c.sid, c.token};
                sdwan_hdr_store(buf, &h);
                uint8_t *body = sdwan_pktsign(buf);
                memcpy(body, &t, 8);
                memset(body + 8, 0, 12);
                send(c.fd, buf, SDWAN_ECHO_LEN, 0);
                echo_sent++;
                c.next_ns = t + 2000000000ull;
            }
        }
        if (t_hs_done != 0 && o.data > 0) {
            // Data clients keep their window of pings to their gateway full.
            if (data_t0 == 0)
                data_t0 = t;
            // The last clients: with several /24s they sit in the last one, behind its own gateway.
            for (int i = std::max(0, n - o.data); i < n; i++) {
                client_t &c = cl[static_cast<size_t>(i)];
                if (c.data_ns == 0)
                    c.data_ns = t;
                if (t - c.data_ns > 200000000ull) {
                    c.ping_out = 0;
                    c.data_ns = t;
                }
                while (c.state == 2 && c.ping_out < static_cast<uint32_t>(o.inflight)) {
                    uint32_t len = build_ping(c.sid, c.token, c.addr, c.gw, static_cast<uint16_t>(i), c.seq++, o.payload, buf);
                    if (send(c.fd, buf, len, 0) < 0)
                        break;
                    c.ping_out++;
                    data_sent++;
                }
            }
        }
        int k = epoll_wait(ep, evs.data(), static_cast<int>(evs.size()), 10);
        const uint64_t tr = now_ns();
        for (int e = 0; e < k; e++) {
            const uint32_t ci = evs[static_cast<size_t>(e)].data.u32;
            client_t &c = cl[ci];
            for (;;) {
                ssize_t r = recv(c.fd, buf, sizeof buf, 0);
                if (r < static_cast<ssize_t>(SDWAN_HDR_LEN))
                    break;
                const uint8_t type = buf[0];
                if (o.sealed) {
                    sealc_t &s = sc[ci];
                    sresp_msg_t m;
                    uint32_t blen = 0;
                    if (type == SDWAN_SRESP && c.state == 1 && sresp_decode({buf, static_cast<size_t>(r)}, &m) == 0 &&
                        m.receiver == s.local) {
                        uint8_t none[1];
                        if (noise_handshake_read(&s.hs, {m.noise, SEALED_HS_LEN}, {none, 0}) != 0 ||
                            noise_handshake_split(&s.hs, &s.send, &s.recv) != 0)
                            continue;
                        noise_handshake_clear(&s.hs);
                        s.remote = m.sender;
                        c.openlen = sealed_auth(s, o.user + std::to_string(ci), o.pass + std::to_string(ci), c.open,
                                                sizeof c.open);
                        send(c.fd, c.open, c.openlen, 0);
                        c.state = 4;
                    } else if (type == SDWAN_SDATA && (c.state == 2 || c.state == 4)) {
                        const int kind = sealed_open(s, buf, static_cast<uint32_t>(r), &blen);
                        if (kind == static_cast<int>(sealed_kind::authack) && c.state == 4) {
                            c.state = 2;
                            hs_lat.push_back(tr - c.sent_ns);
                            c.next_ns = tr + static_cast<uint64_t>(established % 2000) * 1000000ull;
                            inflight--;
                            established++;
                        } else if (kind == static_cast<int>(sealed_kind::authrej) && c.state == 4) {
                            c.state = 3;
                            inflight--;
                            rejected++;
                        } else if (kind == static_cast<int>(sealed_kind::echoresp) && blen >= 8) {
                            uint64_t tick;
                            memcpy(&tick, buf + SEALED_HDR_LEN + 1, 8);
                            echo_rtt.push_back(tr - tick);
                        }
                    }
                    continue;
                }
                if (type == SDWAN_OPENACK && c.state == 1 && r >= 40) {
                    memcpy(&c.sid, buf + 2, 2);
                    memcpy(&c.token, buf + 4, 4);
                    memcpy(&c.addr, buf + 26, 4);
                    memcpy(&c.gw, buf + 32, 4);
                    c.state = 2;
                    hs_lat.push_back(tr - c.sent_ns);
                    // Echoes spread over the 2 s interval instead of all at once.
                    c.next_ns = tr + static_cast<uint64_t>(established % 2000) * 1000000ull;
                    inflight--;
                    established++;
                } else if (type == SDWAN_OPENREJ && c.state == 1) {
                    c.state = 3;
                    inflight--;
                    rejected++;
                } else if (type == SDWAN_ECHORESP && r >= 32) {
                    uint64_t tick;
                    memcpy(&tick, buf + 24, 8);
                    echo_rtt.push_back(tr - tick);
                } else if (type == SDWAN_DATA) {
                    if (c.ping_out > 0)
                        c.ping_out--;
                    c.data_ns = tr;
                    data_replies++;
                }
            }
        }
        if (t_hs_done == 0 && established + failed + rejected == n) {
            t_hs_done = now_ns();
            rss_sessions = proc_rss_kb(o.pid);
            t_echo0 = t_hs_done;
            ticks_echo0 = proc_ticks(o.pid);
            cpu_hs = 100.0 * static_cast<double>(ticks_echo0 - ticks_hs0) / static_cast<double>(sysconf(_SC_CLK_TCK)) /
                     (static_cast<double>(t_hs_done - t0) / 1e9);
        }
    }
    const uint64_t t_end = now_ns();
    const uint64_t ticks_end = proc_ticks(o.pid);
    if (rss_sessions == 0)
        rss_sessions = proc_rss_kb(o.pid);
    const double hs_sec = t_hs_done != 0 ? static_cast<double>(t_hs_done - t0) / 1e9 : 0;
    const double phase = t_echo0 != 0 ? static_cast<double>(t_end - t_echo0) / 1e9 : 0;
    const double cpu = phase > 0 ? 100.0 * static_cast<double>(ticks_end - ticks_echo0) /
                                       static_cast<double>(sysconf(_SC_CLK_TCK)) / phase
                                 : 0;
    const double data_sec = data_t0 != 0 ? static_cast<double>(t_end - data_t0) / 1e9 : 0;
    printf("{\"clients\": %d, \"established\": %d, \"rejected\": %d, \"failed\": %d, \"handshake_s\": %.3f, "
           "\"handshakes_per_s\": %.0f, \"hs_p50_ms\": %.2f, \"hs_p90_ms\": %.2f, \"hs_p99_ms\": %.2f, "
           "\"hs_max_ms\": %.2f, \"echo_sent\": %" PRIu64 ", \"echo_answered\": %zu, \"echo_p50_ms\": %.3f, "
           "\"echo_p99_ms\": %.3f, \"data_clients\": %d, \"data_sent\": %" PRIu64 ", \"data_replies\": %" PRIu64
           ", \"data_replies_per_s\": %.0f, \"data_mbit_s\": %.1f, \"server_cpu_pct\": %.1f, \"cpu_phase_s\": %.1f, "
           "\"server_cpu_handshakes_pct\": %.1f, \"sealed\": %s, "
           "\"server_rss_idle_kb\": %ld, \"server_rss_kb\": %ld, \"rss_per_session_b\": %.0f}\n",
           n, established, rejected, failed, hs_sec, hs_sec > 0 ? established / hs_sec : 0, pct(hs_lat, 0.5),
           pct(hs_lat, 0.9), pct(hs_lat, 0.99), pct(hs_lat, 1.0), echo_sent, echo_rtt.size(), pct(echo_rtt, 0.5),
           pct(echo_rtt, 0.99), o.data, data_sent, data_replies, data_sec > 0 ? data_replies / data_sec : 0,
           data_sec > 0 ? data_replies * (28.0 + o.payload) * 8 / data_sec / 1e6 : 0, cpu, phase, cpu_hs,
           o.sealed ? "true" : "false", rss_idle,
           rss_sessions, established > 0 ? (rss_sessions - rss_idle) * 1024.0 / established : 0);
    for (client_t &c : cl)
        close(c.fd);
    close(ep);
    return established == n ? 0 : 3;
}

// The datagrams of one sealed flood kind: a SINIT whose ephemeral key and tag are random (the
// peer pays one X25519 to find the tag wrong), a valid SINIT made once and sent again (the peer
// answers it in full until the pool or the limits stop it), an SDATA shaped like an AUTH to an
// index nobody holds.
std::vector<uint8_t> sealed_flood_pkt(const opts_t &o, const char *kind, int v)
{
    uint8_t b[SEALED_OVERHEAD + SEALED_AUTH_MAX];
    if (strcmp(kind, "sinit-random") == 0) {
        sinit_msg_t m{};
        seal_random(reinterpret_cast<uint8_t *>(&m.sender), sizeof m.sender);
        seal_random(m.noise, sizeof m.noise);
        return {b, b + sinit_encode(m, b)};
    }
    if (strcmp(kind, "sinit-replay") == 0) {
        sealc_t sc{};
        const uint32_t n = sealed_sinit(o, sc, static_cast<uint32_t>(v), b);
        noise_handshake_clear(&sc.hs);
        return {b, b + n};
    }
    // sdata-auth: the header of an SDATA, the length of an AUTH of a short name, random bytes.
    const uint32_t n = SEALED_OVERHEAD + 2 + 6 + 2 + 8 + 4;
    seal_random(b, n);
    sdata_encode({SDWAN_SDATA, 0, 0, static_cast<uint32_t>(v) * 2654435761u | 1, 0}, {b, SEALED_HDR_LEN});
    return {b, b + n};
}

bool sealed_kind_name(const char *k)
{
    return strcmp(k, "sinit-random") == 0 || strcmp(k, "sinit-replay") == 0 || strcmp(k, "sdata-auth") == 0 ||
           strcmp(k, "sealed-mix") == 0;
}

int run_flood(const opts_t &o)
{
    const int nsock = o.sources * o.ports;
    raise_nofile(nsock + 64);
    std::vector<int> fds;
    std::vector<std::vector<uint8_t>> pkts;
    const uint32_t base = ntohl(o.bind);
    for (int s = 0; s < o.sources; s++) {
        for (int k = 0; k < o.ports; k++) {
            int fd = udp_socket(o.bind != 0 ? htonl(base + static_cast<uint32_t>(s)) : 0, o, true);
            if (fd < 0) {
                fprintf(stderr, "sdwan-load: source %d: %s\n", s, strerror(errno));
                return 1;
            }
            fds.push_back(fd);
        }
    }
    // A few distinct datagrams of the chosen kind, sent in turn (the mix: the three sealed kinds).
    static const char *const mix[] = {"sinit-random", "sinit-replay", "sdata-auth"};
    for (int v = 0; v < 48; v++) {
        if (strcmp(o.kind, "sealed-mix") == 0) {
            pkts.push_back(sealed_flood_pkt(o, mix[v % 3], v));
            continue;
        }
        if (sealed_kind_name(o.kind)) {
            pkts.push_back(sealed_flood_pkt(o, o.kind, v));
            continue;
        }
        uint8_t b[SDWAN_OPEN_MAX];
        uint32_t len;
        if (strcmp(o.kind, "replay") == 0)
            len = build_open(o.user, o.pass, b);
        else if (strcmp(o.kind, "password") == 0)
            len = build_open(o.user, "wrong-" + std::to_string(v), b);
        else
            len = build_open("nobody-" + std::to_string(v), "x", b);
        if (strcmp(o.kind, "badsig") == 0)
            b[10] ^= 0x55;
        pkts.emplace_back(b, b + len);
    }
    // Batches of up to 16 datagrams per system call, each batch from the next socket in turn, so
    // that every source keeps its share of the rate.
    constexpr unsigned BATCH = 16;
    mmsghdr msgs[BATCH];
    iovec iov[BATCH];
    const uint64_t t0 = now_ns();
    const uint64_t end = t0 + static_cast<uint64_t>(o.seconds * 1e9);
    uint64_t sent = 0, refused = 0, answers = 0, calls = 0;
    size_t next = 0;
    uint8_t rbuf[256];
    for (uint64_t t = t0; t < end; t = now_ns()) {
        const uint64_t due = static_cast<uint64_t>(static_cast<double>(t - t0) / 1e9 * o.rate);
        while (sent + refused < due) {
            const unsigned nb = static_cast<unsigned>(std::min<uint64_t>(BATCH, due - sent - refused));
            for (unsigned j = 0; j < nb; j++) {
                const std::vector<uint8_t> &p = pkts[(sent + refused + j) % pkts.size()];
                iov[j] = {const_cast<uint8_t *>(p.data()), p.size()};
                msgs[j] = {};
                msgs[j].msg_hdr.msg_iov = &iov[j];
                msgs[j].msg_hdr.msg_iovlen = 1;
            }
            const int r = sendmmsg(fds[next], msgs, nb, 0);
            calls++;
            const unsigned ok = r > 0 ? static_cast<unsigned>(r) : 0;
            sent += ok;
            refused += nb - ok;  // a full socket buffer: counted, not retried
            next = (next + 1) % fds.size();
        }
        for (int fd : fds)
            while (recv(fd, rbuf, sizeof rbuf, 0) > 0)
                answers++;
        usleep(1000);
    }
    const double secs = static_cast<double>(now_ns() - t0) / 1e9;
    printf("{\"kind\": \"%s\", \"sources\": %d, \"ports\": %d, \"seconds\": %.1f, \"sent\": %" PRIu64
           ", \"refused\": %" PRIu64 ", \"answers\": %" PRIu64 ", \"rate\": %.0f, \"syscalls\": %" PRIu64 "}\n",
           o.kind, o.sources, o.ports, secs, sent, refused, answers, static_cast<double>(sent) / secs, calls);
    for (int fd : fds)
        close(fd);
    return 0;
}

void usage()
{
    fputs("Usage: sdwan-load sessions|flood --server A.B.C.D [--port P] [--bind A.B.C.D] [--seconds S]\n"
          "  sessions: [--clients N] [--window W] [--data N] [--inflight K] [--payload BYTES]\n"
          "            [--user PREFIX] [--pass PREFIX] [--pid SERVER_PID]\n"
          "            [--sealed PEER_PUBLIC_KEY] [--bind A.B.C.D --sources N]\n"
          "            (client i is user PREFIX<i> with password PREFIX<i>, from source i mod N)\n"
          "  flood:    [--kind unknown|password|badsig|replay|sinit-random|sinit-replay|sdata-auth|sealed-mix]\n"
          "            [--rate PER_S] [--sources N] [--ports N] [--sealed PEER_PUBLIC_KEY]\n"
          "            [--user NAME] [--pass PASSWORD] (replay and password kinds)\n",
          stderr);
}

}  // namespace

int main(int argc, char **argv)
{
    opts_t o;
    static const option longopts[] = {
        {"server", 1, nullptr, 's'},  {"port", 1, nullptr, 'p'},    {"bind", 1, nullptr, 'b'},
        {"clients", 1, nullptr, 'n'}, {"sources", 1, nullptr, 'S'}, {"ports", 1, nullptr, 'P'},
        {"seconds", 1, nullptr, 't'}, {"rate", 1, nullptr, 'r'},    {"window", 1, nullptr, 'w'},
        {"data", 1, nullptr, 'd'},    {"inflight", 1, nullptr, 'i'}, {"payload", 1, nullptr, 'L'},
        {"kind", 1, nullptr, 'k'},    {"user", 1, nullptr, 'u'},    {"pass", 1, nullptr, 'x'},
        {"pid", 1, nullptr, 'z'},     {"sealed", 1, nullptr, 'K'},  {nullptr, 0, nullptr, 0},
    };
    if (argc < 2) {
        usage();
        return 2;
    }
    o.mode = argv[1];
    optind = 2;
    int c;
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        switch (c) {
        case 's': o.server = inet_addr(optarg); break;
        case 'p': o.port = static_cast<uint16_t>(atoi(optarg)); break;
        case 'b': o.bind = inet_addr(optarg); break;
        case 'n': o.clients = atoi(optarg); break;
        case 'S': o.sources = atoi(optarg); break;
        case 'P': o.ports = atoi(optarg); break;
        case 't': o.seconds = atof(optarg); break;
        case 'r': o.rate = atof(optarg); break;
        case 'w': o.window = atoi(optarg); break;
        case 'd': o.data = atoi(optarg); break;
        case 'i': o.inflight = atoi(optarg); break;
        case 'L': o.payload = std::clamp(atoi(optarg), 0, 1400); break;
        case 'k': o.kind = optarg; break;
        case 'u': o.user = optarg; break;
        case 'x': o.pass = optarg; break;
        case 'z': o.pid = atoi(optarg); break;
        case 'K':
            if (key_parse(optarg, o.peerkey) != 0) {
                fputs("sdwan-load: --sealed takes the peer's public key, 44 characters of base64\n", stderr);
                return 2;
            }
            o.sealed = true;
            break;
        default: usage(); return 2;
        }
    }
    // Bounded whatever the command line says: at most a minute, 60000 clients, 200 000 per second.
    o.seconds = std::clamp(o.seconds, 0.1, 60.0);
    o.clients = std::clamp(o.clients, 1, 60000);
    o.sources = std::clamp(o.sources, 1, 1024);
    o.ports = std::clamp(o.ports, 1, 256);
    o.rate = std::clamp(o.rate, 1.0, 200000.0);
    o.window = std::max(o.window, 1);
    if (o.server == 0 || o.server == INADDR_NONE) {
        usage();
        return 2;
    }
    if (o.data > 0 && o.sealed) {
        fputs("sdwan-load: --data is for the legacy session only\n", stderr);
        return 2;
    }
    if ((strcmp(o.kind, "sinit-replay") == 0 || strcmp(o.kind, "sealed-mix") == 0) && !o.sealed) {
        fputs("sdwan-load: --kind sinit-replay and sealed-mix need --sealed KEY\n", stderr);
        return 2;
    }
    if (seal_init() != 0) {
        fputs("sdwan-load: libsodium cannot start\n", stderr);
        return 1;
    }
    if (sdwan_aes_init(&s_rec) != 0) {
        fputs("sdwan-load: AES-128 is not available\n", stderr);
        return 1;
    }
    if (strcmp(o.mode, "sessions") == 0)
        return run_sessions(o);
    if (strcmp(o.mode, "flood") == 0)
        return run_flood(o);
    usage();
    return 2;
}
