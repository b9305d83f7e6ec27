"""seqgemm_fp32 and seqgemm_int8 end to end: a two-layer feed-forward block over a sequence whose
length is given at run time, against numpy references written from the formulas."""

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")


def gelu(x):
    x = x.astype(np.float64)
    return 0.5 * x * (1 + np.tanh(0.7978846 * (x + 0.044715 * x**3)))


def quantize_rows(x):
    """Symmetric int8 per row, half away from zero (the engine's dynamic row quantisation)."""
    s = np.maximum(np.abs(x).max(axis=-1, keepdims=True) * np.float32(0.007874016), np.float32(1e-8))
    v = x * (np.float32(1) / s)
    q = np.clip(np.sign(v) * np.floor(np.abs(v) + 0.5), -128, 127)
    return q.astype(np.int64), s.astype(np.float64)


def feed_forward(make_model, C, H, up_name="layers.0.up"):
    rng = np.random.default_rng(5)
    w_up = rng.standard_normal((H, C)).astype(np.float32) * 0.2
    b_up = rng.standard_normal(H).astype(np.float32) * 0.1
    # The up projection is stored quantised; the engine rebuilds the float weight at load.
    scale_up = (np.abs(w_up).max(axis=1) / 127).astype(np.float32)
    w_up_i8 = np.round(w_up / scale_up[:, None]).astype(np.int8)
    w_down = rng.integers(-127, 128, (C, H), dtype=np.int8)
    s_down = (rng.random(C) * 0.01 + 0.001).astype(np.float32)
    b_down = rng.standard_normal(C).astype(np.float32) * 0.1
    g = Graph("ffn")
    t = g.input("x", shape=(0, C))
    t = g.node("seqgemm_fp32", up_name, inputs=[t], C_in=C, C_out=H, gelu=True)
    g.output(g.node("seqgemm_int8", "down", inputs=[t], C_in=H, C_out=C))
    weights = {f"{up_name}.weight_i8": w_up_i8, f"{up_name}.w_scales": scale_up,
               f"{up_name}.bias": b_up, "down.weight_i8": w_down, "down.w_scales": s_down, "down.bias": b_down}
    w_up_float = w_up_i8.astype(np.float32) * scale_up[:, None]
    return make_model(g, weights), (w_up_float, b_up, w_down, s_down, b_down)


def reference(x, w_up, b_up, w_down, s_down, b_down):
    h = gelu(x.astype(np.float64) @ w_up.T.astype(np.float64) + b_up).astype(np.float32)
    q, s = quantize_rows(h)
    return (q @ w_down.T.astype(np.int64)) * s_down.astype(np.float64) * s + b_down


@pytest.mark.parametrize("T", [3, 17, 64])
def test_feed_forward_block_over_a_sequence(make_model, T):
    C, H = 32, 96
    model, params = feed_forward(make_model, C, H, up_name="blocks.0.up")
    x = np.random.default_rng(T).standard_normal((T, C)).astype(np.float32)
    got = model.forward(x)
    assert got.shape == (T * C,)
    # The int8 step quantises the float hidden state: where it lands on a rounding boundary the
    # engine and numpy may pick neighbouring levels, one step of one input in H.
    np.testing.assert_allclose(got.reshape(T, C), reference(x, *params), rtol=1e-3, atol=2e-3)


@pytest.mark.parametrize("name, decode", [("layers.0.up", True), ("lm_head", True), ("up", False)])
def test_single_position_takes_the_int8_decode_path(make_model, name, decode):
    C, H = 48, 40
    rng = np.random.default_rng(2)
    w = rng.standard_normal((H, C)).astype(np.float32)
    b = rng.standard_normal(H).astype(np.float32)
    g = Graph("proj")
    t = g.input("x", shape=(0, C))
    g.output(g.node("seqgemm_fp32", name, inputs=[t], C_in=C, C_out=H))
    model = make_model(g, {f"{name}.weight": w, f"{name}.bias": b})
    x = rng.standard_normal((1, C)).astype(np.float32)
    float_result = x.astype(np.float64) @ w.T.astype(np.float64) + b
    # The decode copy: rows at amax/127, the input quantised as one row, exact integer sums.
    amax = np.abs(w).max(axis=1).astype(np.float32)
    w_q = np.clip(np.sign(w) * np.floor(np.abs(w * np.float32(127) / amax[:, None]) + 0.5), -128, 127)
    xq, xs = quantize_rows(x)
    int8_result = (xq @ w_q.T.astype(np.int64)).ravel() * (amax * np.float32(0.007874016)) * xs.item() + b
    assert np.abs(int8_result - float_result).max() > 1e-3  # the two paths are told apart
    got = model.forward(x)
    np.testing.assert_allclose(got, (int8_result if decode else float_result).ravel(), rtol=1e-5, atol=1e-5)
    # Two positions never take the decode path.
    x2 = np.vstack([x, x])
    np.testing.assert_allclose(model.forward(x2), np.tile(float_result.ravel(), 2), rtol=1e-5, atol=1e-5)


def test_width_mismatch_names_the_node(make_model):
    g = Graph("bad")
    t = g.input("x", shape=(0, 8))
    g.output(g.node("seqgemm_fp32", "proj", inputs=[t], C_in=6, C_out=4))
    model = make_model(g, {"proj.weight": np.zeros((4, 6), np.float32)})
    with pytest.raises(RuntimeError, match="node 'proj': input has 8 channels, expected C_in 6"):
        model.forward(np.zeros((2, 8), np.float32))


def test_info_accepts_a_quantised_weight_and_names_what_is_missing(tmp_path):
    from trevalon.arch import read_arch
    from trevalon.weights_check import missing_weights

    g = Graph("two")
    t = g.input("x", shape=(0, 4))
    t = g.node("seqgemm_fp32", "a.up", inputs=[t], C_in=4, C_out=4)
    g.output(g.node("seqgemm_int8", "down", inputs=[t], C_in=4, C_out=4))
    g.save(tmp_path / "m.json")
    info = read_arch(str(tmp_path / "m.json"))
    assert missing_weights(info, {"a.up.weight_i8", "a.up.w_scales", "down.weight_i8"}) == ["down.w_scales"]
    assert missing_weights(info, {"a.up.weight_i8", "down.weight_i8", "down.w_scales"}) == ["a.up.weight"]
