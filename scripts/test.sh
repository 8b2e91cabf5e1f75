#!/usr/bin/env bash
# The whole test suite from nothing: installs what is missing, builds with warnings as errors
# and runs every test, then builds again under AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the tests once more. Needs root: the kernel tests create network namespaces.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

if [ "$(id -u)" -ne 0 ]; then
    echo "run as root: the tests create network namespaces, TUN interfaces and routes" >&2
    exit 1
fi

scripts/deps.sh

rm -rf build/test build/asan
echo "== build (warnings are errors)"
scripts/build.sh build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== tests"
ctest --test-dir build/test --output-on-failure -j2 --timeout 600 -LE system

echo "== build (ASan + UBSan)"
scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DSDWAN_SANITIZE=ON
echo "== tests under ASan + UBSan"
# The soak's half under the sanitizers: its events repeat, and the first pass ran it whole.
SOAK_SECONDS="${SOAK_SECONDS:-45}" ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j2 --timeout 600 -LE system

# 12 s per target keeps the whole run within CI's half hour now that the uplinks' failover runs in
# both passes; every corpus is replayed in both passes anyway. scripts/fuzz.sh alone runs 45 s each,
# and longer on request.
export FUZZ_SECONDS="${FUZZ_SECONDS:-12}"
echo "== fuzz (libFuzzer, ASan+UBSan, ${FUZZ_SECONDS} s per target)"
scripts/fuzz.sh

echo "== Debian package: build, install, smoke tests, removal"
scripts/package-test.sh

echo "== the units under systemd: the package in a booted container"
SDWAN_DEB="$(ls -t "$top"/build/pkg/tolvad_*.deb | head -1)" ctest --test-dir build/test --output-on-failure -L system
