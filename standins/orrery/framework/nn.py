"""The core's layer classes and training abstractions."""


def define_abstract_properties(*names):
    """Class decorator declaring ``names`` as properties that backends must provide."""
    def decorate(cls):
        for name in names:
            if not hasattr(cls, name):
                setattr(cls, name, property(_missing(name)))
        return cls
    return decorate


def _missing(name):
    def getter(self):
        raise NotImplementedError("{} does not provide '{}'".format(type(self).__name__, name))
    return getter


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
    """A layer of a model: wraps the backend's ``native_layer``."""

    native_layer_cls = None
    native_map = {}

    def __init__(self, native_layer=None, model=None):
        self.native_layer = native_layer
        self.model = model
        self.meta = {}

    @classmethod
    def build(cls, *args, **kwargs):
        kwargs = {cls.native_map.get(k, k): v for k, v in kwargs.items()}
        return cls(cls.native_layer_cls(*args, **kwargs))

    def vexa_format(self):
        return None


class BaseWeightsBiasLayer(BaseLayer):
    use_bias = True


class BaseConvolution(BaseWeightsBiasLayer):
    DIM = None


class Convolution1D(BaseConvolution):
    DIM = 1


class Convolution2D(BaseConvolution):
    DIM = 2


class Convolution3D(BaseConvolution):
    DIM = 3


class ConvolutionTranspose1D(BaseConvolution):
    DIM = 1


class ConvolutionTranspose2D(BaseConvolution):
    DIM = 2


class ConvolutionTranspose3D(BaseConvolution):
    DIM = 3


class BaseBatchNorm(BaseWeightsBiasLayer):
    pass


class BatchNorm1D(BaseBatchNorm):
    pass


class BatchNorm2D(BaseBatchNorm):
    pass


class BatchNorm3D(BaseBatchNorm):
    pass


class Linear(BaseWeightsBiasLayer):
    pass


class IdentityLayer(BaseLayer):
    pass


class QuantizationStub(BaseLayer):
    pass


class UnknownLayer(BaseLayer):
    pass


class GraphLayer(BaseLayer):
    pass
