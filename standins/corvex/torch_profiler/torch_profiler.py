"""Profiling of PyTorch models: complexity and execution time."""
import math
import statistics
import time

import torch

from corvex._torch_support import eval_mode, example_inputs, model_device


def _first_loader(data_splits):
    if not isinstance(data_splits, dict) or not data_splits:
        raise ValueError("data_splits must be a non-empty dict of split name -> data loader, "
                         "got {!r}".format(data_splits))
    return next(iter(data_splits.values()))


def _profiling_inputs(native_model, data_splits):
    return example_inputs(_first_loader(data_splits), 1, model_device(native_model))


class TorchProfiler:
    """Runs registered profiler functions on a model."""

    def __init__(self, native_model, data_splits, name="model"):
        self.native_model = native_model
        self.data_splits = data_splits
        self.name = name
        self.functions = []

    def register_profiler_function(self, function):
        """Adds ``function``, called as ``function(native_model, data_splits)``, to what
        ``profile`` runs; results are keyed by its class name. Raises TypeError if it is
        not callable and ValueError if a function of the same class is already registered.
        """
        if not callable(function):
            raise TypeError("a profiler function must be callable as f(native_model, "
                            "data_splits), got {}".format(type(function).__name__))
        # Results are keyed by class name: a second one would hide the first.
        key = type(function).__name__
        if any(type(f).__name__ == key for f in self.functions):
            raise ValueError("a {} is already registered on profiler {!r}".format(key, self.name))
        self.functions.append(function)

    def profile(self):
        """Returns {profiler function class name: its result}."""
        return {type(f).__name__: f(self.native_model, self.data_splits) for f in self.functions}


_CONVS = (torch.nn.Conv1d, torch.nn.Conv2d, torch.nn.Conv3d)
_TRANSPOSED_CONVS = (torch.nn.ConvTranspose1d, torch.nn.ConvTranspose2d,
                     torch.nn.ConvTranspose3d)
_BATCH_NORMS = (torch.nn.BatchNorm1d, torch.nn.BatchNorm2d, torch.nn.BatchNorm3d)


def _first_tensor(values):
    if isinstance(values, torch.Tensor):
        return values
    for value in values:
        if isinstance(value, torch.Tensor):
            return value
    return None


def _module_macs(name, module, inputs, output):
    """Multiply-accumulates of one call of ``module``."""
    if hasattr(module, "compute_module_complexity"):
        outputs = (output,) if isinstance(output, torch.Tensor) else output
        flops = module.compute_module_complexity(inputs, outputs)["flops"]
        if flops is None:
            raise ValueError("module {!r} ({}) reports no 'flops' from "
                             "compute_module_complexity: implement it for its class".format(
                                 name, type(module).__name__))
        return int(flops)
    out = _first_tensor(output)
    if out is None:
        return 0
    bias = 0 if getattr(module, "bias", None) is None else out.numel()
    if isinstance(module, _CONVS):
        per_output = math.prod(module.kernel_size) * module.in_channels // module.groups
        return out.numel() * per_output + bias
    if isinstance(module, _TRANSPOSED_CONVS):
        # Every input element is scattered through the kernel into its group's outputs.
        x = _first_tensor(inputs)
        per_input = math.prod(module.kernel_size) * module.out_channels // module.groups
        return x.numel() * per_input + bias
    if isinstance(module, torch.nn.Linear):
        # Multiply-accumulates only: the bias adds are not counted for Linear.
        return module.in_features * out.numel()
    if isinstance(module, _BATCH_NORMS):
        return 2 * out.numel()
    return 0


def _profiled_units(model):
    """Leaf modules, and modules that count their own complexity (whose
    children, such as quantizers, are then part of them)."""
    units = []
    skip = []
    for name, module in model.named_modules():
        if any(name.startswith(prefix) for prefix in skip):
            continue
        if hasattr(module, "compute_module_complexity"):
            units.append((name, module))
            skip.append(name + "." if name else "")
        elif next(module.children(), None) is None:
            units.append((name, module))
    return units


class ComputeComplexity:
    """Counts multiply-accumulates (at batch 1) and parameters, per layer and in total.

    Returns {"macs": int, "params": int, "layers": {qualified name: {"macs", "params"}}}.
    """

    def __call__(self, native_model, data_splits):
        """Counts the multiply-accumulates of one forward pass of ``native_model`` on a
        random batch of 1 shaped by the first loader of ``data_splits`` (a non-empty dict),
        in evaluation mode; raises ValueError for empty splits."""
        inputs = _profiling_inputs(native_model, data_splits)
        units = _profiled_units(native_model)
        layers = {name: {"macs": 0, "params": sum(p.numel() for p in module.parameters())}
                  for name, module in units}
        handles = []

        def hook_for(name):
            def hook(module, hook_inputs, output):
                layers[name]["macs"] += _module_macs(name, module, hook_inputs, output)
            return hook

        try:
            for name, module in units:
                handles.append(module.register_forward_hook(hook_for(name)))
            with eval_mode(native_model), torch.no_grad():
                native_model(*inputs)
        finally:
            for handle in handles:
                handle.remove()
        return {
            "macs": sum(layer["macs"] for layer in layers.values()),
            "params": sum(p.numel() for p in native_model.parameters()),
            "layers": layers,
        }


class ComputeExecutionTime:
    """Median wall time of a forward pass at batch 1, after warm-up runs.

    Returns {"seconds_per_sample": float}.
    """

    def __init__(self, warmup=3, repeats=10):
        if isinstance(warmup, bool) or not isinstance(warmup, int) or warmup < 0:
            raise ValueError("warmup must be an int >= 0, got {!r}".format(warmup))
        if isinstance(repeats, bool) or not isinstance(repeats, int) or repeats < 1:
            raise ValueError("repeats must be an int >= 1, got {!r}".format(repeats))
        self.warmup = warmup
        self.repeats = repeats

    def __call__(self, native_model, data_splits):
        """Times forward passes of ``native_model`` on a random batch of 1 shaped by the
        first loader of ``data_splits`` (a non-empty dict), in evaluation mode; raises
        ValueError for empty splits."""
        inputs = _profiling_inputs(native_model, data_splits)
        # CUDA runs asynchronously: wait for the work before reading the clock.
        sync = torch.cuda.synchronize if any(t.is_cuda for t in inputs) else (lambda: None)
        times = []
        with eval_mode(native_model), torch.no_grad():
            for _ in range(self.warmup):
                native_model(*inputs)
            sync()
            for _ in range(self.repeats):
                start = time.perf_counter()
                native_model(*inputs)
                sync()
                times.append(time.perf_counter() - start)
        return {"seconds_per_sample": statistics.median(times)}
