#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for a bounded time. Any finding (crash, sanitizer
# report, leak, failed check, hang) fails the run; its input is kept under the artifacts
# directory. Needs root: the harnesses live in private network namespaces.
#
#   FUZZ_SECONDS  seconds per target (default 45)
#   FUZZ_TARGETS  targets to run, space separated (default: all)
#   FUZZ_JOBS     targets fuzzed at once (default: the number of cores)
#   FUZZ_BUILD    build directory (default build/fuzz)
#   FUZZ_CC, FUZZ_CXX  compilers (default clang-14, clang++-14)
#
# New inputs found are kept in $FUZZ_BUILD/work/<target> and reused by the next run; the
# repository's seeds (tests/fuzz/corpus) and past findings (tests/fuzz/regress) are read only.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

if [ "$(id -u)" -ne 0 ]; then
    echo "run as root: the fuzz harnesses enter private network namespaces" >&2
    exit 1
fi

scripts/deps.sh

all="$(grep -E '^[a-z0-9_]+$' tests/fuzz/targets.txt | tr '\n' ' ')"
secs="${FUZZ_SECONDS:-45}"
read -r -a targets <<<"${FUZZ_TARGETS:-$all}"
jobs="${FUZZ_JOBS:-$(nproc)}"
build="${FUZZ_BUILD:-build/fuzz}"
cc="${FUZZ_CC:-clang-14}"
cxx="${FUZZ_CXX:-clang++-14}"

# The largest input worth trying: a datagram fills at most the 2048-byte receive buffer (plus
# the harness's flag byte), a TUN read with offloads up to 64 KiB; files get room for a few long
# lines; address text and user names are short.
max_len() {
    case "$1" in
    cfg | route) echo 4096 ;;
    str2ip | keytext) echo 64 ;;
    peer_open) echo 128 ;;
    recv | peer | peer_sealed | client_sealed) echo 2049 ;;
    vnet) echo 65545 ;;  # a whole TUN read: the header and a 64 KiB super-packet
    *) echo 2048 ;;
    esac
}

start=$(date +%s)
echo "== fuzz: build ($cxx) in $build"
cmake -S "$top" -B "$build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DSDWAN_FUZZ=ON \
    -DSDWAN_TESTS=OFF -DSDWAN_BENCH=OFF -DSDWAN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >"$build/build.log" 2>&1 || {
    tail -50 "$build/build.log"
    echo "fuzz: build failed" >&2
    exit 1
}
echo "== fuzz: built in $(($(date +%s) - start)) s; ${#targets[@]} targets, ${secs} s each, $jobs at a time"

mkdir -p "$build/logs"
run_one() {
    local t="$1"
    local bin="$build/tests/fuzz/fuzz_$t"
    local dirs=("$build/work/$t" "tests/fuzz/corpus/$t")
    [ -d "tests/fuzz/regress/$t" ] && dirs+=("tests/fuzz/regress/$t")
    local dict=()
    [ -f "tests/fuzz/$t.dict" ] && dict=("-dict=tests/fuzz/$t.dict")
    mkdir -p "$build/work/$t" "$build/artifacts/$t"
    rm -f "$build/logs/$t.rc"
    set +e
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$bin" -max_total_time="$secs" -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$t/" "${dict[@]}" "${dirs[@]}" \
        >"$build/logs/$t.log" 2>&1
    echo $? >"$build/logs/$t.rc"
    set -e
}

# A summary line from libFuzzer's own figures: runs, speed, coverage, corpus.
summary() {
    local t="$1" log="$build/logs/$t.log" rc
    rc=$(cat "$build/logs/$t.rc" 2>/dev/null || echo 1)
    # A run that failed early lacks some of these lines: "?" then, never an abort here.
    local runs speed cov ft corp
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" 2>/dev/null | tail -1 || true)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" 2>/dev/null | tail -1 || true)
    cov=$( (grep -Eo 'cov: [0-9]+' "$log" || true) | tail -1 | cut -d' ' -f2)
    ft=$( (grep -Eo 'ft: [0-9]+' "$log" || true) | tail -1 | cut -d' ' -f2)
    corp=$( (grep -Eo 'corp: [0-9]+' "$log" || true) | tail -1 | cut -d' ' -f2)
    if [ "$rc" = 0 ]; then
        printf 'fuzz %-10s ok      %9s runs %7s/s  cov %5s  ft %6s  corpus %5s\n' "$t" "${runs:-?}" \
            "${speed:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}"
    else
        printf 'fuzz %-10s FAILED  exit %s after %s runs; log %s\n' "$t" "$rc" "${runs:-?}" "$log"
    fi
}

running=0
for t in "${targets[@]}"; do
    if [ ! -x "$build/tests/fuzz/fuzz_$t" ]; then
        echo "fuzz: no target $t" >&2
        exit 1
    fi
    run_one "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait || true

failed=0
echo "== fuzz: results"
for t in "${targets[@]}"; do
    summary "$t"
    if [ "$(cat "$build/logs/$t.rc" 2>/dev/null || echo 1)" != 0 ]; then
        failed=1
        echo "---- $t: end of its log"
        (grep -v -E '^#[0-9]+' "$build/logs/$t.log" || true) | tail -40
        ls -1 "$build/artifacts/$t" 2>/dev/null | sed "s|^|     finding: $build/artifacts/$t/|"
    fi
done
echo "== fuzz: $(($(date +%s) - start)) s in all"
if [ "$failed" -ne 0 ]; then
    echo "fuzz: findings above; replay one with $build/tests/fuzz/fuzz_<target> <file>" >&2
    exit 1
fi
