"""Progress bars for the examples' long stages: tqdm's when it is installed
(python3-tqdm), none otherwise, so the examples run the same without it."""

import sys

import hecrypt

try:
    from tqdm import tqdm
except ImportError:
    tqdm = None


def bar(iterable=None, total=None, desc=None):
    """A tqdm bar over `iterable` (or advanced by hand with `update`), or a
    stand-in with the same two methods when tqdm is missing."""
    if tqdm is not None:
        return tqdm(iterable, total=total, desc=desc, unit="item", file=sys.stderr, leave=False)
    return _Silent(iterable)


def encrypt_in_chunks(pk, values, scale, size=2000):
    """encrypt_many with a bar: the same blobs, `size` values per call."""
    return in_chunks(lambda chunk: hecrypt.encrypt_many(pk, chunk, scale), values, "encrypting",
                     size)


def in_chunks(call, items, desc, size=2000):
    """call(items) with a bar: the concatenated results of `call` on
    consecutive chunks of `size` items, for a call whose result has one
    entry per item or more."""
    results = []
    with bar(total=len(items), desc=desc) as progress:
        for start in range(0, len(items), size):
            results += call(items[start:start + size])
            progress.update(min(size, len(items) - start))
    return results


class _Silent:
    def __init__(self, iterable):
        self._iterable = iterable

    def __iter__(self):
        return iter(self._iterable)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, count):
        pass
