"""keyholder.encrypt_many: the blobs of encrypt_many, made with the primes.

The keys are reopened from sealed keys of the known primes, so the
independent model decrypts what the module encrypts."""

import json
import textwrap

import pytest

import hecrypt
import oracle
from children import run
from hecrypt import keyholder
from refusals import outcome
from test_keyholder import PASSPHRASE, forge

VALUES = [0.0, 1.5, -1.5, -2.5, 0.49, 1e-9, 123456.789, -1e12, 2.0**40, -(2.0**52)]
NAN, INF = float("nan"), float("inf")


@pytest.fixture(scope="module", params=[2048, 3072])
def known(request):
    """(PublicKey, SecretKey, model key) of the known primes."""
    key = oracle.KEY_2048 if request.param == 2048 else oracle.KEY_3072
    pk, sk = keyholder.unseal(forge(key.p, key.q), PASSPHRASE)
    return pk, sk, key


@pytest.mark.parametrize("scale", [0, 8, 18])
def test_blobs_decrypt_with_the_module_and_the_model(known, scale):
    pk, sk, key = known
    blobs = keyholder.encrypt_many(sk, VALUES, scale_pow10=scale)
    expected = [oracle.encode(v, scale) for v in VALUES]
    assert [key.decrypt(b) for b in blobs] == [(scale, m) for m in expected]
    assert [hecrypt.decrypt(sk, b) for b in blobs] == [oracle.decode(m, scale) for m in expected]
    for b in blobs:  # minimal big-endian, inside [1, n^2)
        assert b[1] != 0 and 0 < int.from_bytes(b[1:], "big") < key.n2


def test_the_default_scale_and_fresh_randomness(known):
    pk, sk, key = known
    first, second = keyholder.encrypt_many(sk, [2.5, 2.5]), keyholder.encrypt_many(sk, [2.5])
    assert {b[0] for b in first + second} == {8}
    assert len({*first, *second}) == 3
    assert {key.decrypt(b) for b in first + second} == {(8, 250000000)}


def test_batches_keep_their_order_and_sum_exactly_with_public_blobs(known):
    pk, sk, key = known
    # Long enough for several groups of lanes on every worker, and a tail.
    ints = [(-1) ** i * (i * 7919 % 100003) for i in range(301)]
    holder = keyholder.encrypt_many(sk, [float(i) for i in ints], scale_pow10=0)
    public = hecrypt.encrypt_many(pk, [float(i) for i in ints], scale_pow10=0)
    assert hecrypt.decrypt_many(sk, holder) == [str(i) for i in ints]
    total = hecrypt.add_many(pk, holder + public)
    assert hecrypt.decrypt_many(sk, [total]) == [str(2 * sum(ints))]
    blocks = hecrypt.add_blocks(pk, holder + public, [[0, 301], [5, 6, 400], [300]])
    assert hecrypt.decrypt_many(sk, blocks) == [str(2 * ints[0]), str(ints[5] + ints[6] + ints[99]),
                                                str(ints[300])]
    again = hecrypt.rerandomize(pk, holder[:3])
    assert [key.decrypt(b) for b in again] == [(0, i) for i in ints[:3]]


def test_an_empty_batch(known):
    assert keyholder.encrypt_many(known[1], []) == []


# Each refusal of encrypt_many, the lowest refused value when several are,
# and the argument errors.
REFUSALS = [(values, scale, ValueError) for values, scale in [
    ([1.0, NAN], 8), ([INF], 8), ([-INF], 0), ([1e300], 18), ([1.0], 19), ([NAN], 19),
    ([1.0] * 70 + [1e300] + [1.0] * 5 + [NAN], 18), ([1.0] * 130 + [-INF, NAN], 8),
]] + [(values, scale, Exception) for values, scale in [
    ("not a list", 8), ([1.0, "x"], 8), ([1.0], -1), ([1.0], 256), ([1.0], "8"), (None, 8),
]]


@pytest.mark.parametrize("values, scale, error", REFUSALS)
def test_refusals_are_encrypt_manys_word_for_word(known, values, scale, error):
    pk, sk, _ = known
    public = outcome(lambda: hecrypt.encrypt_many(pk, values, scale))
    assert type(public) is tuple and issubclass(public[0], error)  # refused, not blobs
    assert outcome(lambda: keyholder.encrypt_many(sk, values, scale_pow10=scale)) == public


def test_only_a_secret_key_encrypts(known):
    with pytest.raises(TypeError, match="^argument 'sk': 'PublicKey' object cannot be converted"):
        keyholder.encrypt_many(known[0], [1.0])


def test_numpy_buffers_are_read_as_encrypt_many_reads_them(known):
    np = pytest.importorskip("numpy")
    pk, sk, key = known
    array = np.array([[1.25, -3.5], [7.0, 0.125]])
    for values in (array.ravel(), array[:, 0], array.astype(np.float32).ravel()):
        blobs = keyholder.encrypt_many(sk, values, 3)
        assert [key.decrypt(b) for b in blobs] == [(3, oracle.encode(float(v), 3)) for v in values]


CHILD = textwrap.dedent("""
    import json, sys
    from hecrypt import keyholder, packed
    pk, sk = keyholder.unseal(bytes.fromhex(sys.argv[1]), sys.argv[2])
    values = json.loads(sys.argv[3])
    plain = keyholder.encrypt_many(sk, values, 2)
    pairs = packed.encrypt(sk, [values[i:i + 2] for i in range(0, len(values) - 1, 2)], 2)
    print(json.dumps([[b.hex() for b in plain], [b.hex() for b in pairs]]))
""")


@pytest.mark.parametrize("portable", [False, True])
def test_both_engines_give_blobs_the_model_decrypts(portable):
    key = oracle.KEY_2048
    values = [float(i) / 4 for i in range(-40, 41)]
    out = run(CHILD, forge(key.p, key.q).hex(), PASSPHRASE, json.dumps(values), portable=portable)
    plain, pairs = ([bytes.fromhex(b) for b in blobs] for blobs in json.loads(out))
    assert [key.decrypt(b) for b in plain] == [(2, oracle.encode(v, 2)) for v in values]
    # Packed rows of two 64-bit slots, header and plaintext.
    assert [(b[:6], key.decrypt(bytes([2]) + b[6:])) for b in pairs] == [
        (bytes([0xB5, 2, 0, 2, 0, 64]), (2, oracle.encode(a, 2) + oracle.encode(b, 2) * 2 ** 64))
        for a, b in zip(values[0::2], values[1::2])]
