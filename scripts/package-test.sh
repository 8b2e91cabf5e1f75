#!/usr/bin/env bash
# Builds the Debian package in build/pkg (release build, no tests), checks its control data and
# contents, installs it with dpkg, smoke-tests what it installed (both programs answer -v, the
# manual pages are found, the systemd units verify), then removes and purges it and checks that
# nothing of it is left. No service is started. Needs root; meant for CI's throwaway machine
# or a development machine without its own tolvad package.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

if [ "$(id -u)" -ne 0 ]; then
    echo "run as root: the package is installed with dpkg" >&2
    exit 1
fi
say() { printf '== %s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

pkg=tolvad
if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "installed"; then
    fail "a $pkg package is installed already; this test installs and removes its own (dpkg -P $pkg first)"
fi
[ -e /etc/sdwan/kesp.conf ] && had_conf=1 || had_conf=0
[ -n "$(ls -A /etc/sdwan 2>/dev/null)" ] && had_etc=1 || had_etc=0

installed=0
cleanup() {
    local rc=$?
    if [ "$installed" = 1 ]; then
        dpkg -P "$pkg" >/dev/null 2>&1 || true
    fi
    exit "$rc"
}
trap cleanup EXIT

start=$(date +%s)
say "build (release, tests off) in build/pkg"
rm -rf build/pkg
cmake -S . -B build/pkg -DCMAKE_BUILD_TYPE=Release -DSDWAN_WERROR=ON -DSDWAN_TESTS=OFF -DSDWAN_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build/pkg -j"$(nproc)" >/dev/null
(cd build/pkg && cpack -G DEB >/dev/null)
version="$(sed -nE 's/^project\(tolvad VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)"
deb="build/pkg/${pkg}_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no package $deb"

say "control data of $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Package)" = "$pkg" ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
# Computed by dpkg-shlibdeps from the binaries: the C library, libcrypto, libsystemd.
for lib in libc6 libssl3 libsystemd0; do
    grep -qE "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib"
done
dpkg-deb -e "$deb" build/pkg/control.d
conffiles="$(cat build/pkg/control.d/conffiles)"
[ "$conffiles" = "$(printf '/etc/sdwan/kesp.conf.example\n/etc/sdwan/sdwan-peerd.conf.example\n/etc/logrotate.d/tolvad')" ] ||
    fail "conffiles are not just the two examples and the logrotate snippet: $conffiles"

contents="$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#')"
expected=(/usr/sbin/tolvad /usr/sbin/sdwan-peerd
          /etc/sdwan/kesp.conf.example /etc/sdwan/sdwan-peerd.conf.example
          /usr/share/man/man8/tolvad.8.gz /usr/share/man/man8/sdwan-peerd.8.gz /usr/share/man/man5/kesp.conf.5.gz
          /usr/lib/systemd/system/tolvad.service /usr/lib/systemd/system/sdwan-peerd.service
          /usr/share/tolvad/wireshark/sdwan.lua /etc/logrotate.d/tolvad)
for f in "${expected[@]}"; do
    grep -qxF "$f" <<<"$contents" || fail "$f missing from the package"
done
# No real configuration: installing can never overwrite one.
! grep -qE '^/etc/sdwan/[^/]+\.conf$' <<<"$contents" || fail "the package ships a real configuration"

say "dpkg -i"
installed=1
dpkg -i "$deb" >/dev/null
dpkg-query -W -f='${Status}' "$pkg" | grep -qx "install ok installed" || fail "not installed"

say "smoke tests"
out="$(/usr/sbin/tolvad -v)" || fail "tolvad -v"
echo "tolvad -v: $out"
grep -q "^version: " <<<"$out" || fail "tolvad -v printed: $out"
out="$(/usr/sbin/sdwan-peerd -v)" || fail "sdwan-peerd -v"
echo "sdwan-peerd -v: $out"
[ "$out" = "sdwan-peerd version $version" ] || fail "sdwan-peerd -v printed: $out"
/usr/sbin/tolvad -h | grep -q "Usage: tolvad" || fail "tolvad -h"
for page in "8 tolvad" "8 sdwan-peerd" "5 kesp.conf"; do
    where="$(man -w $page)" || fail "man -w $page"
    echo "man -w $page: $where"
    [ "$where" = "/usr/share/man/man${page%% *}/${page#* }.${page%% *}.gz" ] || fail "man -w $page found $where"
    warn="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 $page 2>&1 >/dev/null)" || fail "man $page"
    [ -z "$warn" ] || fail "man $page warns: $warn"
done
# Every unit of the package verifies; a template through one instance of it.
verify_dir="$(mktemp -d /tmp/tolvad-units.XXXXXX)"
for unit in $(grep -E '^/usr/lib/systemd/system/.+\.service$' <<<"$contents"); do
    name="$(basename "$unit")"
    target="$unit"
    if [[ "$name" == *@.service ]]; then
        target="$verify_dir/${name%@.service}@check.service"
        ln -s "$unit" "$target"
    fi
    out="$(systemd-analyze verify "$target" 2>&1)" || { rm -rf "$verify_dir"; fail "systemd-analyze verify $name: $out"; }
    [ -z "$out" ] || { rm -rf "$verify_dir"; fail "systemd-analyze verify $name: $out"; }
    echo "systemd-analyze verify $name: ok"
done
rm -rf "$verify_dir"
if command -v tshark >/dev/null; then
    tshark -G protocols -X lua_script:/usr/share/tolvad/wireshark/sdwan.lua 2>/dev/null |
        grep -qP '\tsdwan$' || fail "the installed dissector does not load in tshark"
    echo "tshark loads /usr/share/tolvad/wireshark/sdwan.lua: ok"
fi
grep -q '^ExecStart=/usr/sbin/tolvad ' /usr/lib/systemd/system/tolvad.service || fail "tolvad.service ExecStart"
[ "$had_conf" = 1 ] || [ ! -e /etc/sdwan/kesp.conf ] || fail "installing created /etc/sdwan/kesp.conf"
[ "$(stat -c %a /etc/sdwan/kesp.conf.example)" = 644 ] || fail "example mode"

say "dpkg -r"
dpkg -r "$pkg" >/dev/null
installed=0
for f in /usr/sbin/tolvad /usr/sbin/sdwan-peerd /usr/share/man/man8/tolvad.8.gz /usr/lib/systemd/system/tolvad.service; do
    [ ! -e "$f" ] || fail "$f left after dpkg -r"
done
! man -w tolvad 2>/dev/null | grep -q '^/usr/share/man/' || fail "man -w tolvad still finds the package's page"
# Removal keeps conffiles, as with every package; purging drops them.
[ -e /etc/sdwan/kesp.conf.example ] || fail "dpkg -r removed the conffile example"
dpkg -P "$pkg" >/dev/null
[ ! -e /etc/sdwan/kesp.conf.example ] || fail "example left after dpkg -P"
if [ "$had_etc" = 0 ] && [ -d /etc/sdwan ]; then
    fail "/etc/sdwan left after dpkg -P"
fi
! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "installed" || fail "still installed"

say "PASS ($(($(date +%s) - start)) s)"
