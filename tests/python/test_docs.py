"""The documents say what the module does: the Python snippets of the README
and the user's guide run as written, and the guide quotes every refusal a
user meets with its exact text."""

import pathlib
import re

import pytest

import hecrypt

ROOT = pathlib.Path(__file__).resolve().parents[2]
GUIDE = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")
SNIPPET = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


@pytest.mark.parametrize("document", ["README.md", "docs/guide.md"])
def test_snippets_run(document, keypair, monkeypatch):
    # The session's 2048-bit pair stands in for a new one: the prime search
    # would take seconds per snippet and test nothing the snippets show.
    generate = hecrypt.generate_keypair
    monkeypatch.setattr(hecrypt, "generate_keypair",
                        lambda bits=3072: keypair if bits == 2048 else generate(bits))
    snippets = SNIPPET.findall((ROOT / document).read_text(encoding="utf-8"))
    assert snippets
    namespace = {}
    for number, snippet in enumerate(snippets, 1):
        exec(compile(snippet, f"{document}, snippet {number}", "exec"), namespace)


def quoted_messages():
    """The guide's quoted messages as patterns: a {placeholder} stands for
    some text, and "..." for the rest of the message."""
    quoted = [q for line in GUIDE.splitlines() if line.startswith("|")
              for q in re.findall(r'"([^"]+)"', line)]
    return [re.compile(re.sub(r"\\\{[^}]*\\\}", ".+?", re.escape(q)).replace(r"\.\.\.", ".*"))
            for q in quoted]


def packed_refusals(pk, sk):
    """The same for hecrypt.packed."""
    from hecrypt import packed
    n = int.from_bytes(pk.modulus_bytes(), "big")
    a, b = packed.encrypt(pk, [[1.0, 2.0]]), packed.encrypt(pk, [[1.0, 2.0, 3.0]])
    plain = hecrypt.encrypt_many(pk, [1.0])
    carry = bytes([0xB5, 0, 0, 1, 0, 22]) + hecrypt.encrypt_many(pk, [2.0 ** 21], 0)[0][1:]
    capacity = (n >> 21).bit_length() + 20
    huge = hecrypt.multiply_many(pk, hecrypt.encrypt_many(pk, [1.7e308], 0), [1.8e19], 0)
    wide = bytes([0xB5, 0, 0, 1]) + capacity.to_bytes(2, "big") + huge[0][1:]
    return [
        lambda: packed.encrypt(pk, [[1.0]], slot_bits=21),
        lambda: packed.encrypt(pk, [[1.0]], slot_bits=5000),
        lambda: packed.encrypt(pk, [[1.0] * 32]),
        lambda: packed.encrypt(pk, [[]]),
        lambda: packed.encrypt(pk, [[1.0], []]),
        lambda: packed.encrypt(pk, [[1e6]]),
        lambda: packed.encrypt(pk, [[float("inf")]]),
        lambda: packed.encrypt(pk, [[2**53 + 1]]),
        lambda: packed.add_many(pk, [a[0][:3]]),
        lambda: packed.add_many(pk, [bytes([0xB5, 0, 0, 0, 0, 64])]),
        lambda: packed.add_many(pk, [bytes([0xB5, 0, 0, 1, 0, 8])]),
        lambda: packed.add_many(pk, [a[0][:2] + bytes([0, 40, 0, 64]) + a[0][6:]]),
        lambda: packed.add_many(pk, [a[0], b[0]]),
        lambda: packed.add_many(pk, [a[0], plain[0]]),
        lambda: packed.add_blocks(pk, [a[0], b[0]], [[0, 1]]),
        lambda: packed.combine(pk, [a[0], b[0]]),
        lambda: packed.combine(pk, plain),
        lambda: packed.subtract(pk, a, []),
        lambda: packed.subtract(pk, [b""], a),
        lambda: packed.subtract(pk, a, [b""]),
        lambda: packed.subtract(pk, [a[0][:6] + b"\0"], a),
        lambda: packed.subtract(pk, a, [a[0][:6] + b"\0"]),
        lambda: packed.subtract(pk, a, b),
        lambda: packed.subtract(pk, a, packed.encrypt(pk, [[1.0, 2.0]], 4)),
        lambda: packed.subtract(pk, a, [a[0][:6] + n.to_bytes(256, "big")]),
        lambda: packed.decrypt(sk, [carry]),
        lambda: packed.decrypt(sk, [wide]),
        lambda: packed.decrypt(sk, huge),
    ]


def refusals(pk, sk):
    """One call per refusal a user can meet, each made to fail."""
    n = int.from_bytes(pk.modulus_bytes(), "big")
    blob, other = hecrypt.encrypt_many(pk, [1.0, 2.0])
    product = hecrypt.multiply_many(pk, [blob], [2.0])[0]
    factor = bytes([8]) + n.to_bytes(256, "big")
    huge = hecrypt.multiply_many(pk, hecrypt.encrypt_many(pk, [1.7e308], 0), [1.8e19], 0)[0]
    return [
        lambda: hecrypt.generate_keypair(2047),
        lambda: hecrypt.generate_keypair(8193),
        lambda: hecrypt.PublicKey.from_n(b"\1" * 1025),
        lambda: hecrypt.PublicKey.from_n(b"\2"),
        lambda: hecrypt.PublicKey.from_n(b"\1" * 200),
        lambda: hecrypt.encrypt_many(pk, [1.0], 19),
        lambda: hecrypt.encrypt_many(pk, [float("nan")]),
        lambda: hecrypt.encrypt_many(pk, [1e305]),
        lambda: hecrypt.encrypt_many(pk, [2**53 + 1]),
        lambda: hecrypt.add_many(pk, []),
        lambda: hecrypt.add_many(pk, [b"\1\1"] * (2**20 + 1)),
        lambda: hecrypt.add_many(pk, [blob, product]),
        lambda: hecrypt.add_many(pk, [b"\x08"]),
        lambda: hecrypt.add_many(pk, [b""]),
        lambda: hecrypt.add_many(pk, [b"\x13\x01"]),
        lambda: hecrypt.add_blocks(pk, [blob], [[]]),
        lambda: hecrypt.add_blocks(pk, [blob], [[0] * (2**20 + 1)]),
        lambda: hecrypt.add_blocks(pk, [blob], [[0, 5]]),
        lambda: hecrypt.add_blocks(pk, [blob, product], [[0, 1]]),
        lambda: hecrypt.multiply_many(pk, [blob, other], [1.0]),
        lambda: hecrypt.multiply_many_public(pk, [blob, other], [1.0]),
        lambda: hecrypt.multiply_many(pk, [product], [2.0]),
        lambda: hecrypt.multiply_many(pk, [blob], [1e-9]),
        lambda: hecrypt.multiply_many(pk, [blob], [1.9e19], 0),
        lambda: hecrypt.multiply_many_public(pk, [blob], [9.1e7]),
        lambda: hecrypt.multiply_many(pk, [blob], [float("inf")]),
        lambda: hecrypt.multiply_many_public(pk, [blob], [1e300], 18),
        lambda: hecrypt.multiply_many(pk, [blob], [2**64 + 1], 0),
        lambda: hecrypt.multiply_many(pk, [b"\x08"], [1.0]),
        lambda: hecrypt.multiply_many(pk, [factor], [1.0]),
        lambda: hecrypt.multiply_many_public(pk, [factor], [1.0]),
        lambda: hecrypt.rerandomize(pk, [b"\x08"]),
        lambda: hecrypt.decrypt(sk, b"\x08"),
        lambda: hecrypt.decrypt(sk, huge),
        lambda: hecrypt.decrypt(sk, b""),
        lambda: hecrypt.decrypt_many(sk, [blob]),
        lambda: hecrypt.decrypt_many(sk, [b"\x00"]),
        lambda: hecrypt.keyholder.unseal(b"hecrypt-seal\x01", "passphrase"),
        lambda: hecrypt.keyholder.unseal(b"PK\x03\x04", "passphrase"),
        lambda: hecrypt.keyholder.unseal(b"hecrypt-seal\x02", "passphrase"),
        lambda: hecrypt.keyholder.public_bytes(b"hecrypt-seal\x01"),
        lambda: hecrypt.keyholder.seal(sk, ""),
    ]


def test_the_guide_quotes_every_refusal(keypair):
    patterns = quoted_messages()
    for call in refusals(*keypair) + packed_refusals(*keypair):
        with pytest.raises(ValueError) as refusal:
            call()
        assert any(p.fullmatch(str(refusal.value)) for p in patterns), str(refusal.value)
