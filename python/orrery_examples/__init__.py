"""Helpers of the orrery-torch examples, installed with the distribution so that
a copy of an example runs anywhere: ``digits`` (scikit-learn's digits and a small
CNN for them), ``onnx_runtime`` (runs ONNX files in ONNX Runtime for Node.js) and
``lsq_quantize`` (LSQ convolutions calibrated on data)."""
