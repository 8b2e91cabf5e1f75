#!/usr/bin/env bash
# A run killed in session leaves its persistent interface, the tunnel default route and the host
# route to the peer: the host's traffic would go into a tunnel nobody serves. The clean-up step
# the units run afterwards puts the host back as it was before the start; so does the next start,
# which takes over what the dead run left before anything else, and removes it at its own end.
# With setdns=1 through resolvconf the same goes for the run's record: the host's resolv.conf
# must not keep pointing into a dead tunnel. resolvconf (openresolv) runs in a mount namespace in
# which /etc/resolv.conf and /etc/resolvconf.conf are this test's files, as in setdns.sh.
. "$(dirname "$0")/lib.sh"
e2e_topology

peer_config "$E2E_DIR/peer.conf"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR"
start_peer "$E2E_DIR/peer.conf"
before=$(host_state)
# "ESTABLISHED" is logged before the session's routes go in: "killed in session" waits for them too.
tunnel_routed() { ip -n "$NS_CLI" route get "$FAR_ADDR" | grep -q 'dev tolv0'; }

log "killed in session, then the clean-up step"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
wait_for 5 "the tunnel's routes" tunnel_routed
stop_pid "$CLIENT_PID" KILL
tunnel_routed || fail "the killed run left no tunnel route to remove"
cleanup_step "$E2E_DIR/tolvad.conf" >"$E2E_DIR/cleanup.out" || fail "clean-up step failed: $(cat "$E2E_DIR/cleanup.out")"
grep -q "Removed what an earlier run left on tolv0" "$E2E_DIR/cleanup.out" || fail "clean-up line"
[ "$(host_state)" = "$before" ] || fail "left after the clean-up step: $(diff <(echo "$before") <(host_state))"
ip -n "$NS_CLI" route get "$FAR_ADDR" | grep -q 'via 10.91.0.1 dev c0' || fail "the host's own default route is not in effect"

log "killed in session, then started again"
: >"$E2E_DIR/tolvad.log"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
wait_for 5 "the tunnel's routes" tunnel_routed
stop_pid "$CLIENT_PID" KILL
: >"$E2E_DIR/tolvad.log"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
log_has "$E2E_DIR/tolvad.log" "Removed what an earlier run left on tolv0" || fail "take-over line"
ping_far 3 >/dev/null || fail "ping after the take-over"
stop_pid "$CLIENT_PID" TERM
[ "$(host_state)" = "$before" ] || fail "left after a clean stop: $(diff <(echo "$before") <(host_state))"

[ -x /sbin/resolvconf ] || [ -x /usr/sbin/resolvconf ] || fail "resolvconf missing: scripts/deps.sh installs openresolv"
RESOLV="$E2E_DIR/resolv.conf" RECORD="$E2E_DIR/state/interfaces/tolv0.tolvad"
printf 'resolv_conf=/etc/resolv.conf\nstate_dir=%s\n' "$E2E_DIR/state" >"$E2E_DIR/resolvconf.conf"
: >"$RESOLV"
# with_resolvconf CMD...: the command in the client's namespace, with this test's resolver files.
WITH_RESOLVCONF='mount --bind "$0/resolv.conf" /etc/resolv.conf && mount --bind "$0/resolvconf.conf" /etc/resolvconf.conf && exec "$@"'
with_resolvconf() { ip netns exec "$NS_CLI" unshare -m --propagation private sh -c "$WITH_RESOLVCONF" "$E2E_DIR" "$@"; }
echo "nameserver 10.91.0.53" | with_resolvconf resolvconf -a c0.dhcp  # the host's own, as a DHCP client's
host_resolv=$(cat "$RESOLV")
client_config "$E2E_DIR/dns.conf" "$PEER_ADDR" "setdns=1"
killed_with_dns() {  # a client with setdns=1 killed once its servers are set through resolvconf
    : >"$E2E_DIR/tolvad.log"
    bg "$NS_CLI" "$E2E_DIR/tolvad.out" unshare -m --propagation private sh -c "$WITH_RESOLVCONF" "$E2E_DIR" \
        "$TOLVAD" -f "$E2E_DIR/dns.conf" -l "$E2E_DIR/tolvad.log"
    CLIENT_PID=$LAST_PID
    wait_for 20 "servers set" log_has "$E2E_DIR/tolvad.log" "DNS servers 10.94.0.2 10.94.0.3 set on tolv0 through resolvconf"
    stop_pid "$CLIENT_PID" KILL
    [ -e "$RECORD" ] && grep -q "nameserver 10.94.0.2" "$RESOLV" || fail "the killed run left no record to remove"
}

log "killed in session with setdns=1, then the clean-up step: the record goes too"
killed_with_dns
with_resolvconf "$TOLVACTL" cleanup -f "$E2E_DIR/dns.conf" >"$E2E_DIR/cleanup.out" ||
    fail "clean-up step failed: $(cat "$E2E_DIR/cleanup.out")"
log_has "$E2E_DIR/cleanup.out" "DNS servers withdrawn from tolv0" || fail "withdrawal line: $(cat "$E2E_DIR/cleanup.out")"
[ "$(cat "$RESOLV")" = "$host_resolv" ] || fail "resolv.conf after the clean-up: $(cat "$RESOLV")"
[ ! -e "$RECORD" ] || fail "record left after the clean-up"
[ "$(host_state)" = "$before" ] || fail "left after the clean-up step: $(diff <(echo "$before") <(host_state))"

log "killed with setdns=1, then started again without a peer: the record goes before anything else"
killed_with_dns
ip -n "$NS_RTR" link set r1 down
: >"$E2E_DIR/tolvad.log"
bg "$NS_CLI" "$E2E_DIR/tolvad.out" unshare -m --propagation private sh -c "$WITH_RESOLVCONF" "$E2E_DIR" \
    "$TOLVAD" -f "$E2E_DIR/dns.conf" -l "$E2E_DIR/tolvad.log"
CLIENT_PID=$LAST_PID
wait_for 10 "withdrawal at the start" log_has "$E2E_DIR/tolvad.log" "DNS servers withdrawn from tolv0"
[ "$(cat "$RESOLV")" = "$host_resolv" ] || fail "resolv.conf after the start: $(cat "$RESOLV")"
[ ! -e "$RECORD" ] || fail "record left after the start"

log "killed again before any session: no record to delete is no failure"
stop_pid "$CLIENT_PID" KILL
with_resolvconf "$TOLVACTL" cleanup -f "$E2E_DIR/dns.conf" >"$E2E_DIR/cleanup.out" ||
    fail "clean-up step failed: $(cat "$E2E_DIR/cleanup.out")"
! grep -q "Failed" "$E2E_DIR/cleanup.out" || fail "clean-up without a record: $(cat "$E2E_DIR/cleanup.out")"
[ "$(cat "$RESOLV")" = "$host_resolv" ] || fail "resolv.conf after the second clean-up: $(cat "$RESOLV")"
ip -n "$NS_RTR" link set r1 up
log "PASS"
