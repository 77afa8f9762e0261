"""Batches on the worker pool: small ones, other Python threads meanwhile,
forks. Results and refusals for each pool size, on both engines, are compared
in test_engines."""

import multiprocessing
import os

import pytest

import hecrypt

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork with threads


@pytest.mark.parametrize("count", [1, 2, 3, 4, 5, 8, 9])
def test_decrypt_many_small_batches_in_order_with_the_lowest_refusal(keypair, count):
    # Batches this small are split into pairs or fours, depending on the pool.
    pk, sk = keypair
    values = [float(i) - 4 for i in range(count)]
    blobs = hecrypt.encrypt_many(pk, values, 0)
    assert hecrypt.decrypt_many(sk, blobs) == [str(int(v)) for v in values]
    if count >= 2:
        bad = list(blobs)
        bad[-1] = b""
        bad[1] = bytes([0, 0])  # the same item when there are two
        with pytest.raises(ValueError, match=r"^ciphertext #2 is not one under this key$"):
            hecrypt.decrypt_many(sk, bad)


def test_decrypt_many_in_order_while_other_threads_run(keypair, lets_other_threads_run):
    pk, sk = keypair
    values = [float(i) for i in range(-300, 300)]
    blobs = hecrypt.encrypt_many(pk, values, 0)
    texts = []
    assert lets_other_threads_run(lambda: texts.extend(hecrypt.decrypt_many(sk, blobs)))
    assert texts == [str(int(v)) for v in values]


INHERITED = {}  # what a forked worker finds of its parent's


def work_in_child(_):
    pk, sk = INHERITED["keypair"]
    blobs = hecrypt.rerandomize(pk, hecrypt.encrypt_many(pk, [1.0, 2.0, 3.0], 0))
    return hecrypt.decrypt_many(sk, blobs)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_workers_use_the_pool(keypair, monkeypatch):
    pk, sk = keypair
    hecrypt.decrypt_many(sk, hecrypt.encrypt_many(pk, [1.0, 2.0], 0))  # pool and generators up
    monkeypatch.setitem(INHERITED, "keypair", keypair)
    with multiprocessing.get_context("fork").Pool(2) as pool:
        results = pool.map(work_in_child, range(3), chunksize=1)
    assert results == [["1", "2", "3"]] * 3


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_no_random_exponent_is_shared_across_a_fork(keypair):
    pk, _ = keypair
    # A one-value batch runs on the calling thread, whose generator then holds
    # the rest of a block at the fork.
    hecrypt.encrypt_many(pk, [0.0])
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        blobs = [hecrypt.encrypt_many(pk, [0.0])[0] for _ in range(8)]
        os.write(write, b"".join(len(b).to_bytes(4, "big") + b for b in blobs))
        os._exit(0)
    os.close(write)
    mine = [hecrypt.encrypt_many(pk, [0.0])[0] for _ in range(8)]
    data = b""
    while chunk := os.read(read, 65536):
        data += chunk
    os.close(read)
    os.waitpid(pid, 0)
    theirs = []
    while data:
        size = int.from_bytes(data[:4], "big")
        theirs.append(data[4:4 + size])
        data = data[4 + size:]
    assert len(theirs) == 8
    assert not set(mine) & set(theirs)
