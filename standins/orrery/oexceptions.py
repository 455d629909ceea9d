"""Exceptions the core defines and the backend raises."""


class OrreryError(Exception):
    """Base of the core's exceptions."""


class GraphParsingError(OrreryError):
    """The model could not be turned into a graph."""


class HorovodImportError(OrreryError):
    """Horovod was asked for but cannot be imported."""
