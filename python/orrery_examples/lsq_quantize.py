"""Every plain convolution of a model turned into an LSQ convolution, with step
sizes calibrated on data: the recipe the demo, the tests and the benchmarks share."""
from torch import nn


def quantize_convolutions(model, lsq, data, batches=4):
    """Replaces every plain ``nn.Conv2d`` of ``model`` (a TorchModel) by the LSQ
    convolution ``lsq`` (a TorchLSQ) makes of it, then calibrates every step size
    on the first ``batches`` batches of ``data`` (a loader, or a batch tensor).
    Returns ``model``."""
    for layer in model.flat_view():
        if type(layer.native_layer) is nn.Conv2d:
            model.replace_layer(layer, lsq.concrete_transform_layer(layer))
    return lsq.calibrate(model, data, batches=batches)
