#!/usr/bin/env bash
# The kernel's offloads on the data path, and the path without them: each end with the offloads
# on or off, in all four pairings, carries 24 MB by TCP each way intact (SHA-256). The wire is
# the same with and without them, so an end with the offloads off stands for the daemons of
# earlier releases: the mixed pairings are the interoperability of the new with the old, both
# ways round. Then, with datalog=1, every packet the client delivers has its line with its length.
. "$(dirname "$0")/lib.sh"
e2e_topology

MB24=$((24 * 1024 * 1024))
head -c "$MB24" /dev/urandom >"$E2E_DIR/up.bin"
head -c "$MB24" /dev/urandom >"$E2E_DIR/down.bin"
UP_SUM=$(sha256sum <"$E2E_DIR/up.bin")
DOWN_SUM=$(sha256sum <"$E2E_DIR/down.bin")

# The start-up line that says which path each daemon took (the same text in both), and the
# switch that turns the offloads off. The kernel of the test grants them all.
OFFLOAD_ON="offloads: tun tso4, udp gso, udp gro"
OFFLOAD_OFF="offloads: off"

SEQ=0
# transfer WHAT: 24 MB up, then 24 MB down, through the client's session; both compared.
transfer() {
    SEQ=$((SEQ + 1))
    local up=$((5100 + SEQ * 2)) down=$((5101 + SEQ * 2))
    rm -f "$E2E_DIR/up.got" "$E2E_DIR/down.got"
    bg "$NS_FAR" "$E2E_DIR/sink.out" socat -u "TCP-LISTEN:$up,reuseaddr" "CREATE:$E2E_DIR/up.got"
    wait_for 5 "far listener" ip netns exec "$NS_FAR" sh -c "ss -ltn | grep -q ':$up '"
    timeout 60 ip netns exec "$NS_CLI" socat -u "OPEN:$E2E_DIR/up.bin" "TCP:$FAR_ADDR:$up" ||
        fail "$1: upload did not finish"
    wait_for 10 "$1: upload stored" file_size_is "$E2E_DIR/up.got" "$MB24"
    bg "$NS_FAR" "$E2E_DIR/source.out" socat -u "OPEN:$E2E_DIR/down.bin" "TCP-LISTEN:$down,reuseaddr"
    wait_for 5 "far source" ip netns exec "$NS_FAR" sh -c "ss -ltn | grep -q ':$down '"
    timeout 60 ip netns exec "$NS_CLI" socat -u "TCP:$FAR_ADDR:$down" "CREATE:$E2E_DIR/down.got" ||
        fail "$1: download did not finish"
    [ "$(sha256sum <"$E2E_DIR/up.got")" = "$UP_SUM" ] || fail "$1: upload corrupted"
    [ "$(sha256sum <"$E2E_DIR/down.got")" = "$DOWN_SUM" ] || fail "$1: download corrupted"
}

# A user per client run: a restarted client comes from a new port, and the peer holds the old
# session of the same user for a few seconds.
USERS=(alice:wonderland bob:builder carol:singer dave:diver erin:eagle)
UIDX=0
# client_run CLIENT_OFFLOAD(on|off) PEER_OFFLOAD(on|off) DATALOG
client_run() {
    local co="$1" po="$2"
    local u="${USERS[$UIDX]}"
    UIDX=$((UIDX + 1))
    # The offloads are for datalog=0; a synced line per inbound packet is a pace of its own.
    client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "encrypt=1" "datalog=$3"
    sed -i -e "s/^username=.*/username=${u%%:*}/" -e "s/^password=.*/password=${u#*:}/" "$E2E_DIR/tolvad.conf"
    : >"$E2E_DIR/tolvad.log"
    [ "$co" = on ] || echo "offload=0" >>"$E2E_DIR/tolvad.conf"
    start_client "$E2E_DIR/tolvad.conf"
    wait_established 15
    local want=$OFFLOAD_ON
    [ "$co" = on ] || want=$OFFLOAD_OFF
    wait_for 5 "client's line: $want" log_has "$E2E_DIR/tolvad.log" "$want"
    log "client offloads $co, peer offloads $po: session up"
}
client_stop() { stop_pid "$CLIENT_PID"; }

# peer_run on|off
peer_run() {
    peer_config "$E2E_DIR/peer.conf" $(printf 'user=%s\n' "${USERS[@]:1}")
    : >"$E2E_DIR/peerd.log"
    [ "$1" = on ] || echo "offload=0" >>"$E2E_DIR/peer.conf"
    start_peer "$E2E_DIR/peer.conf"
    local want=$OFFLOAD_ON
    [ "$1" = on ] || want=$OFFLOAD_OFF
    wait_for 5 "peer's line: $want" log_has "$E2E_DIR/peerd.log" "$want"
}

t0=$(date +%s)
for pair in "on on" "off on" "off off" "on off"; do
    set -- $pair
    [ "$2" = "${peer_now:-}" ] || { [ -z "${peer_now:-}" ] || stop_pid "$PEER_PID"; peer_run "$2"; peer_now=$2; }
    client_run "$1" "$2" 0
    transfer "client offloads $1, peer offloads $2"
    client_stop
    log "client offloads $1, peer offloads $2: 24 MB each way intact"
done

# The log with offloads on at both ends: a short download; every packet the far host sent has
# its line, with its own length. The client joins packets of one TCP flow for one write to its
# interface, so the interface counts writes: every packet beyond the first of a write left out
# its header of 52 bytes (IPv4 and TCP with timestamps, as Linux sends them).
stop_pid "$PEER_PID"
peer_run on
client_run on on 1
head -c $((2 * 1024 * 1024)) /dev/urandom >"$E2E_DIR/short.bin"
bg "$NS_FAR" "$E2E_DIR/short.out" socat -u "OPEN:$E2E_DIR/short.bin" "TCP-LISTEN:5099,reuseaddr"
wait_for 5 "far source" ip netns exec "$NS_FAR" sh -c "ss -ltn | grep -q ':5099 '"
# TCP counts a retransmitted segment apart from the others; each one is delivered and logged too.
far_segs() {
    ip netns exec "$NS_FAR" nstat -az TcpOutSegs TcpRetransSegs |
        awk '$1 == "TcpOutSegs" || $1 == "TcpRetransSegs" { s += $2 } END { print s + 0 }'
}
LINE=' Successfully processed and forwarded data, packet length: '
lines0=$(grep -c "$LINE" "$E2E_DIR/tolvad.log" || true)
pk0=$(if_stat "$NS_CLI" tolv0 rx_packets)
by0=$(if_stat "$NS_CLI" tolv0 rx_bytes)
sg0=$(far_segs)
timeout 30 ip netns exec "$NS_CLI" socat -u "TCP:$FAR_ADDR:5099" "CREATE:$E2E_DIR/short.got" ||
    fail "short download did not finish"
cmp -s "$E2E_DIR/short.bin" "$E2E_DIR/short.got" || fail "short download corrupted"
sleep 0.5  # the far host's last ACK and its line
pk=$(( $(if_stat "$NS_CLI" tolv0 rx_packets) - pk0 ))
by=$(( $(if_stat "$NS_CLI" tolv0 rx_bytes) - by0 ))
sg=$(( $(far_segs) - sg0 ))
sed -n "$((lines0 + 1)),\$p" "$E2E_DIR/tolvad.log" | grep -F "$LINE" | sed -E 's/.*: ([0-9]+)$/\1/' >"$E2E_DIR/lengths"
lines=$(wc -l <"$E2E_DIR/lengths")
bytes=$(awk '{ s += $1 } END { print s + 0 }' "$E2E_DIR/lengths")
log "datalog=1: $lines lines of $bytes bytes for $sg segments sent; the interface took $pk writes of $by bytes"
[ "$lines" -gt 1000 ] || fail "too few per-packet lines for 2 MB: $lines"
[ "$lines" -eq "$sg" ] || fail "$lines lines for $sg segments the far host sent"
awk '$1 < 40 || $1 > 1400 { exit 1 }' "$E2E_DIR/lengths" || fail "a line with a length beyond the session's MTU"
[ "$bytes" -eq $((by + (lines - pk) * 52)) ] ||
    fail "lines add up to $bytes bytes; the interface took $by bytes in $pk writes"
log "took $(( $(date +%s) - t0 )) s"
log "PASS"
