"""Runs ONNX files in ONNX Runtime for Node.js (tools/ort/run_onnx.js): an
engine that shares no code with PyTorch, used by the demo and the tests to check
ONNX exports. `unavailable()` says why it cannot run here, or returns None."""
import json
import os
import pathlib
import shutil
import subprocess
import tempfile

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "tools" / "ort" / "run_onnx.js"
MODULES = ROOT / "build" / "ort" / "node_modules"


def unavailable():
    if shutil.which("node") is None:
        return "node is not installed: ONNX Runtime for Node.js cannot run"
    if not (MODULES / "onnxruntime-node").is_dir():
        return ("onnxruntime-node is not installed in {} (make test installs it from the npm "
                "registry; see build/ort/npm.log)".format(MODULES))
    return None


def run(model_path, inputs):
    """Runs the model on {input name: float32 array}; returns {output name: array}."""
    reason = unavailable()
    if reason:
        raise RuntimeError(reason)
    with tempfile.TemporaryDirectory() as work:
        request = {"model": str(model_path), "out_dir": work, "inputs": []}
        for i, (name, value) in enumerate(inputs.items()):
            file = os.path.join(work, "input{}.bin".format(i))
            np.ascontiguousarray(value, dtype="<f4").tofile(file)
            request["inputs"].append({"name": name, "dims": list(value.shape), "file": file})
        request_file = os.path.join(work, "request.json")
        with open(request_file, "w") as f:
            json.dump(request, f)
        env = dict(os.environ, NODE_PATH=str(MODULES))
        done = subprocess.run(["node", str(SCRIPT), request_file], env=env,
                              capture_output=True, text=True, timeout=300)
        if done.returncode != 0:
            raise RuntimeError("ONNX Runtime failed on {}:\n{}".format(model_path, done.stderr))
        with open(os.path.join(work, "outputs.json")) as f:
            outputs = json.load(f)
        dtypes = {"float32": "<f4", "int64": "<i8", "int32": "<i4"}
        return {o["name"]: np.fromfile(o["file"], dtype=dtypes[o["type"]]).reshape(o["dims"])
                for o in outputs}
