#!/usr/bin/env bash
# A stranger on the path floods the client with one-byte datagrams forged from the peer's address
# and port (20 000 a second for 10 s, from the router's namespace) while a ping runs through the
# tunnel: every one is refused and counted, the log takes a bounded number of lines with summaries
# that account for the rest, and the tunnel loses (almost) no ping. The log is on a disk.
. "$(dirname "$0")/lib.sh"
e2e_topology
HERE="$(cd "$(dirname "$0")" && pwd)"
RATE="${SPOOF_RATE:-20000}"
SECS="${SPOOF_SECONDS:-10}"
LOGF="$E2E_DIR/tolvad.log"
strip() { sed -E 's#^[0-9]+/[0-9]+/[0-9]+ [0-9]+:[0-9]{2}:[0-9]{2} ##'; }

session_up "status=$E2E_DIR/tolvad.prom"
ping_far 2 >/dev/null || fail "first ping"
port=$(client_udp_port)
[ -n "$port" ] || fail "the client's UDP port not found"
metric() { awk -v m="$1{interface=\"tolv0\"}" '$1 == m {print $2}' "$E2E_DIR/tolvad.prom"; }

lines0=$(wc -l <"$LOGF") drops0=$(udp_stat "$NS_CLI" RcvbufErrors) supp0=$(metric tolvad_log_lines_suppressed_total)
pings=$(( SECS * 10 + 20 ))
ip netns exec "$NS_CLI" ping -n -q -c "$pings" -i 0.1 -W 2 "$FAR_ADDR" >"$E2E_DIR/ping.out" 2>&1 &
PING_PID=$!
E2E_PIDS+=("$PING_PID")
sleep 1
phase_begin "$CLIENT_PID"
out=$(ip netns exec "$NS_RTR" python3 "$HERE/spoof.py" --src "$PEER_ADDR:$PEER_PORT" --dst "10.91.0.2:$port" \
    --rate "$RATE" --seconds "$SECS") || fail "the flood did not run"
phase_end "$CLIENT_PID" "client under the flood"
sent=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["sent"])' "$out")
wait "$PING_PID" || true
log "flood: $sent datagrams to port $port; ping: $(grep 'packet loss' "$E2E_DIR/ping.out")"
loss=$(sed -n 's/.* \([0-9.]*\)% packet loss.*/\1/p' "$E2E_DIR/ping.out")
python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) < 1.0 else 1)" "$loss" || fail "ping loss $loss% under the flood"
[ "$(established_count)" -eq 1 ] || fail "the session restarted under the flood"
[ "$(client_udp_port)" = "$port" ] || fail "the client changed its socket under the flood"

# The last interval's summary comes with the next tick; the status file a second later.
sleep 3
drops=$(( $(udp_stat "$NS_CLI" RcvbufErrors) - drops0 ))
tail -n +"$(( lines0 + 1 ))" "$LOGF" | strip >"$E2E_DIR/flood.lines"
read -r logged summaries held added < <(python3 - "$E2E_DIR/flood.lines" <<'PY'
import re, sys
kinds = ("Unknown packet type: ", "Invalid data length received: ", "Invalid state: expected ",
         "Invalid state or packet verification failed", "Packet verification failed")
logged = summaries = held = 0
lines = open(sys.argv[1]).read().splitlines()
for line in lines:
    m = re.fullmatch(r"(\d+) lines suppressed in the last \d+ s: (.*)", line)
    if m:
        summaries += 1
        parts = [p.rsplit(" ", 1) for p in m.group(2).split(", ")]
        assert sum(int(n) for _, n in parts) == int(m.group(1)), line
        held += int(m.group(1))
    elif line.startswith(kinds):
        logged += 1
print(logged, summaries, held, len(lines))
PY
)
supp=$(( $(metric tolvad_log_lines_suppressed_total) - supp0 ))
log "log: $added lines ($logged refusals, $summaries summaries of $held held back); kernel drops $drops"
# Every datagram that reached the socket has its line or its place in a summary.
[ $(( logged + held + drops )) -eq "$sent" ] || fail "$sent sent, $logged logged + $held summed up + $drops dropped"
[ "$supp" -eq "$held" ] || fail "tolvad_log_lines_suppressed_total moved by $supp, the summaries say $held"
# Five kinds at most five times a second, a summary a second, and the ping's own lines.
[ "$logged" -le $(( (SECS + 3) * 25 )) ] || fail "$logged refusal lines in $SECS s"
[ "$summaries" -ge "$SECS" ] && [ "$summaries" -le $(( SECS + 3 )) ] || fail "$summaries summary lines"
[ "$added" -le $(( logged + summaries + pings + 20 )) ] || fail "the log grew by $added lines"
ping_far 3 >/dev/null || fail "ping after the flood"
log "PASS"
