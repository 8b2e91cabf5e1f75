#!/usr/bin/env bash
# A client that starts before its uplink: with no route to the peer it waits, sends nothing, and
# starts the session once a route appears, the default route in full tunnel mode or a route to
# the peer's network in split mode, with the peer's host route as at any start. waitroute=0
# refuses the start without a default route, as before.
. "$(dirname "$0")/lib.sh"
e2e_topology
before=$(host_state)
ip -n "$NS_CLI" route del default
WAIT_LINE="no route to peer $PEER_ADDR yet: waiting for one"
FOUND_LINE="route to peer $PEER_ADDR found: starting the session"
sent() { udp_stat "$NS_CLI" OutDatagrams; }

peer_config "$E2E_DIR/peer.conf"
start_peer "$E2E_DIR/peer.conf"

log "full tunnel: no route at start, the default route 3 s later"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR"
out0=$(sent)
start_client "$E2E_DIR/tolvad.conf"
wait_for 5 "the waiting line" log_has "$E2E_DIR/tolvad.log" "$WAIT_LINE"
sleep 3
proc_alive "$CLIENT_PID" || fail "the daemon ended without a route"
[ "$(sent)" -eq "$out0" ] || fail "datagrams sent while waiting: $(( $(sent) - out0 ))"
[ "$(log_count "$E2E_DIR/tolvad.log" "$WAIT_LINE")" -eq 1 ] || fail "the waiting line more than once"
ip -n "$NS_CLI" route add default via 10.91.0.1
wait_established 15
log_has "$E2E_DIR/tolvad.log" "$FOUND_LINE" || fail "no line for the route found"
ip -n "$NS_CLI" route show "$PEER_ADDR/32" | grep -q 'via 10.91.0.1 dev c0' ||
    fail "no host route to the peer: $(ip -n "$NS_CLI" route show "$PEER_ADDR/32")"
ip -n "$NS_CLI" route show default dev tolv0 | grep -q 'via 10.8.0.1' || fail "no tunnel default route"
ping_far 3 >/dev/null || fail "ping through the tunnel"
stop_pid "$CLIENT_PID" TERM
ip -n "$NS_CLI" route del default

log "split mode: a route to the peer's network only, no default route"
: >"$E2E_DIR/tolvad.log"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "routes=10.92.0.0/16,10.93.0.0/24"
start_client "$E2E_DIR/tolvad.conf"
wait_for 5 "the waiting line" log_has "$E2E_DIR/tolvad.log" "$WAIT_LINE"
sleep 3
ip -n "$NS_CLI" route add 10.92.0.0/24 via 10.91.0.1
wait_established 15
ip -n "$NS_CLI" route get "$PEER_ADDR" | grep -q 'via 10.91.0.1 dev c0' || fail "peer routed into the tunnel"
ping_far 3 >/dev/null || fail "ping through the tunnel in split mode"
stop_pid "$CLIENT_PID" TERM
ip -n "$NS_CLI" route del 10.92.0.0/24 via 10.91.0.1

log "a peer given by name, at the resolver of resolver=: no route to the resolver, then the default route"
OWN_RESOLVER=10.94.0.2  # the DNS host's own address, not the build's resolver
printf 'host-record=peer.e2e.test,%s\n' "$PEER_ADDR" >"$E2E_DIR/dnsmasq.conf"
bg "$NS_DNS" "$E2E_DIR/dnsmasq.log" dnsmasq --keep-in-foreground --no-resolv --no-hosts \
    --conf-file="$E2E_DIR/dnsmasq.conf" --listen-address="$OWN_RESOLVER" --bind-interfaces \
    --user=root --pid-file= --log-queries --log-facility=-
wait_for 5 "dnsmasq listening" ip netns exec "$NS_DNS" sh -c "ss -lun | grep -q '$OWN_RESOLVER:53 '"
: >"$E2E_DIR/tolvad.log"
client_config "$E2E_DIR/tolvad.conf" peer.e2e.test "resolver=$OWN_RESOLVER"
start_client "$E2E_DIR/tolvad.conf"
wait_for 5 "the waiting line" log_has "$E2E_DIR/tolvad.log" \
    "no route to resolver $OWN_RESOLVER for peer peer.e2e.test yet: waiting for one"
sleep 3
ip -n "$NS_CLI" route add default via 10.91.0.1
wait_established 15
log_has "$E2E_DIR/tolvad.log" "DNS resolved domain peer.e2e.test to IP $PEER_ADDR" || fail "not resolved at $OWN_RESOLVER"
grep -q "query\[A\] peer.e2e.test from 10.91.0.2" "$E2E_DIR/dnsmasq.log" || fail "the query did not reach $OWN_RESOLVER"
stop_pid "$CLIENT_PID" TERM
ip -n "$NS_CLI" route del default

log "waitroute=0: no default route refuses the start, a route to the peer notwithstanding"
ip -n "$NS_CLI" route add 10.92.0.0/24 via 10.91.0.1
: >"$E2E_DIR/tolvad.log"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "waitroute=0"
start_client "$E2E_DIR/tolvad.conf"
rc=0
wait "$CLIENT_PID" || rc=$?
[ "$rc" -eq 1 ] || fail "exit status $rc, not 1"
log_has "$E2E_DIR/tolvad.log" "Failed to load default route" || fail "no refusal line"
grep -qxF "tolvad: no default route in /proc/net/route: the peer would be unreachable" "$E2E_DIR/tolvad.out" ||
    fail "standard error: $(cat "$E2E_DIR/tolvad.out")"
ip -n "$NS_CLI" route del 10.92.0.0/24 via 10.91.0.1

ip -n "$NS_CLI" route add default via 10.91.0.1
[ "$(host_state)" = "$before" ] || fail "host not as before: $(host_state)"
log "PASS"
