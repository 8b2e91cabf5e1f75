#!/usr/bin/env python3
"""Injects hostile datagrams at the client through a raw socket, forging the source address and
port, while the real peer keeps its session: datagrams "from the peer" (which pass the client's
source filter) mixed with datagrams from other addresses and ports (which must not). Runs in the
peer's namespace. Checks that the client logged exactly one expected line per datagram from the
peer and nothing for the others, and prints a JSON summary for the caller's kernel-side checks.

inject.py --peer 10.92.0.2:4500 --client 10.91.0.2:PORT --log tolvad.log --count N --seed S
          [--others M] [--tun-up 1] [--user alice --password wonderland]
inject.py --peer ... --client ... --close     one signed CLOSE, forged from the peer (sid, token 0)
inject.py ... --close --sniff IFACE          the same with the session's sid and token, read from an
                                             echo request of the client seen on IFACE
"""
import argparse
import json
import random
import socket
import struct
import sys
import os

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sdwan_wire as w  # noqa: E402


def addr(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


def udp_ip(src, dst, payload):
    udp = struct.pack(">HHHH", src[1], dst[1], 8 + len(payload), 0) + payload  # no UDP checksum
    # Length, identification and checksum are filled in by the kernel with IP_HDRINCL.
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 0, 0, 0, 64, socket.IPPROTO_UDP, 0,
                     socket.inet_aton(src[0]), socket.inet_aton(dst[0]))
    return ip + udp


def sniff_session(ifname, client, peer, seconds=10.0):
    """sid and token (6 bytes) of the client's next echo request to the peer seen on ifname."""
    import time

    cap = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(0x0800))
    cap.bind((ifname, 0x0800))
    cap.settimeout(0.5)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            b = cap.recv(65535)
        except socket.timeout:
            continue
        ihl = (b[0] & 15) * 4
        if len(b) < ihl + 8 + w.CTRL or b[9] != socket.IPPROTO_UDP:
            continue
        src, dst = socket.inet_ntoa(b[12:16]), socket.inet_ntoa(b[16:20])
        dport = struct.unpack(">H", b[ihl + 2:ihl + 4])[0]
        d = b[ihl + 8:]
        if (src, dst, dport) == (client[0], peer[0], peer[1]) and d[0] == w.ECHOREQ:
            return d[2:8]
    raise SystemExit("no echo request of the client seen on %s in %d s" % (ifname, seconds))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--peer", type=addr, required=True)
    ap.add_argument("--client", type=addr, required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--count", type=int, default=20000)
    ap.add_argument("--others", type=int, default=2000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--state", type=int, default=w.ST_DATA)
    ap.add_argument("--tun-up", type=int, default=1)
    ap.add_argument("--user", default="alice")
    ap.add_argument("--password", default="wonderland")
    ap.add_argument("--benign", action="append", default=[])
    ap.add_argument("--close", action="store_true", help="send one signed CLOSE from the peer and stop")
    ap.add_argument("--sniff", help="with --close: the interface to read the session's sid and token on")
    a = ap.parse_args()
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    if a.close:
        session = sniff_session(a.sniff, a.client, a.peer) if a.sniff else bytes(6)
        raw.sendto(udp_ip(a.peer, a.client, w.ctrl(w.CLOSE, 0, session[:2], session[2:])), (a.client[0], 0))
        return 0

    key = w.payload_key(a.user, a.password)
    items = w.burst(a.seed, a.count, a.state, key, b"\x01\x02", b"\x03\x04\x05\x06", bool(a.tun_up))
    # Not the peer: its other address, its address with another port, a stranger on the peer's
    # port. Whatever they carry, the client's source filter drops them without a word.
    peer_ip, peer_port = a.peer
    others = [("10.92.0.3", peer_port), (peer_ip, peer_port + 1), (peer_ip, 53), ("198.51.100.23", peer_port)]
    rng = random.Random(a.seed + 1)
    mixed = [(a.peer, d, line, eff) for d, line, eff in items]
    for _ in range(a.others):
        d, _, _ = w.burst(rng.randrange(1 << 30), 1, a.state, key, b"\x01\x02", b"\x03\x04\x05\x06", True)[0]
        mixed.insert(rng.randrange(len(mixed) + 1), (rng.choice(others), d, None, None))

    watch = w.LogWatch(a.log)

    def send(item):
        src, d = item
        raw.sendto(udp_ip(src, a.client, d), (a.client[0], 0))

    expected = w.send_paced([((src, d), line, eff) for src, d, line, eff in mixed], send, watch)
    bad = w.compare(expected, watch.seen, a.benign, watch.held)
    summary = {
        "sent": len(mixed),
        "from_peer": len(items),
        "others": a.others,
        "tun": sum(1 for _, _, e in items if e == "tun"),
        "tunfail": sum(1 for _, _, e in items if e == "tunfail"),
        "lines": sum(expected.values()),
        "kinds": len(expected),
        "unknown_types": sum(n for line, n in expected.items() if line.startswith("Unknown packet type")),
        "mismatches": bad,
    }
    print(json.dumps(summary))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
