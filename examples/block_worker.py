"""What a Dask worker runs for distributed_blocks.py: block sums under a
peer's public key, the key assembled once per worker process and kept.

Only bytes reach this module: the modulus, the blobs and the index blocks.
A `PublicKey` cannot be pickled, and should not be: assembling it from the
modulus costs one full exponentiation and a table build, so each worker
does that once per modulus and keeps the key for every later task.
"""

import threading

import hecrypt

_keys = {}  # modulus bytes -> PublicKey, for this worker process
_lock = threading.Lock()


def public_key(raw):
    """The worker's PublicKey for the modulus bytes `raw`, built on first use."""
    with _lock:
        if raw not in _keys:
            _keys[raw] = hecrypt.PublicKey.from_n(raw)
        return _keys[raw]


def block_sums(raw, blobs, blocks):
    """One sum blob per index block, as `hecrypt.add_blocks` gives them."""
    return hecrypt.add_blocks(public_key(raw), blobs, blocks)


def keys_built():
    """How many keys this worker has assembled: one per modulus it has seen."""
    return len(_keys)
