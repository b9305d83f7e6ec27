"""The thread benchmarks run end to end and judge what they measure: bench/threads.py over 1..3
threads on the models it needs no files for, and bench/models.py's summary of ours at N threads
against ours at one and against onnxruntime."""

import importlib.util
import os
import subprocess
import sys
from types import SimpleNamespace

import numpy as np
import pytest

mi = pytest.importorskip("model_inference")

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def bench_module(name: str):
    found = importlib.util.spec_from_file_location(f"bench_{name}", os.path.join(ROOT, "bench", f"{name}.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_threads_bench_times_every_count_with_the_same_bytes_and_plots(tmp_path):
    plot = tmp_path / "speedup.png"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(os.path.abspath(mi.__file__)),
                                                       os.path.join(ROOT, "python")]))
    done = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "threads.py"), "--quick",
                           "--max-threads", "3", "--plot", str(plot)],
                          capture_output=True, text=True, env=env, timeout=900)
    assert done.returncode == 0, done.stderr
    rows = {}
    for line in done.stdout.splitlines():
        for name in ("four convs 28x28", "digits_fp32", "digits_int8", "resnet50 fp32", "decode"):
            if line.startswith(name):
                rows[name] = line[len(name):].split()
    # Measured rows: a unit, a positive median per thread count, the speed-up at 2, same bytes.
    for name in ("four convs 28x28", "digits_fp32", "digits_int8"):
        cells = rows[name]
        assert cells[:3] == ["ms", "per", "forward"], cells
        medians = [float(c) for c in cells[3:6]]
        assert all(m > 0 for m in medians), cells
        # The speed-up is one thread's median over two threads' (within the printed rounding).
        low = (medians[0] - 5e-4) / (medians[1] + 5e-4) - 5e-3
        high = (medians[0] + 5e-4) / (medians[1] - 5e-4) + 5e-3
        assert cells[6].endswith("x") and low <= float(cells[6][:-1]) <= high, cells
        assert cells[7] == "same;", cells  # every count gave the bytes of one thread
        assert cells[-1] in ("ok", "MISS")
    # Models whose files were not given are skipped with the option that supplies them.
    assert rows["resnet50 fp32"][:3] == ["skipped:", "give", "--models"]
    assert rows["decode"][:3] == ["skipped:", "give", "--decoder"]
    if importlib.util.find_spec("matplotlib"):
        assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert "plot skipped" in done.stdout


def test_models_bench_summary_judges_speed_up_peer_ratio_and_bytes(tmp_path, capsys):
    models = bench_module("models")
    models.CASES = tuple(c for c in models.ALL_CASES if c[0] in ("resnet50_fp32", "resnet50_int8", "mobilenet_int8"))
    args = SimpleNamespace(threads=2, outdir=str(tmp_path), workdir=str(tmp_path))
    one = models.ONE_THREAD
    results = {
        ("ours", "resnet50_fp32"): {"times_ms": [50.0, 49.0, 51.0]},
        (one, "resnet50_fp32"): {"times_ms": [100.0, 99.0, 101.0]},
        ("onnxruntime", "resnet50_fp32"): {"times_ms": [80.0]},
        ("ours", "resnet50_int8"): {"times_ms": [70.0]},
        (one, "resnet50_int8"): {"times_ms": [100.0]},
        ("onnxruntime", "resnet50_int8"): {"times_ms": [70.0]},
    }
    out = np.arange(10, dtype=np.float32)
    np.save(models.output_path(args, "ours", "resnet50_fp32"), out)
    np.save(models.output_path(args, one, "resnet50_fp32"), out)
    np.save(models.output_path(args, "ours", "resnet50_int8"), out)
    np.save(models.output_path(args, one, "resnet50_int8"), np.nextafter(out, np.float32(20)))
    models.thread_summary(results, args)
    lines = {line.split()[0]: line.split()[1:] for line in capsys.readouterr().out.splitlines()[2:]}
    assert lines["resnet50_fp32"] == ["100.00", "50.00", "2.00x", "ok", "0.62x", "ok", "same", "bytes"]
    assert lines["resnet50_int8"] == ["100.00", "70.00", "1.43x", "MISS", "1.00x", "MISS", "DIFFERENT", "BYTES"]
    assert lines["mobilenet_int8"] == ["not", "run"]


def test_threads_bench_decode_times_single_tokens_and_compares_tokens_and_logits(tmp_path):
    pytest.importorskip("torch")
    pytest.importorskip("transformers")
    from test_decoder_export import llama

    from trevalon.export import export_decoder

    threads = bench_module("threads")
    export_decoder(llama(hidden_size=128, intermediate_size=384), tmp_path / "d.json", tmp_path / "d.w1x1",
                   quantize=True, max_positions=64)
    work = threads.Decode("decode", (1.5, "x"), str(tmp_path / "d"), token_ids=(3, 250))
    work.setup(mi)
    try:
        assert len(work.time(5)) == 5  # one time per generated token
        first = work.output()
        assert work.output() == first  # the cache is reset: each call decodes from the prompt again
    finally:
        work.close()
    r = threads.measure(work, mi, [1, 2, 3], SimpleNamespace(rounds=2, warmup=1, repeats=4))
    assert all(m > 0 for m in r["medians"].values())
    assert r["same"] == {1: True, 2: True, 3: True}
    assert mi.get_num_threads() == 1  # measure leaves the engine as it found it


def test_generate_bench_summary_judges_decode_speed_up_and_tokens():
    generate = bench_module("generate")
    at = generate.ONE_THREAD
    results = {
        "ours_fp32": {"decode_tps": 48.0, "prefill_tps": 300.0, "tokens": [5, 6, 7]},
        "ours_fp32" + at: {"decode_tps": 30.0, "prefill_tps": 160.0, "tokens": [5, 6, 7]},
        "ours_int8": {"decode_tps": 36.0, "prefill_tps": 200.0, "tokens": [5, 6, 8]},
        "ours_int8" + at: {"decode_tps": 30.0, "prefill_tps": 100.0, "tokens": [5, 6, 7]},
        "torch": {"decode_tps": 10.0, "prefill_tps": 50.0, "tokens": [5, 6, 7]},
    }
    lines = generate.thread_summary(results, ["ours_fp32", "ours_int8", "torch"], 2)
    assert lines[1:] == ["  ours_fp32: decode 1.60x (ok), prefill 1.88x; same greedy tokens",
                         "  ours_int8: decode 1.20x (MISS), prefill 2.00x; DIFFERENT greedy tokens"]
