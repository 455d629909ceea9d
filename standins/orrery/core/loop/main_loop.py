"""The training loop: epochs of optimiser steps, with events for its extensions."""
import copy
import numbers

import torch

from corvex import _atomic
from corvex.profiler.utils import Device
from corvex.torch_profiler.torch_inference import cpufy, cudafy
from orrery.core.loop import checkpoint_file
from orrery.core.loop.extension import EVENTS, AbstractLRScheduler, MaxSteps

_EVENT_NAMES = frozenset(EVENTS)
_CHECKPOINT_KEYS = ("model", "optimizer", "scheduler", "ema", "ema_model", "fingerprint",
                    "epoch", "iteration", "rng")


def _mover(device):
    return cudafy if device is Device.GPU else cpufy


def _max_steps_from(max_steps):
    """The training length as a ``MaxSteps``: None is one epoch, a positive int
    that many epochs; anything else but a ``MaxSteps`` is refused."""
    if max_steps is None:
        return MaxSteps(1)
    if isinstance(max_steps, MaxSteps):
        return max_steps
    if isinstance(max_steps, bool) or not isinstance(max_steps, numbers.Integral):
        raise TypeError("max_steps must be a number of epochs (a positive int) or a MaxSteps, "
                        "got {!r}".format(max_steps))
    if max_steps < 1:
        raise ValueError("max_steps must be at least 1 epoch, got {}".format(max_steps))
    return MaxSteps(int(max_steps))


class EventPublisher:
    """Delivers named events to the subscribers whose ``events`` contain the name."""

    def __init__(self):
        self._subscribers = []

    def subscribe(self, subscriber):
        """Adds ``subscriber`` after the present ones; subscribing twice is a no-op."""
        if subscriber not in self._subscribers:
            # Copy on write: a delivery in progress keeps iterating its own list.
            self._subscribers = self._subscribers + [subscriber]

    def unsubscribe(self, subscriber):
        """Removes ``subscriber``; it gets no further event, even of a delivery in progress."""
        if subscriber in self._subscribers:
            self._subscribers = [s for s in self._subscribers if s is not subscriber]

    @property
    def subscribers(self):
        """The subscribers, in delivery order, as a tuple."""
        return tuple(self._subscribers)

    def publish(self, event):
        """Calls ``event_do(event)`` of every subscriber to ``event``, in order; an
        unknown event name raises ValueError."""
        if event not in _EVENT_NAMES:
            raise ValueError("unknown event {!r}; the events are {}".format(event, EVENTS))
        delivering = self._subscribers
        for subscriber in delivering:
            if event not in subscriber.events:
                continue
            # Skip a subscriber removed earlier in this same delivery; the list
            # only differs from the snapshot once someone (un)subscribed.
            if self._subscribers is not delivering and subscriber not in self._subscribers:
                continue
            subscriber.event_do(event)


class LossFunction:
    """A loss callable, ``fn(outputs, targets)``, that follows the loop's device."""

    def __init__(self, fn):
        if not callable(fn):
            raise TypeError("a loss function must be callable as fn(outputs, targets), got {}"
                            .format(type(fn).__name__))
        self.fn = fn
        self.device = None

    def to_device(self, device):
        """Moves a module loss to ``device`` (a corvex ``Device``) and returns self."""
        if isinstance(self.fn, torch.nn.Module):
            _mover(device)(self.fn, be_nice=True)
        self.device = device
        return self

    def __call__(self, outputs, targets):
        """Returns ``fn(outputs, targets)``."""
        return self.fn(outputs, targets)


class TrainingStep:
    """One batch's loss computation, handed to the loop optimiser."""

    __slots__ = ("main_loop", "batch", "loss_dict")

    def __init__(self, main_loop, batch):
        self.main_loop = main_loop
        self.batch = batch
        self.loss_dict = None

    def compute(self):
        """Runs the forward pass and returns the total loss; the named terms are
        left in ``loss_dict`` (the distillation's terms, or ``{"loss": ...}``)."""
        loop = self.main_loop
        native_model = loop.model.native_model
        kd = loop.knowledge_distillation
        if kd is not None:
            self.loss_dict = dict(kd(native_model, self.batch))
            if not self.loss_dict:
                raise ValueError("the knowledge distillation returned no loss terms; it must "
                                 "return a dict of named loss tensors")
            return sum(self.loss_dict.values())
        if len(self.batch) != 2:
            raise ValueError("a training batch must be (inputs, targets), got {} items; make the "
                             "data loader yield pairs".format(len(self.batch)))
        x, y = _mover(loop.device)(tuple(self.batch), be_nice=True)
        loss = loop.loss_function(native_model(x), y)
        self.loss_dict = {"loss": loss}
        return loss


class MainLoop:
    """Trains ``model`` on the main data split until ``max_steps`` is reached.

    ``max_steps`` is a ``MaxSteps``, a positive int (that many epochs) or None
    (one epoch). The counters (``current_epoch_nb``, ``current_iteration_nb``)
    count from 0 and survive checkpoints, so ``run`` after ``load_checkpoint``
    resumes. With a ``checkpoint_path`` the loop writes a checkpoint there after
    every epoch, replacing the file.
    """

    def __init__(self, model, loss_function, optimizer, data_splits, main_split_name="train",
                 device=Device.CPU, max_steps=None, knowledge_distillation=None, ema=None,
                 eval_split=None, eval_function=None, scheduler_config=None,
                 checkpoint_path=None):
        if not isinstance(data_splits, dict) or not data_splits:
            raise TypeError("data_splits must be a non-empty dict of split name -> data loader")
        if eval_split is not None:
            self._check_split(eval_split, data_splits)
            if eval_function is None:
                raise ValueError("eval_split {!r} is given without an eval_function; pass a "
                                 "callable (native_model, loader) -> float".format(eval_split))
        if scheduler_config is not None and not isinstance(scheduler_config, dict):
            raise TypeError("scheduler_config must be a dict, got {}".format(
                type(scheduler_config).__name__))
        self.model = model
        self.loss_function = (loss_function if isinstance(loss_function, LossFunction)
                              else LossFunction(loss_function))
        self.optimizer = optimizer
        self.data_splits = data_splits
        self.device = device
        self.max_steps = _max_steps_from(max_steps)
        self.knowledge_distillation = knowledge_distillation
        self.ema = ema
        self.eval_split = eval_split
        self.eval_function = eval_function
        self.scheduler_config = dict(scheduler_config or {})
        self.checkpoint_path = checkpoint_path
        self.event_publisher = EventPublisher()
        self.current_epoch_nb = 0
        self.current_iteration_nb = 0
        self.last_losses = None
        self.last_metric = None
        self.last_lr = None
        self._extensions = []
        self._pending_setup = []
        self._running = False
        self._main_split_name = None
        self.change_main_split(main_split_name)

    # -- splits and extensions -------------------------------------------------

    @staticmethod
    def _check_split(name, data_splits):
        if name not in data_splits:
            raise KeyError("no data split named {!r}; the splits are {}".format(
                name, sorted(data_splits)))

    def change_main_split(self, split, name=None):
        """Trains on another split: ``change_main_split(name)`` picks a split the
        loop has; ``change_main_split(loader, name)`` installs ``loader`` under
        ``name`` first (the Horovod shard arrives this way)."""
        if name is None:
            name = split
        else:
            self.data_splits[name] = split
        self._check_split(name, self.data_splits)
        self._main_split_name = name

    @property
    def main_split_name(self):
        """The name of the split the loop trains on."""
        return self._main_split_name

    @property
    def main_split(self):
        """The data loader the loop trains on."""
        return self.data_splits[self._main_split_name]

    @property
    def extensions(self):
        """The attached extensions, in the order they were added."""
        return tuple(self._extensions)

    def add_extension(self, extension):
        """Attaches ``extension`` (an ``EventSubscriber``) and returns it; its ``setup``
        runs when ``run`` starts, or at once by whoever adds it during a run."""
        extension.main_loop = self
        self.event_publisher.subscribe(extension)
        self._extensions.append(extension)
        # Whoever attaches an extension during a run sets it up; run() sets up the rest.
        if not self._running:
            self._pending_setup.append(extension)
        return extension

    def get_extension(self, instance_type=None):
        """The first extension that is an ``instance_type`` (the first of all when
        None), counting the loop's ``MaxSteps``; None when there is none."""
        for extension in self._extensions:
            if instance_type is None or isinstance(extension, instance_type):
                return extension
        # The training length counts as one of the loop's extensions.
        if instance_type is not None and isinstance(self.max_steps, instance_type):
            return self.max_steps
        return None

    # -- training ----------------------------------------------------------------

    def _active_scheduler(self):
        scheduler = self.get_extension(instance_type=AbstractLRScheduler)
        return None if scheduler is None or scheduler.muted else scheduler

    def _check_metric_available(self):
        if self.scheduler_config.get("eval_based") and self.eval_split is None:
            raise RuntimeError("the scheduler is eval-based but the loop has no eval_split; give "
                               "an eval_split and eval_function, or set eval_based to False")

    def _finished(self):
        max_steps = self.max_steps
        done = self.current_epoch_nb if max_steps.is_epoch_based else self.current_iteration_nb
        return done >= max_steps.max_value

    def run(self):
        """Trains until ``max_steps`` is reached, from the counters' present values,
        publishing the loop events; returns the loop."""
        if len(self.main_split) == 0:
            raise ValueError("the main split {!r} has no batches; give it a non-empty data "
                             "loader".format(self._main_split_name))
        if self._active_scheduler() is not None:
            self._check_metric_available()  # fail now rather than after a whole epoch
        pending, self._pending_setup = self._pending_setup, []
        self._running = True
        try:
            for extension in pending:
                extension.setup()
            self._train()
        finally:
            self._running = False
        self.event_publisher.publish("after_training")
        return self

    def _train(self):
        publish = self.event_publisher.publish
        by_iterations = not self.max_steps.is_epoch_based
        max_value = self.max_steps.max_value
        publish("before_training")
        while not self._finished():
            publish("before_epoch")
            stop = False
            for batch in self.main_split:
                publish("before_iteration")
                step = TrainingStep(self, batch)
                self.optimizer.optimize_step(step)
                self.last_losses = step.loss_dict
                if self.ema is not None:
                    self.ema.update("iteration", self.current_iteration_nb, self.model.native_model)
                publish("after_iteration")
                self.current_iteration_nb += 1
                if by_iterations and self.current_iteration_nb >= max_value:
                    stop = True
                    break
            stop = self._end_epoch() or stop
            publish("after_epoch")
            self.current_epoch_nb += 1
            if self.checkpoint_path is not None:
                self.save_checkpoint(self.checkpoint_path)
            if stop:
                break

    def _end_epoch(self):
        """Epoch bookkeeping; returns True when the learning rate has vanished."""
        if self.ema is not None:
            self.ema.update("epoch", self.current_epoch_nb, self.model.native_model)
        if self.eval_split is not None:
            # Iterating a loader draws a seed from the global generator: keep
            # the training's randomness what it would be without evaluation.
            with torch.random.fork_rng(devices=[]):
                self.last_metric = self.eval_function(self.model.native_model,
                                                      self.data_splits[self.eval_split])
        scheduler = self._active_scheduler()
        if scheduler is None:
            return False
        if self.scheduler_config.get("eval_based"):
            self._check_metric_available()
            self.last_lr = scheduler._step_lr(self.last_metric)
        else:
            self.last_lr = scheduler._step_lr()
        vanish_lr = self.scheduler_config.get("vanish_lr")
        return vanish_lr is not None and self.last_lr is not None and self.last_lr < vanish_lr

    # -- checkpoints -------------------------------------------------------------

    def _fingerprint(self):
        return self.model.checkpoint_hash() + "|" + self.main_split.checkpoint_hash()

    def save_checkpoint(self, path):
        """Writes the model, optimiser, scheduler, weight average, counters and
        random state to ``path`` (atomically: a crash leaves the old file);
        returns the path as a str. A ``path`` that is empty, a directory, a
        device or a FIFO is refused before anything is written."""
        path = _atomic.check_destination(path)
        scheduler = self.get_extension(instance_type=AbstractLRScheduler)
        state = {
            "model": self.model.dump_native_info(),
            "optimizer": self.optimizer.dump_native_info(),
            "scheduler": scheduler.dump_native_info() if scheduler is not None else None,
            "ema": self.ema.dump_native_info() if self.ema is not None else None,
            # The average's bookkeeping leaves its network out; keep its weights too.
            "ema_model": self.ema.model.state_dict() if self.ema is not None else None,
            "fingerprint": self._fingerprint(),
            "epoch": self.current_epoch_nb,
            "iteration": self.current_iteration_nb,
            "rng": torch.get_rng_state(),
        }
        with _atomic.atomic_output(path) as f:
            torch.save(state, f)
        return path

    def _check_checkpoint(self, path, state, scheduler):
        """Raises, naming ``path``, unless every part of ``state`` fits this loop."""
        if not isinstance(state, dict) or any(key not in state for key in _CHECKPOINT_KEYS):
            raise ValueError("{!r} is not a training checkpoint written by "
                             "MainLoop.save_checkpoint".format(path))
        if state["fingerprint"] != self._fingerprint():
            raise RuntimeError("checkpoint {!r} was made for a different model or data; load it "
                               "into a loop built with the same model and main split, or start "
                               "without it".format(path))
        for name, present in (("scheduler", scheduler is not None), ("ema", self.ema is not None)):
            saved = state[name] is not None
            if saved != present:
                raise RuntimeError("checkpoint {!r} {} {} state but this loop {} {}; build the "
                                   "loop as it was when the checkpoint was made".format(
                                       path, "has a" if saved else "has no", name,
                                       "has a" if present else "has no", name))
        checkpoint_file.check_state_dict(path, "model state", state["model"],
                                         self.model.dump_native_info())
        checkpoint_file.check_optimizer(path, state["optimizer"],
                                        self.optimizer.dump_native_info())
        if scheduler is not None:
            checkpoint_file.check_settings(path, "scheduler state", state["scheduler"],
                                           scheduler.dump_native_info(), private_extras=True)
        if self.ema is not None:
            checkpoint_file.check_settings(path, "weight average state", state["ema"],
                                           self.ema.dump_native_info())
            checkpoint_file.check_state_dict(path, "weight average model", state["ema_model"],
                                             self.ema.model.state_dict())
        checkpoint_file.check_counter(path, "epoch", state["epoch"])
        checkpoint_file.check_counter(path, "iteration", state["iteration"])
        checkpoint_file.check_rng(path, state["rng"])

    def _snapshot(self, scheduler):
        """A copy of everything ``load_checkpoint`` changes, for ``_restore``."""
        return copy.deepcopy({
            "model": self.model.dump_native_info(),
            "optimizer": self.optimizer.dump_native_info(),
            "scheduler": scheduler.dump_native_info() if scheduler is not None else None,
            "ema": self.ema.dump_native_info() if self.ema is not None else None,
            "ema_model": self.ema.model.state_dict() if self.ema is not None else None,
            "epoch": self.current_epoch_nb,
            "iteration": self.current_iteration_nb,
            "rng": torch.get_rng_state(),
        })

    def _apply(self, state, scheduler):
        self.model.load_native_info(state["model"])
        self.optimizer.load_native_info(state["optimizer"])
        if scheduler is not None:
            scheduler.load_native_info(state["scheduler"])
        if self.ema is not None:
            self.ema.load_native_info(state["ema"])
            self.ema.model.load_state_dict(state["ema_model"])
        self.current_epoch_nb = state["epoch"]
        self.current_iteration_nb = state["iteration"]
        torch.set_rng_state(state["rng"])

    def load_checkpoint(self, path):
        """Restores a checkpoint of ``save_checkpoint`` into this loop and returns
        the loop. The file is read without running anything from it. A file that
        is empty, damaged or foreign, or made for another model, data, optimiser,
        scheduler or weight average, is refused with an error naming it, and the
        loop is left as it was."""
        path = checkpoint_file.checkpoint_path(path)
        state = checkpoint_file.read_checkpoint(path)
        scheduler = self.get_extension(instance_type=AbstractLRScheduler)
        self._check_checkpoint(path, state, scheduler)
        snapshot = self._snapshot(scheduler)
        try:
            self._apply(state, scheduler)
        except BaseException as error:
            self._apply(snapshot, scheduler)
            if not isinstance(error, Exception):
                raise
            raise ValueError("checkpoint {!r} does not fit this loop ({}: {}); the loop was left "
                             "as it was".format(path, type(error).__name__, error)) from error
        self.event_publisher.publish("at_reloading")
        return self
