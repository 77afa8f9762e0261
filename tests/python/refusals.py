"""The message a call refuses with, and the messages several entry points share."""

import pytest

EMPTY = "ciphertext is empty: it must start with a scale exponent byte"
SCALE = ("scale exponent {} is above the 18 this encoding allows: past that even a value of one "
         "has no exact f64 representation once scaled")
NOT_FINITE = ("value {} is not finite: NaN and infinities have no encoding, and turning them into "
              "zero would put a plausible number into the sum")
MIXED = ("ciphertext #{} was encoded with scale 1e{} while the sum started at 1e{}: adding them "
         "would produce a plausible wrong number, and rescaling is impossible on encrypted values")
INEXACT_INTEGER = ("{} #{} is the integer {}, which a float cannot hold exactly: the value used "
                   "would be {}, a different number. Pass a float if that rounding is the intent")


def refusal(call):
    """The message of the ValueError that `call` raises; None if it returns.
    Without pytest, for the scripts run in fresh interpreters."""
    try:
        call()
    except ValueError as error:
        return str(error)
    return None


def outcome(call):
    """What a call gives: its result, or its exception's type and text."""
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return type(error), str(error)


def refused(call, *args, error=ValueError):
    """The message of the `error` that `call(*args)` must raise: that type
    itself, not a subclass of it."""
    with pytest.raises(error) as caught:
        call(*args)
    assert type(caught.value) is error
    return str(caught.value)
