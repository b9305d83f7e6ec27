"""The vocoder's waveform layers on 5 s of 24 kHz audio, single thread: STFT and iSTFT against
torch.stft / torch.istft, and the harmonic sine source against the same steps in torch.

    PYTHONPATH=build/dev:python python bench/bench_waveform.py [--seconds 5] [--repeat 15]

Prints the median time of each and the ratio ours / torch (below 1: we are faster)."""

import argparse
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
import torch
import torch.nn.functional as F

import model_inference as mi
from trevalon import w1x1
from trevalon.graph import Graph


def median_ms(fn, repeat):
    fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def build(folder, name, graph):
    arch, weights = Path(folder) / f"{name}.json", Path(folder) / f"{name}.w1x1"
    graph.save(arch)
    w1x1.save(weights, {})
    return mi.InferenceModel(str(arch), str(weights))


def torch_sine(f0, rate, harmonics, amp, threshold, U):
    """The upsampled source as a torch model computes it: per-sample cycle fractions, linear
    downsampling, a running sum, linear upsampling, sine."""
    fn = f0[None, :, None] * torch.arange(1, harmonics + 2)[None, None, :]
    rad = (fn / rate) % 1
    rad = F.interpolate(rad.transpose(1, 2), scale_factor=1 / U, mode="linear").transpose(1, 2)
    phase = torch.cumsum(rad, dim=1) * 2 * torch.pi
    phase = F.interpolate(phase.transpose(1, 2) * U, scale_factor=U, mode="linear").transpose(1, 2)
    voiced = (f0 > threshold)[None, :, None]
    return torch.sin(phase) * amp * voiced


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--repeat", type=int, default=15)
    args = ap.parse_args()
    torch.set_num_threads(1)
    rate = 24000
    L = int(args.seconds * rate)
    rng = np.random.default_rng(0)
    x = (rng.standard_normal(L) * 0.3).astype(np.float32)
    t = np.arange(L)
    f0 = (150 + 40 * np.sin(t / 3000.0)).astype(np.float32)
    f0[(t // 9000) % 5 == 4] = 0

    print(f"{args.seconds:g} s at {rate} Hz ({L} samples), single thread, median of {args.repeat}")
    print(f"{'case':34s} {'ours ms':>9s} {'torch ms':>9s} {'ours/torch':>10s}")
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for n_fft, hop in [(20, 5), (16, 4)]:
            window = torch.hann_window(n_fft)
            g = Graph("stft")
            g.output(g.node("stft_fp32", "stft", inputs=[g.input("x", shape=(0, 1))], n_fft=n_fft, hop_size=hop))
            stft = build(folder, f"stft{n_fft}", g)
            bins = n_fft // 2 + 1
            g = Graph("istft")
            m, p = g.input("mag", shape=(0, bins)), g.input("phase", shape=(0, bins))
            g.output(g.node("istft_fp32", "istft", inputs=[m, p], n_fft=n_fft, hop_size=hop, normalized=True))
            istft = build(folder, f"istft{n_fft}", g)

            xin = x.reshape(-1, 1)
            stft_out = stft.forward(xin).reshape(-1, 2 * bins)
            mag, phase = np.ascontiguousarray(stft_out[:, :bins]), np.ascontiguousarray(stft_out[:, bins:])
            xt = torch.from_numpy(x)

            def torch_stft():
                s = torch.stft(xt, n_fft, hop, window=window, center=True, pad_mode="replicate",
                               return_complex=True)
                return s.abs(), s.angle()

            rows.append((f"stft n_fft {n_fft} hop {hop}", median_ms(lambda: stft.forward(xin), args.repeat),
                         median_ms(torch_stft, args.repeat)))
            rows.append((f"istft n_fft {n_fft} hop {hop} (from polar)",
                         median_ms(lambda: istft.forward({"mag": mag, "phase": phase}), args.repeat),
                         median_ms(lambda: torch.istft(torch.polar(torch.from_numpy(mag).T, torch.from_numpy(phase).T),
                                                       n_fft, hop, window=window, center=True), args.repeat)))

        for U in (300, 0):
            g = Graph("source")
            g.output(g.node("sine_gen_fp32", "src", inputs=[g.input("f0", shape=(0, 1))], sample_rate=rate,
                            harmonic_num=8, sine_amp=0.1, voiced_threshold=10.0, upsample_scale=U,
                            noise_std=0.003 if U == 0 else 0.0))
            src = build(folder, f"src{U}", g)
            fin = f0.reshape(-1, 1)
            ft = torch.from_numpy(f0)
            peer = median_ms(lambda: torch_sine(ft, rate, 8, 0.1, 10.0, 300), args.repeat)
            label = f"sine_gen U {U}" + (" (peer: the upsampled form)" if U == 0 else "")
            rows.append((label, median_ms(lambda: src.forward(fin), args.repeat), peer))

    for name, ours, peer in rows:
        print(f"{name:34s} {ours:9.2f} {peer:9.2f} {ours / peer:10.2f}")


if __name__ == "__main__":
    main()
