"""torch_surgery.structured: channel removal from single modules."""
import pytest
import torch
import torch.nn.utils.prune
from torch import nn

from torch_surgery import structured as S


def state(module):
    return {k: v.clone() for k, v in module.state_dict().items()}, dict(vars(module))


def assert_unchanged(module, snapshot):
    tensors, attrs = snapshot
    for key, value in module.state_dict().items():
        assert torch.equal(value, tensors[key]), key
    for key in ("in_channels", "out_channels", "groups", "in_features", "out_features",
                "num_features", "num_parameters"):
        if key in attrs:
            assert getattr(module, key) == attrs[key], key


def test_module_exports_the_seven_functions_in_order():
    assert list(S.__all__) == ["prune_conv", "prune_related_conv", "prune_linear",
                               "prune_related_linear", "prune_batchnorm", "prune_group_conv",
                               "prune_prelu"]


def test_functions_carry_their_annotations_and_pickle_by_reference():
    import inspect
    import pickle
    sig = inspect.signature(S.prune_linear)
    assert list(sig.parameters) == ["layer", "idxs", "inplace", "dry_run"]
    assert sig.parameters["layer"].annotation is nn.modules.linear.Linear
    assert sig.parameters["dry_run"].default is False
    assert S.prune_related_conv.__annotations__["layer"] is nn.modules.conv._ConvNd
    assert S.prune_batchnorm.__annotations__["layer"] is nn.modules.batchnorm._NormBase
    assert S.prune_prelu.__annotations__["idxs"] is list
    assert pickle.loads(pickle.dumps(S.prune_conv)) is S.prune_conv
    assert S.prune_conv.__name__ == "prune_conv"


def test_prune_conv_drops_repeats_and_keeps_the_other_rows_in_order():
    conv = nn.Conv2d(8, 16, 3)
    weight, bias = conv.weight.detach().clone(), conv.bias.detach().clone()
    layer, num = S.prune_conv(conv, [3, 3, 5])
    keep = [i for i in range(16) if i not in (3, 5)]
    assert layer is conv and num == 2 * 72 + 2
    assert conv.out_channels == 14 and conv.weight.shape == (14, 8, 3, 3)
    assert torch.equal(conv.weight, weight[keep]) and torch.equal(conv.bias, bias[keep])
    assert isinstance(conv.weight, nn.Parameter) and conv.weight.requires_grad
    assert conv.weight.data_ptr() != weight.data_ptr()
    conv(torch.randn(1, 8, 5, 5))


def test_related_functions_cut_inputs_and_never_the_bias():
    conv = nn.Conv2d(8, 4, 3)
    bias = conv.bias
    _, num = S.prune_related_conv(conv, [0, 7, 7])
    assert num == 2 * 4 * 9 and conv.in_channels == 6 and conv.weight.shape == (4, 6, 3, 3)
    assert conv.bias is bias
    linear = nn.Linear(10, 3)
    weight, bias = linear.weight.detach().clone(), linear.bias
    _, num = S.prune_related_linear(linear, [2, 9])
    assert num == 6 and linear.in_features == 8 and linear.bias is bias
    assert torch.equal(linear.weight, weight[:, [0, 1, 3, 4, 5, 6, 7, 8]])
    _, num = S.prune_linear(linear, [1])
    assert num == 8 + 1 and linear.out_features == 2 and linear.bias.shape == (2,)


def test_transposed_convolution_weights_are_cut_on_the_swapped_dims():
    deconv = nn.ConvTranspose2d(6, 4, 2)  # weight: in x out x kh x kw
    S.prune_conv(deconv, [1])
    assert deconv.weight.shape == (6, 3, 2, 2) and deconv.bias.shape == (3,)
    S.prune_related_conv(deconv, [0, 5])
    assert deconv.weight.shape == (4, 3, 2, 2) and deconv.in_channels == 4
    deconv(torch.randn(1, 4, 3, 3))


def test_batchnorm_prelu_and_depthwise():
    bn = nn.BatchNorm2d(8, affine=False)
    bn.running_mean += torch.arange(8.0)
    _, num = S.prune_batchnorm(bn, [0, 3])
    assert num == 2 and bn.num_features == 6
    assert torch.equal(bn.running_mean, torch.tensor([1.0, 2, 4, 5, 6, 7]))
    assert "running_mean" in bn._buffers and not isinstance(bn.running_mean, nn.Parameter)
    affine = nn.BatchNorm1d(4)
    assert S.prune_batchnorm(affine, [1])[1] == 2 and affine.weight.shape == (3,)

    shared = nn.PReLU()
    assert S.prune_prelu(shared, [0, 1]) == (shared, 0) and shared.weight.shape == (1,)
    per_channel = nn.PReLU(32)
    assert S.prune_prelu(per_channel, [0, 1, 2, 3])[1] == 4 and per_channel.weight.shape == (28,)

    dw = nn.Conv2d(32, 32, 3, groups=32)
    _, num = S.prune_group_conv(dw, [1, 2, 3, 3, 4])
    assert num == 4 * 9 + 4
    assert (dw.groups, dw.in_channels, dw.out_channels) == (28, 28, 28)
    dw(torch.randn(1, 28, 5, 5))


def test_inplace_and_dry_run_change_nothing_about_pruning():
    conv = nn.Conv2d(3, 4, 1)
    S.prune_conv(conv, [0], False, True)
    S.prune_conv(layer=conv, idxs=[0], inplace=False, dry_run=True)
    assert conv.out_channels == 2
    with pytest.raises(TypeError):
        S.prune_conv(conv)
    with pytest.raises(TypeError):
        S.prune_conv(conv, [0], True, False, 1)


@pytest.mark.parametrize("call, message", [
    (lambda: S.prune_conv(nn.Conv2d(3, 4, 1), [0, 1, 2, 3]), None),
    (lambda: S.prune_related_conv(nn.Conv2d(3, 4, 1), [0, 1, 2]), None),
    (lambda: S.prune_linear(nn.Linear(3, 2), [0, 1]), None),
    (lambda: S.prune_related_linear(nn.Linear(3, 2), [0, 1, 2]), None),
    (lambda: S.prune_batchnorm(nn.BatchNorm2d(2), [0, 1]), "prune_batchnorm: removing every entry"),
    (lambda: S.prune_prelu(nn.PReLU(2), [1, 0]), "prune_prelu: removing every entry"),
    (lambda: S.prune_groupnorm(nn.GroupNorm(2, 4), [0, 1, 2, 3]), "prune_groupnorm: removing every"),
])
def test_removing_every_channel_is_refused_with_a_runtime_error(call, message):
    """Convolutions and linear layers refuse with a bare RuntimeError, as they always
    have; the other functions say which size would be emptied."""
    with pytest.raises(RuntimeError) as err:
        call()
    assert type(err.value) is RuntimeError
    if message is None:
        assert err.value.args == ()
    else:
        assert str(err.value).startswith(message)


def refusals():
    return [
        ("out of range", lambda: nn.Conv2d(3, 4, 1), S.prune_conv, [4]),
        ("negative", lambda: nn.Conv2d(3, 4, 1), S.prune_related_conv, [-1]),
        ("repeated", lambda: nn.Linear(3, 4), S.prune_linear, [1, 1]),
        ("repeated", lambda: nn.Linear(3, 4), S.prune_related_linear, [0, 0]),
        ("repeated", lambda: nn.BatchNorm2d(4), S.prune_batchnorm, [2, 2]),
        ("out of range", lambda: nn.BatchNorm2d(4), S.prune_batchnorm, [4]),
        ("out of range", lambda: nn.PReLU(4), S.prune_prelu, [9]),
        ("groups=1", lambda: nn.Conv2d(4, 4, 1), S.prune_group_conv, [0]),
    ]


@pytest.mark.parametrize("message, make, fn, idxs", refusals(),
                         ids=[f"{r[2].__name__}-{r[0]}" for r in refusals()])
def test_bad_indices_are_refused_before_the_module_changes(message, make, fn, idxs):
    module = make()
    before = state(module)
    with pytest.raises(ValueError, match=message):
        fn(module, idxs)
    assert_unchanged(module, before)


def test_refusals_leave_the_module_untouched():
    grouped = nn.Conv2d(8, 16, 3, groups=2)
    before = state(grouped)
    with pytest.raises(AssertionError, match="only group conv with in_channel==groups and out_channels a multiple"):
        S.prune_group_conv(grouped, [0])
    assert_unchanged(grouped, before)
    dw = nn.Conv2d(4, 4, 3, groups=4)
    before = state(dw)
    with pytest.raises(RuntimeError):
        S.prune_group_conv(dw, [0, 1, 2, 3])
    assert_unchanged(dw, before)
    conv = nn.Conv2d(3, 4, 1)
    before = state(conv)
    with pytest.raises(RuntimeError):
        S.prune_conv(conv, [0, 1, 2, 3])
    assert_unchanged(conv, before)


def test_index_lists_are_type_checked():
    conv = nn.Conv2d(3, 4, 1)
    for bad in ((0,), None, 0):
        with pytest.raises(TypeError):
            S.prune_conv(conv, bad)
    with pytest.raises(TypeError):
        S.prune_linear(nn.Linear(2, 2), [0.5])
    assert S.prune_prelu(nn.PReLU(), None)[1] == 0
    with pytest.raises(TypeError):
        S.prune_prelu(nn.PReLU(3), None)
    assert conv.out_channels == 4


def weight_normed():
    return torch.nn.utils.weight_norm(nn.Conv2d(3, 4, 1))


def parametrized():
    conv = nn.Conv2d(3, 4, 1)
    torch.nn.utils.parametrize.register_parametrization(conv, "weight", nn.Identity())
    return conv


def integer_linear():
    linear = nn.Linear(3, 2)
    linear.weight = nn.Parameter(torch.ones(2, 3, dtype=torch.int64), requires_grad=False)
    return linear


@pytest.mark.parametrize("make, fn, message", [
    (lambda: nn.Conv2d(8, 16, 3, groups=2), S.prune_conv, "same number of channels from every group"),
    (lambda: nn.Conv2d(8, 16, 3, groups=2), S.prune_related_conv, "same number of channels"),
    (lambda: nn.ConvTranspose2d(8, 16, 3, groups=2), S.prune_conv, "same number of channels"),
    (lambda: nn.Conv2d(4, 4, 3, groups=4), S.prune_conv, "prune_group_conv"),
    (weight_normed, S.prune_conv, "weight_norm"),
    (parametrized, S.prune_conv, "parametriz"),
    (lambda: torch.nn.utils.spectral_norm(nn.Conv2d(3, 4, 1)), S.prune_conv, "spectral_norm"),
    (lambda: torch.nn.utils.prune.random_unstructured(nn.Conv2d(3, 4, 1), "weight", 0.5), S.prune_conv,
     "torch.nn.utils.prune"),
    (integer_linear, S.prune_linear, "not floating point"),
])
def test_modules_that_would_break_are_refused_before_any_change(make, fn, message):
    module = make()
    before = state(module)
    with pytest.raises(ValueError, match=message):
        fn(module, [0])
    assert_unchanged(module, before)


def test_pruning_keeps_frozen_parameters_frozen_and_indices_in_range():
    conv = nn.Conv2d(3, 4, 1)
    conv.weight.requires_grad_(False)
    S.prune_conv(conv, [1])
    assert not conv.weight.requires_grad and conv.bias.requires_grad
    with pytest.raises(ValueError, match="far beyond"):
        S.prune_conv(conv, [2 ** 70])


def test_quantized_convolution_keeps_one_step_size_per_channel():
    from orrery.framework.quant_bridge import LSQConv2D

    torch.manual_seed(0)
    for export in (False, True):
        q = LSQConv2D(nn.Conv2d(3, 6, 3), 8, 8, "bipolar", True, False)
        q.quan_a_fn.init_from(torch.rand(2, 3, 8, 8))
        if export:
            q.prepare_for_export()
        x = torch.rand(2, 3, 8, 8)
        with torch.no_grad():
            expected = q(x)[:, [0, 2, 3, 5]]
        S.prune_conv(q, [1, 4])
        assert q.quan_w_fn.s.shape[0] == 4
        with torch.no_grad():
            assert torch.allclose(q(x), expected, atol=1e-6)


def test_layer_norm_and_per_channel_tensors():
    torch.manual_seed(0)
    norm = torch.nn.LayerNorm(6)
    torch.nn.init.normal_(norm.weight)
    torch.nn.init.normal_(norm.bias)
    x = torch.randn(2, 6)
    expected = torch.nn.functional.layer_norm(x[:, [0, 2, 3, 5]], (4,), norm.weight[[0, 2, 3, 5]],
                                              norm.bias[[0, 2, 3, 5]])
    assert S.prune_layernorm(norm, [4, 1]) == (norm, 4)
    torch.testing.assert_close(norm(x[:, [0, 2, 3, 5]]), expected)
    with pytest.raises(ValueError, match="only a layer norm over the channels alone"):
        S.prune_layernorm(torch.nn.LayerNorm([4, 4]), [0])

    holder = torch.nn.Module()
    holder.gamma = torch.nn.Parameter(torch.arange(12.0).view(1, 4, 3), requires_grad=False)
    holder.register_buffer("counts", torch.arange(4))
    assert S.prune_parameter(holder, "gamma", [0, 3], dim=1)[1] == 6
    assert torch.equal(holder.gamma, torch.tensor([[[3.0, 4, 5], [6, 7, 8]]]))
    assert isinstance(holder.gamma, torch.nn.Parameter) and not holder.gamma.requires_grad
    for args, error, message in [
        (("missing", [0]), ValueError, "no parameter or buffer 'missing'"),
        (("counts", [0]), ValueError, "not floating point"),
        (("gamma", [0], 3), ValueError, "dimension 3 does not exist"),
        (("gamma", [5], 1), ValueError, "out of range|outside"),
        ((0, [0]), TypeError, "attribute name as a str"),
    ]:
        with pytest.raises(error, match=message):
            S.prune_parameter(holder, *args)
    assert holder.gamma.shape == (1, 2, 3) and holder.counts.shape == (4,)


def test_group_norm_keeps_equal_groups_or_drops_whole_ones():
    torch.manual_seed(0)
    x = torch.randn(2, 12, 5)
    for idxs, groups, kept in [([1, 5, 9], 3, [0, 2, 3, 4, 6, 7, 8, 10, 11]),
                               ([8, 9, 10, 11], 2, list(range(8))),
                               ([0, 1, 2, 3, 5, 9], 2, [4, 6, 7, 8, 10, 11])]:
        norm = torch.nn.GroupNorm(3, 12)
        torch.nn.init.normal_(norm.weight)
        torch.nn.init.normal_(norm.bias)
        weight, bias = norm.weight[kept].detach(), norm.bias[kept].detach()
        assert S.prune_groupnorm(norm, idxs) == (norm, 2 * len(idxs))
        assert (norm.num_channels, norm.num_groups) == (len(kept), groups)
        expected = torch.nn.functional.group_norm(x[:, kept], groups, weight, bias)
        torch.testing.assert_close(norm(x[:, kept]), expected)

    norm = torch.nn.GroupNorm(3, 12, affine=False)
    assert S.prune_groupnorm(norm, [0, 4, 8]) == (norm, 0) and norm.num_channels == 9
    norm = torch.nn.GroupNorm(3, 12)
    before = norm.weight
    with pytest.raises(ValueError, match="group 0 would lose 2 but group 1 1"):
        S.prune_groupnorm(norm, [0, 1, 4, 8])
    assert norm.weight is before and (norm.num_channels, norm.num_groups) == (12, 3)


PYBIND_DUMPS = ("incompatible function arguments", "Unable to cast", "Invoked with")


def snapshot(module):
    tensors = {k: v.clone() for k, v in module.state_dict().items() if isinstance(v, torch.Tensor)}
    return repr(module), tensors


def assert_same(module, before):
    text, tensors = snapshot(module)
    assert text == before[0]
    assert tensors.keys() == before[1].keys()
    for key, value in tensors.items():
        assert torch.equal(value, before[1][key]), key


def with_attr(module, **attrs):
    for name, value in attrs.items():
        setattr(module, name, value)
    return module


def scaled():
    holder = nn.Module()
    holder.gamma = nn.Parameter(torch.ones(2, 4))
    return holder


@pytest.mark.parametrize("make, call, error, message", [
    (lambda: nn.Conv2d(3, 4, 1), lambda m: S.prune_conv(m, [2 ** 63]), ValueError, "far beyond"),
    (lambda: nn.Linear(3, 4), lambda m: S.prune_related_linear(m, [-2 ** 64]), ValueError, "far beyond"),
    (scaled, lambda m: S.prune_parameter(m, "gamma", [0], dim=2 ** 70), ValueError, "dimension"),
    (scaled, lambda m: S.prune_parameter(m, "gamma", [0], dim=-2 ** 70), ValueError, "dimension"),
    (scaled, lambda m: S.prune_parameter(m, "gamma"), TypeError, "missing 1 required positional argument: 'idxs'"),
    (scaled, lambda m: S.prune_parameter(m, "gamma", [0], 1, 2), TypeError, "from 3 to 4 positional"),
    (lambda: torch.ao.nn.quantized.dynamic.Linear(4, 3), lambda m: S.prune_linear(m, [0]),
     TypeError, "weight is a method, not a tensor.*quantized"),
    (lambda: torch.ao.nn.quantized.dynamic.Linear(4, 3), lambda m: S.prune_related_linear(m, [0]),
     TypeError, "not a tensor"),
    (lambda: with_attr(nn.Conv2d(3, 4, 1), weight=None), lambda m: S.prune_conv(m, [0]),
     TypeError, "weight is None, not a tensor"),
    (lambda: with_attr(nn.Conv2d(3, 4, 1), in_channels=3.0), lambda m: S.prune_related_conv(m, [0]),
     TypeError, "in_channels must be an int, got 3.0"),
    (lambda: with_attr(nn.GroupNorm(2, 4), num_groups=2.0), lambda m: S.prune_groupnorm(m, [0, 2]),
     TypeError, "num_groups must be an int"),
    (lambda: with_attr(nn.PReLU(3), num_parameters=None), lambda m: S.prune_prelu(m, [0]),
     TypeError, "num_parameters must be an int"),
    (lambda: nn.Conv2d(3, 4, 1), lambda m: S.prune_conv(m), TypeError,
     r"prune_conv\(\) missing 1 required positional argument: 'idxs'"),
    (lambda: nn.Conv2d(3, 4, 1), lambda m: S.prune_conv(m, [0], idxs=[1]), TypeError,
     "multiple values for argument 'idxs'"),
    (lambda: nn.Conv2d(3, 4, 1), lambda m: S.prune_conv(m, [0], dryrun=True), TypeError,
     "unexpected keyword argument 'dryrun'"),
    (lambda: nn.Conv2d(3, 4, 1), lambda m: S.prune_conv(idxs=[0]), TypeError, "'layer'"),
    (lambda: nn.Linear(3, 4), lambda m: S.prune_layernorm(m, [0]), TypeError,
     "no attribute 'normalized_shape'"),
    (lambda: nn.Linear(3, 4), lambda m: S.prune_batchnorm("bn", [0]), TypeError, "torch.nn.Module"),
    (lambda: nn.Linear(3, 4), lambda m: S.prune_parameter(None, "weight", [0]), TypeError, "torch.nn.Module"),
])
def test_wrong_arguments_and_layers_get_a_plain_error_and_leave_the_layer_alone(make, call, error, message):
    module = make()
    before = snapshot(module)
    with pytest.raises(error, match=message) as err:
        call(module)
    assert not any(dump in str(err.value) for dump in PYBIND_DUMPS)
    assert_same(module, before)


def test_inplace_and_dry_run_of_any_type_are_accepted_and_ignored():
    values = [None, "yes", 0, 2.5, [1], object()]
    conv = nn.Conv2d(3, 2 * len(values) + 1, 1)
    for value in values:
        S.prune_conv(conv, [0], inplace=value, dry_run=value)
        S.prune_conv(conv, [0], value, value)
    assert conv.out_channels == 1
    for fn, make in [(S.prune_linear, lambda: nn.Linear(2, 3)), (S.prune_batchnorm, lambda: nn.BatchNorm2d(3)),
                     (S.prune_prelu, lambda: nn.PReLU(3)), (S.prune_groupnorm, lambda: nn.GroupNorm(3, 3)),
                     (S.prune_layernorm, lambda: nn.LayerNorm(3))]:
        assert fn(make(), [1], None, "no")[1] > 0
