#!/usr/bin/env bash
# A farm behind one name: two servers, A and B, with the same users and pools of their own,
# both addresses of one name served by dnsmasq (which rotates the order of its answers), and 20
# clients, each in a namespace of its own, spread over both. A is killed; the test plays the
# health checker: it takes A out of dnsmasq's hosts file and sends dnsmasq SIGHUP. Every client
# of A times out, resolves the name again, and is back in DATA on B within 20 s; B never hands
# out an address twice.
#
#   fc0..fc19 ---+
#   (tolvad)     |        +- fa: sdwan-peerd A, 10.92.1.2, pool 10.8.0.0/24
#                rtr -----+- fb: sdwan-peerd B, 10.92.2.2, pool 10.9.0.0/24
#                         +- fd: dnsmasq on the built-in resolver's address
. "$(dirname "$0")/lib.sh"
NCLI="${FARM_CLIENTS:-20}"
NAME=farm.e2e.test
A_ADDR=10.92.1.2
B_ADDR=10.92.2.2
NS_A="fa-$E2E_ID" NS_B="fb-$E2E_ID"

ns_add "$NS_RTR"
ns_add "$NS_A"
ns_add "$NS_B"
ns_add "$NS_DNS"
ip netns exec "$NS_RTR" sysctl -qw net.ipv4.ip_forward=1
veth "$NS_RTR" ra 10.92.1.1/24 "$NS_A" a0 "$A_ADDR/24"
veth "$NS_RTR" rb 10.92.2.1/24 "$NS_B" b0 "$B_ADDR/24"
veth "$NS_RTR" rd 10.94.0.1/24 "$NS_DNS" d0 10.94.0.2/24
ip -n "$NS_DNS" addr add "$RESOLVER/32" dev d0
ip -n "$NS_RTR" route add "$RESOLVER/32" via 10.94.0.2
for ns in "$NS_A" "$NS_B" "$NS_DNS"; do
    gw=$(ip -n "$ns" -o -4 addr show | awk '$2 != "lo" {print $4; exit}' | sed 's#\.[0-9]*/24#.1#')
    ip -n "$ns" route add default via "$gw"
done
for k in $(seq 0 $(( NCLI - 1 ))); do
    ns="fc$k-$E2E_ID"
    ns_add "$ns"
    veth "$ns" c0 "10.100.$k.2/24" "$NS_RTR" "rc$k" "10.100.$k.1/24"
    ip -n "$ns" route add default via "10.100.$k.1"
done

users() { for k in $(seq 0 $(( NCLI - 1 ))); do echo "user=branch-$k:pw-$k"; done; }
server_config() {  # server_config FILE POOL
    {
        echo "[farm0]"
        echo "port=$PEER_PORT"
        echo "pool=$2"
        echo "metrics=$1.prom"
        users
    } >"$1"
}
server_config "$E2E_DIR/a.conf" 10.8.0.0/24
server_config "$E2E_DIR/b.conf" 10.9.0.0/24
bg "$NS_A" "$E2E_DIR/a.out" "$PEERD" -f "$E2E_DIR/a.conf" -l "$E2E_DIR/a.log"
A_PID=$LAST_PID
bg "$NS_B" "$E2E_DIR/b.out" "$PEERD" -f "$E2E_DIR/b.conf" -l "$E2E_DIR/b.log"
B_PID=$LAST_PID

printf '%s %s\n%s %s\n' "$A_ADDR" "$NAME" "$B_ADDR" "$NAME" >"$E2E_DIR/farm.hosts"
bg "$NS_DNS" "$E2E_DIR/dnsmasq.log" dnsmasq --keep-in-foreground --no-resolv --no-hosts \
    --addn-hosts="$E2E_DIR/farm.hosts" --listen-address="$RESOLVER" --bind-interfaces \
    --user=root --pid-file= --log-queries --log-facility=-
DNS_PID=$LAST_PID
wait_for 5 "dnsmasq listening" ip netns exec "$NS_DNS" sh -c "ss -lun | grep -q '$RESOLVER:53 '"

for k in $(seq 0 $(( NCLI - 1 ))); do
    {
        echo "[tolv0]"
        echo "server=$NAME"
        echo "port=$PEER_PORT"
        echo "username=branch-$k"
        echo "password=pw-$k"
        echo "mtu=1500"
    } >"$E2E_DIR/c$k.conf"
    chmod 600 "$E2E_DIR/c$k.conf"
    bg "fc$k-$E2E_ID" "$E2E_DIR/c$k.out" "$TOLVAD" -f "$E2E_DIR/c$k.conf" -l "$E2E_DIR/c$k.log"
done

sessions_of() {  # sessions_of CLIENT: DATA sessions the client established so far
    sed -E 's#^[0-9]+/[0-9]+/[0-9]+ [0-9]+:[0-9]{2}:[0-9]{2} ##' "$E2E_DIR/c$1.log" 2>/dev/null |
        grep -c '^sdwan DATA ESTABLISHED session ' || true
}
all_at_least() {  # all_at_least N [CLIENTS...]: each of these clients has N sessions
    local n="$1" k; shift
    for k in "$@"; do [ "$(sessions_of "$k")" -ge "$n" ] || return 1; done
}
ALL=$(seq 0 $(( NCLI - 1 )))
# shellcheck disable=SC2086
wait_for 30 "every client in DATA" all_at_least 1 $ALL
on_a=() on_b=()
for k in $ALL; do
    if log_has "$E2E_DIR/c$k.log" "DNS resolved domain $NAME to IP $A_ADDR"; then on_a+=("$k"); else on_b+=("$k"); fi
done
log "spread: ${#on_a[@]} clients on A, ${#on_b[@]} on B"
[ "${#on_a[@]}" -ge 1 ] && [ "${#on_b[@]}" -ge 1 ] || fail "the clients are not spread over both servers"

log "A killed; the health checker takes it out of the name"
stop_pid "$A_PID" KILL
printf '%s %s\n' "$B_ADDR" "$NAME" >"$E2E_DIR/farm.hosts"
kill -HUP "$DNS_PID"
t0=$(date +%s)
wait_for 20 "every client of A back in DATA" all_at_least 2 "${on_a[@]}"
log "every client of A back in DATA on B after $(( $(date +%s) - t0 )) s"
for k in "${on_a[@]}"; do
    log_has "$E2E_DIR/c$k.log" "INIT peer $B_ADDR:$PEER_PORT" || fail "client $k did not go to B"
done
# shellcheck disable=SC2086
all_at_least 1 $ALL || fail "a client lost its session"
for k in "${on_b[@]}"; do
    [ "$(sessions_of "$k")" -eq 1 ] || fail "client $k of B started over"
done

# B holds every client, each at an address of its own, and traffic passes.
b_full() { [ "$(awk '$1 == "sdwan_peer_sessions" {print $2}' "$E2E_DIR/b.conf.prom" 2>/dev/null)" = "$NCLI" ]; }
wait_for 15 "B's metrics with every client" b_full
n_addr=$(sed -n 's/.*address="\([0-9.]*\)".*/\1/p' "$E2E_DIR/b.conf.prom" | sort -u | wc -l)
[ "$(grep -c '^sdwan_peer_session_idle_seconds{' "$E2E_DIR/b.conf.prom")" -eq "$NCLI" ] || fail "B's session series"
[ "$n_addr" -eq "$NCLI" ] || fail "B hands out $n_addr addresses to $NCLI clients"
given=$(sed -n 's/.* accepted: .*, address \([0-9.]*\), encrypt .*/\1/p' "$E2E_DIR/b.log")
[ "$(echo "$given" | sort | uniq -d | wc -l)" -eq 0 ] || fail "B handed out an address twice: $(echo "$given" | sort | uniq -d)"
for k in $ALL; do
    ip netns exec "fc$k-$E2E_ID" ping -n -q -c 1 -W 3 10.9.0.1 >/dev/null &
done
bad=0
for job in $(jobs -p); do
    case " ${E2E_PIDS[*]} " in *" $job "*) continue ;; esac
    wait "$job" || bad=$(( bad + 1 ))
done
[ "$bad" -eq 0 ] || fail "$bad clients cannot ping B's gateway through the tunnel"
log "PASS"
