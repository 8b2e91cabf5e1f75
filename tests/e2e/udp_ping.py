#!/usr/bin/env python3
"""A ping over UDP, to measure what the delaying relay adds.

  udp_ping.py echo --bind ADDR:PORT --lifetime S
      answers every datagram with itself followed by "|IP:PORT", the source it came from, so the
      other side learns what the far end saw; exits after S seconds.
  udp_ping.py ping --to ADDR:PORT [--count N] [--sockets K] [--interval S]
      N exchanges, one at a time, round-robin over K sockets of their own; prints one JSON line:
      median and every round trip in ms, lost (no answer within 1 s), foreign (an answer from
      another address than --to, or not ours), and the sources the far end reported.
"""
import argparse
import json
import socket
import statistics
import time


def addr(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


def echo(args):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(addr(args.bind))
    end = time.monotonic() + args.lifetime
    while (left := end - time.monotonic()) > 0:
        s.settimeout(left)
        try:
            data, src = s.recvfrom(2048)
        except socket.timeout:
            break
        s.sendto(data + f"|{src[0]}:{src[1]}".encode(), src)


def ping(args):
    to = addr(args.to)
    socks = []
    for _ in range(args.sockets):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.settimeout(1.0)
        socks.append(s)
    rtts, lost, foreign, seen = [], 0, 0, set()
    for i in range(args.count):
        s = socks[i % len(socks)]
        token = f"ping {i}".encode()
        t0 = time.monotonic()
        s.sendto(token, to)
        while True:
            try:
                data, src = s.recvfrom(2048)
            except socket.timeout:
                lost += 1
                break
            if src != to or not data.startswith(token + b"|"):
                foreign += 1
                continue
            rtts.append((time.monotonic() - t0) * 1000.0)
            seen.add(data[len(token) + 1:].decode())
            break
        time.sleep(args.interval)
    print(json.dumps({"median": round(statistics.median(rtts), 2) if rtts else None,
                      "rtts": [round(r, 2) for r in rtts], "lost": lost, "foreign": foreign,
                      "seen": sorted(seen)}))


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="mode", required=True)
    e = sub.add_parser("echo")
    e.add_argument("--bind", required=True)
    e.add_argument("--lifetime", type=float, default=60.0)
    q = sub.add_parser("ping")
    q.add_argument("--to", required=True)
    q.add_argument("--count", type=int, default=20)
    q.add_argument("--sockets", type=int, default=1)
    q.add_argument("--interval", type=float, default=0.02)
    args = p.parse_args()
    echo(args) if args.mode == "echo" else ping(args)


if __name__ == "__main__":
    main()
