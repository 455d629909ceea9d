"""torch_surgery.dependency through operations that select, pad or regroup the
channels with numbers fixed in the model's code: channel slices, constant
padding of the channels, pixel and channel shuffles, and per-channel tensors
reshaped before use. Every executed plan is checked by the zero-output oracle."""
import pytest
import torch
import torch.nn.functional as F
from torch import nn

from torch_surgery import dependency as tp
from torch_surgery import structured as S
from test_dependency import Fn, graph_of, steps
from test_dependency_oracle import check_plan


def reasons(plan):
    return [dep.reason for dep, _ in plan.plan if dep.reason is not None]


def refused_unchanged(model, plan, *needles):
    """The plan is refused for a reason naming each needle, and changes nothing."""
    found = reasons(plan)
    assert found and all(any(n in r for r in found) for n in needles), found
    before = {k: v.clone() for k, v in model.state_dict().items()}
    with pytest.raises(ValueError):
        plan.exec()
    assert all(torch.equal(v, model.state_dict()[k]) for k, v in before.items())


def sweep(model, x, pick=lambda conv: [0, conv.out_channels - 1] if conv.out_channels > 3 else [0]):
    """Prunes every convolution once on one cached graph: each plan is either
    refused cleanly or matches the oracle. Returns (executed, refusal reasons)."""
    model.eval()
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    executed, refused = 0, []
    for conv in [m for m in model.modules() if isinstance(m, nn.Conv2d)]:
        groups_tied = conv.groups > 1 and conv.groups == conv.in_channels == conv.out_channels
        plan = graph.get_pruning_plan(conv, S.prune_group_conv if groups_tied else S.prune_conv,
                                      idxs=pick(conv))
        if reasons(plan):
            refused_unchanged(model, plan)
            refused += reasons(plan)
        else:
            check_plan(model, x, plan)
            executed += 1
    return executed, refused


def conv_then(fn, width=8, head_in=None):
    torch.manual_seed(0)
    return Fn(fn, conv=nn.Conv2d(3, width, 1), head=nn.Conv2d(head_in or width, 2, 1))


# ---- channel slices ------------------------------------------------------------

@pytest.mark.parametrize("fn, head_in, allowed, refused", [
    # A fixed end: channels past it may go, channels before it would let others slide in.
    (lambda m, x: m.head(m.conv(x)[:, :6]), 6, [6, 7], [2]),
    # To the end: channels from the start on may go, channels before it would shift it.
    (lambda m, x: m.head(m.conv(x)[:, 3:]), 5, [3, 7], [1]),
    # Counted from the end: the other way round.
    (lambda m, x: m.head(m.conv(x)[:, -4:]), 4, [0, 3], [6]),
    (lambda m, x: m.head(torch.narrow(m.conv(x), 1, 2, 3)), 3, [6, 7], [0]),
    # Every other channel: whole pairs keep the stride aligned.
    (lambda m, x: m.head(m.conv(x)[:, ::2]), 4, [2, 3], [2]),
    # Keeps every channel whatever the width.
    (lambda m, x: m.head(m.conv(x)[:, :8, ::2, ::2]), 8, [0, 5], None),
], ids=["fixed_end", "to_the_end", "from_the_end", "narrow", "step", "whole"])
def test_channel_slices_allow_exactly_the_removals_that_keep_their_selection(fn, head_in, allowed, refused):
    model = conv_then(fn, head_in=head_in)
    graph, x = graph_of(model, 1, 3, 4, 4)
    if refused is not None:
        refused_unchanged(model, graph.get_pruning_plan(model.conv, S.prune_conv, idxs=refused),
                          "bounds fixed in the model's code", "would select other channels")
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=allowed)
    assert not reasons(plan), reasons(plan)
    check_plan(model, x, plan)
    assert model.conv.out_channels == 8 - len(allowed)


def test_a_cached_slice_follows_the_narrower_width():
    # [:, :6] of 8: channel 7 may go; then of 7 channel 6; then it keeps every
    # channel and any may go.
    model = conv_then(lambda m, x: m.head(m.conv(x)[:, :6]), head_in=6)
    graph, x = graph_of(model, 1, 3, 4, 4)
    for idxs in ([7], [6], [0, 4]):
        plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=idxs)
        assert not reasons(plan), (idxs, reasons(plan))
        check_plan(model, x, plan)
    assert (model.conv.out_channels, model.head.in_channels) == (4, 4)
    # A slice left with no channels is refused.
    model = conv_then(lambda m, x: m.head(m.conv(x)[:, 6:]), head_in=2)
    graph, x = graph_of(model, 1, 3, 4, 4)
    refused_unchanged(model, graph.get_pruning_plan(model.head, S.prune_related_conv, idxs=[0, 1]),
                      "remove all of them")


class Ghost(nn.Module):
    """GhostNet's module: a primary convolution, a cheap depthwise one on its
    output, both concatenated and sliced to `oup` channels."""

    def __init__(self, inp, oup, init):
        super().__init__()
        self.oup = oup
        self.primary = nn.Sequential(nn.Conv2d(inp, init, 1), nn.BatchNorm2d(init), nn.ReLU())
        self.cheap = nn.Sequential(nn.Conv2d(init, init, 3, padding=1, groups=init), nn.BatchNorm2d(init), nn.ReLU())

    def forward(self, x):
        x1 = self.primary(x)
        out = torch.cat([x1, self.cheap(x1)], dim=1)
        return out[:, :self.oup]


class GhostNetlet(nn.Module):
    def __init__(self, oup):
        super().__init__()
        self.ghost1 = Ghost(3, 8, 4)
        self.ghost2 = Ghost(8, oup, 4)
        self.head = nn.Conv2d(oup, 2, 1)

    def forward(self, x):
        return self.head(self.ghost2(self.ghost1(x)))


def test_ghostnet_slices_prune_when_they_keep_every_channel_and_refuse_otherwise():
    torch.manual_seed(0)
    x = torch.randn(2, 3, 6, 6)
    executed, refused = sweep(GhostNetlet(8), x)
    assert executed == 4 and all("model's output" in r for r in refused), refused
    # 7 of the 8 channels: a primary channel takes its cheap partner with it,
    # and either shifts what the fixed end keeps.
    model = GhostNetlet(7).eval()
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    refused_unchanged(model, graph.get_pruning_plan(model.ghost2.primary[0], S.prune_conv, idxs=[1]),
                      "aten::slice [:7]")


# ---- padding of the channels ----------------------------------------------------

class OptionA(nn.Module):
    """A CIFAR ResNet basic block whose shortcut subsamples and zero-pads the channels."""

    def __init__(self, inp, planes, stride):
        super().__init__()
        self.conv1 = nn.Conv2d(inp, planes, 3, stride, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(planes)
        self.conv2 = nn.Conv2d(planes, planes, 3, 1, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(planes)
        self.pad = stride != 1 or inp != planes
        self.planes = planes

    def forward(self, x):
        out = self.bn2(self.conv2(F.relu(self.bn1(self.conv1(x)))))
        shortcut = x
        if self.pad:
            q = self.planes // 4
            shortcut = F.pad(x[:, :, ::2, ::2], (0, 0, 0, 0, q, q), "constant", 0)
        return F.relu(out + shortcut)


class CifarResNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv1 = nn.Conv2d(3, 16, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(16)
        self.layers = nn.Sequential(OptionA(16, 16, 1), OptionA(16, 32, 2), OptionA(32, 64, 2))
        self.fc = nn.Linear(64, 10)

    def forward(self, x):
        x = self.layers(F.relu(self.bn1(self.conv1(x))))
        return self.fc(x.mean((2, 3)))


def test_cifar_resnet_option_a_shortcuts_shift_channels_past_their_zero_padding():
    torch.manual_seed(0)
    model = CifarResNet().eval()
    for m in model.modules():
        if isinstance(m, nn.BatchNorm2d):
            m.running_mean.uniform_(-1, 1)
    x = torch.randn(2, 3, 8, 8)
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    # The stem's channel 3 runs through the first stage, lands at 8 + 3 in the
    # second and at 16 + 11 in the third.
    plan = graph.get_pruning_plan(model.conv1, S.prune_conv, idxs=[3])
    found = {name: idxs for fn, name, idxs in steps(plan)}
    assert found["layers.1.conv2"] == [11] and found["layers.2.conv2"] == [27] and found["fc"] == [27]
    check_plan(model, x, plan)
    # Channels of the padding cannot go; those the padding shifts can.
    refused_unchanged(model, graph.get_pruning_plan(model.layers[2].conv2, S.prune_conv, idxs=[0]),
                      "the padding of operation aten::pad")
    plan = graph.get_pruning_plan(model.layers[1].conv2, S.prune_conv, idxs=[8])
    assert not reasons(plan), reasons(plan)
    check_plan(model, x, plan)
    executed, refused = sweep(model, x)
    assert executed > 0 and all("padding" in r or "every channel" in r for r in refused), refused


@pytest.mark.parametrize("fn, head_in, reason", [
    (lambda m, x: m.head(torch.constant_pad_nd(m.conv(x), (0, 0, 0, 0, 1, 2))), 11, None),
    (lambda m, x: m.head(F.pad(m.conv(x), (1, 1, 0, 0, 2, 0))), 10, None),
    (lambda m, x: m.head(F.pad(m.conv(x), (0, 0, 0, 0, -1, 0))), 7, "crops the channel dimension"),
    # Three dimensions, the last two padded: the channels repeat at both ends.
    (lambda m, x: m.head(F.pad(m.conv(x).mean(2), (0, 0, 1, 1), "replicate").unsqueeze(-1)), 10,
     "mode other than 'constant'"),
], ids=["constant_pad_nd", "pad_with_space", "negative", "replicate"])
def test_channel_padding_spellings(fn, head_in, reason):
    model = conv_then(fn, head_in=head_in)
    graph, x = graph_of(model, 1, 3, 4, 4)
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[0, 5])
    if reason is not None:
        refused_unchanged(model, plan, reason)
        return
    assert not reasons(plan), reasons(plan)
    check_plan(model, x, plan)


# ---- pixel shuffles ---------------------------------------------------------------

class ESPCN(nn.Module):
    """Convolutions to r*r channels per output channel, pixel_shuffle(r), a refining convolution."""

    def __init__(self, r=3):
        super().__init__()
        self.feat = nn.Conv2d(3, 8, 5, padding=2)
        self.sub = nn.Conv2d(8, 2 * r * r, 3, padding=1)
        self.shuffle = nn.PixelShuffle(r)
        self.refine = nn.Conv2d(2, 3, 3, padding=1)

    def forward(self, x):
        return self.refine(self.shuffle(torch.tanh(self.sub(torch.tanh(self.feat(x))))))


def test_pixel_shuffle_removes_whole_groups_of_r_squared_channels():
    torch.manual_seed(0)
    model = ESPCN().eval()
    graph, x = graph_of(model, 1, 3, 5, 5)
    plan = graph.get_pruning_plan(model.sub, S.prune_conv, idxs=[10])
    assert steps(plan)[0] == ("prune_conv", "sub", list(range(9, 18)))
    views = [dep.broken_node.module for dep, _ in plan.plan if isinstance(dep.broken_node.module, tp._ViewOP)]
    assert len(views) == 1 and "pixel_shuffle" in repr(views[0])
    check_plan(model, x, plan)
    assert (model.sub.out_channels, model.refine.in_channels) == (9, 1)
    check_plan(model, x, graph.get_pruning_plan(model.feat, S.prune_conv, idxs=[0, 7]))


def test_pixel_unshuffle_spreads_each_channel_over_r_squared():
    model = conv_then(lambda m, x: m.head(F.pixel_unshuffle(m.conv(x), 2)), width=4, head_in=16)
    graph, x = graph_of(model, 1, 3, 4, 4)
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[1])
    assert steps(plan)[-1] == ("prune_related_conv", "head", [4, 5, 6, 7])
    check_plan(model, x, plan)
    check_plan(model, x, graph.get_pruning_plan(model.head, S.prune_related_conv, idxs=[0]))
    assert model.conv.out_channels == 2


# ---- channel shuffles -------------------------------------------------------------

SHUFFLES = {
    "channel_shuffle": lambda x: F.channel_shuffle(x, 2),
    "module": nn.ChannelShuffle(2),
    "native": lambda x: torch.native_channel_shuffle(x, 2),
    "permute": lambda x: x.view(x.size(0), 2, -1, *x.shape[2:]).permute(0, 2, 1, 3, 4).reshape(x.shape),
    "unflatten": lambda x: x.unflatten(1, (2, -1)).transpose(1, 2).flatten(1, 2),
}


class ShuffleUnit(nn.Module):
    """ShuffleNet's unit: grouped 1x1, shuffle, depthwise 3x3, grouped 1x1, residual."""

    def __init__(self, shuffle, c=16):
        super().__init__()
        self.stem = nn.Conv2d(3, c, 1)
        self.g1 = nn.Conv2d(c, c, 1, groups=2)
        self.bn1 = nn.BatchNorm2d(c)
        self.shuffle = shuffle
        self.dw = nn.Conv2d(c, c, 3, padding=1, groups=c)
        self.g2 = nn.Conv2d(c, c, 1, groups=2)
        self.head = nn.Conv2d(c, 2, 1)

    def forward(self, x):
        x = self.stem(x)
        y = self.g2(self.dw(self.shuffle(F.relu(self.bn1(self.g1(x))))))
        return self.head(F.relu(x + y))


@pytest.mark.parametrize("spelling", sorted(SHUFFLES))
def test_every_channel_shuffle_spelling_interleaves_the_groups(spelling):
    shuffle = SHUFFLES[spelling]
    model = conv_then(lambda m, x: m.head(shuffle(m.conv(x))))
    graph, x = graph_of(model, 1, 3, 4, 4)
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[1])
    assert steps(plan) == [("prune_conv", "conv", [1, 5]), ("prune_related_conv", "head", [2, 3])]
    check_plan(model, x, plan)
    torch.manual_seed(0)
    unit = ShuffleUnit(shuffle)
    # As many channels from each group of both grouped convolutions (two
    # groups of 8): after the shuffle, g1's columns 1 and 5 are g2's input
    # channels 2, 3, 10 and 11; then, with 12 left, dw's 1 and 7 are columns 0
    # and 3, g1's outputs 0, 3, 6 and 9.
    pick = {unit.stem: [1, 9], unit.g1: [1, 5, 9, 13], unit.dw: [1, 7], unit.g2: [1, 9], unit.head: [1]}
    executed, refused = sweep(unit, torch.randn(2, 3, 4, 4), pick=pick.get)
    assert executed == 4 and all("model's output" in r for r in refused), refused


def test_shuffles_the_code_fixes_both_ways_refuse():
    model = conv_then(lambda m, x: m.head(m.conv(x).unflatten(1, (2, 4)).transpose(1, 2).flatten(1, 2)))
    graph, x = graph_of(model, 1, 3, 4, 4)
    refused_unchanged(model, graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[1]),
                      "group sizes are fixed in the model's code")
    # A permute that moves more than the two group axes is no shuffle the graph reads.
    model = conv_then(lambda m, x: m.head(m.conv(x).view(1, 2, 4, 4, 4).permute(0, 2, 1, 4, 3).reshape(1, 8, 4, 4)))
    graph, x = graph_of(model, 1, 3, 4, 4)
    refused_unchanged(model, graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[1]), "aten::view")


# ---- per-channel tensors through views, and size-1 dimensions ----------------------

class Scaled(nn.Module):
    def __init__(self, scale):
        super().__init__()
        self.conv = nn.Conv2d(3, 8, 1)
        self.g = nn.Parameter(torch.rand(8) + 0.5)
        self.register_buffer("b", torch.rand(8))
        self.scale = scale
        self.head = nn.Conv2d(8, 2, 1)

    def forward(self, x):
        return self.head(self.scale(self, self.conv(x)))


@pytest.mark.parametrize("scale", [
    lambda m, x: x * m.g.view(1, -1, 1, 1) + m.b.view(1, -1, 1, 1),
    lambda m, x: x * m.g[None, :, None, None] - m.b[None, :, None, None],
    lambda m, x: x * m.g.unsqueeze(-1).unsqueeze(-1) + m.b.reshape(-1, 1, 1),
    # The same tensor read both through a view and directly.
    lambda m, x: ((x * m.g.view(1, -1, 1, 1)).permute(0, 2, 3, 1) * m.g).permute(0, 3, 1, 2),
    # A slice that keeps every channel.
    lambda m, x: x * m.g[:8].view(1, -1, 1, 1),
], ids=["view", "index", "unsqueeze", "view_and_direct", "whole_slice"])
def test_per_channel_tensors_reshaped_before_use_lose_the_same_channels(scale):
    torch.manual_seed(0)
    model = Scaled(scale)
    graph, x = graph_of(model, 2, 3, 4, 4)
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[2, 6])
    assert not reasons(plan), reasons(plan)
    tensors = {name for fn, name, _ in steps(plan) if fn == "prune_parameter"}
    assert "g" in tensors and tensors <= {"g", "b"}, steps(plan)
    check_plan(model, x, plan)
    assert model.g.shape == (6,) and model.b.shape == ((6,) if "b" in tensors else (8,))
    check_plan(model, x, graph.get_pruning_plan(model.head, S.prune_related_conv, idxs=[0]))
    assert model.g.shape == (5,)


@pytest.mark.parametrize("scale, reason", [
    (lambda m, x: x * m.g.view(1, 8, 1, 1), "channel size fixed in the model's code"),
    # Per channel in one use, along the width in another.
    (lambda m, x: x * m.g.view(1, -1, 1, 1) + x * m.g.view(1, 1, 1, -1), "broadcast"),
    (lambda m, x: torch.cat([x[:, :4] * m.g[:4].view(1, -1, 1, 1), x[:, 4:]], 1),
     "selects part of a tensor attribute"),
    # An activation's own channels moved to the last dimension, broadcast along the width.
    (lambda m, x: x * x.mean((2, 3)).unsqueeze(1).unsqueeze(1), "broadcasts the channels of one input"),
], ids=["fixed_size", "also_broadcast", "partial_slice", "activation_broadcast"])
def test_per_channel_tensors_that_cannot_follow_through_a_view_refuse(scale, reason):
    torch.manual_seed(0)
    model = Scaled(scale)
    graph, x = graph_of(model, 1, 3, 4, 8)
    refused_unchanged(model, graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[1]), reason)


class LinearExcite(nn.Module):
    """Squeeze-and-excitation with linear layers: size-1 dimensions dropped and put back."""

    def __init__(self, squeeze):
        super().__init__()
        self.conv = nn.Conv2d(3, 8, 3, padding=1)
        self.fc1 = nn.Linear(8, 4)
        self.fc2 = nn.Linear(4, 8)
        self.squeeze = squeeze
        self.head = nn.Conv2d(8, 2, 1)

    def forward(self, x):
        x = self.conv(x)
        s = self.squeeze(x.mean((2, 3), keepdim=True))
        s = torch.sigmoid(self.fc2(F.relu(self.fc1(s))))
        return self.head(x * s.view(s.size(0), -1, 1, 1).squeeze(0).unsqueeze(0))


@pytest.mark.parametrize("squeeze, reason", [
    (lambda t: t.squeeze(-1).squeeze(-1), None),
    (lambda t: t.view(t.size(0), -1), None),
    (lambda t: t.flatten(1).unsqueeze(1).squeeze(1), None),
    (lambda t: t.squeeze().unsqueeze(0), "name the dimension to squeeze"),
], ids=["squeeze_dims", "view", "unsqueeze_squeeze", "squeeze_all"])
def test_views_that_insert_or_drop_size_one_dimensions_move_the_channels(squeeze, reason):
    torch.manual_seed(0)
    model = LinearExcite(squeeze).eval()
    graph, x = graph_of(model, 1, 3, 4, 4)
    plan = graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[0, 5])
    if reason is not None:
        refused_unchanged(model, plan, reason)
        return
    found = {name: idxs for fn, name, idxs in steps(plan)}
    assert found["fc1"] == [0, 5] and found["fc2"] == [0, 5] and found["head"] == [0, 5]
    check_plan(model, x, plan)
