"""The weight-average update (TorchEMA.update): the engine's fused multi-tensor
pass against the same arithmetic written as a Python loop over the state, and
against two plain copy_ passes over the same tensors (a memory-traffic floor).
Variants run round-robin so they share the machine's load; prints best and
median ratios."""
import argparse
import math
import statistics
import time

import torch
import torchvision

from orrery.framework.framework_bridge import TorchEMA


def python_loop_update(ema, training_model):
    """The per-tensor loop the fused pass replaces."""
    with torch.no_grad():
        ema.updates += 1
        d = ema.decay(ema.updates)
        msd = training_model.state_dict()
        for k, v in ema.model.state_dict().items():
            if v.dtype.is_floating_point:
                v *= d
                v += (1 - d) * msd[k].detach()


def two_copies(ema, training_model):
    with torch.no_grad():
        pairs = [(v, t) for v, t in zip(ema.model.state_dict().values(),
                                        training_model.state_dict().values())
                 if v.dtype.is_floating_point]
        for v, t in pairs:
            v.copy_(t)
        for v, t in pairs:
            v.copy_(t)


def timed(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return times


def case(name, make_model, repeats):
    torch.manual_seed(0)
    trained = make_model()
    ema = TorchEMA(make_model())
    variants = {
        "fused": lambda: ema.update("iteration", 0, trained),
        "python loop": lambda: python_loop_update(ema, trained),
        "2x copy_": lambda: two_copies(ema, trained),
    }
    results = {k: [] for k in variants}
    for fn in variants.values():  # warm-up
        fn()
    for _ in range(repeats):
        for key, fn in variants.items():
            results[key] += timed(fn, 1)
    tensors = sum(1 for v in ema.model.state_dict().values() if v.dtype.is_floating_point)
    print("{} ({} floating-point tensors, {:.1f} M values)".format(
        name, tensors, sum(p.numel() for p in ema.model.state_dict().values()) / 1e6))
    fused = results["fused"]
    for key, times in results.items():
        print("  {:12s} best {:8.3f} ms   median {:8.3f} ms".format(
            key, min(times) * 1e3, statistics.median(times) * 1e3))
    for key in ("python loop", "2x copy_"):
        best = min(fused) / min(results[key])
        median = statistics.median(fused) / statistics.median(results[key])
        print("  fused / {:12s} best {:.2f}x   median {:.2f}x".format(key, best, median))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=30)
    args = parser.parse_args()
    print("threads:", torch.get_num_threads())
    case("ResNet-50", torchvision.models.resnet50, args.repeats)
    case("MobileNetV2", torchvision.models.mobilenet_v2, args.repeats * 3)


if __name__ == "__main__":
    main()
