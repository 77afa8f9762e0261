"""hecrypt.packed: several values in the slots of one plaintext. Checked
against an independent model of the packing (Python integers and the
oracle's decryption), with the exact refusals."""

import json
import math
import textwrap

import pytest

import hecrypt
from hecrypt import keyholder, packed
from children import on_both_engines
import oracle
from refusals import NOT_FINITE, SCALE, refused
from test_keyholder import PASSPHRASE, forge

KEY = oracle.KEY_2048
MARKER = 0xB5
HEADROOM = 1048576
CAPACITY = (KEY.n >> 21).bit_length() + 20  # 2047 at 2048 bits


# ---- The model

def model_pack(digits, w):
    return sum(d * 2 ** (w * j) for j, d in enumerate(digits))


def model_unpack(m, slots, w):
    """Balanced digits of m, or None when m needs more than `slots` of them."""
    digits = []
    for _ in range(slots):
        d = m % 2 ** w
        if d >= 2 ** (w - 1):
            d -= 2 ** w
        digits.append(d)
        m = (m - d) // 2 ** w
    return digits if m == 0 else None


def header(blob):
    assert blob[0] == MARKER
    return blob[1], int.from_bytes(blob[2:4], "big"), int.from_bytes(blob[4:6], "big")


def plaintext(blob):
    """The layout and the signed packed integer, by the oracle."""
    scale, slots, w = header(blob)
    return (scale, slots, w), KEY.decrypt(bytes([scale]) + blob[6:])[1]


def packed_blob(scale, slots, w, m):
    plain = oracle.textbook_encrypt(KEY.n, m, scale)
    return bytes([MARKER, scale]) + slots.to_bytes(2, "big") + w.to_bytes(2, "big") + plain[1:]


@pytest.fixture(scope="module", params=["PublicKey", "SecretKey"])
def encryption_key(request, known_pk):
    """Either key encrypt takes, of the primes the oracle knows: the secret
    one encrypts with its primes, and must give what the public one gives."""
    if request.param == "PublicKey":
        return known_pk
    return keyholder.unseal(forge(KEY.p, KEY.q), PASSPHRASE)[1]


# ---- Encryption against the model

@pytest.mark.parametrize("rows, scale, w", [
    ([[1.5, -2.25]], 8, 64),
    ([[0.0], [-0.0], [1e-9]], 8, 22),
    ([[2.0 ** 42 - 1, -(2.0 ** 42 - 1), 7.0]], 0, 64),   # the largest of a 64-bit slot
    ([[1.0] * (CAPACITY // 64)], 2, 64),                 # a full row at 2048 bits
    ([[-1.0] * (CAPACITY // 22)], 0, 22),                # the narrowest slots, all negative
    ([[-123.456]], 3, CAPACITY),                         # one slot the whole capacity wide
])
def test_encrypt_packs_as_the_model_does(encryption_key, rows, scale, w):
    for row, blob in zip(rows, packed.encrypt(encryption_key, rows, scale, w)):
        layout, m = plaintext(blob)
        assert layout == (scale, len(row), w)
        digits = [oracle.encode(v, scale) for v in row]
        assert m == model_pack(digits, w)
        assert model_unpack(m, len(row), w) == digits


def test_two_dimensional_arrays_are_read_as_rows(keypair):
    np = pytest.importorskip("numpy")
    pk, sk = keypair
    matrix = np.arange(12, dtype=np.float64).reshape(4, 3) - 5.5
    from_array = packed.decrypt(sk, packed.encrypt(pk, matrix, 1))
    assert from_array == [float(v) for v in matrix.ravel()]
    assert packed.decrypt(sk, packed.encrypt(pk, matrix.T, 1)) == \
        [float(v) for v in matrix.T.ravel()]  # not C-contiguous: read row by row


def test_empty_rows_give_no_blobs(encryption_key):
    assert packed.encrypt(encryption_key, []) == []


@pytest.mark.parametrize("rows, kwargs, message", [
    ([[1.0], [1.0, 2.0]], {}, "row 2 holds 2 values where row 1 holds 1: every row fills the "
                              "same slots"),
    ([[1.0, math.nan]], {}, "row 1, column 2: " + NOT_FINITE.format("NaN")),
    ([[1.0], [2.0 ** 43]], {"scale_pow10": 0},
     "row 2, column 1: value 8.796093022208e12 needs 44 bits at scale 1e0, and a slot of 64 bits "
     "holds 43 once the sign and room for a sum of 1048576 terms are kept: slot_bits=65 or more "
     "holds it"),
    ([[1e300]], {"scale_pow10": 18}, "row 1, column 1: value 1e300 overflows to infinity once "
                                     "scaled by 1e18"),
    ([[2 ** 53 + 1]], {}, "row 1, column 1 is the integer 9007199254740993, which a float cannot "
                          "hold exactly: the value used would be 9007199254740992, a different "
                          "number. Pass a float if that rounding is the intent"),
    ([[1.0]], {"slot_bits": 21}, "slot_bits 21 leaves no room for a value: a slot keeps 21 bits "
                                 "for the sign and the carries of a sum of 1048576 terms, so it "
                                 "needs at least 22"),
    ([[1.0]], {"slot_bits": CAPACITY + 1}, f"slot_bits {CAPACITY + 1} is more than the plaintext "
                                           f"space of this key holds: at most {CAPACITY}"),
    ([[1.0] * 32], {}, "rows of 32 values need 2048 bits in slots of 64, and the plaintext space "
                       "of this key holds 2047: at most 31 values per row at slot_bits=64"),
    ([[]], {}, "rows hold no values: a packed ciphertext needs at least one slot"),
    ([[1.0]], {"scale_pow10": 19}, SCALE.format(19)),
])
def test_encrypt_refusals(encryption_key, rows, kwargs, message):
    assert refused(lambda: packed.encrypt(encryption_key, rows, **kwargs)) == message


def test_the_slot_and_width_checks_come_before_any_value(encryption_key):
    bad_values = [[math.nan] * 40]
    assert refused(lambda: packed.encrypt(encryption_key, bad_values, slot_bits=3)).startswith(
        "slot_bits 3 ")
    assert refused(lambda: packed.encrypt(encryption_key, bad_values)).startswith(
        "rows of 40 values")


@pytest.mark.parametrize("key", [None, "pk", b"\x01" * 256])
def test_encrypt_takes_only_a_key(key):
    with pytest.raises(TypeError, match=f"argument 'key': '{type(key).__name__}' object cannot "
                                        "be converted to 'PublicKey or SecretKey'"):
        packed.encrypt(key, [[1.0]])


# ---- Sums, differences, combinations, decryption

def test_a_full_sum_of_extreme_slots_decodes_exactly(keypair):
    pk, sk = keypair
    largest = 2 ** 43 - 1
    blob = packed.encrypt(pk, [[largest, -largest, -1.0]], 0)[0]
    # 2^20 terms at once would take minutes: the sum of 2^20 copies is the
    # blob raised to 2^20, as multiply_many_public computes it.
    scaled = hecrypt.multiply_many_public(pk, [bytes([0]) + blob[6:]], [float(HEADROOM)], 0)[0]
    total = blob[:6] + scaled[1:]
    assert packed.decrypt(sk, [total]) == [float(largest * HEADROOM), float(-largest * HEADROOM),
                                           -float(HEADROOM)]


def test_sums_blocks_and_rerandomisation_keep_the_layout(keypair):
    pk, sk = keypair
    rows = [[float(r), -2.5 * r, 1e-3] for r in range(10)]
    blobs = packed.encrypt(pk, rows, 3, 40)
    total = packed.add_many(pk, blobs)
    assert total[:6] == blobs[0][:6]
    assert packed.decrypt(sk, [total]) == pytest.approx([45.0, -112.5, 0.01])
    sums = packed.add_blocks(pk, blobs, [[0, 1], [9], [2, 2, 2]])
    assert packed.decrypt(sk, sums) == [1.0, -2.5, 0.002, 9.0, -22.5, 0.001, 6.0, -15.0, 0.003]
    fresh = packed.rerandomize(pk, blobs)
    assert all(a != b and a[:6] == b[:6] for a, b in zip(fresh, blobs))
    assert packed.decrypt(sk, fresh) == packed.decrypt(sk, blobs)


def test_plain_blobs_work_through_the_submodule_alone(keypair):
    pk, sk = keypair
    plain = hecrypt.encrypt_many(pk, [1.25, -7.5, 1e20], 4)
    assert packed.decrypt(sk, plain) == [hecrypt.decrypt(sk, b) for b in plain]
    assert packed.add_many(pk, plain[:2]) == hecrypt.add_many(pk, plain[:2])
    assert packed.add_blocks(pk, plain, [[0, 1]]) == hecrypt.add_blocks(pk, plain, [[0, 1]])
    assert packed.decrypt(sk, packed.subtract(pk, plain[:1], plain[1:2])) == [8.75]


def test_subtract_gives_the_sibling_of_a_histogram(keypair):
    pk, sk = keypair
    rows = [[float(r), float(r * r)] for r in range(12)]
    blobs = packed.encrypt(pk, rows, 0)
    parent = packed.add_many(pk, blobs)
    left = packed.add_many(pk, blobs[:5])
    right = packed.subtract(pk, [parent], [left])
    assert packed.decrypt(sk, right) == [sum(range(5, 12)), sum(r * r for r in range(5, 12))]
    assert right == packed.subtract(pk, [parent], [left])  # deterministic


@pytest.mark.parametrize("count, slots, w", [(1, 2, 64), (15, 2, 64), (16, 2, 64), (40, 2, 64),
                                             (5, 1, 1023), (7, 3, 100)])
def test_combine_shifts_slots_in_input_order(keypair, count, slots, w):
    pk, sk = keypair
    rows = [[float(r * slots + j) * (-1) ** j for j in range(slots)] for r in range(count)]
    blobs = packed.encrypt(pk, rows, 0, w)
    combined = packed.combine(pk, blobs)
    per = CAPACITY // (slots * w)
    assert len(combined) == -(-count // per)
    assert [header(b)[1] for b in combined] == [
        min(per, count - i) * slots for i in range(0, count, per)]
    assert packed.decrypt(sk, combined) == [v for row in rows for v in row]


def test_combine_model_on_the_oracle_key(known_pk):
    digits = [[5, -6], [-(2 ** 42), 2 ** 42 - 1], [0, -1]]
    blobs = [packed_blob(0, 2, 64, model_pack(d, 64)) for d in digits]
    (combined,) = packed.combine(known_pk, blobs)
    layout, m = plaintext(combined)
    assert layout == (0, 6, 64)
    assert model_unpack(m, 6, 64) == [x for d in digits for x in d]


@pytest.mark.parametrize("m, slots, w", [
    (2 ** 127, 2, 64),            # a carry out of the top slot
    (-(2 ** 127) - 2 ** 63 - 1, 2, 64),
    (2 ** 21, 1, 22),
])
def test_decrypt_refuses_a_plaintext_that_does_not_fit_its_slots(keypair, m, slots, w):
    pk, sk = keypair
    assert model_unpack(m, slots, w) is None
    n = oracle.modulus_of(pk)
    plain = oracle.textbook_encrypt(n, m)
    blob = bytes([MARKER, 0]) + slots.to_bytes(2, "big") + w.to_bytes(2, "big") + plain[1:]
    good = packed.encrypt(pk, [[1.0] * slots], 0, w)[0]
    assert refused(lambda: packed.decrypt(sk, [good, blob])) == (
        f"ciphertext #2 does not decode into its {slots} slot{'s' if slots > 1 else ''} of {w} "
        "bits: its plaintext carries out of the top slot, so a sum or a difference outgrew the "
        "slots, and no slot of it can be trusted")


def blob_of(pk, layout, value=1.0):
    scale, slots, w = layout
    return packed.encrypt(pk, [[value] * slots], scale, w)[0]


@pytest.mark.parametrize("call, message", [
    (lambda pk, a, b, c: packed.add_many(pk, [a, b]),
     "ciphertext #2 holds 3 slots of 64 bits while the sum started with 2 slots of 64 bits: "
     "adding them would put values into the wrong slots"),
    (lambda pk, a, b, c: packed.add_many(pk, [a, c]),
     "ciphertext #2 was encoded with scale 1e4 while the sum started at 1e8: adding them would "
     "produce a plausible wrong number, and rescaling is impossible on encrypted values"),
    (lambda pk, a, b, c: packed.add_many(pk, [a, bytes([8]) + a[6:]]),
     "ciphertext #2 holds one plain value while the sum started with 2 slots of 64 bits: adding "
     "them would put values into the wrong slots"),
    (lambda pk, a, b, c: packed.add_blocks(pk, [a, b, c], [[0], [0, 0, 2]]),
     "block #2 mixes scale 1e4 at position 3 into a sum started at 1e8: adding them would "
     "produce a plausible wrong number, and rescaling is impossible on encrypted values"),
    (lambda pk, a, b, c: packed.add_blocks(pk, [a, b], [[1, 0]]),
     "block #1 mixes 2 slots of 64 bits at position 2 into a sum started with 3 slots of 64 "
     "bits: adding them would put values into the wrong slots"),
    (lambda pk, a, b, c: packed.combine(pk, [a, b]),
     "ciphertext #2 holds 3 slots of 64 bits while the combination started with 2 slots of 64 "
     "bits: adding them would put values into the wrong slots"),
    (lambda pk, a, b, c: packed.combine(pk, [hecrypt.encrypt_many(pk, [1.0])[0]]),
     "ciphertext #1 is a plain ciphertext: combining shifts slots of a declared width, and a "
     "plain ciphertext declares none"),
    (lambda pk, a, b, c: packed.combine(pk, [a[:4]]),
     "ciphertext #1: packed ciphertext is cut short: its header takes 6 bytes, and only 4 are "
     "there"),
    (lambda pk, a, b, c: packed.rerandomize(pk, [a, a[:2] + b"\x00\x40\x00\x40" + a[6:]]),
     "ciphertext #2 declares 64 slots of 64 bits, 4096 bits, more than the {capacity} the "
     "plaintext space of this key holds"),
    (lambda pk, a, b, c: packed.subtract(pk, [a, a], [a]),
     "subtract takes one subtrahend per minuend: got 2 minuends and 1 subtrahends"),
    (lambda pk, a, b, c: packed.subtract(pk, [a, a], [a, b]),
     "subtrahend #2 holds 3 slots of 64 bits while minuend #2 holds 2 slots of 64 bits: "
     "subtracting them would put values into the wrong slots"),
    (lambda pk, a, b, c: packed.subtract(pk, [a, c], [a, a]),
     "subtrahend #2 was encoded with scale 1e8 while minuend #2 was at 1e4: subtracting them "
     "would produce a plausible wrong number, and rescaling is impossible on encrypted values"),
    (lambda pk, a, b, c: packed.subtract(pk, [a, a, a], [a, a[:6] + b"\x01", a[:6]]),
     "subtrahend #3 is not in [1, n^2) of this key"),
])
def test_mixed_layouts_and_malformed_blobs_are_refused(keypair, call, message):
    pk = keypair[0]
    a, b, c = blob_of(pk, (8, 2, 64)), blob_of(pk, (8, 3, 64)), blob_of(pk, (4, 2, 64))
    # A generated 2048-bit key's capacity is 2046 or 2047, as its n falls.
    capacity = (int.from_bytes(pk.modulus_bytes(), "big") >> 21).bit_length() + 20
    assert refused(lambda: call(pk, a, b, c)) == message.format(capacity=capacity)


def test_a_subtrahend_without_an_inverse_is_refused_at_its_position(keypair):
    pk = keypair[0]
    n = oracle.modulus_of(pk)
    a = blob_of(pk, (0, 1, 64))
    shared = a[:6] + (n * 5).to_bytes(260, "big")
    assert refused(lambda: packed.subtract(pk, [a] * 4, [a, a, shared, shared])) == (
        "subtrahend #3 has no inverse modulo n^2 of this key: it shares a factor with n, so no "
        "difference with it exists")


def test_plain_functions_refuse_packed_blobs_as_before(keypair):
    pk, sk = keypair
    blob = blob_of(pk, (8, 2, 64))
    scale_message = SCALE.format(181)
    assert refused(lambda: hecrypt.decrypt(sk, blob)) == scale_message
    assert refused(lambda: hecrypt.add_many(pk, [blob])) == "ciphertext #1: " + scale_message


# ---- Pool sizes and engines, in fresh interpreters

CHILD = textwrap.dedent("""
    import json, sys
    import hecrypt, oracle
    from hecrypt import packed
    from refusals import refusal
    key = getattr(oracle, sys.argv[1])
    pk = hecrypt.PublicKey.from_n(key.modulus_bytes())
    n = key.n
    rows = [[float(r), -1.5 * r] for r in range(23)]
    encrypted = packed.encrypt(pk, rows, 1)
    head = encrypted[0][:6]
    out = {"plain": [key.decrypt(bytes([1]) + b[6:]) for b in encrypted]}
    # fixed ciphertexts, so that both runs work on the same bytes
    blobs = [head + oracle.textbook_encrypt(n, 10 * r - 15 * r * 2 ** 64)[1:] for r in range(23)]
    out["combine"] = [b.hex() for b in packed.combine(pk, blobs)]
    out["sums"] = [b.hex() for b in packed.add_blocks(pk, blobs, [list(range(23)), [3, 4]])]
    out["subtract"] = [b.hex() for b in packed.subtract(pk, blobs, blobs[::-1])]
    out["refused"] = []
    for positions in json.loads(sys.argv[2]):
        bad = list(blobs)
        for p in positions:
            bad[p] = b"" if p % 2 else head + key.n2.to_bytes(len(pk.modulus_bytes()) * 2 + 1, "big")
        out["refused"].append([refusal(lambda: packed.combine(pk, bad)),
                               refusal(lambda: packed.rerandomize(pk, bad)),
                               refusal(lambda: packed.subtract(pk, blobs, bad))])
    print(json.dumps(out))
""")

# In the first or a later group of eight lanes, two in one group, and the last.
REFUSALS = [[0], [7, 8], [9, 4], [22, 15]]


@pytest.mark.parametrize("key, threads", [("KEY_2048", 1), ("KEY_2048", 2), ("KEY_3072", 2)])
def test_both_engines_give_the_same_bytes_and_the_lowest_refusal(key, threads):
    fast, portable = on_both_engines(CHILD, key, json.dumps(REFUSALS), threads=threads)
    assert fast == portable
    for (scale, m), r in zip(fast["plain"], range(23)):
        assert scale == 1 and model_unpack(m, 2, 64) == [10 * r, -15 * r]
    for positions, texts in zip(REFUSALS, fast["refused"]):
        lowest = min(positions) + 1
        assert all(text.startswith((f"ciphertext #{lowest}", f"subtrahend #{lowest}"))
                   for text in texts), texts
