"""Element-wise layers end to end: float and int8 add, scale, snake and the two upsampling layers,
run through model_inference and compared with numpy references written from the formulas."""

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")


def round_half_away(x):
    return np.sign(x) * np.floor(np.abs(x) + 0.5)


def q31(ratio):
    """Q31 multiplier and exponent: ratio = m / 2^31 * 2^e, m rounded half away from zero."""
    if ratio == 0 or not np.isfinite(ratio):
        return 0, 0
    frac, exp = np.frexp(np.float64(ratio))
    m = int(round_half_away(frac * 2.0**31))
    if m == 2**31:
        return 2**30, int(exp) + 1
    return m, int(exp)


def ref_add_int8(a, b, s1, s2, so, z1, z2, zo):
    a = a.astype(np.int64).ravel()
    b = b.astype(np.int64).ravel()
    r1 = np.float32(s1) / np.float32(so)
    r2 = np.float32(s2) / np.float32(so)
    (m1, e1), (m2, e2) = q31(r1), q31(r2)
    small = abs(r1) <= np.float32(7.99) and abs(r2) <= np.float32(7.99)
    group = 16 if small else 8
    n = a.size
    g = n - n % group
    out = np.empty(n, np.int64)
    if small:
        u = int(round_half_away(np.float64(r1) * 4096))
        v = int(round_half_away(np.float64(r2) * 4096))
        j = zo * 4096 - z1 * u - z2 * v
        out[:g] = (j + u * a[:g] + v * b[:g] + 2048) >> 12
    else:
        def high_mul(d, m, e):
            t = (d * m + (1 << 30)) >> 31
            return t << e if e >= 0 else (t + (1 << (-e - 1))) >> -e
        out[:g] = zo + high_mul(a[:g] - z1, m1, e1) + high_mul(b[:g] - z2, m2, e2)

    def single(d, m, e):
        return (d * m + (1 << (30 - e))) >> (31 - e)
    out[g:] = zo + single(a[g:] - z1, m1, e1) + single(b[g:] - z2, m2, e2)
    return np.clip(out, -128, 127)


@pytest.mark.parametrize("relu", [False, True])
def test_add_fp32(make_model, relu):
    g = Graph("add")
    a = g.input("a", shape=(3, 5, 7))
    b = g.input("b", shape=(3, 5, 7))
    g.output(g.node("add_fp32", "sum", inputs=[a, b], relu=relu))
    model = make_model(g)
    rng = np.random.default_rng(1)
    x, y = (rng.standard_normal((3, 5, 7)).astype(np.float32) for _ in range(2))
    want = x + y
    if relu:
        want = np.maximum(want, 0)
    np.testing.assert_array_equal(model.forward({"a": x, "b": y})["sum"], want.ravel())


@pytest.mark.parametrize("shape, scales, zps", [
    ((3, 3, 2), (0.37, 0.61, 1.0), (0, 0, 0)),       # 16 by Q12, 2 by the tail
    ((5, 7, 3), (0.02, 0.03, 0.05), (-128, 127, 3)),
    ((9,), (10.0, 1.0, 1.0), (0, 0, 0)),             # 8 by the high multiply, 1 by the tail
    ((4, 5, 6), (0.9, 33.0, 4.0), (-5, 100, 20)),
])
def test_add_int8(make_model, shape, scales, zps):
    s1, s2, so = scales
    z1, z2, zo = zps
    g = Graph("qadd")
    a = g.input("a", shape=shape, dtype="int8")
    b = g.input("b", shape=shape, dtype="int8")
    g.output(g.node("add_int8", "sum", inputs=[a, b], in1_scale=s1, in2_scale=s2, out_scale=so,
                    in1_zp=z1, in2_zp=z2, out_zp=zo))
    model = make_model(g)
    rng = np.random.default_rng(2)
    x, y = (rng.integers(-128, 128, size=shape, dtype=np.int8) for _ in range(2))
    out = model.forward({"a": x, "b": y})["sum"]
    np.testing.assert_array_equal(out, ref_add_int8(x, y, s1, s2, so, z1, z2, zo).astype(np.float32))


def test_scale_and_snake(make_model):
    T, C = 9, 6
    alpha = np.random.default_rng(3).uniform(0.2, 3.0, C).astype(np.float32)
    g = Graph("snake")
    x = g.input("x", shape=(T, C))
    s = g.node("scale_fp32", "half", inputs=[x], scalar=0.5)
    g.output(g.node("snake1d_fp32", "snk", inputs=[s]))
    model = make_model(g, {"snk.alpha": alpha})
    data = np.random.default_rng(4).uniform(-4, 4, (T, C)).astype(np.float32)
    half = data * np.float32(0.5)
    want = half + np.sin(alpha.astype(np.float64) * half) ** 2 / (alpha.astype(np.float64) + 1e-9)
    np.testing.assert_allclose(model.forward(data), want.ravel(), rtol=1e-5, atol=2e-5)


def test_snake_without_alpha_fails_naming_the_tensor(make_model):
    g = Graph("snake")
    x = g.input("x", shape=(4, 3))
    g.output(g.node("snake1d_fp32", "voc", inputs=[x]))
    model = make_model(g)
    with pytest.raises(RuntimeError, match="^missing weight tensor: voc.alpha$"):
        model.forward(np.ones((4, 3), np.float32))


def bilinear_reference(img, out_h, out_w):
    H, W, _ = img.shape

    def taps(size, out_size):
        pos = (np.arange(out_size) + 0.5) * size / out_size - 0.5
        base = np.floor(pos)
        lo = np.clip(base, 0, size - 1).astype(int)
        hi = np.clip(base + 1, 0, size - 1).astype(int)
        return lo, hi, pos - base

    y0, y1, f = taps(H, out_h)
    x0, x1, gx = taps(W, out_w)
    img = img.astype(np.float64)
    f = f[:, None, None]
    gx = gx[None, :, None]
    top = img[y0][:, x0] * (1 - gx) + img[y0][:, x1] * gx
    bottom = img[y1][:, x0] * (1 - gx) + img[y1][:, x1] * gx
    return top * (1 - f) + bottom * f


@pytest.mark.parametrize("shape, scale_h, scale_w, out_hw", [
    ((2, 2, 1), 2.0, 2.0, (4, 4)),
    ((5, 3, 4), 1.5, 2.0, (8, 6)),     # int(1.5 * 5 + 0.5) = 8
    ((4, 6, 17), 0.5, 1.0, (2, 6)),
])
def test_upsample_bilinear(make_model, shape, scale_h, scale_w, out_hw):
    g = Graph("up")
    x = g.input("x", shape=shape)
    g.output(g.node("upsample_bilinear_fp32", "up", inputs=[x], scale_h=scale_h, scale_w=scale_w))
    model = make_model(g)
    img = np.random.default_rng(5).standard_normal(shape).astype(np.float32)
    out = model.forward(img)
    assert out.shape == (out_hw[0] * out_hw[1] * shape[2],)
    np.testing.assert_allclose(out, bilinear_reference(img, *out_hw).ravel(), rtol=1e-6, atol=1e-6)


def test_upsample_bilinear_two_by_two_samples_row_zero_only(make_model):
    # Output row 0 samples s = -0.25: input row 0 alone; row 1 mixes rows 0 and 1 as 3:1.
    g = Graph("up")
    x = g.input("x", shape=(2, 2, 1))
    g.output(g.node("upsample_bilinear_fp32", "up", inputs=[x]))
    out = make_model(g).forward(np.array([[0, 4], [8, 12]], np.float32).reshape(2, 2, 1))
    np.testing.assert_array_equal(out.reshape(4, 4), [[0, 1, 3, 4], [2, 3, 5, 6], [6, 7, 9, 10],
                                                      [8, 9, 11, 12]])


def test_upsample_nearest1d(make_model):
    g = Graph("rep")
    x = g.input("x", shape=(5, 3))
    g.output(g.node("upsample_nearest1d_fp32", "rep", inputs=[x], scale_factor=3))
    model = make_model(g)
    seq = np.random.default_rng(6).standard_normal((5, 3)).astype(np.float32)
    np.testing.assert_array_equal(model.forward(seq), np.repeat(seq, 3, axis=0).ravel())
