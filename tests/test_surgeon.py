"""TorchGraphSurgeon: screening, retries, caching and failure handling."""
import logging

import pytest
import torch
from torch import nn

from orrery.framework import surgeon_bridge
from orrery.framework.surgeon_bridge import TorchGraphSurgeon
from orrery.framework.quant_bridge import LSQConv2D
from torch_surgery import dependency as tp
from torch_surgery import structured as S


class FakeModel:
    def __init__(self, native):
        self.native_model = native


class FakeLayer:
    def __init__(self, model, native):
        self.model = model
        self.native_layer = native
        self.meta = {}

    def __repr__(self):
        return "FakeLayer({!r})".format(self.native_layer)


class Chain(nn.Module):
    def __init__(self, width=4):
        super().__init__()
        self.conv1 = nn.Conv2d(3, width, 3, padding=1)
        self.bn1 = nn.BatchNorm2d(width)
        self.conv2 = nn.Conv2d(width, 6, 3, padding=1)

    def forward(self, x):
        return self.conv2(torch.relu(self.bn1(self.conv1(x))))


class Split(nn.Module):
    def __init__(self, split=torch.chunk):
        super().__init__()
        self.split = split
        self.conv0 = nn.Conv2d(3, 8, 1)
        self.conv_a = nn.Conv2d(4, 2, 1)
        self.conv_b = nn.Conv2d(4, 2, 1)

    def forward(self, x):
        # chunk(y, 2) cuts at half the width it receives; split(y, 4) at 4.
        a, b = self.split(self.conv0(x), 2 if self.split is torch.chunk else 4, dim=1)
        return torch.cat([self.conv_a(a), self.conv_b(b)], 1)


class Grouped(nn.Module):
    def __init__(self):
        super().__init__()
        self.reduce = nn.Conv2d(3, 16, 1)
        self.grouped = nn.Conv2d(16, 16, 3, padding=1, groups=4)
        self.expand = nn.Conv2d(16, 5, 1)

    def forward(self, x):
        return self.expand(torch.relu(self.grouped(torch.relu(self.reduce(x)))))


class Head(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 8, 3)
        self.fc = nn.Linear(8 * 2 * 2, 5)

    def forward(self, x):
        return self.fc(torch.flatten(self.conv(x), 1))


def surgeon_for(native, *, shape=(1, 3, 8, 8), **kwargs):
    model = FakeModel(native.eval())
    return model, TorchGraphSurgeon(model, torch.randn(*shape), **kwargs)


@pytest.fixture
def count_builds(monkeypatch):
    counter = {"builds": 0}

    class CountingGraph(tp.DependencyGraph):
        def build_dependency(self, model, example_inputs):
            counter["builds"] += 1
            return super().build_dependency(model, example_inputs=example_inputs)

    class CountingModule:
        DependencyGraph = CountingGraph
        _ViewOP = tp._ViewOP

    monkeypatch.setattr(surgeon_bridge, "tp", CountingModule)
    return counter


def test_module_level_objects():
    table = surgeon_bridge.prune_function_definition
    convs = [nn.Conv1d, nn.Conv2d, nn.Conv3d, nn.ConvTranspose1d, nn.ConvTranspose2d, nn.ConvTranspose3d]
    norms = [nn.BatchNorm1d, nn.BatchNorm2d, nn.BatchNorm3d, nn.InstanceNorm1d, nn.InstanceNorm2d,
             nn.InstanceNorm3d]
    assert table == {**{c: S.prune_conv for c in convs}, nn.Linear: S.prune_linear,
                     **{n: S.prune_batchnorm for n in norms}, nn.GroupNorm: S.prune_groupnorm,
                     LSQConv2D: S.prune_conv}
    assert surgeon_bridge.logger.name == "orrery.framework.surgeon_bridge"
    model, surgeon = surgeon_for(Chain())
    assert surgeon.model is model and surgeon.drop_view_op is True
    assert surgeon._TorchGraphSurgeon__cached_dg is None
    assert TorchGraphSurgeon(model, torch.randn(1, 3, 8, 8), drop_view_op=False).drop_view_op is False


def test_prunes_layer_and_its_dependents(caplog):
    model, surgeon = surgeon_for(Chain(width=8))
    layer = FakeLayer(model, model.native_model.conv1)
    with caplog.at_level(logging.DEBUG, logger="orrery.framework.surgeon_bridge"):
        assert surgeon.prune_channels(layer, [1, 5]) is layer
    net = model.native_model
    assert (net.conv1.out_channels, net.bn1.num_features, net.conv2.in_channels) == (6, 6, 6)
    assert "Pruning 2 channels from FakeLayer(" in caplog.text
    net(torch.randn(1, 3, 8, 8))


def test_empty_request_and_foreign_layer(caplog, count_builds):
    model, surgeon = surgeon_for(Chain())
    layer = FakeLayer(model, model.native_model.conv1)
    with caplog.at_level(logging.DEBUG, logger="orrery.framework.surgeon_bridge"):
        assert surgeon.prune_channels(layer, []) is layer
    assert "Empty pruning on FakeLayer(" in caplog.text and "no operation done" in caplog.text
    assert count_builds["builds"] == 0
    stranger = FakeLayer(FakeModel(model.native_model), model.native_model.conv1)
    with pytest.raises(RuntimeError) as err:
        surgeon.prune_channels(stranger, [0])
    assert str(err.value) == ("Trying to prune a layer with a GraphSurgeon instantiated "
                              "with an unrelated model")


def test_unsupported_layer_types_raise_key_error():
    native = nn.Sequential(nn.Conv1d(3, 4, 1), nn.PReLU(4), nn.LayerNorm(5))
    model, surgeon = surgeon_for(native, shape=(1, 3, 5))
    for module in native[1:]:
        with pytest.raises(KeyError, match="plans start from Conv1d, Conv2d"):
            surgeon.prune_channels(FakeLayer(model, module), [0])


def test_emptying_a_convolution_retries_with_the_lowest_indices(caplog):
    model, surgeon = surgeon_for(Chain(width=4))
    layer = FakeLayer(model, model.native_model.conv1)
    with caplog.at_level(logging.WARNING, logger="orrery.framework.surgeon_bridge"):
        surgeon.prune_channels(layer, [3, 2, 1, 0])
    assert "Pruning wants to remove 4 filters (outbound) from Conv2d(3, 4" in caplog.text
    assert caplog.text.count("trying to reduce pruned filters.") == 1
    # Retried with [0, 1, 2]: the last original channel survives.
    assert model.native_model.conv1.out_channels == 1
    assert model.native_model.conv2.in_channels == 1


def test_out_of_range_indices_are_refused_before_anything_changes():
    model, surgeon = surgeon_for(Chain(width=4))
    with pytest.raises(ValueError, match="out of range"):
        surgeon.prune_channels(FakeLayer(model, model.native_model.conv1), [1, 4])
    assert model.native_model.conv1.out_channels == 4


def test_inbound_consumer_limits_the_retry(caplog):
    model, surgeon = surgeon_for(Split())
    net = model.native_model
    layer = FakeLayer(model, net.conv0)
    with caplog.at_level(logging.WARNING, logger="orrery.framework.surgeon_bridge"):
        surgeon.prune_channels(layer, [0, 1, 2, 3, 4])
    assert "Pruning wants to remove 5 filters (inbound) from Conv2d(4, 2" in caplog.text
    # The retry keeps [0, 1, 2]; both chunks lose those positions.
    assert (net.conv0.out_channels, net.conv_a.in_channels, net.conv_b.in_channels) == (2, 1, 1)
    assert net(torch.randn(1, 3, 8, 8)).shape == (1, 4, 8, 8)


def test_pieces_of_fixed_sizes_are_left_alone():
    model, surgeon = surgeon_for(Split(torch.split))
    net = model.native_model
    surgeon.prune_channels(FakeLayer(model, net.conv0), [0])
    assert (net.conv0.out_channels, net.conv_a.in_channels, net.conv_b.in_channels) == (8, 4, 4)
    assert net(torch.randn(1, 3, 8, 8)).shape == (1, 4, 8, 8)


def test_requests_are_balanced_over_the_groups_of_a_grouped_convolution():
    torch.manual_seed(0)
    model, surgeon = surgeon_for(Grouped())
    net = model.native_model
    x = torch.randn(1, 3, 8, 8)
    # All four from group 0: one per group instead, the first requested in
    # group 0 and the lowest-L1 channel of each other group.
    l1 = net.reduce.weight.detach().abs().sum(dim=(1, 2, 3))
    expected_removed = {3} | {4 * g + int(torch.argmin(l1[4 * g:4 * g + 4])) for g in (1, 2, 3)}
    kept = [i for i in range(16) if i not in expected_removed]
    weight = net.reduce.weight.detach().clone()
    surgeon.prune_channels(FakeLayer(model, net.reduce), [3, 0, 1, 2])
    assert (net.reduce.out_channels, net.grouped.in_channels) == (12, 12)
    assert torch.equal(net.reduce.weight, weight[kept])
    surgeon.prune_channels(FakeLayer(model, net.grouped), [0, 1, 5])
    assert net.grouped.out_channels == 12 and net.expand.in_channels == 12
    assert net(x).shape == (1, 5, 8, 8)


class NamedLikeAFunction(nn.Module):
    """Module paths that spell the names of the pruning functions."""

    def __init__(self):
        super().__init__()
        self.prune_related_conv = nn.Conv2d(3, 8, 1)
        self.prune_conv = nn.Conv2d(8, 2, 1)

    def forward(self, x):
        return self.prune_conv(self.prune_related_conv(x))


def test_the_side_of_a_step_comes_from_its_function_not_its_text(caplog):
    model, surgeon = surgeon_for(NamedLikeAFunction())
    net = model.native_model
    with caplog.at_level(logging.WARNING, logger="orrery.framework.surgeon_bridge"):
        surgeon.prune_channels(FakeLayer(model, net.prune_related_conv), [0, 1, 2, 3])
    # Outbound on a conv of 8 output channels: room for 4, no retry.
    assert "trying to reduce pruned filters" not in caplog.text
    assert (net.prune_related_conv.out_channels, net.prune_conv.in_channels) == (4, 4)
    # Four more would empty it: the retry is sized by its output channels.
    with caplog.at_level(logging.WARNING, logger="orrery.framework.surgeon_bridge"):
        surgeon.prune_channels(FakeLayer(model, net.prune_related_conv), [0, 1, 2, 3])
    assert "remove 4 filters (outbound) from Conv2d(3, 4" in caplog.text
    assert (net.prune_related_conv.out_channels, net.prune_conv.in_channels) == (1, 1)


def test_view_ops_cancel_plans_unless_asked_otherwise(caplog):
    model, surgeon = surgeon_for(Head(), shape=(1, 3, 4, 4))
    layer = FakeLayer(model, model.native_model.conv)
    with caplog.at_level(logging.DEBUG, logger="orrery.framework.surgeon_bridge"):
        surgeon.prune_channels(layer, [0])
    assert "Detected a ViewOP, cancelling this pruning operation" in caplog.text
    assert model.native_model.conv.out_channels == 8
    surgeon = TorchGraphSurgeon(model, torch.randn(1, 3, 4, 4), drop_view_op=False)
    surgeon.prune_channels(layer, [0, 7])
    assert model.native_model.fc.in_features == 6 * 4
    model.native_model(torch.randn(1, 3, 4, 4))


def test_cache_block_traces_once_and_nesting_releases_on_inner_exit(count_builds):
    model, surgeon = surgeon_for(Chain(width=8))
    layer = FakeLayer(model, model.native_model.conv1)
    with surgeon.cache_dg() as bound:
        assert bound is surgeon
        surgeon.prune_channels(layer, [0])
        surgeon.prune_channels(layer, [0])
        assert count_builds["builds"] == 1
        with surgeon.cache_dg():
            assert count_builds["builds"] == 1
        assert surgeon._TorchGraphSurgeon__cached_dg is None
        surgeon.make_dg()
        surgeon.make_dg()
        assert count_builds["builds"] == 3
    assert model.native_model.conv1.out_channels == 6
    surgeon.make_dg()
    assert count_builds["builds"] == 4


def test_cache_survives_an_exception_leaving_the_block():
    model, surgeon = surgeon_for(Chain())
    with pytest.raises(ZeroDivisionError):
        with surgeon.cache_dg():
            1 / 0
    assert surgeon._TorchGraphSurgeon__cached_dg is not None


def test_failed_plan_leaves_every_module_as_it_was(monkeypatch, caplog):
    model, surgeon = surgeon_for(Chain(width=8))
    net = model.native_model
    layer = FakeLayer(model, net.conv1)
    before = {k: v.clone() for k, v in net.state_dict().items()}
    params = [id(p) for p in net.parameters()]

    def broken(module, idxs):
        raise RuntimeError("disk on fire")

    monkeypatch.setattr(S, "prune_related_conv", broken)
    with caplog.at_level(logging.WARNING, logger="orrery.framework.surgeon_bridge"):
        assert surgeon.prune_channels(layer, [2]) is layer
    assert ("ERROR - Aborting pruning operation, exception raised in pruning package:\n"
            "'disk on fire'") in caplog.text
    # The wrapper still points at the live module, which is back as it was.
    assert layer.native_layer is net.conv1
    assert net.conv1.out_channels == 8 and net.bn1.num_features == 8
    assert [id(p) for p in net.parameters()] == params
    for key, value in net.state_dict().items():
        assert torch.equal(value, before[key]), key


def test_refused_plan_is_logged_and_changes_nothing(caplog):
    native = nn.Sequential(nn.Conv2d(3, 8, 1), nn.Softmax(dim=1), nn.Conv2d(8, 8, 3))
    model, surgeon = surgeon_for(native)
    with caplog.at_level(logging.WARNING, logger="orrery.framework.surgeon_bridge"):
        surgeon.prune_channels(FakeLayer(model, native[0]), [1])
    assert "mixes the channels" in caplog.text
    assert native[0].out_channels == 8 and native[2].in_channels == 8


def test_records_say_what_each_call_did(monkeypatch):
    model, surgeon = surgeon_for(Chain(width=8))
    net = model.native_model
    conv1 = FakeLayer(model, net.conv1)
    surgeon.prune_channels(conv1, [])
    surgeon.prune_channels(conv1, [0, 1])
    with monkeypatch.context() as patch:
        patch.setattr(S, "prune_related_conv", lambda module, idxs: 1 / 0)
        surgeon.prune_channels(conv1, [0])
    surgeon.prune_channels(conv1, list(range(6)))         # trimmed to 5: a channel must stay
    with pytest.raises(KeyError):
        surgeon.prune_channels(FakeLayer(model, nn.PReLU(1)), [0])
    records = surgeon.records
    assert [r.status for r in records] == ["empty", "pruned", "failed", "pruned", "refused"]
    assert records[1].layer == "conv1" and records[1].requested == 2
    assert records[1].removed == {"conv1": 2, "bn1": 2, "conv2": 2}
    assert "ZeroDivisionError" in records[2].reason and records[2].removed == {}
    assert records[3].removed["conv1"] == 5 and "trimmed to 5" in records[3].reason
    assert net.conv1.out_channels == 1 and net(torch.randn(1, 3, 8, 8)).shape == (1, 6, 8, 8)
    table = surgeon.report()
    lines = table.splitlines()
    assert lines[0].split()[:5] == ["layer", "requested", "removed", "modules", "status"]
    assert len(lines) == 7 and "5 calls, 2 pruned, 7 channels removed" in lines[-1]


def test_records_of_cancelled_and_refused_plans_give_the_reason():
    model, surgeon = surgeon_for(Head(), shape=(1, 3, 4, 4))
    surgeon.prune_channels(FakeLayer(model, model.native_model.conv), [0])
    native = nn.Sequential(nn.Conv2d(3, 8, 1), nn.Softmax(dim=1), nn.Conv2d(8, 8, 3))
    model2, surgeon2 = surgeon_for(native)
    surgeon2.prune_channels(FakeLayer(model2, native[0]), [1])
    cancelled, refused = surgeon.records[0], surgeon2.records[0]
    assert cancelled.status == "cancelled" and "drop_view_op=False" in cancelled.reason
    assert refused.status == "refused" and "mixes the channels" in refused.reason
    assert refused.layer == "0" and refused.removed == {}
    assert native[0].out_channels == 8


def test_example_inputs_the_model_cannot_take_are_refused_at_construction():
    net = Chain()
    with pytest.raises(ValueError, match="do not run through the model.*expected input"):
        TorchGraphSurgeon(FakeModel(net.train()), torch.randn(1, 5, 8, 8))
    assert net.training and net.bn1.num_batches_tracked == 0
    with pytest.raises(TypeError, match="framework model"):
        TorchGraphSurgeon(net, torch.randn(1, 3, 8, 8))


class VideoBlock(nn.Module):
    """Conv3d + BatchNorm3d, a transposed Conv1d over time and a GroupNorm."""

    def __init__(self):
        super().__init__()
        self.conv = nn.Conv3d(3, 8, 3, padding=1)
        self.bn = nn.BatchNorm3d(8)
        self.temporal = nn.ConvTranspose1d(8, 6, 2, stride=2)
        self.gn = nn.GroupNorm(2, 6)
        self.head = nn.Linear(6, 2)

    def forward(self, x):
        x = torch.relu(self.bn(self.conv(x))).mean((3, 4))    # N, C, T
        x = torch.relu(self.gn(self.temporal(x)))
        return self.head(x.mean(2))


@pytest.mark.parametrize("origin, idxs, widths", [
    ("conv", [0, 7], (6, 6, 6)),
    ("bn", [3], (7, 7, 6)),
    ("temporal", [0, 3], (8, 8, 4)),
    ("gn", [1, 2, 4, 5], (8, 8, 2)),      # two from each group of three
])
def test_plans_start_from_convolutions_and_norms_of_any_dimensionality(origin, idxs, widths):
    torch.manual_seed(0)
    native = VideoBlock().eval()
    model, surgeon = surgeon_for(native, shape=(1, 3, 4, 6, 6))
    x = torch.randn(2, 3, 4, 6, 6)
    surgeon.prune_channels(FakeLayer(model, getattr(native, origin)), idxs)
    (record,) = surgeon.records
    assert record.status == "pruned", record
    assert (native.conv.out_channels, native.bn.num_features, native.temporal.out_channels) == widths
    assert native.gn.num_channels == native.temporal.out_channels == native.head.in_features
    assert native(x).shape == (2, 2)
