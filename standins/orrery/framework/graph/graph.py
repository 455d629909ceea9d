"""The core's dataflow graph of a model."""


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
        self._inputs.append(node)
        node._outputs.append(self)


class ModelGraphParser:
    """Turns a model into graph nodes; backends implement ``_parse``."""

    def __init__(self, model=None):
        self.model = model

    def parse_model(self, model, args):
        """The graph nodes of the framework ``model`` traced on ``args``."""
        return self._parse(model.native_model, args)

    def _parse(self, model, args):
        raise NotImplementedError
