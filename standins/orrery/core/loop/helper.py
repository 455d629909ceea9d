"""Callbacks a trainer runs around the creation of its objects."""


class PreMakeCallback:
    """Called as ``callback(params, model)`` before the trainer makes its objects."""

    def __call__(self, params, model):
        """Runs the callback with the trainer's parameter mapping and the framework model;
        subclasses implement it (here it raises NotImplementedError)."""
        raise NotImplementedError


class PostMakeCallback:
    """Called as ``callback(params, model)`` after the trainer made its objects."""

    def __call__(self, params, model):
        """Runs the callback with the trainer's parameter mapping (holding "main_loop") and
        the framework model; subclasses implement it (here it raises NotImplementedError)."""
        raise NotImplementedError


class ExtensionsInjection(PostMakeCallback):
    """Adds loop extensions to the trainer's main loop once it is made."""

    def __init__(self, *extensions):
        self.extensions = extensions

    def __call__(self, params, model):
        """Adds every extension given at creation, in order, to ``params["main_loop"]``."""
        main_loop = params["main_loop"]
        for extension in self.extensions:
            main_loop.add_extension(extension)
