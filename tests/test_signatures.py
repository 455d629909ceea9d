"""Every public class and callable reads like Python code: a signature inspect
can give, a docstring of its own, and readable reprs of layers, models and nodes."""
import importlib
import inspect
import logging
import pickle
import re
import types

import pytest
import torch
from torch import nn

from corvex.profiler.utils import Device
from orrery.conductor import Task
from orrery.framework.framework_bridge import TorchFramework

TorchFramework()  # loads prims_bridge

MODULES = ["orrery.framework.framework_bridge", "orrery.framework.nn_bridge",
           "orrery.framework.model_bridge", "orrery.framework.graph_bridge",
           "orrery.framework.surgeon_bridge", "orrery.framework.quant_bridge",
           "orrery.framework.prims_bridge", "orrery.framework.ext_bridge",
           "orrery.framework.loader_bridge", "orrery.framework.dist_bridge",
           "torch_surgery.structured", "torch_surgery.dependency"]
STANDINS = ["orrery.framework.framework", "orrery.framework.functions", "orrery.framework.model",
            "orrery.framework.nn", "orrery.framework.graph.graph", "orrery.framework.graph.surgeon",
            "orrery.framework.distributed", "orrery.core.loop.helper", "orrery.core.tools",
            "orrery.conductor", "orrery.ologger", "orrery.oexceptions", "corvex.profiler.utils",
            "corvex.torch_profiler.loader_bridge", "corvex.torch_profiler.torch_inference",
            "corvex.torch_profiler.torch_profiler", "corvex.corvex_encryption",
            "corvex.model_converter.pytorch_converter",
            "corvex.model_converter.pytorch_converter.integer",
            "corvex.model_converter.pytorch_converter.pytorch_converter"]
# What pybind11 writes when a function has no doc of its own: its typed signature.
GENERATED_DOC = re.compile(r"\(.*\) -> ")
POSITIONAL_NAME = re.compile(r"\barg\d+\b")


def public_members(module_name):
    """(qualified name, object, owner class or None) of every public class, method,
    property and function defined in the module; hooks and dunders other than
    __init__ and __call__ are left out."""
    module = importlib.import_module(module_name)
    for name, obj in vars(module).items():
        if name.startswith("_") or getattr(obj, "__module__", None) != module_name:
            continue
        if inspect.isclass(obj):
            yield name, obj, None
            for attr, member in vars(obj).items():
                if attr.startswith("_") and attr not in ("__init__", "__call__", "__new__"):
                    continue
                if isinstance(member, (property, staticmethod, classmethod)) or callable(member):
                    yield name + "." + attr, member, obj
        elif callable(obj):
            yield name, obj, None


def check_member(qualname, obj, owner):
    if isinstance(obj, property):
        assert obj.__doc__ and not GENERATED_DOC.search(obj.__doc__), qualname
        return
    if isinstance(obj, (staticmethod, classmethod)):
        obj = obj.__func__
    if inspect.isclass(obj):
        own = obj.__dict__.get("__doc__")
        assert own and own.strip(), qualname + " has no docstring of its own"
        assert all(own != base.__doc__ for base in obj.__mro__[1:]), qualname
        assert not own.startswith(obj.__name__ + "("), qualname  # no signature head
        if issubclass(obj, BaseException):
            return  # inspect reads no signature from exception classes
        signature = inspect.signature(obj)
    else:
        name = qualname.rsplit(".", 1)[-1]
        signature = inspect.signature(obj)
        if name in ("__init__", "__new__") and owner is not None:
            return  # documented by the class
        assert obj.__doc__ and obj.__doc__.strip(), qualname + " has no docstring"
        assert not GENERATED_DOC.match(obj.__doc__), qualname
        if owner is not None:
            for base in owner.__mro__[1:]:
                inherited = getattr(base, name, None)
                assert inherited is None or obj.__doc__ != inherited.__doc__, qualname
    assert not POSITIONAL_NAME.search(str(signature)), "{}{}".format(qualname, signature)


@pytest.mark.parametrize("module_name", MODULES + STANDINS)
def test_public_members_have_signatures_and_docstrings_of_their_own(module_name):
    members = list(public_members(module_name))
    assert members
    for qualname, obj, owner in members:
        check_member(module_name + "." + qualname, obj, owner)


def test_keyword_only_parameters_after_varargs_and_class_signatures():
    from orrery.framework.framework_bridge import TorchEMA
    from orrery.framework.nn_bridge import DefaultTorchNativeOptimizerFactory
    from orrery.framework.quant_bridge import LSQConv2D
    from orrery.framework.surgeon_bridge import TorchGraphSurgeon

    init = inspect.signature(TorchGraphSurgeon.__init__)
    assert str(init) == "(self, *args, drop_view_op=True)"
    assert init.parameters["drop_view_op"].kind is inspect.Parameter.KEYWORD_ONLY
    assert str(inspect.signature(TorchGraphSurgeon)) == "(*args, drop_view_op=True)"
    assert str(inspect.signature(TorchEMA)) == "(model, decay_rate=0.9999, period=2000)"
    assert str(inspect.signature(LSQConv2D)) == (
        "(m, wbits, abits, polarity='bipolar', channel_quant=False, act_bipolar=False)")
    assert str(inspect.signature(TorchFramework)) == "(*args, **kwargs)"  # its __new__
    # Parsed by hand, declared as what it accepts.
    assert str(inspect.signature(DefaultTorchNativeOptimizerFactory)) == "(name, **kwargs)"
    assert DefaultTorchNativeOptimizerFactory("SGD", lr=0.1).optimizer_kwargs == {"lr": 0.1}
    # The signature lives in the class's internal doc, not in __doc__.
    assert TorchGraphSurgeon.__text_signature__ == "(*args, drop_view_op=True)"
    assert not TorchGraphSurgeon.__doc__.startswith("TorchGraphSurgeon(")


def test_python_subclasses_keep_their_own_signature():
    from orrery.framework.surgeon_bridge import TorchGraphSurgeon

    class Own(TorchGraphSurgeon):
        """A surgeon of its own."""

        def __init__(self, model, model_args, depth=2):
            super().__init__(model, model_args)

    class Inherited(TorchGraphSurgeon):
        pass

    assert str(inspect.signature(Own)) == "(model, model_args, depth=2)"
    assert str(inspect.signature(Inherited)) == "(*args, drop_view_op=True)"
    assert Inherited.__text_signature__ is None and Own.__doc__ == "A surgeon of its own."


def test_defaults_without_a_literal_form_are_the_real_objects():
    from orrery.framework.ext_bridge import TorchLRScheduler
    from orrery.framework.model_bridge import TorchModel

    for method in ("export_to_onnx", "export_to_jit", "export_to_tflite"):
        signature = inspect.signature(getattr(TorchModel, method))
        assert signature.parameters["device"].default is Device.CPU
    assert str(inspect.signature(TorchModel.export_to_onnx)) == (
        "(self, dataloader, batch_size=1, path='output.onnx', precision='fp32', "
        "device=<Device.CPU: 'cpu'>, dynamic_input='b', annotate=False)")
    scheduler_dict = TorchLRScheduler.get_default_scheduler_dict
    assert inspect.signature(scheduler_dict).parameters["task"].default is Task.CLS
    assert list(inspect.signature(scheduler_dict).parameters) == ["task"]  # cls is bound
    assert scheduler_dict()["factory"]["patience"] == 10
    assert scheduler_dict(task=Task.OD)["factory"]["patience"] == 3

    # Such a function behaves as a Python function would: it binds to instances,
    # names itself and pickles by reference.
    function = TorchModel.__dict__["export_to_onnx"]
    assert inspect.isroutine(function) and repr(function) == "<function TorchModel.export_to_onnx>"
    assert (function.__name__, function.__qualname__, function.__module__) == (
        "export_to_onnx", "TorchModel.export_to_onnx", "orrery.framework.model_bridge")
    model = TorchModel(nn.Sequential(nn.Conv2d(1, 2, 1)))
    bound = model.export_to_onnx
    assert isinstance(bound, types.MethodType) and bound.__self__ is model
    assert str(inspect.signature(bound)).startswith("(dataloader, batch_size=1,")
    assert pickle.loads(pickle.dumps(function)) is function
    with pytest.raises(ValueError, match="precision must be"):
        bound(None, precision="int4")


def test_module_functions_and_the_cache_block_have_signatures():
    from orrery.framework import quant_bridge as qb
    from orrery.framework.surgeon_bridge import TorchGraphSurgeon
    from torch_surgery import structured as S

    assert str(inspect.signature(qb.grad_scale)) == "(x, scale)"
    assert str(inspect.signature(qb.twos_comp)) == "(vals, nbits)"
    assert str(inspect.signature(S.prune_parameter)) == "(layer, name, idxs, dim=0)"
    assert "TypeError" in S.prune_conv.__doc__ and not GENERATED_DOC.search(S.prune_conv.__doc__)
    cache = TorchGraphSurgeon.cache_dg
    assert str(inspect.signature(cache)) == "(self)"
    assert cache.__qualname__ == "TorchGraphSurgeon.cache_dg" and "entry" in cache.__doc__


class Net(nn.Module):
    def __init__(self):
        super().__init__()
        self.features = nn.Sequential(nn.Conv2d(3, 4, 3, padding=1), nn.ReLU(),
                                      nn.Conv2d(4, 4, 3, padding=1))
        self.fc = nn.Linear(4, 2)

    def forward(self, x):
        y = self.features(x)
        y = y + self.features[0](x)
        return self.fc(torch.flatten(nn.functional.adaptive_avg_pool2d(y, 1), 1))


def test_layers_models_and_nodes_print_their_place_in_the_model(caplog):
    from orrery.framework.model_bridge import TorchModel
    from orrery.framework.nn_bridge import TorchConv2D, TorchIdentityLayer
    from orrery.framework.surgeon_bridge import TorchGraphSurgeon

    native = Net()
    model = TorchModel(native)
    conv = model.flat_view()[0]
    assert repr(conv) == ("<TorchConv2D 'features.0' Conv2d(3, 4, kernel_size=(3, 3), "
                          "stride=(1, 1), padding=(1, 1))>")
    assert repr(model) == "<TorchModel Net, 4 layers>"
    model.name = "student"
    assert repr(model) == "<TorchModel 'student' Net, 4 layers>"

    # Outside a model, and no longer in it after a replacement.
    assert repr(TorchConv2D(nn.Conv2d(1, 2, 1))) == (
        "<TorchConv2D Conv2d(1, 2, kernel_size=(1, 1), stride=(1, 1))>")
    model.replace_layer(conv, TorchIdentityLayer(TorchIdentityLayer.native_layer_cls()))
    assert repr(conv).startswith("<TorchConv2D (not in its model) Conv2d(3, 4,")
    model.replace_layer(model.flat_view()[0], conv)  # put back

    graph = model.build_graph(torch.randn(1, 3, 8, 8))
    texts = [repr(node) for node in graph]
    assert any(re.fullmatch(r"<Node \d+: Conv2d 'features\.2', inputs \d+>", t) for t in texts), texts
    assert any(re.fullmatch(r"<Node \d+: Add, inputs \d+, \d+>", t) for t in texts), texts
    assert any(re.fullmatch(r"<Node \d+: Linear 'fc', inputs \d+>", t) for t in texts), texts

    # Log lines that format layers read well.
    surgeon = TorchGraphSurgeon(model, torch.randn(1, 3, 8, 8), drop_view_op=False)
    with caplog.at_level(logging.DEBUG, logger="orrery.framework.surgeon_bridge"):
        surgeon.prune_channels(model.flat_view()[2], [0])
    assert "Pruning 1 channels from <TorchConv2D 'features.2' Conv2d(4, 4," in caplog.text
