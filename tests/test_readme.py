"""Every Python block of the README runs as written, each in a fresh interpreter
in an empty folder: a block that uses a name it does not define or import, or
an API that changed, fails here."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
BLOCKS = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)


def test_the_readme_has_python_blocks():
    assert len(BLOCKS) >= 5


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_block_runs_as_written(index, tmp_path):
    block = BLOCKS[index]
    env = dict(os.environ)
    if "horovod" in block:
        # Horovod is not a Debian package; the tests' stand-in takes its place.
        env["PYTHONPATH"] = os.pathsep.join(
            filter(None, [str(ROOT / "tests" / "horovod_shim"), env.get("PYTHONPATH")]))
    (tmp_path / "block.py").write_text(block)
    result = subprocess.run([sys.executable, "block.py"], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, "README block {} failed:\n{}\n{}".format(
        index, block, result.stderr[-3000:])
