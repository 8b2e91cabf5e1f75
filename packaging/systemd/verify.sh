#!/usr/bin/env bash
# Checks the unit files offline, without a running service manager: systemd-analyze verify
# against a scratch root holding the daemons installed as a package would (/usr/sbin) and the
# host's own system units. Any complaint (an unknown key, a bad value, an ExecStart= that is
# not an executable) fails the check. The manual pages of Documentation= are the package
# test's to find (scripts/package-test.sh installs them).
#
#   packaging/systemd/verify.sh <tolvad binary> <sdwan-peerd binary> [<tolvactl binary>]
# tolvactl (ExecStopPost=) defaults to the one beside tolvad.
set -euo pipefail
tolvad="${1:?usage: verify.sh <tolvad binary> <sdwan-peerd binary>}"
peerd="${2:?usage: verify.sh <tolvad binary> <sdwan-peerd binary>}"
ctl="${3:-$(dirname "$1")/tolvactl}"
here="$(cd "$(dirname "$0")" && pwd)"
if ! command -v systemd-analyze >/dev/null; then
    echo "skipped: systemd-analyze is not installed"
    exit 0
fi
root="$(mktemp -d /tmp/tolvad-units.XXXXXX)"
trap 'rm -rf "$root"' EXIT
install -D -m 0755 "$tolvad" "$root/usr/sbin/tolvad"
install -D -m 0755 "$peerd" "$root/usr/sbin/sdwan-peerd"
install -D -m 0755 "$ctl" "$root/usr/sbin/tolvactl"
install -D -m 0755 /bin/sh "$root/bin/sh"  # ExecReload=
mkdir -p "$root/usr/lib/systemd" "$root/etc/systemd/system"
cp -a /lib/systemd/system "$root/usr/lib/systemd/"
cp "$here"/*.service "$root/etc/systemd/system/"

rc=0
for unit in tolvad.service tolvad@example.service sdwan-peerd.service; do
    if ! out="$(systemd-analyze verify --man=no --root="$root" "$root/etc/systemd/system/$unit" 2>&1)" || [ -n "$out" ]; then
        echo "$unit: FAIL"
        echo "$out"
        rc=1
    else
        echo "$unit: ok"
    fi
done
exit "$rc"
