"""Vertical federated gradient boosting: trees trained on encrypted histograms.

Two parties hold different columns of the same rows. The active party holds
the labels and the secret key: for every tree it computes each row's gradient
and hessian of the logistic loss, encrypts them and sends the blobs with
nothing but the modulus bytes of its key; it decrypts the histograms that
come back, picks the splits and computes the leaf weights. The passive party
holds its features, binned into quantile bins: for every node it sums the
encrypted gradients and hessians of the node's rows in each (feature, bin),
re-randomises the sums and returns them, and it splits the node's rows when
the active party chooses one of its (feature, bin) pairs. Neither sees the
other's data; the active party learns the histograms, as in the usual
protocol.

Two pipelines do that work:

- packed (`hecrypt.packed`): a row's gradient and hessian in two slots of one
  ciphertext; a node's histogram by `add_blocks` over its rows, except that
  of the larger of two siblings, which is its parent's minus the smaller
  one's (`subtract`); histograms combined into a few ciphertexts
  (`combine`) before they are re-randomised and returned; all slots
  decrypted in one batch (`packed.decrypt`).
- plain (`--plain`): the module's top-level functions, one ciphertext per
  value and per sum, every histogram summed from its rows, the sums
  decrypted in one batch (`packed.decrypt`, which reads plain blobs too).

Bins left empty are sent as an encryption of zero, re-randomised like every
other sum (`add_blocks` refuses an empty sum). The example trains with both
pipelines by default, prints the time of each stage, the speed-up and how
many fewer blobs the passive party returns, and checks itself: each
pipeline's trees and predictions must equal those of the same training on
the plaintext, with the same bins and the same fixed-point encoding (it
exits with 1 if not). By default it runs on scikit-learn's bundled
breast-cancer data (python3-sklearn; no download); `--synthetic` makes
random data of the benchmark's shape instead.

    python3 examples/secure_boost.py [--plain | --packed] [--trees 4] [--depth 3] [--bins 32]
    python3 examples/secure_boost.py --synthetic [--rows 20000] [--features 50]
"""

import argparse
import sys
import time
from contextlib import contextmanager
from typing import NamedTuple

import numpy as np

import boosting
import hecrypt
from hecrypt import packed
from progress import bar, in_chunks

STAGES = ("encrypt", "sums", "combine", "rerandomize", "decrypt")
# A slot keeps 21 of its bits for the carries of a sum of 2^20 terms and the
# sign; |g| <= 1 and 0 <= h <= 1/4 encode to at most 10^8 < 2^27, so 48-bit
# slots hold them, and a 2048-bit key's ciphertext holds 42 such slots.
SLOT_BITS = 48
PIPELINES = ("packed", "plain")


class Data(NamedTuple):
    name: str
    bins: np.ndarray  # the passive party's binned features of the training rows
    labels: np.ndarray  # the active party's, 0 or 1
    test_bins: np.ndarray  # held-out rows, binned with the training rows' edges
    test_labels: np.ndarray
    bin_count: int


class Run(NamedTuple):
    """One pipeline's training: its model and what it cost."""
    model: boosting.Model
    seconds: float  # end to end, from the first encryption to the last tree
    stages: dict  # seconds spent in each of STAGES
    returned: int  # blobs the passive party returned


class Stages:
    """Seconds spent in the module's calls, stage by stage."""

    def __init__(self):
        self.seconds = dict.fromkeys(STAGES, 0.0)

    @contextmanager
    def timed(self, stage):
        start = time.perf_counter()
        try:
            yield
        finally:
            self.seconds[stage] += time.perf_counter() - start


def bin_blocks(bins, rows, bin_count):
    """The rows of every (feature, bin) among `rows`, feature by feature:
    the index blocks whose sums make a histogram. Some are empty."""
    blocks = []
    for column in bins[rows].T:
        order = np.argsort(column, kind="stable")
        ends = np.cumsum(np.bincount(column, minlength=bin_count))[:-1]
        blocks += np.split(rows[order], ends)
    return blocks


class Passive:
    """What the two passive parties share: the key from the modulus bytes,
    the binned features, the sums with empty bins filled by a zero, the
    count of blobs returned."""

    def __init__(self, raw, bins, bin_count, stages):
        self.pk = hecrypt.PublicKey.from_n(raw)
        self.bins, self.bin_count, self.stages = bins, bin_count, stages
        self.returned = 0

    def partition(self, rows, split):
        return boosting.partition(self.bins, rows, split)

    def sums(self, add_blocks, blobs, blocks):
        """One sum per block, the zero blob for an empty one. The zero is
        re-randomised with the sums before it leaves, so one encryption
        serves every empty bin."""
        filled = iter(add_blocks(self.pk, blobs, [block for block in blocks if len(block)]))
        return [next(filled) if len(block) else self.zero for block in blocks]

    def send(self, rerandomize, blobs):
        # Sums are deterministic: without fresh randomness the active party
        # could recompute candidate sums from the blobs it sent and learn
        # which rows share a bin.
        with self.stages.timed("rerandomize"):
            fresh = rerandomize(self.pk, blobs)
        self.returned += len(fresh)
        return fresh


class PlainPassive(Passive):
    """Every histogram summed from its rows, two blobs per (feature, bin)."""

    def begin(self, blobs):
        self.blobs = blobs  # the gradients of every row, then the hessians
        with self.stages.timed("sums"):
            self.zero = hecrypt.encrypt_many(self.pk, [0.0], boosting.SCALE)[0]

    def root(self, rows):
        return self.histograms([rows])

    def children(self, pairs):
        return self.histograms([rows for _, left, right in pairs for rows in (left, right)])

    def histograms(self, nodes):
        offset = len(self.blobs) // 2
        blocks = [half for rows in nodes for block in bin_blocks(self.bins, rows, self.bin_count)
                  for half in (block, block + offset)]
        with self.stages.timed("sums"):
            sums = self.sums(hecrypt.add_blocks, self.blobs, blocks)
        return self.send(hecrypt.rerandomize, sums)


class PackedPassive(Passive):
    """Histograms of packed (g, h) blobs; the larger sibling by subtraction;
    combined before they are returned. It keeps the last level's histograms
    uncombined: the next level subtracts from them."""

    def __init__(self, raw, bins, bin_count, stages, slot_bits):
        super().__init__(raw, bins, bin_count, stages)
        self.slot_bits = slot_bits

    def begin(self, blobs):
        self.blobs = blobs
        with self.stages.timed("sums"):
            self.zero = packed.encrypt(self.pk, [[0.0, 0.0]], boosting.SCALE, self.slot_bits)[0]

    def root(self, rows):
        self.kept = [self.histogram_sums([rows])]
        return self.combined(self.kept)

    def children(self, pairs):
        smaller = [left if len(left) <= len(right) else right for _, left, right in pairs]
        direct = self.histogram_sums(smaller)
        with self.stages.timed("sums"):
            parents = [blob for position, _, _ in pairs for blob in self.kept[position]]
            siblings = packed.subtract(self.pk, parents, direct)
        size = len(self.kept[0])  # blobs a histogram
        kept = []
        for k, (_, left, right) in enumerate(pairs):
            mine = slice(k * size, (k + 1) * size)
            pair = (direct[mine], siblings[mine])
            kept += pair if smaller[k] is left else pair[::-1]
        self.kept = kept
        return self.combined(kept)

    def histogram_sums(self, nodes):
        blocks = [block for rows in nodes for block in bin_blocks(self.bins, rows, self.bin_count)]
        with self.stages.timed("sums"):
            return self.sums(packed.add_blocks, self.blobs, blocks)

    def combined(self, histograms):
        with self.stages.timed("combine"):
            blobs = packed.combine(self.pk, [blob for histogram in histograms for blob in histogram])
        return self.send(packed.rerandomize, blobs)


class Active:
    """The key holder's side of the histograms: encrypt, decrypt, reshape."""

    def __init__(self, pk, sk, features, bin_count, stages, encrypt):
        self.pk, self.sk, self.stages, self.encrypt_rows = pk, sk, stages, encrypt
        self.shape = (features, bin_count, 2)

    def encrypt(self, g, h):
        with self.stages.timed("encrypt"):
            return self.encrypt_rows(self.pk, g, h)

    def histograms(self, blobs, nodes):
        with self.stages.timed("decrypt"):
            values = in_chunks(lambda chunk: packed.decrypt(self.sk, chunk), blobs, "decrypting")
        return list(np.reshape(values, (nodes, *self.shape)))


def encrypt_plain(pk, g, h):
    """Each gradient and each hessian in a ciphertext of its own."""
    values = np.concatenate((g, h))
    return in_chunks(lambda chunk: hecrypt.encrypt_many(pk, chunk, boosting.SCALE),
                     values, "encrypting")


def encrypt_packed(slot_bits):
    def encrypt(pk, g, h):
        rows = np.column_stack((g, h))  # C-contiguous float64: read straight from its buffer
        return in_chunks(lambda chunk: packed.encrypt(pk, chunk, boosting.SCALE, slot_bits),
                         rows, "encrypting")
    return encrypt


class Pipeline:
    """The two parties joined, as the training's source of histograms."""

    def __init__(self, active, passive):
        self.active, self.passive = active, passive

    def begin(self, g, h):
        self.passive.begin(self.active.encrypt(g, h))

    def root(self, rows):
        return self.active.histograms(self.passive.root(rows), 1)

    def children(self, pairs):
        return self.active.histograms(self.passive.children(pairs), 2 * len(pairs))

    def partition(self, rows, split):
        return self.passive.partition(rows, split)


def pipeline(kind, pk, sk, data, stages, slot_bits):
    raw = pk.modulus_bytes()  # all that travels of the key
    features = data.bins.shape[1]
    if kind == "plain":
        passive = PlainPassive(raw, data.bins, data.bin_count, stages)
        encrypt = encrypt_plain
    else:
        passive = PackedPassive(raw, data.bins, data.bin_count, stages, slot_bits)
        encrypt = encrypt_packed(slot_bits)
    return Pipeline(Active(pk, sk, features, data.bin_count, stages, encrypt), passive)


def train(kind, pk, sk, data, trees, depth, slot_bits=SLOT_BITS):
    """One pipeline's training, timed."""
    stages = Stages()
    source = pipeline(kind, pk, sk, data, stages, slot_bits)
    start = time.perf_counter()
    model = boosting.train(source, data.labels, trees, depth,
                           lambda steps: bar(steps, desc=f"{kind} trees"))
    return Run(model, time.perf_counter() - start, stages.seconds, source.passive.returned)


def reference(data, trees, depth):
    """The same training on the plaintext."""
    return boosting.train(boosting.PlaintextHistograms(data.bins, data.bin_count),
                          data.labels, trees, depth)


def agrees(model, expected, data):
    """Identical trees, and identical predictions on the training and the
    held-out rows."""
    return model == expected and all(
        np.array_equal(boosting.predict(model, bins), boosting.predict(expected, bins))
        for bins in (data.bins, data.test_bins))


def prepared(name, features, labels, test_share, bin_count, seed):
    """Rows split into training and held-out ones, binned at the training
    rows' quantiles."""
    order = np.random.default_rng(seed).permutation(len(labels))
    held = order[:int(len(labels) * test_share)]
    kept = order[len(held):]
    edges = boosting.bin_edges(features[kept], bin_count)
    return Data(name, boosting.binned(features[kept], edges), labels[kept].astype(np.float64),
                boosting.binned(features[held], edges), labels[held].astype(np.float64), bin_count)


def breast_cancer(bin_count, seed):
    from sklearn.datasets import load_breast_cancer  # bundled with scikit-learn: no download
    features, labels = load_breast_cancer(return_X_y=True)
    return prepared("breast cancer", features, labels, 0.2, bin_count, seed)


def synthetic(rows, features, bin_count, seed):
    """Standard normal features; labels drawn from a logistic model of the
    first five. A fifth of the rows more is held out."""
    rng = np.random.default_rng(seed)
    total = rows + rows // 4
    matrix = rng.standard_normal((total, features))
    weights = np.zeros(features)
    weights[:5] = [1.5, -1.0, 0.8, 0.5, -0.3][:features]
    labels = rng.random(total) < 1.0 / (1.0 + np.exp(-matrix @ weights))
    return prepared("synthetic", matrix, labels, 0.2, bin_count, seed)


def accuracy(model, bins, labels):
    return float(np.mean((boosting.predict(model, bins) > 0.0) == (labels > 0.5)))


def report(runs, ok):
    """The stage table, and the speed-up and blob reduction when both ran."""
    kinds = list(runs)
    print(f"{'seconds':<14}" + "".join(f"{kind:>10}" for kind in kinds))
    for stage in STAGES:
        print(f"{stage:<14}" + "".join(f"{runs[k].stages[stage]:>10.2f}" for k in kinds))
    print(f"{'other':<14}" + "".join(
        f"{runs[k].seconds - sum(runs[k].stages.values()):>10.2f}" for k in kinds))
    print(f"{'end to end':<14}" + "".join(f"{runs[k].seconds:>10.2f}" for k in kinds))
    print(f"{'blobs back':<14}" + "".join(f"{runs[k].returned:>10,}" for k in kinds))
    if len(runs) == 2:
        print(f"packed over plain: {runs['plain'].seconds / runs['packed'].seconds:.1f}x faster "
              f"end to end, {runs['plain'].returned / runs['packed'].returned:.1f}x fewer blobs "
              "returned by the passive party")
    for kind in kinds:
        print(f"{kind}: trees and predictions equal the plaintext training: "
              f"{'yes' if ok[kind] else 'NO'}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--plain", action="store_true", help="only the plain pipeline")
    which.add_argument("--packed", action="store_true", help="only the packed pipeline")
    parser.add_argument("--synthetic", action="store_true",
                        help="random data: by default 20,000 rows x 50 features, one tree of "
                             "depth 4")
    parser.add_argument("--rows", type=int, default=20000, help="with --synthetic")
    parser.add_argument("--features", type=int, default=50, help="with --synthetic")
    parser.add_argument("--trees", type=int, help="default 4, or 1 with --synthetic")
    parser.add_argument("--depth", type=int, help="default 3, or 4 with --synthetic")
    parser.add_argument("--bins", type=int, default=32, choices=range(2, 257), metavar="2..256")
    parser.add_argument("--slot-bits", type=int, default=SLOT_BITS,
                        help="slot width of the packed blobs")
    parser.add_argument("--bits", type=int, default=2048, help="modulus length of the key")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    trees = (1 if args.synthetic else 4) if args.trees is None else args.trees
    depth = (4 if args.synthetic else 3) if args.depth is None else args.depth
    kinds = ["plain"] if args.plain else ["packed"] if args.packed else list(PIPELINES)
    data = (synthetic(args.rows, args.features, args.bins, args.seed) if args.synthetic
            else breast_cancer(args.bins, args.seed))
    pk, sk = hecrypt.generate_keypair(args.bits)
    print(f"secure boost: {data.name}, {len(data.labels)} training and {len(data.test_labels)} "
          f"held-out rows, {data.bins.shape[1]} passive features x {args.bins} bins; {trees} "
          f"tree{'s' * (trees > 1)} of depth {depth}; {args.bits}-bit key")
    expected = reference(data, trees, depth)
    runs = {kind: train(kind, pk, sk, data, trees, depth, args.slot_bits) for kind in kinds}
    ok = {kind: agrees(run.model, expected, data) for kind, run in runs.items()}
    report(runs, ok)
    print(f"depth reached {max(map(boosting.depth_of, expected.trees), default=0)}; accuracy "
          f"{accuracy(expected, data.bins, data.labels):.3f} on the training rows, "
          f"{accuracy(expected, data.test_bins, data.test_labels):.3f} on the held-out ones")
    return 0 if all(ok.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
