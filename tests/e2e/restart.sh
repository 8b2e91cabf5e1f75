#!/usr/bin/env bash
# The peer dies without a word: the client times out, starts over on a fresh socket and is back
# once the peer returns. The peer stops with SIGTERM: the client is told and reconnects.
. "$(dirname "$0")/lib.sh"
e2e_topology

session_up
sockets_before=$(log_count "$E2E_DIR/tolvad.log" "sdwan client socket reinit success")

log "peer killed"
stop_pid "$PEER_PID" KILL
wait_for 20 "peer DATA timeout" log_has "$E2E_DIR/tolvad.log" "peer DATA timeout"
[ "$(log_count "$E2E_DIR/tolvad.log" "sdwan client socket reinit success")" -gt "$sockets_before" ] ||
    fail "no fresh socket after the timeout"
start_peer "$E2E_DIR/peer.conf"
t0=$(date +%s)
wait_established 15 2
log "back in DATA $(( $(date +%s) - t0 )) s after the peer returned"
ping_far 3 >/dev/null || fail "ping after the peer came back"

log "peer stopped with SIGTERM"
stop_pid "$PEER_PID" TERM
wait_for 10 "peer CLOSED" log_has "$E2E_DIR/tolvad.log" "peer CLOSED"
log_has "$E2E_DIR/tolvad.log" "Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state" || fail "CLOSE line"
start_peer "$E2E_DIR/peer.conf"
wait_established 15 3
ping_far 3 >/dev/null || fail "ping after reconnecting"
log "PASS"
