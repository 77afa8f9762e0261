"""Sum throughput from Python, the 8-lane engine against the portable one
(HECRYPT_PORTABLE=1), at 2048 and 3072 bits on one and two workers.

Usage: PYTHONPATH=<build> python bench/sums.py [rounds]
Every figure comes from its own child process, since the engine and the pool
size are chosen once per process. The children run in rounds, each round
going through every configuration once, so that a change in the machine's
load falls on all of them alike; the table shows the median over the rounds.
"""

import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))


def rate(call, items, repeat):
    import time
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return items / best


def measure(key_name):
    import random

    import hecrypt
    import oracle

    key = getattr(oracle, key_name)
    pk = hecrypt.PublicKey.from_n(key.modulus_bytes())
    rng = random.Random(1)
    blobs = [oracle.blob(8, rng.randrange(1, key.n2)) for _ in range(10_000)]
    # The shape of tree training: many large blocks over one array.
    blocks = [rng.sample(range(10_000), rng.randint(4_500, 5_500)) for _ in range(40)]
    terms = sum(map(len, blocks))
    return {
        "add_many": rate(lambda: hecrypt.add_many(pk, blobs), len(blobs), 3),
        "add_blocks": rate(lambda: hecrypt.add_blocks(pk, blobs, blocks), terms, 2),
    }


def child(key_name, workers, portable):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    env.pop("HECRYPT_PORTABLE", None)
    if portable:
        env["HECRYPT_PORTABLE"] = "1"
    out = subprocess.run([sys.executable, __file__, "--child", key_name], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    if "--child" in sys.argv:
        print(json.dumps(measure(sys.argv[-1])))
        return
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    configs = [(key, workers, portable) for key in ("KEY_2048", "KEY_3072")
               for workers in (1, 2) for portable in (True, False)]
    runs = {config: [] for config in configs}
    for _ in range(rounds):
        for config in configs:
            runs[config].append(child(*config))
    print(f"terms/s, median of {rounds} interleaved rounds")
    print("| key | operation | workers | portable | 8-lane | gain |")
    print("|---|---|---:|---:|---:|---:|")
    for key in ("KEY_2048", "KEY_3072"):
        for operation in ("add_many", "add_blocks"):
            for workers in (1, 2):
                slow, fast = (statistics.median(r[operation] for r in runs[(key, workers, p)])
                              for p in (True, False))
                print(f"| {key[4:]} | {operation} | {workers} | {slow:,.0f} | {fast:,.0f} | "
                      f"{fast / slow:.1f}x |")


if __name__ == "__main__":
    main()
