"""Times conv_int8 on ResNet-50 3x3 and MobileNet depthwise shapes, next to conv_fp32 where the float
layer exists (groups 1), and prints GOP/s (2 x C_out x C_in/groups x kH x kW x out_h x out_w
operations per call) and the int8 speed-up.

    PYTHONPATH=build/<dir>:python python3 bench/conv_int8.py [--min-time 0.5]

Each case is a one-node graph run through model_inference.InferenceModel; the layer's own time
comes from the model's per-operation profile (without the copies into and out of numpy), and the
best of the timed calls counts.
"""

from __future__ import annotations

import argparse
import tempfile
import time
from pathlib import Path

import numpy as np

import model_inference as mi
from trevalon import w1x1
from trevalon.graph import Graph

# label, H = W, C_in, C_out, kernel, stride, pad, groups
CASES = [
    ("resnet50 3x3 56x56x64", 56, 64, 64, 3, 1, 1, 1),
    ("resnet50 3x3 28x28x128", 28, 128, 128, 3, 1, 1, 1),
    ("resnet50 3x3 14x14x256", 14, 256, 256, 3, 1, 1, 1),
    ("resnet50 3x3 7x7x512", 7, 512, 512, 3, 1, 1, 1),
    ("resnet50 3x3/2 56x56x128", 56, 128, 128, 3, 2, 1, 1),
    ("mobilenet dw 112x112x32", 112, 32, 32, 3, 1, 1, 32),
    ("mobilenet dw/2 112x112x64", 112, 64, 64, 3, 2, 1, 64),
    ("mobilenet dw 56x56x128", 56, 128, 128, 3, 1, 1, 128),
    ("mobilenet dw 28x28x256", 28, 256, 256, 3, 1, 1, 256),
    ("mobilenet dw 14x14x512", 14, 512, 512, 3, 1, 1, 512),
    ("mobilenet dw 7x7x1024", 7, 1024, 1024, 3, 1, 1, 1024),
]


def build(folder: Path, tag: str, case, int8: bool, rng) -> mi.InferenceModel:
    _, hw, c_in, c_out, k, stride, pad, groups = case
    g = Graph(tag)
    x = g.input("x", shape=(hw, hw, c_in), dtype="int8" if int8 else "float32")
    params = dict(C_out=c_out, C_in=c_in, kH=k, kW=k, stride_h=stride, stride_w=stride, pad_h=pad,
                  pad_w=pad, groups=groups)
    shape = (c_out, c_in // groups, k, k)
    if int8:
        g.output(g.node("conv_int8", "conv", inputs=[x], in_zp=3, out_zp=-2, **params))
        weights = {"conv.weight": rng.integers(-128, 128, shape, dtype=np.int8),
                   "conv.req_scale": np.full(c_out, 2e-4, np.float32),
                   "conv.eff_bias": rng.integers(-5000, 5000, c_out, dtype=np.int64)}
    else:
        g.output(g.node("conv_fp32", "conv", inputs=[x], **params))
        weights = {"conv.weight": rng.standard_normal(shape).astype(np.float32),
                   "conv.bias": rng.standard_normal(c_out).astype(np.float32)}
    g.save(folder / f"{tag}.json")
    w1x1.save(folder / f"{tag}.w1x1", weights)
    return mi.InferenceModel(str(folder / f"{tag}.json"), str(folder / f"{tag}.w1x1"))


def best_seconds(model, op: str, x, min_time: float) -> float:
    model.forward(x)  # buffers and per-thread work vectors grow once
    best, start, calls = float("inf"), time.perf_counter(), 0
    while calls < 5 or time.perf_counter() - start < min_time:
        model.reset_profile()
        model.forward(x)
        best = min(best, model.op_profile()[op] * 1e-3)
        calls += 1
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--min-time", type=float, default=0.5, help="seconds of timed calls per case")
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    print(f"{'layer':28} {'int8 ms':>8} {'GOP/s':>7} {'fp32 ms':>8} {'GOP/s':>7} {'int8 x':>7}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        for i, case in enumerate(CASES):
            label, hw, c_in, c_out, k, stride, pad, groups = case
            out = (hw + 2 * pad - k) // stride + 1
            ops = 2.0 * c_out * (c_in // groups) * k * k * out * out
            xi = rng.integers(-128, 128, (hw, hw, c_in), dtype=np.int8)
            t8 = best_seconds(build(folder, f"i{i}", case, True, rng), "conv_int8", xi, args.min_time)
            line = f"{label:28} {t8 * 1e3:8.3f} {ops / t8 * 1e-9:7.1f}"
            if groups == 1:  # the float layer refuses grouped convolutions
                xf = rng.standard_normal((hw, hw, c_in)).astype(np.float32)
                t32 = best_seconds(build(folder, f"f{i}", case, False, rng), "conv_fp32", xf, args.min_time)
                line += f" {t32 * 1e3:8.3f} {ops / t32 * 1e-9:7.1f} {t32 / t8:7.2f}"
            print(line)


if __name__ == "__main__":
    main()
