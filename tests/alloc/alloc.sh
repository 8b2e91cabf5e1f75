#!/usr/bin/env bash
# Once running, the daemon never touches the heap: with an allocator interposer preloaded and
# armed after the first session is up, pings both ways, keepalive echoes, a session closed by the
# peer, one that times out and a rejected authentication must not allocate even once.
. "$(dirname "$0")/../e2e/lib.sh"
: "${ALLOC_COUNT_LIB:?ALLOC_COUNT_LIB must name the allocation interposer}"
if ldd "$TOLVAD" | grep -q 'libasan'; then
    echo "skipped: a sanitizer build has an allocator of its own"
    exit 77
fi
e2e_topology

REPORT="$E2E_DIR/alloc.txt"
arm() { kill "-$(( $(kill -l SIGRTMIN) + 3 ))" "$CLIENT_PID"; }
disarm() { kill "-$(( $(kill -l SIGRTMIN) + 4 ))" "$CLIENT_PID"; }

# Names the callers of each recorded allocation: the interposer prints frames as
# binary(+offset) or binary(symbol+offset) [address].
explain() {
    local bin off
    while IFS= read -r line; do
        echo "  $line"
        if [[ "$line" =~ ^([^\(]+)\(\+(0x[0-9a-f]+)\) ]]; then
            bin="${BASH_REMATCH[1]}" off="${BASH_REMATCH[2]}"
            echo "      $(addr2line -f -C -i -e "$bin" "$off" 2>/dev/null | paste -sd' ' -)"
        fi
    done <"$REPORT"
}

peer_config "$E2E_DIR/peer.conf"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "encrypt=1"
start_peer "$E2E_DIR/peer.conf"
bg "$NS_CLI" "$E2E_DIR/tolvad.out" env LD_PRELOAD="$ALLOC_COUNT_LIB" ALLOC_COUNT_FILE="$REPORT" \
    "$TOLVAD" -f "$E2E_DIR/tolvad.conf" -l "$E2E_DIR/tolvad.log"
CLIENT_PID=$LAST_PID
wait_established 15
# One round trip and one echo before counting: what the first packet of each kind may set up
# lazily in the C library (the local time zone of the log prefix) belongs to start-up.
ping_far 2 >/dev/null || fail "first ping"
sleep 2
arm
log "counting allocations"

ping_far 5 >/dev/null || fail "ping client -> far host"
ip netns exec "$NS_FAR" ping -n -q -c 5 -i 0.2 -W 2 10.8.0.2 >/dev/null || fail "ping far host -> client"
sleep 3  # keepalive echoes

log "the peer closes the session"
stop_pid "$PEER_PID" TERM
wait_for 10 "peer CLOSED" log_has "$E2E_DIR/tolvad.log" "peer CLOSED"
start_peer "$E2E_DIR/peer.conf"
wait_established 15 2
ping_far 3 >/dev/null || fail "ping in the second session"

log "the peer vanishes: the session times out"
stop_pid "$PEER_PID" KILL
wait_for 20 "peer DATA timeout" log_has "$E2E_DIR/tolvad.log" "peer DATA timeout"

log "the peer refuses the password, then takes it"
peer_config "$E2E_DIR/peer-rej.conf"
sed -i 's/^user=alice:.*/user=alice:other-password/' "$E2E_DIR/peer-rej.conf"
start_peer "$E2E_DIR/peer-rej.conf"
wait_for 15 "a rejection" log_has "$E2E_DIR/tolvad.log" "SDWAN peer authentication REJECTED"
stop_pid "$PEER_PID" TERM
start_peer "$E2E_DIR/peer.conf"
wait_established 15 3
ping_far 3 >/dev/null || fail "ping in the third session"

disarm
stop_pid "$CLIENT_PID" TERM
[ -s "$REPORT" ] || fail "the interposer wrote no report: was it loaded?"
total=$(awk '$1 == "total" {print $2}' "$REPORT")
allocs=$(awk '$1 == "allocs" {print $2}' "$REPORT")
frees=$(awk '$1 == "frees" {print $2}' "$REPORT")
log "allocations: $total in the whole run, $allocs while running (frees $frees)"
# Start-up does allocate (the configuration and log streams): zero here would mean the
# interposer saw nothing at all.
[ "${total:-0}" -gt 0 ] || fail "the interposer counted nothing, not even start-up"
if [ "$allocs" -ne 0 ] || [ "$frees" -ne 0 ]; then
    explain
    fail "the running daemon allocated $allocs times and freed $frees times"
fi
log "PASS"
