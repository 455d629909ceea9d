"""TorchGraphSurgeon driven the way the core drives it: through TorchModel and its layers."""
import pytest
import torch
import torchvision

pytest.importorskip("orrery.framework.model_bridge")
from orrery.framework.model_bridge import TorchModel  # noqa: E402
from orrery.framework.surgeon_bridge import TorchGraphSurgeon  # noqa: E402


def test_pruning_every_conv_of_resnet18_through_its_layer_wrappers():
    torch.manual_seed(0)
    native = torchvision.models.resnet18().eval()
    model = TorchModel(native)
    x = torch.randn(1, 3, 64, 64)
    surgeon = TorchGraphSurgeon(model, x)
    convs = [layer for layer in model.flat_view() if isinstance(layer.native_layer, torch.nn.Conv2d)]
    assert len(convs) == 20
    assert all(layer.model is model for layer in convs)
    with surgeon.cache_dg():
        for layer in convs:
            conv = layer.native_layer
            surgeon.prune_channels(layer, list(range(0, conv.out_channels, 4)))
            # The wrapper keeps pointing at the module that lives in the model.
            assert layer.native_layer is native.get_submodule(layer_path(native, conv))
    # The stem and layer1's residual stream are one group, pruned three times over.
    assert native.conv1.out_channels == native.layer1[1].conv2.out_channels == 27
    assert native.layer1[0].conv1.out_channels == 48 and native.bn1.num_features == 27
    # Plans reaching the flatten before fc are cancelled: layer4's output keeps 512 channels.
    assert native.layer4[1].conv2.out_channels == 512 and native.fc.in_features == 512
    assert native(x).shape == (1, 1000)


def layer_path(native, module):
    return next(name for name, m in native.named_modules() if m is module)
