"""The Horovod manager, extension and loader sharding in one process, against a
recording stand-in for horovod.torch (the multi-process behaviour is in
test_horovod.py)."""
import logging
import sys
import types

import pytest
import torch
from torch import nn

from corvex.profiler.utils import Device
from corvex.torch_profiler.loader_bridge import TorchForwardPass
from orrery.core.loop.extension import MaxSteps
from orrery.core.loop.main_loop import MainLoop
from orrery.framework.dist_bridge import HorovodExtension, torch_horovod_manager
from orrery.framework.ext_bridge import TorchLRScheduler, WarmupLR
from orrery.framework.loader_bridge import TorchDataLoader
from orrery.framework.model_bridge import TorchModel
from orrery.framework.nn_bridge import DefaultTorchNativeSchedulerFactory, TorchOptimizer


class Handle:
    removed = 0

    def remove(self):
        self.removed += 1


def recording_hvd(size=4, rank=1):
    calls = []
    hvd = types.ModuleType("horovod.torch")
    hvd.calls = calls
    hvd.init = lambda: calls.append("init")
    hvd.size = lambda: size
    hvd.rank = lambda: rank
    hvd.local_rank = lambda: 0
    hvd.Compression = types.SimpleNamespace(none="no compression")

    def distributed_optimizer(optimizer, **kwargs):
        calls.append(("DistributedOptimizer", list(kwargs)))
        optimizer.bw_hook_handles = [Handle(), Handle()]
        return optimizer
    hvd.DistributedOptimizer = distributed_optimizer
    hvd.broadcast_parameters = lambda state, root_rank: calls.append(("parameters", root_rank))
    hvd.broadcast_optimizer_state = lambda opt, root_rank: calls.append(("optimizer", root_rank))
    hvd.broadcast_object = lambda obj, root_rank, name: ("from", root_rank, name, obj)
    return hvd


@pytest.fixture
def hvd(monkeypatch):
    fake = recording_hvd()
    monkeypatch.setitem(sys.modules, "horovod", types.ModuleType("horovod"))
    monkeypatch.setitem(sys.modules, "horovod.torch", fake)
    return fake


def make_loop(batches=8, max_steps=MaxSteps(2), with_scheduler=True, loader_cls=None):
    model = nn.Linear(2, 1)
    native_opt = torch.optim.SGD([{"params": [model.weight], "lr": 0.1},
                                  {"params": [model.bias], "lr": 0.01}], lr=0.1)
    data = torch.utils.data.TensorDataset(torch.randn(batches, 2), torch.randn(batches, 1))
    native = (loader_cls or torch.utils.data.DataLoader)(data, batch_size=1, shuffle=True,
                                                         drop_last=True, pin_memory=True)
    loop = MainLoop(model=TorchModel(model), loss_function=nn.functional.mse_loss,
                    optimizer=TorchOptimizer(native_opt),
                    data_splits={"train": TorchDataLoader(native, None)}, max_steps=max_steps)
    if with_scheduler:
        loop.add_extension(TorchLRScheduler(
            native_scheduler=torch.optim.lr_scheduler.StepLR(native_opt, 1)))
    return loop


def lrs(loop):
    return [g["lr"] for g in loop.optimizer.native_optimizer.param_groups]


def test_manager_rewrites_the_loop(hvd):
    torch_horovod_manager.device = Device.CPU
    torch_horovod_manager._initialize()
    assert torch_horovod_manager._ranks == (1, 0) and torch_horovod_manager._size == 4
    assert torch_horovod_manager.broadcast_from_master("x", "n") == ("from", 0, "n", "x")

    loop = make_loop()
    old_split = loop.main_split
    factory = DefaultTorchNativeSchedulerFactory("StepLR", step_size=3)
    assert torch_horovod_manager.mutate_training_loop(loop, factory) is loop
    assert lrs(loop) == [0.1 * 4, 0.01 * 4]
    sched = loop.get_extension(instance_type=TorchLRScheduler).native_scheduler
    assert sched.step_size == 3 and sched.base_lrs == [0.1 * 4, 0.01 * 4]
    assert ("DistributedOptimizer", ["compression", "named_parameters"]) in hvd.calls
    assert loop.main_split_name == "__horovod__" and loop.main_split is not old_split
    sampler = loop.main_split.native_dl.sampler
    assert isinstance(sampler, torch.utils.data.distributed.DistributedSampler)
    assert (sampler.num_replicas, sampler.rank, sampler.shuffle) == (4, 1, True)
    assert loop.main_split.forward_pass is old_split.forward_pass
    extensions = [e for e in loop.extensions if isinstance(e, HorovodExtension)]
    assert len(extensions) == 1 and extensions[0].use_warmup


def test_manager_refuses_a_loop_it_cannot_rewrite_before_changing_it(hvd):
    class OwnLoader:
        dataset = []

    for loop, factory, error in [
            (make_loop(with_scheduler=False), DefaultTorchNativeSchedulerFactory("StepLR", step_size=1),
             AssertionError),
            (make_loop(), None, RuntimeError)]:
        if error is RuntimeError:
            loop.main_split.native_dl = OwnLoader()
        optimizer, split = loop.optimizer.native_optimizer, loop.main_split_name
        with pytest.raises(error):
            torch_horovod_manager.mutate_training_loop(loop, factory)
        assert loop.optimizer.native_optimizer is optimizer and loop.main_split_name == split
        assert lrs(loop) == [0.1, 0.01] and not any(isinstance(e, HorovodExtension)
                                                    for e in loop.extensions)


def test_sharded_loader_keeps_only_what_the_sampler_needs(hvd, monkeypatch):
    class MyLoader(torch.utils.data.DataLoader):
        pass

    monkeypatch.setattr(hvd, "size", lambda: 1)
    monkeypatch.setattr(hvd, "rank", lambda: 0)
    loader = make_loop(batches=5, loader_cls=MyLoader).main_split
    sharded, sampler = loader.mutate_for_horovod()
    native = sharded.native_dl
    assert type(native) is torch.utils.data.DataLoader and native.sampler is sampler
    assert not native.drop_last and not native.pin_memory
    assert sorted(sampler) == list(range(5)) and len(native) == 5


def test_sharded_loader_batches_like_a_loader_built_with_a_batch_sampler(hvd):
    data = torch.utils.data.TensorDataset(torch.randn(24, 2), torch.randn(24, 1))
    batches = torch.utils.data.BatchSampler(torch.utils.data.SequentialSampler(data), 3, False)
    loader = TorchDataLoader(torch.utils.data.DataLoader(data, batch_sampler=batches), None)
    sharded, _ = loader.mutate_for_horovod()  # six samples of this rank's shard
    assert [len(x) for x, _ in sharded] == [3, 3]
    loader = TorchDataLoader(torch.utils.data.DataLoader(data, batch_sampler=[[0, 1]]), None)
    with pytest.raises(ValueError, match="batch_sampler \\(list\\) has no positive int batch_size"):
        loader.mutate_for_horovod()


class Stream(torch.utils.data.IterableDataset):
    def __iter__(self):
        return iter([(torch.zeros(2), torch.zeros(1))])


@pytest.mark.parametrize("dataset, error, message", [
    (torch.utils.data.TensorDataset(torch.zeros(0, 2)), ValueError, "empty dataset"),
    ([{"x": torch.zeros(2)}] * 4, TypeError, "first sample, .* got a dict"),
    (Stream(), RuntimeError, "needs a map-style dataset .* IterableDataset Stream")])
def test_loaders_that_cannot_be_sharded_or_fingerprinted_say_why(hvd, dataset, error, message):
    loader = TorchDataLoader(torch.utils.data.DataLoader(dataset, batch_size=2), None)
    for method in (loader.mutate_for_horovod, loader.checkpoint_hash):
        with pytest.raises(error, match=message):
            method()
    if isinstance(dataset, list):  # given its input shapes, a loader takes any samples
        loader._forward_pass = TorchForwardPass([(2,)])
        assert loader.checkpoint_hash() == "4__[(2,)]"
        assert [sorted(batch) for batch in loader.mutate_for_horovod()[0]] == [["x"]]


@pytest.mark.parametrize("max_steps, epochs", [
    (MaxSteps(10), 5), (MaxSteps(5), 1), (MaxSteps(3000, is_epoch_based=False), 1), (None, 5)])
def test_extension_warm_up_length(hvd, max_steps, epochs):
    loop = make_loop(batches=4000)  # 1000 batches per shard of four
    torch_horovod_manager.mutate_training_loop(loop)
    loop.max_steps = max_steps
    extension = loop.get_extension(instance_type=HorovodExtension)
    extension.event_do("before_training")
    warmup = loop.get_extension(instance_type=WarmupLR)
    # Each group warms up to its own scaled rate.
    assert warmup.recovery_epoch_time == epochs and warmup.target_lr == [0.4, 0.04]
    assert warmup.total_iterations == 1000 * epochs  # set up at once
    assert loop.get_extension(instance_type=TorchLRScheduler).muted
    assert hvd.calls[-2:] == [("parameters", 0), ("optimizer", 0)]


def test_no_warm_up_for_a_run_resumed_past_it_and_the_scheduler_follows(hvd):
    loop = make_loop(batches=16)
    sched = loop.get_extension(instance_type=TorchLRScheduler).native_scheduler
    torch_horovod_manager.mutate_training_loop(loop)
    assert sched.optimizer is loop.optimizer.native_optimizer and sched.base_lrs == [0.4, 0.04]
    loop.current_iteration_nb = 4 * 1  # one epoch of 4 batches per shard: the warm-up's length
    loop.get_extension(instance_type=HorovodExtension).event_do("before_training")
    assert loop.get_extension(instance_type=WarmupLR) is None


def test_extension_events(hvd, caplog):
    loop = make_loop()
    torch_horovod_manager.mutate_training_loop(loop)
    extension = HorovodExtension(use_warmup=False)
    loop.add_extension(extension)
    extension.event_do("before_training")
    extension.event_do("at_reloading")
    assert loop.get_extension(instance_type=WarmupLR) is None
    assert hvd.calls[-4:] == [("parameters", 0), ("optimizer", 0)] * 2
    loop.current_epoch_nb = 3
    extension.event_do("before_epoch")
    assert loop.main_split.native_dl.sampler.epoch == 3
    with caplog.at_level(logging.DEBUG, logger="orrery.framework.dist_bridge"):
        extension.event_do("after_training")
    assert "Clearing all_reduce backward hooks" in caplog.text
    assert [h.removed for h in loop.optimizer.native_optimizer.bw_hook_handles] == [1, 1]
