"""Real training through the stand-in loop: a CNN on scikit-learn's digits,
then a smaller student distilled from it with a warm-up, a scheduler from
configuration and the weight average; and a resumed run that continues
exactly where the saved one stopped."""
import copy

import pytest
import torch
from torch import nn

from orrery.core.loop.extension import MaxSteps
from orrery.core.loop.trainer import Trainer
from orrery.framework.ext_bridge import Setup, TorchLRScheduler, WarmupLR
from orrery_examples.digits import DigitsCNN, accuracy, digits_loaders

SGD = {"name": "SGD", "lr": 0.05, "momentum": 0.9}
STEP_LR = {"factory": {"name": "StepLR", "step_size": 4, "gamma": 0.3}, "eval_based": False}


def test_distilled_student_with_warmup_and_weight_average(framework, tmp_path):
    torch.manual_seed(0)
    train, test = digits_loaders()
    splits = {"train": train, "test": test}
    teacher = framework.mdl_cls(DigitsCNN(32))
    Trainer(framework, teacher, nn.CrossEntropyLoss(), splits, SGD, scheduler_config=STEP_LR,
            max_steps=MaxSteps(8)).run()
    teacher_accuracy = accuracy(teacher.native_model, test)

    student = framework.mdl_cls(DigitsCNN(8))
    ema = framework.ema_cls(copy.deepcopy(student.native_model), decay_rate=0.999, period=50)
    kd = framework.knowledge_distillation_cls(teacher, tau=4.0, alpha=0.7)
    warmup = WarmupLR(recovery_epoch_time=2)
    loop = Trainer(framework, student, nn.CrossEntropyLoss(), splits, dict(SGD, nesterov=True),
                   scheduler_config=TorchLRScheduler.get_default_scheduler_dict(),
                   max_steps=MaxSteps(10), knowledge_distillation=kd, ema=ema,
                   eval_split="test", eval_function=accuracy, extensions=[warmup],
                   checkpoint_path=tmp_path / "student.pt").run().main_loop
    student_accuracy = accuracy(student.native_model, test)
    average_accuracy = accuracy(ema.model, test)
    print("teacher {:.4f} student {:.4f} average {:.4f}".format(
        teacher_accuracy, student_accuracy, average_accuracy))
    assert teacher_accuracy >= 0.96
    assert student_accuracy >= 0.94
    assert average_accuracy >= student_accuracy - 0.01
    assert set(loop.last_losses) == {"kd_loss", "task_loss"}
    assert warmup._done and not loop.get_extension(instance_type=TorchLRScheduler).muted
    assert any(isinstance(e, Setup) for e in loop.extensions)
    assert not teacher.native_model.training and ema.updates == loop.current_iteration_nb

    # The checkpoint restores the student, the optimiser, the scheduler and the average.
    restored = framework.mdl_cls(DigitsCNN(8))
    restored_ema = framework.ema_cls(DigitsCNN(8))
    fresh = Trainer(framework, restored, nn.CrossEntropyLoss(), splits, SGD,
                    max_steps=MaxSteps(10), ema=restored_ema, eval_split="test",
                    eval_function=accuracy).make()
    fresh.load_checkpoint(tmp_path / "student.pt")
    assert accuracy(restored.native_model, test) == student_accuracy
    assert accuracy(restored_ema.model, test) == average_accuracy
    assert restored_ema.updates == ema.updates and fresh.current_epoch_nb == 10


def test_resumed_run_continues_where_the_saved_one_stopped(framework, tmp_path):
    def trainer(epochs, path=None):
        torch.manual_seed(1)
        train, test = digits_loaders(batch_size=128)
        model = framework.mdl_cls(DigitsCNN(4))
        ema = framework.ema_cls(copy.deepcopy(model.native_model), period=5)
        return Trainer(framework, model, nn.CrossEntropyLoss(), {"train": train}, SGD,
                       scheduler_config=STEP_LR, max_steps=MaxSteps(epochs), ema=ema,
                       checkpoint_path=path)

    straight = trainer(2).run().main_loop
    first = trainer(1, tmp_path / "run.pt").run().main_loop
    resumed = trainer(2).make()
    torch.manual_seed(123)  # the checkpoint brings back the shuffling state
    resumed.load_checkpoint(tmp_path / "run.pt")
    resumed.run()
    for a, b in zip(straight.model.native_model.state_dict().values(),
                    resumed.model.native_model.state_dict().values()):
        assert torch.equal(a, b)
    for a, b in zip(straight.ema.model.state_dict().values(),
                    resumed.ema.model.state_dict().values()):
        assert torch.equal(a, b)
    assert resumed.optimizer.native_optimizer.param_groups[0]["lr"] == \
        straight.optimizer.native_optimizer.param_groups[0]["lr"]
    assert first.current_iteration_nb * 2 == resumed.current_iteration_nb


def test_bad_configuration_is_refused_before_anything_is_built(framework, tmp_path):
    train, _ = digits_loaders()
    native = DigitsCNN(4)
    model = framework.mdl_cls(native)
    weights = copy.deepcopy(native.state_dict())
    for optimizer, scheduler, error in [
            ({"name": "NoSuchOptimizer"}, STEP_LR, AttributeError),
            (SGD, {"factory": {"name": "NoSuchScheduler"}}, AttributeError),
            (None, STEP_LR, TypeError),
            (SGD, {"factory": None}, TypeError)]:
        with pytest.raises(error):
            Trainer(framework, model, nn.CrossEntropyLoss(), {"train": train}, optimizer,
                    scheduler_config=scheduler).make()
    assert all(torch.equal(v, weights[k]) for k, v in native.state_dict().items())

    # The checkpoint survives a rerun (refused) and a resume with other data
    # (refused); a loader of the wrong shape fails with PyTorch's error and
    # writes no checkpoint.
    path = tmp_path / "kept.pt"
    Trainer(framework, model, nn.CrossEntropyLoss(), {"train": train}, SGD,
            scheduler_config=STEP_LR, checkpoint_path=path).run()
    saved = path.read_bytes()
    wrong = torch.utils.data.DataLoader(
        torch.utils.data.TensorDataset(torch.zeros(4, 3, 8, 8), torch.zeros(4, dtype=torch.long)))
    for resume, error, message in [(False, FileExistsError, "resume=True"),
                                   (True, RuntimeError, "different model or data")]:
        with pytest.raises(error, match=message):
            Trainer(framework, model, nn.CrossEntropyLoss(), {"train": wrong}, SGD,
                    scheduler_config=STEP_LR, checkpoint_path=path, resume=resume).run()
    assert path.read_bytes() == saved
    with pytest.raises(RuntimeError, match="channels"):
        Trainer(framework, model, nn.CrossEntropyLoss(), {"train": wrong}, SGD,
                scheduler_config=STEP_LR, checkpoint_path=tmp_path / "other.pt").run()
    assert not (tmp_path / "other.pt").exists()
