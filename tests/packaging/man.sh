#!/usr/bin/env bash
# The manual pages: each renders without a single warning from man and groff, and every
# configuration key and command-line option that the programs accept is documented in its page
# and in its example configuration file, so a key added to a parser without its documentation
# fails here.
#
# usage: man.sh SOURCE_DIR MAN_BUILD_DIR
set -euo pipefail
src="$1"
mandir="$2"
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

for tool in man groff; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (scripts/deps.sh installs it)"; exit 1; }
done

pages=(tolvad.8 kesp.conf.5 sdwan-peerd.8 tolvactl.8)
for p in "${pages[@]}"; do
    page="$mandir/$p"
    if [ ! -s "$page" ]; then
        fail "$page was not built (is scdoc installed? scripts/deps.sh installs it)"
        continue
    fi
    out="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)" || fail "man -l $p failed"
    [ -z "$out" ] || fail "man warns on $p: $out"
    out="$(groff -ww -man -Tutf8 -z "$page" 2>&1)" || fail "groff failed on $p"
    [ -z "$out" ] || fail "groff warns on $p: $out"
done
# scdoc drops the dot that begins a text line (".255" renders as "255", "..." as ".."): only an
# ordered list item (". ") or a line of a code block may start with one.
for p in "${pages[@]}"; do
    src_page="$src/packaging/man/$p.scd"
    while IFS= read -r hit; do
        fail "$p.scd:${hit%%:*}: a line starts with a dot, which scdoc drops: ${hit#*:}"
    done < <(awk '/^[ \t]*```/ { code = !code; next } !code && /^[ \t]*\.[^ ]/ { print NR ":" $0 }' "$src_page")
done
[ "$fails" -eq 0 ] || exit 1

render() { LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$mandir/$1" 2>/dev/null | sed 's/‐//g'; }

# keys FILE: the keys a configuration parser compares against or holds in a key table's rows.
keys() { grep -oE 'strcmp\(key, "[a-z0-9_]+"\)|^ *\{"[a-z0-9_]+",' "$1" | sed -E 's/.*"(.*)".*/\1/' | sort -u; }
# options FILE: the letters of the getopt string.
options() { grep -oE 'getopt\([^"]*"[^"]+"' "$1" | sed -E 's/.*"(.*)"/\1/' | tr -d ':' | fold -w1; }

# check_keys PAGE EXAMPLE PARSER MIN: every key of the parser in the page and the example.
check_keys() {
    local page="$1" example="$2" parser="$3" min="$4"
    local text n=0
    text="$(render "$page")"
    for k in $(keys "$parser"); do
        n=$((n + 1))
        # A key heads its own entry, or shares one with others ("pipeid=n, pipeidx=n").
        grep -qE "^ +([a-z]+=[^ ]*, )*$k=" <<<"$text" || fail "$page does not document the key $k"
        grep -qE "^#?$k=" "$example" || fail "$(basename "$example") has no $k= line"
    done
    [ "$n" -ge "$min" ] || fail "only $n keys found in $parser: the key extraction is broken"
}

# check_options PAGE MAIN: every getopt letter of the program in the page's OPTIONS.
check_options() {
    local page="$1" main="$2"
    local text n=0
    text="$(render "$page")"
    for o in $(options "$main"); do
        n=$((n + 1))
        grep -qE "^ +-$o( |$)" <<<"$text" || fail "$page does not document the option -$o"
    done
    [ "$n" -ge 4 ] || fail "only $n options found in $main: the option extraction is broken"
}

# Every page shows examples; the daemons' pages say what SIGHUP does.
for p in "${pages[@]}"; do
    grep -qx 'EXAMPLES' <<<"$(render "$p")" || fail "$p has no EXAMPLES section"
done
for p in tolvad.8 sdwan-peerd.8; do
    grep -qE '^ +SIGHUP$' <<<"$(render "$p")" || fail "$p does not say what SIGHUP does"
done
# tolvactl has no getopt string: its commands and options, from its usage text.
for w in check show -f --json -h; do
    grep -qE "^ +$w( |$)" <<<"$(render tolvactl.8)" || fail "tolvactl.8 does not document $w"
done

check_keys kesp.conf.5 "$src/packaging/etc/kesp.conf.example" "$src/src/daemon/cfg.cpp" 9
check_keys sdwan-peerd.8 "$src/packaging/etc/sdwan-peerd.conf.example" "$src/peer/peer_cfg.cpp" 8
# Both daemons read their options with os_args.
check_options tolvad.8 "$src/src/base/os.cpp"
check_options sdwan-peerd.8 "$src/src/base/os.cpp"

# check_names PAGE WHAT N NAME...: each name stands as a word in the page's source; at least N.
check_names() {
    local page="$1" what="$2" min="$3" n=0
    shift 3
    for name in "$@"; do
        n=$((n + 1))
        grep -qw -- "$name" "$src/packaging/man/$page.scd" || fail "$page does not name the $what $name"
    done
    [ "$n" -ge "$min" ] || fail "only $n ${what}s found: the extraction is broken"
}
# Every counter of the peer, under its metric name and its name in the exit line, and every
# reason label of the client's sealed drops: a drop counted where no page says so is not seen.
# shellcheck disable=SC2046
check_names sdwan-peerd.8 metric 40 $(grep -oE '\{"[a-z_]+", &peer_stats_t' "$src/peer/peer_metrics.cpp" | grep -oE '"[a-z_]+"' | tr -d '"')
# shellcheck disable=SC2046
check_names sdwan-peerd.8 counter 40 $(grep -oE '\{"[a-z]+", &peer_stats_t' "$src/peer/peer_main.cpp" | grep -oE '"[a-z]+"' | tr -d '"')
# shellcheck disable=SC2046
check_names tolvad.8 "drop reason" 6 $(grep -E 'DROP_LABELS\[\] =' "$src/src/client/status.cpp" | grep -oE '"[a-z_]+"' | tr -d '"')

if [ "$fails" -ne 0 ]; then
    echo "$fails failures"
    exit 1
fi
echo "PASS"
