"""Graph building through the model wrapper on real architectures."""
import pytest
import torch
import torchvision
from torch import nn

from orrery.framework import nn_bridge as nb
from orrery.framework.model_bridge import TorchModel
from orrery.framework.nn import GraphLayer

MODELS = {
    "resnet18": (torchvision.models.resnet18, 224),
    "resnet50": (torchvision.models.resnet50, 64),
    "mobilenet_v2": (torchvision.models.mobilenet_v2, 64),
    "densenet121": (torchvision.models.densenet121, 64),
    "vgg11": (torchvision.models.vgg11, 64),
}


@pytest.mark.parametrize("name", sorted(MODELS))
def test_graph_nodes_bound_to_tree_layers(name):
    factory, size = MODELS[name]
    native = factory()
    model = TorchModel(native)
    graph = model.build_graph(torch.randn(1, 3, size, size))
    wrappers = {id(layer): layer for layer in model.flat_view()}
    counts = {"conv": 0, "linear": 0, "bn": 0}
    for node in graph:
        layer = node.layer
        if isinstance(layer, (nb.TorchConv2D, nb.TorchLinear, nb.TorchBatchNorm2D)):
            assert wrappers.get(id(layer)) is layer  # the tree's own wrapper
            key = {nb.TorchConv2D: "conv", nb.TorchLinear: "linear",
                   nb.TorchBatchNorm2D: "bn"}[type(layer)]
            counts[key] += 1
        else:
            assert isinstance(layer, GraphLayer)
    modules = list(native.modules())
    assert counts["conv"] == sum(isinstance(m, nn.Conv2d) for m in modules)
    assert counts["linear"] == sum(isinstance(m, nn.Linear) for m in modules)
    assert counts["bn"] == sum(isinstance(m, nn.BatchNorm2d) for m in modules)
    adds = [node for node in graph if isinstance(node.layer, GraphLayer) and node.layer.layer == "Add"]
    assert all(len(node._inputs) == 2 for node in adds)
    if name.startswith("resnet"):
        assert len(adds) == {"resnet18": 8, "resnet50": 16}[name]


def test_replacement_keeps_forward_working():
    native = torchvision.models.resnet18().eval()
    model = TorchModel(native)
    x = torch.randn(1, 3, 64, 64)
    model.build_graph(x)
    expected = native(x)
    conv = next(l for l in model.flat_view() if isinstance(l, nb.TorchConv2D))
    copy = nb.TorchConv2D.build(3, 64, 7, stride=2, padding=3, use_bias=False)
    copy.weights = conv.weights
    model.replace_layer(conv, copy)
    assert native.conv1 is copy.native_layer
    assert torch.allclose(native(x), expected, atol=1e-5)
    graph = model.build_graph(x)
    assert [node.layer for node in graph].count(copy) == 1
