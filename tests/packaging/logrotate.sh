#!/usr/bin/env bash
# The logrotate snippet the package installs, run for real (forced) on a copy whose paths point
# into a temporary directory and whose SIGHUP is replaced by a note: every unit log is rotated
# to a dated name, the daemons' own <log>.1 is left alone, a new log is created with the
# daemons' mode, and the post-rotation command runs once for all of them.
#
# usage: logrotate.sh SNIPPET. Skipped (77) without logrotate (scripts/deps.sh installs it).
set -euo pipefail
snippet="$1"
lr="${LOGROTATE:-$(command -v logrotate || true)}"
[ -n "$lr" ] || { echo "SKIP: logrotate is not installed"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

d="$(mktemp -d /tmp/tolvad-logrotate.XXXXXX)"
trap 'rm -rf "$d"' EXIT
mkdir "$d/tolvad" "$d/sdwan-peerd"
sed -e "s#/var/log/#$d/#g" \
    -e "s#if \[ -d /run/systemd/system \]; then#if true; then#" \
    -e "s#systemctl kill .*#echo hup >>$d/hups#" "$snippet" >"$d/conf"
grep -qF "$d/tolvad/*.log $d/sdwan-peerd/*.log {" "$d/conf" || fail "the snippet no longer names the units' log paths"
grep -qF "echo hup >>$d/hups" "$d/conf" || fail "the snippet no longer signals the daemons"

echo "client line" >"$d/tolvad/tolvad.log"
echo "branch line" >"$d/tolvad/branch.log"
echo "previous run" >"$d/tolvad/tolvad.log.1"
echo "peer line" >"$d/sdwan-peerd/sdwan-peerd.log"
"$lr" -f -s "$d/state" "$d/conf" || fail "logrotate failed"

for log in tolvad/tolvad.log tolvad/branch.log sdwan-peerd/sdwan-peerd.log; do
    rotated=("$d/$log"-[0-9]*)
    [ "${#rotated[@]}" -eq 1 ] && [ -f "${rotated[0]}" ] || fail "$log: no dated generation: $(ls "$d/$(dirname "$log")")"
    [[ "$(basename "${rotated[0]}")" =~ ^[a-z-]+\.log-[0-9]{8}-[0-9]+$ ]] || fail "$log: rotated as ${rotated[0]}"
    [ -f "$d/$log" ] && [ ! -s "$d/$log" ] || fail "$log: no new empty log"
    [ "$(stat -c %a "$d/$log")" = 640 ] || fail "$log: new log has mode $(stat -c %a "$d/$log")"
done
grep -qx "client line" "$d"/tolvad/tolvad.log-* || fail "the rotated client log lost its line"
[ "$(cat "$d/tolvad/tolvad.log.1")" = "previous run" ] || fail "the daemon's own tolvad.log.1 was touched"
[ ! -e "$d/tolvad/tolvad.log.1-"* ] 2>/dev/null || fail "tolvad.log.1 was rotated"
[ "$(wc -l <"$d/hups")" -eq 1 ] || fail "the daemons were signalled $(wc -l <"$d/hups") times, not once"
echo "PASS"
