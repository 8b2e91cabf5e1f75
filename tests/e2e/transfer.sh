#!/usr/bin/env bash
# 24 MB by TCP through the tunnel in each direction, enciphered, compared by checksum.
. "$(dirname "$0")/lib.sh"
e2e_topology

head -c $((24 * 1024 * 1024)) /dev/urandom >"$E2E_DIR/up.bin"
head -c $((24 * 1024 * 1024)) /dev/urandom >"$E2E_DIR/down.bin"

peer_config "$E2E_DIR/peer.conf"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "encrypt=1"
start_peer "$E2E_DIR/peer.conf"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15

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
[ "$(established_count)" -eq 1 ] || fail "the session restarted during the transfer"
log "PASS"
