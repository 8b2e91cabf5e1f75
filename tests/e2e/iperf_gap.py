#!/usr/bin/env python3
"""The longest time an iperf3 receiver got nothing, from its JSON report (iperf3 -s -J -i 0.1):
the longest run of consecutive intervals with 0 bytes, in seconds with two decimals. A run that
reaches the end of the test counts to the end. Exit status 1 when the report holds an error or
no intervals."""
import json
import sys


def main() -> int:
    with open(sys.argv[1], encoding="utf-8") as f:
        rep = json.load(f)
    if "error" in rep or not rep.get("intervals"):
        print(rep.get("error", "no intervals"), file=sys.stderr)
        return 1
    longest = run = 0.0
    for iv in rep["intervals"]:
        s = iv["sum"]
        run = run + s["seconds"] if s["bytes"] == 0 else 0.0
        longest = max(longest, run)
    print(f"{longest:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
