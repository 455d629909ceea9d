"""TorchGraphParser on torchvision architectures, checked against what each model
is and against a plain recursive Python walk over the same trace."""
import sys

import pytest
import torch
import torch.nn as nn
import torchvision

from orrery.framework import graph_bridge
from orrery.framework.graph.graph import Node

CONSUMING = {"aten::addmm", "aten::matmul", "aten::_convolution", "aten::batch_norm",
             "aten::linear"}
FUNCTIONAL = {"aten::add_": "Add", "aten::add": "Add"}


def traced_graph(model, args):
    training = model.training
    model.eval()
    try:
        graph = torch.jit.trace(model, args, check_trace=False).graph
    finally:
        model.train(training)
    torch._C._jit_pass_inline(graph)
    return graph


def reference_walk(model, graph, mended):
    """The walk as a recursive Python function over core Nodes.

    `mended`: while a tracked node is on top of the stack, each transparent node
    is walked once and each edge recorded once. Without it every path is walked.
    """
    w_nodes_to_scope = {}
    for node in graph.nodes():
        if node.kind() == "prim::GetAttr" and node.s("name") == "weight":
            s, n = "", node
            while n.kind() != "prim::Param":
                s = n.s("name") + "." + s
                n = n.input().node()
            w_nodes_to_scope[node] = s[:-1]
    working, scopes, uniques, unconsumed = [], [], {}, []
    visited, seen_edges = [set()], [set()]

    def add_edge(producer):
        if mended:
            if producer.uid in seen_edges[-1]:
                return
            seen_edges[-1].add(producer.uid)
        working[-1].add_input(producer)

    def traverse(node):
        nk = node.kind()
        on_tape = False
        if nk in CONSUMING or nk in FUNCTIONAL:
            uid = node.output().unique()
            if uid in uniques:
                if working:
                    add_edge(uniques[uid])
                return
            new = Node(None if nk in CONSUMING else FUNCTIONAL[nk], uid)
            uniques[new.native_depth] = new
            if working:
                add_edge(new)
            working.append(new)
            visited.append(set())
            seen_edges.append(set())
            on_tape = True
            if nk in CONSUMING:
                scopes.append(new)
        elif node in w_nodes_to_scope:
            layer = model
            for name in w_nodes_to_scope[node].split(".")[:-1]:
                layer = getattr(layer, name)
            if scopes:
                scopes[-1].layer = layer
            else:
                unconsumed.append(layer)
        elif mended:
            if node in visited[-1]:
                return
            visited[-1].add(node)
        for value in node.inputs():
            traverse(value.node())
        if on_tape:
            assert working.pop() is new
            visited.pop()
            seen_edges.pop()
            if nk in CONSUMING:
                assert scopes.pop() is new

    for value in graph.outputs():
        traverse(value.node())
    nodes = [n for n in uniques.values()
             if not (n.layer in FUNCTIONAL.values() and not n._inputs and not n._outputs)]
    return nodes, unconsumed


def summary(nodes):
    """Everything observable of a node list, with nodes named by uid."""
    def layer(n):
        return n.layer if isinstance(n.layer, str) or n.layer is None else id(n.layer)
    return [(n.uid, layer(n), [i.uid for i in n._inputs], [o.uid for o in n._outputs])
            for n in nodes]


# model name: (convolutions, batch norms, linears, residual additions)
ARCHITECTURES = {
    "resnet18": (20, 20, 1, 8),
    "resnet50": (53, 53, 1, 16),
    "mobilenet_v2": (52, 52, 1, 10),
    "densenet121": (120, 121, 1, 0),
    "vgg11": (8, 0, 3, 0),
}


@pytest.fixture(scope="module", params=sorted(ARCHITECTURES))
def architecture(request):
    torch.manual_seed(0)
    model = getattr(torchvision.models, request.param)()
    size = 32 if request.param != "vgg11" else 224
    args = torch.randn(1, 3, size, size)
    return request.param, model, args, graph_bridge.TorchGraphParser()._parse(model, args)


def test_engine_walk_equals_the_python_walk(architecture):
    _, model, args, nodes = architecture
    graph = traced_graph(model, args)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 20000))
    try:
        mended, unconsumed = reference_walk(model, graph, mended=True)
        plain, _ = reference_walk(model, graph, mended=False)
    finally:
        sys.setrecursionlimit(limit)
    assert summary(nodes) == summary(mended)
    # On these architectures the mends change nothing.
    assert summary(plain) == summary(mended)
    assert unconsumed == []


def test_nodes_match_the_architecture(architecture):
    name, model, _, nodes = architecture
    convs, bns, linears, adds = ARCHITECTURES[name]
    by_type = {t: [n for n in nodes if isinstance(n.layer, t)]
               for t in (nn.Conv2d, nn.BatchNorm2d, nn.Linear)}
    assert len(by_type[nn.Conv2d]) == convs
    assert len(by_type[nn.BatchNorm2d]) == bns
    assert len(by_type[nn.Linear]) == linears
    # Every weighted module of the model appears once, bound to its own node.
    for kind, found in by_type.items():
        modules = [m for m in model.modules() if isinstance(m, kind)]
        assert sorted(map(id, modules)) == sorted(id(n.layer) for n in found)
    additions = [n for n in nodes if n.layer == "Add"]
    assert len(additions) == adds
    assert all(len(n._inputs) == 2 for n in additions)
    assert all(n.layer is not None for n in nodes)
    # The classifier is the first node met, walking back from the output.
    assert isinstance(nodes[0].layer, nn.Linear) and not nodes[0]._outputs
    assert len({n.uid for n in nodes}) == len(nodes)
    for node in nodes:
        for producer in node._inputs:
            assert node in producer._outputs


def test_resnet_additions_join_the_block_and_its_shortcut():
    torch.manual_seed(0)
    model = torchvision.models.resnet18()
    nodes = graph_bridge.TorchGraphParser()._parse(model, torch.randn(1, 3, 32, 32))
    by_layer = {id(n.layer): n for n in nodes if not isinstance(n.layer, str)}
    first_add = by_layer[id(model.layer1[0].bn2)]._outputs[0]
    assert first_add.layer == "Add"
    assert first_add._inputs == [by_layer[id(model.layer1[0].bn2)], by_layer[id(model.bn1)]]
    down_add = by_layer[id(model.layer2[0].bn2)]._outputs[0]
    assert down_add._inputs == [by_layer[id(model.layer2[0].bn2)],
                                by_layer[id(model.layer2[0].downsample[1])]]


class Shuffles(nn.Module):
    """Channel shuffles that read sizes, a PReLU reading its weight outside any
    consuming operation, a reused value and a tuple output."""

    def __init__(self, shuffles):
        super().__init__()
        self.first = nn.Conv2d(4, 4, 1)
        self.last = nn.Conv2d(4, 4, 1)
        self.act = nn.PReLU()
        self.shuffles = shuffles

    def forward(self, x):
        x = self.first(self.act(x))
        for _ in range(self.shuffles):
            b, c, h, w = x.size()
            x = x.view(b, 2, c // 2, h, w).transpose(1, 2).contiguous().view(b, -1, h, w)
        y = self.last(x)
        return self.act(y + y), x + y


def test_mends_on_a_model_where_they_matter(caplog):
    torch.manual_seed(0)
    model = Shuffles(shuffles=3)
    args = torch.randn(1, 4, 6, 6)
    with caplog.at_level("WARNING", logger="orrery.framework.graph_bridge"):
        nodes = graph_bridge.TorchGraphParser()._parse(model, args)
    graph = traced_graph(model, args)
    mended, unconsumed = reference_walk(model, graph, mended=True)
    assert summary(nodes) == summary(mended)
    assert [r.getMessage() for r in caplog.records] == [
        "Picked up a 'weight' node of torch layer {} that is not consumed".format(layer)
        + " by a known operator" for layer in unconsumed]
    assert unconsumed == [model.act]
    # Walking every path, the last convolution gets its input hundreds of times.
    plain, _ = reference_walk(model, graph, mended=False)
    last, first = (next(n for n in plain if n.layer is m) for m in (model.last, model.first))
    assert len(last._inputs) > 100 and set(last._inputs) == {first}
    assert [n.layer for n in nodes] == ["Add", model.last, model.first, "Add"]
    assert nodes[1]._inputs == [nodes[2]]
