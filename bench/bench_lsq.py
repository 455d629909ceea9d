"""Forward plus backward of the LSQ quantizer: the fused engine operator (through
LsqQuan) against the same computation written with PyTorch operators, and against
PyTorch's own learnable fake quantizer. Prints times and speed ratios."""
import argparse
import statistics
import time

import torch

from orrery.framework.quant_bridge import LsqQuan


def grad_scale(x, scale):
    y_grad = x * scale
    return (x - y_grad).detach() + y_grad


def round_pass(x):
    return (x.round() - x).detach() + x


def composition(quantizer):
    def run(x):
        g = 1.0 / ((quantizer.thd_pos * x.numel()) ** 0.5)
        s_scale = grad_scale(quantizer.s, g)
        q = torch.clamp(x / s_scale, quantizer.thd_neg, quantizer.thd_pos)
        return round_pass(q) * s_scale
    return run


def torch_learnable(quantizer):
    zero_point = torch.zeros(1)

    def run(x):
        g = 1.0 / ((quantizer.thd_pos * x.numel()) ** 0.5)
        return torch._fake_quantize_learnable_per_tensor_affine(
            x, quantizer.s.view(1), zero_point, quantizer.thd_neg, quantizer.thd_pos, g)
    return run


def make_step(fn, x, grad, params):
    def step():
        for p in params:
            p.grad = None
        fn(x).backward(grad)
    return step


def case(name, x, quantizer, baselines, repeats):
    """Times the variants round-robin, so that they share the machine's load.
    Ratios of best times (the least disturbed by other work) and of medians."""
    grad = torch.randn_like(x)
    params = [x, quantizer.s]
    variants = [("fused (LsqQuan)", quantizer)] + baselines
    steps = [make_step(fn, x, grad, params) for _, fn in variants]
    times = [[] for _ in steps]
    for step in steps:  # warm-up
        step()
    for _ in range(repeats):
        for k, step in enumerate(steps):
            start = time.perf_counter()
            step()
            times[k].append(time.perf_counter() - start)
    best = [min(t) for t in times]
    median = [statistics.median(t) for t in times]
    print("{}: fused best {:.2f} ms, median {:.2f} ms".format(name, best[0] * 1e3, median[0] * 1e3))
    for (label, _), b, m in zip(variants[1:], best[1:], median[1:]):
        print("  vs {:<48s} best {:7.2f} ms  x{:5.2f} faster | median {:7.2f} ms  x{:5.2f} faster"
              .format(label, b * 1e3, b / best[0], m * 1e3, m / median[0]))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--threads", type=int, default=None)
    args = parser.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)
    torch.manual_seed(0)
    print("torch {}, {} thread(s)".format(torch.__version__, torch.get_num_threads()))

    act = LsqQuan(8, True, False, False)
    x = torch.randn(8, 64, 112, 112).abs().requires_grad_()
    act.init_from(x)
    case("activation 8x64x112x112, per-tensor step, float32", x, act,
         [("composition (PyTorch operators)", composition(act)),
          ("torch._fake_quantize_learnable_per_tensor_affine", torch_learnable(act))],
         args.repeats)

    wq = LsqQuan(8, False, True, True)
    w = (torch.randn(256, 256, 3, 3) * 0.05).requires_grad_()
    wq.init_from(w)
    case("weights 256x256x3x3, per-channel step, float32", w, wq,
         [("composition (PyTorch operators)", composition(wq))], args.repeats)


if __name__ == "__main__":
    main()
