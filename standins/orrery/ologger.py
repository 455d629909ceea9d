"""Loggers of the core: standard ``logging`` loggers named by module path."""
import logging


def getLogger(name):
    """The standard ``logging`` logger named ``name`` (by convention the caller's module path)."""
    return logging.getLogger(name)
