"""Runs the C++ benchmarks and prints each figure next to its baseline.

Usage: python bench/report.py <core_bench binary>
The operation benchmarks run twice, on one worker and on every core, each run
measuring its own baselines, so every ratio comes from one run.
"""

import json
import os
import subprocess
import sys


def run(binary, pattern, workers):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    # Medians of five short runs: the machines this runs on are shared and noisy.
    out = subprocess.run([binary, f"--benchmark_filter={pattern}", "--benchmark_format=json",
                          "--benchmark_min_time=0.5", "--benchmark_repetitions=5",
                          "--benchmark_report_aggregates_only=true"], env=env, check=True,
                         capture_output=True, text=True).stdout
    return {b["run_name"]: b for b in json.loads(out)["benchmarks"]
            if b.get("aggregate_name") == "median"}


def per_second(bench):
    if "items_per_second" in bench:
        return bench["items_per_second"]
    scale = {"ns": 1e9, "us": 1e6, "ms": 1e3, "s": 1}[bench["time_unit"]]
    return scale / bench["real_time"]


def engines(binary):
    got = run(binary, "MontMul|PowFixed|GmpPowm", 1)
    print("| engine | 2048-bit n | 3072-bit n |")
    print("|---|---:|---:|")
    for name in ("BM_MontMul", "BM_PowFixed", "BM_GmpPowm"):
        cells = [f"{1e6 / per_second(got[f'{name}/{b}']):,.1f} µs" for b in (2048, 3072)
                 if f"{name}/{b}" in got]
        print(f"| {name[3:]} | {' | '.join(cells)} |")
    ratios = [per_second(got[f"BM_PowFixed/{b}"]) / per_second(got[f"BM_GmpPowm/{b}"])
              for b in (2048, 3072)]
    print(f"| pow_fixed / mpz_powm speed-up | {ratios[0]:.1f}x | {ratios[1]:.1f}x |")
    print()


def operations(binary):
    one, every = run(binary, "Many|Baseline", 1), run(binary, "Many|Baseline", 0)
    print("| per second, batches of 1000 | bits | 1 worker | all cores | "
          "1 worker / baseline | all cores / 1 worker |")
    print("|---|---:|---:|---:|---:|---:|")
    for op, base in (("EncryptMany", "BaselineEncryptPowm"), ("DecryptMany", "BaselineDecryptPowm")):
        for bits in (2048, 3072):
            single = per_second(one[f"BM_{op}/{bits}/real_time"])
            multi = per_second(every[f"BM_{op}/{bits}/real_time"])
            baseline = per_second(one[f"BM_{base}/{bits}"])
            print(f"| {op} | {bits} | {single:,.0f} | {multi:,.0f} | "
                  f"{single / baseline:.1f}x | {multi / single:.2f}x |")
    print()


if __name__ == "__main__":
    engines(sys.argv[1])
    operations(sys.argv[1])
