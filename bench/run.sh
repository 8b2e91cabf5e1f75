#!/usr/bin/env bash
# Throughput, packet rate, delay and CPU per packet of tolvad with its peer, side by side with the
# bare link and the userspace tunnels people would use instead (fastd, OpenVPN, wireguard-go), all
# in one run on the same machine. Only ratios within one run mean much: on a small shared machine
# the absolute figures move by 10-20 % between runs.
#
# Two network namespaces joined by one veth pair and to nothing else; every tunnel runs between
# them, one at a time, and iperf3 measures through it. Everything started here is stopped by PID
# and the namespaces are removed on exit.
#
#   bench/run.sh [-t SECONDS] [-o DIR] [-b BUILDDIR] [-s SYSTEMS] [--no-install] [--no-micro]
#   SYSTEMS="clear sealed wireguard-go" bench/run.sh ...   (the same subset from the environment)
#
#   -t   seconds per iperf3 measurement (default 5; one more second is run and omitted)
#   -o   where the table and plot go (default docs/ of the repository)
#   -b   build directory (default build/bench); TOLVAD and PEERD in the environment override
#   -s   comma- or blank-separated subset of: bare,tolvad,tolvad-nooffload,sealed,sealed-nooffload,
#        tolvad-xor,tolvad-log,fastd,ovpn,ovpn-gcm,wg (tolvad-nooffload: both daemons with the
#        kernel's offloads turned off, the one-system-call-per-packet path, for the comparison in
#        the same run; sealed: the sealed session, keys made by tolvactl genkey for this run);
#        "clear" stands for tolvad and "wireguard-go" for wg. Default: all of them.
#   --no-install  do not apt-get the anchors (they must be there)
#   --no-micro    skip the micro-benchmark and the callgrind counts (bench/micro.sh)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

T=5
OUT="$top/docs"
BUILD="$top/build/bench"
SYSTEMS="${SYSTEMS:-bare,tolvad,tolvad-nooffload,sealed,sealed-nooffload,tolvad-xor,tolvad-log,fastd,ovpn,ovpn-gcm,wg}"
INSTALL=1
MICRO=1
while [ $# -gt 0 ]; do
    case "$1" in
    -t) T="$2"; shift 2 ;;
    -o) OUT="$2"; shift 2 ;;
    -b) BUILD="$2"; shift 2 ;;
    -s) SYSTEMS="$2"; shift 2 ;;
    --no-install) INSTALL=0; shift ;;
    --no-micro) MICRO=0; shift ;;
    -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
case "$T" in ''|*[!0-9]*) echo "-t takes whole seconds" >&2; exit 2 ;; esac
[ "$T" -ge 2 ] && [ "$T" -le 30 ] || { echo "-t must be 2 to 30 seconds" >&2; exit 2; }
if [ "$(id -u)" -ne 0 ]; then
    echo "run as root: the benchmark creates network namespaces and TUN interfaces" >&2
    exit 1
fi

# ---------------------------------------------------------------- tools and binaries
# The anchors and the tools of the measurement, then what building tolvad needs (as scripts/deps.sh).
PKGS=(iperf3 fastd openvpn wireguard-go wireguard-tools gnuplot-nox openssl iproute2 iputils-ping
      python3 procps valgrind libbenchmark-dev
      cmake make g++ pkg-config libssl-dev libsystemd-dev)
if [ "$INSTALL" = 1 ]; then
    missing=()
    for p in "${PKGS[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        # Another apt run may hold the lock for a while on a shared machine: wait, bounded.
        apt-get -o DPkg::Lock::Timeout=300 update -qq
        apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
fi
for b in iperf3 fastd openvpn wireguard-go wg gnuplot python3 ip ping; do
    command -v "$b" >/dev/null || { echo "missing tool: $b (run without --no-install)" >&2; exit 1; }
done

if [ -z "${TOLVAD:-}" ] || [ -z "${PEERD:-}" ]; then
    echo "building tolvad and sdwan-peerd in $BUILD"
    # A build directory of one's own is configured afresh; an existing one keeps its settings.
    if [ -f "$BUILD/CMakeCache.txt" ]; then
        cmake -S "$top" -B "$BUILD" -DSDWAN_BENCH=ON >/dev/null
    else
        cmake -S "$top" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSDWAN_TESTS=OFF -DSDWAN_BENCH=ON >/dev/null
    fi
    cmake --build "$BUILD" -j2 --target tolvad sdwan-peerd tolvactl bench_alloccount >/dev/null
    TOLVAD="$BUILD/src/tolvad"
    PEERD="$BUILD/peer/sdwan-peerd"
    TOLVACTL="${TOLVACTL:-$BUILD/src/tolvactl}"
    ALLOCSHIM="$BUILD/bench/libbench_alloccount.so"
fi
ALLOCSHIM="${ALLOCSHIM:-}"
TOLVACTL="${TOLVACTL:-$(dirname "$TOLVAD")/tolvactl}"

# ---------------------------------------------------------------- namespaces and clean-up
ID=$$
NS_C="bcli-$ID"
NS_S="bsrv-$ID"
C_ADDR=10.201.0.1
S_ADDR=10.201.0.2
TMP="$(mktemp -d /tmp/tolvad-bench.XXXXXX)"
RES="$TMP/results.tsv"
NAMESPACES=()
PIDS=()
CLK_TCK="$(getconf CLK_TCK)"

log() { printf '[%s] %s\n' "$(date +%T)" "$*" >&2; }
# A system that did not come up leaves an empty row; say why.
show_out() { for f in "$@"; do [ -f "$f" ] && { echo "---- $f" >&2; tail -n 8 "$f" >&2; }; done; return 0; }

cleanup() {
    local rc=$?
    set +e
    for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${PIDS[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    for ns in "${NAMESPACES[@]}"; do ip netns del "$ns" 2>/dev/null; done
    if [ "$rc" -ne 0 ] && [ -d "$TMP" ]; then
        for f in "$TMP"/*.out "$TMP"/*.log; do
            [ -f "$f" ] || continue
            echo "---- $f (last 15 lines)" >&2
            tail -n 15 "$f" >&2
        done
    fi
    rm -rf "$TMP"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for ns in "$NS_C" "$NS_S"; do
    ip netns add "$ns"
    NAMESPACES+=("$ns")
    ip -n "$ns" link set lo up
done
ip -n "$NS_C" link add bv0 type veth peer name bv1 netns "$NS_S"
ip -n "$NS_C" addr add "$C_ADDR/24" dev bv0
ip -n "$NS_S" addr add "$S_ADDR/24" dev bv1
ip -n "$NS_C" link set bv0 up
ip -n "$NS_S" link set bv1 up
# tolvad needs a default route to start; it points at the other namespace and leads nowhere else.
ip -n "$NS_C" route add default via "$S_ADDR"
ip -n "$NS_S" route add default via "$C_ADDR"
# The tunnels' inner networks must never be reached around a tunnel, say while one is not up yet
# or restarts: the server's tunnel address is a local address of its namespace, which the default
# route leads to. An interface's own route (metric 0) wins over these while the tunnel is up.
for net in 10.8.0.0/24 10.202.0.0/24 10.203.0.0/24 10.205.0.0/24; do
    ip -n "$NS_C" route add unreachable "$net" metric 4000
done

# bg NS OUTFILE CMD...: starts a command in a namespace, records its PID in LAST_PID.
bg() {
    local ns="$1" out="$2"; shift 2
    ip netns exec "$ns" "$@" >"$out" 2>&1 &
    LAST_PID=$!
    PIDS+=("$LAST_PID")
}

stop_pid() {
    local pid="$1"
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 60); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    local keep=()
    for p in "${PIDS[@]}"; do [ "$p" = "$pid" ] || keep+=("$p"); done
    PIDS=("${keep[@]}")
}

wait_for() {  # wait_for SECONDS CMD...
    local end=$(( $(date +%s) + $1 )); shift
    until "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -lt "$end" ] || return 1
        sleep 0.1
    done
}

cpu_ticks() {  # utime + stime of a whole process (all its threads), in clock ticks
    if [ -z "$1" ] || [ ! -r "/proc/$1/stat" ]; then echo 0; return; fi
    # The command name may hold blanks: count the fields after its closing parenthesis.
    sed -E 's/^.*\) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'
}

ctx_switches() {  # voluntary + involuntary context switches of all threads of a process
    if [ -z "$1" ] || [ ! -d "/proc/$1/task" ]; then echo 0; return; fi
    cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^(non)?voluntary_ctxt_switches:/ { s += $2 } END { print s + 0 }'
}

if_pkts() {  # NS IFNAME: packets through the interface both ways (0 when there is none)
    [ -n "$2" ] || { echo 0; return; }
    ip netns exec "$1" sh -c "cat /sys/class/net/$2/statistics/rx_packets /sys/class/net/$2/statistics/tx_packets 2>/dev/null" |
        awk '{ s += $1 } END { print s + 0 }'
}

# tolvad's own count of the inner packets it carried both ways, from its status file. With the
# kernel's offloads its TUN interface counts a segmentation-offloaded train of up to 64 KB as one
# packet, so the interface's counters would flatter the CPU per packet; the daemon counts every
# inner packet. The file is rewritten once a second: status_fresh waits for the next rewrite, so
# that the count and the CPU time are read at the same moment.
STATUS=""
status_pkts() {
    awk '$1 ~ /^tolvad_tunnel_(transmit|receive)_packets_total[{ ]/ { s += $NF } END { print s + 0 }' "$STATUS" 2>/dev/null ||
        echo 0
}
status_inode_is_not() { [ "$(stat -c %i "$STATUS" 2>/dev/null || echo none)" != "$1" ]; }
status_fresh() {
    local i0
    i0=$(stat -c %i "$STATUS" 2>/dev/null || echo none)
    wait_for 3 status_inode_is_not "$i0" || true
}

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
anon_kib() { awk '/^RssAnon:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
pss_kib() { awk '/^Pss:/ { print $2 }' "/proc/$1/smaps_rollup" 2>/dev/null || echo 0; }
# Resident KiB of a process by what is mapped (file name, or [heap], [stack], anonymous).
rss_by_map() {
    awk '/^[0-9a-f]+-[0-9a-f]+ / { n = $6; if (n == "") n = "anonymous"; sub(".*/", "", n) }
         /^Rss:/ { r[n] += $2 }
         END { for (k in r) if (r[k] > 0) printf "%s\t%d\n", k, r[k] }' "/proc/$1/smaps" 2>/dev/null
}

# ---------------------------------------------------------------- one measurement
# Current system: name, target address, interfaces and PIDs on both sides.
SYS=""; TARGET=""; C_IF=""; S_IF=""; C_PID=""; S_PID=""
PORT=5201

record() { printf '%s\t%s\t%s\n' "$SYS" "$1" "$2" >>"$RES"; }

# iperf_run NAME ARGS...: one iperf3 test against a fresh one-shot server; records the figure and
# the CPU per packet of both tunnel processes over the test.
iperf_run() {
    local name="$1"; shift
    PORT=$((PORT + 1))
    bg "$NS_S" "$TMP/iperf3-server.out" iperf3 -s -1 -p "$PORT"
    local spid=$LAST_PID
    wait_for 5 ip netns exec "$NS_S" sh -c "ss -ltn | grep -q ':$PORT '" || { log "iperf3 server did not start"; return 1; }
    local c0 s0 pc0 ps0 c1 s1 pc1 ps1 x0 x1
    [ -z "$STATUS" ] || status_fresh
    c0=$(cpu_ticks "$C_PID"); s0=$(cpu_ticks "$S_PID"); x0=$(ctx_switches "$C_PID")
    if [ -n "$STATUS" ]; then
        pc0=$(status_pkts); ps0=$pc0
    else
        pc0=$(if_pkts "$NS_C" "$C_IF"); ps0=$(if_pkts "$NS_S" "$S_IF")
    fi
    if ! timeout $((T + 20)) ip netns exec "$NS_C" iperf3 -c "$TARGET" -p "$PORT" -t "$T" -O 1 -J \
            --connect-timeout 3000 "$@" >"$TMP/$SYS-$name.json" 2>"$TMP/iperf3-client.out"; then
        log "$SYS $name: iperf3 failed"
        record "$name" "nan"
        stop_pid "$spid"
        return 0
    fi
    [ -z "$STATUS" ] || status_fresh
    c1=$(cpu_ticks "$C_PID"); s1=$(cpu_ticks "$S_PID"); x1=$(ctx_switches "$C_PID")
    if [ -n "$STATUS" ]; then
        pc1=$(status_pkts); ps1=$pc1
    else
        pc1=$(if_pkts "$NS_C" "$C_IF"); ps1=$(if_pkts "$NS_S" "$S_IF")
    fi
    stop_pid "$spid"
    local v
    v=$(python3 "$top/bench/iperf_value.py" "$name" "$TMP/$SYS-$name.json")
    record "$name" "$v"
    # CPU per packet: process CPU over the test divided by the packets its TUN interface carried
    # (tolvad: the inner packets it counted, for both of its processes: every one of them passes
    # both). The one omitted warm-up second is inside both deltas, so the ratio stays fair.
    if [ -n "$C_PID" ] && [ "$((pc1 - pc0))" -gt 0 ]; then
        record "$name.cli_us" "$(awk -v t=$((c1 - c0)) -v p=$((pc1 - pc0)) -v hz="$CLK_TCK" 'BEGIN { printf "%.2f", t * 1e6 / hz / p }')"
        # Wake-ups and preemptions: a process that sleeps or is preempted per packet pays for it.
        record "$name.cli_cs" "$(awk -v x=$((x1 - x0)) -v p=$((pc1 - pc0)) 'BEGIN { printf "%.3f", x / p }')"
    fi
    if [ -n "$S_PID" ] && [ "$((ps1 - ps0))" -gt 0 ]; then
        record "$name.srv_us" "$(awk -v t=$((s1 - s0)) -v p=$((ps1 - ps0)) -v hz="$CLK_TCK" 'BEGIN { printf "%.2f", t * 1e6 / hz / p }')"
    fi
    log "$SYS $name: $v"
}

measure() {
    local rtt
    # The median of 100: an average of a few echoes on a shared machine moves with one late one.
    rtt=$(ip netns exec "$NS_C" ping -n -c 100 -i 0.02 -W 2 "$TARGET" | sed -n 's/.* time=\([0-9.]*\) ms$/\1/p' |
        sort -n | awk '{ v[NR] = $1 } END { if (NR > 0) print v[int((NR + 1) / 2)] }')
    record ping_ms "${rtt:-nan}"
    # Idle: no traffic but the tunnels' own keepalives; a busy loop would show here.
    if [ -n "$C_PID" ]; then
        local i0 i1
        i0=$(cpu_ticks "$C_PID"); sleep 2; i1=$(cpu_ticks "$C_PID")
        record idle_cpu_pct "$(awk -v t=$((i1 - i0)) -v hz="$CLK_TCK" 'BEGIN { printf "%.1f", t * 100 / hz / 2 }')"
        record rss_kib "$(rss_kib "$C_PID")"
        record rss_anon_kib "$(anon_kib "$C_PID")"
        record pss_kib "$(pss_kib "$C_PID")"
    fi
    iperf_run tcp_up
    iperf_run tcp_down -R
    # A 1 MiB receive buffer at the iperf3 receiver, so that what is counted is what the tunnel
    # delivered, not what a receiver starved of CPU for a moment could take.
    iperf_run udp_up -u -l 64 -b 0 -w 1M
    iperf_run udp_down -u -l 64 -b 0 -w 1M -R
    # The same packets at a fixed 15 000 per second, which every tunnel here carries whole: CPU per
    # packet at equal load, wake-ups included, less at the mercy of the scheduler than a flood.
    if [ -n "$C_PID" ]; then
        iperf_run udp15k_up -u -l 64 -b 7680K -w 1M
        iperf_run udp15k_down -u -l 64 -b 7680K -w 1M -R
    fi
    if [ -n "$C_PID" ]; then
        record rss_kib_end "$(rss_kib "$C_PID")"
        record rss_anon_kib_end "$(anon_kib "$C_PID")"
        record pss_kib_end "$(pss_kib "$C_PID")"
        rss_by_map "$C_PID" | while IFS=$'\t' read -r m kib; do record "rssmap:$m" "$kib"; done
    fi
    return 0
}

reachable() { ip netns exec "$NS_C" ping -n -q -c 1 -W 1 "$TARGET"; }

# ---------------------------------------------------------------- the systems
MTU=1400  # every tunnel carries the same inner MTU

run_bare() {
    SYS=bare; TARGET=$S_ADDR; C_IF=""; S_IF=""; C_PID=""; S_PID=""
    measure
}

alloc_count() { [ -f "$TMP/allocs" ] && od -An -tu8 -N8 "$TMP/allocs" | tr -d ' ' || echo ""; }

# The sealed session's key pair, made once per run in the run's own directory (0600 by genkey,
# inside a 0700 directory) and removed with it.
PEERKEY=""
make_seal_key() {
    [ -n "$PEERKEY" ] && return 0
    PEERKEY=$("$TOLVACTL" genkey "$TMP/peer.key") || { log "tolvactl genkey failed"; return 1; }
}

# run_tolvad NAME ENCRYPT DATALOG LOGFILE [OFFLOAD] [SEALED]: OFFLOAD 0 turns the kernel's offloads
# off in both daemons (default 1: used where the kernel offers them); SEALED 1 gives the peer a
# private key and the client its public key, so that they speak the sealed session.
run_tolvad() {
    SYS=$1
    local offload="${5:-1}" sealed="${6:-0}"
    cat >"$TMP/peer.conf" <<EOF
[bpeer0]
port=4500
pool=10.8.0.0
mtu=$MTU
encrypt=1
user=bench:bench-secret
EOF
    cat >"$TMP/tolvad.conf" <<EOF
[btolv0]
server=$S_ADDR
port=4500
username=bench
password=bench-secret
mtu=$MTU
encrypt=$2
datalog=$3
status=$TMP/tolvad.prom
EOF
    STATUS="$TMP/tolvad.prom"
    rm -f "$STATUS"
    if [ "$offload" = 0 ]; then
        echo "offload=0" >>"$TMP/peer.conf"
        echo "offload=0" >>"$TMP/tolvad.conf"
    fi
    if [ "$sealed" = 1 ]; then
        make_seal_key || return 0
        echo "privatekey=$TMP/peer.key" >>"$TMP/peer.conf"
        echo "peerkey=$PEERKEY" >>"$TMP/tolvad.conf"
    fi
    bg "$NS_S" "$TMP/peerd.out" "$PEERD" -f "$TMP/peer.conf" -l "$TMP/peerd.log"
    S_PID=$LAST_PID
    rm -f "$TMP/allocs"
    if [ -n "$ALLOCSHIM" ] && [ -f "$ALLOCSHIM" ]; then
        bg "$NS_C" "$TMP/tolvad.out" env LD_PRELOAD="$ALLOCSHIM" BENCH_ALLOC_FILE="$TMP/allocs" \
            "$TOLVAD" -f "$TMP/tolvad.conf" -l "$4"
    else
        bg "$NS_C" "$TMP/tolvad.out" "$TOLVAD" -f "$TMP/tolvad.conf" -l "$4"
    fi
    C_PID=$LAST_PID
    TARGET=10.8.0.1; C_IF=btolv0; S_IF=bpeer0
    if wait_for 20 grep -q "sdwan DATA ESTABLISHED" "$4" && wait_for 5 reachable; then
        local a0
        a0=$(alloc_count)
        measure
        local a1
        a1=$(alloc_count)
        [ -n "$a0" ] && [ -n "$a1" ] && record allocs_after_start $((a1 - a0))
        record log_bytes "$(stat -c %s "$4")"
        # A session that restarted during the measurements spoils them: count the sessions.
        local n
        n=$(grep -c 'sdwan DATA ESTABLISHED session' "$4" || true)
        record sessions "$n"
        [ "$n" -eq 1 ] || { log "$SYS: the session restarted during the measurements"; grep -E 'timeout|CLOSE|REJECT' "$4" | tail -n 5 >&2; }
    else
        log "$SYS: no session"; show_out "$4" "$TMP/peerd.log" "$TMP/tolvad.out"
    fi
    stop_pid "$C_PID"; stop_pid "$S_PID"
    C_PID=""; S_PID=""; STATUS=""
}

run_fastd() {
    SYS=fastd
    local ks kc ps pc
    ks=$(fastd --generate-key --machine-readable); kc=$(fastd --generate-key --machine-readable)
    ps=$(printf 'secret "%s";\n' "$ks" | fastd --config - --show-key --machine-readable)
    pc=$(printf 'secret "%s";\n' "$kc" | fastd --config - --show-key --machine-readable)
    for side in s c; do
        local secret peerkey bind addr remote=""
        if [ $side = s ]; then secret=$ks; peerkey=$pc; bind=$S_ADDR; addr=10.202.0.2
        else secret=$kc; peerkey=$ps; bind=$C_ADDR; addr=10.202.0.1; remote="remote $S_ADDR:10001;"; fi
        cat >"$TMP/fastd-$side.conf" <<EOF
log level warn;
mode tun;
interface "bfastd0";
method "null";
bind $bind:10001;
secret "$secret";
mtu $MTU;
on up "ip addr add $addr/24 dev \$INTERFACE && ip link set \$INTERFACE up";
peer "other" { key "$peerkey"; $remote }
EOF
    done
    bg "$NS_S" "$TMP/fastd-s.out" fastd --config "$TMP/fastd-s.conf"
    S_PID=$LAST_PID
    bg "$NS_C" "$TMP/fastd-c.out" fastd --config "$TMP/fastd-c.conf"
    C_PID=$LAST_PID
    TARGET=10.202.0.2; C_IF=bfastd0; S_IF=bfastd0
    if wait_for 20 reachable; then measure; else log "fastd: no tunnel"; show_out "$TMP/fastd-s.out" "$TMP/fastd-c.out"; fi
    stop_pid "$C_PID"; stop_pid "$S_PID"
    C_PID=""; S_PID=""
}

make_pki() {  # a small PKI for OpenVPN's TLS mode, made once
    [ -f "$TMP/pki/ca.crt" ] && return 0
    mkdir -p "$TMP/pki"
    (
        cd "$TMP/pki"
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key \
            -out ca.crt -days 2 -subj /CN=bench-ca 2>/dev/null
        for n in server client; do
            openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout $n.key \
                -out $n.csr -subj /CN=$n 2>/dev/null
            printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyAgreement\nextendedKeyUsage=%s\n' \
                "$([ $n = server ] && echo serverAuth || echo clientAuth)" >$n.ext
            openssl x509 -req -in $n.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out $n.crt -days 2 \
                -extfile $n.ext 2>/dev/null
        done
    )
}

# run_ovpn NAME gcm|none
run_ovpn() {
    SYS=$1
    local common=(--dev bovpn0 --dev-type tun --proto udp --tun-mtu "$MTU" --verb 1 --disable-dco
                  --ping 5 --ping-restart 60 --persist-tun --allow-compression no)
    local sargs cargs
    if [ "$2" = gcm ]; then
        make_pki
        local pki="$TMP/pki"
        sargs=(--tls-server --dh none --ca "$pki/ca.crt" --cert "$pki/server.crt" --key "$pki/server.key"
               --data-ciphers AES-256-GCM --cipher AES-256-GCM)
        cargs=(--tls-client --ca "$pki/ca.crt" --cert "$pki/client.crt" --key "$pki/client.key"
               --remote-cert-tls server --data-ciphers AES-256-GCM --cipher AES-256-GCM)
    else
        sargs=(--cipher none --auth none)
        cargs=(--cipher none --auth none)
    fi
    bg "$NS_S" "$TMP/ovpn-s.out" openvpn "${common[@]}" "${sargs[@]}" --local "$S_ADDR" --lport 1194 \
        --remote "$C_ADDR" --rport 1194 --ifconfig 10.203.0.2 10.203.0.1
    S_PID=$LAST_PID
    bg "$NS_C" "$TMP/ovpn-c.out" openvpn "${common[@]}" "${cargs[@]}" --local "$C_ADDR" --lport 1194 \
        --remote "$S_ADDR" --rport 1194 --ifconfig 10.203.0.1 10.203.0.2
    C_PID=$LAST_PID
    TARGET=10.203.0.2; C_IF=bovpn0; S_IF=bovpn0
    if wait_for 30 reachable; then measure; else log "$SYS: no tunnel"; show_out "$TMP/ovpn-s.out" "$TMP/ovpn-c.out"; fi
    stop_pid "$C_PID"; stop_pid "$S_PID"
    C_PID=""; S_PID=""
}

run_wg() {
    SYS=wg
    local ks kc wgs="bwgs$ID" wgc="bwgc$ID"
    ks=$(wg genkey); kc=$(wg genkey)
    # Each instance keeps its control socket in /var/run/wireguard/<interface>.sock, outside the
    # namespaces: the two ends need different interface names. The Debian build refuses to run on
    # Linux without the variable: the kernel module would be the usual choice, but the comparison
    # here is between userspace tunnels.
    export WG_I_PREFER_BUGGY_USERSPACE_TO_POLISHED_KMOD=1
    bg "$NS_S" "$TMP/wg-s.out" wireguard-go -f "$wgs"
    S_PID=$LAST_PID
    bg "$NS_C" "$TMP/wg-c.out" wireguard-go -f "$wgc"
    C_PID=$LAST_PID
    unset WG_I_PREFER_BUGGY_USERSPACE_TO_POLISHED_KMOD
    if ! { wait_for 10 ip netns exec "$NS_S" wg show "$wgs" && wait_for 10 ip netns exec "$NS_C" wg show "$wgc"; }; then
        log "wg: no interface"; show_out "$TMP/wg-s.out" "$TMP/wg-c.out"
        stop_pid "$C_PID"; stop_pid "$S_PID"; C_PID=""; S_PID=""
        return 0
    fi
    printf '%s\n' "$ks" >"$TMP/wg-s.key"; printf '%s\n' "$kc" >"$TMP/wg-c.key"
    ip netns exec "$NS_S" wg set "$wgs" private-key "$TMP/wg-s.key" listen-port 10003 \
        peer "$(wg pubkey <<<"$kc")" allowed-ips 10.205.0.1/32 endpoint "$C_ADDR:10003"
    ip netns exec "$NS_C" wg set "$wgc" private-key "$TMP/wg-c.key" listen-port 10003 \
        peer "$(wg pubkey <<<"$ks")" allowed-ips 10.205.0.2/32 endpoint "$S_ADDR:10003"
    ip -n "$NS_S" addr add 10.205.0.2/24 dev "$wgs"
    ip -n "$NS_C" addr add 10.205.0.1/24 dev "$wgc"
    ip -n "$NS_S" link set "$wgs" mtu "$MTU" up
    ip -n "$NS_C" link set "$wgc" mtu "$MTU" up
    TARGET=10.205.0.2; C_IF=$wgc; S_IF=$wgs
    if wait_for 20 reachable; then measure; else log "wg: no tunnel"; show_out "$TMP/wg-s.out" "$TMP/wg-c.out"; fi
    stop_pid "$C_PID"; stop_pid "$S_PID"
    C_PID=""; S_PID=""
}

# ---------------------------------------------------------------- the run
: >"$RES"
t_start=$(date +%s)
IFS=', ' read -r -a want <<<"$SYSTEMS"
for s in "${want[@]}"; do
    [ -n "$s" ] || continue
    log "== $s"
    case "$s" in
    bare) run_bare ;;
    tolvad|clear) run_tolvad tolvad 0 0 "$TMP/tolvad.log" ;;
    tolvad-nooffload|clear-nooffload) run_tolvad tolvad-nooffload 0 0 "$TMP/tolvad.log" 0 ;;
    sealed) run_tolvad sealed 0 0 "$TMP/tolvad.log" 1 1 ;;
    sealed-nooffload) run_tolvad sealed-nooffload 0 0 "$TMP/tolvad.log" 0 1 ;;
    tolvad-xor) run_tolvad tolvad-xor 1 0 "$TMP/tolvad.log" ;;
    # The default: one line per delivered packet, each synced to disk. $TMP is on the filesystem
    # of the default log path /tmp/kesp.log, which is left alone.
    tolvad-log) run_tolvad tolvad-log 0 1 "$TMP/tolvad.log" ;;
    fastd) run_fastd ;;
    ovpn) run_ovpn ovpn none ;;
    ovpn-gcm) run_ovpn ovpn-gcm gcm ;;
    wg|wireguard-go) run_wg ;;
    *) log "unknown system $s"; exit 2 ;;
    esac
done
t_end=$(date +%s)

# The disk the log would be on, when it differs from /tmp's: the cost of the default log there.
if [ "$(stat -c %d /tmp)" != "$(stat -c %d "$top")" ] && [[ " ${want[*]} " == *" tolvad-log "* ]]; then
    wdir="$(mktemp -d "$top/build/bench-log.XXXXXX")"
    run_tolvad tolvad-log-disk 0 1 "$wdir/tolvad.log"
    rm -rf "$wdir"
fi

mkdir -p "$OUT"
python3 "$top/bench/report.py" --results "$RES" --out "$OUT" --seconds "$T" --elapsed $((t_end - t_start))
log "table: $OUT/bench.md, plot: $OUT/bench.png"

if [ "$MICRO" = 1 ]; then
    "$top/bench/micro.sh" -b "$BUILD" -o "$OUT"
fi
