"""Loop extensions: objects that receive the main loop's named events."""

EVENTS = ("before_training", "before_epoch", "before_iteration", "after_iteration",
          "after_epoch", "after_training", "at_reloading")


class EventSubscriber:
    """Subscribes to the events named by keyword flags, e.g. ``before_epoch=True``."""

    def __init__(self, **flags):
        unknown = set(flags) - set(EVENTS)
        if unknown:
            raise TypeError("unknown events: {}".format(sorted(unknown)))
        self.events = {name for name, on in flags.items() if on}
        self.main_loop = None

    def setup(self, main_loop=None):
        self.main_loop = main_loop

    @property
    def current_iteration_nb(self):
        return self.main_loop.current_iteration_nb

    @property
    def current_epoch_nb(self):
        return self.main_loop.current_epoch_nb

    def unsubscribe(self, event):
        self.events.discard(event)

    def event_do(self, event):
        raise NotImplementedError


class AbstractLRScheduler(EventSubscriber):
    """A learning-rate scheduler driven by loop events."""

    def __init__(self, native_scheduler=None, muted=False, **flags):
        super().__init__(**flags)
        self.native_scheduler = native_scheduler
        self.muted = muted


class MaxSteps:
    """How long training runs: ``max_value`` epochs or iterations."""

    def __init__(self, max_value, is_epoch_based=True):
        self.max_value = max_value
        self.is_epoch_based = is_epoch_based
