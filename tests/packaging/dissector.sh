#!/usr/bin/env bash
# The Wireshark dissector on real traffic: a session in clear, then an enciphered one, each
# captured by tshark on the client's uplink inside the client's namespace, then decoded field
# by field: OPEN with the user, OPENACK with the address, both signatures good under the
# build's salt, echo requests answered with their own tick, ICMP echoes inside DATA, and
# inside EDATA only once the key preference is given. The peer listens on a port of no
# dissector's and the decoding sets no port: the dissector's heuristic finds the protocol.
. "$(dirname "$0")/../e2e/lib.sh"
PEER_PORT=47474

LUA="${SDWAN_LUA:?SDWAN_LUA must name packaging/wireshark/sdwan.lua}"
SALT="${SDWAN_SALT:-0x3C,0xA5}"
command -v tshark >/dev/null || fail "tshark is not installed (scripts/deps.sh installs it)"

e2e_topology

# capture ENCRYPT FILE: one session of the client with that encrypt setting, with pings to the
# far host and at least one echo exchange, captured into FILE.
capture() {
    local enc="$1" cap="$2"
    : >"$E2E_DIR/tolvad.log"
    bg "$NS_CLI" "$E2E_DIR/tshark-$enc.out" tshark -n -i c0 -f "udp port $PEER_PORT" -w "$cap"
    local tshark_pid=$LAST_PID
    wait_for 15 "capture running on c0" grep -q "Capturing on" "$E2E_DIR/tshark-$enc.out"
    peer_config "$E2E_DIR/peer.conf"
    client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "encrypt=$enc" "datalog=0"
    start_peer "$E2E_DIR/peer.conf"
    start_client "$E2E_DIR/tolvad.conf"
    wait_established 15
    log "session established"
    ping_far 3 >"$E2E_DIR/ping-$enc.out" || fail "ping through the tunnel (encrypt=$enc)"
    # Echo requests leave every two seconds once the session is up; 3 s hold at least one
    # answered request.
    sleep 3
    # The peer first: its CLOSE still reaches the client.
    stop_pid "$PEER_PID" TERM
    stop_pid "$CLIENT_PID" TERM
    stop_pid "$tshark_pid" INT
    [ -s "$cap" ] || fail "no capture written for encrypt=$enc"
    log "capture done"
}

# decode FILE [tshark options...]: one line per datagram, fields separated by '|', repeated
# fields joined by ';'. tshark run as root warns about it on standard error; that line alone
# is expected, anything else (a Lua script that does not load) fails the test.
FIELDS=(sdwan.type sdwan.opt.user sdwan.opt.ip sdwan.opt.encrypt sdwan.signature.status
        sdwan.echo.tick ip.dst icmp.type _ws.expert.message)
decode() {
    local cap="$1"; shift
    local args=()
    for f in "${FIELDS[@]}"; do args+=(-e "$f"); done
    tshark -n -X "lua_script:$LUA" -o "sdwan.salt:$SALT" -r "$cap" "$@" -T fields \
        -E separator='|' -E occurrence=a -E aggregator=';' "${args[@]}" \
        >"$E2E_DIR/decode.out" 2>"$E2E_DIR/decode.err" || { cat "$E2E_DIR/decode.err"; fail "tshark -r $cap"; }
    if grep -v 'could be dangerous' "$E2E_DIR/decode.err" | grep -q .; then
        cat "$E2E_DIR/decode.err"
        fail "tshark complained while decoding $cap"
    fi
    cat "$E2E_DIR/decode.out"
}

# count ROWS AWK-CONDITION: the rows where the condition holds ($1 type, $2 user, $3 address,
# $4 encrypt option, $5 signature status, $6 tick, $7 IP destinations, $8 ICMP type,
# $9 expert messages).
count() { awk -F'|' "$2 { n++ } END { print n + 0 }" <<<"$1"; }
expect() {  # expect ROWS CONDITION MIN DESCRIPTION
    local n
    n="$(count "$1" "$2")"
    [ "$n" -ge "$3" ] || { printf '%s\n' "$1" | head -n 40; fail "$4: $n rows, want at least $3"; }
}
expect_none() {  # expect_none ROWS CONDITION DESCRIPTION
    local n
    n="$(count "$1" "$2")"
    [ "$n" -eq 0 ] || { printf '%s\n' "$1" | head -n 40; fail "$3: $n rows, want none"; }
}

# Checks common to both rounds: handshake, echo, signatures, no dissector errors.
common_checks() {  # common_checks ROWS ENCRYPT
    local rows="$1" enc="$2"
    expect "$rows" '$1 == 19 && $2 == "alice" && $5 == 1' 1 "OPEN with user alice, good signature"
    expect "$rows" '$1 == 18 && $3 == "10.8.0.2" && $5 == 1' 1 "OPENACK with address 10.8.0.2, good signature"
    expect "$rows" '$1 == 21 && $5 == 1 && $6 > 0' 1 "ECHOREQ with a tick"
    expect "$rows" '$1 == 22 && $5 == 1 && $6 > 0' 1 "ECHORESP with a tick"
    expect "$rows" '$1 == 23 && $5 == 1' 1 "CLOSE from the stopping peer"
    # Every response returns the tick of a request of this capture.
    local orphan
    orphan="$(awk -F'|' '$1 == 21 { req[$6] = 1 } $1 == 22 { resp[$6] = 1 }
        END { n = 0; for (t in resp) if (!(t in req)) n++; print n }' <<<"$rows")"
    [ "$orphan" -eq 0 ] || fail "ECHORESP ticks that no ECHOREQ sent: $orphan"
    expect_none "$rows" '$1 == ""' "datagrams not decoded as the tunnel protocol"
    expect_none "$rows" '$5 == "0"' "control packets with a wrong signature"
    expect_none "$rows" '$9 ~ /Lua Error|Malformed|too short|cut short/' "dissector errors"
    if [ "$enc" = 1 ]; then
        expect "$rows" '$1 == 19 && $4 == 1' 1 "OPEN asking for encryption"
        expect "$rows" '$1 == 18 && $4 == 1' 1 "OPENACK granting encryption"
    else
        expect_none "$rows" '$4 != ""' "encrypt options in the clear round"
    fi
}

log "round in clear"
capture 0 "$E2E_DIR/clear.pcapng"
log "round enciphered"
capture 1 "$E2E_DIR/cipher.pcapng"

log "decoding"
rows="$(decode "$E2E_DIR/clear.pcapng")"
common_checks "$rows" 0
expect "$rows" '$1 == 20 && $7 ~ /;10\.93\.0\.2$/ && $8 == 8' 3 "DATA carrying ICMP echo requests to the far host"
expect "$rows" '$1 == 20 && $7 ~ /;10\.8\.0\.2$/ && $8 == 0' 3 "DATA carrying ICMP echo replies to the client"
expect_none "$rows" '$1 == 24' "EDATA in the clear round"

rows="$(decode "$E2E_DIR/cipher.pcapng")"
common_checks "$rows" 1
expect "$rows" '$1 == 24' 6 "EDATA"
expect_none "$rows" '$1 == 20' "DATA in the enciphered round"
expect_none "$rows" '$1 == 24 && $8 != ""' "EDATA decoded without a key"

rows="$(decode "$E2E_DIR/cipher.pcapng" -o "sdwan.key:alice:wonderland")"
expect "$rows" '$1 == 24 && $7 ~ /;10\.93\.0\.2$/ && $8 == 8' 3 "EDATA deciphered to ICMP echo requests"
expect "$rows" '$1 == 24 && $7 ~ /;10\.8\.0\.2$/ && $8 == 0' 3 "EDATA deciphered to ICMP echo replies"

log "PASS"
