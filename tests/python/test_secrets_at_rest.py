"""Once a key pair is gone, none of its secrets is left in the process's
memory: not on the stack of a thread that generated, sealed, unsealed or used
it (to decrypt, or to encrypt with the primes, plain or packed), not on the
stacks of the pool's workers, not in freed heap blocks.

The check runs in a fresh interpreter (this file run as a script), so that it
sees only what one key's life leaves. That process learns the secrets from
its live SecretKey's record through ctypes, uses the key, lets it go, and
reads every readable private mapping of its own memory from /proc/self/mem.

The scan must not make copies of what it looks for. Python ints hold 30-bit
digits, not 64-bit limbs, so the secrets may live as ints; bytes objects and
the hashes a set or dict keeps (an int below 2^61 - 1 is its own hash) would
hold limbs as they are. So every limb is looked for as its image under a
fixed byte permutation, and memory is permuted the same way (bytes.translate)
before it is compared; it is read into one buffer, whose own range is skipped.
"""

import ctypes
import gc
import json
import os
import threading

import hecrypt
from children import run
from hecrypt import keyholder, packed

# A bijection of byte values without a fixed point (166 b + 13 is odd), so a
# permuted limb left in memory never reads as the limb it stands for.
PERMUTATION = bytes((167 * b + 13) % 256 for b in range(256))

LIMB_MASK = (1 << 64) - 1
CHUNK = 1 << 20

# The secret fields of the record; the halves (p - 1)/2 and (q - 1)/2, which
# the primality tests work on, are looked for too.
SECRETS = ["p", "q", "p - 1", "q - 1", "p^2", "q^2", "hp", "hq", "p^-1 mod q"]


def permuted(limb):
    out = 0
    for k in range(0, 64, 8):
        out |= PERMUTATION[(limb >> k) & 0xFF] << k
    return out


def limbs(value):
    while value:
        yield value & LIMB_MASK
        value >>= 64


def mpz_at(address):
    """The value of the mpz at `address`, one limb read at a time."""
    size = abs(ctypes.c_int.from_address(address + 4).value)
    digits = ctypes.c_void_p.from_address(address + 8).value
    value = 0
    for i in range(size):
        value |= ctypes.c_uint64.from_address(digits + 8 * i).value << (64 * i)
    return value


def limb_count(x):
    return (x.bit_length() + 63) // 64


def ciphertext_constants(p, q, n):
    """The constants the key holder's tables keep to turn masks into
    ciphertexts: per prime r (s the other), s R^3 2^(64 e) mod r with R and
    e in the limbs of r and of n past r; for the recombination over the
    squares, (p^2)^-1 2^(64 d) mod q^2, d the limbs of its difference."""
    out = {}
    for name, r, s in (("p", p, q), ("q", q, p)):
        k = limb_count(r)
        e = 2 * k + max(limb_count(n), k)
        out[f"the factor's constant mod {name}"] = s * (1 << 64 * e) % r
        out[f"-{name}^-1 mod 2^64"] = -pow(r, -1, 1 << 64) % (1 << 64)
    d = max(limb_count(q * q), limb_count(p * p) + 1) + 1
    out["(p^2)^-1 2^(64 d) mod q^2"] = pow(p * p, -1, q * q) * (1 << 64 * d) % (q * q)
    return out


def secrets_of(sk, n):
    """The key's secrets by name, checked against the twelve mpz fields that
    the SecretKey's record holds (found by value, not by position)."""
    record = ctypes.c_void_p.from_address(id(sk) + object.__basicsize__).value
    fields = [mpz_at(record + 16 * i) for i in range(12)]
    p, q = [f for f in fields if 1 < f < n and n % f == 0]

    def h(r):
        g = ((r - 1) * n + 1) % (r * r)
        return pow((g - 1) // r, -1, r)

    values = {"p": p, "q": q, "p - 1": p - 1, "q - 1": q - 1, "p^2": p * p, "q^2": q * q,
              "hp": h(p), "hq": h(q), "p^-1 mod q": pow(p, -1, q),
              "(p - 1)/2": (p - 1) // 2, "(q - 1)/2": (q - 1) // 2,
              "(p^2)^-1 mod q^2": pow(p * p, -1, q * q)}
    # The Montgomery constants of the key holder's tables modulo p^2 and q^2,
    # -m^-1 mod 2^64 among them: its low bits are m's.
    for name, square in (("p^2", p * p), ("q^2", q * q)):
        r = (1 << (64 * ((square.bit_length() + 63) // 64))) % square
        values[f"R mod {name}"], values[f"R^2 mod {name}"] = r, r * r % square
        values[f"-({name})^-1 mod 2^64"] = -pow(square, -1, 1 << 64) % (1 << 64)
    values.update(ciphertext_constants(p, q, n))
    public = [n, n * n, n // 2]
    assert sorted(fields) == sorted(public + [values[s] for s in SECRETS]), "record layout"
    return values


def byte_swapped(word):
    out = 0
    for k in range(0, 64, 8):
        out |= ((word >> k) & 0xFF) << (56 - k)
    return out


def needles(secrets, split=limbs):
    """Permuted limb -> (secret, limb index), leaving out the few limbs that
    ordinary words could equal: short ones (a top limb or digit below 2^32
    can match a count or a size somewhere in the heap) and those with fewer
    than 12 or more than 52 bits set. `split` gives a value's words."""
    found = {}
    for name, value in secrets.items():
        for i, limb in enumerate(split(value)):
            if limb.bit_length() > 32 and 12 <= bin(limb).count("1") <= 52:
                found[permuted(limb)] = (name, i)
    return found


def big_endian_needles(secrets):
    """The primes as a sealed key holds them before encryption: big-endian
    bytes, whose aligned words are the limbs byte-swapped (1024-bit primes
    fill whole words). The permutation acts byte by byte, so the swap is
    made on the permuted limb: the swapped limb itself is never formed."""
    found = {}
    for name in ("p", "q"):
        for i, limb in enumerate(limbs(secrets[name])):
            if 12 <= bin(limb).count("1") <= 52:
                found[byte_swapped(permuted(limb))] = (name + " as bytes", i)
    return found


class MemoryScan:
    def __init__(self):
        self.buffer = bytearray(CHUNK)
        self.address = ctypes.addressof((ctypes.c_char * CHUNK).from_buffer(self.buffer))

    def ranges(self):
        """Readable private mappings as (start, end, name), the buffer cut out."""
        with open("/proc/self/maps") as maps:
            lines = maps.read().splitlines()
        for line in lines:
            fields = line.split(maxsplit=5)
            start, end = (int(x, 16) for x in fields[0].split("-"))
            perms, name = fields[1], (fields[5] if len(fields) > 5 else "anonymous")
            if perms[0] != "r" or perms[3] != "p" or name.startswith(("[vvar", "[vsyscall")):
                continue
            mine = (self.address, self.address + CHUNK)
            for lo, hi in ((start, min(end, mine[0])), (max(start, mine[1]), end)):
                if lo < hi:
                    yield lo, hi, name

    def find(self, wanted):
        """(address, mapping, secret, limb index) of every 8-byte-aligned word
        of memory that is a limb of a secret."""
        hits = []
        with open("/proc/self/mem", "rb", buffering=0) as memory:
            for start, end, name in list(self.ranges()):
                for at in range(start, end, CHUNK):
                    length = min(CHUNK, end - at)
                    try:
                        memory.seek(at)
                        got = memory.readinto(memoryview(self.buffer)[:length])
                    except OSError:
                        continue
                    words = memoryview(self.buffer.translate(PERMUTATION)).cast("Q")[: got // 8]
                    if wanted.keys().isdisjoint(words):
                        continue
                    hits += [(hex(at + 8 * j), name) + wanted[w]
                             for j, w in enumerate(words) if w in wanted]
        ctypes.memset(self.address, 0, CHUNK)
        return hits


def scan_unavailable():
    """Why this process cannot scan its own memory, or None when it can."""
    if not os.access("/proc/self/mem", os.R_OK):
        return "/proc/self/mem is not readable"
    with open("/proc/self/maps") as maps:
        if "libasan" in maps.read():
            return "AddressSanitizer's shadow memory is terabytes of mappings"
    return None


def use_and_release():
    """What the child reports: the secrets seen while the key was alive, and
    every limb found once it was gone."""
    if reason := scan_unavailable():
        return {"skip": reason}
    pk, sk = hecrypt.generate_keypair(2048)
    secrets = secrets_of(sk, int.from_bytes(pk.modulus_bytes(), "big"))
    wanted = needles(secrets) | big_endian_needles(secrets)
    floats = hecrypt.encrypt_many(pk, [1.5, -2.25, 3e6, -7.0] * 4)
    exact = hecrypt.encrypt_many(pk, [5.0, -9.0] * 8, 0)
    assert [hecrypt.decrypt(sk, b) for b in floats[:4]] == [1.5, -2.25, 3e6, -7.0]
    assert hecrypt.decrypt_many(sk, exact) == ["5", "-9"] * 8  # on the pool's workers
    # A thread of its own, with a small stack.
    threading.stack_size(256 * 1024)
    other = threading.Thread(target=lambda: hecrypt.decrypt_many(sk, exact[:1]))
    other.start()
    other.join()
    # Sealed and reopened: the passphrase's key and the primes in the clear
    # pass through buffers of their own.
    reopened = keyholder.unseal(keyholder.seal(sk, "a passphrase"), "a passphrase")[1]
    assert hecrypt.decrypt_many(reopened, exact) == ["5", "-9"] * 8
    # Encrypted with the primes: both keys build their tables modulo p^2 and
    # q^2, and the masks pass through the CRT, for plain and packed blobs.
    for key in (sk, reopened):
        mine = keyholder.encrypt_many(key, [5.0, -9.0] * 40, 0)
        assert hecrypt.decrypt_many(key, mine) == ["5", "-9"] * 40
        rows = packed.encrypt(key, [[5.0, -9.0]] * 20, 0)
        assert packed.decrypt(key, rows) == [5.0, -9.0] * 20
    scan = MemoryScan()
    seen_live = sorted({hit[2] for hit in scan.find(wanted)})
    del sk, reopened, key
    gc.collect()
    return {"seen_live": seen_live, "left": scan.find(wanted)}


def child_report(script, timeout, portable=None):
    """The report the test file `script` prints when run in a fresh
    interpreter with two pool threads; the test is skipped when the child
    could not scan its memory."""
    with open(script) as source:
        report = json.loads(run(source.read(), portable=portable, threads=2, timeout=timeout))
    if "skip" in report:
        import pytest

        pytest.skip(report["skip"])
    return report


def places_left(report):
    return sorted({f"{secret} in {mapping}" for _, mapping, secret, _ in report["left"]})


def test_no_secret_is_left_in_memory_once_the_key_is_gone():
    report = child_report(__file__, 120)
    # Proof that the scan can see a secret where one is: the live record.
    assert set(SECRETS) | {"(p^2)^-1 2^(64 d) mod q^2"} <= set(report["seen_live"])
    assert places_left(report) == [], f"{len(report['left'])} limbs left: {report['left'][:4]}"


if __name__ == "__main__":
    print(json.dumps(use_and_release()))
