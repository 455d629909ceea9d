"""ONNX export of LSQ models against their float originals, side by side.

For each torchvision model: the float network, the same network with every
convolution LSQ (8 bits, per-channel weights) in its training form, the LSQ
network with every layer in its integer export form (prepare_for_export), and
the LSQ network exported at precision "int8". All are exported through
TorchModel.export_to_onnx in rounds that alternate between them, so that they
share the machine's load; printed are the best and median times, their ratios
to the float export's, ONNX node counts and the operators that appear most.

Run: .venv/bin/python bench/bench_export.py [--models mnasnet0_5 resnet18] [--repeats 3]
"""
import argparse
import copy
import os
import statistics
import tempfile
import time
from collections import Counter

import onnx
import torch
import torchvision

from orrery_examples.lsq_quantize import quantize_convolutions  # noqa: E402
from orrery.framework.loader_bridge import TorchDataLoader  # noqa: E402
from orrery.framework.model_bridge import TorchModel  # noqa: E402
from orrery.framework.prims_bridge import TorchLSQ  # noqa: E402


def loader(size):
    data = torch.utils.data.TensorDataset(torch.randn(2, 3, size, size),
                                          torch.zeros(2, dtype=torch.long))
    return TorchDataLoader(torch.utils.data.DataLoader(data, batch_size=1), None)


def variants(name, size):
    """(label, TorchModel, precision) for the float model and its LSQ forms."""
    native = getattr(torchvision.models, name)().eval()
    images = torch.randn(4, 3, size, size)
    lsq = TorchLSQ(wbits=8, abits=8, polarity="bipolar", channel_quant=True, act_polarity=False)
    trained = quantize_convolutions(TorchModel(copy.deepcopy(native)), lsq, images)
    prepared = TorchModel(copy.deepcopy(trained.native_model))
    for module in prepared.native_model.modules():
        if hasattr(module, "prepare_for_export"):
            module.prepare_for_export()
    return [("float", TorchModel(native), "fp32"),
            ("LSQ training form", trained, "fp32"),
            ("LSQ export form", prepared, "fp32"),
            ("LSQ int8", trained, "int8")]


def run(name, size, repeats, directory):
    data = loader(size)
    cases = variants(name, size)
    times = [[] for _ in cases]
    nodes = []
    for k, (label, model, precision) in enumerate(cases):  # warm-up, and the graphs
        path = os.path.join(directory, "{}-{}.onnx".format(name, k))
        model.export_to_onnx(data, path=path, precision=precision)
        nodes.append(Counter(n.op_type for n in onnx.load(path).graph.node))
    for _ in range(repeats):
        for k, (label, model, precision) in enumerate(cases):
            path = os.path.join(directory, "{}-{}.onnx".format(name, k))
            start = time.perf_counter()
            model.export_to_onnx(data, path=path, precision=precision)
            times[k].append(time.perf_counter() - start)
    best = [min(t) for t in times]
    medians = [statistics.median(t) for t in times]
    print("{} ({}x{}), {} rounds; best and median times, and their ratios to float's:".format(
        name, size, size, repeats))
    for (label, _, _), b, median, ops in zip(cases, best, medians, nodes):
        common = ", ".join("{} {}".format(op, n) for op, n in ops.most_common(4))
        print("  {:<17s} best {:6.2f} s x{:4.2f} | median {:6.2f} s x{:4.2f} | {:5d} nodes x{:4.2f} | {}"
              .format(label, b, b / best[0], median, median / medians[0], sum(ops.values()),
                      sum(ops.values()) / sum(nodes[0].values()), common))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--models", nargs="+", default=["mnasnet0_5", "resnet18"])
    parser.add_argument("--size", type=int, default=224)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    torch.manual_seed(0)
    print("torch {}, {} thread(s)".format(torch.__version__, torch.get_num_threads()))
    with tempfile.TemporaryDirectory() as directory:
        for name in args.models:
            run(name, args.size, args.repeats, directory)


if __name__ == "__main__":
    main()
