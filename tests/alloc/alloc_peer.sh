#!/usr/bin/env bash
# The peer server never touches the heap once started: with the allocation interposer preloaded
# and armed after start-up, 50 sessions from the load generator with echoes and data both ways,
# a short flood of bad OPENs with its rate-limited log and summary, repeated OPENs, the metrics
# and status files rewritten, a sealed client's traffic (pings and 4 MB of TCP each way, in trains)
# and its second handshake (a rekey of its session, which moves it to the new process's port), and
# the sessions dropped on silence must not allocate even once; nor must that sealed client itself
# while it carries the traffic. (A reload of
# the user list allocates the new list, by design: it is left out of the counted window.)
. "$(dirname "$0")/../e2e/lib.sh"
: "${ALLOC_COUNT_LIB:?ALLOC_COUNT_LIB must name the allocation interposer}"
LOAD="${LOADGEN:?LOADGEN must name the sdwan-load binary}"
TOLVACTL="${TOLVACTL:?TOLVACTL must name the tolvactl binary}"
e2e_topology
KEY=$("$TOLVACTL" genkey "$E2E_DIR/peer.key") || fail "genkey"

REPORT="$E2E_DIR/alloc.txt"
{
    echo "[peer0]"
    echo "port=$PEER_PORT"
    echo "pool=10.8.0.0/23"
    echo "sessions=100"
    echo "metrics=$E2E_DIR/peer.prom"
    echo "status=$E2E_DIR/peer.status"
    for i in $(seq 0 49); do echo "user=branch-$i:pw-$i"; done
    echo "user=warm-0:pw-0"
    echo "user=alice:wonderland"
    echo "privatekey=$E2E_DIR/peer.key"
} >"$E2E_DIR/peer.conf"
bg "$NS_PEER" "$E2E_DIR/peerd.out" env LD_PRELOAD="$ALLOC_COUNT_LIB" ALLOC_COUNT_FILE="$REPORT" \
    "$PEERD" -f "$E2E_DIR/peer.conf" -l "$E2E_DIR/peerd.log"
PEER_PID=$LAST_PID
wait_for 5 "peer listening" ip netns exec "$NS_PEER" sh -c "ss -lun | grep -q ':$PEER_PORT '"
# One session and a rejection before counting: what the first line of each kind may set up
# lazily in the C library (the time zone of the log prefix) belongs to start-up.
ip netns exec "$NS_RTR" "$LOAD" sessions --server "$PEER_ADDR" --clients 1 --seconds 1 --user warm- >/dev/null || fail "warm-up"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "peerkey=$KEY" "datalog=0"
# The sealed client counts its own, with the offloads on: TCP reads cut into sealed trains, and
# received trains opened and joined.
CREPORT="$E2E_DIR/alloc-client.txt"
bg "$NS_CLI" "$E2E_DIR/tolvad.out" env LD_PRELOAD="$ALLOC_COUNT_LIB" ALLOC_COUNT_FILE="$CREPORT" \
    "$TOLVAD" -f "$E2E_DIR/tolvad.conf" -l "$E2E_DIR/tolvad.log"
CLIENT_PID=$LAST_PID
wait_established 15
log_has "$E2E_DIR/tolvad.log" "offloads: tun tso4, udp gso, udp gro" || fail "the sealed client runs without the offloads"
ping_far 3 >/dev/null || fail "warm-up ping through the sealed session"
sleep 1
kill "-$(( $(kill -l SIGRTMIN) + 3 ))" "$PEER_PID"
kill "-$(( $(kill -l SIGRTMIN) + 3 ))" "$CLIENT_PID"
log "counting allocations"
# The sealed client's packets and 4 MB each way, then a new client process: a second handshake
# and AUTH of the same user, which the server takes as a rekey of the live session.
ping_far 20 >/dev/null || fail "ping through the sealed session"
head -c $((4 * 1024 * 1024)) /dev/urandom >"$E2E_DIR/bulk.bin"
bg "$NS_FAR" "$E2E_DIR/sink.out" socat -u TCP-LISTEN:5001,reuseaddr "CREATE:$E2E_DIR/up.got"
SINK=$LAST_PID
wait_for 5 "far listener" ip netns exec "$NS_FAR" sh -c 'ss -ltn | grep -q ":5001 "'
timeout 60 ip netns exec "$NS_CLI" socat -u "OPEN:$E2E_DIR/bulk.bin" "TCP:$FAR_ADDR:5001" || fail "upload"
wait_for 10 "upload stored" file_size_is "$E2E_DIR/up.got" $((4 * 1024 * 1024))
stop_pid "$SINK" TERM
bg "$NS_FAR" "$E2E_DIR/source.out" socat -u "OPEN:$E2E_DIR/bulk.bin" TCP-LISTEN:5002,reuseaddr
SOURCE=$LAST_PID
wait_for 5 "far source" ip netns exec "$NS_FAR" sh -c 'ss -ltn | grep -q ":5002 "'
timeout 60 ip netns exec "$NS_CLI" socat -u "TCP:$FAR_ADDR:5002" "CREATE:$E2E_DIR/down.got" || fail "download"
stop_pid "$SOURCE" TERM
cmp -s "$E2E_DIR/bulk.bin" "$E2E_DIR/up.got" && cmp -s "$E2E_DIR/bulk.bin" "$E2E_DIR/down.got" ||
    fail "the bulk transfer arrived damaged"
kill "-$(( $(kill -l SIGRTMIN) + 4 ))" "$CLIENT_PID"
stop_pid "$CLIENT_PID" TERM
[ -s "$CREPORT" ] || fail "the client's interposer wrote no report"
callocs=$(awk '$1 == "allocs" {print $2}' "$CREPORT")
cfrees=$(awk '$1 == "frees" {print $2}' "$CREPORT")
log "sealed client: $callocs allocations while running (frees $cfrees)"
if [ "$callocs" -ne 0 ] || [ "$cfrees" -ne 0 ]; then
    cat "$CREPORT"
    fail "the running sealed client allocated $callocs times and freed $cfrees times"
fi
mv "$E2E_DIR/tolvad.log" "$E2E_DIR/tolvad-1.log"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
ping_far 20 >/dev/null || fail "ping after the second handshake"
stop_pid "$CLIENT_PID" TERM
# From the new process's port: the rekey moves the session there.
grep -q ' of user alice moved from ' "$E2E_DIR/peerd.log" || fail "the second handshake was no rekey"

ip netns exec "$NS_RTR" "$LOAD" sessions --server "$PEER_ADDR" --clients 50 --data 10 --seconds 12 \
    >"$E2E_DIR/load.json" &
LOAD_PID=$!
ip netns exec "$NS_RTR" "$LOAD" flood --kind unknown --server "$PEER_ADDR" --rate 5000 --seconds 2 >/dev/null ||
    fail "flood"
ip netns exec "$NS_RTR" "$LOAD" flood --kind password --user branch-3 --server "$PEER_ADDR" --rate 5000 --seconds 2 \
    >/dev/null || fail "flood"
wait "$LOAD_PID" || fail "load: $(cat "$E2E_DIR/load.json")"
log "load: $(cat "$E2E_DIR/load.json")"
silent() {  # a line per session, or for many at once "peer: N more sessions dropped on silence"
    [ "$(awk '/ dropped on silence: / {n++} / more sessions dropped on silence/ {n += $4} END {print n + 0}' \
        "$E2E_DIR/peerd.log")" -ge 50 ]
}
wait_for 25 "sessions dropped on silence" silent
grep -q 'sources not logged in the last' "$E2E_DIR/peerd.log" || fail "no summary line in the counted window"
grep -q '^sdwan_peer_open_accepted_total' "$E2E_DIR/peer.prom" || fail "no metrics file"
grep -q '^server version=.* sessions=0 ' "$E2E_DIR/peer.status" || fail "no status file, or sessions in it"

kill "-$(( $(kill -l SIGRTMIN) + 4 ))" "$PEER_PID"
stop_pid "$PEER_PID" TERM
[ -s "$REPORT" ] || fail "the interposer wrote no report: was it loaded?"
total=$(awk '$1 == "total" {print $2}' "$REPORT")
allocs=$(awk '$1 == "allocs" {print $2}' "$REPORT")
frees=$(awk '$1 == "frees" {print $2}' "$REPORT")
log "allocations: $total in the whole run, $allocs while running (frees $frees)"
[ "${total:-0}" -gt 0 ] || fail "the interposer counted nothing, not even start-up"
if [ "$allocs" -ne 0 ] || [ "$frees" -ne 0 ]; then
    cat "$REPORT"
    fail "the running server allocated $allocs times and freed $frees times"
fi
log "PASS"
