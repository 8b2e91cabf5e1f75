// The server's once-a-second status file with a full table: 10 000 live sessions, formatted into
// memory alone and written to a file (a fresh name, then the rename), so the tick's cost at scale
// is a figure rather than a guess. Run by hand: build/dev/bench/bench_peer_status.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "core/event.h"
#include "peer/peer.h"

namespace {

constexpr uint32_t SESSIONS = 10000;

peer_t g_peer;
char g_dir[] = "/tmp/peer-status-bench-XXXXXX";

// sessions= users, each with a live session from its own port, and some traffic counted.
bool fill(peer_t *p)
{
    std::string cfg = "[sdwb0]\nport=4500\npool=10.8.0.0/18\nsessions=" + std::to_string(SESSIONS) + "\n";
    for (uint32_t i = 0; i < SESSIONS; i++)
        cfg += "user=branch-" + std::to_string(i) + ":pw-" + std::to_string(i) + "\n";
    FILE *fp = fmemopen(cfg.data(), cfg.size(), "r");
    char err[PEER_ERRLEN];
    if (fp == nullptr || peer_cfg_read(fp, &p->cfg, err, sizeof err) != 0 || peer_setup(p) != 0)
        return false;
    fclose(fp);
    p->now = static_cast<uint32_t>(os_monosec());
    p->start_time = os_cursec();
    for (uint32_t i = 0; i < SESSIONS; i++) {
        const int user = static_cast<int>(i);
        peer_sess_t *s = peer_sess_new(p, 0x0100000Au + (i << 8), static_cast<uint16_t>(20000 + i % 40000), user,
                                       peer_addr_pick(p, user));
        if (s == nullptr)
            return false;
        s->rxpkts = s->txpkts = 123456789ull + i;
        s->rxbytes = s->txbytes = 98765432101ull + i;
    }
    return p->live == SESSIONS;
}

void BM_status_format(benchmark::State &st)
{
    static char buf[4 << 20];
    size_t n = 0;
    for (auto _ : st) {
        n = peer_status_format(&g_peer, os_cursec(), buf, sizeof buf);
        benchmark::DoNotOptimize(n);
    }
    st.counters["bytes"] = static_cast<double>(n);
}

void BM_status_write(benchmark::State &st)
{
    for (auto _ : st)
        if (peer_status_write(&g_peer) != 0)
            st.SkipWithError("write failed");
}

BENCHMARK(BM_status_format)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_status_write)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv)
{
    if (mkdtemp(g_dir) == nullptr || !fill(&g_peer)) {
        fputs("bench_peer_status: cannot set up 10 000 sessions\n", stderr);
        return 1;
    }
    snprintf(g_peer.cfg.status, sizeof g_peer.cfg.status, "%s/status", g_dir);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    peer_status_remove(&g_peer);
    rmdir(g_dir);
    peer_teardown(&g_peer);
    return 0;
}
