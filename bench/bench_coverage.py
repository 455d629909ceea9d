"""How much of each architecture the surgeon can prune.

For every model: every convolution with at least 4 output channels is asked to
lose the lowest-L1 quarter of its output channels, one after another through
TorchGraphSurgeon inside one cache_dg block (input 1x3x64x64; 299x299 for
Inception-v3, whose auxiliary head needs it, 32x32 for the CIFAR-sized
networks), as the README's loop does. The table gives the convolutions that
shrank (fewer weights at the end) out of all convolutions, the calls the
surgeon recorded as "pruned" out of all its calls (the others were refused or
cancelled), whether the pruned model still runs, whether it still trains (one
forward and backward pass in training mode, where GoogLeNet's and
Inception-v3's auxiliary heads run), the ratio of the whole pruning time to one
forward pass of the unpruned model, and, with --oracle, whether every executed
plan kept the outputs of the model with the removed channels zeroed (the check
adds to the time column).

Besides torchvision's models (GoogLeNet and Inception-v3 with their default
auxiliary heads) it measures the networks of coverage_models.py: GhostNet
bottlenecks, a CIFAR ResNet with zero-padding shortcuts, an ESPCN head and a
MobileNet with channel multiplier 2.

The surgeon cancels plans that cross a reshape (drop_view_op, on by default),
such as the flatten before a classifier; --no-drop-view-op measures a surgeon
built with drop_view_op=False.

--before PYTHON runs the same measurement under another build's interpreter
(another checkout's .venv/bin/python) model by model, alternating with this
one, and prints both side by side.

Run: .venv/bin/python bench/bench_coverage.py [--oracle] [--no-drop-view-op]
         [--before OTHER/.venv/bin/python] [model ...]
"""
import argparse
import json
import os
import subprocess
import sys
import time

import torch
import torchvision

from orrery.framework.model_bridge import TorchModel
from orrery.framework.nn_bridge import TorchConv2D
from orrery.framework.surgeon_bridge import TorchGraphSurgeon
from torch_surgery import dependency as tp

from bench_prune import forward_seconds  # bench/ is the script's folder
from coverage_models import INPUT_SIZE, MODELS

# The oracle is the dependency tests' own.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from test_dependency_oracle import expected_after, tensors_of  # noqa: E402

CLASSIFICATION = [
    "resnet18", "resnet50", "resnext50_32x4d", "regnet_x_400mf", "regnet_y_400mf",
    "mobilenet_v2", "mobilenet_v3_small", "efficientnet_b0", "densenet121", "convnext_tiny",
    "shufflenet_v2_x1_0", "squeezenet1_0", "vgg11", "googlenet", "inception_v3",
]
SEGMENTATION = ["fcn_resnet50", "deeplabv3_mobilenet_v3_large", "lraspp_mobilenet_v3_large"]


def build(name):
    torch.manual_seed(0)
    if name in MODELS:
        return MODELS[name]().eval()
    if name in ("googlenet", "inception_v3"):  # with their auxiliary heads
        return getattr(torchvision.models, name)(weights=None, init_weights=False).eval()
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


def example_input(name):
    size = 299 if name == "inception_v3" else INPUT_SIZE.get(name, 64)
    return torch.randn(1, 3, size, size)


def trains(native, x):
    """One forward and backward pass in training mode, on a batch of two."""
    native.train()
    try:
        loss = sum(t.float().sum() for t in tensors_of(native(torch.cat([x, x]))))
        loss.backward()
        return "yes"
    except Exception as e:  # the table reports it
        return "no: " + str(e).splitlines()[0][:60]
    finally:
        native.eval()


def measure(name, oracle, drop_view_op=True):
    x = example_input(name)
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
    pruned = sum(record.status == "pruned" for record in surgeon.records)
    try:
        with torch.no_grad():
            native(x)
        runs = "yes"
    except Exception as e:  # the table reports it
        runs = "no: " + str(e).splitlines()[0][:60]
    oracle_text = "" if not checker else (
        "ok ({})".format(checker.checked) if checker.failures == 0
        else "{} of {} differ".format(checker.failures, checker.checked))
    return {"shrunk": shrunk, "total": len(convs), "pruned": pruned, "calls": len(surgeon.records),
            "runs": runs, "trains": trains(native, x),
            "ratio": seconds / forward, "oracle": oracle_text}


def measured(name, args):
    try:
        return measure(name, args.oracle, not args.no_drop_view_op)
    except Exception as e:
        return {"failed": str(e).splitlines()[0][:100]}


def measured_by(python, name, args):
    """The measurement of `name` by another build's interpreter."""
    command = [python, os.path.abspath(__file__), "--json", name]
    command += ["--oracle"] if args.oracle else []
    command += ["--no-drop-view-op"] if args.no_drop_view_op else []
    done = subprocess.run(command, capture_output=True, text=True)
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if done.returncode != 0 or not lines:
        return {"failed": (done.stderr.strip().splitlines() or ["exit {}".format(done.returncode)])[-1][:100]}
    return json.loads(lines[-1])


def cells(r):
    if "failed" in r:
        return "failed: " + r["failed"]
    return "{:>4d}/{:<4d} {:>4.0f}% {:>4d}/{:<4d} {:>5s} {:>6s} {:>8.1f}x {}".format(
        r["shrunk"], r["total"], 100.0 * r["shrunk"] / r["total"], r["pruned"], r["calls"], r["runs"][:5],
        r["trains"][:6], r["ratio"], r["oracle"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--oracle", action="store_true")
    parser.add_argument("--no-drop-view-op", action="store_true")
    parser.add_argument("--before", metavar="PYTHON", help="another build's interpreter to compare with")
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("models", nargs="*", default=CLASSIFICATION + SEGMENTATION + list(MODELS))
    args = parser.parse_args()
    import logging
    import warnings
    logging.disable(logging.WARNING)
    warnings.simplefilter("ignore")
    if args.json:
        for name in args.models:
            print(json.dumps(measured(name, args)), flush=True)
        return
    print("device: cpu, threads: {}, drop_view_op={}".format(torch.get_num_threads(), not args.no_drop_view_op))
    header = "{:>9s} {:>5s} {:>9s} {:>5s} {:>6s} {:>9s}".format("shrunk", "share", "pruned", "runs", "trains",
                                                               "time/fwd")
    if args.before:
        print("{:22s} {:50s} | {}".format("", "before: " + args.before, "after: this build"))
        print("{:22s} {:50s} | {}".format("model", header, header))
    else:
        print("{:22s} {} {}".format("model", header, "oracle" if args.oracle else ""))
    for name in args.models:
        if args.before:
            before = measured_by(args.before, name, args)
            print("{:22s} {:50s} | {}".format(name, cells(before), cells(measured(name, args))), flush=True)
        else:
            print("{:22s} {}".format(name, cells(measured(name, args))), flush=True)


if __name__ == "__main__":
    main()
