"""The LSQ quantizer: helper functions, LsqQuan, and the fused operator measured
against a Python transcription of the quantizer's defining composition."""
import copy
import math
import subprocess
import sys

import pytest
import torch

from orrery.framework import quant_bridge as qb
from orrery.framework.quant_bridge import LsqQuan, grad_scale, round_pass, twos_comp


# The reference: the quantizer written out with PyTorch operators.
def ref_grad_scale(x, scale):
    y = x
    y_grad = x * scale
    return (y - y_grad).detach() + y_grad


def ref_round_pass(x):
    y = x.round()
    y_grad = x
    return (y - y_grad).detach() + y_grad


def ref_forward(quantizer, x, s):
    s_grad_scale = 1.0 / ((quantizer.thd_pos * x.numel()) ** 0.5)
    s_scale = ref_grad_scale(s, s_grad_scale)
    x = x / s_scale
    x = torch.clamp(x, quantizer.thd_neg, quantizer.thd_pos)
    x = ref_round_pass(x)
    return x * s_scale


def bits(t):
    return t.contiguous().view(torch.int32 if t.element_size() == 4 else torch.int64)


@pytest.mark.parametrize("args, lo, hi", [
    ((8, True, False, False), 0, 255),
    ((8, False, True, False), -127, 127),
    ((8, False, False, False), -128, 127),
    ((4, True, False, False), 0, 15),
    ((4, False, True, False), -7, 7),
    ((4, False, False, False), -8, 7),
    ((24, False, False, True), -2 ** 23, 2 ** 23 - 1),
])
def test_code_ranges(args, lo, hi):
    q = LsqQuan(*args)
    assert (q.thd_neg, q.thd_pos) == (lo, hi)
    assert type(q.thd_neg) is int and type(q.thd_pos) is int
    assert q.per_channel is args[3]
    assert isinstance(q.s, torch.nn.Parameter) and q.s.shape == (1,) and q.s.item() == 1.0
    assert isinstance(q, torch.nn.Module) and [n for n, _ in q.named_parameters()] == ["s"]


def test_constructor_refusals():
    with pytest.raises(AssertionError, match="^Positive quantization cannot be symmetric$"):
        LsqQuan(4, True, True, False)
    with pytest.raises(TypeError):
        LsqQuan(4, True, False)
    # Keywords work as well; the assertion is an interpreter one, gone under -O.
    assert LsqQuan(bit=2, all_positive=True, symmetric=False, per_channel=False).thd_pos == 3
    code = ("from orrery.framework.quant_bridge import LsqQuan;"
            "q = LsqQuan(4, True, True, False); print(q.thd_neg, q.thd_pos)")
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True,
                         check=True)
    assert out.stdout.split() == ["0", "15"]


def test_fresh_quantizer_values_and_bit_width_checks():
    q = LsqQuan(4, False, False, False)
    y = q(torch.tensor([0.4, 0.6, 2.5, -20.0]))
    assert y.tolist() == [0.0, 1.0, 2.0, -8.0]
    assert q(torch.empty(0, 3)).shape == (0, 3)  # empty in, empty out
    assert LsqQuan(1, True, False, False).thd_pos == 1  # one unsigned bit is a range
    for bits, message in [(1, "between 2 and 24 for a signed range, got 1"), (25, "got 25"),
                          (8.0, "must be an int"), (True, "must be an int")]:
        with pytest.raises(ValueError, match=message):
            LsqQuan(bits, False, True, False)


def test_init_from():
    q = LsqQuan(8, False, True, False)
    x = torch.full((4, 5), 0.5)
    x[0] = -0.5
    old = q.s
    q.init_from(x, "ignored", also="ignored")
    assert q.s is not old and isinstance(q.s, torch.nn.Parameter)
    assert q.s.shape == () and q.s.item() == pytest.approx(1.0 / math.sqrt(127))
    assert q.s.grad_fn is None and q.s.requires_grad

    w = torch.randn(16, 8, 3, 3, requires_grad=True)
    pc = LsqQuan(4, False, True, True)
    pc.init_from(w)
    assert pc.s.shape == (16, 1, 1, 1)
    expected = w.detach().abs().mean(dim=[1, 2, 3], keepdim=True) * 2 / (7 ** 0.5)
    assert torch.equal(pc.s.data, expected)


def test_helper_functions():
    x = torch.tensor([0.4, 0.6, 2.5, 3.5, -1.5], requires_grad=True)
    r = round_pass(x)
    assert r.tolist() == [0.0, 1.0, 2.0, 4.0, -2.0]
    g = grad_scale(x, 0.25)
    assert torch.equal(g, ref_grad_scale(x, 0.25))
    (r.sum() + 2 * g.sum()).backward()
    assert torch.allclose(x.grad, torch.full((5,), 1.5))

    vals = torch.tensor([-3.0, 2.0, -8.0])
    out = twos_comp(vals, 4)
    assert out is vals
    assert vals.tolist() == [13.0, 2.0, 8.0] and vals.dtype == torch.float32
    assert twos_comp(torch.tensor([-3, 5]), 8).tolist() == [253, 5]
    # Exact at the widest width each type holds, refused beyond it.
    assert twos_comp(torch.tensor([-1.0, -2.0 ** 23]), 24).tolist() == [2.0 ** 24 - 1, 2.0 ** 23]
    assert twos_comp(torch.tensor([-1], dtype=torch.int64), 62).item() == 2 ** 62 - 1
    assert twos_comp(torch.tensor([-3.0], dtype=torch.float64), 53).item() == 2.0 ** 53 - 3
    for bad, error in [((torch.zeros(2), 25), ValueError), ((torch.zeros(2), 2 ** 70), ValueError),
                       ((torch.zeros(2), 4.0), TypeError), (([1.0], 4), TypeError)]:
        with pytest.raises(error, match="twos_comp"):
            twos_comp(*bad)
    with pytest.raises(TypeError, match="scale must be a real number"):
        grad_scale(x, "0.5")
    with pytest.raises(TypeError, match="round_pass\\(\\): x must be a torch.Tensor"):
        round_pass([1.0])


def test_init_from_gives_every_channel_a_usable_step():
    q = LsqQuan(8, False, True, True)
    w = torch.randn(4, 3, 3, 3)
    w[1] = 0.0
    w[2, 0, 0, 0] = float("inf")
    q.init_from(w)
    assert torch.isfinite(q.s).all() and (q.s > 0).all()
    out = q(w.nan_to_num(posinf=0.0))
    assert torch.isfinite(out).all() and out[1].abs().sum() == 0


STEP_SHAPES = {"per-tensor [1]": (1,), "per-tensor []": (), "per-channel": (6, 1, 1, 1)}


def awkward_values(q, s, shape, dtype):
    """Random values plus exact bounds, halves, signed zeros, infinities and NaN."""
    torch.manual_seed(7)
    codes = torch.randn(shape, dtype=dtype) * (q.thd_pos - q.thd_neg) * 0.4
    flat = codes.view(-1)
    special = [q.thd_neg, q.thd_pos, q.thd_neg - 1, q.thd_pos + 1, 0.5, 1.5, -2.5, -0.3,
               -0.0, 0.0, math.inf, -math.inf, math.nan]
    flat[:len(special)] = torch.tensor(special, dtype=dtype)
    return codes * s


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("step", list(STEP_SHAPES))
@pytest.mark.parametrize("args", [(8, True, False, False), (4, False, True, False),
                                  (3, False, False, False), (24, False, True, False)])
def test_fused_forward_is_bit_identical(dtype, step, args):
    q = LsqQuan(*args)
    s = (torch.rand(STEP_SHAPES[step], dtype=dtype) * 0.2 + 0.01)
    q.s = torch.nn.Parameter(s.clone())
    x = awkward_values(q, s, (6, 5, 7, 3), dtype)
    assert torch.equal(bits(q(x)), bits(ref_forward(q, x, s)))


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("step", list(STEP_SHAPES))
def test_fused_gradients_match_the_composition(dtype, step):
    q = LsqQuan(8, False, True, False)
    s = torch.full(STEP_SHAPES[step], 0.25, dtype=dtype)
    q.s = torch.nn.Parameter(s.clone())
    torch.manual_seed(1)
    x = torch.randn(6, 5, 33, 17, dtype=dtype) * 30
    # Values exactly on both clamp bounds, which still pass their gradient.
    x.view(-1)[:4] = torch.tensor([127 * 0.25, -127 * 0.25, 127 * 0.25, 0.125], dtype=dtype)
    x.requires_grad_()
    x_ref = x.detach().clone().requires_grad_()
    s_ref = s.clone().requires_grad_()
    grad = torch.randn_like(x)
    q(x).backward(grad)
    ref_forward(q, x_ref, s_ref).backward(grad)
    assert torch.allclose(x.grad, x_ref.grad, rtol=1e-5, atol=0)
    assert x.grad.view(-1)[:2].tolist() == grad.view(-1)[:2].tolist()
    assert q.s.grad.shape == s.shape
    assert torch.allclose(q.s.grad, s_ref.grad, rtol=1e-4, atol=0)
    # The step size gradient carries the factor 1 / sqrt(thd_pos * numel).
    unscaled = q.s.grad / (1.0 / math.sqrt(127 * x.numel()))
    assert unscaled.abs().max() > 1.0


def test_only_requested_gradients_and_frozen_step():
    q = LsqQuan(8, True, False, False)
    x = torch.rand(4, 9) * 100
    q.s.requires_grad_(False)
    assert not q(x).requires_grad
    q.s.requires_grad_(True)
    q(x).sum().backward()
    assert q.s.grad is not None


def test_meta_tensors_and_double_backward():
    q = LsqQuan(8, True, False, False)
    y = copy.deepcopy(q).to("meta")(torch.empty(2, 3, 4, 4, device="meta"))
    assert y.is_meta and y.shape == (2, 3, 4, 4)
    x = torch.rand(4, 9, requires_grad=True)
    (gx,) = torch.autograd.grad(q(x).pow(2).sum(), x, create_graph=True)
    with pytest.raises(RuntimeError, match="double backward of orrery::lsq_quantize is not supported"):
        gx.sum().backward()


def test_traced_graph_names_the_operator():
    q = LsqQuan(8, True, False, False)
    x = torch.rand(2, 3, 4, 4)
    traced = torch.jit.trace(q, x)
    assert "orrery::lsq_quantize" in str(traced.graph)
    assert torch.equal(traced(x), q(x))


def test_inputs_of_other_kinds():
    q = LsqQuan(4, False, False, False)
    # Non-contiguous input and a step of another dtype still give the composition.
    x = torch.randn(7, 5).t() * 4
    assert torch.equal(q(x), ref_forward(q, x, q.s.detach()))
    q.s = torch.nn.Parameter(torch.tensor([0.5], dtype=torch.float64))
    y = q(torch.randn(3, 4))
    assert y.dtype == torch.float64
    with pytest.raises(RuntimeError, match="floating-point"):
        q(torch.ones(3, dtype=torch.int32))
    with pytest.raises(TypeError, match="must be a torch.Tensor"):
        q([1.0, 2.0])


def test_module_behaves_like_a_module():
    import copy
    import pickle
    q = LsqQuan(8, False, True, True)
    q.init_from(torch.randn(4, 2, 3, 3))
    c = copy.deepcopy(q)
    assert torch.equal(c.s, q.s) and c.s is not q.s and c.thd_neg == -127
    r = pickle.loads(pickle.dumps(q))
    assert type(r) is LsqQuan and torch.equal(r.s, q.s)
    assert qb.LsqQuan.__module__ == "orrery.framework.quant_bridge"


def test_results_do_not_depend_on_the_thread_count():
    q = LsqQuan(8, False, True, False)
    q.init_from(torch.randn(100))
    torch.manual_seed(5)
    x = torch.randn(3, 70000)
    grad = torch.randn_like(x)
    results = []
    threads = torch.get_num_threads()
    try:
        for n in (1, 2):
            torch.set_num_threads(n)
            xr = x.clone().requires_grad_()
            q.s.grad = None
            y = q(xr)
            y.backward(grad)
            results.append((y.detach(), xr.grad, q.s.grad.clone()))
    finally:
        torch.set_num_threads(threads)
    for a, b in zip(*results):
        assert torch.equal(a, b)


def test_meta_device_convolutions_are_refused_with_a_plain_error():
    from torch import nn
    from orrery.framework import nn_bridge as nb
    from orrery.framework.prims_bridge import TorchLSQ

    lsq = TorchLSQ(wbits=4, abits=8, polarity="bipolar", channel_quant=True, act_polarity="bipolar")
    for make in (lambda conv: qb.LSQConv2D(conv, 4, 8),
                 lambda conv: lsq.concrete_transform_layer(nb.TorchConv2D(conv))):
        conv = nn.Conv2d(3, 4, 3, device="meta")
        with pytest.raises(ValueError, match="meta device") as err:
            make(conv)
        assert "incompatible function arguments" not in str(err.value)
        assert "Unable to cast" not in str(err.value)
        assert conv.weight.is_meta and conv.weight.shape == (4, 3, 3, 3)
