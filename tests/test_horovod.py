"""Data-parallel training with Horovod through the stand-in loop.

Horovod itself is replaced by tests/horovod_shim (horovod.torch on
torch.distributed's gloo backend). Multi-process cases start this file as a
script once per rank; each rank torch.saves its findings for the test to check.
Run as ``python test_horovod.py SCENARIO OUT_DIR`` with HOROVOD_RANK,
HOROVOD_SIZE, MASTER_ADDR and MASTER_PORT set.
"""
import copy
import math
import os
import pathlib
import socket
import subprocess
import sys
import time

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from corvex.profiler.utils import Device
from orrery.core.loop.extension import EventSubscriber, MaxSteps
from orrery.core.loop.trainer import Trainer
from orrery.framework.dist_bridge import HorovodExtension, torch_horovod_manager
from orrery.framework.ext_bridge import TorchLRScheduler
from orrery.framework.framework_bridge import TorchFramework
from orrery.oexceptions import HorovodImportError

_HERE = pathlib.Path(__file__).resolve().parent
SHIM = _HERE / "horovod_shim"
from orrery_examples.digits import digits_tensors  # noqa: E402

BATCH = 64
SGD = {"name": "SGD", "lr": 0.05, "momentum": 0.9}
HALVING = {"factory": {"name": "StepLR", "step_size": 1, "gamma": 0.5}, "eval_based": False}


class PlainCNN(nn.Module):
    """A digits CNN without batch norm: batch statistics per process would make
    the processes' averaged gradient differ from the union batch's."""

    def __init__(self, width=4):
        super().__init__()
        self.features = nn.Sequential(nn.Conv2d(1, width, 3, padding=1), nn.ReLU(),
                                      nn.MaxPool2d(2), nn.Conv2d(width, width, 3, padding=1),
                                      nn.ReLU())
        self.classifier = nn.Linear(width * 16, 10)

    def forward(self, x):
        return self.classifier(torch.flatten(self.features(x), 1))


class RecordingDataset(torch.utils.data.TensorDataset):
    """Notes the indices read, in order: the samples this process trained on."""

    def __init__(self, *tensors):
        super().__init__(*tensors)
        self.seen = []

    def __getitem__(self, index):
        self.seen.append(int(index))
        return super().__getitem__(index)


class Recorder(EventSubscriber):
    """Per iteration: (epoch, sample indices, learning rate the step used)."""

    def __init__(self, dataset):
        super().__init__(before_training=True, after_iteration=True)
        self.dataset = dataset
        self.iterations = []

    def event_do(self, event):
        if event == "after_iteration":
            lr = self.main_loop.optimizer.native_optimizer.param_groups[0]["lr"]
            self.iterations.append((self.current_epoch_nb, list(self.dataset.seen), lr))
        self.dataset.seen.clear()  # before training: reads made while building the loop


def _framework():
    framework = TorchFramework()
    framework.initialize({})
    return framework


def _trainer(framework, native, loader, **kwargs):
    return Trainer(framework, framework.mdl_cls(native), nn.CrossEntropyLoss(),
                   {"train": loader}, SGD, scheduler_config=HALVING, **kwargs)


def _state(module):
    return {k: v.clone() for k, v in module.state_dict().items()}


def _momenta(optimizer):
    return [optimizer.state[p]["momentum_buffer"].clone()
            for g in optimizer.param_groups for p in g["params"]]


# -- worker side: one process of a multi-process run ---------------------------------------

def _initialized_rank():
    torch_horovod_manager.device = Device.CPU
    torch_horovod_manager.initialize()
    return torch_horovod_manager._ranks[0]


def train_worker(out):
    """Two epochs from different starting weights per rank, with a scheduler
    rebuilt on the distributed optimiser."""
    rank = _initialized_rank()
    framework = _framework()
    torch.manual_seed(rank)  # different weights: the first broadcast must unify them
    x, y, _, _ = digits_tensors()
    data = RecordingDataset(x, y)
    native = PlainCNN()
    initial = _state(native)
    recorder = Recorder(data)
    loop = _trainer(framework, native, torch.utils.data.DataLoader(data, BATCH, shuffle=True),
                    max_steps=MaxSteps(2), extensions=[recorder]).make()
    factory = framework.create_nn({}).native_scheduler_factory_from_dict(HALVING["factory"])
    torch_horovod_manager.mutate_training_loop(loop, factory)
    scheduler = loop.get_extension(instance_type=TorchLRScheduler).native_scheduler
    loop.run()
    torch.save({"ranks": torch_horovod_manager._ranks, "size": torch_horovod_manager._size,
                "split": loop.main_split_name, "initial": initial, "final": _state(native),
                "iterations": recorder.iterations, "base_lrs": list(scheduler.base_lrs),
                "scheduler_on_hvd": scheduler.optimizer is loop.optimizer.native_optimizer},
               out / "{}.pt".format(rank))


def reload_worker(out):
    """One epoch with a checkpoint; every rank then strays differently and rank
    0 reloads the checkpoint while the others only hear "at_reloading". Then a
    two-epoch run straight through and one resumed from that checkpoint."""
    rank = _initialized_rank()
    framework = _framework()
    x, y, _, _ = digits_tensors()

    def horovod_loop(epochs, **kwargs):
        torch.manual_seed(0)
        data = RecordingDataset(x, y)
        recorder = Recorder(data)
        loop = _trainer(framework, PlainCNN(), torch.utils.data.DataLoader(data, BATCH),
                        max_steps=MaxSteps(epochs), extensions=[recorder], **kwargs).make()
        return torch_horovod_manager.mutate_training_loop(loop), recorder

    checkpoint = out / "rank{}.ckpt".format(rank)
    loop, _ = horovod_loop(1, checkpoint_path=checkpoint)
    loop.run()
    native, optimizer = loop.model.native_model, loop.optimizer.native_optimizer
    trained = {"weights": _state(native), "momenta": _momenta(optimizer),
               "lr": optimizer.param_groups[0]["lr"]}
    probe = torch_horovod_manager.broadcast_from_master(
        {"rank": rank, "tensor": torch.full((3,), float(rank))}, "probe")

    with torch.no_grad():
        for p in native.parameters():
            p.add_(rank + 1.0)
    for state in optimizer.state.values():
        state["momentum_buffer"].mul_(rank + 2.0)
    for group in optimizer.param_groups:
        group["lr"] = rank + 1.0
    if rank == 0:
        loop.load_checkpoint(checkpoint)
    else:
        loop.event_publisher.publish("at_reloading")
    optimizer = loop.optimizer.native_optimizer
    restored = {"weights": _state(native), "momenta": _momenta(optimizer),
                "lr": optimizer.param_groups[0]["lr"]}
    stepped_lr = loop.get_extension(instance_type=TorchLRScheduler)._step_lr()
    findings = {"probe": probe, "trained": trained, "restored": restored,
                "stepped_lr": stepped_lr, "optimizer_lr": optimizer.param_groups[0]["lr"]}

    for name, resume in (("straight", False), ("resumed", True)):
        loop, recorder = horovod_loop(2)
        if resume:
            loop.load_checkpoint(checkpoint)
        loop.run()
        findings[name] = {"weights": _state(loop.model.native_model),
                          "lrs": [lr for _, _, lr in recorder.iterations]}
    torch.save(findings, out / "{}.pt".format(rank))


# -- test side ------------------------------------------------------------------------------

def launch(scenario, out, nprocs=2, timeout=120, **env_vars):
    """Runs ``scenario`` in ``nprocs`` processes; returns each rank's saved findings.
    One failing process gets the others killed rather than left blocked in a collective."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = dict(os.environ, MASTER_ADDR="127.0.0.1", MASTER_PORT=str(port), GLOO_SOCKET_IFNAME="lo",
               HOROVOD_SIZE=str(nprocs), HOROVOD_LOCAL_SIZE=str(nprocs),
               HOROVOD_GLOO_TIMEOUT_SECONDS=str(timeout),
               PYTHONPATH=os.pathsep.join(filter(None, [str(SHIM), os.environ.get("PYTHONPATH")])),
               **env_vars)
    procs, logs = [], []
    try:
        for rank in range(nprocs):
            logs.append(open(out / "{}.log".format(rank), "w+b"))
            procs.append(subprocess.Popen(
                [sys.executable, __file__, scenario, str(out)], stdout=logs[-1],
                stderr=subprocess.STDOUT,
                env=dict(env, HOROVOD_RANK=str(rank), HOROVOD_LOCAL_RANK=str(rank))))
        deadline = time.monotonic() + timeout
        while (any(p.poll() is None for p in procs) and time.monotonic() < deadline
               and all(p.returncode in (None, 0) for p in procs)):
            time.sleep(0.05)
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        reports = []
        for rank, log in enumerate(logs):
            log.seek(0)
            reports.append("--- rank {} (exit {}) ---\n{}".format(
                rank, procs[rank].returncode if rank < len(procs) else "not started",
                log.read().decode(errors="replace")[-4000:]))
            log.close()
    if any(p.returncode != 0 for p in procs):
        raise AssertionError("{!r} failed or ran past {} s (exit -9: killed):\n{}".format(
            scenario, timeout, "\n".join(reports)))
    return [torch.load(out / "{}.pt".format(rank)) for rank in range(nprocs)]


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    # A fusion buffer of 1000 bytes: some gradients leave from the backward hooks
    # (the classifier's), the rest when the step synchronises.
    return launch("train", tmp_path_factory.mktemp("train"), HOROVOD_FUSION_THRESHOLD="1000")


@pytest.fixture(scope="module")
def reloaded(tmp_path_factory):
    return launch("reload", tmp_path_factory.mktemp("reload"))


def test_each_process_trains_on_its_own_shard_reshuffled_every_epoch(trained):
    n = len(digits_tensors()[1])
    assert [r["ranks"] for r in trained] == [(0, 0), (1, 1)] and trained[0]["size"] == 2
    assert trained[0]["split"] == "__horovod__"
    shards = [[[i for e, batch, _ in r["iterations"] if e == epoch for i in batch]
               for epoch in (0, 1)] for r in trained]
    for epoch in (0, 1):
        first, second = shards[0][epoch], shards[1][epoch]
        # The sampler pads the shorter shard with a repeated sample; nothing else is shared.
        assert len(first) == len(second) == math.ceil(n / 2)
        assert set(first) | set(second) == set(range(n))
    assert shards[0][0] != shards[0][1] and shards[1][0] != shards[1][1]


def test_learning_rate_is_scaled_by_size_and_warmed_up_over_the_first_epoch(trained):
    per_epoch = math.ceil(math.ceil(len(digits_tensors()[1]) / 2) / BATCH)
    scaled = SGD["lr"] * 2
    warm_up = [(i + 1) * scaled / per_epoch for i in range(per_epoch)]
    # The scheduler, unmuted when the warm-up ends, halves the rate after epoch 0.
    expected = warm_up + [scaled / 2] * per_epoch
    for r in trained:
        assert [lr for _, _, lr in r["iterations"]] == pytest.approx(expected)
        assert r["base_lrs"] == pytest.approx([scaled]) and r["scheduler_on_hvd"]


def test_two_processes_end_where_one_trained_on_the_union_of_their_batches_ends(trained):
    first, second = trained
    assert any(not torch.equal(first["initial"][k], second["initial"][k]) for k in first["initial"])
    for k, v in first["final"].items():
        assert torch.equal(v, second["final"][k]), k

    # Averaged gradients of two equal half-batches are the union batch's mean
    # gradient, so one SGD on the union batches at the recorded rates matches.
    x, y, _, _ = digits_tensors()
    model = PlainCNN()
    model.load_state_dict(first["initial"])
    optimizer = torch.optim.SGD(model.parameters(), lr=0.0, momentum=SGD["momentum"])
    assert len(first["iterations"]) == len(second["iterations"])
    for (_, mine, lr), (_, theirs, _) in zip(first["iterations"], second["iterations"]):
        assert len(mine) == len(theirs)
        batch = torch.tensor(mine + theirs)
        optimizer.param_groups[0]["lr"] = lr
        optimizer.zero_grad()
        F.cross_entropy(model(x[batch]), y[batch]).backward()
        optimizer.step()
    for k, v in model.state_dict().items():
        torch.testing.assert_close(first["final"][k], v, rtol=0, atol=1e-5, msg=k)


def test_reloading_gives_every_process_rank_0s_model_and_optimiser(reloaded):
    for r in reloaded:
        assert r["probe"]["rank"] == 0 and torch.equal(r["probe"]["tensor"], torch.zeros(3))
    trained = reloaded[0]["trained"]
    for r in reloaded:
        for k, v in trained["weights"].items():
            assert torch.equal(r["trained"]["weights"][k], v), k
            assert torch.equal(r["restored"]["weights"][k], v), k
        for restored, momentum in zip(r["restored"]["momenta"], trained["momenta"]):
            assert torch.equal(restored, momentum)
        assert r["restored"]["lr"] == trained["lr"]


def test_scheduler_still_sets_the_training_rate_after_a_reload(reloaded):
    # The loop's scheduler must steer the optimiser that trains, in every process.
    for rank, r in enumerate(reloaded):
        expected = r["restored"]["lr"] * HALVING["factory"]["gamma"]
        assert (rank, r["optimizer_lr"]) == (rank, pytest.approx(expected))
        assert (rank, r["stepped_lr"]) == (rank, pytest.approx(expected))


def test_resumed_run_continues_where_the_saved_one_stopped(reloaded):
    for rank, r in enumerate(reloaded):
        straight, resumed = r["straight"], r["resumed"]
        per_epoch = len(straight["lrs"]) // 2
        assert (rank, resumed["lrs"]) == (rank, pytest.approx(straight["lrs"][per_epoch:]))
        for k, v in straight["weights"].items():
            torch.testing.assert_close(resumed["weights"][k], v, msg="rank {} {}".format(rank, k))


# -- in-process cases -----------------------------------------------------------------------

@pytest.fixture
def framework():
    return _framework()


def _snapshot(loop):
    optimizer = loop.optimizer.native_optimizer
    return (loop.main_split_name, sorted(loop.data_splits), optimizer,
            [g["lr"] for g in optimizer.param_groups], loop.extensions,
            _state(loop.model.native_model))


def _same(a, b):
    *plain_a, weights_a = a
    *plain_b, weights_b = b
    return plain_a == plain_b and all(torch.equal(v, weights_b[k]) for k, v in weights_a.items())


def _digits_loader():
    x, y, _, _ = digits_tensors()
    return torch.utils.data.DataLoader(torch.utils.data.TensorDataset(x, y), BATCH, shuffle=True)


def test_without_horovod_every_entry_point_refuses_before_changing_anything(framework,
                                                                            monkeypatch):
    monkeypatch.setitem(sys.modules, "horovod", None)  # import horovod fails, whatever the path
    loop = _trainer(framework, PlainCNN(), _digits_loader()).make()
    before = _snapshot(loop)
    manager_before = dict(vars(torch_horovod_manager))
    calls = [torch_horovod_manager.get_hvd, torch_horovod_manager._initialize,
             lambda: torch_horovod_manager.broadcast_from_master({"a": 1}, "a"),
             lambda: torch_horovod_manager.mutate_training_loop(loop),
             loop.main_split.mutate_for_horovod]
    extension = HorovodExtension()
    extension.main_loop = loop
    calls += [lambda e=event: extension.event_do(e)
              for event in ("before_training", "before_epoch", "at_reloading", "after_training")]
    for call in calls:
        with pytest.raises(HorovodImportError, match="Importing horovod.torch failed") as error:
            call()
        assert isinstance(error.value.__context__, ImportError)
    assert _same(_snapshot(loop), before)
    assert dict(vars(torch_horovod_manager)) == manager_before


@pytest.fixture
def shim_in_process(monkeypatch):
    """horovod.torch importable here, as a single process started without a launcher."""
    monkeypatch.syspath_prepend(str(SHIM))
    for name in ("HOROVOD_RANK", "HOROVOD_SIZE", "HOROVOD_LOCAL_RANK", "MASTER_PORT"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("GLOO_SOCKET_IFNAME", "lo")
    monkeypatch.setattr(torch_horovod_manager, "device", Device.CPU, raising=False)
    yield
    hvd = sys.modules.get("horovod.torch")
    if hvd is not None:
        hvd.shutdown()
    for name in [n for n in sys.modules if n == "horovod" or n.startswith("horovod.")]:
        del sys.modules[name]


def test_single_process_without_launcher_trains(framework, shim_in_process):
    torch_horovod_manager._initialize()
    assert (torch_horovod_manager._ranks, torch_horovod_manager._size) == ((0, 0), 1)
    native = PlainCNN()
    loop = _trainer(framework, native, _digits_loader(), max_steps=MaxSteps(1)).make()
    factory = framework.create_nn({}).native_scheduler_factory_from_dict(HALVING["factory"])
    torch_horovod_manager.mutate_training_loop(loop, factory)
    scheduler = loop.get_extension(instance_type=TorchLRScheduler).native_scheduler
    assert scheduler.optimizer is loop.optimizer.native_optimizer
    assert scheduler.base_lrs == [SGD["lr"]]
    assert len(loop.main_split) == len(_digits_loader())
    weights = copy.deepcopy(native.state_dict())
    loop.run()
    assert any(not torch.equal(v, weights[k]) for k, v in native.state_dict().items())
    assert loop.optimizer.native_optimizer.param_groups[0]["lr"] == SGD["lr"] / 2


_SCENARIOS = {"train": train_worker, "reload": reload_worker}

if __name__ == "__main__":
    torch.set_num_threads(1)
    _SCENARIOS[sys.argv[1]](pathlib.Path(sys.argv[2]))
