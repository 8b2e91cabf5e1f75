#!/usr/bin/env bash
# The best policy under changing round trips. Two uplinks to one router, each through a delaying
# relay in the router (tests/support/delay_relay.py): c0 20 ms each way, c1 60 ms. A sealed session
# with uplinks=c0,c1 is on c0, both paths measured at their relays' round trips; c0 is slowed to
# 120 ms and within 5 s c1 is chosen and shown active. Then both are set near each other (40 and 42 ms) for 20 s: at
# most 2 moves, by the status file's count and by the log.
#
# PATHBEST_FIGURES=FILE appends "best move<TAB>SECONDS" (bench/failover.sh reads it).
. "$(dirname "$0")/lib.sh"
TOLVACTL="${TOLVACTL:?TOLVACTL must name the tolvactl binary}"
command -v nft >/dev/null || fail "nft is needed (scripts/deps.sh installs it)"
e2e_topology
e2e_two_uplinks
# Before the client, so that its first datagram on each path is already led into the relay.
relay_start c0 r0 10.91.0.1 4610 20 60
relay_start c1 r3 10.97.0.1 4611 60 60
KEY=$("$TOLVACTL" genkey "$E2E_DIR/peer.key") || fail "genkey"
CLOG="$E2E_DIR/tolvad.log" STATUS="$E2E_DIR/status.prom"
peer_config "$E2E_DIR/peer.conf" "privatekey=$E2E_DIR/peer.key"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "peerkey=$KEY" "uplinks=c0,c1" "datalog=0" "status=$STATUS"
start_peer "$E2E_DIR/peer.conf"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15

series() { grep -qxF "$1" "$STATUS"; }
active_is() { series "tolvad_path_active{interface=\"tolv0\",path=\"$1\"} 1"; }
moves() { awk '$1 == "tolvad_path_moves_total{interface=\"tolv0\"}" { print $2 }' "$STATUS"; }
chosen_lines() {
    sed -E 's#^[0-9]+/[0-9]+/[0-9]+ [0-9]+:[0-9]{2}:[0-9]{2} ##' "$CLOG" | grep -cE '^path c[01] chosen: ' || true
}
srtt_ms() {  # srtt_ms PATH: the path's smoothed round trip in the status file, in ms
    awk -v k="tolvad_path_rtt_smoothed_seconds{interface=\"tolv0\",path=\"$1\"}" '$1 == k { print $2 * 1000 }' "$STATUS"
}
# A path's smoothed round trip is MS within 10 ms: it runs through its relay.
srtt_near() {  # srtt_near PATH MS
    python3 -c 'import sys; sys.exit(0 if abs(float(sys.argv[1]) - float(sys.argv[2])) <= 10 else 1)' "$(srtt_ms "$1")" "$2"
}
started() { active_is c0 && path_is "$STATUS" c0 up && path_is "$STATUS" c1 up; }
both_near() { srtt_near c0 40 && srtt_near c1 120; }

wait_for 5 "c0 active and both paths up" started
for _ in $(seq 100); do both_near 2>/dev/null && break; sleep 0.1; done
both_near 2>/dev/null || fail "smoothed round trips c0 $(srtt_ms c0) ms, c1 $(srtt_ms c1) ms: not 40 and 120 ms, the relays'"
ip netns exec "$NS_CLI" ping -n -q -c 2 -i 0.2 -W 2 "$FAR_ADDR" >/dev/null || fail "no ping through the tunnel on c0"
# A move waits until the last one is 10 s old: a first choice logged as one counts.
[ "$(chosen_lines)" -eq 0 ] || sleep 10

relay_delay c0 120
t0=$(date +%s%N)
wait_for 5 "c1 chosen after c0 slowed" log_match "$CLOG" "path c1 chosen: round trip [0-9.]+ ms, was c0"
took=$(( ($(date +%s%N) - t0) / 1000000 ))
log "best: c1 chosen $((took / 1000)).$(( (took % 1000) / 100 )) s after c0 slowed to 120 ms each way"
[ -z "${PATHBEST_FIGURES:-}" ] || printf 'best move\t%d.%03d\n' $((took / 1000)) $((took % 1000)) >>"$PATHBEST_FIGURES"
wait_for 3 "c1 active in the status file" active_is c1
series 'tolvad_path_active{interface="tolv0",path="c0"} 0' || fail "c0 still shown active"
ip netns exec "$NS_CLI" ping -n -q -c 2 -i 0.2 -W 2 "$FAR_ADDR" >/dev/null || fail "no ping through the tunnel on c1"

relay_delay c0 40
relay_delay c1 42
sleep 1  # the status file is rewritten once a second
m0=$(moves) l0=$(chosen_lines)
[ -n "$m0" ] || fail "no tolvad_path_moves_total in the status file"
sleep 20
m1=$(moves) l1=$(chosen_lines)
log "near: $((m1 - m0)) moves counted, $((l1 - l0)) chosen lines in 20 s at 40 and 42 ms"
[ $((m1 - m0)) -le 2 ] && [ $((l1 - l0)) -le 2 ] || fail "more than 2 moves between paths 2 ms apart"
ip netns exec "$NS_CLI" ping -n -q -c 2 -i 0.2 -W 2 "$FAR_ADDR" >/dev/null || fail "no ping through the tunnel at the end"
log PASS
