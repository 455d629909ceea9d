"""Encrypted serialisation of exported models."""
import hashlib
import io


_KEY = hashlib.sha256(b"corvex-standin").digest()


def _keystream(length):
    out = bytearray()
    counter = 0
    while len(out) < length:
        out += hashlib.sha256(_KEY + counter.to_bytes(8, "little")).digest()
        counter += 1
    return bytes(out[:length])


def encrypt(obj, path, pickler_function):
    """Serialises ``obj`` with the pickler ``pickler_function(file)`` and writes it encrypted."""
    buffer = io.BytesIO()
    pickler_function(buffer).dump(obj)
    plain = buffer.getvalue()
    with open(path, "wb") as f:
        f.write(bytes(a ^ b for a, b in zip(plain, _keystream(len(plain)))))


def decrypt(path):
    with open(path, "rb") as f:
        data = f.read()
    return bytes(a ^ b for a, b in zip(data, _keystream(len(data))))
