"""TensorFlow conversion is optional and not available with these stand-ins."""


class TF2ONNX:
    def __init__(self, onnx_model, mode="target"):
        raise ImportError("TensorFlow conversion is not installed")


class TF2TFLite:
    @classmethod
    def export(cls, tf_model, path):
        raise ImportError("TensorFlow conversion is not installed")
