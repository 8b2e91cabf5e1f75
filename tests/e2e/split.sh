#!/usr/bin/env bash
# Split routes (routes=): only the far network goes through the tunnel, everything else leaves by
# the host's own default route. The routes go at a DATA timeout, come back with the next session
# and go at shutdown; a prefix that covers the peer still keeps the peer's own traffic outside.
. "$(dirname "$0")/lib.sh"
TOLVACTL="${TOLVACTL:?TOLVACTL must name the tolvactl binary}"
command -v promtool >/dev/null || fail "promtool is not installed (scripts/deps.sh installs it)"
e2e_topology
OTHER=10.94.0.2  # reached by the router, never through the tunnel
STATUS="$E2E_DIR/status.prom"
installed() { grep -qxF "tolvad_route_installed{interface=\"tolv0\",prefix=\"$1\"} $2" "$STATUS"; }
before=$(host_state)

session_up "routes=10.93.0.0/24" "status=$STATUS"
ip -n "$NS_CLI" route get "$FAR_ADDR" | grep -q 'via 10.8.0.1 dev tolv0' || fail "far network not in the tunnel"
ip -n "$NS_CLI" route get "$OTHER" | grep -q 'via 10.91.0.1 dev c0' || fail "the rest does not leave locally"
[ -z "$(ip -n "$NS_CLI" route show default dev tolv0)" ] || fail "a tunnel default route in split mode"
[ -z "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32")" ] || fail "a host route to a peer no prefix covers"
ping_far 3 >/dev/null || fail "ping to the far network through the tunnel"
tx0=$(if_stat "$NS_CLI" tolv0 tx_packets)
ip netns exec "$NS_CLI" ping -n -q -c 3 -i 0.2 -W 2 "$OTHER" >/dev/null || fail "ping to the local breakout"
[ "$(if_stat "$NS_CLI" tolv0 tx_packets)" -eq "$tx0" ] || fail "local traffic entered the tunnel"
wait_for 5 "status: route installed" installed 10.93.0.0/24 1
promtool check metrics <"$STATUS" || fail "promtool check metrics on the status file with routes"
"$TOLVACTL" show "$STATUS" | grep -qxF "  routes: 10.93.0.0/24 installed" || fail "tolvactl show: $("$TOLVACTL" show "$STATUS")"
"$TOLVACTL" check -f "$E2E_DIR/tolvad.conf" | grep -qxF \
    "  routes     10.93.0.0/24 through the tunnel, the rest by the host's own routes" || fail "tolvactl check"

log "the peer's link goes down: DATA timeout takes the routes away"
ip -n "$NS_RTR" link set r1 down
wait_for 25 "peer DATA timeout" log_has "$E2E_DIR/tolvad.log" "peer DATA timeout"
[ -z "$(ip -n "$NS_CLI" route show 10.93.0.0/24)" ] || fail "split route left after the timeout"
wait_for 5 "status: route not installed" installed 10.93.0.0/24 0
ip -n "$NS_RTR" link set r1 up
wait_established 30 2
ip -n "$NS_CLI" route show 10.93.0.0/24 | grep -q 'via 10.8.0.1 dev tolv0' || fail "route not back with the session"
ping_far 3 >/dev/null || fail "ping after the new session"

stop_pid "$CLIENT_PID" TERM
[ -z "$(ip -n "$NS_CLI" route show 10.93.0.0/24)" ] || fail "split route left after shutdown"
[ "$(host_state)" = "$before" ] || fail "host not as before: $(host_state)"
log_has "$E2E_DIR/tolvad.log" "EXIT" || fail "EXIT line"

log "a prefix covering the peer: the peer keeps its path outside the tunnel"
: >"$E2E_DIR/tolvad.log"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "routes=10.92.0.0/16,10.93.0.0/24"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
ip -n "$NS_CLI" route get "$PEER_ADDR" | grep -q 'via 10.91.0.1 dev c0' || fail "peer routed into the tunnel"
ip -n "$NS_CLI" route get 10.92.0.1 | grep -q 'dev tolv0' || fail "the peer's network not in the tunnel"
sleep 12  # past the silence limit: echoes must be answered over the peer's own path
[ "$(established_count)" -eq 1 ] || fail "the session was set up again"
ping_far 3 >/dev/null || fail "ping through the tunnel"
stop_pid "$CLIENT_PID" TERM
[ "$(host_state)" = "$before" ] || fail "host not as before: $(host_state)"
log "PASS"
