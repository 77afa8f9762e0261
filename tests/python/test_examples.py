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
