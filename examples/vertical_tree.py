"""Vertical federated tree training: one split search on encrypted gradients.

Two parties hold different columns of the same rows. The active party holds
the labels, the model's current predictions and the secret key: it encrypts
every row's gradient and hessian and sends the blobs, with nothing but the
modulus bytes of its key. The passive party holds its own features, each
binned into quantile bins; it sums the encrypted gradients and hessians of
the rows of every (feature, bin) with `add_blocks`, re-randomises the sums
and sends them back. The active party decrypts them and picks the split of
greatest gain. It never sees a feature value, and the passive party never
sees a gradient. Bins left empty, as columns with few distinct values leave
them, are sent as fresh encryptions of zero: `add_blocks` refuses an empty
sum, since it has no encryption the module could pick.

The example checks itself: the decrypted sums, and the split chosen from
them, must equal those computed on the plaintext (it exits with 1 if not).

    python3 examples/vertical_tree.py [--rows 20000] [--features 10] [--bins 32]
"""

import argparse
import bisect
import math
import random
import sys
import time
from typing import NamedTuple

import hecrypt
import plaintext
from progress import bar, encrypt_in_chunks

SCALE = 8  # decimal digits kept of every gradient and hessian
REG_LAMBDA = 1.0  # L2 regularisation of the leaf weights
MIN_CHILD_HESSIAN = 1.0  # a split must leave at least this much hessian on each side


class Rows(NamedTuple):
    gradients: list  # the active party's
    hessians: list  # the active party's
    columns: list  # the passive party's features, one list per feature


class Split(NamedTuple):
    gain: float
    feature: int
    bin: int  # rows in bins 0 .. bin go left


class TreeResult(NamedTuple):
    split: Split
    plaintext_split: Split
    sums_equal: bool
    empty_bins: int
    bins: int

    @property
    def ok(self):
        return self.sums_equal and self.split == self.plaintext_split


def make_rows(rows, features, seed):
    """Random data with a signal in one passive feature. Every third feature
    is a count with five values: its quantile bins leave most bins empty,
    as real categorical or sparse columns do."""
    rng = random.Random(seed)
    columns = [
        [float(rng.randrange(5)) for _ in range(rows)] if f % 3 == 2
        else [rng.gauss(0.0, 1.0) for _ in range(rows)]
        for f in range(features)
    ]
    signal = columns[min(1, features - 1)]
    labels = [rng.random() < _sigmoid(2.0 * x) for x in signal]
    predictions = [_sigmoid(rng.gauss(0.0, 0.5)) for _ in range(rows)]
    gradients = [p - y for p, y in zip(predictions, labels)]  # of the logistic loss
    hessians = [p * (1.0 - p) for p in predictions]
    return Rows(gradients, hessians, columns)


def _sigmoid(x):
    return 1.0 / (1.0 + math.exp(-x))


def quantile_bins(column, bins):
    """The bin of every row: edges at the column's quantiles, a row in bin b
    when exactly b edges are at or below it. Repeated edges leave bins empty."""
    ordered = sorted(column)
    edges = [ordered[len(ordered) * k // bins] for k in range(1, bins)]
    return [bisect.bisect_right(edges, x) for x in column]


def feature_blocks(columns, bins):
    """The rows of every (feature, bin), feature by feature: the index blocks
    that `add_blocks` sums. Some are empty."""
    blocks = []
    for column in columns:
        per_bin = [[] for _ in range(bins)]
        for row, b in enumerate(quantile_bins(column, bins)):
            per_bin[b].append(row)
        blocks.extend(per_bin)
    return blocks


def passive_bin_sums(raw, gradient_blobs, hessian_blobs, columns, bins):
    """The passive party: from the modulus bytes and the blobs alone, the
    re-randomised (gradient sum, hessian sum) blobs of every (feature, bin).

    `add_blocks` refuses an empty block, as an empty sum has no encryption
    under the key; an empty bin's sum is zero, so it is sent as a fresh
    encryption of zero, which looks like every other sum."""
    pk = hecrypt.PublicKey.from_n(raw)
    blocks = feature_blocks(columns, bins)
    filled = [block for block in blocks if block]
    scale = gradient_blobs[0][0]  # a blob's first byte is its scale
    returned = []
    for blobs in (gradient_blobs, hessian_blobs):
        sums = iter(hecrypt.add_blocks(pk, blobs, filled))
        zeros = iter(hecrypt.encrypt_many(pk, [0.0] * (len(blocks) - len(filled)), scale))
        # Sums are deterministic: without fresh randomness the active party
        # could recompute candidate sums from the blobs it sent and learn
        # which rows share a bin. (The zeros are fresh already.)
        in_order = [next(sums) if block else next(zeros) for block in blocks]
        returned.append(hecrypt.rerandomize(pk, in_order))
    return list(zip(*returned))


def active_decrypt(sk, pairs):
    """The active party: the (gradient sum, hessian sum) floats of every bin."""
    return [(hecrypt.decrypt(sk, g), hecrypt.decrypt(sk, h))
            for g, h in bar(pairs, desc="decrypting")]


def best_split(bin_sums, bins):
    """The split of greatest gain, by the usual second-order formula
    (G_L²/(H_L+λ) + G_R²/(H_R+λ) − G²/(H+λ)) / 2; ties go to the first."""
    best = Split(-math.inf, -1, -1)
    for f in range(len(bin_sums) // bins):
        mine = bin_sums[f * bins:(f + 1) * bins]
        total_g = sum(g for g, _ in mine)
        total_h = sum(h for _, h in mine)
        left_g = left_h = 0.0
        for b, (g, h) in enumerate(mine[:-1]):
            left_g += g
            left_h += h
            right_g, right_h = total_g - left_g, total_h - left_h
            if min(left_h, right_h) < MIN_CHILD_HESSIAN:
                continue
            gain = 0.5 * (_score(left_g, left_h) + _score(right_g, right_h)
                          - _score(total_g, total_h))
            if gain > best.gain:
                best = Split(gain, f, b)
    return best


def _score(g, h):
    return g * g / (h + REG_LAMBDA)


def plaintext_bin_sums(rows, blocks):
    """The same sums without encryption, from the integers the encoding makes."""
    g = [plaintext.encode(v, SCALE) for v in rows.gradients]
    h = [plaintext.encode(v, SCALE) for v in rows.hessians]
    return [(plaintext.decode(sum(g[r] for r in block), SCALE),
             plaintext.decode(sum(h[r] for r in block), SCALE)) for block in blocks]


def run(pk, sk, rows=20000, features=10, bins=32, seed=1):
    """Both parties' work for one split search under the key pair (pk, sk)."""
    data = make_rows(rows, features, seed)
    raw = pk.modulus_bytes()
    gradient_blobs = encrypt_in_chunks(pk, data.gradients, SCALE)
    hessian_blobs = encrypt_in_chunks(pk, data.hessians, SCALE)
    returned = passive_bin_sums(raw, gradient_blobs, hessian_blobs, data.columns, bins)
    decrypted = active_decrypt(sk, returned)
    blocks = feature_blocks(data.columns, bins)
    expected = plaintext_bin_sums(data, blocks)
    return TreeResult(best_split(decrypted, bins), best_split(expected, bins),
                      decrypted == expected, sum(not block for block in blocks), len(blocks))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20000)
    parser.add_argument("--features", type=int, default=10)
    parser.add_argument("--bins", type=int, default=32)
    parser.add_argument("--bits", type=int, default=2048, help="modulus length of the key")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    start = time.perf_counter()
    pk, sk = hecrypt.generate_keypair(args.bits)
    print(f"vertical tree: {args.rows} rows, {args.features} passive features "
          f"x {args.bins} bins, {args.bits}-bit key")
    result = run(pk, sk, args.rows, args.features, args.bins, args.seed)
    split = result.split
    print(f"best split: feature {split.feature}, bins 0..{split.bin} to the left, "
          f"gain {split.gain:.4f}")
    print(f"{result.empty_bins} of {result.bins} bins were empty and sent as encryptions of zero")
    print(f"sums and split equal the plaintext computation: {'yes' if result.ok else 'NO'} "
          f"({time.perf_counter() - start:.1f} s)")
    return 0 if result.ok else 1


if __name__ == "__main__":
    sys.exit(main())
