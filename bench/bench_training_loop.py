"""One training epoch of the digits CNN through the stand-in training loop with
every extension on (Setup, a warm-up, a scheduler from configuration,
distillation from a teacher, the weight average), against a hand-written
PyTorch loop doing the same arithmetic. The two run alternately, so they share
the machine's load; prints the framework's overhead as a ratio.

By default glibc's allocator is told to keep freed memory (mallopt): with its
defaults, the large convolution buffers are unmapped after each use and
faulted in again on the next, which costs more than the training arithmetic
here and varies with the allocation history of the process, swamping what is
measured. --system-allocator keeps glibc's defaults."""
import argparse
import copy
import ctypes
import math
import statistics
import time

import torch
import torch.nn.functional as F
from torch import nn

from orrery.core.loop.extension import MaxSteps
from orrery.core.loop.trainer import Trainer
from orrery.framework.ext_bridge import WarmupLR
from orrery.framework.framework_bridge import TorchFramework

from orrery_examples.digits import DigitsCNN, digits_loaders  # noqa: E402

SGD = {"name": "SGD", "lr": 0.05, "momentum": 0.9}
TAU, ALPHA, WARMUP_EPOCHS = 4.0, 0.7, 100


def framework_epoch(framework, teacher, student, ema, train):
    kd = framework.knowledge_distillation_cls(teacher, tau=TAU, alpha=ALPHA)
    trainer = Trainer(framework, student, nn.CrossEntropyLoss(), {"train": train}, SGD,
                      scheduler_config={"factory": {"name": "StepLR", "step_size": 1},
                                        "eval_based": False},
                      max_steps=MaxSteps(1), knowledge_distillation=kd, ema=ema,
                      extensions=[WarmupLR(recovery_epoch_time=WARMUP_EPOCHS)])
    loop = trainer.make()
    start = time.perf_counter()
    loop.run()
    return time.perf_counter() - start


def hand_written_epoch(teacher, student, averaged, train, updates):
    optimizer = torch.optim.SGD(student.parameters(), lr=0.05, momentum=0.9)
    scheduler = torch.optim.lr_scheduler.StepLR(optimizer, step_size=1)
    targets = [g["lr"] for g in optimizer.param_groups]
    total = len(train) * WARMUP_EPOCHS
    start = time.perf_counter()
    student.train()
    teacher.eval()
    for i, (x, y) in enumerate(train):
        for group, target in zip(optimizer.param_groups, targets):
            group["lr"] = (i + 1) * target / total
        optimizer.zero_grad()
        with torch.no_grad():
            t_out = teacher(x)
        s_out = student(x)
        log_p = F.log_softmax(s_out / TAU, dim=1)
        p = F.softmax(t_out / TAU, dim=1)
        losses = {"kd_loss": ALPHA * torch.mean(-torch.sum(log_p * p, dim=1) * TAU ** 2),
                  "task_loss": (1 - ALPHA) * F.cross_entropy(s_out, y)}
        sum(losses.values()).backward()
        optimizer.step()
        losses = {k: v.item() for k, v in losses.items()}
        with torch.no_grad():
            updates += 1
            d = 0.9999 * (1 - math.exp(-updates / 2000))
            trained = student.state_dict()
            for k, v in averaged.state_dict().items():
                if v.dtype.is_floating_point:
                    v *= d
                    v += (1 - d) * trained[k].detach()
    scheduler.step()
    return time.perf_counter() - start, updates


def keep_freed_memory():
    libc = ctypes.CDLL("libc.so.6")
    m_trim_threshold, m_mmap_threshold = -1, -3
    ok = libc.mallopt(m_mmap_threshold, 32 << 20) and libc.mallopt(m_trim_threshold, 1 << 30)
    if not ok:
        raise RuntimeError("mallopt refused the settings; run with --system-allocator")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--epochs", type=int, default=15)
    parser.add_argument("--width", type=int, default=16)
    parser.add_argument("--system-allocator", action="store_true",
                        help="keep glibc's allocator defaults (noisier)")
    args = parser.parse_args()
    if not args.system_allocator:
        keep_freed_memory()
    torch.manual_seed(0)
    framework = TorchFramework()
    framework.initialize({})
    train, _ = digits_loaders()
    teacher = framework.mdl_cls(DigitsCNN(2 * args.width))
    student = framework.mdl_cls(DigitsCNN(args.width))
    ema = framework.ema_cls(copy.deepcopy(student.native_model))
    plain_teacher = copy.deepcopy(teacher.native_model)
    plain_student = DigitsCNN(args.width)
    plain_average = copy.deepcopy(plain_student)
    updates = 0
    loop_times, plain_times = [], []
    framework_epoch(framework, teacher, student, ema, train)  # warm-up
    _, updates = hand_written_epoch(plain_teacher, plain_student, plain_average, train, updates)
    for _ in range(args.epochs):
        loop_times.append(framework_epoch(framework, teacher, student, ema, train))
        elapsed, updates = hand_written_epoch(plain_teacher, plain_student, plain_average,
                                              train, updates)
        plain_times.append(elapsed)
    print("threads: {}; {} iterations per epoch".format(torch.get_num_threads(), len(train)))
    for name, times in (("stand-in loop", loop_times), ("hand-written", plain_times)):
        print("  {:14s} best {:7.1f} ms   median {:7.1f} ms".format(
            name, min(times) * 1e3, statistics.median(times) * 1e3))
    print("  loop / hand-written   best {:.3f}x   median {:.3f}x".format(
        min(loop_times) / min(plain_times),
        statistics.median(loop_times) / statistics.median(plain_times)))


if __name__ == "__main__":
    main()
