"""The module's shape: attributes, classes and their members, functions and
their signatures, the first-interpreter rule."""

import copy
import ctypes
import importlib
import inspect
import os
import pickle
import random
import subprocess
import sys
import weakref

import pytest

import hecrypt
from refusals import refused

NAMES = [
    "__version__",
    "PublicKey",
    "SecretKey",
    "generate_keypair",
    "encrypt_many",
    "add_many",
    "add_blocks",
    "multiply_many",
    "multiply_many_public",
    "rerandomize",
    "decrypt",
    "decrypt_many",
]

# function, text signature, summary line (None: worded freely)
SIGNATURES = [
    ("generate_keypair", "(bits=3072)", "Generate a key pair with SAFE primes and validate it."),
    ("encrypt_many", "(pk, values, scale_pow10=...)",
     "Encrypt a list of values. Runs across all cores."),
    ("add_many", "(pk, blobs)", None),
    ("add_blocks", "(pk, blobs, blocks)",
     "Sum MANY blocks of the same ciphertexts, in parallel over the blocks."),
    ("multiply_many", "(pk, blobs, scalars, scalar_scale_pow10=None)",
     "Multiply ciphertexts by KNOWN scalars: `E(x) → E(k·x)`."),
    ("multiply_many_public", "(pk, blobs, scalars, scalar_scale_pow10=None)",
     "Multiply by scalars the caller declares PUBLIC: `E(x) → E(k·x)`."),
    ("rerandomize", "(pk, blobs)", "Re-randomise ciphertexts: same plaintext, different bytes."),
    ("decrypt", "(sk, blob)", "Decrypt one ciphertext. The scale is taken from the blob."),
    ("decrypt_many", "(sk, blobs)", "Decrypt a batch, exactly, across all cores."),
]

CLASSES = [hecrypt.PublicKey, hecrypt.SecretKey]

# submodule, its __all__, and the text signature of each function in it
SUBMODULES = {
    "packed": {"encrypt": "(key, rows, scale_pow10=8, slot_bits=64)", "add_many": "(pk, blobs)",
               "add_blocks": "(pk, blobs, blocks)", "rerandomize": "(pk, blobs)",
               "subtract": "(pk, minuends, subtrahends)", "combine": "(pk, blobs)",
               "decrypt": "(sk, blobs)"},
    "keyholder": {"seal": "(sk, passphrase)", "unseal": "(sealed, passphrase)",
                  "public_bytes": "(sealed)", "encrypt_many": "(sk, values, scale_pow10=...)"},
}

TOO_SHORT = ("modulus is shorter than 2048 bits: NIST SP 800-57 puts 112-bit strength at 2048, "
             "and anything below that is not cryptography")


def odd_modulus(bits):
    """An odd number of exactly `bits` bits: all that from_n checks."""
    return random.Random(bits).getrandbits(bits) | (1 << (bits - 1)) | 1


def raw(n, length=None):
    return n.to_bytes(length or (n.bit_length() + 7) // 8, "big")


def test_module_attributes():
    assert hecrypt.__all__ == NAMES
    assert hecrypt.__version__ == "0.7.0"
    assert hecrypt.__doc__ == ""
    assert not hasattr(hecrypt, "PanicException")


@pytest.mark.parametrize("name, signature, summary", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_function_signature_and_docstring(name, signature, summary):
    function = getattr(hecrypt, name)
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    kinds = {p.kind for p in inspect.signature(function).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    first, blank, design = function.__doc__.split("\n", 2)
    assert first == (summary or first) and blank == "" and design
    assert function.__self__ is hecrypt and function.__module__ == "hecrypt"


@pytest.mark.parametrize("name", SUBMODULES)
def test_submodule_is_reachable_every_way_and_stays_off_the_top_level(name):
    submodule = importlib.import_module(f"hecrypt.{name}")
    assert submodule is getattr(hecrypt, name) is sys.modules[f"hecrypt.{name}"]
    assert name not in hecrypt.__all__ and hecrypt.__all__ == NAMES
    assert submodule.__name__ == f"hecrypt.{name}" and submodule.__doc__
    assert submodule.__all__ == list(SUBMODULES[name])
    for function_name, signature in SUBMODULES[name].items():
        function = getattr(submodule, function_name)
        assert function.__module__ == f"hecrypt.{name}" and function.__self__ is submodule
        assert function.__text_signature__ == signature


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_shape(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__ is None
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {"x": 2})])
def test_constructor_is_refused(cls, args, kwargs):
    assert refused(lambda: cls(*args, **kwargs), error=TypeError) == (
        f"No constructor defined for {cls.__name__}")


@pytest.mark.parametrize("index", [0, 1], ids=["PublicKey", "SecretKey"])
def test_instances_are_opaque_handles(keypair, index):
    key = keypair[index]
    assert type(key) is CLASSES[index]
    with pytest.raises(AttributeError):
        key.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(key)
    # Keys are not serialisable or copyable: a secret key must not leave
    # the process that generated it.
    with pytest.raises(TypeError):
        pickle.dumps(key)
    with pytest.raises(TypeError):
        copy.copy(key)
    assert key == key and key != keypair[1 - index]
    assert repr(key).startswith(f"<builtins.{CLASSES[index].__name__} object at ")


def test_public_key_members(keypair):
    PublicKey = hecrypt.PublicKey
    assert isinstance(inspect.getattr_static(PublicKey, "from_n"), staticmethod)
    assert PublicKey.from_n.__text_signature__ == "(raw)"
    assert PublicKey.from_n.__doc__.startswith(
        "Assemble a public key from ONE `n`, deriving `hs` in place.\n\n")
    assert PublicKey.modulus_bytes.__text_signature__ == "($self)"
    assert PublicKey.modulus_bytes.__doc__.startswith(
        "The modulus in bytes — the only thing that travels to a peer.")
    assert PublicKey.exponent_bits.__doc__ == "Exponent length in bits."
    assert PublicKey.plaintext_bound_bits.__doc__ == (
        "The largest accepted plaintext in magnitude, in bits: `n/2`")
    pk = keypair[0]
    assert pk.from_n(pk.modulus_bytes()).modulus_bytes() == pk.modulus_bytes()
    with pytest.raises(TypeError):
        pk.modulus_bytes(1)


@pytest.mark.parametrize("member", ["exponent_bits", "plaintext_bound_bits"])
def test_properties_are_read_only(keypair, member):
    pk = keypair[0]
    with pytest.raises(AttributeError):
        setattr(pk, member, 1)
    with pytest.raises(AttributeError):
        delattr(pk, member)


def test_generated_key_pair(keypair):
    assert isinstance(keypair, tuple) and len(keypair) == 2
    pk, sk = keypair
    assert isinstance(pk, hecrypt.PublicKey) and isinstance(sk, hecrypt.SecretKey)
    n = int.from_bytes(pk.modulus_bytes(), "big")
    assert n.bit_length() in (2047, 2048) and n % 2 == 1
    peer = hecrypt.PublicKey.from_n(pk.modulus_bytes())
    assert peer is not pk
    assert (peer.modulus_bytes(), peer.exponent_bits, peer.plaintext_bound_bits) == (
        pk.modulus_bytes(), pk.exponent_bits, pk.plaintext_bound_bits)
    assert hecrypt.decrypt(sk, hecrypt.encrypt_many(peer, [3.25])[0]) == 3.25  # for the owner


@pytest.mark.skipif(not os.environ.get("HECRYPT_SLOW_TESTS"),
                    reason="a 3072-bit key pair takes seconds to a minute; make check-hard runs it")
def test_default_key_pair_is_3072_bits():
    pk, sk = hecrypt.generate_keypair()
    assert len(pk.modulus_bytes()) == 384 and pk.exponent_bits == 1536
    assert pk.plaintext_bound_bits in (3050, 3051)
    assert hecrypt.decrypt(sk, hecrypt.encrypt_many(pk, [-2.75])[0]) == -2.75


@pytest.mark.parametrize("bits, message", [
    (2047, "modulus of 2047 bits is refused: the floor is 2048 (NIST SP 800-57 puts 112-bit "
           "strength at 2048). A shorter key passes every correctness check and factors in "
           "microseconds"),
    (8193, "modulus of 8193 bits is refused: the ceiling is 8192. Generating safe primes that "
           "long takes unbounded time with the GIL released, so the call could not be "
           "interrupted"),
])
def test_generate_keypair_size_refusals(bits, message):
    assert refused(lambda: hecrypt.generate_keypair(bits=bits)) == message


# modulus bits, modulus_bytes length, exponent_bits, plaintext_bound_bits
KEY_SIZES = [
    (2047, 256, 1024, 2026),
    (2048, 256, 1024, 2027),
    (3071, 384, 1536, 3050),
    (3072, 384, 1536, 3051),
    (8192, 1024, 4096, 8171),
]


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("bits, length, exponent_bits, bound_bits", KEY_SIZES,
                         ids=[str(k[0]) for k in KEY_SIZES])
def test_members_follow_the_modulus_length(bits, length, exponent_bits, bound_bits):
    n = odd_modulus(bits)
    # padded with leading zero bytes up to the longest accepted length
    pk = hecrypt.PublicKey.from_n(raw=BytesSubclass(raw(n, 1024)))
    assert pk.modulus_bytes() == raw(n)
    assert len(pk.modulus_bytes()) == length
    assert (pk.exponent_bits, pk.plaintext_bound_bits) == (exponent_bits, bound_bits)


@pytest.mark.parametrize("data, message", [
    (b"", "modulus must be odd"),
    (b"\x00" * 300, "modulus must be odd"),
    (raw(odd_modulus(2048) - 1), "modulus must be odd"),
    (b"\x00" * 1025, "modulus of 1025 bytes is longer than the 1024 bytes that 8192 bits allow"),
    (raw(odd_modulus(2047), 1025),
     "modulus of 1025 bytes is longer than the 1024 bytes that 8192 bits allow"),
    (raw(odd_modulus(2046)), TOO_SHORT),
    (raw(3), TOO_SHORT),
], ids=["empty", "zero", "even", "1025 zeros", "1025 bytes", "2046 bits", "tiny"])
def test_from_n_refusals(data, message):
    assert refused(lambda: hecrypt.PublicKey.from_n(data)) == message


def test_from_n_releases_the_lock(lets_other_threads_run):
    """Another Python thread keeps running while a 4096-bit key is assembled."""
    assert lets_other_threads_run(lambda: hecrypt.PublicKey.from_n(raw(odd_modulus(4096))))


def test_initialisation_and_importing_again_give_the_cached_modules():
    init = ctypes.PyDLL(hecrypt.__file__).PyInit_hecrypt
    init.restype = ctypes.py_object
    assert init() is hecrypt
    names = ["hecrypt"] + [f"hecrypt.{name}" for name in SUBMODULES]
    first = {name: sys.modules[name] for name in names}
    try:
        for name in names:  # each imported with the module and every submodule gone
            for each in names:
                del sys.modules[each]
            assert importlib.import_module(name) is first[name]
            again = sys.modules["hecrypt"]
            assert all(getattr(again, n) is first[f"hecrypt.{n}"] for n in SUBMODULES)
    finally:
        sys.modules.update(first)


@pytest.mark.parametrize("script", [
    "import hecrypt, _testcapi\n_testcapi.run_in_subinterp('import hecrypt')",
    "import _testcapi\n_testcapi.run_in_subinterp('import hecrypt')\nimport hecrypt",
], ids=["sub-interpreter second", "main interpreter second"])
def test_only_the_first_interpreter_may_import(script):
    pytest.importorskip("_testcapi")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert "ImportError: hecrypt does not yet support sub-interpreters" in result.stderr
