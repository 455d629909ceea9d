"""Device moves and evaluation helpers for PyTorch models."""
import torch


def _move(obj, to_device, be_nice):
    if isinstance(obj, torch.nn.Module):
        to_device(obj)
        return obj
    if isinstance(obj, torch.Tensor):
        return to_device(obj)
    if isinstance(obj, (tuple, list)):
        return type(obj)(_move(o, to_device, be_nice) for o in obj)
    if be_nice:
        return obj
    raise TypeError("cannot move a {} between devices".format(type(obj).__name__))


def cudafy(obj, be_nice=False):
    """Moves a module (in place) or tensors to the default CUDA device.

    With ``be_nice`` a machine without CUDA, or an object that cannot move,
    is left as it is instead of raising.
    """
    if not torch.cuda.is_available():
        if be_nice:
            return obj
        raise RuntimeError("CUDA is not available")
    return _move(obj, lambda t: t.cuda(), be_nice)


def cpufy(obj, be_nice=False):
    """Moves a module (in place) or tensors to the CPU."""
    return _move(obj, lambda t: t.cpu(), be_nice)


@torch.no_grad()
def get_accuracy(model, data_loader, device=None):
    """Top-1 accuracy of ``model`` over ``(inputs, labels)`` batches."""
    was_training = model.training
    model.eval()
    correct = total = 0
    try:
        for inputs, labels in data_loader:
            if device is not None:
                inputs, labels = inputs.to(device), labels.to(device)
            predicted = model(inputs).argmax(dim=1)
            correct += (predicted == labels).sum().item()
            total += labels.numel()
    finally:
        model.train(was_training)
    return correct / total if total else 0.0


class EvalLossFunction:
    """Mean of ``loss_fn`` over ``(inputs, labels)`` batches."""

    def __init__(self, loss_fn):
        self.loss_fn = loss_fn

    @torch.no_grad()
    def __call__(self, model, data_loader):
        """The mean loss of ``model`` over the ``(inputs, labels)`` batches of
        ``data_loader``, without gradients; 0.0 for an empty loader."""
        losses = [float(self.loss_fn(model(x), y)) for x, y in data_loader]
        return sum(losses) / len(losses) if losses else 0.0
