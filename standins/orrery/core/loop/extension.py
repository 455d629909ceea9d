"""Loop extensions: objects that receive the main loop's named events."""

EVENTS = ("before_training", "before_epoch", "before_iteration", "after_iteration",
          "after_epoch", "after_training", "at_reloading")


class EventSubscriber:
    """Subscribes to the events named by keyword flags, e.g. ``before_epoch=True``."""

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
        return self.main_loop.current_iteration_nb

    @property
    def current_epoch_nb(self):
        return self.main_loop.current_epoch_nb

    def unsubscribe(self, publisher):
        """Stops receiving events from ``publisher``; safe from inside ``event_do``."""
        publisher.unsubscribe(self)

    def event_do(self, event):
        raise NotImplementedError("{} subscribes to events but does not define event_do".format(
            type(self).__name__))


class AbstractLRScheduler(EventSubscriber):
    """A learning-rate scheduler; the main loop steps it once per epoch."""

    def __init__(self, native_scheduler=None, muted=False, **flags):
        super().__init__(**flags)
        self.native_scheduler = native_scheduler
        self.muted = muted

    def event_do(self, event):
        # Stepping is the loop's job, so events need no handling here.
        pass

    def _step_lr(self, scheduler_step_arg=None):
        raise NotImplementedError("{} must define _step_lr to be stepped by the loop".format(
            type(self).__name__))

    def dump_native_info(self):
        raise NotImplementedError("{} must define dump_native_info to be checkpointed".format(
            type(self).__name__))

    def load_native_info(self, state):
        raise NotImplementedError("{} must define load_native_info to be restored".format(
            type(self).__name__))


class MaxSteps:
    """How long training runs: ``max_value`` epochs or iterations."""

    def __init__(self, max_value, is_epoch_based=True):
        self.max_value = max_value
        self.is_epoch_based = is_epoch_based
