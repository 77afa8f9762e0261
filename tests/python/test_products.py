"""multiply_many and multiply_many_public: E(x) -> E(k x), and rerandomize."""

import pytest
from hypothesis import given, settings, strategies as st

import hecrypt
import oracle
from refusals import EMPTY, NOT_FINITE, SCALE, refused

SCALE_PAST = ("scalar #{}: the product lands at scale 1e{} (1e{} of the ciphertext times 1e{} of "
              "the scalar), past the 1e18 this encoding allows. Lower scalar_scale_pow10 - the "
              "product's scale is the SUM of the two, so multiplication does not compose at the "
              "default")
ZERO = ("scalar #{} encodes to zero at scale {} (it is {}): the product would be the constant 1, "
        "destroying the value and marking the result as recognisably zero to anyone who sees "
        "it. Encrypt a zero if that is the intent")
WIDE = ("scalar #{} encodes to {} digits, past the 64-bit width every scalar exponentiation runs "
        "at. The width is fixed on purpose: a per-scalar width would show the magnitude of the "
        "scalar in the timing")
PAST_53 = ("scalar #{} encodes to {} — past 2^53, where an f64 no longer holds every integer, so "
           "the value that would be used is not the one that was asked for. Lower "
           "scalar_scale_pow10, or scale the values down")
BOTH = [hecrypt.multiply_many, hecrypt.multiply_many_public]


@pytest.mark.parametrize("multiply", BOTH)
@settings(max_examples=10, deadline=None)
@given(x=st.integers(-10**6, 10**6), k=st.integers(-10**6, 10**6).filter(bool),
       scalar_scale=st.sampled_from([None, 0, 2]))
def test_products_decrypt_to_the_product(keypair, multiply, x, k, scalar_scale):
    pk, _ = keypair
    [c] = hecrypt.encrypt_many(pk, [x / 100], 2)
    scalar = k / 100 if scalar_scale in (None, 2) else float(k)
    [product] = multiply(pk, [c], [scalar], scalar_scale)
    d = 2 if scalar_scale is None else scalar_scale
    assert product[0] == 2 + d
    assert exact_plaintext(keypair, product) == str(x * k)


def exact_plaintext(keypair, blob):
    """The plaintext integer of a blob, whatever its scale."""
    return hecrypt.decrypt_many(keypair[1], [bytes([0]) + blob[1:]])[0]


def test_fractional_scalar_and_chained_sum(keypair):
    pk, sk = keypair
    blobs = hecrypt.encrypt_many(pk, [1.5, -2.25])
    total = hecrypt.add_many(pk, blobs)
    [product] = hecrypt.multiply_many(pk, [total], [2.5])
    assert product[0] == 16 and hecrypt.decrypt(sk, product) == -1.875


def test_both_paths_give_the_same_bytes(keypair):
    pk, _ = keypair
    n2 = oracle.modulus_of(pk) ** 2
    blobs = hecrypt.encrypt_many(pk, [0.5, -1.25, 3.0], 0)
    scalars = [-3.0, 7.0, -2.0]
    secret = hecrypt.multiply_many(pk, blobs, scalars)
    assert secret == hecrypt.multiply_many_public(pk, blobs, scalars)
    c = int.from_bytes(blobs[0][1:], "big")
    assert secret[0] == oracle.blob(0, pow(c, -3, n2))
    assert secret == hecrypt.multiply_many(pk, blobs, scalars)  # deterministic


@pytest.mark.parametrize("multiply", BOTH)
def test_shared_refusals(keypair, multiply):
    pk, _ = keypair
    n = oracle.modulus_of(pk)
    eight = hecrypt.encrypt_many(pk, [1.0])[0]
    sixteen = hecrypt.multiply_many(pk, [eight], [2.0])[0]
    name = multiply.__name__
    assert refused(multiply, pk, [eight], []) == (
        f"{name} got 1 ciphertexts and 0 scalars: they are paired by position, and a length "
        "mismatch means the pairing the caller intended is not the one that would happen")
    cases = [
        ([eight, b""], [1.0, 1.0], None, "ciphertext #2: " + EMPTY),
        ([oracle.blob(8, n * n)], [1.0], None, "ciphertext #1 is not in [1, n^2) of this key"),
        ([eight, sixteen], [1.0, 1.0], None, SCALE_PAST.format(2, 32, 16, 16)),
        ([sixteen], [1.0], 8, SCALE_PAST.format(1, 24, 16, 8)),
        ([eight], [float("nan")], None, "scalar #1: " + NOT_FINITE.format("NaN")),
        ([eight], [1e-9], None, ZERO.format(1, "1e8", "1e-9")),
        ([eight], [0.0], None, ZERO.format(1, "1e8", "0e0")),
        ([eight], [-0.4], 0, ZERO.format(1, "1e0", "-4e-1")),
    ]
    for blobs, scalars, d, text in cases:
        assert refused(multiply, pk, blobs, scalars, d) == text
    assert multiply(pk, [], []) == []
    assert multiply(pk, [sixteen], [1.5], 2)[0][0] == 18


def test_secret_scalar_width(keypair):
    pk, _ = keypair
    [c] = hecrypt.encrypt_many(pk, [1.0], 0)
    hecrypt.multiply_many(pk, [c], [1.8e19], 0)
    assert refused(hecrypt.multiply_many, pk, [c], [1.9e19], 0) == WIDE.format(1, 20)
    assert refused(hecrypt.multiply_many, pk, [c], [-1.9e19], 0) == WIDE.format(1, 20)


def test_public_scalar_bound(keypair):
    pk, _ = keypair
    eight = hecrypt.encrypt_many(pk, [1.0])[0]
    hecrypt.multiply_many_public(pk, [eight], [9.0e7])
    assert refused(hecrypt.multiply_many_public, pk, [eight], [9.1e7]) == PAST_53.format(
        1, 9100000000000000)
    [c] = hecrypt.encrypt_many(pk, [1.0], 0)
    assert refused(hecrypt.multiply_many_public, pk, [c], [-(2.0**53)], 0) == PAST_53.format(
        1, -(2**53))


def test_factor_sharing_ciphertexts(keypair):
    pk, _ = keypair
    n = oracle.modulus_of(pk)
    assert refused(hecrypt.multiply_many, pk, [oracle.blob(0, n)], [2.0]) == (
        "ciphertext #1 is not invertible modulo n^2: it shares a factor with n, so it is not a "
        "ciphertext under this key")
    assert refused(hecrypt.multiply_many_public, pk, [oracle.blob(0, n)], [2.0]) == (
        "ciphertext #1 shares a factor with n, so it is not a ciphertext under this key")


def test_rerandomize_keeps_plaintext_and_scale(keypair):
    pk, sk = keypair
    blobs = hecrypt.encrypt_many(pk, [1.25, -7.5], 2)
    once = hecrypt.add_many(pk, blobs[:1])
    fresh = hecrypt.rerandomize(pk, [once, once, blobs[1]])
    assert fresh[0] != fresh[1] and once not in fresh
    assert [b[0] for b in fresh] == [2, 2, 2]
    assert [hecrypt.decrypt(sk, b) for b in fresh] == [1.25, 1.25, -7.5]
    assert hecrypt.rerandomize(pk, []) == []


def test_rerandomize_refusals(keypair):
    pk, _ = keypair
    n = oracle.modulus_of(pk)
    good = hecrypt.encrypt_many(pk, [1.0])[0]
    for blobs, text in [
        ([good, bytes([8])], "ciphertext #2 is not in [1, n^2) of this key"),
        ([oracle.blob(0, n * n)], "ciphertext #1 is not in [1, n^2) of this key"),
        ([bytes([19, 1])], "ciphertext #1: " + SCALE.format(19)),
    ]:
        assert refused(hecrypt.rerandomize, pk, blobs) == text
    hecrypt.rerandomize(pk, [oracle.blob(0, n)])  # range test only
