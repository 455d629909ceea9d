"""`make demo` on a short schedule: every stage leaves its artifact and the
exported model still classifies digits."""
import pathlib
import runpy
import shutil

from corvex import corvex_encryption

DEMO = pathlib.Path(__file__).resolve().parents[1] / "examples" / "demo.py"


def test_demo_pipeline_on_a_short_schedule(tmp_path, capsys):
    # A copy away from the repository: the demo needs only installed packages.
    copy = tmp_path / "elsewhere" / "demo.py"
    copy.parent.mkdir()
    shutil.copy(DEMO, copy)
    demo = runpy.run_path(str(copy), run_name="demo_copy")
    table = demo["main"](demo["argparse"].Namespace(epochs=2, out=str(tmp_path)))
    stages = {row[0]: row for row in table}
    assert {"teacher", "pruned", "pruned + distilled", "LSQ 8-bit calibrated", "LSQ 8-bit",
            "exported TorchScript"} <= set(stages)
    # Calibrated, the 8-bit model is as good as the float one before any training.
    assert stages["LSQ 8-bit calibrated"][1] >= stages["pruned + distilled"][1] - 0.01
    assert stages["pruned"][3] <= stages["teacher"][3] / 2  # MACs at most halved
    assert stages["exported TorchScript"][1] > 0.8  # chance is 0.1
    for name in ("teacher.pt", "pruned.pt", "digits.onnx", "digits_int8.onnx", "digits_jit.pt",
                 "digits.orq", "vexa.key", "demo.png"):
        assert (tmp_path / name).stat().st_size > 0, name
    if "int8 ONNX (ORT)" in stages:  # ONNX Runtime is installed
        float_row, int8_row = stages["exported ONNX (ORT)"], stages["int8 ONNX (ORT)"]
        assert int8_row[1] > 0.8 and int8_row[5] > 0 and int8_row[6] < float_row[6] / 2
    model, records = corvex_encryption.decrypt(str(tmp_path / "digits.orq"),
                                               key=(tmp_path / "vexa.key").read_bytes())
    assert len(records["layers"]) == 3
    assert "keep it safe" in capsys.readouterr().out
