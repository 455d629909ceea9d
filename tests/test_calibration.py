"""Calibrating LSQ step sizes from data, measuring a model, and the refusals of
wrong arguments where they enter."""
import copy

import numpy as np
import pytest
import torch
from torch import nn

from orrery.framework import nn_bridge as nb
from orrery.framework.framework_bridge import TorchFramework
from orrery.framework.model_bridge import TorchModel
from orrery.framework.prims_bridge import TorchLSQ
from orrery.framework.quant_bridge import LSQConv2D, LsqQuan, twos_comp
from orrery_examples.digits import DigitsCNN, accuracy, digits_loaders
from orrery_examples.lsq_quantize import quantize_convolutions

framework = TorchFramework()
framework.initialize({})


def lsq(**kwargs):
    settings = dict(wbits=8, abits=8, polarity="bipolar", channel_quant=True,
                    act_polarity="bipolar")
    settings.update(kwargs)
    return TorchLSQ(**settings)


@pytest.fixture(scope="module")
def digits():
    torch.manual_seed(0)
    train, test = digits_loaders()
    net = DigitsCNN(8)
    optimizer = torch.optim.Adam(net.parameters(), 3e-3)
    for _ in range(6):
        for x, y in train:
            optimizer.zero_grad()
            nn.functional.cross_entropy(net(x), y).backward()
            optimizer.step()
    return net, train, test


@pytest.mark.parametrize("bits", [8, 4])
def test_calibrated_model_keeps_the_float_accuracy_before_any_training(digits, bits):
    net, train, test = digits
    model = TorchModel(copy.deepcopy(net))
    quantize_convolutions(model, lsq(wbits=bits, abits=bits), train)
    float_accuracy, quantized = accuracy(net, test), accuracy(model.native_model, test)
    assert quantized >= float_accuracy - (0.01 if bits == 8 else 0.03)
    # Uncalibrated (activation steps of 1.0) the same model is far worse.
    raw = TorchModel(copy.deepcopy(net))
    for layer in raw.flat_view():
        if type(layer.native_layer) is nn.Conv2d:
            raw.replace_layer(layer, lsq(wbits=bits, abits=bits).concrete_transform_layer(layer))
    assert accuracy(raw.native_model, test) < quantized


def test_calibration_reads_every_form_of_data_and_keeps_modes():
    torch.manual_seed(0)
    net = nn.Sequential(nn.Conv2d(3, 4, 3), nn.BatchNorm2d(4), nn.ReLU(), nn.Conv2d(4, 2, 1))
    x = torch.randn(8, 3, 6, 6) * 3
    steps = []
    for data in (x, [x[:4], x[4:]], [(x, torch.zeros(8))], [((x,), None)],
                 torch.utils.data.DataLoader(torch.utils.data.TensorDataset(x), batch_size=8)):
        model = TorchModel(copy.deepcopy(net).train())
        quantize_convolutions(model, lsq(), data)
        first = model.native_model[0]
        assert model.native_model.training and model.native_model[1].num_batches_tracked == 0
        steps.append(first.quan_a_fn.s.item())
    # Twice the mean magnitude of the inputs over the square root of the top code
    # (127: signed 8-bit activations).
    assert steps[0] == pytest.approx(2 * x.abs().mean().item() / 127 ** 0.5, rel=1e-4)
    assert steps == pytest.approx([steps[0]] * len(steps), rel=1e-4)
    # The second layer's step comes from the float first layer's output.
    model = TorchModel(copy.deepcopy(net).eval())
    quantize_convolutions(model, lsq(), x)
    with torch.no_grad():
        hidden = net.eval()[2](net[1](net[0](x)))
    assert model.native_model[3].quan_a_fn.s.item() == pytest.approx(
        2 * hidden.abs().mean().item() / 127 ** 0.5, rel=1e-4)


def test_calibration_refusals_change_nothing():
    net = nn.Sequential(nn.Conv2d(3, 4, 3))
    model = TorchModel(net)
    primitive = lsq()
    with pytest.raises(ValueError, match="no LSQ layer"):
        primitive.calibrate(model, torch.randn(1, 3, 4, 4))
    model.replace_layer(model.flat_view()[0],
                        primitive.concrete_transform_layer(model.flat_view()[0]))
    step = net[0].quan_a_fn.s.detach().clone()
    for data, error, text in ((torch.randn(1, 5, 4, 4), RuntimeError, "channels"),
                              ([], ValueError, "no batch"), (3, TypeError, "iterable"),
                              ([{"x": 1}], TypeError, "dict")):
        with pytest.raises(error, match=text):
            primitive.calibrate(model, data)
        assert torch.equal(net[0].quan_a_fn.s, step) and not net[0]._forward_hooks
    for bad in (0, True, 1.5):
        with pytest.raises(ValueError, match="batches"):
            primitive.calibrate(model, torch.randn(1, 3, 4, 4), batches=bad)
    with pytest.raises(TypeError, match="framework model"):
        primitive.calibrate("model", torch.randn(1, 3, 4, 4))
    model.prepare_quantization_export()
    with pytest.raises(ValueError, match="training form"):
        primitive.calibrate(model, torch.randn(1, 3, 4, 4))


def test_inferred_polarity_never_gives_a_signed_input_unsigned_codes():
    primitive = lsq(act_polarity="inferred")
    first = nb.TorchConv2D(nn.Conv2d(3, 3, 1))
    first.meta["act_polarity"] = False
    second = nb.TorchConv2D(nn.Conv2d(3, 3, 1))
    second.meta["act_polarity"] = True
    assert primitive.concrete_transform_layer(first).native_layer.act_bipolar is False
    assert primitive.act_polarity is False
    signed = primitive.concrete_transform_layer(second).native_layer
    assert signed.act_bipolar is True
    x = -torch.ones(1, 3, 2, 2)
    signed.quan_a_fn.init_from(x)
    assert (signed.quan_a_fn(x) < 0).all()
    # Set by hand afterwards, the primitive's value holds for every layer.
    primitive.act_polarity = "unipolar"
    assert primitive.concrete_transform_layer(second).native_layer.act_bipolar is False


def test_lsq_takes_numpy_bit_widths_and_only_plain_convolutions():
    layer = lsq(wbits=np.int64(4), abits=np.int32(8)).concrete_transform_layer(
        nb.TorchConv2D(nn.Conv2d(2, 2, 1)))
    assert layer.native_layer.wbits == 4 and type(layer.native_layer.wbits) is int
    with pytest.raises(AssertionError, match="Conv2d layers only, got Linear"):
        lsq().concrete_transform_layer(nb.TorchLinear(nn.Linear(2, 2)))
    with pytest.raises(TypeError, match="framework layer"):
        lsq().concrete_transform_layer(nn.Conv2d(2, 2, 1))
    with pytest.raises(AssertionError, match="wraps a torch.nn.Conv2d"):
        LSQConv2D(nn.Conv1d(2, 2, 1), 8, 8)


def test_measure_counts_float_and_quantized_layers_alike():
    torch.manual_seed(0)
    net = nn.Sequential(nn.Conv2d(3, 8, 3, bias=False), nn.ReLU(), nn.Flatten(),
                        nn.Linear(8 * 4 * 4, 10)).train()
    model = TorchModel(net)
    x = torch.randn(4, 3, 6, 6)
    conv_macs = 8 * 4 * 4 * 3 * 3 * 3
    for inputs in (x, (x,), torch.utils.data.DataLoader(torch.utils.data.TensorDataset(x))):
        result = model.measure(inputs)
        assert set(result) == {"params", "macs", "seconds_per_sample", "layers"}
        assert result["macs"] == conv_macs + 128 * 10 and result["seconds_per_sample"] > 0
        assert result["layers"]["0"] == {"macs": conv_macs, "params": 8 * 27}
        assert result["params"] == sum(p.numel() for p in net.parameters())
    assert net.training
    quantize_convolutions(model, lsq(), x)
    assert model.measure(x)["layers"]["0"]["macs"] == conv_macs
    with pytest.raises(TypeError, match="example inputs"):
        model.measure("images")


def test_wrong_types_are_refused_where_they_enter():
    net = nn.Sequential(nn.Conv2d(3, 4, 1))
    with pytest.raises(TypeError, match="torch.nn.Module, got str"):
        framework.mdl_cls("resnet")
    with pytest.raises(TypeError, match="teacher as a framework model"):
        framework.knowledge_distillation_cls(net, tau=4.0)
    for kwargs in ({"tau": 0}, {"tau": "4"}, {"alpha": 1.5}):
        with pytest.raises(ValueError, match=next(iter(kwargs))):
            framework.knowledge_distillation_cls(TorchModel(net), **kwargs)
    with pytest.raises(TypeError, match="native_model"):
        framework.ema_cls(TorchModel(net))
    for kwargs in ({"decay_rate": 0}, {"decay_rate": 2}, {"period": 0}, {"period": None}):
        with pytest.raises(ValueError, match=next(iter(kwargs))):
            framework.ema_cls(copy.deepcopy(net), **kwargs)


def test_type_refusals_name_the_class_given():
    # Each message ends with the class name of what was passed, not its repr.
    net = nn.Sequential(nn.Conv2d(3, 4, 1))
    cases = [
        (lambda: framework.knowledge_distillation_cls(net), "got Sequential"),
        (lambda: framework.ema_cls(TorchModel(net)),
         "got TorchModel; pass its native_model's copy instead"),
        (lambda: framework.ema_cls([net]), r"copy.deepcopy\(model.native_model\)\), got list"),
        (lambda: lsq().calibrate(None, torch.zeros(1, 3, 2, 2)), "torch.nn.Module, got NoneType"),
        (lambda: TorchModel(net).measure([1.0]), "TorchDataLoader, got list"),
        (lambda: twos_comp(torch.zeros(2), 4.0), "nbits must be an int, got float"),
        (lambda: LsqQuan(8, False, True, False)([1.0]), "must be a torch.Tensor, got list"),
    ]
    kd = framework.knowledge_distillation_cls(TorchModel(copy.deepcopy(net)))
    cases += [
        (lambda: kd(net, 3), "^cannot unpack non-iterable int object"),
        (lambda: kd.kd_cross_entropy(torch.zeros(2, 3), torch.zeros(2, 3), [0, 1]),
         r"^kd_cross_entropy\(\): targets must be a Tensor, not list"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError, match=message + "$"):
            call()
