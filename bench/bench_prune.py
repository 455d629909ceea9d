"""Whole-model channel pruning of ResNet-50, against one forward pass.

Every convolution loses the lowest-L1 half of its output channels, one layer
after another through TorchGraphSurgeon: once inside one cache_dg block (one
trace for all layers) and once without it (one trace per layer). Each total is
printed as a ratio to one forward pass of the unpruned model (1x3x224x224),
all measured in this run.

Run: make bench (or .venv/bin/python bench/bench_prune.py after make build)
"""
import statistics
import time

import torch
import torchvision

from orrery.framework.model_bridge import TorchModel
from orrery.framework.nn_bridge import TorchConv2D
from orrery.framework.surgeon_bridge import TorchGraphSurgeon


def forward_seconds(model, x, repeats=5):
    with torch.no_grad():
        model(x)  # warm-up: allocator and kernel selection
        times = []
        for _ in range(repeats):
            start = time.perf_counter()
            model(x)
            times.append(time.perf_counter() - start)
    return statistics.median(times)


def lowest_l1_half(conv):
    l1 = conv.weight.detach().abs().sum(dim=(1, 2, 3))
    return torch.argsort(l1)[: conv.out_channels // 2].tolist()


def prune_all(surgeon, model):
    layers = [layer for layer in model.flat_view() if isinstance(layer, TorchConv2D)]
    changed = 0
    for layer in layers:
        before = layer.native_layer.out_channels
        surgeon.prune_channels(layer, lowest_l1_half(layer.native_layer))
        changed += layer.native_layer.out_channels < before
    return changed, len(layers)


def run(use_cache, x):
    torch.manual_seed(0)
    model = TorchModel(torchvision.models.resnet50().eval())
    params_before = sum(p.numel() for p in model.native_model.parameters())
    surgeon = TorchGraphSurgeon(model, x)
    start = time.perf_counter()
    if use_cache:
        with surgeon.cache_dg():
            changed, total = prune_all(surgeon, model)
    else:
        changed, total = prune_all(surgeon, model)
    seconds = time.perf_counter() - start
    with torch.no_grad():
        out = model.native_model(x)
    assert out.shape == (1, 1000)
    params_after = sum(p.numel() for p in model.native_model.parameters())
    return seconds, changed, total, params_before, params_after


def main():
    torch.set_grad_enabled(True)
    x = torch.randn(1, 3, 224, 224)
    torch.manual_seed(0)
    forward = forward_seconds(torchvision.models.resnet50().eval(), x)
    print("device: cpu, threads: {}".format(torch.get_num_threads()))
    print("one forward pass of ResNet-50 (1x3x224x224): {:.3f} s".format(forward))
    for use_cache in (True, False):
        seconds, changed, total, before, after = run(use_cache, x)
        label = "with cache_dg   " if use_cache else "without cache_dg"
        print("{}: {:.3f} s for {} convolutions ({} shrank, params {:.1f}M -> {:.1f}M), "
              "ratio to one forward pass: {:.2f}x".format(
                  label, seconds, total, changed, before / 1e6, after / 1e6, seconds / forward))


if __name__ == "__main__":
    main()
