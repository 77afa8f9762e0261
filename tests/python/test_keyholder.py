"""hecrypt.keyholder: a secret key sealed under a passphrase, reopened in
another process, and every damaged, forged or foreign input refused.

Sealed keys that the module makes cost a real key derivation (about half a
second), so the damage tests work on a key sealed by an
independent model of the documented format (PyNaCl, libsodium's own Python
binding) at the cheapest derivation cost, which unseal accepts as it would
from any file."""

import os
import textwrap

import pytest

import hecrypt
import known_primes
from children import run
from hecrypt import keyholder
from refusals import refused

PASSPHRASE = "correct horse battery staple"
DAMAGED = ("cannot unseal: the passphrase is wrong, or the sealed key was damaged or altered "
           "(which of the two is deliberately not told)")
NOT_SEALED = "not a sealed key: it does not start with the bytes hecrypt-seal"
MALFORMED = "sealed key is damaged: its public part is truncated or malformed"
P, Q = known_primes.SAFE_PRIME_1024_1, known_primes.SAFE_PRIME_1024_2


def version_refusal(version):
    return f"sealed key of format version {version} cannot be read: this module reads version 1"


def model():
    """PyNaCl, or a skip where the interpreter has no build of it."""
    return pytest.importorskip("nacl.bindings"), pytest.importorskip("nacl.pwhash.argon2id")


def forge(p, q, passphrase=PASSPHRASE.encode(), n=None, ops=1, mem=8192, version=1):
    """A sealed key written from the documented layout alone."""
    aead, argon2id = model()
    n = p * q if n is None else n
    width = (n.bit_length() + 7) // 8
    salt, nonce = os.urandom(16), os.urandom(24)
    header = (b"hecrypt-seal" + bytes([version]) + ops.to_bytes(8, "big") +
              mem.to_bytes(8, "big") + salt + nonce + width.to_bytes(2, "big") +
              n.to_bytes(width, "big"))
    key = argon2id.kdf(32, passphrase, salt, opslimit=ops, memlimit=mem)
    primes = p.to_bytes(width, "big") + q.to_bytes(width, "big")
    return header + aead.crypto_aead_xchacha20poly1305_ietf_encrypt(primes, header, nonce, key)


def model_open(sealed, passphrase):
    """(n, p, q) of a sealed key, read by the layout alone."""
    aead, argon2id = model()
    ops, mem = int.from_bytes(sealed[13:21], "big"), int.from_bytes(sealed[21:29], "big")
    width = int.from_bytes(sealed[69:71], "big")
    header = sealed[:71 + width]
    key = argon2id.kdf(32, passphrase, sealed[29:45], opslimit=ops, memlimit=mem)
    primes = aead.crypto_aead_xchacha20poly1305_ietf_decrypt(
        sealed[71 + width:], header, sealed[45:69], key)
    return (int.from_bytes(sealed[71:71 + width], "big"),
            int.from_bytes(primes[:width], "big"), int.from_bytes(primes[width:], "big"))


@pytest.fixture(scope="module")
def sealed(keypair):
    """The session's key pair sealed by the module, default derivation cost."""
    return keyholder.seal(keypair[1], PASSPHRASE)


@pytest.fixture(scope="module")
def cheap():
    return forge(P, Q)


def test_reopened_key_decrypts_sums_and_encrypts_like_the_original(keypair, sealed):
    pk, sk = keypair
    pk2, sk2 = keyholder.unseal(sealed, PASSPHRASE)
    assert isinstance(pk2, hecrypt.PublicKey) and isinstance(sk2, hecrypt.SecretKey)
    assert pk2.modulus_bytes() == pk.modulus_bytes() == keyholder.public_bytes(sealed)
    values = [0.25, -1.5, 3.125, 1e-8]
    for encrypt_under, decrypt_with in [(pk, sk2), (pk2, sk)]:
        blobs = hecrypt.encrypt_many(encrypt_under, values)
        assert [hecrypt.decrypt(decrypt_with, b) for b in blobs] == values
        total = hecrypt.add_many(encrypt_under, hecrypt.encrypt_many(encrypt_under, [7.0, -2.0], 0))
        assert hecrypt.decrypt_many(decrypt_with, [total]) == ["5"]


def test_round_trip_across_processes(keypair, sealed, tmp_path):
    pk, sk = keypair
    (tmp_path / "key.sealed").write_bytes(sealed)
    blobs = hecrypt.encrypt_many(pk, [1.0, -2.0, 1e6], 0)
    script = textwrap.dedent("""
        import sys
        import hecrypt
        from hecrypt import keyholder
        pk, sk = keyholder.unseal(open(sys.argv[1] + "/key.sealed", "rb").read(), sys.argv[2])
        print(" ".join(hecrypt.decrypt_many(sk, [bytes.fromhex(b) for b in sys.argv[3:]])))
        print(hecrypt.encrypt_many(pk, [42.0], 0)[0].hex())
    """)
    out = run(script, tmp_path, PASSPHRASE, *(b.hex() for b in blobs))
    decrypted, encrypted = out.split("\n")[:2]
    assert decrypted.split() == ["1", "-2", "1000000"]
    assert hecrypt.decrypt(sk, bytes.fromhex(encrypted)) == 42.0


def test_the_module_writes_the_documented_format(keypair, sealed):
    n, p, q = model_open(sealed, PASSPHRASE.encode())
    assert n == int.from_bytes(keypair[0].modulus_bytes(), "big") == p * q
    assert sealed[:13] == b"hecrypt-seal\x01"
    assert (int.from_bytes(sealed[13:21], "big"), int.from_bytes(sealed[21:29], "big")) \
        == (3, 256 << 20)


@pytest.mark.parametrize("passphrase", ["pässwörd ☃", b"p\xe4ssw\xf6rd", b"\x00"])
def test_str_is_sealed_as_its_utf8_and_bytes_as_they_are(passphrase):
    encoded = passphrase.encode() if isinstance(passphrase, str) else passphrase
    sealed = forge(P, Q, encoded)
    for given in {passphrase, encoded}:
        assert keyholder.unseal(sealed, given)[0].modulus_bytes() == keyholder.public_bytes(sealed)
    with pytest.raises(ValueError, match="^cannot unseal"):
        keyholder.unseal(sealed, encoded + b"!")


# The core tests cut and flip every byte; through the binding, one place in
# each field: the magic, the version, the costs, salt, nonce, width, n, the
# sealed primes and the tag.
FIELDS = [0, 12, 13, 21, 29, 45, 69, 71, 71 + 256, -1]


@pytest.mark.parametrize("at", FIELDS)
def test_a_truncation_or_a_flipped_bit_is_refused(cheap, at):
    at %= len(cheap)
    assert refused(keyholder.unseal, cheap[:at], PASSPHRASE) == DAMAGED
    assert refused(keyholder.public_bytes, cheap[:at]) == MALFORMED
    flipped = cheap[:at] + bytes([cheap[at] ^ 0x10]) + cheap[at + 1:]
    expected = NOT_SEALED if at < 12 else version_refusal(flipped[12]) if at == 12 else DAMAGED
    assert refused(keyholder.unseal, flipped, PASSPHRASE) == expected


def test_wrong_passphrase_and_swapped_modulus_are_refused_alike(keypair, sealed, cheap):
    other = int.from_bytes(keypair[0].modulus_bytes(), "big")
    assert other != P * Q
    swapped = cheap[:71] + other.to_bytes(256, "big") + cheap[71 + 256:]
    assert keyholder.public_bytes(swapped) == keypair[0].modulus_bytes()  # readable, not vouched
    for data, passphrase in [(sealed, PASSPHRASE + " "), (swapped, PASSPHRASE),
                             (sealed[:-1] + bytes([sealed[-1] ^ 1]), PASSPHRASE)]:
        assert refused(keyholder.unseal, data, passphrase) == DAMAGED


@pytest.mark.parametrize("data, refusal", [
    (b"PK\x03\x04" + bytes(900), NOT_SEALED),
    (b"hecrypt-seaL", NOT_SEALED),
    (b"hecrypt-seal\x02" + bytes(900), version_refusal(2)),
    (b"hecrypt-seal\x00", version_refusal(0)),
])
def test_foreign_bytes_and_other_versions_have_their_own_words(data, refusal):
    assert refused(keyholder.unseal, data, PASSPHRASE) == refusal
    assert refused(keyholder.public_bytes, data) == refusal


@pytest.mark.parametrize("ops, mem", [(0, 8192), (5, 8192), (1, 8191), (1, (1 << 30) + 1)])
def test_a_forged_cost_is_refused_before_any_derivation(cheap, ops, mem):
    edited = cheap[:13] + ops.to_bytes(8, "big") + mem.to_bytes(8, "big") + cheap[29:]
    assert refused(keyholder.unseal, edited, PASSPHRASE) == DAMAGED


def composite_with_prime_half():
    """2x + 1 near P with x prime (a base-2 probable prime: a composite one
    of 1023 bits is beyond chance) and 2x + 1 surely composite."""
    x = P // 2 + 1000 | 1
    while pow(2, x - 1, x) != 1 or pow(2, 2 * x, 2 * x + 1) == 1:
        x += 2
    return 2 * x + 1


@pytest.mark.parametrize("case", ["equal", "not_factors", "composite"])
def test_authentic_but_weak_keys_are_refused(case):
    # Sealed properly: only the key's own checks stand between such a file
    # and a weak key.
    p, q, n, refusal = {
        "equal": lambda: (P, P, P * P, "gcd(p−1, q−1) ≠ 2"),
        "not_factors": lambda: (P, Q + 2, P * Q, DAMAGED),
        "composite": lambda: (composite_with_prime_half(), Q, None, "sealed key holds a composite"),
    }[case]()
    assert refused(keyholder.unseal, forge(p, q, n=n), PASSPHRASE).startswith(refusal)


def test_empty_passphrases_are_refused(keypair, sealed):
    for call, key in [(keyholder.seal, keypair[1]), (keyholder.unseal, sealed)]:
        for empty in ("", b""):
            assert refused(call, key, empty) == "passphrase must not be empty"


@pytest.mark.parametrize("call, message", [
    (lambda sk, s: keyholder.seal("sk", "pw"),
     "argument 'sk': 'str' object cannot be converted to 'SecretKey'"),
    (lambda sk, s: keyholder.seal(sk, 5),
     "argument 'passphrase': 'int' object cannot be converted to 'str or bytes'"),
    (lambda sk, s: keyholder.seal(sk, bytearray(b"pw")),
     "argument 'passphrase': 'bytearray' object cannot be converted to 'str or bytes'"),
    (lambda sk, s: keyholder.unseal(bytearray(s), "pw"),
     "argument 'sealed': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda sk, s: keyholder.unseal(s.hex(), "pw"),
     "argument 'sealed': 'str' object cannot be converted to 'PyBytes'"),
    (lambda sk, s: keyholder.unseal(s, None),
     "argument 'passphrase': 'NoneType' object cannot be converted to 'str or bytes'"),
    (lambda sk, s: keyholder.public_bytes(memoryview(s)),
     "argument 'sealed': 'memoryview' object cannot be converted to 'PyBytes'"),
    (lambda sk, s: keyholder.unseal(s),
     "unseal() missing 1 required positional argument: 'passphrase'"),
    (lambda sk, s: keyholder.seal(sk, "pw", 1),
     "seal() takes 2 positional arguments but 3 were given"),
])
def test_wrong_types_and_call_shapes(keypair, cheap, call, message):
    assert refused(call, keypair[1], cheap, error=TypeError) == message


def test_a_passphrase_without_utf8_keeps_its_unicode_error(cheap):
    with pytest.raises(UnicodeEncodeError):
        keyholder.unseal(cheap, "\ud800")


def test_the_lock_is_released_while_the_key_is_derived(keypair, lets_other_threads_run):
    assert lets_other_threads_run(lambda: keyholder.seal(keypair[1], PASSPHRASE))
