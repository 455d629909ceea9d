"""Deployment in ONNX Runtime: integer exports of LSQ ResNet-18 against fp32.

Three exports of ResNet-18 (224x224, batch 1), all run in ONNX Runtime for
Node.js with one thread, sessions timed in rounds that alternate between them:

- fp32:               the float network, export_to_onnx(precision="fp32");
- int8:               every convolution LSQ (8 bits, per-channel weights),
                      export_to_onnx(precision="int8");
- pruned + int8:      the float network pruned to at most half its
                      multiply-accumulates (lowest-L1 channels, one cached
                      dependency graph), then quantized the same way.

Printed: median latencies, the speed-ups over fp32, file sizes as ratios to
fp32, and how many convolutions ONNX Runtime runs as integer kernels
(QLinearConv, ConvInteger) in each. Weights are untrained; batch statistics
and activation steps come from random calibration images, which is what
timing and size depend on.

Run: make bench (or .venv/bin/python bench/bench_deploy.py after make build)
"""
import argparse
import os
import statistics
import tempfile
from collections import Counter

import onnx
import torch
import torchvision

from orrery_examples import onnx_runtime  # noqa: E402
from orrery_examples.lsq_quantize import quantize_convolutions  # noqa: E402
from corvex.torch_profiler.torch_profiler import ComputeComplexity  # noqa: E402
from orrery.framework.framework_bridge import TorchFramework  # noqa: E402
from orrery.framework.loader_bridge import TorchDataLoader  # noqa: E402
from orrery.framework.prims_bridge import TorchLSQ  # noqa: E402


def macs(native, loader):
    return ComputeComplexity()(native, {"test": loader})["macs"]


def calibrate_batch_norms(native, images):
    native.train()
    with torch.no_grad():
        native(images)
    native.eval()


def prune_to_half(framework, model, x, loader):
    surgeon = framework.graph_surgeon(model, x[:1])
    start = macs(model.native_model, loader)
    with surgeon.cache_dg():
        while macs(model.native_model, loader) > start / 2:
            for layer in model.flat_view():
                conv = layer.native_layer
                if isinstance(layer, framework.conv2d_cls) and conv.out_channels > 8:
                    l1 = conv.weight.detach().abs().sum(dim=(1, 2, 3))
                    surgeon.prune_channels(layer, l1.argsort()[: conv.out_channels // 20].tolist())


def quantize(model, images):
    lsq = TorchLSQ(wbits=8, abits=8, polarity="bipolar", channel_quant=True, act_polarity=False)
    quantize_convolutions(model, lsq, images)


def integer_convolutions(path, x):
    optimized = str(path) + ".optimized.onnx"
    onnx_runtime.run(path, {"input_0": x}, threads=1, optimized_model=optimized)
    ops = Counter(node.op_type for node in onnx.load(optimized).graph.node)
    return ops["QLinearConv"], ops["ConvInteger"], ops["Conv"] + ops["FusedConv"]


def main(args):
    reason = onnx_runtime.unavailable()
    if reason:
        print("skipped: " + reason)
        return
    torch.manual_seed(0)
    framework = TorchFramework()
    framework.initialize({})
    size = args.resolution
    images = torch.randn(8, 3, size, size)
    data = torch.utils.data.TensorDataset(images, torch.zeros(len(images), dtype=torch.long))
    loader = TorchDataLoader(torch.utils.data.DataLoader(data, batch_size=1), None)

    native = torchvision.models.resnet18()
    calibrate_batch_norms(native, images)
    float_model = framework.mdl_cls(native)
    pruned = framework.mdl_cls(torchvision.models.resnet18())
    pruned.native_model.load_state_dict(native.state_dict())
    prune_to_half(framework, pruned, images, loader)
    calibrate_batch_norms(pruned.native_model, images)

    with tempfile.TemporaryDirectory() as work:
        paths = {name: os.path.join(work, name + ".onnx")
                 for name in ("fp32", "int8", "pruned + int8")}
        float_model.export_to_onnx(loader, path=paths["fp32"])
        full_macs, pruned_macs = macs(native, loader), macs(pruned.native_model, loader)
        quantize(float_model, images)
        float_model.export_to_onnx(loader, path=paths["int8"], precision="int8")
        quantize(pruned, images)
        pruned.export_to_onnx(loader, path=paths["pruned + int8"], precision="int8")

        x = images[:1].numpy()
        times = {name: [] for name in paths}
        for _ in range(args.rounds):
            for name, path in paths.items():
                times[name].extend(onnx_runtime.time_runs(path, {"input_0": x}, args.runs))
        median = {name: statistics.median(t) for name, t in times.items()}
        sizes = {name: os.path.getsize(path) for name, path in paths.items()}
        print("ResNet-18, {0}x{0}, batch 1, ONNX Runtime (Node.js), 1 thread; {1} rounds of {2} "
              "runs each".format(size, args.rounds, args.runs))
        print("MACs: {:.2f} G, pruned {:.2f} G ({:.0%})".format(
            full_macs / 1e9, pruned_macs / 1e9, pruned_macs / full_macs))
        print("{:<15} {:>10} {:>9} {:>10} {:>8}   {}".format(
            "export", "latency", "speed-up", "file", "size", "convolutions run as"))
        for name, path in paths.items():
            fused, integer, floating = integer_convolutions(path, x)
            print("{:<15} {:>7.1f} ms {:>8.2f}x {:>7.1f} MB {:>7.2f}x   {} QLinearConv, {} "
                  "ConvInteger, {} float".format(
                      name, median[name] * 1e3, median["fp32"] / median[name], sizes[name] / 1e6,
                      sizes[name] / sizes["fp32"], fused, integer, floating))
        print("goals: int8 >= 1.6x, pruned + int8 >= 3x, int8 file <= 0.3x")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--resolution", type=int, default=224)
    parser.add_argument("--rounds", type=int, default=5, help="alternating timing rounds")
    parser.add_argument("--runs", type=int, default=10, help="timed runs per session and round")
    main(parser.parse_args())
