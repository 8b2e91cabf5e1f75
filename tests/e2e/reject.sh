#!/usr/bin/env bash
# A wrong password is refused; the client keeps trying and gets in once the peer knows the user.
. "$(dirname "$0")/lib.sh"
e2e_topology

{
    echo "[peer0]"; echo "port=$PEER_PORT"; echo "pool=10.8.0.0/24"; echo "mtu=1400"
    echo "user=alice:other-password"
} >"$E2E_DIR/peer.conf"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR"
start_peer "$E2E_DIR/peer.conf"
start_client "$E2E_DIR/tolvad.conf"
wait_for 20 "two rejections" log_count_at_least "$E2E_DIR/tolvad.log" "SDWAN peer authentication REJECTED" 2
[ "$(established_count)" -eq 0 ] || fail "established with a wrong password"
! ip -n "$NS_CLI" -o -4 addr show dev tolv0 | grep -q inet || fail "address set without a session"

stop_pid "$PEER_PID" TERM
peer_config "$E2E_DIR/peer.conf"
start_peer "$E2E_DIR/peer.conf"
wait_established 15
ping_far 3 >/dev/null || fail "ping after the user was added"
log "PASS"
