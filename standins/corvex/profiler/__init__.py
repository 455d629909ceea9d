from corvex.profiler.utils import Device  # noqa: F401
