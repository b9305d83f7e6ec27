"""lstm_fp32 against torch.nn.LSTM with the same weights, and conv1d_int8 against an integer
reference of its formulas (im2col path) and against torch's float convolution of the dequantised
weights (every path, grouped and depthwise included)."""

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")
torch = pytest.importorskip("torch")


def lstm_model(make_model, lstm, K, H, bidirectional):
    g = Graph("lstm")
    t = g.input("x", shape=(0, K))
    g.output(g.node("lstm_fp32", "enc.lstm", inputs=[t], hidden_size=H, bidirectional=bidirectional))
    weights = {f"enc.lstm.{name}": p.detach().numpy().astype(np.float32) for name, p in lstm.named_parameters()}
    return make_model(g, weights)


# The polynomial exp is within 8e-8 (relative) of e^x and the refined reciprocal within 6.4e-8 of
# 1/d, so sigma and tanh are within 2 units in the last place; measured against a float64 LSTM, the
# hidden states here stay within 3.5e-7, as torch's float32 ones do. The bound leaves room for the
# two float32 sums differing in order from step to step.
LSTM_TOLERANCE = 2e-6


@pytest.mark.parametrize("H", [5, 64])
@pytest.mark.parametrize("bidirectional", [False, True])
def test_lstm_matches_torch(make_model, H, bidirectional):
    torch.manual_seed(H)
    K, T = 24, 37
    lstm = torch.nn.LSTM(K, H, batch_first=True, bidirectional=bidirectional)
    model = lstm_model(make_model, lstm, K, H, bidirectional)
    x = torch.randn(1, T, K) * 2
    with torch.no_grad():
        expected = lstm(x)[0][0].numpy()
    got = model.forward(x[0].numpy()).reshape(T, -1)
    assert got.shape == expected.shape
    np.testing.assert_allclose(got, expected, rtol=0, atol=LSTM_TOLERANCE)


def test_lstm_runs_sequences_of_any_length(make_model):
    torch.manual_seed(0)
    K, H = 8, 12
    lstm = torch.nn.LSTM(K, H, batch_first=True, bidirectional=True)
    model = lstm_model(make_model, lstm, K, H, True)
    for T in (1, 2, 9):
        x = torch.randn(1, T, K)
        with torch.no_grad():
            expected = lstm(x)[0][0].numpy()
        np.testing.assert_allclose(model.forward(x[0].numpy()).reshape(T, 2 * H), expected, atol=LSTM_TOLERANCE)


def quantize_weight(w):
    """Per-output-channel int8 of a torch conv weight [C_out][C_in/g][K], stored tap-major."""
    scale = np.maximum(np.abs(w).max(axis=(1, 2)) / 127, 1e-8).astype(np.float32)
    q = np.clip(np.round(w / scale[:, None, None]), -127, 127).astype(np.int8)
    return q.transpose(0, 2, 1).copy(), scale  # [C_out][K][C_in/g]


def conv_model(make_model, C_in, C_out, K, stride, padding, dilation, groups, q, scale, bias):
    g = Graph("conv")
    t = g.input("x", shape=(0, C_in))
    g.output(g.node("conv1d_int8", "conv", inputs=[t], C_in=C_in, C_out=C_out, kernel_size=K, stride=stride,
                    padding=padding, dilation=dilation, groups=groups))
    weights = {"conv.weight_i8": q, "conv.w_scales": scale}
    if bias is not None:
        weights["conv.bias"] = bias
    return make_model(g, weights)


CONV_CASES = [  # C_in, C_out, K, stride, padding, dilation, groups, L
    (32, 48, 3, 1, 1, 1, 1, 51),   # per tap
    (24, 16, 5, 1, 6, 3, 1, 40),   # per tap, dilation 3
    (32, 32, 4, 2, 1, 1, 1, 63),   # im2col, stride 2
    (32, 64, 3, 1, 1, 1, 4, 45),   # grouped
    (48, 48, 7, 1, 3, 1, 48, 33),  # depthwise
    (16, 32, 5, 2, 2, 2, 16, 29),  # depthwise multiplier 2, stride 2, dilation 2
]


@pytest.mark.parametrize("case", CONV_CASES)
def test_conv1d_int8_matches_torch_within_the_quantisation(make_model, case):
    C_in, C_out, K, stride, padding, dilation, groups, L = case
    torch.manual_seed(sum(case))
    conv = torch.nn.Conv1d(C_in, C_out, K, stride=stride, padding=padding, dilation=dilation, groups=groups)
    q, scale = quantize_weight(conv.weight.detach().numpy())
    bias = conv.bias.detach().numpy()
    model = conv_model(make_model, C_in, C_out, K, stride, padding, dilation, groups, q, scale, bias)
    x = torch.randn(1, C_in, L)
    w_deq = torch.from_numpy(q.transpose(0, 2, 1).astype(np.float32) * scale[:, None, None])
    with torch.no_grad():
        expected = torch.nn.functional.conv1d(x, w_deq, conv.bias, stride, padding, dilation, groups)[0].T.numpy()
    got = model.forward(x[0].T.contiguous().numpy()).reshape(expected.shape)
    # Activations are rounded to 1/254 of their row's largest magnitude: each product is off by at most
    # half a step times the weight, so the error is bounded by sum |w| x step / 2 per output.
    step = np.abs(x[0].numpy()).max() / 127
    bound = np.abs(w_deq.numpy()).sum(axis=(1, 2)) * step / 2 + 1e-5
    assert (np.abs(got - expected) <= bound).all()
    assert np.abs(got - expected).max() > 0  # the activations were quantised


def test_conv1d_int8_im2col_path_is_exact(make_model):
    """Stride 2: im2col rows quantised on their own, float(acc) x w_scale x s + bias in float32."""
    C_in, C_out, K, stride, padding, L = 10, 12, 3, 2, 1, 26
    rng = np.random.default_rng(4)
    q = rng.integers(-128, 128, (C_out, K, C_in), dtype=np.int8)
    scale = (rng.random(C_out) * 0.02 + 1e-3).astype(np.float32)
    bias = rng.standard_normal(C_out).astype(np.float32)
    model = conv_model(make_model, C_in, C_out, K, stride, padding, 1, 1, q, scale, bias)
    x = rng.standard_normal((L, C_in)).astype(np.float32)
    L_out = (L + 2 * padding - (K - 1) - 1) // stride + 1
    padded = np.zeros((L + 2 * padding, C_in), np.float32)
    padded[padding:padding + L] = x
    rows = np.stack([padded[t * stride:t * stride + K].ravel() for t in range(L_out)])
    s = np.maximum(np.abs(rows).max(axis=1) * np.float32(0.007874016), np.float32(1e-8)).astype(np.float32)
    v = rows * (np.float32(1) / s)[:, None]
    qx = np.clip(np.sign(v) * np.floor(np.abs(v).astype(np.float64) + 0.5), -128, 127).astype(np.int64)
    acc = qx @ q.reshape(C_out, -1).T.astype(np.int64)
    expected = (acc.astype(np.float32) * scale) * s[:, None] + bias
    np.testing.assert_array_equal(model.forward(x).reshape(L_out, C_out), expected.astype(np.float32))
