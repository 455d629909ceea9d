"""Task kinds the core optimises for."""
import enum


class Task(enum.Enum):
    """The kind of task a model is optimised for: classification (``CLS``), object detection
    (``OD``) or segmentation (``SEG``).
    """
    CLS = "classification"
    OD = "object_detection"
    SEG = "segmentation"
