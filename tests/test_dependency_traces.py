"""Branches a trace may not take: modules that run only in training, paths
chosen by the input's shape, and plans that would change nothing. Every plan
either runs and matches the zero-output oracle, or is refused with the module
or operation that stops it named and the model left as it was."""
import logging

import pytest
import torch
import torchvision
from torch import nn

from torch_surgery import dependency as tp
from torch_surgery import structured as S
from test_dependency_oracle import check_plan


class AuxHead(nn.Module):
    """A classifier whose auxiliary head reads the stem's stream in training only."""

    def __init__(self):
        super().__init__()
        self.stem = nn.Conv2d(3, 8, 3, padding=1)
        self.bn = nn.BatchNorm2d(8)
        self.drop = nn.Dropout(0.5)
        self.body = nn.Conv2d(8, 6, 3, padding=1)
        self.aux = nn.Sequential(nn.Conv2d(8, 4, 1), nn.BatchNorm2d(4), nn.ReLU())
        self.aux_fc = nn.Linear(4, 2)
        self.fc = nn.Linear(6, 2)

    def forward(self, x):
        x = torch.relu(self.bn(self.stem(x)))
        out = self.fc(self.drop(self.body(x).mean((2, 3))))
        if self.training:
            return out, self.aux_fc(self.aux(x).mean((2, 3)))
        return out


class ShapeBranch(nn.Module):
    """The path taken depends on the input's size."""

    def __init__(self):
        super().__init__()
        self.stem = nn.Conv2d(3, 8, 1)
        self.down = nn.Conv2d(8, 6, 3, stride=2, padding=1)
        self.same = nn.Conv2d(8, 6, 3, padding=1)
        self.bn = nn.BatchNorm2d(6)
        self.head = nn.Conv2d(6, 2, 1)

    def forward(self, x):
        x = self.stem(x)
        x = self.down(x) if x.shape[-1] > 32 else self.same(x)
        return self.head(torch.relu(self.bn(x)))


def reasons_of(plan):
    return [dep.reason for dep, _ in plan.plan if dep.reason]


def state_of(model):
    return {k: v.clone() for k, v in model.state_dict().items()}


def same_state(model, before):
    after = model.state_dict()
    return before.keys() == after.keys() and all(torch.equal(v, after[k]) for k, v in before.items())


def test_layers_only_training_runs_are_traced_and_pruned_with_their_stream():
    torch.manual_seed(0)
    model = AuxHead()
    model.bn.running_mean.uniform_(-1, 1)
    model.aux[0].train(False)  # a mixed mode the graph must give back
    example = torch.randn(1, 3, 8, 8)
    before, modes, rng = state_of(model), [m.training for m in model.modules()], torch.get_rng_state()
    graph = tp.DependencyGraph().build_dependency(model, example_inputs=example)
    # Tracing in training mode moved no statistics, drew no random numbers, kept every mode.
    assert same_state(model, before)
    assert [m.training for m in model.modules()] == modes
    assert torch.equal(torch.get_rng_state(), rng)

    model.eval()
    x = torch.randn(2, 3, 8, 8)
    plan = graph.get_pruning_plan(model.stem, S.prune_conv, idxs=[1, 5])
    assert not reasons_of(plan)
    changed = {dep.broken_node.name for dep, _ in plan.plan}
    assert {"stem", "bn", "body", "aux.0"} <= changed
    check_plan(model, x, plan)
    assert model.aux[0].in_channels == 6
    model.train()
    out, aux = model(x)  # the auxiliary head reads the narrower stream
    (out.sum() + aux.sum()).backward()
    # A plan from the head itself is followed into its linear layer.
    model.eval()
    plan = graph.get_pruning_plan(model.aux[0], S.prune_conv, idxs=[0])
    assert not reasons_of(plan)
    assert "aux_fc" in {dep.broken_node.name for dep, _ in plan.plan}


class TrainingScale(nn.Module):
    """A per-channel parameter only training multiplies in."""

    def __init__(self):
        super().__init__()
        self.a = nn.Conv2d(3, 6, 1)
        self.g = nn.Parameter(torch.rand(6) + 0.5)
        self.b = nn.Conv2d(6, 2, 1)

    def forward(self, x):
        x = self.a(x)
        if self.training:
            x = x * self.g.view(1, -1, 1, 1)
        return self.b(x)


def test_a_per_channel_tensor_only_training_reads_follows_the_channels():
    model = TrainingScale().eval()
    x = torch.randn(2, 3, 4, 4)
    graph = tp.DependencyGraph().build_dependency(model, example_inputs=x)
    plan = graph.get_pruning_plan(model.a, S.prune_conv, idxs=[1, 4])
    assert any(getattr(dep.handler, "attribute", None) == "g" for dep, _ in plan.plan)
    check_plan(model, x, plan)
    model.train()
    assert model.g.shape == (4,) and model(x).shape == (2, 2, 4, 4)


def test_a_branch_no_trace_took_is_never_changed_alone():
    torch.manual_seed(0)
    model = ShapeBranch().eval()
    x = torch.randn(1, 3, 64, 64)
    graph = tp.DependencyGraph().build_dependency(model, example_inputs=x)
    before = state_of(model)
    # Rooted at the branch itself, reading the stem's stream, producing the batch norm's.
    for origin, side in ((model.same, S.prune_conv), (model.stem, S.prune_conv), (model.down, S.prune_conv)):
        plan = graph.get_pruning_plan(origin, side, idxs=[0])
        assert any("'same'" in r and "runs in no trace" in r for r in reasons_of(plan)), reasons_of(plan)
        with pytest.raises(ValueError, match="cannot be executed"):
            plan.exec()
    assert same_state(model, before)
    with torch.no_grad():
        model(torch.randn(1, 3, 32, 32))  # the other path still runs


def test_a_model_that_cannot_train_on_the_example_batch_is_traced_with_it_doubled_or_warned():
    class OnePixelAux(AuxHead):
        def forward(self, x):
            x = torch.relu(self.bn(self.stem(x)))
            out = self.fc(self.body(x).mean((2, 3)))
            if self.training:  # a batch norm over a 1x1 map needs two samples to train
                return out, self.aux_fc(self.aux(x.mean((2, 3), keepdim=True)).flatten(1))
            return out

    model = OnePixelAux().eval()
    graph = tp.DependencyGraph().build_dependency(model, example_inputs=torch.randn(1, 3, 8, 8))
    plan = graph.get_pruning_plan(model.stem, S.prune_conv, idxs=[0])
    assert not reasons_of(plan) and "aux.0" in {dep.broken_node.name for dep, _ in plan.plan}

    class NoTraining(AuxHead):
        def forward(self, x):
            if self.training:
                raise RuntimeError("no training here")
            return super().forward(x)

    model = NoTraining().eval()
    with pytest.warns(UserWarning, match="could not be traced in training mode .*no training here"):
        graph = tp.DependencyGraph().build_dependency(model, example_inputs=torch.randn(1, 3, 8, 8))
    plan = graph.get_pruning_plan(model.stem, S.prune_conv, idxs=[0])
    assert any("'aux.0'" in r for r in reasons_of(plan))


class Transposed(nn.Module):
    """b reads a tensor whose channels were moved off its channel dimension."""

    def __init__(self):
        super().__init__()
        self.a = nn.Conv1d(4, 6, 1)
        self.b = nn.Conv1d(5, 3, 1)
        self.head = nn.Linear(3, 2)

    def forward(self, x):
        return self.head(self.b(self.a(x).transpose(1, 2)).transpose(1, 2))


def test_plans_that_would_remove_nothing_are_refused_and_the_surgeon_says_so(caplog):
    from orrery.framework.framework_bridge import TorchFramework

    model = Transposed().eval()
    x = torch.randn(1, 4, 5)
    graph = tp.DependencyGraph().build_dependency(model, example_inputs=x)
    plan = graph.get_pruning_plan(model.b, S.prune_conv, idxs=[0])
    assert reasons_of(plan) and "receives a tensor whose channels are not its second dimension (in module 'b')" \
        in reasons_of(plan)[0]
    plan = graph.get_pruning_plan(model.a, S.prune_conv, idxs=[])
    assert reasons_of(plan) == ["no channels of 'a' were asked for; give the indices of the channels to remove"]

    framework = TorchFramework()
    framework.initialize({})
    wrapped = framework.mdl_cls(model)
    surgeon = framework.graph_surgeon(wrapped, x)
    layer = next(l for l in wrapped.flat_view() if l.native_layer is model.b)
    before = state_of(model)
    with caplog.at_level(logging.DEBUG):
        surgeon.prune_channels(layer, [0, 1])
    record = surgeon.records[-1]
    assert record.status == "refused" and "in module 'b'" in record.reason
    assert not any("Pruning 2 channels" in r.getMessage() for r in caplog.records)
    assert same_state(model, before)


def test_refusals_name_the_operation_that_stops_the_plan_and_its_module():
    torch.manual_seed(0)
    model = torchvision.models.swin_t().eval()
    x = torch.randn(1, 3, 64, 64)
    graph = tp.DependencyGraph().build_dependency(model, example_inputs=x)
    reasons = reasons_of(graph.get_pruning_plan(model.features[0][0], S.prune_conv, idxs=[0]))
    assert reasons and reasons[0].startswith("channels reach operation aten::")
    assert "(in module 'features.1.0.attn')" in reasons[0]
    assert not any("runs in no trace" in r or "LayerNorm" in r for r in reasons), reasons
    # The MLP's hidden channels are the blocks' own, and the norms that run are no obstacle.
    check_plan(model, x, graph.get_pruning_plan(model.features[1][0].mlp[0], S.prune_linear, idxs=[0, 7]))
