#!/usr/bin/env bash
# A run killed in session leaves its persistent interface, the tunnel default route and the host
# route to the peer: the host's traffic would go into a tunnel nobody serves. The clean-up step
# the units run afterwards puts the host back as it was before the start; so does the next start,
# which takes over what the dead run left before anything else, and removes it at its own end.
. "$(dirname "$0")/lib.sh"
e2e_topology

peer_config "$E2E_DIR/peer.conf"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR"
start_peer "$E2E_DIR/peer.conf"
before=$(host_state)

log "killed in session, then the clean-up step"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
stop_pid "$CLIENT_PID" KILL
ip -n "$NS_CLI" route get "$FAR_ADDR" | grep -q 'dev tolv0' || fail "the killed run left no tunnel route to remove"
cleanup_step "$E2E_DIR/tolvad.conf" >"$E2E_DIR/cleanup.out" || fail "clean-up step failed: $(cat "$E2E_DIR/cleanup.out")"
grep -q "Removed what an earlier run left on tolv0" "$E2E_DIR/cleanup.out" || fail "clean-up line"
[ "$(host_state)" = "$before" ] || fail "left after the clean-up step: $(diff <(echo "$before") <(host_state))"
ip -n "$NS_CLI" route get "$FAR_ADDR" | grep -q 'via 10.91.0.1 dev c0' || fail "the host's own default route is not in effect"

log "killed in session, then started again"
: >"$E2E_DIR/tolvad.log"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
stop_pid "$CLIENT_PID" KILL
: >"$E2E_DIR/tolvad.log"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
log_has "$E2E_DIR/tolvad.log" "Removed what an earlier run left on tolv0" || fail "take-over line"
ping_far 3 >/dev/null || fail "ping after the take-over"
stop_pid "$CLIENT_PID" TERM
[ "$(host_state)" = "$before" ] || fail "left after a clean stop: $(diff <(echo "$before") <(host_state))"
log "PASS"
