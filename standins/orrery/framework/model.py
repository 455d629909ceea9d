"""The core's model: a tree of layers mirroring the backend model, and its graph."""


class LayerGroup:
    """An ordered group of layers (and nested groups) of a model."""

    def __init__(self):
        self.model = None
        self.meta = {}
        self._layers = []

    def append(self, layer):
        """Adds ``layer`` (a layer or a nested group) as the last child of the group."""
        self._layers.append(layer)

    def __iter__(self):
        return iter(self._layers)

    def __len__(self):
        return len(self._layers)

    def __getitem__(self, index):
        return self._layers[index]

    def _replace_child(self, old_layer, new_layer):
        for i, layer in enumerate(self._layers):
            if layer is old_layer:
                self._layers[i] = new_layer
                return True
            if isinstance(layer, LayerGroup) and layer._replace_child(old_layer, new_layer):
                return True
        return False


class Model:
    """A backend model wrapping ``native_model``.

    Backends provide ``_parse_native`` (fills ``layer_group``),
    ``_graph_parsing_cls`` with ``_parse_into_graph`` (builds the graph) and
    ``_replace_native_layer`` (keeps the native model in step with the tree).
    """

    _graph_parsing_cls = None

    def __init__(self, native_model, name="model"):
        self.native_model = native_model
        self.name = name
        self.layer_group = LayerGroup()
        self.layer_group.model = self
        self.graph_parser = self._graph_parsing_cls() if self._graph_parsing_cls else None
        self.graph = None
        self._parse_native()
        for layer in self.flat_view():
            layer.model = self

    def flat_view(self):
        """The leaf layers of the tree, depth first, in order (a list: re-iterable)."""
        leaves = []
        stack = [iter(self.layer_group)]
        while stack:
            layer = next(stack[-1], None)
            if layer is None:
                stack.pop()
            elif isinstance(layer, LayerGroup):
                stack.append(iter(layer))
            else:
                leaves.append(layer)
        return leaves

    def build_graph(self, args):
        """Builds (or rebuilds) the dataflow graph from example inputs ``args``."""
        self.graph = list(self._parse_into_graph(args))
        for node in self.graph:
            node.layer.model = self
        return self.graph

    def replace_layer(self, old_layer, new_layer):
        """Replaces ``old_layer`` of the tree by ``new_layer`` (a leaf or a LayerGroup)."""
        if old_layer is self.layer_group or not self.layer_group._replace_child(old_layer, old_layer):
            raise ValueError("the layer to replace is not part of this model")
        self._replace_native_layer(old_layer, new_layer)
        self.layer_group._replace_child(old_layer, new_layer)
        new_layer.model = self
        if self.graph is not None:
            for node in self.graph:
                if node.layer is old_layer:
                    node.layer = new_layer

    def prepare_quantization_export(self):
        """Puts every quantized layer into its export form."""
        for layer in self.flat_view():
            quantized = getattr(layer, "__quantized__", None)
            stub = quantized() if quantized else None
            if stub is not None:
                stub.prepare_for_export()
