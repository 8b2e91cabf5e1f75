#!/usr/bin/env bash
# A bounded soak: for SOAK_SECONDS (90 by default; set it higher to run longer) the peer is
# stopped, killed and restarted and the links on both sides of the router are cut and restored,
# short and long (past the client's 9 s timeout), while a ping and TCP streams run through the
# tunnel. After every event the client must be back in DATA; at the end it holds the same
# descriptors, memory, interfaces and routes as after its first session, and the namespace's
# own default route is intact.
. "$(dirname "$0")/lib.sh"
e2e_topology
SOAK_SECONDS="${SOAK_SECONDS:-90}"
LOGF="$E2E_DIR/tolvad.log"

routes() { ip -n "$NS_CLI" -4 route show | sort; }
links() { ip -n "$NS_CLI" -o link show | awk '{print $2}' | sort; }
owned_routes() {  # routes the client made: on the tunnel, and host routes to the peer
    echo "$(ip -n "$NS_CLI" route show dev tolv0 | wc -l) on tolv0," \
        "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32" | wc -l) to the peer"
}
back_in_data() { ip netns exec "$NS_CLI" ping -n -q -c 1 -W 1 "$FAR_ADDR" >/dev/null 2>&1; }
streams_whole() { grep -c ok "$E2E_DIR/streams.out" 2>/dev/null || true; }
stream_since() { [ "$(streams_whole)" -gt "$1" ]; }

session_up "encrypt=1" "datalog=0"
ping_far 2 >/dev/null || fail "first ping"
sleep 1
BASE_FD=$(proc_fd_count "$CLIENT_PID") BASE_RSS=$(proc_rss_kb "$CLIENT_PID")
BASE_ROUTES=$(routes) BASE_LINKS=$(links) BASE_OWNED=$(owned_routes)
log "after the first session: $BASE_FD descriptors, $BASE_RSS kB resident, routes owned: $BASE_OWNED"

# Traffic for the whole soak: a ping every 0.2 s, and TCP streams of 1 MB, one after the other,
# each given up after 5 s (a cut stalls it). After every event a stream must go through whole
# before the next event: TCP recovers from each one, and the test does not depend on how long
# the calm spells between events happen to be on a loaded machine.
bg "$NS_CLI" "$E2E_DIR/ping.out" ping -n -i 0.2 -W 1 -w $(( SOAK_SECONDS + 60 )) "$FAR_ADDR"
bg "$NS_FAR" "$E2E_DIR/sink.out" socat -u TCP-LISTEN:5003,reuseaddr,fork OPEN:/dev/null
wait_for 5 "far listener" ip netns exec "$NS_FAR" sh -c 'ss -ltn | grep -q ":5003 "'
STOP="$E2E_DIR/stop-streams"
(
    for _ in $(seq 1000); do
        [ -e "$STOP" ] && break
        if timeout 5 ip netns exec "$NS_CLI" socat -u OPEN:/dev/zero,readbytes=1000000 \
            "TCP:$FAR_ADDR:5003,connect-timeout=2" 2>>"$E2E_DIR/streams.log"; then
            echo ok
        else
            echo "cut (exit $?) at $(date +%T)" >>"$E2E_DIR/streams.log"
            echo cut
            sleep 0.5
        fi
    done >"$E2E_DIR/streams.out"
) &
E2E_PIDS+=("$!")
STREAMS_PID=$!

cut_link() {  # cut_link NS IF SECONDS
    ip -n "$1" link set "$2" down
    sleep "$3"
    ip -n "$1" link set "$2" up
}

t_end=$(( $(date +%s) + SOAK_SECONDS ))
events=0 worst=0
while [ "$(date +%s)" -lt "$t_end" ] && [ "$events" -lt 200 ]; do
    # Short and long events alternate, so even a short soak has each kind at least once.
    case $(( events % 6 )) in
        0) what="peer stopped and restarted"
           stop_pid "$PEER_PID" TERM; start_peer "$E2E_DIR/peer.conf" ;;
        1) what="client-side link cut for 2 s"
           cut_link "$NS_RTR" r0 2 ;;
        2) what="client-side link cut for 11 s"
           cut_link "$NS_RTR" r0 11 ;;
        3) what="peer killed and restarted"
           stop_pid "$PEER_PID" KILL; start_peer "$E2E_DIR/peer.conf" ;;
        4) what="peer-side link cut for 1 s"
           cut_link "$NS_RTR" r1 1 ;;
        5) what="peer-side link cut for 11 s, peer restarted meanwhile"
           ip -n "$NS_RTR" link set r1 down
           stop_pid "$PEER_PID" KILL; start_peer "$E2E_DIR/peer.conf"
           sleep 11
           ip -n "$NS_RTR" link set r1 up ;;
    esac
    events=$(( events + 1 ))
    t0=$(date +%s)
    wait_for 40 "back in DATA after: $what" back_in_data
    took=$(( $(date +%s) - t0 ))
    [ "$took" -gt "$worst" ] && worst=$took
    whole=$(streams_whole)
    wait_for 30 "a whole TCP stream after: $what" stream_since "$whole"
    log "event $events: $what; back in ${took} s, a stream through $(( $(date +%s) - t0 - took )) s later"
    proc_alive "$CLIENT_PID" || fail "the client died"
done

touch "$STOP"
wait "$STREAMS_PID" 2>/dev/null || true
log "$events events, slowest recovery ${worst} s, $(established_count) sessions," \
    "streams: $(streams_whole) whole, $(grep -c cut "$E2E_DIR/streams.out" || true) cut"
[ "$events" -ge $(( SOAK_SECONDS / 20 + 1 )) ] || fail "only $events events in ${SOAK_SECONDS} s"

# Settled: in DATA, pinging, and nothing left over from the sessions before.
wait_for 30 "back in DATA at the end" back_in_data
ping_far 3 >/dev/null || fail "ping at the end"
sleep 1
fd_end=$(proc_fd_count "$CLIENT_PID") rss_end=$(proc_rss_kb "$CLIENT_PID") owned_end=$(owned_routes)
log "at the end: $fd_end descriptors, $rss_end kB resident, routes owned: $owned_end"
[ "$fd_end" -eq "$BASE_FD" ] || fail "descriptors: $BASE_FD after the first session, $fd_end at the end"
[ "$rss_end" -le $(( BASE_RSS + 256 )) ] || fail "resident memory: $BASE_RSS kB after the first session, $rss_end kB at the end"
[ "$owned_end" = "$BASE_OWNED" ] || fail "routes owned: $BASE_OWNED after the first session, $owned_end at the end"
[ "$(routes)" = "$BASE_ROUTES" ] || fail "routes differ: before
$BASE_ROUTES
after
$(routes)"
[ "$(links)" = "$BASE_LINKS" ] || fail "interfaces differ: $(links | paste -sd' ')"
ip -n "$NS_CLI" route show default | grep -q '^default via 10.91.0.1 dev c0' || fail "the namespace's default route is gone"
! grep -q "received signo 11" "$LOGF" || fail "the client crashed"

# And after a regular stop, only the namespace's own routes are left.
stop_pid "$CLIENT_PID" TERM
[ "$(ip -n "$NS_CLI" route show default)" = "default via 10.91.0.1 dev c0 " ] ||
    [ "$(ip -n "$NS_CLI" route show default)" = "default via 10.91.0.1 dev c0" ] ||
    fail "default route after the stop: $(ip -n "$NS_CLI" route show default)"
[ -z "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32")" ] || fail "host route to the peer left after the stop"
! ip -n "$NS_CLI" link show dev tolv0 >/dev/null 2>&1 || fail "tunnel interface left after the stop"
log "PASS"
