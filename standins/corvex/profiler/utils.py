"""Profiler settings shared by every backend."""
import enum


class Device(enum.Enum):
    """Where a model runs: ``CPU``, or ``GPU`` for the default CUDA device. Compared with
    ``==``.
    """
    CPU = "cpu"
    GPU = "gpu"
