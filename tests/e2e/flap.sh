#!/usr/bin/env bash
# The daemon's own datagrams never enter its tunnel, and a lost interface is noticed.
# A 0.3 s flap of the uplink makes the kernel drop the host route to the peer (and the host's
# own default route): no storm of the daemon's datagrams through its own tunnel, the host route is
# put back and the session goes on. Then the TUN interface is deleted under the daemon: one line,
# no busy loop, a new interface and a new session.
. "$(dirname "$0")/lib.sh"
e2e_topology

session_up "status=$E2E_DIR/status.prom"
peer_route() { ip -n "$NS_CLI" route show "$PEER_ADDR/32" | grep -q 'via 10.91.0.1 dev c0'; }
peer_route || fail "no host route to the peer"

log "the uplink flaps for 0.3 s"
rx0=$(if_stat "$NS_CLI" tolv0 tx_packets)  # what the kernel handed the daemon to read
ip -n "$NS_CLI" link set c0 down
# Meanwhile a datagram to the peer's address and port meets the tunnel's default route, as the
# daemon's own would: it is read from the tunnel and dropped, never wrapped and sent.
ip netns exec "$NS_CLI" bash -c "echo x >/dev/udp/$PEER_ADDR/$PEER_PORT" || fail "probe not sent"
sleep 0.3
ip -n "$NS_CLI" link set c0 up
wait_for 10 "host route to the peer put back" peer_route
sleep 3
rx1=$(if_stat "$NS_CLI" tolv0 tx_packets)
log "packets read from the tunnel over the flap: $(( rx1 - rx0 ))"
[ $(( rx1 - rx0 )) -lt 200 ] || fail "storm: $(( rx1 - rx0 )) packets went through the tunnel interface"
wait_for 15 "ping through the tunnel after the flap" ping_far 1
wait_for 3 "the probe counted" sh -c "[ \"\$(awk '\$1 == \"tolvad_looped_packets_total{interface=\\\"tolv0\\\"}\" {print \$2}' '$E2E_DIR/status.prom')\" -ge 1 ]"
log_has "$E2E_DIR/tolvad.log" "peer DATA timeout" && log "(the session came back after a timeout)"

# The flap took the namespace's own default route too; a host's network manager puts it back.
ip -n "$NS_CLI" route replace default via 10.91.0.1

log "the TUN interface is deleted under the daemon"
n=$(established_count)
phase_begin "$CLIENT_PID"
ip -n "$NS_CLI" link del tolv0
sleep 3
phase_end "$CLIENT_PID" "after the deletion"
[ "$PH_CPU" -lt 20 ] || fail "busy loop: ${PH_CPU}% of a core"
[ "$(log_count "$E2E_DIR/tolvad.log" "TUN interface tolv0 lost, creating it again")" -eq 1 ] || fail "one line expected"
wait_established 20 $(( n + 1 ))
ping_far 3 >/dev/null || fail "ping through the new interface"
stop_pid "$CLIENT_PID" TERM
ip -n "$NS_CLI" link show tolv0 >/dev/null 2>&1 && fail "interface left after the stop"
[ -z "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32")" ] || fail "host route left after the stop"
log "PASS"
