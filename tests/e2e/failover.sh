#!/usr/bin/env bash
# A TCP stream through the tunnel while the active uplink is lost. Two uplinks to one router, c0
# (metric 100) and c1 (metric 200), the client with uplinks=c0,c1 and the default policy; an
# iperf3 stream from the client to the far host, reported every 0.1 s by the receiver; 4 s in,
# the path the session is on is lost: its link set down in the client's namespace, or left up
# with everything through it dropped in the router. The stream ends without error, its longest
# stretch of intervals with nothing received stays under 1.5 s for a sealed session and under 8 s
# for a legacy one (a new OPEN), the log says why the path went down and that the other was
# chosen, the status file shows the other active, the log holds a few lines about it (not one
# per probe sent into the lost path), and the client's stop leaves no host route to the peer.
#
# FAILOVER_FIGURES=FILE appends "SESSION<TAB>LOSS<TAB>GAP" per run (bench/failover.sh reads it).
. "$(dirname "$0")/lib.sh"
HERE="$(cd "$(dirname "$0")" && pwd)"
TOLVACTL="${TOLVACTL:?TOLVACTL must name the tolvactl binary}"
for t in nft iperf3; do command -v "$t" >/dev/null || fail "$t is needed (scripts/deps.sh installs it)"; done
e2e_topology
e2e_two_uplinks
KEY=$("$TOLVACTL" genkey "$E2E_DIR/peer.key") || fail "genkey"
# It takes a legacy client and a sealed one; a fresh one each run, so no run inherits a session.
peer_config "$E2E_DIR/peer.conf" "privatekey=$E2E_DIR/peer.key"
IPERF_PORT=5300

# Each uplink's router end, gateway and metric. Both are the same kind of link, so the best policy
# may start on either: the one the session is on is the one lost.
declare -A RTR_IF=([c0]=r0 [c1]=r3) GW=([c0]=10.91.0.1 [c1]=10.97.0.1) METRIC=([c0]=100 [c1]=200)
lose() {  # lose PATH LOSS
    case "$2" in
    "link down") ip -n "$NS_CLI" link set "$1" down ;;
    drop) ip netns exec "$NS_RTR" nft -f - <<NFT ;;
table inet failover {
    chain in { type filter hook prerouting priority -300; policy accept; iifname "${RTR_IF[$1]}" drop; }
    chain out { type filter hook postrouting priority 300; policy accept; oifname "${RTR_IF[$1]}" drop; }
}
NFT
    esac
}
restore() {  # restore PATH LOSS
    case "$2" in
    "link down")
        ip -n "$NS_CLI" link set "$1" up
        ip -n "$NS_CLI" route replace default via "${GW[$1]}" dev "$1" metric "${METRIC[$1]}" ;;
    drop) ip netns exec "$NS_RTR" nft delete table inet failover ;;
    esac
}
MISSES=()
miss() { log "FAIL: $*"; MISSES+=("$*"); }
within() {  # within SECONDS COMMAND...: true once the command is, false after that long
    local end=$(( $(date +%s) + $1 )); shift
    until "$@" >/dev/null 2>&1; do [ "$(date +%s)" -lt "$end" ] || return 1; sleep 0.1; done
}
both_up() { path_is "$1" c0 up && path_is "$1" c1 up && active_path "$1"; }

run() {  # run SESSION LOSS LIMIT_SECONDS [CLIENT LINE...]
    local session="$1" loss="$2" limit="$3" name="$1, $2"; shift 3
    local clog="$E2E_DIR/tolvad.log" status="$E2E_DIR/status.prom"
    rm -f "$status"
    client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "uplinks=c0,c1" "datalog=0" "status=$status" "$@"
    start_peer "$E2E_DIR/peer.conf"
    start_client "$E2E_DIR/tolvad.conf"
    wait_established 15
    wait_for 5 "$name: both paths up and one active" both_up "$status"
    local act other
    act=$(active_path "$status")
    [ "$act" = c0 ] && other=c1 || other=c0
    IPERF_PORT=$((IPERF_PORT + 1))
    bg "$NS_FAR" "$E2E_DIR/iperf-server.json" iperf3 -s -1 -J -i 0.1 -p "$IPERF_PORT"
    local server=$LAST_PID
    wait_for 5 "iperf3 listening" sh -c "ip netns exec $NS_FAR ss -Hltn 'sport = :$IPERF_PORT' | grep -q ."
    # 20 Mbit/s is plenty to see a gap at 0.1 s and leaves the shared machine's CPU alone.
    ip netns exec "$NS_CLI" timeout 30 iperf3 -c "$FAR_ADDR" -p "$IPERF_PORT" -t 12 -i 0.1 -b 20M -J \
        --connect-timeout 3000 >"$E2E_DIR/iperf-client.json" 2>&1 &
    local client=$!
    sleep 4
    lose "$act" "$loss"
    local lines0; lines0=$(wc -l <"$clog")
    wait "$client" || fail "$name: iperf3 failed: $(grep -m1 '"error"' "$E2E_DIR/iperf-client.json")"
    wait_for 5 "$name: the iperf3 server's report" sh -c "! kill -0 $server 2>/dev/null"
    local gap
    gap=$(python3 "$HERE/iperf_gap.py" "$E2E_DIR/iperf-server.json") || fail "$name: no receiver report"
    log "$name ($act lost): longest gap $gap s"
    [ -z "${FAILOVER_FIGURES:-}" ] || printf '%s\t%s\t%s\n' "$session" "$loss" "$gap" >>"$FAILOVER_FIGURES"
    # From here a miss is noted and the run goes on: every scenario is seen, and its figure taken.
    case "$loss" in
    "link down") log_has "$clog" "path $act down: link down" || miss "$name: no link-down line" ;;
    drop) log_has "$clog" "path $act down: 3 probes lost" || miss "$name: no probes-lost line" ;;
    esac
    log_match "$clog" "path $other chosen: round trip [0-9.]+ ms, was $act" || miss "$name: no line choosing $other"
    within 3 grep -qxF "tolvad_path_active{interface=\"tolv0\",path=\"$other\"} 1" "$status" ||
        miss "$name: $other not shown active"
    grep -qxF "tolvad_path_active{interface=\"tolv0\",path=\"$act\"} 0" "$status" || miss "$name: $act still shown active"
    python3 -c 'import sys; sys.exit(0 if float(sys.argv[1]) < float(sys.argv[2]) else 1)' "$gap" "$limit" ||
        miss "$name: longest gap $gap s, not under $limit s"
    # A lost uplink may stay lost for hours: what it costs the log must not grow with the time.
    local more=$(( $(wc -l <"$clog") - lines0 ))
    [ "$more" -le 12 ] || miss "$name: $more log lines in the 8 s after the loss: $(tail -n +$((lines0 + 1)) "$clog" |
        sed -E 's#^[0-9/]+ [0-9:]+ ##' | sort | uniq -c | sort -rn | head -n 3 | tr -s ' \n' ' ')"

    stop_pid "$CLIENT_PID" TERM
    stop_pid "$PEER_PID" TERM
    [ -z "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32")" ] || fail "$name: a host route to the peer left"
    restore "$act" "$loss"
    [ "$(ip -n "$NS_CLI" route show default | wc -l)" -eq 2 ] || fail "$name: the host's default routes changed"
    mv "$clog" "$E2E_DIR/tolvad-${session}-${loss// /-}.log"
    mv "$E2E_DIR/peerd.log" "$E2E_DIR/peerd-${session}-${loss// /-}.log"
}
run sealed "link down" 1.5 "peerkey=$KEY"
run sealed drop 1.5 "peerkey=$KEY"
run legacy "link down" 8
run legacy drop 8
[ ${#MISSES[@]} -eq 0 ] || fail "${#MISSES[@]} checks missed (above)"
log PASS
