"""TorchLSQ, the backend's LSQ transform primitive, and quantization-aware
training end to end through the model wrapper."""
import copy
import logging
import subprocess
import sys

import pytest
import torch
from torch import nn

from orrery.framework import nn_bridge as nb
from orrery.framework.framework_bridge import TorchFramework
from orrery.framework.model_bridge import TorchModel
from orrery.framework.prims_bridge import TorchLSQ
from orrery.framework.quant_bridge import LSQConv2D


def conv_layer(meta=None, **kwargs):
    torch.manual_seed(0)
    layer = nb.TorchConv2D(nn.Conv2d(4, 6, 3, **kwargs))
    layer.meta.update(meta or {})
    return layer


def primitive(act_polarity="bipolar", wbits=4, abits=8, polarity="bipolar", channel_quant=True):
    return TorchLSQ(wbits=wbits, abits=abits, polarity=polarity, channel_quant=channel_quant,
                    act_polarity=act_polarity)


def test_registered_when_the_first_backend_is_created():
    code = (
        "import sys\n"
        "from orrery.framework.framework_bridge import TorchFramework\n"
        "assert 'orrery.framework.prims_bridge' not in sys.modules\n"
        "TorchFramework()\n"
        "from orrery.framework.prims_bridge import TorchLSQ\n"
        "assert TorchFramework.quantization_methods()['TorchLSQ'] is TorchLSQ\n"
        "TorchFramework()\n"
        "print(len(TorchFramework.quantization_methods()))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["1"]


def test_class_and_transform():
    assert TorchFramework.quantization_methods()["TorchLSQ"] is TorchLSQ
    layer = conv_layer(padding=1)
    native = layer.native_layer
    weight_before = native.weight.detach().clone()
    new = primitive().concrete_transform_layer(layer)
    assert type(new) is nb.TorchConv2D and new is not layer
    q = new.native_layer
    assert type(q) is LSQConv2D and q.padding == (1, 1)
    assert (q.wbits, q.abits, q.polarity, q.channel_quant, q.act_bipolar) == (4, 8, "bipolar", True, True)
    # The old layer and its convolution are untouched, but share the storage.
    assert layer.native_layer is native and type(native) is nn.Conv2d
    assert torch.equal(native.weight, weight_before)
    assert q.weight.data_ptr() == native.weight.data_ptr()
    stub = new.__quantized__()
    assert stub.name == "lsq"
    record = stub.vexa_format()
    assert (record["quant_w_bits"], record["quant_a_bits"], record["quant_polarity"]) == (4, 8, "bipolar")
    assert primitive().concrete_transform_layer(layer=layer).native_layer is not q


@pytest.mark.parametrize("act_polarity, signed", [("bipolar", True), ("unipolar", False), (None, False)])
def test_fixed_activation_polarity(act_polarity, signed):
    new = primitive(act_polarity).concrete_transform_layer(conv_layer())
    assert new.native_layer.act_bipolar is signed
    assert new.native_layer.quan_a_fn.thd_neg == (-128 if signed else 0)


def test_inferred_polarity_is_fixed_by_the_first_layer():
    lsq = primitive("inferred")
    first = lsq.concrete_transform_layer(conv_layer({"act_polarity": True}))
    assert lsq.act_polarity == "bipolar" and first.native_layer.act_bipolar is True
    second = lsq.concrete_transform_layer(conv_layer({"act_polarity": False}))
    assert second.native_layer.act_bipolar is True

    lsq = primitive("inferred")
    layer = lsq.concrete_transform_layer(conv_layer({"act_polarity": False}))
    assert lsq.act_polarity is False and layer.native_layer.act_bipolar is False


def test_inferred_polarity_without_meta():
    lsq = primitive("inferred")
    message = "activation polarity was supposed to be inferred from layer but value is undefined"
    for meta in ({}, {"act_polarity": None}):
        with pytest.raises(RuntimeError) as info:
            lsq.concrete_transform_layer(conv_layer(meta))
        assert str(info.value) == message
        assert lsq.act_polarity == "inferred"


def test_refusals_and_debug_log(caplog):
    class MyConv(nn.Conv2d):
        pass
    with pytest.raises(AssertionError):
        primitive().concrete_transform_layer(nb.TorchConv2D(MyConv(2, 2, 3)))
    with caplog.at_level(logging.DEBUG, logger="orrery.framework.prims_bridge"):
        layer = conv_layer()
        primitive(channel_quant=False).concrete_transform_layer(layer)
    assert caplog.records[-1].getMessage() == (
        "Quantizing {} with: wbits=4, abits=8, polarity=bipolar, channelwise=False, "
        "act_bipolar=True".format(layer))


# End to end: a small CNN on a synthetic task, quantized through the primitive.

class SmallNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(1, 8, 3, padding=1)
        self.conv2 = nn.Conv2d(8, 16, 3, stride=2, padding=1)
        self.fc = nn.Linear(16 * 6 * 6, 4)

    def forward(self, x):
        x = torch.relu(self.conv1(x))
        x = torch.relu(self.conv2(x))
        return self.fc(torch.flatten(x, 1))


def blobs(n, generator):
    """Noise with a bright 3x3 blob; the label is the quadrant holding it."""
    x = torch.randn(n, 1, 12, 12, generator=generator) * 0.5
    labels = torch.randint(0, 4, (n,), generator=generator)
    rows = torch.randint(0, 4, (n,), generator=generator) + (labels // 2) * 6
    cols = torch.randint(0, 4, (n,), generator=generator) + (labels % 2) * 6
    for i in range(n):
        x[i, 0, rows[i]:rows[i] + 3, cols[i]:cols[i] + 3] += 2.0
    return x, labels


def train(model, steps=300):
    generator = torch.Generator().manual_seed(1)
    optimizer = torch.optim.Adam(model.parameters(), lr=1e-2)
    for _ in range(steps):
        x, y = blobs(64, generator)
        loss = nn.functional.cross_entropy(model(x), y)
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()


def accuracy(model, x, y):
    with torch.no_grad():
        return (model(x).argmax(1) == y).float().mean().item()


def test_quantization_aware_training_and_export():
    torch.manual_seed(0)
    native = SmallNet()
    float_twin = copy.deepcopy(native)
    model = TorchModel(native)
    lsq = primitive("inferred", wbits=8, abits=8, channel_quant=True)
    convs = [layer for layer in model.flat_view() if type(layer) is nb.TorchConv2D]
    assert len(convs) == 2
    convs[0].meta["act_polarity"] = True  # signed input; the ReLU outputs share the setting
    for layer in convs:
        model.replace_layer(layer, lsq.concrete_transform_layer(layer))
    assert type(native.conv1) is LSQConv2D and type(native.conv2) is LSQConv2D
    for module in (native.conv1, native.conv2):
        module.quan_a_fn.init_from(torch.randn(64, 1, 12, 12))  # a sensible first step

    train(float_twin)
    train(native)
    x, y = blobs(512, torch.Generator().manual_seed(99))
    float_acc, quant_acc = accuracy(float_twin, x, y), accuracy(native, x, y)
    assert float_acc > 0.9
    assert quant_acc >= float_acc - 0.05

    with torch.no_grad():
        trained = native(x)
    model.prepare_quantization_export()
    for module in (native.conv1, native.conv2):
        assert module.export_mode
        w = module.weight
        assert torch.equal(w, w.round()) and w.min() >= -127 and w.max() <= 127
    with torch.no_grad():
        exported = native(x)
    assert torch.allclose(exported, trained, atol=1e-3 * trained.abs().max().item())
    assert accuracy(native, x, y) >= quant_acc - 0.01


def test_bit_widths_checked_at_creation_and_polarity_kept_only_after_success():
    for kwargs, name in [({"wbits": 1}, "wbits"), ({"abits": 0}, "abits"), ({"wbits": 4.0}, "wbits")]:
        with pytest.raises(ValueError, match=name):
            primitive(**kwargs)

    class MyConv(nn.Conv2d):
        pass
    lsq = primitive("inferred")
    failing = nb.TorchConv2D(MyConv(2, 2, 3))
    failing.meta["act_polarity"] = True
    with pytest.raises(AssertionError):
        lsq.concrete_transform_layer(failing)
    assert lsq.act_polarity == "inferred"
    lsq.concrete_transform_layer(conv_layer({"act_polarity": False}))
    assert lsq.act_polarity is False
