#!/usr/bin/env bash
# The host changes gateway while the client runs. A second router joins the client and the peer:
#
#   cli  c1 10.95.0.2 ---- s0 10.95.0.1  gw2  10.96.0.1 s1 ---- p2 10.96.0.2  peer
#
# The namespace's default route moves from the first router to the second (and back, and away
# for a while): at the kernel's notice the client moves its host route to the peer along the new
# one at once. The datagrams then leave from another address, which the peer answers with a CLOSE,
# and the next session comes through the new gateway within seconds, not after the DATA timeout,
# even when the old gateway's link is dead. A session after the peer's CLOSE (the tunnel's default
# route still in place) keeps the new path. Without any default route it keeps the one it knew.
. "$(dirname "$0")/lib.sh"
e2e_topology
e2e_second_path
LOGF="$E2E_DIR/tolvad.log"

default_is() { [ "$(ip -n "$NS_CLI" route show default | grep -v 'dev tolv0' | sed 's/ *$//')" = "$1" ]; }
set_default() {  # set_default "via GW dev IF" | none: the namespace's own default route only
    local old
    old=$(ip -n "$NS_CLI" route show default | grep -v 'dev tolv0' | sed 's/ linkdown//; s/ *$//') || true
    [ -z "$old" ] || ip -n "$NS_CLI" route del $old
    # Appended: the client's tunnel route, of the same metric, stays first.
    [ "$1" = none ] || ip -n "$NS_CLI" route append default $1
}
peer_route_is() {  # the client's host route to the peer
    [ "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32" | sed 's/ *$//')" = "$PEER_ADDR $1" ]
}
session_from() { grep -q "accepted: user alice from $1:" "$E2E_DIR/peerd.log"; }
restart_peer() {  # the peer's CLOSE ends the session; the tunnel's default route stays meanwhile
    local n
    n=$(established_count)
    stop_pid "$PEER_PID" TERM
    start_peer "$E2E_DIR/peer.conf"
    wait_established 20 $(( n + 1 ))
}

# The peer answers from the address it is bound to, whichever way the datagram came in.
peer_config "$E2E_DIR/peer.conf" "listen=$PEER_ADDR"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR"
start_peer "$E2E_DIR/peer.conf"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
session_from 10.91.0.2 || fail "first session not through the first router"
peer_route_is "via 10.91.0.1 dev c0" || fail "host route: $(ip -n "$NS_CLI" route show "$PEER_ADDR/32")"

log "the default route moves to the second router during the session"
n=$(established_count)
set_default "via 10.95.0.1 dev c1"
wait_for 2 "the host route follows at once" peer_route_is "via 10.95.0.1 dev c1"
wait_established 8 $(( n + 1 ))
session_from 10.95.0.2 || fail "the session after the move did not come through the second router"
ping_far 3 >/dev/null || fail "ping through the tunnel after the move"
restart_peer
session_from 10.95.0.2 || fail "the session after CLOSE did not come through the second router"
peer_route_is "via 10.95.0.1 dev c1" || fail "host route after the move: $(ip -n "$NS_CLI" route show "$PEER_ADDR/32")"
# Only the second router carries the session now.
ip -n "$NS_RTR" link set r0 down
ping_far 3 >/dev/null || fail "ping through the tunnel by the second router"
ip -n "$NS_RTR" link set r0 up

log "the second router's link dies and the default route goes back to the first: no DATA timeout"
n=$(established_count)
before=$(grep -c "accepted: user alice from 10.91.0.2:" "$E2E_DIR/peerd.log" || true)
ip -n "$NS_GW2" link set s0 down
set_default "via 10.91.0.1 dev c0"
wait_for 2 "the host route follows at once" peer_route_is "via 10.91.0.1 dev c0"
wait_established 8 $(( n + 1 ))
[ "$(grep -c "accepted: user alice from 10.91.0.2:" "$E2E_DIR/peerd.log" || true)" -gt "$before" ] ||
    fail "the session after the move back did not come through the first router"
! log_has "$LOGF" "peer DATA timeout" || fail "the session waited for the DATA timeout"
ping_far 3 >/dev/null || fail "ping after the move back"
ip -n "$NS_GW2" link set s0 up

log "no default route at all for a while: the client keeps the gateway it knew"
set_default none
restart_peer
peer_route_is "via 10.91.0.1 dev c0" || fail "host route without a default route: $(ip -n "$NS_CLI" route show "$PEER_ADDR/32")"
ping_far 3 >/dev/null || fail "ping without the namespace's default route"
set_default "via 10.91.0.1 dev c0"

stop_pid "$CLIENT_PID" TERM
default_is "default via 10.91.0.1 dev c0" || fail "default route after the stop: $(ip -n "$NS_CLI" route show default)"
[ -z "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32")" ] || fail "host route to the peer left after the stop"
log "PASS"
