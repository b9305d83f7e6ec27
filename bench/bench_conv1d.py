"""Times the one-dimensional convolutions on vocoder shapes against torch, both single-threaded.

Run by hand (not part of CI), with the extension and the package on the path:

    PYTHONPATH=build/<dir>:python python3 bench/bench_conv1d.py [--min-time 0.5] [--only NAME]

Each case is a one-node graph run through model_inference.InferenceModel; "ours" is the layer's own
time from the model's profile (best of several runs), "torch" is torch.nn.functional.conv1d or
conv_transpose1d on the same weights (channels-first, its native layout) with
torch.set_num_threads(1). The path column is the one the layer chose at load (BRASKO_FP32_CONV1D_DIRECT
as set in the environment, or "direct" rows that set it to the case's tap count). GFLOP/s count
2 x C_out x C_in/groups x K x L_out for the direct sum; the last column is torch time / ours (above
1: we are faster).
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import torch

import model_inference as mi
from trevalon import w1x1
from trevalon.graph import Graph

SWITCH = "BRASKO_FP32_CONV1D_DIRECT"


@dataclass
class Case:
    label: str
    C_in: int
    C_out: int
    K: int
    L: int
    stride: int = 1
    dilation: int = 1
    groups: int = 1
    transpose: bool = False
    force_direct: bool = False

    @property
    def padding(self) -> int:
        if self.transpose:
            return (self.K - self.stride) // 2
        return self.dilation * (self.K - 1) // 2

    @property
    def L_out(self) -> int:
        if self.transpose:
            return self.K + self.stride * (self.L - 1) - 2 * self.padding
        return (self.L + 2 * self.padding - self.dilation * (self.K - 1) - 1) // self.stride + 1

    @property
    def flops(self) -> float:
        if self.transpose:
            return 2.0 * self.C_in * self.C_out / self.groups * self.K * self.L
        return 2.0 * self.C_out * self.C_in / self.groups * self.K * self.L_out


def cases() -> list[Case]:
    out = []
    # Residual blocks of a vocoder: 3-, 7- and 11-tap layers at dilations 1, 3, 5 after upsampling
    # (256 channels at 4 000 frames, 128 at 24 000).
    for C, L in ((256, 4000), (128, 24000), (64, 24000)):
        for K in (3, 7, 11):
            for d in (1, 3, 5):
                out.append(Case(f"res C{C} L{L} K{K} d{d}", C, C, K, L, dilation=d))
            out.append(Case(f"res C{C} L{L} K{K} d1 direct", C, C, K, L, force_direct=True))
    out += [
        Case("pre C80->512 K7 L400", 80, 512, 7, 400),
        Case("post C128->22 K7 L24000", 128, 22, 7, 24000),
        Case("pointwise C256 L4000", 256, 256, 1, 4000),
        Case("depthwise C256 K7 L4000", 256, 256, 7, 4000, groups=256),
        Case("grouped C256 g4 K5 L4000", 256, 256, 5, 4000, groups=4),
        Case("strided C128 K4 s2 L24000", 128, 128, 4, 24000, stride=2),
        Case("up 512->256 K20 s10 L400", 512, 256, 20, 400, stride=10, transpose=True),
        Case("up 256->128 K12 s6 L4000", 256, 128, 12, 4000, stride=6, transpose=True),
        Case("up 512->256 K16 s8 L300", 512, 256, 16, 300, stride=8, transpose=True),
        Case("up 256->128 K4 s2 L4000", 256, 128, 4, 4000, stride=2, transpose=True),
    ]
    return out


def best_time(fn, min_time: float, measured=None) -> float:
    fn()
    best, spent, runs = float("inf"), 0.0, 0
    while runs < 3 or spent < min_time:
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best, spent, runs = min(best, measured() if measured else dt), spent + dt, runs + 1
    return best


def our_model(case: Case, w, b, folder: Path):
    g = Graph("bench")
    x = g.input("x", shape=(case.L, case.C_in))
    if case.transpose:
        g.output(g.node("conv_transpose1d_fp32", "conv", inputs=[x], C_out=case.C_out, C_in=case.C_in,
                        kernel_size=case.K, stride=case.stride, padding=case.padding, groups=case.groups))
    else:
        g.output(g.node("conv1d_fp32", "conv", inputs=[x], C_out=case.C_out, C_in=case.C_in,
                        kernel_size=case.K, stride=case.stride, padding=case.padding,
                        dilation=case.dilation, groups=case.groups))
    arch, weights = folder / "bench.json", folder / "bench.w1x1"
    g.save(arch)
    w1x1.save(weights, {"conv.weight": w, "conv.bias": b})
    saved = os.environ.get(SWITCH)
    if case.force_direct:
        os.environ[SWITCH] = str(case.K)
    try:
        return mi.InferenceModel(str(arch), str(weights))
    finally:
        if case.force_direct:
            if saved is None:
                del os.environ[SWITCH]
            else:
                os.environ[SWITCH] = saved


def path_of(case: Case) -> str:
    if case.transpose:
        return "transpose"
    if case.groups > 1:
        return "depthwise" if case.groups == case.C_in == case.C_out else "grouped"
    if case.stride != 1:
        return "general"
    if case.K == 1:
        return "pointwise"
    switch = str(case.K) if case.force_direct else os.environ.get(SWITCH, "")
    from_list = [t for t in switch.replace(",", " ").replace(":", " ").replace(";", " ").split()]
    forbidden = switch in ("1", "all") or (switch[:1] != "0" and switch != "wino" and str(case.K) in from_list)
    winograd = case.K in (3, 7, 11) and case.dilation == 1 and not forbidden
    return "winograd" if winograd else "direct"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--min-time", type=float, default=0.5, help="seconds per measurement")
    parser.add_argument("--only", default="", help="run the cases whose label contains this text")
    args = parser.parse_args()
    torch.set_num_threads(1)
    rng = np.random.default_rng(0)
    print(f"{'case':34} {'path':>9} {'ours ms':>8} {'GFLOP/s':>8} {'torch ms':>9} {'GFLOP/s':>8} {'torch/ours':>10}")
    ratios = []
    with tempfile.TemporaryDirectory() as tmp:
        for case in cases():
            if args.only not in case.label:
                continue
            w_shape = ((case.C_in, case.C_out // case.groups, case.K) if case.transpose
                       else (case.C_out, case.C_in // case.groups, case.K))
            w = (rng.standard_normal(w_shape) / np.sqrt(case.C_in / case.groups * case.K)).astype(np.float32)
            b = (0.1 * rng.standard_normal(case.C_out)).astype(np.float32)
            x = rng.standard_normal((case.L, case.C_in)).astype(np.float32)
            model = our_model(case, w, b, Path(tmp))

            def measured():
                seconds = model.layer_profile()["conv"] * 1e-3
                model.reset_profile()
                return seconds

            ours = best_time(lambda: model.forward(x), args.min_time, measured)
            xt = torch.from_numpy(np.ascontiguousarray(x.T[None]))
            wt, bt = torch.from_numpy(w), torch.from_numpy(b)
            with torch.inference_mode():
                if case.transpose:
                    peer = best_time(lambda: torch.nn.functional.conv_transpose1d(
                        xt, wt, bt, stride=case.stride, padding=case.padding, groups=case.groups), args.min_time)
                else:
                    peer = best_time(lambda: torch.nn.functional.conv1d(
                        xt, wt, bt, stride=case.stride, padding=case.padding, dilation=case.dilation,
                        groups=case.groups), args.min_time)
            ratios.append(peer / ours)
            print(f"{case.label:34} {path_of(case):>9} {ours * 1e3:8.2f} {case.flops / ours * 1e-9:8.1f} "
                  f"{peer * 1e3:9.2f} {case.flops / peer * 1e-9:8.1f} {peer / ours:10.2f}", flush=True)
    if ratios:
        print(f"geometric mean torch/ours: {np.exp(np.mean(np.log(ratios))):.2f} over {len(ratios)} cases")


if __name__ == "__main__":
    main()
