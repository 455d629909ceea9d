"""Stand-in for the orrery core: the parts the PyTorch backend relies on."""
# Backends install their modules into this package from other distributions
# (and, during development, from build trees); let every copy on sys.path count.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)
