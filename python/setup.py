"""The build's dynamic parts: the version (the library's, from the CMake project) and a wheel's platform tag.

A plain `pip install ./python` builds a pure wheel: the package finds an installed library. The
wheel build (build_wheel.py) stages a copy of this folder with cpclient/libcpclient.so.1 and a
version.txt beside this file; a staged library makes the wheel carry it and be tagged py3-none-PLATFORM.
"""

import os
import re

from setuptools import Distribution, setup
from wheel.bdist_wheel import bdist_wheel

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARY = "libcpclient.so.1"


def version() -> str:
    """The library's version: version.txt of a staged build, else project(cpclient VERSION ...) of the tree."""
    staged = os.path.join(HERE, "version.txt")
    if os.path.exists(staged):
        with open(staged, encoding="utf-8") as file:
            return file.read().strip()
    with open(os.path.join(HERE, os.pardir, "CMakeLists.txt"), encoding="utf-8") as file:
        found = re.search(r"project\(\s*cpclient\s+VERSION\s+([0-9.]+)", file.read())
    if not found:
        raise SystemExit("setup.py: no project(cpclient VERSION ...) in ../CMakeLists.txt")
    return found.group(1)


BUNDLED = os.path.exists(os.path.join(HERE, "cpclient", LIBRARY))


class NativeDistribution(Distribution):
    """A distribution that carries the native library: its files go to platlib, its wheel is not pure."""

    def has_ext_modules(self) -> bool:
        return True


class PlatformWheel(bdist_wheel):
    """The wheel's tag: any Python 3 and ABI (ctypes, no extension module), this platform."""

    def get_tag(self) -> tuple:
        python, abi, platform = super().get_tag()
        return ("py3", "none", platform) if BUNDLED else (python, abi, platform)


setup(version=version(), cmdclass={"bdist_wheel": PlatformWheel},
      distclass=NativeDistribution if BUNDLED else Distribution,
      package_data={"cpclient": ["py.typed"] + ([LIBRARY] if BUNDLED else [])})
