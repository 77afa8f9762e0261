"""Hostile Python objects at the conversion boundary.

Sequences that lie about their length or fail halfway, items whose
__float__/__index__ misbehave or mutate what is being converted, callbacks
that re-enter the module: each must end in exactly the exception the caller
would expect (an exact TypeError named after its argument, anything else
unchanged), keep no reference it should not, and leave the module usable.
"""

import collections
import gc
import math
import operator
import sys
import threading
import types
import warnings

import pytest

import hecrypt
import oracle
from stand_ins import FloatLike, IndexLike, IntegerLike, OwnError, Raises, StrictInt
from refusals import INEXACT_INTEGER, refused

NOT_A_SEQUENCE = "'{}' object cannot be converted to 'Sequence'"


@pytest.fixture(scope="module")
def one(keypair):
    """An encryption of 1 at scale 0."""
    return hecrypt.encrypt_many(keypair[0], [1.0], 0)[0]


@pytest.fixture(autouse=True)
def module_still_works(keypair, one):
    """Whatever a test threw at the module, a sum converts and decrypts afterwards."""
    yield
    assert hecrypt.decrypt_many(keypair[1], hecrypt.add_blocks(keypair[0], [one], [[0, 0]])) == ["2"]


# ---- Hostile containers, on every parameter that takes a list.

class LyingLength(list):
    """A list whose __len__ says `length` (or raises it, when an exception)."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class FailsMidway:
    """A sequence whose iteration yields `yielded` items and then raises `error()`."""

    def __init__(self, items, yielded, error):
        self.items, self.yielded, self.error = items, yielded, error

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield from self.items[:self.yielded]
        raise self.error()


class GetItemOnly:
    """The old sequence protocol: no __iter__, __getitem__ ends with IndexError."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class NonIterator(list):
    def __iter__(self):
        return 5


class FreshCopies(list):
    """Yields new objects that nothing but the converter references."""

    def __iter__(self):
        return (bytes(bytearray(x)) if isinstance(x, bytes) else list(x)
                for x in list.__iter__(self))


# parameter name; a call that hands `items` to the module as that parameter
# and returns how many items were converted; a valid item (None: the `one` blob)
ROUTES = {
    "values": ("values", lambda kp, one, xs: len(hecrypt.encrypt_many(kp[0], xs, 0)), 1.0),
    # a count other than three is refused as a length mismatch
    "scalars": ("scalars", lambda kp, one, xs: len(
        hecrypt.multiply_many_public(kp[0], [one] * 3, xs, 0)), 3.0),
    "blobs": ("blobs", lambda kp, one, xs: len(hecrypt.rerandomize(kp[0], xs)), None),
    "blocks": ("blocks", lambda kp, one, xs: len(hecrypt.add_blocks(kp[0], [one], xs)), [0]),
    "inner block": ("blocks", lambda kp, one, xs: int(
        hecrypt.decrypt_many(kp[1], hecrypt.add_blocks(kp[0], [one], [xs]))[0]), 0),
}


def valid_items(route, one, count):
    item = ROUTES[route][2]
    return [one if item is None else item for _ in range(count)]


ACCEPTED_CONTAINERS = [
    ("len too big", lambda xs: LyingLength(xs, len(xs) + 1000)),
    ("len sys.maxsize", lambda xs: LyingLength(xs, sys.maxsize)),
    ("len too small", lambda xs: LyingLength(xs, 0)),
    ("len negative", lambda xs: LyingLength(xs, -1)),
    ("len too big for ssize_t", lambda xs: LyingLength(xs, 2**80)),
    ("len raises", lambda xs: LyingLength(xs, OwnError("no length"))),
    ("len not an int", lambda xs: LyingLength(xs, "three")),
    ("getitem only", GetItemOnly),
    ("tuple", tuple),
    ("deque", collections.deque),
    ("UserList", collections.UserList),
    ("fresh copies", FreshCopies),
]


# fresh copies are made of bytes and lists only
LENGTH_CASES = [(route, name, make) for name, make in ACCEPTED_CONTAINERS for route in ROUTES
                if name != "fresh copies" or route in ("blobs", "blocks")]


@pytest.mark.parametrize("route, name, make", LENGTH_CASES,
                         ids=[f"{name}-{route}" for route, name, _ in LENGTH_CASES])
def test_length_is_only_a_hint(keypair, one, route, name, make):
    items = make(valid_items(route, one, 3))
    assert ROUTES[route][1](keypair, one, items) == 3


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("yielded", [0, 2])
def test_iteration_failing_midway(keypair, one, route, yielded):
    name, call, _ = ROUTES[route]
    items = valid_items(route, one, 4)
    with pytest.raises(OwnError):
        call(keypair, one, FailsMidway(items, yielded, OwnError))
    with pytest.raises(KeyboardInterrupt):
        call(keypair, one, FailsMidway(items, yielded, KeyboardInterrupt))
    stopping = FailsMidway(items, yielded, lambda: TypeError("stopped"))
    assert refused(call, keypair, one, stopping, error=TypeError) == f"argument '{name}': stopped"
    assert refused(call, keypair, one, NonIterator(items), error=TypeError) == (
        f"argument '{name}': iter() returned non-iterator of type 'int'")


REFUSED_CONTAINERS = [
    lambda: (x for x in []), lambda: iter([]), lambda: map(float, []), lambda: {}.keys(),
    lambda: frozenset(), lambda: {1: 2}, lambda: 1.5, lambda: None,
]


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("make", REFUSED_CONTAINERS)
def test_non_sequences_are_refused_by_type(keypair, one, route, make):
    name, call, _ = ROUTES[route]
    container = make()
    expected = NOT_A_SEQUENCE.format(type(container).__qualname__)
    assert refused(call, keypair, one, container, error=TypeError) == f"argument '{name}': {expected}"


# ---- Hostile items of `values` and `scalars`.

class ArrayLike:
    """What a numpy-like scalar looks like without __float__ or __index__."""

    def __array__(self, dtype=None):
        return [1.0]


class StrictFloat(float):
    pass


class Inexact(Exception):
    """The model's refusal of an integer item whose float is another number."""

    def __init__(self, integer, used):
        super().__init__(integer, used)
        self.integer, self.used = integer, used


def as_double(item):
    """CPython's own PyFloat_AsDouble, as math.fsum applies it to each item;
    an integer item must be exactly the float it converts to."""
    value = math.fsum([item])
    if isinstance(item, float) or not math.isfinite(value) or abs(value) < 2**53:
        return value
    try:
        integer = operator.index(item)
    except TypeError:
        return value
    if integer != value:
        raise Inexact(integer, value)
    return value


def expected_conversion(name, items, convert):
    """('ok', converted items) or (exception type, message) for the first bad item."""
    converted = []
    for position, item in enumerate(items, 1):
        try:
            converted.append(convert(item))
        except Inexact as error:
            used = int(error.used)
            return ValueError, INEXACT_INTEGER.format(name[:-1], position, error.integer, used)
        except Exception as error:
            message = str(error)
            if type(error) is TypeError:
                message = f"argument '{name}': {message}"
            return type(error), message
    return "ok", converted


ITEMS = [
    1, -7, True, False, 2.5, StrictFloat(-0.25), StrictInt(6), 2**53 + 1, FloatLike(4.5),
    IndexLike(-3), FloatLike(1), IndexLike(2**1100), 2**1024, -(2**1100), "1.0", b"1", None,
    1j, ArrayLike(), FloatLike("1.0"), IndexLike("1"), IndexLike(1.0), [1.0],
    Raises(lambda: OwnError("own")), Raises(lambda: TypeError("bad float")),
    Raises(lambda: ZeroDivisionError()),
]
ITEM_IDS = [type(item).__name__ + str(i) for i, item in enumerate(ITEMS)]


def convert(name, pk, one, items, scale):
    if name == "values":
        return hecrypt.encrypt_many(pk, items, scale)
    return hecrypt.multiply_many_public(pk, [one] * len(items), items, scale)


@pytest.mark.parametrize("index", range(len(ITEMS)), ids=ITEM_IDS)
@pytest.mark.parametrize("name", ["values", "scalars"])
def test_items_convert_like_cpython(keypair, one, name, index):
    """Model: CPython's conversion of each item in turn; the first failure wins,
    and it comes before the scale or any value is checked."""
    pk, sk = keypair
    items = [1.5, ITEMS[index], ITEMS[(index + 5) % len(ITEMS)]]
    kind, expected = expected_conversion(name, items, as_double)
    if kind != "ok":
        with pytest.raises(kind) as info:
            convert(name, pk, one, items, 19)  # a scale refused only after conversion
        assert type(info.value) is kind and str(info.value) == expected
        return
    encoded = [oracle.encode(v, 1) for v in expected]
    if name == "scalars" and any(m == 0 or abs(m) >= 2**53 for m in encoded):
        with pytest.raises(ValueError, match="^scalar #"):  # converted, then refused
            convert(name, pk, one, items, 1)
        return
    blobs = convert(name, pk, one, items, 1)
    assert [hecrypt.decrypt(sk, b) for b in blobs] == [oracle.decode(m, 1) for m in encoded]


class OwnTypeError(TypeError):
    pass


CALLER_ERRORS = [OwnError("own"), OwnTypeError("own"), ZeroDivisionError(),
                 KeyboardInterrupt(), SystemExit(), GeneratorExit()]


@pytest.mark.parametrize("error", CALLER_ERRORS, ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("route", ["values", "blocks"])
def test_caller_exceptions_propagate_unchanged(keypair, one, route, error):
    with pytest.raises(type(error)) as info:
        if route == "values":
            hecrypt.encrypt_many(keypair[0], [1.0, Raises(lambda: error)])
        else:
            hecrypt.add_blocks(keypair[0], [one], [[0], [Raises(lambda: error)]])
    assert info.value is error


@pytest.mark.parametrize("item", [FloatLike(StrictFloat(2.0)), IndexLike(StrictInt(2))],
                         ids=["__float__ float subclass", "__index__ int subclass"])
def test_deprecated_results_warn_or_raise_unchanged(keypair, item):
    pk, sk = keypair
    with pytest.warns(DeprecationWarning):
        blobs = hecrypt.encrypt_many(pk, [item], 0)
    assert hecrypt.decrypt(sk, blobs[0]) == 2.0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning) as info:
            hecrypt.encrypt_many(pk, [item], 0)
    assert type(info.value) is DeprecationWarning  # not a TypeError, so no prefix


# ---- Hostile items of blocks.

def expected_index(item):
    value = operator.index(item) if not isinstance(item, int) else int(item)
    if value < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if value >= 2**64:
        raise OverflowError("int too big to convert")
    return value


INDEX_ITEMS = [
    0, True, False, StrictInt(0), IndexLike(0), IndexLike(True), 2**64 - 1, 2**64, -1,
    IndexLike(-1), IndexLike(2**200), 0.0, "0", None, FloatLike(0.0), ArrayLike(), IndexLike("0"),
    IndexLike(0.0), Raises(lambda: OwnError("own")), Raises(lambda: TypeError("bad index")),
]


@pytest.mark.parametrize("index", range(len(INDEX_ITEMS)),
                         ids=[type(item).__name__ + str(i) for i, item in enumerate(INDEX_ITEMS)])
def test_index_items_convert_like_cpython(keypair, one, index):
    """Blocks are converted whole, block by block and item by item, before any
    block is checked; an empty block or an index past the one blob only then
    is refused."""
    blocks = [[0, INDEX_ITEMS[index]], [] if index % 2 else [0],
              [INDEX_ITEMS[(index + 7) % len(INDEX_ITEMS)]]]
    flat = [item for block in blocks for item in block]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # __index__ returning a bool
        kind, expected = expected_conversion("blocks", flat, expected_index)
        try:
            sums = hecrypt.add_blocks(keypair[0], [one], blocks)
        except ValueError as error:
            assert kind == "ok" and (any(expected) or [] in blocks), str(error)
            return
        except Exception as error:
            assert (type(error), str(error)) == (kind, expected)
            return
    assert kind == "ok" and not any(expected) and [] not in blocks
    assert len(sums) == len(blocks)


# ---- Items that change the world while they are converted.

class ClearsList:
    """Empties `owner` (which holds the only other reference to it) from __float__."""

    def __init__(self, owner, log):
        self.owner, self.log = owner, log

    def __float__(self):
        self.owner.clear()
        self.log.append("converted")
        return 2.0

    def __index__(self):
        self.__float__()
        return 0

    def __del__(self):
        self.log.append("deleted")


@pytest.mark.parametrize("route", ["values", "inner block"])
def test_item_that_clears_its_list(keypair, one, route):
    log = []
    items = [1.0 if route == "values" else 0]
    items += [ClearsList(items, log), 5.0 if route == "values" else 0]
    result = ROUTES[route][1](keypair, one, items)
    # the list iterator sees the cleared list; the item itself stayed alive
    # until the module had finished with it
    assert result == 2 and log == ["converted", "deleted"]


class Appends:
    def __init__(self, owner, count):
        self.owner, self.count = owner, count

    def __float__(self):
        if self.count:
            self.owner.append(Appends(self.owner, self.count - 1))
        return 1.0


def test_item_that_grows_its_list(keypair):
    items = []
    items.append(Appends(items, 4))
    assert len(hecrypt.encrypt_many(keypair[0], items, 0)) == 5


class ReEnters:
    """__float__ calls the module again: directly, or through another thread."""

    def __init__(self, pk, via_thread):
        self.pk, self.via_thread = pk, via_thread
        self.inner = None

    def __float__(self):
        def work():
            self.inner = hecrypt.encrypt_many(self.pk, [7.0, 8.0, 9.0], 0)

        if self.via_thread:
            thread = threading.Thread(target=work)
            thread.start()
            thread.join(60)
            assert not thread.is_alive()
        else:
            work()
        return 3.0


@pytest.mark.parametrize("via_thread", [False, True], ids=["nested", "other thread"])
def test_conversion_that_reenters_the_module(keypair, via_thread):
    pk, sk = keypair
    item = ReEnters(pk, via_thread)
    outer = hecrypt.encrypt_many(pk, [1.0, item, 2.0], 0)
    assert hecrypt.decrypt_many(sk, outer) == ["1", "3", "2"]
    assert hecrypt.decrypt_many(sk, item.inner) == ["7", "8", "9"]


class PretendingBytes(bytes):
    """A bytes subclass whose Python-level view disagrees with its buffer."""

    def __len__(self):
        return 0

    def __getitem__(self, i):
        return 0

    def __iter__(self):
        return iter(())

    def __bytes__(self):
        return b""


def test_bytes_subclass_is_read_from_its_buffer(keypair, one):
    pk, sk = keypair
    hostile = PretendingBytes(one)
    assert hecrypt.decrypt(sk, hostile) == 1.0
    assert hecrypt.decrypt_many(sk, hecrypt.rerandomize(pk, [hostile, hostile])) == ["1", "1"]
    assert hecrypt.add_many(pk, [hostile]) == one


@pytest.mark.parametrize("cls", [hecrypt.PublicKey, hecrypt.SecretKey], ids=lambda c: c.__name__)
def test_tampered_key_types_make_no_empty_key(keypair, cls):
    """A key object without its record would crash the first operation that
    read it: no tampering with the classes may produce one."""
    other = keypair[cls is hecrypt.PublicKey]  # an instance of the other class
    with pytest.raises(TypeError):
        other.__class__ = cls
    original = cls.__dict__["__new__"]
    try:
        for tamper in [lambda: setattr(cls, "__new__", object.__new__),
                       lambda: delattr(cls, "__new__")]:
            tamper()
            for make in [cls, lambda: object.__new__(cls), lambda: cls.__new__(cls)]:
                with pytest.raises(TypeError):
                    make()
            setattr(cls, "__new__", original)
    finally:
        setattr(cls, "__new__", original)


# ---- References: nothing kept, nothing leaked, on any path.

def attempt(call):
    try:
        call()
    except (Exception, KeyboardInterrupt):
        pass


def assert_leaves_nothing(call, watched, rounds=100):
    """Runs `call` in windows of `rounds` calls. The watched objects'
    reference counts must not move, and in one window at least the
    interpreter's allocated blocks must grow by less than a leak of one object
    per call would make them (the first calls, and stray ones, fill caches)."""
    for _ in range(rounds):
        attempt(call)
    gc.collect()  # frames of earlier exceptions hold references until then
    counts = [sys.getrefcount(o) for o in watched]
    growth = []
    for _ in range(3):
        gc.collect()
        blocks = sys.getallocatedblocks()
        for _ in range(rounds):
            attempt(call)
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
    assert [sys.getrefcount(o) for o in watched] == counts
    assert min(growth) < rounds // 2, growth


def typed_error_with_cause(cause):
    error = TypeError("bad index")
    error.__cause__ = cause
    return error


LEAK_CASES = {
    "values accepted": lambda w: hecrypt.encrypt_many(w.pk, [1.0, IndexLike(w.k)], 0),
    "values fail late": lambda w: hecrypt.encrypt_many(w.pk, [w.k, w.b, "x"]),
    "values inexact int": lambda w: hecrypt.encrypt_many(w.pk, [w.k, w.k << 20 | 1]),
    "values inexact past int64": lambda w: hecrypt.encrypt_many(w.pk, [w.k << 80 | 1]),
    "values inexact index-like": lambda w: hecrypt.encrypt_many(w.pk, [IndexLike(w.k << 20 | 1)]),
    "scalars inexact integer-like": lambda w: hecrypt.multiply_many(
        w.pk, [w.b], [IntegerLike(w.k << 20 | 1)]),
    "blobs fail midway": lambda w: hecrypt.rerandomize(
        w.pk, FailsMidway([w.b, w.b, w.c], 2, OwnError)),
    "blobs then scalars fail": lambda w: hecrypt.multiply_many(
        w.pk, [w.b, w.c], [1.0, Raises(lambda: OwnError())]),
    "blobs then scale fails": lambda w: hecrypt.multiply_many(w.pk, [w.b], [2.0], 256),
    "blobs then block index fails": lambda w: hecrypt.add_blocks(
        w.pk, [w.b, w.c], [[0], [Raises(lambda: typed_error_with_cause(w.cause))]]),
    "blocks index-like": lambda w: hecrypt.add_blocks(w.pk, [w.b], [[0, IndexLike(w.k)]]),
    "blocks fail midway": lambda w: hecrypt.add_blocks(
        w.pk, [w.b], [[0], FailsMidway([0], 1, OwnError)]),
    "refused by the operation": lambda w: hecrypt.add_many(w.pk, [w.b, w.c, b"\x07"]),
    "blocks out of range": lambda w: hecrypt.add_blocks(w.pk, [w.b, w.c], [[0, 2]]),
    "accepted sum": lambda w: hecrypt.add_blocks(w.pk, [w.b, w.c], [[0, 1], [1]]),
    "decrypt accepted": lambda w: hecrypt.decrypt_many(w.sk, [w.b]),
    "decrypt refused": lambda w: hecrypt.decrypt(w.sk, w.b[:1]),
    "wrong key type": lambda w: hecrypt.decrypt_many(w.pk, [w.b]),
    "call shape": lambda w: hecrypt.add_many(w.pk, [w.b], blobs=[w.c]),
    "from_n refused": lambda w: hecrypt.PublicKey.from_n(w.b + w.c),
    "lying length": lambda w: hecrypt.rerandomize(w.pk, LyingLength([w.b], 2**40)),
}


@pytest.mark.parametrize("case", LEAK_CASES)
def test_no_reference_is_kept_or_leaked(keypair, one, case):
    pk, sk = keypair
    w = types.SimpleNamespace(
        pk=pk, sk=sk, b=one, c=hecrypt.rerandomize(pk, [one])[0],
        k=2**40 + 12345,  # an int that is no cached small int, and fits an index
        cause=OwnError("the cause"))
    call = LEAK_CASES[case]
    assert_leaves_nothing(lambda: call(w), list(vars(w).values()), rounds=60)


class CountingSink:
    """A stderr that keeps no text (so that it does not grow) but counts tracebacks."""

    def __init__(self):
        self.tracebacks = 0

    def write(self, text):
        self.tracebacks += text.count("Traceback")
        return len(text)

    def flush(self):
        pass


def test_panic_from_a_callback_leaves_nothing(keypair, panic_type, monkeypatch):
    pk, panic = keypair[0], panic_type
    raised = collections.Counter()

    def call():
        try:
            hecrypt.encrypt_many(pk, [marker, Raises(lambda: panic("from a callback"))])
        except panic as error:
            raised[error.args] += 1

    marker = 2**70  # a float holds it exactly; no small-int cache holds it
    sink = CountingSink()
    monkeypatch.setattr(sys, "stderr", sink)
    assert_leaves_nothing(call, [pk, marker], rounds=100)
    assert raised == {("from a callback",): 400}
    assert sink.tracebacks == 400  # each one reported before it was raised anew
