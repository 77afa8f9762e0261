"""Operation throughput from Python at 2048 bits, with the baselines that
matter to users measured in the same run.

Usage: PYTHONPATH=<build> python bench/ops.py
Each figure is measured in a child process whose pool size is set through
RAYON_NUM_THREADS: 1 for single-thread figures, the machine default otherwise.
"""

import json
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))


def rate(call, items, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return items / best


def measure():
    import hecrypt
    import oracle

    pk = hecrypt.PublicKey.from_n(oracle.KEY_2048.modulus_bytes())
    rng = random.Random(1)
    values = [rng.uniform(-1, 1) for _ in range(10_000)]
    blobs = hecrypt.encrypt_many(pk, values)
    blocks = [rng.sample(range(10_000), rng.randint(4_500, 5_500)) for _ in range(200)]
    terms = sum(map(len, blocks))
    few = blobs[:1000]
    big = [rng.uniform(-9e7, 9e7) for _ in few]  # about 53 bits once encoded at scale 8
    small = [rng.choice([-1.0, 1.0]) * rng.randint(1, 255) / 1e8 for _ in few]  # 8-bit
    return {
        "encrypt_many values/s": rate(lambda: hecrypt.encrypt_many(pk, values[:1000]), 1000),
        "rerandomize blobs/s": rate(lambda: hecrypt.rerandomize(pk, few), 1000),
        "add_many terms/s": rate(lambda: hecrypt.add_many(pk, blobs), 10_000),
        "add_blocks terms/s": rate(lambda: hecrypt.add_blocks(pk, blobs, blocks), terms, 1),
        "loop of add_many terms/s": rate(
            lambda: [hecrypt.add_many(pk, [blobs[i] for i in b]) for b in blocks], terms, 1),
        "multiply_many products/s": rate(
            lambda: hecrypt.multiply_many(pk, few[:200], big[:200]), 200, 1),
        "multiply_many_public 53-bit products/s": rate(
            lambda: hecrypt.multiply_many_public(pk, few, big), 1000, 1),
        "multiply_many_public 8-bit products/s": rate(
            lambda: hecrypt.multiply_many_public(pk, few, small), 1000, 1),
    }


def child(workers):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    out = subprocess.run([sys.executable, __file__, "--child"], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    if "--child" in sys.argv:
        print(json.dumps(measure()))
        return
    one, every = child(1), child(0)
    print(f"| operation (2048-bit key) | 1 worker | all cores ({os.cpu_count()}) |")
    print("|---|---:|---:|")
    for name in one:
        print(f"| {name} | {one[name]:,.0f} | {every[name]:,.0f} |")
    print()
    print(f"add_blocks on all cores / Python loop of add_many: "
          f"{every['add_blocks terms/s'] / every['loop of add_many terms/s']:.2f}x")
    print(f"rerandomize / encrypt_many (all cores): "
          f"{every['rerandomize blobs/s'] / every['encrypt_many values/s']:.2f}")


if __name__ == "__main__":
    main()
