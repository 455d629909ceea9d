"""Builds a main loop from a backend framework and configuration dictionaries,
runs it, reports every epoch and returns what the run achieved.

Each trained epoch is logged at INFO level by the logger of this module
(``orrery.core.loop.trainer``), for example::

    epoch 3/10: loss 0.2411, accuracy[test] 0.9721, lr 0.05, 1.843 s

The record's ``training_epoch`` attribute holds the same values as an
``EpochRecord``, for handlers that want them as data.
"""
import dataclasses
import numbers
import os
import time
from typing import Any, Dict, Optional, Tuple

from corvex import _atomic
from corvex.profiler.utils import Device
from orrery.core.loop.extension import EventSubscriber
from orrery.core.loop.main_loop import LossFunction, MainLoop, _max_steps_from
from orrery.ologger import getLogger

logger = getLogger(__name__)


@dataclasses.dataclass(frozen=True)
class EpochRecord:
    """What one trained epoch gave.

    ``epoch`` counts the epochs trained so far, the first being 1 (after a
    resume it continues the saved run's count); ``losses`` maps each loss term
    to its mean over the epoch's iterations ("loss" for a plain loss, the
    distillation's own terms otherwise); ``metric`` is ``eval_function``'s
    result on the eval split after the epoch (None without an eval split);
    ``lr`` is the first parameter group's learning rate at the epoch's last
    step (None when the optimiser shows none); ``seconds`` is the epoch's
    wall-clock time, evaluation included; ``iterations`` the steps it took.
    """

    epoch: int
    losses: Dict[str, float]
    metric: Any
    lr: Optional[float]
    seconds: float
    iterations: int


@dataclasses.dataclass(frozen=True)
class TrainingResult:
    """What ``Trainer.run`` returns.

    ``metric`` is the evaluation metric after the last epoch this run trained
    (None without an eval split, or when the run had nothing left to train);
    ``history`` holds one ``EpochRecord`` per epoch this run trained, in order;
    ``checkpoint_path`` is where the checkpoint was written (a str, or None
    when the trainer has none); ``start_epoch`` is the number of epochs already
    trained when the run started (0 unless it resumed from a checkpoint); and
    ``main_loop`` is the ``MainLoop`` that trained, for its counters, losses
    and extensions.
    """

    metric: Any
    history: Tuple[EpochRecord, ...]
    checkpoint_path: Optional[str]
    start_epoch: int
    main_loop: MainLoop


def _number(value):
    """``value`` as a float when it is a number or a one-element tensor, else as it is."""
    try:
        return float(value)
    except (TypeError, ValueError, RuntimeError):
        return value


def _format(value):
    return "{:.4g}".format(value) if isinstance(value, float) else str(value)


class _EpochReport(EventSubscriber):
    """Collects each epoch's losses, learning rate and time, logs the epoch and
    feeds the optional progress bar."""

    def __init__(self, progress, metric_name):
        super().__init__(before_training=True, before_epoch=True, after_iteration=True,
                         after_epoch=True, after_training=True)
        self.progress = progress
        self.metric_name = metric_name
        self.history = []
        self.bar = None
        self._shown = {}  # the bar's postfix
        self._losses = {}
        self._lr = None
        self._iterations = 0
        self._start = None

    def _learning_rate(self):
        groups = getattr(getattr(self.main_loop.optimizer, "native_optimizer", None),
                         "param_groups", None)
        try:
            return float(groups[0]["lr"])
        except (TypeError, KeyError, IndexError, ValueError):
            return None

    def _open_bar(self):
        from tqdm import tqdm

        loop = self.main_loop
        steps = loop.max_steps
        if steps.is_epoch_based:
            per_epoch = len(loop.main_split)
            total, done = per_epoch * steps.max_value, per_epoch * loop.current_epoch_nb
        else:
            total, done = steps.max_value, loop.current_iteration_nb
        label = self.progress if isinstance(self.progress, str) else "training"
        self.bar = tqdm(total=total, initial=min(done, total), desc=label, unit="it",
                        dynamic_ncols=True)

    def close_bar(self):
        """Closes the progress bar, if one is open."""
        if self.bar is not None:
            self.bar.close()
            self.bar = None

    def event_do(self, event):
        """Gathers the numbers of the epoch in progress; logs it when it ends."""
        if event == "after_iteration":
            losses = self.main_loop.last_losses or {}
            for name, value in losses.items():
                self._losses.setdefault(name, []).append(
                    value.detach() if hasattr(value, "detach") else value)
            self._lr = self._learning_rate()
            self._iterations += 1
            if self.bar is not None:
                self.bar.update(1)
                if losses:
                    self._shown["loss"] = _format(_number(sum(losses.values())))
                    self.bar.set_postfix(self._shown, refresh=False)
        elif event == "before_epoch":
            self._losses, self._iterations, self._lr = {}, 0, self._learning_rate()
            self._start = time.perf_counter()
        elif event == "after_epoch":
            self._end_epoch()
        elif event == "before_training":
            if self.progress is not False:
                self._open_bar()
        else:
            self.close_bar()

    def _end_epoch(self):
        loop = self.main_loop
        seconds = time.perf_counter() - self._start
        losses = {name: sum(float(v) for v in values) / len(values)
                  for name, values in self._losses.items()}
        metric = _number(loop.last_metric) if loop.eval_split is not None else None
        record = EpochRecord(epoch=loop.current_epoch_nb + 1, losses=losses, metric=metric,
                             lr=self._lr, seconds=seconds, iterations=self._iterations)
        self.history.append(record)
        steps = loop.max_steps
        if steps.is_epoch_based:
            where = "epoch {}/{}".format(record.epoch, steps.max_value)
        else:
            where = "epoch {} (iteration {}/{})".format(
                record.epoch, loop.current_iteration_nb, steps.max_value)
        fields = ["{} {}".format(name, _format(value)) for name, value in losses.items()]
        if loop.eval_split is not None:
            fields.append("{}[{}] {}".format(self.metric_name, loop.eval_split, _format(metric)))
        if record.lr is not None:
            fields.append("lr {:.4g}".format(record.lr))
        fields.append("{:.3f} s".format(seconds))
        logger.info("%s: %s", where, ", ".join(fields), extra={"training_epoch": record})
        if self.bar is not None:
            self._shown["epoch"] = record.epoch
            if loop.eval_split is not None:
                self._shown[self.metric_name] = _format(metric)
            self.bar.set_postfix(self._shown)


class Trainer:
    """Makes the backend's optimiser, scheduler and loaders, then a MainLoop
    over them, and runs it.

    ``framework`` is the backend (a ``TorchFramework``), ``model`` its model
    wrapper, ``loss`` a callable ``loss(outputs, targets)``, ``data_splits`` a
    dict of split name -> native data loader (the loop trains on
    ``main_split_name``). ``optimizer_config`` and ``scheduler_config`` are the
    backend's configuration dicts (the scheduler's default when None).
    ``max_steps`` is the training length: a number of epochs (a positive int),
    a ``MaxSteps`` (epochs or iterations), or None for one epoch. With
    ``eval_split`` and ``eval_function`` (``fn(native_model, loader) -> float``)
    every epoch ends with an evaluation. Every trained epoch is logged at INFO
    level (see the module's documentation); ``progress`` True shows a tqdm
    progress bar too, and a str shows one labelled with it.

    ``checkpoint_path``: the loop writes a checkpoint there after every epoch.
    An existing file there is never silently replaced: without ``resume`` the
    trainer refuses to start (FileExistsError) before anything is built or
    trained; with ``resume=True`` it loads the checkpoint and continues from
    the epoch and iteration it records (the model, optimiser, scheduler, weight
    average and random state come back), or starts fresh when no file exists
    yet. ``max_steps`` counts from the very start of training, so a resumed
    run stops where an uninterrupted one would.

    Arguments are checked in the constructor; bad ones raise TypeError or
    ValueError naming the argument.
    """

    def __init__(self, framework, model, loss, data_splits, optimizer_config,
                 scheduler_config=None, max_steps=None, device=Device.CPU,
                 knowledge_distillation=None, ema=None, eval_split=None, eval_function=None,
                 checkpoint_path=None, extensions=(), config=None, main_split_name="train",
                 progress=False, resume=False):
        self.max_steps = _max_steps_from(max_steps)
        if not isinstance(progress, (bool, str)):
            raise TypeError("progress must be a bool (show a progress bar or not) or a str (the "
                            "bar's label), got {!r}".format(progress))
        if not isinstance(resume, bool):
            raise TypeError("resume must be a bool, got {!r}".format(resume))
        if checkpoint_path is not None and not isinstance(checkpoint_path, (str, os.PathLike)):
            raise TypeError("checkpoint_path must be a str or a path, got {!r}".format(
                checkpoint_path))
        if resume and checkpoint_path is None:
            raise ValueError("resume=True needs a checkpoint_path to resume from")
        if eval_function is not None and not callable(eval_function):
            raise TypeError("eval_function must be callable as fn(native_model, loader), got "
                            "{!r}".format(eval_function))
        self.framework = framework
        self.model = model
        self.loss = loss
        self.data_splits = data_splits
        self.optimizer_config = optimizer_config
        self.scheduler_config = scheduler_config
        self.device = device
        self.knowledge_distillation = knowledge_distillation
        self.ema = ema
        self.eval_split = eval_split
        self.eval_function = eval_function
        self.checkpoint_path = None if checkpoint_path is None else os.fspath(checkpoint_path)
        self.extensions = tuple(extensions)
        self.config = {} if config is None else config
        self.main_split_name = main_split_name
        self.progress = progress
        self.resume = resume
        self.main_loop = None
        self._report = None
        self._claimed = False  # this trainer has loaded or may overwrite the checkpoint

    def _check_checkpoint_path(self):
        """Refuses a checkpoint path that the run could not write, or one holding a
        file it must not replace; both before anything is built or trained."""
        path = self.checkpoint_path
        if path is None or self._claimed:
            return
        # The check every checkpoint write makes: a new name or a regular file, in a
        # folder that exists, never a directory, device or FIFO.
        _atomic.check_destination(path)
        if os.path.exists(path) and not self.resume:
            raise FileExistsError("checkpoint {} already exists and would be overwritten; pass "
                                  "resume=True to continue from it, or remove the file to "
                                  "start over".format(path))

    def make(self):
        """Builds the main loop once and returns it; later calls return the same loop.

        Checks the configuration and the checkpoint path first, then resolves
        the optimiser and scheduler factories, runs the backend's pre-make
        callbacks (which move the model to ``device``), makes the optimiser,
        scheduler, loaders and loop, attaches the extensions (the scheduler,
        the epoch report, then ``extensions``) and runs the post-make callbacks.
        It loads no checkpoint: ``run`` does that.
        """
        if self.main_loop is not None:
            return self.main_loop
        framework, model = self.framework, self.model
        scheduler_config = self.scheduler_config
        if scheduler_config is not None and not isinstance(scheduler_config, dict):
            raise TypeError("scheduler_config must be a dict with 'factory', 'eval_based' and "
                            "'vanish_lr', got {}".format(type(scheduler_config).__name__))
        if not isinstance(self.data_splits, dict) or not self.data_splits:
            raise TypeError("data_splits must be a non-empty dict of split name -> DataLoader")
        self._check_checkpoint_path()
        # Resolve both factories first: a bad name fails before the model moves.
        nn = framework.create_nn(self.config)
        if scheduler_config is None:
            scheduler_config = nn.loop_scheduler_cls.get_default_scheduler_dict()
        opt_factory = nn.native_optimizer_factory_from_dict(self.optimizer_config)
        sched_factory = nn.native_scheduler_factory_from_dict(scheduler_config.get("factory"))

        params = {"device": self.device}
        for callback in framework.get_default_trainer_pre_make_callbacks():
            callback(params, model)

        native_optimizer = opt_factory.make(model.native_model)
        optimizer = nn.loop_optimizer_cls(native_optimizer)
        scheduler = nn.loop_scheduler_cls(native_scheduler=sched_factory.make(native_optimizer))

        loss = self.loss if isinstance(self.loss, LossFunction) else LossFunction(self.loss)
        loaders = {name: framework.dl_cls(loader, None) for name, loader in self.data_splits.items()}
        loop = MainLoop(model=model, loss_function=loss, optimizer=optimizer, data_splits=loaders,
                        main_split_name=self.main_split_name, device=self.device,
                        max_steps=self.max_steps,
                        knowledge_distillation=self.knowledge_distillation, ema=self.ema,
                        eval_split=self.eval_split, eval_function=self.eval_function,
                        scheduler_config=scheduler_config, checkpoint_path=self.checkpoint_path)
        loop.add_extension(scheduler)
        name = getattr(self.eval_function, "__name__", "")
        report = _EpochReport(self.progress, name if name.isidentifier() else "metric")
        loop.add_extension(report)
        for extension in self.extensions:
            loop.add_extension(extension)

        params["main_loop"] = loop
        for callback in framework.get_default_trainer_post_make_callbacks():
            callback(params, model)
        if self.knowledge_distillation is not None:
            self.knowledge_distillation.to_device(self.device)
        self.main_loop, self._report = loop, report
        return loop

    def run(self):
        """Trains and returns a ``TrainingResult``.

        Makes the loop if ``make`` has not, then, the first time, checks the
        checkpoint path again and with ``resume=True`` loads the checkpoint
        found there (none: a fresh start). Training runs until ``max_steps``;
        calling ``run`` again continues the same loop (which stops at once when
        ``max_steps`` is reached). The result's history holds the epochs this
        call trained.
        """
        loop = self.make()
        if not self._claimed:
            self._check_checkpoint_path()
            path = self.checkpoint_path
            if self.resume and os.path.exists(path):
                loop.load_checkpoint(path)
                logger.info("resuming from checkpoint %s after epoch %d", path,
                            loop.current_epoch_nb)
            elif self.resume:
                logger.info("no checkpoint at %s yet; training from the start", path)
            self._claimed = True
        report = self._report
        report.history = []
        start_epoch = loop.current_epoch_nb
        if loop._finished():
            logger.info("nothing to train: max_steps (%r) is already reached", loop.max_steps)
        try:
            if report.progress is not False:
                from tqdm.contrib.logging import logging_redirect_tqdm

                with logging_redirect_tqdm():
                    loop.run()
            else:
                loop.run()
        finally:
            report.close_bar()  # after a failure too
        history = tuple(report.history)
        return TrainingResult(metric=history[-1].metric if history else None, history=history,
                              checkpoint_path=self.checkpoint_path, start_epoch=start_epoch,
                              main_loop=loop)
