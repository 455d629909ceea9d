"""Pruning plans over real torchvision architectures, checked by an oracle.

For each convolution: zero, in every module that produces a channel the plan
removes, that channel's weights; record the output; execute the plan; the
smaller model must give the same output. A missed residual partner or a wrong
concatenation offset shows up as a mismatch or a failing forward pass.

A layer norm over the channels renormalises over those that remain, so for the
reference output each pruned layer norm normalises over its kept channels only;
a group norm likewise normalises each group over the channels it keeps.
"""
import contextlib

import pytest
import torch
import torch.nn.functional as F
import torchvision

from torch_surgery import dependency as tp
from torch_surgery import structured as S


def zero_removed_channels(plan):
    """Silences every channel the plan removes at its producers."""
    with torch.no_grad():
        for dep, idxs in plan.plan:
            handler = dep.handler
            module = dep.broken_node.module
            if handler is None or not idxs:
                continue
            name = handler.__name__
            if name == "prune_group_conv":  # whole groups: their input and every output
                idxs = zero_depthwise_groups(module, idxs)
            elif name == "prune_conv":
                zero_conv_outputs(module, idxs)
            elif name == "prune_linear":
                module.weight[idxs] = 0.0
            elif name == "prune_batchnorm" and not module.affine and module.running_mean is not None:
                module.running_mean[idxs] = 0.0  # a zero channel stays zero
                continue
            elif name == "prune_batchnorm" and module.affine:
                module.weight[idxs] = 0.0
            elif name in ("prune_layernorm", "prune_groupnorm") and module.weight is not None:
                module.weight[idxs] = 0.0
            elif name == "prune_parameter":  # a layer scale, or a bias added by hand
                getattr(module, handler.attribute).index_fill_(handler.dim, torch.tensor(idxs), 0.0)
                continue
            else:
                continue
            if getattr(module, "bias", None) is not None:
                module.bias[idxs] = 0.0


def zero_conv_outputs(conv, idxs):
    """Zeroes output channels `idxs` of a convolution. A transposed one holds
    in x out/groups slices: output j of group g is column j % (out/groups) of
    the rows of group g's inputs."""
    if not conv.transposed:
        conv.weight[idxs] = 0.0
        return
    rows, columns = conv.in_channels // conv.groups, conv.out_channels // conv.groups
    for j in idxs:
        g = j // columns
        conv.weight[g * rows:(g + 1) * rows, j % columns] = 0.0


def zero_depthwise_groups(conv, groups):
    """Zeroes whole groups of a depthwise convolution with k outputs per group;
    returns their output channels c*k .. c*k+k-1."""
    k = conv.out_channels // conv.groups
    outputs = [c * k + j for c in groups for j in range(k)]
    if conv.transposed:  # in x k slices: row c holds group c's outputs
        conv.weight[groups] = 0.0
    else:
        conv.weight[outputs] = 0.0
    return outputs


def spread_indices(n):
    """A few indices spread over the channels: first, interior and last."""
    if n < 4:
        return [0]
    return sorted({0, n // 3, n - 1})


def kept(n, idxs):
    removed = set(idxs)
    return [i for i in range(n) if i not in removed]


@contextlib.contextmanager
def norms_over_kept_channels(plan):
    """Makes the plan's layer and group norms normalise over the channels it keeps."""
    removed = {id(dep.broken_node.module.weight): idxs for dep, idxs in plan.plan
               if dep.handler is not None and idxs
               and dep.handler.__name__ in ("prune_layernorm", "prune_groupnorm")}
    layer_norm, group_norm = F.layer_norm, F.group_norm

    def layer_norm_kept(x, normalized_shape, weight=None, bias=None, eps=1e-5):
        idxs = removed.get(id(weight))
        if idxs is None:
            return layer_norm(x, normalized_shape, weight, bias, eps)
        keep = kept(x.shape[-1], idxs)
        out = torch.zeros_like(x)
        out[..., keep] = layer_norm(x[..., keep], (len(keep),), weight[keep],
                                    None if bias is None else bias[keep], eps)
        return out

    def group_norm_kept(x, num_groups, weight=None, bias=None, eps=1e-5):
        idxs = removed.get(id(weight))
        if idxs is None:
            return group_norm(x, num_groups, weight, bias, eps)
        keep = kept(x.shape[1], idxs)
        per = x.shape[1] // num_groups
        groups = len({i // per for i in keep})  # groups that keep a channel
        out = torch.zeros_like(x)
        out[:, keep] = group_norm(x[:, keep], groups, weight[keep],
                                  None if bias is None else bias[keep], eps)
        return out

    F.layer_norm, F.group_norm = layer_norm_kept, group_norm_kept
    try:
        yield
    finally:
        F.layer_norm, F.group_norm = layer_norm, group_norm


def expected_after(model, x, plan):
    """What the model must compute once the plan has run."""
    zero_removed_channels(plan)
    with torch.no_grad(), norms_over_kept_channels(plan):
        return model(x)


def check_plan(model, x, plan):
    expected = expected_after(model, x, plan)
    plan.exec()
    with torch.no_grad():
        got = model(x)
    got, expected = tensors_of(got), tensors_of(expected)
    assert [g.shape for g in got] == [e.shape for e in expected]
    for g, e in zip(got, expected):
        scale = e.abs().max().item() + 1e-6
        torch.testing.assert_close(g, e, rtol=1e-4, atol=1e-4 * scale)


def tensors_of(out):
    """The tensors of a model's result, which may be a dict, list or tuple of them."""
    if isinstance(out, dict):
        return [t for key in sorted(out) for t in tensors_of(out[key])]
    if isinstance(out, (list, tuple)):
        return [t for item in out for t in tensors_of(item)]
    return [out]


def sweep_every_conv(model, x):
    """Prunes every convolution once, one after another, on one cached graph."""
    model.eval()
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    convs = [(n, m) for n, m in model.named_modules()
             if isinstance(m, (torch.nn.Conv1d, torch.nn.Conv2d, torch.nn.Conv3d))]
    executed, refused = 0, []
    for name, conv in convs:
        idxs = spread_indices(conv.out_channels)
        plan = graph.get_pruning_plan(conv, S.prune_conv, idxs=idxs)
        reasons = [dep.reason for dep, _ in plan.plan if dep.reason is not None]
        if reasons:
            refused.append((name, reasons))
            continue
        check_plan(model, x, plan)
        executed += 1
    return executed, refused, convs


@pytest.mark.parametrize(
    "factory, shape",
    [
        (torchvision.models.resnet18, (2, 3, 64, 64)),
        (torchvision.models.mobilenet_v2, (2, 3, 64, 64)),
        (torchvision.models.densenet121, (2, 3, 64, 64)),
        (torchvision.models.vgg11, (2, 3, 32, 32)),
        (torchvision.models.convnext_tiny, (2, 3, 64, 64)),
        (torchvision.models.video.r3d_18, (1, 3, 4, 32, 32)),
    ],
    ids=["resnet18", "mobilenet_v2", "densenet121", "vgg11", "convnext_tiny", "r3d_18"],
)
def test_every_conv_prunes_to_an_equivalent_model(factory, shape):
    torch.manual_seed(0)
    model = factory()
    x = torch.randn(*shape)
    executed, refused, convs = sweep_every_conv(model, x)
    assert not refused, refused
    assert executed == len(convs)


def test_vgg_classifier_loses_whole_feature_blocks_through_flatten():
    torch.manual_seed(0)
    model = torchvision.models.vgg11().eval()
    x = torch.randn(1, 3, 32, 32)
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    last_conv = model.features[18]
    plan = graph.get_pruning_plan(last_conv, S.prune_conv, idxs=[1, 5])
    views = [dep.broken_node.module for dep, _ in plan.plan
             if isinstance(dep.broken_node.module, tp._ViewOP)]
    assert len(views) == 1
    (fc_idxs,) = [idxs for dep, idxs in plan.plan if dep.handler is S.prune_related_linear]
    assert fc_idxs == list(range(49, 2 * 49)) + list(range(5 * 49, 6 * 49))
    check_plan(model, x, plan)
    assert model.classifier[0].in_features == 25088 - 2 * 49


def test_cached_graph_follows_shrinking_concatenation_offsets():
    # In a dense block every layer's output lands after all earlier ones; once
    # an earlier producer shrank, later offsets must shift with it.
    torch.manual_seed(0)
    model = torchvision.models.densenet121().eval()
    x = torch.randn(1, 3, 64, 64)
    graph = tp.DependencyGraph()
    graph.build_dependency(model, example_inputs=x)
    block = model.features.denseblock1
    check_plan(model, x, graph.get_pruning_plan(model.features.conv0, S.prune_conv, idxs=[0, 1, 2, 3]))
    plan = graph.get_pruning_plan(block.denselayer1.conv2, S.prune_conv, idxs=[0])
    # conv0 now gives 60 channels, so denselayer1's first output channel sits at 60.
    (norm_idxs,) = [idxs for dep, idxs in plan.plan
                    if dep.broken_node.module is block.denselayer2.norm1]
    assert norm_idxs == [60]
    check_plan(model, x, plan)
