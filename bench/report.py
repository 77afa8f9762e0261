"""Runs the C++ benchmarks, prints one table per key size, writes every figure
to bench/results.json and rewrites the README's benchmark section from it.

Usage: python bench/report.py <core_bench binary> [--quick]
       python bench/report.py --readme-only

Every operation runs in four child processes per round: the fast engine and
the portable one (HECRYPT_PORTABLE=1), each on one worker and on all cores
(RAYON_NUM_THREADS), interleaved so that all four see the same machine load.
A child's rate is the best of its repetitions, a figure the median of its
rounds' rates. The one-core fast run also measures the plain GMP references,
so each ratio to a reference comes from one process; the scaling pairs the
all-cores run with the one-core run of the same round.
--quick makes one short round of one repetition, to check the whole path,
not the figures.
--readme-only rewrites the README from the existing results.json.
"""

import datetime
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results.json")
README = os.path.join(HERE, "..", "README.md")
START, END = "<!-- bench:start -->", "<!-- bench:end -->"
BITS = ("2048", "3072")
ROUNDS, REPETITIONS, MIN_TIME = 3, 3, 0.15

# operation: (its plain GMP reference, the item counted, the table's label)
OPERATIONS = {
    "encrypt_many": ("encryption", "values", "`encrypt_many`"),
    "keyholder_encrypt_many": ("encryption", "values", "`keyholder.encrypt_many`"),
    "rerandomize": ("encryption", "blobs", "`rerandomize`"),
    "decrypt_many": ("decryption", "blobs", "`decrypt_many`"),
    "decrypt": ("decryption", "calls", "`decrypt`, one blob a call"),
    "add_many": ("addition", "terms", "`add_many`"),
    "add_blocks": ("addition", "terms", "`add_blocks`"),
    "multiply_many_public": ("public_product", "products", "`multiply_many_public`, 53-bit"),
    "multiply_many": ("secret_product", "products", "`multiply_many`"),
    "packed.encrypt": ("encryption", "blobs", "`packed.encrypt`, rows of 2"),
    "packed.decrypt": ("decryption", "blobs", "`packed.decrypt`, 2 slots a blob"),
    "packed.combine": ("shift", "inputs", "`packed.combine`, 2 slots of 64 bits an input"),
}

# The packed operations' targets, each a ratio of two figures of one table:
# (label, operation, its column, the operation it is compared with, that
# one's column, the target).
PACKED_TARGETS = (
    ("`packed.encrypt` (rows of 2) / `encrypt_many`, blobs, all cores",
     "packed.encrypt", "fast_all", "encrypt_many", "fast_all", 0.95),
    ("`packed.decrypt` / `decrypt_many`, blobs, all cores",
     "packed.decrypt", "fast_all", "decrypt_many", "fast_all", 0.95),
    ("`packed.combine`, 8-lane engine / portable, one core",
     "packed.combine", "fast_1", "packed.combine", "portable_1", 5.0),
)

# The runs of one round, in the order they run.
RUNS = {
    "fast_1": {"RAYON_NUM_THREADS": "1"},
    "portable_1": {"RAYON_NUM_THREADS": "1", "HECRYPT_PORTABLE": "1"},
    "fast_all": {"RAYON_NUM_THREADS": "0"},
    "portable_all": {"RAYON_NUM_THREADS": "0", "HECRYPT_PORTABLE": "1"},
}

# The table's columns of figures, left to right.
COLUMNS = ("fast_1", "fast_all", "portable_1", "portable_all", "reference")

# engine: (benchmark, its argument in key lengths, label); all on one thread.
ENGINES = {
    "mont_mul": ("BM_MontMul", 1, "Montgomery product modulo n²"),
    "ifma_mul8": ("BM_IfmaMontMul8", 2, "IFMA product modulo n², per lane"),
    "ifma_sqr8": ("BM_IfmaMontSqr8", 2, "IFMA square modulo n², per lane"),
    "pow_fixed": ("BM_PowFixed", 1, "hs^r from the window table (`pow_fixed`)"),
    "gmp_powm": ("BM_GmpPowm", 1, "`mpz_powm`, same exponent length, modulo n²"),
}


def benchmark(binary, pattern, settings, min_time, repetitions):
    """Every record of one run of the binary, with the engine and pool
    settings given (unset unless given)."""
    env = {k: v for k, v in os.environ.items() if k not in ("HECRYPT_PORTABLE", "RAYON_NUM_THREADS")}
    done = subprocess.run([binary, f"--benchmark_filter={pattern}", "--benchmark_format=json",
                           f"--benchmark_min_time={min_time}",
                           f"--benchmark_repetitions={repetitions}"],
                          env=env | settings, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{binary} failed ({settings}):\n{done.stderr}")
    return json.loads(done.stdout)["benchmarks"]


def operation_run(binary, settings, min_time, repetitions=REPETITIONS, references=False):
    """One child: {"rates": {bits: {operation or reference: per second}},
    "ifma": {bits: bool}, "workers": pool size}. A rate is the best of the
    child's repetitions: other load only ever slows a repetition down."""
    pattern = "^(op|ref)/" if references else "^op/"
    run = {"rates": {bits: {} for bits in BITS}, "ifma": {}, "workers": set()}
    for record in benchmark(binary, pattern, settings, min_time, repetitions):
        if record.get("error_occurred"):
            sys.exit(f"{record['name']}: {record['error_message']}")
        if record["run_type"] != "iteration":
            continue
        kind, what, bits = record["run_name"].split("/")[:3]
        rates = run["rates"][bits]
        rates[what] = max(rates.get(what, 0), record["items_per_second"])
        if kind == "op":
            run["ifma"][bits] = bool(record["ifma"])
            run["workers"].add(int(record["workers"]))
    (run["workers"],) = run["workers"]
    return run


def checked(name, run):
    """The run, once it is known to have run on the engine and pool asked for."""
    if name.startswith("portable") and any(run["ifma"].values()):
        sys.exit(f"{name}: HECRYPT_PORTABLE=1 left a key on the IFMA engine")
    if name.endswith("_1") and run["workers"] != 1:
        sys.exit(f"{name}: RAYON_NUM_THREADS=1 made a pool of {run['workers']}")
    return run


def operation_rounds(binary, rounds, repetitions, min_time):
    runs = {name: [] for name in RUNS}
    for _ in range(rounds):
        for name, settings in RUNS.items():
            run = operation_run(binary, settings, min_time, repetitions, name == "fast_1")
            runs[name].append(checked(name, run))
    return runs


def figure(x):
    """x to four significant digits, as results.json keeps it."""
    return None if x is None else float(f"{x:.4g}")


def summary(runs, bits, operation):
    reference, unit, _ = OPERATIONS[operation]
    rate = {name: [run["rates"][bits][operation] for run in runs[name]] for name in RUNS}
    base = [run["rates"][bits][reference] for run in runs["fast_1"]]

    def ratio(top, bottom):
        return figure(statistics.median(a / b for a, b in zip(top, bottom)))

    # The key holder's encryption against encrypt_many, run by run.
    against = {} if operation != "keyholder_encrypt_many" else {"vs_encrypt_many": {
        name: ratio(rate[name], [run["rates"][bits]["encrypt_many"] for run in runs[name]])
        for name in RUNS}}
    return {**against, **{name: figure(statistics.median(rate[name])) for name in RUNS},
            "reference": figure(statistics.median(base)),
            "fast_1_vs_reference": ratio(rate["fast_1"], base),
            "scaling": ratio(rate["fast_all"], rate["fast_1"]),
            "fast_1_vs_portable_1": ratio(rate["fast_1"], rate["portable_1"]),
            "unit": unit, "reference_name": reference}


def engine_times(binary, min_time):
    """{bits: {engine: µs per product or power, None if this CPU lacks it}},
    from CPU time: each runs on one thread."""
    got = {r["run_name"]: r for r in benchmark(
        binary, "^BM_(MontMul|PowFixed|GmpPowm|IfmaMont(Mul|Sqr)8)/", {}, min_time, ROUNDS)
        if r.get("error_occurred") or r.get("aggregate_name") == "median"}
    scale = {"ns": 1e-3, "us": 1, "ms": 1e3}
    times = {}
    for bits in BITS:
        times[bits] = {}
        for engine, (bench, lengths, _) in ENGINES.items():
            record = got[f"{bench}/{int(bits) * lengths}"]
            if record.get("error_occurred"):
                times[bits][engine] = None
            elif "per_lane" in record:
                times[bits][engine] = figure(record["per_lane"] * 1e6)
            else:
                times[bits][engine] = figure(record["cpu_time"] * scale[record["time_unit"]])
    return times


def cpu_model():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown"


def measure(binary, quick):
    rounds, repetitions, min_time = (1, 1, 0.01) if quick else (ROUNDS, REPETITIONS, MIN_TIME)
    load_before = os.getloadavg()[0]
    engines = engine_times(binary, min_time)
    runs = operation_rounds(binary, rounds, repetitions, min_time)
    results = {
        "machine": {"cpu": cpu_model(), "cores": runs["fast_all"][0]["workers"],
                    "ifma": all(run["ifma"][bits] for run in runs["fast_1"] for bits in BITS),
                    "load_before": load_before, "load_after": os.getloadavg()[0]},
        "rounds": rounds, "repetitions": repetitions, "quick": quick, "date": datetime.date.today().isoformat(),
        "engines_us": engines,
    }
    for bits in BITS:
        results[bits] = {op: summary(runs, bits, op) for op in OPERATIONS}
        results[bits]["packed_targets"] = packed_targets(runs, bits)
    return results


def packed_targets(runs, bits):
    """{operation vs other: median ratio within each round, and the target}."""
    out = {}
    for _, op, column, other, other_column, target in PACKED_TARGETS:
        ratios = [a["rates"][bits][op] / b["rates"][bits][other]
                  for a, b in zip(runs[column], runs[other_column])]
        out[f"{op}/{other}"] = {"ratio": figure(statistics.median(ratios)), "target": target}
    return out


# ---- the tables, from results.json alone -----------------------------------

def cell(x, unit=""):
    return "n/a" if x is None else f"{x:,.1f}{unit}" if x < 100 else f"{x:,.0f}{unit}"


def engine_table(results):
    engines = results["engines_us"]
    lines = ["| engine, one thread | 2048-bit n | 3072-bit n |", "|---|---:|---:|"]
    for engine, (_, _, label) in ENGINES.items():
        lines.append(f"| {label} | "
                     + " | ".join(cell(engines[bits][engine], " µs") for bits in BITS) + " |")

    def speedup(slow, fast):
        return " | ".join("n/a" if engines[b][fast] is None else
                          f"{engines[b][slow] / engines[b][fast]:.1f}x" for b in BITS)

    lines.append(f"| IFMA product per lane, speed-up | {speedup('mont_mul', 'ifma_mul8')} |")
    lines.append(f"| `pow_fixed` over `mpz_powm`, speed-up | {speedup('gmp_powm', 'pow_fixed')} |")
    return "\n".join(lines)


def operation_table(results, bits):
    machine = results["machine"]
    engine = ("fast = the 8-lane AVX-512 IFMA engine" if machine["ifma"] else
              "this CPU lacks AVX-512 IFMA, so the fast columns ran the portable engine too")
    rounds = "one quick round: not for comparison" if results["quick"] else \
        f"medians of {results['rounds']} rounds"
    lines = [f"**{bits}-bit key**, per second ({rounds}; {engine}):", "",
             f"| operation | fast, 1 core | fast, {machine['cores']} cores | portable, 1 core | "
             f"portable, {machine['cores']} cores | plain GMP, 1 core | fast 1 core / GMP | "
             f"{machine['cores']} cores / 1 |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for op, (_, unit, label) in OPERATIONS.items():
        if op not in results[bits]:
            continue  # measured before the operation existed
        f = results[bits][op]
        figures = [cell(f[name]) for name in COLUMNS]
        lines.append(f"| {label} ({unit}) | {' | '.join(figures)} | "
                     f"{f['fast_1_vs_reference']:.2f}x | {f['scaling']:.2f}x |")
    against = results[bits]["keyholder_encrypt_many"].get("vs_encrypt_many")
    if against:
        lines += ["", "`keyholder.encrypt_many` over `encrypt_many`, in the same runs: "
                  + ", ".join(f"{cell(against[name])}x {label}" for name, label in (
                      ("fast_1", "fast on 1 core"), ("fast_all", f"on {machine['cores']}"),
                      ("portable_1", "portable on 1"), ("portable_all", f"on {machine['cores']}")))
                  + " (target: 1.8x)."]
    return "\n".join(lines)


def tree_table(tree):
    """The tree-training job of bench/tree.py: each stage's seconds in both
    pipelines, the speed-up and the blobs returned."""
    rounds = "one quick round: not for comparison" if tree["quick"] else \
        f"medians of {tree['rounds']} rounds"
    lines = [f"**Tree training** (`examples/secure_boost.py --synthetic`: {tree['rows']:,} rows x "
             f"{tree['features']} features x {tree['bins']} bins, {tree['trees']} tree of depth "
             f"{tree['depth']}, {tree['bits']}-bit key; seconds, {rounds}; load average "
             f"{tree['load_before']:.1f} before, {tree['load_after']:.1f} after):", "",
             "| stage | packed | plain |", "|---|---:|---:|"]
    seconds = tree["seconds"]
    for stage in seconds["packed"]:
        lines.append(f"| {stage.replace('_', ' ')} | {seconds['packed'][stage]:.2f} | "
                     f"{seconds['plain'][stage]:.2f} |")
    lines.append(f"| blobs returned by the passive party | {tree['returned']['packed']:,} | "
                 f"{tree['returned']['plain']:,} |")
    lines += ["", f"Packed over plain: {tree['speedup']:.1f}x faster end to end (target 5x), "
              f"{tree['blob_reduction']:.1f}x fewer blobs returned (target 20x)."]
    return "\n".join(lines)


def packed_table(results):
    lines = ["| packed target | 2048-bit n | 3072-bit n | target |", "|---|---:|---:|---:|"]
    for label, op, _, other, _, target in PACKED_TARGETS:
        got = [results[bits].get("packed_targets", {}).get(f"{op}/{other}") for bits in BITS]
        lines.append(f"| {label} | " + " | ".join(
            "n/a" if g is None else f"{g['ratio']:.2f}x" for g in got) + f" | {target:g}x |")
    return "\n".join(lines)


def tables(results):
    machine = results["machine"]
    head = (f"{machine['cpu']}, {machine['cores']} cores, {results['date']}"
            f"{' (quick run)' if results['quick'] else ''}; load average "
            f"{machine['load_before']:.1f} before the run, {machine['load_after']:.1f} after.")
    tree = [tree_table(results["tree"])] if "tree" in results else []
    return "\n\n".join([head, engine_table(results)]
                       + [operation_table(results, bits) for bits in BITS] + [packed_table(results)]
                       + tree)


def rewrite_readme(results):
    with open(README) as f:
        text = f.read()
    if text.count(START) != 1 or text.count(END) != 1 or text.index(START) > text.index(END):
        sys.exit(f"{README}: needs one {START} line before one {END} line")
    before, rest = text.split(START)
    after = rest.split(END)[1]
    with open(README, "w") as f:
        f.write(f"{before}{START}\n{tables(results)}\n{END}{after}")


def main():
    if sys.argv[1:] == ["--readme-only"]:
        with open(RESULTS) as f:
            results = json.load(f)
    else:
        results = measure(sys.argv[1], "--quick" in sys.argv[2:])
        with open(RESULTS, "w") as f:
            json.dump(results, f, indent=1)
            f.write("\n")
        print(tables(results))
    rewrite_readme(results)


if __name__ == "__main__":
    main()
