"""Vertical federated linear regression: the gradient of one party's weights.

The active party holds the labels and the secret key; it encrypts the
residuals of the current model, one per row, and sends the blobs with the
modulus bytes of its key. The passive party holds its own features of the
same rows in the clear. For each feature it multiplies every encrypted
residual by the row's feature value (`multiply_many_public`: the feature
values never leave the party, but the products' timing may show their size;
`multiply_many` hides that, at several times the cost), sums the products
(`add_many`), re-randomises the sums and sends them back. The active party
decrypts the gradient of the passive party's weights, sum(r * x) / rows.

The scales. A product of a ciphertext at scale 1e{a} by a scalar at scale
1e{b} lands at 1e{a+b}, and a+b may not pass 18; a public scalar must also
encode below 2^53, so a feature whose values reach |x| can use at most the
scale b with |x| * 10**b < 2**53. The passive party picks, per feature, the
largest b allowed by both. A value that encodes to zero at that scale is
refused as a scalar (the product would be the constant 1), so such rows are
left out of that feature's sum, where they add nothing anyway.

The example checks itself: every decrypted sum must equal the exact
fixed-point computation, and lie within the rounding the scales allow of the
float gradient (it exits with 1 if not).

    python3 examples/linear_gradient.py [--rows 20000] [--features 10]
"""

import argparse
import math
import random
import sys
import time
from typing import NamedTuple

import hecrypt
import plaintext
from progress import bar, encrypt_in_chunks

RESIDUAL_SCALE = 8
MAX_SCALE = 18  # the largest scale a blob can carry
PUBLIC_SCALAR_LIMIT = 2**53  # |encoded scalar| must stay below this in multiply_many_public


class GradientResult(NamedTuple):
    gradient: list  # decrypted, one per passive feature
    feature_scales: list
    exact: bool  # equal to the fixed-point computation
    worst_error: float  # largest |decrypted - float gradient| / its rounding bound

    @property
    def ok(self):
        return self.exact and self.worst_error <= 1.0


def make_rows(rows, features, seed):
    """Residuals and the passive party's feature columns: most features
    standard normal, every fourth one sparse (mostly exact zeros), every
    fifth in the millions, so that different features need different scales."""
    rng = random.Random(seed)
    columns = []
    for f in range(features):
        if f % 5 == 4:
            columns.append([rng.uniform(1e5, 9e6) for _ in range(rows)])
        elif f % 4 == 3:
            columns.append([rng.gauss(0.0, 1.0) if rng.random() < 0.3 else 0.0
                            for _ in range(rows)])
        else:
            columns.append([rng.gauss(0.0, 1.0) for _ in range(rows)])
    weights = [rng.gauss(0.0, 1.0) / max(1.0, max(map(abs, c))) for c in columns]
    residuals = [sum(w * c[i] for w, c in zip(weights, columns)) + rng.gauss(0.0, 0.1)
                 for i in range(rows)]
    return residuals, columns


def feature_scale(column, ciphertext_scale):
    """The largest scalar scale b with ciphertext_scale + b <= 18 and every
    |x| * 10**b below 2**53."""
    largest = max(map(abs, column), default=0.0)
    b = MAX_SCALE - ciphertext_scale
    while b > 0 and plaintext.encode(largest, b) >= PUBLIC_SCALAR_LIMIT:
        b -= 1
    return b


def passive_products(raw, residual_blobs, columns):
    """The passive party: for every feature, the re-randomised blob of
    sum(r * x) over the rows, and the scalar scale it chose."""
    pk = hecrypt.PublicKey.from_n(raw)
    scale = residual_blobs[0][0]  # a blob's first byte is its scale
    sums, scales = [], []
    for column in bar(columns, desc="multiplying"):
        b = feature_scale(column, scale)
        rows = [i for i, x in enumerate(column) if plaintext.encode(x, b) != 0]
        products = hecrypt.multiply_many_public(
            pk, [residual_blobs[i] for i in rows], [column[i] for i in rows], b)
        # A feature that is zero on every row has the gradient zero.
        sums.append(hecrypt.add_many(pk, products) if products
                    else hecrypt.encrypt_many(pk, [0.0], scale + b)[0])
        scales.append(b)
    return hecrypt.rerandomize(pk, sums), scales


def exact_sum(residuals, column, b):
    """sum(r * x) computed on the integers the encoding makes."""
    total = sum(plaintext.encode(r, RESIDUAL_SCALE) * plaintext.encode(x, b)
                for r, x in zip(residuals, column))
    return plaintext.decode(total, RESIDUAL_SCALE + b)


def rounding_bound(residuals, column, b):
    """How far the fixed-point sum may lie from the float sum: every term's
    factors are each rounded by at most half a unit of their scale."""
    r_unit, x_unit = 0.5 * 10.0**-RESIDUAL_SCALE, 0.5 * 10.0**-b
    bound = math.fsum(abs(x) * r_unit + abs(r) * x_unit + r_unit * x_unit
                      for r, x in zip(residuals, column))
    largest = math.fsum(abs(r * x) for r, x in zip(residuals, column))
    return bound + 4 * sys.float_info.epsilon * largest  # the floats' own rounding


def run(pk, sk, rows=20000, features=10, seed=1):
    """Both parties' work for one gradient under the key pair (pk, sk)."""
    residuals, columns = make_rows(rows, features, seed)
    blobs = encrypt_in_chunks(pk, residuals, RESIDUAL_SCALE)
    returned, scales = passive_products(pk.modulus_bytes(), blobs, columns)
    sums = [hecrypt.decrypt(sk, blob) for blob in returned]
    exact = all(s == exact_sum(residuals, c, b) for s, c, b in zip(sums, columns, scales))
    errors = [abs(s - math.fsum(r * x for r, x in zip(residuals, c)))
              / rounding_bound(residuals, c, b) for s, c, b in zip(sums, columns, scales)]
    return GradientResult([s / rows for s in sums], scales, exact, max(errors, default=0.0))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20000)
    parser.add_argument("--features", type=int, default=10)
    parser.add_argument("--bits", type=int, default=2048, help="modulus length of the key")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    start = time.perf_counter()
    pk, sk = hecrypt.generate_keypair(args.bits)
    print(f"linear gradient: {args.rows} rows, {args.features} passive features, "
          f"{args.bits}-bit key")
    result = run(pk, sk, args.rows, args.features, args.seed)
    print(f"residuals at scale 1e{RESIDUAL_SCALE}; feature scales "
          + ", ".join(f"1e{b}" for b in result.feature_scales)
          + f"; products at 1e{RESIDUAL_SCALE} times those, at most 1e{MAX_SCALE}")
    print("gradient: " + ", ".join(f"{g:.6g}" for g in result.gradient))
    print(f"largest error against the float gradient: {result.worst_error:.3g} of the "
          f"rounding the scales allow")
    print(f"equals the fixed-point computation exactly: {'yes' if result.exact else 'NO'} "
          f"({time.perf_counter() - start:.1f} s)")
    return 0 if result.ok else 1


if __name__ == "__main__":
    sys.exit(main())
