"""Whole-model channel surgery."""


class GraphSurgeon:
    """Prunes channels of a model's layers; ``model_args`` are example inputs."""

    def __init__(self, model, model_args):
        self.model = model
        self.model_args = model_args
