"""How much of each torchvision architecture the surgeon can prune.

For every model: every convolution with at least 4 output channels is asked to
lose the lowest-L1 quarter of its output channels, one after another through
TorchGraphSurgeon inside one cache_dg block (input 1x3x64x64), as the README's
loop does. The table gives the convolutions that shrank (fewer weights at the
end) out of all convolutions, whether the pruned model still runs, the ratio of
the whole pruning time to one forward pass of the unpruned model, and, with
--oracle, whether every executed plan kept the outputs of the model with the
removed channels zeroed (the check adds to the time column).

The surgeon cancels plans that cross a reshape (drop_view_op, on by default),
such as the flatten before a classifier; --no-drop-view-op measures a surgeon
built with drop_view_op=False.

Run: .venv/bin/python bench/bench_coverage.py [--oracle] [--no-drop-view-op] [model ...]
"""
import argparse
import os
import sys
import time

import torch
import torchvision

from orrery.framework.model_bridge import TorchModel
from orrery.framework.nn_bridge import TorchConv2D
from orrery.framework.surgeon_bridge import TorchGraphSurgeon
from torch_surgery import dependency as tp

from bench_prune import forward_seconds  # bench/ is the script's folder

# The oracle is the dependency tests' own.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from test_dependency_oracle import expected_after, tensors_of  # noqa: E402

CLASSIFICATION = [
    "resnet18", "resnet50", "resnext50_32x4d", "regnet_x_400mf", "regnet_y_400mf",
    "mobilenet_v2", "mobilenet_v3_small", "efficientnet_b0", "densenet121", "convnext_tiny",
    "shufflenet_v2_x1_0", "squeezenet1_0", "vgg11",
]
SEGMENTATION = ["fcn_resnet50", "deeplabv3_mobilenet_v3_large", "lraspp_mobilenet_v3_large"]


def build(name):
    torch.manual_seed(0)
    if name in SEGMENTATION:
        factory = getattr(torchvision.models.segmentation, name)
        return factory(weights=None, weights_backbone=None).eval()
    return getattr(torchvision.models, name)(weights=None).eval()


class Oracle:
    """Wraps PruningPlan.exec: zero what the plan removes, run, prune, run, compare."""

    def __init__(self, model, x):
        self.model, self.x, self.failures, self.checked = model, x, 0, 0
        self.original = tp.PruningPlan.exec

    def __enter__(self):
        oracle = self

        def exec_checked(plan):
            if any(dep.reason is not None for dep, _ in plan.plan):
                return oracle.original(plan)
            expected = tensors_of(expected_after(oracle.model, oracle.x, plan))
            result = oracle.original(plan)
            oracle.checked += 1
            try:
                with torch.no_grad():
                    got = tensors_of(oracle.model(oracle.x))
                for g, e in zip(got, expected):
                    scale = e.abs().max().item() + 1e-6
                    torch.testing.assert_close(g, e, rtol=1e-4, atol=1e-4 * scale)
            except Exception:
                oracle.failures += 1
            return result

        tp.PruningPlan.exec = exec_checked
        return self

    def __exit__(self, *exc):
        tp.PruningPlan.exec = self.original


def lowest_l1_quarter(conv):
    l1 = conv.weight.detach().abs().sum(dim=(1, 2, 3))
    return torch.argsort(l1)[: conv.out_channels // 4].tolist()


def measure(name, x, oracle, drop_view_op=True):
    native = build(name)
    forward = forward_seconds(native, x)
    convs = [m for m in native.modules() if isinstance(m, torch.nn.Conv2d)]
    before = {id(m): m.weight.numel() for m in convs}
    model = TorchModel(native)
    surgeon = TorchGraphSurgeon(model, x, drop_view_op=drop_view_op)
    layers = [layer for layer in model.flat_view() if isinstance(layer, TorchConv2D)]
    checker = Oracle(native, x) if oracle else None
    start = time.perf_counter()
    if checker:
        checker.__enter__()
    try:
        with surgeon.cache_dg():
            for layer in layers:
                conv = layer.native_layer
                if conv.out_channels >= 4:
                    surgeon.prune_channels(layer, lowest_l1_quarter(conv))
    finally:
        if checker:
            checker.__exit__(None, None, None)
    seconds = time.perf_counter() - start
    shrunk = sum(m.weight.numel() < before[id(m)] for m in convs)
    try:
        with torch.no_grad():
            native(x)
        runs = "yes"
    except Exception as e:  # the table reports it
        runs = "no: " + str(e).splitlines()[0][:60]
    oracle_text = "" if not checker else (
        "ok ({})".format(checker.checked) if checker.failures == 0
        else "{} of {} differ".format(checker.failures, checker.checked))
    return shrunk, len(convs), runs, seconds / forward, oracle_text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--oracle", action="store_true")
    parser.add_argument("--no-drop-view-op", action="store_true")
    parser.add_argument("models", nargs="*", default=CLASSIFICATION + SEGMENTATION)
    args = parser.parse_args()
    import logging
    logging.disable(logging.WARNING)
    x = torch.randn(1, 3, 64, 64)
    print("device: cpu, threads: {}, input 1x3x64x64, drop_view_op={}".format(
        torch.get_num_threads(), not args.no_drop_view_op))
    print("{:30s} {:>9s} {:>7s} {:>6s} {:>12s} {}".format(
        "model", "shrunk", "share", "runs", "time/fwd", "oracle" if args.oracle else ""))
    for name in args.models:
        try:
            shrunk, total, runs, ratio, oracle_text = measure(name, x, args.oracle, not args.no_drop_view_op)
        except Exception as e:
            print("{:30s} failed: {}".format(name, str(e).splitlines()[0][:100]), flush=True)
            continue
        print("{:30s} {:>4d}/{:<4d} {:>6.0f}% {:>6s} {:>11.1f}x {}".format(
            name, shrunk, total, 100.0 * shrunk / total, runs, ratio, oracle_text), flush=True)


if __name__ == "__main__":
    main()
