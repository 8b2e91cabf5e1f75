#!/usr/bin/env bash
# killswitch=1: when a session ends and its routes go, the host's traffic is refused rather than
# sent in clear by the uplink; only the daemon's own datagrams to its peer leave. A capture on the
# client's uplink (c0) while a ping goes to an address the uplink reaches in clear proves it; the
# next session's routes take precedence again; the switch goes at the stop, and after a kill -9
# with the clean-up step.
. "$(dirname "$0")/lib.sh"
e2e_topology
OUTSIDE=10.94.0.2  # reachable by the uplink, in clear, without the tunnel
before=$(host_state)
ks_routes() { ip -n "$NS_CLI" -4 route show | grep -c '^unreachable .* metric 3999' || true; }

session_up "killswitch=1"
log_has "$E2E_DIR/tolvad.log" "Kill switch on: outside sessions, traffic for tolv0 is refused" || fail "no line"
[ "$(ks_routes)" -eq 2 ] || fail "the switch's routes: $(ip -n "$NS_CLI" -4 route show)"
ping_far 3 >/dev/null || fail "ping through the tunnel over the switch"

log "the peer killed: the session times out and its routes go"
stop_pid "$PEER_PID" KILL
wait_for 20 "DATA timeout" log_has "$E2E_DIR/tolvad.log" "peer DATA timeout"
! ip -n "$NS_CLI" -4 route show | grep -q 'dev tolv0' || fail "the session's routes stayed"
bg "$NS_CLI" "$E2E_DIR/capture.out" tshark -q -n -i c0 -w "$E2E_DIR/uplink.pcap"
CAPTURE_PID=$LAST_PID
wait_for 10 "capture running" grep -q "Capturing on" "$E2E_DIR/capture.out"
# Four seconds: the ping is refused at once, the daemon sends an OPEN every two.
for _ in 1 2 3 4 5 6 7 8; do
    if ip netns exec "$NS_CLI" ping -n -q -c 1 -W 1 "$OUTSIDE" >"$E2E_DIR/ping.out" 2>&1; then
        fail "a ping to $OUTSIDE went out between sessions"
    fi
    sleep 0.5
done
stop_pid "$CAPTURE_PID" INT
count() { tshark -n -r "$E2E_DIR/uplink.pcap" -Y "$1" 2>/dev/null | wc -l; }
# What the client sent, by its link address: the dead peer's host answers its datagrams with ICMP
# errors that quote them, and ip.src would match the quote.
OUT="ip and eth.src == $(ip -n "$NS_CLI" -br link show c0 | awk '{print $3}')"
[ "$(count "$OUT and icmp")" -eq 0 ] || fail "ICMP left by the uplink between sessions: $(tshark -n -r "$E2E_DIR/uplink.pcap" -Y icmp)"
[ "$(count "$OUT and not (ip.dst == $PEER_ADDR and udp.dstport == $PEER_PORT)")" -eq 0 ] ||
    fail "more than the daemon's datagrams left: $(tshark -n -r "$E2E_DIR/uplink.pcap" -Y ip)"
[ "$(count "ip.dst == $PEER_ADDR and udp.dstport == $PEER_PORT")" -gt 0 ] || fail "the daemon's datagrams did not leave"

log "the next session's routes over the switch, then a stop: the switch goes"
start_peer "$E2E_DIR/peer.conf"
wait_established 20 2
ping_far 3 >/dev/null || fail "ping in the next session"
stop_pid "$CLIENT_PID" TERM
log_has "$E2E_DIR/tolvad.log" "Kill switch off for tolv0" || fail "no line at the stop"
[ "$(host_state)" = "$before" ] || fail "left after a stop: $(diff <(echo "$before") <(host_state))"

log "killed, then the clean-up step: the switch goes with the rest"
: >"$E2E_DIR/tolvad.log"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
stop_pid "$CLIENT_PID" KILL
[ "$(ks_routes)" -eq 2 ] || fail "the killed run left no switch to remove"
cleanup_step "$E2E_DIR/tolvad.conf" >"$E2E_DIR/cleanup.out" || fail "clean-up step failed: $(cat "$E2E_DIR/cleanup.out")"
[ "$(host_state)" = "$before" ] || fail "left after the clean-up step: $(diff <(echo "$before") <(host_state))"
ip netns exec "$NS_CLI" ping -n -q -c 1 -W 2 "$OUTSIDE" >/dev/null || fail "the uplink does not carry the host again"
log "PASS"
