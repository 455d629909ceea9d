"""The core's dataflow graph of a model."""


class Node:
    """A node of the graph, bound to ``layer`` (or None) and numbered ``uid``."""

    def __init__(self, layer, uid):
        self.layer = layer
        self.uid = uid
        self.native_depth = uid
        self._inputs = []
        self._outputs = []

    def add_input(self, node):
        self._inputs.append(node)
        node._outputs.append(self)


class ModelGraphParser:
    """Turns a model into graph nodes; backends implement ``_parse(native_model, args)``."""

    def parse_model(self, model, args):
        return self._parse(model.native_model, args)

    def _parse(self, native_model, args):
        raise NotImplementedError
