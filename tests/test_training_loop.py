"""The core stand-in's training loop, driven with small PyTorch fakes of the backend."""
import copy
import os
import stat

import pytest
import torch

from corvex.torch_profiler.loader_bridge import TorchDataLoader
from orrery.core.loop.extension import EVENTS, AbstractLRScheduler, EventSubscriber, MaxSteps
from orrery.core.loop.main_loop import EventPublisher, MainLoop
from timeouts import in_thread


class Model:
    def __init__(self, width=3):
        self.native_model = torch.nn.Linear(4, width)

    def dump_native_info(self):
        return self.native_model.state_dict()

    def load_native_info(self, state):
        self.native_model.load_state_dict(state)

    def checkpoint_hash(self):
        return repr(self.native_model)


class Optimizer:
    def __init__(self, model):
        self.native_optimizer = torch.optim.SGD(model.native_model.parameters(), lr=0.1, momentum=0.9)

    def optimize_step(self, step):
        self.native_optimizer.zero_grad()
        step.compute().backward()
        self.native_optimizer.step()
        step.loss_dict = {k: float(v) for k, v in step.loss_dict.items()}

    def dump_native_info(self):
        return self.native_optimizer.state_dict()

    def load_native_info(self, state):
        self.native_optimizer.load_state_dict(state)


class Loader(TorchDataLoader):
    def __init__(self, batches=3, shuffle=False, bad=False):
        g = torch.Generator().manual_seed(0)
        data = torch.utils.data.TensorDataset(torch.randn(batches * 2, 5 if bad else 4, generator=g),
                                              torch.randint(0, 3, (batches * 2,), generator=g))
        super().__init__(torch.utils.data.DataLoader(data, batch_size=2, shuffle=shuffle))

    def checkpoint_hash(self):
        return str(self.dataset_size)


class Ema:
    calls = ()
    model = torch.nn.Linear(1, 1)

    def update(self, interval, interval_nb, training_model):
        self.calls += ((interval, interval_nb),)

    def dump_native_info(self):
        return self.calls

    def load_native_info(self, state):
        self.calls = state


class Recorder(EventSubscriber):
    def __init__(self, log, name="rec", **flags):
        super().__init__(**(flags or dict.fromkeys(EVENTS, True)))
        self.log, self.name, self.react = log, name, None

    def setup(self):
        self.log.append((self.name, "setup"))

    def event_do(self, event):
        self.log.append((self.name, event, self.current_epoch_nb, self.current_iteration_nb))
        if self.react:
            self.react(event)


class Scheduler(AbstractLRScheduler):
    def _step_lr(self, *args):
        self.calls = getattr(self, "calls", []) + [args]
        self.native_scheduler.step()
        return self.native_scheduler.get_last_lr()[0]

    def dump_native_info(self):
        return self.native_scheduler.state_dict()

    def load_native_info(self, state):
        self.native_scheduler.load_state_dict(state)


def make_loop(model=None, loader=None, sched=None, muted=False, **kw):
    """``sched`` = (step_size, gamma) attaches a StepLR scheduler."""
    model = model or Model()
    loop = MainLoop(model=model, loss_function=torch.nn.CrossEntropyLoss(),
                    optimizer=Optimizer(model), data_splits={"train": loader or Loader()}, **kw)
    if sched is not None:
        native = torch.optim.lr_scheduler.StepLR(loop.optimizer.native_optimizer, *sched)
        loop.add_extension(Scheduler(native_scheduler=native, muted=muted))
    return loop


def test_event_delivery_follows_flags_and_changes_during_delivery():
    log, pub = [], EventPublisher()
    first, second, late = (Recorder(log, n, before_epoch=True, after_epoch=True) for n in "abc")
    first.main_loop = second.main_loop = late.main_loop = make_loop()
    pub.subscribe(first)
    pub.subscribe(second)
    first.react = lambda e: (second.unsubscribe(pub), pub.subscribe(late)) if e == "before_epoch" else None
    pub.publish("before_epoch")
    pub.publish("after_epoch")
    pub.publish("before_iteration")  # nobody asked for it
    assert [(n, e) for n, e, *_ in log] == [("a", "before_epoch"), ("a", "after_epoch"), ("c", "after_epoch")]
    with pytest.raises(ValueError, match="unknown event"):
        pub.publish("before_lunch")
    with pytest.raises(TypeError, match="unknown events"):
        EventSubscriber(before_lunch=True)


def test_counters_cross_epochs_and_max_steps_stop_the_run(tmp_path):
    log = []
    loop = make_loop(max_steps=MaxSteps(2), ema=Ema())
    loop.add_extension(Recorder(log))
    loop.run()
    assert loop.ema.calls == tuple([("iteration", i) for i in range(3)] + [("epoch", 0)] + [
        ("iteration", i) for i in range(3, 6)] + [("epoch", 1)])
    iters = [(ep, it) for _, e, ep, it in log[1:] if e == "before_iteration"]
    assert iters == [(0, 0), (0, 1), (0, 2), (1, 3), (1, 4), (1, 5)]
    assert log[0] == ("rec", "setup") and log[1][1] == "before_training"
    assert log[-1] == ("rec", "after_training", 2, 6)
    assert set(loop.last_losses) == {"loss"} and isinstance(loop.last_losses["loss"], float)

    log.clear()
    loop = make_loop(max_steps=MaxSteps(4, is_epoch_based=False), checkpoint_path=tmp_path / "c.pt")
    loop.add_extension(Recorder(log))
    loop.run()
    events = [e for _, e, *_ in log[1:]]
    assert events.count("before_iteration") == 4 and events.count("after_epoch") == 2
    assert torch.load(tmp_path / "c.pt")["epoch"] == 2 and (loop.current_iteration_nb == 4)
    with pytest.raises(KeyError, match="no data split named 'val'"):
        loop.change_main_split("val")


def test_extensions_attached_during_a_run_are_set_up_by_whoever_attaches_them():
    log = []
    loop = make_loop()
    early = loop.add_extension(Recorder(log, "early"))
    early.react = lambda e: loop.add_extension(Recorder(log, "late")) if e == "before_training" else None
    loop.run()
    assert [x for x in log if x[1] == "setup"] == [("early", "setup")]
    assert ("late", "before_epoch", 0, 0) in log and ("late", "before_training", 0, 0) not in log


@pytest.mark.parametrize("config, muted, expected_calls, epochs", [
    ({}, False, [(), (), ()], 3),
    ({"eval_based": True}, False, [(0.5,), (0.5,), (0.5,)], 3),
    ({"eval_based": True}, True, None, 3),
    ({"vanish_lr": 0.003}, False, [(), ()], 2),  # lr 0.1 -> 0.005 -> 0.00025
])
def test_scheduler_is_stepped_once_per_epoch(config, muted, expected_calls, epochs):
    loop = make_loop(sched=(1, 0.05), muted=muted, max_steps=MaxSteps(3), scheduler_config=config,
                     eval_split="train", eval_function=lambda model, loader: 0.5)
    loop.run()
    assert getattr(loop.get_extension(Scheduler), "calls", None) == expected_calls
    assert loop.current_epoch_nb == epochs
    loop = make_loop(sched=(1, 0.5), scheduler_config={"eval_based": True})
    with pytest.raises(RuntimeError, match="no eval_split"):
        loop.run()
    assert loop.current_iteration_nb == 0


def _resumable_loop(seed, epochs, path=None):
    torch.manual_seed(seed)
    return make_loop(loader=Loader(batches=4, shuffle=True), sched=(2, 0.5), ema=Ema(),
                     max_steps=MaxSteps(epochs), checkpoint_path=path)


def test_resuming_from_a_checkpoint_matches_an_uninterrupted_run(tmp_path):
    path = tmp_path / "ckpt.pt"
    straight = _resumable_loop(0, 2).run()
    _resumable_loop(0, 1, path).run()
    resumed = _resumable_loop(7, 2)
    log = []
    resumed.add_extension(Recorder(log))
    resumed.load_checkpoint(path).run()
    assert [e for _, e, *_ in log[1:]].count("before_epoch") == 1 and ("rec", "at_reloading", 1, 4) in log
    for a, b in zip(straight.model.native_model.parameters(), resumed.model.native_model.parameters()):
        assert torch.equal(a, b)
    assert resumed.optimizer.native_optimizer.param_groups[0]["lr"] == 0.05
    assert resumed.ema.calls == straight.ema.calls

    other = make_loop(model=Model(width=5), loader=Loader(batches=4))
    with pytest.raises(RuntimeError, match="different model or data"):
        other.load_checkpoint(path)


def test_a_failing_batch_propagates_and_keeps_the_last_checkpoint(tmp_path):
    path = tmp_path / "ckpt.pt"
    make_loop(checkpoint_path=path).run()
    saved = path.read_bytes()
    log = []
    loop = make_loop(loader=Loader(bad=True), checkpoint_path=path)
    loop.add_extension(Recorder(log))
    with pytest.raises(RuntimeError, match="shape"):
        loop.run()
    assert path.read_bytes() == saved and os.listdir(tmp_path) == ["ckpt.pt"]
    assert "after_training" not in [e for _, e, *_ in log[1:]]


# -- checkpoint files that are hostile, damaged or made for another loop -------

class _Payload:
    """Unpickles as open(marker, "w"): a harmless stand-in for code run by a load."""

    def __init__(self, marker):
        self.marker = str(marker)

    def __reduce__(self):
        return (open, (self.marker, "w"))


class AdamOptimizer(Optimizer):
    def __init__(self, model):
        self.native_optimizer = torch.optim.Adam(model.native_model.parameters(), lr=0.1)


def _same(a, b):
    if isinstance(a, torch.Tensor):
        return isinstance(b, torch.Tensor) and torch.equal(a, b)
    if isinstance(a, dict):
        return isinstance(b, dict) and a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    return a == b


def _loop_state(loop):
    sched = loop.get_extension(Scheduler)
    return copy.deepcopy({
        "model": loop.model.native_model.state_dict(),
        "optimizer": loop.optimizer.native_optimizer.state_dict(),
        "scheduler": sched.native_scheduler.state_dict() if sched else None,
        "ema": loop.ema.calls if loop.ema else None,
        "counters": (loop.current_epoch_nb, loop.current_iteration_nb),
        "rng": torch.get_rng_state()})


def _trained_loop_and_checkpoint(tmp_path):
    """A checkpoint after one epoch, and another loop one epoch apart from it."""
    path = tmp_path / "ckpt.pt"
    _resumable_loop(0, 1, path).run()
    return _resumable_loop(3, 2).run(), path


def _rewrite(path, **changes):
    state = torch.load(path)
    state.update(changes)
    torch.save(state, path)


def test_loading_a_checkpoint_runs_no_code_from_it(tmp_path):
    loop, path = _trained_loop_and_checkpoint(tmp_path)
    marker = tmp_path / "ran"
    legacy = tmp_path / "legacy.pt"
    torch.save({"model": _Payload(marker)}, legacy, _use_new_zipfile_serialization=False)
    _rewrite(path, model=_Payload(marker))
    before = _loop_state(loop)
    for target in (path, legacy):
        with pytest.raises(ValueError, match="refused: it refers to io.open.*nothing from it ran") as error:
            loop.load_checkpoint(target)
        assert str(target) in str(error.value)
    assert not marker.exists() and _same(_loop_state(loop), before)


@pytest.mark.parametrize("damage, match", [
    (dict(rng=torch.zeros(5, dtype=torch.uint8)), "random state"),
    (dict(rng="seed"), "random state"),
    (dict(epoch="1"), "epoch"),
    (dict(iteration=-1), "iteration"),
    (dict(epoch=True), "epoch"),
    (dict(ema={"calls": ()}), "weight average state"),
    (dict(model={}), "model state.*missing"),
    (dict(scheduler={"step_size": 2}), "scheduler state"),
    (dict(optimizer={"state": {}, "param_groups": []}), "1 parameter groups|0 parameter groups"),
    (b"", "is empty"),
    (b"not a checkpoint at all", "truncated, damaged or not a checkpoint"),
    ("truncate", "truncated, damaged or not a checkpoint"),
])
def test_a_checkpoint_that_does_not_fit_leaves_the_loop_unchanged(tmp_path, damage, match):
    loop, path = _trained_loop_and_checkpoint(tmp_path)
    if damage == "truncate":
        path.write_bytes(path.read_bytes()[:-200])
    elif isinstance(damage, bytes):
        path.write_bytes(damage)
    else:
        _rewrite(path, **damage)
    before = _loop_state(loop)
    with pytest.raises(ValueError, match=match) as error:
        loop.load_checkpoint(path)
    assert str(path) in str(error.value) and _same(_loop_state(loop), before)


def test_a_checkpoint_of_another_optimiser_or_a_failing_part_changes_nothing(tmp_path, monkeypatch):
    path = tmp_path / "sgd.pt"
    make_loop(checkpoint_path=path).run()
    model = Model()
    adam = MainLoop(model=model, loss_function=torch.nn.CrossEntropyLoss(),
                    optimizer=AdamOptimizer(model), data_splits={"train": Loader()}).run()
    before = _loop_state(adam)
    with pytest.raises(ValueError, match="optimizer state.*another optimiser class"):
        adam.load_checkpoint(path)
    assert _same(_loop_state(adam), before)

    # A part that fails while being applied: the parts applied before it are put back.
    loop, path = _trained_loop_and_checkpoint(tmp_path)
    before = _loop_state(loop)
    scheduler = loop.get_extension(Scheduler)
    calls = []

    def fail_once(state):
        calls.append(state)
        if len(calls) == 1:
            raise RuntimeError("scheduler says no")
        scheduler.native_scheduler.load_state_dict(state)

    monkeypatch.setattr(scheduler, "load_native_info", fail_once)
    with pytest.raises(ValueError, match="does not fit.*scheduler says no"):
        loop.load_checkpoint(path)
    monkeypatch.undo()
    assert _same(_loop_state(loop), before)
    assert loop.load_checkpoint(path).current_epoch_nb == 1  # the file itself is sound


def test_checkpoints_go_only_to_regular_files_or_new_names(tmp_path):
    loop = make_loop()
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for target, error in ((fifo, ValueError), (tmp_path, IsADirectoryError),
                          ("", ValueError), ("/dev/null", ValueError)):
        with pytest.raises(error):
            loop.save_checkpoint(target)
        with pytest.raises((ValueError, IsADirectoryError)):
            in_thread(lambda: loop.load_checkpoint(target))
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and stat.S_ISCHR(os.stat("/dev/null").st_mode)

    # A temporary file left by a killed writer blocks nothing; long names work.
    leftover = tmp_path / ".ckpt.pt.k1ll3d00.tmp"
    leftover.write_bytes(b"half")
    long_name = tmp_path / ("c" * 250)
    for target in (tmp_path / "ckpt.pt", long_name):
        loop.save_checkpoint(target)
        assert loop.load_checkpoint(target) is loop
    assert sorted(os.listdir(tmp_path)) == sorted([".ckpt.pt.k1ll3d00.tmp", "ckpt.pt", "fifo",
                                                   "c" * 250])
    with pytest.raises(ValueError, match="longer than the 255 bytes"):
        loop.save_checkpoint(tmp_path / ("c" * 256))
