"""Fixtures shared by the Python tests."""

import threading
import time

import pytest

import hecrypt
import oracle


@pytest.fixture(scope="session")
def keypair():
    """One generated 2048-bit (PublicKey, SecretKey) for the whole session:
    generating a key takes a few seconds."""
    return hecrypt.generate_keypair(2048)


@pytest.fixture(scope="session")
def known_pk():
    """A PublicKey assembled from the 2048-bit modulus whose factors the
    oracle knows, so that its ciphertexts can be decrypted independently."""
    return hecrypt.PublicKey.from_n(oracle.KEY_2048.modulus_bytes())


@pytest.fixture(scope="session")
def panic_type(keypair):
    """The PanicException type, obtained by making one result allocation fail."""
    testcapi = pytest.importorskip("_testcapi")
    pk = keypair[0]
    caught = None
    testcapi.set_nomemory(0, 1)  # the next allocation fails: the result's
    try:
        pk.modulus_bytes()
    except BaseException as error:
        caught = error
    finally:
        testcapi.remove_mem_hooks()
    assert str(caught) == "Python API call failed"
    return type(caught)


@pytest.fixture(scope="session")
def lets_other_threads_run():
    """Whether `call` lets go of the interpreter lock while it works: another
    Python thread, ticking every millisecond, must tick in the middle third of
    the call. Its edges do not count: the lock changes hands there anyway, as
    the call starts and as it returns."""
    def check(call):
        ticks, done = [], threading.Event()

        def tick():
            while not done.is_set():
                ticks.append(time.perf_counter())
                time.sleep(0.001)

        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            start = time.perf_counter()
            call()
            third = (time.perf_counter() - start) / 3
        finally:
            done.set()
            ticker.join()
        return sum(start + third < t < start + 2 * third for t in ticks) >= 5
    return check
