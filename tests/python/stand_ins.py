"""Objects that stand in for numbers at the conversion boundary, and NumPy
where this interpreter has a build of it."""

import pytest

try:
    import numpy
except ImportError:  # not built for every interpreter on the machine
    numpy = None

NO_NUMPY = pytest.mark.skipif(numpy is None, reason="numpy is not importable here")


class OwnError(Exception):
    """An exception only the caller's own code raises."""


class StrictInt(int):
    pass


class FloatLike:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        return self.result


class IndexLike:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        return self.result


class Raises:
    """__float__ and __index__ both raise the exception made by `make`."""

    def __init__(self, make):
        self.make = make

    def __float__(self):
        raise self.make()

    __index__ = __float__


class IntegerLike:
    """An integer type of its own, as NumPy's are: __float__ rounds like
    float(int) does, __index__ gives the exact value."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return float(self.value)

    def __index__(self):
        return self.value
