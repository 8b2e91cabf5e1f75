#!/usr/bin/env bash
# setdns=1: the peer's DNS servers (10.94.0.2, 10.94.0.3) go to the resolver manager as the tunnel
# link's servers when the session is established and are withdrawn when it ends. The manager is a
# recording stand-in on a private bus (DBUS_SYSTEM_BUS_ADDRESS); the host's own bus and resolver
# are never touched. Full tunnel mode takes every lookup, split mode only the listed domains;
# without a manager one line says the servers were not applied.
. "$(dirname "$0")/lib.sh"
: "${RESOLVED_DOUBLE:?RESOLVED_DOUBLE must name the test double}"
e2e_topology
BUS="$E2E_DIR/bus"
cat >"$E2E_DIR/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$BUS</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
bg "$NS_CLI" "$E2E_DIR/dbus.out" dbus-daemon --nofork --nopidfile --nosyslog --config-file="$E2E_DIR/bus.conf"
wait_for 10 "private bus" test -S "$BUS"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$BUS"
CALLS="$E2E_DIR/calls"

start_double() {  # start_double [refuse]
    : >"$CALLS"
    bg "$NS_CLI" "$E2E_DIR/double.err" sh -c "exec \"$RESOLVED_DOUBLE\" $* >>\"$CALLS\""  # appends: the file may be emptied
    DOUBLE_PID=$LAST_PID
    wait_for 10 "resolver double on the bus" grep -qx ready "$E2E_DIR/double.err"
}
# run CONFIG-LINES...: one session from start to SIGTERM; leaves IFINDEX.
run_session() {
    : >"$E2E_DIR/tolvad.log"
    : >"$CALLS"
    client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "$@"
    start_client "$E2E_DIR/tolvad.conf"
    wait_established 15
    IFINDEX=$(ip netns exec "$NS_CLI" cat /sys/class/net/tolv0/ifindex)
}
calls_are() {  # calls_are LINE...: the double received exactly these calls, in this order
    local want
    want=$(printf '%s\n' "$@")
    [ "$(cat "$CALLS")" = "$want" ] || fail "calls: $(cat "$CALLS") / wanted: $want"
}

peer_config "$E2E_DIR/peer.conf"
start_peer "$E2E_DIR/peer.conf"

log "full tunnel: every lookup to the tunnel's servers"
start_double
run_session "setdns=1" "dnsdomains=corp.example"
wait_for 5 "servers set" log_has "$E2E_DIR/tolvad.log" "DNS servers 10.94.0.2 10.94.0.3 set on tolv0 through systemd-resolved"
calls_are "SetLinkDNS $IFINDEX 10.94.0.2 10.94.0.3" "SetLinkDomains $IFINDEX ~.:1 corp.example:0" \
    "SetLinkDefaultRoute $IFINDEX 1"
stop_pid "$CLIENT_PID" TERM
log_has "$E2E_DIR/tolvad.log" "DNS servers withdrawn from tolv0" || fail "withdrawal line"
calls_are "SetLinkDNS $IFINDEX 10.94.0.2 10.94.0.3" "SetLinkDomains $IFINDEX ~.:1 corp.example:0" \
    "SetLinkDefaultRoute $IFINDEX 1" "RevertLink $IFINDEX"

log "split: only the company's domains, withdrawn at a DATA timeout"
run_session "setdns=1" "dnsdomains=corp.example, branch.corp.example" "routes=10.93.0.0/24"
wait_for 5 "servers set" log_has "$E2E_DIR/tolvad.log" "DNS servers 10.94.0.2 10.94.0.3 set on tolv0 through systemd-resolved"
calls_are "SetLinkDNS $IFINDEX 10.94.0.2 10.94.0.3" "SetLinkDomains $IFINDEX corp.example:1 branch.corp.example:1" \
    "SetLinkDefaultRoute $IFINDEX 0"
: >"$CALLS"
ip -n "$NS_RTR" link set r1 down
wait_for 25 "peer DATA timeout" log_has "$E2E_DIR/tolvad.log" "peer DATA timeout"
log_has "$E2E_DIR/tolvad.log" "DNS servers withdrawn from tolv0" || fail "no withdrawal at the timeout"
calls_are "RevertLink $IFINDEX"
ip -n "$NS_RTR" link set r1 up
stop_pid "$CLIENT_PID" TERM
stop_pid "$DOUBLE_PID" TERM

log "the manager refuses: one line, and what it may have taken is reverted at the end"
start_double refuse
run_session "setdns=1"
wait_for 5 "refusal line" log_has "$E2E_DIR/tolvad.log" \
    "Failed to set DNS servers 10.94.0.2 10.94.0.3 on tolv0 through systemd-resolved: SetLinkDNS: refused by the test"
stop_pid "$CLIENT_PID" TERM
calls_are "SetLinkDNS $IFINDEX 10.94.0.2 10.94.0.3" "RevertLink $IFINDEX"
stop_pid "$DOUBLE_PID" TERM

log "no manager on the bus: one line, nothing else"
run_session "setdns=1"
wait_for 5 "not applied line" log_has "$E2E_DIR/tolvad.log" \
    "DNS servers 10.94.0.2 10.94.0.3 not applied: systemd-resolved is not running"
stop_pid "$CLIENT_PID" TERM
log_has "$E2E_DIR/tolvad.log" "DNS servers withdrawn from tolv0" && fail "withdrawn what was never set"

log "without setdns: not a word about DNS servers, no call"
start_double
run_session
sleep 1
stop_pid "$CLIENT_PID" TERM
grep -q "DNS servers" "$E2E_DIR/tolvad.log" && fail "a DNS line without setdns"
[ ! -s "$CALLS" ] || fail "calls without setdns: $(cat "$CALLS")"
log "PASS"
