#!/usr/bin/env python3
"""Sends one-byte datagrams forged from the peer's address and port to the client's socket through
a raw socket, at a fixed rate, bounded in count and in time; the byte walks through every type
value. Prints {"sent": N} at the end.

spoof.py --src 10.92.0.2:4500 --dst 10.91.0.2:PORT --rate 20000 --seconds 10
"""
import argparse
import json
import socket
import struct
import sys
import time


def addr(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--src", type=addr, required=True)
    ap.add_argument("--dst", type=addr, required=True)
    ap.add_argument("--rate", type=int, default=20000)
    ap.add_argument("--seconds", type=float, default=10)
    a = ap.parse_args()
    rate = min(a.rate, 50000)
    seconds = min(a.seconds, 30.0)
    limit = int(rate * seconds)
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    # Length, identification and checksum are filled in by the kernel with IP_HDRINCL; no UDP
    # checksum.
    head = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 0, 0, 0, 64, socket.IPPROTO_UDP, 0,
                       socket.inet_aton(a.src[0]), socket.inet_aton(a.dst[0]))
    head += struct.pack(">HHHH", a.src[1], a.dst[1], 9, 0)
    pkts = [head + bytes([t]) for t in range(256)]
    dst = (a.dst[0], 0)
    sent = 0
    start = time.monotonic()
    while sent < limit:
        now = time.monotonic() - start
        if now > seconds + 1:
            break
        due = min(limit, int(now * rate) + 1)
        while sent < due:
            raw.sendto(pkts[sent % 256], dst)
            sent += 1
        time.sleep(0.002)
    print(json.dumps({"sent": sent}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
