"""Packages the extension modules that CMake builds.

CMake (driven by the Makefile, or by this script when pip runs alone) compiles
every module into build/cmake/python, laid out by import path, and lists what
it built in build/cmake/orrery_torch_files.json; this script copies those files
into the wheel. The module list lives in bindings/CMakeLists.txt only.

ORRERY_BUILD_TYPE=Debug pip install ... builds with symbols and assertions
(see tools/cmake_build.py).

The distribution requires the PyTorch release it was built against, as
torchvision does: its compiled modules load with no other. For the same reason
it installs orrery_torch.pth, which makes every interpreter check the PyTorch
version before those modules load (python/_orrery_torch_guard.py).
"""
import json
import os
import re
import sys

from setuptools import setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

ROOT = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import cmake_build  # noqa: E402

CMAKE_OUT = os.path.join(cmake_build.CMAKE_BUILD, "python")
MANIFEST = os.path.join(cmake_build.CMAKE_BUILD, "orrery_torch_files.json")


def read_manifest():
    with open(MANIFEST) as f:
        return json.load(f)


def built_files(manifest):
    """Paths, relative to CMAKE_OUT and to the installed tree, of what CMake built."""
    return sorted(manifest["modules"].values()) + sorted(manifest["libraries"])


def release(version):
    """(major, minor, patch) of a version string: "1.13.0a0+git" -> (1, 13, 0)."""
    numbers = [int(n) for n in re.match(r"\d+(?:\.\d+)*", version).group(0).split(".")]
    return tuple((numbers + [0, 0])[:3])


def installed_torch_version():
    try:
        import torch
    except ImportError as error:
        raise SystemExit("orrery-torch is built against the PyTorch of the Python that builds it, "
                         "and {} cannot import torch: {}".format(sys.executable, error))
    return torch.__version__


def torch_requirement():
    # The public version: "1.13.1+cu117" pins "torch==1.13.1", which that build satisfies.
    return "torch==" + installed_torch_version().split("+", 1)[0]


def check_built_torch(manifest):
    built, found = manifest["torch_version"], installed_torch_version()
    if release(built) != release(found):
        raise SystemExit("CMake built the modules against libtorch {} but {} imports PyTorch {}; the "
                         "wheel would require a PyTorch its modules cannot load with. Build with the "
                         "Python whose PyTorch matches the libtorch headers CMake finds (or point "
                         "CMake at that PyTorch with -DTorch_DIR=...).".format(built, sys.executable, found))


class BinaryDistribution(Distribution):
    # The modules come from CMake, not from setuptools Extensions; the wheel
    # still holds compiled code for one platform.
    def has_ext_modules(self):
        return True


class CMakeBuild(build_ext):
    def run(self):
        cmake_build.build()
        manifest = read_manifest()
        check_built_torch(manifest)
        self._outputs = []
        for rel in built_files(manifest):
            destination = os.path.join(self.build_lib, rel)
            os.makedirs(os.path.dirname(destination), exist_ok=True)
            self.copy_file(os.path.join(CMAKE_OUT, rel), destination)
            self._outputs.append(destination)

    def get_outputs(self):
        return list(getattr(self, "_outputs", []))

    def get_source_files(self):
        return []


class BuildPy(build_py):
    # A .pth file takes effect only at the top of site-packages, where no package puts it.
    PTH = "orrery_torch.pth"

    def run(self):
        super().run()
        self.copy_file(os.path.join(ROOT, "python", self.PTH), os.path.join(self.build_lib, self.PTH))

    def get_outputs(self, include_bytecode=1):
        return super().get_outputs(include_bytecode) + [os.path.join(self.build_lib, self.PTH)]


setup(distclass=BinaryDistribution, cmdclass={"build_ext": CMakeBuild, "build_py": BuildPy},
      install_requires=[torch_requirement(), "numpy"])
