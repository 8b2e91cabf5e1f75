"""Our Noise_NK_25519_ChaChaPoly_SHA256 against dissononce, an independent implementation.

usage: noise_interop.py NOISE_PEER

With fixed keys both implementations are deterministic, so a session between two dissononce
sides is the expected transcript. Then our program (noise_peer) takes each role against
dissononce in the other: every message it writes must be the transcript's bytes and must be
read by dissononce back to its payload, every message dissononce writes must be read by ours
back to its payload. A flipped bit in a handshake or a transport message is refused by both.
"""
import os
import subprocess
import sys

try:
    from dissononce.cipher.chachapoly import ChaChaPolyCipher
    from dissononce.dh.x25519.private import PrivateKey
    from dissononce.dh.x25519.x25519 import X25519DH
    from dissononce.hash.sha256 import SHA256Hash
    from dissononce.processing.handshakepatterns.interactive.NK import NKHandshakePattern
    from dissononce.processing.impl.cipherstate import CipherState
    from dissononce.processing.impl.handshakestate import HandshakeState
    from dissononce.processing.impl.symmetricstate import SymmetricState
except ImportError as exc:
    # scripts/deps.sh installs python3-dissononce; only a developer's machine may lack it.
    print(f"{'FAIL' if os.environ.get('CI') else 'SKIP'}: dissononce cannot be imported: {exc}")
    sys.exit(1 if os.environ.get("CI") else 77)

S_PRIV = bytes(range(1, 33))
E_PRIV = {True: bytes(range(0x20, 0x40)), False: bytes(range(0x40, 0x60))}
PROLOGUE = b"sealed-session-test"
S_PUB = X25519DH().generate_keypair(PrivateKey(S_PRIV)).public.data

I, R, REKEY = True, False, None
# (sender, payload); the first two are the handshake. "user\0password" is where the client's
# credentials go: its first transport message.
SCHEDULES = [
    [(I, b""), (R, b""), (I, b"user\0password"), (R, b""), (I, bytes(1000)), (R, b"\x01"),
     (REKEY, None), (I, b"after the rekey"), (R, bytes(range(256)) * 4)],
    [(I, b"payload in the first message"), (R, bytes(1000)), (R, b"two in a row"),
     (I, b""), (I, b"x")],
]


class Ref:
    """dissononce in one role, its ephemeral key fixed."""

    def __init__(self, initiator):
        dh = X25519DH()
        dh.generate_keypair = lambda privatekey=None: X25519DH.generate_keypair(
            dh, PrivateKey(E_PRIV[initiator]))
        self.hs = HandshakeState(SymmetricState(CipherState(ChaChaPolyCipher()), SHA256Hash()), dh)
        if initiator:
            self.hs.initialize(NKHandshakePattern(), True, PROLOGUE, rs=dh.create_public(S_PUB))
        else:
            self.hs.initialize(NKHandshakePattern(), False, PROLOGUE,
                               s=X25519DH().generate_keypair(PrivateKey(S_PRIV)))
        self.initiator = initiator
        self.send = self.recv = None

    def _split(self, pair):
        if pair:
            self.send, self.recv = pair if self.initiator else (pair[1], pair[0])

    def write(self, payload):
        if self.send is None:
            buf = bytearray()
            self._split(self.hs.write_message(payload, buf))
            return bytes(buf)
        return self.send.encrypt_with_ad(b"", payload)

    def read(self, msg):
        if self.send is None:
            buf = bytearray()
            self._split(self.hs.read_message(msg, buf))
            return bytes(buf)
        return self.recv.decrypt_with_ad(b"", msg)

    def rekey(self):
        # Rekey() as Noise defines it: the first 32 bytes of ENCRYPT(k, 2^64-1, "", zeros), the
        # nonce kept. (dissononce's own rekey keeps the tag as well and resets the nonce.)
        for cs in (self.send, self.recv):
            n = cs._nonce
            cs.initialize_key(cs.cipher.encrypt(cs._key, 2**64 - 1, b"", bytes(32))[:32])
            cs.set_nonce(n)


class Ours:
    def __init__(self, binary, initiator):
        key = S_PUB if initiator else S_PRIV
        self.p = subprocess.Popen(
            [binary, "initiator" if initiator else "responder", key.hex(), E_PRIV[initiator].hex(),
             PROLOGUE.hex()], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def _ask(self, line):
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()
        answer = self.p.stdout.readline().strip()
        if not answer and self.p.poll() is not None:
            raise RuntimeError(f"noise_peer exited with {self.p.returncode}")
        return answer

    def write(self, payload):
        return bytes.fromhex(self._ask("w " + payload.hex()))

    def read(self, msg):
        answer = self._ask("r " + msg.hex())
        if answer.startswith("ERR"):
            raise ValueError(answer)
        return bytes.fromhex(answer)

    def rekey(self):
        assert self._ask("k") == "ok"

    def close(self):
        self.p.stdin.close()
        self.p.wait(timeout=10)


passed = failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print(f"FAIL: {what}")


def transcript(schedule):
    side = {I: Ref(I), R: Ref(R)}
    out = []
    for sender, payload in schedule:
        if sender is REKEY:
            side[I].rekey()
            side[R].rekey()
            out.append(None)
        else:
            msg = side[sender].write(payload)
            assert side[not sender].read(msg) == payload
            out.append(msg)
    return out


def flip(msg, i):
    b = bytearray(msg)
    b[(7 * i) % len(b)] ^= 0x01
    return bytes(b)


def run(binary, schedule, expect, our_role, flip_at=None):
    ours, ref = Ours(binary, our_role), Ref(not our_role)
    name = "initiator" if our_role else "responder"
    try:
        for i, (sender, payload) in enumerate(schedule):
            where = f"ours as {name}, message {i}"
            if sender is REKEY:
                ours.rekey()
                ref.rekey()
                continue
            writer, reader = (ours, ref) if sender == our_role else (ref, ours)
            msg = writer.write(payload)
            if flip_at is None:
                check(msg == expect[i], f"{where}: {msg.hex()} is not {expect[i].hex()}")
                check(reader.read(msg) == payload, f"{where}: payload read back differs")
                continue
            if i < flip_at:
                reader.read(msg)
                continue
            try:
                reader.read(flip(msg, i))
                check(False, f"{where}: a flipped bit was accepted by {'dissononce' if reader is ref else 'ours'}")
            except Exception:
                check(True, "")
            return
    finally:
        ours.close()


def main():
    binary = sys.argv[1]
    for schedule in SCHEDULES:
        expect = transcript(schedule)
        for role in (I, R):
            run(binary, schedule, expect, role)
            for at, (sender, _) in enumerate(schedule):
                if sender is not REKEY:
                    run(binary, schedule, expect, role, flip_at=at)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
