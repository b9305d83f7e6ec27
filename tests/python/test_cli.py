"""`trevalon info` on the bundled model and on built models, and its one-line errors."""

import importlib.util
import pathlib
import runpy

import numpy as np
import pytest

from trevalon import cli, w1x1
from trevalon.graph import Graph

ROOT = pathlib.Path(__file__).resolve().parents[2]
HAS_ENGINE = importlib.util.find_spec("model_inference") is not None


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def test_info_on_the_bundled_model(capsys):
    code, out, err = run(capsys, "info")
    assert "model: tiny_mlp" in out
    assert "  x: shape [16], float32, scale 1, zp 0" in out
    assert "outputs: fc2" in out
    assert "nodes: 2\n  gemm_fp32: 2\n" in out
    # fc1 32x16 + 32, fc2 10x32 + 10 float32 values
    assert "(4 tensors, 3496 bytes of data," in out
    if HAS_ENGINE:
        assert "loads: ok" in out and code == 0
    else:
        assert "loads: not checked" in out and code == 0
    assert err == ""


def test_bundled_model_is_what_the_example_script_builds(tmp_path):
    runpy.run_path(str(ROOT / "examples" / "make_tiny_mlp.py"))["build"](str(tmp_path))
    with cli.bundled_model() as (arch, weights):
        assert (tmp_path / "tiny_mlp.json").read_bytes() == pathlib.Path(arch).read_bytes()
        assert (tmp_path / "tiny_mlp.w1x1").read_bytes() == pathlib.Path(weights).read_bytes()


def make_model(tmp_path):
    g = Graph("quant")
    x = g.input("img", (0, 6, 3), dtype="int8", scale=0.05, zp=-4)
    c = g.node("conv_int8", "c1", inputs=[x], C_out=2, C_in=3)
    c = g.node("conv_int8", "c2", inputs=[c], C_out=2, C_in=2)
    p = g.node("avgpool", "pool", inputs=[c])
    g.node("relu_fp32", "r", inputs=[p], allow_unknown=True)
    g.save(tmp_path / "q.json")
    w1x1.save(tmp_path / "q.w1x1", {"c1.weight": np.ones((2, 3), np.int8),
                                    "c1.eff_bias": np.zeros(2, np.int64)})
    return str(tmp_path / "q.json"), str(tmp_path / "q.w1x1")


def test_info_reports_inputs_outputs_op_counts_and_weights(tmp_path, capsys):
    arch, weights = make_model(tmp_path)
    code, out, err = run(capsys, "info", arch, weights)
    lines = out.splitlines()
    assert "model: quant" in lines
    assert "  img: shape [0, 6, 3], int8, scale 0.05, zp -4" in lines
    assert "outputs (derived from the graph): r" in lines
    assert lines[lines.index("nodes: 4") + 1:lines.index("nodes: 4") + 4] == [
        "  avgpool: 1", "  conv_int8: 2", "  relu_fp32: 1 (unknown op, no layer)"]
    assert f"weights: {weights} (2 tensors, 22 bytes of data," in out
    if HAS_ENGINE:  # 1 when the engine refuses these made-up weights
        assert code in (0, 1) and ("loads: ok" in out) == (code == 0)
    else:
        assert code == 0


def bad_files(tmp_path):
    arch, weights = make_model(tmp_path)
    bad_magic = tmp_path / "bad.w1x1"
    bad_magic.write_bytes(b"W1X0" + pathlib.Path(weights).read_bytes()[4:])
    bad_json = tmp_path / "bad.json"
    bad_json.write_text('{"model": "m", "nodes": [')
    no_op = tmp_path / "no_op.json"
    no_op.write_text('{"nodes": [{"name": "a"}]}')
    short = tmp_path / "short.w1x1"
    short.write_bytes(pathlib.Path(weights).read_bytes()[:-1])
    missing = str(tmp_path / "missing.w1x1")
    return [
        ([arch, missing], f"{missing}: No such file or directory"),
        ([str(tmp_path / "nope.json"), weights], "nope.json: No such file or directory"),
        ([arch, str(bad_magic)], f"Bad magic in {bad_magic} (expected W1X1)"),
        ([str(bad_json), weights], f"{bad_json}: invalid JSON"),
        ([str(no_op), weights], "node 0 has no 'op'"),
        ([arch, str(short)], "tensor 'c1.eff_bias'"),
        ([arch], "give both ARCH and WEIGHTS"),
        ([str(tmp_path), weights], str(tmp_path)),  # a directory
    ]


def test_bad_files_give_one_line_errors_and_exit_code_2(tmp_path, capsys):
    for argv, message in bad_files(tmp_path):
        code, out, err = run(capsys, "info", *argv)
        assert code == 2, argv
        assert out == "", argv
        assert err.startswith("trevalon: error: ") and err.count("\n") == 1, err
        assert message in err, (argv, err)


def test_help_and_usage(capsys):
    with pytest.raises(SystemExit) as info:
        cli.main(["info", "--help"])
    assert info.value.code == 0
    assert "usage: trevalon info [-h] [ARCH] [WEIGHTS]" in capsys.readouterr().out
    assert cli.main([]) == 2
    assert "info" in capsys.readouterr().err
    with pytest.raises(SystemExit) as info:
        cli.main(["frobnicate"])
    assert info.value.code == 2


@pytest.mark.skipif(not HAS_ENGINE, reason="model_inference is not built")
def test_bundled_model_runs_like_its_numpy_reference():
    import model_inference

    with cli.bundled_model() as (arch, weights):
        model = model_inference.InferenceModel(arch, weights)
        w = w1x1.load(weights)
        x = np.linspace(-1, 1, 16, dtype=np.float32)
        hidden = np.maximum(w["fc1.weight"] @ x + w["fc1.bias"], 0)
        expected = w["fc2.weight"] @ hidden + w["fc2.bias"]
        np.testing.assert_allclose(model.forward(x), expected, rtol=1e-5, atol=1e-6)
