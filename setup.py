"""Packages the extension modules that CMake builds.

CMake (driven by the Makefile, or by this script when pip runs alone) compiles
every module into build/cmake/python, laid out by import path, and lists what
it built in build/cmake/orrery_torch_files.json; this script copies those files
into the wheel. The module list lives in bindings/CMakeLists.txt only.

ORRERY_BUILD_TYPE=Debug pip install ... builds with symbols and assertions
(see tools/cmake_build.py).
"""
import json
import os
import sys

from setuptools import setup
from setuptools.command.build_ext import build_ext
from setuptools.dist import Distribution

ROOT = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import cmake_build  # noqa: E402

CMAKE_OUT = os.path.join(cmake_build.CMAKE_BUILD, "python")
MANIFEST = os.path.join(cmake_build.CMAKE_BUILD, "orrery_torch_files.json")


def built_files():
    """Paths, relative to CMAKE_OUT and to the installed tree, of what CMake built."""
    with open(MANIFEST) as f:
        manifest = json.load(f)
    return sorted(manifest["modules"].values()) + sorted(manifest["libraries"])


class BinaryDistribution(Distribution):
    # The modules come from CMake, not from setuptools Extensions; the wheel
    # still holds compiled code for one platform.
    def has_ext_modules(self):
        return True


class CMakeBuild(build_ext):
    def run(self):
        cmake_build.build()
        self._outputs = []
        for rel in built_files():
            destination = os.path.join(self.build_lib, rel)
            os.makedirs(os.path.dirname(destination), exist_ok=True)
            self.copy_file(os.path.join(CMAKE_OUT, rel), destination)
            self._outputs.append(destination)

    def get_outputs(self):
        return list(getattr(self, "_outputs", []))

    def get_source_files(self):
        return []


setup(distclass=BinaryDistribution, cmdclass={"build_ext": CMakeBuild})
