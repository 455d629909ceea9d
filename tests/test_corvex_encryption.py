"""Encrypted exports: AES-256-GCM files, key sources, and a loader that runs no code."""
import os
import pickle
import stat

import onnx
import pytest
from onnx import helper

from corvex import corvex_encryption as ce
from timeouts import in_thread

EFFECTS = []


def _side_effect(value):
    EFFECTS.append(value)


class Payload:
    """Unpickling this runs ``_side_effect``, as a malicious file would."""

    def __reduce__(self):
        return (_side_effect, ("ran",))


def backend_pickler(file):  # what the backend passes
    return pickle.Pickler(file, protocol=3)


@pytest.fixture(autouse=True)
def key(monkeypatch):
    monkeypatch.delenv(ce.KEY_FILE_ENV, raising=False)
    EFFECTS.clear()
    key = ce.generate_key()
    ce.set_key(key)
    yield key
    ce.set_key(None)


def test_round_trip_with_fresh_nonces(tmp_path):
    record = {"layer_type": "LSQConv2D", "kernels": (3, 3), "quant_type": NotImplemented}
    pair = (helper.make_model(helper.make_graph([], "g", [], [])), {"layers": {"/Conv": record}})
    first, second = str(tmp_path / "a.orq"), str(tmp_path / "b.orq")
    for path in (first, second):
        ce.encrypt(pair, path, pickler_function=backend_pickler)
    data = open(first, "rb").read()
    assert data.startswith(ce.MAGIC) and data != open(second, "rb").read()
    model, companion = ce.decrypt(first)
    assert isinstance(model, onnx.ModelProto) and (model, companion) == pair


def test_key_sources(tmp_path, monkeypatch, key):
    path = str(tmp_path / "m.orq")
    ce.encrypt([1, 2], path)
    ce.set_key(None)
    key_file = tmp_path / "key"
    monkeypatch.setenv(ce.KEY_FILE_ENV, str(key_file))
    for content in (key, key.hex().encode() + b"\n"):
        key_file.write_bytes(content)
        assert ce.decrypt(path) == [1, 2]
    key_file.write_bytes(b"z" * 64)
    with pytest.raises(ValueError, match="32 raw bytes or 64 hex"):
        ce.decrypt(path)
    with pytest.raises(ValueError, match="32 bytes long"):
        ce.set_key(b"short")


def _flip(data, offset):
    return data[:offset] + bytes([data[offset] ^ 1]) + data[offset + 1:]


@pytest.mark.parametrize("damage, match", [
    (lambda d: _flip(d, 0), "header"),
    (lambda d: _flip(d, len(ce.MAGIC)), "altered"),                   # nonce
    (lambda d: _flip(d, len(ce.MAGIC) + ce.NONCE_SIZE), "altered"),   # ciphertext
    (lambda d: _flip(d, len(d) - 1), "altered"),                      # tag
    (lambda d: d[:-1], "altered, truncated"),
    (lambda d: d[:len(ce.MAGIC) + 5], "truncated"),
])
def test_damaged_files_are_refused_before_unpickling(tmp_path, damage, match):
    path = tmp_path / "m.orq"
    ce.encrypt(Payload(), str(path), pickler_function=backend_pickler)
    path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(ValueError, match=match):
        ce.decrypt(str(path))
    assert EFFECTS == []


def test_wrong_key_and_foreign_globals_run_nothing(tmp_path):
    path = str(tmp_path / "m.orq")
    ce.encrypt(Payload(), path, pickler_function=backend_pickler)
    with pytest.raises(ValueError, match="key is wrong"):
        ce.decrypt(path, key=ce.generate_key())
    # Authentic but not an export: the restricted loader refuses the global.
    with pytest.raises(pickle.UnpicklingError, match="_side_effect"):
        ce.decrypt(path)
    assert EFFECTS == []


def test_failed_writes_leave_no_file(tmp_path):
    with pytest.raises(FileNotFoundError, match="missing"):
        ce.encrypt([1], str(tmp_path / "missing" / "m.orq"))
    with pytest.raises((pickle.PicklingError, AttributeError)):
        ce.encrypt([lambda: 0], str(tmp_path / "m.orq"), pickler_function=backend_pickler)
    ce.set_key(None)
    with pytest.raises(RuntimeError, match="set_key.*CORVEX_ENCRYPTION_KEY_FILE"):
        ce.encrypt([1], str(tmp_path / "m.orq"))
    assert os.listdir(tmp_path) == []


def test_key_files_that_are_not_small_regular_files_are_refused_unread(tmp_path, monkeypatch):
    ce.set_key(None)
    fifo = tmp_path / "key.fifo"
    os.mkfifo(fifo)
    big = tmp_path / "big"
    big.write_bytes(b"0" * 10_000_000)
    cases = [(fifo, "not a regular file"), (tmp_path, "a directory"),
             (big, "10000000 bytes long")]
    if os.path.exists("/dev/zero"):
        cases.append(("/dev/zero", "not a regular file"))
    for path, match in cases:
        monkeypatch.setenv(ce.KEY_FILE_ENV, str(path))
        with pytest.raises(ValueError, match=match):
            in_thread(lambda: ce.encrypt([1], str(tmp_path / "m.orq")))
        with pytest.raises(ValueError, match=match):
            in_thread(ce.check_key)
    assert sorted(os.listdir(tmp_path)) == ["big", "key.fifo"]


def test_encrypted_files_go_only_to_regular_files_or_new_names(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for target, error in ((fifo, ValueError), (tmp_path, IsADirectoryError), ("", ValueError),
                          ("/dev/null", ValueError), (str(tmp_path) + "/", IsADirectoryError),
                          (3, TypeError), (tmp_path / ("m" * 256), ValueError)):
        with pytest.raises(error):
            in_thread(lambda: ce.encrypt([1], target))
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and stat.S_ISCHR(os.stat("/dev/null").st_mode)
    # Leftovers of a killed writer block nothing; a 250-character name works.
    (tmp_path / ".m.orq.k1ll3d00.tmp").write_bytes(b"half")
    for name in ("m.orq", "m" * 250):
        ce.encrypt([1], str(tmp_path / name))
        assert ce.decrypt(str(tmp_path / name)) == [1]
    assert sorted(os.listdir(tmp_path)) == sorted([".m.orq.k1ll3d00.tmp", "fifo", "m.orq", "m" * 250])
