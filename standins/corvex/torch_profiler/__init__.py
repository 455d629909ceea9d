"""PyTorch side of the profiler."""
