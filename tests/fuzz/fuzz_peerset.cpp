#include "fuzz_peerset.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "net/ipaddr.h"
#include "proto/packet.h"

namespace {
int s_sinks[FUZZ_PEER_SOURCES] = {-1, -1, -1};
uint16_t s_ports[FUZZ_PEER_SOURCES] = {};

bool is_control(uint8_t t)
{
    return t == SDWAN_OPENACK || t == SDWAN_OPENREJ || t == SDWAN_ECHORESP || t == SDWAN_CLOSE;
}
}  // namespace

peer_t fuzz_peer;

void fuzz_peer_config(peer_cfg_t *cfg, const char *extra)
{
    std::string text = "[sdwt0]\nport=4500\npool=10.8.0.0\nmtu=1400\nencrypt=1\ndns=9.9.9.9,1.1.1.1\n";
    text += std::string("user=") + FUZZ_PEER_USERS[0][0] + ":" + FUZZ_PEER_USERS[0][1] + "\n";
    text += std::string("user=") + FUZZ_PEER_USERS[1][0] + ":" + FUZZ_PEER_USERS[1][1] + ":10.8.0.50\n";
    text += std::string("user=") + FUZZ_PEER_USERS[2][0] + ":" + FUZZ_PEER_USERS[2][1] + "\n";
    text += extra;
    FILE *fp = fmemopen(text.data(), text.size(), "r");
    char err[PEER_ERRLEN] = "";
    FUZZ_CHECK(fp != nullptr);
    if (peer_cfg_read(fp, cfg, err, sizeof err) != 0) {
        std::fprintf(stderr, "fuzz: peer configuration refused: %s\n", err);
        std::abort();
    }
    fclose(fp);
    FUZZ_CHECK(cfg->nusers == FUZZ_PEER_NUSERS);
}

void fuzz_peer_init(const char *extra)
{
    fuzz_enter_netns();
    fuzz_quiet_log();
    fuzz_fixed_clock();

    fuzz_peer_config(&fuzz_peer.cfg, extra);

    fuzz_peer.udpfd = peer_udp_open(fuzz_loopback(), 0);
    fuzz_peer.tunfd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    FUZZ_CHECK(fuzz_peer.udpfd >= 0 && fuzz_peer.tunfd >= 0);
    for (int i = 0; i < FUZZ_PEER_SOURCES; i++)
        s_sinks[i] = fuzz_sink(&s_ports[i]);
    FUZZ_CHECK(peer_setup(&fuzz_peer) == 0);
}

void fuzz_peer_source(int i, uint32_t *ipbe, uint16_t *port)
{
    *ipbe = fuzz_loopback();
    *port = s_ports[i];
}

void fuzz_peer_reset()
{
    peer_t *p = &fuzz_peer;
    FUZZ_CHECK(peer_setup(p) == 0);
    p->now = static_cast<uint32_t>(FUZZ_NOW_MONO_SEC);
    // alice and bob in session, each from a source of its own; sid and token fixed instead of
    // the random ones, so an input means the same thing every run.
    for (int i = 0; i < 2; i++) {
        uint32_t ipbe;
        uint16_t port;
        fuzz_peer_source(i, &ipbe, &port);
        const uint32_t addr = peer_addr_pick(p, i);
        FUZZ_CHECK(addr != 0);
        peer_sess_t *s = peer_sess_new(p, ipbe, port, i, addr);
        FUZZ_CHECK(s != nullptr);
        // The id map follows the fixed id.
        p->sidmap[s->sid >> 3] = static_cast<uint8_t>(p->sidmap[s->sid >> 3] & ~(1u << (s->sid & 7)));
        s->sid = FUZZ_PEER_SID[i];
        p->sidmap[s->sid >> 3] = static_cast<uint8_t>(p->sidmap[s->sid >> 3] | (1u << (s->sid & 7)));
        s->token = FUZZ_PEER_TOKEN[i];
        s->encrypt = i == 0 ? 1 : 0;
    }
}

uint64_t fuzz_peer_outcomes(const peer_stats_t &st)
{
    return st.drop_short + st.drop_trunc + st.drop_sig + st.drop_malformed + st.drop_type + st.drop_nosess +
           st.drop_token + st.drop_badip + st.tun_tx + st.tun_txerr + st.open_ok + st.open_again + st.open_rej +
           st.echo;
}

void fuzz_peer_check()
{
    peer_t *p = &fuzz_peer;
    FUZZ_CHECK(p->ntx >= 0 && p->ntx <= PEER_TX_BATCH);
    for (int i = 0; i < p->ntx; i++) {
        const peer_txslot_t &t = p->tx[i];
        FUZZ_CHECK(t.len >= SDWAN_HDR_LEN && t.len <= SDWAN_PKTBUF);
        if (is_control(t.buf[0]))
            FUZZ_CHECK(sdwan_pktverify(t.buf, t.len) == 1);
    }

    // Every live session is found from each of its indexes, and each index names one session:
    // so no two live sessions share a user, a client socket, an address or a sid.
    uint32_t live = 0;
    for (uint32_t i = 0; i < p->nsess; i++) {
        const peer_sess_t &s = p->sess[i];
        if (!s.live)
            continue;
        live++;
        FUZZ_CHECK(peer_sess_find(p, s.ipbe, s.port) == &s);
        FUZZ_CHECK(peer_sess_by_addr(p, s.addr) == &s);
        FUZZ_CHECK(s.user < static_cast<uint32_t>(p->cfg.nusers) && p->cfg.users[s.user].sess == i);
        FUZZ_CHECK(s.sid != 0 && s.token != 0 && (p->sidmap[s.sid >> 3] & (1u << (s.sid & 7))) != 0);
        const uint8_t host = peer_hostpart(s.addr);
        FUZZ_CHECK(host >= 2 && host <= 254);
    }
    uint32_t sids = 0;
    for (uint8_t b : p->sidmap)
        sids += static_cast<uint32_t>(__builtin_popcount(b));
    FUZZ_CHECK(sids == live);
    for (uint32_t off = 0; off < p->naddr; off++) {
        const uint32_t i = p->byaddr[off];
        if (i != PEER_NONE)
            FUZZ_CHECK(i < p->nsess && p->sess[i].live && peer_pool_off(&p->cfg, p->sess[i].addr) == off);
    }
    FUZZ_CHECK(live == p->live && live <= p->nsess);

    peer_tx_flush(p);
    FUZZ_CHECK(p->ntx == 0);
    fuzz_fd_check();
}
