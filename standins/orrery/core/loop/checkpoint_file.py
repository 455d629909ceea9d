"""Reading and checking training checkpoints without running code from them.

A checkpoint is unpickled with an unpickler that builds only plain data and
tensors: a file that names any other global (a ``__reduce__`` payload, a class
of its own) is refused before anything from it runs. The checks below look at
each part of a loaded checkpoint against the loop it goes into, so that a file
that does not fit is refused before any part of the loop changes.
"""
import collections
import io
import numbers
import os
import pickle
import stat
import types

import torch

# What torch.save writes for dicts of tensors; storages are resolved by torch.load itself.
_ALLOWED_GLOBALS = {
    ("collections", "OrderedDict"): collections.OrderedDict,
    ("torch._utils", "_rebuild_tensor"): torch._utils._rebuild_tensor,
    ("torch._utils", "_rebuild_tensor_v2"): torch._utils._rebuild_tensor_v2,
    ("torch._utils", "_rebuild_parameter"): torch._utils._rebuild_parameter,
    ("torch.nn.parameter", "Parameter"): torch.nn.Parameter,
    ("torch", "Size"): torch.Size,
}


class _RefusedGlobal(pickle.UnpicklingError):
    """A checkpoint names a global outside the allowed ones."""


class _DataUnpickler(pickle.Unpickler):
    """Unpickles plain data and tensors only, so that a checkpoint cannot run code."""

    def find_class(self, module, name):
        try:
            return _ALLOWED_GLOBALS[(module, name)]
        except KeyError:
            raise _RefusedGlobal(
                "it refers to {}.{}, and a checkpoint may hold only tensors and plain data; "
                "it was not loaded, and nothing from it ran".format(module, name)) from None


def _load(file, **kwargs):
    return _DataUnpickler(file, **kwargs).load()


# torch's readers take a pickle "module": one whose unpickler is the restricted one.
_DATA_PICKLE = types.ModuleType("orrery_checkpoint_pickle")
_DATA_PICKLE.Unpickler = _DataUnpickler
_DATA_PICKLE.load = _load
_DATA_PICKLE.__name__ = "orrery_checkpoint_pickle"


def checkpoint_path(path):
    """``path`` as a non-empty str; raises TypeError or ValueError otherwise."""
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError("a checkpoint path must be a file name (str or os.PathLike), got {}"
                        .format(type(path).__name__))
    path = os.fspath(path)
    path = os.fsdecode(path) if isinstance(path, bytes) else path
    if not path:
        raise ValueError("the checkpoint path is empty; give the checkpoint's file name")
    return path


def _open_regular(path):
    # Non-blocking, so that a FIFO is refused instead of waited on.
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except FileNotFoundError:
        raise FileNotFoundError("checkpoint {!r} does not exist".format(path)) from None
    except IsADirectoryError:
        raise IsADirectoryError("checkpoint {!r} is a directory; give the checkpoint's file "
                                "name".format(path)) from None
    f = os.fdopen(fd, "rb")
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode):
        f.close()
        raise ValueError("checkpoint {!r} is not a regular file (a directory, device, FIFO or "
                         "socket); give the checkpoint's file name".format(path))
    if info.st_size == 0:
        f.close()
        raise ValueError("checkpoint {!r} is empty; it was not written completely, or is not a "
                         "checkpoint".format(path))
    return f


def _restricted_torch_load(f):
    """torch.load's two formats, unpickled by ``_DataUnpickler``. torch 1.13's
    torch.load replaces any pickle_module by pickle unless weights_only is set,
    and its weights_only unpickler cannot read floats, so the two readers it
    dispatches to are called here with the restricted unpickler."""
    serialization = torch.serialization
    if serialization._is_zipfile(f):
        with serialization._open_zipfile_reader(f) as archive:
            if serialization._is_torchscript_zip(archive):
                raise _RefusedGlobal("it is a TorchScript archive, not a checkpoint; "
                                             "nothing from it ran")
            return serialization._load(archive, "cpu", _DATA_PICKLE, encoding="utf-8")
    return serialization._legacy_load(f, "cpu", _DATA_PICKLE, encoding="utf-8")


def read_checkpoint(path):
    """Loads the checkpoint file ``path`` onto the CPU, building only tensors and plain data.

    Raises ValueError naming the file for one that is empty, truncated, foreign or
    that refers to anything else (nothing from such a file runs).
    """
    with _open_regular(path) as f:
        try:
            return _restricted_torch_load(f)
        except _RefusedGlobal as error:
            raise ValueError("checkpoint {!r} was refused: {}".format(path, error)) from None
        except (pickle.UnpicklingError, EOFError, RuntimeError, ValueError, TypeError,
                KeyError, IndexError, AttributeError, UnicodeDecodeError, io.UnsupportedOperation,
                OSError) as error:
            raise ValueError("cannot load checkpoint {!r}: it is truncated, damaged or not a "
                             "checkpoint written by MainLoop.save_checkpoint ({}: {})".format(
                                 path, type(error).__name__, error)) from error


def _mismatch(path, part, what):
    raise ValueError("checkpoint {!r} does not fit this loop: its {} {}; load a checkpoint of "
                     "a loop built the same way (nothing was restored)".format(path, part, what))


def check_counter(path, name, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 0:
        _mismatch(path, name, "counter is {!r}, not a count (an int >= 0)".format(value))


def check_rng(path, value):
    current = torch.get_rng_state()
    if (not isinstance(value, torch.Tensor) or value.dtype != current.dtype
            or value.shape != current.shape):
        _mismatch(path, "random state", "is not a generator state of this torch (a {} "
                  "tensor of shape {})".format(current.dtype, tuple(current.shape)))


def check_state_dict(path, part, saved, current):
    """``saved`` has the entries of ``current``, tensors of the same shapes."""
    if not isinstance(saved, dict):
        _mismatch(path, part, "is a {}, not a state dict".format(type(saved).__name__))
    missing = [k for k in current if k not in saved]
    extra = [k for k in saved if k not in current]
    if missing or extra:
        _mismatch(path, part, "entries differ (missing {}, unexpected {})".format(
            missing[:5], extra[:5]))
    for key, value in current.items():
        if not isinstance(value, torch.Tensor):
            continue
        other = saved[key]
        if not isinstance(other, torch.Tensor) or other.shape != value.shape:
            _mismatch(path, part, "entry {!r} is {}, this loop has a tensor of shape {}".format(
                key, _describe(other), tuple(value.shape)))


def _describe(value):
    if isinstance(value, torch.Tensor):
        return "a tensor of shape {}".format(tuple(value.shape))
    return "a {}".format(type(value).__name__)


def check_optimizer(path, saved, current):
    """The saved optimiser state has this optimiser's groups, settings and parameter counts:
    a state of another optimiser class (SGD into Adam) is refused."""
    if (not isinstance(saved, dict) or not isinstance(saved.get("param_groups"), list)
            or not isinstance(saved.get("state"), dict)):
        _mismatch(path, "optimizer state", "is not an optimiser state dict")
    groups, saved_groups = current["param_groups"], saved["param_groups"]
    if len(groups) != len(saved_groups):
        _mismatch(path, "optimizer state", "has {} parameter groups, this optimiser {}".format(
            len(saved_groups), len(groups)))
    for index, (group, other) in enumerate(zip(groups, saved_groups)):
        if not isinstance(other, dict) or set(other) != set(group):
            _mismatch(path, "optimizer state", "group {} has the settings {}, this optimiser {} "
                      "(another optimiser class?)".format(
                          index, sorted(other, key=repr) if isinstance(other, dict) else other,
                          sorted(group)))
        if not isinstance(other["params"], list) or len(other["params"]) != len(group["params"]):
            _mismatch(path, "optimizer state", "group {} has another number of parameters"
                      .format(index))
    for entry in saved["state"].values():
        if not isinstance(entry, dict):
            _mismatch(path, "optimizer state", "holds a {} as a parameter's state".format(
                type(entry).__name__))
    per_parameter = [set(entry) for entry in current["state"].values()]
    if per_parameter and any(set(entry) != per_parameter[0] for entry in saved["state"].values()):
        _mismatch(path, "optimizer state", "keeps other per-parameter entries than this "
                  "optimiser ({})".format(sorted(per_parameter[0])))


def _keys_fit(saved, current, private_extras):
    if private_extras:
        # Bookkeeping that appears as the part runs (a scheduler's _last_lr after
        # its first step) may be in the file and not yet in the loop.
        return set(current) <= set(saved) and all(
            isinstance(k, str) and k.startswith("_") for k in set(saved) - set(current))
    return set(saved) == set(current)


def check_settings(path, part, saved, current, private_extras=False):
    """``saved`` is of the form of ``current``: for a dict, the same keys (with
    ``private_extras``, more keys starting with "_" are allowed), numbers where it has
    numbers and values of the same type elsewhere; otherwise a value of its type."""
    if not isinstance(current, dict):
        if not isinstance(saved, type(current)):
            _mismatch(path, part, "is a {}, this loop's a {}".format(
                type(saved).__name__, type(current).__name__))
        return
    if not isinstance(saved, dict) or not _keys_fit(saved, current, private_extras):
        _mismatch(path, part, "has the entries {}, this loop's {}".format(
            sorted(saved, key=repr) if isinstance(saved, dict) else type(saved).__name__, sorted(current)))
    for key, value in current.items():
        other = saved[key]
        if isinstance(value, numbers.Real) and not isinstance(value, bool):
            fits = isinstance(other, numbers.Real) and not isinstance(other, bool)
        else:
            fits = value is None or other is None or type(other) is type(value)
        if not fits:
            _mismatch(path, part, "entry {!r} is a {}, this loop's a {}".format(
                key, type(other).__name__, type(value).__name__))
