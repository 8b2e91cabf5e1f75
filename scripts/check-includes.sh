#!/usr/bin/env bash
# The include rule of docs/architecture.md: each module includes only the modules below it.
# Fails (exit 1) with one line per include that crosses a forbidden edge.
#   scripts/check-includes.sh [TREE]   (default: this repository)
set -euo pipefail
top="${1:-$(cd "$(dirname "$0")/.." && pwd)}"

# What every module may include: the wire (sdwan.h), the endian helpers (bytes.h) and the
# build's numbers (sdwan_build.h).
base='bytes\.h|sdwan\.h|sdwan_build\.h'
# What each module may include besides itself and the base. base/ is the process toolkit below
# everything: every module logs.
declare -A allow=(
    [base]=''
    [digest]='base/[a-z_0-9]+\.h'
    [core]='base/[a-z_0-9]+\.h'
    [net]='base/[a-z_0-9]+\.h'
    [proto]='(base|digest)/[a-z_0-9]+\.h'
    [client]='(base|core|net|proto|digest)/[a-z_0-9]+\.h'
    [daemon]='(base|client|core|net|proto|digest)/[a-z_0-9]+\.h'
    [peer]='(base|core|net|proto)/[a-z_0-9]+\.h'
    [ctl]='(base|client|core|net|proto|digest|daemon)/[a-z_0-9]+\.h'
)
# Known crossings still to be removed: "file header" lines.
exceptions=(
    "src/base/os.h core/event.h"
    "src/base/os.cpp core/event.h"
)

bad=0
check() {
    local mod="$1" file="$2" rel inc
    rel="${file#"$top"/}"
    while IFS= read -r inc; do
        [[ "$inc" =~ ^($base)$ ]] && continue
        [[ "$inc" =~ ^$mod/ ]] && continue
        [ -n "${allow[$mod]}" ] && [[ "$inc" =~ ^(${allow[$mod]})$ ]] && continue
        printf '%s\n' "${exceptions[@]}" | grep -qxF "$rel $inc" && continue
        echo "$rel: includes $inc, which $mod/ may not"
        bad=1
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
}

for mod in base digest core net proto client daemon ctl; do
    [ -d "$top/src/$mod" ] || continue
    while IFS= read -r f; do check "$mod" "$f"; done < <(find "$top/src/$mod" -name '*.cpp' -o -name '*.h')
done
if [ -d "$top/peer" ]; then
    while IFS= read -r f; do check peer "$f"; done < <(find "$top/peer" -name '*.cpp' -o -name '*.h')
fi
# The adapters never see the client's record.
if [ -d "$top/src/net" ]; then
    while IFS= read -r hit; do
        f="${hit%%:*}"
        printf '%s\n' "${exceptions[@]}" | grep -q "^${f#"$top"/} " && continue
        echo "${f#"$top"/}: names sdwan_t, which net/ may not"
        bad=1
    done < <(grep -lw 'sdwan_t' -r "$top/src/net" || true)
fi
exit "$bad"
