"""Two benchmark builds side by side: the operation rates of bench/report.py,
measured in interleaved runs so that both builds see the same machine load.

Usage: python bench/compare.py <old build folder> <new build folder> [rounds]
Each folder holds a core_bench (a build with -DHECRYPT_BENCH=ON, such as the
build-bench of `make bench`). Prints, per key size and operation, the median
of each build and new/old. RAYON_NUM_THREADS (default 1) and HECRYPT_PORTABLE
apply to both builds.
"""

import os
import statistics
import sys

import report


def main():
    old, new = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else report.ROUNDS
    settings = {"RAYON_NUM_THREADS": os.environ.get("RAYON_NUM_THREADS", "1")}
    if "HECRYPT_PORTABLE" in os.environ:
        settings["HECRYPT_PORTABLE"] = os.environ["HECRYPT_PORTABLE"]
    binaries = [os.path.join(build, "core_bench") for build in (old, new)]
    for build, binary in zip((old, new), binaries):
        if not os.access(binary, os.X_OK):
            sys.exit(f"no core_bench in {build}: configure it with -DHECRYPT_BENCH=ON")
    runs = ([], [])
    for _ in range(rounds):
        for binary, kept in zip(binaries, runs):
            kept.append(report.operation_run(binary, settings, report.MIN_TIME)["rates"])
    print(f"| operation | bits | {old} | {new} | new / old |")
    print("|---|---:|---:|---:|---:|")
    for bits in report.BITS:
        for op in report.OPERATIONS:
            a, b = (statistics.median(run[bits][op] for run in kept) for kept in runs)
            print(f"| {op} | {bits} | {a:,.0f} | {b:,.0f} | {b / a:.3f} |")


if __name__ == "__main__":
    main()
