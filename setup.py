"""Builds the extension with CMake for the interpreter that runs this build,
and installs its types as the stub package hecrypt-stubs.

mypy reads a compiled module's types only from a stub package beside it in
site-packages (a lone hecrypt.pyi next to the .so is not looked at there);
pyright and the other checkers read hecrypt-stubs as well.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
VERSION = re.search(r'VERSION = "([^"]+)"', (ROOT / "src/python/module.cpp").read_text())[1]


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp, "cmake")
        jobs = self.parallel or os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or os.cpu_count()
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DHECRYPT_TESTS=OFF", f"-DPython3_EXECUTABLE={sys.executable}"],
                       check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "hecrypt", "-j", str(jobs)],
                       check=True)
        target = Path(self.get_ext_fullpath(ext.name))
        self.mkpath(str(target.parent))
        self.copy_file(str(build / target.name), str(target))
        self.install_stubs(target.parent / "hecrypt-stubs")

    def install_stubs(self, package):
        # The stub package mirrors the module and its submodules file by file.
        self.copy_tree(str(ROOT / "stubs/hecrypt"), str(package))


# No Python packages: the module and its stubs are all build_ext makes. The
# build goes to build-pip, apart from the CMake builds of the Makefile.
setup(version=VERSION, packages=[], ext_modules=[Extension("hecrypt", sources=[])],
      cmdclass={"build_ext": CMakeBuild}, options={"build": {"build_base": "build-pip"}})
