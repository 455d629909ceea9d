"""Runs ONNX files in ONNX Runtime for Node.js (run_onnx.js, beside this file):
an engine that shares no code with PyTorch, used by the demo and the tests to
check ONNX exports. `unavailable()` says why it cannot run here, or returns None.

onnxruntime-node is looked for in the folder named by ORRERY_ORT_MODULES, else
in build/ort/node_modules under the current directory (where `make test` and
`make demo` install it from the npm registry)."""
import json
import os
import pathlib
import shutil
import subprocess
import tempfile

import numpy as np

SCRIPT = pathlib.Path(__file__).resolve().parent / "run_onnx.js"
MODULES = pathlib.Path(os.environ.get("ORRERY_ORT_MODULES")
                       or pathlib.Path.cwd() / "build" / "ort" / "node_modules")


def unavailable():
    if shutil.which("node") is None:
        return "node is not installed: ONNX Runtime for Node.js cannot run"
    if not (MODULES / "onnxruntime-node").is_dir():
        return ("onnxruntime-node is not installed in {} (make test installs it from the npm "
                "registry into build/ort; run from the repository, or name its node_modules "
                "folder in ORRERY_ORT_MODULES)".format(MODULES))
    return None


def run(model_path, inputs, threads=None, optimized_model=None, batch=None):
    """Runs the model on {input name: float32 array}; returns {output name: array}.

    ``threads`` sets ONNX Runtime's intra-op thread count; ``optimized_model``
    names a file where ONNX Runtime writes the graph it really runs; ``batch``
    runs the inputs that many samples at a time and joins the outputs."""
    return _request(model_path, inputs, threads=threads, optimized_model=optimized_model,
                    batch=batch)[0]


def time_runs(model_path, inputs, repeat, threads=1):
    """Seconds of each of ``repeat`` runs after a first, untimed one, in one
    ONNX Runtime session."""
    return _request(model_path, inputs, threads=threads, repeat=repeat)[1]


def _request(model_path, inputs, threads=None, optimized_model=None, repeat=0, batch=None):
    reason = unavailable()
    if reason:
        raise RuntimeError(reason)
    with tempfile.TemporaryDirectory() as work:
        request = {"model": str(model_path), "out_dir": work, "inputs": [], "repeat": repeat}
        if threads:
            request["threads"] = threads
        if optimized_model:
            request["optimized_model"] = str(optimized_model)
        if batch:
            request["batch"] = batch
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
            reply = json.load(f)
        dtypes = {"float32": "<f4", "int64": "<i8", "int32": "<i4", "uint8": "u1", "int8": "i1"}
        outputs = {o["name"]: np.fromfile(o["file"], dtype=dtypes[o["type"]]).reshape(o["dims"])
                   for o in reply["outputs"]}
        return outputs, reply["seconds"]
