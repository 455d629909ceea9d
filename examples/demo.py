"""Wraps a torchvision ResNet-18 through the backend, as the orrery core does,
and prints what the backend hands out."""
import collections
import logging
import time

import torch
import torchvision

import orrery.torch
from orrery.framework.framework_bridge import TorchFramework

logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")


def main():
    print("orrery-torch", orrery.torch.__version__, "on PyTorch", torch.__version__)
    framework = TorchFramework()
    framework.initialize({})

    print("\nWhat the backend hands to the core:")
    for name in ("mdl_cls", "identity_layer_cls", "conv2d_cls", "knowledge_distillation_cls",
                 "ema_cls", "dl_cls", "fp_cls", "horovod_manager"):
        print("  {:<28} {}".format(name, getattr(framework, name)))
    print("  {:<28} {}".format("pre-make callbacks", framework.get_default_trainer_pre_make_callbacks()))
    print("  {:<28} {}".format("post-make callbacks", framework.get_default_trainer_post_make_callbacks()))
    from orrery.framework.framework import Framework
    print("  {:<28} {}".format("quantization methods", list(Framework._quantization_methods.values())))

    native = torchvision.models.resnet18()
    model = framework.mdl_cls(native, name="resnet18")
    leaves = model.flat_view()
    kinds = collections.Counter(type(layer).__name__ for layer in leaves)
    print("\nResNet-18 layer tree: {} top-level entries, {} leaves".format(
        len(model.layer_group), len(leaves)))
    for kind, count in sorted(kinds.items()):
        print("  {:<22} {}".format(kind, count))

    start = time.perf_counter()
    graph = model.build_graph(torch.randn(1, 3, 224, 224))
    elapsed = time.perf_counter() - start
    node_kinds = collections.Counter(type(node.layer).__name__ for node in graph)
    print("\nDataflow graph: {} nodes in {:.2f} s".format(len(graph), elapsed))
    for kind, count in sorted(node_kinds.items()):
        print("  {:<22} {}".format(kind, count))
    adds = [node for node in graph if getattr(node.layer, "layer", None) == "Add"]
    print("  residual additions, each with {} inputs".format(
        sorted({len(node._inputs) for node in adds})))
    surgeon = framework.graph_surgeon(model, (torch.randn(1, 3, 224, 224),))
    print("\nGraph surgeon:", surgeon)


if __name__ == "__main__":
    main()
