#!/usr/bin/env python3
"""Turns the raw results of bench/run.sh into docs/bench.md (table, ratios to fastd, targets)
and docs/bench.png (ratios to fastd, drawn by gnuplot), and keeps the raw figures in
docs/bench.tsv."""
import argparse
import math
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

import failover_report

NAMES = {
    "bare": "bare veth (the limit)",
    "tolvad": "tolvad + sdwan-peerd, clear, datalog=0",
    "tolvad-nooffload": "tolvad + sdwan-peerd, clear, datalog=0, offloads off",
    "sealed": "tolvad + sdwan-peerd, sealed, datalog=0",
    "sealed-nooffload": "tolvad + sdwan-peerd, sealed, datalog=0, offloads off",
    "tolvad-xor": "tolvad + sdwan-peerd, XOR, datalog=0",
    "tolvad-log": "tolvad + sdwan-peerd, clear, datalog=1 (default log)",
    "tolvad-log-disk": "tolvad + sdwan-peerd, clear, datalog=1, log on the repository's disk",
    "fastd": "fastd, null method",
    "ovpn": "OpenVPN 2.6, no cipher",
    "ovpn-gcm": "OpenVPN 2.6, AES-256-GCM",
    "wg": "wireguard-go",
}
SHORT = {
    "bare": "bare",
    "tolvad": "tolvad",
    "tolvad-nooffload": "tolvad no offloads",
    "sealed": "tolvad sealed",
    "sealed-nooffload": "tolvad sealed no offloads",
    "tolvad-xor": "tolvad XOR",
    "tolvad-log": "tolvad log",
    "tolvad-log-disk": "tolvad log disk",
    "fastd": "fastd",
    "ovpn": "OpenVPN",
    "ovpn-gcm": "OpenVPN GCM",
    "wg": "wireguard-go",
}
# (key, heading, decimals, higher is better)
COLS = [
    ("tcp_up", "TCP up Mbit/s", 0, True),
    ("tcp_down", "TCP down Mbit/s", 0, True),
    ("udp_up", "UDP 64 B up kpps", 1, True),
    ("udp_down", "UDP 64 B down kpps", 1, True),
    ("ping_ms", "ping RTT ms", 3, False),
]
CPU_COLS = [
    ("tcp_up.cli_us", "client, TCP up", 2, False),
    ("tcp_down.cli_us", "client, TCP down", 2, False),
    ("tcp_up.srv_us", "server, TCP up", 2, False),
    ("tcp_down.srv_us", "server, TCP down", 2, False),
    ("udp_up.cli_us", "client, flood up", 2, False),
    ("udp_down.cli_us", "client, flood down", 2, False),
    ("udp15k_up.cli_us", "client, 15 kpps up", 2, False),
    ("udp15k_down.cli_us", "client, 15 kpps down", 2, False),
    ("udp_up.srv_us", "server, flood up", 2, False),
    ("udp_down.srv_us", "server, flood down", 2, False),
    ("udp15k_up.srv_us", "server, 15 kpps up", 2, False),
    ("udp15k_down.srv_us", "server, 15 kpps down", 2, False),
    ("udp15k_up.cli_cs", "client context switches per packet, 15 kpps up", 2, False),
    ("udp15k_down.cli_cs", "client context switches per packet, 15 kpps down", 2, False),
]
PLOT = [("tcp_up", "TCP up"), ("tcp_down", "TCP down"), ("tcp_up.cli_us", "client CPU, TCP up"),
        ("tcp_down.cli_us", "client CPU, TCP down"), ("udp_up", "UDP 64 B up"),
        ("udp_down", "UDP 64 B down"), ("udp_up.cli_us", "client CPU, flood up"),
        ("udp_down.cli_us", "client CPU, flood down"), ("udp15k_up.cli_us", "client CPU, 15k up"),
        ("udp15k_down.cli_us", "client CPU, 15k down"), ("udp_up.srv_us", "server CPU, flood up")]


def load(path):
    res, order = {}, []
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                continue
            parts = line.rstrip("\n").split("\t")
            if len(parts) != 3:
                continue
            sysname, key, val = parts
            if sysname not in res:
                res[sysname] = {}
                order.append(sysname)
            try:
                res[sysname][key] = float(val)
            except ValueError:
                res[sysname][key] = math.nan
    return res, order


def num(v):
    return v is not None and not math.isnan(v)


def fmt(v, dec):
    return f"{v:,.{dec}f}".replace(",", " ") if num(v) else "–"


def ratio(res, sysname, key):
    base = res.get("fastd", {}).get(key)
    v = res.get(sysname, {}).get(key)
    if not (num(v) and num(base)) or base == 0:
        return None
    return v / base


def cell(res, sysname, key, dec):
    v = res[sysname].get(key)
    if not num(v):
        return "–"
    r = ratio(res, sysname, key)
    return f"{fmt(v, dec)} ({r:.2f}×)" if r is not None and sysname != "fastd" else fmt(v, dec)


def offload_lines(res):
    """The offloads against the path of one system call per packet, in the same run."""
    t, n = res.get("tolvad"), res.get("tolvad-nooffload")
    if t is None:
        return ["(tolvad was not measured in this run)"]
    out = []
    for key, what in (("tcp_up", "TCP up"), ("tcp_down", "TCP down")):
        r, rn = ratio(res, "tolvad", key), ratio(res, "tolvad-nooffload", key)
        if r is None:
            out.append(f"- {what}: not measured")
            continue
        was = f"; offloads off: {rn:.2f}×" if rn is not None else ""
        out.append(f"- {what}: {r:.2f}× fastd (target ≥ 3×): {'met' if r >= 3 else 'not met'}{was}")
    if n is None:
        out.append("- (tolvad-nooffload was not measured in this run: no comparison with the old path)")
        return out

    def rel(key):
        a, b = t.get(key), n.get(key)
        return a / b if num(a) and num(b) and b != 0 else None

    for key, what in (("tcp_up.cli_us", "client CPU per inner packet, TCP up"),
                      ("tcp_down.cli_us", "client CPU per inner packet, TCP down"),
                      ("tcp_up.srv_us", "server CPU per inner packet, TCP up"),
                      ("tcp_down.srv_us", "server CPU per inner packet, TCP down")):
        r = rel(key)
        if r is None:
            out.append(f"- {what}: not measured")
            continue
        target = " (target ≥ 2× lower)" if key.endswith("cli_us") else ""
        verdict = (": met" if 1 / r >= 2 else ": not met") if target else ""
        out.append(f"- {what}: {fmt(t[key], 2)} µs against {fmt(n[key], 2)} µs with the offloads off, "
                   f"{1 / r:.2f}× lower{target}{verdict}")
    # Within noise: 10 % either way, what two runs of one system differ by on this machine.
    for key, what, higher in (("udp_up", "64-byte UDP up", True), ("udp_down", "64-byte UDP down", True),
                              ("ping_ms", "ping round trip", False)):
        r = rel(key)
        if r is None:
            out.append(f"- {what}: not measured")
            continue
        ok = r >= 0.9 if higher else r <= 1.1
        out.append(f"- {what}: {r:.2f}× the figure with the offloads off (target: no worse, within 10 %): "
                   f"{'met' if ok else 'not met'}")
    return out


def target_lines(res):
    out = []
    t = res.get("tolvad")
    if t is None or "fastd" not in res:
        return ["(tolvad or fastd was not measured in this run)"]

    def check(key, what, need, higher):
        r = ratio(res, "tolvad", key)
        if r is None:
            out.append(f"- {what}: not measured")
            return
        ok = r >= need if higher else r < need
        if higher:
            gap = "" if ok else f", short by {(need - r) / need * 100:.0f} %"
            out.append(f"- {what}: {r:.2f}× fastd (target ≥ {need:.1f}×): {'met' if ok else 'not met'}{gap}")
        else:
            out.append(f"- {what}: {r:.2f}× fastd's (target < 1×): {'met' if ok else 'not met'}")

    check("tcp_up", "TCP up", 1.1, True)
    check("tcp_down", "TCP down", 1.1, True)
    check("udp_up", "64-byte UDP received, up", 1.1, True)
    check("udp_down", "64-byte UDP received, down", 1.1, True)
    check("udp_up.cli_us", "client CPU per packet, 64-byte flood up", 1.0, False)
    check("udp_down.cli_us", "client CPU per packet, 64-byte flood down", 1.0, False)
    check("udp15k_up.cli_us", "client CPU per packet, 64 bytes at 15 kpps up", 1.0, False)
    check("udp15k_down.cli_us", "client CPU per packet, 64 bytes at 15 kpps down", 1.0, False)
    for name, where in (("tolvad-log", "log in /tmp, the file system of the default path"),
                        ("tolvad-log-disk", "log on the repository's disk")):
        lg = res.get(name)
        if lg is None:
            continue
        parts = []
        for key, what, unit, dec in (("tcp_down", "TCP down", "Mbit/s", 0), ("udp_down", "64-byte UDP down", "kpps", 1),
                                     ("tcp_up", "TCP up (its ACKs come in)", "Mbit/s", 0)):
            v, r0, rf = lg.get(key), t.get(key), ratio(res, name, key)
            if not num(v):
                continue
            rel = f"{v / r0:.2f}× datalog=0" if num(r0) and r0 else "–"
            parts.append(f"{what} {fmt(v, dec)} {unit} ({rf:.2f}× fastd, {rel})" if rf is not None
                         else f"{what} {fmt(v, dec)} {unit} ({rel})")
        out.append(f"- inbound with the default log (datalog=1, one synced line per packet, {where}): "
                   + "; ".join(parts))
    rss = max(t.get("rss_kib", math.nan), t.get("rss_kib_end", math.nan))
    if num(rss):
        out.append(f"- resident memory: {rss / 1024:.2f} MiB (target < 4 MiB): {'met' if rss < 4096 else 'not met'}")
    maps = sorted(((k[7:], v) for k, v in t.items() if k.startswith("rssmap:") and num(v)), key=lambda kv: -kv[1])
    if maps:
        out.append("  - resident memory by mapping (KiB): " + ", ".join(f"{k} {int(v)}" for k, v in maps[:10]))
    if num(t.get("idle_cpu_pct")):
        out.append(f"- idle CPU: {t['idle_cpu_pct']:.1f} % of one core over 2 s (no busy loop)")
    if num(t.get("allocs_after_start")):
        a = int(t["allocs_after_start"])
        out.append(f"- heap allocations from session start to the end of the measurements: {a} "
                   f"({'met' if a == 0 else 'not met'})")
    return out


def sealed_lines(res):
    """The sealed session against wireguard-go and against the clear session with the offloads."""
    sd = res.get("sealed")
    if sd is None:
        return ["(the sealed session was not measured in this run)"]
    out = []
    for base, what, need in (("wg", "wireguard-go", 5.0), ("tolvad", "the clear session with the offloads", 0.5)):
        b = res.get(base)
        for key, label in (("tcp_up", "TCP up"), ("tcp_down", "TCP down")):
            v, w = sd.get(key), (b or {}).get(key)
            if not (num(v) and num(w)) or w == 0:
                out.append(f"- {label}: against {what}: not measured")
                continue
            r = v / w
            out.append(f"- {label}: {fmt(v, 0)} Mbit/s, {r:.2f}× {what} ({fmt(w, 0)} Mbit/s; target ≥ {need:g}×): "
                       f"{'met' if r >= need else 'not met'}")
    n = res.get("sealed-nooffload")
    if n is not None:
        for key, label in (("tcp_up", "TCP up"), ("tcp_down", "TCP down")):
            v, w = sd.get(key), n.get(key)
            if num(v) and num(w) and w != 0:
                out.append(f"- {label}: {v / w:.2f}× the sealed session with the offloads off")
    for key, what in (("tcp_up.cli_us", "client CPU per inner packet, TCP up"),
                      ("tcp_down.cli_us", "client CPU per inner packet, TCP down"),
                      ("tcp_up.srv_us", "server CPU per inner packet, TCP up"),
                      ("tcp_down.srv_us", "server CPU per inner packet, TCP down")):
        v, c = sd.get(key), res.get("tolvad", {}).get(key)
        if num(v) and num(c) and c != 0:
            out.append(f"- {what}: {fmt(v, 2)} µs, {v / c:.2f}× the clear session's")
    if num(sd.get("allocs_after_start")):
        a = int(sd["allocs_after_start"])
        out.append(f"- heap allocations from session start to the end of the measurements: {a} "
                   f"({'met' if a == 0 else 'not met'})")
    return out


def plot(res, order, out_png, seconds):
    gp = shutil.which("gnuplot")
    if gp is None:
        print("gnuplot not found: no plot", file=sys.stderr)
        return False
    systems = [s for s in order if s not in ("bare", "fastd")
               and any(ratio(res, s, key) is not None for key, _ in PLOT)]
    if "fastd" not in res or not systems:
        print("no ratios to fastd to plot", file=sys.stderr)
        return False
    with tempfile.TemporaryDirectory() as d:
        dat = os.path.join(d, "ratios.dat")
        with open(dat, "w", encoding="utf-8") as f:
            f.write("metric " + " ".join(f'"{SHORT.get(s, s)}"' for s in systems) + "\n")
            for key, label in PLOT:
                vals = []
                for s in systems:
                    r = ratio(res, s, key)
                    vals.append(f"{r:.3f}" if r is not None else "NaN")
                f.write(f'"{label}" ' + " ".join(vals) + "\n")
        ncol = len(systems)
        script = f"""
set terminal pngcairo size 1400,560 font "sans,10" noenhanced
set output "{out_png}"
set title "Ratio to fastd (null method) in the same run: above 1 is better for rates, below 1 for CPU per packet (dotted: 1.1)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key outside right top vertical
set ylabel "× fastd (logarithmic)"
set yrange [-5:4]
set ytics ("1/32" -5, "1/16" -4, "1/8" -3, "1/4" -2, "1/2" -1, "1" 0, "2" 1, "4" 2, "8" 3, "16" 4)
set grid ytics
set xzeroaxis lt -1 lw 2
set arrow from graph 0, first log(1.1)/log(2) to graph 1, first log(1.1)/log(2) nohead lw 1 dt 3 lc rgb "#606060"
set xtics nomirror rotate by -25 font ",9"
plot for [i=2:{ncol + 1}] "{dat}" using (log(column(i))/log(2)):xtic(1) title columnheader(i)
"""
        try:
            r = subprocess.run([gp], input=script, text=True, timeout=60,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        except (subprocess.SubprocessError, OSError) as e:
            print(f"gnuplot failed: {e}", file=sys.stderr)
            return False
        if r.returncode != 0:
            print(f"gnuplot failed: {r.stderr.strip()}", file=sys.stderr)
            return False
    return True


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--results", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--seconds", type=int, required=True)
    ap.add_argument("--elapsed", type=int, default=0)
    a = ap.parse_args()
    res, order = load(a.results)
    os.makedirs(a.out, exist_ok=True)
    png = os.path.join(a.out, "bench.png")
    have_plot = plot(res, order, png, a.seconds)

    lines = []
    lines.append("# Data-path benchmark: latest run")
    lines.append("")
    lines.append(f"Written by `bench/run.sh` on {time.strftime('%Y-%m-%d %H:%M %Z')}: {cpu_model()}, "
                 f"{os.cpu_count()} cores, Linux {platform.release()}; measurements took {a.elapsed} s.")
    lines.append("Two network namespaces joined by one veth pair; every tunnel carries an inner MTU of 1400; "
                 f"iperf3 {a.seconds} s per figure after one omitted second, TCP single stream, UDP with 64-byte "
                 "payloads sent as fast as iperf3 can (`-b 0`) into a 1 MiB receive buffer (`-w 1M`), rates counted at the receiver; ping: the median of 100 echoes "
                 "20 ms apart on the idle tunnel. CPU per packet: utime + stime of the tunnel process over "
                 "the test (from /proc/<pid>/stat) divided by the packets its TUN interface carried both ways; for tolvad "
                 "and sdwan-peerd, by the inner packets the client counted both ways (its status file), since with "
                 "the offloads a TUN interface counts a train of up to 64 KB as one packet. "
                 "\"up\" is client to server. In brackets: the ratio to fastd in this same run.")
    lines.append("")
    lines.append("| system | " + " | ".join(c[1] for c in COLS) + " |")
    lines.append("|---|" + "--:|" * len(COLS))
    for s in order:
        lines.append(f"| {NAMES.get(s, s)} | " + " | ".join(cell(res, s, k, d) for k, _, d, _ in COLS) + " |")
    lines.append("")
    lines.append("CPU per packet of the tunnel processes, µs (TCP: the single streams above, per inner packet, "
                 "ACKs included; 64-byte UDP, \"flood\": the rate tests above; "
                 "\"15 kpps\": a fixed 15 000 packets per second that every tunnel carries whole, so the load is "
                 "equal), and the client's context switches (sleeps and preemptions, all threads) per packet:")
    lines.append("")
    lines.append("| system | " + " | ".join(c[1] for c in CPU_COLS) + " |")
    lines.append("|---|" + "--:|" * len(CPU_COLS))
    for s in order:
        if not any(num(res[s].get(k)) for k, _, _, _ in CPU_COLS):
            continue
        lines.append(f"| {NAMES.get(s, s)} | " + " | ".join(cell(res, s, k, d) for k, _, d, _ in CPU_COLS) + " |")
    lines.append("")
    lines.append("## The kernel's offloads against the path of one system call per packet (datalog=0, this run)")
    lines.append("")
    lines.append("\"offloads off\" is the same build with the runtime switch turned off in both daemons: TUN reads "
                 "and writes, UDP sends and receives one packet each, as before the offloads.")
    lines.append("")
    lines.extend(offload_lines(res))
    lines.append("")
    lines.append("## tolvad against the targets (datalog=0, this run)")
    lines.append("")
    lines.extend(target_lines(res))
    lines.append("")
    lines.append("## Sealed sessions against the targets (datalog=0, this run)")
    lines.append("")
    lines.append("\"sealed\": the same daemons with `privatekey=` on the peer and its public key as the client's "
                 "`peerkey=` (keys made by `tolvactl genkey` for the run), so every packet is sealed with "
                 "ChaCha20-Poly1305; both sealed rows ran in the same run as the clear and wireguard-go rows.")
    lines.append("")
    lines.extend(sealed_lines(res))
    lines.append("")
    extra = []
    for s in order:
        r = res[s]
        if "rss_kib" not in r:
            continue
        rss = max(r.get("rss_kib", math.nan), r.get("rss_kib_end", math.nan))
        anon = max(r.get("rss_anon_kib", math.nan), r.get("rss_anon_kib_end", math.nan))
        pss = max(r.get("pss_kib", math.nan), r.get("pss_kib_end", math.nan))
        extra.append(f"| {NAMES.get(s, s)} | {fmt(rss / 1024, 2)} | {fmt(anon / 1024, 2)} | {fmt(pss / 1024, 2)} | "
                     f"{fmt(r.get('idle_cpu_pct'), 1)} | "
                     f"{fmt(r.get('allocs_after_start'), 0) if 'allocs_after_start' in r else '–'} |")
    if extra:
        lines.append("| client process | resident MiB (VmRSS, max seen) | of it private (RssAnon) | proportional (PSS) | "
                     "idle CPU % | heap allocations after start-up |")
        lines.append("|---|--:|--:|--:|--:|--:|")
        lines.extend(extra)
        lines.append("")
    if have_plot:
        lines.append("![ratios to fastd](bench.png)")
        lines.append("")
    # The failover figures come from their own benchmark; kept across this file's rewrites.
    lines.extend(failover_report.section_from_tsv(os.path.join(a.out, "bench-failover.tsv")))
    lines.append("Run: `sudo bench/run.sh` (all systems) or `sudo SYSTEMS=\"clear sealed wireguard-go\" bench/run.sh -t 3 "
                 "--no-micro -o /tmp/b` for a quick look. The peer with 10 000 sessions, legacy and sealed: "
                 "[bench-peer.md](bench-peer.md); a sealed peer under a handshake flood: [bench-flood.md](bench-flood.md).")
    lines.append("")
    with open(os.path.join(a.out, "bench.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    with open(a.results, encoding="utf-8") as src, open(os.path.join(a.out, "bench.tsv"), "w", encoding="utf-8") as dst:
        dst.write("# system\tfigure\tvalue (tcp: Mbit/s, udp: kpps, *_us: CPU µs per packet)\n")
        dst.write(src.read())
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
