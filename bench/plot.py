"""Draws bench/results.png from bench/results.json: operations per second
of each operation, fast and portable engines on one core and on all cores,
beside the plain-GMP computation it replaces, at each key size.

Usage: python bench/plot.py   (needs matplotlib)
"""

import json
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from report import BITS, OPERATIONS, RESULTS  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
BARS = (("fast_1", "IFMA engine, 1 core"), ("fast_all", "IFMA engine, all cores"),
        ("portable_1", "portable engine, 1 core"), ("reference", "plain GMP, 1 core"))


def panel(ax, results, bits):
    width = 0.8 / len(BARS)
    for b, (column, label) in enumerate(BARS):
        rates = [results[bits][op][column] for op in OPERATIONS]
        ax.bar([i + (b - 1.5) * width for i in range(len(OPERATIONS))], rates, width, label=label)
    ax.set_yscale("log")
    ax.set_title(f"{bits}-bit key")
    ax.set_ylabel("per second (log scale)")
    ax.set_xticks(range(len(OPERATIONS)))
    ax.set_xticklabels([label.strip("`").split("`")[0] for _, _, label in OPERATIONS.values()],
                       rotation=30, ha="right")
    ax.grid(axis="y", which="major", alpha=0.3)


def main():
    with open(RESULTS) as f:
        results = json.load(f)
    fig, axes = plt.subplots(1, len(BITS), figsize=(13, 5), sharey=True)
    for ax, bits in zip(axes, BITS):
        panel(ax, results, bits)
    lowest = min(results[b][op][c] for b in BITS for op in OPERATIONS for c, _ in BARS)
    axes[0].set_ylim(bottom=lowest / 2)
    axes[0].legend(fontsize="small")
    machine = results["machine"]
    fig.suptitle(f"hecrypt on {machine['cpu']}, {machine['cores']} cores ({results['date']})")
    fig.tight_layout()
    fig.savefig(os.path.join(HERE, "results.png"), dpi=110)


if __name__ == "__main__":
    main()
