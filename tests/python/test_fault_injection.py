"""Internal faults on pool workers, injected in a test build of the module.

A module built with -DHECRYPT_FAULT_INJECTION=ON fails item i of every
parallel stage while HECRYPT_INJECT_FAULT=i is set (see
src/core/runtime/fault_injection.hpp); scripts/fault-injection-tests builds
one and runs this file with HECRYPT_FAULT_BUILD pointing at it. Without that
variable the module under test is probed, and the test is skipped when it
has no hook.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import hecrypt

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("HECRYPT_FAULT_BUILD")

# Runs in a fresh interpreter, so that the variable and the pool are its own.
CHILD = textwrap.dedent("""
    import os, re
    import hecrypt, oracle

    def inject(item):
        os.environ["HECRYPT_INJECT_FAULT"] = str(item)

    def clear():
        os.environ.pop("HECRYPT_INJECT_FAULT", None)

    def threads():
        with open("/proc/self/status") as status:
            return int(re.search(r"^Threads:\\s+(\\d+)", status.read(), re.M).group(1))

    def fault_of(call):
        try:
            call()
        except Exception as error:
            raise AssertionError(f"an Exception, not a fault: {error!r}")
        except BaseException as error:
            return error
        return None

    pk = hecrypt.PublicKey.from_n(oracle.KEY_2048.modulus_bytes())
    inject(0)
    probe = fault_of(lambda: hecrypt.encrypt_many(pk, [1.0]))
    clear()
    if probe is None:
        print("no hook")
        raise SystemExit(0)

    pk, sk = hecrypt.generate_keypair(2048)
    values = [float(v) for v in range(-8, 8)]
    blobs = hecrypt.encrypt_many(pk, values, 0)
    texts = [str(int(v)) for v in values]
    one = blobs[8:9]
    # name: (call, what it must return); item 0, a middle and the last item of
    # a 16-item stage, and item 0 of a one-item stage that runs on the caller
    operations = {
        "encrypt_many": (lambda: hecrypt.decrypt_many(sk, hecrypt.encrypt_many(pk, values, 0)),
                         texts),
        "rerandomize": (lambda: hecrypt.decrypt_many(sk, hecrypt.rerandomize(pk, blobs)), texts),
        "decrypt_many": (lambda: hecrypt.decrypt_many(sk, blobs), texts),
        # one named blob, so that only the stage over the 16 blocks reaches item 5
        "add_blocks": (lambda: hecrypt.add_blocks(pk, one, [[0]] * 16), [one[0]] * 16),
        "add_blocks, stage of blobs": (
            lambda: hecrypt.add_blocks(pk, blobs, [list(range(16))]),
            [hecrypt.add_many(pk, blobs)]),
        "one-item stage": (lambda: hecrypt.encrypt_many(pk, [2.0], 0) and
                           hecrypt.decrypt_many(sk, hecrypt.rerandomize(pk, one)), ["0"]),
    }
    workers = threads()
    for name, (call, expected) in operations.items():
        for item in [0, 5, 15] if name != "one-item stage" else [0]:
            inject(item)
            fault = fault_of(call)
            assert type(fault).__qualname__ == "PanicException", (name, item, fault)
            assert fault.args == (f"injected fault at item {item}",), (name, item, fault.args)
            clear()
            assert call() == expected, name
        inject(99)  # beyond every stage: no fault
        assert call() == expected, name
        clear()

    # Many faults in a row: the pool neither loses nor gains a worker.
    inject(3)
    for _ in range(200):
        assert fault_of(lambda: hecrypt.rerandomize(pk, blobs)) is not None
    clear()
    assert threads() == workers
    assert hecrypt.decrypt_many(sk, hecrypt.rerandomize(pk, blobs * 4)) == texts * 4
    print("ok")
""")


def module_dir():
    return BUILD or os.path.dirname(os.path.abspath(hecrypt.__file__))


def test_worker_fault_is_a_panic_and_the_pool_survives():
    env = dict(os.environ, RAYON_NUM_THREADS="4")
    env.pop("HECRYPT_INJECT_FAULT", None)
    env["PYTHONPATH"] = os.pathsep.join([module_dir(), HERE, env.get("PYTHONPATH", "")])
    done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    if done.stdout.strip() == "no hook":
        assert BUILD is None, f"HECRYPT_FAULT_BUILD={BUILD} holds a module without the hook"
        pytest.skip("the module was built without HECRYPT_FAULT_INJECTION")
    assert done.stdout.strip() == "ok"
