#!/usr/bin/env bash
# Hostile and broken peers. Tens of thousands of random, cut and mutated datagrams forged from the
# peer's own address and port, in DATA and in AUTH, mixed with datagrams from other addresses and
# ports: the client accounts for each datagram from the peer with its expected line (or, past five
# of a kind a second, its count in a summary line) and says nothing of the others, the TUN interface counts exactly the packets it was handed, the kernel dropped none,
# and the session survives (or starts over when told to by a signed packet). Then scripted peers
# that spoil every OPENACK, flood CLOSE, never answer, or send datagrams larger than the client's
# buffer: the client's CPU stays bounded and its memory and descriptors do not grow. Afterwards
# the real peer takes it back and a ping goes through.
. "$(dirname "$0")/lib.sh"
e2e_topology
HERE="$(cd "$(dirname "$0")" && pwd)"
# Every hostile datagram is worth a log line, and every line is synced to disk: on a slow disk
# the bursts would measure the disk. The log lives in memory when the host offers it.
shm_cleanup() {
    local rc=$?
    set +e  # the status is handed on to e2e_cleanup through $?, which errexit would act on
    rm -rf "$SHM_DIR"
    (exit "$rc")
    e2e_cleanup
}
# The daemon is given the real path (it refuses to log through a link); the link is for the
# readers here, which look in $E2E_DIR.
if SHM_DIR=$(mktemp -d /dev/shm/tolvad-hostile.XXXXXX 2>/dev/null); then
    trap shm_cleanup EXIT
    CLIENT_LOG="$SHM_DIR/tolvad.log"
    ln -s "$CLIENT_LOG" "$E2E_DIR/tolvad.log"
fi
LOGF="$E2E_DIR/tolvad.log"
DATA_BURST="${HOSTILE_DATA_BURST:-15000}"
AUTH_BURST="${HOSTILE_AUTH_BURST:-8000}"

lines_now() { wc -l <"$LOGF"; }
lines_since() { tail -n +"$(( $1 + 1 ))" "$LOGF" | sed -E 's#^[0-9]+/[0-9]+/[0-9]+ [0-9]+:[0-9]{2}:[0-9]{2} ##'; }
count_since() { lines_since "$1" | grep -cxF -- "$2" || true; }
tun_up() { ip -n "$NS_CLI" link show dev tolv0 | grep -q '<[^>]*UP'; }
json() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }
# The client survives, keeps its descriptors and does not grow (a few pages of code and stack
# touched for the first time are not growth: 64 kB of slack).
check_phase() {  # check_phase NAME MAX_CPU
    proc_alive "$CLIENT_PID" || fail "$1: the client died"
    [ "$PH_CPU" -le "$2" ] || fail "$1: the client used ${PH_CPU}% of a core (bound $2%)"
    [ "$PH_FD1" -eq "$PH_FD0" ] || fail "$1: descriptors $PH_FD0 -> $PH_FD1"
    [ "$PH_RSS1" -le $(( PH_RSS0 + 64 )) ] || fail "$1: resident memory $PH_RSS0 -> $PH_RSS1 kB"
}
hostile_peer() {  # hostile_peer MODE [ARGS...]: runs a scripted peer in the peer's namespace
    local mode="$1"; shift
    bg "$NS_PEER" "$E2E_DIR/hp-$mode.out" python3 "$HERE/hostile_peer.py" "$mode" \
        --listen "$PEER_ADDR:$PEER_PORT" --log "$LOGF" "$@"
    HP_PID=$LAST_PID
}
wait_hostile_peer() {  # waits for the scripted peer to finish; its JSON line is left in HP_OUT
    wait "$HP_PID" || { cat "$E2E_DIR/hp-$1.out"; fail "$1: the scripted peer failed"; }
    HP_OUT=$(tail -n 1 "$E2E_DIR/hp-$1.out")
    log "$1: $HP_OUT; the client logged $(( $(lines_now) - mark )) lines"
}

session_up "encrypt=1"
ping_far 2 >/dev/null || fail "first ping"
BASE_FD=$(proc_fd_count "$CLIENT_PID") BASE_RSS=$(proc_rss_kb "$CLIENT_PID")
log "after the first session: $BASE_FD descriptors, $BASE_RSS kB resident"

# ---- Forged from the peer's address and port, while the real session runs.
port=$(client_udp_port)
[ -n "$port" ] || fail "the client's UDP port not found"
rx0=$(if_stat "$NS_CLI" tolv0 rx_packets) drop0=$(if_stat "$NS_CLI" tolv0 rx_dropped)
in0=$(udp_stat "$NS_CLI" InDatagrams) rcvbuf0=$(udp_stat "$NS_CLI" RcvbufErrors)
log "DATA: $DATA_BURST forged datagrams to port $port"
phase_begin "$CLIENT_PID"
out=$(ip netns exec "$NS_PEER" python3 "$HERE/inject.py" --peer "$PEER_ADDR:$PEER_PORT" \
    --client "10.91.0.2:$port" --log "$LOGF" --count "$DATA_BURST" --others 3000 --seed 11) ||
    fail "the client's log does not match the datagrams: $out"
phase_end "$CLIENT_PID" "DATA burst"
log "DATA burst: $out"
check_phase "DATA burst" 50
[ "$(established_count)" -eq 1 ] || fail "the session restarted under the burst"
[ "$(client_udp_port)" = "$port" ] || fail "the client changed its socket under the burst"
[ $(( $(if_stat "$NS_CLI" tolv0 rx_packets) - rx0 )) -eq "$(json "$out" tun)" ] ||
    fail "tolv0 received $(( $(if_stat "$NS_CLI" tolv0 rx_packets) - rx0 )) packets, expected $(json "$out" tun)"
[ $(( $(if_stat "$NS_CLI" tolv0 rx_dropped) - drop0 )) -eq "$(json "$out" tunfail)" ] ||
    fail "tolv0 dropped $(( $(if_stat "$NS_CLI" tolv0 rx_dropped) - drop0 )), expected $(json "$out" tunfail)"
[ $(( $(udp_stat "$NS_CLI" RcvbufErrors) - rcvbuf0 )) -eq 0 ] || fail "the kernel dropped datagrams"
# Every forged datagram reached the client's socket (the session's own echoes come on top).
got=$(( $(udp_stat "$NS_CLI" InDatagrams) - in0 ))
[ "$got" -ge "$(json "$out" sent)" ] && [ "$got" -le $(( $(json "$out" sent) + 50 )) ] ||
    fail "the client's socket received $got datagrams, $(json "$out" sent) were sent"
ping_far 3 >/dev/null || fail "ping after the DATA burst"

# A forged, signed CLOSE of another session (sid and token 0) only makes the client ask the peer,
# which answers: the session stays.
log "DATA: one forged, signed CLOSE of another session"
ip netns exec "$NS_PEER" python3 "$HERE/inject.py" --peer "$PEER_ADDR:$PEER_PORT" \
    --client "10.91.0.2:$port" --log "$LOGF" --close
wait_for 5 "CLOSE questioned" log_has "$LOGF" "CLOSE for another session (sid 0, token 0): asking the peer"
sleep 3
[ "$(established_count)" -eq 1 ] || fail "a CLOSE of another session ended the live one"
! log_has "$LOGF" "No answer from the peer after a CLOSE for another session" || fail "the peer's answer was missed"
[ "$(client_udp_port)" = "$port" ] || fail "the client changed its socket after a CLOSE of another session"
ping_far 3 >/dev/null || fail "ping after the CLOSE of another session"

# With the sid and token read off the wire, as anyone on the path can, a forged CLOSE ends the
# session by the rules; the client comes back.
log "DATA: one forged CLOSE with the session's sid and token"
ip netns exec "$NS_RTR" python3 "$HERE/inject.py" --peer "$PEER_ADDR:$PEER_PORT" \
    --client "10.91.0.2:$port" --log "$LOGF" --close --sniff r0
wait_for 5 "CLOSE taken" log_has "$LOGF" "Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state"
wait_established 15 2
ping_far 3 >/dev/null || fail "ping after the forged CLOSE"

# ---- While the client authenticates: the real peer leaves, a scripted one answers every OPEN
# with a burst. The TUN interface keeps its state from the closed session.
stop_pid "$PEER_PID" TERM
wait_for 10 "peer CLOSED" log_count_at_least "$LOGF" "peer CLOSED" 2
up=0; tun_up && up=1
log "AUTH: $AUTH_BURST datagrams from the scripted peer (tolv0 up: $up)"
mark=$(lines_now)
phase_begin "$CLIENT_PID"
hostile_peer auth-burst --count "$AUTH_BURST" --others 1000 --seed 12 --tun-up "$up"
wait_hostile_peer auth-burst
phase_end "$CLIENT_PID" "AUTH burst"
check_phase "AUTH burst" 50
[ "$(established_count)" -eq 2 ] || fail "a session was established from the AUTH burst"

# ---- Broken peers, one behaviour at a time, each with the client's figures over the phase.
log "a peer that spoils every OPENACK"
mark=$(lines_now)
phase_begin "$CLIENT_PID"
# Each spoiled OPENACK costs the client a reset (about 2 s); on a loaded machine the scripted peer may
# miss the first OPEN, so it runs until it has answered three, with time to spare.
hostile_peer badack --seconds 20 --acks 3
wait_hostile_peer badack
phase_end "$CLIENT_PID" "malformed OPENACK"
check_phase "malformed OPENACK" 10
acks=$(json "$HP_OUT" acks)
[ "$acks" -ge 3 ] || fail "only $acks OPENs answered"
[ "$(established_count)" -eq 2 ] || fail "a malformed OPENACK established a session"
# Each spoiled OPENACK starts the client over on a fresh socket (the last may be in flight).
resets=$(count_since "$mark" "sdwan client socket reinit success")
[ "$resets" -ge $(( acks - 1 )) ] && [ "$resets" -le $(( acks + 2 )) ] ||
    fail "$acks malformed OPENACKs, $resets fresh sockets"

log "a peer that floods CLOSE"
mark=$(lines_now)
phase_begin "$CLIENT_PID"
hostile_peer closeflood --seconds 10 --rate 1000
wait_hostile_peer closeflood
phase_end "$CLIENT_PID" "CLOSE flood"
check_phase "CLOSE flood" 40
closes=$(count_since "$mark" "Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state")
sessions=$(lines_since "$mark" | grep -c '^sdwan DATA ESTABLISHED session ' || true)
[ "$sessions" -ge 2 ] || fail "the client stopped coming back under the CLOSE flood ($sessions sessions)"
[ "$closes" -le "$sessions" ] || fail "$closes CLOSEs taken for $sessions sessions"
[ "$(count_since "$mark" "Packet verification failed")" -gt 0 ] || fail "no forged CLOSE refused"

log "a peer that never answers"
mark=$(lines_now)
phase_begin "$CLIENT_PID"
hostile_peer silent --seconds 13
wait_hostile_peer silent
phase_end "$CLIENT_PID" "silent peer"
check_phase "silent peer" 5
[ "$(count_since "$mark" "peer DATA timeout")" -ge 1 ] || fail "no DATA timeout with a silent peer"

log "a peer that sends datagrams longer than the client's buffer"
mark=$(lines_now)
phase_begin "$CLIENT_PID"
hostile_peer oversize --seconds 5 --rate 200
wait_hostile_peer oversize
phase_end "$CLIENT_PID" "oversized datagrams"
check_phase "oversized datagrams" 40
# The buffer cuts them at 2048 bytes: a data packet arrives as 2040 bytes of payload, never more.
[ "$(count_since "$mark" "Successfully processed and forwarded data, packet length: 2040")" -gt 0 ] ||
    fail "no oversized data packet cut to the buffer and forwarded"
longest=$(lines_since "$mark" | sed -n 's/^Successfully processed and forwarded data, packet length: //p' | sort -n | tail -n 1)
[ "$longest" -eq 2040 ] || fail "a data packet of $longest bytes came out of a 2048-byte buffer"

# ---- The real peer again: the client is back in DATA, nothing of the above is left behind.
start_peer "$E2E_DIR/peer.conf"
n=$(established_count)
wait_established 20 $(( n + 1 ))
ping_far 3 >/dev/null || fail "ping through the tunnel at the end"
fd_end=$(proc_fd_count "$CLIENT_PID") rss_end=$(proc_rss_kb "$CLIENT_PID")
log "at the end: $fd_end descriptors, $rss_end kB resident"
[ "$fd_end" -eq "$BASE_FD" ] || fail "descriptors $BASE_FD after the first session, $fd_end at the end"
[ "$rss_end" -le $(( BASE_RSS + 256 )) ] || fail "resident memory $BASE_RSS kB after the first session, $rss_end kB at the end"
[ "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32" | wc -l)" -eq 1 ] || fail "host routes to the peer: $(ip -n "$NS_CLI" route show "$PEER_ADDR/32")"
[ "$(ip -n "$NS_CLI" route show default dev tolv0 | wc -l)" -eq 1 ] || fail "tunnel default routes: $(ip -n "$NS_CLI" route show default)"
! grep -q "received signo 11" "$LOGF" || fail "the client crashed"
log "PASS"
