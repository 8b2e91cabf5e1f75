#!/usr/bin/env bash
# The delaying relay the path tests use: a UDP ping from the client's namespace to an echo at the
# peer's address and port, first straight through the router, then through the relay at 20 ms,
# then at 50 ms set while it runs. Each round trip grows by twice the delay (it holds both ways)
# within ±5 ms; every answer comes from the peer's address and port; the far end sees the relay's
# upstream address, one port per client socket; the relay ends by itself and has relayed every
# datagram.
. "$(dirname "$0")/lib.sh"
HERE="$(cd "$(dirname "$0")" && pwd)"
command -v nft >/dev/null || fail "nft is needed (scripts/deps.sh installs it)"
e2e_topology
bg "$NS_PEER" "$E2E_DIR/echo.out" python3 "$HERE/udp_ping.py" echo --bind "$PEER_ADDR:$PEER_PORT" --lifetime 60
wait_for 5 "echo listening" sh -c "ip netns exec $NS_PEER ss -Hlun 'sport = :$PEER_PORT' | grep -q ."

J=""
udp_ping() {  # 20 exchanges over two sockets; J holds the JSON answer
    J=$(ip netns exec "$NS_CLI" python3 "$HERE/udp_ping.py" ping --to "$PEER_ADDR:$PEER_PORT" --count 20 --sockets 2)
}
jf() { python3 -c 'import json,sys; v = json.loads(sys.argv[1])[sys.argv[2]]; print(" ".join(v) if isinstance(v, list) else v)' "$J" "$1"; }

udp_ping
base=$(jf median)
[ "$(jf lost)" = 0 ] && [ "$(jf foreign)" = 0 ] || fail "straight ping: $J"
seen=$(jf seen)
for s in $seen; do [ "${s%:*}" = 10.91.0.2 ] || fail "straight: the echo saw $s, not the client"; done
log "straight: median round trip $base ms"

relay_start c0 r0 10.91.0.1 4610 20 10
check() {  # check DELAY_MS
    udp_ping
    [ "$(jf lost)" = 0 ] && [ "$(jf foreign)" = 0 ] || fail "delay $1 ms: lost or foreign answers: $J"
    local m; m=$(jf median)
    log "delay $1 ms each way: median round trip $m ms"
    python3 -c 'import sys; m, b, d = map(float, sys.argv[1:]); sys.exit(0 if abs(m - b - 2 * d) <= 5 else 1)' \
        "$m" "$base" "$1" || fail "delay $1 ms: round trip $m ms, straight $base ms: not 2x$1 ms more within 5 ms ($J)"
    set -- $(jf seen)
    [ $# -eq 2 ] && [ "${1%:*}" = 10.92.0.1 ] && [ "${2%:*}" = 10.92.0.1 ] ||
        fail "the echo should see two sources at the relay's upstream address, saw: $*"
}
check 20
relay_delay c0 50
sleep 0.1
check 50
wait_for 12 "the relay ending by itself" sh -c "! kill -0 $RELAY_PID 2>/dev/null"
counts=$(tail -n 1 "$E2E_DIR/relay-c0.out")
python3 -c 'import json,sys; c = json.loads(sys.argv[1]); sys.exit(0 if c["up"] == c["down"] == 40 and c["sources"] == 4 else 1)' \
    "$counts" || fail "relay counts: $counts (40 each way and 4 sources expected)"
log PASS
