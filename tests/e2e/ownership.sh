#!/usr/bin/env bash
# The client touches only what it made. A section line naming the uplink (a veth) fails the
# start and leaves the uplink's flags, address and routes; so does a TUN interface another
# program brought up and addressed (exit 1, its line on standard error); a second instance of the same
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

log "another program's TUN interface: up and addressed"
ip -n "$NS_CLI" tuntap add vpn0 mode tun
ip -n "$NS_CLI" addr add 10.77.0.2/24 dev vpn0
ip -n "$NS_CLI" link set vpn0 up
sed 's/^\[tolv0\]$/[vpn0]/' "$E2E_DIR/tolvad.conf" >"$E2E_DIR/vpn.conf"
chmod 600 "$E2E_DIR/vpn.conf"
vpn_before="$(host_state)$(ip -n "$NS_CLI" -o link show dev vpn0 | grep -o 'mtu [0-9]* .*qlen [0-9]*')"
start_client_as vpn "$E2E_DIR/vpn.conf"
vpn_pid=$LAST_PID
wait_for 10 "the instance on vpn0 ends" sh -c "! kill -0 $vpn_pid 2>/dev/null"
status=0
wait "$vpn_pid" || status=$?
[ "$status" -eq 1 ] || fail "exit status $status, not 1"
grep -qxF "tolvad: TUN interface vpn0 is in use (up or addressed) and not this daemon's: left alone" "$E2E_DIR/vpn.out" ||
    fail "standard error: $(cat "$E2E_DIR/vpn.out")"
log_has "$E2E_DIR/vpn.log" "TUN interface vpn0 is in use (up or addressed) and not this daemon's: left alone" ||
    fail "log line"
[ "$(host_state)$(ip -n "$NS_CLI" -o link show dev vpn0 | grep -o 'mtu [0-9]* .*qlen [0-9]*')" = "$vpn_before" ] ||
    fail "vpn0 changed"
ip -n "$NS_CLI" link del vpn0

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
