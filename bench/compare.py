"""Two builds of the module side by side: bench/ops.py's figures, measured in
interleaved runs so that both see the same machine load.

Usage: python bench/compare.py <old build folder> <new build folder> [rounds]
Prints, per operation, the median of each build and new/old; RAYON_NUM_THREADS
sets the pool size of both (default 1).
"""

import json
import os
import statistics
import subprocess
import sys

OPS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ops.py")


def measure(build):
    env = dict(os.environ, PYTHONPATH=build)
    env.setdefault("RAYON_NUM_THREADS", "1")
    out = subprocess.run([sys.executable, OPS, "--child"], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    old, new = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    runs = {old: [], new: []}
    for _ in range(rounds):
        for build in (old, new):
            runs[build].append(measure(build))
    print(f"| operation (2048-bit key) | {old} | {new} | new / old |")
    print("|---|---:|---:|---:|")
    for name in runs[old][0]:
        a = statistics.median(run[name] for run in runs[old])
        b = statistics.median(run[name] for run in runs[new])
        print(f"| {name} | {a:,.0f} | {b:,.0f} | {b / a:.3f} |")


if __name__ == "__main__":
    main()
