#!/usr/bin/env python3
"""The Wireshark dissector against hand-built datagrams: every packet type, every option, the
signature check with the right and a wrong salt, malformed option lists, short datagrams,
EDATA deciphered with a key given as hex or as user:password (one- and two-block MD5 inputs),
and the heuristic that finds the protocol on a port nobody set, but never takes 4500 from
IPsec NAT traversal.

usage: dissector_frames.py SDWAN_LUA [SALT]   (SALT as "0x3C,0xA5", the build's salt)
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

LUA = sys.argv[1]
SALT_TEXT = sys.argv[2] if len(sys.argv) > 2 else "0x3C,0xA5"
SALT = bytes(int(x, 0) for x in SALT_TEXT.split(","))

FAILS = []

if shutil.which("tshark") is None:
    print("FAIL: tshark is not installed (scripts/deps.sh installs it)")
    sys.exit(1)


def md5(b):
    return hashlib.md5(b).digest()


def hdr(t, enc=0, sid=b"\0\0", token=b"\0\0\0\0"):
    return bytes([t, enc]) + sid + token


def ctrl(t, body=b"", enc=0, sid=b"\0\0", token=b"\0\0\0\0", salt=SALT, tamper=False):
    h = hdr(t, enc, sid, token)
    sig = bytearray(md5(h + salt))
    if tamper:
        sig[5] ^= 0x40
    return h + bytes(sig) + body


def opt(t, value, length=None):
    return bytes([t, len(value) + 2 if length is None else length]) + value


def ip4(a):
    return bytes(int(x) for x in a.split("."))


def csum(b):
    if len(b) % 2:
        b += b"\0"
    s = sum(struct.unpack("!%dH" % (len(b) // 2), b))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return (~s) & 0xFFFF


def icmp_echo(src, dst, payload_len=29):
    # An odd payload length leaves a tail of less than 8 bytes for the cipher.
    icmp = bytearray(struct.pack("!BBHHH", 8, 0, 0, 0x1234, 7) + bytes(range(payload_len)))
    struct.pack_into("!H", icmp, 2, csum(bytes(icmp)))
    iph = bytearray(struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(icmp), 1, 0, 64, 1, 0, ip4(src), ip4(dst)))
    struct.pack_into("!H", iph, 10, csum(bytes(iph)))
    return bytes(iph) + bytes(icmp)


def xor(payload, key):
    return bytes(b ^ key[i % 8] for i, b in enumerate(payload))


PORT = 47474  # no dissector of Wireshark's own claims it


def udp_frame(payload, sport=PORT, dport=40000):
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    iph = bytearray(struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 1, 0, 64, 17, 0,
                                ip4("10.92.0.2"), ip4("10.91.0.2")))
    struct.pack_into("!H", iph, 10, csum(bytes(iph)))
    eth = b"\x02\0\0\0\0\x01" + b"\x02\0\0\0\0\x02" + b"\x08\x00"
    return eth + bytes(iph) + udp


def write_pcap(path, frames):
    with open(path, "wb") as fp:
        fp.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for i, fr in enumerate(frames):
            fp.write(struct.pack("<IIII", 1700000000 + i, 0, len(fr), len(fr)))
            fp.write(fr)


FIELDS = ["sdwan.type", "sdwan.sid", "sdwan.signature.status", "sdwan.signature.expected",
          "sdwan.opt.type", "sdwan.opt.len", "sdwan.opt.user", "sdwan.opt.pass", "sdwan.opt.mtu",
          "sdwan.opt.ip", "sdwan.opt.dns", "sdwan.opt.gateway", "sdwan.opt.encrypt",
          "sdwan.opt.duppkt", "sdwan.opt.pipe", "sdwan.opt.pipe.idx", "sdwan.opt.pipe.id",
          "sdwan.opt.value", "sdwan.echo.tick", "sdwan.echo.cur_delay", "sdwan.echo.min_delay",
          "sdwan.echo.max_delay", "sdwan.payload", "ip.dst", "icmp.type", "icmp.seq",
          "_ws.expert.message", "_ws.malformed", "sdwan.sealed.version", "sdwan.sealed.receiver",
          "sdwan.sealed.sender", "sdwan.sealed.ephemeral", "sdwan.sealed.noise.tag", "sdwan.sealed.counter",
          "sdwan.sealed.ciphertext", "sdwan.sealed.tag"]


def decode(pcap, extra):
    cmd = ["tshark", "-n", "-X", "lua_script:" + LUA, "-r", pcap, "-T", "fields",
           "-E", "separator=\t", "-E", "occurrence=a", "-E", "aggregator=;", "-E", "quote=n"]
    cmd += extra
    for fld in FIELDS:
        cmd += ["-e", fld]
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    noise = [l for l in r.stderr.splitlines() if l.strip() and "could be dangerous" not in l]
    if r.returncode != 0 or noise:
        FAILS.append("tshark %s failed (%d): %s" % (" ".join(extra), r.returncode, "\n".join(noise)))
        return []
    rows = []
    for line in r.stdout.splitlines():
        vals = line.split("\t")
        vals += [""] * (len(FIELDS) - len(vals))
        rows.append(dict(zip(FIELDS, vals)))
    return rows


def run_case(name, frames, expect, extra=(), port_pref=True):
    """frames: payloads (or (payload, sport, dport)); expect: one dict per frame of field:
    value, where None means the field must be absent, "*" that it must be present, and a value
    starting with '~' must be contained. With port_pref, PORT is set as the port preference, so
    that frames the heuristic would refuse are dissected too."""
    with tempfile.TemporaryDirectory(prefix="sdwan-frames.") as d:
        pcap = os.path.join(d, "frames.pcap")
        write_pcap(pcap, [udp_frame(*f) if isinstance(f, tuple) else udp_frame(f) for f in frames])
        rows = decode(pcap, (["-o", "sdwan.port:%d" % PORT] if port_pref else []) + list(extra))
    if len(rows) != len(frames):
        FAILS.append("%s: %d rows for %d frames" % (name, len(rows), len(frames)))
        return
    for i, (row, exp) in enumerate(zip(rows, expect)):
        if "Lua Error" in row["_ws.expert.message"]:
            FAILS.append("%s frame %d: %s" % (name, i + 1, row["_ws.expert.message"]))
        for fld, want in exp.items():
            got = row[fld]
            if want is None:
                ok = got == ""
            elif want == "*":
                ok = got != ""
            elif want.startswith("~"):
                ok = want[1:] in got
            else:
                ok = got == want
            if not ok:
                FAILS.append("%s frame %d: %s = %r, want %r" % (name, i + 1, fld, got, want))


OUTER = "10.91.0.2"  # the capture's own IP header comes first
PASSBLK = bytes(range(0xA0, 0xB0))
OPEN = ctrl(19, opt(3, b"\x05\x78") + opt(1, b"bob") + opt(2, PASSBLK) + opt(8, b"\x01") + opt(10, b"\x80\x05"),
            enc=1)
ACK = ctrl(18, opt(4, ip4("10.8.0.7")) + opt(6, ip4("10.8.0.1")) + opt(3, b"\x05\x78")
           + opt(5, ip4("10.8.0.1") + ip4("10.8.0.9")) + opt(8, b"\x01") + opt(9, b"\x02") + opt(7, b"\xde\xad"),
           enc=1, sid=b"\x01\x02", token=b"\xaa\xbb\xcc\xdd")
SID = {"sdwan.sid": "513"}
TICK = 0x0102030405060708
ECHOREQ = ctrl(21, struct.pack("<QIII", TICK, 10, 5, 20), sid=b"\x01\x02")
ECHORESP = ctrl(22, struct.pack("<Q", TICK), sid=b"\x01\x02")
PING = icmp_echo("10.8.0.7", "10.93.0.2")
KEY = md5(b"alice" + b"wonderland")[:8]
LONG_USER, LONG_PASS = "u" * 31, "p" * 31  # 62 bytes: MD5 pads into a second block
LONG_KEY = md5((LONG_USER + LONG_PASS).encode())[:8]

# Every type and option with the default preferences (the build's salt, no key) on the port
# of the preference.
run_case("default", [
    OPEN, ACK,
    ctrl(18, opt(4, ip4("10.8.0.7")), sid=b"\x01\x02", tamper=True),
    ctrl(18, opt(3, b"\x05\x78\x00", length=5) + opt(4, ip4("10.8.0.7"))),
    ctrl(18, opt(7, b"", length=1) + opt(4, ip4("10.8.0.7"))),
    ctrl(18, opt(4, ip4("10.8.0.7")) + bytes([6, 9, 10, 8])),
    ctrl(18, opt(4, ip4("10.8.0.7")) + b"\x06"),
    ECHOREQ, ECHORESP,
    ctrl(22, b"\x01\x02\x03"),
    hdr(20, sid=b"\x01\x02") + PING,
    hdr(24, enc=1, sid=b"\x01\x02") + xor(PING, KEY),
    ctrl(17), ctrl(23, sid=b"\x01\x02"),
    b"\x13\x00\x00\x00\x00",
    hdr(19) + b"\0" * 12,
    hdr(99) + b"xyz",
], [
    {"sdwan.type": "19", "sdwan.signature.status": "1", "sdwan.opt.type": "3;1;2;8;10", "sdwan.opt.mtu": "1400",
     "sdwan.opt.user": "bob", "sdwan.opt.pass": PASSBLK.hex(), "sdwan.opt.encrypt": "1", "sdwan.opt.pipe": "0x8005",
     "sdwan.opt.pipe.idx": "1", "sdwan.opt.pipe.id": "5", "sdwan.signature.expected": None,
     "_ws.expert.message": None, "_ws.malformed": None},
    dict(SID, **{"sdwan.type": "18", "sdwan.signature.status": "1", "sdwan.opt.ip": "10.8.0.7",
                 "sdwan.opt.gateway": "10.8.0.1", "sdwan.opt.mtu": "1400", "sdwan.opt.dns": "10.8.0.1;10.8.0.9",
                 "sdwan.opt.encrypt": "1", "sdwan.opt.duppkt": "2", "sdwan.opt.type": "4;6;3;5;8;9;7",
                 "sdwan.opt.value": "dead", "_ws.expert.message": None, "_ws.malformed": None}),
    {"sdwan.signature.status": "0", "sdwan.signature.expected": md5(hdr(18, sid=b"\x01\x02") + SALT).hex(),
     "_ws.expert.message": "~Signature does not verify", "sdwan.opt.ip": "10.8.0.7"},
    {"sdwan.opt.len": "5;6", "sdwan.opt.mtu": None, "sdwan.opt.ip": "10.8.0.7",
     "_ws.expert.message": "MTU option of length 5, expected 4"},
    {"sdwan.opt.len": "1", "sdwan.opt.ip": None, "_ws.malformed": "*", "_ws.expert.message": "Option length 1 is less than 2"},
    {"sdwan.opt.ip": "10.8.0.7", "sdwan.opt.gateway": None,
     "_ws.expert.message": "Option runs 5 bytes past the datagram"},
    {"sdwan.opt.ip": "10.8.0.7", "_ws.expert.message": "Option head cut short at the end of the datagram"},
    dict(SID, **{"sdwan.type": "21", "sdwan.echo.tick": str(TICK), "sdwan.echo.cur_delay": "10",
                 "sdwan.echo.min_delay": "5", "sdwan.echo.max_delay": "20"}),
    dict(SID, **{"sdwan.type": "22", "sdwan.echo.tick": str(TICK), "sdwan.echo.cur_delay": None}),
    {"sdwan.type": "22", "sdwan.echo.tick": None, "_ws.expert.message": "Echo body without a whole tick"},
    dict(SID, **{"sdwan.type": "20", "ip.dst": OUTER + ";10.93.0.2", "_ws.malformed": None, "icmp.type": "8", "icmp.seq": "7"}),
    dict(SID, **{"sdwan.type": "24", "sdwan.payload": xor(PING, KEY).hex(), "ip.dst": OUTER,
                 "_ws.expert.message": "~set the key preference"}),
    {"sdwan.type": "17", "sdwan.signature.status": "1"},
    dict(SID, **{"sdwan.type": "23", "sdwan.signature.status": "1"}),
    {"sdwan.type": None, "_ws.expert.message": "Datagram shorter than the 8-byte header"},
    {"sdwan.type": "19", "sdwan.signature.status": None,
     "_ws.expert.message": "Control packet without a whole signature"},
    {"sdwan.type": "99", "_ws.expert.message": "Unknown packet type"},
])

EDATA = hdr(24, enc=1, sid=b"\x01\x02") + xor(PING, KEY)
DECODED = {"ip.dst": OUTER + ";10.93.0.2", "icmp.type": "8", "icmp.seq": "7"}
run_case("key as user:password", [EDATA], [DECODED], ["-o", "sdwan.key:alice:wonderland"])
run_case("key as hex", [EDATA], [DECODED], ["-o", "sdwan.key:" + KEY.hex()])
run_case("key from 62 bytes of credentials", [hdr(24, enc=1) + xor(PING, LONG_KEY)], [DECODED],
         ["-o", "sdwan.key:%s:%s" % (LONG_USER, LONG_PASS)])
run_case("wrong key", [EDATA], [{"icmp.type": None}], ["-o", "sdwan.key:alice:looking-glass"])
run_case("bad key text", [EDATA], [{"ip.dst": OUTER, "_ws.expert.message": "~key preference not understood"}],
         ["-o", "sdwan.key:0011"])

other = "0x%02X,0x%02X" % (SALT[0] ^ 0xFF, SALT[1])
run_case("another salt", [OPEN, ctrl(19, salt=bytes([SALT[0] ^ 0xFF, SALT[1]]))],
         [{"sdwan.signature.status": "0"}, {"sdwan.signature.status": "1"}], ["-o", "sdwan.salt:" + other])
run_case("no salt", [OPEN], [{"sdwan.signature.status": None, "sdwan.opt.user": "bob"}], ["-o", "sdwan.salt:"])

# The heuristic, without a port preference: each frame on a conversation of its own, but for
# the last pair, where the EDATA that no heuristic could recognise follows a verified OPEN.
TAMPERED = ctrl(18, opt(4, ip4("10.8.0.7")), sid=b"\x01\x02", tamper=True)
run_case("heuristic", [
    (OPEN, PORT, 40001), (TAMPERED, PORT, 40002), (hdr(20) + PING, PORT, 40003),
    (hdr(20) + PING[:10] + b"\xff" + PING[11:], PORT, 40004), (hdr(20) + bytes(range(40)), PORT, 40005),
    (EDATA, PORT, 40006), (hdr(99) + b"xyz", PORT, 40007), (OPEN, PORT, 40008), (EDATA, PORT, 40008),
], [
    {"sdwan.type": "19", "sdwan.opt.user": "bob"},
    {"sdwan.type": None},
    {"sdwan.type": "20", "icmp.type": "8"},
    {"sdwan.type": None},  # a header checksum that does not add up
    {"sdwan.type": None},
    {"sdwan.type": None},  # EDATA: nothing to check it by without the key
    {"sdwan.type": None},
    {"sdwan.type": "19"},
    {"sdwan.type": "24", "sdwan.payload": "*"},
], port_pref=False)
run_case("heuristic deciphers EDATA with the key", [(EDATA, PORT, 40009)], [dict(DECODED, **{"sdwan.type": "24"})],
         ["-o", "sdwan.key:alice:wonderland"], port_pref=False)
run_case("heuristic with another salt", [(OPEN, PORT, 40010)], [{"sdwan.type": None}],
         ["-o", "sdwan.salt:" + other], port_pref=False)

# 4500 belongs to IPsec NAT traversal: only the port preference or Decode As takes it.
run_case("4500 is not claimed", [(OPEN, 4500, 40000)], [{"sdwan.type": None}], port_pref=False)
run_case("port preference", [(OPEN, 4500, 40000), (hdr(99) + b"xyz", 4500, 40001)],
         [{"sdwan.type": "19"}, {"sdwan.type": "99"}], ["-o", "sdwan.port:4500"], port_pref=False)
run_case("decode as", [(hdr(99) + b"xyz", 4600, 40000)], [{"sdwan.type": "99"}],
         ["-d", "udp.port==4600,sdwan"], port_pref=False)

# The sealed session: little-endian indices and counter, the Noise message split into key and
# tag, the sealed part opaque; the heuristic takes only exact SINIT/SRESP lengths with version
# 1, zero reserved bytes, non-zero indices and an ephemeral key below 2^255, and SDATA of 33
# bytes or more with a counter below 2^40.
EPH, HTAG = bytes(range(0x40, 0x60)), bytes(range(0xE0, 0xF0))
SINIT = bytes([32, 1, 0, 0]) + struct.pack("<I", 0x11223344) + EPH + HTAG
SRESP = bytes([33, 1, 0, 0]) + struct.pack("<II", 0x11223344, 0x55667788) + EPH + HTAG
SEALED, STAG = bytes(range(1, 18)), bytes(range(0xC0, 0xD0))
SDATA = bytes([34, 0, 0, 0]) + struct.pack("<IQ", 0x55667788, 0x0000000102030405) + SEALED + STAG
SFIELDS = ("sdwan.sealed.version", "sdwan.sealed.receiver", "sdwan.sealed.sender", "sdwan.sealed.ephemeral",
           "sdwan.sealed.noise.tag", "sdwan.sealed.counter", "sdwan.sealed.ciphertext", "sdwan.sealed.tag")
CTR = str(0x0102030405)
sealed_rows = [
    (SINIT, ("1", None, str(0x11223344), EPH.hex(), HTAG.hex(), None, None, None)),
    (SRESP, ("1", str(0x11223344), str(0x55667788), EPH.hex(), HTAG.hex(), None, None, None)),
    (SDATA, (None, str(0x55667788), None, None, None, CTR, SEALED.hex(), STAG.hex())),
    (SDATA[:33], (None, str(0x55667788), None, None, None, CTR, SEALED[:1].hex(), SEALED[1:].hex())),
]
sealed_rows = [(fr, dict(zip(SFIELDS, vals), **{
    "sdwan.type": str(fr[0]), "sdwan.sid": None, "_ws.malformed": None,
    "_ws.expert.message": "~opens only at the two ends" if fr[0] == 34 else None})) for fr, vals in sealed_rows]
run_case("sealed", [fr for fr, _ in sealed_rows] + [SINIT + b"\0", SDATA[:32]], [e for _, e in sealed_rows] + [
    {"sdwan.type": "32", "sdwan.sealed.sender": None, "_ws.expert.message": "SINIT of 57 bytes, expected 56"},
    {"sdwan.type": "34", "sdwan.sealed.counter": None, "_ws.expert.message": "SDATA of 32 bytes, expected at least 33"},
])
near = [SINIT, SINIT + b"\0", SINIT[:55], SINIT[:1] + b"\2" + SINIT[2:], SINIT[:3] + b"\1" + SINIT[4:],
        SINIT[:4] + b"\0" * 4 + SINIT[8:], SRESP, SRESP[:8] + b"\0" * 4 + SRESP[12:], SRESP[:59], SDATA,
        SINIT[:39] + b"\x80" + SINIT[40:], SRESP[:43] + b"\xdf" + SRESP[44:],
        SDATA[:32], SDATA[:2] + b"\1" + SDATA[3:], SDATA[:4] + b"\0" * 4 + SDATA[8:], SDATA[:13] + b"\1" + SDATA[14:]]
taken = [1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0]
run_case("sealed heuristic", [(fr, PORT, 41000 + i) for i, fr in enumerate(near)],
         [{"sdwan.type": str(fr[0]) if t else None} for fr, t in zip(near, taken)], port_pref=False)

if FAILS:
    for f in FAILS:
        print("FAIL:", f)
    sys.exit(1)
print("PASS")
