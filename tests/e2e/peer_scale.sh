#!/usr/bin/env bash
# A few hundred branches on one server, from the load generator: every handshake accepted, over
# two /24s each answered from its own gateway on the server's interface, echoes answered, data
# through the second /24, the metrics file listing every session, and a reload of the user list
# in the middle that keeps them all. (The 10 000-session figures come from bench/peer.sh.)
. "$(dirname "$0")/lib.sh"
e2e_topology
LOAD="${LOADGEN:?LOADGEN must name the sdwan-load binary}"
N="${SCALE_CLIENTS:-300}"

users() { for i in $(seq 0 $(( $1 - 1 ))); do echo "user=branch-$i:pw-$i"; done; }
write_config() {  # write_config NUSERS
    {
        echo "[peer0]"
        echo "port=$PEER_PORT"
        echo "pool=10.8.0.0/23"
        echo "sessions=$(( N + 50 ))"
        echo "metrics=$E2E_DIR/peer.prom"
        users "$1"
    } >"$E2E_DIR/peer.conf"
}
write_config "$N"
start_peer "$E2E_DIR/peer.conf"
wait_for 5 "peer listening" ip netns exec "$NS_PEER" sh -c "ss -lun | grep -q ':$PEER_PORT '"
addrs=$(ip -n "$NS_PEER" -o -4 addr show dev peer0 | awk '{print $4}' | sort | tr '\n' ' ')
[ "$addrs" = "10.8.0.1/24 10.8.1.1/24 " ] || fail "interface addresses: $addrs"
log_has "$E2E_DIR/peerd.log" "peer pool 10.8.0.0/23: 2 /24s, 506 client addresses, $(( N + 50 )) sessions at most" ||
    fail "pool line"

ip netns exec "$NS_RTR" "$LOAD" sessions --server "$PEER_ADDR" --port "$PEER_PORT" --clients "$N" --data 10 \
    --seconds 10 --user branch- --pass pw- --pid "$PEER_PID" >"$E2E_DIR/load.json" 2>"$E2E_DIR/load.err" &
LOAD_PID=$!
E2E_PIDS+=("$LOAD_PID")
metric() { awk -v m="$1" '$1 == m {print $2}' "$E2E_DIR/peer.prom" 2>/dev/null; }
all_in_metrics() { [ "$(metric sdwan_peer_sessions)" = "$N" ]; }
wait_for 15 "all sessions in the metrics file" all_in_metrics
[ "$(grep -c '^sdwan_peer_session_idle_seconds{' "$E2E_DIR/peer.prom")" -eq "$N" ] || fail "session series"
grep -q "^sdwan_peer_session_rx_packets_total{user=\"branch-0\",address=\"10.8.0.2\"} " "$E2E_DIR/peer.prom" ||
    fail "series of branch-0"

log "reload with one user more, under load"
write_config $(( N + 1 ))
kill -HUP "$PEER_PID"
wait_for 5 "reload" log_has "$E2E_DIR/peerd.log" "peer: user list reloaded: $(( N + 1 )) users, $N sessions kept, 0 closed"
wait "$LOAD_PID" || fail "load generator: $(cat "$E2E_DIR/load.json" "$E2E_DIR/load.err")"
out=$(cat "$E2E_DIR/load.json")
log "load: $out"
j() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$out" "$1"; }
[ "$(j established)" -eq "$N" ] || fail "$(j established) of $N sessions established"
[ "$(j echo_answered)" -ge $(( $(j echo_sent) * 95 / 100 )) ] || fail "echoes: $(j echo_answered) of $(j echo_sent)"
[ "$(j data_replies)" -gt 100 ] || fail "data through the second /24: $(j data_replies) replies"
# No address twice: the accepted lines name N distinct addresses, in both /24s.
n_addr=$(sed -n 's/.* accepted: .*, address \([0-9.]*\), encrypt .*/\1/p' "$E2E_DIR/peerd.log" | sort -u | wc -l)
[ "$n_addr" -eq "$N" ] || fail "$n_addr distinct addresses for $N sessions"
grep -q 'accepted: user branch-299 from .*, address 10.8.1.48, encrypt 0' "$E2E_DIR/peerd.log" || fail "branch-299's address"
stop_pid "$PEER_PID" TERM
log_has "$E2E_DIR/peerd.log" "peer stopping, $N sessions" || fail "sessions at the stop"
log "PASS"
