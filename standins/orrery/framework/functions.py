"""Training functions of the core."""


class KnowledgeDistillation:
    """Distillation from ``teacher`` with temperature ``tau`` and weight ``alpha``."""

    def __init__(self, teacher, tau=1.0, alpha=0.5):
        self.teacher = teacher
        self.tau = tau
        self.alpha = alpha
        self.device = None

    def to_device(self, device):
        """Records ``device`` (a ``Device``) as where distillation runs and returns self."""
        self.device = device
        return self
