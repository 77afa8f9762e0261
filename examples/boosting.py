"""Gradient-boosted trees for binary labels, grown from histograms of
fixed-point gradients: the training that examples/secure_boost.py runs on
encrypted histograms and, to check itself, on plaintext ones.

Each tree fits the gradients g = p - y and hessians h = p(1 - p) of the
logistic loss at the current scores. A node's histogram holds, for every
(feature, bin), the sums of g and of h over the node's rows in that bin;
the split of greatest gain sends bins 0 .. b of one feature left. Where the
histograms come from is the `source`'s business: `begin(g, h)` starts a
tree, `root(rows)` returns the root's histogram, `children(pairs)` the two
children's of every split of a level, and `partition(rows, split)` says
which rows go left. The training never sees a feature value, only bins.

Gradients travel as integers round(v * 10**SCALE) (hecrypt's encoding, see
plaintext.py), so a histogram is exact integer sums divided by 10**SCALE:
the same floats whether the sums were made on ciphertexts or here.
"""

from typing import NamedTuple

import numpy as np

SCALE = 8  # decimal digits kept of every gradient and hessian
REG_LAMBDA = 1.0  # L2 regularisation of the leaf weights
MIN_CHILD_HESSIAN = 1.0  # a split must leave at least this much hessian on each side
LEARNING_RATE = 0.3
EXACT_FLOAT_SUM = 2**53  # below this, float64 sums of integers are exact


class Split(NamedTuple):
    feature: int
    bin: int  # rows in bins 0 .. bin go left
    gain: float


class Leaf(NamedTuple):
    weight: float  # added to the score of every row that lands here


class Branch(NamedTuple):
    split: Split
    left: object
    right: object


class Model(NamedTuple):
    base: float  # the log-odds every score starts from
    trees: tuple


def bin_edges(matrix, bins):
    """Per feature, the bins - 1 edges at its quantiles; repeated edges, as
    columns with few distinct values give, leave bins empty."""
    ordered = np.sort(matrix, axis=0)
    picks = [len(ordered) * k // bins for k in range(1, bins)]
    return ordered[picks].T


def binned(matrix, edges):
    """The bin of every value: b when exactly b of its feature's edges are at
    or below it."""
    return np.stack([np.searchsorted(e, column, side="right")
                     for e, column in zip(edges, matrix.T)], axis=1).astype(np.uint8)


def encode(values):
    """The integers hecrypt encrypts: round(v * 10**SCALE), the double
    product rounded half away from zero (as plaintext.encode, on arrays)."""
    product = np.abs(values * float(10**SCALE))
    whole = np.floor(product)
    rounded = whole + (product - whole >= 0.5)  # the difference of the two is exact
    return np.copysign(rounded, values).astype(np.int64)


def decode(sums):
    """The floats hecrypt decrypts from integer sums below 2**53."""
    return np.asarray(sums).astype(np.float64) / float(10**SCALE)


def logistic_gradients(labels, scores):
    p = 1.0 / (1.0 + np.exp(-scores))
    return p - labels, p * (1.0 - p)


def best_split(histogram, total_g, total_h):
    """The split of greatest gain by the usual second-order formula
    (G_L²/(H_L+λ) + G_R²/(H_R+λ) − G²/(H+λ)) / 2, or None when no split
    gains anything; ties go to the lowest feature, then the lowest bin.
    `histogram` is (features, bins, 2): the sums of g and h per bin."""
    left = np.cumsum(histogram[:, :-1, :], axis=1)
    left_g, left_h = left[..., 0], left[..., 1]
    right_g, right_h = total_g - left_g, total_h - left_h
    gain = 0.5 * (_score(left_g, left_h) + _score(right_g, right_h) - _score(total_g, total_h))
    gain[(left_h < MIN_CHILD_HESSIAN) | (right_h < MIN_CHILD_HESSIAN)] = -np.inf
    best = int(np.argmax(gain))
    if not gain.flat[best] > 0.0:
        return None
    feature, b = divmod(best, gain.shape[1])
    return Split(feature, b, float(gain.flat[best]))


def _score(g, h):
    return g * g / (h + REG_LAMBDA)


def partition(bins, rows, split):
    """The rows of a node that go left and those that go right."""
    goes_left = bins[rows, split.feature] <= split.bin
    return rows[goes_left], rows[~goes_left]


def grow_tree(source, g, h, depth):
    """One tree of at most `depth` levels of splits, and the score each row
    gains from it. Histograms are asked for one level at a time, for the
    nodes that may still split."""
    source.begin(g, h)
    encoded_g, encoded_h = encode(g), encode(h)
    gained = np.zeros(len(g))
    level = [(1, np.arange(len(g)))]  # (node number, rows); node k's children are 2k, 2k + 1
    histograms = source.root(level[0][1])
    nodes = {}
    for d in range(depth + 1):
        pairs, next_level = [], []
        for position, ((node, rows), histogram) in enumerate(zip(level, histograms)):
            total_g, total_h = decode(encoded_g[rows].sum()), decode(encoded_h[rows].sum())
            split = best_split(histogram, total_g, total_h) if d < depth else None
            if split is None:
                nodes[node] = Leaf(float(-LEARNING_RATE * total_g / (total_h + REG_LAMBDA)))
                gained[rows] = nodes[node].weight
                continue
            nodes[node] = split
            left, right = source.partition(rows, split)
            pairs.append((position, left, right))
            next_level += [(2 * node, left), (2 * node + 1, right)]
        level = next_level
        # The last level's nodes are leaves: their totals need no histogram.
        histograms = source.children(pairs) if pairs and d + 1 < depth else [None] * len(level)
    return _assembled(nodes, 1), gained


def _assembled(nodes, node):
    if isinstance(nodes[node], Leaf):
        return nodes[node]
    return Branch(nodes[node], _assembled(nodes, 2 * node), _assembled(nodes, 2 * node + 1))


def train(source, labels, trees, depth, progress=iter):
    """`trees` trees fitted one after the other, each to the gradients at
    the scores of those before it."""
    rate = labels.mean()
    base = float(np.log(rate / (1.0 - rate)))
    scores = np.full(len(labels), base)
    grown = []
    for _ in progress(range(trees)):
        tree, gained = grow_tree(source, *logistic_gradients(labels, scores), depth)
        grown.append(tree)
        scores += gained
    return Model(base, tuple(grown))


def predict(model, bins):
    """The score of every row, routed through each tree by its bins."""
    scores = np.full(len(bins), model.base)
    for tree in model.trees:
        scores += _leaf_weights(tree, bins, np.arange(len(bins)))
    return scores


def _leaf_weights(tree, bins, rows):
    weights = np.zeros(len(bins))
    if isinstance(tree, Leaf):
        weights[rows] = tree.weight
        return weights
    left, right = partition(bins, rows, tree.split)
    return _leaf_weights(tree.left, bins, left) + _leaf_weights(tree.right, bins, right)


def depth_of(tree):
    return 0 if isinstance(tree, Leaf) else 1 + max(depth_of(tree.left), depth_of(tree.right))


class PlaintextHistograms:
    """The reference source: the same histograms from the integers the
    encoding makes, summed in the clear."""

    def __init__(self, bins, bin_count):
        self.bins, self.bin_count = bins, bin_count

    def begin(self, g, h):
        self.encoded = (encode(g), encode(h))

    def root(self, rows):
        return [self.histogram(rows)]

    def children(self, pairs):
        return [self.histogram(rows) for _, left, right in pairs for rows in (left, right)]

    def partition(self, rows, split):
        return partition(self.bins, rows, split)

    def histogram(self, rows):
        features = self.bins.shape[1]
        cells = (self.bins[rows] + np.arange(features) * self.bin_count).ravel()
        sums = []
        for encoded in self.encoded:
            assert np.abs(encoded).max() * len(rows) < EXACT_FLOAT_SUM
            sums.append(np.bincount(cells, weights=np.repeat(encoded[rows], features),
                                    minlength=features * self.bin_count))
        return decode(np.stack(sums, axis=-1)).reshape(features, self.bin_count, 2)
