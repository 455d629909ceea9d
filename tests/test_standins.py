"""The stand-ins do what the backend relies on."""
import logging

import pytest
import torch

from corvex.torch_profiler.torch_inference import cpufy, cudafy
from orrery.core.tools import int_to_tuple
from orrery.framework.framework import Framework
from orrery.framework.nn import BaseWeightsBiasLayer, define_abstract_properties
from orrery.ologger import getLogger


def test_device_moves_be_nice_without_cuda():
    module = torch.nn.Linear(2, 2)
    tensors = (torch.zeros(1), torch.ones(1))
    assert cpufy(module, be_nice=True) is module
    moved = cpufy(tensors, be_nice=True)
    assert isinstance(moved, tuple) and torch.equal(moved[1], tensors[1])
    if not torch.cuda.is_available():
        assert cudafy(module, be_nice=True) is module
        with pytest.raises(RuntimeError):
            cudafy(module)
    with pytest.raises(TypeError):
        cpufy(object())


def test_register_quantization_method_is_a_class_decorator():
    class Backend(Framework):
        pass

    @Backend.register_quantization_method
    class Method:
        name = "probe"

    assert Backend.quantization_methods()["probe"] is Method


def test_abstract_properties_are_checked():
    with pytest.raises(TypeError, match="weights"):
        define_abstract_properties(type("Bad", (BaseWeightsBiasLayer,), {}))


def test_helpers():
    assert int_to_tuple(3, n=2) == (3, 3) and int_to_tuple((1, 2), n=2) == (1, 2)
    with pytest.raises(ValueError):
        int_to_tuple((1, 2, 3), n=2)
    assert getLogger("orrery.x") is logging.getLogger("orrery.x")
