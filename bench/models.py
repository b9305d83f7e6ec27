"""Whole-model benchmark against the engines users have: resnet50 float32 and int8 and the
MobileNet-style network int8 at 224x224, and the transformer encoders BERT-base (sequence
length 128) and ViT-B/16 (224x224) in float32 and int8, every engine at the same number of
threads (one by default), the same weights in every engine, each engine timed and measured for
peak memory in its own process.

    python3 bench/models.py [--threads N] [--repeats N] [--warmup W] [--rounds R] [--quick]
                            [--cases NAME,...] [--workdir DIR [--reuse]]

With --threads N (N > 1) ours runs at N threads (model_inference.set_num_threads), onnxruntime
with intra_op_num_threads=N (one inter-op thread) and torch with torch.set_num_threads(N); ours
also runs at one thread in the same rounds, and the report gives our speed-up over it beside our
ratio to onnxruntime at N, and checks that our outputs are the same bytes at both counts.

Needs torch, onnx and onnxruntime (plus the exporter's own needs; transformers for the
encoders) and the built engine on the path (PYTHONPATH=build/<dir>:python). Run by hand; the
convolutional cases take a few minutes, the encoders a few more (--cases bert,vit selects them).

Every network is built once with a fixed seed. Our files come from trevalon.export, the ONNX
files from torch.onnx.export of the same module, and torch runs the module itself. The int8
convolutional networks are quantised statically (onnxruntime's QDQ quantisation calibrated on
the same images as ours, torch's fbgemm post-training quantisation); the int8 encoders keep
float activations quantised per row as they run, so their peer is onnxruntime's dynamic
quantisation of the float ONNX model.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

SEED = 20240917
TOP_LAYERS = 8  # our slowest layers listed per model
SEQ_LEN = 128  # tokens of the text encoder's input
# (model, network, quantised, engines) in the order of the report.
ALL_CASES = (
    ("resnet50_fp32", "resnet50", False, ("ours", "onnxruntime", "torch")),
    ("resnet50_int8", "resnet50", True, ("ours", "onnxruntime", "torch")),
    ("mobilenet_int8", "mobilenet_style", True, ("ours", "onnxruntime")),
    ("bert_base_fp32", "bert_base", False, ("ours", "onnxruntime", "torch")),
    ("bert_base_int8", "bert_base", True, ("ours", "onnxruntime")),
    ("vit_b16_fp32", "vit_b16", False, ("ours", "onnxruntime", "torch")),
    ("vit_b16_int8", "vit_b16", True, ("ours", "onnxruntime")),
)
CASES = ALL_CASES  # narrowed by --cases
ONNX_DYNAMO = True  # torch.onnx.export's default exporter; --onnx-legacy picks the TorchScript one
TRANSFORMERS = ("bert_base", "vit_b16")  # networks of the transformers package
# Targets at N threads: at least this speed-up over our one thread, at most this ratio of our
# median to onnxruntime's (both at N), for these models.
SPEEDUP_TARGET = 1.8
PEER_RATIO_TARGET = 0.85
THREAD_TARGET_MODELS = ("resnet50_fp32", "resnet50_int8", "bert_base_fp32", "vit_b16_fp32")
ONE_THREAD = "ours 1 thread"  # the row of ours at one thread when --threads is above 1


def network_of(model: str) -> str:
    return next(n for m, n, _, _ in ALL_CASES if m == model)


# --------------------------------------------------------------------------------------------
# Worker: one engine, one model, in a fresh process, so ru_maxrss is that engine's own peak.

def current_rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def bench_input(size: int) -> np.ndarray:
    """The image every engine classifies, NCHW float32 (ours takes its HWC transpose)."""
    return np.random.default_rng(SEED + 1).standard_normal((1, 3, size, size)).astype(np.float32)


def bench_tokens() -> np.ndarray:
    """The token ids every engine encodes, (1, SEQ_LEN) int64: [CLS], words, [SEP]."""
    ids = np.random.default_rng(SEED + 1).integers(1000, 30000, size=(1, SEQ_LEN))
    ids[0, 0], ids[0, -1] = 101, 102
    return ids.astype(np.int64)


def network_input(network: str, size: int) -> np.ndarray:
    if network == "bert_base":
        return bench_tokens()
    return bench_input(224 if network == "vit_b16" else size)


def worker(engine: str, model: str, workdir: str, runs: int, warmup: int, size: int,
           threads: int, outdir: str) -> dict:
    from trevalon import runner

    x = network_input(network_of(model), size)
    baseline = None
    profile = None
    if engine == "ours":
        engine_module = runner.engine_module()
        engine_module.set_num_threads(threads)
        baseline = current_rss_bytes()
        m = engine_module.InferenceModel(os.path.join(workdir, f"{model}.json"),
                                         os.path.join(workdir, f"{model}.w1x1"))
        input_spec = m.inputs[0]
        if x.ndim == 2:  # token ids, as float32 values
            hwc = x[0].astype(np.float32)
        else:
            hwc = np.ascontiguousarray(x[0].transpose(1, 2, 0))
        if input_spec.dtype == "int8":
            # Quantised inside the timed call, as the peers' graphs quantise their float input.
            inverse = np.float32(1.0 / input_spec.scale)

            def call():
                q = np.rint(hwc * inverse)
                q += input_spec.zp
                np.clip(q, -128, 127, out=q)
                return m.forward(q.astype(np.int8))
        else:
            call = lambda: m.forward(hwc)  # noqa: E731
    elif engine == "onnxruntime":
        import onnxruntime as ort
        baseline = current_rss_bytes()
        options = ort.SessionOptions()
        options.intra_op_num_threads = threads
        options.inter_op_num_threads = 1
        options.execution_mode = ort.ExecutionMode.ORT_SEQUENTIAL
        options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
        session = ort.InferenceSession(os.path.join(workdir, f"{model}.onnx"), options,
                                       providers=["CPUExecutionProvider"])
        name = session.get_inputs()[0].name
        call = lambda: session.run(None, {name: x})[0]  # noqa: E731
    elif engine == "torch":
        import torch
        torch.set_num_threads(threads)
        torch.backends.quantized.engine = "fbgemm"
        baseline = current_rss_bytes()
        net = torch.jit.load(os.path.join(workdir, f"{model}.torch.pt"))
        net.eval()
        tx = torch.from_numpy(x)

        def call():
            with torch.inference_mode():
                return net(tx).numpy()
    else:
        raise SystemExit(f"unknown engine {engine}")

    loaded = current_rss_bytes()
    for _ in range(warmup):
        call()
    if engine == "ours":
        m.reset_profile()
    times = runner.time_calls(call, runs).times_ms
    layers = None
    if engine == "ours":
        profile = {op: ms / runs for op, ms in m.op_profile().items()}
        layers = {name: ms / runs for name, ms in m.layer_profile().items()}
    output = np.asarray(call(), np.float32).reshape(-1)
    np.save(os.path.join(outdir, f"out_{engine}_{threads}_{model}.npy"), output)
    return {"times_ms": times, "peak_rss": runner.peak_rss_bytes(), "baseline_rss": baseline,
            "loaded_rss": loaded, "final_rss": current_rss_bytes(), "profile": profile,
            "layers": layers}


# --------------------------------------------------------------------------------------------
# Building the models: one torch module per network, exported to every engine's format.

def calibration_images(count: int, size: int) -> np.ndarray:
    return np.random.default_rng(SEED + 2).standard_normal((count, 3, size, size)).astype(
        np.float32)


# The networks: torchvision's ResNet-50 layout, and the MobileNet-style network at full width
# with an ImageNet-sized head.
NETWORKS = {"resnet50": {}, "mobilenet_style": {"num_classes": 1000, "width": 1.0,
                                                "last_channels": 1280}}


def build_network(name: str, calib: np.ndarray):
    """Random weights (fixed seed) and batch-norm statistics measured on the calibration images,
    so that activations keep a realistic scale through the depth of the network."""
    import torch
    from trevalon.export import nets

    if name in TRANSFORMERS:
        return build_encoder(name)
    torch.manual_seed(SEED)
    net = getattr(nets, name)(**NETWORKS[name])
    return nets.set_batchnorm_statistics(net, torch.from_numpy(calib), seed=SEED).eval()


def build_encoder(name: str):
    """BERT-base (the encoder without its pooler: the last hidden state) or ViT-B/16 (the
    classifier: logits), from the default configurations with random weights, wrapped to return
    that one tensor so that every engine runs the same graph."""
    import torch
    from transformers import BertConfig, BertModel, ViTConfig, ViTForImageClassification

    torch.manual_seed(SEED)
    if name == "bert_base":
        model = BertModel(BertConfig(), add_pooling_layer=False)
    else:
        model = ViTForImageClassification(ViTConfig(num_labels=1000))

    class FirstOutput(torch.nn.Module):
        def __init__(self, inner):
            super().__init__()
            self.inner = inner

        def forward(self, x):
            return self.inner(x)[0]

    return FirstOutput(model.eval()).eval()


@contextlib.contextmanager
def output_to(log_path: str):
    """Send everything written to stdout and stderr (Python and C++) to a log file."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(1), os.dup(2)
    with open(log_path, "a") as log:
        os.dup2(log.fileno(), 1)
        os.dup2(log.fileno(), 2)
        try:
            yield
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])


def export_ours(net, model: str, quantize: bool, workdir: str, calib: np.ndarray) -> None:
    import torch
    from trevalon.export import export_model, export_transformer

    if network_of(model) in TRANSFORMERS:
        export_transformer(net.inner, os.path.join(workdir, f"{model}.json"),
                           os.path.join(workdir, f"{model}.w1x1"), name=model, quantize=quantize,
                           pooler=False)
        return

    example = torch.from_numpy(calib[:1])
    export_model(net, example, os.path.join(workdir, f"{model}.json"),
                 os.path.join(workdir, f"{model}.w1x1"), name=model, quantize=quantize,
                 calibration_data=torch.from_numpy(calib) if quantize else None, progress=False)


def export_onnx(net, model: str, quantize: bool, workdir: str, calib: np.ndarray) -> None:
    import torch

    path = os.path.join(workdir, f"{model}.onnx")
    float_path = path if not quantize else os.path.join(workdir, f"{model}.float.onnx")
    network = network_of(model)
    encoder = network in TRANSFORMERS
    example = torch.from_numpy(network_input(network, calib.shape[-1]) if encoder else calib[:1])
    torch.onnx.export(net, (example,), float_path,
                      input_names=["input_ids" if network == "bert_base" else "x"],
                      output_names=["logits"], opset_version=18 if ONNX_DYNAMO else 17,
                      external_data=False, verbose=False, dynamo=ONNX_DYNAMO)
    if quantize and encoder:
        from onnxruntime.quantization import QuantType, quantize_dynamic

        quantize_dynamic(float_path, path, weight_type=QuantType.QInt8)
    elif quantize:
        from onnxruntime.quantization import (CalibrationDataReader, QuantFormat, QuantType,
                                              quantize_static)
        from onnxruntime.quantization.shape_inference import quant_pre_process

        prepared_path = os.path.join(workdir, f"{model}.prepared.onnx")
        quant_pre_process(float_path, prepared_path)  # shape inference and graph clean-up
        float_path = prepared_path

        class Reader(CalibrationDataReader):
            def __init__(self):
                self.items = iter([{"x": calib[k:k + 1]} for k in range(len(calib))])

            def get_next(self):
                return next(self.items, None)

        quantize_static(float_path, path, Reader(), quant_format=QuantFormat.QDQ,
                        per_channel=True, activation_type=QuantType.QUInt8,
                        weight_type=QuantType.QInt8)


def export_torch(net, model: str, quantize: bool, workdir: str, calib: np.ndarray) -> None:
    import copy

    import torch

    network = network_of(model)
    example = torch.from_numpy(network_input(network, calib.shape[-1]) if network in TRANSFORMERS
                               else calib[:1])
    if quantize:
        from torch.ao.quantization import get_default_qconfig_mapping
        from torch.ao.quantization.quantize_fx import convert_fx, prepare_fx

        torch.backends.quantized.engine = "fbgemm"
        prepared = prepare_fx(copy.deepcopy(net), get_default_qconfig_mapping("fbgemm"),
                              (example,))
        with torch.no_grad():
            for k in range(len(calib)):
                prepared(torch.from_numpy(calib[k:k + 1]))
        net = convert_fx(prepared)
    with torch.no_grad():
        traced = torch.jit.trace(net, example, strict=False)
    torch.jit.save(traced, os.path.join(workdir, f"{model}.torch.pt"))


EXPORTERS = {"ours": export_ours, "onnxruntime": export_onnx, "torch": export_torch}


def build_all(workdir: str, size: int, calib_count: int) -> dict[tuple[str, str], str]:
    """Write every engine's files; returns (engine, model) -> the reason it could not be built."""
    import torch

    torch.set_num_threads(1)
    calib = calibration_images(calib_count, size)
    failures = {}
    networks = {}
    log = os.path.join(workdir, "build.log")
    print(f"building the models in {workdir} (exporters' messages go to {log})")
    for model, network, quantize, engines in CASES:
        if network not in networks:
            networks[network] = build_network(network, calib)
            with torch.no_grad():  # the float reference every engine's logits are checked against
                reference = networks[network](torch.from_numpy(network_input(network, size))).numpy()
            np.save(os.path.join(workdir, f"out_reference_{network}.npy"), reference.reshape(-1))
        for engine in engines:
            start = time.perf_counter()
            try:
                with output_to(log):
                    EXPORTERS[engine](networks[network], model, quantize, workdir, calib)
            except Exception as e:  # a peer that cannot produce this model is reported, not fatal
                failures[(engine, model)] = " ".join(str(e).split())[:200]
                print(f"  {engine:<12} {model}: could not build ({failures[(engine, model)]})")
                continue
            print(f"  {engine:<12} {model}: built in {time.perf_counter() - start:.1f} s")
    return failures


# --------------------------------------------------------------------------------------------
# Report.

def row_engine(row: str, args) -> tuple[str, int]:
    """The engine a report row runs and at how many threads."""
    return ("ours", 1) if row == ONE_THREAD else (row, args.threads)


def rows_of(engines: tuple[str, ...], args) -> tuple[str, ...]:
    """Report rows of a case: every engine at --threads, and ours at one thread beside them."""
    if args.threads > 1 and "ours" in engines:
        return ("ours", ONE_THREAD) + tuple(e for e in engines if e != "ours")
    return engines


def run_worker(row: str, model: str, args) -> dict:
    engine, threads = row_engine(row, args)
    command = [sys.executable, os.path.abspath(__file__), "--worker", engine, model,
               "--workdir", args.workdir, "--repeats", str(args.repeats),
               "--warmup", str(args.warmup), "--size", str(args.size),
               "--threads", str(threads), "--outdir", args.outdir]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        tail = (done.stderr.strip().splitlines() or ["(no message)"])[-1]
        return {"error": f"exit {done.returncode}: {tail}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def layer_macs(arch_path: str) -> dict[str, tuple[int, str, str]]:
    """Multiply-accumulates, output shape (H x W x C) and kind of every convolution, fully
    connected, attention and sequence projection node, by following the shapes through the
    architecture file (a variable sequence length is SEQ_LEN)."""
    with open(arch_path) as f:
        arch = json.load(f)
    shapes = {i["name"]: tuple(d or SEQ_LEN for d in i["shape"][1:]) for i in arch["inputs"]}
    macs = {}
    for node in arch["nodes"]:
        h, w, c = shapes[node["inputs"][0]]
        op = node["op"].rsplit("_", 1)[0]
        t = h * w
        p = {k: node.get(k, d) for k, d in (("kH", 1), ("kW", 1), ("stride_h", 1),
                                            ("stride_w", 1), ("pad_h", 0), ("pad_w", 0))}
        if op == "conv" or op == "maxpool":
            if op == "maxpool":
                p = {k: node.get(k, d) for k, d in (("kH", 3), ("kW", 3), ("stride_h", 2),
                                                    ("stride_w", 2), ("pad_h", 0), ("pad_w", 0))}
            h = (h + 2 * p["pad_h"] - p["kH"]) // p["stride_h"] + 1
            w = (w + 2 * p["pad_w"] - p["kW"]) // p["stride_w"] + 1
            if op == "conv":
                groups = node.get("groups", 1)
                k = node["C_in"] // groups * p["kH"] * p["kW"]
                c = node["C_out"]
                if groups > 1:
                    kind = "depthwise" if groups == node["C_in"] else "grouped"
                else:
                    kind = f"{p['kH']}x{p['kW']} stride {p['stride_h']}"
                macs[node["name"]] = (h * w * c * k, f"{h}x{w}x{c}, K={k}", kind)
        elif op == "avgpool":
            h = w = 1
        elif op == "gemm":
            h, w, c = 1, 1, node["C_out"]
            macs[node["name"]] = (c * node["C_in"], f"{c}, K={node['C_in']}", "fully connected")
        elif op == "bert_embeddings":
            c = node.get("emb_size", 128)
        elif op == "patch_prep":
            h, w = t + 1, 1
        elif op == "cls_extract":
            h = w = 1
        elif op == "attention":  # the four projections and the two products of the scores
            macs[node["name"]] = (4 * t * c * c + 2 * t * t * c, f"{t}x{c}, heads {node['num_heads']}",
                                  "attention")
        elif op == "seqgemm":
            c = node["C_out"]
            kind = "projection" + (" + gelu" if node.get("gelu") else "")
            macs[node["name"]] = (t * c * node["C_in"], f"{t}x{c}, K={node['C_in']}", kind)
        for out in node["outputs"]:
            shapes[out] = (h, w, c)
    return macs


def merge(results: dict, key: tuple[str, str], new: dict) -> None:
    """Pool the times of another round; memory figures keep the largest peak's round."""
    old = results.get(key)
    if old is None or "error" in old:
        results[key] = new
    elif "error" not in new:
        times = old["times_ms"] + new["times_ms"]
        results[key] = max(old, new, key=lambda r: r["peak_rss"])
        results[key]["times_ms"] = times


def output_path(args, row: str, model: str) -> str:
    engine, threads = row_engine(row, args)
    return os.path.join(args.outdir, f"out_{engine}_{threads}_{model}.npy")


def agreement(args, row: str, model: str, reference: str) -> str:
    """Largest error of an engine's logits relative to the largest reference logit, and whether
    the top class agrees."""
    try:
        a = np.load(output_path(args, row, model))
        b = np.load(os.path.join(args.workdir, f"out_{reference}.npy"))
    except OSError:
        return ""
    if a.size != b.size:
        return f"{a.size} values, the reference has {b.size}"
    rel = np.max(np.abs(a - b)) / max(np.max(np.abs(b)), 1e-30)
    if network_of(model) == "bert_base":  # a hidden state, not logits
        cosine = float(np.dot(a, b) / max(np.linalg.norm(a) * np.linalg.norm(b), 1e-30))
        return f"{rel:.1e}, cosine {cosine:.6f}"
    same = "same top-1" if np.argmax(a) == np.argmax(b) else "top-1 differs"
    return f"{rel:.1e}, {same}"


def mib(nbytes: float) -> str:
    return f"{nbytes / 2**20:7.1f} MiB"


def median_ms(results: dict, row: str, model: str) -> float | None:
    r = results.get((row, model), {})
    return float(np.median(r["times_ms"])) if "times_ms" in r else None


def thread_summary(results: dict, args) -> None:
    """Our speed-up at N threads over one thread, our ratio to onnxruntime at N, the targets, and
    whether our outputs are the same bytes at both thread counts."""
    n = args.threads
    print(f"\nthreads: ours at {n} against ours at 1, and against onnxruntime at {n} "
          f"(targets for {', '.join(THREAD_TARGET_MODELS)}: speed-up >= {SPEEDUP_TARGET}x, "
          f"ours/onnxruntime <= {PEER_RATIO_TARGET}x)")
    print(f"{'model':<16}{'ours 1 ms':>11}{f'ours {n} ms':>11}{'speed-up':>10}"
          f"{'ours/ort':>10}  outputs at 1 and {n} threads")
    for model, _, _, engines in CASES:
        at_n, at_1 = median_ms(results, "ours", model), median_ms(results, ONE_THREAD, model)
        if at_n is None or at_1 is None:
            print(f"{model:<16}  not run")
            continue
        peer = median_ms(results, "onnxruntime", model)
        speedup = at_1 / at_n
        ratio = at_n / peer if peer else None
        targeted = model in THREAD_TARGET_MODELS
        verdict_s = ("" if not targeted else " ok" if speedup >= SPEEDUP_TARGET else " MISS")
        verdict_r = ("" if not targeted or ratio is None
                     else " ok" if ratio <= PEER_RATIO_TARGET else " MISS")
        try:
            same = np.array_equal(np.load(output_path(args, "ours", model)),
                                  np.load(output_path(args, ONE_THREAD, model)))
            same_text = "same bytes" if same else "DIFFERENT BYTES"
        except OSError:
            same_text = "(outputs missing)"
        ratio_text = f"{ratio:.2f}x" if ratio is not None else "-"
        print(f"{model:<16}{at_1:11.2f}{at_n:11.2f}{f'{speedup:.2f}x':>7}{verdict_s:<3}"
              f"{ratio_text:>7}{verdict_r:<5} {same_text}")


def report(results: dict, failures: dict, args) -> None:
    from trevalon import runner

    threads = "single thread" if args.threads == 1 else f"{args.threads} threads in every engine"
    print(f"\n{threads}, {args.size}x{args.size}x3 input (ViT 224x224x3, BERT {SEQ_LEN} tokens); "
          f"{args.rounds} round(s) of "
          f"{args.repeats} timed runs after {args.warmup} warm-up runs, each round in a new "
          f"process; median latency; peak RSS of each engine's own process")
    print(f"{'model':<16}{'engine':<13}{'median ms':>11}{'min':>9}{'p10..p90 ms':>16}{'ours/peer':>11}"
          f"{'peak RSS':>13}  output vs torch float32: max rel err, top-1 (BERT: cosine)")
    for model, _, _, engines in CASES:
        ours = results.get(("ours", model), {})
        ours_median = float(np.median(ours["times_ms"])) if "times_ms" in ours else None
        reference = "reference_" + next(n for m, n, _, _ in CASES if m == model)
        for engine in rows_of(engines, args):
            r = results.get((engine, model))
            if r is None or "error" in r:
                why = failures.get((engine, model)) or (r or {}).get("error", "not run")
                print(f"{model:<16}{engine:<13}  not run: {why}")
                continue
            t = r["times_ms"]
            median = float(np.median(t))
            spread = f"{np.quantile(t, 0.1):.1f}..{np.quantile(t, 0.9):.1f}"
            ratio = ("" if engine in ("ours", ONE_THREAD) or ours_median is None
                     else f"{ours_median / median:.2f}")
            check = agreement(args, engine, model, reference)
            print(f"{model:<16}{engine:<13}{median:11.2f}{min(t):9.2f}{spread:>16}{ratio:>11}"
                  f"{mib(r['peak_rss']):>13}  {check}")

    if args.threads > 1:
        thread_summary(results, args)

    print("\nour weights files:")
    for model, _, _, _ in CASES:
        path = os.path.join(args.workdir, f"{model}.w1x1")
        if os.path.exists(path):
            print(f"  {model}.w1x1: {mib(os.path.getsize(path)).strip()}")
    r = results.get(("ours", "resnet50_fp32"), {})
    path = os.path.join(args.workdir, "resnet50_fp32.w1x1")
    if "peak_rss" in r and os.path.exists(path):
        size = os.path.getsize(path)
        print(f"  resnet50_fp32 peak RSS / weights file: {r['peak_rss'] / size:.2f} "
              f"(RSS before loading {mib(r['baseline_rss']).strip()}, after loading "
              f"{mib(r['loaded_rss']).strip()}, after the runs {mib(r['final_rss']).strip()}; "
              f"(peak - before loading) / weights: "
              f"{(r['peak_rss'] - r['baseline_rss']) / size:.2f})")
    for model, _, _, _ in CASES:
        r = results.get(("ours", model), {})
        if r.get("profile"):
            print(f"\nour per-op profile, {model} (ms per run, share):")
            print("\n".join(runner.format_profile(r["profile"], 1)))
            total = sum(r["profile"].values())
            macs = layer_macs(os.path.join(args.workdir, f"{model}.json"))
            all_macs = sum(m for m, _, _ in macs.values())
            print(f"  {all_macs / 1e9:.2f} G multiply-adds in all, "
                  f"{all_macs / 1e6 / total:.1f} G/s over the profiled time")
            kinds: dict[str, list[float]] = {}
            for name, (count, _, kind) in macs.items():
                entry = kinds.setdefault(kind, [0.0, 0.0, 0])
                entry[0] += r["layers"].get(name, 0.0)
                entry[1] += count
                entry[2] += 1
            print("  by layer kind (ms per run, share, multiply-adds per second):")
            for kind, (ms, count, n) in sorted(kinds.items(), key=lambda kv: -kv[1][0]):
                rate = f"{count / 1e6 / ms:6.1f} G/s" if ms > 0 else ""
                print(f"    {f'{kind} ({n})':<28}{ms:9.3f} ms {100 * ms / total:5.1f}%  {rate}")
            print("  slowest layers (ms per run, share, multiply-adds per second, output, K):")
            slowest = sorted(r["layers"].items(), key=lambda kv: -kv[1])[:TOP_LAYERS]
            for name, ms in slowest:
                count, shape, _ = macs.get(name, (0, "", ""))
                rate = f"{count / 1e6 / ms:6.1f} G/s  {shape}" if count and ms > 0 else ""
                print(f"    {name:<28}{ms:9.3f} ms {100 * ms / total:5.1f}%  {rate}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=20, help="timed runs per engine (20)")
    parser.add_argument("--warmup", type=int, default=3, help="untimed runs first (3)")
    parser.add_argument("--rounds", type=int, default=3,
                        help="times each engine is started, interleaved; timings are pooled (3)")
    parser.add_argument("--quick", action="store_true",
                        help="1 round of 3 timed runs after 1 warm-up; 4 calibration images")
    parser.add_argument("--size", type=int, default=224, help="input height and width (224)")
    parser.add_argument("--calibration", type=int, default=16,
                        help="calibration images for the int8 models (16)")
    parser.add_argument("--workdir", help="keep the built models here (default: a temporary "
                                          "folder, removed at the end)")
    parser.add_argument("--reuse", action="store_true",
                        help="use the models already in --workdir instead of building them")
    parser.add_argument("--cases", metavar="NAME,...",
                        help="run only the cases whose names contain one of these (e.g. "
                             "'bert,vit' or 'resnet50_fp32'); all by default: "
                             + ", ".join(m for m, _, _, _ in ALL_CASES))
    parser.add_argument("--onnx-legacy", action="store_true",
                        help="export the ONNX models with torch.onnx's TorchScript exporter "
                             "(dynamo=False) instead of its default")
    parser.add_argument("--threads", type=int, default=1,
                        help="threads of every engine (1); above 1, ours also runs at one thread")
    parser.add_argument("--worker", nargs=2, metavar=("ENGINE", "MODEL"), help=argparse.SUPPRESS)
    parser.add_argument("--outdir", help=argparse.SUPPRESS)  # where workers leave their outputs
    args = parser.parse_args()
    if args.reuse and args.workdir is None:
        parser.error("--reuse needs --workdir")
    if args.threads < 1:
        parser.error(f"--threads must be at least 1, not {args.threads}")
    if args.quick:
        args.repeats, args.warmup, args.calibration, args.rounds = 3, 1, 4, 1
    global CASES, ONNX_DYNAMO
    ONNX_DYNAMO = not args.onnx_legacy
    if args.cases:
        wanted = [w.strip() for w in args.cases.split(",") if w.strip()]
        CASES = tuple(c for c in ALL_CASES if any(w in c[0] for w in wanted))
        if not CASES:
            parser.error(f"--cases {args.cases!r} matches none of "
                         + ", ".join(m for m, _, _, _ in ALL_CASES))

    if args.worker:
        result = worker(*args.worker, args.workdir, args.repeats, args.warmup, args.size,
                        args.threads, args.outdir)
        print(json.dumps(result))
        return

    temporary = args.workdir is None
    if temporary:
        args.workdir = tempfile.mkdtemp(prefix="trevalon_bench_")
    os.makedirs(args.workdir, exist_ok=True)
    # Outputs of this run stay out of the model folder, which other runs may share.
    args.outdir = tempfile.mkdtemp(prefix="trevalon_bench_out_")
    try:
        failures = {}
        if not args.reuse:
            failures = build_all(args.workdir, args.size, args.calibration)
        results = {}
        # Rounds interleave the engines, so that a machine busy with other work slows them alike.
        for round_ in range(args.rounds):
            for model, _, _, engines in CASES:
                for engine in rows_of(engines, args):
                    if (row_engine(engine, args)[0], model) in failures:
                        continue
                    print(f"round {round_ + 1}: running {engine} {model}", flush=True)
                    merge(results, (engine, model), run_worker(engine, model, args))
        report(results, failures, args)
    finally:
        shutil.rmtree(args.outdir, ignore_errors=True)
        if temporary:
            shutil.rmtree(args.workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
