"""Loggers of the core: standard ``logging`` loggers named by module path."""
import logging


def getLogger(name):
    return logging.getLogger(name)
