#!/usr/bin/env bash
# The peer's traffic keeps the path that really reaches it. The client reaches the peer's network
# through a second link with a more specific route; its default route (the first router) cannot
# reach the peer at all. The session holds for more than 30 s with echoes answered, and after the
# stop that specific route is still there and no host route is left.
. "$(dirname "$0")/lib.sh"
e2e_topology
e2e_second_path
ip -n "$NS_CLI" route add 10.92.0.0/24 via 10.95.0.1
ip -n "$NS_RTR" link set r1 down  # the default path no longer reaches the peer

peer_config "$E2E_DIR/peer.conf" "listen=$PEER_ADDR"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "status=$E2E_DIR/status.prom"
echo_count() { awk '$1 == "tolvad_echo_responses_total{interface=\"tolv0\"}" {print $2}' "$E2E_DIR/status.prom"; }
start_peer "$E2E_DIR/peer.conf"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
[ -z "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32")" ] || fail "a host route where none is needed"
ip -n "$NS_CLI" route get "$PEER_ADDR" | grep -q 'via 10.95.0.1 dev c1' || fail "peer not on the second link"
echoes0=$(echo_count)
sleep 32
[ "$(established_count)" -eq 1 ] || fail "the session was set up again"
log_has "$E2E_DIR/tolvad.log" "peer DATA timeout" && fail "the session timed out"
ping_far 3 >/dev/null || fail "ping through the tunnel after 32 s"
echoes=$(( $(echo_count) - echoes0 ))
[ "$echoes" -ge 12 ] || fail "only $echoes echoes answered in 32 s"
stop_pid "$CLIENT_PID" TERM
ip -n "$NS_CLI" route show 10.92.0.0/24 | grep -q 'via 10.95.0.1 dev c1' || fail "the specific route is gone"
[ -z "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32")" ] || fail "host route left"
log "PASS ($echoes echoes answered in 32 s)"
