#!/usr/bin/env bash
# The peer dies and comes back at once, without the session: it answers the client's next echo
# request with a CLOSE of the client's own sid and token, and the client is back within seconds.
# The peer dies without a word: the client times out, starts over on a fresh socket and is back
# once the peer returns. The peer stops with SIGTERM: the client is told and reconnects.
. "$(dirname "$0")/lib.sh"
e2e_topology

session_up

log "peer killed and restarted at once"
stop_pid "$PEER_PID" KILL
start_peer "$E2E_DIR/peer.conf"
t0=$(date +%s%N)
wait_established 10 2
ms=$(( ($(date +%s%N) - t0) / 1000000 ))
log "back in DATA $ms ms after the peer restarted"
log_has "$E2E_DIR/tolvad.log" "Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state" || fail "no CLOSE taken"
! log_has "$E2E_DIR/tolvad.log" "peer DATA timeout" || fail "the client waited for its timeout"
[ "$ms" -le 8000 ] || fail "$ms ms to come back"
ping_far 3 >/dev/null || fail "ping after the quick restart"

sockets_before=$(log_count "$E2E_DIR/tolvad.log" "sdwan client socket reinit success")

log "peer killed"
stop_pid "$PEER_PID" KILL
wait_for 20 "peer DATA timeout" log_has "$E2E_DIR/tolvad.log" "peer DATA timeout"
[ "$(log_count "$E2E_DIR/tolvad.log" "sdwan client socket reinit success")" -gt "$sockets_before" ] ||
    fail "no fresh socket after the timeout"
start_peer "$E2E_DIR/peer.conf"
t0=$(date +%s)
wait_established 15 3
log "back in DATA $(( $(date +%s) - t0 )) s after the peer returned"
ping_far 3 >/dev/null || fail "ping after the peer came back"

log "peer stopped with SIGTERM"
stop_pid "$PEER_PID" TERM
wait_for 10 "peer CLOSED" log_has "$E2E_DIR/tolvad.log" "peer CLOSED" 2
log_has "$E2E_DIR/tolvad.log" "Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state" 2 || fail "CLOSE line"
start_peer "$E2E_DIR/peer.conf"
wait_established 15 4
ping_far 3 >/dev/null || fail "ping after reconnecting"
log "PASS"
