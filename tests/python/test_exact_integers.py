"""Integer items of `values` and `scalars` are taken exactly or refused.

The operations work on floats; an integer that no float holds would silently
become its neighbour, a plausible wrong number. Floats are the caller's own
rounding and pass unchanged.
"""

import operator
import warnings

import pytest

import hecrypt
import oracle
from stand_ins import NO_NUMPY, FloatLike, IndexLike, IntegerLike, OwnError, StrictInt, numpy
from refusals import INEXACT_INTEGER, refused


class FloatArrayLike:
    """What a NumPy float array looks like: a float, and an __index__ that refuses."""

    def __init__(self, value, error=TypeError):
        self.value, self.error = value, error

    def __float__(self):
        return self.value

    def __index__(self):
        raise self.error("only integer scalar arrays can be converted to a scalar index")


class NotConverted:
    """Fails the test if the module converts it: conversion must stop before."""

    def __float__(self):
        raise AssertionError("converted past the refused item")

    __index__ = __float__


def item(make, *marks, id):
    return pytest.param(make, marks=marks, id=id)


# Each case is made from numpy (None where it is missing).
INEXACT = [
    item(lambda np: 2**53 + 1, id="2**53+1"),
    item(lambda np: -(2**53) - 1, id="-(2**53+1)"),
    item(lambda np: 2**63 - 1, id="largest int64"),  # its double is 2**63, past int64
    item(lambda np: -(2**63) + 1, id="-(2**63)+1"),
    item(lambda np: 2**64 + 1, id="past int64"),
    item(lambda np: 123456789012345678901234567890, id="30 digits"),
    item(lambda np: StrictInt(2**53 + 1), id="int subclass"),
    item(lambda np: IndexLike(2**53 + 3), id="__index__ only"),
    item(lambda np: IntegerLike(-(2**60) - 1), id="__float__ and __index__"),
    item(lambda np: np.int64(2**53 + 1), NO_NUMPY, id="numpy.int64"),
    item(lambda np: np.uint64(2**64 - 1), NO_NUMPY, id="numpy.uint64"),
]


def call(function, pk, items):
    """Hands `items` to `function` as its values or scalars, at scale 0."""
    if function is hecrypt.encrypt_many:
        return function(pk, items, 0)
    [blob] = hecrypt.encrypt_many(pk, [3.0], 0)
    return function(pk, [blob] * len(items), items, 0)


FUNCTIONS = [hecrypt.encrypt_many, hecrypt.multiply_many, hecrypt.multiply_many_public]


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("position", [1, 3])
@pytest.mark.parametrize("make", INEXACT)
def test_inexact_integers_are_refused(keypair, function, position, make):
    bad = make(numpy)
    integer = operator.index(bad)
    items = [2.0] * (position - 1) + [bad, NotConverted()]
    with pytest.raises(ValueError) as info:
        call(function, keypair[0], items)
    noun = "value" if function is hecrypt.encrypt_many else "scalar"
    assert type(info.value) is ValueError
    used = int(float(integer))
    assert str(info.value) == INEXACT_INTEGER.format(noun, position, integer, used)


def test_refusal_names_the_number_used(keypair):
    big = 123456789012345678901234567890
    assert refused(hecrypt.encrypt_many, keypair[0], [1, 2.5, big], 0) == INEXACT_INTEGER.format(
        "value", 3, big, 123456789012345677877719597056)


EXACT = [
    item(lambda np: 0, id="0"),
    item(lambda np: 5, id="5"),
    item(lambda np: -(2**60), id="-2**60"),
    item(lambda np: 2**53, id="2**53"),
    item(lambda np: 2**53 + 2, id="2**53+2"),
    item(lambda np: -(2**63), id="least int64"),
    item(lambda np: 2**63, id="2**63"),
    item(lambda np: 2**1000, id="2**1000"),
    item(lambda np: True, id="True"),
    item(lambda np: False, id="False"),
    item(lambda np: StrictInt(2**60), id="int subclass"),
    item(lambda np: IndexLike(2**62), id="__index__ only"),
    item(lambda np: IntegerLike(-(2**70)), id="__float__ and __index__"),
    item(lambda np: np.int64(-(2**62)), NO_NUMPY, id="numpy.int64"),
    item(lambda np: np.uint64(2**63), NO_NUMPY, id="numpy.uint64"),
    item(lambda np: np.True_, NO_NUMPY, id="numpy.bool_"),
]

FLOATS = [
    item(lambda np: 2.0**53, id="2.0**53"),
    item(lambda np: 1e20, id="1e20"),
    item(lambda np: 2.5, id="2.5"),
    item(lambda np: -0.4, id="-0.4"),
    item(lambda np: FloatLike(3.5), id="__float__ only"),
    item(lambda np: FloatArrayLike(1e20), id="__index__ refuses"),
    item(lambda np: np.float64(2.0**60), NO_NUMPY, id="numpy.float64"),
    item(lambda np: np.float32(1.5), NO_NUMPY, id="numpy.float32"),
    item(lambda np: np.array(1e20), NO_NUMPY, id="numpy float array"),
]


def round_trip(keypair, value):
    """decrypt_many of the encryption of [1.0, value] at scale 0."""
    pk, sk = keypair
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # asking numpy.bool_ for __index__ would warn
        blobs = hecrypt.encrypt_many(pk, [1.0, value], 0)
    return hecrypt.decrypt_many(sk, blobs)


@pytest.mark.parametrize("make", EXACT)
def test_exact_integers_round_trip_exactly(keypair, make):
    value = make(numpy)
    assert round_trip(keypair, value) == ["1", str(int(value))]


@pytest.mark.parametrize("make", FLOATS)
def test_floats_round_trip_as_before(keypair, make):
    value = make(numpy)
    assert round_trip(keypair, value) == ["1", str(oracle.encode(float(value), 0))]


SCALARS = [
    item(lambda np: True, id="True"),
    item(lambda np: -(2**52), id="-2**52"),
    item(lambda np: IntegerLike(-(2**50)), id="__float__ and __index__"),
    item(lambda np: np.int64(2**50), NO_NUMPY, id="numpy.int64"),
]


@pytest.mark.parametrize("function", FUNCTIONS[1:], ids=lambda f: f.__name__)
@pytest.mark.parametrize("make", SCALARS)
def test_exact_integer_scalars_multiply_exactly(keypair, function, make):
    scalar = make(numpy)
    products = call(function, keypair[0], [scalar, -7])
    assert hecrypt.decrypt_many(keypair[1], products) == [str(3 * operator.index(scalar)), "-21"]


def test_errors_of_index_after_a_large_float_propagate(keypair):
    """A float past 2^53 from an object with __index__ asks __index__ for the
    exact value: a TypeError there says "no integer", any other error is the
    caller's and comes back unchanged."""
    with pytest.raises(OwnError):
        hecrypt.encrypt_many(keypair[0], [FloatArrayLike(1e20, OwnError)], 0)
    # below 2^53 the float is exact for any integer, and __index__ is not asked
    assert len(hecrypt.encrypt_many(keypair[0], [FloatArrayLike(2.0**52, OwnError)], 0)) == 1
