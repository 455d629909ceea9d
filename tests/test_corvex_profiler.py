"""The corvex profiler: MAC and parameter counts, and execution time."""
import pytest
import torch

from corvex.torch_profiler.loader_bridge import TorchDataLoader, TorchForwardPass
from corvex.torch_profiler.torch_profiler import (ComputeComplexity, ComputeExecutionTime,
                                                  TorchProfiler)


def splits(*shape):
    return {"train": TorchDataLoader(None, TorchForwardPass([shape])),
            "test": TorchDataLoader(None, TorchForwardPass([(99,)]))}  # only the first is used


def known_model():
    return torch.nn.Sequential(
        torch.nn.Conv2d(3, 4, 3, padding=1),                       # 0
        torch.nn.BatchNorm2d(4),                                   # 1
        torch.nn.ReLU(),                                           # 2
        torch.nn.Conv2d(4, 4, 3, padding=1, groups=2, bias=False),  # 3
        torch.nn.ConvTranspose2d(4, 2, 2, stride=2),               # 4
        torch.nn.Flatten(),                                        # 5
        torch.nn.Linear(2 * 10 * 10, 3))                           # 6


def test_complexity_of_a_known_model():
    # On a 3x5x5 input, by hand:
    #   0: 4*5*5 outputs * (3*3*3) + 100 bias          = 2800 MACs, 4*27+4 = 112 params
    #   1: 2 per output element, 2*100                 =  200,       8
    #   3: 100 outputs * (3*3 * 4/2 in channels)        = 1800,       4*2*9  = 72
    #   4: 100 inputs * (2*2 kernel * 2 out) + 200 bias = 1000,       4*2*4+2 = 34
    #   6: 200 * 3                                      =  600,       603
    model = known_model().train()
    result = ComputeComplexity()(model, splits(3, 5, 5))
    assert {name: (layer["macs"], layer["params"]) for name, layer in result["layers"].items()} == {
        "0": (2800, 112), "1": (200, 8), "2": (0, 0), "3": (1800, 72), "4": (1000, 34),
        "5": (0, 0), "6": (600, 603)}
    assert (result["macs"], result["params"]) == (6400, 829)
    assert model.training
    assert all(not m._forward_hooks for m in model.modules())


def test_quantized_layers_count_themselves():
    quant_bridge = pytest.importorskip("orrery.framework.quant_bridge")
    lsq = quant_bridge.LSQConv2D(torch.nn.Conv2d(3, 4, 3, padding=1), 8, 8)
    model = torch.nn.Sequential(lsq, torch.nn.ReLU())
    layers = ComputeComplexity()(model, splits(3, 5, 5))["layers"]
    # The quantizers inside are part of the layer; its step sizes count as its parameters.
    assert layers == {"0": {"macs": 2800, "params": 112 + 2}, "1": {"macs": 0, "params": 0}}


class Unreported(torch.nn.Conv2d):
    def compute_module_complexity(self, inputs, outputs):
        return {"flops": None}


def test_profiler_results_and_failures():
    model = known_model()
    profiler = TorchProfiler(model, splits(3, 5, 5), name="known")
    profiler.register_profiler_function(ComputeComplexity())
    profiler.register_profiler_function(ComputeExecutionTime(warmup=1, repeats=3))
    result = profiler.profile()
    assert result["ComputeComplexity"]["macs"] == 6400
    assert result["ComputeExecutionTime"]["seconds_per_sample"] > 0
    assert model.training
    broken = torch.nn.Sequential(torch.nn.ReLU(), Unreported(3, 3, 1)).train()
    with pytest.raises(ValueError, match="'1' \\(Unreported\\) reports no 'flops'"):
        ComputeComplexity()(broken, splits(3, 4, 4))
    assert broken.training and all(not m._forward_hooks for m in broken.modules())
    with pytest.raises(ValueError, match="already registered"):
        profiler.register_profiler_function(ComputeComplexity())
    with pytest.raises(ValueError, match="non-empty dict"):
        ComputeComplexity()(model, {})
