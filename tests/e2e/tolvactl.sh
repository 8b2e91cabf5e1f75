#!/usr/bin/env bash
# tolvactl against a running client and server: check on the client's configuration, show (text
# and JSON) of both daemons' status files during an enciphered session with traffic, promtool on
# the client's status file and the server's metrics, show marking the client's file stale (exit 3)
# once the daemon has died without removing it, and the server's file removed at its stop.
. "$(dirname "$0")/lib.sh"
TOLVACTL="${TOLVACTL:?TOLVACTL must name the tolvactl binary}"
command -v promtool >/dev/null || fail "promtool is not installed (scripts/deps.sh installs it)"
e2e_topology

prom="$E2E_DIR/tolvad.prom"
peerstatus="$E2E_DIR/peer.status"
peerprom="$E2E_DIR/peer.prom"
peer_config "$E2E_DIR/peer.conf" "status=$peerstatus" "metrics=$peerprom"
# One uplink named, so that the file carries the path series for promtool and show.
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "encrypt=1" "datalog=0" "status=$prom" "uplinks=c0"

out="$("$TOLVACTL" check -f "$E2E_DIR/tolvad.conf")" || fail "tolvactl check: $out"
grep -qx "result: valid: tolvad will start a session" <<<"$out" || fail "tolvactl check said: $out"
grep -qx "  status     $prom" <<<"$out" || fail "tolvactl check did not find the status key: $out"
grep -qx "  uplinks    c0 priority 1; pathpolicy best, a probe every 250 ms, degraded past 10% lost" <<<"$out" ||
    fail "tolvactl check did not list the uplink: $out"

start_peer "$E2E_DIR/peer.conf"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
ping_far 5 >/dev/null || fail "ping through the tunnel"
wait_for 10 "a round trip measured" grep -qE '^tolvad_rtt_samples_total\{[^}]*\} [1-9]' "$prom"

out="$("$TOLVACTL" show -f "$E2E_DIR/tolvad.conf")" || fail "tolvactl show: $out"
printf '%s\n' "$out"
for want in '^interface: tolv0$' '^  state: DATA since [0-9-]+ [0-9:]+ UTC \(' '^  peer: 10\.92\.0\.2 port 4500$' \
    '^  address: 10\.8\.0\.2/24, gateway 10\.8\.0\.1, mtu 1400$' '^  cipher: payload enciphered' \
    '^  round trip: [0-9]+\.[0-9]{3} ms now' '^  resets: none$' ': stale' ; do
    if [ "$want" = ': stale' ]; then
        ! grep -qE "$want" <<<"$out" || fail "a fresh file shown as stale"
    else
        grep -qE "$want" <<<"$out" || fail "tolvactl show lacks /$want/"
    fi
done

# Five pings of 84 bytes each way at least; the JSON for scripts.
json="$("$TOLVACTL" show --json "$prom")" || fail "tolvactl show --json"
python3 - "$json" <<'PY' || fail "tolvactl show --json: $json"
import json, sys
j = json.loads(sys.argv[1])
assert j["state"] == "DATA" and j["interface"] == "tolv0" and j["cipher"] == "xor", j
assert j["sent"]["packets"] >= 5 and j["sent"]["bytes"] >= 5 * 84, j["sent"]
assert j["received"]["packets"] >= 5 and j["received"]["bytes"] >= 5 * 84, j["received"]
r = j["rtt_seconds"]
assert r["samples"] >= 1 and 0 < r["min"] <= r["smoothed"] <= r["max"] < 1, r
assert j["stale"] is False
assert [p["name"] for p in j["paths"]] == ["c0"], j["paths"]
PY
grep -qE '^(  |\* )c0 ' <<<"$("$TOLVACTL" show "$prom")" || fail "tolvactl show has no row of the path c0"

# The server's view of the same session.
out="$("$TOLVACTL" show "$peerstatus")" || fail "tolvactl show on the server's file: $out"
printf '%s\n' "$out"
grep -qE '^  sessions: 1 of 1024$' <<<"$out" || fail "server's session count: $out"
grep -qE '^alice +[0-9.]+:[0-9]+ +10\.8\.0\.2 +legacy ' <<<"$out" || fail "alice's session row: $out"
json="$("$TOLVACTL" show --json "$peerstatus")" || fail "tolvactl show --json on the server's file"
python3 - "$json" <<'PY' || fail "tolvactl show --json: $json"
import json, sys
j = json.loads(sys.argv[1])
assert j["daemon"] == "sdwan-peerd" and j["stale"] is False and len(j["sessions"]) == 1, j
s = j["sessions"][0]
assert s["user"] == "alice" and s["address"] == "10.8.0.2" and s["kind"] == "legacy", s
assert s["received"]["packets"] >= 5 and s["received"]["bytes"] >= 5 * 84, s
assert s["sent"]["packets"] >= 5 and s["sent"]["bytes"] >= 5 * 84, s
assert s["since"] <= s["last_heard"] <= j["status_time"], s
PY

# The files of a real run follow the metric conventions: the client's, and the server's once
# written (every 10 s).
grep -qE '^tolvad_path_active\{interface="tolv0",path="c0"\} [01]$' "$prom" || fail "no path series in the status file"
promtool check metrics <"$prom" || fail "promtool check metrics on the status file"
wait_for 12 "the server's metrics" grep -q '^sdwan_peer_session_rx_bytes_total{user="alice"' "$peerprom"
promtool check metrics <"$peerprom" || fail "promtool check metrics on the server's metrics"
log "promtool check metrics: ok"

# A daemon that dies leaves its file behind: its time stamp tells.
kill -KILL "$CLIENT_PID"
wait "$CLIENT_PID" 2>/dev/null || true
sleep 4
rc=0
out="$("$TOLVACTL" show "$prom")" || rc=$?
[ "$rc" -eq 3 ] || fail "tolvactl show on a stale file exited $rc: $out"
grep -q ': stale, the daemon is not running or not writing$' <<<"$out" || fail "stale file not marked: $out"

# A server that stops leaves no file to read as live sessions.
stop_pid "$PEER_PID" TERM
[ ! -e "$peerstatus" ] || fail "the server's status file outlived it"
log "PASS"
