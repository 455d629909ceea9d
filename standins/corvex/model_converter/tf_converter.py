"""TensorFlow converters (TF2ONNX, TF2TFLite).

They need TensorFlow; importing this module without it raises ImportError, so
that callers can treat TensorFlow conversion as optional.
"""
import importlib.util

if importlib.util.find_spec("tensorflow") is None:
    raise ImportError("TensorFlow is not installed: TF2ONNX and TF2TFLite need it; install "
                      "tensorflow to convert TensorFlow models")
raise ImportError("TensorFlow is installed, but this corvex build has no TensorFlow converters: "
                  "install a corvex build that includes TF2ONNX and TF2TFLite")
