"""Whole-model plans through depthwise convolutions with a channel multiplier,
grouped transposed convolutions and instance norms, on small models shaped
like the networks that use them. Every plan from every prunable layer either
computes what the original computes with the removed channels zeroed (the
oracle), or is refused with the model exactly as it was.
"""
import copy

import pytest
import torch
from torch import nn

from orrery.framework import surgeon_bridge
from orrery.framework.surgeon_bridge import TorchGraphSurgeon
from torch_surgery import dependency as tp
from torch_surgery import structured as S
from test_dependency_oracle import check_plan, expected_after
from test_dependency_property import pruner_for, width
from test_surgeon import FakeLayer, FakeModel


class MobileNetMultiplier(nn.Module):
    """Inverted residual blocks whose depthwise convolutions double the channels."""

    def __init__(self):
        super().__init__()
        self.stem = nn.Sequential(nn.Conv2d(3, 6, 3, padding=1), nn.BatchNorm2d(6), nn.ReLU6())
        self.dw = nn.Sequential(nn.Conv2d(6, 12, 3, padding=1, groups=6), nn.BatchNorm2d(12), nn.ReLU6())
        self.project = nn.Sequential(nn.Conv2d(12, 6, 1), nn.BatchNorm2d(6))
        self.dw2 = nn.Conv2d(6, 18, 3, padding=1, groups=6, bias=False)  # multiplier 3
        self.head = nn.Linear(18, 4)

    def forward(self, x):
        x = self.stem(x)
        x = x + self.project(self.dw(x))
        return self.head(torch.relu(self.dw2(x)).mean((2, 3)))


class GroupedDecoder(nn.Module):
    """Upsampling through grouped and depthwise transposed convolutions."""

    def __init__(self):
        super().__init__()
        self.encode = nn.Conv2d(3, 8, 3, stride=2, padding=1)
        self.up = nn.ConvTranspose2d(8, 12, 2, stride=2, groups=4)
        self.bn = nn.BatchNorm2d(12)
        self.dw_up = nn.ConvTranspose2d(12, 24, 3, padding=1, groups=12)  # depthwise, multiplier 2
        self.out = nn.Conv2d(24, 3, 1)

    def forward(self, x):
        x = torch.relu(self.encode(x))
        x = torch.relu(self.bn(self.up(x)))
        return self.out(torch.relu(self.dw_up(x)))


class StyleBlock(nn.Module):
    """A style-transfer residual block over instance norms."""

    def __init__(self):
        super().__init__()
        self.conv_in = nn.Conv2d(3, 8, 3, padding=1)
        self.norm_in = nn.InstanceNorm2d(8, affine=True)
        self.conv1 = nn.Conv2d(8, 8, 3, padding=1, padding_mode="reflect")
        self.norm1 = nn.InstanceNorm2d(8, affine=True, track_running_stats=True)
        self.conv2 = nn.Conv2d(8, 8, 3, padding=1)
        self.norm2 = nn.InstanceNorm2d(8, track_running_stats=True)  # statistics only
        self.plain = nn.InstanceNorm2d(8)  # nothing per channel
        self.conv_out = nn.Conv2d(8, 3, 3, padding=1)

    def forward(self, x):
        x = torch.relu(self.norm_in(self.conv_in(x)))
        y = self.norm2(self.conv2(torch.relu(self.norm1(self.conv1(x)))))
        return self.conv_out(self.plain(x + y))


def randomised(model):
    """Affine parameters and statistics that are not the identity."""
    torch.manual_seed(0)
    with torch.no_grad():
        for module in model.modules():
            if getattr(module, "running_mean", None) is not None:
                module.running_mean.uniform_(-1, 1)
                module.running_var.uniform_(0.5, 2)
            if isinstance(module, nn.modules.batchnorm._NormBase) and module.affine:
                module.weight.uniform_(0.5, 1.5)
                module.bias.uniform_(-0.5, 0.5)
    return model.eval()


PRUNABLE = (nn.modules.conv._ConvNd, nn.Linear, nn.modules.batchnorm._NormBase)


def index_sets(n):
    """The last channel, then the first of every block of 2, 3, 4 or 6 (one
    from each group of a grouped layer near by)."""
    sets = [[n - 1]]
    sets += [list(range(0, n, n // d)) for d in (2, 3, 4, 6) if n % d == 0 and d < n]
    return sets


def assert_plan_holds(model, x, plan):
    """The plan matches the oracle, or is refused and changes nothing."""
    if not any(dep.reason is not None for dep, _ in plan.plan):
        check_plan(model, x, plan)
        return True
    before = {k: v.clone() for k, v in model.state_dict().items()}
    with pytest.raises(ValueError, match="cannot be executed"):
        plan.exec()
    after = model.state_dict()
    assert before.keys() == after.keys()
    assert all(torch.equal(v, after[k]) for k, v in before.items())
    return False


def sweep(model, x):
    """Plans from every prunable layer through one graph of the shrinking
    model, each index set until one runs; returns the layers whose plans ran."""
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    ran = set()
    for name, module in model.named_modules():
        if not isinstance(module, PRUNABLE) or module.weight is None and module.running_mean is None:
            continue
        for idxs in index_sets(width(module)):
            if len(idxs) >= width(module):
                continue
            plan = graph.get_pruning_plan(module, pruner_for(module), idxs=idxs)
            if assert_plan_holds(model, x, plan):
                ran.add(name)
                break
    return ran


@pytest.mark.parametrize("make, shape, must_run", [
    (MobileNetMultiplier, (2, 3, 8, 8), {"stem.0", "stem.1", "dw.0", "dw.1", "project.0", "dw2"}),
    (GroupedDecoder, (2, 3, 8, 8), {"encode", "up", "bn", "dw_up"}),
    (StyleBlock, (2, 3, 8, 8), {"conv_in", "norm_in", "conv1", "norm1", "conv2", "norm2"}),
], ids=["mobilenet-multiplier", "grouped-decoder", "style-transfer"])
def test_every_plan_of_every_layer_matches_the_oracle_or_is_refused(make, shape, must_run):
    model = randomised(make())
    ran = sweep(model, torch.randn(*shape))
    assert must_run <= ran, must_run - ran


def plan_steps(plan):
    return [(dep.handler.__name__, dep.broken_node.name, idxs) for dep, idxs in plan.plan
            if dep.handler is not None]


def test_depthwise_multiplier_plans_take_whole_groups():
    model = randomised(MobileNetMultiplier())
    x = torch.randn(2, 3, 8, 8)
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    # One output of dw reaching the projection takes its group: input 2, outputs 4 and 5,
    # and with input 2 the residual stream's channel 2.
    plan = graph.get_pruning_plan(model.project[0], S.prune_related_conv, idxs=[5])
    steps = plan_steps(plan)
    assert ("prune_group_conv", "dw.0", [2]) in steps
    assert ("prune_batchnorm", "dw.1", [4, 5]) in steps
    assert ("prune_related_conv", "project.0", [4, 5]) in steps
    check_plan(model, x, plan)
    assert (model.dw[0].groups, model.dw[0].in_channels, model.dw[0].out_channels) == (5, 5, 10)
    # One output of every group of dw: the groups stay, with one output each.
    plan = graph.get_pruning_plan(model.dw[1], S.prune_batchnorm, idxs=[1, 2, 5, 7, 9])
    assert [step[0] for step in plan_steps(plan)] == ["prune_batchnorm", "prune_conv", "prune_related_conv"]
    check_plan(model, x, plan)
    assert (model.dw[0].groups, model.dw[0].in_channels, model.dw[0].out_channels) == (5, 5, 5)
    # From the residual stream: dw2 (multiplier 3) loses group 0's three outputs from the head.
    plan = graph.get_pruning_plan(model.stem[0], S.prune_conv, idxs=[0])
    steps = plan_steps(plan)
    assert ("prune_group_conv", "dw2", [0]) in steps and ("prune_related_linear", "head", [0, 1, 2]) in steps
    check_plan(model, x, plan)
    assert model.head.in_features == 12
    # Groups are counted as they are now.
    with pytest.raises(ValueError, match="4 groups now"):
        graph.get_pruning_plan(model.dw2, S.prune_group_conv, idxs=[4])


def test_instance_norms_without_tensors_pass_channels_and_untraced_ones_refuse():
    class Unused(nn.Module):
        def __init__(self, spare):
            super().__init__()
            self.conv = nn.Conv2d(3, 6, 1)
            self.norm = nn.InstanceNorm2d(6)
            self.spare = spare  # never called
            self.out = nn.Conv2d(6, 2, 1)

        def forward(self, x):
            return self.out(self.norm(self.conv(x)))

    x = torch.randn(2, 3, 5, 5)
    model = Unused(nn.InstanceNorm2d(6)).eval()
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[1])
    assert [step[1] for step in plan_steps(plan)] == ["conv", "out"]
    check_plan(model, x, plan)
    model = Unused(nn.InstanceNorm2d(6, affine=True)).eval()
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[1])
    assert "'spare' (InstanceNorm2d reading 6 channels)" in plan.plan[0][0].reason


def test_prune_group_conv_keeps_the_quantizer_steps_of_the_kept_outputs():
    conv = nn.Conv2d(4, 8, 3, groups=4)
    conv.w_s_scale = nn.Parameter(torch.arange(8.0))  # one step per output channel
    S.prune_group_conv(conv, [1])
    assert conv.w_s_scale.tolist() == [0, 1, 4, 5, 6, 7]
    with pytest.raises(AssertionError, match="in_channels=8, out_channels=16, groups=2"):
        S.prune_group_conv(nn.Conv2d(8, 16, 3, groups=2), [0])


@pytest.mark.parametrize("make, origin, idxs, left", [
    (MobileNetMultiplier, "dw.0", [3], 5),  # output 3 (group 1) takes the group's other output along
    (StyleBlock, "norm1", [2, 6], 6),
], ids=["depthwise-multiplier", "instance-norm"])
def test_surgeon_starts_plans_from_multiplied_depthwise_convs_and_instance_norms(make, origin, idxs, left):
    native = randomised(make())
    x = torch.randn(2, 3, 8, 8)
    # What the same plan computes, on a copy with the removed channels zeroed.
    twin = copy.deepcopy(native)
    graph = tp.DependencyGraph()
    graph.build_dependency(twin, example_inputs=x)
    layer = twin.get_submodule(origin)
    prune_fn = surgeon_bridge.prune_function_definition[type(layer)]  # prune_conv: output indices
    expected = expected_after(twin, x, graph.get_pruning_plan(layer, prune_fn, idxs=idxs))
    model = FakeModel(native)
    surgeon = TorchGraphSurgeon(model, x[:1])
    surgeon.prune_channels(FakeLayer(model, native.get_submodule(origin)), idxs)
    assert surgeon.records[-1].status == "pruned", surgeon.records[-1]
    assert width(native.get_submodule(origin)) == left
    with torch.no_grad():
        torch.testing.assert_close(native(x), expected, rtol=1e-4, atol=1e-4)
