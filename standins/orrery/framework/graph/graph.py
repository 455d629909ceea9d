"""The core's dataflow graph of a model."""


def _describe(layer):
    # A node's layer is an operator name, None, a native module (before the
    # model links it) or a layer of the model (a GraphLayer around an operator
    # name, None or an unwrapped module, or a layer wrapper).
    if layer is None or isinstance(layer, str):
        return layer or "(no layer)"
    if isinstance(getattr(layer, "layer", None), str):
        return layer.layer
    module = getattr(layer, "native_layer", layer)
    if module is None:
        return "(no layer)"
    root = getattr(getattr(layer, "model", None), "native_model", None)
    name = None
    if root is not None:
        name = next((n for n, m in root.named_modules() if m is module), None)
    kind = type(module).__name__
    if name is None:
        return kind
    return "{} {!r}".format(kind, name) if name else kind + " (the model itself)"


class Node:
    """A node of the graph, bound to ``layer`` (or None) and numbered ``uid``.

    The backend's parser keeps nodes by ``native_depth``, which is the uid.
    """

    def __init__(self, layer, uid):
        self.layer = layer
        self.uid = uid
        self.native_depth = uid
        self._inputs = []
        self._outputs = []

    def add_input(self, node):
        """Records that ``node`` feeds this node: it joins this node's inputs, and this
        node joins its outputs.
        """
        self._inputs.append(node)
        node._outputs.append(self)

    def __repr__(self):
        """'<Node uid: what it computes, inputs uid, ...>', where what it computes is an
        operator name or the type and qualified name of the module whose weights it reads."""
        inputs = ", ".join(str(node.uid) for node in self._inputs)
        return "<Node {}: {}{}>".format(self.uid, _describe(self.layer),
                                        ", inputs " + inputs if inputs else "")


class ModelGraphParser:
    """Turns a model into graph nodes; backends implement ``_parse``."""

    def __init__(self, model=None):
        self.model = model

    def parse_model(self, model, args):
        """The graph nodes of the framework ``model`` traced on ``args``."""
        return self._parse(model.native_model, args)

    def _parse(self, model, args):
        raise NotImplementedError
