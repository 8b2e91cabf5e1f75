#!/usr/bin/env bash
# Two instances on one host, each with its own configuration and TUN interface, to one peer. The
# second one's discovery does not take the first one's tunnel default route for the uplink: both
# authenticate over the real uplink. The latest tunnel default route is listed first and carries
# the host's traffic; the other waits behind it. The first instance's end takes the host route to
# the peer that both used: the second one puts its own in place, and keeps its session.
. "$(dirname "$0")/lib.sh"
e2e_topology

peer_config "$E2E_DIR/peer.conf" "user=bob:builder"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR"
sed -e 's/^\[tolv0\]$/[tolv1]/' -e 's/^username=alice$/username=bob/' -e 's/^password=wonderland$/password=builder/' \
    "$E2E_DIR/tolvad.conf" >"$E2E_DIR/second.conf"
chmod 600 "$E2E_DIR/second.conf"
start_peer "$E2E_DIR/peer.conf"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
start_client_as second "$E2E_DIR/second.conf"
SECOND_PID=$LAST_PID
wait_for 15 "second instance established" grep -q 'sdwan DATA ESTABLISHED session' "$E2E_DIR/second.log"
grep -q "accepted: user bob from 10.91.0.2:" "$E2E_DIR/peerd.log" || fail "the second instance did not come over the uplink"
ip -n "$NS_CLI" route get "$FAR_ADDR" | grep -q 'dev tolv1' || fail "the latest tunnel route is not first: $(ip -n "$NS_CLI" route)"
ping_far 3 >/dev/null || fail "ping with both instances up"

log "the first instance stops"
stop_pid "$CLIENT_PID" TERM
ip -n "$NS_CLI" route get "$FAR_ADDR" | grep -q 'dev tolv1' || fail "the second instance's route went: $(ip -n "$NS_CLI" route)"
wait_for 3 "the second instance's host route" sh -c "ip -n '$NS_CLI' route get '$PEER_ADDR' | grep -q 'via 10.91.0.1 dev c0'"
ping_far 3 >/dev/null || fail "ping through the second instance"
sleep 11  # longer than the session's silence limit
grep -q "peer DATA timeout" "$E2E_DIR/second.log" && fail "the second instance lost its session"
stop_pid "$SECOND_PID" TERM
[ -z "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32")" ] || fail "host route left"
log "PASS"
