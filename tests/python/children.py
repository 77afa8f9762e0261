"""Scripts run in fresh interpreters, for what a process chooses once: the
engine (HECRYPT_PORTABLE) and the size of the pool."""

import json
import os
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run(script, *args, portable=None, threads=None, timeout=300):
    """The output of `script` run with `args`, which must succeed. It can
    import the test helpers (oracle, refusals). `portable` picks the engine
    and `threads` the pool's size; None keeps the caller's setting."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE, os.environ.get("PYTHONPATH", "")]))
    if portable is not None:
        env.pop("HECRYPT_PORTABLE", None)
        if portable:
            env["HECRYPT_PORTABLE"] = "1"
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    done = subprocess.run([sys.executable, "-c", script, *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


def on_both_engines(script, *args, threads=2):
    """The JSON that `script` prints on the engine the CPU picks, then on the
    portable one."""
    return [json.loads(run(script, *args, portable=portable, threads=threads))
            for portable in (False, True)]


def interrupted_after(call, delay=0.3):
    """How long `call` took to stop once SIGINT came, `delay` seconds in; it
    must not have run to its end."""
    timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    start = time.monotonic()
    try:
        call()
    except KeyboardInterrupt:
        return time.monotonic() - start - delay
    finally:
        timer.cancel()
    raise AssertionError("the call ran to its end")
