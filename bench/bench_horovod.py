"""Data-parallel throughput: the digits CNN trained through the stand-in loop
by two Horovod processes against one plain process, each with one thread and
the same per-process batch size. Prints samples per second and their ratio.

Horovod is tests/horovod_shim (horovod.torch on torch.distributed's gloo
backend over loopback), so this measures the backend's rewritten loop and
gloo, not Horovod's own transport. The first epoch of every run is left out
(allocator and connection warm-up); a run's rate is its best remaining epoch,
timed for several processes by the slowest. Runs alternate, best of --repeats. Two plain processes training independently (no communication) are
timed too: their rate is the machine's own ceiling for two processes.

Each process is bound to its own core, as mpirun binds small jobs by default:
unbound, gloo's threads wake on a core busy with the other rank's arithmetic
and every allreduce waits several milliseconds for the scheduler (--no-bind
shows it). mallopt as in bench_training_loop.py unless --system-allocator.
"""
import argparse
import os
import pathlib
import socket
import subprocess
import sys
import tempfile
import time

import torch
from torch import nn

_HERE = pathlib.Path(__file__).resolve().parent
SHIM = _HERE.parent / "tests" / "horovod_shim"
SGD = {"name": "SGD", "lr": 0.05, "momentum": 0.9}


def worker(args):
    from bench_training_loop import keep_freed_memory
    from orrery_examples.digits import DigitsCNN, digits_tensors
    from corvex.profiler.utils import Device
    from orrery.core.loop.extension import EventSubscriber, MaxSteps
    from orrery.core.loop.trainer import Trainer
    from orrery.framework.dist_bridge import torch_horovod_manager
    from orrery.framework.framework_bridge import TorchFramework

    class Clock(EventSubscriber):
        def __init__(self):
            super().__init__(before_epoch=True, after_epoch=True)
            self.epochs = []

        def event_do(self, event):
            if event == "before_epoch":
                self.start = time.perf_counter()
            else:
                self.epochs.append(time.perf_counter() - self.start)

    torch.set_num_threads(1)
    if not args.no_bind:
        cores = sorted(os.sched_getaffinity(0))
        os.sched_setaffinity(0, {cores[int(os.environ.get("HOROVOD_RANK", 0)) % len(cores)]})
    if not args.system_allocator:
        keep_freed_memory()
    horovod = args.worker == "horovod"
    if horovod:
        torch_horovod_manager.device = Device.CPU
        torch_horovod_manager.initialize()
    framework = TorchFramework()
    framework.initialize({})
    torch.manual_seed(0)
    x, y, _, _ = digits_tensors()
    loader = torch.utils.data.DataLoader(torch.utils.data.TensorDataset(x, y), args.batch,
                                         shuffle=True)
    clock = Clock()
    loop = Trainer(framework, framework.mdl_cls(DigitsCNN(args.width)), nn.CrossEntropyLoss(),
                   {"train": loader}, SGD,
                   scheduler_config={"factory": {"name": "StepLR", "step_size": 1},
                                     "eval_based": False},
                   max_steps=MaxSteps(args.epochs), extensions=[clock]).make()
    if horovod:
        torch_horovod_manager.mutate_training_loop(loop)
    samples = len(loop.main_split.native_dl.sampler)  # this process's samples per epoch
    loop.run()
    torch.save({"samples": samples, "epochs": clock.epochs}, args.out)


def run(kind, nprocs, args, out_dir, timeout=600):
    """Samples per second of one run's best timed epoch, all processes together."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = dict(os.environ, MASTER_ADDR="127.0.0.1", MASTER_PORT=str(port), GLOO_SOCKET_IFNAME="lo",
               HOROVOD_SIZE=str(nprocs), HOROVOD_LOCAL_SIZE=str(nprocs),
               PYTHONPATH=os.pathsep.join(filter(None, [str(SHIM), os.environ.get("PYTHONPATH")])))
    outs = [out_dir / "{}.{}.pt".format(kind, rank) for rank in range(nprocs)]
    command = [sys.executable, __file__, "--worker", kind, "--epochs", str(args.epochs),
               "--width", str(args.width), "--batch", str(args.batch)]
    command += [flag for flag, on in (("--system-allocator", args.system_allocator),
                                      ("--no-bind", args.no_bind)) if on]
    procs = [subprocess.Popen(command + ["--out", str(out)],
                              env=dict(env, HOROVOD_RANK=str(rank), HOROVOD_LOCAL_RANK=str(rank)))
             for rank, out in enumerate(outs)]
    try:
        deadline = time.monotonic() + timeout
        while any(p.poll() is None for p in procs):
            if time.monotonic() > deadline or any(p.returncode not in (None, 0) for p in procs):
                raise RuntimeError("the {} run failed or ran past {} s (exit codes {})".format(
                    kind, timeout, [p.returncode for p in procs]))
            time.sleep(0.05)
        if any(p.returncode for p in procs):
            raise RuntimeError("the {} run failed (exit codes {})".format(
                kind, [p.returncode for p in procs]))
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
    results = [torch.load(out) for out in outs]
    seconds = min(max(epoch) for epoch in zip(*(r["epochs"][1:] for r in results)))
    return sum(r["samples"] for r in results) / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--epochs", type=int, default=4)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--width", type=int, default=16)
    parser.add_argument("--batch", type=int, default=64)
    parser.add_argument("--system-allocator", action="store_true",
                        help="keep glibc's allocator defaults (noisier)")
    parser.add_argument("--no-bind", action="store_true",
                        help="leave the processes free to move between cores")
    parser.add_argument("--worker", choices=("plain", "horovod"), help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.epochs < 2:
        parser.error("--epochs must be at least 2: the first epoch is not timed")
    if args.worker:
        return worker(args)
    plain, horovod, apart = [], [], []
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(args.repeats):
            plain.append(run("plain", 1, args, pathlib.Path(tmp)))
            horovod.append(run("horovod", 2, args, pathlib.Path(tmp)))
            apart.append(run("plain", 2, args, pathlib.Path(tmp)))
    print("digits CNN width {}, batch {} per process, best of {} timed epochs x {} runs{}".format(
        args.width, args.batch, args.epochs - 1, args.repeats,
        ", processes not bound to cores" if args.no_bind else ""))
    print("  1 process                   {:8.0f} samples/s".format(max(plain)))
    print("  2 processes, Horovod        {:8.0f} samples/s   {:.2f}x   (runs: {})".format(
        max(horovod), max(horovod) / max(plain),
        ", ".join("{:.2f}".format(h / p) for p, h in zip(plain, horovod))))
    print("  2 processes, independent    {:8.0f} samples/s   {:.2f}x   (the machine's ceiling)"
          .format(max(apart), max(apart) / max(plain)))


if __name__ == "__main__":
    main()
