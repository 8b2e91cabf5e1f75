#!/usr/bin/env bash
# 24 MB by TCP through the tunnel in each direction, enciphered, compared by checksum. With
# logsize=1 and a line per delivered packet, the client's log turns over and stays bounded.
. "$(dirname "$0")/lib.sh"
e2e_topology

head -c $((24 * 1024 * 1024)) /dev/urandom >"$E2E_DIR/up.bin"
head -c $((24 * 1024 * 1024)) /dev/urandom >"$E2E_DIR/down.bin"

session_up "encrypt=1" "logsize=1"

# Upload: the far host stores what the client sends.
bg "$NS_FAR" "$E2E_DIR/sink.out" socat -u TCP-LISTEN:5001,reuseaddr "CREATE:$E2E_DIR/up.got"
wait_for 5 "far listener" ip netns exec "$NS_FAR" sh -c 'ss -ltn | grep -q ":5001 "'
timeout 120 ip netns exec "$NS_CLI" socat -u "OPEN:$E2E_DIR/up.bin" "TCP:$FAR_ADDR:5001" ||
    fail "upload did not finish"
wait_for 10 "upload stored" file_size_is "$E2E_DIR/up.got" $((24 * 1024 * 1024))

# Download: the far host serves a file, the client reads it.
bg "$NS_FAR" "$E2E_DIR/source.out" socat -u "OPEN:$E2E_DIR/down.bin" TCP-LISTEN:5002,reuseaddr
wait_for 5 "far source" ip netns exec "$NS_FAR" sh -c 'ss -ltn | grep -q ":5002 "'
timeout 120 ip netns exec "$NS_CLI" socat -u "TCP:$FAR_ADDR:5002" "CREATE:$E2E_DIR/down.got" ||
    fail "download did not finish"

[ "$(sha256sum <"$E2E_DIR/up.bin")" = "$(sha256sum <"$E2E_DIR/up.got")" ] || fail "upload corrupted"
[ "$(sha256sum <"$E2E_DIR/down.bin")" = "$(sha256sum <"$E2E_DIR/down.got")" ] || fail "download corrupted"
# The session's start went to tolvad.log.1 with the turn-over: counted over both files.
[ "$(cat "$E2E_DIR/tolvad.log.1" "$E2E_DIR/tolvad.log" | grep -c ' sdwan DATA ESTABLISHED session ')" -eq 1 ] ||
    fail "the session restarted during the transfer"

# The log bound: at most 1 MiB and one line, the older lines in tolvad.log.1, which the new
# file names in its first line; every line whole.
max=$((1024 * 1024 + 200))
[ -s "$E2E_DIR/tolvad.log.1" ] || fail "no tolvad.log.1: the log never reached 1 MiB"
for f in tolvad.log tolvad.log.1; do
    size=$(stat -c %s "$E2E_DIR/$f")
    [ "$size" -le "$max" ] || fail "$f holds $size bytes"
    ! grep -avE '^[0-9]+/[0-9]+/[0-9]+ [0-9]+:[0-9]{2}:[0-9]{2} ' "$E2E_DIR/$f" | grep -q . || fail "$f: a line without its prefix"
done
[ "$(grep -cE ' Successfully processed and forwarded data, packet length: [0-9]+$' "$E2E_DIR/tolvad.log.1")" -gt 10000 ] ||
    fail "tolvad.log.1 holds too few per-packet lines"
first=$(head -n 1 "$E2E_DIR/tolvad.log" | sed -E 's#^[0-9]+/[0-9]+/[0-9]+ [0-9]+:[0-9]{2}:[0-9]{2} ##')
[ "$first" = "Log file reached 1 MiB, earlier lines are in $E2E_DIR/tolvad.log.1" ] || fail "first line of the new log: $first"
log "log $(stat -c %s "$E2E_DIR/tolvad.log") bytes, tolvad.log.1 $(stat -c %s "$E2E_DIR/tolvad.log.1") bytes"
log "PASS"
