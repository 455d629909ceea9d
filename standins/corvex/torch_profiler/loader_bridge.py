"""Forward passes and data loaders for profiling PyTorch models."""
import torch


class TorchForwardPass:
    """Knows the input shapes of a model and makes random inputs for it."""

    def __init__(self, input_shapes):
        self.input_shapes = [tuple(s) for s in input_shapes]

    def get_model_input_shapes(self):
        return list(self.input_shapes)

    def create_random_model_inputs(self, batch_size):
        return tuple(torch.randn(batch_size, *shape) for shape in self.input_shapes)


class TorchDataLoader:
    """Wraps a ``torch.utils.data.DataLoader`` (``native_dl``)."""

    def __init__(self, native_dl, forward_pass=None):
        self.native_dl = native_dl
        self._forward_pass = forward_pass

    @property
    def dataset_size(self):
        return len(self.native_dl.dataset)

    @property
    def forward_pass(self):
        if self._forward_pass is None:
            sample = self.native_dl.dataset[0][0]
            self._forward_pass = TorchForwardPass([tuple(sample.shape)])
        return self._forward_pass

    def __len__(self):
        return len(self.native_dl)

    def __iter__(self):
        return iter(self.native_dl)
