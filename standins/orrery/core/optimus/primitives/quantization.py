"""Quantization primitives of the core's optimiser."""
import numbers

WEIGHT_POLARITIES = ("bipolar", "unipolar")
ACTIVATION_POLARITIES = ("bipolar", "unipolar", False, None, "inferred")
# Integer codes are held in float32 tensors, whose 24-bit significand holds
# every code of up to 24 bits exactly; the backend's quantized layers refuse more.
MAX_BITS = 24


def _bit_width(value, name, signed):
    least = 2 if signed else 1
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise ValueError("{} must be an int between {} and {}, got {!r}".format(
            name, least, MAX_BITS, value))
    if not least <= value <= MAX_BITS:
        raise ValueError("{} must lie between {} and {} for {} codes, got {}".format(
            name, least, MAX_BITS, "signed" if signed else "unsigned", value))
    return int(value)


class LSQ:
    """Learned-step-size quantization settings of a model's layers.

    ``wbits`` and ``abits`` are the bit widths of the weight and the input
    activation codes: ints (Python or NumPy; stored as Python ints) from 2 to
    24 for signed codes, from 1 to 24 for unsigned ones. ``polarity`` is the
    weights': "bipolar" (signed codes) or "unipolar" (unsigned). ``act_polarity``
    is the activations': "bipolar", "unipolar" or False (unsigned; None is
    accepted as False), or "inferred" to take it from the first layer
    transformed (whose meta records whether its inputs are signed; an inferred
    polarity counts as signed for the ``abits`` range). ``channel_quant`` (a
    bool) gives each output channel of the weights its own step size. Bad
    values raise ValueError (TypeError for ``channel_quant``) naming the
    argument; they are checked here, once, and the backend may later replace
    an "inferred" ``act_polarity`` by the polarity it found.
    """

    def __init__(self, wbits=8, abits=8, polarity="bipolar", channel_quant=True,
                 act_polarity="bipolar"):
        if not (isinstance(polarity, str) and polarity in WEIGHT_POLARITIES):
            raise ValueError("polarity (of the weights) must be one of {}, got {!r}".format(
                ", ".join(map(repr, WEIGHT_POLARITIES)), polarity))
        if not (act_polarity is False or act_polarity is None or
                (isinstance(act_polarity, str) and act_polarity in ACTIVATION_POLARITIES)):
            raise ValueError("act_polarity must be one of {}, got {!r}".format(
                ", ".join(map(repr, ACTIVATION_POLARITIES)), act_polarity))
        if not isinstance(channel_quant, bool):
            raise TypeError("channel_quant must be a bool, got {!r}".format(channel_quant))
        self.wbits = _bit_width(wbits, "wbits", polarity == "bipolar")
        self.abits = _bit_width(abits, "abits", act_polarity in ("bipolar", "inferred"))
        self.polarity = polarity
        self.channel_quant = channel_quant
        self.act_polarity = act_polarity
