# Types of hecrypt.packed, the submodule of packed ciphertexts: several
# values in the slots of one plaintext. Every parameter is
# positional-or-keyword, as in the module.

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias

from hecrypt import PublicKey, SecretKey, _Blocks, _Indexable

__all__ = ["encrypt", "add_many", "add_blocks", "rerandomize", "subtract", "combine", "decrypt"]

# Rows: equal-length sequences of numbers, or a two-dimensional float64 array.
_Rows: TypeAlias = _Indexable[_Indexable[SupportsFloat | SupportsIndex]]

# `key` is the PublicKey, or the key holder's SecretKey, which encrypts
# with its primes: the same blobs, close to twice as fast.
def encrypt(
    key: PublicKey | SecretKey,
    rows: _Rows,
    scale_pow10: SupportsIndex = 8,
    slot_bits: SupportsIndex = 64,
) -> list[bytes]: ...
def add_many(pk: PublicKey, blobs: Sequence[bytes]) -> bytes: ...
def add_blocks(pk: PublicKey, blobs: Sequence[bytes], blocks: _Blocks) -> list[bytes]: ...
def rerandomize(pk: PublicKey, blobs: Sequence[bytes]) -> list[bytes]: ...
def subtract(
    pk: PublicKey, minuends: Sequence[bytes], subtrahends: Sequence[bytes]
) -> list[bytes]: ...
def combine(pk: PublicKey, blobs: Sequence[bytes]) -> list[bytes]: ...
def decrypt(sk: SecretKey, blobs: Sequence[bytes]) -> list[float]: ...
