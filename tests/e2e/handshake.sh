#!/usr/bin/env bash
# Handshake, ping both ways in clear and enciphered, the tunnel default route with the peer kept
# outside it, an interface that carries IPv4 only, and a clean host after SIGTERM.
. "$(dirname "$0")/lib.sh"
e2e_topology

for enc in 0 1; do
    log "round with encrypt=$enc"
    : >"$E2E_DIR/tolvad.log"
    session_up "encrypt=$enc"
    want=N; [ "$enc" = 1 ] && want=Y
    log_has "$E2E_DIR/tolvad.log" "Using IP: 10.8.0.2, Gateway: 10.8.0.1, MTU: 1400, Encrypt: $want" ||
        fail "Using IP line"

    # The interface carries the handed-out address /24, the smaller MTU, and is up.
    ip -n "$NS_CLI" -o -4 addr show dev tolv0 | grep -q 'inet 10.8.0.2/24' || fail "tunnel address"
    ip -n "$NS_CLI" link show dev tolv0 | grep -q 'mtu 1400' || fail "tunnel MTU"
    ip -n "$NS_CLI" link show dev tolv0 | grep -q '<[^>]*UP' || fail "tunnel not up"
    # IPv4 only: no IPv6 address, so no solicitation or report of the kernel's enters the tunnel.
    [ "$(ip netns exec "$NS_CLI" cat /proc/sys/net/ipv6/conf/tolv0/disable_ipv6)" = 1 ] || fail "IPv6 on the tunnel"
    [ -z "$(ip -n "$NS_CLI" -6 addr show dev tolv0)" ] || fail "IPv6 address on the tunnel"

    # Traffic for the world goes into the tunnel; the peer itself stays on the old gateway.
    ip -n "$NS_CLI" route get "$FAR_ADDR" | grep -q 'dev tolv0' || fail "far host not routed into the tunnel"
    ip -n "$NS_CLI" route get "$PEER_ADDR" | grep -q 'via 10.91.0.1 dev c0' || fail "peer not kept outside the tunnel"

    ping_far 5 >"$E2E_DIR/ping.out" || fail "ping client -> far host through the tunnel"
    ip netns exec "$NS_FAR" ping -n -q -c 3 -i 0.2 -W 2 10.8.0.2 >"$E2E_DIR/ping2.out" ||
        fail "ping far host -> client through the tunnel"
    # Still one session: the tunnel never swallowed its own datagrams.
    [ "$(established_count)" -eq 1 ] || fail "session restarted during the round"

    stop_pid "$CLIENT_PID" TERM
    log_has "$E2E_DIR/tolvad.log" "received signo 15, start to exit" || fail "signal line"
    log_has "$E2E_DIR/tolvad.log" "EXIT" || fail "EXIT line"
    # Nothing of the client is left: no interface, no route of its own, the old default back.
    ! ip -n "$NS_CLI" link show dev tolv0 >/dev/null 2>&1 || fail "tunnel interface left behind"
    [ "$(ip -n "$NS_CLI" route show default)" = "default via 10.91.0.1 dev c0 " ] ||
        [ "$(ip -n "$NS_CLI" route show default)" = "default via 10.91.0.1 dev c0" ] ||
        fail "default route not restored: $(ip -n "$NS_CLI" route show default)"
    [ -z "$(ip -n "$NS_CLI" route show "$PEER_ADDR/32")" ] || fail "peer host route left behind"
    stop_pid "$PEER_PID" TERM
    # Every packet that came out of the tunnel was IPv4 of the session's address.
    grep 'peer stats: ' "$E2E_DIR/peerd.log" | tail -n 1 | grep -q ' badip 0 ' ||
        fail "the peer dropped packets of the tunnel: $(grep 'peer stats: ' "$E2E_DIR/peerd.log" | tail -n 1)"
done
log "PASS"
