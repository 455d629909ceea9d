"""The corvex PyTorch converters: ONNX, TorchScript and VEXA exports."""
import json
import os

import onnx
import pytest
import torch
import torch.nn.functional as F
import torchvision

from corvex.model_converter.pytorch_converter import PyTorch2JIT, PyTorch2ONNX, PyTorch2VEXA
from corvex.profiler.utils import Device
from corvex.torch_profiler.loader_bridge import TorchDataLoader, TorchForwardPass


def loader(*shapes):
    return TorchDataLoader(None, TorchForwardPass(shapes))


class FunctionalConv(torch.nn.Conv2d):
    def forward(self, x):
        return F.conv2d(x, self.weight, self.bias, padding=1)


def small_cnn():
    """An 8x8 classifier; its batch norm is folded into the first conv on export."""
    torch.manual_seed(0)
    return torch.nn.Sequential(
        torch.nn.Conv2d(3, 4, 3, padding=1), torch.nn.BatchNorm2d(4), torch.nn.ReLU(),
        torch.nn.Sequential(FunctionalConv(4, 4, 3)), torch.nn.Flatten(),
        torch.nn.Linear(4 * 8 * 8, 5))


def dims(value):
    return [d.dim_param or d.dim_value for d in value.type.tensor_type.shape.dim]


def conv_weights(onnx_model):
    return {n.name: n.input[1] for n in onnx_model.graph.node if n.op_type == "Conv"}


def test_onnx_export_has_dynamic_batch_and_restores_modes(tmp_path):
    model = small_cnn().train()
    model[1].eval()  # a mixed mode must come back as it was, not as all-training
    modes = [m.training for m in model.modules()]
    PyTorch2ONNX.export(model, str(tmp_path / "m.onnx"), dataloader=loader((3, 8, 8)),
                        precision="fp32", batch_size=1, dynamic_input="b", annotate=False)
    exported = onnx.load(str(tmp_path / "m.onnx"))
    onnx.checker.check_model(exported)
    assert [(v.name, dims(v)) for v in exported.graph.input] == [("input_0", ["batch", 3, 8, 8])]
    assert [(v.name, dims(v)) for v in exported.graph.output] == [("output_0", ["batch", 5])]
    assert [m.training for m in model.modules()] == modes
    assert os.listdir(tmp_path) == ["m.onnx"]


class MustNotRun(torch.nn.Module):
    def forward(self, x):
        raise AssertionError("the arguments should have been refused before running the model")


class Unexportable(torch.nn.Module):
    def forward(self, x):
        return torch.fft.rfft(x).abs()  # no ONNX form in opset 13


class Untraceable(torch.nn.Module):
    def forward(self, x):
        return x * 2, "label"  # traced functions may output tensors only


@pytest.mark.parametrize("export, model, name, kwargs, error, match", [
    (PyTorch2ONNX, MustNotRun(), "m", {"precision": "fp16"}, ValueError, "one of 'fp32', 'int8'"),
    (PyTorch2ONNX, MustNotRun(), "m", {"dataloader": object()}, TypeError, "forward pass"),
    (PyTorch2ONNX, torch.nn.Linear(4, 2), "m", {"precision": "int8"}, ValueError, "has none"),
    (PyTorch2ONNX, MustNotRun(), "missing/m", {}, FileNotFoundError, "missing"),
    (PyTorch2ONNX, Unexportable(), "m", {}, torch.onnx.errors.UnsupportedOperatorError, "fft"),
    (PyTorch2JIT, Untraceable(), "m", {}, RuntimeError, "Only tensors"),
])
def test_refused_or_failed_exports_leave_no_file(tmp_path, export, model, name, kwargs, error,
                                                 match):
    kwargs.setdefault("dataloader", loader((4,)))
    with pytest.raises(error, match=match):
        export.export(model, str(tmp_path / name), **kwargs)
    assert os.listdir(tmp_path) == []


def test_jit_round_trip_gives_the_model_outputs(tmp_path):
    model = small_cnn().train()
    path = str(tmp_path / "model.pt")
    PyTorch2JIT.export(model, path, dataloader=loader((3, 8, 8)), batch_size=1,
                       device=Device.CPU)
    assert model.training
    x = torch.randn(3, 3, 8, 8)
    with torch.no_grad():
        assert torch.allclose(torch.jit.load(path)(x), model.eval()(x), atol=1e-6)


def test_quantized_layers_annotations_and_vexa_records():
    quant_bridge = pytest.importorskip("orrery.framework.quant_bridge")
    model = small_cnn()
    lsq = quant_bridge.LSQConv2D(torch.nn.Conv2d(4, 4, 3, padding=1), 8, 4)
    model.insert(3, lsq)
    lsq.prepare_for_export()
    lsq.onnx_annotation = "kept"
    exported = PyTorch2ONNX(model).convert(dataloader=loader((3, 8, 8)), annotate=True)
    assert {p.key: json.loads(p.value) for p in exported.metadata_props} == {
        "3": {"activation_bits": 4, "weight_bits": 8}}
    assert lsq.onnx_annotation == "kept"

    mapping = {model[0]: None, model[4][0]: {"layer_type": "FunctionalConv"},
               lsq: lsq.vexa_format()}
    runtime, companion = PyTorch2VEXA(model, prep_fn=lambda m: m.eval()).convert(
        vexa_mapping=mapping, dataloader=loader((3, 8, 8)), dynamic_input="b", batch_size=1,
        simplify_model=False, resolution=None)
    # The LSQ layer reaches the runtime in integer form, under its own node name.
    by_weight = {weight: node for node, weight in conv_weights(runtime).items()}
    records = {node: record["layer_type"] for node, record in companion["layers"].items()}
    assert records == {by_weight["4.0.weight"]: "FunctionalConv", "/3/Conv": "LSQConv2D"}
    assert {n.name: n.op_type for n in runtime.graph.node}["/3/Conv"] == "ConvInteger"
    assert companion["inputs"] == [{"name": "input_0", "shape": ["batch", 3, 8, 8]}]
    assert companion["outputs"] == ["output_0"]


class SameLabels(torch.nn.Module):
    """Calls grandchildren directly: three modules that torch.onnx labels "conv"."""

    def __init__(self):
        super().__init__()
        self.a, self.b = torch.nn.Sequential(), torch.nn.Sequential()
        self.a.conv, self.b.conv = torch.nn.Conv2d(3, 3, 1), torch.nn.Conv2d(3, 3, 1)
        self.conv, self.unused = torch.nn.Conv2d(3, 3, 1), torch.nn.Conv2d(3, 3, 1)

    def forward(self, x):
        return self.a.conv(self.conv(self.b.conv(self.a(x))))


def test_vexa_tells_apart_modules_with_the_same_scope_label():
    model = SameLabels()
    mapping = {m: {"name": n} for n, m in model.named_modules()
               if n in ("a.conv", "b.conv", "conv")}
    runtime, companion = PyTorch2VEXA(model).convert(vexa_mapping=mapping,
                                                     dataloader=loader((3, 4, 4)))
    weights = conv_weights(runtime)
    assert len(companion["layers"]) == 4  # a.conv runs twice: inside a, and directly
    assert all(weights[node] == rec["name"] + ".weight"
               for node, rec in companion["layers"].items())
    for module, match in ((model.unused, "'unused' .*no Conv node"),
                          (torch.nn.Conv2d(3, 3, 1), "not part of the model")):
        with pytest.raises(RuntimeError, match=match):
            PyTorch2VEXA(model).convert(vexa_mapping={module: {}}, dataloader=loader((3, 4, 4)))


def test_resnet_vexa_export_and_resolutions():
    model = torchvision.models.resnet18()
    mapping = {m: {"name": n} for n, m in model.named_modules() if isinstance(m, torch.nn.Conv2d)}
    runtime, companion = PyTorch2VEXA(model).convert(vexa_mapping=mapping,
                                                     dataloader=loader((3, 32, 32)))
    onnx.checker.check_model(runtime)
    assert dims(runtime.graph.input[0]) == ["batch", 3, 32, 32]
    assert dims(runtime.graph.output[0]) == ["batch", 1000]
    # Batch norms are folded into the convolutions, so the weights no longer
    # carry the module names: the scopes alone must have found them.
    assert len(companion["layers"]) == 20 and set(companion["layers"]) <= set(conv_weights(runtime))
    assert all(rec["name"].endswith(node.split("/")[-2])
               for node, rec in companion["layers"].items())

    simplified = PyTorch2VEXA.simplify_model(runtime, (torch.zeros(1, 3, 32, 32),), (224, 224))
    assert dims(simplified.graph.input[0]) == ["batch", 3, 224, 224]
    assert dims(simplified.graph.output[0]) == ["batch", 1000]
    classifier = PyTorch2ONNX(small_cnn()).convert(dataloader=loader((3, 8, 8)))
    with pytest.raises(ValueError, match=r"resolution \(16, 16\)"):
        PyTorch2VEXA.simplify_model(classifier, None, (16, 16))
    conv = PyTorch2ONNX(torch.nn.Conv2d(3, 4, 5)).convert(dataloader=loader((3, 8, 8)))
    with pytest.raises(ValueError, match=r"resolution \(3, 3\) is too small"):
        PyTorch2VEXA.simplify_model(conv, None, (3, 3))

