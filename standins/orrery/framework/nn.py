"""The core's layer classes and training abstractions."""


def define_abstract_properties(cls):
    """Class decorator: checks that ``cls`` provides every property its core
    bases declare in ``__abstract_properties__`` and returns the class."""
    missing = [name for base in cls.__mro__
               for name in getattr(base, "__abstract_properties__", ())
               if not isinstance(getattr(cls, name, None), property)]
    if missing:
        raise TypeError("{} does not provide the properties {}".format(
            cls.__name__, sorted(set(missing))))
    return cls


class NN:
    """Backend services for building optimisers and schedulers."""

    def __init__(self, config=None):
        self.config = config


class LoopOptimizer:
    """The optimiser a training loop steps."""

    def __init__(self, native_optimizer=None):
        self.native_optimizer = native_optimizer


class NativeOptimizerFactory:
    """Builds a backend optimiser from configuration."""


class NativeSchedulerFactory:
    """Builds a backend learning-rate scheduler from configuration."""


class BaseLayer:
    """A layer of a model; backends wrap their native module as ``native_layer``."""

    native_layer_cls = None
    native_map = {}

    def __init__(self, native_layer=None):
        self.native_layer = native_layer
        self.model = None
        self.meta = {}

    @classmethod
    def build(cls, **kwargs):
        """Creates the native layer from the core's argument names."""
        if cls.native_layer_cls is None:
            raise TypeError("{} cannot be built: it names no native layer class".format(cls.__name__))
        native_kwargs = {cls.native_map.get(name, name): value for name, value in kwargs.items()}
        layer = cls(cls.native_layer_cls(**native_kwargs))
        # Only layers that take a bias have use_bias (an identity layer has none).
        if "use_bias" in kwargs:
            layer.use_bias = kwargs["use_bias"]
        return layer

    def vexa_format(self):
        """The layer's record for the runtime export; a plain layer has none (None)."""
        return None


class BaseWeightsBiasLayer(BaseLayer):
    """A layer with weights and an optional bias; backends provide the ``weights`` and ``bias``
    properties. ``use_bias`` says whether the native layer was built with a bias.
    """
    __abstract_properties__ = ("weights", "bias")

    def __init__(self, native_layer=None):
        super().__init__(native_layer)
        self.use_bias = getattr(native_layer, "bias", None) is not None


class BaseConvolution(BaseWeightsBiasLayer):
    """A convolution; ``DIM`` is its number of spatial dimensions, set by the concrete classes."""
    DIM = None

    def vexa_format(self):
        """The runtime record of a quantized convolution (through its
        quantization stub); a float convolution has none."""
        quantized = getattr(self, "__quantized__", None)
        stub = quantized() if quantized else None
        return stub.vexa_format() if stub is not None else None


class Convolution1D(BaseConvolution):
    """A 1-D convolution."""
    DIM = 1


class Convolution2D(BaseConvolution):
    """A 2-D convolution."""
    DIM = 2


class Convolution3D(BaseConvolution):
    """A 3-D convolution."""
    DIM = 3


class ConvolutionTranspose1D(BaseConvolution):
    """A 1-D transposed convolution."""
    DIM = 1


class ConvolutionTranspose2D(BaseConvolution):
    """A 2-D transposed convolution."""
    DIM = 2


class ConvolutionTranspose3D(BaseConvolution):
    """A 3-D transposed convolution."""
    DIM = 3


class BaseBatchNorm(BaseWeightsBiasLayer):
    """A batch normalisation; its affine scale and shift are the layer's weights and bias."""


class BatchNorm1D(BaseBatchNorm):
    """Batch normalisation over 2-D or 3-D inputs (features, optionally by length)."""


class BatchNorm2D(BaseBatchNorm):
    """Batch normalisation over 4-D inputs (channels by height by width)."""


class BatchNorm3D(BaseBatchNorm):
    """Batch normalisation over 5-D inputs (channels by depth, height and width)."""


class Linear(BaseWeightsBiasLayer):
    """A fully connected layer."""


class IdentityLayer(BaseLayer):
    """A layer that returns its input unchanged."""


class QuantizationStub(BaseLayer):
    """Stands for a quantized ``layer``; ``name`` names the quantization method."""

    def __init__(self, layer, name=None):
        super().__init__(getattr(layer, "native_layer", None))
        self.layer = layer
        self.name = name


class UnknownLayer(BaseLayer):
    """A native module the backend has no wrapper for."""


class GraphLayer(BaseLayer):
    """A graph node's layer outside the tree: an operator name, None or an unwrapped module."""

    def __init__(self, layer):
        super().__init__(layer if not isinstance(layer, (str, type(None))) else None)
        self.layer = layer
