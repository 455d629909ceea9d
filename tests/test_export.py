"""Exports of TorchModel checked from outside PyTorch: ONNX files run in ONNX
Runtime (Node.js) and agree with PyTorch at batch 1 and 3, TorchScript files
reload, encrypted runtime files decrypt to the ONNX model and its layer
records; plus the all-or-nothing state load."""
import copy
import logging
import os
import stat

import numpy as np
import pytest
import torch
import torchvision
from torch import nn

from orrery_examples import onnx_runtime  # noqa: E402
from corvex import corvex_encryption
from corvex.profiler.utils import Device
from orrery.framework import model_bridge
from orrery.framework import nn_bridge as nb
from orrery.framework.framework_bridge import TorchFramework
from orrery.framework.loader_bridge import TorchDataLoader
from orrery.framework.model_bridge import TorchModel
from orrery.framework.prims_bridge import TorchLSQ

needs_ort = pytest.mark.skipif(onnx_runtime.unavailable() is not None,
                               reason=str(onnx_runtime.unavailable()))


def loader(shape, n=4):
    data = torch.utils.data.TensorDataset(torch.randn(n, *shape), torch.zeros(n, dtype=torch.long))
    return TorchDataLoader(torch.utils.data.DataLoader(data, batch_size=2), None)


def pruned_resnet18():
    native = torchvision.models.resnet18()
    model = TorchModel(native)
    framework = TorchFramework()
    surgeon = framework.graph_surgeon(model, torch.randn(1, 3, 64, 64))
    with surgeon.cache_dg():
        for layer in model.flat_view():
            if isinstance(layer, framework.conv2d_cls):
                idxs = layer.norm(1).argsort()[: layer.native_layer.out_channels // 3]
                surgeon.prune_channels(layer, idxs.tolist())
    assert native.layer1[0].conv1.out_channels < 64
    return native


class QuantNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 8, 3, padding=1)
        self.conv2 = nn.Conv2d(8, 8, 3, stride=2, bias=False)
        self.head = nn.Conv2d(8, 5, 1)

    def forward(self, x):
        return self.head(torch.relu(self.conv2(torch.relu(self.conv1(x))))).mean((2, 3))


def lsq_model_in_export_form(prepare=True):
    torch.manual_seed(0)
    model = TorchModel(QuantNet())
    lsq = TorchLSQ(wbits=8, abits=8, polarity="bipolar", channel_quant=True,
                   act_polarity="bipolar")
    for layer in model.flat_view():
        if type(layer) is nb.TorchConv2D:
            model.replace_layer(layer, lsq.concrete_transform_layer(layer))
    for module in model.native_model.modules():
        if hasattr(module, "quan_a_fn"):
            module.quan_a_fn.init_from(torch.randn(16, module.in_channels, 12, 12))
    if prepare:
        model.prepare_quantization_export()
    return model


def onnx_matches_pytorch(native, path, shape, rtol=1e-4):
    native.eval()
    for batch in (1, 3):
        x = torch.randn(batch, *shape)
        with torch.no_grad():
            expected = native(x).numpy()
        got = onnx_runtime.run(path, {"input_0": x.numpy()})["output_0"]
        assert got.shape == expected.shape
        scale = np.abs(expected).max()
        assert np.abs(got - expected).max() <= rtol * scale, (path, batch)


@needs_ort
@pytest.mark.parametrize("name, make, shape", [
    ("resnet18", torchvision.models.resnet18, (3, 64, 64)),
    ("mobilenet_v2", torchvision.models.mobilenet_v2, (3, 64, 64)),
    ("pruned_resnet18", pruned_resnet18, (3, 64, 64)),
])
def test_onnx_export_runs_in_onnx_runtime(tmp_path, name, make, shape):
    torch.manual_seed(0)
    model = TorchModel(make())
    path = str(tmp_path / (name + ".onnx"))
    model.export_to_onnx(loader(shape), path=path)
    onnx_matches_pytorch(model.native_model, path, shape)


@needs_ort
def test_lsq_model_in_export_form_runs_in_onnx_runtime(tmp_path):
    model = lsq_model_in_export_form()
    path = str(tmp_path / "lsq.onnx")
    model.export_to_onnx(loader((3, 12, 12)), path=path)
    # Integer codes and rescaling are the same float operations in both
    # engines; allow one quantization step of the head's output.
    head = model.native_model.head
    step = (head.quan_a_fn.s.abs() * head.w_s_scale.abs().max()).item()
    for batch in (1, 3):
        x = torch.randn(batch, 3, 12, 12)
        with torch.no_grad():
            expected = model.native_model(x).numpy()
        got = onnx_runtime.run(path, {"input_0": x.numpy()})["output_0"]
        assert np.abs(got - expected).max() <= step


def test_torchscript_export_reloads_with_the_same_outputs(tmp_path):
    torch.manual_seed(0)
    model = TorchModel(torchvision.models.resnet18().eval())
    path = str(tmp_path / "model_jit.pt")
    model.export_to_jit(loader((3, 32, 32)), path=path)
    x = torch.randn(2, 3, 32, 32)
    with torch.no_grad():
        assert torch.allclose(torch.jit.load(path)(x), model.native_model(x), atol=1e-5)


@pytest.fixture
def key():
    corvex_encryption.set_key(os.urandom(32))
    yield
    corvex_encryption.set_key(None)


def test_vexa_export_writes_one_encrypted_file_per_resolution(tmp_path, key, caplog):
    model = lsq_model_in_export_form()
    prefix = str(tmp_path / "output")
    resolutions = [(16, 16)]
    model.export_to_vexa(loader((3, 12, 12)), path=prefix, resolutions=resolutions)
    assert resolutions == [(16, 16), None]
    assert sorted(os.listdir(tmp_path)) == ["output.orq", "output16x16.orq"]
    onnx_model, companion = corvex_encryption.decrypt(prefix + ".orq")
    nodes = {node.name: node.op_type for node in onnx_model.graph.node}
    records = companion["layers"]
    # The runtime gets the integer form: fused convolutions stay Conv between
    # quantize/dequantize pairs, the head (feeding a mean) is a ConvInteger.
    assert len(records) == 3 and sorted(nodes[name] for name in records) == [
        "Conv", "Conv", "ConvInteger"]
    assert {r["quant_type"] for r in records.values()} == {"lsq"}

    # A resolution the model cannot take is skipped with a warning, the rest written.
    fixed = TorchModel(nn.Sequential(nn.Conv2d(3, 4, 3), nn.Flatten(), nn.Linear(4 * 10 * 10, 2)))
    with caplog.at_level(logging.WARNING, logger="orrery.framework.model_bridge"):
        fixed.export_to_vexa(loader((3, 12, 12)), path=str(tmp_path / "fixed"),
                             resolutions=[(20, 20)])
    assert "Unable to prepare model for vexa export at specified resolution" in caplog.text
    assert os.path.exists(tmp_path / "fixed.orq") and not os.path.exists(tmp_path / "fixed20x20.orq")

    # Without encryption nothing is written; a list resolution names no file.
    before = sorted(os.listdir(tmp_path))
    model.export_to_vexa(loader((3, 12, 12)), path=str(tmp_path / "plain"), encrypt_files=False)
    assert sorted(os.listdir(tmp_path)) == before


def test_export_entry_points(tmp_path, caplog):
    model = TorchModel(nn.Sequential(nn.Conv2d(3, 2, 3)))
    if not model_bridge.TF_CONVERTER_IMPORT:
        with pytest.raises(RuntimeError, match="Tensorflow backend was not installed. Please "
                           "install `pip install corvex-model-converter\\[all\\]`"):
            model.export_to_tflite(loader((3, 8, 8)))
    with caplog.at_level(logging.DEBUG, logger="orrery.framework.model_bridge"):
        model.export_to_onnx(loader((3, 8, 8)), path=str(tmp_path / "m.onnx"), device=Device.GPU)
    assert "Passing another device than 'CPU' to export_to_onnx is now silenced" in caplog.text
    assert os.path.exists(tmp_path / "m.onnx")
    # A missing directory: a clear error and nothing written.
    with pytest.raises(FileNotFoundError):
        model.export_to_onnx(loader((3, 8, 8)), path=str(tmp_path / "no" / "m.onnx"))
    with pytest.raises(FileNotFoundError):
        model.export_to_jit(loader((3, 8, 8)), path=str(tmp_path / "no" / "m.pt"))


def test_state_load_is_all_or_nothing():
    model = TorchModel(nn.Sequential(nn.Linear(3, 4), nn.BatchNorm1d(4), nn.Linear(4, 2)))
    before = copy.deepcopy(model.native_model.state_dict())
    bad_shape = copy.deepcopy(before)
    for k in bad_shape:
        if k != "2.weight" and bad_shape[k].is_floating_point():
            bad_shape[k] += 1
    bad_shape["2.weight"] = torch.zeros(2, 5)
    missing = {k: v + 1 for k, v in before.items() if k != "0.bias"}
    for state in (bad_shape, missing, dict(before, extra=torch.zeros(1))):
        with pytest.raises(RuntimeError):
            model.load_native_info(state)
        for k, v in model.native_model.state_dict().items():
            assert torch.equal(v, before[k]), k
    assert model.load_native_info(copy.deepcopy(before)) is model


def _module_states(model):
    return [(type(m).__name__, getattr(m, "_prepared_for_export", None),
             {k: v.clone() for k, v in m.state_dict().items()})
            for m in model.native_model.modules()]


def _same_modules(a, b):
    return len(a) == len(b) and all(
        x[:2] == y[:2] and x[2].keys() == y[2].keys() and
        all(torch.equal(x[2][k], y[2][k]) for k in x[2]) for x, y in zip(a, b))


def test_vexa_export_refuses_before_changing_the_model_and_undoes_a_late_failure(
        tmp_path, key, monkeypatch):
    model = lsq_model_in_export_form(prepare=False)
    data = loader((3, 12, 12))
    before = _module_states(model)
    os.mkfifo(tmp_path / "fifo.orq")
    os.mkdir(tmp_path / "dir16x16.orq")
    for kwargs, error, match in [
        (dict(path=str(tmp_path / "fifo")), ValueError, "a FIFO"),
        (dict(path=str(tmp_path / "dir"), resolutions=[(16, 16)]), IsADirectoryError, "directory"),
        (dict(path=str(tmp_path / "no" / "out")), FileNotFoundError, "does not exist"),
        (dict(path=str(tmp_path / ("o" * 252))), ValueError, "255 bytes"),
        (dict(path=""), ValueError, "path is empty"),
        (dict(path=3), TypeError, "path must be a str or os.PathLike"),
        (dict(path=str(tmp_path / "out"), resolutions=(16, 16)), TypeError, "must be a list"),
        (dict(path=str(tmp_path / "out"), resolutions=[(16, "a")]), ValueError, "positive ints"),
    ]:
        with pytest.raises(error, match=match):
            model.export_to_vexa(data, **kwargs)
    corvex_encryption.set_key(None)
    with pytest.raises(RuntimeError, match="no encryption key"):
        model.export_to_vexa(data, path=str(tmp_path / "out"))
    corvex_encryption.set_key(os.urandom(32))
    assert _same_modules(_module_states(model), before)
    assert stat.S_ISFIFO(os.stat(tmp_path / "fifo.orq").st_mode)

    # Failures once the layers are in export form put every module back.
    def refuse(*args, **kwargs):
        raise OSError("disk full")

    for name in ("PyTorch2VEXA", "encrypt"):
        with monkeypatch.context() as patch:
            patch.setattr(model_bridge, name, refuse)
            with pytest.raises(OSError, match="disk full"):
                model.export_to_vexa(data, path=str(tmp_path / "out"))
        assert _same_modules(_module_states(model), before), name

    # A leftover temporary file blocks nothing, a long prefix works, and the
    # export form stays after a successful export.
    (tmp_path / ".out.orq.k1ll3d00.tmp").write_bytes(b"half")
    for prefix in ("out", "o" * 246):
        model.export_to_vexa(data, path=str(tmp_path / prefix), simplify_model=False)
        assert os.path.exists(tmp_path / (prefix + ".orq"))
    assert all(m._prepared_for_export for m in model.native_model.modules()
               if hasattr(m, "_prepared_for_export"))


def test_exports_go_only_to_regular_files_or_new_names(tmp_path):
    model = TorchModel(nn.Sequential(nn.Conv2d(3, 2, 3)))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for export in (model.export_to_onnx, model.export_to_jit):
        for target, error in ((fifo, ValueError), (tmp_path, IsADirectoryError),
                              ("", ValueError), ("/dev/null", ValueError)):
            with pytest.raises(error):
                export(loader((3, 8, 8)), path=str(target) if target else target)
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and stat.S_ISCHR(os.stat("/dev/null").st_mode)
    model.export_to_onnx(loader((3, 8, 8)), path=str(tmp_path / ("m" * 250)))
    assert sorted(os.listdir(tmp_path)) == ["fifo", "m" * 250]
