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
needs_engine = pytest.mark.skipif(not HAS_ENGINE, reason="model_inference is not built")

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
    # Each missing mandatory weight and each unknown op is a reason to exit 1, whether or not the
    # engine (which loads without them) is there.
    assert "missing weights (4): c1.req_scale, c2.weight, c2.req_scale, c2.eff_bias" in lines
    assert "unknown op 'relu_fp32' (no layer; the forward pass stops there) in node r" in lines
    assert code == 1
    assert lines[-1] == ("loads: ok" if HAS_ENGINE else
                         "loads: not checked (model_inference is not installed)")


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
        ([str(bad_json), weights], f"{bad_json}, line 1, column 26 (the end of the text): "
                                   f"JSON: unexpected char '"),
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


def test_info_points_out_what_a_hand_written_file_gets_wrong(tmp_path, capsys):
    arch = tmp_path / "hand.json"
    arch.write_text('{"model": "hand", "inputs": [{"name": "x", "shape": [1, 1, 1, 4], '
                    '"dtype": "float32"}],\n'
                    ' "output": [{"name": "y"}],\n'
                    ' "nodes": [{"name": "fc", "op": "gemm_fp32", "in": "x", "out": "h", '
                    '"C_out": 4, "C_in": 4},\n'
                    '           {"name": "act", "op": "Relu", "in": "h", "out": "a"},\n'
                    '           {"name": "act2", "op": "Relu", "in": "a", "out": "y"},\n'
                    '           {"name": "snake", "op": "snake1d_fp32", "in": "y", "out": "z"}]}')
    weights = tmp_path / "hand.w1x1"
    w1x1.save(weights, {"fc.bias": np.zeros(4, np.float32)})
    code, out, err = run(capsys, "info", str(arch), str(weights))
    lines = out.splitlines()
    assert code == 1
    assert "warning: unknown top-level key 'output' is ignored (did you mean 'outputs'?)" in lines
    assert "outputs (derived from the graph): z" in lines
    assert "missing weights (2): fc.weight, snake.alpha" in lines
    assert "unknown op 'Relu' (no layer; the forward pass stops there) in nodes act, act2" in lines
    if HAS_ENGINE:  # the engine's own warnings still reach stderr
        assert "arch_loader: unknown op 'Relu' in node 'act2'" in err

    # Fixed: no complaint and exit 0.
    arch.write_text(arch.read_text().replace('"output"', '"outputs"').replace('"Relu"', '"gelu_fp32"'))
    w1x1.save(weights, {"fc.weight": np.eye(4, dtype=np.float32), "snake.alpha": np.ones(4, np.float32)})
    code, out, err = run(capsys, "info", str(arch), str(weights))
    assert code == 0 and "warning" not in out and "missing" not in out and "unknown" not in out
    assert "outputs: y" in out.splitlines()


@needs_engine
def test_info_names_only_ops_without_a_layer(tmp_path, capsys):
    # Every known op has a layer in this build: a misused one is the layer's own error, and info
    # does not call it unknown; a name the loader does not know still is.
    g = Graph("one_d")
    g.output(g.node("istft_fp32", "inverse", inputs=[g.input("x", (4,))]))
    g.save(tmp_path / "a.json")
    w1x1.save(tmp_path / "a.w1x1", {})
    import model_inference

    model = model_inference.InferenceModel(str(tmp_path / "a.json"), str(tmp_path / "a.w1x1"))
    with pytest.raises(RuntimeError, match="node 'inverse' needs 2 inputs, got 1"):
        model.forward(np.zeros(4, np.float32))
    capsys.readouterr()
    code, out, _ = run(capsys, "info", str(tmp_path / "a.json"), str(tmp_path / "a.w1x1"))
    assert code == 0 and "unknown op" not in out, out

    text = (tmp_path / "a.json").read_text().replace('"istft_fp32"', '"istft_fp64"')
    (tmp_path / "b.json").write_text(text)
    code, out, _ = run(capsys, "info", str(tmp_path / "b.json"), str(tmp_path / "a.w1x1"))
    assert code == 1
    assert "unknown op 'istft_fp64' (no layer; the forward pass stops there) in node inverse" in out


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


# --- run, bench and demo -------------------------------------------------------------------

from types import SimpleNamespace  # noqa: E402

from trevalon import runner  # noqa: E402



def input_spec(shape, dtype="float32", scale=1.0, zp=0, name="x"):
    return SimpleNamespace(name=name, shape=list(shape), dtype=dtype, scale=scale, zp=zp)


def test_prepare_input_checks_counts_and_shapes():
    flat, note = runner.prepare_input(input_spec([4, 4, 3]), np.zeros((1, 4, 4, 3), np.float64))
    assert flat.dtype == np.float32 and flat.shape == (48,) and "float64" in note
    for ok in [np.zeros(48, np.float32), np.zeros((4, 4, 3), np.float32)]:
        assert runner.prepare_input(input_spec([4, 4, 3]), ok)[0].shape == (48,)
    assert runner.prepare_input(input_spec([8, 8, 1]), np.zeros((8, 8)))[0].size == 64
    assert runner.prepare_input(input_spec([0, 80]), np.zeros((10, 80)))[0].size == 800
    assert runner.prepare_input(input_spec([0, 80]), np.zeros(80))[0].size == 80
    bad = [
        (input_spec([4, 4, 3]), np.zeros(47), "input 'x' expects shape [4, 4, 3] (48 elements), "
                                        "got shape [47] (47 elements)"),
        (input_spec([4, 4, 3]), np.zeros((3, 4, 4)), "got shape [3, 4, 4] (48 elements)"),  # NCHW
        (input_spec([4, 4, 3]), np.zeros((2, 4, 4, 3)), "got shape [2, 4, 4, 3] (96 elements)"),
        (input_spec([0, 80]), np.zeros(81), "a positive multiple of 80 elements"),
        (input_spec([0, 80]), np.zeros((80, 10)), "got shape [80, 10]"),
        (input_spec([0, 80]), np.zeros(0), "got shape [0] (0 elements)"),
        (input_spec([2]), np.array(["a", "b"]), "input 'x' is float32, got an array of <U1"),
        (input_spec([2], "int8"), np.array([0, 300]), "input 'x' is int8, got int64 values from 0 to 300"),
        (input_spec([2], "int8"), np.array([0.0, np.nan]), "not finite"),
        (input_spec([1]), np.float32(1), "0-dimensional"),
    ]
    for s, array, message in bad:
        with pytest.raises(runner.RunError) as info:
            runner.prepare_input(s, array)
        assert message in str(info.value), (array, str(info.value))


def test_float_values_for_an_int8_input_are_quantised_half_away_from_zero():
    s = input_spec([6], "int8", scale=0.5, zp=-3)
    q, note = runner.prepare_input(s, np.array([0.25, -0.25, 0.75, 100.0, -100.0, 1.0]))
    # x / 0.5 = 0.5, -0.5, 1.5 round away from zero to 1, -1, 2; then + zp, saturating.
    assert q.dtype == np.int8 and q.tolist() == [-2, -4, -1, 127, -128, -1]
    assert note == "quantised with scale 0.5, zero point -3"
    q, note = runner.prepare_input(s, np.array([-128, 127, 0, 1, 2, 3], np.int32))
    assert q.tolist() == [-128, 127, 0, 1, 2, 3] and note == ""


def test_output_file_names_are_portable_and_distinct():
    files = cli._output_file_names(["logits", "a/b", "a_b", "A_B", "..", "ünï"])
    assert files["logits"] == "logits.npy"
    assert files["a/b"] == "a_b.npy" and files["a_b"] == "a_b_2.npy" and files["A_B"] == "A_B_3.npy"
    assert files[".."] == "output.npy" and files["ünï"] == "_n_.npy"


def test_latency_summary_and_profile_lines():
    latency = runner.Latency([4.0, 1.0, 3.0, 2.0, 5.0])
    assert latency.median == 3.0
    assert latency.summary().startswith("median 3.000 ms, min 1.000, p10 1.400, p90 4.600, "
                                        "max 5.000 (ms, 5 runs)")
    lines = runner.format_profile({"gemm_fp32": 6.0, "relu": 2.0}, runs=2)
    assert lines == ["  gemm_fp32     3.0000 ms   75.0%", "  relu          1.0000 ms   25.0%"]


def two_input_model(tmp_path):
    g = Graph("two")
    a = g.input("a", (4,))
    b = g.input("b", (4,))
    g.output(g.node("add_fp32", "sum", inputs=[a, b]))
    g.save(tmp_path / "two.json")
    w1x1.save(tmp_path / "two.w1x1", {})
    return str(tmp_path / "two.json"), str(tmp_path / "two.w1x1")


@needs_engine
def test_run_writes_each_output_as_npy(tmp_path, capsys):
    x = np.linspace(-1, 1, 16).astype(np.float32)
    np.save(tmp_path / "x.npy", x.reshape(1, 16))
    with cli.bundled_model() as (arch, weights):
        code, out, err = run(capsys, "run", arch, weights, str(tmp_path / "x.npy"),
                             "-o", str(tmp_path / "out"))
        w = w1x1.load(weights)
        expected = w["fc2.weight"] @ np.maximum(w["fc1.weight"] @ x + w["fc1.bias"], 0) + w["fc2.bias"]
    assert code == 0 and err == ""
    assert out == f"fc2: wrote {tmp_path / 'out' / 'fc2.npy'} (shape [10], float32)\n"
    with cli.bundled_model() as (arch, weights):  # the runner takes path objects too
        model = runner.load_model(pathlib.Path(arch), pathlib.Path(weights))
        np.testing.assert_array_equal(runner.forward(model, {"x": x}, pathlib.Path(arch))["fc2"],
                                      np.load(tmp_path / "out" / "fc2.npy"))
    np.testing.assert_allclose(np.load(tmp_path / "out" / "fc2.npy"), expected, rtol=1e-5, atol=1e-6)

    arch, weights = two_input_model(tmp_path)
    np.savez(tmp_path / "ab.npz", a=np.arange(4.0), b=np.full(4, 10.0))
    code, out, err = run(capsys, "run", arch, weights, str(tmp_path / "ab.npz"), "-o", str(tmp_path))
    assert code == 0, err
    assert np.load(tmp_path / "sum.npy").tolist() == [10.0, 11.0, 12.0, 13.0]


@needs_engine
def test_run_and_bench_bad_inputs_give_one_line_errors(tmp_path, capsys):
    np.save(tmp_path / "short.npy", np.zeros(15, np.float32))
    np.save(tmp_path / "chw.npy", np.zeros((4, 4), np.float32))
    np.save(tmp_path / "text.npy", np.array(["x"] * 16))
    (tmp_path / "junk.npy").write_bytes(b"not numpy")
    np.savez(tmp_path / "ab_wrong.npz", a=np.zeros(4), c=np.zeros(4))
    np.savez(tmp_path / "a_only.npz", a=np.zeros(4))
    two_arch, two_weights = two_input_model(tmp_path)
    with cli.bundled_model() as (arch, weights):
        cases = [
            ([arch, weights, str(tmp_path / "short.npy")],
             "input 'x' expects shape [16] (16 elements), got shape [15] (15 elements)"),
            ([arch, weights, str(tmp_path / "chw.npy")], "got shape [4, 4] (16 elements)"),
            ([arch, weights, str(tmp_path / "text.npy")], "input 'x' is float32, got an array of <U1"),
            ([arch, weights, str(tmp_path / "junk.npy")], "junk.npy: not a numpy .npy/.npz file"),
            ([arch, weights, str(tmp_path / "none.npy")], "none.npy: No such file or directory"),
            ([two_arch, two_weights, str(tmp_path / "short.npy")],
             "the model has 2 inputs (a, b); give them as the arrays of an .npz file"),
            ([two_arch, two_weights, str(tmp_path / "ab_wrong.npz")],
             "holds 'c', which is not an input of the model (inputs: a, b)"),
            ([two_arch, two_weights, str(tmp_path / "a_only.npz")], "has no array for input 'b'"),
            ([str(tmp_path / "none.json"), weights, str(tmp_path / "short.npy")],
             "none.json"),
        ]
        for argv, message in cases:
            for command in (["run", *argv, "-o", str(tmp_path / "out")],
                            ["bench", *argv[:2], "--input", argv[2], "-n", "1"]):
                code, out, err = run(capsys, *command)
                assert code == 2, (command, out, err)
                assert err.startswith("trevalon: error: ") and err.count("\n") == 1, err
                assert message in err, (command, err)
        assert not (tmp_path / "out").exists()  # nothing is written when the input is refused


def _entry_offset(raw: bytes, name: str) -> int:
    """Byte offset of the index entry of tensor `name`."""
    count = int.from_bytes(raw[8:12], "little")
    for k in range(count):
        if raw[12 + 80 * k:12 + 80 * k + 64].rstrip(b"\0") == name.encode():
            return 12 + 80 * k
    raise KeyError(name)


@needs_engine
def test_run_and_bench_name_the_file_and_place_of_what_the_engine_cannot_read(tmp_path, capsys):
    arch, weights = make_model(tmp_path)  # c1 reads .weight, .req_scale (absent), .eff_bias
    raw = pathlib.Path(weights).read_bytes()
    short = tmp_path / "short.w1x1"
    short.write_bytes(raw[:-1])  # c1.eff_bias, the last record, runs past the end
    small = bytearray(raw)
    entry = _entry_offset(raw, "c1.weight")
    small[entry + 72:entry + 76] = (6).to_bytes(4, "little")  # shorter than its 2-d head
    tiny = tmp_path / "tiny.w1x1"
    tiny.write_bytes(bytes(small))
    broken_json = tmp_path / "broken.json"
    broken_json.write_text('{"model": "m",\n  "nodes": [\n    {"name": "a", "op": "conv"},\n  ]\n}')
    np.save(tmp_path / "x.npy", np.zeros((2, 6, 3), np.int8))
    cases = [
        ([arch, str(short)], f"{short}: tensor 'c1.eff_bias': record at offset"),
        ([arch, str(short)], "(the engine stopped with: read error at tensor_data)"),
        ([arch, str(tiny)], f"{tiny}: tensor 'c1.weight': 2 dimensions need 12 bytes, record has 6"),
        ([str(broken_json), weights], f"{broken_json}, line 4, column 3: JSON: unexpected char ']'"),
    ]
    for files, message in cases:
        for command in (["run", *files, str(tmp_path / "x.npy"), "-o", str(tmp_path / "out")],
                        ["bench", *files, "-n", "1"]):
            code, out, err = run(capsys, *command)
            assert code == 2 and err.count("\n") == 1, (command, err)
            assert message in err, (command, err)


def test_dequantize_outputs_turns_recorded_int8_outputs_into_real_values(tmp_path):
    g = Graph("q")
    x = g.input("x", (4,), dtype="int8")
    g.output(g.node("add_int8", "sum", inputs=[x, x]), scale=0.5, zp=-3)
    g.output(g.node("gemm_int8", "head", inputs=[x], C_out=2, C_in=4))  # a float output
    g.save(tmp_path / "q.json")
    q = np.array([-3, -2, 1, 127], np.float32)
    real = runner.dequantize_outputs(tmp_path / "q.json", {"sum": q, "head": np.array([1.5, 2.5])})
    assert real["sum"].dtype == np.float32 and real["sum"].tolist() == [0.0, 0.5, 2.0, 65.0]
    assert real["head"].tolist() == [1.5, 2.5]
    info = runner.read_arch(tmp_path / "q.json")
    assert runner.dequantize_outputs(info, q)["sum"].tolist() == [0.0, 0.5, 2.0, 65.0]  # one array
    assert runner.output_quantization(info) == {"sum": (0.5, -3)}


@needs_engine
def test_bench_reports_latency_profile_and_peak_memory(tmp_path, capsys):
    with cli.bundled_model() as (arch, weights):
        code, out, err = run(capsys, "bench", arch, weights, "-n", "7", "--warmup", "1")
    assert code == 0 and err == ""
    assert "input x: [16] float32, from random values" in out
    assert "latency: median " in out and "(ms, 7 runs)" in out
    profile = out[out.index("per-operation profile"):].splitlines()
    assert profile[1].startswith("  gemm_fp32 ") and profile[1].endswith("100.0%")
    assert "peak resident memory: " in out and "peak/weights" in out

    g = Graph("var")
    g.output(g.node("add_fp32", "s", inputs=[g.input("a", (0, 4)), "a"]))
    g.save(tmp_path / "var.json")
    w1x1.save(tmp_path / "var.w1x1", {})
    code, out, err = run(capsys, "bench", str(tmp_path / "var.json"), str(tmp_path / "var.w1x1"))
    assert code == 2
    assert err == ("trevalon: error: input 'a' has a variable dimension [0, 4]; "
                   "give an input file\n")


def test_run_bench_demo_help(capsys):
    for command, usage in [
        ("run", "usage: trevalon run [-h] [-o OUTDIR] [--wav-rate RATE] [--speed S] [--threads N] "
                "ARCH WEIGHTS INPUT"),
        ("bench", "usage: trevalon bench [-h] [-n N] [--warmup W] [--input INPUT] [--seq-len T] "
                  "[--speed S] [--threads N] ARCH WEIGHTS"),
        ("demo", "usage: trevalon demo [-h] [--threads N]"),
        ("embed", "usage: trevalon embed [-h] [--tokenizer PATH] (--text TEXT | --file F) "
                  "[--out F.npy] [--threads N] ARCH WEIGHTS"),
        ("search", "usage: trevalon search [-h] [--tokenizer PATH] [--file F] [--top K] "
                   "[--threads N] ARCH WEIGHTS QUERY"),
    ]:
        with pytest.raises(SystemExit) as info:
            cli.main([command, "--help"])
        assert info.value.code == 0
        assert usage in " ".join(capsys.readouterr().out.split())
    for argv in (["bench", "a", "b", "-n", "0"], ["bench", "a", "b", "--warmup", "-1"]):
        with pytest.raises(SystemExit) as info:
            cli.main(argv)
        assert info.value.code == 2 and "must be at least" in capsys.readouterr().err


DIGIT_FILES = ["digits_fp32.json", "digits_fp32.w1x1", "digits_int8.json", "digits_int8.w1x1",
               "digits_test.npz"]
MODELS_DIR = ROOT / "python" / "trevalon" / "models"


def test_bundled_digit_models_are_small():
    sizes = {name: (MODELS_DIR / name).stat().st_size for name in DIGIT_FILES}
    assert sum(sizes.values()) < 400_000, sizes


def test_held_out_digits_are_the_ones_training_never_sees():
    pytest.importorskip("sklearn")
    pytest.importorskip("torch")
    from sklearn.datasets import load_digits

    from trevalon import demo

    script = runpy.run_path(str(ROOT / "examples" / "train_digits.py"), run_name="not_main")
    digits = load_digits()
    train_idx, test_idx = script["split"](len(digits.target))
    images, labels = demo.load_sample()
    with np.load(MODELS_DIR / "digits_test.npz") as data:
        index = data["index"]
    assert index.tolist() == test_idx.tolist() and not set(index) & set(train_idx)
    assert np.array_equal(images, digits.images[index].astype(np.uint8))
    assert np.array_equal(labels, digits.target[index])


def demo_accuracies(out):
    rows = {}
    for line in out.splitlines():
        parts = line.split()
        if parts[:1] in (["float32"], ["int8"]) and parts[1].endswith("%"):
            rows[parts[0]] = float(parts[1].rstrip("%"))
    return rows


@needs_engine
def test_demo_int8_accuracy_is_within_one_point_of_float32(capsys):
    code, out, err = run(capsys, "demo")
    assert code == 0 and err == ""
    accuracy = demo_accuracies(out)
    assert accuracy["float32"] > 95.0, out
    assert abs(accuracy["int8"] - accuracy["float32"]) <= 1.0, out
    assert "per-operation profile of the float32 model" in out and "conv_fp32" in out
    assert "per-operation profile of the int8 model" in out and "conv_int8" in out


@needs_engine
def test_demo_needs_neither_torch_nor_sklearn():
    import subprocess
    import sys

    code = ("import sys\n"
            "for name in ('torch', 'sklearn', 'onnx', 'onnxruntime'): sys.modules[name] = None\n"
            "from trevalon import cli\n"
            "sys.exit(cli.main(['demo']))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert set(demo_accuracies(done.stdout)) == {"float32", "int8"}


def test_missing_weights_of_the_transformer_layers():
    """Mandatory tensors of the attention, projection, norm and embedding layers; a float
    projection weight may be stored quantised (".weight_i8" with "w_scales" beside it)."""
    from trevalon.arch import parse_arch
    from trevalon.weights_check import missing_weights

    nodes = [{"name": n, "op": op, "inputs": ["x"], "outputs": [n]} for n, op in [
        ("emb", "bert_embeddings_fp32"), ("att", "attention_int8"), ("p", "seqgemm_fp32"),
        ("q", "seqgemm_fp32"), ("ln", "layernorm_fp32"), ("pp", "patch_prep_fp32")]]
    info = parse_arch({"nodes": nodes})
    have = {"emb.word_weight", "att.w_qkv_i8", "att.w_qkv_scales", "att.w_proj_i8",
            "p.weight_i8", "p.w_scales", "q.weight_i8", "ln.gamma", "pp.cls_token", "pp.pos_embed"}
    assert missing_weights(info, have) == ["emb.pos_weight", "att.w_proj_scales", "q.weight",
                                           "ln.beta"]


def test_info_lists_the_missing_weights_of_the_speech_layers(tmp_path, capsys):
    g = Graph("speech")
    g.input("x", (0, 4))
    g.input("s", (8,))
    g.node("conv1d_fp32", "c", "x", "a", C_out=4, C_in=4, kernel_size=3, padding=1)
    g.node("conv1d_int8", "q", "a", "b", C_out=4, C_in=4, kernel_size=3, padding=1)
    g.node("lstm_fp32", "r", "b", "h", hidden_size=4)
    g.node("ada_in1d_fp32", "n", ["h", "s"], "y", C=4, C_style=8)
    g.output("y")
    arch, weights = tmp_path / "speech.json", tmp_path / "speech.w1x1"
    g.save(arch)
    # The norm's projection stored as int8 rows with their scales counts as present.
    w1x1.save(weights, {"c.bias": np.zeros(4, np.float32), "q.weight_i8": np.zeros((4, 3, 4), np.int8),
                        "n.fc.weight_i8": np.zeros((8, 8), np.int8),
                        "n.fc.w_scales": np.ones(8, np.float32)})
    code, out, _ = run(capsys, "info", str(arch), str(weights))
    assert code == 1
    assert ("missing weights (4): c.weight, q.w_scales, r.weight_ih_l0, r.weight_hh_l0"
            in out.splitlines()), out
