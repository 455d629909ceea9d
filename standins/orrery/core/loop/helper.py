"""Callbacks a trainer runs around the creation of its objects."""


class PreMakeCallback:
    """Called as ``callback(params, model)`` before the trainer makes its objects."""

    def __call__(self, params, model):
        raise NotImplementedError


class PostMakeCallback:
    """Called as ``callback(params, model)`` after the trainer made its objects."""

    def __call__(self, params, model):
        raise NotImplementedError


class ExtensionsInjection(PostMakeCallback):
    """Adds loop extensions to the trainer's main loop once it is made."""

    def __init__(self, *extensions):
        self.extensions = extensions

    def __call__(self, params, model):
        main_loop = params["main_loop"]
        for extension in self.extensions:
            main_loop.add_extension(extension)
