"""Running out of memory in the module's own buffers ends the process.

An allocation that fails must not come back as an exception some caller could
catch and carry on from: the process writes the size it could not get and
aborts.
"""

import os
import re
import shutil
import signal
import subprocess
import sys

import pytest

import hecrypt

TESTS = os.path.dirname(os.path.abspath(__file__))


def sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# AddressSanitizer replaces malloc and operator new with its own allocator,
# which reports exhaustion in its own words, and its shadow memory cannot live
# under a lowered address-space limit at all.
needs_plain_allocator = pytest.mark.skipif(
    sanitizer_loaded(), reason="AddressSanitizer's allocator reports out of memory itself")

# The address space of the child once the module is loaded and a key exists,
# plus this much: far less than the list of ten billion indices needs.
CHILD = """
import resource
import hecrypt, oracle

pk = hecrypt.PublicKey.from_n(oracle.KEY_2048.modulus_bytes())
with open("/proc/self/status") as status:
    used = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
_, hard = resource.getrlimit(resource.RLIMIT_AS)
limit = used + (256 << 20)
resource.setrlimit(resource.RLIMIT_AS,
                   (limit if hard == resource.RLIM_INFINITY else min(limit, hard), hard))
hecrypt.add_blocks(pk, [b"\\x00"], [range(10**10)])
print("returned")
"""


@needs_plain_allocator
def test_exhaustion_aborts_with_the_size():
    env = {key: value for key, value in os.environ.items() if key != "PYTHONFAULTHANDLER"}
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(hecrypt.__file__), TESTS])
    child = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                           timeout=300)
    assert child.stdout == b""
    found = re.fullmatch(rb"memory allocation of (\d+) bytes failed\n", child.stderr)
    assert found, child.stderr[-2000:]
    size = int(found.group(1))
    # a vector of 64-bit indices grown past the limit
    assert size % 8 == 0 and size >= 1 << 20
    assert child.returncode == -signal.SIGABRT


@pytest.mark.skipif(shutil.which("nm") is None, reason="no nm to read the dynamic symbols")
def test_module_exports_only_its_init_function():
    """Anything else exported (weak template instances, the replaced operator
    new) could bind to or from other objects of the process."""
    listing = subprocess.run(["nm", "-D", "--defined-only", hecrypt.__file__],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_hecrypt"]
