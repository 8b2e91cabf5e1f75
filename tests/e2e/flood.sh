#!/usr/bin/env bash
# The peer server on the internet: a flood of OPENs nobody may have (unknown users, then wrong
# passwords) from 200 addresses at about 17 Mbit/s, while a real client pings through its
# tunnel. The client loses (almost) nothing, every OPEN is counted, and the server's log grows by
# a bounded number of lines. Then one captured OPEN of the real client's user replayed from 64
# rotating ports: the live session stays. Each flood is bounded in time and stays between the
# test's own namespaces.
. "$(dirname "$0")/lib.sh"
e2e_topology
LOAD="${LOADGEN:?LOADGEN must name the sdwan-load binary}"
RATE="${FLOOD_RATE:-25000}"
SECS="${FLOOD_SECONDS:-5}"

# 200 source addresses for the flood, on the router's side of the peer's link.
for i in $(seq 50 249); do echo "addr add 10.92.0.$i/32 dev r1"; done | ip -n "$NS_RTR" -batch -
peer_config "$E2E_DIR/peer.conf" "metrics=$E2E_DIR/peer.prom"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR"
start_peer "$E2E_DIR/peer.conf"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
ping_far 2 >/dev/null || fail "first ping"
metric() { awk -v m="$1" '$1 == m {print $2}' "$E2E_DIR/peer.prom"; }
metrics_fresh() { [ -f "$E2E_DIR/peer.prom" ] && [ "$(metric sdwan_peer_reject_wrong_password_total)" -gt 0 ]; }

lines0=$(wc -l <"$E2E_DIR/peerd.log")
# Pings every 50 ms over both floods and a little more.
pings=$(( SECS * 2 * 20 + 20 ))
ip netns exec "$NS_CLI" ping -n -q -c "$pings" -i 0.05 -W 2 "$FAR_ADDR" >"$E2E_DIR/ping.out" 2>&1 &
PING_PID=$!
E2E_PIDS+=("$PING_PID")
sleep 0.5
phase_begin "$PEER_PID"
for kind in unknown password; do
    out=$(ip netns exec "$NS_RTR" "$LOAD" flood --kind "$kind" --server "$PEER_ADDR" --port "$PEER_PORT" \
        --bind 10.92.0.50 --sources 200 --rate "$RATE" --seconds "$SECS" --user alice) || fail "flood $kind"
    log "flood $kind: $out"
    eval "sent_$kind=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["sent"])' "$out")"
done
phase_end "$PEER_PID" "server under the flood"
wait "$PING_PID" || true
loss=$(sed -n 's/.* \([0-9.]*\)% packet loss.*/\1/p' "$E2E_DIR/ping.out")
log "ping through the tunnel during the flood: $(grep 'packet loss' "$E2E_DIR/ping.out")"
python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) < 1.0 else 1)" "$loss" || fail "ping loss $loss% under the flood"
[ "$(established_count)" -eq 1 ] || fail "the client's session restarted under the flood"

# Every OPEN that reached the server is counted; the kernel may have dropped some at its socket.
wait_for 25 "metrics after the flood" metrics_fresh
sleep "$(( 10 + 1 ))"  # the counters of the last metrics write, and the interval's summary line
unknown=$(metric sdwan_peer_reject_unknown_user_total) password=$(metric sdwan_peer_reject_wrong_password_total)
drops=$(udp_stat "$NS_PEER" RcvbufErrors)
log "counted: unknown user $unknown of $sent_unknown, wrong password $password of $sent_password; kernel drops $drops"
[ "$unknown" -ge $(( sent_unknown * 9 / 10 )) ] || fail "only $unknown of $sent_unknown unknown-user OPENs counted"
[ "$password" -ge $(( sent_password * 9 / 10 )) ] || fail "only $password of $sent_password wrong-password OPENs counted"
# The log: a few lines per source and interval at most, and summaries with the counts.
added=$(( $(wc -l <"$E2E_DIR/peerd.log") - lines0 ))
rejected=$(tail -n +"$(( lines0 + 1 ))" "$E2E_DIR/peerd.log" | grep -c 'rejected user ' || true)
summaries=$(tail -n +"$(( lines0 + 1 ))" "$E2E_DIR/peerd.log" | grep -c 'events from .* sources not logged in the last' || true)
log "log: $added lines for $(( sent_unknown + sent_password )) rejected OPENs ($rejected rejection lines, $summaries summaries)"
intervals=$(( SECS * 2 / 10 + 2 ))
[ "$rejected" -le $(( intervals * 20 )) ] || fail "$rejected rejection lines in $intervals intervals"
[ "$summaries" -ge 1 ] || fail "no summary line"
[ "$added" -le $(( intervals * 21 + 10 )) ] || fail "the log grew by $added lines"
grep -q "sources not logged in the last [0-9]* s: unknown user [0-9]*" "$E2E_DIR/peerd.log" || fail "summary of unknown users"

log "one captured OPEN replayed from 64 ports"
lines0=$(wc -l <"$E2E_DIR/peerd.log")
ip netns exec "$NS_CLI" ping -n -q -c 60 -i 0.1 -W 2 "$FAR_ADDR" >"$E2E_DIR/ping2.out" 2>&1 &
PING_PID=$!
E2E_PIDS+=("$PING_PID")
out=$(ip netns exec "$NS_RTR" "$LOAD" flood --kind replay --user alice --pass wonderland --server "$PEER_ADDR" \
    --port "$PEER_PORT" --bind 10.92.0.50 --sources 1 --ports 64 --rate 500 --seconds 5) || fail "replay"
log "replay: $out"
wait "$PING_PID" || fail "ping during the replay: $(cat "$E2E_DIR/ping2.out")"
grep -q ' 0% packet loss' "$E2E_DIR/ping2.out" || fail "ping loss during the replay: $(grep 'packet loss' "$E2E_DIR/ping2.out")"
[ "$(established_count)" -eq 1 ] || fail "the replay displaced the session"
tail -n +"$(( lines0 + 1 ))" "$E2E_DIR/peerd.log" | grep -q 'rejected user alice from 10.92.0.50:[0-9]*: user has a live session' ||
    fail "no refusal of the replay logged"
! tail -n +"$(( lines0 + 1 ))" "$E2E_DIR/peerd.log" | grep -q 'replaced' || fail "a session was replaced"

# A restarted client (its old session still held) is back once the old session is silent.
log "the client restarts at once"
stop_pid "$CLIENT_PID" KILL
: >"$E2E_DIR/tolvad.log"  # the count of sessions starts again, before the new client opens the file
t0=$(date +%s)
start_client "$E2E_DIR/tolvad.conf"
wait_established 20
log "restarted client back in DATA after $(( $(date +%s) - t0 )) s"
ping_far 3 >/dev/null || fail "ping after the restart"
log "PASS"
