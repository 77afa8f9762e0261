"""The tree-training job of examples/secure_boost.py at the benchmark's size,
both pipelines: adds its figures to bench/results.json under "tree" and
rewrites the README's tables (bench/report.py renders them).

Usage: PYTHONPATH=<build>:/usr/lib/python3/dist-packages python3 bench/tree.py [--quick]

Synthetic data of 20,000 rows x 50 features x 32 bins, one tree of depth 4,
a 2048-bit key. The two pipelines take turns in one process, the order
swapped every round, so that both see the same load; the speed-up is the
median of the rounds' ratios, each stage's time the median of its rounds.
Every run must give the trees and predictions of the plaintext training, or
the benchmark stops. --quick runs one round on 2,000 rows x 10 features, to
check the path.
"""

import json
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))

import hecrypt  # noqa: E402
import progress  # noqa: E402
import report  # noqa: E402
import secure_boost  # noqa: E402

BINS, TREES, DEPTH, BITS = 32, 1, 4, 2048
SIZES = {False: (20000, 50, 3), True: (2000, 10, 1)}  # by --quick: rows, features, rounds


def rounds_of(data, rounds):
    """{pipeline: [Run per round]}, each run checked against the plaintext."""
    pk, sk = hecrypt.generate_keypair(BITS)
    expected = secure_boost.reference(data, TREES, DEPTH)
    runs = {kind: [] for kind in secure_boost.PIPELINES}
    for r in range(rounds):
        for kind in secure_boost.PIPELINES[::1 if r % 2 == 0 else -1]:
            run = secure_boost.train(kind, pk, sk, data, TREES, DEPTH)
            if not secure_boost.agrees(run.model, expected, data):
                sys.exit(f"{kind}: the trees or predictions differ from the plaintext training")
            runs[kind].append(run)
    return runs


def medians(runs):
    """The median seconds of every stage, and end to end."""
    figures = {stage: [run.stages[stage] for run in runs] for stage in secure_boost.STAGES}
    figures["end_to_end"] = [run.seconds for run in runs]
    return {name: report.figure(statistics.median(values)) for name, values in figures.items()}


def measure(quick):
    rows, features, rounds = SIZES[quick]
    load_before = os.getloadavg()[0]
    runs = rounds_of(secure_boost.synthetic(rows, features, BINS, seed=1), rounds)
    packed, plain = runs["packed"], runs["plain"]
    return {
        "rows": rows, "features": features, "bins": BINS, "trees": TREES, "depth": DEPTH,
        "bits": BITS, "rounds": rounds, "quick": quick,
        "load_before": load_before, "load_after": os.getloadavg()[0],
        "speedup": report.figure(statistics.median(
            b.seconds / a.seconds for a, b in zip(packed, plain))),
        "blob_reduction": report.figure(plain[0].returned / packed[0].returned),
        "returned": {kind: runs[kind][0].returned for kind in runs},
        "seconds": {kind: medians(runs[kind]) for kind in runs},
    }


def main():
    progress.tqdm = None  # no bars among the tables
    with open(report.RESULTS) as f:
        results = json.load(f)
    results["tree"] = measure("--quick" in sys.argv[1:])
    with open(report.RESULTS, "w") as f:
        json.dump(results, f, indent=1)
        f.write("\n")
    print(report.tree_table(results["tree"]))
    report.rewrite_readme(results)


if __name__ == "__main__":
    main()
