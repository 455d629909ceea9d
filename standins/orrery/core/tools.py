"""Small helpers of the core."""
from importlib import metadata


def int_to_tuple(value, n=2):
    """``value`` as an n-tuple: an int is repeated, a sequence is checked for length."""
    if isinstance(value, int):
        return (value,) * n
    value = tuple(value)
    if len(value) != n:
        raise ValueError("expected {} values, got {}".format(n, len(value)))
    return value


def package_version(distribution):
    """Installed version of ``distribution``, read from its package metadata."""
    return metadata.version(distribution)
