"""The whole optimisation pipeline on real data, driven the way the orrery core
drives the backend: train a CNN on scikit-learn's digits, prune it to at most
half its multiply-accumulates, distil it back from the original, quantize every
convolution with LSQ (8 bits), fine-tune, export (ONNX, TorchScript, encrypted
runtime files) and check what was exported. Copy it as a starting point."""
import argparse
import copy
import logging
import os
import pathlib
import statistics
import time

logging.basicConfig(level=logging.ERROR)  # before the backend logs its start-up notes

import matplotlib  # noqa: E402
import torch  # noqa: E402
from torch import nn  # noqa: E402

from corvex import corvex_encryption
from orrery.core.loop.trainer import Trainer
from orrery.framework.ext_bridge import TorchLRScheduler, WarmupLR
from orrery.framework.framework_bridge import TorchFramework
from orrery.framework.prims_bridge import TorchLSQ
from orrery_examples import onnx_runtime
from orrery_examples.digits import DigitsCNN, accuracy, digits_loaders
from orrery_examples.lsq_quantize import quantize_convolutions

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def train(framework, model, splits, title, epochs, lr, extensions=(), **options):
    """Trains for ``epochs`` with SGD and a cosine schedule behind a progress bar
    (eval_split="test" with eval_function=accuracy would add the accuracy after
    every epoch to the trainer's log lines)."""
    trainer = Trainer(framework, model, nn.CrossEntropyLoss(), splits,
                      {"name": "SGD", "lr": lr, "momentum": 0.9, "nesterov": True},
                      scheduler_config={"factory": {"name": "CosineAnnealingLR", "T_max": epochs},
                                        "eval_based": False},
                      max_steps=epochs, extensions=extensions,
                      progress="{:<22}".format(title), **options)
    return trainer.run()


def profile(model, loader):
    measured = model.measure(loader)
    return measured["params"], measured["macs"], measured["seconds_per_sample"]


def prune_to_half_the_macs(framework, model, loader):
    """Lowest-L1 output channels of every convolution, a tenth at a time, one
    cached dependency graph, until at most half the MACs are left."""
    start = profile(model, loader)[1]
    # Follow channels through the flatten too: the last convolution then
    # shrinks the classifier's input with it.
    surgeon = framework.graph_surgeon(model, torch.zeros(1, 1, 8, 8), drop_view_op=False)
    with surgeon.cache_dg():
        while profile(model, loader)[1] > start / 2:
            for layer in model.flat_view():
                if isinstance(layer, framework.conv2d_cls) and layer.native_layer.out_channels > 2:
                    count = max(1, layer.native_layer.out_channels // 10)
                    surgeon.prune_channels(layer, layer.norm(1).argsort()[:count].tolist())
    print(surgeon.report().splitlines()[-1])


def batch_one_latency(native, x, repeats=50):
    """Median seconds of a forward pass on one sample, as the profiler measures."""
    with torch.no_grad():
        native.eval()(x[:1])
        times = []
        for i in range(repeats):
            start = time.perf_counter()
            native(x[i % len(x)][None])
            times.append(time.perf_counter() - start)
    return statistics.median(times)


def convs(native):
    return {name: m.out_channels for name, m in native.named_modules() if isinstance(m, nn.Conv2d)}


def main(args):
    torch.manual_seed(0)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    framework = TorchFramework()
    framework.initialize({})
    train_loader, test_loader = digits_loaders()
    data = {"train": train_loader, "test": test_loader}
    loader = framework.dl_cls(test_loader, None)
    table = []

    def stage(name, model, path=None, measure=True):
        measured = profile(model, loader) if measure else (None, None, None)
        table.append((name, accuracy(model.native_model, test_loader)) + measured +
                     (None, os.path.getsize(path) if path else None))

    teacher = framework.mdl_cls(DigitsCNN(32))
    train(framework, teacher, data, "teacher", args.epochs, 0.05)
    torch.save(teacher.native_model.state_dict(), out / "teacher.pt")
    stage("teacher", teacher, out / "teacher.pt")
    before = convs(teacher.native_model)

    student = framework.mdl_cls(copy.deepcopy(teacher.native_model))
    prune_to_half_the_macs(framework, student, loader)
    after = convs(student.native_model)
    stage("pruned", student)
    kd = framework.knowledge_distillation_cls(teacher, tau=4.0, alpha=0.7)
    ema = framework.ema_cls(copy.deepcopy(student.native_model), decay_rate=0.999, period=50)
    train(framework, student, data, "distil pruned", args.epochs, 0.02, knowledge_distillation=kd,
          ema=ema, extensions=[WarmupLR(recovery_epoch_time=1)])
    student.native_model.load_state_dict(ema.model.state_dict())  # keep the average
    torch.save(student.native_model.state_dict(), out / "pruned.pt")
    stage("pruned + distilled", student, out / "pruned.pt")

    lsq = TorchLSQ(wbits=8, abits=8, polarity="bipolar", channel_quant=True, act_polarity=False)
    quantize_convolutions(student, lsq, train_loader)  # LSQ layers, steps calibrated on data
    stage("LSQ 8-bit calibrated", student)  # before any quantization-aware training
    train(framework, student, data, "quantization-aware", max(1, args.epochs // 2), 0.005,
          knowledge_distillation=kd)
    stage("LSQ 8-bit", student)

    key = corvex_encryption.generate_key()
    corvex_encryption.set_key(key)
    key_file = out / "vexa.key"
    key_file.write_bytes(key)
    key_file.chmod(0o600)
    # The runtime file carries the integer model (8-bit codes, batch norms folded).
    student.export_to_vexa(loader, path=str(out / "digits"), resolutions=[])
    student.export_to_onnx(loader, path=str(out / "digits.onnx"))
    student.export_to_onnx(loader, path=str(out / "digits_int8.onnx"), precision="int8")
    student.export_to_jit(loader, path=str(out / "digits_jit.pt"))
    x, y = map(torch.cat, zip(*test_loader))
    jit = torch.jit.load(str(out / "digits_jit.pt"))
    table.append(("exported TorchScript", accuracy(jit, test_loader), None, None,
                  batch_one_latency(jit, x), None, os.path.getsize(out / "digits_jit.pt")))
    onnx_model, records = corvex_encryption.decrypt(str(out / "digits.orq"))
    if onnx_runtime.unavailable() is None:  # check the files in an engine that is not PyTorch
        (out / "runtime.onnx").write_bytes(onnx_model.SerializeToString())
        lsq_latency = batch_one_latency(student.native_model, x)
        for name, path, file in (("exported ONNX (ORT)", "digits.onnx", "digits.onnx"),
                                 ("int8 ONNX (ORT)", "digits_int8.onnx", "digits_int8.onnx"),
                                 ("runtime file (ORT)", "runtime.onnx", "digits.orq")):
            logits = onnx_runtime.run(out / path, {"input_0": x.numpy()})["output_0"]
            hits = (torch.from_numpy(logits).argmax(1) == y).float().mean().item()
            seconds = statistics.median(onnx_runtime.time_runs(
                out / path, {"input_0": x[:1].numpy()}, repeat=200, threads=1))
            table.append((name, hits, None, None, lsq_latency, seconds,
                          os.path.getsize(out / file)))
        os.remove(out / "runtime.onnx")
    print("\n{:<22} {:>9} {:>8} {:>9} {:>10} {:>10} {:>10}".format(
        "stage", "accuracy", "params", "MACs", "PyTorch", "ORT", "file"))
    for name, acc, params, macs, latency, ort_latency, size in table:
        print("{:<22} {:>8.2f}% {:>8} {:>9} {:>10} {:>10} {:>10}".format(
            name, 100 * acc, params or "", macs or "",
            "{:.0f} us".format(latency * 1e6) if latency else "",
            "{:.0f} us".format(ort_latency * 1e6) if ort_latency else "",
            "{:.1f} kB".format(size / 1e3) if size else ""))
    print("(latency per sample at batch 1; ONNX Runtime with one thread, beside the LSQ "
          "model in PyTorch)")
    float_onnx = os.path.getsize(out / "digits.onnx")
    print("int8 ONNX: {:.2f}x the float ONNX export; runtime file: {:.2f}x".format(
        os.path.getsize(out / "digits_int8.onnx") / float_onnx,
        os.path.getsize(out / "digits.orq") / float_onnx))
    figure(before, after, table, out / "demo.png")
    print("\n{} quantized layers recorded for the runtime in digits.orq".format(
        len(records["layers"])))
    print("Files in {}: {}".format(out, ", ".join(sorted(p.name for p in out.iterdir()))))
    print("The runtime files are encrypted with the key in {}; keep it safe.".format(key_file))
    return table


def figure(before, after, table, path):
    """Channels per layer before and after pruning, and what each stage gained:
    multiply-accumulates, parameters, file size and accuracy, values on the bars."""
    fig, axes = plt.subplot_mosaic([["channels", "channels", "accuracy"],
                                    ["macs", "params", "size"]], figsize=(13, 7))
    names = list(before)
    positions = range(len(names))
    left = axes["channels"]
    for shift, widths, label in ((-0.2, before, "before"), (0.2, after, "after pruning")):
        bars = left.bar([p + shift for p in positions], [widths[n] for n in names], 0.4,
                        label=label)
        left.bar_label(bars, fontsize=8)
    left.set_xticks(list(positions), names)
    left.set_ylabel("output channels")
    left.set_title("channels per convolution")
    left.legend()

    def panel(key, column, title, scale, unit, text):
        rows = [row for row in table if row[column]]
        values = [row[column] / scale for row in rows][::-1]
        ax = axes[key]
        bars = ax.barh([row[0] for row in rows][::-1], values)
        ax.bar_label(bars, labels=[text.format(v) for v in values], fontsize=8, padding=2)
        ax.set_title(title)
        ax.set_xlabel(unit)
        ax.margins(x=0.25)

    panel("macs", 3, "multiply-accumulates", 1e3, "thousands, at batch 1", "{:,.0f}")
    panel("params", 2, "parameters", 1e3, "thousands", "{:.1f}")
    panel("size", 6, "file size", 1e3, "kB", "{:.1f}")
    accuracy_axis = axes["accuracy"]
    bars = accuracy_axis.barh([row[0] for row in table][::-1], [100 * row[1] for row in table][::-1])
    accuracy_axis.bar_label(bars, fmt="%.1f%%", fontsize=8, padding=2)
    accuracy_axis.set_xlim(0, 115)  # the whole scale: small differences stay small
    accuracy_axis.set_title("test accuracy")
    accuracy_axis.set_xlabel("%")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--epochs", type=int, default=10, help="epochs of each training phase")
    parser.add_argument("--out", default="demo_output", help="where the files go")
    main(parser.parse_args())
