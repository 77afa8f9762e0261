"""End to end: a key holder, a peer that computes on ciphertexts, and back.

Run with `make demo`.
"""

import time

import hecrypt


def timed(label, call, *args):
    start = time.perf_counter()
    result = call(*args)
    print(f"{label:<44} {time.perf_counter() - start:8.3f} s")
    return result


# The key holder makes a key pair and sends only the modulus bytes.
pk, sk = timed("generate_keypair(2048)", hecrypt.generate_keypair, 2048)
raw = pk.modulus_bytes()
print(f"modulus: {len(raw)} bytes; random exponents: {pk.exponent_bits} bits; "
      f"largest plaintext: {pk.plaintext_bound_bits} bits")

# The peer assembles its own copy of the public key from those bytes.
peer = timed("PublicKey.from_n(modulus bytes)", hecrypt.PublicKey.from_n, raw)

# Encrypted gradients, summed over row subsets (one sum per candidate split).
gradients = [0.25, -1.5, 3.125, 0.0625, -0.75, 2.0]
blobs = timed("encrypt_many (6 values, scale 8)", hecrypt.encrypt_many, peer, gradients)
splits = [[0, 1, 2], [3, 4, 5], [0, 2, 4]]
sums = timed("add_blocks (3 blocks)", hecrypt.add_blocks, peer, blobs, splits)

# A linear model: multiply by plaintext weights, then re-randomise before sending.
weighted = timed("multiply_many by 0.5", hecrypt.multiply_many, peer, sums, [0.5] * 3)
outgoing = timed("rerandomize", hecrypt.rerandomize, peer, weighted)

# Back at the key holder.
for split, blob in zip(splits, outgoing):
    expected = 0.5 * sum(gradients[i] for i in split)
    print(f"rows {split}: decrypted {hecrypt.decrypt(sk, blob)!r}, expected {expected!r}")

exact = hecrypt.add_many(pk, hecrypt.encrypt_many(pk, [2.0**53, 1.0], 0))
print("2^53 + 1 exactly:", hecrypt.decrypt_many(sk, [exact])[0])
