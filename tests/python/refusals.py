"""The message a call refuses with."""

import pytest


def refusal(call):
    """The message of the ValueError that `call` raises; None if it returns.
    Without pytest, for the scripts run in fresh interpreters."""
    try:
        call()
    except ValueError as error:
        return str(error)
    return None


def refused(call, *args, error=ValueError):
    """The message of the `error` that `call(*args)` must raise: that type
    itself, not a subclass of it."""
    with pytest.raises(error) as caught:
        call(*args)
    assert type(caught.value) is error
    return str(caught.value)
