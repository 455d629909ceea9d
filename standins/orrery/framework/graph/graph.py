"""The core's dataflow graph of a model."""


class Node:
    """A node of the graph, bound to ``layer`` (or None) and numbered ``uid``."""

    def __init__(self, layer, uid):
        self.layer = layer
        self.uid = uid
        self.native_depth = 0
        self._inputs = []
        self._outputs = []

    def add_input(self, node):
        self._inputs.append(node)
        node._outputs.append(self)


class ModelGraphParser:
    """Turns a model into graph nodes."""

    def __init__(self, model):
        self.model = model
