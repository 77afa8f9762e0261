"""Batches on the worker pool: order, refusals, other threads, forks."""

import multiprocessing
import os
import textwrap
import threading
import time

import pytest

import hecrypt
from children import run
from refusals import EMPTY

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork with threads

# Runs in a fresh interpreter so that the pool is sized from the environment.
CHILD = textwrap.dedent("""
    import math, sys
    import hecrypt, oracle
    pk = hecrypt.PublicKey.from_n(oracle.KEY_2048.modulus_bytes())
    values = [float(i) - 3.5 for i in range({count})]
    blobs = hecrypt.encrypt_many(pk, values, 1)
    assert [oracle.KEY_2048.decrypt(b) for b in blobs] == [(1, round(v * 10)) for v in values]
    again = hecrypt.rerandomize(pk, blobs)
    assert [oracle.KEY_2048.decrypt(b) for b in again] == [(1, round(v * 10)) for v in values]
    bad = list(blobs)
    bad[2], bad[6] = b"", bytes([30])
    try:
        hecrypt.rerandomize(pk, bad)
    except ValueError as e:
        print(e)
""")


@pytest.mark.parametrize("threads, count", [(1, 9), (2, 9), (16, 9), (64, 9), (2, 40)])
def test_results_in_input_order_and_the_lowest_refusal_for_any_pool_size(threads, count):
    refusal = run(CHILD.format(count=count), threads=threads).strip()
    assert refusal == "ciphertext #3: " + EMPTY


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


def test_decrypt_many_in_order_while_other_threads_run(keypair):
    pk, sk = keypair
    values = [float(i) for i in range(-300, 300)]
    blobs = hecrypt.encrypt_many(pk, values, 0)
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    ticker = threading.Thread(target=count)
    ticker.start()
    try:
        start = time.perf_counter()
        texts = hecrypt.decrypt_many(sk, blobs)
        end = time.perf_counter()
    finally:
        stop.set()
        ticker.join()
    assert texts == [str(int(v)) for v in values]
    assert sum(start < t < end for t in ticks) >= 5


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


# Products over the pool: the same bytes (public scalars) and plaintexts for
# every pool size and engine, and the refusal a loop in order would give, with
# bad pairs placed at the edges of a group of eight and of a worker's share.
PRODUCTS_CHILD = textwrap.dedent("""
    import hashlib, hecrypt, oracle
    key = oracle.KEY_2048
    pk = hecrypt.PublicKey.from_n(key.modulus_bytes())
    count = 40
    blobs = [oracle.textbook_encrypt(key.n, i - 20, 1) for i in range(count)]
    scalars = [float(3 * i - 50) or 7.0 for i in range(count)]
    public = hecrypt.multiply_many_public(pk, blobs, scalars, 0)
    secret = hecrypt.multiply_many(pk, blobs, scalars, 0)
    wanted = [(1, (i - 20) * int(s)) for i, s in enumerate(scalars)]
    if {check}:
        assert [key.decrypt(b) for b in public] == wanted
        assert [key.decrypt(b) for b in secret] == wanted
    print(hashlib.sha256(b"".join(public)).hexdigest())
    for bad in {cases}:
        broken_blobs, broken_scalars = list(blobs), list(scalars)
        for position, kind in bad:
            if kind == "zero":
                broken_scalars[position - 1] = 0.0
            else:
                broken_blobs[position - 1] = oracle.blob(1, key.n)
        for multiply in (hecrypt.multiply_many, hecrypt.multiply_many_public):
            try:
                multiply(pk, broken_blobs, broken_scalars, 0)
            except ValueError as e:
                print(str(e).split(" ")[1])
""")

# (pairs made bad, the position reported): a power refusal found after a later
# pair's check refusal in the same group, and refusals on both sides of the
# group and worker edges.
PRODUCT_REFUSALS = [
    ([(11, "zero"), (10, "shared")], "#10"),
    ([(9, "shared"), (8, "zero")], "#8"),
    ([(17, "zero"), (16, "shared")], "#16"),
    ([(40, "shared"), (21, "zero"), (33, "shared")], "#21"),
    ([(1, "shared")], "#1"),
]


@pytest.mark.parametrize("portable", [False, True])
def test_products_equal_for_every_pool_size_with_the_lowest_refusal(portable):
    cases = [bad for bad, _ in PRODUCT_REFUSALS]
    outputs = [run(PRODUCTS_CHILD.format(cases=cases, check=threads == 1), portable=portable,
                   threads=threads).split() for threads in (1, 2, 16)]
    assert outputs[0] == outputs[1] == outputs[2]
    wanted = [position for _, position in PRODUCT_REFUSALS for _ in range(2)]
    assert outputs[0][1:] == wanted
