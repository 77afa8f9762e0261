"""The fixed-point encoding in plain Python, for checking results.

A float v travels as the integer round(v * 10**s), the double product
rounded half away from zero; sums of such integers are exact, products
multiply them, and decryption returns the double nearest to the integer,
divided by 10**s. Summing the same integers here gives the very float that
`hecrypt.decrypt` returns, so the examples compare with ==, not with a
tolerance.
"""

import math


def encode(value, scale):
    """The integer `hecrypt` encrypts for `value` at `scale`."""
    product = abs(value * float(10**scale))
    whole = math.floor(product)
    rounded = whole + (product - whole >= 0.5)  # the difference of the two is exact
    return -rounded if value < 0 else rounded


def decode(integer, scale):
    """The float `hecrypt.decrypt` returns for a plaintext `integer` at `scale`."""
    return float(integer) / float(10**scale)
