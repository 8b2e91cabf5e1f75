#!/usr/bin/env bash
# tolvactl against a running client: check on its configuration, show (text and JSON) during an
# enciphered session with traffic, promtool on the status file it reads, and show marking the
# file stale once the daemon has died without removing it.
. "$(dirname "$0")/lib.sh"
TOLVACTL="${TOLVACTL:?TOLVACTL must name the tolvactl binary}"
command -v promtool >/dev/null || fail "promtool is not installed (scripts/deps.sh installs it)"
e2e_topology

prom="$E2E_DIR/tolvad.prom"
peer_config "$E2E_DIR/peer.conf"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "encrypt=1" "datalog=0" "status=$prom"

out="$("$TOLVACTL" check -f "$E2E_DIR/tolvad.conf")" || fail "tolvactl check: $out"
grep -qx "result: valid: tolvad will start a session" <<<"$out" || fail "tolvactl check said: $out"
grep -qx "  status     $prom" <<<"$out" || fail "tolvactl check did not find the status key: $out"

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
PY

# The file of a real run follows the metric conventions.
promtool check metrics <"$prom" || fail "promtool check metrics on the status file"
log "promtool check metrics: ok"

# A daemon that dies leaves its file behind: its time stamp tells.
kill -KILL "$CLIENT_PID"
wait "$CLIENT_PID" 2>/dev/null || true
sleep 6
out="$("$TOLVACTL" show "$prom")" || fail "tolvactl show on a stale file: $out"
grep -q ': stale, the daemon is not running or not writing$' <<<"$out" || fail "stale file not marked: $out"
log "PASS"
