"""A plain numpy model of the engine's int8 image layers: runs an int8 graph (architecture dict and
weight tensors) op by op in exact integer arithmetic, written from the layer formulas, so that an
exported model can be checked bit for bit. Slow and simple on purpose."""

from __future__ import annotations

import math
from collections.abc import Mapping

import numpy as np

F32 = np.float32


# ---- fixed-point helpers ------------------------------------------------------------------------

def wrap32(x):
    """Two's-complement wrap of int64 values to 32 bits."""
    x = np.asarray(x, dtype=np.int64)
    return ((x + 2**31) & 0xFFFFFFFF) - 2**31


def scale_to_multiplier(scale) -> tuple[int, int]:
    """float32 scale -> (Q31 multiplier, shift): frexp, then round(f * 2^31) with ties away."""
    s = float(F32(scale))
    if s == 0.0 or not math.isfinite(s):
        return 0, 0
    f, e = math.frexp(s)
    q = math.copysign(math.floor(abs(f) * 2.0**31 + 0.5), f)
    if q == 2.0**31:
        return 1 << 30, e + 1
    return int(q), e


def high_mul(v, m):
    """Saturating rounding doubling high multiply: (v * m + 2^30) >> 31 on 32-bit values."""
    v = np.asarray(v, dtype=np.int64)
    m = np.asarray(m, dtype=np.int64)
    out = (v * m + (1 << 30)) >> 31
    return np.where((v == -2**31) & (m == -2**31), 2**31 - 1, out)


def rounding_shift(v, shift):
    """shift >= 0: 32-bit left shift without saturation; shift < 0: (v + 2^(s-1)) >> s."""
    v = np.asarray(v, dtype=np.int64)
    shift = np.asarray(shift, dtype=np.int64)
    left = wrap32(v << np.clip(shift, 0, 32))
    s = np.clip(-shift, 1, 62)
    right = (v + (np.int64(1) << (s - 1))) >> s
    return np.where(shift >= 0, left, right)


def requantize(acc_with_bias, multiplier, shift, out_zp) -> np.ndarray:
    """Steps of the int8 requantiser: high multiply, rounding shift, zero point, saturation."""
    v = rounding_shift(high_mul(wrap32(acc_with_bias), multiplier), shift)
    v = np.clip(wrap32(v + out_zp), -32768, 32767)
    return np.clip(v, -128, 127).astype(np.int8)


def single_round(d, m: int, e: int):
    """(d * m + 2^(30 - e)) >> (31 - e) in 64 bits (one rounding)."""
    p = np.asarray(d, dtype=np.int64) * np.int64(m)
    s = 31 - e
    if s >= 1:
        return (p + (np.int64(1) << (s - 1))) >> s
    return p << -s


def round_half_away(x):
    return np.sign(x) * np.floor(np.abs(x) + 0.5)


def channel_multipliers(req_scale) -> tuple[np.ndarray, np.ndarray]:
    pairs = [scale_to_multiplier(s) for s in np.asarray(req_scale, dtype=F32)]
    return (np.array([p[0] for p in pairs], dtype=np.int64),
            np.array([p[1] for p in pairs], dtype=np.int64))


# ---- layers -------------------------------------------------------------------------------------

def conv_direct_acc(x, w, stride, pad, groups, in_zp) -> np.ndarray:
    """sum over taps of x * w (int64), taps outside the image reading in_zp; (oh, ow, C_out)."""
    h, wd, c_in = x.shape
    c_out, cg, kh, kw = w.shape
    (sh, sw), (ph, pw) = stride, pad
    oh, ow = (h + 2 * ph - kh) // sh + 1, (wd + 2 * pw - kw) // sw + 1
    padded = np.full((h + 2 * ph, wd + 2 * pw, c_in), in_zp, dtype=np.int64)
    padded[ph:ph + h, pw:pw + wd] = x
    og = c_out // groups
    wg = w.astype(np.int64).reshape(groups, og, cg, kh, kw)
    acc = np.zeros((oh, ow, groups, og), dtype=np.int64)
    for ky in range(kh):
        for kx in range(kw):
            patch = padded[ky:ky + sh * (oh - 1) + 1:sh, kx:kx + sw * (ow - 1) + 1:sw]
            patch = patch.reshape(oh, ow, groups, cg)
            for g in range(groups):
                acc[:, :, g] += patch[:, :, g] @ wg[g, :, :, ky, kx].T
    return acc.reshape(oh, ow, c_out)


def winograd_weights(w: np.ndarray):
    """The 16 transformed weight matrices U = G g G^T (halves of sums, rows first), quantised
    per matrix with s_i = max|U_i| / 127; returns (int8 matrices (16, C_out, C_in), scales)."""
    g = w.astype(F32)
    def combine(a, b, c):
        return [a, (a + b + c) * F32(0.5), (a - b + c) * F32(0.5), c]
    rows = combine(g[:, :, 0, :], g[:, :, 1, :], g[:, :, 2, :])  # 4 x (C_out, C_in, 3)
    u = np.stack([np.stack(combine(r[..., 0], r[..., 1], r[..., 2])) for r in rows])  # (4, 4, Co, Ci)
    u = u.reshape(16, *w.shape[:2])
    mats, scales = [], []
    for ui in u:
        largest = F32(np.abs(ui).max()) if ui.size else F32(0)
        s = largest * F32(0.007874016) if largest != 0 else F32(1.0)
        q = np.clip(round_half_away(ui * (F32(1.0) / s)), -128, 127).astype(np.int8)
        mats.append(q)
        scales.append(F32(s))
    return np.stack(mats), np.array(scales, dtype=F32)


def conv_winograd(x, w, eff_bias, mult, shift, in_zp, out_zp) -> np.ndarray:
    """The int8 F(2x2, 3x3) convolution (stride 1, padding 1) with its transformed-domain rounding."""
    h, wd, c_in = x.shape
    c_out = w.shape[0]
    uq, s = winograd_weights(w)
    m5, e5 = scale_to_multiplier(F32(s[5] / F32(0.25)))
    row_sums = w.astype(np.int64).reshape(c_out, -1).sum(axis=1)
    r5 = uq[5].astype(np.int64).sum(axis=1)
    corr = np.array([int(single_round(in_zp * int(r), m5, e5)) for r in r5], dtype=np.int64)
    bias_w = np.asarray(eff_bias, dtype=np.int64) + wrap32(in_zp * row_sums - corr)

    th, tw = -(-h // 2), -(-wd // 2)
    padded = np.full((2 * th + 2, 2 * tw + 2, c_in), in_zp, dtype=np.int64)
    padded[1:1 + h, 1:1 + wd] = x
    # d[ty, tx, r, c, ch]: the 4x4 patch of each tile starting at (2 ty - 1, 2 tx - 1).
    d = np.stack([np.stack([padded[r:r + 2 * th:2, c:c + 2 * tw:2] for c in range(4)], axis=2)
                  for r in range(4)], axis=2)
    bt = np.array([[1, 0, -1, 0], [0, 1, 1, 0], [0, -1, 1, 0], [0, 1, 0, -1]], dtype=np.int64)
    v = np.einsum("ir,yxrcz,jc->yxijz", bt, d, bt)
    vq = np.clip((v + 2) >> 2, -128, 127).reshape(th * tw, 16, c_in)

    rescaled = np.empty((th * tw, 16, c_out), dtype=np.int64)
    for i in range(16):
        p = vq[:, i, :] @ uq[i].astype(np.int64).T
        mi, ei = scale_to_multiplier(F32(s[i] * F32(1.0 / 0.25)))
        rescaled[:, i, :] = rounding_shift(high_mul(p, mi), ei)
    at = np.array([[1, 1, 1, 0], [0, 1, -1, -1]], dtype=np.int64)
    y = np.einsum("ai,tijo,bj->tabo", at, rescaled.reshape(-1, 4, 4, c_out), at)
    y = wrap32(y + wrap32(bias_w))
    out = requantize(y, mult, shift, out_zp)  # (tiles, 2, 2, C_out)
    out = out.reshape(th, tw, 2, 2, c_out).transpose(0, 2, 1, 3, 4).reshape(2 * th, 2 * tw, c_out)
    return out[:h, :wd]


def conv_int8(x, node, t) -> np.ndarray:
    w = t[".weight"]
    kh, kw = node.get("kH", 1), node.get("kW", 1)
    stride = (node.get("stride_h", 1), node.get("stride_w", 1))
    pad = (node.get("pad_h", 0), node.get("pad_w", 0))
    groups = max(node.get("groups", 1), 1)
    in_zp, out_zp = node.get("in_zp", 0), node.get("out_zp", 0)
    mult, shift = channel_multipliers(t[".req_scale"])
    w = w.reshape(node["C_out"], node["C_in"] // groups, kh, kw)
    if (kh, kw) == (3, 3) and stride == (1, 1) and pad == (1, 1) and groups == 1:
        return conv_winograd(x, w, t[".eff_bias"], mult, shift, in_zp, out_zp)
    acc = conv_direct_acc(x, w, stride, pad, groups, in_zp)
    return requantize(acc + wrap32(t[".eff_bias"]), mult, shift, out_zp)


def add_int8(a, b, node) -> np.ndarray:
    s1, s2, so = (F32(node.get(k, 1.0)) for k in ("in1_scale", "in2_scale", "out_scale"))
    z1, z2, zo = (int(node.get(k, 0)) for k in ("in1_zp", "in2_zp", "out_zp"))
    r1, r2 = F32(s1 / so), F32(s2 / so)
    (m1, e1), (m2, e2) = scale_to_multiplier(r1), scale_to_multiplier(r2)
    a64, b64 = a.reshape(-1).astype(np.int64), b.reshape(-1).astype(np.int64)
    out = np.empty(a64.size, dtype=np.int8)
    if abs(r1) <= 7.99 and abs(r2) <= 7.99:  # Q12 for complete groups of 16
        n = a64.size // 16 * 16
        u, v = int(round_half_away(r1 * F32(4096))), int(round_half_away(r2 * F32(4096)))
        j = zo * 4096 - z1 * u - z2 * v
        out[:n] = np.clip((j + u * a64[:n] + v * b64[:n] + 2048) >> 12, -128, 127)
    else:  # high multiply for complete groups of 8
        n = a64.size // 8 * 8
        t1 = rounding_shift(high_mul(a64[:n] - z1, m1), e1)
        t2 = rounding_shift(high_mul(b64[:n] - z2, m2), e2)
        out[:n] = np.clip(zo + t1 + t2, -128, 127)
    t1 = single_round(a64[n:] - z1, m1, e1)
    t2 = single_round(b64[n:] - z2, m2, e2)
    out[n:] = np.clip(zo + t1 + t2, -128, 127)
    return out.reshape(a.shape)


def maxpool_int8(x, node) -> np.ndarray:
    kh, kw = node.get("kH", 3), node.get("kW", 3)
    sh, sw = node.get("stride_h", 2), node.get("stride_w", 2)
    ph, pw = node.get("pad_h", 0), node.get("pad_w", 0)
    h, w, c = x.shape
    oh, ow = (h + 2 * ph - kh) // sh + 1, (w + 2 * pw - kw) // sw + 1
    padded = np.full((h + 2 * ph, w + 2 * pw, c), -128, dtype=np.int8)  # the running value's start
    padded[ph:ph + h, pw:pw + w] = x
    out = np.full((oh, ow, c), -128, dtype=np.int8)
    for ky in range(kh):
        for kx in range(kw):
            out = np.maximum(out, padded[ky:ky + sh * (oh - 1) + 1:sh, kx:kx + sw * (ow - 1) + 1:sw])
    return out


def avgpool_int8(x, node) -> np.ndarray:
    h, w, c = x.shape
    r = F32(F32(node.get("in_scale", 1.0)) / (F32(h * w) * F32(node.get("out_scale", 1.0))))
    m, e = scale_to_multiplier(r)
    total = (x.astype(np.int64) - int(node.get("in_zp", 0))).reshape(-1, c).sum(axis=0)
    out = int(node.get("out_zp", 0)) + single_round(wrap32(total), m, e)
    return np.clip(out, -128, 127).astype(np.int8).reshape(1, 1, c)


def gemm_int8(x, node, t) -> np.ndarray:
    w = t[".weight"].astype(np.int64).reshape(node["C_out"], node["C_in"])
    acc = w @ x.reshape(-1).astype(np.int64)
    out = (np.asarray(t[".eff_bias"], dtype=np.int64) + acc).astype(F32) * np.asarray(t[".req_scale"], dtype=F32)
    if node.get("relu"):
        out = np.maximum(out, F32(0))
    return out.astype(F32)


# ---- graph --------------------------------------------------------------------------------------

def run(arch: Mapping, weights: Mapping[str, np.ndarray], x: np.ndarray,
        keep_all: bool = False) -> dict[str, np.ndarray]:
    """Run the graph on the int8 input `x` (H, W, C) and return its outputs (all tensors with
    keep_all). Reads nodes written with parameters as node members and "inputs"/"outputs" lists."""
    inputs = arch["inputs"]
    if len(inputs) != 1 or inputs[0].get("dtype") != "int8":
        raise ValueError("the int8 reference runs graphs with one int8 input")
    _, h, w, c = inputs[0]["shape"]
    x = np.asarray(x)
    if x.dtype != np.int8 or x.size != h * w * c:
        raise ValueError(f"input must be int8 with {h * w * c} values, not {x.dtype} {x.shape}")
    values = {inputs[0]["name"]: x.reshape(h, w, c)}
    for node in arch["nodes"]:
        op, name = node["op"], node["name"]
        args = [values[i] for i in node["inputs"]]
        tensors = {suffix: weights[name + suffix] for suffix in (".weight", ".req_scale", ".eff_bias")
                   if name + suffix in weights}
        if op == "conv_int8":
            y = conv_int8(args[0], node, tensors)
        elif op == "add_int8":
            y = add_int8(args[0], args[1], node)
        elif op == "maxpool_int8":
            y = maxpool_int8(args[0], node)
        elif op == "avgpool_int8":
            y = avgpool_int8(args[0], node)
        elif op == "gemm_int8":
            y = gemm_int8(args[0], node, tensors)
        else:
            raise ValueError(f"node '{name}': op '{op}' is not modelled by the int8 reference")
        values[node["outputs"][0]] = y
    if keep_all:
        return values
    return {o["name"]: values[o["name"]] for o in arch["outputs"]}
