# Shared set-up of the end-to-end tests: a small network of namespaces, each created here and
# removed on exit, joined by veth pairs to each other and to nothing else.
#
#   cli-$ID              rtr-$ID                     peer-$ID                 far-$ID
#   +-----------+        +-------------+             +---------------+        +-----------+
#   | tolvad    |        |             |             | sdwan-peerd   |        |           |
#   | tun tolv0 | c0---r0| 10.91.0.1   |             | tun peer0     |        |           |
#   | 10.91.0.2 |        | 10.92.0.1 r1|---------- p0| 10.92.0.2(.3) |        |           |
#   | default   |        |             |             | 10.8.0.1/24   | p1---f0| 10.93.0.2 |
#   | via .0.1  |        | 10.94.0.1 r2|---+         | 10.93.0.1     |        | default   |
#   +-----------+        +-------------+   |         +---------------+        | via peer  |
#                                          |  dns-$ID                          +-----------+
#                                          +d0 10.94.0.2 and the built-in resolver's address
#                                              (dnsmasq, only when a test starts it)
#
# The router has no route to 10.93.0.0/24: the far host is reachable only through the tunnel.
#
# Tests source this file, call e2e_topology, then start what they need. Everything they start
# is recorded and stopped by PID in e2e_cleanup, which runs on every exit.

set -euo pipefail

E2E_ID="${E2E_ID:-$$}"
NS_CLI="cli-$E2E_ID"
NS_RTR="rtr-$E2E_ID"
NS_PEER="peer-$E2E_ID"
NS_FAR="far-$E2E_ID"
NS_DNS="dns-$E2E_ID"
E2E_NAMESPACES=()
E2E_PIDS=()
E2E_DIR="$(mktemp -d /tmp/tolvad-e2e.XXXXXX)"
PEER_ADDR=10.92.0.2
PEER_ADDR2=10.92.0.3
PEER_PORT=4500
FAR_ADDR=10.93.0.2
RESOLVER="${E2E_RESOLVER:-8.8.8.8}"
TOLVAD="${TOLVAD:?TOLVAD must name the tolvad binary}"
PEERD="${PEERD:?PEERD must name the sdwan-peerd binary}"

log() { printf '[%s] %s\n' "$(date +%T)" "$*"; }
fail() { log "FAIL: $*"; e2e_dump; exit 1; }

e2e_cleanup() {
    local rc=$?
    set +e
    for pid in "${E2E_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${E2E_PIDS[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    for ns in "${E2E_NAMESPACES[@]}"; do
        # What still runs inside is ours too: a child a listener forked for a connection outlives
        # its parent, and with the namespace gone nothing would ever close its socket.
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null
        done
        ip netns del "$ns" 2>/dev/null
    done
    rm -rf "$E2E_DIR"
    exit "$rc"
}
trap e2e_cleanup EXIT
trap 'exit 130' INT TERM

e2e_dump() {
    for f in "$E2E_DIR"/*.log; do
        [ -f "$f" ] || continue
        echo "---- $f (last 40 lines)"
        tail -n 40 "$f"
    done
}

ns_add() {
    ip netns add "$1"
    E2E_NAMESPACES+=("$1")
    ip -n "$1" link set lo up
}

# veth NS_A IF_A ADDR_A NS_B IF_B ADDR_B
veth() {
    ip -n "$1" link add "$2" type veth peer name "$5" netns "$4"
    ip -n "$1" addr add "$3" dev "$2"
    ip -n "$4" addr add "$6" dev "$5"
    ip -n "$1" link set "$2" up
    ip -n "$4" link set "$5" up
}

e2e_topology() {
    for ns in "$NS_CLI" "$NS_RTR" "$NS_PEER" "$NS_FAR" "$NS_DNS"; do ns_add "$ns"; done
    veth "$NS_CLI" c0 10.91.0.2/24 "$NS_RTR" r0 10.91.0.1/24
    veth "$NS_RTR" r1 10.92.0.1/24 "$NS_PEER" p0 10.92.0.2/24
    ip -n "$NS_PEER" addr add "$PEER_ADDR2/24" dev p0
    veth "$NS_RTR" r2 10.94.0.1/24 "$NS_DNS" d0 10.94.0.2/24
    veth "$NS_PEER" p1 10.93.0.1/24 "$NS_FAR" f0 10.93.0.2/24
    ip -n "$NS_DNS" addr add "$RESOLVER/32" dev d0
    ip -n "$NS_CLI" route add default via 10.91.0.1
    ip -n "$NS_PEER" route add default via 10.92.0.1
    ip -n "$NS_DNS" route add default via 10.94.0.1
    ip -n "$NS_FAR" route add default via 10.93.0.1
    ip -n "$NS_RTR" route add "$RESOLVER/32" via 10.94.0.2
    ip netns exec "$NS_RTR" sysctl -qw net.ipv4.ip_forward=1
    ip netns exec "$NS_PEER" sysctl -qw net.ipv4.ip_forward=1
}

# A second router between the client and the peer's network, a path other than the default:
#
#   cli  c1 10.95.0.2 ---- s0 10.95.0.1  gw2  10.96.0.1 s1 ---- p2 10.96.0.2  peer
e2e_second_path() {
    NS_GW2="gw2-$E2E_ID"
    ns_add "$NS_GW2"
    veth "$NS_CLI" c1 10.95.0.2/24 "$NS_GW2" s0 10.95.0.1/24
    veth "$NS_GW2" s1 10.96.0.1/24 "$NS_PEER" p2 10.96.0.2/24
    ip netns exec "$NS_GW2" sysctl -qw net.ipv4.ip_forward=1
    ip -n "$NS_GW2" route add 10.92.0.0/24 via 10.96.0.2
    ip -n "$NS_PEER" route add 10.95.0.0/24 via 10.96.0.1
}

# Starts a command in a namespace in the background and records its PID.
# bg NS LOGFILE CMD...
bg() {
    local ns="$1" out="$2"; shift 2
    ip netns exec "$ns" "$@" >"$out" 2>&1 &
    E2E_PIDS+=("$!")
    LAST_PID=$!
}

stop_pid() {  # stop_pid PID [SIGNAL]
    local pid="$1" sig="${2:-TERM}"
    kill "-$sig" "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    wait "$pid" 2>/dev/null || true
}

# wait_for SECONDS DESCRIPTION COMMAND...: polls the command until it succeeds.
wait_for() {
    local secs="$1" what="$2"; shift 2
    local end=$(( $(date +%s) + secs ))
    until "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -lt "$end" ] || fail "timed out after ${secs}s waiting for: $what"
        sleep 0.1
    done
}

# The log line, without its time prefix, appears in FILE (at least N times).
log_has() {  # log_has FILE LINE [N]
    local n="${3:-1}"
    [ "$(sed -E 's#^[0-9]+/[0-9]+/[0-9]+ [0-9]+:[0-9]{2}:[0-9]{2} ##' "$1" | grep -cxF -- "$2")" -ge "$n" ]
}
log_count() {
    sed -E 's#^[0-9]+/[0-9]+/[0-9]+ [0-9]+:[0-9]{2}:[0-9]{2} ##' "$1" | grep -cxF -- "$2" || true
}

# peer_config FILE [extra lines...]: users alice (fixed-less) and bob.
peer_config() {
    local f="$1"; shift
    {
        echo "[peer0]"
        echo "port=$PEER_PORT"
        echo "pool=10.8.0.0/24"
        echo "mtu=1400"
        echo "encrypt=1"
        echo "dns=10.94.0.2,10.94.0.3"
        echo "user=alice:wonderland"
        for l in "$@"; do echo "$l"; done
    } >"$f"
}

# client_config FILE SERVER [extra lines...]
client_config() {
    local f="$1" server="$2"; shift 2
    {
        echo "[tolv0]"
        echo "server=$server"
        echo "port=$PEER_PORT"
        echo "username=alice"
        echo "password=wonderland"
        echo "mtu=1500"
        for l in "$@"; do echo "$l"; done
    } >"$f"
    chmod 600 "$f"  # it holds a password
}

start_peer() {  # start_peer CONFIG
    bg "$NS_PEER" "$E2E_DIR/peerd.out" "$PEERD" -f "$1" -l "$E2E_DIR/peerd.log"
    PEER_PID=$LAST_PID
}

start_client() {  # start_client CONFIG; the log is $CLIENT_LOG when a test sets it
    bg "$NS_CLI" "$E2E_DIR/tolvad.out" "$TOLVAD" -f "$1" -l "${CLIENT_LOG:-$E2E_DIR/tolvad.log}"
    CLIENT_PID=$LAST_PID
}

established_count() {
    sed -E 's#^[0-9]+/[0-9]+/[0-9]+ [0-9]+:[0-9]{2}:[0-9]{2} ##' "$E2E_DIR/tolvad.log" |
        grep -c '^sdwan DATA ESTABLISHED session ' || true
}
established_at_least() { [ "$(established_count)" -ge "$1" ]; }
log_count_at_least() { [ "$(log_count "$1" "$2")" -ge "$3" ]; }  # FILE LINE N
file_size_is() { [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -eq "$2" ]; }
wait_established() {  # wait_established SECONDS [COUNT]
    local n="${2:-1}"
    wait_for "$1" "session $n established" established_at_least "$n"
}

# The usual start: the peer as peer_config writes it, the client with these lines added, both
# running and the first session up within 15 s.
session_up() {  # session_up [CLIENT LINE ...]
    peer_config "$E2E_DIR/peer.conf"
    client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "$@"
    start_peer "$E2E_DIR/peer.conf"
    start_client "$E2E_DIR/tolvad.conf"
    wait_established 15
}

ping_far() {  # ping_far [COUNT]
    ip netns exec "$NS_CLI" ping -n -q -c "${1:-3}" -i 0.2 -W 2 "$FAR_ADDR"
}

# ---- Figures of a running process and of the kernel, for the hardening tests.
proc_cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }  # user + system, every thread
proc_rss_kb() { awk '$1 == "VmRSS:" {print $2}' "/proc/$1/status"; }
proc_fd_count() {  # the least of three looks: a route request holds a socket for a moment
    local n m=
    for _ in 1 2 3; do
        n=$(find "/proc/$1/fd" -mindepth 1 -maxdepth 1 | wc -l)
        [ -n "$m" ] && [ "$m" -le "$n" ] || m=$n
        sleep 0.05
    done
    echo "$m"
}
proc_alive() { kill -0 "$1" 2>/dev/null && [ "$(awk '{print $3}' "/proc/$1/stat")" != Z ]; }
if_stat() { ip netns exec "$1" cat "/sys/class/net/$2/statistics/$3"; }  # if_stat NS IF COUNTER
udp_stat() {  # udp_stat NS FIELD: a Udp counter of /proc/net/snmp in that namespace
    ip netns exec "$1" awk -v f="$2" '$1 == "Udp:" {
        if (!n) { for (i = 2; i <= NF; i++) h[i] = $i; n = 1 } else for (i = 2; i <= NF; i++) if (h[i] == f) print $i
    }' /proc/net/snmp
}
client_udp_port() {  # the local port of the client's session socket (bound by its first send)
    ip netns exec "$NS_CLI" ss -Hnaup | grep "pid=$CLIENT_PID," | awk '{print $4}' | sed 's/.*://' |
        grep -vx '0\|\*' | head -n 1 || true
}
# phase_begin PID / phase_end PID NAME: the CPU share, resident memory and descriptors of a
# process over a phase, logged and left in PH_CPU (percent of one core), PH_RSS0, PH_RSS1,
# PH_FD0, PH_FD1.
phase_begin() {
    PH_T0=$(date +%s%N) PH_TICKS0=$(proc_cpu_ticks "$1") PH_RSS0=$(proc_rss_kb "$1") PH_FD0=$(proc_fd_count "$1")
}
phase_end() {
    local t1 ticks1 hz
    t1=$(date +%s%N) ticks1=$(proc_cpu_ticks "$1") hz=$(getconf CLK_TCK)
    PH_RSS1=$(proc_rss_kb "$1") PH_FD1=$(proc_fd_count "$1")
    local tenths=$(( (ticks1 - PH_TICKS0) * 1000 * 1000000000 / hz / (t1 - PH_T0) ))
    PH_CPU=$(( tenths / 10 ))
    log "$2: cpu $(( tenths / 10 )).$(( tenths % 10 ))% over $(( (t1 - PH_T0) / 1000000 )) ms, rss ${PH_RSS0} -> ${PH_RSS1} kB, fds ${PH_FD0} -> ${PH_FD1}"
}

# ---- What the client leaves on its host, for the host-safety tests.
# The client namespace's interfaces (name, flags, addresses) and routes, to compare over a run.
host_state() {
    ip -n "$NS_CLI" -o -4 addr show | awk '{print $2, $4}' | sort
    ip -n "$NS_CLI" -o link show | awk '{print $2, $3}' | sort
    ip -n "$NS_CLI" -4 route show table main | sort
}
# start_client_as NAME CONFIG: a further instance, with logs NAME.log and NAME.out.
start_client_as() {
    bg "$NS_CLI" "$E2E_DIR/$1.out" "$TOLVAD" -f "$2" -l "$E2E_DIR/$1.log"
}
# The clean-up step the service units run after the daemon ended.
cleanup_step() {  # cleanup_step CONFIG
    ip netns exec "$NS_CLI" "${TOLVACTL:?TOLVACTL must name the tolvactl binary}" cleanup -f "$1"
}

# ---- A delaying relay for one uplink (tests/support/delay_relay.py), in the router's namespace.
# relay_start NAME RTR_IF RTR_ADDR PORT DELAY_MS [LIFETIME]: the UDP that comes in on the
# router's interface RTR_IF for the peer's port is led (DNAT) into a relay listening on
# RTR_ADDR:PORT, which holds it DELAY_MS each way and forwards it from the router's address on
# the peer's network. Start it before the client: a flow the router already tracks is not led
# anew. relay_delay NAME MS changes the delay while it runs; the relay's PID is RELAY_PID.
E2E_SUPPORT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../support" && pwd)"
relay_listening() { [ -n "$(ip netns exec "$NS_RTR" ss -Hlun "src $1")" ]; }
relay_start() {
    local name="$1" rif="$2" raddr="$3" port="$4" ms="$5" life="${6:-120}"
    echo "$ms" >"$E2E_DIR/relay-$name.ms"
    if ! ip netns exec "$NS_RTR" nft list table ip e2e_relay >/dev/null 2>&1; then
        ip netns exec "$NS_RTR" nft -f - <<'NFT'
table ip e2e_relay {
    chain pre { type nat hook prerouting priority dstnat; policy accept; }
}
NFT
    fi
    bg "$NS_RTR" "$E2E_DIR/relay-$name.out" python3 "$E2E_SUPPORT/delay_relay.py" \
        --listen "$raddr:$port" --peer "$PEER_ADDR:$PEER_PORT" --upstream 10.92.0.1 \
        --control "$E2E_DIR/relay-$name.ms" --lifetime "$life"
    RELAY_PID=$LAST_PID
    wait_for 5 "relay $name listening" relay_listening "$raddr:$port"
    ip netns exec "$NS_RTR" nft add rule ip e2e_relay pre iifname "$rif" ip daddr "$PEER_ADDR" \
        udp dport "$PEER_PORT" dnat to "$raddr:$port"
}
relay_delay() {  # relay_delay NAME MS: replaced whole, so the relay never reads half a number
    echo "$2" >"$E2E_DIR/relay-$1.ms.new"
    mv -f "$E2E_DIR/relay-$1.ms.new" "$E2E_DIR/relay-$1.ms"
}

# A line matching the extended regular expression, without its time prefix, is in FILE.
log_match() {  # log_match FILE ERE
    sed -E 's#^[0-9]+/[0-9]+/[0-9]+ [0-9]+:[0-9]{2}:[0-9]{2} ##' "$1" | grep -qxE -- "$2"
}
# Two uplinks to one router: c0 (10.91.0.2, the topology's own) and c1 (10.97.0.2 to the router's
# r3), default routes at metric 100 and 200.
e2e_two_uplinks() {
    veth "$NS_CLI" c1 10.97.0.2/24 "$NS_RTR" r3 10.97.0.1/24
    ip -n "$NS_CLI" route del default
    ip -n "$NS_CLI" route add default via 10.91.0.1 dev c0 metric 100
    ip -n "$NS_CLI" route add default via 10.97.0.1 dev c1 metric 200
}
# The uplink the session is on, from the status file, and whether a path is in a state.
active_path() {  # active_path STATUS
    sed -nE 's#^tolvad_path_active\{interface="tolv0",path="([^"]+)"\} 1$#\1#p' "$1" | grep .
}
path_is() {  # path_is STATUS PATH STATE
    grep -qxF "tolvad_path_state{interface=\"tolv0\",path=\"$2\",state=\"$3\"} 1" "$1"
}
