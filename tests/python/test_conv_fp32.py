"""conv_fp32 end to end: random graphs through InferenceModel against a direct float64 convolution."""

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")


def direct_conv(x, w, b, stride, pad, dilation, relu):
    """x: H x W x C, w: C_out x C x kH x kW (float64 arithmetic); returns out_h x out_w x C_out and
    the sum of |x w| + |b| per output, which bounds the rounding of any summation order."""
    H, W, C = x.shape
    C_out, _, kH, kW = w.shape
    (sh, sw), (ph, pw), (dh, dw) = stride, pad, dilation
    oh = (H + 2 * ph - dh * (kH - 1) - 1) // sh + 1
    ow = (W + 2 * pw - dw * (kW - 1) - 1) // sw + 1
    xp = np.zeros((H + 2 * ph, W + 2 * pw, C))
    xp[ph:ph + H, pw:pw + W] = x
    out = np.zeros((oh, ow, C_out))
    mag = np.zeros((oh, ow, C_out))
    for ky in range(kH):
        for kx in range(kW):
            patch = xp[ky * dh: ky * dh + (oh - 1) * sh + 1: sh, kx * dw: kx * dw + (ow - 1) * sw + 1: sw]
            tap = w[:, :, ky, kx].astype(np.float64)
            out += patch @ tap.T
            mag += np.abs(patch) @ np.abs(tap).T
    if b is not None:
        out += b
        mag += np.abs(b)
    if relu:
        out = np.maximum(out, 0)
    return out, mag


CASES = [
    # H, W, C, C_out, k, stride, pad, dilation, relu, bias
    (5, 5, 4, 6, (3, 3), (1, 1), (1, 1), (1, 1), False, True),    # Winograd, partial last tiles
    (16, 12, 19, 21, (3, 3), (1, 1), (1, 1), (1, 1), True, True),  # Winograd, channel tails
    (9, 9, 8, 8, (3, 3), (1, 1), (1, 1), (2, 2), True, False),     # dilation: patch path
    (4, 4, 3, 5, (3, 3), (2, 2), (1, 1), (1, 1), False, True),     # 4x4 stride 2 gives 2x2
    (7, 6, 10, 12, (1, 1), (1, 1), (0, 0), (1, 1), True, True),    # 1x1 reads the input directly
    (23, 21, 3, 8, (7, 7), (2, 2), (3, 3), (1, 1), True, True),    # stem-like 7x7 stride 2
    (8, 11, 6, 7, (2, 3), (1, 2), (0, 1), (1, 1), False, False),   # rectangular kernel
]


@pytest.mark.parametrize("case", CASES, ids=[f"case{i}" for i in range(len(CASES))])
def test_conv_matches_direct_convolution(make_model, case):
    H, W, C, C_out, (kH, kW), stride, pad, dilation, relu, bias = case
    rng = np.random.default_rng(sum(case[:4]))
    x = rng.standard_normal((H, W, C)).astype(np.float32)
    w = rng.standard_normal((C_out, C, kH, kW)).astype(np.float32)
    b = rng.standard_normal(C_out).astype(np.float32) if bias else None

    g = Graph("conv")
    t = g.input("x", shape=(H, W, C))
    g.output(g.node("conv_fp32", "conv", inputs=[t], relu=relu, C_out=C_out, C_in=C, kH=kH, kW=kW,
                    stride_h=stride[0], stride_w=stride[1], pad_h=pad[0], pad_w=pad[1],
                    dilation_h=dilation[0], dilation_w=dilation[1]))
    weights = {"conv.weight": w}
    if bias:
        weights["conv.bias"] = b
    model = make_model(g, weights)
    got = model.forward(x)

    expected, mag = direct_conv(x.astype(np.float64), w, b, stride, pad, dilation, relu)
    assert got.shape == (expected.size,)
    # float32 sums differ from the exact one by at most a few ulps of the absolute sum; Winograd's
    # transforms (factors up to 2 and 0.5) stay within 1e-5 of it.
    np.testing.assert_array_less(np.abs(got - expected.ravel()), 1e-5 * mag.ravel() + 1e-6)


def test_small_classifier_chain(make_model):
    """conv 3x3 + ReLU, 1x1 conv, then a fully connected layer over the whole feature map."""
    rng = np.random.default_rng(1)
    x = rng.standard_normal((6, 6, 3)).astype(np.float32)
    w1 = rng.standard_normal((8, 3, 3, 3)).astype(np.float32)
    w2 = rng.standard_normal((4, 8, 1, 1)).astype(np.float32)
    wf = rng.standard_normal((10, 6 * 6 * 4)).astype(np.float32)
    bf = rng.standard_normal(10).astype(np.float32)

    g = Graph("tiny")
    t = g.input("x", shape=(6, 6, 3))
    t = g.node("conv_fp32", "c1", inputs=[t], relu=True, C_out=8, C_in=3, kH=3, kW=3, pad_h=1, pad_w=1)
    t = g.node("conv_fp32", "c2", inputs=[t], C_out=4, C_in=8)
    g.output(g.node("gemm_fp32", "fc", inputs=[t], C_out=10, C_in=144))
    model = make_model(g, {"c1.weight": w1, "c2.weight": w2, "fc.weight": wf, "fc.bias": bf})

    h, _ = direct_conv(x.astype(np.float64), w1, None, (1, 1), (1, 1), (1, 1), True)
    h, _ = direct_conv(h, w2, None, (1, 1), (0, 0), (1, 1), False)
    expected = wf.astype(np.float64) @ h.ravel() + bf
    np.testing.assert_allclose(model.forward(x), expected, rtol=1e-4, atol=1e-4)


def test_grouped_convolution_is_refused_at_load(make_model):
    g = Graph("grouped")
    t = g.input("x", shape=(4, 4, 4))
    g.output(g.node("conv_fp32", "dw", inputs=[t], C_out=4, C_in=4, kH=3, kW=3, groups=4))
    with pytest.raises(RuntimeError, match="^grouped float convolution is not supported: dw$"):
        make_model(g, {"dw.weight": np.zeros((4, 1, 3, 3), np.float32)})


def test_input_channels_must_match(make_model):
    g = Graph("mismatch")
    t = g.input("x", shape=(4, 4, 3))
    g.output(g.node("conv_fp32", "c", inputs=[t], C_out=2, C_in=5, kH=1, kW=1))
    model = make_model(g, {"c.weight": np.zeros((2, 5, 1, 1), np.float32)})
    with pytest.raises(RuntimeError, match="^node 'c': input has 3 channels, expected 5$"):
        model.forward(np.zeros((4, 4, 3), np.float32))
