#!/usr/bin/env python3
"""Soak test: many small batch calls of every function, with resident memory
watched throughout.

    PYTHONPATH=<build folder> python3 scripts/soak.py [--calls 10000] [--margin-mib 1]

Runs a seeded random mix of accepted and refused calls of every entry point
on one 2048-bit key pair, checks every result by decryption, and samples the
resident set size from /proc/self/statm before, during and after. The first
tenth of the calls is warm-up (the pool, per-thread generators, malloc arenas
and CPython's caches settle there); the run fails when the resident size at
the end exceeds the size after warm-up by more than the margin, since a leak
of even a few bytes per call grows without bound over the remaining calls.
"""

import argparse
import ctypes
import os
import random
import sys
import time

import hecrypt

PAGE = os.sysconf("SC_PAGE_SIZE")
MIB = 1024 * 1024


try:
    LIBC = ctypes.CDLL("libc.so.6")
except OSError:
    LIBC = None


def rss():
    """Resident bytes, once malloc has handed its free pages back: otherwise
    the room left by an earlier peak (a key generation, say) would absorb a
    leak for a long while before the resident size showed it."""
    if LIBC is not None and hasattr(LIBC, "malloc_trim"):
        LIBC.malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class FailsMidway(list):
    """A sequence whose iteration raises after its first item."""

    def __iter__(self):
        yield self[0]
        raise LookupError("midway")


class Soak:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.pk, self.sk = hecrypt.generate_keypair(2048)
        self.ints = list(range(-20, 21))
        self.blobs = hecrypt.encrypt_many(self.pk, [float(v) for v in self.ints], 0)
        self.scaled = hecrypt.encrypt_many(self.pk, [0.25], 2)[0]

    def pick(self, count):
        picks = [self.rng.randrange(len(self.ints)) for _ in range(count)]
        return [self.blobs[i] for i in picks], [self.ints[i] for i in picks]

    def plain(self, blobs):
        return [int(t) for t in hecrypt.decrypt_many(self.sk, blobs)]

    # ---- one call each (their checks decrypt, which is not counted as a call)

    def encrypt_many(self):
        values = [self.rng.randint(-10**9, 10**9) for _ in range(self.rng.randint(1, 4))]
        assert self.plain(hecrypt.encrypt_many(self.pk, values, 0)) == values

    def add_many(self):
        blobs, ints = self.pick(self.rng.randint(1, 16))
        assert self.plain([hecrypt.add_many(self.pk, blobs)]) == [sum(ints)]

    def add_blocks(self):
        blocks = [[self.rng.randrange(len(self.blobs)) for _ in range(self.rng.randint(1, 6))]
                  for _ in range(self.rng.randint(1, 4))]
        sums = hecrypt.add_blocks(self.pk, self.blobs, blocks)
        assert self.plain(sums) == [sum(self.ints[i] for i in block) for block in blocks]

    def multiply(self):
        blobs, ints = self.pick(self.rng.randint(1, 2))
        scalars = [self.rng.choice([-5, 3, 11]) for _ in blobs]
        function = self.rng.choice([hecrypt.multiply_many, hecrypt.multiply_many_public])
        assert self.plain(function(self.pk, blobs, scalars, 0)) == [
            x * k for x, k in zip(ints, scalars)]

    def rerandomize(self):
        blobs, ints = self.pick(self.rng.randint(1, 4))
        assert self.plain(hecrypt.rerandomize(self.pk, blobs)) == ints

    def decrypt(self):
        assert hecrypt.decrypt(self.sk, self.scaled) == 0.25

    def decrypt_many(self):
        blobs, ints = self.pick(self.rng.randint(1, 4))
        assert self.plain(blobs) == ints

    def key_members(self):
        peer_n = self.pk.modulus_bytes()
        assert self.pk.exponent_bits > 0 and self.pk.plaintext_bound_bits > 0
        if self.rng.random() < 0.02:  # a full exponentiation and a table build
            peer = hecrypt.PublicKey.from_n(peer_n)
            assert self.plain(hecrypt.encrypt_many(peer, [5.0], 0)) == [5]

    def generate_keypair(self):
        if self.rng.random() < 0.002:
            pk, sk = hecrypt.generate_keypair(2048)
            assert hecrypt.decrypt_many(sk, hecrypt.encrypt_many(pk, [9.0], 0)) == ["9"]
        else:
            expect(ValueError, hecrypt.generate_keypair, 1024)

    def refused(self):
        blob = self.blobs[0]
        case = self.rng.randrange(7)
        if case == 0:
            expect(ValueError, hecrypt.add_many, self.pk, [blob, self.scaled])
        elif case == 1:
            expect(ValueError, hecrypt.rerandomize, self.pk, [blob, b"", blob])
        elif case == 2:
            expect(ValueError, hecrypt.decrypt_many, self.sk, [blob, self.scaled])
        elif case == 3:
            expect(ValueError, hecrypt.multiply_many, self.pk, [blob], [0.0])
        elif case == 4:
            expect(TypeError, hecrypt.encrypt_many, self.pk, [1.0, "x"])
        elif case == 5:
            expect(LookupError, hecrypt.add_blocks, self.pk, self.blobs, FailsMidway([[0], [1]]))
        else:
            expect(ValueError, hecrypt.PublicKey.from_n, blob[:100])


def expect(error, function, *args):
    try:
        function(*args)
    except error:
        return
    raise AssertionError(f"{function.__name__} did not raise {error.__name__}")


OPERATIONS = ["encrypt_many", "add_many", "add_blocks", "multiply", "rerandomize", "decrypt",
              "decrypt_many", "key_members", "generate_keypair", "refused"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=10_000)
    parser.add_argument("--margin-mib", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    start = time.monotonic()
    initial = rss()
    soak = Soak(args.seed)
    warm_up = args.calls // 10
    samples = []
    counts = dict.fromkeys(OPERATIONS, 0)
    baseline = None
    for call in range(1, args.calls + 1):
        name = soak.rng.choice(OPERATIONS)
        getattr(soak, name)()
        counts[name] += 1
        if call == warm_up:
            baseline = rss()
        if call % (args.calls // 20) == 0:
            samples.append(rss())
    final = rss()
    growth = final - baseline

    print(f"{args.calls} calls in {time.monotonic() - start:.1f} s: {counts}")
    print(f"RSS at start {initial / MIB:.1f} MiB, after warm-up ({warm_up} calls) "
          f"{baseline / MIB:.1f} MiB, at the end {final / MIB:.1f} MiB "
          f"(growth {growth / MIB:+.2f} MiB, margin {args.margin_mib} MiB)")
    print("RSS during the run (MiB): " + " ".join(f"{s / MIB:.1f}" for s in samples))
    if growth > args.margin_mib * MIB:
        print("FAIL: resident memory kept growing after warm-up")
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
