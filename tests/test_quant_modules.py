"""Quantized modules: QuantizedModule, QuantizedConv2D and LSQConv2D in their
training and export forms."""
import copy
import pickle

import pytest
import torch
import torch.nn.functional as F

from orrery.framework import quant_bridge as qb
from orrery.framework.quant_bridge import LSQConv2D, QuantizedConv2D, QuantizedModule

from test_quant_lsq import ref_forward


def make_conv(cin=8, cout=16, k=3, bias=True, **kwargs):
    torch.manual_seed(0)
    return torch.nn.Conv2d(cin, cout, k, bias=bias, **kwargs)


def test_class_tree_and_construction():
    assert LSQConv2D.__mro__[1:4] == (QuantizedConv2D, QuantizedModule, torch.nn.Conv2d)
    conv = make_conv(stride=2, padding=1, dilation=1, groups=2)
    layer = LSQConv2D(conv, 8, 8)
    assert (layer.in_channels, layer.out_channels, layer.kernel_size) == (8, 16, (3, 3))
    assert (layer.stride, layer.padding, layer.groups) == ((2, 2), (1, 1), 2)
    assert (layer.wbits, layer.abits, layer.polarity) == (8, 8, "bipolar")
    assert layer.channel_quant is False and layer.act_bipolar is False
    assert (layer.quan_w_fn.thd_neg, layer.quan_w_fn.thd_pos) == (-127, 127)
    assert (layer.quan_a_fn.thd_neg, layer.quan_a_fn.thd_pos) == (0, 255)
    assert layer.quan_a_fn.s.item() == 1.0
    assert layer.quan_w_fn.s.item() == pytest.approx(
        (conv.weight.abs().mean() * 2 / 127 ** 0.5).item())
    assert layer.export_mode is False and layer.onnx_annotation is None
    # Parameters share the source convolution's storage.
    assert layer.weight.data_ptr() == conv.weight.data_ptr() and layer.weight is not conv.weight
    assert layer.bias.data_ptr() == conv.bias.data_ptr()
    assert sorted(n for n, _ in layer.named_parameters()) == [
        "bias", "quan_a_fn.s", "quan_w_fn.s", "weight"]


@pytest.mark.parametrize("polarity, act_bipolar, w_range, a_range", [
    ("bipolar", True, (-127, 127), (-128, 127)),
    ("unipolar", False, (0, 255), (0, 255)),
    ("anything", False, (0, 255), (0, 255)),
])
def test_polarities(polarity, act_bipolar, w_range, a_range):
    layer = LSQConv2D(make_conv(), 8, 8, polarity=polarity, act_bipolar=act_bipolar)
    assert (layer.quan_w_fn.thd_neg, layer.quan_w_fn.thd_pos) == w_range
    assert (layer.quan_a_fn.thd_neg, layer.quan_a_fn.thd_pos) == a_range


def test_only_plain_convolutions():
    class MyConv(torch.nn.Conv2d):
        pass
    with pytest.raises(AssertionError):
        LSQConv2D(MyConv(2, 2, 3), 8, 8)
    with pytest.raises(AssertionError):
        LSQConv2D(torch.nn.Conv1d(2, 2, 3), 8, 8)


def test_vexa_format_and_bit_widths():
    layer = LSQConv2D(make_conv(), 4, 6, polarity="unipolar")
    record = layer.vexa_format()
    assert list(record.items()) == [
        ("layer_type", "LSQConv2D"), ("quant_a_bits", 6), ("quant_w_bits", 4),
        ("quant_type", "lsq"), ("in_channels", 8), ("out_channels", 16), ("kernels", (3, 3)),
        ("quant_polarity", "unipolar")]
    assert layer.weights_nbits == 4 and layer.activations_nbits == 6


def test_complexity():
    layer = LSQConv2D(make_conv(), 8, 4)
    out = torch.zeros(2, 16, 10, 10)
    assert layer.compute_module_complexity(None, (out,)) == {
        "flops": 9 * 8 * 16 * 200 + 16 * 200, "param_size": 1.0, "activation_size": 0.5}
    no_bias = LSQConv2D(make_conv(bias=False, groups=2), 8, 8)
    assert no_bias.compute_module_complexity(None, [out])["flops"] == 9 * 8 * 8 * 200


def test_abstract_module():
    m = QuantizedModule()
    for name in ("weights_nbits", "activations_nbits"):
        with pytest.raises(NotImplementedError):
            getattr(m, name)
    for call in (m._prepare_for_export, m._forward, m._forward_export, m.vexa_format,
                 m.prepare_for_export):
        with pytest.raises(NotImplementedError):
            call()
    assert m.compute_module_complexity(1, 2) == {
        "param_size": None, "activation_size": None, "flops": None, "params": None}

    class Twice(QuantizedModule):
        def _forward(self, x, k=1):
            return ("train", x, k)

        def _forward_export(self, x, k=1):
            return ("export", x, k)

        def _prepare_for_export(self):
            self.prepared = getattr(self, "prepared", 0) + 1

    t = Twice()
    t.onnx_annotation = "note"
    assert t(1, k=2) == ("train", 1, 2)
    t.prepare_for_export()
    assert t.export_mode and t.onnx_annotation is None and t(3) == ("export", 3, 1)


def test_training_forward_is_the_composition():
    conv = make_conv(padding=1)
    layer = LSQConv2D(conv, 8, 8, act_bipolar=True)
    layer.quan_a_fn.s = torch.nn.Parameter(torch.tensor([0.05]))
    x = torch.randn(2, 8, 9, 9)
    w_q = ref_forward(layer.quan_w_fn, layer.weight, layer.quan_w_fn.s)
    a_q = ref_forward(layer.quan_a_fn, x, layer.quan_a_fn.s)
    assert torch.equal(layer(x), F.conv2d(a_q, w_q, conv.bias, 1, 1))


def test_other_padding_modes_are_honoured():
    conv = make_conv(padding=1, padding_mode="reflect")
    layer = LSQConv2D(conv, 8, 8, act_bipolar=True)
    layer.quan_a_fn.s = torch.nn.Parameter(torch.tensor([0.05]))
    x = torch.randn(1, 8, 6, 6)
    w_q = ref_forward(layer.quan_w_fn, layer.weight, layer.quan_w_fn.s)
    a_q = ref_forward(layer.quan_a_fn, x, layer.quan_a_fn.s)
    expected = F.conv2d(F.pad(a_q, (1, 1, 1, 1), mode="reflect"), w_q, conv.bias)
    assert torch.allclose(layer(x), expected, atol=1e-6)


def test_training_changes_the_source_convolution():
    conv = make_conv()
    before = conv.weight.detach().clone()
    layer = LSQConv2D(conv, 8, 8)
    opt = torch.optim.SGD(layer.parameters(), lr=0.1)
    layer(torch.randn(2, 8, 6, 6)).square().sum().backward()
    opt.step()
    assert not torch.equal(conv.weight.detach(), before)
    assert torch.equal(conv.weight.detach(), layer.weight.detach())


def known_codes_layer(wbits, codes, channel_quant=False):
    conv = torch.nn.Conv2d(1, len(codes), 1, bias=False)
    layer = LSQConv2D(conv, wbits, 8, channel_quant=channel_quant)
    layer.quan_w_fn.s = torch.nn.Parameter(torch.tensor(0.125))
    with torch.no_grad():
        layer.weight.copy_(torch.tensor(codes, dtype=torch.float32).view(-1, 1, 1, 1) * 0.125)
    return layer


def test_export_weight_codes():
    layer = known_codes_layer(4, [-3, 2, -7, 7])
    layer.prepare_for_export()
    assert layer.weight.view(-1).tolist() == [13, 2, 9, 7]
    assert isinstance(layer.weight, torch.nn.Parameter)
    assert layer.w_s_scale.item() == pytest.approx(0.125)
    eight = known_codes_layer(8, [-3, 2, -127, 127])
    eight.prepare_for_export()
    assert eight.weight.view(-1).tolist() == [-3, 2, -127, 127]
    # A second call changes nothing but the annotation.
    eight.onnx_annotation = "x"
    eight.prepare_for_export()
    assert eight.weight.view(-1).tolist() == [-3, 2, -127, 127] and eight.onnx_annotation is None


def test_per_channel_export_scale():
    layer = LSQConv2D(make_conv(), 8, 8, channel_quant=True)
    assert layer.quan_w_fn.s.shape == (16, 1, 1, 1)
    layer.prepare_for_export()
    assert layer.w_s_scale.shape == (1, 16, 1, 1)
    assert layer.export_mode


@pytest.mark.parametrize("channel_quant", [False, True])
@pytest.mark.parametrize("bias", [True, False])
@pytest.mark.parametrize("act_bipolar", [False, True])
def test_export_form_computes_the_training_function(channel_quant, bias, act_bipolar):
    conv = make_conv(padding=1, bias=bias)
    if bias:
        with torch.no_grad():
            conv.bias.uniform_(-2, 2)  # large enough to matter
    layer = LSQConv2D(conv, 8, 8, channel_quant=channel_quant, act_bipolar=act_bipolar)
    layer.quan_a_fn.s = torch.nn.Parameter(torch.tensor([0.03]))
    x = torch.randn(2, 8, 7, 7)
    if not act_bipolar:
        x = x.relu()
    trained = layer(x).detach()
    layer.prepare_for_export()
    exported = layer(x)
    step = (layer.quan_a_fn.s * layer.w_s_scale.view(-1, 1, 1)).detach()
    assert ((exported - trained).abs() <= step).all()
    assert torch.equal(layer.weight, layer.weight.round())
    assert layer.weight.abs().max() <= 127


def test_onnx_annotation_applies_only_while_exporting(monkeypatch):
    layer = LSQConv2D(make_conv(), 8, 8)
    layer.prepare_for_export()
    layer.onnx_annotation = {"kind": "acts"}
    x = torch.rand(1, 8, 5, 5)
    plain = layer(x)
    seen = []

    def annotator(tensor, annotation):
        seen.append((tensor.clone(), annotation))
        return tensor * 0
    monkeypatch.setattr(qb, "onnx_annotator", annotator)
    assert torch.equal(layer(x), plain) and not seen
    monkeypatch.setattr(torch.onnx, "is_in_onnx_export", lambda: True)
    out = layer(x)
    assert seen and seen[0][1] == {"kind": "acts"}
    assert torch.equal(seen[0][0], seen[0][0].round())
    bias = layer.bias.view(1, -1, 1, 1)
    assert torch.allclose(out, bias * layer.quan_a_fn.s * layer.w_s_scale)


def test_export_form_traces_and_exports_to_onnx():
    import io
    layer = LSQConv2D(make_conv(), 8, 8)
    layer.prepare_for_export()
    x = torch.rand(1, 8, 6, 6)
    traced = torch.jit.trace(layer, x)
    assert "orrery::lsq_quantize" not in str(traced.graph)
    assert torch.allclose(traced(x), layer(x))
    buffer = io.BytesIO()
    torch.onnx.export(layer, (x,), buffer)
    assert buffer.tell() > 0


def test_copy_and_pickle():
    layer = LSQConv2D(make_conv(), 4, 8, channel_quant=True)
    x = torch.randn(1, 8, 5, 5)
    clone = copy.deepcopy(layer)
    assert torch.equal(clone(x), layer(x)) and clone.weight.data_ptr() != layer.weight.data_ptr()
    restored = pickle.loads(pickle.dumps(layer))
    assert type(restored) is LSQConv2D and torch.equal(restored(x), layer(x))
