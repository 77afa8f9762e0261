# Types of the hecrypt extension module. Installed as the stub package
# hecrypt-stubs, where type checkers look for the types of a compiled module.
#
# Every parameter is positional-or-keyword, as in the module. The internal-fault
# exception (a BaseException subclass) is not an attribute of the module, so
# it has no name here. The submodules (keyholder.pyi beside this file) are
# attributes of the module but, like the module's own, stay out of __all__.

from collections.abc import Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final

from . import keyholder as keyholder

_T_co = TypeVar("_T_co", covariant=True)

# What the module reads item by item: a length and items by position. Lists,
# tuples and one-dimensional NumPy arrays all have both.
class _Indexable(Protocol[_T_co]):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _T_co: ...

__all__ = [
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

__version__: str

# Values and scalars: any sequence but str of numbers that convert to a float,
# or a NumPy array of them.
_Numbers: TypeAlias = _Indexable[SupportsFloat | SupportsIndex]
# Blocks: index lists (or integer arrays) into the blobs, counted from 0.
_Blocks: TypeAlias = _Indexable[_Indexable[SupportsIndex]]

# Neither class can be instantiated from Python or subclassed.
@final
class PublicKey:
    @staticmethod
    def from_n(raw: bytes) -> PublicKey: ...
    def modulus_bytes(self) -> bytes: ...
    @property
    def exponent_bits(self) -> int: ...
    @property
    def plaintext_bound_bits(self) -> int: ...

@final
class SecretKey: ...

def generate_keypair(bits: SupportsIndex = 3072) -> tuple[PublicKey, SecretKey]: ...

# The default scale is 8 decimal digits, written ... as in the module's own signature.
def encrypt_many(
    pk: PublicKey, values: _Numbers, scale_pow10: SupportsIndex = ...
) -> list[bytes]: ...
def add_many(pk: PublicKey, blobs: Sequence[bytes]) -> bytes: ...
def add_blocks(pk: PublicKey, blobs: Sequence[bytes], blocks: _Blocks) -> list[bytes]: ...
def multiply_many(
    pk: PublicKey,
    blobs: Sequence[bytes],
    scalars: _Numbers,
    scalar_scale_pow10: SupportsIndex | None = None,
) -> list[bytes]: ...
def multiply_many_public(
    pk: PublicKey,
    blobs: Sequence[bytes],
    scalars: _Numbers,
    scalar_scale_pow10: SupportsIndex | None = None,
) -> list[bytes]: ...
def rerandomize(pk: PublicKey, blobs: Sequence[bytes]) -> list[bytes]: ...
def decrypt(sk: SecretKey, blob: bytes) -> float: ...
def decrypt_many(sk: SecretKey, blobs: Sequence[bytes]) -> list[str]: ...

# The submodule the extension creates at import (not listed in __all__).
from hecrypt import packed as packed
