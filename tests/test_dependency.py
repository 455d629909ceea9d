"""torch_surgery.dependency on small models that isolate one coupling each."""
import pytest
import torch
import torch.nn.utils.prune
from torch import nn

from torch_surgery import dependency as tp
from torch_surgery import structured as S
from test_dependency_oracle import check_plan


def graph_of(model, *shape, eval_mode=True):
    x = torch.randn(*shape)
    graph = tp.DependencyGraph()
    graph.build_dependency(model.eval() if eval_mode else model, example_inputs=x)
    return graph, x


def steps(plan):
    return [(dep.handler.__name__ if dep.handler else None, dep.broken_node.name, idxs)
            for dep, idxs in plan.plan]


class SqueezeExcite(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 8, 3, padding=1)
        self.fc1 = nn.Conv2d(8, 4, 1)
        self.fc2 = nn.Conv2d(4, 8, 1)
        self.prelu = nn.PReLU(8)
        self.out = nn.Conv2d(8, 2, 1)

    def forward(self, x):
        x = self.conv(x)
        s = torch.sigmoid(self.fc2(torch.relu(self.fc1(x.mean((2, 3), keepdim=True)))))
        return self.out(self.prelu(x * s))


class Inception(nn.Module):
    def __init__(self):
        super().__init__()
        self.a = nn.Conv2d(3, 4, 1)
        self.b = nn.Conv2d(3, 6, 1)
        self.bn = nn.BatchNorm2d(10)
        self.dw = nn.Conv2d(10, 10, 3, padding=1, groups=10)
        self.up = nn.ConvTranspose2d(10, 5, 2, stride=2)
        self.head = nn.Conv2d(5, 3, 1)

    def forward(self, x):
        y = torch.cat([self.a(x), self.b(x)], dim=1)
        y = nn.functional.pad(self.dw(torch.relu(self.bn(y))), (1, 1, 1, 1))
        return self.head(self.up(y) * 0.5)


def test_squeeze_excite_multiply_couples_the_excitation_conv():
    torch.manual_seed(0)
    model = SqueezeExcite()
    graph, x = graph_of(model, 2, 3, 6, 6)
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[1, 6])
    found = {(fn, name) for fn, name, _ in steps(plan)}
    assert {("prune_conv", "conv"), ("prune_related_conv", "fc1"), ("prune_conv", "fc2"),
            ("prune_prelu", "prelu"), ("prune_related_conv", "out")} <= found
    check_plan(model, x, plan)
    assert model.prelu.num_parameters == 6


def test_concat_offsets_depthwise_and_transposed_convolutions():
    torch.manual_seed(0)
    model = Inception()
    graph, x = graph_of(model, 1, 3, 5, 5)
    plan = graph.get_pruning_plan(model.b, S.prune_conv, idxs=[0, 5])
    assert ("prune_batchnorm", "bn", [4, 9]) in steps(plan)
    assert ("prune_group_conv", "dw", [4, 9]) in steps(plan)
    assert ("prune_related_conv", "up", [4, 9]) in steps(plan)
    check_plan(model, x, plan)
    # The transposed convolution's outputs, and a depthwise origin, prune as well.
    check_plan(model, x, graph.get_pruning_plan(model.up, S.prune_conv, idxs=[0]))
    plan = graph.get_pruning_plan(model.dw, S.prune_conv, idxs=[0])
    assert steps(plan)[0][0] == "prune_group_conv"
    assert ("prune_conv", "a", [0]) in steps(plan)
    check_plan(model, x, plan)
    assert (model.a.out_channels, model.b.out_channels, model.dw.groups) == (3, 4, 7)


def test_exec_restores_every_touched_module_when_a_step_fails(monkeypatch):
    model = Inception()
    graph, x = graph_of(model, 1, 3, 5, 5)
    plan = graph.get_pruning_plan(model.a, S.prune_conv, idxs=[1])
    before = {k: v.clone() for k, v in model.state_dict().items()}
    params = [id(p) for p in model.parameters()]

    def failing(module, idxs):
        raise RuntimeError("late failure")

    for i, (dep, _) in enumerate(plan.plan):
        if dep.handler is S.prune_related_conv:
            dep.handler = failing
            assert i > 2  # earlier steps did change modules
    with pytest.raises(RuntimeError, match="late failure"):
        plan.exec()
    assert [id(p) for p in model.parameters()] == params
    assert (model.a.out_channels, model.bn.num_features, model.dw.groups) == (4, 10, 10)
    for key, value in model.state_dict().items():
        assert torch.equal(value, before[key]), key
    model(x)


@pytest.mark.parametrize("model, shape, target, reason", [
    (nn.Sequential(nn.Conv2d(3, 8, 1), nn.Conv2d(8, 8, 1, groups=4)), (1, 3, 4, 4), 0,
     "grouped convolution '1' (groups=4)"),
    (nn.Sequential(nn.Conv2d(3, 8, 1), nn.Softmax(dim=1)), (1, 3, 4, 4), 0, "mixes the channels"),
    (nn.Sequential(nn.Conv2d(3, 8, 1), nn.Flatten(0)), (1, 3, 4, 4), 0, "reshapes"),
])
def test_couplings_that_cannot_be_followed_refuse_the_whole_plan(model, shape, target, reason):
    graph, x = graph_of(model, *shape)
    plan = graph.get_pruning_plan(model[target], S.prune_conv, idxs=[0])
    assert any(dep.reason and reason in dep.reason for dep, _ in plan.plan), str(plan)
    with pytest.raises(ValueError, match="cannot be executed"):
        plan.exec()
    assert model[0].out_channels == 8


def test_model_outputs_keep_their_channels():
    model = nn.Sequential(nn.Conv2d(3, 8, 1), nn.ReLU(), nn.Conv2d(8, 4, 1))
    graph, _ = graph_of(model, 1, 3, 4, 4)
    plan = graph.get_pruning_plan(model[2], S.prune_conv, idxs=[0])
    assert any(dep.reason and "model's output" in dep.reason for dep, _ in plan.plan)


def test_input_channels_of_the_first_layer_reach_the_model_input():
    model = nn.Sequential(nn.Conv2d(3, 8, 1))
    graph, _ = graph_of(model, 1, 3, 4, 4)
    plan = graph.get_pruning_plan(model[0], S.prune_related_conv, idxs=[0])
    assert any(dep.reason and "model input" in dep.reason for dep, _ in plan.plan)


def test_bad_requests_are_refused_clearly():
    model = nn.Sequential(nn.Conv2d(3, 8, 1), nn.BatchNorm2d(8))
    with pytest.raises(RuntimeError, match="build_dependency"):
        tp.DependencyGraph().get_pruning_plan(model[0], S.prune_conv, idxs=[0])
    model.train()
    stats = model[1].running_mean.clone()
    graph, _ = graph_of(model.train(), 2, 3, 4, 4, eval_mode=False)
    assert model.training and model[1].training
    assert torch.equal(model[1].running_mean, stats)  # tracing does not train
    with pytest.raises(ValueError, match="prune_linear does not apply to '0'"):
        graph.get_pruning_plan(model[0], S.prune_linear, idxs=[0])
    with pytest.raises(ValueError, match="out of range"):
        graph.get_pruning_plan(model[0], S.prune_conv, idxs=[8])
    with pytest.raises(ValueError, match="not part of the model"):
        graph.get_pruning_plan(nn.Conv2d(3, 8, 1), S.prune_conv, idxs=[0])
    with pytest.raises(TypeError, match="prune_fn"):
        graph.get_pruning_plan(model[0], print, idxs=[0])


def test_plan_text_names_the_function_and_the_module():
    model = nn.Sequential(nn.Conv2d(3, 8, 1), nn.Conv2d(8, 2, 1))
    graph, _ = graph_of(model, 1, 3, 4, 4)
    plan = graph.get_pruning_plan(model[0], S.prune_conv, idxs=[0])
    first, second = (str(dep) for dep, _ in plan.plan)
    assert "prune_conv" in first and "Conv2d(3, 8" in first and "prune_related_conv" not in first
    assert "prune_related_conv" in second and "Conv2d(8, 2" in second


def test_the_graph_prints_its_modules_and_operations():
    assert repr(tp.DependencyGraph()) == "<DependencyGraph: empty>"
    with pytest.raises(RuntimeError, match="build_dependency"):
        tp.DependencyGraph().dump()
    model = nn.Sequential(nn.Conv2d(3, 8, 1), nn.Flatten(), nn.Linear(8 * 4 * 4, 2))
    graph, _ = graph_of(model, 1, 3, 4, 4)
    assert repr(graph).startswith("<DependencyGraph: 2 modules, 1 view ops")
    text = graph.dump()
    assert "conv '0'" in text and "linear '2'" in text and "aten::flatten block=16" in text


def test_a_plan_runs_once_and_only_against_the_sizes_it_was_made_for():
    model = nn.Sequential(nn.Conv2d(3, 8, 1), nn.BatchNorm2d(8), nn.Conv2d(8, 2, 1))
    graph, x = graph_of(model, 1, 3, 4, 4)
    stale = graph.get_pruning_plan(model[0], S.prune_conv, idxs=[7])
    plan = graph.get_pruning_plan(model[0], S.prune_conv, idxs=[0])
    plan.exec()
    for again in (plan, stale):
        with pytest.raises(ValueError, match="changed since this pruning plan was made"):
            again.exec()
    assert model[0].out_channels == 7
    model(x)


class Twice(nn.Module):
    """One block applied twice, and one activation module shared by both calls."""

    def __init__(self):
        super().__init__()
        self.stem = nn.Conv2d(3, 8, 3, padding=1)
        self.block = nn.Conv2d(8, 8, 3, padding=1)
        self.bn = nn.BatchNorm2d(8)
        self.head = nn.Conv2d(8, 2, 1)

    def forward(self, x):
        return self.head(self.bn(self.block(torch.relu(self.bn(self.block(self.stem(x)))))))


class Tied(nn.Module):
    def __init__(self):
        super().__init__()
        self.a = nn.Conv2d(3, 8, 1)
        self.b = nn.Conv2d(3, 8, 1)
        self.b.weight = self.a.weight
        self.head = nn.Conv2d(16, 2, 1)

    def forward(self, x):
        return self.head(torch.cat([self.a(x), self.b(x)], 1))


class Branchy(nn.Module):
    """A branch the example inputs do not take, and a weight-standardised convolution."""

    def __init__(self, standardise=False):
        super().__init__()
        self.a = nn.Conv2d(3, 8, 3)
        self.side = nn.Conv2d(8, 4, 1)
        self.b = nn.Conv2d(8, 4, 3)
        self.standardise = standardise
        self.take_side = False

    def forward(self, x):
        y = self.a(x)
        if self.take_side:
            return self.side(y)
        w = self.b.weight
        if self.standardise:
            w = (w - w.mean(dim=[-3, -2, -1], keepdim=True)) / (w.std(dim=[-3, -2, -1], keepdim=True) + 1e-5)
        return nn.functional.conv2d(torch.relu(y), w, self.b.bias)


def test_a_module_called_twice_loses_the_same_channels_at_every_call():
    torch.manual_seed(0)
    model = Twice()
    graph, x = graph_of(model, 2, 3, 6, 6)
    plan = graph.get_pruning_plan(model.stem, S.prune_conv, idxs=[1, 5])
    check_plan(model, x, plan)
    assert (model.block.in_channels, model.block.out_channels, model.bn.num_features) == (6, 6, 6)


class OwnConv(nn.Module):
    """Not a Conv2d, but runs conv2d on a parameter of its own."""

    def __init__(self):
        super().__init__()
        self.w = nn.Parameter(torch.randn(4, 8, 1, 1))

    def forward(self, x):
        return nn.functional.conv2d(x, self.w)


@pytest.mark.parametrize("make, origin, reason", [
    (Tied, "a", "tied weights"),
    (Branchy, "a", "'side'"),
    (lambda: Branchy(standardise=True), "a", "'b'"),
    (lambda: nn.Sequential(nn.Conv2d(3, 8, 1), OwnConv()), "0", "'1' (OwnConv) runs a convolution"),
])
def test_couplings_the_trace_cannot_show_are_refused_before_any_change(make, origin, reason):
    torch.manual_seed(0)
    model = make()
    graph, x = graph_of(model, 1, 3, 8, 8)
    before = {k: v.clone() for k, v in model.state_dict().items()}
    plan = graph.get_pruning_plan(getattr(model, origin), S.prune_conv, idxs=[0])
    assert any(reason in (dep.reason or "") for dep, _ in plan.plan)
    with pytest.raises(ValueError, match="cannot be executed"):
        plan.exec()
    assert all(torch.equal(v, before[k]) for k, v in model.state_dict().items())
    if isinstance(model, Branchy):
        model.take_side = True
        model(x)


class DictOutput(nn.Module):
    """A segmentation-style head: the result is a dict of tensors."""

    def __init__(self):
        super().__init__()
        self.body = nn.Conv2d(3, 8, 3, padding=1)
        self.out = nn.Conv2d(8, 2, 1)
        self.aux = nn.Conv2d(8, 2, 1)

    def forward(self, x):
        f = torch.relu(self.body(x))
        return {"out": self.out(f), "aux": self.aux(f)}


def test_models_returning_dicts_prune_and_keep_their_outputs():
    model = DictOutput()
    graph, x = graph_of(model, 1, 3, 6, 6)
    refused = graph.get_pruning_plan(model.out, S.prune_conv, idxs=[0])
    assert any(dep.reason and "model's output" in dep.reason for dep, _ in refused.plan)
    plan = graph.get_pruning_plan(model.body, S.prune_conv, idxs=[1, 6])
    assert ("prune_related_conv", "aux", [1, 6]) in steps(plan)
    check_plan(model, x, plan)
    assert model.out.in_channels == model.aux.in_channels == 6


class Gated(nn.Module):
    """Two halves of one convolution's output, one gating the other."""

    def __init__(self, pieces=2, width=8):
        super().__init__()
        self.pieces = pieces
        self.conv = nn.Conv2d(3, width, 1)
        self.bn = nn.BatchNorm2d(width)
        self.out = nn.Conv2d(width // pieces, 3, 1)

    def forward(self, x):
        a, b = torch.chunk(self.bn(self.conv(x)), self.pieces, dim=1)
        return self.out(a * torch.sigmoid(b))


def test_chunk_pieces_lose_the_same_positions():
    model = Gated()
    graph, x = graph_of(model, 1, 3, 4, 4)
    # A channel of either half takes its partner in the other half along.
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[1])
    assert ("prune_conv", "conv", [1, 5]) in steps(plan)
    check_plan(model, x, plan)
    plan = graph.get_pruning_plan(model.out, S.prune_related_conv, idxs=[2])
    assert ("prune_batchnorm", "bn", [2, 5]) in steps(plan)
    check_plan(model, x, plan)
    assert model.conv.out_channels == 4 and model.out.in_channels == 2
    # Both halves of one position would empty the consumer: refused.
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[0, 3])
    with pytest.raises(ValueError, match="cannot be executed"):
        plan.exec()
    assert model.conv.out_channels == 4


class SplitBySizes(nn.Module):
    def __init__(self, uneven_chunk=False):
        super().__init__()
        self.uneven_chunk = uneven_chunk
        self.conv = nn.Conv2d(3, 7, 1)
        self.a = nn.Conv2d(4, 2, 1)
        self.b = nn.Conv2d(3, 2, 1)

    def forward(self, x):
        y = self.conv(x)
        a, b = torch.chunk(y, 2, dim=1) if self.uneven_chunk else torch.split(y, [4, 3], dim=1)
        return self.a(a) + self.b(b)


@pytest.mark.parametrize("uneven_chunk", [False, True], ids=["split_sizes", "uneven_chunk"])
def test_pieces_of_sizes_fixed_in_code_refuse_any_change(uneven_chunk):
    model = SplitBySizes(uneven_chunk)
    graph, x = graph_of(model, 1, 3, 4, 4)
    for module, fn, idxs in ((model.conv, S.prune_conv, [0]), (model.b, S.prune_related_conv, [2])):
        plan = graph.get_pruning_plan(module, fn, idxs=idxs)
        assert any(dep.reason and "sizes fixed in the model's code" in dep.reason
                   for dep, _ in plan.plan), str(plan)
        with pytest.raises(ValueError, match="cannot be executed"):
            plan.exec()
    assert (model.conv.out_channels, model.a.in_channels, model.b.in_channels) == (7, 4, 3)
    model(x)


class ResNeXtBlock(nn.Module):
    def __init__(self):
        super().__init__()
        self.reduce = nn.Conv2d(3, 8, 1)
        self.grouped = nn.Conv2d(8, 12, 3, padding=1, groups=4)
        self.bn = nn.BatchNorm2d(12)
        self.expand = nn.Conv2d(12, 5, 1)

    def forward(self, x):
        return self.expand(torch.relu(self.bn(self.grouped(torch.relu(self.reduce(x))))))


def test_grouped_convolutions_lose_as_many_channels_in_every_group():
    model = ResNeXtBlock()
    graph, x = graph_of(model, 1, 3, 5, 5)
    # Unequal groups are refused, naming what to do.
    before = {k: v.clone() for k, v in model.state_dict().items()}
    for module, idxs in ((model.reduce, [0, 1]), (model.grouped, [0])):
        plan = graph.get_pruning_plan(module, S.prune_conv, idxs=idxs)
        with pytest.raises(ValueError, match="same number of channels from every group"):
            plan.exec()
    assert all(torch.equal(v, model.state_dict()[k]) for k, v in before.items())
    # Inputs: one of the two of every group, at any position inside it.
    plan = graph.get_pruning_plan(model.reduce, S.prune_conv, idxs=[0, 3, 4, 7])
    assert ("prune_related_conv", "grouped", [0, 3, 4, 7]) in steps(plan)
    check_plan(model, x, plan)
    assert (model.grouped.in_channels, model.grouped.groups) == (4, 4)
    # Outputs: one of the three of every group; the inputs stay as they are.
    plan = graph.get_pruning_plan(model.grouped, S.prune_conv, idxs=[2, 3, 7, 11])
    assert ("prune_related_conv", "expand", [2, 3, 7, 11]) in steps(plan)
    check_plan(model, x, plan)
    assert (model.grouped.out_channels, model.bn.num_features, model.expand.in_channels) == (8, 8, 8)
    # Every group now reads one input: the convolution is depthwise with two outputs per
    # group, so an output that would leave the groups unequal takes its whole group.
    plan = graph.get_pruning_plan(model.grouped, S.prune_conv, idxs=[0])
    assert ("prune_group_conv", "grouped", [0]) in steps(plan)
    assert ("prune_conv", "reduce", [0]) in steps(plan)
    check_plan(model, x, plan)
    assert (model.grouped.in_channels, model.grouped.out_channels, model.grouped.groups) == (3, 6, 3)


class ChannelsLast(nn.Module):
    """A ConvNeXt-style block: the channels move last for a layer norm and two
    linear layers, come back through two transposes, and meet a layer scale,
    a bias added by hand and a per-channel buffer."""

    def __init__(self, dim=8):
        super().__init__()
        self.stem = nn.Conv2d(3, dim, 1)
        self.dw = nn.Conv2d(dim, dim, 3, padding=1, groups=dim)
        self.norm = nn.LayerNorm(dim)
        self.up = nn.Linear(dim, 2 * dim)
        self.down = nn.Linear(2 * dim, dim)
        self.gamma = nn.Parameter(torch.rand(dim, 1, 1) + 0.5)
        self.shift = nn.Parameter(torch.randn(1, dim, 1, 1))
        self.register_buffer("scale", torch.rand(dim) + 0.5)
        self.head = nn.Conv2d(dim, 2, 1)

    def forward(self, x):
        x = self.stem(x)
        y = self.dw(x).permute(0, 2, 3, 1)
        y = self.down(nn.functional.gelu(self.up(self.norm(y)))) * self.scale
        y = y.transpose(1, 3).transpose(2, 3)
        return self.head(x + self.gamma * y + self.shift)


def test_channels_last_blocks_prune_norms_linears_and_per_channel_tensors():
    torch.manual_seed(0)
    model = ChannelsLast()
    graph, x = graph_of(model, 2, 3, 5, 5)
    plan = graph.get_pruning_plan(model.stem, S.prune_conv, idxs=[1, 6])
    assert sorted(steps(plan)) == sorted([
        ("prune_conv", "stem", [1, 6]), ("prune_group_conv", "dw", [1, 6]),
        ("prune_layernorm", "norm", [1, 6]), ("prune_related_linear", "up", [1, 6]),
        ("prune_linear", "down", [1, 6]), ("prune_parameter", "scale", [1, 6]),
        ("prune_parameter", "gamma", [1, 6]), ("prune_parameter", "shift", [1, 6]),
        ("prune_related_conv", "head", [1, 6])])
    check_plan(model, x, plan)
    assert (model.gamma.shape, model.shift.shape, model.scale.shape) == ((6, 1, 1), (1, 6, 1, 1), (6,))
    assert "scale" in dict(model.named_buffers()) and model.norm.normalized_shape == (6,)
    # The hidden width of the channels-last pair, on the same cached graph.
    check_plan(model, x, graph.get_pruning_plan(model.up, S.prune_linear, idxs=[0, 15]))
    assert (model.up.out_features, model.down.in_features) == (14, 14)


class Fn(nn.Module):
    def __init__(self, fn, **modules):
        super().__init__()
        self.fn = fn
        for name, module in modules.items():
            setattr(self, name, module)

    def forward(self, x):
        return self.fn(self, x)


@pytest.mark.parametrize("fn, modules, reason", [
    (lambda m, x: m.norm(m.conv(x)), {"norm": nn.LayerNorm([8, 4, 4])},
     "normalises the channels together with other dimensions"),
    (lambda m, x: nn.functional.layer_norm(m.conv(x).permute(0, 2, 3, 1), (8,)), {},
     "without the per-channel weights"),
    (lambda m, x: m.norm(m.conv(x).permute(0, 2, 3, 1)) * m.norm.weight, {"norm": nn.LayerNorm(8)},
     "belongs to a layer"),
    (lambda m, x: m.conv(x) * m.g + (m.conv(x).mean((2, 3), True).permute(0, 2, 1, 3) + m.g).sum(),
     {"g": nn.Parameter(torch.ones(8, 1, 1))},
     "also used where it broadcasts"),
], ids=["norm_over_channels_and_space", "norm_without_weights", "layer_weight_used_outside",
        "tensor_broadcast_elsewhere"])
def test_per_channel_tensors_that_cannot_follow_refuse_the_plan(fn, modules, reason):
    model = Fn(fn, conv=nn.Conv2d(3, 8, 1), **{k: v for k, v in modules.items() if isinstance(v, nn.Module)})
    for name, value in modules.items():
        if isinstance(value, nn.Parameter):
            model.register_parameter(name, value)
    graph, x = graph_of(model, 1, 3, 4, 4)
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[0])
    assert any(dep.reason and reason in dep.reason for dep, _ in plan.plan), str(plan)
    with pytest.raises(ValueError, match="cannot be executed"):
        plan.exec()
    assert model.conv.out_channels == 8


def shuffle(x, groups=2):
    n, c, h, w = x.size()
    return x.view(n, groups, c // groups, h, w).transpose(1, 2).contiguous().view(n, -1, h, w)


@pytest.mark.parametrize("fn, reason", [
    (lambda m, x: m.head(shuffle(m.conv(x))), None),
    (lambda m, x: m.head(m.conv(x).view(1, 2, 4, 4, 4).transpose(1, 2).reshape(1, 8, 4, 4)),
     "group sizes are fixed in the model's code"),
    (lambda m, x: m.head(m.conv(x).view(1, 8, 16).view(1, 8, 4, 4)), "channel size fixed in the model's code"),
], ids=["shuffle", "shuffle_of_fixed_sizes", "view_to_fixed_sizes"])
def test_channel_shuffles_interleave_and_fixed_sizes_refuse(fn, reason):
    torch.manual_seed(0)
    model = Fn(fn, conv=nn.Conv2d(3, 8, 1), head=nn.Conv2d(8, 2, 1))
    graph, x = graph_of(model, 1, 3, 4, 4)
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[1])
    if reason is not None:
        assert any(dep.reason and reason in dep.reason for dep, _ in plan.plan), str(plan)
        return
    # Channel 1 is column 1 of the first group: column 1 of the second group
    # (channel 5) goes with it, and after the shuffle they sit at 2 and 3.
    assert steps(plan) == [("prune_conv", "conv", [1, 5]), ("prune_related_conv", "head", [2, 3])]
    check_plan(model, x, plan)
    check_plan(model, x, graph.get_pruning_plan(model.head, S.prune_related_conv, idxs=[0]))
    assert (model.conv.out_channels, model.head.in_channels) == (4, 4)


class AudioFrontEnd(nn.Module):
    """Conv1d + BatchNorm1d + GroupNorm over time, pooled into a classifier."""

    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv1d(1, 8, 5, padding=2)
        self.bn1 = nn.BatchNorm1d(8)
        self.conv2 = nn.Conv1d(8, 12, 3, padding=1)
        self.gn = nn.GroupNorm(3, 12)
        self.fc = nn.Linear(12, 4)

    def forward(self, x):
        x = torch.relu(self.bn1(self.conv1(x)))
        x = torch.relu(self.gn(self.conv2(x)))
        return self.fc(x.mean(2))


def audio_front_end():
    torch.manual_seed(0)
    model = AudioFrontEnd()
    with torch.no_grad():
        model.bn1.running_mean.uniform_(-1, 1)
        nn.init.uniform_(model.gn.weight, 0.5, 1.5)
        nn.init.uniform_(model.gn.bias, -0.5, 0.5)
    return model


@pytest.mark.parametrize("origin, fn, idxs, groups_after", [
    ("conv2", S.prune_conv, [1, 5, 9], 3),            # one channel from each group of 4
    ("conv2", S.prune_conv, [4, 5, 6, 7], 2),         # the whole middle group
    ("gn", S.prune_groupnorm, [0, 1, 4, 5, 8, 9], 3),  # a plan may start from the group norm
])
def test_group_norms_lose_channels_evenly_or_whole_groups(origin, fn, idxs, groups_after):
    model = audio_front_end()
    graph, x = graph_of(model, 2, 1, 16)
    plan = graph.get_pruning_plan(getattr(model, origin), fn, idxs=idxs)
    assert ("prune_groupnorm", "gn", idxs) in steps(plan)
    assert ("prune_related_linear", "fc", idxs) in steps(plan)
    check_plan(model, x, plan)
    assert (model.gn.num_channels, model.gn.num_groups) == (12 - len(idxs), groups_after)


def test_a_plan_leaving_group_norm_groups_unequal_is_refused():
    model = audio_front_end()
    graph, x = graph_of(model, 2, 1, 16)
    before = {k: v.clone() for k, v in model.state_dict().items()}
    plan = graph.get_pruning_plan(model.conv2, S.prune_conv, idxs=[0, 1, 5])
    (reason,) = [dep.reason for dep, _ in plan.plan if dep.reason]
    assert reason.startswith("group norm 'gn' (num_groups=3) would lose 2 output channels from group 0 "
                             "but 0 from group 2")
    with pytest.raises(ValueError, match="cannot be executed"):
        plan.exec()
    assert all(torch.equal(v, model.state_dict()[k]) for k, v in before.items())
    with pytest.raises(ValueError, match="every group, or whole groups"):
        S.prune_groupnorm(model.gn, [0, 1, 5])
    assert model.gn.num_channels == 12


def test_one_dimensional_plans_follow_batch_norms_into_the_classifier():
    model = audio_front_end()
    graph, x = graph_of(model, 2, 1, 16)
    plan = graph.get_pruning_plan(model.bn1, S.prune_batchnorm, idxs=[2, 7])
    assert steps(plan) == [("prune_batchnorm", "bn1", [2, 7]), ("prune_conv", "conv1", [2, 7]),
                           ("prune_related_conv", "conv2", [2, 7])]
    check_plan(model, x, plan)


class TiedPair(nn.Module):
    def __init__(self):
        super().__init__()
        self.a = nn.Conv2d(3, 16, 3, padding=1)
        self.b = nn.Conv2d(3, 16, 3, padding=1)
        self.b.weight = self.a.weight
        self.c = nn.Conv2d(16, 4, 1)

    def forward(self, x):
        return self.c(self.a(x) + self.b(x))


class TiedEmbedding(nn.Module):
    def __init__(self):
        super().__init__()
        self.emb = nn.Embedding(10, 8)
        self.fc = nn.Linear(8, 10)
        self.fc.weight = self.emb.weight

    def forward(self, tokens):
        return self.fc(self.emb(tokens).mean(1))


class StandardisedConv(nn.Conv2d):
    def forward(self, x):
        w = self.weight
        w = (w - w.mean((1, 2, 3), keepdim=True)) / (w.std((1, 2, 3), keepdim=True) + 1e-5)
        return nn.functional.conv2d(x, w, self.bias, self.stride, self.padding)


@torch.jit.script
def rotate_channels(y):
    if y.shape[1] > 4:
        return torch.cat([y[:, 4:], y[:, :4]], 1)
    return y


class Pair(nn.Module):
    """a -> b, with a's output passed through `middle`."""

    def __init__(self, first=None, middle=None, autocast=False):
        super().__init__()
        self.a = first or nn.Conv2d(3, 16, 3, padding=1)
        self.b = nn.Conv2d(16, 4, 1)
        self.middle = middle
        self.autocast = autocast

    def forward(self, x):
        with torch.autocast("cpu", enabled=self.autocast):
            y = self.a(x)
        y = y.float()
        return self.b(self.middle(y) if self.middle else y)


def with_hook(hook):
    model = Pair()
    hook(model.a)
    return model


@pytest.mark.parametrize("make, origin, fn, reason", [
    (TiedPair, "b", S.prune_conv, "'b' (Conv2d) shares its parameter 'weight' with 'a' (tied weights)"),
    (TiedEmbedding, "fc", S.prune_linear, "shares its parameter 'weight' with 'emb' (tied weights)"),
    (lambda: Pair(StandardisedConv(3, 16, 3, padding=1)), "a", S.prune_conv,
     "(StandardisedConv) runs in the trace, but not as a layer"),
    (lambda: Pair(middle=rotate_channels), "a", S.prune_conv, "control flow in a scripted function"),
    (lambda: with_hook(nn.utils.spectral_norm), "a", S.prune_conv, "spectral_norm or torch.nn.utils.prune"),
    (lambda: with_hook(lambda m: torch.nn.utils.prune.l1_unstructured(m, "weight", 0.3)), "a", S.prune_conv,
     "spectral_norm or torch.nn.utils.prune"),
])
def test_modules_the_trace_does_not_show_as_layers_never_prune_alone(make, origin, fn, reason):
    torch.manual_seed(0)
    model = make().eval()
    x = torch.randint(0, 10, (2, 5)) if isinstance(model, TiedEmbedding) else torch.randn(1, 3, 8, 8)
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    before = {k: v.clone() for k, v in model.state_dict().items()}
    with torch.no_grad():
        expected = model(x)
    plan = graph.get_pruning_plan(getattr(model, origin), fn, idxs=[0])
    reasons = [dep.reason for dep, _ in plan.plan if dep.reason]
    assert any(reason in r for r in reasons), reasons
    with pytest.raises(ValueError, match="cannot be executed"):
        plan.exec()
    assert all(torch.equal(v, model.state_dict()[k]) for k, v in before.items())
    with torch.no_grad():
        torch.testing.assert_close(model(x), expected)


def test_autocast_regions_are_followed_like_the_layers_they_run():
    torch.manual_seed(0)
    model = Pair(autocast=True)
    graph, x = graph_of(model, 1, 3, 8, 8)
    plan = graph.get_pruning_plan(model.a, S.prune_conv, idxs=[0, 5])
    assert steps(plan) == [("prune_conv", "a", [0, 5]), ("prune_related_conv", "b", [0, 5])]
    check_plan(model, x, plan)



PYBIND_DUMPS = ("incompatible function arguments", "Unable to cast", "Invoked with")


def convs():
    return nn.Sequential(nn.Conv2d(3, 8, 1), nn.ReLU(), nn.Conv2d(8, 4, 1)), (1, 3, 4, 4)


def linears():
    return nn.Sequential(nn.Linear(4, 6), nn.ReLU(), nn.Linear(6, 3)), (2, 4)


def set_attr(index, **attrs):
    def prepare(model):
        for name, value in attrs.items():
            setattr(model[index], name, value)
    return prepare


def quantize_last(model):
    model[2] = torch.ao.nn.quantized.dynamic.Linear(6, 3)


def model_state(model):
    return repr(model), {k: v.clone() for k, v in model.state_dict().items() if isinstance(v, torch.Tensor)}


@pytest.mark.parametrize("make, prepare, call, error, message", [
    (convs, None, lambda g, m: g.get_pruning_plan(m[0], S.prune_conv, [2 ** 63]), ValueError, "far beyond"),
    (convs, None, lambda g, m: g.get_pruning_plan(m[0], S.prune_conv, [-2 ** 70]), ValueError, "far beyond"),
    (convs, None, lambda g, m: g.get_pruning_plan(m[0], S.prune_conv), TypeError,
     r"get_pruning_plan\(\) missing 1 required positional argument: 'idxs'"),
    (convs, None, lambda g, m: g.get_pruning_plan(m[0], S.prune_conv, [0], idxs=[1]), TypeError,
     "multiple values for argument 'idxs'"),
    (convs, None, lambda g, m: g.get_pruning_plan(m[0], S.prune_conv, [0]).plan[0][0](), TypeError,
     "missing 1 required positional argument: 'idxs'"),
    (convs, set_attr(2, in_channels=8.0), lambda g, m: g.get_pruning_plan(m[0], S.prune_conv, [0]),
     TypeError, "Conv2d.in_channels must be an int, got 8.0"),
    (convs, set_attr(2, weight=None), lambda g, m: g.get_pruning_plan(m[0], S.prune_conv, [0]).exec(),
     TypeError, "weight is None, not a tensor"),
    (linears, quantize_last, lambda g, m: g.get_pruning_plan(m[0], S.prune_linear, [0]).exec(),
     (TypeError, ValueError), "."),
    (linears, quantize_last, lambda g, m: g.get_pruning_plan(m[2], S.prune_linear, [0]).exec(),
     (TypeError, ValueError), "."),
])
def test_bad_requests_and_broken_layers_get_a_plain_error_and_change_nothing(make, prepare, call, error,
                                                                              message):
    model, shape = make()
    graph, _ = graph_of(model, *shape)
    if prepare is not None:
        prepare(model)
    before = model_state(model)
    with pytest.raises(error, match=message) as err:
        call(graph, model)
    assert not any(dump in str(err.value) for dump in PYBIND_DUMPS)
    after = model_state(model)
    assert after[0] == before[0] and after[1].keys() == before[1].keys()
    assert all(torch.equal(after[1][k], before[1][k]) for k in before[1])
