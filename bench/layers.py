"""Times single convolution layers on real model shapes and compares them with a peer engine.

Run by hand (not part of CI), with the extension and the package on the path:

    PYTHONPATH=build/<dir>:python python3 bench/layers.py [--min-time 1.0] [--only fp32|int8]

Each case is a one-node graph run through model_inference.InferenceModel. "ours" is the layer's own
time as the model's profile measures it around the layer's forward (best of several runs); "call"
is the whole forward() call, which adds copying the input in and the output out. GFLOP/s count
2 x C_out x C_in/groups x kH x kW x out_h x out_w flops. When onnxruntime is installed, the same
convolution is built with onnx.helper and timed single-threaded (session.run) in the same run;
the last column is peer time / our layer time (above 1: we are faster).
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import model_inference as mi
from trevalon import w1x1
from trevalon.graph import Graph

try:
    import onnx
    import onnxruntime as ort
    from onnx import TensorProto, helper
except ImportError:  # the peer is optional
    onnx = ort = None


@dataclass
class Case:
    label: str
    H: int
    W: int
    C_in: int
    C_out: int
    k: int
    stride: int = 1
    pad: int = 0
    groups: int = 1

    @property
    def out_hw(self) -> tuple[int, int]:
        return ((self.H + 2 * self.pad - self.k) // self.stride + 1,
                (self.W + 2 * self.pad - self.k) // self.stride + 1)

    @property
    def flops(self) -> float:
        oh, ow = self.out_hw
        return 2.0 * self.C_out * (self.C_in // self.groups) * self.k * self.k * oh * ow


RESNET50 = [
    Case("resnet50 stem 7x7/2", 224, 224, 3, 64, 7, 2, 3),
    Case("resnet50 3x3 56", 56, 56, 64, 64, 3, 1, 1),
    Case("resnet50 3x3 28", 28, 28, 128, 128, 3, 1, 1),
    Case("resnet50 3x3 14", 14, 14, 256, 256, 3, 1, 1),
    Case("resnet50 3x3 7", 7, 7, 512, 512, 3, 1, 1),
    Case("resnet50 3x3/2 56->28", 56, 56, 128, 128, 3, 2, 1),
    Case("resnet50 1x1 64->256 56", 56, 56, 64, 256, 1),
    Case("resnet50 1x1 128->512 28", 28, 28, 128, 512, 1),
    Case("resnet50 1x1 256->1024 14", 14, 14, 256, 1024, 1),
    Case("resnet50 1x1 512->2048 7", 7, 7, 512, 2048, 1),
]

MOBILENET_DEPTHWISE = [
    Case("mobilenet dw3x3 112", 112, 112, 32, 32, 3, 1, 1, 32),
    Case("mobilenet dw3x3/2 112->56", 112, 112, 64, 64, 3, 2, 1, 64),
    Case("mobilenet dw3x3 56", 56, 56, 128, 128, 3, 1, 1, 128),
    Case("mobilenet dw3x3 28", 28, 28, 256, 256, 3, 1, 1, 256),
    Case("mobilenet dw3x3 14", 14, 14, 512, 512, 3, 1, 1, 512),
    Case("mobilenet dw3x3 7", 7, 7, 1024, 1024, 3, 1, 1, 1024),
]


def best_time(fn, min_time: float, measured=None) -> float:
    """Best of repeated runs after a warm-up; at least 3 runs and `min_time` seconds in total.
    `measured`, when given, returns the seconds of the part of the last run that counts."""
    fn()
    fn()
    best, spent, runs = float("inf"), 0.0, 0
    while runs < 3 or spent < min_time:
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best, spent, runs = min(best, measured() if measured else dt), spent + dt, runs + 1
    return best


def layer_seconds(model, op: str) -> float:
    """The layer's time in the last forward (the profile is reset before every call)."""
    seconds = model.op_profile()[op] * 1e-3
    model.reset_profile()
    return seconds


# ---- our engine ------------------------------------------------------------------------------------

def our_model(case: Case, dtype: str, folder: Path, rng):
    g = Graph("bench")
    x = g.input("x", shape=(case.H, case.W, case.C_in), dtype=dtype)
    params = dict(C_out=case.C_out, C_in=case.C_in, kH=case.k, kW=case.k, stride_h=case.stride,
                  stride_w=case.stride, pad_h=case.pad, pad_w=case.pad, groups=case.groups)
    w_shape = (case.C_out, case.C_in // case.groups, case.k, case.k)
    if dtype == "float32":
        g.output(g.node("conv_fp32", "conv", inputs=[x], **params))
        weights = {"conv.weight": (rng.standard_normal(w_shape) * 0.05).astype(np.float32),
                   "conv.bias": rng.standard_normal(case.C_out).astype(np.float32)}
    else:
        g.output(g.node("conv_int8", "conv", inputs=[x], in_zp=0, out_zp=0, **params))
        weights = {"conv.weight": rng.integers(-127, 128, w_shape, dtype=np.int8),
                   "conv.req_scale": np.full(case.C_out, 1e-3, np.float32),
                   "conv.eff_bias": rng.integers(-1000, 1000, case.C_out, dtype=np.int64)}
    arch, weights_path = folder / f"{dtype}.json", folder / f"{dtype}.w1x1"
    g.save(arch)
    w1x1.save(weights_path, weights)
    return mi.InferenceModel(str(arch), str(weights_path))  # profiling is on


def our_input(case: Case, dtype: str, rng):
    if dtype == "float32":
        return rng.standard_normal((case.H, case.W, case.C_in)).astype(np.float32)
    return rng.integers(-128, 128, (case.H, case.W, case.C_in), dtype=np.int8)


# ---- the peer ----------------------------------------------------------------------------------------

def peer_session(case: Case, dtype: str, rng):
    """A single-threaded session running the same convolution (NCHW), or None."""
    if ort is None:
        return None
    w_shape = (case.C_out, case.C_in // case.groups, case.k, case.k)
    attrs = dict(kernel_shape=[case.k, case.k], strides=[case.stride] * 2, pads=[case.pad] * 4,
                 group=case.groups)
    oh, ow = case.out_hw
    if dtype == "float32":
        w = (rng.standard_normal(w_shape) * 0.05).astype(np.float32)
        b = rng.standard_normal(case.C_out).astype(np.float32)
        inits = [helper.make_tensor("w", TensorProto.FLOAT, w_shape, w.ravel()),
                 helper.make_tensor("b", TensorProto.FLOAT, [case.C_out], b)]
        node = helper.make_node("Conv", ["x", "w", "b"], ["y"], **attrs)
        elem = TensorProto.FLOAT
    else:
        w = rng.integers(-127, 128, w_shape, dtype=np.int8)
        # Activations as uint8 with zero point 128 (the peer's fast x86 combination with int8
        # weights); the arithmetic is that of int8 activations with zero point 0.
        inits = [helper.make_tensor("xs", TensorProto.FLOAT, [], [0.02]),
                 helper.make_tensor("xz", TensorProto.UINT8, [], [128]),
                 helper.make_tensor("w", TensorProto.INT8, w_shape, w.ravel().tolist()),
                 helper.make_tensor("ws", TensorProto.FLOAT, [case.C_out], [0.01] * case.C_out),
                 helper.make_tensor("wz", TensorProto.INT8, [case.C_out], [0] * case.C_out),
                 helper.make_tensor("ys", TensorProto.FLOAT, [], [0.05]),
                 helper.make_tensor("yz", TensorProto.UINT8, [], [128])]
        node = helper.make_node("QLinearConv", ["x", "xs", "xz", "w", "ws", "wz", "ys", "yz"], ["y"],
                                **attrs)
        elem = TensorProto.UINT8
    graph = helper.make_graph(
        [node], "conv", [helper.make_tensor_value_info("x", elem, [1, case.C_in, case.H, case.W])],
        [helper.make_tensor_value_info("y", elem, [1, case.C_out, oh, ow])], initializer=inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    options = ort.SessionOptions()
    options.intra_op_num_threads = 1
    options.inter_op_num_threads = 1
    options.execution_mode = ort.ExecutionMode.ORT_SEQUENTIAL
    options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
    try:
        session = ort.InferenceSession(model.SerializeToString(), options,
                                       providers=["CPUExecutionProvider"])
        x = (rng.standard_normal((1, case.C_in, case.H, case.W)).astype(np.float32) if dtype == "float32"
             else rng.integers(0, 256, (1, case.C_in, case.H, case.W), dtype=np.uint8))
        session.run(None, {"x": x})
    except Exception as e:  # the peer may not implement this combination
        print(f"    peer cannot run {case.label} ({dtype}): {str(e).splitlines()[0][:100]}",
              file=sys.stderr)
        return None
    return lambda: session.run(None, {"x": x})


# ---- driver ------------------------------------------------------------------------------------------

def int8_available(folder: Path) -> bool:
    """The int8 convolution is timed only when the engine builds and runs it."""
    try:
        model = our_model(Case("probe", 4, 4, 4, 4, 3, 1, 1), "int8", folder, np.random.default_rng(0))
        return model.forward(np.zeros((4, 4, 4), np.int8)).size == 64
    except RuntimeError:
        return False


def run(cases, dtype: str, min_time: float, folder: Path) -> None:
    print(f"\n{'layer (' + dtype + ')':34} {'call ms':>8} {'ours ms':>8} {'GFLOP/s':>8} {'peer ms':>8} "
          f"{'GFLOP/s':>8} {'speed-up':>9}")
    op = "conv_fp32" if dtype == "float32" else "conv_int8"
    rng = np.random.default_rng(0)
    for case in cases:
        model = our_model(case, dtype, folder, rng)
        x = our_input(case, dtype, rng)
        call = best_time(lambda: model.forward(x), min_time)
        model.reset_profile()
        ours = best_time(lambda: model.forward(x), min_time, lambda: layer_seconds(model, op))
        del model
        peer_fn = peer_session(case, dtype, rng)
        peer = best_time(peer_fn, min_time) if peer_fn else None
        line = f"{case.label:34} {call * 1e3:8.3f} {ours * 1e3:8.3f} {case.flops / ours * 1e-9:8.1f}"
        if peer:
            line += f" {peer * 1e3:8.3f} {case.flops / peer * 1e-9:8.1f} {peer / ours:9.2f}"
        else:
            line += f" {'-':>8} {'-':>8} {'-':>9}"
        print(line, flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--min-time", type=float, default=0.5, help="seconds of timed runs per case")
    parser.add_argument("--only", choices=["fp32", "int8"], help="run one element type only")
    args = parser.parse_args()
    print(f"backend {mi.active_backend()}; peer: "
          f"{'onnxruntime ' + ort.__version__ + ' (1 thread)' if ort else 'none (onnxruntime missing)'}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        if args.only != "int8":
            run(RESNET50, "float32", args.min_time, folder)
        if args.only != "fp32":
            if int8_available(folder):
                run(RESNET50 + MOBILENET_DEPTHWISE, "int8", args.min_time, folder)
            else:
                print("\nconv_int8 is not available in this build; int8 cases skipped")


if __name__ == "__main__":
    main()
