"""LstmFp32 and Conv1dInt8 on speech-model shapes against torch on one thread.

    PYTHONPATH=build/dev:python python bench/bench_lstm_conv1d_i8.py [--repeat N]

Prints the best time of N runs of each layer here and in torch (the best, not the median: on a
shared machine the other processes only ever add time) (float LSTM; float conv1d, torch having
no int8 one-dimensional convolution of float activations) and the ratio ours / torch (below 1:
faster here). Our convolution runs int8 weights, so its ratio is against a different precision."""

import argparse
import os
import tempfile
import time

import numpy as np
import torch

import model_inference as mi
from trevalon import w1x1
from trevalon.graph import Graph


def best_seconds(fn, repeat):
    fn()  # warm up: first-touch of buffers, weight caches
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def build(tmp, graph, weights):
    build.count = getattr(build, "count", 0) + 1
    arch = os.path.join(tmp, f"model{build.count}.json")
    weights_path = os.path.join(tmp, f"model{build.count}.w1x1")
    graph.save(arch)
    w1x1.save(weights_path, weights)
    return mi.InferenceModel(arch, weights_path)


def bench_lstm(tmp, K, H, T, bidirectional, repeat):
    lstm = torch.nn.LSTM(K, H, batch_first=True, bidirectional=bidirectional).eval()
    g = Graph(f"lstm_{K}_{H}_{T}")
    t = g.input("x", shape=(0, K))
    g.output(g.node("lstm_fp32", "lstm", inputs=[t], hidden_size=H, bidirectional=bidirectional))
    model = build(tmp, g, {f"lstm.{n}": p.detach().numpy() for n, p in lstm.named_parameters()})
    x = torch.randn(1, T, K)
    xn = x[0].numpy()
    with torch.no_grad():
        ours = best_seconds(lambda: model.forward(xn), repeat)
        theirs = best_seconds(lambda: lstm(x), repeat)
        err = np.abs(model.forward(xn).reshape(T, -1) - lstm(x)[0][0].numpy()).max()
    name = f"lstm K={K} H={H} T={T}{' bidir' if bidirectional else ''}"
    print(f"{name:44s} ours {ours * 1e3:8.3f} ms  torch {theirs * 1e3:8.3f} ms  ratio {ours / theirs:5.2f}"
          f"  max|diff| {err:.1e}")


def bench_conv(tmp, C_in, C_out, K, stride, padding, groups, L, repeat):
    conv = torch.nn.Conv1d(C_in, C_out, K, stride=stride, padding=padding, groups=groups).eval()
    w = conv.weight.detach().numpy()
    scale = np.maximum(np.abs(w).max(axis=(1, 2)) / 127, 1e-8).astype(np.float32)
    q = np.clip(np.round(w / scale[:, None, None]), -127, 127).astype(np.int8).transpose(0, 2, 1).copy()
    g = Graph(f"conv_{C_in}_{C_out}_{K}_{stride}_{groups}_{L}")
    t = g.input("x", shape=(0, C_in))
    g.output(g.node("conv1d_int8", "conv", inputs=[t], C_in=C_in, C_out=C_out, kernel_size=K, stride=stride,
                    padding=padding, groups=groups))
    model = build(tmp, g, {"conv.weight_i8": q, "conv.w_scales": scale, "conv.bias": conv.bias.detach().numpy()})
    x = torch.randn(1, C_in, L)
    xn = x[0].T.contiguous().numpy()
    with torch.no_grad():
        ours = best_seconds(lambda: model.forward(xn), repeat)
        theirs = best_seconds(lambda: conv(x), repeat)
    path = "per-tap" if stride == 1 and groups == 1 else ("depthwise" if groups == C_in else "im2col")
    name = f"conv1d_int8 {C_in}->{C_out} K={K} s={stride} g={groups} L={L} ({path})"
    print(f"{name:44s} ours {ours * 1e3:8.3f} ms  torch {theirs * 1e3:8.3f} ms  ratio {ours / theirs:5.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=20)
    args = parser.parse_args()
    torch.set_num_threads(1)
    torch.manual_seed(0)
    with tempfile.TemporaryDirectory() as tmp:
        bench_lstm(tmp, 512, 256, 200, True, args.repeat)
        bench_lstm(tmp, 256, 128, 200, True, args.repeat)
        bench_lstm(tmp, 512, 256, 200, False, args.repeat)
        # text encoder (3 x K5 at 512), vocoder-like blocks, a strided downsampler, depthwise
        bench_conv(tmp, 512, 512, 5, 1, 2, 1, 200, args.repeat)
        bench_conv(tmp, 256, 256, 7, 1, 3, 1, 2000, args.repeat)
        bench_conv(tmp, 128, 128, 3, 1, 1, 1, 8000, args.repeat)
        bench_conv(tmp, 256, 256, 4, 2, 1, 1, 2000, args.repeat)
        bench_conv(tmp, 512, 512, 7, 1, 3, 512, 400, args.repeat)


if __name__ == "__main__":
    main()
