"""The stand-ins do what the backend relies on."""
import logging

import numpy as np
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


def test_lsq_settings_defaults_and_accepted_values():
    from orrery.core.optimus.primitives.quantization import LSQ

    lsq = LSQ()
    assert (lsq.wbits, lsq.abits, lsq.polarity, lsq.channel_quant, lsq.act_polarity) == \
        (8, 8, "bipolar", True, "bipolar")
    lsq = LSQ(wbits=np.int64(4), abits=np.uint8(1), polarity="unipolar", act_polarity=False)
    assert type(lsq.wbits) is int and type(lsq.abits) is int and (lsq.wbits, lsq.abits) == (4, 1)
    for act in ("bipolar", "unipolar", False, None, "inferred"):
        assert LSQ(act_polarity=act).act_polarity is act
    assert LSQ(wbits=24, abits=2, channel_quant=False).wbits == 24
    # The backend rewrites an inferred polarity on the instance later.
    lsq = LSQ(act_polarity="inferred")
    lsq.act_polarity = False
    assert lsq.act_polarity is False

    # The backend's primitive takes its settings, and their checks, from LSQ.
    from orrery.framework.prims_bridge import TorchLSQ

    assert TorchLSQ(wbits=np.int32(4)).wbits == 4
    with pytest.raises(ValueError, match="polarity"):
        TorchLSQ(polarity="positive")


@pytest.mark.parametrize("kwargs, error, name", [
    ({"polarity": 0}, ValueError, "polarity"),
    ({"polarity": "positive"}, ValueError, "polarity"),
    ({"polarity": None}, ValueError, "polarity"),
    ({"act_polarity": "nonsense"}, ValueError, "act_polarity"),
    ({"act_polarity": True}, ValueError, "act_polarity"),
    ({"act_polarity": 0}, ValueError, "act_polarity"),
    ({"wbits": True}, ValueError, "wbits"),
    ({"wbits": 8.0}, ValueError, "wbits"),
    ({"wbits": 1}, ValueError, "wbits"),  # a signed range needs 2 bits
    ({"wbits": 25}, ValueError, "wbits"),
    ({"abits": "8"}, ValueError, "abits"),
    ({"abits": 0, "act_polarity": False}, ValueError, "abits"),
    ({"abits": 1, "act_polarity": "inferred"}, ValueError, "abits"),
    ({"channel_quant": 1}, TypeError, "channel_quant"),
])
def test_lsq_settings_refusals(kwargs, error, name):
    from orrery.core.optimus.primitives.quantization import LSQ

    with pytest.raises(error, match=name) as info:
        LSQ(**kwargs)
    if "polarity" in name:  # the message lists what is accepted
        assert "'bipolar'" in str(info.value) and "'unipolar'" in str(info.value)
