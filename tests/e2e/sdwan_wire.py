"""The tunnel's wire format as the hostile end-to-end tests need it, and a model of what the
client logs for each datagram it is handed.

Only the standard library: signatures are MD5 over the 8 header bytes and the two salt bytes,
the payload cipher is an XOR with the first 8 bytes of MD5(user | password). The password block
of OPEN (AES) is never needed: the scripted peers never check it.
"""
import hashlib
import os
import random
import re
import struct

OPENREJ, OPENACK, OPEN, DATA, ECHOREQ, ECHORESP, CLOSE, EDATA = 17, 18, 19, 20, 21, 22, 23, 24
OPT_MTU, OPT_IP, OPT_DNS, OPT_GATEWAY, OPT_ENCRYPT = 3, 4, 5, 6, 8
ST_AUTH, ST_DATA = 4, 5
HDR, CTRL, PKTBUF = 8, 24, 2048


def salt():
    text = os.environ.get("E2E_SALT", "0x3C,0xA5")
    return bytes(int(x, 0) for x in text.split(","))


SALT = salt()


def sign(hdr8):
    return hashlib.md5(hdr8 + SALT).digest()


def header(ptype, enc=0, sid=b"\0\0", token=b"\0\0\0\0"):
    return bytes([ptype, enc]) + sid + token


def ctrl(ptype, enc=0, sid=b"\0\0", token=b"\0\0\0\0", body=b""):
    h = header(ptype, enc, sid, token)
    return h + sign(h) + body


def verifies(d):
    return len(d) >= CTRL and sign(d[:HDR]) == d[HDR:CTRL]


def payload_key(user, password):
    return hashlib.md5((user + password).encode()).digest()[:8]


def xor(key, data):
    return bytes(b ^ key[i % 8] for i, b in enumerate(data))


def ip4(text):
    return bytes(int(x) for x in text.split("."))


def openack(sid=b"\x12\x34", token=b"\xa1\xb2\xc3\xd4", addr="10.8.0.2", gw="10.8.0.1", mtu=1400, enc=0):
    body = bytes([OPT_IP, 6]) + ip4(addr) + bytes([OPT_GATEWAY, 6]) + ip4(gw)
    body += bytes([OPT_MTU, 4]) + struct.pack(">H", mtu)
    if enc:
        body += bytes([OPT_ENCRYPT, 3, enc])
    return ctrl(OPENACK, enc, sid, token, body)


def openack_wellformed(d):
    """The client's option walk: every known option with its exact length, none past the end."""
    need = {OPT_MTU: 4, OPT_IP: 6, OPT_GATEWAY: 6, OPT_DNS: 10, OPT_ENCRYPT: 3, 9: 3}
    pos = CTRL
    while pos < len(d):
        if len(d) - pos < 2:
            return False
        t, n = d[pos], d[pos + 1]
        if (n != need[t]) if t in need else (n < 2):
            return False
        if n > len(d) - pos:
            return False
        pos += n
    return True


def tun_takes(payload, tun_up):
    """A TUN interface takes a packet only while it is up and only if it starts like IPv4 or IPv6."""
    return tun_up and len(payload) > 0 and (payload[0] >> 4) in (4, 6)


# The lines a stranger can cause, by the start of the line (longest first) and the name the
# client's summary line gives them: at most five of a kind a second are written, the rest are
# counted in "N lines suppressed in the last S s: <name> <n>, ...".
LIMITED = [
    ("Invalid state or packet verification failed", "Invalid state or packet verification failed"),
    ("Invalid state: expected ", "Invalid state"),
    ("Unknown packet type: ", "Unknown packet type"),
    ("Invalid data length received: ", "Invalid data length received"),
    ("Packet verification failed for OPENREJ", "Packet verification failed for OPENREJ"),
    ("Packet verification failed", "Packet verification failed"),
    ("CLOSE for another session ", "CLOSE for another session"),
]
SUMMARY = re.compile(r"(\d+) lines suppressed in the last \d+ s: (.*)")


def limited_kind(line):
    """The rate-limited kind of a log line, or None for a line written every time."""
    for prefix, name in LIMITED:
        if line.startswith(prefix):
            return name
    return None


def client_line(state, d, key, tun_up, session=None):
    """(line, effect) the client produces for datagram d from its peer's address and port in state
    (ST_AUTH or ST_DATA). line is the log text without the time prefix, or None; effect is None,
    'tun' (a packet written to the TUN interface), 'tunfail', 'probe' (a CLOSE of another session
    than the 6 bytes of sid and token in session, which only makes the client ask the peer), or a
    session change: 'reject', 'reset' (a signed but malformed OPENACK), 'established', 'close'."""
    d = d[:PKTBUF]  # the client's receive buffer cuts longer datagrams
    n = len(d)
    if n == 0:
        return None, None
    t = d[0]
    if t == OPENREJ:
        if state != ST_AUTH:
            return "Invalid state: expected SDWANCLNT_AUTH, but got %d" % state, None
        if not verifies(d):
            return "Packet verification failed for OPENREJ", None
        return "SDWAN peer authentication REJECTED", "reject"
    if t == OPENACK:
        if state != ST_AUTH or not verifies(d):
            return "Invalid state or packet verification failed", None
        return (None, "reset") if not openack_wellformed(d) else ("sdwan DATA ESTABLISHED session", "established")
    if t in (DATA, EDATA):
        dlen = n - HDR
        if dlen <= 0:
            return "Invalid data length received: %d" % dlen, None
        payload = d[HDR:]
        if t == EDATA:
            payload = xor(key, payload)
        if tun_takes(payload, tun_up):
            return "Successfully processed and forwarded data, packet length: %d" % dlen, "tun"
        return "Failed to send data to tunnel", "tunfail"
    if t == ECHORESP:
        if state != ST_DATA:
            return "Invalid state: expected SDWANCLNT_DATA, but got %d" % state, None
        if n < 32 or not verifies(d):
            return "Packet verification failed", None
        return None, None
    if t == CLOSE:
        if state != ST_DATA:
            return "Invalid state: expected SDWANCLNT_DATA, but got %d" % state, None
        if not verifies(d):
            return "Packet verification failed", None
        if session is not None and d[2:8] == session:
            return "Peer received CLOSE, transitioning to SDWANCLNT_CLOSED state", "close"
        sid, tok = struct.unpack("<HI", d[2:8])
        return "CLOSE for another session (sid %d, token %d): asking the peer" % (sid, tok), "probe"
    return "Unknown packet type: %d" % t, None


def templates(rng, key, sid, token):
    """Well-formed datagrams of every type the client takes, to be cut and mutated."""
    ip_pkt = bytes([0x45, 0, 0, 28]) + rng.randbytes(24)
    echo_body = struct.pack("<QIII", 123456789, 1, 2, 3)
    return [
        ctrl(OPENREJ),
        openack(sid, token),
        openack(sid, token, enc=1),
        header(DATA, 0, sid, token) + ip_pkt,
        header(EDATA, 1, sid, token) + xor(key, ip_pkt),
        ctrl(ECHORESP, 0, sid, token, echo_body),
        ctrl(CLOSE, 0, sid, token),
        ctrl(ECHOREQ, 0, sid, token, echo_body),
        ctrl(OPEN, 0, b"\0\0", b"\0\0\0\0", bytes([OPT_MTU, 4, 5, 0xDC])),
    ]


def hostile(rng, key, sid, token, maxlen=1472):
    """One hostile datagram: random bytes, a truncated or mutated well-formed packet, every type
    byte with random content, or a data packet of random content."""
    kind = rng.randrange(6)
    if kind == 0:
        n = rng.choice([rng.randrange(0, 33), rng.randrange(0, maxlen + 1)])
        return rng.randbytes(n)
    if kind == 1:
        t = rng.choice(templates(rng, key, sid, token))
        return t[: rng.randrange(0, len(t))]
    if kind == 2:
        d = bytearray(rng.choice(templates(rng, key, sid, token)))
        for _ in range(rng.randrange(1, 5)):
            i = rng.randrange(len(d))
            d[i] = rng.randrange(256) if rng.randrange(2) else d[i] ^ (1 << rng.randrange(8))
        if rng.randrange(4) == 0:
            d += rng.randbytes(rng.randrange(1, 64))
        return bytes(d)
    if kind == 3:
        return bytes([rng.randrange(256)]) + rng.randbytes(rng.randrange(0, 64))
    if kind == 4:
        t = rng.choice([DATA, EDATA])
        return header(t, rng.randrange(2), sid, token) + rng.randbytes(rng.randrange(0, maxlen - HDR + 1))
    # Signed control packets with random bodies: the signature holds, the rest is garbage.
    t = rng.choice([OPENREJ, OPENACK, ECHORESP, CLOSE, rng.randrange(256)])
    return ctrl(t, rng.randrange(256), sid, token, rng.randbytes(rng.randrange(0, 48)))


class LogWatch:
    """Counts the lines the client appends to its log from now on, and which; the counts of the
    summary lines go to held, by kind, and lines counts the lines written every time."""

    def __init__(self, path):
        self.f = open(path, "rb")
        self.f.seek(0, 2)
        self.lines = 0
        self.rest = b""
        self.seen = {}
        self.held = {}

    def poll(self):
        data = self.rest + self.f.read()
        *full, self.rest = data.split(b"\n")
        for raw in full:
            text = raw.decode("utf-8", "replace")
            # The prefix is the local time: "year/month/day hour:minute:second ".
            parts = text.split(" ", 2)
            body = parts[2] if len(parts) == 3 else text
            m = SUMMARY.fullmatch(body)
            if m:
                for part in m.group(2).split(", "):
                    name, n = part.rsplit(" ", 1)
                    self.held[name] = self.held.get(name, 0) + int(n)
                continue
            self.seen[body] = self.seen.get(body, 0) + 1
            if limited_kind(body) is None:
                self.lines += 1
        return self.lines

    def accounted(self, name):
        """Lines of a limited kind written or summed up so far."""
        return self.held.get(name, 0) + sum(n for line, n in self.seen.items() if limited_kind(line) == name)


def send_paced(items, send, watch, window=48, rate=4000, timeout=120.0):
    """Sends (datagram, line, effect) items, keeping at most window logged datagrams ahead of the
    client's log and at most rate datagrams a second, so its socket buffer never overflows and
    every datagram is accounted for. Returns the expected line counts once the log caught up."""
    import time

    start = time.monotonic()
    expected = {}
    want = 0
    for i, (d, line, _) in enumerate(items):
        send(d)
        if line is not None:
            expected[line] = expected.get(line, 0) + 1
            # The limited kinds are written only in part: their summaries come at the end.
            want += limited_kind(line) is None
        while want - watch.poll() > window:
            if time.monotonic() - start > timeout:
                raise SystemExit("the client stopped logging: %d lines behind" % (want - watch.lines))
            time.sleep(0.001)
        ahead = (i + 1) / rate - (time.monotonic() - start)
        if ahead > 0:
            time.sleep(ahead)
    end = time.monotonic() + 30
    while watch.poll() < want and time.monotonic() < end:
        time.sleep(0.05)
    settle(expected, watch)
    return expected


def settle(expected, watch, timeout=10.0):
    """Waits until every limited line expected is written or summed up: the summary of the last
    interval comes with the client's next tick."""
    import time

    totals = {}
    for line, n in expected.items():
        k = limited_kind(line)
        if k is not None:
            totals[k] = totals.get(k, 0) + n
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        watch.poll()
        if all(watch.accounted(k) >= n for k, n in totals.items()):
            break
        time.sleep(0.1)
    time.sleep(0.3)
    watch.poll()


def compare(expected, seen, benign, held=None):
    """Lines expected but missing or in another number, and lines nobody asked for. A limited
    kind must account for every line expected of it, written or summed up (held, from the
    summary lines), and write none more often than expected."""
    bad = []
    totals = {}
    for line, n in sorted(expected.items()):
        k = limited_kind(line)
        if k is not None:
            totals[k] = totals.get(k, 0) + n
            if seen.get(line, 0) > n:
                bad.append("%r: expected at most %d, logged %d" % (line, n, seen.get(line, 0)))
        elif seen.get(line, 0) != n:
            bad.append("%r: expected %d, logged %d" % (line, n, seen.get(line, 0)))
    held = held or {}
    for k in sorted(set(totals) | set(held)):
        got = held.get(k, 0) + sum(n for line, n in seen.items() if limited_kind(line) == k)
        if got != totals.get(k, 0):
            bad.append("%s: %d lines expected, %d logged or summed up" % (k, totals.get(k, 0), got))
    for line, n in sorted(seen.items()):
        if line not in expected and not any(line.startswith(b) for b in benign):
            bad.append("%r: logged %d times, not expected" % (line, n))
    return bad


def burst(seed, count, state, key, sid, token, tun_up, maxlen=1472):
    """count hostile datagrams that leave the session as it is (none of them may reject, close or
    establish it), with the line each must produce."""
    rng = random.Random(seed)
    out = []
    while len(out) < count:
        d = hostile(rng, key, sid, token, maxlen)
        line, effect = client_line(state, d, key, tun_up)
        if effect in ("reject", "reset", "established", "close"):
            continue
        out.append((d, line, effect))
    return out
