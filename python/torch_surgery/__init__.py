"""Channel surgery on PyTorch modules: structured pruning and dependency graphs."""
__path__ = __import__("pkgutil").extend_path(__path__, __name__)
