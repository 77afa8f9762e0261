"""The 8-lane engine and the portable one (HECRYPT_PORTABLE=1) agree: the
same plaintexts come back, sums are the same bytes, and the same refusal is
reported for the same batch. On a CPU without AVX-512 IFMA both runs take
the portable engine and the comparison holds trivially."""

import json
import textwrap

import pytest

from children import on_both_engines, run

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
])
def test_both_engines_give_the_same_plaintexts_and_refusals(key, count, threads):
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
        assert ("empty" in rerandomize) == bool(lowest % 2), rerandomize


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


# Products take 64 pairs to a chunk on the 8-lane engine, and give the same
# bytes as the portable one. Each refusal case
# puts a ciphertext sharing a factor with n (refused at its power) and a NaN
# scalar (refused at its checks) at given positions: the lower one is named,
# within a chunk of eight lanes, across lanes and across chunks.
PRODUCTS_CHILD = textwrap.dedent("""
    import json, math, sys
    import hecrypt, oracle
    from refusals import refusal
    key = oracle.KEY_2048
    pk = hecrypt.PublicKey.from_n(key.modulus_bytes())
    count = 70
    blobs = [oracle.textbook_encrypt(key.n, i % 9 - 4) for i in range(count)]
    scalars = [float((i * 7919) % 201 - 100) or 3.0 for i in range(count)]
    out = {}
    for name in ("multiply_many", "multiply_many_public"):
        call = getattr(hecrypt, name)
        products = call(pk, blobs, scalars, 0)
        out[name] = [b.hex() for b in products]
        out[name + " decrypted"] = [key.decrypt(b) for b in products[:12]]
        refused = []
        for shared, nan in json.loads(sys.argv[1]):
            bad_blobs, bad_scalars = list(blobs), list(scalars)
            bad_blobs[shared] = oracle.blob(0, key.p * 5)
            bad_scalars[nan] = math.nan
            refused.append(refusal(lambda: call(pk, bad_blobs, bad_scalars, 0)))
        out[name + " refused"] = refused
    print(json.dumps(out))
""")

PRODUCT_REFUSALS = [[3, 5], [5, 3], [7, 8], [66, 65], [10, 69], [69, 0]]


def test_both_engines_multiply_alike():
    fast, portable = on_both_engines(PRODUCTS_CHILD, json.dumps(PRODUCT_REFUSALS), threads=1)
    assert fast == portable
    scalars = [(i * 7919) % 201 - 100 or 3 for i in range(70)]
    for name in ("multiply_many", "multiply_many_public"):
        assert fast[name + " decrypted"] == [[0, (i % 9 - 4) * k] for i, k in enumerate(scalars[:12])]
        for (shared, nan), message in zip(PRODUCT_REFUSALS, fast[name + " refused"]):
            lowest = min(shared, nan)
            label = "ciphertext" if lowest == shared else "scalar"
            assert message.startswith(f"{label} #{lowest + 1}"), message
