"""The examples at small sizes: their results are right, and their own checks
catch a wrong one."""

import importlib
import pathlib
import sys

import pytest

import hecrypt

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))

import linear_gradient  # noqa: E402
import progress  # noqa: E402
import vertical_tree  # noqa: E402

# The system's tqdm and Dask make calls that newer CPythons deprecate.
pytestmark = [pytest.mark.filterwarnings("ignore::DeprecationWarning:tqdm.*"),
              pytest.mark.filterwarnings("ignore::DeprecationWarning:tornado.*")]


@pytest.mark.parametrize("with_tqdm", [True, False], ids=["tqdm", "no-tqdm"])
def test_tree_finds_the_planted_split_through_empty_bins(keypair, monkeypatch, with_tqdm):
    if not with_tqdm:
        monkeypatch.setattr(progress, "tqdm", None)
    result = vertical_tree.run(*keypair, rows=400, features=3, bins=8)
    assert result.ok
    assert result.split.feature == 1  # the labels depend on feature 1 alone
    assert result.empty_bins > 0  # feature 2 takes five values, in eight bins


def test_linear_gradient_matches_the_plaintext(keypair):
    result = linear_gradient.run(*keypair, rows=300, features=5)
    assert result.ok
    assert result.feature_scales == [10, 10, 10, 10, 9]  # feature 4 reaches 9e6


@pytest.mark.parametrize("x", [1.0, 5e6, 9.1e7, 2.0**53 / 1e10])
def test_feature_scale_is_the_largest_the_module_accepts(keypair, x):
    pk = keypair[0]
    blobs = hecrypt.encrypt_many(pk, [1.0], linear_gradient.RESIDUAL_SCALE)
    b = linear_gradient.feature_scale([x, -x], linear_gradient.RESIDUAL_SCALE)
    hecrypt.multiply_many_public(pk, blobs, [-x], b)
    with pytest.raises(ValueError):
        hecrypt.multiply_many_public(pk, blobs, [-x], b + 1)


def test_rows_whose_feature_encodes_to_zero_are_left_out(keypair):
    pk, sk = keypair
    blobs = hecrypt.encrypt_many(pk, [0.5, -2.0, 1.25], linear_gradient.RESIDUAL_SCALE)
    columns = [[0.0, 0.0, 0.0], [0.0, 3.0, 1e-12]]
    returned, _ = linear_gradient.passive_products(pk.modulus_bytes(), blobs, columns)
    assert [hecrypt.decrypt(sk, blob) for blob in returned] == [0.0, -6.0]


@pytest.mark.parametrize("example, sizes", [
    (vertical_tree, dict(rows=200, features=2, bins=4)),
    (linear_gradient, dict(rows=100, features=3)),
], ids=["tree", "linear"])
def test_a_wrong_result_fails_the_check(keypair, monkeypatch, example, sizes):
    rerandomize = hecrypt.rerandomize
    monkeypatch.setattr(hecrypt, "rerandomize", lambda pk, blobs: rerandomize(pk, blobs)[::-1])
    assert not example.run(*keypair, **sizes).ok


def importable(name):
    try:
        return importlib.import_module(name)
    except Exception as error:  # the system's Dask fails with TypeError past 3.11
        pytest.skip(f"{name} does not import under this interpreter: {error!r}")


@pytest.fixture(scope="module")
def client():
    distributed = importable("distributed")
    distributed_blocks = importlib.import_module("distributed_blocks")
    with distributed_blocks.local_cluster(2) as cluster, distributed.Client(cluster) as client:
        yield client


def test_cluster_sums_are_those_of_one_call(keypair, client):
    distributed_blocks = importlib.import_module("distributed_blocks")
    result = distributed_blocks.run(client, keypair[0], rows=300, features=3, bins=8, tasks=4)
    assert result.identical
    assert len(result.keys_built) == 2
    assert result.ok  # each worker assembled the key at most once, and one did


# ---- examples/secure_boost.py: numpy, scikit-learn and hecrypt.packed -----

@pytest.fixture(scope="module")
def np():
    return importable("numpy")


@pytest.fixture(scope="module")
def boost(np):
    importable("sklearn")
    importable("hecrypt.packed")
    return importable("secure_boost")


def tiny(boost, bin_count=8):
    """300 synthetic rows: 4 features, 8 bins, for a depth-3 tree in seconds."""
    return boost.synthetic(300, 4, bin_count, seed=3)


@pytest.mark.parametrize("kind", ["packed", "plain"])
def test_boost_pipelines_train_the_plaintext_trees(keypair, boost, kind):
    data = tiny(boost)
    expected = boost.reference(data, trees=2, depth=3)
    run = boost.train(kind, *keypair, data, trees=2, depth=3)
    assert boost.agrees(run.model, expected, data)
    assert [boost.boosting.depth_of(tree) for tree in run.model.trees] == [3, 3]
    assert set(run.stages) == set(boost.STAGES)
    if kind == "plain":  # seven histograms of 4 features x 8 bins x (g, h) per tree
        assert run.returned == 2 * 7 * 4 * 8 * 2
    else:  # 64 slots a histogram, 42 a ciphertext: one level of 1, 2, 4 histograms per call
        assert run.returned == 2 * (2 + 4 + 7)


@pytest.mark.parametrize("kind", ["packed", "plain"])
@pytest.mark.parametrize("smaller", ["left", "right"])
def test_boost_histograms_through_empty_bins_and_subtraction(keypair, boost, np, kind, smaller):
    """Feature 0 is constant (all but one bin empty), feature 1 takes four
    values; the smaller child is summed, the larger one subtracted."""
    rows = 40
    bins = np.stack([np.zeros(rows, np.uint8), np.arange(rows, dtype=np.uint8) % 4], axis=1)
    data = boost.Data("crafted", bins, np.zeros(rows), bins, np.zeros(rows), 8)
    rng = np.random.default_rng(5)
    g, h = rng.uniform(-1.0, 1.0, rows), rng.uniform(0.0, 0.25, rows)
    source = boost.pipeline(kind, *keypair, data, boost.Stages(), boost.SLOT_BITS)
    expected = boost.boosting.PlaintextHistograms(bins, 8)
    everything = np.arange(rows)
    cut = 10 if smaller == "left" else 30
    pairs = [(0, everything[:cut], everything[cut:])]
    for party in (source, expected):
        party.begin(g, h)
    assert np.array_equal(source.root(everything), expected.root(everything))
    assert np.array_equal(source.children(pairs), expected.children(pairs))


# the packed pipeline's rerandomize reversed: the command-line test below
@pytest.mark.parametrize("kind, broken", [("plain", "hecrypt.rerandomize"),
                                          ("packed", "packed.subtract")])
def test_boost_a_wrong_histogram_fails_the_check(keypair, boost, monkeypatch, kind, broken):
    module, name = broken.split(".")
    target = hecrypt if module == "hecrypt" else hecrypt.packed
    real = getattr(target, name)
    monkeypatch.setattr(target, name, lambda pk, *lists: real(pk, *lists)[::-1])
    data = tiny(boost)
    run = boost.train(kind, *keypair, data, trees=1, depth=3)
    assert not boost.agrees(run.model, boost.reference(data, trees=1, depth=3), data)


@pytest.mark.parametrize("broken", [False, True], ids=["sound", "broken"])
def test_boost_command_line_reports_and_exits_by_the_check(boost, monkeypatch, capsys, broken):
    if broken:  # every histogram the passive party returns, in reverse
        rerandomize = hecrypt.packed.rerandomize
        monkeypatch.setattr(hecrypt.packed, "rerandomize",
                            lambda pk, blobs: rerandomize(pk, blobs)[::-1])
    args = ["--synthetic", "--rows", "300", "--features", "4", "--bins", "8", "--trees", "1",
            "--depth", "3"]
    assert boost.main(args) == (1 if broken else 0)
    out = capsys.readouterr().out
    assert "x faster end to end" in out and "x fewer blobs returned" in out
    assert ("packed: trees and predictions equal the plaintext training: NO" in out) == broken
    assert "plain: trees and predictions equal the plaintext training: yes" in out


@pytest.mark.parametrize("value", [0.0, -0.0, 5e-9, -5e-9, 1.5e-8, -2.5e-8, 0.123456785,
                                   1.005, -0.999999995, 0.25, 1.0, -1.0])
def test_boost_encoding_is_the_modules(keypair, boost, np, value):
    pk, sk = keypair
    blob = hecrypt.encrypt_many(pk, [value], boost.boosting.SCALE)[0]
    exact = int(hecrypt.decrypt_many(sk, [bytes([0]) + blob[1:]])[0])
    assert boost.boosting.encode(np.array([value]))[0] == exact


@pytest.mark.parametrize("histogram, expected", [
    # Feature 1 separates negative from positive gradients at bin 1.
    ([[[-1, 2], [1, 2], [-1, 2], [1, 2]], [[-4, 2], [-4, 2], [4, 2], [4, 2]]], (1, 1, 12.8)),
    # Feature 1's best cut leaves 0.5 of hessian on its right, too little: feature 0 wins.
    ([[[-4, 3], [4, 3], [0, 1], [0, 1]], [[-4, 4], [-4, 3.5], [0, 0], [8, 0.5]]], (0, 0, 10 / 3)),
    # With exactly the minimum on its right, feature 1's cut is allowed and wins.
    ([[[-4, 3], [4, 3], [0, 1], [0, 1]], [[-4, 4], [-4, 3], [0, 0], [8, 1]]], (1, 1, 20.0)),
    # Nothing to gain: every bin has the same gradient per hessian.
    ([[[1, 1], [1, 1], [1, 1], [1, 1]]], None),
])
def test_boost_best_split(boost, np, histogram, expected):
    histogram = np.array(histogram, dtype=np.float64)
    total_g, total_h = histogram[0].sum(axis=0)
    split = boost.boosting.best_split(histogram, total_g, total_h)
    assert (split if split is None else (split.feature, split.bin, pytest.approx(split.gain))) \
        == expected


def test_boost_learns_the_breast_cancer_labels(boost):
    data = boost.breast_cancer(32, seed=1)
    model = boost.reference(data, trees=5, depth=3)
    assert boost.accuracy(model, data.test_bins, data.test_labels) > 0.9


@pytest.mark.parametrize("slot_bits, fits", [(48, True), (47, False)])
def test_boost_slots_hold_the_largest_gradients(keypair, boost, slot_bits, fits):
    """|g| reaches 1 and h 1/4: 48-bit slots are the narrowest that hold them."""
    rows = [[1.0, 0.25], [-1.0, 0.0]]
    if fits:
        blobs = hecrypt.packed.encrypt(keypair[0], rows, boost.boosting.SCALE, slot_bits)
        assert hecrypt.packed.decrypt(keypair[1], blobs) == [1.0, 0.25, -1.0, 0.0]
    else:
        with pytest.raises(ValueError, match="^row 1, column 1: .* slot_bits=48 or more"):
            hecrypt.packed.encrypt(keypair[0], rows, boost.boosting.SCALE, slot_bits)


@pytest.mark.parametrize("column, bins, expected", [
    ([5.0, 1.0, 4.0, 2.0, 3.0, 0.0], 3, [2, 0, 2, 1, 1, 0]),  # two rows a bin
    ([0.0, 0.0, 0.0, 0.0, 1.0, 2.0], 3, [1, 1, 1, 1, 2, 2]),  # a repeated edge leaves bin 0 empty
    ([7.0, 7.0, 7.0, 7.0], 4, [3, 3, 3, 3]),  # a constant column: one bin of four
])
def test_boost_quantile_bins(boost, np, column, bins, expected):
    matrix = np.array(column)[:, None]
    edges = boost.boosting.bin_edges(matrix, bins)
    assert boost.boosting.binned(matrix, edges)[:, 0].tolist() == expected
    # Values outside the training range land in the end bins.
    assert boost.boosting.binned(np.array([[-1e9], [1e9]]), edges)[:, 0].tolist() == [0, bins - 1]


@pytest.mark.parametrize("rows", [[0, 1, 2, 3, 4, 5, 6, 7], [6, 2, 5], [3]])
def test_boost_bin_blocks_hold_each_row_once_in_its_bin(boost, np, rows):
    bins = np.array([[0, 3], [1, 3], [0, 0], [2, 1], [1, 1], [0, 2], [2, 0], [3, 3]], np.uint8)
    rows = np.array(rows)
    blocks = boost.bin_blocks(bins, rows, 4)
    assert len(blocks) == 2 * 4
    for k, block in enumerate(blocks):
        feature, b = divmod(k, 4)
        assert sorted(block.tolist()) == sorted(r for r in rows.tolist() if bins[r, feature] == b)


def test_boost_prediction_routes_rows_as_training_did(boost, np):
    """A tree's predictions on its training rows are the leaf weights the
    training gave them."""
    data = boost.synthetic(500, 6, 16, seed=7)
    source = boost.boosting.PlaintextHistograms(data.bins, 16)
    g, h = boost.boosting.logistic_gradients(data.labels, np.zeros(len(data.labels)))
    tree, gained = boost.boosting.grow_tree(source, g, h, 4)
    assert boost.boosting.depth_of(tree) == 4
    assert np.array_equal(boost.boosting.predict(boost.boosting.Model(0.0, (tree,)), data.bins),
                          gained)


@pytest.mark.parametrize("count", [0, 1, 4, 5, 9])
def test_in_chunks_keeps_every_item_in_order(count):
    calls = []
    results = progress.in_chunks(lambda chunk: calls.append(len(chunk)) or [x * 2 for x in chunk],
                                 list(range(count)), "doubling", size=4)
    assert results == [2 * x for x in range(count)]
    assert calls == [min(4, count - start) for start in range(0, count, 4)]
