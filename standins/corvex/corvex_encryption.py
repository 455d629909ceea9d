"""Encrypted serialisation of exported models.

A file is ``MAGIC + nonce (12 bytes) + AES-256-GCM ciphertext and tag``, the
magic being authenticated as associated data. The 32-byte key comes from
``set_key`` or from the file named by the CORVEX_ENCRYPTION_KEY_FILE
environment variable (32 raw bytes, or 64 hex characters).
"""
import io
import os
import pickle
import stat

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from corvex import _atomic

MAGIC = b"CORVEX-ORQ1"
KEY_SIZE = 32
NONCE_SIZE = 12
TAG_SIZE = 16
KEY_FILE_ENV = "CORVEX_ENCRYPTION_KEY_FILE"

_HOW_TO_SET_A_KEY = (
    "call corvex.corvex_encryption.set_key(key) with 32 bytes (generate_key() makes one), "
    "or set the environment variable {} to a file holding the key (32 raw bytes or 64 hex "
    "characters)".format(KEY_FILE_ENV))

_key = None


def generate_key():
    """A fresh random 32-byte key; keep it safe, files cannot be read without it."""
    return os.urandom(KEY_SIZE)


def _checked_key(key, source):
    if not isinstance(key, (bytes, bytearray, memoryview)):
        raise TypeError("{} must be bytes, got {}".format(source, type(key).__name__))
    key = bytes(key)
    if len(key) != KEY_SIZE:
        raise ValueError("{} must be {} bytes long, got {} bytes".format(
            source, KEY_SIZE, len(key)))
    return key


def set_key(key):
    """Sets the key used by ``encrypt`` and ``decrypt``; None forgets it."""
    global _key
    _key = None if key is None else _checked_key(key, "the encryption key")


# The longest key file: 64 hex characters and a CR LF line end.
_KEY_FILE_MAX = 2 * KEY_SIZE + 2


def _refuse_key_file(path, what):
    raise ValueError("the key file {!r} named by {} is {}; it must be a regular file holding "
                     "32 raw bytes or 64 hex characters".format(path, KEY_FILE_ENV, what))


def _check_key_file(path, info):
    if not stat.S_ISREG(info.st_mode):
        _refuse_key_file(path, "a directory" if stat.S_ISDIR(info.st_mode)
                         else "not a regular file (a device, FIFO or socket)")
    if info.st_size > _KEY_FILE_MAX:
        _refuse_key_file(path, "{} bytes long, longer than any key".format(info.st_size))


def _read_key_file(path):
    """The bytes of the key file ``path``, read only once it is known to be a small regular
    file: a FIFO or a device is refused without waiting on it or reading it."""
    try:
        _check_key_file(path, os.stat(path))
        # Non-blocking: should the name become a FIFO after the check, opening does not wait.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except FileNotFoundError as error:
        raise FileNotFoundError("the key file {!r} named by {} does not exist".format(
            path, KEY_FILE_ENV)) from error
    with os.fdopen(fd, "rb") as f:
        _check_key_file(path, os.fstat(fd))
        data = f.read(_KEY_FILE_MAX + 1)
    if len(data) > _KEY_FILE_MAX:
        _refuse_key_file(path, "longer than any key")
    return data


def _key_from_file(path):
    data = _read_key_file(path)
    if len(data) == KEY_SIZE:
        return data
    text = data[:-1] if data.endswith(b"\n") else data
    text = text[:-1] if text.endswith(b"\r") else text
    if len(text) == 2 * KEY_SIZE:
        try:
            return bytes.fromhex(text.decode("ascii"))
        except (UnicodeDecodeError, ValueError):
            pass
    # The content is deliberately not echoed: it may be most of a key.
    raise ValueError("the key file {!r} (from {}) must hold exactly 32 raw bytes or 64 hex "
                     "characters, it holds {} bytes that are neither".format(
                         path, KEY_FILE_ENV, len(data)))


def _resolve_key(key=None):
    if key is not None:
        return _checked_key(key, "key")
    if _key is not None:
        return _key
    path = os.environ.get(KEY_FILE_ENV)
    if path:
        return _key_from_file(path)
    raise RuntimeError("no encryption key is set: " + _HOW_TO_SET_A_KEY)


def check_key(key=None):
    """Raises what ``encrypt`` would raise for its key (none set, a bad key or key file);
    returns None. Lets a caller refuse before doing work that needs the key."""
    _resolve_key(key)


def _default_pickler(file):
    return pickle.Pickler(file, protocol=3)


def encrypt(obj, path, pickler_function=_default_pickler, key=None):
    """Pickles ``obj`` with ``pickler_function(file)`` and writes it encrypted to ``path``."""
    key = _resolve_key(key)
    path = _atomic.check_destination(path)
    buffer = io.BytesIO()
    pickler_function(buffer).dump(obj)
    nonce = os.urandom(NONCE_SIZE)
    sealed = AESGCM(key).encrypt(nonce, buffer.getvalue(), MAGIC)
    _atomic.write_bytes(path, MAGIC + nonce + sealed)


def _allowed_globals():
    # What a pickled export refers to: ModelProto pickles as its class plus its
    # serialised bytes; vexa records may hold NotImplemented.
    import onnx
    return {
        (onnx.ModelProto.__module__, onnx.ModelProto.__name__): onnx.ModelProto,
        ("builtins", "NotImplemented"): NotImplemented,
    }


class _ExportUnpickler(pickle.Unpickler):
    """Unpickles only ONNX models and plain data, so that a file cannot run code."""

    def __init__(self, file):
        super().__init__(file)
        self._allowed = _allowed_globals()

    def find_class(self, module, name):
        try:
            return self._allowed[(module, name)]
        except KeyError:
            raise pickle.UnpicklingError(
                "refusing to load global {}.{}: an encrypted export may hold only ONNX models "
                "and plain data".format(module, name)) from None


def decrypt(path, key=None):
    """Reads, authenticates and unpickles a file written by ``encrypt``.

    Nothing is unpickled unless the whole file is authentic.
    """
    key = _resolve_key(key)
    with open(path, "rb") as f:
        data = f.read()
    if not data.startswith(MAGIC):
        raise ValueError("{!r} is not a corvex encrypted file or is truncated: it does not start "
                         "with the {} header".format(path, MAGIC.decode()))
    if len(data) < len(MAGIC) + NONCE_SIZE + TAG_SIZE:
        raise ValueError("{!r} is truncated: {} bytes is shorter than any encrypted file".format(
            path, len(data)))
    nonce = data[len(MAGIC):len(MAGIC) + NONCE_SIZE]
    try:
        plain = AESGCM(key).decrypt(nonce, data[len(MAGIC) + NONCE_SIZE:], MAGIC)
    except InvalidTag:
        raise ValueError("{!r} failed authentication: the file was altered, truncated, or the key "
                         "is wrong".format(path)) from None
    return _ExportUnpickler(io.BytesIO(plain)).load()
