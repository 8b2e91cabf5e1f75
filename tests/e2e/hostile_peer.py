#!/usr/bin/env python3
"""A scripted peer that misbehaves, for the client's hardening tests. It binds the peer's
address and port (the real peer stopped) and, for a bounded time, does one of:

  auth-burst  waits for an OPEN and answers with a burst of hostile datagrams while the client
              is authenticating (some of them from other addresses and ports), checks the
              client's log line by line, then refuses it with a signed OPENREJ
  badack      answers every OPEN with a signed but malformed OPENACK
  closeflood  accepts every OPEN, then floods CLOSE (forged, cut short, one in 500 signed)
  silent      accepts every OPEN, then never answers anything
  oversize    accepts every OPEN, then sends datagrams longer than the client's 2048-byte buffer

It prints one line of JSON with what it did, and exits with 1 if the client's log did not match.
"""
import argparse
import json
import os
import random
import select
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sdwan_wire as w  # noqa: E402


def bound(ip, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((ip, port))
    return s


def wait_open(sock, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        r, _, _ = select.select([sock], [], [], 0.2)
        if r:
            d, src = sock.recvfrom(65535)
            if d[:1] == bytes([w.OPEN]):
                return src
    raise SystemExit("no OPEN from the client in %d s" % seconds)


# Signed OPENACKs whose option lists the client must refuse: a known option with a wrong
# length, a length below the two head bytes, an option running past the end, a lone head byte.
BAD_ACK_BODIES = [
    bytes([w.OPT_IP, 5, 10, 8, 0]),
    bytes([w.OPT_MTU, 6, 5, 0xDC, 0, 0]),
    bytes([w.OPT_DNS, 6, 1, 1, 1, 1]),
    bytes([w.OPT_ENCRYPT, 2]),
    bytes([99, 1]),
    bytes([99, 0, 1, 2, 3]),
    bytes([w.OPT_IP, 6, 10, 8, 0, 2, w.OPT_GATEWAY, 6, 10, 8]),
    bytes([w.OPT_IP, 6, 10, 8, 0, 2, 7]),
    bytes([99, 200]) + bytes(20),
]


def auth_burst(a, sock):
    client = wait_open(sock, 20)
    key = w.payload_key(a.user, a.password)
    items = w.burst(a.seed, a.count, w.ST_AUTH, key, b"\x01\x02", b"\x03\x04\x05\x06", bool(a.tun_up))
    peer_ip, peer_port = sock.getsockname()
    strangers = [bound(a.other_ip, peer_port), bound(peer_ip, peer_port + 1)]
    rng = random.Random(a.seed + 7)
    mixed = [(sock, d, line, eff) for d, line, eff in items]
    for _ in range(a.others):
        d = w.hostile(rng, key, b"\x01\x02", b"\x03\x04\x05\x06")
        mixed.insert(rng.randrange(len(mixed) + 1), (rng.choice(strangers), d, None, None))
    watch = w.LogWatch(a.log)

    def send(item):
        s, d = item
        s.sendto(d, client)

    expected = w.send_paced([((s, d), line, eff) for s, d, line, eff in mixed], send, watch)
    # The client is still authenticating on the same socket: now refuse it by the rules.
    sock.sendto(w.ctrl(w.OPENREJ), client)
    expected["SDWAN peer authentication REJECTED"] = 1
    end = time.monotonic() + 5
    while watch.seen.get("SDWAN peer authentication REJECTED", 0) == 0 and time.monotonic() < end:
        time.sleep(0.05)
        watch.poll()
    time.sleep(0.2)
    watch.poll()
    # The refusal starts the client over: a fresh socket, then its next OPEN.
    benign = ["AUTH start", "sdwan client socket reinit success", "sdwan client socket reg success", "INIT peer "]
    bad = w.compare(expected, watch.seen, benign, watch.held)
    return {
        "client": "%s:%d" % client,
        "sent": len(mixed),
        "from_peer": len(items),
        "others": a.others,
        "tun": sum(1 for _, _, e in items if e == "tun"),
        "tunfail": sum(1 for _, _, e in items if e == "tunfail"),
        "lines": sum(expected.values()),
        "unknown_types": sum(n for line, n in expected.items() if line.startswith("Unknown packet type")),
        "mismatches": bad,
    }


def serve(a, sock, after_ack):
    """Accepts (or spoils) every OPEN until the time is up; after_ack(client, now) runs between
    datagrams to send whatever the mode sends."""
    rng = random.Random(a.seed)
    stats = {"opens": 0, "acks": 0, "sent": 0}
    client = None
    end = time.monotonic() + a.seconds
    while time.monotonic() < end and not (a.acks and stats["acks"] >= a.acks):
        r, _, _ = select.select([sock], [], [], 0.001 if client and a.rate else 0.2)
        if r:
            d, src = sock.recvfrom(65535)
            if d[:1] == bytes([w.OPEN]) and len(d) >= w.CTRL:
                stats["opens"] += 1
                if a.mode == "badack":
                    body = BAD_ACK_BODIES[stats["acks"] % len(BAD_ACK_BODIES)]
                    sock.sendto(w.ctrl(w.OPENACK, 0, b"\x00\x07", b"\x00\x00\x00\x07", body), src)
                else:
                    sid = rng.randbytes(2)
                    tok = rng.randbytes(4)
                    sock.sendto(w.openack(sid, tok), src)
                    client = (src, sid, tok)
                stats["acks"] += 1
            elif a.mode != "badack" and len(d) >= w.HDR and (client is None or client[0] != src):
                # A client still in the session of an earlier peer on this address: take it as is.
                client = (src, d[2:4], d[4:8])
                stats["adopted"] = stats.get("adopted", 0) + 1
        if client is not None and after_ack is not None:
            after_ack(client, stats, rng)
    return stats


class Rate:
    def __init__(self, per_sec):
        self.gap = 1.0 / per_sec if per_sec else None
        self.next = time.monotonic()

    def due(self):
        """How many sends are due now (a late loop catches up, at most 0.1 s worth)."""
        if self.gap is None:
            return 0
        now = time.monotonic()
        if now < self.next:
            return 0
        self.next = max(self.next, now - 0.1)
        n = int((now - self.next) / self.gap) + 1
        self.next += n * self.gap
        return n


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["auth-burst", "badack", "closeflood", "silent", "oversize"])
    ap.add_argument("--listen", default="10.92.0.2:4500")
    ap.add_argument("--other-ip", default="10.92.0.3")
    ap.add_argument("--seconds", type=float, default=8)
    ap.add_argument("--rate", type=int, default=0)
    ap.add_argument("--acks", type=int, default=0, help="stop once this many OPENs are answered")
    ap.add_argument("--count", type=int, default=8000)
    ap.add_argument("--others", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=2)
    ap.add_argument("--tun-up", type=int, default=0)
    ap.add_argument("--log")
    ap.add_argument("--user", default="alice")
    ap.add_argument("--password", default="wonderland")
    a = ap.parse_args()
    ip, port = a.listen.rsplit(":", 1)
    sock = bound(ip, int(port))

    if a.mode == "auth-burst":
        out = auth_burst(a, sock)
        print(json.dumps(out))
        return 1 if out["mismatches"] else 0

    rate = Rate(a.rate)
    send_fn = None
    if a.mode == "closeflood":
        def send_fn(client, stats, rng):
            for _ in range(rate.due()):
                send_close(client, stats, rng)

        def send_close(client, stats, rng):
            dst, sid, tok = client
            # Mostly forged or cut short, which the client in DATA must refuse one by one; now and
            # then a signed one, which ends the session, and the client comes back for more.
            kind = 0 if stats["sent"] % 500 == 499 else 1 + stats["sent"] % 2
            if kind == 0:
                d = w.ctrl(w.CLOSE, 0, sid, tok)
            elif kind == 1:
                d = w.header(w.CLOSE, 0, sid, tok) + rng.randbytes(16)  # forged signature
            else:
                d = w.ctrl(w.CLOSE, 0, sid, tok)[: rng.randrange(1, w.CTRL)]
            sock.sendto(d, dst)
            stats["sent"] += 1
    elif a.mode == "oversize":
        key = w.payload_key(a.user, a.password)

        def send_fn(client, stats, rng):
            for _ in range(rate.due()):
                send_big(client, stats, rng)

        def send_big(client, stats, rng):
            dst, sid, tok = client
            n = rng.randrange(w.PKTBUF + 1, 9000)
            kind = stats["sent"] % 5
            if kind == 0:
                d = w.header(w.DATA, 0, sid, tok) + bytes([0x45]) + rng.randbytes(n - 9)
            elif kind == 1:
                d = w.header(w.EDATA, 1, sid, tok) + w.xor(key, bytes([0x45]) + rng.randbytes(n - 9))
            elif kind == 2:
                d = w.ctrl(w.ECHORESP, 0, sid, tok, struct.pack("<Q", 1) + rng.randbytes(n - 32))
            elif kind == 3:
                d = w.ctrl(w.OPENACK, 0, sid, tok, rng.randbytes(n - w.CTRL))
            else:
                d = bytes([rng.randrange(25, 256)]) + rng.randbytes(n - 1)
            sock.sendto(d, dst)
            stats["sent"] += 1
    stats = serve(a, sock, send_fn)
    stats["mode"] = a.mode
    print(json.dumps(stats))
    return 0


if __name__ == "__main__":
    sys.exit(main())
