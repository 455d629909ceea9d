"""The model wrapper: layer tree, device and mode, graph binding, layer replacement."""
import pytest
import torch
import torchvision
from torch import nn

from corvex.profiler.utils import Device
from orrery.framework import nn_bridge as nb
from orrery.framework.graph.graph import Node
from orrery.framework.model import LayerGroup
from orrery.framework.model_bridge import TorchModel
from orrery.framework.nn import GraphLayer, UnknownLayer


class Net(nn.Module):
    def __init__(self):
        super().__init__()
        self.features = nn.Sequential(nn.Conv2d(3, 4, 3, padding=1), nn.BatchNorm2d(4), nn.ReLU())
        self.single = nn.Sequential(nn.Identity())
        self.empty = nn.Sequential()
        self.pool = nn.AdaptiveAvgPool2d(1)
        self.fc = nn.Linear(4, 2)

    def forward(self, x):
        x = self.pool(self.single(self.features(x)))
        return self.fc(torch.flatten(x, 1))


def test_layer_tree_mirrors_the_module_hierarchy():
    native = Net()
    model = TorchModel(native)
    top = list(model.layer_group)
    assert [type(layer) for layer in top] == [LayerGroup, LayerGroup, UnknownLayer, UnknownLayer,
                                              nb.TorchLinear]
    conv, bn, relu = list(top[0])
    assert (type(conv), type(bn), type(relu)) == (nb.TorchConv2D, nb.TorchBatchNorm2D, UnknownLayer)
    assert conv.native_layer is native.features[0]
    assert conv.meta == {"native_id": "0", "native_parent": native.features}
    assert top[0].meta == {"native_id": "features", "native_parent": native}
    assert top[0].model is model
    assert [l.native_layer for l in model.flat_view()][:3] == list(native.features)


def test_layer_classes_of_leaves_and_subclasses():
    model = TorchModel(nn.Conv2d(1, 1, 1))
    assert len(model.layer_group) == 0  # no children: nothing to add

    class MyConv(nn.Conv2d):
        pass

    assert model._get_layer_cls(MyConv(1, 1, 1)) is nb.TorchConv2D
    with_child = MyConv(1, 1, 1)
    with_child.extra = nn.ReLU()
    assert model._get_layer_cls(with_child) is LayerGroup
    assert model._get_layer_cls(nn.ConvTranspose3d(1, 1, 1)) is nb.TorchConvTranspose3D
    assert model._get_layer_cls(nn.BatchNorm1d(2)) is nb.TorchBatchNorm1D
    assert model._get_layer_cls(nn.Sequential()) is UnknownLayer


def test_flat_native_dict_view_and_shared_modules():
    shared = nn.ReLU()
    native = nn.Sequential(nn.Sequential(nn.Linear(2, 2), shared), shared)
    model = TorchModel(native)
    view = model.flat_native_dict_view()
    assert list(view) == ["", "0", "0.0", "0.1"] and view[""] is native
    # A module registered twice is wrapped twice, once per registration.
    wrappers = [l for l in model.flat_view() if l.native_layer is shared]
    assert len(wrappers) == 2 and wrappers[0] is not wrappers[1]


def test_device_and_mode():
    native = Net()
    model = TorchModel(native)
    model.eval()
    assert not native.training
    model.train()
    assert native.training
    assert model.to_device(Device.CPU) is None
    assert TorchModel.model_to_device(native, Device.CPU) is native
    assert list(model.get_parameters())[0] is native.features[0].weight

    class Fake:
        def cuda(self):
            return "cuda"

        def cpu(self):
            return "cpu"

    assert TorchModel.model_to_device(Fake(), Device.GPU) == "cuda"
    assert TorchModel.model_to_device(Fake(), "anything") == "cuda"
    assert TorchModel.model_to_device(Fake(), Device.CPU) == "cpu"


class _Parser:
    """A graph parser handing back prepared nodes, to test the binding alone."""

    def __init__(self, layers):
        self.layers = layers

    def parse_model(self, model, args):
        return [Node(layer, uid) for uid, layer in enumerate(self.layers)]


def test_parse_into_graph_binds_nodes_to_tree_layers():
    shared = nn.Conv2d(2, 2, 1)
    native = nn.Sequential(shared, nn.ReLU(), shared, nn.ConvTranspose2d(2, 2, 1))
    model = TorchModel(native)
    stray_bn = nn.BatchNorm2d(2)
    model.graph_parser = _Parser([shared, "Add", "Add", None, stray_bn])
    graph = model._parse_into_graph("args")
    first_wrapper = model.flat_view()[0]
    assert graph[0].layer is first_wrapper  # first wrapper in flat_view order
    assert isinstance(graph[1].layer, GraphLayer) and graph[1].layer.layer == "Add"
    assert graph[1].layer is not graph[2].layer
    assert isinstance(graph[3].layer, GraphLayer) and graph[3].layer.layer is None
    assert isinstance(graph[4].layer, GraphLayer) and graph[4].layer.layer is stray_bn
    already = graph[0].layer
    model.graph_parser = _Parser([already])
    assert model._parse_into_graph(None)[0].layer is already


def test_unlinked_convolution_is_an_error():
    model = TorchModel(nn.Sequential(nn.ReLU()))
    for stray in (nn.Conv2d(1, 1, 1), nn.Linear(1, 1)):
        model.graph_parser = _Parser([stray])
        with pytest.raises(RuntimeError, match="Base Layer types should have been linked"):
            model._parse_into_graph(None)


def test_replace_leaf_and_group():
    native = nn.Sequential()
    native.features = nn.Sequential(nn.Conv2d(3, 4, 3), nn.ReLU(), nn.Conv2d(4, 4, 1))
    model = TorchModel(native)
    relu = list(list(model.layer_group)[0])[1]
    group = LayerGroup()
    first, second = nb.TorchIdentityLayer(nb.NativeTorchIdentityLayer()), nb.TorchConv2D.build(4, 4, 1)
    group.append(first)
    group.append(second)
    model.replace_layer(relu, group)
    replaced = native.features[1]
    assert isinstance(replaced, nn.Sequential) and replaced[1] is second.native_layer
    assert first.meta == {"native_id": "0", "native_parent": replaced}
    assert second.meta == {"native_id": "1", "native_parent": replaced}
    assert group.meta == {"native_id": "1", "native_parent": native.features}
    # A replacement records its parent first; a parsed layer its id first.
    assert [list(layer.meta) for layer in (first, second, group)] == [["native_parent", "native_id"]] * 3
    assert list(model.flat_view()[0].meta) == ["native_id", "native_parent"]
    assert native(torch.randn(1, 3, 8, 8)).shape == (1, 4, 6, 6)

    conv = model.flat_view()[0]
    new_conv = nb.TorchConv2D.build(3, 4, 3)
    model.replace_layer(conv, new_conv)
    assert native.features[0] is new_conv.native_layer
    assert new_conv.meta["native_id"] == "0"


def test_replace_fails_cleanly_without_bookkeeping():
    native = nn.Sequential(nn.ReLU())
    model = TorchModel(native)
    stray = nb.TorchConv2D.build(1, 1, 1)
    with pytest.raises(KeyError):
        model._replace_native_layer(stray, nb.TorchConv2D.build(1, 1, 1))
    bad_group = LayerGroup()
    bad_group.append(object())
    with pytest.raises(AttributeError):
        model._replace_native_layer(model.flat_view()[0], bad_group)
    assert isinstance(native[0], nn.ReLU)


@pytest.mark.parametrize("factory", [torchvision.models.resnet18, torchvision.models.mobilenet_v2,
                                     torchvision.models.densenet121, torchvision.models.vgg11])
def test_layer_tree_of_real_architectures(factory):
    native = factory()
    model = TorchModel(native)
    leaves = model.flat_view()
    leaf_modules = [m for m in native.modules() if not list(m.children())]
    assert len(leaves) == len(leaf_modules)
    convs = [l for l in leaves if isinstance(l, nb.TorchConv2D)]
    assert len(convs) == sum(isinstance(m, nn.Conv2d) for m in native.modules())
    for layer in leaves:
        assert getattr(layer.meta["native_parent"], layer.meta["native_id"]) is layer.native_layer
