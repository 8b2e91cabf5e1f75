#!/usr/bin/env bash
# The sealed session end to end: 24 MB each way intact with the client's offloads off and on (the
# start-up line saying which); a capture on the router holds neither the password nor an inner
# ping's payload; a wrong pinned key never establishes; a wrong password is rejected; legacy=0
# refuses a legacy client while a sealed one connects; a client that comes back from a new port
# keeps its session.
. "$(dirname "$0")/lib.sh"
TOLVACTL="${TOLVACTL:?TOLVACTL must name the tolvactl binary}"
e2e_topology

KEY=$("$TOLVACTL" genkey "$E2E_DIR/peer.key") || fail "genkey"
OTHER=$("$TOLVACTL" genkey "$E2E_DIR/other.key") || fail "genkey"
peer_config "$E2E_DIR/peer.conf" "privatekey=$E2E_DIR/peer.key" "legacy=0"
start_peer "$E2E_DIR/peer.conf"
wait_for 5 "peer listening" ip netns exec "$NS_PEER" sh -c "ss -lun | grep -q ':$PEER_PORT '"

phase() {  # phase NAME CLIENT-LINES...: a fresh client with its own log
    local name="$1"; shift
    if [ -n "${CLIENT_PID:-}" ]; then stop_pid "$CLIENT_PID" TERM; CLIENT_PID=; fi
    [ -f "$E2E_DIR/tolvad.log" ] && mv "$E2E_DIR/tolvad.log" "$E2E_DIR/tolvad-$LAST_PHASE.log"
    LAST_PHASE="$name"
    log "client: $name"
    client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "datalog=0" "$@"
    [ -z "${PASS:-}" ] || sed -i "s/^password=.*/password=$PASS/" "$E2E_DIR/tolvad.conf"
    start_client "$E2E_DIR/tolvad.conf"
}
LAST_PHASE=none

transfer() {  # 24 MB up and down, compared by checksum
    head -c $((24 * 1024 * 1024)) /dev/urandom >"$E2E_DIR/up.bin"
    head -c $((24 * 1024 * 1024)) /dev/urandom >"$E2E_DIR/down.bin"
    rm -f "$E2E_DIR/up.got" "$E2E_DIR/down.got"
    bg "$NS_FAR" "$E2E_DIR/sink.out" socat -u TCP-LISTEN:5001,reuseaddr "CREATE:$E2E_DIR/up.got"
    local sink=$LAST_PID
    wait_for 5 "far listener" ip netns exec "$NS_FAR" sh -c 'ss -ltn | grep -q ":5001 "'
    timeout 120 ip netns exec "$NS_CLI" socat -u "OPEN:$E2E_DIR/up.bin" "TCP:$FAR_ADDR:5001" ||
        fail "$1: upload did not finish"
    wait_for 10 "upload stored" file_size_is "$E2E_DIR/up.got" $((24 * 1024 * 1024))
    stop_pid "$sink" TERM
    bg "$NS_FAR" "$E2E_DIR/source.out" socat -u "OPEN:$E2E_DIR/down.bin" TCP-LISTEN:5002,reuseaddr
    local source=$LAST_PID
    wait_for 5 "far source" ip netns exec "$NS_FAR" sh -c 'ss -ltn | grep -q ":5002 "'
    timeout 120 ip netns exec "$NS_CLI" socat -u "TCP:$FAR_ADDR:5002" "CREATE:$E2E_DIR/down.got" ||
        fail "$1: download did not finish"
    stop_pid "$source" TERM
    [ "$(sha256sum <"$E2E_DIR/up.bin")" = "$(sha256sum <"$E2E_DIR/up.got")" ] || fail "$1: upload corrupted"
    [ "$(sha256sum <"$E2E_DIR/down.bin")" = "$(sha256sum <"$E2E_DIR/down.got")" ] || fail "$1: download corrupted"
    [ "$(established_count)" -eq 1 ] || fail "$1: the session restarted during the transfer"
    log "$1: 24 MB each way intact"
}

# Sealed, no offloads, with a capture on the router's peer-side link from before the handshake.
bg "$NS_RTR" "$E2E_DIR/capture.out" tshark -q -n -i r1 -w "$E2E_DIR/wire.pcap" -f "udp port $PEER_PORT"
CAPTURE_PID=$LAST_PID
sleep 2
phase offload0 "peerkey=$KEY" "offload=0"
wait_established 15
log_has "$E2E_DIR/tolvad.log" "offloads: off" || fail "offload=0: the sealed session did not turn the offloads off"
log_has "$E2E_DIR/peerd.log" "offloads: tun tso4, udp gso, udp gro" || fail "the peer runs without its offloads"
log_has "$E2E_DIR/tolvad.log" "SEALED handshake start" || fail "no handshake line"
PATTERN=5ea1ed0ff1ce5ea1ed0ff1ce5ea1ed0f
# The same capture inside the tunnel, where the payload is in the clear: proof that the search
# below finds it when it is there.
bg "$NS_CLI" "$E2E_DIR/tuncap.out" tshark -q -n -i tolv0 -w "$E2E_DIR/tun.pcap" -f icmp
TUNCAP_PID=$LAST_PID
sleep 2
ip netns exec "$NS_CLI" ping -n -q -c 5 -i 0.2 -W 2 -p "$PATTERN" "$FAR_ADDR" >/dev/null || fail "ping through the tunnel"
sleep 1
stop_pid "$CAPTURE_PID" INT
stop_pid "$TUNCAP_PID" INT
has_pattern() {  # the pattern as ping repeats it, a whole 16-byte run, in FILE
    python3 -c 'import sys; sys.exit(0 if bytes.fromhex(sys.argv[2]) in open(sys.argv[1], "rb").read() else 1)' \
        "$1" "$PATTERN"
}
[ "$(stat -c %s "$E2E_DIR/wire.pcap")" -gt 1000 ] || fail "the capture holds nothing"
has_pattern "$E2E_DIR/tun.pcap" || fail "the ping payload is not even in the tunnel's capture"
! grep -qa "wonderland" "$E2E_DIR/wire.pcap" || fail "the password crossed the wire in the clear"
! has_pattern "$E2E_DIR/wire.pcap" || fail "the ping payload crossed the wire in the clear"
transfer "offload=0"

phase offload1 "peerkey=$KEY" "offload=1"
wait_established 15
log_has "$E2E_DIR/tolvad.log" "offloads: tun tso4, udp gso, udp gro" || fail "offload=1: the sealed session runs without the offloads"
transfer "offload=1"

# The client killed and started again: a new socket, so a new source port, as a NAT rebinding
# gives. Its handshake is a rekey for the peer, which keeps the session and moves it there.
stop_pid "$CLIENT_PID" KILL
CLIENT_PID=
phase rebound "peerkey=$KEY"
wait_established 15
wait_for 5 "session moved" grep -q \
    'session [0-9]* of user alice moved from 10\.91\.0\.2:[0-9]* to 10\.91\.0\.2:[0-9]*$' "$E2E_DIR/peerd.log"
[ "$(grep -o 'Using IP: [0-9.]*' "$E2E_DIR/tolvad.log")" = "$(grep -o 'Using IP: [0-9.]*' "$E2E_DIR/tolvad-offload1.log")" ] ||
    fail "rebound: the tunnel address changed"
ip netns exec "$NS_CLI" ping -n -q -c 3 -i 0.2 -W 2 "$FAR_ADDR" >/dev/null || fail "rebound: no ping through the moved session"

# A key other than the peer's: the handshake never completes.
phase wrongkey "peerkey=$OTHER"
sleep 8
[ "$(established_count)" -eq 0 ] || fail "established against the wrong key"
log_has "$E2E_DIR/tolvad.log" "SEALED handshake start" || fail "wrong key: no handshake started"

# A wrong password under the right key: rejected.
PASS=alice-in-chains phase wrongpass "peerkey=$KEY"
wait_for 10 "rejection" log_has "$E2E_DIR/tolvad.log" "SDWAN peer authentication REJECTED"
[ "$(established_count)" -eq 0 ] || fail "established with a wrong password"

# A legacy client against legacy=0: refused, logged by the peer.
phase legacy
wait_for 10 "legacy refusal" log_has "$E2E_DIR/tolvad.log" "SDWAN peer authentication REJECTED"
[ "$(established_count)" -eq 0 ] || fail "a legacy client established against legacy=0"
grep -q 'rejected user alice from 10\.91\.0\.2:[0-9]*: legacy sessions refused$' "$E2E_DIR/peerd.log" ||
    fail "no refusal line in the peer's log"
log "PASS"
