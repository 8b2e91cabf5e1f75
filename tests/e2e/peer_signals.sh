#!/usr/bin/env bash
# The peer server's signals and its interface: SIGHUP reloads the user list and keeps the live
# session; SIGPIPE, and a log on a pipe whose reader went away, do not end it; a deleted TUN
# interface ends it with status 1 (for the service manager to restart it) instead of spinning.
. "$(dirname "$0")/lib.sh"
e2e_topology

session_up

log "SIGHUP with a user added"
peer_config "$E2E_DIR/peer.conf" "user=bob:builder"
kill -HUP "$PEER_PID"
wait_for 5 "reload line" log_has "$E2E_DIR/peerd.log" "peer: user list reloaded: 2 users, 1 sessions kept, 0 closed"
proc_alive "$PEER_PID" || fail "SIGHUP ended the server"
ping_far 3 >/dev/null || fail "ping after the reload"
[ "$(established_count)" -eq 1 ] || fail "the reload ended the session"

log "SIGPIPE"
kill -PIPE "$PEER_PID"
sleep 0.5
proc_alive "$PEER_PID" || fail "SIGPIPE ended the server"

log "SIGHUP with the user removed: the session is closed and the client refused"
peer_config "$E2E_DIR/peer.conf"
sed -i '/^user=alice/d' "$E2E_DIR/peer.conf"
echo "user=bob:builder" >>"$E2E_DIR/peer.conf"
kill -HUP "$PEER_PID"
wait_for 5 "reload line" log_has "$E2E_DIR/peerd.log" "peer: user list reloaded: 1 users, 0 sessions kept, 1 closed"
wait_for 10 "CLOSE taken" log_has "$E2E_DIR/tolvad.log" "Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state"
wait_for 10 "rejected" log_has "$E2E_DIR/tolvad.log" "SDWAN peer authentication REJECTED"
stop_pid "$CLIENT_PID" TERM
stop_pid "$PEER_PID" TERM

log "the log on a pipe whose reader leaves"
mkfifo "$E2E_DIR/out.fifo"
cat "$E2E_DIR/out.fifo" >/dev/null &
READER=$!
E2E_PIDS+=("$READER")
peer_config "$E2E_DIR/peer.conf"
ip netns exec "$NS_PEER" "$PEERD" -f "$E2E_DIR/peer.conf" >"$E2E_DIR/out.fifo" 2>&1 &
PEER_PID=$!
E2E_PIDS+=("$PEER_PID")
wait_for 5 "peer listening" ip netns exec "$NS_PEER" sh -c "ss -lun | grep -q ':$PEER_PORT '"
kill "$READER"
wait "$READER" 2>/dev/null || true
: >"$E2E_DIR/tolvad.log"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
proc_alive "$PEER_PID" || fail "a remote OPEN ended the server through SIGPIPE"
ping_far 2 >/dev/null || fail "ping with the log's reader gone"

log "the TUN interface deleted"
ip -n "$NS_PEER" link del peer0
rc=0
for _ in $(seq 50); do proc_alive "$PEER_PID" || break; sleep 0.1; done
proc_alive "$PEER_PID" && fail "the server goes on without its interface"
wait "$PEER_PID" || rc=$?
[ "$rc" -eq 1 ] || fail "exit status $rc after the interface went away, expected 1"
stop_pid "$CLIENT_PID" TERM

log "and with a log file: the line that says why"
start_peer "$E2E_DIR/peer.conf"
wait_for 5 "peer listening" ip netns exec "$NS_PEER" sh -c "ss -lun | grep -q ':$PEER_PORT '"
ip -n "$NS_PEER" link del peer0
rc=0
wait "$PEER_PID" || rc=$?
[ "$rc" -eq 1 ] || fail "exit status $rc, expected 1"
log_has "$E2E_DIR/peerd.log" "peer: interface peer0 failed: File descriptor in bad state; stopping" || fail "no line for the lost interface"
log "PASS"
