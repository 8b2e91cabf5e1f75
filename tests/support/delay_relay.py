#!/usr/bin/env python3
"""A UDP relay that delays one uplink's datagrams both ways, for the end-to-end tests.

This kernel has no netem, so an uplink's delay is made in userspace. The router's namespace
sends the path's UDP for the peer into this relay (nftables DNAT, see relay_dnat in
tests/e2e/lib.sh); the relay holds each datagram for the current delay and forwards it to the
peer from a socket of its own, one per client source, so two clients (or two sockets of one)
stay two sources to the peer. Answers go back from the socket the client reached, and conntrack
turns their source back into the peer's address: the client sees only the peer.

The delay applies to each direction, so a round trip gains twice of it. It is read from
CONTROL (whole milliseconds, 0-10000) at start and again whenever that file changes; a
datagram keeps the delay it was queued with, and never overtakes one queued before it in its
direction, as on a real link. The relay is bounded: at most --max-queued datagrams waiting and
--max-sources client sources (the rest are dropped and counted), and it exits by itself after
--lifetime seconds. At exit it prints one JSON line of its counts.

Python rather than a C++ helper: the paths it serves carry probes and a ping, not throughput,
a timer of a few tenths of a millisecond is far inside the ±5 ms the tests allow, and the
tests change it as a file without a build step.

    delay_relay.py --listen ADDR:PORT --peer ADDR:PORT --upstream ADDR --control FILE
                   [--lifetime SECONDS] [--max-queued N] [--max-sources N]
"""
import argparse
import heapq
import json
import os
import selectors
import signal
import socket
import sys
import time


def addr(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


class Relay:
    def __init__(self, args):
        self.args = args
        self.peer = addr(args.peer)
        self.down = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.down.bind(addr(args.listen))
        self.down.setblocking(False)
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.down, selectors.EVENT_READ, None)
        self.up = {}  # client address -> its upstream socket
        self.queue = []  # (due, seq, socket, destination, bytes)
        self.seq = 0
        self.last_due = {"up": 0.0, "down": 0.0}
        self.delay = 0.0
        self.ctl_stamp = None
        self.counts = {"up": 0, "down": 0, "dropped_queue": 0, "dropped_sources": 0,
                       "send_errors": 0, "sources": 0, "delay_changes": 0}
        self.read_control()

    def read_control(self):
        try:
            st = os.stat(self.args.control)
            stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
            if stamp == self.ctl_stamp:
                return
            with open(self.args.control, encoding="ascii") as f:
                ms = int(f.read().strip())
        except (OSError, ValueError):
            return  # half-written or missing: keep the delay in force, look again next time
        if not 0 <= ms <= 10000:
            return
        self.ctl_stamp = stamp
        if self.delay != ms / 1000.0:
            self.counts["delay_changes"] += 1
        self.delay = ms / 1000.0

    def enqueue(self, way, sock, dest, data):
        if len(self.queue) >= self.args.max_queued:
            self.counts["dropped_queue"] += 1
            return
        due = max(time.monotonic() + self.delay, self.last_due[way])
        self.last_due[way] = due
        self.seq += 1
        heapq.heappush(self.queue, (due, self.seq, sock, dest, data))
        self.counts[way] += 1

    def upstream(self, client):
        sock = self.up.get(client)
        if sock is not None:
            return sock
        if len(self.up) >= self.args.max_sources:
            return None
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((self.args.upstream, 0))
        sock.connect(self.peer)
        sock.setblocking(False)
        self.sel.register(sock, selectors.EVENT_READ, client)
        self.up[client] = sock
        self.counts["sources"] += 1
        return sock

    def receive(self, sock, client):
        for _ in range(64):  # a burst at a time, then the timers again
            try:
                data, src = sock.recvfrom(65535)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                return  # an ICMP error of an earlier send; the next datagram is what counts
            if client is None:
                up = self.upstream(src)
                if up is None:
                    self.counts["dropped_sources"] += 1
                    continue
                self.enqueue("up", up, None, data)
            else:
                self.enqueue("down", self.down, client, data)

    def flush(self, now):
        while self.queue and self.queue[0][0] <= now:
            _, _, sock, dest, data = heapq.heappop(self.queue)
            try:
                if dest is None:
                    sock.send(data)
                else:
                    sock.sendto(data, dest)
            except OSError:
                self.counts["send_errors"] += 1

    def run(self):
        end = time.monotonic() + self.args.lifetime
        next_ctl = 0.0
        while True:
            now = time.monotonic()
            if now >= end:
                break
            if now >= next_ctl:
                self.read_control()
                next_ctl = now + 0.02
            self.flush(now)
            wake = min(end, next_ctl)
            if self.queue:
                wake = min(wake, self.queue[0][0])
            for key, _ in self.sel.select(max(0.0, wake - time.monotonic())):
                self.receive(key.fileobj, key.data)
        print(json.dumps(self.counts), flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--listen", required=True, help="ADDR:PORT the DNAT leads to")
    p.add_argument("--peer", required=True, help="ADDR:PORT of the peer")
    p.add_argument("--upstream", required=True, help="local address the upstream sockets bind to")
    p.add_argument("--control", required=True, help="file holding the delay in ms")
    p.add_argument("--lifetime", type=float, default=120.0)
    p.add_argument("--max-queued", type=int, default=8192)
    p.add_argument("--max-sources", type=int, default=16)
    args = p.parse_args()
    if not 0 < args.lifetime <= 3600:
        sys.exit("--lifetime must be 0 to 3600 seconds")
    relay = Relay(args)
    # SIGTERM from the test's clean-up: print the counts like a normal end.
    signal.signal(signal.SIGTERM, lambda *_: (print(json.dumps(relay.counts), flush=True), sys.exit(0)))
    relay.run()


if __name__ == "__main__":
    main()
