#!/usr/bin/env bash
# How long a TCP stream through the tunnel stalls when the active uplink is lost, how long the best
# policy takes to leave a path that slowed, and what probing three uplinks costs an idle client.
#
#   the gaps: tests/e2e/failover.sh run N times (sealed and legacy, link down and drop; the
#             receiver's longest stretch of 0.1 s intervals with no data), the median of N each;
#   the move: tests/e2e/pathbest.sh run N times (c0 slowed from 20 to 120 ms each way, the time
#             until "path c1 chosen"), the median;
#   the probes: an idle sealed session with uplinks=c0,c1,c2 at the default probe interval, tolvad's
#             utime + stime (/proc/PID/stat) over 30 s as percent of one core, against the same
#             session without uplinks= (one path, no probes).
#
# Every scenario runs in network namespaces of its own (tests/e2e/lib.sh), joined by veth pairs to
# each other and to nothing else, and removed with everything started in them on exit.
#
#   bench/failover.sh [-n RUNS] [-t SECONDS] [-b BUILDDIR] [-o DIR]
#
#   -n   runs of each scenario for the medians (default 3)
#   -t   seconds of each idle CPU measurement (default 30)
#   -b   build directory (default build/dev); TOLVAD, PEERD, TOLVACTL in the environment override
#   -o   where bench-failover.md and bench-failover.tsv go, and whose bench.md gets the section
#        "Failover" (default docs/ of the repository)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"

# The idle measurement, run as a child of this script: lib.sh owns its namespaces and clean-up.
if [ "${1:-}" = --idle ]; then
    secs="$2" uplinks="$3"
    . "$top/tests/e2e/lib.sh"
    e2e_topology
    e2e_two_uplinks
    veth "$NS_CLI" c2 10.98.0.2/24 "$NS_RTR" r4 10.98.0.1/24
    ip -n "$NS_CLI" route add default via 10.98.0.1 dev c2 metric 300
    KEY=$("$TOLVACTL" genkey "$E2E_DIR/peer.key")
    peer_config "$E2E_DIR/peer.conf" "privatekey=$E2E_DIR/peer.key"
    client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "peerkey=$KEY" "datalog=0" \
        "status=$E2E_DIR/status.prom" ${uplinks:+"uplinks=$uplinks"}
    start_peer "$E2E_DIR/peer.conf"
    start_client "$E2E_DIR/tolvad.conf"
    wait_established 15
    if [ -n "$uplinks" ]; then
        for p in ${uplinks//,/ }; do
            wait_for 10 "path $p up" grep -qxF "tolvad_path_state{interface=\"tolv0\",path=\"$p\",state=\"up\"} 1" \
                "$E2E_DIR/status.prom"
        done
    fi
    sleep 2  # past the start's own work
    hz=$(getconf CLK_TCK) t0=$(date +%s%N) c0=$(proc_cpu_ticks "$CLIENT_PID")
    sleep "$secs"
    t1=$(date +%s%N) c1=$(proc_cpu_ticks "$CLIENT_PID")
    proc_alive "$CLIENT_PID" || fail "tolvad ended during the measurement"
    awk -v c=$((c1 - c0)) -v hz="$hz" -v ns=$((t1 - t0)) 'BEGIN { printf "%.3f\n", c * 100 / hz / (ns / 1e9) }' >&3
    exit 0
fi

RUNS=3 T=30 BUILD="$top/build/dev" OUT="$top/docs"
while [ $# -gt 0 ]; do
    case "$1" in
    -n) RUNS="$2"; shift 2 ;;
    -t) T="$2"; shift 2 ;;
    -b) BUILD="$2"; shift 2 ;;
    -o) OUT="$2"; shift 2 ;;
    -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
for v in "$RUNS" "$T"; do
    case "$v" in ''|*[!0-9]*) echo "-n and -t take whole numbers" >&2; exit 2 ;; esac
done
[ "$RUNS" -ge 1 ] && [ "$RUNS" -le 9 ] || { echo "-n must be 1 to 9" >&2; exit 2; }
[ "$T" -ge 5 ] && [ "$T" -le 300 ] || { echo "-t must be 5 to 300 seconds" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "bench/failover.sh: needs root for its namespaces" >&2; exit 1; }
export TOLVAD="${TOLVAD:-$BUILD/src/tolvad}" PEERD="${PEERD:-$BUILD/peer/sdwan-peerd}"
export TOLVACTL="${TOLVACTL:-$BUILD/src/tolvactl}"
for b in "$TOLVAD" "$PEERD" "$TOLVACTL"; do
    [ -x "$b" ] || { echo "bench/failover.sh: $b is not built (cmake --build --preset dev)" >&2; exit 1; }
done
for t in nft iperf3 python3; do command -v "$t" >/dev/null || { echo "bench/failover.sh: $t is needed" >&2; exit 1; }; done

DIR=$(mktemp -d /tmp/failover-bench.XXXXXX)
trap 'rm -rf "$DIR"' EXIT
log() { printf '[%s] %s\n' "$(date +%T)" "$*" >&2; }
started=$(date +%s)
misses() {  # misses KIND OUTPUT: each check a run missed, not the closing count of them
    grep '^\[[0-9:]*\] FAIL: ' "$2" | grep -v 'checks missed (above)$' |
        sed "s/^\[[^]]*\] FAIL: /$1\t/" >>"$DIR/failed.tsv" || true
}
: >"$DIR/figures.tsv"
: >"$DIR/failed.tsv"

for i in $(seq "$RUNS"); do
    log "failover, run $i of $RUNS"
    FAILOVER_FIGURES="$DIR/gaps.tsv" bash "$top/tests/e2e/failover.sh" >"$DIR/failover-$i.out" 2>&1 ||
        misses failover "$DIR/failover-$i.out"
    log "pathbest, run $i of $RUNS"
    PATHBEST_FIGURES="$DIR/moves.tsv" bash "$top/tests/e2e/pathbest.sh" >"$DIR/pathbest-$i.out" 2>&1 ||
        misses pathbest "$DIR/pathbest-$i.out"
done
[ -f "$DIR/gaps.tsv" ] && cat "$DIR/gaps.tsv" | sed 's/^/gap\t/' >>"$DIR/figures.tsv"
[ -f "$DIR/moves.tsv" ] && cat "$DIR/moves.tsv" | sed 's/^/move\t\t/' >>"$DIR/figures.tsv"
for u in "" c0,c1,c2; do
    log "idle ${T} s, uplinks=${u:-(none)}"
    if v=$(bash "$0" --idle "$T" "$u" 3>&1 >"$DIR/idle.out" 2>&1); then
        printf 'idle\t%s\t\t%s\n' "${u:-none}" "$v" >>"$DIR/figures.tsv"
    else
        printf 'idle\t%s\n' "uplinks=${u:-none}: $(grep -m1 'FAIL:' "$DIR/idle.out" | sed 's/^\[[^]]*\] FAIL: //')" >>"$DIR/failed.tsv"
    fi
done

python3 "$top/bench/failover_report.py" --figures "$DIR/figures.tsv" --failed "$DIR/failed.tsv" --out "$OUT" \
    --runs "$RUNS" --idle-seconds "$T" --took $(( $(date +%s) - started ))
