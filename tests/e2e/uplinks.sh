#!/usr/bin/env bash
# Two uplinks to one router, default routes at metric 100 (c0) and 200 (c1). The router drops
# everything that comes in on c0's far end while the link stays up: the session ends, the next
# attempt through c0 fails too, and the one after goes through c1, within two attempts' time;
# the tunnel carries a ping again. The drop is then removed. Legacy, then sealed.
. "$(dirname "$0")/lib.sh"
TOLVACTL="${TOLVACTL:?TOLVACTL must name the tolvactl binary}"
command -v nft >/dev/null || fail "nft is needed (scripts/deps.sh installs it)"
e2e_topology
veth "$NS_CLI" c1 10.97.0.2/24 "$NS_RTR" r3 10.97.0.1/24
ip -n "$NS_CLI" route del default
ip -n "$NS_CLI" route add default via 10.91.0.1 dev c0 metric 100
ip -n "$NS_CLI" route add default via 10.97.0.1 dev c1 metric 200
KEY=$("$TOLVACTL" genkey "$E2E_DIR/peer.key") || fail "genkey"

run() {  # run NAME [CLIENT LINE...]
    local name="$1"; shift
    log "$name"
    # One peer for both: it takes a legacy client and a sealed one.
    peer_config "$E2E_DIR/peer.conf" "privatekey=$E2E_DIR/peer.key"
    client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "status=$E2E_DIR/status.prom" "$@"
    start_peer "$E2E_DIR/peer.conf"
    start_client "$E2E_DIR/tolvad.conf"
    wait_established 15
    ip -n "$NS_CLI" route get "$PEER_ADDR" | grep -q 'dev c0' || fail "$name: the first session is not on c0"
    ping_far 2 >/dev/null || fail "$name: ping through the tunnel on c0"
    ip netns exec "$NS_RTR" nft -f - <<'NFT'
table inet uplinks {
    chain in {
        type filter hook prerouting priority -300; policy accept;
        iifname "r0" drop
    }
}
NFT
    local dropped took
    dropped=$(date +%s)
    # DATA timeout (10 s), one attempt through c0 (6 s), the session through c1.
    wait_established 30 2
    took=$(( $(date +%s) - dropped ))
    log_has "$E2E_DIR/tolvad.log" "peer DATA timeout" || fail "$name: the first session did not time out"
    log_has "$E2E_DIR/tolvad.log" "peer $PEER_ADDR unreachable via c0 after 2 attempts: trying c1 via 10.97.0.1" ||
        fail "$name: no switch line"
    [ "$(log_count "$E2E_DIR/tolvad.log" "AUTH timeout")" -eq 1 ] || fail "$name: not the second attempt that switched"
    ip -n "$NS_CLI" route show "$PEER_ADDR/32" | grep -q 'via 10.97.0.1 dev c1' || fail "$name: no host route via c1"
    ping_far 3 >/dev/null || fail "$name: ping through the tunnel on c1"
    wait_for 3 "$name: the switch counted" grep -qx 'tolvad_uplink_switches_total{interface="tolv0"} 1' \
        "$E2E_DIR/status.prom"

    ip netns exec "$NS_RTR" nft delete table inet uplinks
    stop_pid "$CLIENT_PID" TERM
    stop_pid "$PEER_PID" TERM
    [ -z "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32")" ] || fail "$name: host route left"
    [ "$(ip -n "$NS_CLI" route show default | wc -l)" -eq 2 ] || fail "$name: a default route of the host's was touched"
    mv "$E2E_DIR/tolvad.log" "$E2E_DIR/tolvad-$name.log"
    mv "$E2E_DIR/peerd.log" "$E2E_DIR/peerd-$name.log"
    log "$name: back through c1 ${took}s after the drop"
}
run legacy
run sealed "peerkey=$KEY"
log PASS
