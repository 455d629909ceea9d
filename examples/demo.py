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
    prune(framework, model)
    quantize(model)


def prune(framework, model):
    """Removes the lowest-L1 half of every convolution's output channels, with
    every coupled channel elsewhere, and shows the model still works."""
    native = model.native_model.eval()
    x = torch.randn(1, 3, 224, 224)
    params_before = sum(p.numel() for p in native.parameters())
    surgeon = framework.graph_surgeon(model, x)
    start = time.perf_counter()
    with surgeon.cache_dg():
        for layer in model.flat_view():
            if isinstance(layer, framework.conv2d_cls):
                half = layer.norm(1).argsort()[: layer.native_layer.out_channels // 2]
                surgeon.prune_channels(layer, half.tolist())
    elapsed = time.perf_counter() - start
    params_after = sum(p.numel() for p in native.parameters())
    with torch.no_grad():
        out = native(x)
    print("\nPruned every convolution in {:.2f} s: {:.1f}M -> {:.1f}M parameters, output {}".format(
        elapsed, params_before / 1e6, params_after / 1e6, tuple(out.shape)))


def quantize(model):
    """Turns the convolutions into LSQ convolutions and prepares them for export."""
    from orrery.framework.prims_bridge import TorchLSQ
    lsq = TorchLSQ(wbits=8, abits=8, polarity="bipolar", channel_quant=True,
                   act_polarity="bipolar")
    convs = [layer for layer in model.flat_view() if type(layer).__name__ == "TorchConv2D"]
    for layer in convs:
        model.replace_layer(layer, lsq.concrete_transform_layer(layer))
    x = torch.randn(2, 3, 224, 224)
    native = model.native_model
    native.train()
    loss = native(x).square().mean()
    loss.backward()  # quantization-aware training runs through the fused quantizer
    native.eval()
    with torch.no_grad():
        trained = native(x)
        model.prepare_quantization_export()
        exported = native(x)
    first = next(m for m in native.modules() if type(m).__name__ == "LSQConv2D")
    print("Quantized {} convolutions to 8 bits; weight codes in [{}, {}]; export form vs "
          "training form, largest difference {:.2e} (outputs up to {:.1f})".format(
              len(convs), int(first.weight.min()), int(first.weight.max()),
              (exported - trained).abs().max().item(), trained.abs().max().item()))


if __name__ == "__main__":
    main()
