"""The type stub describes the module exactly: mypy's stubtest compares every
name, class, member, parameter, default and __all__ with the imported module.

A module installed by pip is checked against the stubs installed beside it,
found the way a type checker finds them; a module built in the tree against
stubs/hecrypt/ (the module's __init__.pyi and one stub per submodule)."""

import os
import subprocess
import sys
import sysconfig

import pytest

import hecrypt

try:
    import mypy.stubtest  # noqa: F401  (only whether it imports)
except Exception as error:  # the system's mypy runs only on the system's CPython
    pytest.skip(f"mypy's stubtest is not importable on this interpreter: {error!r}",
                allow_module_level=True)

SOURCE_STUBS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "stubs")


def installed():
    site = {os.path.realpath(sysconfig.get_path(key)) for key in ("platlib", "purelib")}
    return os.path.realpath(os.path.dirname(hecrypt.__file__)) in site


def test_stub_matches_module(tmp_path):
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    # the very module this process imported, wherever the child starts
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(hecrypt.__file__),
                                         env.get("PYTHONPATH", "")])
    if not installed():
        env["MYPYPATH"] = os.path.realpath(SOURCE_STUBS)
    check = subprocess.run([sys.executable, "-m", "mypy.stubtest", "hecrypt"], cwd=tmp_path,
                           env=env, capture_output=True, text=True, timeout=300)
    assert check.returncode == 0, check.stdout + check.stderr
