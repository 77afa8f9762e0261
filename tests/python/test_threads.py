"""Eight Python threads sharing one key pair call every entry point at once.

Each thread runs a random mix of accepted and refused calls for a few
seconds; every result is decrypted and compared with the plaintext it must
hold, every refusal with its exact exception. Batches of different threads
meet on the one worker pool, and item conversions that let go of the
interpreter lock interleave with other threads' batches.
"""

import random
import threading
import time
import traceback

import pytest

import hecrypt
import oracle
from refusals import MIXED, refused as refusal_of

THREADS = 8
SECONDS = 3.0
JOIN_GRACE = 60.0  # a slow key generation may overrun the deadline, a deadlock never ends

NOT_IN_RANGE = "block #1 names index {} at position 2, and only {} ciphertexts were given"


class Yielding:
    """A value whose conversion lets other threads run."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return float(self.value)


class Shared:
    """The key pair and ciphertexts of known integers, read by every thread."""

    def __init__(self, keypair):
        self.pk, self.sk = keypair
        self.ints = list(range(-6, 7))
        self.blobs = hecrypt.encrypt_many(self.pk, [float(v) for v in self.ints], 0)
        self.half = hecrypt.encrypt_many(self.pk, [0.5], 1)[0]  # scale 1
        self.keygen_claimed = threading.Lock()

    def pick(self, rng, count):
        picks = [rng.randrange(len(self.ints)) for _ in range(count)]
        return [self.blobs[i] for i in picks], [self.ints[i] for i in picks]

    def plain(self, blobs):
        return [int(t) for t in hecrypt.decrypt_many(self.sk, blobs)]


def encrypt(s, rng):
    values = [rng.randint(-10**6, 10**6) for _ in range(rng.randint(0, 6))]
    items = [Yielding(v) if rng.random() < 0.5 else v for v in values]
    assert s.plain(hecrypt.encrypt_many(s.pk, items, 0)) == values


def encrypt_scaled(s, rng):
    value = rng.randint(-999, 999) / 100
    blob = hecrypt.encrypt_many(s.pk, [value], scale_pow10=2)[0]
    assert blob[0] == 2 and hecrypt.decrypt(s.sk, blob) == value


def add_many(s, rng):
    blobs, ints = s.pick(rng, rng.randint(1, 8))
    assert s.plain([hecrypt.add_many(s.pk, blobs)]) == [sum(ints)]


def add_blocks(s, rng):
    blocks = [[rng.randrange(len(s.blobs)) for _ in range(rng.randint(1, 5))]
              for _ in range(rng.randint(0, 6))]
    sums = hecrypt.add_blocks(s.pk, s.blobs, blocks)
    assert s.plain(sums) == [sum(s.ints[i] for i in block) for block in blocks]


def multiply(s, rng):
    blobs, ints = s.pick(rng, rng.randint(1, 3))
    scalars = [rng.choice([-3, -1, 2, 7]) for _ in blobs]
    function = rng.choice([hecrypt.multiply_many, hecrypt.multiply_many_public])
    products = function(s.pk, blobs, scalars, 0)
    assert s.plain(products) == [x * k for x, k in zip(ints, scalars)]


def rerandomize(s, rng):
    blobs, ints = s.pick(rng, rng.randint(1, 5))
    fresh = hecrypt.rerandomize(s.pk, blobs)
    assert s.plain(fresh) == ints and not set(fresh) & set(blobs)


def decrypt_one(s, rng):
    assert hecrypt.decrypt(s.sk, s.half) == 0.5


def key_members(s, rng):
    raw = s.pk.modulus_bytes()
    assert len(raw) * 8 - 8 < oracle.modulus_of(s.pk).bit_length() <= len(raw) * 8
    assert s.pk.exponent_bits > 0 and s.pk.plaintext_bound_bits > 0


def peer_key(s, rng):
    if rng.random() > 0.05:  # assembling a key costs a full exponentiation
        return
    peer = hecrypt.PublicKey.from_n(s.pk.modulus_bytes())
    assert s.plain(hecrypt.encrypt_many(peer, [42.0, -1.0], 0)) == [42, -1]


def generate_once(s, rng):
    if not s.keygen_claimed.acquire(blocking=False):
        with pytest.raises(ValueError, match="^modulus of 1024 bits is refused: "):
            hecrypt.generate_keypair(1024)
        return
    pk, sk = hecrypt.generate_keypair(2048)
    blobs = hecrypt.encrypt_many(pk, [3.0, -4.0], 0)
    assert hecrypt.decrypt_many(sk, blobs) == ["3", "-4"]


def refused(s, rng):
    pk, sk = s.pk, s.sk
    blob = s.blobs[0]
    case = rng.randrange(6)
    if case == 0:
        assert refusal_of(hecrypt.add_many, pk, [blob, s.half]) == MIXED.format(2, 1, 0)
    elif case == 1:
        assert refusal_of(hecrypt.add_blocks, pk, s.blobs, [[0, len(s.blobs)]]) == \
            NOT_IN_RANGE.format(len(s.blobs), len(s.blobs))
    elif case == 2:
        bad = rng.randrange(8)
        blobs = [blob] * 8
        blobs[bad] = b""
        function, key = rng.choice([(hecrypt.rerandomize, pk), (hecrypt.decrypt_many, sk)])
        with pytest.raises(ValueError, match=f"^ciphertext #{bad + 1}: ciphertext is empty"):
            function(key, blobs)
    elif case == 3:
        with pytest.raises(ValueError, match="^scalar #1 encodes to zero "):
            hecrypt.multiply_many(pk, [blob], [0.0])
    elif case == 4:
        assert refusal_of(hecrypt.encrypt_many, pk, [1.0, Yielding(2), "x"], error=TypeError) == \
            "argument 'values': must be real number, not str"
    else:
        assert refusal_of(hecrypt.decrypt, pk, blob, error=TypeError) == \
            "argument 'sk': 'PublicKey' object cannot be converted to 'SecretKey'"


OPERATIONS = [encrypt, encrypt_scaled, add_many, add_blocks, multiply, rerandomize, decrypt_one,
              key_members, peer_key, generate_once, refused]


def test_every_function_from_eight_threads(keypair):
    shared = Shared(keypair)
    deadline = time.monotonic() + SECONDS
    calls = [dict.fromkeys((op.__name__ for op in OPERATIONS), 0) for _ in range(THREADS)]
    failures = []
    start = threading.Barrier(THREADS)

    def run(index):
        rng = random.Random(index)
        try:
            start.wait()
            if index == 0:
                generate_once(shared, rng)  # the one real key generation, first
                calls[0]["generate_once"] += 1
            while time.monotonic() < deadline:
                operation = rng.choice(OPERATIONS)
                operation(shared, rng)
                calls[index][operation.__name__] += 1
        except BaseException:
            failures.append(traceback.format_exc())

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(max(0.0, deadline + JOIN_GRACE - time.monotonic()))
    stuck = [t.name for t in threads if t.is_alive()]
    assert not stuck, f"threads still running (deadlock?): {stuck}"
    assert not failures, failures[0]
    totals = {name: sum(c[name] for c in calls) for name in calls[0]}
    print(f"{THREADS} threads, {sum(totals.values())} calls: {totals}")
    assert all(sum(c.values()) > 0 for c in calls)
    assert all(totals.values()), totals
