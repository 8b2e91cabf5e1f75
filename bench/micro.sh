#!/usr/bin/env bash
# The client's data path without the network: per-packet CPU time (Google Benchmark), and two
# figures that do not move with the machine's load, so that a regression shows as a number:
# instructions per packet under callgrind (user space only: the handler and everything it calls)
# and system calls per packet (counted under valgrind; reads of the clock are left out, since
# natively they are vDSO calls that never enter the kernel). Writes docs/bench-micro.md.
#
#   bench/micro.sh [-b BUILDDIR] [-o DIR]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$top/build/bench"
OUT="$top/docs"
while [ $# -gt 0 ]; do
    case "$1" in
    -b) BUILD="$2"; shift 2 ;;
    -o) OUT="$2"; shift 2 ;;
    *) echo "usage: bench/micro.sh [-b BUILDDIR] [-o DIR]" >&2; exit 2 ;;
    esac
done
for b in cmake valgrind callgrind_annotate python3; do
    command -v "$b" >/dev/null || { echo "missing tool: $b (apt-get install cmake valgrind python3 libbenchmark-dev)" >&2; exit 1; }
done

# A build directory of one's own is configured afresh; an existing one keeps its settings.
if [ -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$BUILD" -DSDWAN_BENCH=ON >/dev/null
else
    cmake -S "$top" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSDWAN_TESTS=OFF -DSDWAN_BENCH=ON >/dev/null
fi
cmake --build "$BUILD" -j2 --target bench_datapath >/dev/null
BIN="$BUILD/bench/bench_datapath"
[ -x "$BIN" ] || { echo "bench_datapath was not built: is libbenchmark-dev installed?" >&2; exit 1; }

TMP="$(mktemp -d /tmp/tolvad-micro.XXXXXX)"
trap 'rm -rf "$TMP"' EXIT

echo "timing the data path (Google Benchmark) ..." >&2
timeout 600 "$BIN" --benchmark_min_time=0.3 --benchmark_format=json >"$TMP/gbench.json" 2>"$TMP/gbench.err"

# WHAT:FUNCTION:PACKETS-PER-CALL:HARNESS-SYSCALLS-PER-PACKET. The harness puts each packet in and
# takes it out with one system call each; those are not the daemon's. With the offloads it puts a
# whole read in with one write and takes 48 datagrams out (49/48 per packet), or sends one train
# of 46 and reads one joined write (2/46), or sends one train of 64 small datagrams and reads
# their 64 writes (65/64). The sealed rows: the same read out (49/48), one train of 45 in (2/45).
N1=1000
N2=2000
: >"$TMP/counts.tsv"
for entry in "out:sdwclnt_tun_recv(void*):1:2" "out-xor:sdwclnt_tun_recv(void*):1:2" \
            "in:sdwan_sock_recv(void*):1:2" "in-xor:sdwan_sock_recv(void*):1:2" \
            "in-log:sdwan_sock_recv(void*):1:2" \
            "loop:poll_once(int):2:2" \
            "out-tso:sdwclnt_tun_recv(void*):48:49/48" "out-tso-xor:sdwclnt_tun_recv(void*):48:49/48" \
            "in-gro:sdwan_sock_recv(void*):46:2/46" "in-gro-xor:sdwan_sock_recv(void*):46:2/46" \
            "out-small:sdwclnt_tun_recv(void*):1:2" "out-small-vnet:sdwclnt_tun_recv(void*):1:2" \
            "in-small:sdwan_sock_recv(void*):1:2" "in-small-gro:sdwan_sock_recv(void*):1:2" \
            "in-small-train:sdwan_sock_recv(void*):64:65/64" \
            "out-tso-sealed:sdwclnt_tun_recv(void*):48:49/48" "in-gro-sealed:sdwan_sock_recv(void*):45:2/45"; do
    IFS=: read -r what fn per harness <<<"$entry"
    echo "counting $what ..." >&2
    timeout 300 valgrind --tool=callgrind --callgrind-out-file="$TMP/cg.$what" "--toggle-collect=$fn" \
        "$BIN" --callgrind "$what" "$N1" >/dev/null 2>"$TMP/cg.$what.err"
    ir=$(awk '/^summary:/ { print $2 }' "$TMP/cg.$what")
    sc=()
    for n in "$N1" "$N2"; do
        c=$(timeout 300 valgrind --tool=none --trace-syscalls=yes "$BIN" --callgrind "$what" "$n" 2>&1 >/dev/null |
            grep '^SYSCALL\[' | grep -v '^SYSCALL\[[0-9,]*\]([0-9]*) \.\.\.' |
            grep -cvE '\) (sys_time|sys_clock_gettime|sys_gettimeofday) ?\(' || true)
        sc+=("$c")
    done
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$what" "$fn" "$per" "$harness" "$ir" "$(( sc[1] - sc[0] ))" >>"$TMP/counts.tsv"
done

mkdir -p "$OUT"
python3 - "$TMP/gbench.json" "$TMP/counts.tsv" "$N1" "$N2" "$OUT/bench-micro.md" <<'EOF'
import json, sys, time
from fractions import Fraction
gb_path, counts_path, n1, n2, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
gb = json.load(open(gb_path))
ctx = gb.get("context", {})
L = []
L.append("# Data-path micro-benchmark: latest run")
L.append("")
L.append(f"Written by `bench/micro.sh` on {time.strftime('%Y-%m-%d %H:%M %Z')} "
         f"({ctx.get('num_cpus', '?')} CPUs at {ctx.get('mhz_per_cpu', '?')} MHz, load average "
         f"{', '.join(f'{x:.2f}' for x in ctx.get('load_avg', []))}).")
L.append("The TUN device is one end of an AF_UNIX datagram socket pair, the peer a UDP socket on the loopback; "
         "every iteration puts one packet in, lets the real handler (or the real event-loop iteration) take it, "
         "and takes the result out, so the times include the data path's own system calls and the "
         "harness's two per packet.")
L.append("")
L.append("## Instructions and system calls per packet (stable from run to run)")
L.append("")
L.append("Per inner packet, whatever a read or a receive carried; without the offloads (`offload=0`) every row "
         "carries one packet.")
L.append("")
L.append("| path | handler measured | user-space instructions per packet (callgrind) | daemon system calls per packet |")
L.append("|---|---|--:|--:|")
desc = {"out": "outbound, TUN to peer, clear, 1400 B", "out-xor": "outbound, XOR, 1400 B",
        "in": "inbound, peer to TUN, clear, 1400 B, datalog=0", "in-xor": "inbound, XOR, 1400 B, datalog=0",
        "in-log": "inbound, clear, 1400 B, datalog=1 (log line written and synced)",
        "loop": "one loop iteration serving both directions",
        "out-tso": "outbound with offloads: one 64 KiB TCP read cut into 48 packets of 1400 B, clear",
        "out-tso-xor": "outbound with offloads, XOR (each of the 48 packets enciphered)",
        "in-gro": "inbound with offloads: one train of 46 datagrams of 1408 B, joined into one TUN write, clear, datalog=0",
        "in-gro-xor": "inbound with offloads, XOR, datalog=0",
        "out-small": "outbound, small UDP (92 B: 64 B of payload), clear, offload=0",
        "out-small-vnet": "outbound, small UDP, offload=1: one read with the header, partial checksum",
        "in-small": "inbound, small UDP, clear, datalog=0, offload=0",
        "in-small-gro": "inbound, small UDP, offload=1: a datagram received alone on the socket with GRO",
        "in-small-train": "inbound, small UDP, offload=1: the peer's train of 64 received as one, 64 TUN writes",
        "out-tso-sealed": "outbound with offloads, sealed session: the 64 KiB read cut into 48 packets, each sealed (ChaCha20-Poly1305), one send",
        "in-gro-sealed": "inbound with offloads, sealed session: one train of 45 sealed datagrams of 1433 B, each opened, joined into one TUN write"}
for line in open(counts_path):
    what, fn, per, harness, ir, dsc = line.rstrip("\n").split("\t")
    per, harness = int(per), float(Fraction(harness))
    ipp = int(ir) / n1 / per
    spp = int(dsc) / (n2 - n1) / per - harness
    L.append(f"| {desc.get(what, what)} | `{fn}` | {ipp:.0f} | {spp:.2f} |")
L.append("")
L.append("Clock reads (`time`, `clock_gettime`) are left out of the system calls: natively they are vDSO "
         "calls that do not enter the kernel. The loop iteration counts its poll and the reaping check "
         "(a `waitpid` at most once a second) once for its two packets.")
L.append("")
L.append("## CPU time per packet (Google Benchmark; moves with the machine's load)")
L.append("")
L.append("| benchmark | CPU ns per iteration | real ns per iteration | packets per iteration | heap allocations per packet |")
L.append("|---|--:|--:|--:|--:|")
for b in gb.get("benchmarks", []):
    if b.get("run_type") == "aggregate":
        continue
    name = b["name"]
    if b.get("error_occurred"):
        L.append(f"| {name} | error: {b.get('error_message', '')} | | | |")
        continue
    cpu, real = b["cpu_time"], b["real_time"]
    unit = b.get("time_unit", "ns")
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[unit]
    per = int(b.get("pkts/iter", 2 if name.startswith("BM_loop") else 1))
    allocs = b.get("allocs/pkt", 0.0)
    L.append(f"| {name} | {cpu * scale:,.0f} | {real * scale:,.0f} | {per} | {allocs:g} |".replace(",", " "))
L.append("")
L.append("`BM_outbound_tso` and `BM_inbound_gro` run with the kernel's offloads (`offload=1`, the default): "
         "an iteration carries 48 or 46 inner packets; the rows above them are the same packets one system call "
         "each (`offload=0`, or a kernel that refuses the offloads). Divide the time by the packets per iteration "
         "for the cost of one inner packet.")
L.append("")
L.append("The small rows carry one 92-byte UDP packet (64 bytes of payload) per read or datagram, the packet-rate "
         "case. With the offloads such a read is sent from where it was read and such a datagram written alone, "
         "as without them; what the outbound row adds is completing the UDP checksum that the kernel leaves "
         "partial for an interface with checksum offload (without the offloads the sender's kernel computes it). "
         "The train row is the peer's batch of small datagrams to one client, received with one system call. "
         "`BM_outbound_vnet`, `BM_inbound_vnet` and `BM_inbound_small_train` are their timed counterparts.")
L.append("")
L.append("`*_syscalls_only` is the floor: the same packet moved with only the system calls any forwarder of this "
         "design makes (read and sendto, recvfrom and write). `BM_inbound_datalog1_synced` and "
         "`BM_logline_synced` write the per-packet log line to a file in /tmp with an fsync, as the default "
         "configuration does; `BM_logline_unsynced` is the same line to /dev/null (formatting and one write).")
L.append("")
open(out, "w").write("\n".join(L))
print("\n".join(L))
EOF
echo "written: $OUT/bench-micro.md" >&2
