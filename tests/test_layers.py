"""Layer wrappers: construction through the core, parameters as NumPy arrays."""
import numpy as np
import pytest
import torch
from torch import nn

from orrery.framework import nn as core_nn
from orrery.framework import nn_bridge as nb


def test_build_expands_convolution_arguments_to_tuples(monkeypatch):
    seen = []
    original = core_nn.BaseConvolution.build.__func__

    def spy(cls, **kwargs):
        seen.append(kwargs)
        return original(cls, **kwargs)

    monkeypatch.setattr(core_nn.BaseConvolution, "build", classmethod(spy))
    layer = nb.TorchConv2D.build(3, 16, 3)
    assert seen[-1] == dict(in_channels=3, out_channels=16, kernel_size=(3, 3), stride=(1, 1),
                            padding=(0, 0), dilation=(1, 1), groups=1, use_bias=True)
    assert isinstance(layer.native_layer, nn.Conv2d) and layer.native_layer.kernel_size == (3, 3)
    layer = nb.TorchConv1D.build(3, 16, 5, stride=2)
    assert seen[-1]["kernel_size"] == (5,) and seen[-1]["stride"] == (2,)
    assert isinstance(layer.native_layer, nn.Conv1d)
    transposed = nb.TorchConvTranspose2D.build(4, 2, 3, use_bias=False)
    assert isinstance(transposed.native_layer, nn.ConvTranspose2d)
    assert transposed.native_layer.bias is None and transposed.use_bias is False


def test_build_batch_norm_and_linear():
    bn = nb.TorchBatchNorm2D.build(8)
    assert isinstance(bn.native_layer, nn.BatchNorm2d) and bn.native_layer.eps == 1e-5
    assert nb.TorchBatchNorm1D.build(4, eps=0.1).native_layer.eps == 0.1
    linear = nb.TorchLinear.build(5, 3, use_bias=False)
    assert isinstance(linear.native_layer, nn.Linear) and linear.native_layer.bias is None
    assert list(nb.TorchLinear.native_map.items()) == [
        ("in_dimensions", "in_features"), ("out_dimensions", "out_features"), ("use_bias", "bias")]
    assert list(nb.TorchBaseConv.native_map) == [
        "in_channels", "out_channels", "kernel_size", "stride", "use_bias", "padding",
        "dilation", "groups"]
    assert nb.TorchConv3D.native_layer_cls is nn.Conv3d and nb.TorchConv3D.DIM == 3


def test_class_hierarchy_matches_the_core():
    assert nb.TorchConv2D.__bases__ == (core_nn.Convolution2D, nb.TorchBaseConv)
    assert issubclass(nb.TorchBatchNorm3D, core_nn.BatchNorm3D)
    assert issubclass(nb.TorchLinear, nb.TorchLayer)
    assert nb.TorchIdentityLayer.native_layer_cls is nb.NativeTorchIdentityLayer
    assert nb.TorchIdentityLayer.native_map == {}
    t = torch.randn(2)
    assert nb.NativeTorchIdentityLayer()(t) is t


def test_weights_share_memory_on_cpu_and_setters_copy():
    layer = nb.TorchConv2D(nn.Conv2d(3, 8, 3))
    weights = layer.weights
    weights[0, 0, 0, 0] = 42.0
    assert layer.native_layer.weight[0, 0, 0, 0].item() == 42.0
    new = np.ones((8, 3, 3, 3), dtype=np.float32)
    layer.weights = new
    new[:] = 7.0
    assert torch.all(layer.native_layer.weight == 1.0)
    assert isinstance(layer.native_layer.weight, nn.Parameter)


def test_bias_added_to_a_layer_built_without_one():
    layer = nb.TorchConv2D.build(3, 4, 1, use_bias=False)
    assert layer.bias is None
    layer.bias = np.arange(4, dtype=np.float32)
    assert isinstance(layer.native_layer.bias, nn.Parameter)
    assert layer.native_layer.bias.tolist() == [0.0, 1.0, 2.0, 3.0]
    assert layer.use_bias is False
    out = layer.native_layer(torch.zeros(1, 3, 2, 2))
    assert out[0, :, 0, 0].tolist() == [0.0, 1.0, 2.0, 3.0]


def test_added_bias_keeps_training_after_later_assignments():
    layer = nb.TorchLinear.build(2, 3, use_bias=False)
    layer.bias = np.zeros(3, dtype=np.float32)
    optimizer = torch.optim.SGD(layer.native_layer.parameters(), lr=1.0)
    layer.bias = np.full(3, 5.0, dtype=np.float32)  # after the optimiser was made
    layer.native_layer(torch.zeros(1, 2)).sum().backward()
    optimizer.step()
    assert layer.bias.tolist() == [4.0, 4.0, 4.0] and layer.use_bias is False
    assert isinstance(nb.TorchIdentityLayer.build().native_layer, nb.NativeTorchIdentityLayer)


def test_norm_per_output_unit():
    layer = nb.TorchConv2D(nn.Conv2d(3, 8, 3))
    w = layer.native_layer.weight.detach().reshape(8, -1)
    assert np.allclose(layer.norm(2), w.norm(dim=1).numpy(), rtol=1e-6)
    assert np.allclose(layer.norm(1), w.abs().sum(dim=1).numpy(), rtol=1e-6)
    assert layer.norm(2).shape == (8,)


def test_batch_norm_running_statistics():
    layer = nb.TorchBatchNorm2D(nn.BatchNorm2d(3))
    layer.running_mean = np.array([1.0, 2.0, 3.0], dtype=np.float32)
    assert layer.native_layer.running_mean.tolist() == [1.0, 2.0, 3.0]
    assert layer.running_var.tolist() == [1.0, 1.0, 1.0]
    stateless = nb.TorchBatchNorm2D(nn.BatchNorm2d(3, track_running_stats=False))
    assert stateless.running_mean is None and stateless.running_var is None


def test_to_cpu_returns_the_wrapper():
    layer = nb.TorchLinear(nn.Linear(2, 3))
    assert layer.to_cpu() is layer


def test_plain_layers_are_not_quantized():
    assert nb.TorchConv2D(nn.Conv2d(1, 1, 1)).__quantized__() is None


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
def test_weights_of_a_cuda_layer_are_a_cpu_copy():
    layer = nb.TorchConv2D(nn.Conv2d(3, 8, 3).cuda())
    weights = layer.weights
    weights[:] = 0
    assert layer.native_layer.weight.is_cuda and layer.native_layer.weight.abs().sum() > 0


def test_quantized_layers_get_a_stub():
    from orrery.framework.quant_bridge import LSQConv2D, QuantizedModule
    lsq = nb.TorchConv2D(LSQConv2D(nn.Conv2d(3, 4, 3), wbits=8, abits=8))
    stub = lsq.__quantized__()
    assert isinstance(stub, nb.TorchQuantizationStub)
    assert stub.layer is lsq and stub.name == "lsq"
    assert stub.weights_nbits == 8 and stub.activations_nbits == 8
    assert stub.vexa_format() == lsq.native_layer.vexa_format()
    stub.prepare_for_export()
    assert lsq.native_layer._prepared_for_export

    class OtherQuantized(QuantizedModule):
        pass

    other = nb.TorchLayer(OtherQuantized())
    stub = other.__quantized__()
    assert isinstance(stub, nb.TorchQuantizationStub) and stub.name is None


def test_setters_check_before_they_change_anything():
    layer = nb.TorchConv2D.build(3, 4, 1, use_bias=False)
    before = layer.native_layer.weight.detach().clone()
    with pytest.raises(ValueError, match=r"weights expects an array of shape \(4, 3, 1, 1\), got shape \(3, 4, 1, 1\)"):
        layer.weights = np.zeros((3, 4, 1, 1), dtype=np.float32)
    with pytest.raises(TypeError, match="NumPy array"):
        layer.weights = [[0.0]]
    assert torch.equal(layer.native_layer.weight, before)
    with pytest.raises(ValueError, match=r"shape \(4,\)"):
        layer.bias = np.zeros(3, dtype=np.float32)
    assert layer.native_layer.bias is None  # no half-made bias left behind
    layer.weights = np.ones((4, 3, 1, 1), dtype=np.float64)  # converted to the layer's precision
    assert layer.native_layer.weight.dtype == torch.float32
    assert layer.native_layer(torch.ones(1, 3, 2, 2)).flatten().tolist() == [3.0] * 16
    transposed = nb.TorchConvTranspose2D.build(4, 2, 3, use_bias=False)
    transposed.bias = np.ones(2, dtype=np.float32)  # one per output channel
    assert transposed.native_layer(torch.zeros(1, 4, 3, 3)).shape == (1, 2, 5, 5)
    bn = nb.TorchBatchNorm2D.build(3)
    with pytest.raises(ValueError, match=r"running_mean expects an array of shape \(3,\)"):
        bn.running_mean = np.zeros(4)
    bn.running_mean = np.full(3, 2.0)
    assert bn.native_layer.running_mean.dtype == torch.float32


def test_norm_of_a_channels_last_convolution():
    torch.manual_seed(0)
    conv = nn.Conv2d(3, 8, 3).to(memory_format=torch.channels_last)
    assert not conv.weight.is_contiguous()
    layer = nb.TorchConv2D(conv)
    w = conv.weight.detach().contiguous().reshape(8, -1)
    assert np.allclose(layer.norm(1), w.abs().sum(dim=1).numpy(), rtol=1e-6)
    assert np.allclose(layer.norm(2), w.norm(dim=1).numpy(), rtol=1e-6)
