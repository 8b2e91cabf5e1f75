#!/usr/bin/env bash
# The main job on a fresh machine: installs what is missing, builds, then runs tolvad against the
# bundled peer server in network namespaces of its own (the same topology as the end-to-end
# tests), shows the session coming up, the interface, a ping and a transfer through the tunnel,
# the client through tolvactl and its metrics, and removes everything it created. The machine's own network is
# never touched.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
if [ "$(id -u)" -ne 0 ]; then
    echo "run as root: the demo creates network namespaces" >&2
    exit 1
fi

scripts/deps.sh
scripts/build.sh build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSDWAN_TESTS=OFF >/dev/null

export TOLVAD="$top/build/demo/src/tolvad" PEERD="$top/build/demo/peer/sdwan-peerd"
TOLVACTL="$top/build/demo/src/tolvactl"
. "$top/tests/e2e/lib.sh"
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
strip() { sed -E 's#^[0-9]+/[0-9]+/[0-9]+ [0-9]+:[0-9]{2}:[0-9]{2} ##'; }

step "namespaces: client $NS_CLI, router $NS_RTR, peer $NS_PEER, far host $NS_FAR"
e2e_topology
peer_config "$E2E_DIR/peer.conf"
client_config "$E2E_DIR/tolvad.conf" "$PEER_ADDR" "encrypt=1" "status=$E2E_DIR/tolvad.prom"
echo "client configuration:"; sed 's/^/    /' "$E2E_DIR/tolvad.conf"

step "peer server and client started"
start_peer "$E2E_DIR/peer.conf"
start_client "$E2E_DIR/tolvad.conf"
wait_established 15
sed 's/^/    /' "$E2E_DIR/tolvad.log"

step "the tunnel interface and the routes in the client's namespace"
ip -n "$NS_CLI" -br addr show dev tolv0
ip -n "$NS_CLI" link show dev tolv0 | head -1
ip -n "$NS_CLI" route show
echo "route to the far host:  $(ip -n "$NS_CLI" route get "$FAR_ADDR" | head -1)"
echo "route to the peer:      $(ip -n "$NS_CLI" route get "$PEER_ADDR" | head -1)"

step "ping through the tunnel to $FAR_ADDR (reachable only through the peer)"
ping_far 4

step "8 MB by TCP through the tunnel, checked by SHA-256"
head -c $((8 * 1024 * 1024)) /dev/urandom >"$E2E_DIR/demo.bin"
bg "$NS_FAR" "$E2E_DIR/sink.out" socat -u TCP-LISTEN:5001,reuseaddr "CREATE:$E2E_DIR/demo.got"
wait_for 5 "far listener" ip netns exec "$NS_FAR" sh -c 'ss -ltn | grep -q ":5001 "'
t0=$(date +%s.%N)
ip netns exec "$NS_CLI" socat -u "OPEN:$E2E_DIR/demo.bin" "TCP:$FAR_ADDR:5001"
wait_for 10 "transfer stored" file_size_is "$E2E_DIR/demo.got" $((8 * 1024 * 1024))
t1=$(date +%s.%N)
echo "sent    $(sha256sum <"$E2E_DIR/demo.bin" | cut -c1-16)…"
echo "stored  $(sha256sum <"$E2E_DIR/demo.got" | cut -c1-16)…  in $(awk "BEGIN { printf \"%.2f\", $t1 - $t0 }") s"
[ "$(sha256sum <"$E2E_DIR/demo.bin")" = "$(sha256sum <"$E2E_DIR/demo.got")" ] || fail "transfer corrupted"

step "the client as tolvactl shows it (from its status file)"
sleep 1.2  # the status file is replaced once a second
"$TOLVACTL" show -f "$E2E_DIR/tolvad.conf" | sed 's/^/    /'

step "the status file's nonzero metrics, and promtool's verdict on them"
grep -E '^tolvad_' "$E2E_DIR/tolvad.prom" | grep -vE ' 0$' | sed 's/^/    /'
promtool check metrics <"$E2E_DIR/tolvad.prom" && echo "    promtool check metrics: no complaint"

step "client stopped with SIGTERM"
stop_pid "$CLIENT_PID" TERM
strip <"$E2E_DIR/tolvad.log" | tail -n 4 | sed 's/^/    /'
echo "default route afterwards: $(ip -n "$NS_CLI" route show default)"
stop_pid "$PEER_PID" TERM
step "done: namespaces and processes are removed on exit"
