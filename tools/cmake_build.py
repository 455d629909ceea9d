"""Configures (when needed) and builds the CMake tree; used by the Makefile and setup.py.

The configuration is the Python interpreter the modules are built for and the
build type (ORRERY_BUILD_TYPE: Release by default, Debug for symbols and
assertions, RelWithDebInfo). The tree is configured when it has never been,
or when either differs from what its CMake cache records; a new interpreter
gets a fresh cache, since everything found through the old one is stale.

Run: python tools/cmake_build.py   (the interpreter running it is the one built for)
"""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CMAKE_BUILD = os.path.join(ROOT, "build", "cmake")
BUILD_TYPES = ("Release", "Debug", "RelWithDebInfo")


def build_type():
    value = os.environ.get("ORRERY_BUILD_TYPE", "") or "Release"
    if value not in BUILD_TYPES:
        raise SystemExit("ORRERY_BUILD_TYPE={!r} is not a build type this project makes; "
                         "use one of {}".format(value, ", ".join(BUILD_TYPES)))
    return value


def interpreter():
    # The interpreter itself, not the virtual environment's link to it: one
    # environment over the system Python builds the same modules as that Python.
    return os.path.realpath(sys.executable)


def read_cache(build_dir):
    """The CMake cache as {name: value}, empty when there is none."""
    values = {}
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
            for line in cache:
                if line.startswith(("#", "//")) or "=" not in line or ":" not in line.split("=", 1)[0]:
                    continue
                key, value = line.rstrip("\n").split("=", 1)
                values[key.split(":", 1)[0]] = value
    except FileNotFoundError:
        pass
    return values


def configure_command(build_dir, wanted):
    """The cmake command that brings `build_dir` to the settings `wanted`, or None."""
    cache = read_cache(build_dir)
    configured = os.path.exists(os.path.join(build_dir, "build.ninja"))
    if configured and all(cache.get(key) == value for key, value in wanted.items()):
        return None
    command = ["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja"]
    command += ["-D{}={}".format(key, value) for key, value in wanted.items()]
    if cache and cache.get("Python3_EXECUTABLE") != wanted["Python3_EXECUTABLE"]:
        command.append("--fresh")
    return command


def build(build_dir=CMAKE_BUILD):
    wanted = {"CMAKE_BUILD_TYPE": build_type(), "Python3_EXECUTABLE": interpreter()}
    command = configure_command(build_dir, wanted)
    if command:
        subprocess.check_call(command)
    subprocess.check_call(["cmake", "--build", build_dir])


if __name__ == "__main__":
    build()
