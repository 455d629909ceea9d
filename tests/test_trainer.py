"""The stand-in Trainer on a small synthetic task: epoch reports (log, result,
progress bar), training lengths, and resuming from or refusing to overwrite a
checkpoint."""
import logging
import os

import pytest
import torch
from torch import nn

from orrery.core.loop.extension import EventSubscriber, MaxSteps
from orrery.core.loop.trainer import EpochRecord, Trainer, TrainingResult

SGD = {"name": "SGD", "lr": 0.1, "momentum": 0.9}
HALVING = {"factory": {"name": "StepLR", "step_size": 1, "gamma": 0.5}, "eval_based": False}


def splits(n=96):
    """Three classes told apart by the sign pattern of two coordinates; 6 batches."""
    g = torch.Generator().manual_seed(0)
    x = torch.randn(n, 4, generator=g)
    y = (x[:, 0] > 0).long() + (x[:, 1] > 0).long()
    data = torch.utils.data.TensorDataset(x, y)
    return {"train": torch.utils.data.DataLoader(data, batch_size=16, shuffle=True),
            "test": torch.utils.data.DataLoader(data, batch_size=48)}


@torch.no_grad()
def accuracy(native_model, loader):
    hits = total = 0
    for x, y in loader:
        hits += (native_model(x).argmax(1) == y).sum().item()
        total += len(y)
    return hits / total


def make(framework, seed=0, **kwargs):
    torch.manual_seed(seed)
    model = framework.mdl_cls(nn.Sequential(nn.Linear(4, 16), nn.ReLU(), nn.Linear(16, 3)))
    return Trainer(framework, model, nn.CrossEntropyLoss(), splits(), SGD,
                   scheduler_config=HALVING, **kwargs)


def weights(trainer):
    return {k: v.clone() for k, v in trainer.model.native_model.state_dict().items()}


class LossLog(EventSubscriber):
    def __init__(self):
        super().__init__(after_iteration=True)
        self.losses = []

    def event_do(self, event):
        self.losses.append(float(self.main_loop.last_losses["loss"]))


def test_epochs_are_logged_and_returned(framework, caplog):
    seen = LossLog()
    trainer = make(framework, max_steps=3, eval_split="test", eval_function=accuracy,
                   extensions=[seen])
    with caplog.at_level(logging.INFO, logger="orrery.core.loop.trainer"):
        result = trainer.run()
    assert isinstance(result, TrainingResult) and result.main_loop is trainer.main_loop
    assert result.main_loop.current_epoch_nb == 3 and result.start_epoch == 0
    assert result.checkpoint_path is None
    history = result.history
    assert [r.epoch for r in history] == [1, 2, 3] and all(r.iterations == 6 for r in history)
    assert [r.lr for r in history] == pytest.approx([0.1, 0.05, 0.025])
    for i, record in enumerate(history):
        assert list(record.losses) == ["loss"] and record.seconds > 0
        assert record.losses["loss"] == pytest.approx(sum(seen.losses[6 * i:6 * i + 6]) / 6)
    assert result.metric == history[-1].metric == accuracy(trainer.model.native_model,
                                                           splits()["test"])
    assert history[-1].losses["loss"] < history[0].losses["loss"]

    lines = [r for r in caplog.records if r.name == "orrery.core.loop.trainer"]
    assert [r.levelno for r in lines] == [logging.INFO] * 3
    assert [r.training_epoch for r in lines] == list(history)
    message = lines[0].getMessage()
    assert message.startswith("epoch 1/3: loss ")
    for field in ("accuracy[test] {:.4g}".format(history[0].metric), "lr 0.1,", " s"):
        assert field in message
    with pytest.raises(AttributeError):
        history[0].epoch = 5  # records are frozen


@pytest.mark.parametrize("max_steps, epochs, iterations", [
    (1, 1, 6), (MaxSteps(8, is_epoch_based=False), 2, 8), (None, 1, 6)])
def test_training_lengths(framework, caplog, max_steps, epochs, iterations):
    with caplog.at_level(logging.INFO, logger="orrery.core.loop.trainer"):
        result = make(framework, max_steps=max_steps).run()
    assert len(result.history) == epochs and result.main_loop.current_iteration_nb == iterations
    assert result.metric is None and result.history[-1].metric is None
    if isinstance(max_steps, MaxSteps):
        assert result.history[-1].iterations == 2
        assert "epoch 2 (iteration 8/8)" in caplog.records[-1].getMessage()


def test_bad_arguments_are_refused_before_anything_moves(framework, tmp_path):
    for value, error in [(True, TypeError), (2.0, TypeError), ("3", TypeError),
                         (0, ValueError), (-2, ValueError)]:
        with pytest.raises(error, match="max_steps"):
            make(framework, max_steps=value)
    for kwargs, error, name in [
            ({"progress": 1}, TypeError, "progress"),
            ({"resume": "yes"}, TypeError, "resume"),
            ({"resume": True}, ValueError, "checkpoint_path"),
            ({"checkpoint_path": 3}, TypeError, "checkpoint_path")]:
        with pytest.raises(error, match=name):
            make(framework, **kwargs)
    with pytest.raises((TypeError, ValueError), match="max_value"):
        MaxSteps(0)
    trainer = make(framework, checkpoint_path=tmp_path / "missing" / "c.pt")
    before = weights(trainer)
    with pytest.raises(FileNotFoundError, match="missing"):
        trainer.run()
    assert trainer.main_loop is None
    assert all(torch.equal(v, before[k]) for k, v in weights(trainer).items())
    # A FIFO or a device is refused as a checkpoint path before anything is built.
    os.mkfifo(tmp_path / "fifo")
    for path in (tmp_path / "fifo", "/dev/null"):
        trainer = make(framework, checkpoint_path=path, resume=True)
        with pytest.raises(ValueError, match="only regular files are written"):
            trainer.run()
        assert trainer.main_loop is None


def test_resume_continues_and_a_rerun_is_refused(framework, tmp_path):
    path = tmp_path / "run.pt"
    straight = make(framework, max_steps=3)
    straight.run()
    first = make(framework, max_steps=2, checkpoint_path=path, resume=True)  # no file yet: fresh
    assert first.run().start_epoch == 0 and path.exists()
    saved = path.read_bytes()

    rerun = make(framework, seed=5, max_steps=3, checkpoint_path=path)
    before = weights(rerun)
    with pytest.raises(FileExistsError, match="resume=True"):
        rerun.run()
    assert all(torch.equal(v, before[k]) for k, v in weights(rerun).items())
    assert path.read_bytes() == saved

    # A different seed: everything comes back from the checkpoint.
    resumed = make(framework, seed=5, max_steps=3, checkpoint_path=path, resume=True)
    result = resumed.run()
    assert result.start_epoch == 2 and [r.epoch for r in result.history] == [3]
    assert result.history[0].lr == pytest.approx(0.025)
    assert result.main_loop.current_iteration_nb == 18
    assert result.checkpoint_path == str(path) and path.read_bytes() != saved
    for k, v in weights(straight).items():
        assert torch.equal(v, weights(resumed)[k]), k
    x = torch.randn(5, 4)
    torch.testing.assert_close(resumed.model.native_model(x), straight.model.native_model(x))

    # Nothing left to train: the weights stay as the checkpoint has them.
    done = make(framework, seed=7, max_steps=3, checkpoint_path=path, resume=True).run()
    assert done.history == () and done.metric is None and done.start_epoch == 3
    assert all(torch.equal(v, weights(straight)[k])
               for k, v in done.main_loop.model.native_model.state_dict().items())


def test_progress_bar(framework, capsys, caplog):
    with caplog.at_level(logging.INFO, logger="orrery.core.loop.trainer"):
        result = make(framework, max_steps=2, progress="warm-up").run()
    err = capsys.readouterr().err
    assert "warm-up" in err and "12/12" in err
    assert len(result.history) == 2 and isinstance(result.history[0], EpochRecord)
    assert sum("epoch" in r.getMessage() for r in caplog.records) == 2


def test_evaluating_every_epoch_leaves_the_training_as_it_was(framework):
    plain = make(framework, max_steps=3)
    plain.run()
    evaluated = make(framework, max_steps=3, eval_split="test", eval_function=accuracy)
    result = evaluated.run()
    assert result.metric is not None
    for key, value in weights(plain).items():
        assert torch.equal(value, weights(evaluated)[key]), key
