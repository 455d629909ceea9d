"""orrery-torch requires, and checks for, the PyTorch it was built against."""
import importlib.metadata
import importlib.util
import json
import os
import re
import subprocess
import sys

import pytest
import torch

import _orrery_torch_build as build

BUILT = build.torch_version  # "1.13.0"
MAJOR, MINOR, PATCH = (int(n) for n in BUILT.split("."))


def run_with_torch(tmp_path, version, code):
    """Runs `code` in a fresh interpreter whose `import torch` finds a PyTorch of `version`."""
    (tmp_path / "torch").mkdir()
    (tmp_path / "torch" / "__init__.py").write_text("__version__ = {!r}\n".format(version))
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)


@pytest.mark.parametrize("module", ["orrery.framework.framework_bridge", "torch_surgery.dependency"])
def test_another_pytorch_is_refused_before_the_module_loads(tmp_path, module):
    other = "{}.{}.0+cu121".format(MAJOR, MINOR + 1)
    result = run_with_torch(tmp_path, other, "import " + module)
    assert result.returncode != 0
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: orrery-torch was built against PyTorch " + BUILT)
    assert "imports PyTorch " + other in last and "undefined symbol" not in result.stderr


@pytest.mark.parametrize("version, accepted", [
    ("{}.{}.{}a0+gitunknown".format(MAJOR, MINOR, PATCH), True),  # a pre-release build of the same release
    ("{}.{}.{}".format(MAJOR, MINOR, PATCH + 1), False),
    ("{}.{}".format(MAJOR + 1, MINOR), False),
])
def test_the_release_numbers_decide(tmp_path, version, accepted):
    result = run_with_torch(tmp_path, version, "import _orrery_torch_build as b; b.check_torch()")
    assert (result.returncode == 0) == accepted, result.stderr


def test_the_guard_covers_exactly_the_modules_that_link_libtorch():
    with open(os.path.join(os.path.dirname(__file__), "..", "build", "cmake", "orrery_torch_files.json")) as f:
        modules = json.load(f)["modules"]
    for name in modules:
        with open(importlib.util.find_spec(name).origin, "rb") as so:
            # A needed library is a name in the dynamic string table.
            links_torch = re.search(rb"\x00libtorch[a-z_]*\.so", so.read()) is not None
        assert links_torch == (name in build.torch_modules), name
    build.check_torch()  # the PyTorch of this process is the one built against


def test_the_distribution_requires_the_pytorch_it_was_built_against():
    requires = importlib.metadata.requires("orrery-torch")
    assert "torch==" + torch.__version__.split("+")[0] in [r.replace(" ", "").replace("(", "").replace(")", "")
                                                            for r in requires]
