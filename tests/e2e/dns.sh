#!/usr/bin/env bash
# A peer given by name, resolved through a real DNS server holding the built-in resolver's
# address (a CNAME before the A record), and again after the name moves to a new address: the
# peer's CLOSE leaves the tunnel's default route in place, and the daemon's queries still reach
# the resolver outside it, while the host's own go through the tunnel in session.
. "$(dirname "$0")/lib.sh"
e2e_topology

start_dns() {  # start_dns ADDRESS
    printf 'cname=peer.e2e.test,real.e2e.test\nhost-record=real.e2e.test,%s\n' "$1" >"$E2E_DIR/dnsmasq.conf"
    bg "$NS_DNS" "$E2E_DIR/dnsmasq.log" dnsmasq --keep-in-foreground --no-resolv --no-hosts \
        --conf-file="$E2E_DIR/dnsmasq.conf" --listen-address="$RESOLVER" --bind-interfaces \
        --user=root --pid-file= --log-queries --log-facility=-
    DNS_PID=$LAST_PID
    wait_for 5 "dnsmasq listening" ip netns exec "$NS_DNS" sh -c "ss -lun | grep -q '$RESOLVER:53 '"
}

start_dns "$PEER_ADDR"
# The peer's host holds both addresses; the server answers from the one it is bound to.
peer_config "$E2E_DIR/peer.conf" "listen=$PEER_ADDR"
client_config "$E2E_DIR/tolvad.conf" "peer.e2e.test"
start_peer "$E2E_DIR/peer.conf"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
log_has "$E2E_DIR/tolvad.log" "sdwclnt: peer peer.e2e.test is not in IPv4 format, treating it as domain" || fail "domain line"
log_has "$E2E_DIR/tolvad.log" "DNS query peer.e2e.test" || fail "query line"
log_has "$E2E_DIR/tolvad.log" "Send DNS Query to $RESOLVER:53" || fail "send line"
log_has "$E2E_DIR/tolvad.log" "DNS resolved domain peer.e2e.test to IP $PEER_ADDR" || fail "resolved line"
# In session the host's traffic to the resolver goes through the tunnel like everything else:
# the daemon needs the resolver outside it only while it looks the name up again.
ip -n "$NS_CLI" route get "$RESOLVER" | grep -q 'dev tolv0' || fail "resolver kept outside the tunnel in session"
[ -z "$(ip -n "$NS_CLI" route show "$RESOLVER/32")" ] || fail "host route to the resolver in session"
ping_far 3 >/dev/null || fail "ping through the tunnel"

log "the name moves to $PEER_ADDR2"
stop_pid "$DNS_PID" TERM
start_dns "$PEER_ADDR2"
stop_pid "$PEER_PID" TERM
peer_config "$E2E_DIR/peer.conf" "listen=$PEER_ADDR2"
start_peer "$E2E_DIR/peer.conf"
wait_for 20 "resolved to the new address" log_has "$E2E_DIR/tolvad.log" "DNS resolved domain peer.e2e.test to IP $PEER_ADDR2"
wait_established 15 2
log_has "$E2E_DIR/tolvad.log" "INIT peer $PEER_ADDR2:$PEER_PORT" || fail "INIT line for the new address"
ip -n "$NS_CLI" route get "$PEER_ADDR2" | grep -q 'via 10.91.0.1 dev c0' || fail "new peer address not kept outside the tunnel"
ip -n "$NS_CLI" route get "$RESOLVER" | grep -q 'dev tolv0' || fail "resolver route left after the name was resolved"
ping_far 3 >/dev/null || fail "ping after the move"
log "PASS"
