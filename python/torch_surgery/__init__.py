"""Channel surgery on PyTorch modules: structured pruning and dependency graphs."""
