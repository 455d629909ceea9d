"""Optimiser and scheduler factories, the optimisation step, Setup, the
learning-rate extensions, distillation and the weight average."""
import copy
import logging

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from corvex.profiler.utils import Device
from orrery.conductor import Task
from orrery.core.loop.extension import MaxSteps
from orrery.core.loop.main_loop import MainLoop
from orrery.framework import nn_bridge
from orrery.framework.ext_bridge import Setup, TorchLRScheduler, WarmupLR
from orrery.framework.framework_bridge import TorchEMA, TorchFramework, TorchKnowledgeDistillation
from orrery.framework.loader_bridge import TorchDataLoader
from orrery.framework.model_bridge import TorchModel
from orrery.framework.nn_bridge import TorchNN, TorchOptimizer


@pytest.fixture
def torch_nn():
    TorchFramework().initialize({})
    return TorchNN({"anything": 1})


def test_factories_build_native_objects_from_configuration(torch_nn):
    assert torch_nn.loop_optimizer_cls is TorchOptimizer
    assert torch_nn.loop_scheduler_cls is TorchLRScheduler
    model = nn.Linear(3, 2)
    factory = torch_nn.native_optimizer_factory_from_dict({"name": "SGD", "lr": 0.5})
    first, second = factory.make(model), factory.make(model)
    assert first is not second and isinstance(first, torch.optim.SGD)
    assert first.param_groups[0]["lr"] == 0.5
    assert list(first.param_groups[0]["params"]) == list(model.parameters())
    sched = torch_nn.native_scheduler_factory_from_dict({"name": "StepLR", "step_size": 2})
    assert isinstance(sched.make(first), torch.optim.lr_scheduler.StepLR)
    # Only "name": the class gets the parameters (or the optimiser) alone.
    assert torch_nn.native_optimizer_factory_from_dict({"name": "Adam"}).make(model).defaults["lr"] == 1e-3
    assert list(nn_bridge.__dict__).index("TorchNN") < list(nn_bridge.__dict__).index("TorchLayer")


def test_bad_factory_configuration_fails_at_creation(torch_nn):
    with pytest.raises(TypeError, match="argument after \\*\\* must be a mapping, not NoneType"):
        torch_nn.native_optimizer_factory_from_dict(None)
    with pytest.raises(TypeError, match="argument after \\*\\* must be a mapping, not NoneType"):
        torch_nn.native_scheduler_factory_from_dict(None)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'name'"):
        torch_nn.native_optimizer_factory_from_dict({"lr": 0.1})
    with pytest.raises(AttributeError):
        torch_nn.native_optimizer_factory_from_dict({"name": "NoSuchOptimizer"})
    with pytest.raises(AttributeError):
        torch_nn.native_scheduler_factory_from_dict({"name": "NoSuchScheduler"})
    # Unknown keywords reach the class only at make.
    factory = torch_nn.native_optimizer_factory_from_dict({"name": "SGD", "lr": 1, "nope": 2})
    with pytest.raises(TypeError):
        factory.make(nn.Linear(1, 1))


class Step:
    def __init__(self, model, x, y):
        self.model, self.x, self.y = model, x, y
        self.loss_dict = None

    def compute(self):
        out = self.model(self.x)
        self.loss_dict = {"b": F.mse_loss(out, self.y), "a": out.abs().mean()}
        return self.loss_dict["b"] + self.loss_dict["a"]


def test_optimize_step_and_native_state():
    torch.manual_seed(0)
    model = nn.Linear(3, 1)
    reference = copy.deepcopy(model)
    optimizer = TorchOptimizer(torch.optim.SGD(model.parameters(), lr=0.1, momentum=0.9))
    x, y = torch.randn(8, 3), torch.randn(8, 1)
    model.weight.grad = torch.ones_like(model.weight)  # stale: must be cleared first
    step = Step(model, x, y)
    optimizer.optimize_step(step)
    assert list(step.loss_dict) == ["b", "a"]
    assert all(type(v) is float for v in step.loss_dict.values())

    ref_opt = torch.optim.SGD(reference.parameters(), lr=0.1, momentum=0.9)
    out = reference(x)
    loss = F.mse_loss(out, y) + out.abs().mean()
    loss.backward()
    ref_opt.step()
    assert torch.equal(model.weight, reference.weight)

    other = TorchOptimizer(torch.optim.SGD(reference.parameters(), lr=0.1, momentum=0.9))
    other.load_native_info(optimizer.dump_native_info())
    assert torch.equal(other.native_optimizer.state_dict()["state"][0]["momentum_buffer"],
                       optimizer.native_optimizer.state_dict()["state"][0]["momentum_buffer"])


@pytest.mark.filterwarnings("ignore:Detected call of:UserWarning")
def test_scheduler_extension():
    dicts = [TorchLRScheduler.get_default_scheduler_dict(), TorchLRScheduler.get_default_scheduler_dict()]
    assert dicts[0] == dicts[1] and dicts[0] is not dicts[1]
    assert dicts[0] == {"factory": {"name": "ReduceLROnPlateau", "mode": "max", "patience": 10,
                                    "factor": 0.2}, "eval_based": True, "vanish_lr": 1e-4}
    assert list(dicts[0]) == ["factory", "eval_based", "vanish_lr"]
    for task in (Task.OD, Task.SEG):
        assert TorchLRScheduler.get_default_scheduler_dict(task)["factory"]["patience"] == 3
    assert TorchLRScheduler.get_default_scheduler_dict("other") is None

    model = nn.Linear(2, 2)
    native_opt = torch.optim.SGD(model.parameters(), lr=1.0)
    loop = MainLoop(model=TorchModel(model), loss_function=F.mse_loss,
                    optimizer=TorchOptimizer(native_opt), data_splits={"train": [1]})
    plateau = TorchLRScheduler(native_scheduler=torch.optim.lr_scheduler.ReduceLROnPlateau(
        native_opt, mode="max", patience=0, factor=0.5))
    loop.add_extension(plateau)
    assert plateau._step_lr(0.5) == 1.0
    assert plateau._step_lr(0.4) == 0.5  # no improvement: halved
    state = plateau.dump_native_info()
    fresh = TorchLRScheduler(native_scheduler=torch.optim.lr_scheduler.ReduceLROnPlateau(native_opt))
    assert fresh.load_native_info(state) is fresh.native_scheduler
    assert fresh.native_scheduler.state_dict() == state
    step = TorchLRScheduler(native_scheduler=torch.optim.lr_scheduler.StepLR(native_opt, 1, 0.1))
    step.main_loop = loop
    assert step._step_lr() == pytest.approx(0.05)


class LrRecorder(Setup.__mro__[1]):  # an EventSubscriber
    def __init__(self):
        super().__init__(before_iteration=True)
        self.seen = []

    def event_do(self, event):
        self.seen.append([g["lr"] for g in self.main_loop.optimizer.native_optimizer.param_groups])


def warmup_loop(target_lr, epochs=2, batches=4, with_scheduler=True):
    model = nn.Linear(2, 1)
    native_opt = torch.optim.SGD([{"params": [model.weight], "lr": 0.1},
                                  {"params": [model.bias], "lr": 0.01}], lr=0.1)
    data = torch.utils.data.TensorDataset(torch.randn(batches, 2), torch.randn(batches, 1))
    loader = TorchDataLoader(torch.utils.data.DataLoader(data, batch_size=1), None)
    loop = MainLoop(model=TorchModel(model), loss_function=F.mse_loss,
                    optimizer=TorchOptimizer(native_opt), data_splits={"train": loader},
                    max_steps=MaxSteps(epochs), scheduler_config={"eval_based": False})
    if with_scheduler:
        loop.add_extension(TorchLRScheduler(
            native_scheduler=torch.optim.lr_scheduler.StepLR(native_opt, 1, 0.5)))
    warmup = loop.add_extension(WarmupLR(recovery_epoch_time=epochs - 1, target_lr=target_lr))
    recorder = loop.add_extension(LrRecorder())
    return loop, warmup, recorder


def test_warmup_ramps_then_hands_over_to_the_scheduler(caplog):
    loop, warmup, recorder = warmup_loop(None)
    with caplog.at_level(logging.DEBUG, logger="orrery.framework.ext_bridge"):
        loop.run()
    # (i + 1) * target first, then the division; exact targets at the last step.
    expected = [[i * 0.1 / 4, i * 0.01 / 4] for i in (1, 2, 3)] + [[0.1, 0.01]]
    assert recorder.seen[:4] == expected
    # The warm-up has left; the scheduler stepped once, after the first epoch.
    assert recorder.seen[4:] == [[0.05, 0.005]] * 4
    assert warmup._done and warmup not in loop.event_publisher.subscribers
    sched = loop.get_extension(instance_type=TorchLRScheduler)
    assert not sched.muted
    messages = [r.getMessage() for r in caplog.records]
    assert messages == ["Putting {} on mute".format(sched), "Warmup done!",
                        "Removing {} from mute".format(sched)]
    with pytest.raises(AssertionError):
        warmup.event_do("before_iteration")


def test_warmup_of_a_run_resumed_past_it_stays_at_the_target():
    loop, warmup, recorder = warmup_loop(None)  # four warm-up iterations
    loop.current_iteration_nb = 8  # as a checkpoint restores it
    loop.run()
    assert recorder.seen[0] == [0.1, 0.01] and warmup._done
    assert not loop.get_extension(instance_type=TorchLRScheduler).muted


def test_warmup_targets():
    loop, _, recorder = warmup_loop([0.4])  # shorter list: the second group keeps its rate
    loop.run()
    assert [lrs[1] for lrs in recorder.seen[:4]] == [0.01] * 4
    assert recorder.seen[0][0] == pytest.approx(0.1)
    loop, _, recorder = warmup_loop(0.2, with_scheduler=False)
    loop.run()
    assert recorder.seen[1] == [2 * 0.2 / 4] * 2 and recorder.seen[-1] == [0.2, 0.2]


def test_setup_moves_and_switches_to_training_each_epoch():
    model = TorchModel(nn.Linear(2, 1))
    calls = []
    model.to_device = lambda device: calls.append(("to", device, model.native_model.training))
    loss = type("Loss", (), {"to_device": lambda self, d: calls.append(("loss", d))})()
    loop = type("Loop", (), {"device": Device.CPU, "model": model, "loss_function": loss})()
    setup = Setup()
    setup.main_loop = loop
    model.native_model.eval()
    assert setup.events == {"before_training", "before_epoch"}
    setup.event_do("before_training")
    assert calls == [("to", Device.CPU, False), ("loss", Device.CPU)]
    setup.event_do("before_epoch")
    assert calls[2] == ("to", Device.CPU, True)  # trained before it is moved
    assert setup.event_do("after_epoch") is None and len(calls) == 4


def reference_kd(s_out, t_out, y, tau, alpha):
    x = F.log_softmax(s_out / tau, dim=1)
    p = F.softmax(t_out / tau, dim=1)
    return alpha * torch.mean(-torch.sum(x * p, dim=1) * tau ** 2), (1 - alpha) * F.cross_entropy(s_out, y)


@pytest.mark.parametrize("tau, alpha", [(4.0, 0.7), (1, 1), (2, 0.0)])
def test_distillation_loss(tau, alpha):
    torch.manual_seed(0)
    teacher = TorchModel(nn.Sequential(nn.Linear(4, 5), nn.Dropout(0.5)))
    kd = TorchKnowledgeDistillation(teacher, tau=tau, alpha=alpha)
    assert not teacher.native_model.training
    kd.to_device(Device.CPU)
    student = nn.Linear(4, 5)
    x, y = torch.randn(6, 4), torch.randint(0, 5, (6,))
    losses = kd(student, [x, y])
    assert list(losses) == ["kd_loss", "task_loss"]
    expected = reference_kd(student(x), teacher.native_model(x), y, tau, alpha)
    assert torch.equal(losses["kd_loss"], expected[0]) and torch.equal(losses["task_loss"], expected[1])
    sum(losses.values()).backward()
    assert student.weight.grad is not None
    assert all(p.grad is None for p in teacher.native_model.parameters())
    with pytest.raises(ValueError, match="too many values to unpack"):
        kd(student, (x, y, y))


def test_distillation_refuses_other_teacher_shapes_and_bad_temperatures():
    kd = TorchKnowledgeDistillation(TorchModel(nn.Linear(2, 5)), tau=2.0)
    kd.to_device(Device.CPU)
    y = torch.zeros(4, dtype=torch.long)
    with pytest.raises(ValueError, match=r"got student \[4, 5\] and teacher \[1, 5\]"):
        kd.kd_cross_entropy(torch.randn(4, 5), torch.randn(1, 5), y)  # no broadcasting
    with pytest.raises(ValueError, match=r"got student \[4, 3\] and teacher \[4, 5\]"):
        kd(nn.Linear(2, 3), (torch.randn(4, 2), y))
    for tau in (0, -1.0, float("nan"), float("inf"), True):
        with pytest.raises(ValueError, match="expects tau to be a finite number > 0"):
            TorchKnowledgeDistillation(kd.teacher, tau=tau)
        kd.tau = tau  # changed after creation: refused at use, not NaN losses
        with pytest.raises(ValueError, match="expects tau to be a finite number > 0"):
            kd.kd_cross_entropy(torch.randn(4, 5), torch.randn(4, 5), y)


def test_distillation_of_identical_logits_is_the_entropy():
    logits = torch.randn(3, 4)
    kd = TorchKnowledgeDistillation(TorchModel(nn.Identity()), tau=1, alpha=1)
    loss = kd.kd_cross_entropy(logits, logits, torch.zeros(3, dtype=torch.long))["kd_loss"]
    p = logits.softmax(1)
    assert loss.item() == pytest.approx(-(p * p.log()).sum(1).mean().item(), rel=1e-6)


def net(dtype=torch.float32):
    return nn.Sequential(nn.Conv2d(2, 3, 3), nn.BatchNorm2d(3), nn.Flatten(), nn.Linear(3, 2)).to(dtype)


def reference_ema(state, trained_state, d):
    for k, v in state.items():
        if v.dtype.is_floating_point:
            v *= d
            v += (1 - d) * trained_state[k].detach()


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64, torch.float16])
def test_weight_average_is_the_two_in_place_steps(dtype):
    torch.manual_seed(0)
    trained = net(dtype)
    trained[1].running_mean.uniform_()
    ema = TorchEMA(net(dtype), period=3)
    assert not ema.model.training
    expected = copy.deepcopy(ema.model.state_dict())
    for i in range(3):
        with torch.no_grad():
            for p in trained.parameters():
                p.add_(torch.randn_like(p))
        ema.update("iteration", i, trained)
        reference_ema(expected, trained.state_dict(), ema.decay(i + 1))
    assert ema.updates == 3
    for k, v in ema.model.state_dict().items():
        assert torch.equal(v, expected[k]), k
    assert ema.model[1].num_batches_tracked.item() == 0  # integer buffers stay


def test_weight_average_ignores_other_intervals_and_checks_the_type():
    ema, trained = TorchEMA(net()), net()
    before = copy.deepcopy(ema.model.state_dict())
    ema.update("epoch", 0, trained)
    ema.update(None, 0, trained)
    assert ema.updates == 0 and all(torch.equal(v, before[k]) for k, v in ema.model.state_dict().items())
    for bad in (1, type("Name", (str,), {})("iteration")):
        with pytest.raises(TypeError, match='"interval".*str.*' + type(bad).__name__):
            ema.update(bad, 0, trained)
    assert ema.decay(0) == 0 and ema.decay(1e9) < ema.decay_rate + 1e-12
    assert ema.decay(2000) == pytest.approx(0.9999 * (1 - 2.718281828459045 ** -1))


def test_weight_average_refuses_a_different_network_before_changing_anything():
    ema = TorchEMA(net())
    before = copy.deepcopy(ema.model.state_dict())
    with pytest.raises(KeyError, match="3.bias"):
        ema.update("iteration", 0, nn.Sequential(*list(net())[:3], nn.Linear(3, 2, bias=False)))
    with pytest.raises(RuntimeError, match="3.weight.*shape"):
        ema.update("iteration", 0, nn.Sequential(*list(net())[:3], nn.Linear(3, 4)))
    assert ema.updates == 0
    assert all(torch.equal(v, before[k]) for k, v in ema.model.state_dict().items())


class CustomState(nn.Module):
    """State-dict hooks, a non-persistent buffer and tied weights: the walk
    that replaces state_dict() must see exactly what state_dict() shows."""

    def __init__(self):
        super().__init__()
        self.a = nn.Linear(3, 3)
        self.b = nn.Linear(3, 3)
        self.b.weight = self.a.weight
        self.register_buffer("scratch", torch.ones(3), persistent=False)
        self.hooked = nn.Linear(2, 2)
        self.hooked._register_state_dict_hook(
            lambda module, state, prefix, meta: state.pop(prefix + "bias"))


def test_weight_average_follows_state_dict_semantics():
    torch.manual_seed(0)
    ema, trained = TorchEMA(CustomState()), CustomState()
    expected = copy.deepcopy(ema.model)
    ema.update("iteration", 0, trained)
    state = expected.state_dict()
    assert "hooked.bias" not in state and "scratch" not in state
    reference_ema(state, trained.state_dict(), ema.decay(1))  # the tied weight twice
    for k, v in ema.model.state_dict().items():
        assert torch.equal(v, state[k]), k
    assert torch.equal(ema.model.hooked.bias, expected.hooked.bias)
    assert torch.equal(ema.model.scratch, torch.ones(3))


def test_weight_average_native_state(capsys):
    ema = TorchEMA(net(), decay_rate=0.9, period=10)
    ema.update("iteration", 0, net())
    state = ema.dump_native_info()
    assert state == {"updates": 1, "decay_rate": 0.9, "period": 10} and ema.model is not None
    fresh = TorchEMA(net())
    fresh.load_native_info(state)
    assert capsys.readouterr().out == str(state) + "\n"
    assert (fresh.updates, fresh.decay_rate, fresh.period) == (1, 0.9, 10)
    fresh.update("iteration", 1, net())
    assert fresh.updates == 2


def test_model_native_state_and_fingerprints():
    model = TorchModel(net())
    state = model.dump_native_info()
    with torch.no_grad():
        model.native_model[3].weight.add_(1)
    assert model.load_native_info(state) is model
    assert torch.equal(model.native_model[3].weight, state["3.weight"])
    assert TorchModel(nn.DataParallel(net())).checkpoint_hash() == model.checkpoint_hash()
    assert TorchModel(net()).checkpoint_hash() != TorchModel(nn.Linear(1, 1)).checkpoint_hash()
    data = torch.utils.data.TensorDataset(torch.zeros(5, 2, 4, 4), torch.zeros(5))
    loader = TorchDataLoader(torch.utils.data.DataLoader(data), None)
    assert loader.checkpoint_hash() == "5__[(2, 4, 4)]"
