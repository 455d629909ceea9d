"""Integer deployment of LSQ models: int8 ONNX exports that ONNX Runtime runs
with integer convolutions and that compute what the PyTorch LSQ model
computes, the float ONNX form of the fused quantizer, and the refusals that
come before anything is written."""
import copy
import os
from collections import Counter

import numpy as np
import onnx
import pytest
import torch
import torchvision
from onnx import numpy_helper
from torch import nn

from orrery_examples import onnx_runtime  # noqa: E402
from corvex import corvex_encryption
from orrery_examples.digits import DigitsCNN, digits_loaders
from orrery_examples.lsq_quantize import quantize_convolutions
from orrery.framework.loader_bridge import TorchDataLoader
from orrery.framework.model_bridge import TorchModel
from orrery.framework.prims_bridge import TorchLSQ
from orrery.framework.quant_bridge import LSQConv2D

needs_ort = pytest.mark.skipif(onnx_runtime.unavailable() is not None,
                               reason=str(onnx_runtime.unavailable()))


def quantize(native, calibration, wbits=8, abits=8, channel_quant=True, act_polarity=False):
    lsq = TorchLSQ(wbits=wbits, abits=abits, polarity="bipolar", channel_quant=channel_quant,
                   act_polarity=act_polarity)
    return quantize_convolutions(TorchModel(native), lsq, calibration)


def random_loader(shape, n=4):
    data = torch.utils.data.TensorDataset(torch.randn(n, *shape), torch.zeros(n, dtype=torch.long))
    return TorchDataLoader(torch.utils.data.DataLoader(data, batch_size=2), None)


def export_int8(model, loader, path):
    model.export_to_onnx(loader, path=str(path), precision="int8")
    return onnx.load(str(path))


def optimized_ops(path, x):
    """Operator counts of the graph ONNX Runtime really runs."""
    optimized = str(path) + ".optimized.onnx"
    onnx_runtime.run(path, {"input_0": x[:1].numpy()}, threads=1, optimized_model=optimized)
    return Counter(node.op_type for node in onnx.load(optimized).graph.node)


def logits(model, x):
    with torch.no_grad():
        return model.native_model.eval()(x).numpy()


class BiasFree(nn.Module):
    """Convolutions without bias or batch norm, so every integer kernel,
    fused or not, computes exactly the LSQ model's values; the paths between
    them are the grid-commuting operations (ReLU, max-pool, flatten)."""

    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 16, 3, padding=1, bias=False)
        self.conv2 = nn.Conv2d(16, 16, 3, padding=1, bias=False)
        self.conv3 = nn.Conv2d(16, 8, 1, bias=False)
        self.head = nn.Linear(8 * 4 * 4, 5)

    def forward(self, x):
        x = torch.relu(self.conv1(x))
        x = nn.functional.max_pool2d(torch.relu(self.conv2(x)), 2)
        return self.head(torch.flatten(self.conv3(x), 1))


@needs_ort
@pytest.mark.parametrize("bits, channel_quant, act_polarity", [
    (8, True, False), (8, False, "bipolar"), (4, True, False), (2, False, False),
    (6, True, "bipolar")])
def test_integer_kernels_compute_the_lsq_model(tmp_path, bits, channel_quant, act_polarity):
    torch.manual_seed(bits)
    model = quantize(BiasFree(), torch.randn(16, 3, 8, 8), bits, bits, channel_quant,
                     act_polarity)
    path = tmp_path / "m.onnx"
    exported = export_int8(model, random_loader((3, 8, 8)), path)
    x = torch.randn(6, 3, 8, 8)
    expected = logits(model, x)
    span = expected.max() - expected.min()
    for batch in (1, 3):
        got = onnx_runtime.run(path, {"input_0": x.numpy()}, batch=batch)["output_0"]
        assert np.abs(got - expected).max() <= 1e-3 * span, batch

    weights = [numpy_helper.to_array(t) for t in exported.graph.initializer
               if t.data_type in (onnx.TensorProto.INT8, onnx.TensorProto.UINT8) and len(t.dims) == 4]
    assert len(weights) == 3 and all(np.abs(w.astype(int)).max() <= 255 for w in weights)
    ops = Counter(node.op_type for node in exported.graph.node)
    assert ops["QuantizeLinear"] >= 3 and ops["Conv"] + ops["ConvInteger"] == 3
    assert (ops["Clip"] > 0) == (bits < 8)
    # conv1 and conv2 reach the next quantizer through ReLU and max-pool
    # alone: the runtime fuses them; conv3 feeds a float layer.
    ran = optimized_ops(path, x)
    assert ran["QLinearConv"] == 2 and ran["ConvInteger"] == 1 and ran["Conv"] == 0


class Normalised(nn.Module):
    """Batch norms after the convolutions, some with negative scales."""

    def __init__(self):
        super().__init__()
        self.c1, self.bn1 = nn.Conv2d(3, 16, 3, padding=1, bias=False), nn.BatchNorm2d(16)
        self.c2, self.bn2 = nn.Conv2d(16, 16, 3, padding=1, bias=False), nn.BatchNorm2d(16)
        self.head = nn.Linear(16 * 4 * 4, 5)
        with torch.no_grad():
            for bn in (self.bn1, self.bn2):
                bn.weight.uniform_(-1.5, 1.5)
                bn.running_mean.uniform_(-0.3, 0.3)
                bn.running_var.uniform_(0.5, 2)

    def forward(self, x):
        x = torch.relu(self.bn1(self.c1(x)))
        x = nn.functional.max_pool2d(torch.relu(self.bn2(self.c2(x))), 2)
        return self.head(torch.flatten(x, 1))


@needs_ort
@pytest.mark.parametrize("polarity", ["bipolar", "unipolar"])
def test_folded_batch_norms_with_negative_scales(tmp_path, polarity):
    torch.manual_seed(0)
    native = Normalised()
    if polarity == "unipolar":  # codes 0..255, stored as uint8
        with torch.no_grad():
            native.c1.weight.abs_()
            native.c2.weight.abs_()
    lsq = TorchLSQ(wbits=8, abits=8, polarity=polarity, channel_quant=True, act_polarity=False)
    model = quantize_convolutions(TorchModel(native), lsq, torch.randn(32, 3, 8, 8))
    path = tmp_path / "m.onnx"
    exported = export_int8(model, random_loader((3, 8, 8)), path)
    assert not any(n.op_type == "BatchNormalization" for n in exported.graph.node)
    x = torch.randn(16, 3, 8, 8)
    expected = logits(model, x)
    got = onnx_runtime.run(path, {"input_0": x.numpy()})["output_0"]
    assert np.abs(got - expected).max() <= 1e-3 * (expected.max() - expected.min())


@pytest.fixture(scope="module")
def digits_lsq():
    """A digits CNN trained briefly, then LSQ-quantized (8 bits, per channel)."""
    torch.manual_seed(0)
    train, test = digits_loaders()
    native = DigitsCNN(8)
    optimizer = torch.optim.SGD(native.parameters(), lr=0.05, momentum=0.9)
    for _ in range(3):
        for x, y in train:
            optimizer.zero_grad()
            nn.functional.cross_entropy(native(x), y).backward()
            optimizer.step()
    model = quantize(native, next(iter(train))[0])
    x, y = map(torch.cat, zip(*test))
    return model, TorchDataLoader(test, None), x, y


@needs_ort
def test_digits_int8_export(tmp_path, digits_lsq):
    model, loader, x, y = digits_lsq
    state = copy.deepcopy(model.native_model.state_dict())
    path = tmp_path / "digits.onnx"
    exported = export_int8(model, loader, path)
    # The export worked on a copy: the model is as it was, still in training form.
    assert all(torch.equal(v, state[k]) for k, v in model.native_model.state_dict().items())
    assert not any(getattr(m, "export_mode", False) for m in model.native_model.modules())

    # Batch norms are folded into per-channel weight scales; weights are int8.
    ops = Counter(node.op_type for node in exported.graph.node)
    assert ops["BatchNormalization"] == 0 and ops["Gemm"] == 1
    initializers = {t.name: t for t in exported.graph.initializer}
    for node in exported.graph.node:
        if node.op_type in ("Conv", "ConvInteger"):
            weight = node.input[1]
            producer = next((n for n in exported.graph.node if weight in n.output), None)
            codes = initializers[producer.input[0] if producer else weight]
            assert codes.data_type in (onnx.TensorProto.INT8, onnx.TensorProto.UINT8)

    expected = logits(model, x)
    span = expected.max() - expected.min()
    for batch in (1, 3):
        got = onnx_runtime.run(path, {"input_0": x.numpy()}, batch=batch)["output_0"]
        # Fused layers add their bias as int32 accumulator codes, which moves
        # an activation code by one step where the exact value lies within half
        # an accumulator unit of a rounding boundary: rare, and small.
        assert (got.argmax(1) == expected.argmax(1)).mean() >= 0.99
        assert np.median(np.abs(got - expected)) <= 1e-3 * span
        assert abs((got.argmax(1) == y.numpy()).mean() - (expected.argmax(1) == y.numpy()).mean()) \
            <= 0.01
    ran = optimized_ops(path, x)
    # The first layer's bias would round by too large a share of its output
    # step (its input has a single channel): it stays a ConvInteger.
    assert ran["QLinearConv"] == 1 and ran["ConvInteger"] == 2 and ran["Conv"] == 0
    model.export_to_onnx(loader, path=str(tmp_path / "fp32.onnx"))
    assert os.path.getsize(path) < 0.7 * os.path.getsize(tmp_path / "fp32.onnx")


@needs_ort
@pytest.mark.parametrize("channel_quant", [False, True])
def test_resnet18_every_convolution_runs_as_integers(tmp_path, channel_quant):
    torch.manual_seed(0)
    native = torchvision.models.resnet18(num_classes=10)
    calibration = torch.randn(8, 3, 64, 64)
    native.train()
    with torch.no_grad():  # batch statistics that keep activations normalised
        native(calibration)
    model = quantize(native, calibration, channel_quant=channel_quant)
    path = tmp_path / "resnet18.onnx"
    export_int8(model, random_loader((3, 64, 64)), path)
    x = torch.randn(6, 3, 64, 64)
    expected = logits(model, x)
    span = expected.max() - expected.min()
    # The fused layers' int32 biases flip a few activation codes by one step
    # (see test_digits_int8_export); through twenty untrained layers that
    # stays a small deviation, where a wrong scale or zero point would not.
    for batch in (1, 3):
        got = onnx_runtime.run(path, {"input_0": x.numpy()}, batch=batch)["output_0"]
        error = np.abs(got - expected)
        assert np.median(error) <= 0.02 * span and error.max() <= 0.15 * span, batch
    ran = optimized_ops(path, x)
    # conv1 of each block reaches the next quantizer through its batch norm
    # and ReLU and is fused unless its bias would round by more than 1% of
    # the output step; the stem, conv2 and the downsampling feed residual
    # additions.
    assert ran["Conv"] == 0 and ran["QLinearConv"] + ran["ConvInteger"] == 20
    assert 6 <= ran["QLinearConv"] <= 8


@needs_ort
def test_training_form_exports_to_float_onnx_exactly(tmp_path):
    torch.manual_seed(1)
    model = quantize(BiasFree(), torch.randn(16, 3, 8, 8), 4, 4)
    path = str(tmp_path / "m.onnx")
    model.export_to_onnx(random_loader((3, 8, 8)), path=path)
    assert not any(n.op_type == "QuantizeLinear" for n in onnx.load(path).graph.node)
    x = torch.randn(3, 3, 8, 8)
    got = onnx_runtime.run(path, {"input_0": x.numpy()})["output_0"]
    assert np.abs(got - logits(model, x)).max() <= 1e-5


@pytest.mark.parametrize("wbits", range(2, 9))
@pytest.mark.parametrize("channel_quant", [False, True])
def test_export_form_of_bipolar_weights_computes_the_training_form(wbits, channel_quant):
    torch.manual_seed(wbits)
    layer = LSQConv2D(nn.Conv2d(3, 4, 3, bias=True), wbits, 8, channel_quant=channel_quant)
    x = torch.randn(2, 3, 8, 8).relu()
    layer.quan_a_fn.init_from(x)
    trained = layer(x).detach()
    layer.prepare_for_export()
    # The stored codes keep the runtime's format: unsigned two's complement
    # below 8 bits, signed codes at 8.
    codes = layer.weight.detach()
    if wbits < 8:
        assert codes.min() >= 0 and codes.max() < 2 ** wbits
    else:
        assert codes.min() >= -127 and codes.max() <= 127
    assert torch.allclose(layer(x), trained, atol=1e-5 * trained.abs().max())


def test_refusals_before_anything_is_written(tmp_path):
    torch.manual_seed(0)
    model = quantize(BiasFree(), torch.randn(4, 3, 8, 8))
    loader = random_loader((3, 8, 8))
    with pytest.raises(ValueError, match="'fp32' or 'int8'.*'fp16'"):
        model.export_to_onnx(loader, path=str(tmp_path / "m.onnx"), precision="fp16")
    with pytest.raises(ValueError, match="has none"):
        TorchModel(nn.Sequential(nn.Conv2d(3, 2, 3))).export_to_onnx(
            loader, path=str(tmp_path / "m.onnx"), precision="int8")
    for bad in (0.0, -0.1, float("nan"), float("inf")):
        with torch.no_grad():
            model.native_model.conv2.quan_a_fn.s.fill_(bad)
        for export in (lambda: model.export_to_onnx(loader, path=str(tmp_path / "m.onnx"),
                                                    precision="int8"),
                       lambda: model.export_to_jit(loader, path=str(tmp_path / "m.pt")),
                       lambda: model.export_to_vexa(loader, path=str(tmp_path / "m"))):
            with pytest.raises(ValueError, match="LSQ layer 'conv2'.*quan_a_fn"):
                export()
    # export_to_vexa refused before preparing the layers for export.
    assert not any(getattr(m, "export_mode", False) for m in model.native_model.modules())
    assert os.listdir(tmp_path) == []


def test_runtime_file_carries_integer_codes(tmp_path):
    torch.manual_seed(0)
    model = quantize(BiasFree(), torch.randn(4, 3, 8, 8))
    loader = random_loader((3, 8, 8))
    corvex_encryption.set_key(os.urandom(32))
    try:
        model.export_to_vexa(loader, path=str(tmp_path / "m"))
        onnx_model, companion = corvex_encryption.decrypt(str(tmp_path / "m.orq"))
    finally:
        corvex_encryption.set_key(None)
    nodes = {node.name: node.op_type for node in onnx_model.graph.node}
    assert len(companion["layers"]) == 3
    assert all(nodes[name] in ("Conv", "ConvInteger") for name in companion["layers"])
    codes = [t for t in onnx_model.graph.initializer
             if t.data_type in (onnx.TensorProto.INT8, onnx.TensorProto.UINT8) and len(t.dims) == 4]
    assert sum(np.prod(t.dims) for t in codes) == sum(
        m.weight.numel() for m in model.native_model.modules() if isinstance(m, LSQConv2D))


# ---------------------------------------------------------------------------
# The float ONNX form of deep LSQ models: forward values only.

def lsq_layers(native):
    return [m for m in native.modules() if isinstance(m, LSQConv2D)]


def float_export(model, shape, path):
    model.export_to_onnx(random_loader(shape), path=str(path))
    return Counter(node.op_type for node in onnx.load(str(path)).graph.node)


@pytest.fixture(scope="module")
def lsq_mnasnet():
    torch.manual_seed(0)
    native = torchvision.models.mnasnet0_5(num_classes=10)
    calibrate = torch.randn(8, 3, 64, 64)
    native.train()
    with torch.no_grad():  # batch statistics of the data, so that activations stay in range
        native(calibrate)
    return quantize(native.eval(), calibrate)


@pytest.mark.parametrize("prepared", [False, True])
def test_deep_lsq_graph_holds_only_forward_operations(tmp_path, lsq_mnasnet, prepared):
    """Weights quantize to constants; each activation quantizer is Div, Clip,
    Round, Mul; nothing of the straight-through helpers (Sub, Add of a value
    with its detached copy) is left."""
    float_ops = float_export(TorchModel(torchvision.models.mnasnet0_5(num_classes=10)),
                             (3, 64, 64), tmp_path / "float.onnx")
    model = TorchModel(copy.deepcopy(lsq_mnasnet.native_model))
    layers = lsq_layers(model.native_model)
    if prepared:
        for layer in layers:
            layer.prepare_for_export()
    ops = float_export(model, (3, 64, 64), tmp_path / "lsq.onnx")
    assert ops["Sub"] == 0 and ops["Add"] == float_ops["Add"]
    assert ops["Round"] == ops["Clip"] == ops["Div"] == len(layers)
    assert ops["Conv"] == len(layers)
    if not prepared:
        # Constant weights let the exporter fold the batch norms as for the float model.
        assert ops["BatchNormalization"] == 0
        assert ops["Mul"] == len(layers)
    else:
        assert ops["Mul"] == 2 * len(layers)  # the integer result times both steps
    # The training form trains on as before: the export left no constant behind.
    x = torch.randn(2, 3, 64, 64)
    native = model.native_model.train()
    native(x).sum().backward()
    assert all(layer.weight.grad is not None for layer in layers)
    if not prepared:
        assert all(layer.quan_w_fn.s.grad is not None for layer in layers)


@needs_ort
def test_deep_lsq_model_agrees_with_onnx_runtime_layer_by_layer(tmp_path, lsq_mnasnet):
    """Each layer alone agrees to float rounding; over a deep network a code
    that flips at a rounding boundary compounds, so the whole model is
    compared by its arg-max."""
    native = lsq_mnasnet.native_model.eval()
    layers = lsq_layers(native)
    inputs = {}

    def record(module, args, output):
        inputs[module] = args[0]

    hooks = [layer.register_forward_hook(record) for layer in layers]
    x = torch.randn(16, 3, 64, 64)
    with torch.no_grad():
        expected = native(x).numpy()
    for hook in hooks:
        hook.remove()
    for k in sorted({0, len(layers) // 3, 2 * len(layers) // 3, len(layers) - 1}):
        layer, layer_in = layers[k], inputs[layers[k]]
        path = str(tmp_path / "layer{}.onnx".format(k))
        torch.onnx.export(layer, (layer_in,), path, opset_version=13, input_names=["input_0"],
                          output_names=["output_0"])
        with torch.no_grad():
            want = layer(layer_in).numpy()
        got = onnx_runtime.run(path, {"input_0": layer_in.numpy()})["output_0"]
        assert np.abs(got - want).max() <= 1e-6 * np.abs(want).max(), k
    path = tmp_path / "model.onnx"
    lsq_mnasnet.export_to_onnx(random_loader((3, 64, 64)), path=str(path))
    got = onnx_runtime.run(str(path), {"input_0": x.numpy()})["output_0"]
    assert (got.argmax(1) == expected.argmax(1)).mean() >= 0.9
