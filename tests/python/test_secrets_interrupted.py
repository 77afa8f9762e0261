"""A call stopped part-way leaves no secret behind: after Ctrl-C in the middle
of multiply_many and of decrypt_many, on the 8-lane engine and on the portable
one, nothing of the key (its limbs, the 52-bit digits and Montgomery constants
of p^2 and q^2, neg_inv among them) or of the secret scalars (as the doubles
handed in, as integers, as exponent words, as digits) is left in memory once
the key is gone and the caller has cleared its own copy.

The check runs in a fresh interpreter, as test_secrets_at_rest's does, with
its memory scan and its permuted needles. The scalars are handed over as ints
(the list path) and as a float64 buffer written as raw words and zeroed by the
caller after the call (the buffer path): no Python float, which the
interpreter frees without clearing, ever holds one of them.
"""

import ctypes
import gc
import json
import random
from functools import partial

import pytest

import hecrypt
from children import interrupted_after
from test_secrets_at_rest import (SECRETS, MemoryScan, child_report, needles, places_left,
                                  scan_unavailable, secrets_of)

DIGIT_BITS = 52
DIGIT = (1 << DIGIT_BITS) - 1
WORD = (1 << 64) - 1
COUNT = 64  # distinct secret scalars
# Pairs per product call: seconds of work, yet a converted copy small enough
# for the heap (past 128 KiB the allocator maps blocks of their own, which
# are unmapped when freed and so could not show what was left in them).
PRODUCTS = 8192
DECRYPTIONS = 192000  # blobs per decryption call, likewise


def digits52(value):
    while value:
        yield value & DIGIT
        value >>= DIGIT_BITS


def word(value):
    yield value & WORD


def lane_needles(secrets):
    """p^2 and q^2 as the 8-lane engine holds them: digits of the modulus, of
    R mod m and R^2 mod m, and -m^-1 mod 2^52 (neg_inv), for R = 2^(52 k)."""
    digits, inverses = {}, {}
    for name in ("p^2", "q^2"):
        m = secrets[name]
        r = 1 << (DIGIT_BITS * ((m.bit_length() + 2 + DIGIT_BITS - 1) // DIGIT_BITS))
        digits.update({f"{name} in digits": m, f"R mod {name}": r % m, f"R^2 mod {name}": r * r % m})
        inverses[f"neg_inv of {name}"] = -pow(m, -1, 1 << DIGIT_BITS) % (1 << DIGIT_BITS)
    return {**needles(digits, split=digits52), **needles(inverses, split=word)}


def double_bits(v):
    """The bits of the double that holds the integer v, |v| < 2^53, worked out
    without making a float."""
    magnitude = abs(v)
    top = magnitude.bit_length() - 1
    return (v < 0) << 63 | (1023 + top) << DIGIT_BITS | (magnitude << (DIGIT_BITS - top)) & DIGIT


def scalar_needles(scalars):
    """Each scalar (at scale 0, so k = v) in every form the call gives it."""
    forms = {}
    for i, k in enumerate(scalars):
        forms[f"scalar {i} as a double"] = double_bits(k)
        forms[f"scalar {i} as |k|"] = abs(k)
        forms[f"scalar {i} as the word of k + 3 2^64"] = k + (3 << 64)
        forms[f"scalar {i} as its low digit"] = abs(k) & DIGIT
    return needles(forms, split=word)


def float64_words(values):
    """A float64 buffer of `values` (ints), written as raw 64-bit words."""
    words = (ctypes.c_uint64 * len(values))()
    for i, v in enumerate(values):
        words[i] = double_bits(v)
    return words


def interrupt_and_scan():
    """What the child reports: which needles a scan saw where they must be
    (proof that it can see them), and every needle found once the caller's
    buffers are cleared and the key is gone."""
    if reason := scan_unavailable():
        return {"skip": reason}
    pk, sk = hecrypt.generate_keypair(2048)
    secrets = secrets_of(sk, int.from_bytes(pk.modulus_bytes(), "big"))
    key = {**needles({name: secrets[name] for name in SECRETS}), **lane_needles(secrets)}
    chosen = random.Random(14)
    scalars = [chosen.choice((-1, 1)) * chosen.randrange(1 << 44, 1 << 50) for _ in range(COUNT)]
    wanted = scalar_needles(scalars)
    blobs = hecrypt.encrypt_many(pk, [1.0] * COUNT, 0)
    scan = MemoryScan()

    # Each product call is followed by its own scan: a later call of the same
    # sizes would reuse, and so overwrite, what the one before freed.
    repeat = PRODUCTS // COUNT
    left = []
    for count, stop in ((COUNT, False), (PRODUCTS, True)):
        pairs = (blobs * repeat)[:count]
        for as_buffer in (False, True):
            given = (scalars * repeat)[:count]
            words = float64_words(given)
            with memoryview(words).cast("B").cast("d") as doubles:
                call = partial(hecrypt.multiply_many, pk, pairs, doubles if as_buffer else given, 0)
                interrupted_after(call) if stop else call()
            ctypes.memset(words, 0, ctypes.sizeof(words))
            left += scan.find(wanted)
    shown = float64_words(scalars)
    seen_live = [hit[2].split(" as ")[-1] for hit in scan.find(wanted)]
    ctypes.memset(shown, 0, ctypes.sizeof(shown))

    interrupted_after(lambda: hecrypt.decrypt_many(sk, blobs * (DECRYPTIONS // COUNT)))
    seen_live += [hit[2] for hit in scan.find(key)]
    del sk
    gc.collect()
    return {"seen_live": sorted(set(seen_live)), "left": left + scan.find({**key, **wanted})}


def cpu_has_ifma():
    with open("/proc/cpuinfo") as info:
        return "avx512ifma" in info.read()


@pytest.mark.parametrize("engine", ["ifma", "portable"])
def test_an_interrupted_call_leaves_no_secret_once_the_key_and_the_scalars_are_gone(engine):
    if engine == "ifma" and not cpu_has_ifma():
        pytest.skip("this CPU has no AVX-512 IFMA")
    report = child_report(__file__, 600, portable=engine == "portable")
    # Proof that the scan sees each kind where one is: the live record, the
    # live 8-lane context, the caller's own buffer.
    expected = set(SECRETS) | {"a double"}
    if engine == "ifma":
        expected |= {"neg_inv of p^2", "neg_inv of q^2", "p^2 in digits", "R mod q^2"}
    assert expected <= set(report["seen_live"])
    assert places_left(report) == [], f"{len(report['left'])} words left: {report['left'][:4]}"


if __name__ == "__main__":
    print(json.dumps(interrupt_and_scan()))
