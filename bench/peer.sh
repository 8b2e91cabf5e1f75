#!/usr/bin/env bash
# sdwan-peerd as a concentrator: 10 000 sessions from the load generator, then data through
# the server with 1 and with 100 active clients. Two network namespaces joined by one veth pair
# and to nothing else; everything started here is stopped by PID and the namespaces are removed
# on exit. Every run of the generator is bounded in time. The result is a JSON line per phase on
# standard output (and in DIR/bench-peer.json with -o DIR; bench-peer-sealed.json with --sealed).
#
#   bench/peer.sh [-n SESSIONS] [-t SECONDS] [-b BUILDDIR] [-o DIR] [--log-on-disk] [--no-offload]
#                 [--sealed]
#
#   -n   sessions (default 10000)
#   -t   seconds of the echo phase after the handshakes (default 20)
#   -b   build directory (default build/dev)
#   --log-on-disk  the server's log in /tmp instead of /dev/shm: every session's accept line is
#                  synced, so the handshake rate becomes the disk's rate of fsync
#   --no-offload   the server with offload=0: one system call per datagram, for comparison
#   --sealed       the sealed session: a key pair from tolvactl genkey in the run's directory, every
#                  client a Noise NK initiator with its AUTH, from 250 source addresses (the
#                  server's limits are its own: 20 handshakes a second per source, 5000 in all);
#                  the sessions phase only (the data phases are the legacy session's)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
N=10000 T=20 BUILD="$top/build/dev" OUT="" LOGDIR=/dev/shm OFFLOAD=1 SEALED=0
while [ $# -gt 0 ]; do
    case "$1" in
    -n) N="$2"; shift 2 ;;
    -t) T="$2"; shift 2 ;;
    -b) BUILD="$2"; shift 2 ;;
    -o) OUT="$2"; shift 2 ;;
    --log-on-disk) LOGDIR=/tmp; shift ;;
    --no-offload) OFFLOAD=0; shift ;;
    --sealed) SEALED=1; shift ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
PEERD="${PEERD:-$BUILD/peer/sdwan-peerd}"
LOAD="${LOADGEN:-$BUILD/bench/sdwan-load}"
TOLVACTL="${TOLVACTL:-$BUILD/src/tolvactl}"
[ "$(id -u)" -eq 0 ] || { echo "bench/peer.sh: needs root for its namespaces" >&2; exit 1; }

ID=$$
NS_L="pbl-$ID" NS_P="pbp-$ID"
DIR=$(mktemp -d "$LOGDIR/peer-bench.XXXXXX")
PIDS=()
cleanup() {
    set +e
    for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
    ip netns del "$NS_L" 2>/dev/null
    ip netns del "$NS_P" 2>/dev/null
    rm -rf "$DIR"
}
trap cleanup EXIT
ip netns add "$NS_L"
ip netns add "$NS_P"
ip -n "$NS_L" link set lo up
ip -n "$NS_P" link set lo up
ip -n "$NS_L" link add l0 type veth peer name p0 netns "$NS_P"
ip -n "$NS_L" addr add 10.77.0.1/24 dev l0
ip -n "$NS_P" addr add 10.77.0.2/24 dev p0
ip -n "$NS_L" link set l0 up
ip -n "$NS_P" link set p0 up
# Source addresses for the sealed clients, in a /24 of their own beside the link's.
SRCS=250
if [ "$SEALED" = 1 ]; then
    for i in $(seq 1 "$SRCS"); do echo "address add 10.77.1.$i/32 dev l0"; done | ip -n "$NS_L" -batch -
    ip -n "$NS_P" route add 10.77.1.0/24 dev p0
    PUB=$("$TOLVACTL" genkey "$DIR/peer.key")
fi

# A /18: 64 /24s, 16 192 client addresses.
{
    echo "[pb0]"
    echo "port=4500"
    echo "pool=10.8.0.0/18"
    echo "sessions=$(( N + 1000 ))"
    echo "log=$DIR/peer.log"
    echo "offload=$OFFLOAD"
    [ "$SEALED" = 0 ] || echo "privatekey=$DIR/peer.key"
    awk -v n="$N" 'BEGIN { for (i = 0; i < n; i++) printf "user=branch-%d:pw-%d\n", i, i }'
} >"$DIR/peer.conf"

start_peer() {
    ip netns exec "$NS_P" "$PEERD" -f "$DIR/peer.conf" >"$DIR/peer.out" 2>&1 &
    PEER=$!
    PIDS+=("$PEER")
    for _ in $(seq 100); do
        ip netns exec "$NS_P" sh -c "ss -lun | grep -q ':4500 '" && break
        sleep 0.05
    done
}
stop_peer() { kill -TERM "$PEER"; wait "$PEER" || true; }
load() { ip netns exec "$NS_L" "$LOAD" sessions --server 10.77.0.2 --port 4500 --pid "$PEER" "$@"; }
JSON=bench-peer.json
[ "$SEALED" = 0 ] || JSON=bench-peer-sealed.json
report() {
    echo "$1"
    [ -z "$OUT" ] || echo "$1" >>"$OUT/$JSON"
}
[ -z "$OUT" ] || : >"$OUT/$JSON"

t0=$(date +%s%N)
start_peer
t1=$(date +%s%N)
report "{\"phase\": \"start\", \"users\": $N, \"start_ms\": $(( (t1 - t0) / 1000000 )), \"rss_kb\": $(awk '$1 == "VmRSS:" {print $2}' "/proc/$PEER/status")}"
if [ "$SEALED" = 1 ]; then
    # 128 handshakes in flight: enough to keep both sides busy, and a handshake answered late is
    # not sent again while the first still waits in the server's pool (1024, 5 s).
    report "{\"phase\": \"sealed_sessions\", $(load --clients "$N" --window 128 --seconds $(( T + 10 )) \
        --sealed "$PUB" --bind 10.77.1.1 --sources "$SRCS" | sed 's/^{//')"
    stop_peer
    grep -a 'peer stats' "$DIR/peer.log" | tail -n 1 >&2 || true
    exit 0
fi
report "{\"phase\": \"sessions\", $(load --clients "$N" --window 512 --seconds $(( T + 10 )) | sed 's/^{//')"
stop_peer

for active in 1 100; do
    start_peer
    report "{\"phase\": \"data\", $(load --clients "$active" --data "$active" --inflight $(( 64 / active > 1 ? 64 / active : 1 )) --seconds 8 | sed 's/^{//')"
    stop_peer
done
