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
    blobs = []
    with bar(total=len(values), desc="encrypting") as progress:
        for start in range(0, len(values), size):
            blobs += hecrypt.encrypt_many(pk, values[start:start + size], scale)
            progress.update(min(size, len(values) - start))
    return blobs


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
