"""The common call frame: binding of positional and keyword arguments,
argument conversion and the exception each failure becomes."""

import re

import pytest

import hecrypt
from stand_ins import IndexLike, Raises
from refusals import outcome, refused

PublicKey = hecrypt.PublicKey
RANGE = "out of range integral type conversion attempted"

# ---- Call shape. Binding happens before any conversion, so placeholder
# arguments (None) are enough to reach each message.

# entry point, full name, number of parameters, how the count reads
ENTRY_POINTS = [
    (hecrypt.generate_keypair, "generate_keypair()", 1, "from 0 to 1"),
    (hecrypt.encrypt_many, "encrypt_many()", 3, "from 2 to 3"),
    (hecrypt.add_many, "add_many()", 2, "2"),
    (hecrypt.add_blocks, "add_blocks()", 3, "3"),
    (hecrypt.multiply_many, "multiply_many()", 4, "from 3 to 4"),
    (hecrypt.multiply_many_public, "multiply_many_public()", 4, "from 3 to 4"),
    (hecrypt.rerandomize, "rerandomize()", 2, "2"),
    (hecrypt.decrypt, "decrypt()", 2, "2"),
    (hecrypt.decrypt_many, "decrypt_many()", 2, "2"),
    (PublicKey.from_n, "PublicKey.from_n()", 1, "1"),
]
ENTRY_IDS = [e[1] for e in ENTRY_POINTS]

CALL_SHAPES = [
    # missing required arguments: one, two and three names
    (hecrypt.add_blocks, (1, 2), {},
     "add_blocks() missing 1 required positional argument: 'blocks'"),
    (hecrypt.add_many, (), {}, "add_many() missing 2 required positional arguments: 'pk' and 'blobs'"),
    (hecrypt.add_blocks, (), {},
     "add_blocks() missing 3 required positional arguments: 'pk', 'blobs', and 'blocks'"),
    (hecrypt.multiply_many, (), {"scalar_scale_pow10": None},
     "multiply_many() missing 3 required positional arguments: 'pk', 'blobs', and 'scalars'"),
    (hecrypt.multiply_many_public, (1,), {"scalars": 3},
     "multiply_many_public() missing 1 required positional argument: 'blobs'"),
    (PublicKey.from_n, (), {}, "PublicKey.from_n() missing 1 required positional argument: 'raw'"),
    # keywords
    (hecrypt.decrypt, (1, 2), {"key": 3}, "decrypt() got an unexpected keyword argument 'key'"),
    (hecrypt.add_many, (1, 2), {"extra": 1}, "add_many() got an unexpected keyword argument 'extra'"),
    (hecrypt.add_many, (1,), {"pk": 1}, "add_many() got multiple values for argument 'pk'"),
    (PublicKey.from_n, (b"",), {"raw": b""},
     "PublicKey.from_n() got multiple values for argument 'raw'"),
    (hecrypt.add_many, (), {"PK": 1}, "add_many() got an unexpected keyword argument 'PK'"),
    (hecrypt.add_many, (), {"\udc80": 1}, "add_many() got an unexpected keyword argument '\udc80'"),
    # which failure wins: positional count, then keywords in order, then missing
    (hecrypt.add_many, (1, 2, 3), {"extra": 1},
     "add_many() takes 2 positional arguments but 3 were given"),
    (hecrypt.add_many, (1,), {"pk": 1, "extra": 2},
     "add_many() got multiple values for argument 'pk'"),
    (hecrypt.add_many, (), {"extra": 1}, "add_many() got an unexpected keyword argument 'extra'"),
]


@pytest.mark.parametrize("function, args, kwargs, message", CALL_SHAPES)
def test_call_shape_messages(function, args, kwargs, message):
    assert refused(lambda: function(*args, **kwargs), error=TypeError) == message


@pytest.mark.parametrize("function, full_name, count, takes", ENTRY_POINTS, ids=ENTRY_IDS)
def test_every_entry_point_names_itself(function, full_name, count, takes):
    unexpected = f"{full_name} got an unexpected keyword argument 'nope'"
    with pytest.raises(TypeError, match=f"^{re.escape(unexpected)}$"):
        function(nope=1)
    # "arguments" stays plural even where at most one is taken
    too_many = f"{full_name} takes {takes} positional arguments but {count + 1} were given"
    with pytest.raises(TypeError, match=f"^{re.escape(too_many)}$"):
        function(*[None] * (count + 1))


# ---- Conversion.

def reaches_the_operation(function, *args, **kwargs):
    """Calls `function`; every argument must convert. The operation itself may
    still refuse the values (ValueError)."""
    try:
        function(*args, **kwargs)
    except ValueError:
        pass


def test_keys_are_checked_by_type(keypair):
    pk, sk = keypair
    cases = [
        (lambda: hecrypt.add_many("pk", []),
         "argument 'pk': 'str' object cannot be converted to 'PublicKey'"),
        (lambda: hecrypt.add_many(sk, []),
         "argument 'pk': 'SecretKey' object cannot be converted to 'PublicKey'"),
        (lambda: hecrypt.decrypt_many(pk, []),
         "argument 'sk': 'PublicKey' object cannot be converted to 'SecretKey'"),
        # later arguments are not looked at once one has failed
        (lambda: hecrypt.decrypt("sk", object()),
         "argument 'sk': 'str' object cannot be converted to 'SecretKey'"),
        (lambda: hecrypt.encrypt_many(None, "abc", 256),
         "argument 'pk': 'NoneType' object cannot be converted to 'PublicKey'"),
    ]
    for call, message in cases:
        assert refused(call, error=TypeError) == message


@pytest.mark.parametrize("value, type_name", [
    ("x", "str"), (bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"),
    (None, "NoneType"),
])
def test_byte_strings(keypair, value, type_name):
    _, sk = keypair
    expected = f"'{type_name}' object cannot be converted to 'PyBytes'"
    assert refused(hecrypt.decrypt, sk, value, error=TypeError) == "argument 'blob': " + expected
    assert refused(hecrypt.add_many, keypair[0], [b"\x00\x01", value], error=TypeError) == (
        "argument 'blobs': " + expected)


class Text(str):
    pass


class Outer:
    class Inner:
        pass


# Containers only these calls see: strings (which are sequences), a nested
# class's qualified name, bytes (a sequence of ints).
@pytest.mark.parametrize("call, message", [
    (lambda pk: hecrypt.rerandomize(pk, "abc"), "argument 'blobs': Can't extract `str` to `Vec`"),
    (lambda pk: hecrypt.rerandomize(pk, Text("abc")),
     "argument 'blobs': Can't extract `str` to `Vec`"),
    (lambda pk: hecrypt.encrypt_many(pk, "1.0"), "argument 'values': Can't extract `str` to `Vec`"),
    (lambda pk: hecrypt.rerandomize(pk, Outer.Inner()),
     "argument 'blobs': 'Outer.Inner' object cannot be converted to 'Sequence'"),
    (lambda pk: hecrypt.rerandomize(pk, b"ab"),
     "argument 'blobs': 'int' object cannot be converted to 'PyBytes'"),
    (lambda pk: hecrypt.add_blocks(pk, [], ["01"]), "argument 'blocks': Can't extract `str` to `Vec`"),
    (lambda pk: hecrypt.add_blocks(pk, [], [{0}]),
     "argument 'blocks': 'set' object cannot be converted to 'Sequence'"),
], ids=["str", "str subclass", "str values", "nested class", "bytes", "str block", "set block"])
def test_sequence_arguments_refused(keypair, call, message):
    assert refused(call, keypair[0], error=TypeError) == message


@pytest.mark.parametrize("call, error, message", [
    (lambda pk: hecrypt.generate_keypair(2**40), OverflowError, RANGE),
    (lambda pk: hecrypt.generate_keypair(-1), OverflowError, RANGE),
    (lambda pk: hecrypt.generate_keypair(2**32), OverflowError, RANGE),
    (lambda pk: hecrypt.generate_keypair(2**70), OverflowError,
     "Python int too large to convert to C long"),
    (lambda pk: hecrypt.generate_keypair(2.0), TypeError,
     "argument 'bits': 'float' object cannot be interpreted as an integer"),
    (lambda pk: hecrypt.generate_keypair(None), TypeError,
     "argument 'bits': 'NoneType' object cannot be interpreted as an integer"),
    (lambda pk: hecrypt.encrypt_many(pk, [0.5], 256), OverflowError, RANGE),
    (lambda pk: hecrypt.encrypt_many(pk, [0.5], scale_pow10=-1), OverflowError, RANGE),
    (lambda pk: hecrypt.encrypt_many(pk, [0.5], None), TypeError,
     "argument 'scale_pow10': 'NoneType' object cannot be interpreted as an integer"),
    (lambda pk: hecrypt.encrypt_many(pk, [0.5], IndexLike(300)), OverflowError, RANGE),
    (lambda pk: hecrypt.multiply_many(pk, [], [], 256), OverflowError, RANGE),
    (lambda pk: hecrypt.multiply_many_public(pk, [], [], "8"), TypeError,
     "argument 'scalar_scale_pow10': 'str' object cannot be interpreted as an integer"),
    # the first failing argument in parameter order is the one reported
    (lambda pk: hecrypt.encrypt_many(pk, "abc", 256), TypeError,
     "argument 'values': Can't extract `str` to `Vec`"),
], ids=["bits 2**40", "bits -1", "bits 2**32", "bits 2**70", "bits float", "bits None",
        "scale 256", "scale -1", "scale None", "scale index-like", "scalar scale 256",
        "scalar scale str", "order"])
def test_integer_arguments_refused(keypair, call, error, message):
    assert refused(call, keypair[0], error=error) == message


@pytest.mark.parametrize("call", [
    lambda pk: hecrypt.encrypt_many(pk, [0.5], 255),
    lambda pk: hecrypt.encrypt_many(pk, [0.5], scale_pow10=IndexLike(0)),
    lambda pk: hecrypt.multiply_many(pk, [b"\x00\x01"], [2.0], 0),
    lambda pk: hecrypt.multiply_many_public(pk, [b"\x00\x01"], [2.0], scalar_scale_pow10=255),
], ids=["scale 255", "scale index-like", "scalar scale 0", "scalar scale 255"])
def test_integer_arguments_accepted(keypair, call):
    reaches_the_operation(call, keypair[0])


@pytest.mark.parametrize("multiply", [hecrypt.multiply_many, hecrypt.multiply_many_public])
def test_none_scalar_scale_is_the_default(keypair, multiply):
    args = (keypair[0], [b"\x08\x01"], [2.0])
    assert outcome(lambda: multiply(*args, None)) == outcome(lambda: multiply(*args))


# ---- Exceptions raised by the caller's own objects.

def test_exact_type_error_is_prefixed_and_keeps_its_cause(keypair):
    cause = KeyError("the cause")
    error = TypeError("bad index")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        hecrypt.add_blocks(keypair[0], [b"\x00\x01"], [[Raises(lambda: error)]])
    assert info.value is not error
    assert str(info.value) == "argument 'blocks': bad index"
    assert info.value.__cause__ is cause


# ---- PanicException.

@pytest.mark.parametrize("read", [
    lambda pk: pk.modulus_bytes(),
    lambda pk: pk.exponent_bits,
    lambda pk: pk.plaintext_bound_bits,
], ids=["modulus_bytes", "exponent_bits", "plaintext_bound_bits"])
def test_failed_result_building_is_a_panic(keypair, panic_type, capsys, read):
    testcapi = pytest.importorskip("_testcapi")
    pk = keypair[0]
    with pytest.raises(panic_type) as info:
        testcapi.set_nomemory(0, 1)
        try:
            read(pk)
        finally:
            testcapi.remove_mem_hooks()
    assert info.value.args == ("Python API call failed",)
    assert "MemoryError" in capsys.readouterr().err


def test_panic_exception_type(panic_type):
    assert issubclass(panic_type, BaseException) and not issubclass(panic_type, Exception)
    assert (panic_type.__module__, panic_type.__qualname__) == ("pyo3_runtime", "PanicException")
    assert "BaseException" in panic_type.__doc__
    assert panic_type not in vars(hecrypt).values()


class PanickingSequence(list):
    def __init__(self, error):
        super().__init__()
        self.error = error

    def __iter__(self):
        raise self.error


@pytest.mark.parametrize("route", ["__float__", "__index__", "__iter__"])
def test_panic_from_python_code_is_reported_and_raised_anew(keypair, panic_type, capsys, route):
    pk = keypair[0]
    original = panic_type("raised by the caller")
    with pytest.raises(panic_type) as info:
        if route == "__float__":
            hecrypt.encrypt_many(pk, [Raises(lambda: original)])
        elif route == "__index__":
            hecrypt.add_blocks(pk, [b"\x00\x01"], [[Raises(lambda: original)]])
        else:
            hecrypt.add_many(pk, PanickingSequence(original))
    assert info.value is not original
    assert info.value.args == ("raised by the caller",)
    err = capsys.readouterr().err
    assert "PanicException" in err.splitlines()[0]
    assert "Traceback" in err and "raised by the caller" in err
