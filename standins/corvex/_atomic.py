"""Writing files so that a failure never leaves a partial file under the final name."""
import contextlib
import os
import tempfile

# Read once: mkstemp creates files 0600, and exports should get the
# permissions an ordinary open() would have given them.
_UMASK = os.umask(0)
os.umask(_UMASK)


def check_destination(path):
    """Raises if ``path`` cannot be written because of its directory.

    Called before any expensive work (tracing, pickling), so that a typo in the
    destination fails fast.
    """
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        if os.path.exists(directory):
            raise NotADirectoryError(
                "cannot write {!r}: {!r} is not a directory".format(path, directory))
        raise FileNotFoundError(
            "cannot write {!r}: directory {!r} does not exist; create it first".format(
                path, directory))
    if os.path.isdir(path):
        raise IsADirectoryError(
            "cannot write {!r}: it is a directory; give a file name".format(path))
    return path


@contextlib.contextmanager
def atomic_output(path):
    """Yields a binary file that replaces ``path`` only if the block completes."""
    path = check_destination(path)
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix="." + os.path.basename(path) + ".",
                               suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o666 & ~_UMASK)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise


def write_bytes(path, data):
    """Writes the bytes ``data`` to ``path`` through ``atomic_output``: the file appears whole
    or not at all. Raises what ``check_destination`` raises for an unusable destination, and
    OSError from writing.
    """
    with atomic_output(path) as f:
        f.write(data)
