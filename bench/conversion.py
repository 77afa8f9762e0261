"""Converting 100,000 numbers: Python lists against NumPy arrays.

Usage: PYTHONPATH=<build>:/usr/lib/python3/dist-packages python3 bench/conversion.py
(with the interpreter the system's NumPy is built for).

Only the conversion is timed. Each call converts its whole argument and is
then refused before any arithmetic: `multiply_many_public` given 100,000
scalars and no ciphertexts (a length mismatch), `add_blocks` given one block
of 100,000 indices and no ciphertexts (its first index is out of range).
Best of 15 calls.
"""

import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import hecrypt  # noqa: E402
import oracle  # noqa: E402

COUNT = 100_000


def best_time(call, repeat=15):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        try:
            call()
        except ValueError:
            pass
        else:
            raise AssertionError("the call was meant to be refused after its conversion")
        best = min(best, time.perf_counter() - start)
    return best


def main():
    pk = hecrypt.PublicKey.from_n(oracle.KEY_2048.modulus_bytes())
    rng = np.random.default_rng(1)
    scalars = rng.uniform(-1, 1, COUNT)
    indices = rng.integers(0, COUNT, COUNT)
    cases = [
        ("scalars", "list of float", scalars.tolist()),
        ("scalars", "float64 array", scalars),
        ("scalars", "float32 array (item by item)", scalars.astype(np.float32)),
        ("indices", "list of int", indices.tolist()),
        ("indices", "int64 array", indices),
        ("indices", "int32 array", indices.astype(np.int32)),
        ("indices", "strided int64 array (item by item)", np.repeat(indices, 2)[::2]),
    ]
    print(f"| {COUNT:,} items as | µs | ns per item |")
    print("|---|---:|---:|")
    for kind, name, items in cases:
        if kind == "scalars":
            seconds = best_time(lambda: hecrypt.multiply_many_public(pk, [], items))
        else:
            seconds = best_time(lambda: hecrypt.add_blocks(pk, [], [items]))
        print(f"| {kind}: {name} | {seconds * 1e6:,.0f} | {seconds * 1e9 / COUNT:.1f} |")

if __name__ == "__main__":
    main()
