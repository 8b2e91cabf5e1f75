#!/usr/bin/env bash
# A sealed peer under a handshake flood: a sealed client pings through its tunnel while a sender
# in a third namespace floods the peer's port with handshake packets nobody may have (SINITs of
# random bytes, valid SINITs made once and sent again as a capture would be, SDATA shaped like an
# AUTH to indices nobody holds) from 200 source addresses. Reports the client's ping loss, the
# rate sent, what the peer counted (its counters at exit), the lines it logged during the flood
# and its CPU. Three network namespaces: the peer's joined by one veth pair to the client's and
# by another to the sender's, and to nothing else; the flood is bounded in count and time and
# stops by itself; everything started here is stopped by PID and the namespaces removed on exit.
#
#   bench/flood.sh [-r RATE] [-t SECONDS] [-c PINGS] [-k KIND] [-b BUILDDIR] [-o DIR]
#
#   -r   datagrams per second (default 25000)
#   -t   seconds of flood (default: the pings' duration, PINGS / 100)
#   -c   pings, 10 ms apart (default 1000)
#   -k   sealed-mix (default), sinit-random, sinit-replay or sdata-auth
#   -b   build directory (default build/dev)
#   -o   where bench-flood.md goes (default: standard output only)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
RATE=25000 T="" PINGS=1000 KIND=sealed-mix BUILD="$top/build/dev" OUT=""
while [ $# -gt 0 ]; do
    case "$1" in
    -r) RATE="$2"; shift 2 ;;
    -t) T="$2"; shift 2 ;;
    -c) PINGS="$2"; shift 2 ;;
    -k) KIND="$2"; shift 2 ;;
    -b) BUILD="$2"; shift 2 ;;
    -o) OUT="$2"; shift 2 ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
for v in "$RATE" "$PINGS" ${T:+"$T"}; do
    case "$v" in ''|*[!0-9]*) echo "-r, -t and -c take whole numbers" >&2; exit 2 ;; esac
done
[ "$PINGS" -ge 10 ] && [ "$PINGS" -le 6000 ] || { echo "-c must be 10 to 6000" >&2; exit 2; }
[ -n "$T" ] || T=$(( (PINGS + 99) / 100 ))
[ "$T" -ge 1 ] && [ "$T" -le 60 ] || { echo "-t must be 1 to 60 seconds" >&2; exit 2; }
PEERD="${PEERD:-$BUILD/peer/sdwan-peerd}"
TOLVAD="${TOLVAD:-$BUILD/src/tolvad}"
TOLVACTL="${TOLVACTL:-$BUILD/src/tolvactl}"
LOAD="${LOADGEN:-$BUILD/bench/sdwan-load}"
[ "$(id -u)" -eq 0 ] || { echo "bench/flood.sh: needs root for its namespaces" >&2; exit 1; }
for b in "$PEERD" "$TOLVAD" "$TOLVACTL" "$LOAD"; do
    [ -x "$b" ] || { echo "bench/flood.sh: $b is not built (cmake --build --preset dev)" >&2; exit 1; }
done

umask 077  # the configurations hold a password
ID=$$
NS_C="fbc-$ID" NS_P="fbp-$ID" NS_F="fbf-$ID"
DIR=$(mktemp -d /dev/shm/flood-bench.XXXXXX)
PIDS=()
cleanup() {
    set +e
    for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
    for ns in "$NS_C" "$NS_P" "$NS_F"; do ip netns del "$ns" 2>/dev/null; done
    rm -rf "$DIR"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
for ns in "$NS_C" "$NS_P" "$NS_F"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
done
ip -n "$NS_C" link add c0 type veth peer name pc0 netns "$NS_P"
ip -n "$NS_F" link add f0 type veth peer name pf0 netns "$NS_P"
ip -n "$NS_C" addr add 10.78.0.1/24 dev c0
ip -n "$NS_P" addr add 10.78.0.2/24 dev pc0
ip -n "$NS_F" addr add 10.78.1.1/24 dev f0
ip -n "$NS_P" addr add 10.78.1.2/24 dev pf0
for l in "$NS_C c0" "$NS_P pc0" "$NS_F f0" "$NS_P pf0"; do
    set -- $l
    ip -n "$1" link set "$2" up
done
# The sender's 200 source addresses, in a /24 the peer reaches through the sender's link.
for i in $(seq 1 200); do echo "address add 10.78.2.$i/32 dev f0"; done | ip -n "$NS_F" -batch -
ip -n "$NS_P" route add 10.78.2.0/24 dev pf0
# tolvad needs a default route; it leads to the peer's namespace and no further.
ip -n "$NS_C" route add default via 10.78.0.2
ip -n "$NS_C" route add unreachable 10.8.0.0/24 metric 4000

PUB=$("$TOLVACTL" genkey "$DIR/peer.key")
cat >"$DIR/peer.conf" <<EOF
[fp0]
port=4500
pool=10.8.0.0
privatekey=$DIR/peer.key
log=$DIR/peer.log
user=bench:bench-secret
EOF
cat >"$DIR/tolvad.conf" <<EOF
[ftolv0]
server=10.78.0.2
port=4500
username=bench
password=bench-secret
mtu=1400
peerkey=$PUB
datalog=0
status=$DIR/tolvad.prom
EOF

ip netns exec "$NS_P" "$PEERD" -f "$DIR/peer.conf" >"$DIR/peer.out" 2>&1 &
PEER=$!
PIDS+=("$PEER")
ip netns exec "$NS_C" "$TOLVAD" -f "$DIR/tolvad.conf" -l "$DIR/tolvad.log" >"$DIR/tolvad.out" 2>&1 &
PIDS+=("$!")
for _ in $(seq 200); do
    grep -qs "sdwan DATA ESTABLISHED" "$DIR/tolvad.log" && break
    sleep 0.1
done
if ! grep -qs "sdwan DATA ESTABLISHED" "$DIR/tolvad.log"; then
    echo "bench/flood.sh: the sealed session did not come up" >&2
    tail -n 5 "$DIR/tolvad.log" "$DIR/peer.log" "$DIR/peer.out" >&2 || true
    exit 1
fi
ip netns exec "$NS_C" ping -n -q -c 3 -i 0.2 -W 1 10.8.0.1 >/dev/null || { echo "bench/flood.sh: no ping through the tunnel" >&2; exit 1; }

ticks() { sed -E 's/^.*\) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
udp_errs() {  # the peer namespace's UDP receive-buffer drops
    ip netns exec "$NS_P" awk '$1 == "Udp:" && $2 ~ /^[0-9]/ { print $6 }' /proc/net/snmp
}
HZ=$(getconf CLK_TCK)

ip netns exec "$NS_C" ping -n -c "$PINGS" -i 0.01 -W 1 10.8.0.1 >"$DIR/ping.out" 2>&1 &
PING=$!
PIDS+=("$PING")
sleep 0.3
lines0=$(wc -l <"$DIR/peer.log")
cpu0=$(ticks "$PEER")
drops0=$(udp_errs)
t0=$(date +%s%N)
FLOOD=$(ip netns exec "$NS_F" timeout $(( T + 10 )) "$LOAD" flood --server 10.78.1.2 --port 4500 --bind 10.78.2.1 \
    --sources 200 --rate "$RATE" --seconds "$T" --kind "$KIND" --sealed "$PUB")
t1=$(date +%s%N)
cpu1=$(ticks "$PEER")
drops1=$(udp_errs)
lines1=$(wc -l <"$DIR/peer.log")
logged=""
[ "$lines1" -le "$lines0" ] || logged=$(sed -n "$(( lines0 + 1 )),${lines1}p" "$DIR/peer.log")
wait "$PING" || true
# The peer's counters: its stats line at exit.
kill -TERM "$PEER"
wait "$PEER" || true
stats=$(grep -a 'peer stats' "$DIR/peer.log" | tail -n 1 | sed 's/.*peer stats: //')
counter() { awk -v k="$1" '{ for (i = 1; i < NF; i++) if ($i == k) { print $(i + 1); exit } }' <<<"$stats"; }
secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", (b - a) / 1e9 }')
cpu=$(awk -v t=$(( cpu1 - cpu0 )) -v hz="$HZ" -v s="$secs" 'BEGIN { printf "%.1f", t * 100 / hz / s }')
loss=$(sed -n 's/.* \([0-9.]*\)% packet loss.*/\1/p' "$DIR/ping.out")
rtt=$(sed -n 's/^rtt [^=]*= \([0-9.\/]*\) ms.*/\1/p' "$DIR/ping.out")
sent=$(sed -n 's/.*"sent": \([0-9]*\).*/\1/p' <<<"$FLOOD")
rate=$(sed -n 's/.*"rate": \([0-9]*\).*/\1/p' <<<"$FLOOD")
answers=$(sed -n 's/.*"answers": \([0-9]*\).*/\1/p' <<<"$FLOOD")
verdict=$(awk -v l="${loss:-100}" 'BEGIN { print (l < 1 ? "met" : "not met") }')

report() {
    echo "# A sealed peer under a handshake flood: latest run"
    echo
    echo "Written by \`bench/flood.sh -r $RATE -t $T -c $PINGS -k $KIND\` on $(date -u '+%Y-%m-%d %H:%M UTC'):" \
        "$(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores (load average" \
        "$(cut -d' ' -f1 /proc/loadavg) at the end), Linux $(uname -r). Three network namespaces: the peer's, joined by one veth pair" \
        "to the sealed client's and by another to the sender's. The client pings the peer's tunnel address" \
        "$PINGS times 10 ms apart; 0.3 s into the pings \`sdwan-load flood --kind $KIND\` (bench/peer_load.cpp," \
        "sendmmsg, 16 datagrams a call) sends for $T s from 200 source addresses to the peer's port:" \
        "in turn SINITs of random bytes (one X25519 each before the tag fails), valid SINITs made once and" \
        "sent again as a capture would be (answered in full until the limits or the pool stop them), and" \
        "SDATA of an AUTH's length to indices nobody holds. Counters: the peer's stats line at exit."
    echo
    echo "| figure | target | measured |"
    echo "|---|---|--:|"
    echo "| client's ping loss through the tunnel during the flood | < 1 % | ${loss:-?} % ($verdict) |"
    echo "| ping round trip min / avg / max / mdev, ms | | ${rtt:-?} |"
    echo "| flood sent | 25 000/s | $sent datagrams in $secs s, $rate/s |"
    echo "| datagrams the peer received (rx, the client's pings included) | | $(counter rx) |"
    echo "| dropped by the peer's kernel (UDP receive buffer full) | 0 | $(( drops1 - drops0 )) |"
    echo "| handshakes answered (sealhs) / handshake answers the sender got | | $(counter sealhs) / $answers |"
    echo "| SINITs refused by the rate limits (sealratelimit) | | $(counter sealratelimit) |"
    echo "| SINITs refused, pool of pending handshakes full (sealpendfull) | | $(counter sealpendfull) |"
    echo "| SINITs whose tag failed (sealmalformed) | | $(counter sealmalformed) |"
    echo "| SDATA to unknown indices (sealunknown) | | $(counter sealunknown) |"
    echo "| peer CPU during the flood | | $cpu % of a core |"
    echo "| lines the peer logged during the flood | bounded | $lines1 - $lines0 = $(( lines1 - lines0 )) |"
    echo
    echo "The peer's lines during the flood:"
    echo
    echo '```'
    if [ -n "$logged" ]; then head -n 20 <<<"$logged"; else echo "(none)"; fi
    echo '```'
    echo
    echo "The peer's counters at exit: \`$stats\`"
    echo
    echo "Run: \`sudo bench/flood.sh -o docs\` (about 20 s; \`-c 200 -t 2\` for a quick look)."
    echo
    echo "What the figures mean, paired runs against the earlier admission and why the limits are what they are:" \
        "[bench-peer.md](bench-peer.md#the-flood)."
}
if [ -n "$OUT" ]; then
    report >"$OUT/bench-flood.md"
    cat "$OUT/bench-flood.md"
else
    report
fi
