"""Helpers used while exporting PyTorch models."""
import contextlib


def onnx_annotator(tensor, annotation):
    """Returns the tensor to use during ONNX export.

    The tensor is left unchanged: annotations are not graph operations but are
    recorded in the model's metadata by the exporter (see ``annotated_modules``).
    """
    return tensor


def _is_exported_quantized(module):
    return hasattr(module, "onnx_annotation") and bool(getattr(module, "_prepared_for_export",
                                                               False))


def module_annotation(module):
    """The export annotation of a quantized module: its activation and weight bit widths as a
    dict.
    """
    return {"activation_bits": module.activations_nbits, "weight_bits": module.weights_nbits}


@contextlib.contextmanager
def annotated_modules(model):
    """Sets an annotation on every quantized module prepared for export.

    Yields {qualified name: annotation}; the modules' own annotations are put
    back afterwards, so exporting leaves the model as it was.
    """
    saved = []
    annotations = {}
    try:
        for name, module in model.named_modules():
            if not _is_exported_quantized(module):
                continue
            annotation = module_annotation(module)
            saved.append((module, module.onnx_annotation))
            module.onnx_annotation = annotation
            annotations[name] = annotation
        yield annotations
    finally:
        for module, previous in saved:
            module.onnx_annotation = previous
