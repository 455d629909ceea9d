"""Packages the extension modules that CMake builds.

CMake (driven by the Makefile, or by this script when pip runs alone) compiles
every module into build/cmake/python, laid out by import path; this script
copies them into the wheel together with the engine library they link.
"""
import os
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
CMAKE_BUILD = os.path.join(ROOT, "build", "cmake")
CMAKE_OUT = os.path.join(CMAKE_BUILD, "python")

MODULES = [
    "orrery.torch",
    "orrery.framework.framework_bridge",
    "orrery.framework.nn_bridge",
    "orrery.framework.model_bridge",
    "orrery.framework.graph_bridge",
    "orrery.framework.surgeon_bridge",
    "orrery.framework.quant_bridge",
    "orrery.framework.prims_bridge",
    "orrery.framework.ext_bridge",
    "orrery.framework.loader_bridge",
    "orrery.framework.dist_bridge",
    "torch_surgery.structured",
    "torch_surgery.dependency",
]
ENGINE_LIB = os.path.join("orrery_torch_libs", "liborrery_engine.so")


class CMakeBuild(build_ext):
    def run(self):
        if not os.path.exists(os.path.join(CMAKE_BUILD, "build.ninja")):
            subprocess.check_call(["cmake", "-S", ROOT, "-B", CMAKE_BUILD, "-G", "Ninja",
                                   "-DCMAKE_BUILD_TYPE=Release",
                                   "-DPython3_EXECUTABLE=" + sys.executable])
        subprocess.check_call(["cmake", "--build", CMAKE_BUILD])
        super().run()
        engine_dst = os.path.join(self.build_lib, ENGINE_LIB)
        os.makedirs(os.path.dirname(engine_dst), exist_ok=True)
        self.copy_file(os.path.join(CMAKE_OUT, ENGINE_LIB), engine_dst)

    def build_extension(self, ext):
        built = os.path.join(CMAKE_OUT, *ext.name.split(".")[:-1],
                             ext.name.split(".")[-1] + self.get_ext_filename("x")[1:])
        destination = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        self.copy_file(built, destination)


setup(ext_modules=[Extension(name, sources=[]) for name in MODULES],
      cmdclass={"build_ext": CMakeBuild})
