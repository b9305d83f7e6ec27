"""conv_int8 end to end: random graphs through InferenceModel against numpy int64 references written
from the requantisation and Winograd formulas, compared byte for byte."""

import numpy as np
import pytest

from trevalon.arch import loaded_input_shape
from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")

I64 = np.int64


def multiplier(scale):
    """Q31 multiplier and exponent of a float32 scale (frexp, ties away from zero)."""
    scale = float(np.float32(scale))
    if scale == 0.0:
        return 0, 0
    f, e = np.frexp(scale)
    q = np.sign(f) * np.floor(abs(f) * 2.0**31 + 0.5)
    if q == 2.0**31:
        return 1 << 30, int(e) + 1
    return int(q), int(e)


def wrap32(v):
    v = np.asarray(v, dtype=I64)
    return ((v + 2**31) & 0xFFFFFFFF) - 2**31


def requantise(acc, bias, scales, out_zp):
    """acc: [..., C_out] int64 sums; bias: int64 per channel (its low 32 bits are added)."""
    pairs = [multiplier(s) for s in scales]
    m = np.array([p[0] for p in pairs], dtype=I64)
    e = np.array([p[1] for p in pairs], dtype=I64)
    v = wrap32(np.asarray(acc, dtype=I64) + wrap32(bias))
    overflow = (v == -(2**31)) & (m == -(2**31))
    v = np.where(overflow, 2**31 - 1, (v * m + 2**30) >> 31)
    left = np.maximum(e, 0)
    right = np.maximum(-e, 0)
    shifted_left = wrap32(v << left)
    shifted_right = (v + np.where(right > 0, I64(1) << np.maximum(right - 1, 0), 0)) >> right
    v = np.where(e >= 0, shifted_left, shifted_right) + out_zp
    return np.clip(np.clip(v, -32768, 32767), -128, 127)


def padded(x, ph, pw, zp):
    H, W, C = x.shape
    xp = np.full((H + 2 * ph, W + 2 * pw, C), zp, dtype=I64)
    xp[ph:ph + H, pw:pw + W] = x
    return xp


def direct_sums(x, w, stride, pad, groups, in_zp):
    """Exact int64 sums of the grouped convolution; taps outside the image read in_zp."""
    H, W, C = x.shape
    C_out, Cg, kH, kW = w.shape
    (sh, sw), (ph, pw) = stride, pad
    oh, ow = (H + 2 * ph - kH) // sh + 1, (W + 2 * pw - kW) // sw + 1
    xp = padded(x, ph, pw, in_zp)
    acc = np.zeros((oh, ow, C_out), dtype=I64)
    per_group = C_out // groups
    for g in range(groups):
        outs = slice(g * per_group, (g + 1) * per_group)
        for ky in range(kH):
            for kx in range(kW):
                patch = xp[ky: ky + (oh - 1) * sh + 1: sh, kx: kx + (ow - 1) * sw + 1: sw, g * Cg:(g + 1) * Cg]
                acc[:, :, outs] += patch @ w[outs, :, ky, kx].astype(I64).T
    return acc


def winograd_reference(x, w, bias, scales, in_zp, out_zp):
    """The int8 Winograd F(2x2, 3x3) domain: weights transformed in float32 and quantised per
    matrix, inputs transformed in integers and stored as rounded quarters, 16 integer products
    rescaled by s_i / 0.25, A^T R A plus the transformed-domain bias, requantised."""
    H, W, C = x.shape
    C_out = w.shape[0]
    G = np.array([[1, 0, 0], [0.5, 0.5, 0.5], [0.5, -0.5, 0.5], [0, 0, 1]], dtype=np.float32)
    BT = np.array([[1, 0, -1, 0], [0, 1, 1, 0], [0, -1, 1, 0], [0, 1, 0, -1]], dtype=I64)
    AT = np.array([[1, 1, 1, 0], [0, 1, -1, -1]], dtype=I64)
    U = np.einsum("ia,ocab,jb->ijoc", G, w.astype(np.float32), G).reshape(16, C_out, C)  # exact in float32
    Uq = np.empty(U.shape, dtype=I64)
    s = np.empty(16, dtype=np.float32)
    for k in range(16):
        largest = np.float32(np.abs(U[k]).max())
        s[k] = largest * np.float32(0.007874016) if largest > 0 else np.float32(1.0)
        v = U[k] * (np.float32(1.0) / s[k])
        Uq[k] = np.clip(np.sign(v) * np.floor(np.abs(v) + np.float32(0.5)), -128, 127)
    # Bias: eff_bias + in_zp x (weight sum) - the correction matrix 5 gives a constant in_zp tile.
    m5, e5 = multiplier(s[5] / np.float32(0.25))
    R = w.reshape(C_out, -1).astype(I64).sum(1)
    corr = (in_zp * Uq[5].sum(1) * m5 + (1 << (30 - e5))) >> (31 - e5)
    bias_w = np.asarray(bias, dtype=I64) + wrap32(in_zp * R - corr)

    ty, tx = (H + 1) // 2, (W + 1) // 2
    xp = np.full((2 * ty + 2, 2 * tx + 2, C), in_zp, dtype=I64)
    xp[1:1 + H, 1:1 + W] = x
    d = np.stack([np.stack([xp[2 * i:2 * i + 4, 2 * j:2 * j + 4] for j in range(tx)]) for i in range(ty)])
    V = np.einsum("ia,yxabc,jb->yxijc", BT, d, BT)  # ty, tx, 4, 4, C
    Vq = np.clip((V + 2) >> 2, -128, 127).reshape(ty, tx, 16, C)
    P = np.einsum("yxkc,koc->yxko", Vq, Uq)
    Rk = np.empty(P.shape, dtype=I64)
    for k in range(16):
        m, e = multiplier(s[k] * np.float32(4.0))
        h = (P[:, :, k] * m + 2**30) >> 31
        Rk[:, :, k] = wrap32(h << e) if e >= 0 else (h + (1 << (-e - 1))) >> -e
    Y = np.einsum("ai,yxijo,bj->yaxbo", AT, Rk.reshape(ty, tx, 4, 4, C_out), AT).reshape(2 * ty, 2 * tx, C_out)
    return requantise(Y[:H, :W], bias_w, scales, out_zp)


def random_conv(rng, C_in, C_out, k, groups):
    kH, kW = k
    w = rng.integers(-128, 128, size=(C_out, C_in // groups, kH, kW)).astype(np.int8)
    K = (C_in // groups) * kH * kW
    scales = (0.009 / np.sqrt(K) * rng.uniform(0.3, 1.6, C_out)).astype(np.float32)
    bias = rng.integers(-200000, 200000, C_out).astype(I64)
    bias[::3] += I64(1) << 33  # high bits the kernels must ignore
    return w, scales, bias


def run(make_model, x, w, scales, bias, stride, pad, groups, in_zp, out_zp, op="conv_int8"):
    H, W, C = x.shape
    C_out, _, kH, kW = w.shape
    g = Graph("conv")
    t = g.input("x", shape=loaded_input_shape(H, W, C), dtype="int8", scale=0.05, zp=in_zp)
    g.output(g.node(op, "conv", inputs=[t], C_out=C_out, C_in=C, kH=kH, kW=kW, stride_h=stride[0],
                    stride_w=stride[1], pad_h=pad[0], pad_w=pad[1], groups=groups, in_zp=in_zp,
                    out_zp=out_zp))
    model = make_model(g, {"conv.weight": w, "conv.req_scale": scales, "conv.eff_bias": bias})
    return model.forward(x)


CASES = [
    # H, W, C_in, C_out, k, stride, pad, groups, in_zp, out_zp  (path taken on the CPU)
    (6, 7, 13, 19, (1, 1), (1, 1), (0, 0), 1, -7, 3),         # general: the input is the patch matrix
    (7, 9, 16, 24, (1, 1), (2, 1), (0, 0), 1, 5, -4),         # general: 1x1 stride_h 2
    (9, 11, 17, 9, (3, 3), (2, 2), (1, 1), 1, -3, 9),         # general: 3x3 stride 2
    (6, 7, 8, 16, (3, 3), (1, 1), (0, 0), 1, 21, -2),         # general: 3x3 without padding
    (15, 13, 3, 8, (7, 7), (2, 2), (3, 3), 1, 0, -128),       # general: 7x7 stem
    (8, 7, 5, 11, (5, 3), (2, 1), (2, 0), 1, -60, 5),         # general: rectangular kernel
    (9, 8, 37, 37, (3, 3), (1, 1), (1, 1), 37, 12, 7),        # depthwise, stride 1
    (12, 11, 48, 48, (3, 3), (2, 2), (1, 1), 48, -128, 0),    # depthwise, stride 2
    (9, 10, 16, 16, (3, 3), (3, 3), (1, 1), 16, 4, -1),       # stride 3: planar grouped path
    (7, 6, 12, 15, (3, 3), (1, 1), (1, 1), 3, -11, 4),        # planar: 5 outputs per group
    (6, 5, 8, 16, (3, 3), (1, 1), (1, 1), 8, 9, 0),           # planar: channel multiplier 2
]


@pytest.mark.parametrize("case", CASES, ids=[f"case{i}" for i in range(len(CASES))])
def test_conv_matches_integer_reference(make_model, case):
    H, W, C, C_out, k, stride, pad, groups, in_zp, out_zp = case
    rng = np.random.default_rng(sum(case[:4]) + groups)
    x = rng.integers(-128, 128, size=(H, W, C)).astype(np.int8)
    w, scales, bias = random_conv(rng, C, C_out, k, groups)
    got = run(make_model, x, w, scales, bias, stride, pad, groups, in_zp, out_zp)
    want = requantise(direct_sums(x, w, stride, pad, groups, in_zp), bias, scales, out_zp)
    np.testing.assert_array_equal(got, want.ravel().astype(np.float32))


WINOGRAD = [(1, 1, 3, 5, 0, 0), (2, 2, 8, 8, -128, 127), (5, 7, 13, 17, 9, -5), (10, 13, 35, 24, 0, -11),
            (8, 8, 40, 33, -20, 3)]


@pytest.mark.parametrize("case", WINOGRAD, ids=[f"wino{i}" for i in range(len(WINOGRAD))])
def test_winograd_matches_its_transformed_domain(make_model, case):
    H, W, C, C_out, in_zp, out_zp = case
    rng = np.random.default_rng(H * 100 + C)
    x = rng.integers(-128, 128, size=(H, W, C)).astype(np.int8)
    w, scales, bias = random_conv(rng, C, C_out, (3, 3), 1)
    got = run(make_model, x, w, scales, bias, (1, 1), (1, 1), 1, in_zp, out_zp)
    want = winograd_reference(x, w, bias, scales, in_zp, out_zp)
    np.testing.assert_array_equal(got, want.ravel().astype(np.float32))
    # The transformed domain rounds inputs to quarters and weights per matrix: with these scales
    # (outputs around 50 in magnitude) it stays within a few steps of the direct convolution,
    # where a wrong transform would be off by tens.
    direct = requantise(direct_sums(x, w, (1, 1), (1, 1), 1, in_zp), bias, scales, out_zp).ravel()
    assert np.abs(got - direct).max() <= 8
    assert np.abs(got - direct).mean() <= 1.0


@pytest.mark.parametrize("case", [
    (7, 8, 11, 6, (3, 3), (2, 2), (1, 1), 1, -37, 4),
    (6, 5, 5, 9, (5, 5), (1, 1), (2, 2), 1, 90, -3),
    (7, 6, 21, 21, (3, 3), (1, 1), (1, 1), 21, 64, 2),
    (8, 7, 12, 6, (3, 3), (3, 3), (1, 1), 3, 17, -8),
], ids=["general", "general5x5", "depthwise", "planar"])
def test_input_of_zero_points_gives_requantised_bias_everywhere(make_model, case):
    H, W, C, C_out, k, stride, pad, groups, in_zp, out_zp = case
    rng = np.random.default_rng(C_out)
    w, scales, b = random_conv(rng, C, C_out, k, groups)
    eff_bias = b - in_zp * w.reshape(C_out, -1).astype(I64).sum(1)  # the zero-point fold
    x = np.full((H, W, C), in_zp, dtype=np.int8)
    got = run(make_model, x, w, scales, eff_bias, stride, pad, groups, in_zp, out_zp).reshape(-1, C_out)
    want = requantise(np.zeros(C_out, dtype=I64), b, scales, out_zp)
    np.testing.assert_array_equal(got, np.broadcast_to(want.astype(np.float32), got.shape))


def test_alias_and_chained_layers(make_model):
    """A depthwise 3x3 stride 2 then a pointwise conv written with the alias "conv"."""
    rng = np.random.default_rng(3)
    x = rng.integers(-128, 128, size=(9, 10, 24)).astype(np.int8)
    w1, s1, b1 = random_conv(rng, 24, 24, (3, 3), 24)
    w2, s2, b2 = random_conv(rng, 24, 20, (1, 1), 1)
    g = Graph("chain")
    t = g.input("x", shape=(9, 10, 24), dtype="int8", zp=-3)
    t = g.node("conv_int8", "dw", inputs=[t], C_out=24, C_in=24, kH=3, kW=3, stride_h=2, stride_w=2,
               pad_h=1, pad_w=1, groups=24, in_zp=-3, out_zp=6)
    g.output(g.node("conv", "pw", inputs=[t], C_out=20, C_in=24, in_zp=6, out_zp=-1))
    model = make_model(g, {"dw.weight": w1, "dw.req_scale": s1, "dw.eff_bias": b1,
                           "pw.weight": w2, "pw.req_scale": s2, "pw.eff_bias": b2})
    mid = requantise(direct_sums(x, w1, (2, 2), (1, 1), 24, -3), b1, s1, 6)
    want = requantise(direct_sums(mid, w2, (1, 1), (0, 0), 1, 6), b2, s2, -1)
    np.testing.assert_array_equal(model.forward(x), want.ravel().astype(np.float32))


def test_load_and_run_errors(make_model):
    w = np.zeros((3, 4, 3, 3), dtype=np.int8)
    scales = np.full(3, 0.01, dtype=np.float32)
    bias = np.zeros(3, dtype=I64)
    g = Graph("bad")
    t = g.input("x", shape=(5, 5, 4), dtype="int8")
    g.output(g.node("conv_int8", "conv", inputs=[t], C_out=3, C_in=4, kH=3, kW=3, pad_h=1, pad_w=1))
    with pytest.raises(RuntimeError, match=r"^weight conv\.weight holds 100 elements, expected 108$"):
        make_model(g, {"conv.weight": w.ravel()[:100], "conv.req_scale": scales, "conv.eff_bias": bias})
    with pytest.raises(RuntimeError, match=r"^weight conv\.eff_bias holds 2 elements, expected 3$"):
        make_model(g, {"conv.weight": w, "conv.req_scale": scales, "conv.eff_bias": bias[:2]})
    with pytest.raises(RuntimeError, match=r"^weight conv\.req_scale holds 30 elements, expected 3$"):
        make_model(g, {"conv.weight": w, "conv.req_scale": np.full(30, 0.01, np.float32),
                       "conv.eff_bias": bias})
    model = make_model(g, {"conv.weight": w, "conv.eff_bias": bias})
    with pytest.raises(RuntimeError, match=r"^missing weight tensor: conv\.req_scale$"):
        model.forward(np.zeros((5, 5, 4), dtype=np.int8))


@pytest.mark.parametrize("C_out,groups", [(5, 1), (6, 2), (4, 4)], ids=["general", "grouped", "depthwise"])
def test_kernel_wider_than_the_unpadded_image_reads_the_zero_point(make_model, C_out, groups):
    """3x3 stride 2 on a 2x2 image: (2 - 3) / 2 truncates to 0, so one output pixel, whose taps in
    the missing third row and column read in_zp; on every path the convolution takes."""
    rng = np.random.default_rng(12)
    w = rng.integers(-128, 128, (C_out, 4 // groups, 3, 3), dtype=np.int8)
    scales = rng.uniform(0.001, 0.004, C_out).astype(np.float32)
    bias = rng.integers(-5000, 5000, C_out, dtype=I64)
    x = rng.integers(-128, 128, (2, 2, 4), dtype=np.int8)
    g = Graph("wide")
    t = g.input("x", shape=(2, 2, 4), dtype="int8", zp=7)
    g.output(g.node("conv_int8", "conv", inputs=[t], C_out=C_out, C_in=4, kH=3, kW=3, stride_h=2,
                    stride_w=2, groups=groups, in_zp=7, out_zp=-2))
    model = make_model(g, {"conv.weight": w, "conv.req_scale": scales, "conv.eff_bias": bias})
    grown = np.full((3, 3, 4), 7, dtype=np.int8)
    grown[:2, :2] = x
    want = requantise(direct_sums(grown, w, (2, 2), (0, 0), groups, 7), bias, scales, -2)
    got = model.forward(x)
    assert got.shape == (C_out,)
    np.testing.assert_array_equal(got, want.ravel().astype(np.float32))
