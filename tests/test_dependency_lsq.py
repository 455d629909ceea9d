"""Pruning LSQ-quantized models through the dependency graph: a weight
quantizer belongs to its convolution, whose per-channel weight step shrinks with
its output channels; an activation quantizer passes the channels through, and
a per-channel activation step shrinks with them. (A weight step of another
module is refused: engine/tests/test_dependency.cpp.)

The models run in float64, so that the quantizers' rounding gives the same
codes before and after pruning; the outputs are then compared to within float64
rounding, which any misaligned channel or step would exceed by far.
"""
import pytest
import torch
import torchvision
from torch import nn

from orrery_examples.lsq_quantize import quantize_convolutions
from orrery.framework.framework_bridge import TorchFramework
from orrery.framework.model_bridge import TorchModel
from orrery.framework.prims_bridge import TorchLSQ
from orrery.framework.quant_bridge import LSQConv2D, LsqQuan
from torch_surgery import dependency as tp
from torch_surgery import structured as S
from test_dependency_oracle import norms_over_kept_channels, spread_indices, zero_removed_channels


class QuantNet(nn.Module):
    """Residual, depthwise-separable and concatenating convolutions, a
    per-channel activation quantizer on the concatenation, and a linear head."""

    def __init__(self):
        super().__init__()
        self.stem, self.bn0 = nn.Conv2d(3, 8, 3, padding=1), nn.BatchNorm2d(8)
        self.res, self.bn1 = nn.Conv2d(8, 8, 3, padding=1), nn.BatchNorm2d(8)
        self.dw = nn.Conv2d(8, 8, 3, padding=1, groups=8)
        self.pw = nn.Conv2d(8, 6, 1)
        self.side = nn.Conv2d(8, 4, 1, bias=False)
        self.act_q = LsqQuan(8, True, False, True)
        self.last = nn.Conv2d(10, 6, 3, padding=1)
        self.head = nn.Linear(6, 5)

    def forward(self, x):
        x = torch.relu(self.bn0(self.stem(x)))
        x = x + self.bn1(self.res(x))
        y = torch.cat([self.pw(torch.relu(self.dw(x))), torch.relu(self.side(x))], 1)
        y = self.act_q(torch.relu(y))
        return self.head(torch.relu(self.last(y)).mean((2, 3)))


def lsq_net(x):
    """QuantNet with every convolution LSQ (per-channel weight steps on every
    other one), steps calibrated on `x`, in float64."""
    torch.manual_seed(0)
    model = QuantNet()
    for k, name in enumerate(["stem", "res", "dw", "pw", "side", "last"]):
        setattr(model, name, LSQConv2D(getattr(model, name), 8, 8, channel_quant=k % 2 == 0,
                                       act_bipolar=True))
    for bn in (model.bn0, model.bn1):
        bn.running_mean.uniform_(-0.5, 0.5)
        bn.running_var.uniform_(0.5, 2)
    layers = [m for m in model.modules() if isinstance(m, LSQConv2D)]
    hooks = [m.register_forward_pre_hook(lambda m, args: m.quan_a_fn.init_from(args[0]))
             for m in layers]
    with torch.no_grad():
        model.eval()(x)
    for hook in hooks:
        hook.remove()
    model.act_q.s = nn.Parameter(torch.linspace(0.01, 0.05, 10).reshape(1, 10, 1, 1))
    return model.double()


class _Steps:
    """The steps of a plan that the oracle zeroes: all but the quantizers' step
    sizes, whose channels carry zeros already (a zero step would divide by zero)."""

    def __init__(self, plan):
        self.plan = [(dep, idxs) for dep, idxs in plan.plan
                     if not isinstance(dep.broken_node.module, LsqQuan)]


def check_plan_exactly(model, x, plan):
    zero_removed_channels(_Steps(plan))
    with torch.no_grad(), norms_over_kept_channels(plan):
        expected = model(x)
    plan.exec()
    with torch.no_grad():
        got = model(x)
    torch.testing.assert_close(got, expected, rtol=0, atol=1e-9 * expected.abs().max().item())


def state_of(model):
    return {k: v.clone() for k, v in model.state_dict().items()}


def assert_steps_follow_channels(model):
    for layer in model.modules():
        if isinstance(layer, LSQConv2D) and layer.channel_quant:
            assert layer.quan_w_fn.s.shape == (layer.out_channels, 1, 1, 1)
    assert model.act_q.s.shape == (1, model.last.in_channels, 1, 1)


def test_every_plan_of_an_lsq_model_is_exact_and_steps_shrink_with_the_channels():
    x = torch.randn(2, 3, 8, 8)
    model = lsq_net(x).eval()
    x = x.double()
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    layers = [(name, m) for name, m in model.named_modules() if isinstance(m, LSQConv2D)]
    executed = []
    for name, layer in layers:
        plan = graph.get_pruning_plan(layer, S.prune_conv, idxs=spread_indices(layer.out_channels))
        if any(dep.reason is not None for dep, _ in plan.plan):
            before = state_of(model)
            with pytest.raises(ValueError):
                plan.exec()
            assert all(torch.equal(v, model.state_dict()[k]) for k, v in before.items())
            continue
        check_plan_exactly(model, x, plan)
        assert_steps_follow_channels(model)
        executed.append(name)
    assert executed == [name for name, _ in layers]
    assert model.act_q.s.shape[1] < 10 and model.stem.quan_w_fn.s.shape[0] < 8

    # Training goes on: every step size still gets a gradient, and a step changes it.
    model.train()
    optimizer = torch.optim.SGD(model.parameters(), lr=1e-3)
    before = {n: p.detach().clone() for n, p in model.named_parameters()}
    model(x).pow(2).mean().backward()
    optimizer.step()
    for name, p in model.named_parameters():
        assert p.grad is not None and torch.isfinite(p.grad).all(), name
    assert not torch.equal(before["stem.quan_w_fn.s"], model.stem.quan_w_fn.s)
    assert torch.isfinite(model.eval()(x)).all()


def test_a_failing_plan_puts_the_quantizer_steps_back(monkeypatch):
    x = torch.randn(2, 3, 8, 8)
    model = lsq_net(x).eval()
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x.double())
    plan = graph.get_pruning_plan(model.side, S.prune_conv, idxs=[1])
    handlers = [dep.handler for dep, _ in plan.plan]
    # side's weight step changes first; the activation step and last follow.
    assert handlers[0] is S.prune_conv and S.prune_related_conv in handlers[1:]
    assert any(getattr(h, "attribute", None) == "s" for h in handlers)
    before = state_of(model)

    def failing(module, idxs):
        raise RuntimeError("late failure")

    plan.plan[handlers.index(S.prune_related_conv)][0].handler = failing
    with pytest.raises(RuntimeError, match="late failure"):
        plan.exec()
    after = model.state_dict()
    assert before.keys() == after.keys()
    assert all(torch.equal(v, after[k]) for k, v in before.items())
    model(x.double())


class QuantLinear(nn.Linear):
    """A linear layer whose weights an LSQ quantizer with one step per output
    feature quantizes."""

    def __init__(self, n_in, n_out):
        super().__init__(n_in, n_out)
        self.quan_w_fn = LsqQuan(8, False, True, True)
        self.quan_w_fn.init_from(self.weight)

    def forward(self, x):
        return nn.functional.linear(x, self.quan_w_fn(self.weight), self.bias)


def test_a_quantized_linear_layer_prunes_its_weight_step_with_its_features():
    torch.manual_seed(2)
    model = nn.Sequential(QuantLinear(4, 6), nn.ReLU(), nn.Linear(6, 2)).double().eval()
    x = torch.randn(3, 4, dtype=torch.float64)
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    plan = graph.get_pruning_plan(model[0], S.prune_linear, idxs=[1, 3])
    check_plan_exactly(model, x, plan)
    assert model[0].quan_w_fn.s.shape == (4, 1) and model[2].in_features == 4


def test_the_framework_surgeon_prunes_lsq_layers():
    torch.manual_seed(0)
    x = torch.randn(2, 3, 32, 32)
    lsq = TorchLSQ(wbits=8, abits=8, polarity="bipolar", channel_quant=True, act_polarity=False)
    model = quantize_convolutions(TorchModel(torchvision.models.resnet18().eval()), lsq, x)
    native, x = model.native_model.double(), x.double()
    block = native.layer1[0]
    with torch.no_grad():
        for t in (block.conv1.weight, block.bn1.weight, block.bn1.bias):
            t[[0, 3]] = 0
        expected = native(x)
    layer = next(l for l in model.flat_view() if l.native_layer is block.conv1)
    TorchFramework().graph_surgeon(model, x[:1]).prune_channels(layer, [0, 3])
    assert block.conv1.out_channels == 62 and block.conv1.quan_w_fn.s.shape[0] == 62
    assert block.conv2.in_channels == 62
    with torch.no_grad():
        torch.testing.assert_close(native(x), expected, rtol=0, atol=1e-9 * expected.abs().max().item())
