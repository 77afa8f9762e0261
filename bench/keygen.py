"""How long generate_keypair takes: median and spread over many keys.

Usage: python bench/keygen.py <build folder> [--bits 3072 2048] [--keys 20]
                              [--against <old build folder> [--old-keys N]]

Each key is made by a fresh interpreter that imports the module from the build
folder and reports the call's wall time and the CPU time it used (the call runs
on one thread, so the CPU time is its time on one core, less what the machine's
other load takes from it). With --against, keys of the old build are made in
turns with the new one's, so that both see the same load, and the ratio of the
medians is printed beside the raw figures. The time of a search is random (a
sum of two waits for rare events), so the spread matters as much as the median.
"""

import argparse
import os
import statistics
import subprocess
import sys

ONE_KEY = """
import sys, time
import hecrypt
wall, cpu = time.perf_counter(), time.process_time()
hecrypt.generate_keypair(int(sys.argv[1]))
print(time.perf_counter() - wall, time.process_time() - cpu)
"""


def one_key(build, bits):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(build))
    done = subprocess.run([sys.executable, "-c", ONE_KEY, str(bits)], env=env,
                          capture_output=True, text=True, check=True)
    wall, cpu = map(float, done.stdout.split())
    return wall, cpu


def spread(times):
    deciles = statistics.quantiles(times, n=10, method="inclusive")
    return {"median": statistics.median(times), "p10": deciles[0], "p90": deciles[8],
            "min": min(times), "max": max(times)}


def row(label, bits, times):
    s = spread(times)
    return (f"| {label} | {bits} | {len(times)} | {s['median']:.2f} | {s['p10']:.2f} | "
            f"{s['p90']:.2f} | {s['min']:.2f} | {s['max']:.2f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--bits", type=int, nargs="+", default=[3072, 2048])
    parser.add_argument("--keys", type=int, default=20)
    parser.add_argument("--against")
    parser.add_argument("--old-keys", type=int)
    args = parser.parse_args()
    builds = [("new", args.build, args.keys)]
    if args.against:
        builds.append(("old", args.against, args.old_keys or args.keys))
    print("| build, time | bits | keys | median s | p10 | p90 | min | max |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for bits in args.bits:
        made = {name: [] for name, _, _ in builds}
        for i in range(max(count for _, _, count in builds)):
            for name, build, count in builds:
                if i < count:
                    made[name].append(one_key(build, bits))
        for name, _, _ in builds:
            for kind, column in (("wall", 0), ("cpu", 1)):
                print(row(f"{name}, {kind}", bits, [t[column] for t in made[name]]), flush=True)
        if args.against:
            for kind, column in (("wall", 0), ("cpu", 1)):
                old, new = (statistics.median(t[column] for t in made[n]) for n in ("old", "new"))
                print(f"| old / new, {kind} median | {bits} | | {old / new:.2f} | | | | |")


if __name__ == "__main__":
    main()
