"""Helpers shared by the PyTorch converters and the profiler."""
import contextlib

import torch


def check_batch_size(batch_size):
    """Returns ``batch_size`` if it is a positive int (bool excluded); raises ValueError
    otherwise.
    """
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError("batch_size must be a positive int, got {!r}".format(batch_size))
    return batch_size


def forward_pass_of(dataloader):
    """The forward pass of a data loader wrapper (its ``forward_pass`` attribute), which makes
    example inputs; raises TypeError when the loader has none.
    """
    forward_pass = getattr(dataloader, "forward_pass", None)
    if forward_pass is None:
        raise TypeError(
            "the data loader must have a forward pass (a `forward_pass` attribute with "
            "create_random_model_inputs(batch_size)) to make example inputs; got {}".format(
                type(dataloader).__name__))
    return forward_pass


def model_device(model):
    """The device of the first parameter of ``model``, else of its first buffer, else the CPU."""
    for tensor in model.parameters():
        return tensor.device
    for tensor in model.buffers():
        return tensor.device
    return torch.device("cpu")


def example_inputs(dataloader, batch_size, device=None):
    """A tuple of random model inputs from the loader's forward pass, on ``device``."""
    check_batch_size(batch_size)
    inputs = forward_pass_of(dataloader).create_random_model_inputs(batch_size)
    if isinstance(inputs, torch.Tensor):
        inputs = (inputs,)
    if not isinstance(inputs, (tuple, list)) or not all(
            isinstance(t, torch.Tensor) for t in inputs):
        raise TypeError(
            "create_random_model_inputs must return a tuple of tensors, got {!r}".format(
                type(inputs).__name__))
    if device is not None:
        inputs = [t.to(device) for t in inputs]
    return tuple(inputs)


@contextlib.contextmanager
def eval_mode(model):
    """Puts ``model`` in eval mode and restores every module's own mode afterwards.

    Restoring module by module keeps deliberately mixed modes, such as frozen
    batch norms in a training model.
    """
    modes = [(module, module.training) for module in model.modules()]
    model.eval()
    try:
        yield model
    finally:
        for module, training in modes:
            module.training = training
