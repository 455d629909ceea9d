"""Converters from PyTorch to deployment formats: ONNX, TorchScript and VEXA."""
import collections.abc
import contextlib
import io
import json
import re
import warnings

import onnx
import torch

from corvex import _atomic
from corvex._torch_support import eval_mode, example_inputs, model_device
from corvex.model_converter.pytorch_converter import integer
from corvex.model_converter.pytorch_converter.pytorch_converter import annotated_modules
from corvex.profiler.utils import Device

OPSET_VERSION = 13
BATCH_DIM_NAME = "batch"
_CONV_OPS = ("Conv", "ConvTranspose", "ConvInteger")
PRECISIONS = ("fp32", "int8")


def _check_module(native_model):
    if not isinstance(native_model, torch.nn.Module):
        raise TypeError("expected a torch.nn.Module to convert, got {}".format(
            type(native_model).__name__))
    return native_model


def _check_precision(precision):
    if not isinstance(precision, str) or precision not in PRECISIONS:
        raise ValueError("precision must be one of {}, got {!r}".format(
            ", ".join(repr(p) for p in PRECISIONS), precision))


def _dynamic_batch(dynamic_input):
    if dynamic_input == "b":
        return True
    if dynamic_input is None or dynamic_input == "":
        return False
    raise ValueError("dynamic_input {!r} is not supported: use 'b' for a dynamic batch "
                     "dimension, or None (or '') for static shapes".format(dynamic_input))


def _count_tensors(outputs):
    if isinstance(outputs, torch.Tensor):
        return 1
    if isinstance(outputs, (tuple, list)):
        return sum(_count_tensors(o) for o in outputs)
    if isinstance(outputs, dict):
        return sum(_count_tensors(o) for o in outputs.values())
    return 0


def _export_onnx(model, inputs, dynamic_batch, annotate=False, precision="fp32", scopes=None):
    """Exports ``model`` on ``inputs`` and returns the ONNX model.

    With precision "int8" a copy whose LSQ layers are in integer form is
    exported and rewritten for integer kernels (see ``integer``); the model
    itself is not changed. ``scopes``, a dict, receives the module calls of the
    exported forward pass (see ``_recorded_scopes``).
    """
    with contextlib.ExitStack() as stack:
        annotations = stack.enter_context(annotated_modules(model)) if annotate else {}
        exported = integer.integer_copy(model) if precision == "int8" else model
        stack.enter_context(eval_mode(exported))
        calls = stack.enter_context(_recorded_scopes(exported)) if scopes is not None else None
        # The output names must be given up front, so count the outputs first.
        with torch.no_grad():
            n_outputs = _count_tensors(exported(*inputs))
        input_names = ["input_{}".format(i) for i in range(len(inputs))]
        output_names = ["output_{}".format(i) for i in range(n_outputs)]
        dynamic_axes = None
        if dynamic_batch:
            dynamic_axes = {name: {0: BATCH_DIM_NAME} for name in input_names + output_names}
        buffer = io.BytesIO()
        if precision == "int8":
            # torch 1.13 hands autograd functions' symbolics a graph whose op()
            # it marks deprecated; that is the documented way there.
            stack.enter_context(warnings.catch_warnings())
            warnings.filterwarnings("ignore", category=FutureWarning, message=r".*g\.op\(\)")
        torch.onnx.export(exported, inputs, buffer, opset_version=OPSET_VERSION,
                          input_names=input_names, output_names=output_names,
                          dynamic_axes=dynamic_axes, do_constant_folding=True)
        if scopes is not None:
            scopes.update(calls)
    onnx_model = onnx.load_model_from_string(buffer.getvalue())
    if precision == "int8":
        integer.lower(onnx_model)
    for name, annotation in annotations.items():
        onnx_model.metadata_props.add(key=name, value=json.dumps(annotation, sort_keys=True))
    onnx.checker.check_model(onnx_model)
    return onnx_model


class PyTorch2ONNX:
    """Exports a PyTorch model to ONNX (opset 13), at fp32 or, for models with
    LSQ-quantized layers, with those layers in integer QDQ form ("int8")."""

    def __init__(self, native_model):
        self.native_model = _check_module(native_model)

    @classmethod
    def export(cls, native_model, path, dataloader=None, precision="fp32", batch_size=1,
               dynamic_input="b", annotate=False):
        """Writes the ONNX model to ``path`` and returns it."""
        path = _atomic.check_destination(path)
        onnx_model = cls(native_model).convert(batch_size=batch_size, precision=precision,
                                               dataloader=dataloader,
                                               dynamic_input=dynamic_input, annotate=annotate)
        _atomic.write_bytes(path, onnx_model.SerializeToString())
        return onnx_model

    def convert(self, batch_size=1, precision="fp32", dataloader=None, dynamic_input="b",
                annotate=False):
        """Returns the model as an ``onnx.ModelProto``.

        Inputs are named input_0, ...; outputs output_0, ...; with
        ``dynamic_input="b"`` their dimension 0 is the dynamic "batch".
        With ``annotate`` the annotations of quantized modules prepared for
        export are recorded in ``metadata_props`` (qualified name -> JSON).
        With ``precision="int8"`` the LSQ layers are stored as 8-bit codes with
        quantize/dequantize pairs; a model without LSQ layers is refused.
        """
        _check_precision(precision)
        dynamic_batch = _dynamic_batch(dynamic_input)
        inputs = example_inputs(dataloader, batch_size, model_device(self.native_model))
        return _export_onnx(self.native_model, inputs, dynamic_batch, annotate, precision)


class PyTorch2JIT:
    """Exports a PyTorch model to TorchScript by tracing."""

    @classmethod
    def export(cls, native_model, path, dataloader=None, batch_size=1, device=Device.CPU):
        """Traces the model on example inputs on ``device`` and saves it to ``path``.

        The model itself must already be on ``device``.
        """
        _check_module(native_model)
        path = _atomic.check_destination(path)
        if device == Device.GPU:
            if not torch.cuda.is_available():
                raise RuntimeError("cannot trace on Device.GPU: CUDA is not available; "
                                   "export with device=Device.CPU")
            target = torch.device("cuda")
        elif device == Device.CPU:
            target = torch.device("cpu")
        else:
            raise ValueError("device must be Device.CPU or Device.GPU, got {!r}".format(device))
        inputs = example_inputs(dataloader, batch_size, target)
        with eval_mode(native_model):
            traced = torch.jit.trace(native_model, inputs)
        buffer = io.BytesIO()
        torch.jit.save(traced, buffer)
        _atomic.write_bytes(path, buffer.getvalue())
        return traced


# ---------------------------------------------------------------------------
# Finding the ONNX node that computes a module.
#
# torch.onnx names a node "/<scope>/.../<scope>/<Op>", one scope per module call
# on the way to the node (the root model has none). A scope is the module's
# qualified name from its last non-numeric atom on ("layer1.0.conv1" -> "conv1",
# "features.0" stays), and the innermost scope gets a "_<n>" suffix when its
# full name repeats (a module called twice, or two modules with the same label
# called from one parent). Scopes follow calls, not ownership, and labels are
# not unique, so the calls are recorded during the export to learn which
# modules ran under which scope path.

_REPEAT_SUFFIX = re.compile(r"(.+)_\d+")


def _scope_label(qualified_name):
    atoms = qualified_name.split(".")
    for i in range(len(atoms) - 1, -1, -1):
        if not atoms[i].isnumeric():
            return ".".join(atoms[i:])
    return qualified_name


@contextlib.contextmanager
def _recorded_scopes(model):
    """Yields {scope path: qualified names of the modules called there, in call
    order}, filled by the model's last forward pass inside the block."""
    names = {module: name for name, module in model.named_modules()}
    stack = []
    calls = {}

    def enter(module, args):
        if module is model:
            # Each run of the whole model (the export traces one) starts afresh.
            stack.clear()
            calls.clear()
            path = ()
        else:
            path = (stack[-1] if stack else ()) + (_scope_label(names[module]),)
        stack.append(path)
        calls.setdefault(path, []).append(names[module])

    def leave(module, args, output):
        stack.pop()

    handles = []
    try:
        for module in names:
            handles.append(module.register_forward_pre_hook(enter))
            handles.append(module.register_forward_hook(leave))
        yield calls
    finally:
        for handle in handles:
            handle.remove()


def _weight_name(qualified_name):
    return qualified_name + ".weight" if qualified_name else "weight"


def _node_candidates(node, calls):
    """Qualified names of the modules that may have emitted ``node``."""
    scopes = tuple(node.name.split("/")[1:-1])
    paths = [scopes]
    repeat = _REPEAT_SUFFIX.fullmatch(scopes[-1]) if scopes else None
    if repeat:
        paths.append(scopes[:-1] + (repeat.group(1),))
    for path in paths:
        if path in calls:
            candidates = list(dict.fromkeys(calls[path]))
            break
    else:
        return []
    if len(candidates) > 1 and len(node.input) > 1:
        # Different modules ran under one scope path: the weight initializer,
        # when it kept its parameter's name, tells them apart.
        by_weight = [c for c in candidates if node.input[1] == _weight_name(c)]
        candidates = by_weight or candidates
    return candidates


def _conv_nodes_by_module(onnx_model, calls):
    """Maps qualified module names to the names of the Conv nodes they compute.

    Also returns the Conv nodes whose module could not be told for sure, with
    the candidates.
    """
    by_module = {}
    unresolved = []
    for node in onnx_model.graph.node:
        if node.op_type not in _CONV_OPS or not node.name.startswith("/"):
            continue
        candidates = _node_candidates(node, calls)
        if len(candidates) == 1:
            by_module.setdefault(candidates[0], []).append(node.name)
        else:
            unresolved.append((node.name, candidates))
    return by_module, unresolved


def _qualified_name(module, *models):
    for model in models:
        for name, candidate in model.named_modules():
            if candidate is module:
                return name
    return None


def _describe(name, module):
    return "{!r} ({})".format(name, type(module).__name__)


def _check_resolution(resolution):
    if resolution is None:
        return None
    if (not isinstance(resolution, (tuple, list)) or len(resolution) != 2 or not all(
            isinstance(s, int) and not isinstance(s, bool) and s > 0 for s in resolution)):
        raise ValueError("resolution must be None or a (height, width) pair of positive ints, "
                         "got {!r}".format(resolution))
    return tuple(resolution)


def _dims(value_info):
    out = []
    for dim in value_info.type.tensor_type.shape.dim:
        which = dim.WhichOneof("value")
        out.append(dim.dim_value if which == "dim_value" else
                   dim.dim_param if which == "dim_param" else None)
    return out


def _graph_inputs(graph):
    initializers = {t.name for t in graph.initializer}
    return [value for value in graph.input if value.name not in initializers]


def _check_inferred_shapes(model, resolution):
    """Checks what strict shape inference lets through: inner dimensions of
    Gemm/MatMul, and sizes that shrank to nothing."""
    graph = model.graph
    shapes = {v.name: _dims(v) for v in list(graph.input) + list(graph.value_info)
              + list(graph.output)}
    shapes.update({t.name: list(t.dims) for t in graph.initializer})
    for name, dims in shapes.items():
        if any(isinstance(d, int) and d <= 0 for d in dims):
            raise ValueError("resolution {} is too small for the model: tensor {!r} would have "
                             "shape {}".format(resolution, name, dims))
    for node in graph.node:
        if node.op_type not in ("Gemm", "MatMul"):
            continue
        a, b = shapes.get(node.input[0]), shapes.get(node.input[1])
        if not a or not b:
            continue
        if node.op_type == "Gemm":
            attrs = {attr.name: attr.i for attr in node.attribute}
            k_a = a[0] if attrs.get("transA", 0) else a[-1]
            k_b = b[-1] if attrs.get("transB", 0) else b[0]
        else:
            k_a, k_b = a[-1], (b[0] if len(b) == 1 else b[-2])
        if isinstance(k_a, int) and isinstance(k_b, int) and k_a != k_b:
            raise ValueError("the model cannot take resolution {}: node {!r} ({}) would multiply "
                             "shapes {} and {}".format(resolution, node.name, node.op_type, a, b))


class PyTorch2VEXA:
    """Converts a PyTorch model for the VEXA runtime.

    The runtime model is the ONNX model, with LSQ layers of at most 8 bits in
    integer QDQ form; the companion data tells the runtime which ONNX nodes are
    the mapped (possibly quantized) layers.
    """

    def __init__(self, native_model, prep_fn=None):
        self.native_model = _check_module(native_model)
        self.prep_fn = prep_fn

    def _prepared_model(self):
        if self.prep_fn is None:
            return self.native_model
        prepared = self.prep_fn(self.native_model)
        # Preparation may work in place and return nothing.
        if prepared is None:
            return self.native_model
        if not isinstance(prepared, torch.nn.Module):
            raise TypeError("prep_fn must return a torch.nn.Module (or None when it prepares "
                            "the model in place), got {}".format(type(prepared).__name__))
        return prepared

    def _mapped_names(self, vexa_mapping, model):
        mapped = {}
        for module, record in (vexa_mapping or {}).items():
            if record is None:
                continue
            if not isinstance(record, collections.abc.Mapping):
                raise TypeError("the vexa_mapping record of {} must be a dict or None, got "
                                "{}".format(type(module).__name__, type(record).__name__))
            # prep_fn may return a copy; the mapping holds modules of the original.
            name = _qualified_name(module, self.native_model, model)
            if name is None:
                raise RuntimeError("vexa_mapping holds a {} that is not part of the model: map "
                                   "the model's own modules".format(type(module).__name__))
            mapped[name] = (module, dict(record))
        return mapped

    def convert(self, vexa_mapping=None, dataloader=None, dynamic_input="b", batch_size=1,
                simplify_model=False, resolution=None):
        """Returns (ONNX model, companion data).

        The companion data is {"layers": {node name: record}, "inputs": [{"name",
        "shape"}], "outputs": [name]}, shapes holding ints and "batch".
        """
        dynamic_batch = _dynamic_batch(dynamic_input)
        resolution = _check_resolution(resolution)
        if resolution is not None and not simplify_model:
            raise ValueError("resolution {} is only applied with simplify_model=True".format(
                resolution))
        model = self._prepared_model()
        mapped = self._mapped_names(vexa_mapping, model)
        inputs = example_inputs(dataloader, batch_size, model_device(model))
        precision = "int8" if integer.has_integer_layers(model) else "fp32"
        calls = {}
        onnx_model = _export_onnx(model, inputs, dynamic_batch, precision=precision,
                                  scopes=calls)
        by_module, unresolved = _conv_nodes_by_module(onnx_model, calls)
        layers = {}
        for name, (module, record) in mapped.items():
            nodes = by_module.get(name)
            if not nodes:
                ambiguous = [node for node, candidates in unresolved if name in candidates]
                if ambiguous:
                    raise RuntimeError(
                        "cannot tell which of the ONNX nodes {} computes module {}: it is "
                        "called under the same name as other modules".format(
                            ambiguous, _describe(name, module)))
                raise RuntimeError(
                    "module {} has no Conv node in the exported ONNX graph: map only "
                    "convolutions the forward pass calls".format(_describe(name, module)))
            for node in nodes:
                layers[node] = dict(record)

        if simplify_model:
            onnx_model = self.simplify_model(onnx_model, inputs, resolution)
        graph = onnx_model.graph
        companion = {
            "layers": layers,
            "inputs": [{"name": v.name, "shape": _dims(v)} for v in _graph_inputs(graph)],
            "outputs": [v.name for v in graph.output],
        }
        return onnx_model, companion

    @classmethod
    def simplify_model(cls, model, input_tuple, resolution):
        """Returns a copy of ``model`` with its shapes fixed and checked.

        4-D inputs get their last two dimensions set to ``resolution`` (None:
        as exported), the batch dimension stays as it is. Raises ValueError when
        the model cannot take that resolution.
        """
        resolution = _check_resolution(resolution)
        simplified = onnx.ModelProto()
        simplified.CopyFrom(model)
        graph = simplified.graph
        graph_inputs = _graph_inputs(graph)
        if input_tuple is not None and len(input_tuple) != len(graph_inputs):
            raise ValueError("the model has {} inputs but {} example inputs were given".format(
                len(graph_inputs), len(input_tuple)))
        if resolution is not None:
            images = [v for v in graph_inputs if len(v.type.tensor_type.shape.dim) == 4]
            if not images:
                raise ValueError("resolution {} given, but the model has no 4-D (N, C, H, W) "
                                 "input".format(resolution))
            for value in images:
                for dim, size in zip(value.type.tensor_type.shape.dim[2:], resolution):
                    dim.Clear()
                    dim.dim_value = size
            # Shapes recorded at export hold for the exported resolution only.
            del graph.value_info[:]
            for output in graph.output:
                for dim in output.type.tensor_type.shape.dim[1:]:
                    dim.Clear()
        try:
            inferred = onnx.shape_inference.infer_shapes(simplified, check_type=True,
                                                         strict_mode=True)
        except onnx.shape_inference.InferenceError as error:
            raise ValueError("the model cannot take resolution {}: {}".format(
                resolution, error)) from error
        _check_inferred_shapes(inferred, resolution)
        onnx.checker.check_model(inferred)
        return inferred
