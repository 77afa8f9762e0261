"""Values make the round trip: encrypt_many, decrypt, decrypt_many."""

import math
import sys

import pytest
from hypothesis import given, settings, strategies as st

import hecrypt
import oracle
from refusals import EMPTY, NOT_FINITE, SCALE, refused

MAX = sys.float_info.max
NOT_A_CIPHERTEXT = (
    "not a ciphertext under this key: a valid one lies in [1, n^2) and is coprime with n. A "
    "ciphertext made under a different key usually lands here, but not always - there is no "
    "pairing check, and there cannot be one from n alone")


def finite(limit):
    return st.floats(allow_nan=False, allow_infinity=False, min_value=-limit, max_value=limit)


@pytest.mark.parametrize("scale", [0, 1, 8, 18])
@settings(max_examples=25, deadline=None)
@given(values=st.lists(finite(1e280), max_size=6))
def test_round_trip_matches_the_encoding(keypair, scale, values):
    pk, sk = keypair
    blobs = hecrypt.encrypt_many(pk, values, scale)
    assert [b[0] for b in blobs] == [scale] * len(values)
    decrypted = [hecrypt.decrypt(sk, b) for b in blobs]
    assert decrypted == [oracle.decode(oracle.encode(v, scale), scale) for v in values]


@pytest.mark.parametrize("value, scale, m", [
    (0.125, 2, 13), (-0.125, 2, -13), (2.5, 0, 3), (-2.5, 0, -3), (1.5, 0, 2), (-1.5, 0, -2),
    (1.005, 2, 100), (-0.0, 8, 0), (4e-9, 8, 0), (2.0**53 + 2, 0, 2**53 + 2),
    (1e300, 0, int(1e300)), (MAX, 0, int(MAX)), (-MAX, 0, -int(MAX)),
])
def test_encoding_checked_by_an_independent_decryption(known_pk, value, scale, m):
    [blob] = hecrypt.encrypt_many(known_pk, [value], scale)
    assert oracle.KEY_2048.decrypt(blob) == (scale, m)


def test_textbook_ciphertexts_decrypt(keypair):
    pk, sk = keypair
    n = oracle.modulus_of(pk)
    for m in [0, 1, -1, 42, -(10**30), (n - 1) // 2, -((n - 1) // 2)]:
        assert hecrypt.decrypt_many(sk, [oracle.textbook_encrypt(n, m)]) == [str(m)]


def test_default_scale_and_fresh_randomness(keypair):
    pk, sk = keypair
    a, b = hecrypt.encrypt_many(pk, [1.5, 1.5])
    assert a[0] == b[0] == 8 and a != b
    assert hecrypt.decrypt(sk, a) == hecrypt.decrypt(sk, b) == 1.5
    assert hecrypt.encrypt_many(pk, []) == []


@pytest.mark.parametrize("value, text", [
    (math.nan, NOT_FINITE.format("NaN")),
    (-math.inf, NOT_FINITE.format("-inf")),
    (1e300, "value 1e300 overflows to infinity once scaled by 1e18"),
    (-2.5e290, "value -2.5e290 overflows to infinity once scaled by 1e18"),
])
def test_unencodable_values_are_refused(keypair, value, text):
    assert refused(lambda: hecrypt.encrypt_many(keypair[0], [1.0, value], 18)) == text


def test_scale_limit_is_checked_before_any_value(keypair):
    pk, _ = keypair
    assert hecrypt.encrypt_many(pk, [1.0], 18)[0][0] == 18
    assert refused(lambda: hecrypt.encrypt_many(pk, [math.nan], 19)) == SCALE.format(19)


def test_integers_beyond_a_double(keypair):
    pk, sk = keypair
    [big, one] = hecrypt.encrypt_many(pk, [2.0**53, 1.0], 0)
    total = hecrypt.add_many(pk, [big, one])
    assert hecrypt.decrypt(sk, total) == 2.0**53
    assert hecrypt.decrypt_many(sk, [total]) == [str(2**53 + 1)]
    huge = hecrypt.add_many(pk, hecrypt.encrypt_many(pk, [MAX, MAX], 0))
    assert hecrypt.decrypt_many(sk, [huge]) == [str(2 * int(MAX))]
    assert refused(lambda: hecrypt.decrypt(sk, huge)) == (
        "plaintext of 309 digits does not fit a float: the sum has outgrown the encoding, and "
        "returning a finite number here would hide that")


def blob_of(c, scale=0):
    return oracle.blob(scale, c)


def test_decrypt_refusals(keypair):
    pk, sk = keypair
    n = oracle.modulus_of(pk)
    cases = [
        (b"", EMPTY),
        (bytes([19, 1]), SCALE.format(19)),
        (bytes([255]), SCALE.format(255)),
        (bytes([8]), NOT_A_CIPHERTEXT),
        (blob_of(n), NOT_A_CIPHERTEXT),
        (blob_of(n * n), NOT_A_CIPHERTEXT),
        (blob_of(n * n + 1), NOT_A_CIPHERTEXT),
    ]
    for blob, text in cases:
        assert refused(lambda: hecrypt.decrypt(sk, blob)) == text
    assert hecrypt.decrypt(sk, bytes([8, 0, 1])) == 0.0
    assert hecrypt.decrypt(sk, blob_of(n * n - 1)) == 0.0  # -1 is an n-th power


def test_decrypt_many_refusals(keypair):
    pk, sk = keypair
    n = oracle.modulus_of(pk)
    good = hecrypt.encrypt_many(pk, [1.0], 0)[0]
    cases = [
        ([good, b""], "ciphertext #2: " + EMPTY),
        ([good, good, bytes([19])], "ciphertext #3: " + SCALE.format(19)),
        ([hecrypt.encrypt_many(pk, [1.0])[0]],
         "ciphertext #1 carries scale 1e8: an exact decryption returns the plaintext integer, "
         "and a scale would divide it back into a float"),
        ([good, blob_of(n)], "ciphertext #2 is not one under this key"),
        ([blob_of(0)], "ciphertext #1 is not one under this key"),
    ]
    for blobs, text in cases:
        assert refused(lambda: hecrypt.decrypt_many(sk, blobs)) == text
    assert hecrypt.decrypt_many(sk, []) == []
    assert hecrypt.decrypt_many(sk, [bytes([0, 0, 0, 1])]) == ["0"]


def test_blob_from_a_larger_key_is_refused(keypair):
    _, sk = keypair
    other = hecrypt.PublicKey.from_n(oracle.KEY_3072.modulus_bytes())
    [foreign] = hecrypt.encrypt_many(other, [1.0], 0)
    with pytest.raises(ValueError, match="not a ciphertext under this key"):
        hecrypt.decrypt(sk, foreign)
