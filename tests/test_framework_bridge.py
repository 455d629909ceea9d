"""The backend entry: start-up, hand-over of classes, device cast."""
import logging
import subprocess
import sys
import textwrap

import pytest
import torch

import orrery.framework.framework_bridge as fb
from corvex.profiler.utils import Device
from orrery.core.loop.helper import ExtensionsInjection, PreMakeCallback
from orrery.framework import framework as core_framework
from orrery.framework.framework import Framework


def test_every_module_is_a_compiled_extension():
    import importlib
    names = ["orrery.torch", "torch_surgery.structured"] + [
        "orrery.framework." + n for n in (
            "framework_bridge", "nn_bridge", "model_bridge", "graph_bridge", "surgeon_bridge",
            "quant_bridge", "prims_bridge", "ext_bridge", "loader_bridge", "dist_bridge")]
    for name in names:
        assert importlib.import_module(name).__file__.endswith(".so"), name


def test_version_module_reports_installed_distribution():
    from importlib import metadata
    import orrery.torch
    assert orrery.torch.__version__ == metadata.version("orrery-torch")


def test_import_order_and_deferred_primitive_registration():
    script = textwrap.dedent("""
        import sys
        seen = []
        class Recorder:
            def find_spec(self, name, path=None, target=None):
                if name not in seen:
                    seen.append(name)
                return None
        sys.meta_path.insert(0, Recorder())
        import orrery.framework.framework_bridge as fb
        watched = ["corvex.profiler.utils", "corvex.torch_profiler.loader_bridge",
                   "corvex.torch_profiler.torch_inference", "orrery.core.loop.helper",
                   "orrery.framework.dist_bridge", "orrery.framework.framework",
                   "orrery.framework.functions", "orrery.framework.loader_bridge",
                   "orrery.framework.model_bridge", "orrery.framework.surgeon_bridge"]
        order = [n for n in seen if n in watched]
        assert order == watched, order
        assert seen.index("orrery.framework.ext_bridge") < seen.index("orrery.framework.framework")
        assert "orrery.framework.prims_bridge" not in sys.modules
        fb.TorchFramework()
        assert "orrery.framework.prims_bridge" in sys.modules
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.stdout.strip() == "ok", out.stderr


def test_lsq_registered_once_however_many_frameworks():
    script = textwrap.dedent("""
        from orrery.framework.framework import Framework
        calls = []
        original = Framework.register_quantization_method.__func__
        Framework.register_quantization_method = classmethod(
            lambda cls, m: calls.append((cls.__name__, m.__name__)) or original(cls, m))
        import orrery.framework.framework_bridge as fb
        first, second = fb.TorchFramework(), fb.TorchFramework("arg", key="value")
        assert first is not second and isinstance(second, Framework)
        print(calls)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.stdout.strip() == "[('TorchFramework', 'TorchLSQ')]", out.stderr


def test_initialize_without_cuda_warns_once(monkeypatch, caplog):
    monkeypatch.setattr(torch.cuda, "is_available", lambda: False)
    monkeypatch.setattr(torch.backends.cudnn, "benchmark", False)
    framework = fb.TorchFramework()
    with caplog.at_level(logging.WARNING, logger="orrery.framework.framework_bridge"):
        assert framework.initialize({}) is None
    warnings = [r for r in caplog.records if r.name == "orrery.framework.framework_bridge"]
    assert [(r.levelno, r.getMessage()) for r in warnings] == [(logging.WARNING, "Torch cannot use GPU")]
    assert torch.backends.cudnn.benchmark is False
    from corvex.torch_profiler.torch_inference import EvalLossFunction, get_accuracy
    assert framework.get_accuracy is get_accuracy
    assert framework.get_loss_evaluator_cls is EvalLossFunction
    assert framework.config == {}


def test_initialize_with_cuda_turns_on_cudnn_autotuner(monkeypatch, caplog):
    monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
    monkeypatch.setattr(torch.backends.cudnn, "benchmark", False)
    with caplog.at_level(logging.DEBUG, logger="orrery.framework.framework_bridge"):
        fb.TorchFramework().initialize({"task": "cls"})
    assert torch.backends.cudnn.benchmark is True
    assert not [r for r in caplog.records if r.name == "orrery.framework.framework_bridge"]


def test_initialize_propagates_core_errors():
    with pytest.raises(TypeError):
        fb.TorchFramework().initialize(None)


def test_accessors_hand_out_the_backend_classes():
    from orrery.framework.model_bridge import TorchModel
    from orrery.framework import nn_bridge, loader_bridge, surgeon_bridge, dist_bridge
    from corvex.torch_profiler.loader_bridge import TorchForwardPass
    framework = fb.TorchFramework()
    assert framework.mdl_cls is TorchModel
    assert framework.identity_layer_cls is nn_bridge.TorchIdentityLayer
    assert framework.conv2d_cls is nn_bridge.TorchConv2D
    assert framework.knowledge_distillation_cls is fb.TorchKnowledgeDistillation
    assert framework.ema_cls is fb.TorchEMA
    assert framework.dl_cls is loader_bridge.TorchDataLoader
    assert framework.fp_cls is TorchForwardPass
    assert framework.horovod_manager is dist_bridge.torch_horovod_manager
    assert fb.TorchFramework().horovod_manager is framework.horovod_manager
    nn = framework.create_nn({"a": 1})
    assert isinstance(nn, nn_bridge.TorchNN) and nn is not framework.create_nn({})
    model, x = framework.mdl_cls(torch.nn.Conv2d(3, 4, 1)), torch.randn(1, 3, 2, 2)
    surgeon = framework.graph_surgeon(model, x, drop_view_op=False)
    assert isinstance(surgeon, surgeon_bridge.TorchGraphSurgeon)
    assert (surgeon.model, surgeon.model_args, surgeon.drop_view_op) == (model, x, False)
    with pytest.raises(AttributeError):
        framework.mdl_cls = None


def test_accessors_read_the_module_namespace_when_called(monkeypatch):
    sentinel = type("Other", (), {})
    monkeypatch.setattr(fb, "TorchModel", sentinel)
    assert fb.TorchFramework().mdl_cls is sentinel


def test_conv_forward_class_follows_dim_only():
    from orrery.framework import nn_bridge
    framework = fb.TorchFramework()

    def layer(dim):
        return type("L", (), {"DIM": dim})()

    assert framework.get_conv_forward_cls(layer(1)) is nn_bridge.TorchConv1D
    assert framework.get_conv_forward_cls(layer(2)) is nn_bridge.TorchConv2D
    assert framework.get_conv_forward_cls(layer(3)) is nn_bridge.TorchConv3D
    for bad in (0, 4, None):
        with pytest.raises(TypeError) as err:
            framework.get_conv_forward_cls(layer(bad))
        assert str(err.value) == ""
    with pytest.raises(AttributeError):
        framework.get_conv_forward_cls(object())
    # Only DIM counts: a transposed convolution of two dimensions gets TorchConv2D.
    assert framework.get_conv_forward_cls(nn_bridge.TorchConvTranspose2D) is nn_bridge.TorchConv2D


def test_default_trainer_callbacks_are_fresh_each_call():
    from orrery.framework.ext_bridge import Setup
    framework = fb.TorchFramework()
    pre_a, pre_b = framework.get_default_trainer_pre_make_callbacks(), framework.get_default_trainer_pre_make_callbacks()
    assert isinstance(pre_a, tuple) and len(pre_a) == 1 and isinstance(pre_a[0], fb.DeviceCast)
    assert pre_a[0] is not pre_b[0]
    post = framework.get_default_trainer_post_make_callbacks()
    assert isinstance(post, tuple) and len(post) == 1 and isinstance(post[0], ExtensionsInjection)
    (setup,) = post[0].extensions
    assert isinstance(setup, Setup)
    assert framework.get_default_trainer_post_make_callbacks()[0].extensions[0] is not setup


class _Native:
    def __init__(self):
        self.moves = []

    def cuda(self):
        self.moves.append("cuda")
        return "on-cuda"

    def cpu(self):
        self.moves.append("cpu")
        return "on-cpu"


class _Model:
    def __init__(self):
        self.native_model = _Native()


def test_device_cast_moves_the_native_model():
    cast = fb.DeviceCast()
    assert isinstance(cast, PreMakeCallback)
    model = _Model()
    native = model.native_model
    assert cast({"device": Device.GPU}, model) is None
    assert model.native_model == "on-cuda" and native.moves == ["cuda"]
    for other in (Device.CPU, "gpu", None):
        model = _Model()
        cast({"device": other}, model)
        assert model.native_model == "on-cpu"


def test_device_cast_with_a_real_module_and_failures():
    model = _Model()
    model.native_model = torch.nn.Linear(2, 2)
    fb.DeviceCast()({"device": Device.CPU}, model)
    assert isinstance(model.native_model, torch.nn.Linear)
    with pytest.raises(KeyError):
        fb.DeviceCast()({}, model)
    if not torch.cuda.is_available():
        before = model.native_model
        with pytest.raises((AssertionError, RuntimeError)):
            fb.DeviceCast()({"device": Device.GPU}, model)
        assert model.native_model is before  # reassigned only after a successful move


def test_device_cast_docstring():
    assert fb.DeviceCast.__doc__ == (
        "\n    It is essential in pytorch to cast the model into the device it will be used "
        "before creating objects\n    that depend on it (ex.: optimizer)\n    ")
