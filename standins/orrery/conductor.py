"""Task kinds the core optimises for."""
import enum


class Task(enum.Enum):
    CLS = "classification"
    OD = "object_detection"
    SEG = "segmentation"
