"""Cost of building the dataflow graph of ResNet-50 (1x3x224x224), against one
forward pass of the same model on the same input, measured side by side.

Prints the median of interleaved rounds, in wall time and in CPU time of this
process (the latter is steadier on a machine shared with other work), for:
  forward          model(x) in evaluation mode (the baseline)
  forward no_grad  the same under torch.no_grad()
  _parse           TorchGraphParser._parse: trace, inline, walk, node creation
  checked trace    torch.jit.trace with its default check, plus inlining: what
                   tracing costs when the trace is re-run to check it
"""
import statistics
import time

import torch
import torchvision

from orrery.framework.graph_bridge import TorchGraphParser

ROUNDS = 5


def timed(fn):
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def main():
    torch.manual_seed(0)
    torch.set_num_threads(torch.get_num_threads())
    model = torchvision.models.resnet50()
    x = torch.randn(1, 3, 224, 224)
    parser = TorchGraphParser()

    def forward():
        model.eval()
        model(x)

    def forward_no_grad():
        model.eval()
        with torch.no_grad():
            model(x)

    def parse():
        model.train()
        parser._parse(model, x)

    def checked_trace():
        model.eval()
        graph = torch.jit.trace(model, x).graph
        torch._C._jit_pass_inline(graph)

    cases = {"forward": forward, "forward no_grad": forward_no_grad, "_parse": parse,
             "checked trace": checked_trace}
    for fn in cases.values():  # warm-up
        fn()
    times = {name: [] for name in cases}
    for _ in range(ROUNDS):
        for name, fn in cases.items():
            times[name].append(timed(fn))
    wall = {name: statistics.median(t[0] for t in values) for name, values in times.items()}
    cpu = {name: statistics.median(t[1] for t in values) for name, values in times.items()}
    print("ResNet-50, 1x3x224x224, {} threads, median of {} rounds".format(
        torch.get_num_threads(), ROUNDS))
    print("  {:<16} {:>9} {:>8} {:>9} {:>8}".format("", "wall ms", "ratio", "cpu ms", "ratio"))
    for name in cases:
        print("  {:<16} {:9.1f} {:7.2f}x {:9.1f} {:7.2f}x".format(
            name, wall[name] * 1e3, wall[name] / wall["forward"],
            cpu[name] * 1e3, cpu[name] / cpu["forward"]))
    print("_parse / forward = {:.2f} wall, {:.2f} cpu (goal <= 1.5)".format(
        wall["_parse"] / wall["forward"], cpu["_parse"] / cpu["forward"]))

if __name__ == "__main__":
    main()
