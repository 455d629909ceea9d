"""The build helper's reconfiguration rule and the packaged module list."""
import importlib.util
import json
import os
import pathlib
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tools"))
import cmake_build  # noqa: E402

CMAKE_BUILD = os.path.join(ROOT, "build", "cmake")


def configured(tmp_path, **cache):
    (tmp_path / "build.ninja").write_text("")
    lines = ["# This is the CMakeCache file.", "//Path to a program.", "CMAKE_COMMAND:INTERNAL=/usr/bin/cmake"]
    lines += ["{}:STRING={}".format(key, value) for key, value in cache.items()]
    (tmp_path / "CMakeCache.txt").write_text("\n".join(lines) + "\n")
    return str(tmp_path)


def test_configures_only_when_the_interpreter_or_build_type_changes(tmp_path):
    wanted = {"CMAKE_BUILD_TYPE": "Release", "Python3_EXECUTABLE": "/usr/bin/python3.11"}
    first = cmake_build.configure_command(str(tmp_path / "new"), wanted)
    assert "-DCMAKE_BUILD_TYPE=Release" in first and "--fresh" not in first
    build_dir = configured(tmp_path, **wanted)
    assert cmake_build.configure_command(build_dir, wanted) is None
    debug = cmake_build.configure_command(build_dir, dict(wanted, CMAKE_BUILD_TYPE="Debug"))
    assert "-DCMAKE_BUILD_TYPE=Debug" in debug and "--fresh" not in debug
    # What was found through another interpreter is stale: start from a fresh cache.
    other = cmake_build.configure_command(build_dir, dict(wanted, Python3_EXECUTABLE="/opt/py/bin/python3.12"))
    assert "-DPython3_EXECUTABLE=/opt/py/bin/python3.12" in other and "--fresh" in other


def test_build_type_comes_from_the_environment(monkeypatch):
    monkeypatch.delenv("ORRERY_BUILD_TYPE", raising=False)
    assert cmake_build.build_type() == "Release"
    monkeypatch.setenv("ORRERY_BUILD_TYPE", "Debug")
    assert cmake_build.build_type() == "Debug"
    monkeypatch.setenv("ORRERY_BUILD_TYPE", "debug")
    with pytest.raises(SystemExit, match="'debug' is not a build type.*Release, Debug"):
        cmake_build.build_type()


def test_the_modules_cmake_lists_were_built_and_installed():
    manifest_path = os.path.join(CMAKE_BUILD, "orrery_torch_files.json")
    if not os.path.exists(manifest_path):
        pytest.skip("no CMake build in build/cmake")
    with open(manifest_path) as f:
        manifest = json.load(f)
    out = os.path.join(CMAKE_BUILD, "python")
    built = set()
    for folder, _, files in os.walk(out):
        built |= {os.path.relpath(os.path.join(folder, name), out) for name in files
                  if name.endswith(".so") and "orrery_torch_libs" not in folder}
    assert set(manifest["modules"].values()) <= built
    for name in manifest["modules"]:
        found = importlib.util.find_spec(name)
        assert found is not None and found.origin.endswith(os.path.basename(manifest["modules"][name])), name


def test_sources_keep_functions_short_and_engine_files_small(tmp_path):
    """No function over 80 lines in the engine or the bindings, and no engine
    source over 600 lines: tools/long_functions.py holds the line; the probe
    below checks that it still finds a long function when there is one."""
    import long_functions
    long_one = tmp_path / "long.cpp"
    long_one.write_text("void f() {\n" + "  x();\n" * 81 + "}\n")
    assert [length for length, _, _ in long_functions.functions(long_one)] == [83]
    for folder in ("engine", "bindings"):
        for path in sorted(pathlib.Path(ROOT, folder).rglob("*.[ch]*")):
            if "tests" in path.parts or path.suffix not in (".cpp", ".h"):
                continue
            too_long = [(start, text) for length, start, text in long_functions.functions(path) if length > 80]
            assert not too_long, (str(path), too_long)
            if folder == "engine":
                assert len(path.read_text().splitlines()) <= 600, str(path)
