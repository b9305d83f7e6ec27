"""Pooling layers end to end: float and int8 max pooling, float and int8 global average pooling,
through model_inference against numpy references written from the formulas."""

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")


def ref_maxpool(img, kH, kW, sh, sw, ph, pw, lowest):
    H, W, C = img.shape
    oh = int((H + 2 * ph - kH) / sh) + 1  # truncation toward zero
    ow = int((W + 2 * pw - kW) / sw) + 1
    out = np.full((oh, ow, C), lowest, dtype=img.dtype)
    for oy in range(oh):
        for ox in range(ow):
            for ky in range(kH):
                for kx in range(kW):
                    y, x = oy * sh - ph + ky, ox * sw - pw + kx
                    if 0 <= y < H and 0 <= x < W:
                        out[oy, ox] = np.maximum(out[oy, ox], img[y, x])
    return out


POOLS = [
    dict(kH=3, kW=3, stride_h=2, stride_w=2, pad_h=1, pad_w=1),
    dict(kH=2, kW=3, stride_h=1, stride_w=2, pad_h=0, pad_w=1),
    dict(kH=3, kW=3, stride_h=2, stride_w=2, pad_h=0, pad_w=0),
]


@pytest.mark.parametrize("params", POOLS)
@pytest.mark.parametrize("dtype", ["float32", "int8"])
def test_maxpool(make_model, params, dtype):
    shape = (7, 6, 19)
    g = Graph("mp")
    x = g.input("x", shape=shape, dtype=dtype)
    g.output(g.node(f"maxpool_{'fp32' if dtype == 'float32' else 'int8'}", "mp", inputs=[x], **params))
    model = make_model(g)
    rng = np.random.default_rng(1)
    if dtype == "int8":
        img = rng.integers(-128, 128, size=shape, dtype=np.int8)
        lowest = -128
    else:
        img = rng.standard_normal(shape).astype(np.float32)
        lowest = -np.inf
    want = ref_maxpool(img, params["kH"], params["kW"], params["stride_h"], params["stride_w"],
                       params["pad_h"], params["pad_w"], lowest)
    np.testing.assert_array_equal(model.forward(img), want.astype(np.float32).ravel())


def test_maxpool_window_in_padding_gives_minus_infinity(make_model):
    g = Graph("mp")
    x = g.input("x", shape=(2, 2))  # H = 2, W = 1, C = 2
    g.output(g.node("maxpool_fp32", "mp", inputs=[x], kH=1, kW=1, stride_h=1, stride_w=1, pad_h=1, pad_w=1))
    img = np.array([[3.0, -2.0], [5.0, 7.0]], np.float32)
    out = make_model(g).forward(img).reshape(4, 3, 2)
    np.testing.assert_array_equal(out[1:3, 1], img)
    out[1:3, 1] = -np.inf
    assert np.isneginf(out).all()  # every other window lies wholly in the padding


def test_avgpool_fp32_sums_in_row_order(make_model):
    shape = (7, 7, 33)
    g = Graph("gap")
    x = g.input("x", shape=shape)
    g.output(g.node("avgpool_fp32", "gap", inputs=[x]))
    img = np.random.default_rng(2).uniform(-10, 10, shape).astype(np.float32)
    acc = np.zeros(shape[2], np.float32)
    for row in img.reshape(-1, shape[2]):  # float32 sums, position by position
        acc = acc + row
    want = acc * (np.float32(1) / np.float32(shape[0] * shape[1]))
    np.testing.assert_array_equal(make_model(g).forward(img), want)


def q31(ratio):
    frac, exp = np.frexp(np.float64(ratio))
    m = int(np.sign(frac) * np.floor(abs(frac) * 2.0**31 + 0.5))
    return (2**30, int(exp) + 1) if m == 2**31 else (m, int(exp))


@pytest.mark.parametrize("in_scale, out_scale, in_zp, out_zp", [
    (0.05, 0.05, 0, 0), (0.1, 0.03, -128, 5), (0.02, 0.1, 17, -20)])
def test_int8_resnet_tail(make_model, in_scale, out_scale, in_zp, out_zp):
    """Max pool then global average pool, both int8, as a quantised classifier ends."""
    shape = (9, 9, 21)
    g = Graph("qtail")
    x = g.input("x", shape=shape, dtype="int8")
    p = g.node("maxpool_int8", "mp", inputs=[x], kH=3, kW=3, stride_h=2, stride_w=2, pad_h=1, pad_w=1)
    g.output(g.node("avgpool_int8", "gap", inputs=[p], in_scale=in_scale, out_scale=out_scale,
                    in_zp=in_zp, out_zp=out_zp))
    img = np.random.default_rng(3).integers(-128, 128, size=shape, dtype=np.int8)
    pooled = ref_maxpool(img, 3, 3, 2, 2, 1, 1, -128).astype(np.int64)
    positions = pooled.shape[0] * pooled.shape[1]
    m, e = q31(np.float32(in_scale) / (np.float32(positions) * np.float32(out_scale)))
    s = (pooled - in_zp).reshape(-1, shape[2]).sum(axis=0)
    want = np.clip(out_zp + ((s * m + (1 << (30 - e))) >> (31 - e)), -128, 127)
    np.testing.assert_array_equal(make_model(g).forward(img), want.astype(np.float32))
