#!/usr/bin/env bash
# Two uplinks to one router, default routes at metric 100 (c0) and 200 (c1). The router drops
# everything that comes in on c0's far end while the link stays up: the session ends, the next
# attempt through c0 fails too, and the one after goes through c1, within two attempts' time;
# the tunnel carries a ping again. The drop is then removed.
. "$(dirname "$0")/lib.sh"
command -v nft >/dev/null || fail "nft is needed (scripts/deps.sh installs it)"
e2e_topology
veth "$NS_CLI" c1 10.97.0.2/24 "$NS_RTR" r3 10.97.0.1/24
ip -n "$NS_CLI" route del default
ip -n "$NS_CLI" route add default via 10.91.0.1 dev c0 metric 100
ip -n "$NS_CLI" route add default via 10.97.0.1 dev c1 metric 200

session_up "status=$E2E_DIR/status.prom"
ip -n "$NS_CLI" route get "$PEER_ADDR" | grep -q 'dev c0' || fail "the first session is not on c0"
ping_far 2 >/dev/null || fail "ping through the tunnel on c0"

ip netns exec "$NS_RTR" nft -f - <<'NFT'
table inet uplinks {
    chain in {
        type filter hook prerouting priority -300; policy accept;
        iifname "r0" drop
    }
}
NFT
dropped=$(date +%s)
# DATA timeout (10 s), one AUTH attempt through c0 (6 s), the session through c1.
wait_established 30 2
took=$(( $(date +%s) - dropped ))
log_has "$E2E_DIR/tolvad.log" "peer DATA timeout" || fail "the first session did not time out"
log_has "$E2E_DIR/tolvad.log" "peer $PEER_ADDR unreachable via c0 after 2 attempts: trying c1 via 10.97.0.1" ||
    fail "no switch line"
[ "$(log_count "$E2E_DIR/tolvad.log" "AUTH timeout")" -eq 1 ] || fail "not the second attempt that switched"
ip -n "$NS_CLI" route show "$PEER_ADDR/32" | grep -q 'via 10.97.0.1 dev c1' || fail "no host route via c1"
ping_far 3 >/dev/null || fail "ping through the tunnel on c1"
wait_for 3 "the switch counted" grep -qx 'tolvad_uplink_switches_total{interface="tolv0"} 1' "$E2E_DIR/status.prom"

ip netns exec "$NS_RTR" nft delete table inet uplinks
stop_pid "$CLIENT_PID" TERM
[ -z "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32")" ] || fail "host route left"
[ "$(ip -n "$NS_CLI" route show default | wc -l)" -eq 2 ] || fail "a default route of the host's was touched"
log "PASS (back through c1 ${took}s after the drop)"
