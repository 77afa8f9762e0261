"""NumPy arrays, and other buffers, as `values`, `scalars` and blocks.

A flat native float64 or integer array is copied from its buffer; every other
one is read item by item. Either way a call gives exactly what the list of
the array's items gives: the same results, the same refusal.
"""

import array
import math
import types
import warnings

import pytest

import hecrypt
import oracle
from children import run
from test_hostile import assert_leaves_nothing
from refusals import outcome, refused
from stand_ins import NO_NUMPY, OwnError, numpy as np

# The kinds of array below that are made without numpy.
NUMPY_FREE = {"memoryview", "strided memoryview", "array.array", "unsigned array.array", "bytes",
              "bytearray"}


@pytest.fixture(scope="module")
def key(keypair):
    """The session's key pair and three fixed ciphertexts at scale 2 under it,
    so that products are fixed bytes."""
    pk, sk = keypair
    n = oracle.modulus_of(pk)
    blobs = [oracle.textbook_encrypt(n, m, 2) for m in (150, -225, 400)]
    return types.SimpleNamespace(pk=pk, sk=sk, blobs=blobs)


# ---- Operations, each given (key, items). Encryptions are compared by their
# exact plaintexts, everything else by its bytes.

def encrypted(key, values):
    blobs = hecrypt.encrypt_many(key.pk, values, 2)
    return hecrypt.decrypt_many(key.sk, [bytes([0]) + b[1:] for b in blobs])


def encrypted_past_the_scale(key, values):
    return hecrypt.encrypt_many(key.pk, values, 256)  # refused after `values`


def secret_products(key, scalars):
    return hecrypt.multiply_many(key.pk, key.blobs, scalars, 1)


def public_products(key, scalars):
    return hecrypt.multiply_many_public(key.pk, key.blobs, scalars, 1)


def products_of_no_blobs(key, scalars):
    return hecrypt.multiply_many(key.pk, [1.0], scalars)  # refused before `scalars`


def block_sums(key, block):
    return hecrypt.add_blocks(key.pk, key.blobs, [[0], block])


FLOAT_OPS = [encrypted, encrypted_past_the_scale, secret_products, public_products,
             products_of_no_blobs]

FLOATS = {
    "accepted": [1.5, -2.25, 0.125],
    "NaN then too large": [0.5, math.nan, 1.7e308],
    "zero then infinity": [0.0, 1.0, math.inf],
    "past 2^53 then minus zero": [2.0**60, -0.0, 3.0],
}

def twice_each(xs):
    return [x for x in xs for _ in "ab"]


# Each makes an array from a list of floats.
FLOAT_ARRAYS = {
    "memoryview": lambda xs: memoryview(array.array("d", xs)),
    "strided memoryview": lambda xs: memoryview(array.array("d", twice_each(xs)))[::2],
    "array.array": lambda xs: array.array("d", xs),
    "float64": lambda xs: np.array(xs),
    "read-only": lambda xs: read_only(np.array(xs)),
    "strided": lambda xs: np.repeat(xs, 2)[::2],
    "reversed": lambda xs: np.array(xs[::-1])[::-1],
    "float32": lambda xs: np.array(xs, np.float32),
    "big-endian": lambda xs: np.array(xs, ">f8"),
    "2-D": lambda xs: np.array([xs]),
    "column": lambda xs: np.array(xs).reshape(-1, 1),
    "object": lambda xs: np.array(xs, object),
}

def read_only(a):
    a.flags.writeable = False
    return a


def needs_numpy(kind):
    return [] if kind in NUMPY_FREE else [NO_NUMPY]


def float_cases():
    for kind in FLOAT_ARRAYS:
        for contents in FLOATS:
            for op in FLOAT_OPS:
                yield pytest.param(op, FLOATS[contents], kind, marks=needs_numpy(kind),
                                   id=f"{op.__name__}-{contents}-{kind}")


@pytest.mark.parametrize("op, items, kind", float_cases())
def test_float_arrays_act_as_their_lists(key, op, items, kind):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # float32 overflow, made on purpose
        items = FLOAT_ARRAYS[kind](items)
        expected = outcome(lambda: op(key, list(items)))
    assert outcome(lambda: op(key, items)) == expected


INDICES = {
    "accepted": [2, 0, 1, 1],
    "negative": [1, -1, 7],
    "out of range": [0, 3],
    "far out of range": [2**40],
    "empty": [],
}

# Each makes a block from a list of ints; those that cannot hold an index
# wrap it, and the list of their items wraps it the same way.
INDEX_ARRAYS = {
    "bytes": lambda xs: bytes(x % 256 for x in xs),
    "bytearray": lambda xs: bytearray(x % 256 for x in xs),
    "memoryview": lambda xs: memoryview(array.array("q", xs)),
    "array.array": lambda xs: array.array("q", xs),
    "unsigned array.array": lambda xs: array.array("Q", [x % 2**64 for x in xs]),
    **{dtype: (lambda dtype: lambda xs: np.array(xs).astype(dtype))(dtype)
       for dtype in ["int64", "int32", "int16", "int8", "uint64", "uint32", "uint8",
                     "intp", ">i8", "<u2"]},
    "strided": lambda xs: np.repeat(np.array(xs, np.int64), 2)[::2],
    "float64": lambda xs: np.array(xs, np.float64),
    "0-d": lambda xs: np.array(xs[0] if xs else 0),
}


def index_cases():
    for kind in INDEX_ARRAYS:
        for contents in INDICES:
            yield pytest.param(INDICES[contents], kind, marks=needs_numpy(kind),
                               id=f"{contents}-{kind}")


@pytest.mark.parametrize("indices, kind", index_cases())
def test_index_arrays_act_as_their_lists(key, indices, kind):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # numpy's casts of -1 and 2**40, made on purpose
        block = INDEX_ARRAYS[kind](indices)
    if getattr(block, "ndim", 1) == 0:
        expected = TypeError, "argument 'blocks': iteration over a 0-d array"
    else:
        expected = outcome(lambda: block_sums(key, list(block)))
    assert outcome(lambda: block_sums(key, block)) == expected


@NO_NUMPY
@pytest.mark.parametrize("blocks", [[[0, 1], [2, 2]], [[0, 1], [2, -1]], [[0, 1]], [[]]])
def test_two_dimensional_blocks_act_as_lists_of_lists(key, blocks):
    expected = outcome(lambda: hecrypt.add_blocks(key.pk, key.blobs, blocks))
    assert outcome(lambda: hecrypt.add_blocks(key.pk, key.blobs, np.array(blocks))) == expected


@NO_NUMPY
def test_float_arrays_without_items(key):
    assert hecrypt.encrypt_many(key.pk, np.array([])) == []
    assert refused(hecrypt.encrypt_many, key.pk, np.array(1.5), error=TypeError) == (
        "argument 'values': iteration over a 0-d array")


@NO_NUMPY
def test_a_masked_item_is_not_read_from_under_its_mask(key):
    """A masked array's buffer holds the data its mask hides: it is read item
    by item, and its masked item is NaN, refused as for the list."""
    masked = np.ma.array([1.0, 2.0], mask=[False, True])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # "converting a masked element to nan"
        expected = outcome(lambda: hecrypt.encrypt_many(key.pk, list(masked)))
        assert outcome(lambda: hecrypt.encrypt_many(key.pk, masked)) == expected
    assert expected[0] is ValueError and expected[1].startswith("value NaN")


class BufferOfPython(list):
    """A class written in Python that exports a buffer (from 3.12 on) that
    raises: it is no C type, so it is read as the list it is."""

    def __buffer__(self, flags):
        raise OwnError("asked for a buffer")


def test_python_classes_are_not_asked_for_a_buffer(key):
    assert block_sums(key, BufferOfPython([1, 2])) == block_sums(key, [1, 2])


# ---- The buffer is released on every path, and nothing is leaked.

# Each takes (key, exporter) and calls an operation on a view of the
# exporter's bytes: 8 zeros, then 8 bytes of 0xff.
RELEASE_CASES = {
    "values accepted": lambda key, e: hecrypt.encrypt_many(key.pk, memoryview(e)[:8].cast("d")),
    "values refused (NaN)": lambda key, e: hecrypt.encrypt_many(key.pk, memoryview(e).cast("d")),
    "scale refused after values": lambda key, e: hecrypt.encrypt_many(
        key.pk, memoryview(e)[:8].cast("d"), 256),
    "block accepted": lambda key, e: block_sums(key, memoryview(e)[:8]),
    "block negative": lambda key, e: block_sums(key, memoryview(e).cast("b")),
    "block out of range": lambda key, e: block_sums(key, memoryview(e)),
}


@pytest.mark.parametrize("case", RELEASE_CASES)
def test_the_buffer_is_released(key, case):
    """A bytearray cannot be resized while any view of it is exported."""
    exporter = bytearray(8) + b"\xff" * 8
    result = outcome(lambda: RELEASE_CASES[case](key, exporter))
    assert isinstance(result, list) == ("accepted" in case)
    exporter.extend(b"\x00" * 1000)  # raises BufferError if still exported


LEAK_CASES = {
    "values read directly": lambda key, a: hecrypt.encrypt_many(key.pk, a),
    "values refused": lambda key, a: hecrypt.encrypt_many(key.pk, a * math.nan),
    "values strided": lambda key, a: hecrypt.encrypt_many(key.pk, a[::2]),
    "block read directly": lambda key, a: block_sums(key, a.astype(np.int64)),
    "block negative": lambda key, a: block_sums(key, -a.astype(np.int32)),
    "block strided": lambda key, a: block_sums(key, a.astype(np.int64)[::2]),
}


@NO_NUMPY
@pytest.mark.parametrize("case", LEAK_CASES)
def test_no_reference_is_kept_or_leaked(key, case):
    items = np.array([1.0, 2.0])
    call = LEAK_CASES[case]
    assert_leaves_nothing(lambda: call(key, items), [items, *key.blobs], rounds=30)


def test_the_module_works_where_numpy_is_absent():
    """Without NumPy to import, buffers are read all the same."""
    script = (
        "import sys; sys.modules['numpy'] = None\n"
        "import hecrypt, oracle, array\n"
        "pk = hecrypt.PublicKey.from_n(oracle.KEY_2048.modulus_bytes())\n"
        "blobs = hecrypt.encrypt_many(pk, memoryview(array.array('d', [1.0, 2.0])), 0)\n"
        "[total] = hecrypt.add_blocks(pk, blobs, [memoryview(array.array('q', [0, 1]))])\n"
        "print(oracle.KEY_2048.decrypt(total))\n")
    assert run(script) == "(0, 3)\n"
