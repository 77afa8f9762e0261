# Types of hecrypt.keyholder, the submodule the extension creates at import.

from typing import SupportsIndex

from hecrypt import PublicKey, SecretKey, _Numbers

__all__ = ["seal", "unseal", "public_bytes", "encrypt_many"]

# A str passphrase is sealed as its UTF-8 bytes.
def seal(sk: SecretKey, passphrase: str | bytes) -> bytes: ...
def unseal(sealed: bytes, passphrase: str | bytes) -> tuple[PublicKey, SecretKey]: ...
def public_bytes(sealed: bytes) -> bytes: ...

# The values as hecrypt.encrypt_many takes them.
def encrypt_many(
    sk: SecretKey, values: _Numbers, scale_pow10: SupportsIndex = ...
) -> list[bytes]: ...
