"""An independent model of the scheme for a modulus whose factors are known.

It encrypts and decrypts with Python's own integers, so the module's blobs can
be checked without trusting the module's decryption (or its encryption).
"""

import random
from fractions import Fraction
import math

import known_primes


class KnownKey:
    def __init__(self, p, q):
        self.p, self.q = p, q
        self.n = p * q
        self.n2 = self.n * self.n
        self.lam = (p - 1) * (q - 1) // 2
        self.mu = pow(self.lam, -1, self.n)

    def modulus_bytes(self):
        return self.n.to_bytes((self.n.bit_length() + 7) // 8, "big")

    def decrypt(self, blob):
        """(scale, signed plaintext integer) of a blob."""
        c = int.from_bytes(blob[1:], "big")
        m = (pow(c, self.lam, self.n2) - 1) // self.n * self.mu % self.n
        return blob[0], m - self.n if m > self.n // 2 else m


def blob(scale, c):
    """A blob in minimal form."""
    return bytes([scale]) + c.to_bytes((c.bit_length() + 7) // 8, "big")


def textbook_encrypt(n, m, scale=0, rng=random.Random(7)):
    """(1 + m n) x^n mod n^2 for a random x coprime with n: needs only n."""
    n2 = n * n
    while True:
        x = rng.randrange(2, n - 1)
        if math.gcd(x, n) == 1:
            break
    return blob(scale, (1 + m * n) % n2 * pow(x, n, n2) % n2)


def modulus_of(pk):
    return int.from_bytes(pk.modulus_bytes(), "big")


KEY_2048 = KnownKey(known_primes.SAFE_PRIME_1024_1, known_primes.SAFE_PRIME_1024_2)
KEY_3072 = KnownKey(known_primes.SAFE_PRIME_1536_1, known_primes.SAFE_PRIME_1536_2)


def encode(value, scale):
    """round(value * 10^scale) with the double product rounded half away from zero."""
    product = Fraction(value * 10.0**scale)
    magnitude = math.floor(abs(product) + Fraction(1, 2))
    return -magnitude if product < 0 else magnitude


def decode(m, scale):
    """What decrypt returns: the double nearest to m, divided by 10^scale."""
    return float(m) / 10.0**scale
