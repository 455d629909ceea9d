"""The core's model: a tree of layers and the graph built over them."""


class LayerGroup:
    """An ordered group of layers (and nested groups) of a model."""

    def __init__(self, model=None):
        self.model = model
        self.layers = []

    def append(self, layer):
        self.layers.append(layer)

    def __iter__(self):
        return iter(self.layers)

    def __len__(self):
        return len(self.layers)


class Model:
    """A backend model wrapping ``native_model``."""

    def __init__(self, native_model, name="model"):
        self.native_model = native_model
        self.name = name
        self.layer_group = LayerGroup(self)
        self.graph_parser = None
