"""Forward passes and data loaders for profiling PyTorch models."""
import torch


class TorchForwardPass:
    """Knows the input shapes of a model and makes random inputs for it."""

    def __init__(self, input_shapes):
        self.input_shapes = [tuple(s) for s in input_shapes]

    def get_model_input_shapes(self):
        """A new list of the model's input shapes, one tuple per input, without the batch
        dimension.
        """
        return list(self.input_shapes)

    def create_random_model_inputs(self, batch_size):
        """A tuple of random normal tensors, one per input shape, each with ``batch_size``
        as its first dimension.
        """
        return tuple(torch.randn(batch_size, *shape) for shape in self.input_shapes)


class TorchDataLoader:
    """Wraps a ``torch.utils.data.DataLoader`` (``native_dl``)."""

    def __init__(self, native_dl, forward_pass=None):
        self.native_dl = native_dl
        self._forward_pass = forward_pass

    @property
    def dataset_size(self):
        """Number of samples in the wrapped loader's dataset."""
        return len(self.native_dl.dataset)

    @property
    def forward_pass(self):
        """The forward pass describing the model's inputs: the one given at creation (or
        set later), else one made on first use from the shape of the dataset's first
        sample.
        """
        if self._forward_pass is None:
            sample = self.native_dl.dataset[0][0]
            self._forward_pass = TorchForwardPass([tuple(sample.shape)])
        return self._forward_pass

    def __len__(self):
        return len(self.native_dl)

    def __iter__(self):
        return iter(self.native_dl)
