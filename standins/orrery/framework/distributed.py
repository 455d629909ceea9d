"""Distributed training managers."""


class HorovodManager:
    """Base of the backends' Horovod managers; ``device`` is where training runs."""

    def __init__(self, device=None):
        self.device = device
        self._initialized = False

    def initialize(self):
        """Initialises the distributed back-end once: the first call runs the backend's
        ``_initialize``, later calls do nothing.
        """
        if not self._initialized:
            self._initialize()
            self._initialized = True

    def _initialize(self):
        raise NotImplementedError
