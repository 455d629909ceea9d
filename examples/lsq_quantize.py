"""Turning a model's convolutions into LSQ convolutions, with activation step
sizes that start from what each layer really receives: the step the
quantized convolution is made with (1.0) knows nothing of its inputs."""
import torch
from torch import nn


def quantize_convolutions(model, lsq, calibration):
    """Replaces every plain ``nn.Conv2d`` of ``model`` (a TorchModel) by the
    LSQ convolution ``lsq`` (a TorchLSQ) makes of it, then initialises each
    activation step from the layer's input on the batch ``calibration``."""
    for layer in model.flat_view():
        if type(layer.native_layer) is nn.Conv2d:
            model.replace_layer(layer, lsq.concrete_transform_layer(layer))
    inputs, hooks = {}, []
    for module in model.native_model.modules():
        if hasattr(module, "quan_a_fn"):
            hooks.append(module.register_forward_pre_hook(
                lambda m, args: inputs.setdefault(m, args[0].detach())))
    try:
        with torch.no_grad():
            model.native_model.eval()(calibration)
    finally:
        for hook in hooks:
            hook.remove()
    for module, x in inputs.items():
        module.quan_a_fn.init_from(x)
    return model
