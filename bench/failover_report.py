#!/usr/bin/env python3
"""Turns the figures of bench/failover.sh into docs/bench-failover.md and bench-failover.tsv, and
puts the section "Failover" into bench.md (bench/report.py puts it back when it rewrites that file).

figures: one line per figure, KIND<TAB>A<TAB>B<TAB>VALUE: gap SESSION LOSS SECONDS, move - "best
move" SECONDS, idle UPLINKS - PERCENT. failed: KIND<TAB>the run's FAIL line.
"""
import argparse
import os
import platform
import statistics
import sys
import time

GAP_LIMIT = {"sealed": 1.5, "legacy": 8.0}
SCENARIOS = [("sealed", "link down"), ("sealed", "drop"), ("legacy", "link down"), ("legacy", "drop")]


def read(path):
    rows = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) == 4:
                rows.append(parts)
    return rows


def median(values):
    return statistics.median(values) if values else None


def summary(rows):
    """The medians the bench.md section and the .tsv hold: (figure, median, unit, target, runs)."""
    out = []
    for session, loss in SCENARIOS:
        v = [float(r[3]) for r in rows if r[0] == "gap" and r[1] == session and r[2] == loss]
        out.append((f"longest gap, {session}, {loss}", median(v), "s", f"< {GAP_LIMIT[session]:g}", v))
    v = [float(r[3]) for r in rows if r[0] == "move"]
    out.append(("best: c1 chosen after c0 slowed 20 -> 120 ms", median(v), "s", "< 5", v))
    for u, what in (("c0,c1,c2", "idle CPU, 3 uplinks probed"), ("none", "idle CPU, no uplinks= (no probes)")):
        v = [float(r[3]) for r in rows if r[0] == "idle" and r[1] == u]
        out.append((what, median(v), "% of one core", "< 1" if u != "none" else "", v))
    return out


def cell(v, unit):
    if v is None:
        return "–"
    return f"{v:.2f} %" if unit.startswith("%") else f"{v:.2f} s"


def table(rows):
    lines = ["| figure | median | target | runs |", "|---|--:|--:|---|"]
    for name, med, unit, target, runs in rows:
        lines.append(f"| {name} | {cell(med, unit)} | {target} | {' '.join(f'{x:g}' for x in runs) or 'none'} |")
    return lines


def section_from_tsv(path):
    """The "Failover" section of bench.md, from bench-failover.tsv; [] when there is none."""
    if not os.path.exists(path):
        return []
    rows = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                continue
            name, med, unit, target, runs = line.rstrip("\n").split("\t")
            rows.append((name, float(med) if med else None, unit, target, [float(x) for x in runs.split()]))
    return ["## Failover", "",
            "A TCP stream through the tunnel while the active uplink is lost, the best policy leaving a slowed "
            "path, and the cost of probing (`bench/failover.sh`; how and what each figure means: "
            "[bench-failover.md](bench-failover.md)).", ""] + table(rows) + [""]


def put_section(bench_md, section):
    """Replaces the "## Failover" section of bench.md, or puts it before the closing "Run:" line."""
    if not os.path.exists(bench_md):
        return
    with open(bench_md, encoding="utf-8") as f:
        lines = f.read().split("\n")
    if "## Failover" in lines:
        start = lines.index("## Failover")
        end = next((i for i in range(start + 1, len(lines))
                    if lines[i].startswith("## ") or lines[i].startswith("Run: ")), len(lines))
        lines[start:end] = section
    else:
        at = next((i for i, l in enumerate(lines) if l.startswith("Run: ")), len(lines))
        lines[at:at] = section
    with open(bench_md, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--figures", required=True)
    p.add_argument("--failed", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--runs", type=int, required=True)
    p.add_argument("--idle-seconds", type=int, required=True)
    p.add_argument("--took", type=int, required=True)
    a = p.parse_args()
    rows = summary(read(a.figures))
    failed = []
    with open(a.failed, encoding="utf-8") as f:
        failed = [l.rstrip("\n").split("\t", 1) for l in f if l.strip()]

    tsv = os.path.join(a.out, "bench-failover.tsv")
    with open(tsv, "w", encoding="utf-8") as f:
        f.write("# figure\tmedian\tunit\ttarget\truns\n")
        for name, med, unit, target, runs in rows:
            f.write(f"{name}\t{'' if med is None else f'{med:.6g}'}\t{unit}\t{target}\t{' '.join(f'{x:g}' for x in runs)}\n")

    lines = ["# Failover: latest run", "",
             f"Written by `bench/failover.sh -n {a.runs} -t {a.idle_seconds}` on "
             f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}: {os.cpu_count()} cores "
             f"(load average {os.getloadavg()[0]:.2f} at the end), Linux {platform.release()}; took {a.took} s.", "",
             "- **Longest gap**: `tests/e2e/failover.sh`. Two uplinks to one router, c0 (metric 100) and c1 "
             "(metric 200), the client with `uplinks=c0,c1` and the default policy; an iperf3 TCP stream at "
             "20 Mbit/s from the client through the tunnel to the far host, 12 s; 4 s in, the path the session "
             "is on is lost: its link set down in the client's namespace (\"link down\"), or left up with "
             "everything through it dropped in the router (\"drop\"). The figure is the receiver's longest run "
             "of 0.1 s intervals with no data, so it holds the path's detection, the move and TCP's own "
             "retransmission back-off. Most of a legacy figure is the peer refusing the new OPEN through the "
             "other path while the old session is still live (\"rejected user alice from ...: user has a live "
             "session\") until it replaces that session; the back-off then waits for its next try.",
             "- **Best move**: `tests/e2e/pathbest.sh`. Each uplink through a delaying relay in the router "
             "(`tests/support/delay_relay.py`), c0 20 ms and c1 60 ms each way; with the session on c0 and "
             "both paths measured, c0 is slowed to 120 ms; the figure is the time until \"path c1 chosen\" is "
             "logged (read every 0.1 s).",
             f"- **Probe cost**: an idle sealed session (`datalog=0`) with `uplinks=c0,c1,c2` at the default "
             f"probe interval (250 ms), every path up; tolvad's utime + stime from /proc/PID/stat over "
             f"{a.idle_seconds} s as percent of one core, and the same without `uplinks=`. One clock tick is "
             f"{100 / os.sysconf('SC_CLK_TCK') / a.idle_seconds:.3f} % here.", "",
             f"Medians of {a.runs} runs; every run's figure in the last column.", ""]
    lines += table(rows)
    lines.append("")
    if failed:
        lines.append("Runs whose checks failed (their figures, when taken, are in the table):")
        lines.append("")
        lines += [f"- {k}: {v}" for k, v in failed]
        lines.append("")
    lines.append("Run: `sudo bench/failover.sh -o docs` (about 6 minutes; `-n 1 -t 10` for a quick look). "
                 "The data path: [bench.md](bench.md).")
    lines.append("")
    with open(os.path.join(a.out, "bench-failover.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    put_section(os.path.join(a.out, "bench.md"), section_from_tsv(tsv))
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
