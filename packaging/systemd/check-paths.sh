#!/usr/bin/env bash
# Every file a daemon writes at a path its example configuration names (or the unit's own -l
# log) must be writable under the unit's sandbox: with ProtectSystem=strict only the unit's
# ReadWritePaths= and the directories it has systemd make (RuntimeDirectory= in /run,
# StateDirectory= in /var/lib, CacheDirectory= in /var/cache, LogsDirectory= in /var/log) are,
# and PrivateTmp= gives a private /tmp and /var/tmp. Anything else fails at run time with
# "Read-only file system" or "No such file or directory". Reads the files only: no systemd.
#
#   packaging/systemd/check-paths.sh UNIT EXAMPLE KEY...
# KEY: a configuration key whose value is a file the daemon writes; commented-out lines
# ("#key=") count too, they are what an administrator uncomments.
set -euo pipefail
unit="${1:?usage: check-paths.sh UNIT EXAMPLE KEY...}"
example="${2:?usage: check-paths.sh UNIT EXAMPLE KEY...}"
shift 2

# unit_values KEY: the unit's values of KEY, one word a line, "-" (may be absent) and "+"
# (outside the namespace) prefixes dropped.
unit_values() { sed -n "s/^$1=//p" "$unit" | tr ' ' '\n' | sed 's/^[-+]*//' | grep . || true; }

writable=()
for p in $(unit_values ReadWritePaths); do writable+=("$p"); done
for d in $(unit_values RuntimeDirectory); do writable+=("/run/$d"); done
for d in $(unit_values StateDirectory); do writable+=("/var/lib/$d"); done
for d in $(unit_values CacheDirectory); do writable+=("/var/cache/$d"); done
for d in $(unit_values LogsDirectory); do writable+=("/var/log/$d"); done
[ "$(unit_values PrivateTmp)" = yes ] && writable+=(/tmp /var/tmp)
[ "$(unit_values ProtectSystem)" = strict ] || { echo "$unit: not ProtectSystem=strict, nothing to check"; exit 0; }

paths=()
for key in "$@"; do
    while IFS= read -r v; do paths+=("$(basename "$example"): $key=$v"); done < <(sed -n "s/^#\{0,1\}$key=//p" "$example")
done
while IFS= read -r v; do paths+=("$(basename "$unit"): ExecStart -l $v"); done < <(sed -n 's/^ExecStart=.* -l \([^ ]*\).*/\1/p' "$unit")

rc=0
for entry in "${paths[@]}"; do
    path="${entry##*[= ]}"
    ok=0
    for w in "${writable[@]}"; do
        case "$path" in "$w"/?*) ok=1 ;; esac
    done
    if [ "$ok" = 1 ]; then
        echo "ok: $entry"
    else
        echo "FAIL: $entry is not writable under $(basename "$unit") (writable: ${writable[*]:-nothing})"
        rc=1
    fi
done
[ "${#paths[@]}" -gt 0 ] || { echo "FAIL: no path found in $example for the keys $*"; rc=1; }
exit "$rc"
