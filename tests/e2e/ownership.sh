#!/usr/bin/env bash
# The client touches only what it made. A section line naming the uplink (a veth) fails the
# start and leaves the uplink's flags, address and routes; a second instance of the same
# configuration fails to attach and leaves the first one's interface, routes and data path.
. "$(dirname "$0")/lib.sh"
e2e_topology

peer_config "$E2E_DIR/peer.conf"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR"
start_peer "$E2E_DIR/peer.conf"

log "a section line naming the uplink"
sed 's/^\[tolv0\]$/[c0]/' "$E2E_DIR/tolvad.conf" >"$E2E_DIR/typo.conf"
chmod 600 "$E2E_DIR/typo.conf"
before=$(host_state)
start_client_as typo "$E2E_DIR/typo.conf"
typo_pid=$LAST_PID
wait_for 10 "the typo instance ends" sh -c "! kill -0 $typo_pid 2>/dev/null"
log_has "$E2E_DIR/typo.log" "Failed to attach tun interface c0: Invalid argument" || fail "attach line"
[ "$(host_state)" = "$before" ] || fail "the uplink changed: $(diff <(echo "$before") <(host_state))"
cleanup_step "$E2E_DIR/typo.conf" || fail "clean-up step on the uplink's name"
[ "$(host_state)" = "$before" ] || fail "the clean-up step changed the uplink"

log "a second instance of the same configuration"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
during=$(host_state)
start_client_as second "$E2E_DIR/tolvad.conf"
second_pid=$LAST_PID
wait_for 10 "the second instance ends" sh -c "! kill -0 $second_pid 2>/dev/null"
log_has "$E2E_DIR/second.log" "Failed to attach tun interface tolv0: Device or resource busy" || fail "busy line"
[ "$(host_state)" = "$during" ] || fail "the first instance's host changed: $(diff <(echo "$during") <(host_state))"
cleanup_step "$E2E_DIR/tolvad.conf" || fail "clean-up step while the first runs"
[ "$(host_state)" = "$during" ] || fail "the clean-up step took a running daemon's interface"
ping_far 3 >/dev/null || fail "ping through the first instance's tunnel"
stop_pid "$CLIENT_PID" TERM
[ "$(host_state)" = "$before" ] || fail "left after the stop: $(diff <(echo "$before") <(host_state))"
log "PASS"
