"""Checks the PyTorch version before any compiled module of orrery-torch loads.

Those modules link libtorch: loaded into a process with another PyTorch they
fail inside the dynamic loader, with an undefined symbol for a message, before
any code of theirs could explain. orrery_torch.pth imports this file when the
interpreter starts; it puts a finder in front of the others that, when one of
those modules is about to be imported, compares the PyTorch they were built
against with the one this process imports (_orrery_torch_build.check_torch) and
raises an ImportError naming both if they differ. Every other import passes
straight through, and nothing is imported at start-up.
"""
import sys

_PACKAGES = ("orrery.framework.", "torch_surgery.")


class _TorchVersionGuard:
    checked = False

    @classmethod
    def find_spec(cls, fullname, path=None, target=None):
        if cls.checked or not fullname.startswith(_PACKAGES):
            return None
        import _orrery_torch_build

        if fullname in _orrery_torch_build.torch_modules:
            _orrery_torch_build.check_torch()
            cls.checked = True
        return None  # the usual finders load the module


if _TorchVersionGuard not in sys.meta_path:
    sys.meta_path.insert(0, _TorchVersionGuard)
