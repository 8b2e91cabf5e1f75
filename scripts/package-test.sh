#!/usr/bin/env bash
# Builds the Debian package in build/pkg (release build, no tests), checks its control data,
# contents and the binaries' hardening, runs lintian on it, installs it with dpkg, smoke-tests
# what it installed (the programs answer -v, the manual pages are found, the systemd units
# verify), enables the units, then removes and purges it and checks that nothing of it is
# left, no dangling enablement link either. No service is started. Needs root; meant for CI's
# throwaway machine or a development machine without its own tolvad package.
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
# The purge removes the units' logs and runtime directory: they must be this test's own.
for d in /var/log/tolvad /var/log/sdwan-peerd /run/tolvad; do
    [ ! -e "$d" ] || fail "$d exists already; a purge of the package would remove it"
done
[ -e /etc/sdwan/kesp.conf ] && had_conf=1 || had_conf=0
dangling_before="$(find /etc/systemd/system -xtype l | sort)"
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
grep -qE "(^|, )init-system-helpers " <<<"$depends" || fail "Depends lacks init-system-helpers"
[ "$(dpkg-deb -f "$deb" Maintainer)" = "tolvad maintainers <maintainers@tolvad.org>" ] || fail "maintainer"
dpkg-deb -e "$deb" build/pkg/control.d
conffiles="$(cat build/pkg/control.d/conffiles)"
[ "$conffiles" = "/etc/logrotate.d/tolvad" ] || fail "conffiles are not just the logrotate snippet: $conffiles"

contents="$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#')"
expected=(/usr/sbin/tolvad /usr/sbin/sdwan-peerd /usr/sbin/tolvactl
          /usr/share/doc/tolvad/examples/kesp.conf /usr/share/doc/tolvad/examples/sdwan-peerd.conf
          /usr/share/doc/tolvad/copyright /usr/share/doc/tolvad/changelog.gz
          /usr/share/man/man8/tolvad.8.gz /usr/share/man/man8/sdwan-peerd.8.gz /usr/share/man/man5/kesp.conf.5.gz
          /usr/share/man/man8/tolvactl.8.gz
          /usr/lib/systemd/system/tolvad.service /usr/lib/systemd/system/sdwan-peerd.service
          /usr/share/tolvad/wireshark/sdwan.lua /etc/logrotate.d/tolvad)
for f in "${expected[@]}"; do
    grep -qxF "$f" <<<"$contents" || fail "$f missing from the package"
done
# Nothing in /etc/sdwan: installing can never touch a configuration.
! grep -q '^/etc/sdwan/' <<<"$contents" || fail "the package ships files in /etc/sdwan"

say "hardening of the binaries"
rm -rf build/pkg/root && dpkg-deb -x "$deb" build/pkg/root
for bin in tolvad sdwan-peerd tolvactl; do
    f="build/pkg/root/usr/sbin/$bin"
    hdr="$(readelf -W -h "$f")"; dyn="$(readelf -W -d "$f")"; seg="$(readelf -W -l "$f")"; syms="$(readelf -W --dyn-syms "$f")"
    grep -qE 'Type: +DYN' <<<"$hdr" || fail "$bin is not PIE"
    grep -q 'GNU_RELRO' <<<"$seg" || fail "$bin has no RELRO segment"
    grep -qE 'BIND_NOW|FLAGS_1.*NOW' <<<"$dyn" || fail "$bin is not linked with BIND_NOW"
    grep -q '__stack_chk_fail' <<<"$syms" || fail "$bin has no stack protector"
    grep -qE '__[a-z]+_chk(@|$| )' <<<"$syms" || fail "$bin calls no fortified function"
    echo "$bin: PIE, full RELRO, stack protector, fortified"
done

say "lintian"
command -v lintian >/dev/null || fail "lintian is not installed (scripts/deps.sh)"
# Errors and warnings fail; the informational tags are shown.
if ! lintian --fail-on error,warning --info "$deb" >build/pkg/lintian.txt 2>&1; then
    cat build/pkg/lintian.txt
    fail "lintian"
fi
grep -v '^running with root privileges' build/pkg/lintian.txt || true
echo "lintian: no errors, no warnings"

say "dpkg -i"
installed=1
dpkg -i "$deb" >/dev/null
dpkg-query -W -f='${Status}' "$pkg" | grep -qx "install ok installed" || fail "not installed"

say "smoke tests"
# Even a daemon asked only for its version runs in a network namespace of its own, never the host's.
isolated() { unshare --net -- "$@"; }
out="$(isolated /usr/sbin/tolvad -v)" || fail "tolvad -v"
echo "tolvad -v: $out"
grep -q "^version: " <<<"$out" || fail "tolvad -v printed: $out"
out="$(isolated /usr/sbin/sdwan-peerd -v)" || fail "sdwan-peerd -v"
echo "sdwan-peerd -v: $out"
[ "$out" = "sdwan-peerd version $version" ] || fail "sdwan-peerd -v printed: $out"
isolated /usr/sbin/tolvad -h | grep -q "Usage: tolvad" || fail "tolvad -h"
/usr/sbin/tolvactl -h | grep -q "Usage: tolvactl check" || fail "tolvactl -h"
# The shipped example, once filled in, passes the check.
sed 's/^password=.*/password=x/' /usr/share/doc/tolvad/examples/kesp.conf >build/pkg/kesp.conf
chmod 600 build/pkg/kesp.conf
/usr/sbin/tolvactl check -f build/pkg/kesp.conf >/dev/null || fail "tolvactl check on the example: $(/usr/sbin/tolvactl check -f build/pkg/kesp.conf)"
for page in "8 tolvad" "8 tolvactl" "8 sdwan-peerd" "5 kesp.conf"; do
    where="$(man -w $page)" || fail "man -w $page"
    echo "man -w $page: $where"
    [ "$where" = "/usr/share/man/man${page%% *}/${page#* }.${page%% *}.gz" ] || fail "man -w $page found $where"
    warn="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 $page 2>&1 >/dev/null)" || fail "man $page"
    [ -z "$warn" ] || fail "man $page warns: $warn"
done
# What the examples have the daemons write (and the units' own logs) is writable under the
# installed units' sandbox.
ex=/usr/share/doc/tolvad/examples
for check in "tolvad.service kesp.conf status" "tolvad@.service kesp.conf status" \
             "sdwan-peerd.service sdwan-peerd.conf metrics log status"; do
    set -- $check
    unit="$1" conf="$2"; shift 2
    out="$(packaging/systemd/check-paths.sh "/usr/lib/systemd/system/$unit" "$ex/$conf" "$@")" ||
        fail "$(grep '^FAIL' <<<"$out")"
    echo "$unit: the paths $conf names are writable under it"
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
[ "$(stat -c %a /usr/share/doc/tolvad/examples/kesp.conf)" = 644 ] || fail "example mode"
# Nothing enabled by the install itself.
! ls /etc/systemd/system/*/tolvad*.service /etc/systemd/system/*/sdwan-peerd.service 2>/dev/null ||
    fail "the install enabled a unit"

say "enable the units as an administrator would"
systemctl enable tolvad.service sdwan-peerd.service tolvad@check.service 2>&1 | sed 's/^/  /'
links="$(find /etc/systemd/system -type l \( -name 'tolvad*.service' -o -name 'sdwan-peerd.service' \))"
[ "$(wc -l <<<"$links")" = 3 ] || fail "systemctl enable made: $links"

say "dpkg -r"
dpkg -r "$pkg" >/dev/null
installed=0
for f in /usr/sbin/tolvad /usr/sbin/sdwan-peerd /usr/share/man/man8/tolvad.8.gz /usr/lib/systemd/system/tolvad.service; do
    [ ! -e "$f" ] || fail "$f left after dpkg -r"
done
! man -w tolvad 2>/dev/null | grep -q '^/usr/share/man/' || fail "man -w tolvad still finds the package's page"
# A removed package keeps its conffile and its enablement (a reinstall finds them again); a
# purge removes it all.
[ -e /etc/logrotate.d/tolvad ] || fail "dpkg -r removed the conffile /etc/logrotate.d/tolvad"
mkdir -p /var/log/tolvad /var/log/sdwan-peerd /run/tolvad
echo "a line" >/var/log/tolvad/tolvad.log
dpkg -P "$pkg" >/dev/null
dangling="$(find /etc/systemd/system -xtype l | sort)"
[ "$dangling" = "$dangling_before" ] || fail "links left pointing at nothing after dpkg -P: $dangling"
! find /etc/systemd/system \( -name 'tolvad*.service' -o -name 'sdwan-peerd.service' \) | grep -q . ||
    fail "enablement links left after dpkg -P"
for d in /var/log/tolvad /var/log/sdwan-peerd /run/tolvad /etc/logrotate.d/tolvad; do
    [ ! -e "$d" ] || fail "$d left after dpkg -P"
done
if [ "$had_etc" = 0 ] && [ -d /etc/sdwan ]; then
    fail "/etc/sdwan left after dpkg -P"
fi
! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "installed" || fail "still installed"

say "PASS ($(($(date +%s) - start)) s)"
