"""Integer (QDQ) form of LSQ-quantized models for ONNX.

Two stages:

1. ``integer_copy(model)`` returns a copy of the model in which every
   quantized convolution that can describe itself as integers
   (``_integer_form()``, widths up to 8 bits) is replaced by a module whose
   ONNX form is standard: QuantizeLinear/DequantizeLinear on its input
   activations (a Clip between them for widths below 8 bits) and 8-bit weight
   codes behind a DequantizeLinear. The user's model is never touched.
2. ``lower(onnx_model)`` rewrites the exported graph so that ONNX Runtime runs
   the convolutions as integers, without changing what the model computes:
   a batch norm that follows a convolution is folded into the weight scales and
   the bias; where only operations that commute with the quantization grid
   (ReLU and other clamps, max-pool, reshapes) lead from a convolution to the next quantized
   input, that quantization is placed on the convolution's output too (the
   runtime then fuses the convolution into QLinearConv); every other quantized
   convolution becomes ConvInteger followed by its float rescaling.

Activation codes are stored as uint8 in both polarities: signed codes
-128..127 are the uint8 codes 0..255 with zero point 128. ONNX Runtime fuses
uint8 activations into integer kernels on every CPU, int8 ones on few.
"""
import copy

import numpy as np
import onnx
import torch
from onnx import numpy_helper

MAX_BITS = 8
SIGNED_ZERO_POINT = 128
# A fused convolution adds its bias as int32 codes in accumulator units
# (input step x weight step), so the bias moves by up to half a unit; where
# that is more than this share of the output step, codes near rounding
# boundaries would flip often, and the layer is left unfused (ConvInteger,
# which adds the float bias exactly).
MAX_BIAS_ROUNDING = 0.01
# Operations f between a convolution and a quantizer Q across which a copy of
# Q may be applied first without changing a value, Q(f(y)) = Q(f(Q(y))):
# clamps (ReLU, ReLU6 and other Clips with constant bounds, which either pass
# a value or replace it by a bound), selections (max-pool) and operations that
# only move elements. Q is monotone, so a clamp or a maximum taken on grid
# values lands where it lands on the exact ones.
_GRID_COMMUTING = {"Relu", "Clip", "MaxPool", "Reshape", "Flatten", "Identity", "Squeeze",
                   "Unsqueeze", "Transpose"}


def _integer_layers(model):
    """(qualified name, module) of every layer the integer form covers."""
    return [(name, module) for name, module in model.named_modules()
            if hasattr(module, "_integer_form")
            and max(module.weights_nbits, module.activations_nbits) <= MAX_BITS]


def has_integer_layers(model):
    """Whether ``model`` holds a quantized layer that the integer form covers (an LSQ
    convolution of at most 8 bits).
    """
    return bool(_integer_layers(model))


def _activation_codes(act_range):
    """(zero point, clip bounds or None) of uint8 codes for a code range."""
    lo, hi = act_range
    zero_point = 0 if lo >= 0 else SIGNED_ZERO_POINT
    lo, hi = lo + zero_point, hi + zero_point
    if lo < 0 or hi > 255:
        raise ValueError("activation codes {}..{} do not fit 8 bits".format(*act_range))
    return zero_point, (None if (lo, hi) == (0, 255) else (lo, hi))


class _QuantizeActivation(torch.autograd.Function):
    """LSQ fake quantization of activations; exports as QuantizeLinear,
    an optional Clip and DequantizeLinear."""

    @staticmethod
    def forward(ctx, x, step, lo, hi):
        return torch.round(torch.clamp(x / step, lo, hi)) * step

    @staticmethod
    def symbolic(g, x, step, lo, hi):
        zero_point, clip = _activation_codes((lo, hi))
        scale = g.op("Constant", value_t=torch.tensor(step, dtype=torch.float32))
        zp = g.op("Constant", value_t=torch.tensor(zero_point, dtype=torch.uint8))
        codes = g.op("QuantizeLinear", x, scale, zp)
        if clip is not None:
            codes = g.op("Clip", codes,
                         g.op("Constant", value_t=torch.tensor(clip[0], dtype=torch.uint8)),
                         g.op("Constant", value_t=torch.tensor(clip[1], dtype=torch.uint8)))
        return g.op("DequantizeLinear", codes, scale, zp)


class _DequantizeWeight(torch.autograd.Function):
    """8-bit weight codes times their scales; exports as DequantizeLinear of the
    integer initializer (per output channel when the scale is 1-D)."""

    @staticmethod
    def forward(ctx, codes, scale):
        shape = (-1,) + (1,) * (codes.dim() - 1) if scale.dim() == 1 else ()
        return codes.float() * scale.reshape(shape)

    @staticmethod
    def symbolic(g, codes, scale):
        per_channel = scale.type().dim() == 1
        dtype = torch.int8 if codes.type().scalarType() == "Char" else torch.uint8
        zeros = torch.zeros(scale.type().sizes() if per_channel else (), dtype=dtype)
        zp = g.op("Constant", value_t=zeros)
        if per_channel:
            return g.op("DequantizeLinear", codes, scale, zp, axis_i=0)
        return g.op("DequantizeLinear", codes, scale, zp)


class IntegerConv2d(torch.nn.Conv2d):
    """A quantized convolution as its integer codes: 8-bit weight codes and
    scales as buffers, the activation step and code range as plain values."""

    def __init__(self, layer):
        form = layer._integer_form()
        super().__init__(layer.in_channels, layer.out_channels, layer.kernel_size,
                         stride=layer.stride, padding=layer.padding, dilation=layer.dilation,
                         groups=layer.groups, bias=form["bias"] is not None,
                         padding_mode=layer.padding_mode, device=layer.weight.device)
        del self.weight
        lo, hi = form["weight_range"]
        dtype = torch.int8 if lo >= -128 and hi <= 127 else torch.uint8
        self.register_buffer("weight_codes", form["weight_codes"].to(dtype))
        scale = form["weight_scale"].float()
        self.register_buffer("weight_scale", scale.reshape(()) if scale.numel() == 1 else scale)
        if form["bias"] is not None:
            self.bias = torch.nn.Parameter(form["bias"].float(), requires_grad=False)
        self.act_step = form["act_step"]
        self.act_range = tuple(form["act_range"])

    def forward(self, x):
        """The LSQ computation on ``x``: fake-quantized activations convolved with the
        dequantized weight codes, plus the bias; exports to ONNX as
        QuantizeLinear/DequantizeLinear around a float Conv.
        """
        x = _QuantizeActivation.apply(x, self.act_step, *self.act_range)
        weight = _DequantizeWeight.apply(self.weight_codes, self.weight_scale)
        return self._conv_forward(x, weight, self.bias)


def integer_copy(model):
    """A copy of ``model`` whose quantized convolutions are IntegerConv2d.

    Raises ValueError when the model has no quantized layer of 8 bits or fewer,
    or when a layer's step sizes give no integer codes (naming the layer).
    """
    layers = _integer_layers(model)
    if not layers:
        raise ValueError(
            "precision 'int8' needs LSQ-quantized layers of at most 8 bits (LSQConv2D, made "
            "by TorchLSQ), and this model has none: quantize and fine-tune it first, or "
            "export with precision='fp32'. Post-training quantization is not done silently.")
    replacements = {}
    for name, layer in layers:
        try:
            replacements[name] = IntegerConv2d(layer)
        except ValueError as error:
            raise ValueError("LSQ layer {!r}: {}".format(name, error)) from error
    deployed = copy.deepcopy(model)
    for name, replacement in replacements.items():
        parent_name, _, attr = name.rpartition(".")
        parent = deployed.get_submodule(parent_name) if parent_name else deployed
        replacement.train(parent.training)
        setattr(parent, attr, replacement)
    return deployed


# ---------------------------------------------------------------------------
# The graph rewrite.

class _Graph:
    """Lookups over an ONNX graph that is being rewritten; call ``refresh``
    after changing nodes."""

    def __init__(self, model):
        self.graph = model.graph
        self.refresh()

    def refresh(self):
        self.initializers = {t.name: t for t in self.graph.initializer}
        self.producer = {}
        self.consumers = {}
        for node in self.graph.node:
            for name in node.output:
                self.producer[name] = node
            for name in node.input:
                self.consumers.setdefault(name, []).append(node)
        self.outputs = {v.name for v in self.graph.output}

    def array(self, name):
        """The constant value of ``name`` (an initializer, possibly behind the
        Identity nodes the exporter adds for equal parameters), or None."""
        node = self.producer.get(name)
        while node is not None and node.op_type == "Identity":
            name = node.input[0]
            node = self.producer.get(name)
        tensor = self.initializers.get(name)
        return None if tensor is None else numpy_helper.to_array(tensor)

    def add_initializer(self, array, hint):
        name = hint
        n = 0
        while name in self.initializers or name in self.producer:
            n += 1
            name = "{}_{}".format(hint, n)
        tensor = numpy_helper.from_array(np.asarray(array), name)
        self.graph.initializer.append(tensor)
        self.initializers[name] = tensor
        return name

    def fresh_name(self, hint):
        name, n = hint, 0
        taken = set(self.producer) | set(self.initializers) | set(self.consumers)
        while name in taken:
            n += 1
            name = "{}_{}".format(hint, n)
        return name

    def only_consumer(self, value):
        users = self.consumers.get(value, [])
        if len(users) != 1 or value in self.outputs:
            return None
        return users[0]


def _replace_all(field, items):
    """Sets a repeated message field to copies of ``items`` (references into a
    repeated field do not survive clearing it)."""
    copies = []
    for item in items:
        duplicate = type(item)()
        duplicate.CopyFrom(item)
        copies.append(duplicate)
    del field[:]
    field.extend(copies)


def _attributes(node):
    return {a.name: onnx.helper.get_attribute_value(a) for a in node.attribute}


def _constants_to_initializers(graph):
    kept = []
    for node in graph.node:
        attrs = _attributes(node)
        if node.op_type == "Constant" and set(attrs) == {"value"}:
            tensor = onnx.TensorProto()
            tensor.CopyFrom(attrs["value"])
            tensor.name = node.output[0]
            graph.initializer.append(tensor)
        else:
            kept.append(node)
    _replace_all(graph.node, kept)


class _QuantizedConv:
    """A Conv whose input and weights come from DequantizeLinear nodes."""

    def __init__(self, g, conv):
        self.conv = conv
        self.act = g.producer.get(conv.input[0])
        self.weight = g.producer.get(conv.input[1])

    @classmethod
    def find(cls, g, conv):
        if conv.op_type != "Conv":
            return None
        q = cls(g, conv)
        if q.act is None or q.act.op_type != "DequantizeLinear":
            return None
        if q.weight is None or q.weight.op_type != "DequantizeLinear":
            return None
        # Only the pattern IntegerConv2d exports: constant scales and zero
        # points, one activation scale, weight zero points 0.
        if len(q.act.input) != 3 or len(q.weight.input) != 3:
            return None
        constants = [g.array(name) for name in list(q.act.input[1:]) + list(q.weight.input)]
        if any(c is None for c in constants) or constants[0].size != 1 or constants[-1].any():
            return None
        if len(conv.input) > 2 and conv.input[2] and g.array(conv.input[2]) is None:
            return None
        return q

    def channels(self, g):
        return g.array(self.weight.input[0]).shape[0]

    def weight_scale(self, g):
        """Per-channel weight scales, shape [C]."""
        scale = g.array(self.weight.input[1]).astype(np.float32)
        return np.broadcast_to(scale.reshape(-1), (self.channels(g),)).copy()

    def accumulator_unit(self, g):
        """What one unit of the integer accumulator is worth, per output
        channel: input step times weight step (float64)."""
        return np.float64(g.array(self.act.input[1])) * self.weight_scale(g).astype(np.float64)

    def bias(self, g):
        if len(self.conv.input) > 2 and self.conv.input[2]:
            return g.array(self.conv.input[2]).astype(np.float32)
        return None

    def set_weight_scale(self, g, scale):
        codes = g.array(self.weight.input[0])
        zp = np.zeros(scale.shape, dtype=codes.dtype)
        del self.weight.input[1:]
        self.weight.input.extend([g.add_initializer(scale.astype(np.float32), "weight_scale"),
                                  g.add_initializer(zp, "weight_zero_point")])
        del self.weight.attribute[:]
        self.weight.attribute.extend([onnx.helper.make_attribute("axis", 0)])

    def set_bias(self, g, bias):
        name = g.add_initializer(bias.astype(np.float32), "bias")
        if len(self.conv.input) > 2:
            self.conv.input[2] = name
        else:
            self.conv.input.append(name)


def _fold_batch_norm(g, q):
    bn = g.only_consumer(q.conv.output[0])
    if bn is None or bn.op_type != "BatchNormalization" or len(bn.output) != 1:
        return False
    params = [g.array(name) for name in bn.input[1:5]]
    if any(p is None for p in params):
        return False
    gamma, beta, mean, var = (p.astype(np.float64) for p in params)
    eps = _attributes(bn).get("epsilon", 1e-5)
    factor = gamma / np.sqrt(var + eps)
    bias = q.bias(g)
    bias = np.zeros_like(mean) if bias is None else bias.astype(np.float64)
    q.set_weight_scale(g, (q.weight_scale(g).astype(np.float64) * factor).astype(np.float32))
    q.set_bias(g, (bias - mean) * factor + beta)
    # Nodes are never removed while the rewrite holds references into the
    # node list; the batch norm is cut loose and swept away at the end.
    q.conv.output[0], bn.output[0] = bn.output[0], g.fresh_name(bn.output[0] + "_folded")
    return True


def _output_quantizer(g, q):
    """The quantizer the convolution's output reaches through grid-commuting
    operations alone: (QuantizeLinear node, its Clip or None, the operations on
    the way)."""
    value, chain = q.conv.output[0], []
    while True:
        node = g.only_consumer(value)
        if node is None:
            return None
        if node.op_type == "QuantizeLinear":
            if g.array(node.input[1]) is None or len(node.input) < 3 or \
                    g.array(node.input[2]) is None or g.array(node.input[1]).size != 1:
                return None
            clip = g.only_consumer(node.output[0])
            return node, (clip if clip is not None and clip.op_type == "Clip" else None), chain
        if node.op_type not in _GRID_COMMUTING or len([o for o in node.output if o]) != 1:
            return None
        if node.op_type == "Clip" and any(g.array(b) is None for b in node.input[1:] if b):
            return None
        chain.append(node)
        value = node.output[0]


def _quantize_output(g, q, target):
    """Adds the next input's quantization right after the convolution (after a
    leading ReLU when the codes are unsigned, which the runtime then drops)."""
    quantize, clip, chain = target
    bias = q.bias(g)
    if bias is not None:
        unit = q.accumulator_unit(g)
        codes = np.round(bias.astype(np.float64) / unit)
        output_step = float(g.array(quantize.input[1]))
        if np.abs(codes).max(initial=0) >= 2 ** 31 - 1 or \
                0.5 * np.abs(unit).max() > MAX_BIAS_ROUNDING * output_step:
            return False
        scale_name = g.add_initializer(unit.astype(np.float32), "bias_scale")
        zp_name = g.add_initializer(np.zeros(codes.shape, np.int32), "bias_zero_point")
        codes_name = g.add_initializer(codes.astype(np.int32), "bias_codes")
        dequantized = g.fresh_name(q.conv.output[0] + "_bias")
        g.graph.node.append(onnx.helper.make_node(
            "DequantizeLinear", [codes_name, scale_name, zp_name], [dequantized], axis=0))
        q.conv.input[2] = dequantized
    zero_point = g.array(quantize.input[2])
    after = chain[0] if chain and chain[0].op_type == "Relu" and int(zero_point) == 0 else q.conv
    value = after.output[0]
    raw = g.fresh_name(value + "_float")
    after.output[0] = raw
    codes = g.fresh_name(value + "_codes")
    nodes = [onnx.helper.make_node("QuantizeLinear", [raw] + list(quantize.input[1:3]), [codes])]
    if clip is not None:
        clipped = g.fresh_name(value + "_clipped")
        nodes.append(onnx.helper.make_node("Clip", [codes] + list(clip.input[1:]), [clipped]))
        codes = clipped
    nodes.append(onnx.helper.make_node("DequantizeLinear", [codes] + list(quantize.input[1:3]),
                                       [value]))
    g.graph.node.extend(nodes)
    return True


def _to_conv_integer(g, q):
    """Conv of dequantized codes -> ConvInteger of the codes, then the float
    rescaling (and bias) per output channel."""
    conv = q.conv
    codes = g.array(q.weight.input[0])
    if codes.dtype == np.int8:
        # The runtime's fast integer kernels take uint8 weights: same codes,
        # zero point 128.
        weights = (codes.astype(np.int16) + SIGNED_ZERO_POINT).astype(np.uint8)
        weight_zp = np.uint8(SIGNED_ZERO_POINT)
    else:
        weights, weight_zp = codes, np.uint8(0)
    channels = codes.shape[0]
    factor = q.accumulator_unit(g).astype(np.float32)
    shape = (1, channels) + (1,) * (codes.ndim - 2)
    out = conv.output[0]
    acc, real = g.fresh_name(out + "_acc"), g.fresh_name(out + "_real")
    bias = q.bias(g)
    # The Conv node becomes the ConvInteger in place (keeping its name, which
    # the runtime records refer to); the rescaling follows it.
    conv.op_type = "ConvInteger"
    del conv.input[:]
    conv.input.extend([q.act.input[0], g.add_initializer(weights, "weight_codes"),
                       q.act.input[2], g.add_initializer(weight_zp, "weight_zero_point")])
    conv.output[0] = acc
    # DequantizeLinear of the int32 accumulator rescales it per output channel
    # in one pass (zero point 0, axis 1 of N, C, ...).
    nodes = [onnx.helper.make_node(
        "DequantizeLinear",
        [acc, g.add_initializer(factor, "output_scale"),
         g.add_initializer(np.zeros(channels, np.int32), "output_zero_point")],
        [real if bias is not None else out], axis=1)]
    if bias is not None:
        nodes.append(onnx.helper.make_node(
            "Add", [real, g.add_initializer(bias.reshape(shape), "bias")], [out]))
    g.graph.node.extend(nodes)


def _remove_unused(graph):
    outputs = {v.name for v in graph.output}
    while True:
        used = {name for node in graph.node for name in node.input} | outputs
        alive = [node for node in graph.node if any(o in used for o in node.output if o)]
        if len(alive) == len(graph.node):
            break
        _replace_all(graph.node, alive)
    used = {name for node in graph.node for name in node.input} | outputs
    _replace_all(graph.initializer, [t for t in graph.initializer if t.name in used])
    initializers = {t.name for t in graph.initializer}
    # Drop graph inputs that only declared initializers now gone.
    _replace_all(graph.input, [v for v in graph.input
                               if v.name in used or v.name not in initializers])


def _topological_order(graph):
    available = {v.name for v in graph.input} | {t.name for t in graph.initializer} | {""}
    nodes = list(graph.node)
    waiting = [len({i for i in node.input if i not in available}) for node in nodes]
    users = {}
    for index, node in enumerate(nodes):
        for name in {i for i in node.input if i not in available}:
            users.setdefault(name, []).append(index)
    ready = [index for index, count in enumerate(waiting) if count == 0]
    ordered = []
    while ready:
        index = ready.pop()
        ordered.append(nodes[index])
        for name in nodes[index].output:
            for user in users.pop(name, ()):
                waiting[user] -= 1
                if waiting[user] == 0:
                    ready.append(user)
    if len(ordered) != len(nodes):
        raise RuntimeError("the integer rewrite left a cycle or a dangling input")
    _replace_all(graph.node, ordered)


def lower(model):
    """Rewrites ``model`` (an ONNX ModelProto exported from ``integer_copy``) in
    place into the form ONNX Runtime runs as integers; returns it."""
    graph = model.graph
    _constants_to_initializers(graph)
    g = _Graph(model)
    convs = [q for q in (_QuantizedConv.find(g, n) for n in list(graph.node)) if q]
    for q in convs:
        if _fold_batch_norm(g, q):
            g.refresh()
    for q in convs:
        target = _output_quantizer(g, q)
        if target is None or not _quantize_output(g, q, target):
            _to_conv_integer(g, q)
        g.refresh()
    _remove_unused(graph)
    _topological_order(graph)
    # Shapes recorded at export may name values the rewrite renamed.
    del graph.value_info[:]
    return model
