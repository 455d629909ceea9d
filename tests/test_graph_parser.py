"""TorchGraphParser on small models: nodes, edges, bindings, modes, logs, errors."""
import logging

import pytest
import torch
import torch.nn as nn
import torch.nn.functional as F

from orrery.framework import graph_bridge
from orrery.framework.graph.graph import ModelGraphParser
from orrery.oexceptions import GraphParsingError

LOGGER = "orrery.framework.graph_bridge"


def parse(model, args):
    return graph_bridge.TorchGraphParser()._parse(model, args)


def image(channels=3, size=8):
    return torch.randn(1, channels, size, size)


class Residual(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 3, 3, padding=1)
        self.conv2 = nn.Conv2d(3, 3, 3, padding=1)

    def forward(self, x):
        return self.conv2(F.relu(self.conv1(x))) + x


class TwoBranches(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 4, 1)
        self.left = nn.Conv2d(4, 4, 1)
        self.right = nn.Conv2d(4, 4, 1)

    def forward(self, x):
        y = F.relu(self.conv1(x))
        return self.left(y) + self.right(y)


class ChannelShuffles(nn.Module):
    """Size-reading reshapes between two convolutions."""

    def __init__(self, shuffles):
        super().__init__()
        self.first = nn.Conv2d(4, 4, 1)
        self.last = nn.Conv2d(4, 4, 1)
        self.shuffles = shuffles

    def forward(self, x):
        x = self.first(x)
        for _ in range(self.shuffles):
            b, c, h, w = x.size()
            x = x.view(b, 2, c // 2, h, w).transpose(1, 2).contiguous().view(b, -1, h, w)
        return self.last(x)


def test_module_constants():
    assert graph_bridge.GETATTR_KIND == "prim::GetAttr"
    assert graph_bridge.PARAM_KIND == "prim::Param"
    assert graph_bridge.CONSUMING_OP == frozenset(
        {"aten::addmm", "aten::matmul", "aten::_convolution", "aten::batch_norm", "aten::linear"})
    assert graph_bridge.FUNCTIONAL_OP == {"aten::add_": "Add", "aten::add": "Add"}
    assert graph_bridge.ONNX_SET_TRAINING_FUNC is torch.onnx.select_model_mode_for_export
    assert issubclass(graph_bridge.TorchGraphParser, ModelGraphParser)


def test_single_convolution_and_sequential():
    conv = nn.Conv2d(3, 4, 3)
    (node,) = parse(conv, image())
    assert node.layer is conv and not node._inputs and not node._outputs
    assert node.native_depth == node.uid

    seq = nn.Sequential(nn.Conv2d(3, 4, 3), nn.ReLU(), nn.Conv2d(4, 2, 3))
    second, first = parse(seq, image())
    assert second.layer is seq[2] and first.layer is seq[0]
    assert second._inputs == [first] and first._outputs == [second]


def test_residual_block_and_shared_producer():
    block = Residual()
    add, conv2, conv1 = parse(block, image())
    assert add.layer == "Add" and add._inputs == [conv2]
    assert (conv2.layer, conv1.layer) == (block.conv2, block.conv1)
    assert conv2._inputs == [conv1]

    model = TwoBranches()
    add, left, conv1, right = parse(model, image())
    assert [n.layer for n in (left, conv1, right)] == [model.left, model.conv1, model.right]
    assert add._inputs == [left, right]
    assert conv1._outputs == [left, right]


def test_additions_without_tracked_neighbours_are_dropped():
    class AddInputs(nn.Module):
        def forward(self, x, y):
            return x + y

    assert parse(AddInputs(), (image(), image())) == []


def test_same_value_added_to_itself_is_one_edge():
    class Double(nn.Module):
        def __init__(self):
            super().__init__()
            self.conv = nn.Conv2d(3, 3, 1)

        def forward(self, x):
            y = self.conv(x)
            return y + y

    add, conv = parse(Double(), image())
    assert add._inputs == [conv] and conv._outputs == [add]


def test_linear_and_matrix_products_are_consuming():
    mlp = nn.Sequential(nn.Linear(6, 5), nn.ReLU(), nn.Linear(5, 2))
    second, first = parse(mlp, torch.randn(2, 6))
    assert (second.layer, first.layer) == (mlp[2], mlp[0])
    assert second._inputs == [first]

    class FreeWeights(nn.Module):
        def __init__(self):
            super().__init__()
            self.weight = nn.Parameter(torch.randn(6, 3))
            self.w = nn.Parameter(torch.randn(3, 3))

        def forward(self, x):
            return torch.matmul(torch.matmul(x, self.weight), self.w)

    model = FreeWeights()
    outer, inner = parse(model, torch.randn(2, 6))
    assert outer.layer is None  # reads no module's `weight`
    assert inner.layer is model  # the model's own weight


def test_tuple_output_walks_elements_in_order():
    class Heads(nn.Module):
        def __init__(self):
            super().__init__()
            self.a = nn.Conv2d(3, 2, 1)
            self.b = nn.Conv2d(3, 2, 1)

        def forward(self, x):
            return self.b(x), self.a(x)

    model = Heads()
    assert [n.layer for n in parse(model, image())] == [model.b, model.a]


def test_dict_and_list_outputs_parse():
    class Segmentation(nn.Module):
        def __init__(self):
            super().__init__()
            self.body = nn.Conv2d(3, 4, 1)
            self.out = nn.Conv2d(4, 2, 1)
            self.aux = nn.Conv2d(4, 2, 1)

        def forward(self, x):
            f = self.body(x)
            return {"out": self.out(f), "aux": self.aux(f)}

    model = Segmentation()
    layers = {n.layer for n in parse(model, image())}
    assert layers == {model.body, model.out, model.aux}


def test_weight_outside_consuming_operation(caplog):
    class PReLUs(nn.Module):
        def __init__(self):
            super().__init__()
            self.pre = nn.PReLU()
            self.conv = nn.Conv2d(3, 3, 1)
            self.post = nn.PReLU()

        def forward(self, x):
            return self.post(self.conv(self.pre(x)))

    model = PReLUs()
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        (conv,) = parse(model, image())
    # pre's weight binds the convolution first; its own weight comes later.
    assert conv.layer is model.conv
    assert [r.getMessage() for r in caplog.records] == [
        "Picked up a 'weight' node of torch layer PReLU(num_parameters=1) that is not consumed "
        "by a known operator"]


def test_traces_in_evaluation_mode_and_restores_every_module_mode(caplog):
    model = nn.Sequential(nn.Conv2d(3, 4, 1), nn.BatchNorm2d(4), nn.Dropout(0.5))
    model.train()
    model[1].eval()  # a frozen batch norm inside a training model
    model[1].running_mean.fill_(0.0)
    model[1].training = True
    before = model[1].running_mean.clone()
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        bn, conv = parse(model, image())
    assert (bn.layer, conv.layer) == (model[1], model[0])
    assert torch.equal(model[1].running_mean, before)  # no training-mode forward ran
    assert [m.training for m in model.modules()] == [True, True, True, True]
    assert caplog.records[0].getMessage() == "Parsing model torch graph"

    model[1].eval()
    parse(model, image())
    assert [m.training for m in model.modules()] == [True, True, False, True]


def test_wrong_input_shape(caplog):
    model = Residual()
    model.train()
    model.conv2.eval()
    wrong = image(channels=5)
    with pytest.raises(RuntimeError) as plain:
        model(wrong)
    with caplog.at_level(logging.INFO, logger=LOGGER), pytest.raises(GraphParsingError) as err:
        parse(model, wrong)
    assert str(err.value) == "Error was raised while parsing:\n" + str(plain.value)
    assert isinstance(err.value.__cause__, RuntimeError)
    assert [m.training for m in model.modules()] == [True, True, False]
    assert all(p.device.type == "cpu" for p in model.parameters())
    messages = [(r.levelname, r.getMessage()) for r in caplog.records]
    assert messages[0][0] == "INFO" and messages[0][1].startswith(
        "NOTE: Torch JIT Tracing Failed. Cannot perform Graph Parsing of the model. "
        "Check the I/O format here: https://pytorch.org/")
    assert messages[1] == ("WARNING", "torch.jit error " + str(plain.value))


def test_other_failures_are_wrapped_without_the_tracing_note(caplog):
    class Bad(nn.Module):
        def forward(self, x):
            raise ValueError("no forward here")

    with caplog.at_level(logging.INFO, logger=LOGGER), pytest.raises(GraphParsingError) as err:
        parse(Bad(), image())
    assert str(err.value) == "Error was raised while parsing:\nno forward here"
    assert not caplog.records


def test_moves_model_to_cpu_and_parses_through_the_core_entry():
    calls = []

    class Recording(nn.Conv2d):
        def cpu(self):
            calls.append("cpu")
            return super().cpu()

    conv = Recording(3, 3, 1)

    class Wrapper:
        native_model = conv

    (node,) = graph_bridge.TorchGraphParser().parse_model(Wrapper(), image())
    assert node.layer is conv and calls == ["cpu"]
    assert [n.layer for n in graph_bridge._parse_torch_v_1_4(conv, image())] == [conv]


def test_long_chain_of_convolutions_parses():
    depth = 10000
    chain = nn.Sequential(*[nn.Conv2d(1, 1, 1) for _ in range(depth)])
    nodes = parse(chain, torch.randn(1, 1, 1, 1))
    assert len(nodes) == depth
    assert nodes[0].layer is chain[depth - 1] and nodes[-1].layer is chain[0]
    assert all(a._inputs == [b] for a, b in zip(nodes, nodes[1:]))


def test_size_reading_reshapes_do_not_multiply_paths():
    model = ChannelShuffles(shuffles=40)
    last, first = parse(model, image(channels=4))
    assert (last.layer, first.layer) == (model.last, model.first)
    assert last._inputs == [first] and first._outputs == [last]
