"""Writing files so that a failure never leaves a partial file under the final name.

Every file the stand-ins write (exports, encrypted exports, training checkpoints)
goes through ``atomic_output``: the data is written to a temporary file beside
the target and renamed over it once complete. The destination is checked first:
only a new name or an existing regular file is written, never a directory, a
device, a FIFO or a socket (renaming over those would replace the node itself).
"""
import contextlib
import os
import stat
import tempfile

# Read once: mkstemp creates files 0600, and exports should get the
# permissions an ordinary open() would have given them.
_UMASK = os.umask(0)
os.umask(_UMASK)

# The longest file name (one path component, in bytes) Linux file systems take.
NAME_MAX = 255
# mkstemp's random part, and the marks around the name of a temporary file.
_RANDOM_CHARS = 8
_TMP_PREFIX = "."
_TMP_SUFFIX = ".tmp"

_KINDS = (
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISSOCK, "a socket"),
)


def _kind(mode):
    for test, name in _KINDS:
        if test(mode):
            return name
    return "not a regular file"


def _as_path(path):
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError("the destination must be a file name (str or os.PathLike), got {}".format(
            type(path).__name__))
    path = os.fspath(path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if not path:
        raise ValueError("the destination path is empty; give a file name")
    return path


def _check_target(path):
    """Refuses an existing ``path`` that is not a regular file (links are followed)."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return  # a new name, or a link to one
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(
            "cannot write {!r}: it is a directory; give a file name".format(path))
    if not stat.S_ISREG(mode):
        raise ValueError("cannot write {!r}: it is {}; only regular files are written, so give "
                         "the name of a new or regular file".format(path, _kind(mode)))


def check_destination(path):
    """Returns ``path`` as a str, or raises if it cannot be written.

    Refused: a name that is not a str or PathLike, an empty name, a name ending
    in a separator or longer than 255 bytes, a missing directory, and an
    existing target that is not a regular file. Called before any expensive work
    (tracing, pickling), so that a typo in the destination fails fast.
    """
    path = _as_path(path)
    name = os.path.basename(path)
    if not name or name in (".", ".."):
        raise IsADirectoryError(
            "cannot write {!r}: it names a directory; give a file name".format(path))
    if len(os.fsencode(name)) > NAME_MAX:
        raise ValueError("cannot write {!r}: the file name is {} bytes long, longer than the {} "
                         "bytes a file name may have; shorten it".format(
                             path, len(os.fsencode(name)), NAME_MAX))
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        if os.path.exists(directory):
            raise NotADirectoryError(
                "cannot write {!r}: {!r} is not a directory".format(path, directory))
        raise FileNotFoundError(
            "cannot write {!r}: directory {!r} does not exist; create it first".format(
                path, directory))
    _check_target(path)
    return path


def _temporary_prefix(name):
    """``"." + name + "."``, with ``name`` cut so the temporary name fits NAME_MAX."""
    room = NAME_MAX - len(_TMP_PREFIX) - 1 - _RANDOM_CHARS - len(_TMP_SUFFIX)
    while len(os.fsencode(name)) > room:
        name = name[:-1]
    return _TMP_PREFIX + name + "."


@contextlib.contextmanager
def atomic_output(path):
    """Yields a binary file that replaces ``path`` only if the block completes.

    Raises what ``check_destination`` raises, before the block runs. The
    temporary file has a fresh random name, so one left by a killed writer
    never blocks a later write.
    """
    path = check_destination(path)
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=_temporary_prefix(os.path.basename(path)),
                               suffix=_TMP_SUFFIX)
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o666 & ~_UMASK)
        _check_target(path)  # again: the target may have changed while writing
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
