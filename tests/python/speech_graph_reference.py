"""Runs an exported speech architecture node by node in float64 torch, from the operations'
formulas, so the export can be checked without the engine and a misbehaving engine node can be
found by comparing intermediate tensors. Tensors are (positions, channels), as in the engine."""

import math

import numpy as np
import torch
import torch.nn.functional as F

from trevalon import w1x1
from trevalon.arch import read_arch
from trevalon.export import speech_nets as sn


def _conv1d(x, w, b, p):
    y = F.conv1d(x.T[None], w, b, stride=p["stride"], padding=p["padding"], dilation=p["dilation"],
                 groups=p["groups"])
    return y[0].T


def _lstm(x, weights, name, p):
    h_size = p["hidden_size"]

    def run(suffix, reverse):
        w_ih, w_hh = weights[f"{name}.weight_ih_l0{suffix}"], weights[f"{name}.weight_hh_l0{suffix}"]
        b = weights.get(f"{name}.bias_ih_l0{suffix}", 0) + weights.get(f"{name}.bias_hh_l0{suffix}", 0)
        gates = x @ w_ih.T + b
        h = torch.zeros(h_size, dtype=x.dtype)
        c = torch.zeros(h_size, dtype=x.dtype)
        out = torch.zeros(x.shape[0], h_size, dtype=x.dtype)
        for t in (range(x.shape[0] - 1, -1, -1) if reverse else range(x.shape[0])):
            a = gates[t] + w_hh @ h
            i, f, g, o = a.split(h_size)
            c = c * torch.sigmoid(f) + torch.tanh(g) * torch.sigmoid(i)
            h = torch.tanh(c) * torch.sigmoid(o)
            out[t] = h
        return out

    forward = run("", False)
    return torch.cat([forward, run("_reverse", True)], 1) if p["bidirectional"] else forward


def run_graph(arch_path, weights_path, inputs, speed=1.0):
    """Every tensor of the graph (name -> (positions, channels) float64 tensor)."""
    info = read_arch(arch_path)
    weights = {k: torch.from_numpy(np.asarray(v, np.float64)) for k, v in w1x1.load(weights_path).items()}
    env = {}
    for entry in info.inputs:
        a = torch.from_numpy(np.asarray(inputs[entry.name], np.float64))
        env[entry.name] = a.reshape(-1, entry.shape[-1])
    for node in info.nodes:
        p, name, op = node.params, node.name, node.op
        x = [env[t] for t in node.inputs]
        W = lambda suffix: weights.get(name + suffix)  # noqa: E731
        if op == "embedding_fp32":
            table = W(".weight")
            ids = torch.trunc(x[0].reshape(-1)).long().clamp(0, table.shape[0] - 1)
            y = table[ids]
        elif op == "conv1d_fp32":
            y = _conv1d(x[0], W(".weight"), W(".bias"), p)
        elif op == "conv1d_int8":  # the stored weights, dequantised; activations stay exact
            w = (W(".weight_i8") * W(".w_scales")[:, None, None]).transpose(1, 2)
            y = _conv1d(x[0], w.contiguous(), W(".bias"), p)
        elif op == "conv_transpose1d_fp32":
            y = F.conv_transpose1d(x[0].T[None], W(".weight"), W(".bias"), stride=p["stride"],
                                   padding=p["padding"], output_padding=p["output_padding"],
                                   groups=p["groups"])[0].T
        elif op == "seqgemm_fp32":
            y = x[0] @ W(".weight").T + (W(".bias") if W(".bias") is not None else 0)
        elif op == "layernorm_fp32":
            y = F.layer_norm(x[0], (x[0].shape[1],), W(".gamma"), W(".beta"), eps=p["eps"])
        elif op == "leaky_relu_fp32":
            y = torch.where(x[0] >= 0, x[0], x[0] * p["alpha"])
        elif op in ("exp_fp32", "sin_fp32", "tanh_fp32"):
            y = {"exp_fp32": torch.exp, "sin_fp32": torch.sin, "tanh_fp32": torch.tanh}[op](x[0])
        elif op == "lstm_fp32":
            y = _lstm(x[0], weights, name, p)
        elif op == "concat1d_fp32":
            second = x[1].reshape(-1, p["C2"])
            y = torch.cat([x[0], second.expand(x[0].shape[0], -1)], 1)
        elif op == "slice_channels_fp32":
            y = x[0][:, p["ch_start"]:p["ch_end"]]
        elif op in ("ada_layer_norm_fp32", "ada_in1d_fp32"):
            style = x[1].reshape(-1)[: p["C_style"]]
            gamma, beta = (W(".fc.weight") @ style + W(".fc.bias")).split(p["C"])
            if op == "ada_layer_norm_fp32":
                n = F.layer_norm(x[0], (p["C"],), eps=p["eps"])
            else:
                mean, var = x[0].mean(0), x[0].var(0, unbiased=False)
                n = (x[0] - mean) / torch.sqrt(var + p["eps"])
                if W(".norm.weight") is not None:
                    n = n * W(".norm.weight") + W(".norm.bias")
            y = n * (1 + gamma) + beta
        elif op == "length_regulate_fp32":
            counts = sn.repeat_counts(x[1].reshape(-1).float(), speed)
            y = torch.repeat_interleave(x[0], counts, dim=0)
        elif op == "upsample_nearest1d_fp32":
            y = torch.repeat_interleave(x[0], p["scale_factor"], dim=0)
        elif op == "sine_gen_fp32":
            cfg = sn.SpeechConfig(sample_rate=p["sample_rate"], harmonic_num=p["harmonic_num"],
                                  sine_amp=p["sine_amp"], voiced_threshold=p["voiced_threshold"])
            y = sn.sine_source(x[0].reshape(-1).float(), cfg, p["upsample_scale"]).double()
        elif op == "snake1d_fp32":
            a = W(".alpha")
            y = x[0] + torch.sin(a * x[0]) ** 2 / (a + 1e-9)
        elif op == "add_fp32":
            y = x[0] + x[1]
        elif op == "scale_fp32":
            y = x[0] * p["scalar"]
        elif op == "reflection_pad1d_fp32":
            y = torch.cat([x[0][1:2], x[0]], 0)
        elif op == "istft_fp32":
            y = sn.istft(x[0].T[None], x[1].T[None], p["n_fft"], p["hop_size"]).double()[:, None]
        else:
            raise NotImplementedError(f"node '{name}': {op}")
        env[node.outputs[0]] = y
    return env


def first_divergence(engine_tensors, reference, order, rtol=1e-3):
    """The first tensor (in `order`) where the engine's values leave the reference by more than
    rtol of the reference's range: (name, max abs error, range), or None."""
    for name in order:
        if name not in engine_tensors:
            continue
        ours = np.asarray(engine_tensors[name], np.float64).reshape(-1)
        ref = reference[name].numpy().reshape(-1)
        if ours.size != ref.size:
            return name, math.inf, float(np.abs(ref).max(initial=0))
        scale = float(np.abs(ref).max(initial=0)) or 1.0
        err = float(np.abs(ours - ref).max(initial=0))
        if err > rtol * scale:
            return name, err, scale
    return None
