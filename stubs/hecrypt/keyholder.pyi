# Types of hecrypt.keyholder, the submodule the extension creates at import.

from hecrypt import PublicKey, SecretKey

__all__ = ["seal", "unseal", "public_bytes"]

# A str passphrase is sealed as its UTF-8 bytes.
def seal(sk: SecretKey, passphrase: str | bytes) -> bytes: ...
def unseal(sealed: bytes, passphrase: str | bytes) -> tuple[PublicKey, SecretKey]: ...
def public_bytes(sealed: bytes) -> bytes: ...
