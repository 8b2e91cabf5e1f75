#!/usr/bin/env python3
"""Prints the one figure the benchmark keeps from an iperf3 JSON report.

tcp_*: Mbit/s received.  udp_*: thousands of datagrams received per second, counted from the
bytes the receiver got (every datagram carries the same payload length), so datagrams lost
anywhere on the way do not count.
"""
import json
import sys


def main() -> int:
    name, path = sys.argv[1], sys.argv[2]
    with open(path, encoding="utf-8") as f:
        rep = json.load(f)
    if "error" in rep:
        print("nan")
        return 0
    end = rep["end"]
    rcv = end.get("sum_received") or end.get("sum")
    if name.startswith("tcp"):
        print(f"{rcv['bits_per_second'] / 1e6:.0f}")
        return 0
    length = rep["start"]["test_start"]["blksize"]
    secs = rcv["seconds"] or 1.0
    print(f"{rcv['bytes'] / length / secs / 1e3:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
