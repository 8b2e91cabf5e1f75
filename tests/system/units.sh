#!/usr/bin/env bash
# The package's units under a real systemd: a throwaway Debian bookworm container with systemd
# as PID 1 (systemd-nspawn), the package installed in it with dpkg, sdwan-peerd.service and
# tolvad.service started against each other, each under its own unit's sandbox.
#
# One container: both units run under the same service manager, which is the thing under
# test, and one boot costs half of two. The peer's side is a network namespace of the
# container, joined by a drop-in NetworkNamespacePath= (the unit's own settings stay as
# shipped), and a veth pair links it to the container's namespace, where tolvad finds its
# default route to the peer. The container has a private network (--private-network): it holds
# only what this test puts there, and no link leads out of it.
#
#   tests/system/units.sh [DEB]
# DEB: the package, else $SDWAN_DEB, else the newest build/pkg/tolvad_*.deb
# (scripts/package-test.sh builds it); with none, the test is skipped (77). SDWAN_UNITS_DIR:
# unit files to try in place of the package's, without building a new package.
# The debootstrap tree is cached in /var/cache/tolvad-system; each run boots a copy of it.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
say() { printf '== %s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || fail "run as root: the test boots a container"
deb="${1:-${SDWAN_DEB:-}}"
# A package named but not there is a fault of the caller, not a reason to skip.
[ -z "$deb" ] || [ -f "$deb" ] || fail "no package at $deb"
deb="${deb:-$(ls -t "$top"/build/pkg/tolvad_*.deb 2>/dev/null | head -1)}"
if [ -z "$deb" ]; then
    echo "skipped: no package (scripts/package-test.sh builds build/pkg/tolvad_*.deb, or set SDWAN_DEB)"
    exit 77
fi
for tool in debootstrap systemd-nspawn nsenter; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/deps.sh installs it)"
done
[ -c /dev/net/tun ] || fail "no /dev/net/tun on this host"

# The base tree. Its name holds the package list, so a change of list makes a new one.
include=systemd,systemd-sysv,dbus,iproute2,iputils-ping,openresolv,libssl3,libsodium23
cache=/var/cache/tolvad-system
base="$cache/bookworm-$(printf %s "$include" | md5sum | cut -c1-12)"
if [ ! -x "$base/usr/lib/systemd/systemd" ]; then
    say "debootstrap bookworm into $base (cached for the next runs)"
    mkdir -p "$cache"
    rm -rf "$base.tmp"
    mirror="$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)"
    debootstrap --variant=minbase --include="$include" bookworm "$base.tmp" "${mirror:-http://deb.debian.org/debian}" \
        >"$cache/debootstrap.log" 2>&1 || { tail -20 "$cache/debootstrap.log"; fail "debootstrap"; }
    mv "$base.tmp" "$base"
fi

name="tolvsys$$"
tree="$(mktemp -d /var/tmp/tolvad-system.XXXXXX)"
nspawn_pid=""
cleanup() {
    local rc=$?
    if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
        if [ "$rc" != 0 ] && [ -n "${init_pid:-}" ]; then
            echo "--- the units' journal"
            C journalctl --no-pager -n 60 -u tolvad -u sdwan-peerd -u tolvad@bad 2>/dev/null || true
        fi
        # SIGTERM: nspawn asks the container's systemd to power off; SIGKILL if it takes too long.
        kill -TERM "$nspawn_pid" 2>/dev/null || true
        for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$nspawn_pid" 2>/dev/null || true
        wait "$nspawn_pid" 2>/dev/null || true
    fi
    rm -rf "$tree"
    [ "$rc" = 0 ] || { echo "--- container console (last lines)"; tail -20 "$console" 2>/dev/null || true; }
    rm -f "${console:-}"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

say "boot a copy of the tree as $name"
cp -a --reflink=auto "$base/." "$tree/"
cp "$deb" "$tree/root/tolvad.deb"
console="$(mktemp /tmp/tolvad-system-console.XXXXXX)"
SYSTEMD_COLORS=0 systemd-nspawn --register=no --keep-unit --quiet --console=passive --private-network \
    --resolv-conf=off --timezone=off --machine="$name" --bind=/dev/net/tun -b -D "$tree" \
    </dev/null >"$console" 2>&1 &
nspawn_pid=$!
init_pid=""
for _ in $(seq 100); do
    for c in $(pgrep -P "$nspawn_pid" 2>/dev/null); do
        [ "$(cat /proc/$c/comm 2>/dev/null)" = systemd ] && init_pid=$c
    done
    [ -n "$init_pid" ] && break
    kill -0 "$nspawn_pid" 2>/dev/null || fail "systemd-nspawn ended: $(tail -5 "$console")"
    sleep 0.1
done
[ -n "$init_pid" ] || fail "no systemd in the container after 10 s"
C() { nsenter -t "$init_pid" -a -- "$@"; }
# The system bus and the manager's socket come up during the boot: until then systemctl says
# it cannot connect, which is no answer yet.
state=""
for _ in $(seq 300); do
    state="$(C systemctl is-system-running 2>&1 || true)"
    case "$state" in initializing|starting|*"Failed to connect"*|*"connect to bus"*) sleep 0.2 ;; *) break ;; esac
done
[ "$state" = running ] || fail "the container's systemd is $state: $(C systemctl --failed --no-legend 2>&1)"

# wait_for SECONDS WHAT COMMAND...: polls every 0.2 s.
wait_for() {
    local t="$1" what="$2"; shift 2
    local end=$((SECONDS + t))
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$end" ] || fail "not within $t s: $what"
        sleep 0.2
    done
}

say "install the package"
C dpkg -i /root/tolvad.deb >/dev/null || fail "dpkg -i: $(C dpkg -i /root/tolvad.deb 2>&1 | tail -5)"
if [ -n "${SDWAN_UNITS_DIR:-}" ]; then
    for u in "$SDWAN_UNITS_DIR"/*.service; do
        cp "$u" "$tree/usr/lib/systemd/system/"
        echo "unit from $u"
    done
    C systemctl daemon-reload
fi

say "the network: the peer's namespace behind a veth pair"
C sh -e -c '
ip netns add peer
ip link add v-cli type veth peer name v-peer netns peer
ip addr add 10.77.0.1/24 dev v-cli && ip link set v-cli up
ip -n peer addr add 10.77.0.2/24 dev v-peer && ip -n peer link set v-peer up && ip -n peer link set lo up
ip route add default via 10.77.0.2 dev v-cli
printf "nameserver 10.77.0.53\n" >/etc/resolv.conf'
C install -d -m 0755 /etc/systemd/system/sdwan-peerd.service.d
C sh -c 'printf "[Service]\nNetworkNamespacePath=/run/netns/peer\n" >/etc/systemd/system/sdwan-peerd.service.d/netns.conf'

say "configurations: the shipped examples, filled in"
C sh -e -c '
umask 077
mkdir -p /etc/sdwan
ex=/usr/share/doc/tolvad/examples
sed -e "s/^\[sdwan0\]/[sdwp0]/" -e "s|^#metrics=|metrics=|" \
    -e "s|^#dns=.*|dns=10.8.0.1|" -e "s|^user=.*|user=alice:wonderland|" $ex/sdwan-peerd.conf >/etc/sdwan/sdwan-peerd.conf
sed -e "s/^server=.*/server=10.77.0.2/" -e "s/^password=.*/password=wonderland/" -e "s/^\[tun0\]/[tolv0]/" \
    -e "s/^#setdns=1/setdns=1/" $ex/kesp.conf >/etc/sdwan/kesp.conf
# A configuration without its server: the unit must end failed and say why.
grep -v "^server=" /etc/sdwan/kesp.conf | sed "s/^\[tolv0\]/[tolvbad]/" >/etc/sdwan/bad.conf'

say "a bad configuration: tolvad@bad.service"
C systemctl start --no-block tolvad@bad.service
bad_started=$SECONDS

say "sdwan-peerd.service and tolvad.service"
C systemctl enable --now sdwan-peerd.service 2>/dev/null || fail "sdwan-peerd.service did not start: $(C systemctl status --no-pager sdwan-peerd 2>&1 | tail -8)"
C systemctl enable --now tolvad.service 2>/dev/null || fail "tolvad.service did not start: $(C systemctl status --no-pager tolvad 2>&1 | tail -8)"
status_text() { C systemctl show -P StatusText "$1"; }
in_data() { [[ "$(status_text tolvad.service)" == "DATA, peer 10.77.0.2:4500, address 10.8.0."* ]]; }
wait_for 20 "the session (tolvad's status: $(status_text tolvad.service))" in_data
C systemctl status --no-pager tolvad.service | grep -qE '^ +Status: "DATA, peer 10\.77\.0\.2:4500, address 10\.8\.0\.[0-9]+' ||
    fail "systemctl status tolvad shows no STATUS= line: $(C systemctl status --no-pager tolvad.service | head -8)"
echo "tolvad: $(status_text tolvad.service)"
C ping -c 3 -i 0.2 -W 1 -I tolv0 10.8.0.1 >/dev/null || fail "no traffic through the tunnel to the peer's 10.8.0.1"
[[ "$(status_text sdwan-peerd.service)" == *", 1 sessions" ]] || fail "sdwan-peerd status: $(status_text sdwan-peerd.service)"

say "under the sandbox: an IPv4-only interface, DNS through resolvconf, the status and metrics files"
[ "$(C cat /proc/sys/net/ipv6/conf/tolv0/disable_ipv6)" = 1 ] || fail "IPv6 left on on tolv0"
! C ip -6 addr show dev tolv0 | grep -q inet6 || fail "tolv0 has an IPv6 address: $(C ip -6 addr show dev tolv0)"
wait_for 5 "DNS servers set" C grep -q "DNS servers 10.8.0.1 set on tolv0 through resolvconf" /var/log/tolvad/tolvad.log
C grep -qx "nameserver 10.8.0.1" /etc/resolv.conf || fail "resolv.conf in session: $(C cat /etc/resolv.conf)"
C grep -q '^tolvad_session_state{interface="tolv0",state="DATA"} 1$' /run/tolvad/tolvad.prom ||
    fail "status file: $(C head -c 600 /run/tolvad/tolvad.prom 2>&1)"
wait_for 15 "the peer's metrics file" C grep -qx "sdwan_peer_sessions 1" /run/sdwan-peerd/metrics.prom
established() { C sed -n 's/^tolvad_sessions_established_total{interface="tolv0"} //p' /run/tolvad/tolvad.prom; }
[ "$(established)" = 1 ] || fail "sessions established before the reload: $(established)"

say "systemctl reload sdwan-peerd keeps the session"
peer_pid="$(C systemctl show -P MainPID sdwan-peerd.service)"
C systemctl reload sdwan-peerd.service || fail "reload"
wait_for 5 "the peer's reload line" C grep -q "peer: user list reloaded: 1 users, 1 sessions kept, 0 closed" \
    /var/log/sdwan-peerd/sdwan-peerd.log
sleep 2  # a lost session would show as a new OPEN within the client's next keepalive round
[ "$(C systemctl show -P MainPID sdwan-peerd.service)" = "$peer_pid" ] || fail "the reload restarted the peer"
[ "$(established)" = 1 ] && in_data || fail "the session did not survive the reload: $(status_text tolvad.service), established $(established)"
C ping -c 2 -i 0.2 -W 1 -I tolv0 10.8.0.1 >/dev/null || fail "no traffic after the reload"

say "kill -9 of tolvad: the clean-up, then a restart"
pid="$(C systemctl show -P MainPID tolvad.service)"
C sh -c "kill -9 $pid"  # the shell's kill: the container has no procps
gone() { ! C ip link show tolv0 && ! C ip route show default | grep -q tolv0 && C ip route show default | grep -q "via 10.77.0.2 dev v-cli"; }
wait_for 4 "tolv0 and its routes removed after the kill (routes: $(C ip route show 2>&1 | tr '\n' ';'))" gone
C ip route show | grep -q tolv0 && fail "routes of tolv0 left: $(C ip route show)"
C grep -qx "nameserver 10.8.0.1" /etc/resolv.conf && fail "the tunnel's DNS server left in resolv.conf"
restarted() { p="$(C systemctl show -P MainPID tolvad.service)"; [ "$p" != 0 ] && [ "$p" != "$pid" ] && in_data; }
wait_for 25 "tolvad restarted and in session" restarted
[ "$(C systemctl show -P NRestarts tolvad.service)" = 1 ] || fail "restarts: $(C systemctl show -P NRestarts tolvad.service)"

say "the bad configuration: failed, the reason in systemctl status"
failed() { [ "$(C systemctl is-failed tolvad@bad.service)" = failed ]; }
wait_for $((70 - (SECONDS - bad_started))) "tolvad@bad.service failed" failed
bad="$(C systemctl status --no-pager tolvad@bad.service 2>&1 || true)"
grep -qx '     Status: "configuration file /etc/sdwan/bad.conf: INVALID peer server"' <<<"$bad" ||
    fail "systemctl status tolvad@bad does not say what is wrong: $bad"
grep "Status:" <<<"$bad"

say "stop: nothing left"
C systemctl stop tolvad.service sdwan-peerd.service
! C ip link show tolv0 >/dev/null 2>&1 || fail "tolv0 left after the stop"
C test ! -e /run/sdwan-peerd || fail "/run/sdwan-peerd left after the stop"
say "PASS ($SECONDS s)"
