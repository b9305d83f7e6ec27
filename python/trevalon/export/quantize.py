"""Post-training quantisation arithmetic (numpy only): activation scales and zero points from
calibrated ranges, per-output-channel symmetric int8 weights, and the effective biases and
requantisation scales the int8 layers read."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

INT32_MAX = 2**31 - 1
# A range narrower than this is widened so that scales and multipliers stay finite.
MIN_RANGE = 1e-6


def round_half_away(x):
    """Round to the nearest integer, ties away from zero (np.round would round ties to even)."""
    x = np.asarray(x, dtype=np.float64)
    return np.sign(x) * np.floor(np.abs(x) + 0.5)


def as_float32(value: float) -> float:
    """A Python float holding exactly the float32 the engine will read for `value`."""
    return float(np.float32(value))


@dataclass(frozen=True)
class QParams:
    """real = scale * (q - zp) for an int8 tensor."""

    scale: float
    zp: int

    def quantize(self, x: np.ndarray) -> np.ndarray:
        q = round_half_away(np.asarray(x, dtype=np.float64) / self.scale) + self.zp
        return np.clip(q, -128, 127).astype(np.int8)

    def dequantize(self, q: np.ndarray) -> np.ndarray:
        return (np.asarray(q, dtype=np.float64) - self.zp) * self.scale


def activation_qparams(lo: float, hi: float, act: str | None = None) -> QParams:
    """Per-tensor asymmetric parameters covering [lo, hi] (widened to include 0, so that zero
    padding is exact). After a fused ReLU the range is [0, hi] with zero point -128, so the
    requantiser's saturation at -128 is the ReLU; after ReLU6 it is [0, min(hi, 6)], so the
    saturation at 127 also clamps at 6 (exactly 6 when the calibrated maximum reaches it)."""
    if act in ("relu", "relu6"):
        lo, hi = 0.0, max(hi, 0.0)
        if act == "relu6":
            hi = min(hi, 6.0)
    else:
        lo, hi = min(lo, 0.0), max(hi, 0.0)
    hi = max(hi, lo + MIN_RANGE)
    scale = as_float32((hi - lo) / 255.0)
    if act in ("relu", "relu6"):
        return QParams(scale, -128)
    zp = int(np.clip(round_half_away(-128.0 - lo / scale), -128, 127))
    return QParams(scale, zp)


def quantize_weights(weight: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Symmetric int8 per output channel (axis 0): scale = max|w| / 127; an all-zero channel gets
    scale 1. Returns the int8 weights and the float64 scales."""
    flat = weight.reshape(weight.shape[0], -1)
    largest = np.abs(flat).max(axis=1)
    scale = np.where(largest > 0, largest / 127.0, 1.0)
    q = np.clip(round_half_away(flat / scale[:, None]), -127, 127).astype(np.int8)
    return q.reshape(weight.shape), scale


def conv_int8_tensors(weight: np.ndarray, bias: np.ndarray, x: QParams, y: QParams) -> dict:
    """".weight", ".req_scale" and ".eff_bias" of an int8 convolution.

    The engine sums raw int8 inputs (padding taps hold in_zp) times int8 weights, adds the low 32
    bits of eff_bias and requantises with req_scale to out_zp, so
        eff_bias[o]  = round(b[o] / (s_in s_w[o])) - in_zp * sum(w[o])
        req_scale[o] = s_in s_w[o] / s_out.
    The bias is limited so that the 32-bit accumulator cannot wrap; a bias that large saturates
    the output either way."""
    q, s_w = quantize_weights(weight)
    per_channel = q.reshape(q.shape[0], -1).astype(np.int64)
    acc_scale = x.scale * s_w
    limit = INT32_MAX - per_channel.shape[1] * 128 * 127
    eff_bias = round_half_away(bias / acc_scale).astype(np.int64) - x.zp * per_channel.sum(axis=1)
    return {
        ".weight": q,
        ".req_scale": (acc_scale / y.scale).astype(np.float32),
        ".eff_bias": np.clip(eff_bias, -limit, limit).astype(np.int64),
    }


def gemm_int8_tensors(weight: np.ndarray, bias: np.ndarray, x: QParams) -> dict:
    """".weight", ".req_scale" and ".eff_bias" of an int8 fully connected layer with float
    output: out[n] = (acc[n] + eff_bias[n]) * req_scale[n] with req_scale = s_in s_w[n] and
    eff_bias = round(b / (s_in s_w)) - in_zp * sum(w[n])."""
    q, s_w = quantize_weights(weight)
    acc_scale = x.scale * s_w
    eff_bias = round_half_away(bias / acc_scale).astype(np.int64) - x.zp * q.astype(np.int64).sum(axis=1)
    return {".weight": q, ".req_scale": acc_scale.astype(np.float32), ".eff_bias": eff_bias}
