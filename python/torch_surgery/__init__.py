"""Channel surgery on PyTorch modules: structured pruning and dependency graphs."""
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

# The compiled submodules link libtorch: refuse another PyTorch here, with both
# versions named, rather than in the dynamic loader.
__import__("_orrery_torch_build").check_torch()
