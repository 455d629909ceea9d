"""torch_surgery.dependency through operations that slice, pad or regroup the
channels by numbers of the model's code, and per-channel tensors reshaped
before use. Every executed plan is checked by the zero-output oracle; every
refused one must leave the model as it was."""
import pytest
import torch
import torch.nn.functional as F
from torch import nn

from torch_surgery import dependency as tp
from torch_surgery import structured as S
from test_dependency import Fn, graph_of
from test_dependency_oracle import check_plan


def reasons(plan):
    return [dep.reason for dep, _ in plan.plan if dep.reason is not None]


def refused_unchanged(model, plan, needle):
    assert any(needle in r for r in reasons(plan)), reasons(plan)
    before = {k: v.clone() for k, v in model.state_dict().items()}
    with pytest.raises(ValueError):
        plan.exec()
    assert all(torch.equal(v, model.state_dict()[k]) for k, v in before.items())


def prune(model, x, graph, module, idxs, fn=S.prune_conv):
    plan = graph.get_pruning_plan(module, fn, idxs=idxs)
    assert not reasons(plan), reasons(plan)
    check_plan(model, x, plan)
    return plan


def shuffled(x):
    return x.view(x.size(0), 2, -1, *x.shape[2:]).permute(0, 2, 1, 3, 4).reshape(x.shape)


SLIDE = "would select other channels"
# name: (what runs between conv (8 channels) and head, head's inputs, allowed removals, refused ones, reason)
CASES = {
    "fixed_end": (lambda m, y: y[:, :6], 6, [6, 7], [2], SLIDE),
    "to_the_end": (lambda m, y: y[:, 3:], 5, [3, 7], [1], SLIDE),
    "from_the_end": (lambda m, y: y[:, -4:], 4, [0, 3], [6], SLIDE),
    "narrow": (lambda m, y: torch.narrow(y, 1, 2, 3), 3, [6, 7], [0], SLIDE),
    "step": (lambda m, y: y[:, ::2], 4, [2, 3], [2], SLIDE),
    "whole_and_spatial": (lambda m, y: y[:, :8, ::2, ::2], 8, [0, 5], None, None),
    "constant_pad_nd": (lambda m, y: torch.constant_pad_nd(y, (0, 0, 0, 0, 1, 2)), 11, [0, 5], None, None),
    "pad_with_space": (lambda m, y: F.pad(y, (1, 1, 0, 0, 2, 0)), 10, [0, 5], None, None),
    "negative_pad": (lambda m, y: F.pad(y, (0, 0, 0, 0, -1, 0)), 7, None, [0], "crops the channel dimension"),
    "replicate_pad": (lambda m, y: F.pad(y.mean(2), (0, 0, 1, 1), "replicate").unsqueeze(-1), 10, None, [0],
                      "mode other than 'constant'"),
    "pixel_unshuffle": (lambda m, y: F.pixel_unshuffle(y, 2), 32, [1, 6], None, None),
    "channel_shuffle": (lambda m, y: F.channel_shuffle(y, 2), 8, [1], None, None),
    "shuffle_module": (lambda m, y: nn.ChannelShuffle(2)(y), 8, [1], None, None),
    "native_shuffle": (lambda m, y: torch.native_channel_shuffle(y, 2), 8, [1], None, None),
    "permute_shuffle": (lambda m, y: shuffled(y), 8, [1], None, None),
    "unflatten_shuffle": (lambda m, y: y.unflatten(1, (2, -1)).transpose(1, 2).flatten(1, 2), 8, [1], None, None),
    "fixed_shuffle": (lambda m, y: y.unflatten(1, (2, 4)).transpose(1, 2).flatten(1, 2), 8, None, [1],
                      "group sizes are fixed in the model's code"),
    "scale_view": (lambda m, y: y * m.g.view(1, -1, 1, 1) + m.b.view(1, -1, 1, 1), 8, [2, 6], None, None),
    "scale_index": (lambda m, y: y * m.g[None, :, None, None] - m.b[None, :8, None, None], 8, [2, 6], None, None),
    "scale_unsqueeze": (lambda m, y: y * m.g.unsqueeze(-1).unsqueeze(-1) + m.b.reshape(-1, 1, 1), 8, [2, 6],
                        None, None),
    "scale_view_and_direct": (lambda m, y: ((y * m.g.view(1, -1, 1, 1)).permute(0, 2, 3, 1) * m.g)
                              .permute(0, 3, 1, 2), 8, [2, 6], None, None),
    "scale_fixed_size": (lambda m, y: y * m.g.view(1, 8, 1, 1), 8, None, [1], "channel size fixed in the model's code"),
    "scale_also_broadcast": (lambda m, y: y * m.g.view(1, -1, 1, 1) + y * m.g.view(1, 1, 1, -1), 8, None, [1],
                             "broadcast"),
    "scale_partial": (lambda m, y: torch.cat([y[:, :4] * m.g[:4].view(1, -1, 1, 1), y[:, 4:]], 1), 8, None, [1],
                      "selects part of a tensor attribute"),
    "size_one_dims": (lambda m, y: y * y.mean((2, 3)).unsqueeze(1).squeeze(1).unsqueeze(-1).unsqueeze(-1), 8,
                      [0, 5], None, None),
    "squeeze_all": (lambda m, y: y * y.mean((2, 3), keepdim=True).squeeze().view(1, -1, 1, 1), 8, None, [0],
                    "name the dimension to squeeze"),
    "activation_broadcast": (lambda m, y: y * y.mean((2, 3)).unsqueeze(1).unsqueeze(1), 8, None, [1],
                             "broadcasts the channels of one input"),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_channel_operations_plan_exactly_the_removals_their_numbers_allow(name):
    between, head_in, allowed, refused, reason = CASES[name]
    torch.manual_seed(0)
    model = Fn(lambda m, x: m.head(between(m, m.conv(x))), conv=nn.Conv2d(3, 8, 1), head=nn.Conv2d(head_in, 2, 1))
    model.g = nn.Parameter(torch.rand(8) + 0.5)
    model.register_buffer("b", torch.rand(8))
    graph, x = graph_of(model, 1, 3, 4, 8)
    if refused:
        refused_unchanged(model, graph.get_pruning_plan(model.conv, S.prune_conv, idxs=refused), reason)
    if allowed:
        prune(model, x, graph, model.conv, allowed)


def test_a_cached_slice_reads_its_bounds_against_the_narrower_width():
    # [:, :6] of 8: channel 7 may go, then 6 of 7; then it keeps every channel.
    model = Fn(lambda m, x: m.head(m.conv(x)[:, :6]), conv=nn.Conv2d(3, 8, 1), head=nn.Conv2d(6, 2, 1))
    graph, x = graph_of(model, 1, 3, 4, 4)
    for idxs in ([7], [6], [0, 4]):
        prune(model, x, graph, model.conv, idxs)
    assert (model.conv.out_channels, model.head.in_channels) == (4, 4)
    # [:, -4:] of 8 starts at 4, so channel 3 may go; of 7 it starts at 3, so it may not.
    model = Fn(lambda m, x: m.head(m.conv(x)[:, -4:]), conv=nn.Conv2d(3, 8, 1), head=nn.Conv2d(4, 2, 1))
    graph, x = graph_of(model, 1, 3, 4, 4)
    prune(model, x, graph, model.conv, [3])
    refused_unchanged(model, graph.get_pruning_plan(model.conv, S.prune_conv, idxs=[3]), "[-4:] of the channels")
    model = Fn(lambda m, x: m.head(m.conv(x)[:, 6:]), conv=nn.Conv2d(3, 8, 1), head=nn.Conv2d(2, 2, 1))
    graph, x = graph_of(model, 1, 3, 4, 4)
    refused_unchanged(model, graph.get_pruning_plan(model.head, S.prune_related_conv, idxs=[0, 1]),
                      "remove all of them")


class Ghost(nn.Module):
    """GhostNet: a primary conv, a cheap depthwise conv of its output, both concatenated, cut to `oup`."""

    def __init__(self, oup, init=4):
        super().__init__()
        self.oup = oup
        self.primary = nn.Sequential(nn.Conv2d(3, init, 1), nn.BatchNorm2d(init), nn.ReLU())
        self.cheap = nn.Conv2d(init, init, 3, padding=1, groups=init)
        self.head = nn.Conv2d(oup, 2, 1)

    def forward(self, x):
        x1 = self.primary(x)
        return self.head(torch.cat([x1, self.cheap(x1)], dim=1)[:, :self.oup])


def test_ghostnet_slices_prune_when_they_keep_every_channel_and_refuse_otherwise():
    model = Ghost(8)
    graph, x = graph_of(model, 2, 3, 6, 6)
    prune(model, x, graph, model.primary[0], [0, 3])
    prune(model, x, graph, model.cheap, [1], S.prune_group_conv)
    assert model.head.in_channels == 2
    # 7 of 8: primary channel 1 takes cheap channel 1 (5 of 8) with it, and
    # channel 7 would slide in; channel 3 takes the very channel the end cuts.
    model = Ghost(7)
    graph, x = graph_of(model, 2, 3, 6, 6)
    refused_unchanged(model, graph.get_pruning_plan(model.primary[0], S.prune_conv, idxs=[1]), "aten::slice [:7]")
    prune(model, x, graph, model.primary[0], [3])
    assert model.head.in_channels == 6


class OptionA(nn.Module):
    """A CIFAR ResNet block whose shortcut subsamples and zero-pads the channels."""

    def __init__(self, inp, planes):
        super().__init__()
        self.conv1 = nn.Conv2d(inp, planes, 3, 1 if inp == planes else 2, 1, bias=False)
        self.bn = nn.BatchNorm2d(planes)
        self.conv2 = nn.Conv2d(planes, planes, 3, 1, 1, bias=False)
        self.pad = (planes - inp) // 2

    def forward(self, x):
        out = self.conv2(F.relu(self.bn(self.conv1(x))))
        if self.pad:
            x = F.pad(x[:, :, ::2, ::2], (0, 0, 0, 0, self.pad, self.pad), "constant", 0)
        return F.relu(out + x)


def test_cifar_resnet_option_a_shortcuts_shift_channels_past_their_zero_padding():
    torch.manual_seed(0)
    model = nn.Sequential(nn.Conv2d(3, 16, 3, padding=1), OptionA(16, 16), OptionA(16, 32), OptionA(32, 64),
                          nn.AdaptiveAvgPool2d(1), nn.Flatten(), nn.Linear(64, 10))
    graph, x = graph_of(model, 2, 3, 8, 8)
    # The stem's channel 3 lands at 8 + 3 in the second stage and 16 + 11 in the third.
    plan = prune(model, x, graph, model[0], [3])
    assert {dep.broken_node.name: idxs for dep, idxs in plan.plan}["6"] == [27]
    refused_unchanged(model, graph.get_pruning_plan(model[3].conv2, S.prune_conv, idxs=[0]),
                      "the padding of operation aten::pad")
    prune(model, x, graph, model[2].conv2, [8, 20])


class ShuffleUnit(nn.Module):
    """ShuffleNet: grouped 1x1, channel shuffle, depthwise 3x3, grouped 1x1, residual."""

    def __init__(self, shuffle):
        super().__init__()
        self.shuffle = shuffle
        self.stem, self.g1 = nn.Conv2d(3, 16, 1), nn.Conv2d(16, 16, 1, groups=2)
        self.dw, self.g2 = nn.Conv2d(16, 16, 3, padding=1, groups=16), nn.Conv2d(16, 16, 1, groups=2)

    def forward(self, x):
        x = self.stem(x)
        return x + self.g2(self.dw(self.shuffle(F.relu(self.g1(x)))))


@pytest.mark.parametrize("name", ["channel_shuffle", "shuffle_module", "native_shuffle", "permute_shuffle",
                                  "unflatten_shuffle"])
def test_shufflenet_units_prune_whole_columns_of_every_group(name):
    shuffle = CASES[name][0]
    model = Fn(lambda m, x: m.unit(x).mean((2, 3)), unit=ShuffleUnit(lambda y: shuffle(None, y)))
    graph, x = graph_of(model, 2, 3, 4, 4)
    unit = model.unit
    # g1's columns 1 and 5 (of 8 per group) become g2's inputs 2, 3, 10 and 11: two per group.
    prune(model, x, graph, unit.g1, [1, 5, 9, 13])
    # With 12 left, dw's channels 1 and 7 are columns 0 and 3: g1's outputs 0, 3, 6 and 9.
    prune(model, x, graph, unit.dw, [1, 7], S.prune_group_conv)
    assert unit.g1.out_channels == unit.g2.in_channels == 8


def test_espcn_pixel_shuffle_removes_whole_groups_of_r_squared_channels():
    model = nn.Sequential(nn.Conv2d(3, 8, 5, padding=2), nn.Tanh(), nn.Conv2d(8, 18, 3, padding=1),
                          nn.PixelShuffle(3), nn.Conv2d(2, 3, 3, padding=1))
    graph, x = graph_of(model, 1, 3, 5, 5)
    plan = prune(model, x, graph, model[2], [10])
    assert [i for dep, i in plan.plan if dep.handler is S.prune_conv] == [list(range(9, 18))]
    assert any(isinstance(dep.broken_node.module, tp._ViewOP) for dep, _ in plan.plan)
    assert model[4].in_channels == 1
