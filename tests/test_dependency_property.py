"""Random small convolutional models, random channels of random layers pruned
through one dependency graph: after every plan, either the plan was refused and
the model is exactly as it was, or the model runs and computes what the
original computes with the removed channels zeroed (the oracle).

CI runs the "ci" profile (tests/conftest.py); run longer with
    .venv/bin/python -m pytest tests/test_dependency_property.py --hypothesis-profile=long
"""
import pytest
import torch
import torch.nn.functional as F
from hypothesis import given, strategies as st
from torch import nn

from orrery.framework.quant_bridge import LSQConv2D
from torch_surgery import dependency as tp
from torch_surgery import structured as S
from test_dependency_oracle import check_plan


BLOCKS = ("plain", "residual", "concat", "depthwise", "squeeze", "reused", "grouped", "gated",
          "groupnorm", "tied", "standardised", "scripted", "sliced", "padded", "pixel", "shuffled",
          "scaled", "multiplier", "upsample", "instancenorm", "lsq")


class ChannelScale(nn.Module):
    """A per-channel scale and shift the model reshapes itself before use."""

    def __init__(self, c, dims):
        super().__init__()
        self.g = nn.Parameter(torch.rand(c) + 0.5)
        self.register_buffer("b", torch.rand(c))
        self.ones = (1,) * dims

    def forward(self, x):
        return x * self.g.view(1, -1, *self.ones) + self.b[(None, slice(None)) + (None,) * len(self.ones)]


def standardised(conv_cls):
    """A convolution class that standardises its weight on every call."""
    def forward(self, x):
        w = self.weight
        w = (w - w.mean(tuple(range(1, w.dim())), keepdim=True)) / (w.std(tuple(range(1, w.dim())), keepdim=True) + 1e-5)
        return self._conv_forward(x, w, self.bias)
    return type("Standardised" + conv_cls.__name__, (conv_cls,), {"forward": forward})


@torch.jit.script
def rotate_channels(y):
    if y.shape[1] > 4:
        return torch.cat([y[:, 4:], y[:, :4]], 1)
    return y


def lsq_conv(conv):
    """An LSQ convolution whose activation grid (2^-16, 24-bit codes) is finer
    than the oracle's tolerance: a code that flips when pruning reorders a
    float sum moves an output far less than a misaligned channel would."""
    layer = LSQConv2D(conv, 8, 24, channel_quant=True, act_bipolar=True)
    layer.quan_a_fn.s = nn.Parameter(torch.tensor([2.0 ** -16]))
    return layer


class RandomNet(nn.Module):
    """A stem, a chain of blocks of the kinds in BLOCKS, and a head that
    either pools or flattens into a linear layer; over 1, 2 or 3 spatial
    dimensions (audio, image and video layers); the stem may run under
    autocast."""

    def __init__(self, blocks, widths, flatten, dims=2, autocast=False):
        super().__init__()
        Conv = (nn.Conv1d, nn.Conv2d, nn.Conv3d)[dims - 1]
        BatchNorm = (nn.BatchNorm1d, nn.BatchNorm2d, nn.BatchNorm3d)[dims - 1]
        ConvTranspose = (nn.ConvTranspose1d, nn.ConvTranspose2d, nn.ConvTranspose3d)[dims - 1]
        InstanceNorm = (nn.InstanceNorm1d, nn.InstanceNorm2d, nn.InstanceNorm3d)[dims - 1]
        self.spatial = tuple(range(2, 2 + dims))
        self.autocast = autocast
        self.kinds = list(blocks)
        self.stem = Conv(3, widths[0], 3, padding=1)
        self.blocks = nn.ModuleList()
        c = widths[0]
        for kind, w in zip(blocks, widths[1:]):
            if kind == "plain":
                block = nn.ModuleDict({"conv": Conv(c, w, 3, padding=1), "bn": BatchNorm(w)})
                c = w
            elif kind == "residual":
                block = nn.ModuleDict({"conv": Conv(c, c, 3, padding=1), "bn": BatchNorm(c)})
            elif kind == "concat":
                block = nn.ModuleDict({"a": Conv(c, w, 1), "b": Conv(c, c, 1)})
                c = w + c
            elif kind == "depthwise":
                block = nn.ModuleDict({"dw": Conv(c, c, 3, padding=1, groups=c),
                                       "pw": Conv(c, w, 1)})
                c = w
            elif kind == "squeeze":
                block = nn.ModuleDict({"down": Conv(c, 2, 1), "up": Conv(2, c, 1)})
            elif kind == "grouped":  # two groups each way
                block = nn.ModuleDict({"into": Conv(c, 2 * w, 1),
                                       "grouped": Conv(2 * w, 2 * w, 3, padding=1, groups=2),
                                       "bn": BatchNorm(2 * w)})
                c = 2 * w
            elif kind == "gated":  # one half of the channels gates the other (torch.chunk)
                block = nn.ModuleDict({"conv": Conv(c, 2 * w, 1)})
                c = w
            elif kind == "tied":  # two convolutions sharing one weight
                block = nn.ModuleDict({"a": Conv(c, c, 1), "b": Conv(c, c, 1)})
                block["b"].weight = block["a"].weight
            elif kind == "standardised":
                block = nn.ModuleDict({"conv": standardised(Conv)(c, w, 3, padding=1)})
                c = w
            elif kind == "scripted":  # channels rotated inside control flow
                block = nn.ModuleDict({"conv": Conv(c, c, 1)})
            elif kind == "lsq":  # an LSQ convolution (2-D only) with per-channel weight steps
                conv = Conv(c, w, 3, padding=1)
                if dims == 2:
                    conv = lsq_conv(conv)
                block = nn.ModuleDict({"conv": conv, "bn": BatchNorm(w)})
                c = w
            elif kind == "groupnorm":  # two groups of w channels
                block = nn.ModuleDict({"conv": Conv(c, 2 * w, 1), "gn": nn.GroupNorm(2, 2 * w)})
                c = 2 * w
            elif kind == "sliced":  # the last channel cut off by a slice with a fixed end
                block = nn.ModuleDict({"conv": Conv(c, w + 1, 1)})
                block.keep = w  # a number of the model's code, as pruning leaves it
                c = w
            elif kind == "padded":  # one zero channel on each side
                block = nn.ModuleDict({"conv": Conv(c, w, 1)})
                c = w + 2
            elif kind == "pixel":  # pixel_unshuffle(2), a convolution, pixel_shuffle(2) (images only)
                block = nn.ModuleDict({"conv": Conv(4 * c, 4 * w, 1) if dims == 2 else Conv(c, w, 1)})
                c = w
            elif kind == "shuffled":  # two groups interleaved, spelt with unflatten
                block = nn.ModuleDict({"conv": Conv(c, 2 * w, 1)})
                c = 2 * w
            elif kind == "scaled":
                block = nn.ModuleDict({"conv": Conv(c, w, 1), "scale": ChannelScale(w, dims)})
                c = w
            elif kind == "multiplier":  # a depthwise convolution with two outputs per channel
                block = nn.ModuleDict({"dw": Conv(c, 2 * c, 3, padding=1, groups=c),
                                       "pw": Conv(2 * c, w, 1)})
                c = w
            elif kind == "upsample":  # a transposed convolution of two groups
                block = nn.ModuleDict({"into": Conv(c, 2 * w, 1),
                                       "up": ConvTranspose(2 * w, 4, 3, padding=1, groups=2),
                                       "bn": BatchNorm(4)})
                c = 4
            elif kind == "instancenorm":  # affine with statistics, then nothing per channel
                block = nn.ModuleDict({"conv": Conv(c, w, 3, padding=1),
                                       "norm": InstanceNorm(w, affine=True, track_running_stats=True),
                                       "plain": InstanceNorm(w)})
                c = w
            else:  # one convolution applied twice
                block = nn.ModuleDict({"conv": Conv(c, c, 3, padding=1)})
            self.blocks.append(block)
        self.flatten = flatten
        self.head = nn.Linear(c * 4 ** dims if flatten else c, 3)

    def forward(self, x):
        with torch.autocast("cpu", enabled=self.autocast):
            x = self.stem(x)
        x = torch.relu(x.float())
        for kind, block in zip(self.kinds, self.blocks):
            if kind in ("plain", "lsq"):
                x = torch.relu(block["bn"](block["conv"](x)))
            elif kind == "residual":
                x = x + block["bn"](block["conv"](x))
            elif kind == "concat":
                x = torch.cat([block["a"](x), torch.relu(block["b"](x))], 1)
            elif kind == "depthwise":
                x = block["pw"](torch.relu(block["dw"](x)))
            elif kind == "squeeze":
                s = torch.sigmoid(block["up"](torch.relu(block["down"](x.mean(self.spatial, keepdim=True)))))
                x = x * s
            elif kind == "grouped":
                x = torch.relu(block["bn"](block["grouped"](block["into"](x))))
            elif kind == "gated":
                a, b = block["conv"](x).chunk(2, dim=1)
                x = a * torch.sigmoid(b)
            elif kind == "groupnorm":
                x = torch.relu(block["gn"](block["conv"](x)))
            elif kind == "tied":
                x = block["a"](x) + block["b"](torch.relu(x))
            elif kind == "standardised":
                x = torch.relu(block["conv"](x))
            elif kind == "scripted":
                x = block["conv"](rotate_channels(x))
            elif kind == "sliced":
                x = torch.relu(block["conv"](x))[:, :block.keep]
            elif kind == "padded":
                x = F.pad(torch.relu(block["conv"](x)), (0, 0) * len(self.spatial) + (1, 1))
            elif kind == "pixel":
                if len(self.spatial) == 2:
                    x = F.pixel_shuffle(block["conv"](F.pixel_unshuffle(x, 2)), 2)
                else:
                    x = block["conv"](x)
            elif kind == "shuffled":
                x = block["conv"](x).unflatten(1, (2, -1)).transpose(1, 2).flatten(1, 2)
            elif kind == "scaled":
                x = block["scale"](torch.relu(block["conv"](x)))
            elif kind == "multiplier":
                x = block["pw"](torch.relu(block["dw"](x)))
            elif kind == "upsample":
                x = torch.relu(block["bn"](block["up"](block["into"](x))))
            elif kind == "instancenorm":
                x = block["plain"](torch.relu(block["norm"](block["conv"](x))))
            else:
                x = block["conv"](torch.relu(block["conv"](x)))
        x = torch.flatten(x, 1) if self.flatten else x.mean(self.spatial)
        return self.head(x)


CONVS = (nn.Conv1d, nn.Conv2d, nn.Conv3d, nn.ConvTranspose1d, nn.ConvTranspose2d, nn.ConvTranspose3d)
NORMS = (nn.BatchNorm1d, nn.BatchNorm2d, nn.BatchNorm3d, nn.InstanceNorm1d, nn.InstanceNorm2d,
         nn.InstanceNorm3d)


def pruner_for(module):
    if isinstance(module, nn.modules.conv._ConvNd):  # plain and transposed
        depthwise = 1 < module.groups == module.in_channels  # any channel multiplier
        return S.prune_group_conv if depthwise else S.prune_conv
    if isinstance(module, nn.Linear):
        return S.prune_linear
    if isinstance(module, nn.GroupNorm):
        return S.prune_groupnorm
    return S.prune_batchnorm  # batch and instance norms


def width(module):
    """The channels pruner_for(module)'s indices number: a depthwise
    convolution's are its groups."""
    if pruner_for(module) is S.prune_group_conv:
        return module.groups
    return getattr(module, "out_channels", None) or getattr(module, "out_features", None) \
        or getattr(module, "num_channels", None) or module.num_features


@st.composite
def models(draw):
    blocks = draw(st.lists(st.sampled_from(BLOCKS), min_size=1, max_size=4))
    widths = draw(st.lists(st.integers(2, 6), min_size=len(blocks) + 1, max_size=len(blocks) + 1))
    return blocks, widths, draw(st.booleans()), draw(st.sampled_from((1, 2, 3))), draw(st.booleans())


@given(design=models(), data=st.data())
def test_every_plan_is_refused_cleanly_or_matches_the_oracle(design, data):
    torch.manual_seed(0)
    model = RandomNet(*design).eval()
    for module in model.modules():
        if isinstance(module, NORMS) and module.track_running_stats:  # statistics that are not the identity
            module.running_mean.uniform_(-1, 1)
            module.running_var.uniform_(0.5, 2)
        if isinstance(module, (nn.GroupNorm,) + NORMS[3:]) and module.affine:
            nn.init.uniform_(module.weight, 0.5, 1.5)
            nn.init.uniform_(module.bias, -0.5, 0.5)
    x = torch.randn(2, 3, *(4,) * design[3])
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    # An instance norm with nothing per channel is no layer of the graph.
    prunable = [m for m in model.modules()
                if isinstance(m, CONVS + NORMS + (nn.Linear, nn.GroupNorm)) and m is not model.head
                and (m.weight is not None or getattr(m, "running_mean", None) is not None)]
    for _ in range(data.draw(st.integers(1, 3))):
        module = data.draw(st.sampled_from(prunable))
        n = width(module)
        if n < 2:
            continue
        idxs = data.draw(st.lists(st.integers(0, n - 1), min_size=1, max_size=n - 1, unique=True))
        plan = graph.get_pruning_plan(module, pruner_for(module), idxs=sorted(idxs))
        if any(dep.reason is not None for dep, _ in plan.plan):
            before = {k: v.clone() for k, v in model.state_dict().items()}
            with pytest.raises(ValueError):
                plan.exec()
            after = model.state_dict()
            assert before.keys() == after.keys()
            assert all(torch.equal(v, after[k]) for k, v in before.items())
        else:
            check_plan(model, x, plan)
