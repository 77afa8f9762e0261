"""The 8-lane engine and the portable one (HECRYPT_PORTABLE=1) agree, for
any size of the worker pool: the same plaintexts come back, sums and products
are the same bytes, and the same refusal, the lowest, is reported for the same
batch. On a CPU without AVX-512 IFMA both runs take
the portable engine and the comparison holds trivially."""

import json
import re
import textwrap

import pytest

import oracle
from children import on_both_engines, run
from refusals import EMPTY

CHILD = textwrap.dedent("""
    import json, math, sys
    import hecrypt, oracle
    from refusals import refusal
    key = getattr(oracle, sys.argv[1])
    pk = hecrypt.PublicKey.from_n(key.modulus_bytes())
    values = [float(i) * 1.25 - 7.0 for i in range(int(sys.argv[2]))]
    out = {}
    blobs = hecrypt.encrypt_many(pk, values, 2)
    out["encrypted"] = [key.decrypt(b) for b in blobs]
    again = hecrypt.rerandomize(pk, blobs)
    out["fresh"] = [a != b for a, b in zip(again, blobs)]
    out["rerandomized"] = [key.decrypt(b) for b in again]
    out["refused"] = []
    for positions in json.loads(sys.argv[3]):
        bad_values, bad_blobs = list(values), list(blobs)
        for p in (p for p in positions if p < len(values)):
            bad_values[p] = math.nan if p % 2 else math.inf
            bad_blobs[p] = b"" if p % 2 else bytes([2]) + key.n2.to_bytes(key.n2.bit_length() // 8 + 1, "big")
        out["refused"].append([refusal(lambda: hecrypt.encrypt_many(pk, bad_values, 2)),
                               refusal(lambda: hecrypt.rerandomize(pk, bad_blobs))])
    print(json.dumps(out))
""")

# Refused positions (0-based): in the first or a later group of eight, two
# in one group, two in different groups, the last item of a partial group.
# Odd positions hold NaN or an empty blob, even ones inf or n^2, so each pair
# tells from the message alone which of its two was reported.
REFUSALS = [[0], [7], [8], [3, 6], [13, 4], [9, 16], [18]]


@pytest.mark.parametrize("key, count, threads", [
    ("KEY_2048", 19, 1), ("KEY_2048", 19, 2), ("KEY_2048", 1, 2), ("KEY_3072", 9, 2),
    ("KEY_2048", 9, 16), ("KEY_2048", 9, 64), ("KEY_2048", 40, 2),
])
def test_every_engine_and_pool_size_give_the_same_plaintexts_and_refusals(key, count, threads):
    fast, portable = on_both_engines(CHILD, key, count, json.dumps(REFUSALS), threads=threads)
    expected = [[2, round(i * 125 - 700)] for i in range(count)]
    for out in (fast, portable):
        assert out["encrypted"] == expected
        assert out["rerandomized"] == expected
        assert all(out["fresh"])
    # Refusals beyond the batch leave it whole; the rest name the lowest.
    assert fast["refused"] == portable["refused"]
    for positions, (encrypt, rerandomize) in zip(REFUSALS, fast["refused"]):
        inside = sorted(p for p in positions if p < count)
        if not inside:
            assert encrypt is None and rerandomize is None
            continue
        lowest = inside[0]
        assert encrypt.startswith("value NaN" if lowest % 2 else "value inf"), encrypt
        assert rerandomize.startswith(f"ciphertext #{lowest + 1}"), rerandomize
        if lowest % 2:
            assert rerandomize == f"ciphertext #{lowest + 1}: " + EMPTY
        else:
            assert "is not in [1, n^2)" in rerandomize, rerandomize


# Fixed ciphertexts, so that both runs sum the same bytes: blocks around the
# sizes of one and two groups of lanes, and repeats; then lists with a
# second scale, an integer out of range or an empty blob where each call
# must report the lowest fault of its first failing phase.
SUMS_CHILD = textwrap.dedent("""
    import json, random, sys
    import hecrypt, oracle
    key = getattr(oracle, sys.argv[1])
    pk = hecrypt.PublicKey.from_n(key.modulus_bytes())
    rng = random.Random(5)
    blobs = [oracle.blob(8, rng.randrange(1, key.n2)) for _ in range(700)]
    blocks = [[rng.randrange(700) for _ in range(k)] for k in (1, 7, 8, 9, 63, 65, 600, 2)]
    blocks.append([5] * 100)
    scaled, ranged = list(blobs), list(blobs)
    scaled[41], scaled[650] = oracle.blob(3, 1), b""
    ranged[300], ranged[650] = oracle.blob(8, key.n2), b""
    span = lambda a, b: list(range(a, b))
    calls = [
        lambda: hecrypt.add_many(pk, blobs),
        lambda: hecrypt.add_many(pk, scaled),
        lambda: hecrypt.add_many(pk, ranged),
        lambda: hecrypt.add_many(pk, ranged[:200]),
        lambda: hecrypt.add_blocks(pk, blobs, blocks),
        lambda: hecrypt.add_blocks(pk, scaled, [span(0, 40)] * 3 + [span(30, 60), span(41, 50)]),
        lambda: hecrypt.add_blocks(pk, scaled, [span(0, 40), [0, 650], span(30, 60)]),
        lambda: hecrypt.add_blocks(pk, ranged, [span(250, 350), [650]]),
    ]

    def outcome(call):
        try:
            result = call()
        except ValueError as e:
            return str(e)
        return result.hex() if isinstance(result, bytes) else [r.hex() for r in result]
    print(json.dumps([outcome(call) for call in calls]))
""")


@pytest.mark.parametrize("key, threads", [("KEY_2048", 1), ("KEY_2048", 2), ("KEY_3072", 2)])
def test_both_engines_give_the_same_sums_and_refusals(key, threads):
    fast, portable = on_both_engines(SUMS_CHILD, key, threads=threads)
    assert fast == portable
    sums = [fast[0], fast[3]] + fast[4]
    assert all(bytes.fromhex(s)[0] == 8 for s in sums)
    refused = [fast[1], fast[2], fast[5], fast[6], fast[7]]
    assert [text.split(":")[0] for text in refused] == [
        "ciphertext #42 was encoded with scale 1e3 while the sum started at 1e8",
        "ciphertext #301 is not in [1, n^2) of this key",
        "block #4 mixes scale 1e3 at position 12 into a sum started at 1e8",
        "ciphertext #651",
        "ciphertext #301 is not in [1, n^2) of this key",
    ]


# Decryption runs four ciphertexts to a group of lanes: refusals in the first
# group, at a group's edges, two in one group and in two groups.
DECRYPT_CHILD = textwrap.dedent("""
    import json, sys
    import hecrypt
    from refusals import refusal
    pk, sk = hecrypt.generate_keypair(2048)
    values = [float(i * 37 - 200) for i in range(11)]
    blobs = hecrypt.encrypt_many(pk, values, 0)
    out = {"many": hecrypt.decrypt_many(sk, blobs),
           "one": [hecrypt.decrypt(sk, b) for b in blobs],
           "refused": []}
    for positions in json.loads(sys.argv[1]):
        bad = list(blobs)
        for p in positions:
            bad[p] = b"" if p % 2 else hecrypt.encrypt_many(pk, [1.5], 1)[0]
        out["refused"].append(refusal(lambda: hecrypt.decrypt_many(sk, bad)))
    print(json.dumps(out))
""")

DECRYPT_REFUSALS = [[0], [3], [4], [2, 1], [9, 5], [10]]


@pytest.mark.parametrize("portable", [False, True])
def test_both_engines_decrypt_alike(portable):
    out = json.loads(run(DECRYPT_CHILD, json.dumps(DECRYPT_REFUSALS), portable=portable, threads=2))
    assert out["many"] == [str(i * 37 - 200) for i in range(11)]
    assert out["one"] == [float(i * 37 - 200) for i in range(11)]
    for positions, message in zip(DECRYPT_REFUSALS, out["refused"]):
        lowest = min(positions)
        assert message.startswith(f"ciphertext #{lowest + 1}"), message
        assert ("empty" in message) == (lowest % 2 == 1), message


# Products take 64 pairs to a chunk on the 8-lane engine and are shared among
# the pool's workers; each pool size and engine must give the bytes c^k mod n^2.
# Each refusal case makes pairs bad at 1-based positions: a ciphertext sharing
# a factor with n (refused at its power), a NaN or zero scalar (refused at its
# checks). The lowest is named, within a group of eight lanes, across lanes,
# across chunks and across workers' shares.
PRODUCTS_CHILD = textwrap.dedent("""
    import json, math, sys
    import hecrypt, oracle
    from refusals import refusal
    key = oracle.KEY_2048
    pk = hecrypt.PublicKey.from_n(key.modulus_bytes())
    blobs = [oracle.textbook_encrypt(key.n, i % 9 - 4, 1) for i in range(70)]
    scalars = [float((i * 7919) % 201 - 100) or 3.0 for i in range(70)]
    bad_blob = {"n": oracle.blob(1, key.n), "5p": oracle.blob(1, key.p * 5)}
    out = {"blobs": [b.hex() for b in blobs]}
    for multiply in (hecrypt.multiply_many, hecrypt.multiply_many_public):
        out[multiply.__name__] = [b.hex() for b in multiply(pk, blobs, scalars, 0)]
        out[multiply.__name__ + " refused"] = refused = []
        for bad in json.loads(sys.argv[1]):
            bad_blobs, bad_scalars = list(blobs), list(scalars)
            for position, kind in bad:
                if kind in bad_blob:
                    bad_blobs[position - 1] = bad_blob[kind]
                else:
                    bad_scalars[position - 1] = math.nan if kind == "nan" else 0.0
            refused.append(refusal(lambda: multiply(pk, bad_blobs, bad_scalars, 0)))
    print(json.dumps(out))
""")

PRODUCT_REFUSALS = [
    [(4, "5p"), (6, "nan")], [(6, "5p"), (4, "nan")], [(8, "5p"), (9, "nan")],
    [(67, "5p"), (66, "nan")], [(11, "5p"), (70, "nan")], [(70, "5p"), (1, "nan")],
    [(11, "zero"), (10, "n")], [(9, "n"), (8, "zero")], [(17, "zero"), (16, "n")],
    [(40, "n"), (21, "zero"), (33, "n")], [(1, "n")],
]


@pytest.mark.parametrize("threads", [1, 2, 16])
def test_every_engine_and_pool_size_multiply_alike(threads):
    fast, portable = on_both_engines(PRODUCTS_CHILD, json.dumps(PRODUCT_REFUSALS), threads=threads)
    assert fast == portable
    n2 = oracle.KEY_2048.n2
    scalars = [(i * 7919) % 201 - 100 or 3 for i in range(70)]
    powers = [oracle.blob(1, pow(int.from_bytes(bytes.fromhex(c)[1:], "big"), k, n2)).hex()
              for c, k in zip(fast["blobs"], scalars)]
    for name in ("multiply_many", "multiply_many_public"):
        assert fast[name] == powers
        for bad, message in zip(PRODUCT_REFUSALS, fast[name + " refused"]):
            position, kind = min(bad)
            label = "scalar" if kind in ("nan", "zero") else "ciphertext"
            assert re.match(rf"{label} #{position}\b", message), message
