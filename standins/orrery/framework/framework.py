"""The abstract backend the core talks to."""
import abc


class Framework(abc.ABC):
    """A deep-learning backend. The core creates one and initialises it with its config."""

    # Quantization methods registered by backends, keyed by (backend class, name).
    _quantization_methods = {}

    def __init__(self, *args, **kwargs):
        self.config = None

    def initialize(self, config):
        """Stores a copy of ``config`` (a dict of the core's settings) as ``self.config``
        and returns it; raises TypeError if ``config`` is not a dict.
        """
        if not isinstance(config, dict):
            raise TypeError("config must be a dict, got {}".format(type(config).__name__))
        self.config = dict(config)
        return self.config

    @classmethod
    def register_quantization_method(cls, method_cls):
        """Class decorator: records ``method_cls`` as a quantization method of ``cls``."""
        key = (cls, getattr(method_cls, "name", method_cls.__name__))
        Framework._quantization_methods[key] = method_cls
        return method_cls

    @classmethod
    def quantization_methods(cls):
        """The quantization methods registered for this backend class or its bases, as
        {name: method class}.
        """
        return {name: m for (owner, name), m in Framework._quantization_methods.items()
                if issubclass(cls, owner)}


class EvalModelNativeTrainer:
    """Evaluates a model with the backend's own loop."""

    def __init__(self, model, data_loader=None):
        self.model = model
        self.data_loader = data_loader
