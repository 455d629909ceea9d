"""Converters from PyTorch to deployment formats."""
import torch


class PyTorch2ONNX:
    def __init__(self, native_model):
        self.native_model = native_model

    @classmethod
    def export(cls, native_model, path, inputs=None, **kwargs):
        torch.onnx.export(native_model, inputs, path, **kwargs)

    def convert(self, inputs, **kwargs):
        import io
        import onnx
        buffer = io.BytesIO()
        torch.onnx.export(self.native_model, inputs, buffer, **kwargs)
        return onnx.load_model_from_string(buffer.getvalue())


class PyTorch2JIT:
    @classmethod
    def export(cls, native_model, path, inputs=None, **kwargs):
        torch.jit.trace(native_model, inputs).save(path)


class PyTorch2VEXA:
    def __init__(self, native_model, prep_fn=None):
        self.native_model = native_model
        self.prep_fn = prep_fn

    def convert(self, inputs, mapping=None, **kwargs):
        model = self.prep_fn(self.native_model) if self.prep_fn else self.native_model
        return model, {"mapping": mapping or {}}

    @classmethod
    def simplify_model(cls, model, inputs, resolution):
        return model
