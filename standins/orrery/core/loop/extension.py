"""Loop extensions: objects that receive the main loop's named events."""
import numbers

EVENTS = ("before_training", "before_epoch", "before_iteration", "after_iteration",
          "after_epoch", "after_training", "at_reloading")


class EventSubscriber:
    """Subscribes to the events named by keyword flags, e.g. ``before_epoch=True``.

    Only the names in ``EVENTS`` are accepted; a flag that is false leaves the
    event out. The loop sets ``main_loop`` when the extension is attached and
    then calls ``event_do(event)`` for every subscribed event it publishes.
    """

    def __init__(self, **flags):
        unknown = set(flags) - set(EVENTS)
        if unknown:
            raise TypeError("unknown events: {}; the events are {}".format(sorted(unknown), EVENTS))
        self.events = {name for name, on in flags.items() if on}
        self.main_loop = None

    def setup(self):
        """Called once after the extension is attached to its loop, before it runs."""

    @property
    def current_iteration_nb(self):
        """The loop's iteration counter: optimiser steps taken so far, counted from 0."""
        return self.main_loop.current_iteration_nb

    @property
    def current_epoch_nb(self):
        """The loop's epoch counter: the epoch in progress (or next), counted from 0."""
        return self.main_loop.current_epoch_nb

    def unsubscribe(self, publisher):
        """Stops receiving events from ``publisher``; safe from inside ``event_do``."""
        publisher.unsubscribe(self)

    def event_do(self, event):
        """Handles one published event, named by the string ``event``.

        Subclasses that subscribe to events must define it; the base class
        raises NotImplementedError naming the subclass.
        """
        raise NotImplementedError("{} subscribes to events but does not define event_do".format(
            type(self).__name__))


class AbstractLRScheduler(EventSubscriber):
    """A learning-rate scheduler; the main loop steps it once per epoch.

    ``native_scheduler`` is the framework's own scheduler object; a ``muted``
    scheduler is skipped by the loop (a warm-up mutes it while it runs).
    """

    def __init__(self, native_scheduler=None, muted=False, **flags):
        super().__init__(**flags)
        self.native_scheduler = native_scheduler
        self.muted = muted

    def event_do(self, event):
        """Ignores the event: the loop steps the scheduler itself at the end of each epoch."""

    def _step_lr(self, scheduler_step_arg=None):
        raise NotImplementedError("{} must define _step_lr to be stepped by the loop".format(
            type(self).__name__))

    def dump_native_info(self):
        """Returns the scheduler's state for a checkpoint; subclasses define it."""
        raise NotImplementedError("{} must define dump_native_info to be checkpointed".format(
            type(self).__name__))

    def load_native_info(self, state):
        """Restores a state returned by ``dump_native_info``; subclasses define it."""
        raise NotImplementedError("{} must define load_native_info to be restored".format(
            type(self).__name__))


class MaxSteps:
    """How long training runs: ``max_value`` epochs, or iterations (optimiser
    steps) when ``is_epoch_based`` is False.

    ``max_value`` is a positive integer (Python or NumPy; stored as a Python
    int) and counts from the start of training, so a resumed run stops at the
    same point as an uninterrupted one. A bool, a non-integer or a value below
    1 raises TypeError or ValueError.
    """

    def __init__(self, max_value, is_epoch_based=True):
        if isinstance(max_value, bool) or not isinstance(max_value, numbers.Integral):
            raise TypeError("max_value must be a positive int (a number of {}), got {!r}".format(
                "epochs" if is_epoch_based else "iterations", max_value))
        if max_value < 1:
            raise ValueError("max_value must be at least 1, got {}".format(max_value))
        if not isinstance(is_epoch_based, bool):
            raise TypeError("is_epoch_based must be a bool, got {!r}".format(is_epoch_based))
        self.max_value = int(max_value)
        self.is_epoch_based = is_epoch_based

    def __repr__(self):
        return "MaxSteps({}, is_epoch_based={})".format(self.max_value, self.is_epoch_based)
