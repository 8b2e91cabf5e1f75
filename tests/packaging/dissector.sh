#!/usr/bin/env bash
# The Wireshark dissector on real traffic: a session in clear, then an enciphered one, each
# captured by tshark on the client's uplink inside the client's namespace, then decoded field
# by field: OPEN with the user, OPENACK with the address, both signatures good under the
# build's salt, echo requests answered with their own tick, ICMP echoes inside DATA, and
# inside EDATA only once the key preference is given. Then a sealed session: an SINIT with a
# sender index, the SRESP addressed to it, SDATA both ways with rising counters and no legacy
# type. The peer listens on a port of no dissector's and the decoding sets no port: the
# dissector's heuristic finds the protocol.
. "$(dirname "$0")/../e2e/lib.sh"
PEER_PORT=47474

LUA="${SDWAN_LUA:?SDWAN_LUA must name packaging/wireshark/sdwan.lua}"
SALT="${SDWAN_SALT:-0x3C,0xA5}"
TOLVACTL="${TOLVACTL:?TOLVACTL must name the tolvactl binary}"
command -v tshark >/dev/null || fail "tshark is not installed (scripts/deps.sh installs it)"

e2e_topology

# capture NAME FILE CLIENT-LINES...: one session of the client with those lines (the peer's
# from PEER_LINES), with pings to the far host and at least one echo exchange, into FILE.
PEER_LINES=()
capture() {
    local enc="$1" cap="$2"; shift 2
    : >"$E2E_DIR/tolvad.log"
    bg "$NS_CLI" "$E2E_DIR/tshark-$enc.out" tshark -n -i c0 -f "udp port $PEER_PORT" -w "$cap"
    local tshark_pid=$LAST_PID
    wait_for 15 "capture running on c0" grep -q "Capturing on" "$E2E_DIR/tshark-$enc.out"
    peer_config "$E2E_DIR/peer.conf" "${PEER_LINES[@]}"
    client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "datalog=0" "$@"
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
        sdwan.echo.tick ip.dst icmp.type _ws.expert.message
        sdwan.sealed.version sdwan.sealed.sender sdwan.sealed.receiver sdwan.sealed.counter)
decode() {
    local cap="$1"; shift
    local args=()
    for f in "${FIELDS[@]}"; do args+=(-e "$f"); done
    tshark -n -X "lua_script:$LUA" -o "sdwan.salt:$SALT" -r "$cap" "$@" -T fields \
        -E separator='|' -E occurrence=a -E aggregator=';' "${args[@]}" \
        >"$E2E_DIR/decode.out" 2>"$E2E_DIR/decode.err" || { cat "$E2E_DIR/decode.err"; fail "tshark -r $cap"; } >&2
    if grep -v 'could be dangerous' "$E2E_DIR/decode.err" | grep -q .; then
        { cat "$E2E_DIR/decode.err"; fail "tshark complained while decoding $cap"; } >&2
    fi
    cat "$E2E_DIR/decode.out"
}

# count ROWS AWK-CONDITION: the rows where the condition holds ($1 type, $2 user, $3 address,
# $4 encrypt option, $5 signature status, $6 tick, $7 IP destinations, $8 ICMP type,
# $9 expert messages, $10 sealed version, $11 sender index, $12 receiver index, $13 counter).
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
capture 0 "$E2E_DIR/clear.pcapng" "encrypt=0"
log "round enciphered"
capture 1 "$E2E_DIR/cipher.pcapng" "encrypt=1"
log "round sealed"
KEY=$("$TOLVACTL" genkey "$E2E_DIR/peer.key") || fail "genkey"
PEER_LINES=("privatekey=$E2E_DIR/peer.key")
capture sealed "$E2E_DIR/sealed.pcapng" "peerkey=$KEY"

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

rows="$(decode "$E2E_DIR/sealed.pcapng")"
expect_none "$rows" '$1 == ""' "sealed datagrams not decoded as the tunnel protocol"
expect_none "$rows" '$1 < 32' "legacy types in the sealed round"
expect_none "$rows" '$9 ~ /Lua Error|Malformed|bytes, expected|index 0|not zero|Version/' "dissector errors"
expect "$rows" '$1 == 32 && $10 == 1 && $11 > 0' 1 "SINIT with a sender index"
# The SRESP answers the SINIT: its receiver index is that SINIT's sender index. Then SDATA
# both ways (the inner addresses are sealed: the outer destination tells the way), each to the
# index its receiver chose, each way's counters rising from frame to frame.
verdict="$(awk -F'|' -v peer="$PEER_ADDR" '
    $1 == 32 { cli[$11] = 1 }
    $1 == 33 && ($12 in cli) && $11 > 0 { srv[$11] = 1; sresp++ }
    $1 == 34 { way = ($7 == peer) ? "up" : "down"; n[way]++
               if ((way in last) && $13 <= last[way]) bad++
               if (way == "up" ? !($12 in srv) : !($12 in cli)) bad++
               last[way] = $13 }
    END { print sresp + 0, n["up"] + 0, n["down"] + 0, bad + 0 }' <<<"$rows")"
read -r sresp up down bad <<<"$verdict"
log "sealed: $sresp SRESP to an SINIT, SDATA $up up and $down down"
[ "$sresp" -ge 1 ] || { printf '%s\n' "$rows" | head -n 40; fail "no SRESP to an SINIT's sender index"; }
[ "$up" -ge 3 ] && [ "$down" -ge 3 ] || fail "SDATA: $up up, $down down, want 3 or more each way"
[ "$bad" -eq 0 ] || { printf '%s\n' "$rows" | head -n 40; fail "SDATA with a counter that does not rise or a stranger's index: $bad"; }

log "PASS"
