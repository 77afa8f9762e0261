"""add_many and add_blocks: sums of ciphertexts, checked by decryption and by bytes."""

import random

import pytest
from hypothesis import given, settings, strategies as st

import hecrypt
import oracle
from refusals import EMPTY, MIXED, refused

SUM_RANGE = ("ciphertext #{} is not in [1, n^2) of this key: a valid ciphertext is an invertible "
             "residue modulo n^2, and this one is not")
BLOCK_MIXED = ("block #{} mixes scale 1e{} at position {} into a sum started at 1e{}: adding them "
               "would produce a plausible wrong number, and rescaling is impossible on encrypted "
               "values")
EMPTY_SUM_TAIL = (": an empty sum has no encryption under this key, and returning one would be a "
                  "ciphertext of zero that nobody asked for")


@pytest.fixture(scope="module")
def ints(keypair):
    """Encryptions of the integers -5 .. 6 at scale 0."""
    pk, _ = keypair
    return hecrypt.encrypt_many(pk, [float(v) for v in range(-5, 7)], 0)


@settings(max_examples=10, deadline=None)
@given(blocks=st.lists(st.lists(st.integers(0, 11), min_size=1, max_size=8), max_size=6))
def test_add_blocks_equals_add_many_per_block(keypair, ints, blocks):
    pk, sk = keypair
    sums = hecrypt.add_blocks(pk, ints, blocks)
    assert sums == [hecrypt.add_many(pk, [ints[i] for i in b]) for b in blocks]
    assert hecrypt.decrypt_many(sk, sums) == [str(sum(i - 5 for i in b)) for b in blocks]


def test_sum_at_default_scale_and_determinism(keypair):
    pk, sk = keypair
    blobs = hecrypt.encrypt_many(pk, [1.5, 2.25])
    total = hecrypt.add_many(pk, blobs)
    assert total == hecrypt.add_many(pk, blobs)
    assert total[0] == 8 and hecrypt.decrypt(sk, total) == 3.75


def test_one_term_sum_is_the_minimal_blob(keypair, ints):
    pk, _ = keypair
    assert hecrypt.add_many(pk, [ints[0]]) == ints[0]
    padded = ints[0][:1] + b"\x00\x00" + ints[0][1:]
    assert hecrypt.add_many(pk, [padded]) == ints[0]
    assert hecrypt.add_blocks(pk, [padded], [[0]]) == [ints[0]]


def test_add_many_refusals_in_order(keypair, ints):
    pk, _ = keypair
    n = oracle.modulus_of(pk)
    product = hecrypt.multiply_many(pk, [hecrypt.encrypt_many(pk, [1.0])[0]], [2.0])[0]
    eight = hecrypt.encrypt_many(pk, [1.0])[0]
    cases = [
        ([], "add_many needs at least one ciphertext" + EMPTY_SUM_TAIL),
        ([eight, product], MIXED.format(2, 16, 8)),
        ([ints[0], eight, b""], MIXED.format(2, 8, 0)),
        ([ints[0], b"", eight], "ciphertext #2: " + EMPTY),
        ([bytes([8]), ints[0]], SUM_RANGE.format(1)),
        ([ints[0], oracle.blob(0, n * n)], SUM_RANGE.format(2)),
    ]
    for blobs, text in cases:
        assert refused(hecrypt.add_many, pk, blobs) == text
    hecrypt.add_many(pk, [ints[0], oracle.blob(0, n)])  # in range: no gcd is computed


def test_headroom_limit(keypair):
    pk, sk = keypair
    one = oracle.blob(0, 1 + oracle.modulus_of(pk))  # 1 encrypted with r = 0: cheap to multiply
    many = [one] * 1048576
    total = hecrypt.add_many(pk, many)
    assert hecrypt.decrypt_many(sk, [total]) == ["1048576"]
    assert refused(hecrypt.add_many, pk, many + [b""]) == (
        "add_many takes at most 1048576 ciphertexts per call, got 1048577: past that the "
        "reserved headroom stops covering the sum. This is a per-call limit, not a guarantee - "
        "chaining calls escapes it, and what actually keeps sums in range is the gap between "
        "the key floor and the f64 range")
    index = [0] * 1048576
    assert hecrypt.add_blocks(pk, [one], [index]) == [total]
    assert refused(hecrypt.add_blocks, pk, [one], [[0], index + [0]]) == (
        "block #2 holds 1048577 ciphertexts, at most 1048576 per sum: past that the reserved "
        "headroom stops covering the sum")


def test_add_blocks_refusals_follow_the_phases(keypair, ints):
    pk, _ = keypair
    eight = hecrypt.encrypt_many(pk, [1.0])[0]
    blobs = [ints[0], ints[1], eight, b""]
    cases = [
        ([[0], []], "block #2 is empty" + EMPTY_SUM_TAIL),
        ([[], [9]], "block #1 is empty" + EMPTY_SUM_TAIL),
        ([[0, 2], [1, 3], [0, 7]],
         "block #3 names index 7 at position 2, and only 4 ciphertexts were given"),
        ([[0, 2], [1, 3]], "ciphertext #4: " + EMPTY),
        ([[1], [0, 1, 2]], BLOCK_MIXED.format(2, 8, 3, 0)),
    ]
    for blocks, text in cases:
        assert refused(hecrypt.add_blocks, pk, blobs, blocks) == text
    assert hecrypt.add_blocks(pk, blobs, []) == []
    assert hecrypt.add_blocks(pk, blobs, [[0, 0], [1]]) == [
        hecrypt.add_many(pk, [ints[0], ints[0]]), ints[1]]


def test_add_blocks_shape_of_tree_training(keypair):
    pk, sk = keypair
    rng = random.Random(3)
    values = [rng.randint(-1000, 1000) for _ in range(60)]
    blobs = hecrypt.encrypt_many(pk, [float(v) for v in values], 0)
    blocks = [rng.sample(range(60), rng.randint(1, 60)) for _ in range(25)]
    sums = hecrypt.decrypt_many(sk, hecrypt.add_blocks(pk, blobs, blocks))
    assert sums == [str(sum(values[i] for i in b)) for b in blocks]
