"""conv1d_fp32 and conv_transpose1d_fp32 end to end against torch and a float64 convolution; the
path switch BRASKO_FP32_CONV1D_DIRECT observed through the results it changes."""

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")
torch = pytest.importorskip("torch")
F = torch.nn.functional

SWITCH = "BRASKO_FP32_CONV1D_DIRECT"


def conv1d_model(make_model, L, C_in, w, b, stride=1, padding=0, dilation=1, groups=1, relu=False):
    C_out, _, K = w.shape
    g = Graph("conv1d")
    t = g.input("x", shape=(L, C_in))
    g.output(g.node("conv1d_fp32", "conv", inputs=[t], relu=relu, C_out=C_out, C_in=C_in, kernel_size=K,
                    stride=stride, padding=padding, dilation=dilation, groups=groups))
    weights = {"conv.weight": w}
    if b is not None:
        weights["conv.bias"] = b
    return make_model(g, weights)


def torch_conv1d(x, w, b, **kw):
    """x: L x C (float64 here); returns L_out x C_out."""
    xt = torch.from_numpy(x.T[None].copy())
    out = F.conv1d(xt, torch.from_numpy(w), None if b is None else torch.from_numpy(b), **kw)
    return out[0].T.numpy()


def magnitude(x, w, b, **kw):
    """Sum of |x w| + |b| per output: bounds the rounding of any float32 summation order."""
    return torch_conv1d(np.abs(x), np.abs(w), None if b is None else np.abs(b), **kw)


CASES = [
    # C_in, C_out, K, stride, padding, dilation, groups, L, relu, bias
    (7, 9, 3, 1, 1, 1, 1, 45, False, True),      # Winograd F(4,3), partial last tile
    (12, 10, 7, 1, 3, 1, 1, 33, True, True),     # F(2,7), odd length
    (16, 16, 11, 1, 5, 1, 1, 61, False, True),   # F(2,11)
    (8, 6, 3, 1, 3, 3, 1, 29, True, False),      # dilation 3: direct
    (9, 12, 5, 1, 2, 1, 1, 40, False, True),     # direct
    (10, 5, 1, 1, 0, 1, 1, 19, True, True),      # pointwise
    (6, 8, 4, 2, 1, 1, 1, 23, False, True),      # stride 2: general
    (6, 8, 3, 2, 3, 3, 1, 31, True, True),       # stride 2, dilation 3
    (8, 12, 3, 1, 1, 1, 4, 21, False, True),     # groups 4
    (16, 16, 7, 1, 3, 1, 16, 50, True, True),    # depthwise
    (16, 16, 5, 2, 2, 3, 16, 37, False, False),  # depthwise, stride 2, dilation 3
]


@pytest.mark.parametrize("case", CASES, ids=[f"case{i}" for i in range(len(CASES))])
def test_conv1d_matches_torch(make_model, case):
    C_in, C_out, K, stride, padding, dilation, groups, L, relu, bias = case
    rng = np.random.default_rng(sum(case[:8]))
    x = rng.standard_normal((L, C_in)).astype(np.float32)
    w = (rng.standard_normal((C_out, C_in // groups, K)) / np.sqrt(C_in // groups * K)).astype(np.float32)
    b = rng.standard_normal(C_out).astype(np.float32) if bias else None
    kw = dict(stride=stride, padding=padding, dilation=dilation, groups=groups)
    got = conv1d_model(make_model, L, C_in, w, b, relu=relu, **kw).forward(x)

    b64 = None if b is None else b.astype(np.float64)
    exact = torch_conv1d(x.astype(np.float64), w.astype(np.float64), b64, **kw)
    mag = magnitude(x.astype(np.float64), w.astype(np.float64), b64, **kw)
    peer = torch_conv1d(x, w, b, **kw)
    if relu:
        exact, peer = np.maximum(exact, 0), np.maximum(peer, 0)
    assert got.shape == (exact.size,)
    # The direct paths round like any float sum; Winograd F(2,11)'s transforms widen that a lot.
    tol = 5e-3 if K == 11 and groups == 1 and stride == 1 and dilation == 1 else 1e-5
    np.testing.assert_array_less(np.abs(got - exact.ravel()), tol * mag.ravel() + 1e-6)
    np.testing.assert_allclose(got, peer.ravel(), rtol=0, atol=tol * mag.max() + 1e-5)


def speech_like(L, C, rng):
    """Channels of a voiced signal: harmonics of a gliding pitch under a syllable envelope, noise."""
    t = np.arange(L) / 24000.0
    f0 = 120 + 40 * np.sin(2 * np.pi * 3 * t)
    phase = 2 * np.pi * np.cumsum(f0) / 24000.0
    envelope = np.clip(np.sin(2 * np.pi * 4 * t), 0, None) ** 2
    out = np.empty((L, C))
    for c in range(C):
        h = 1 + c % 8
        out[:, c] = envelope * np.sin(h * phase + c) / h + 0.05 * rng.standard_normal(L)
    return out.astype(np.float32)


@pytest.mark.parametrize("K", [3, 7, 11])
def test_winograd_error_against_direct_on_speech(make_model, monkeypatch, K):
    """Realistic weights (N(0, 1/sqrt(C K))) on a speech-like signal: Winograd against the direct
    path, as a fraction of the output's range. Measured: F(4,3) 2e-7, F(2,7) 1.5e-6, F(2,11) 1.4e-3
    (direct: 6e-7)."""
    C, L = 64, 2400
    rng = np.random.default_rng(K)
    x = speech_like(L, C, rng)
    w = (rng.standard_normal((C, C, K)) / np.sqrt(C * K)).astype(np.float32)
    b = (0.1 * rng.standard_normal(C)).astype(np.float32)
    monkeypatch.setenv(SWITCH, "wino")
    wino = conv1d_model(make_model, L, C, w, b, padding=K // 2).forward(x)
    monkeypatch.setenv(SWITCH, str(K))
    direct = conv1d_model(make_model, L, C, w, b, padding=K // 2).forward(x)
    exact = torch_conv1d(x.astype(np.float64), w.astype(np.float64), b.astype(np.float64),
                         padding=K // 2).ravel()
    span = exact.max() - exact.min()
    wino_err = np.abs(wino - exact).max() / span
    direct_err = np.abs(direct - exact).max() / span
    print(f"K={K}: Winograd max error {wino_err:.2e} of the output range, direct {direct_err:.2e}")
    assert direct_err < 1e-6
    assert wino_err < {3: 1e-5, 7: 1e-4, 11: 5e-3}[K]
    assert not np.array_equal(wino, direct)  # two paths were taken


def test_switch_selects_direct_per_kernel_size(make_model, monkeypatch):
    """"3,7" sends 3- and 7-tap layers to the direct kernel and leaves 11 on Winograd; "all" and "1"
    send every layer there; "wino" and values starting with 0 keep Winograd. The direct path is the
    one every "all" model takes, so equal results mean the same path."""
    rng = np.random.default_rng(3)
    C, L = 8, 40
    x = rng.standard_normal((L, C)).astype(np.float32)
    ws = {K: rng.standard_normal((C, C, K)).astype(np.float32) for K in (3, 7, 11)}

    def run(value, K):
        monkeypatch.setenv(SWITCH, value)
        return conv1d_model(make_model, L, C, ws[K], None, padding=K // 2).forward(x)

    direct = {K: run("all", K) for K in ws}
    wino = {K: run("wino", K) for K in ws}
    for K in ws:
        assert not np.array_equal(direct[K], wino[K])
        np.testing.assert_array_equal(run("1", K), direct[K])
        np.testing.assert_array_equal(run("0,3,7,11", K), wino[K])
    np.testing.assert_array_equal(run("3,7", 3), direct[3])
    np.testing.assert_array_equal(run("3,7", 7), direct[7])
    np.testing.assert_array_equal(run("3,7", 11), wino[11])


TRANSPOSE_CASES = [
    # C_in, C_out, K, stride, padding, output_padding, groups, L
    (6, 4, 4, 2, 1, 0, 1, 10),    # L_out 20
    (6, 4, 4, 2, 1, 1, 1, 10),    # L_out 21
    (8, 6, 4, 2, 1, 1, 2, 13),    # groups 2
    (12, 12, 3, 2, 1, 1, 12, 9),  # depthwise
    (32, 16, 16, 8, 4, 0, 1, 25),  # upsampling by 8
    (16, 8, 3, 1, 1, 0, 1, 7),    # stride 1
]


@pytest.mark.parametrize("case", TRANSPOSE_CASES, ids=[f"case{i}" for i in range(len(TRANSPOSE_CASES))])
def test_conv_transpose1d_matches_torch(make_model, case):
    C_in, C_out, K, stride, padding, output_padding, groups, L = case
    rng = np.random.default_rng(sum(case))
    x = rng.standard_normal((L, C_in)).astype(np.float32)
    w = rng.standard_normal((C_in, C_out // groups, K)).astype(np.float32)
    b = rng.standard_normal(C_out).astype(np.float32)
    g = Graph("up")
    t = g.input("x", shape=(L, C_in))
    g.output(g.node("conv_transpose1d_fp32", "up", inputs=[t], C_out=C_out, C_in=C_in, kernel_size=K,
                    stride=stride, padding=padding, output_padding=output_padding, groups=groups))
    got = make_model(g, {"up.weight": w, "up.bias": b}).forward(x)

    kw = dict(stride=stride, padding=padding, output_padding=output_padding, groups=groups)

    def transpose(xa, wa, ba):
        xt = torch.from_numpy(xa.T[None].copy())
        return F.conv_transpose1d(xt, torch.from_numpy(wa), torch.from_numpy(ba), **kw)[0].T.numpy()

    exact = transpose(x.astype(np.float64), w.astype(np.float64), b.astype(np.float64))
    mag = transpose(np.abs(x).astype(np.float64), np.abs(w).astype(np.float64), np.abs(b).astype(np.float64))
    assert exact.shape[0] == K + stride * (L - 1) + output_padding - 2 * padding
    assert got.shape == (exact.size,)
    np.testing.assert_array_less(np.abs(got - exact.ravel()), 1e-5 * mag.ravel() + 1e-6)
    np.testing.assert_allclose(got, transpose(x, w, b).ravel(), rtol=0, atol=1e-5 * mag.max())
