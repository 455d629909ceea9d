"""Profiler settings shared by every backend."""
import enum


class Device(enum.Enum):
    CPU = "cpu"
    GPU = "gpu"
