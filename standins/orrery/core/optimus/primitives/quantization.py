"""Quantization primitives of the core's optimiser."""


class LSQ:
    """Learned-step-size quantization settings of a model's layers."""

    def __init__(self, wbits=8, abits=8, polarity=0, channel_quant=True, act_polarity=None):
        self.wbits = wbits
        self.abits = abits
        self.polarity = polarity
        self.channel_quant = channel_quant
        self.act_polarity = act_polarity
