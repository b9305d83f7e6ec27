"""attention_fp32 / attention_int8 end to end: a small JSON model and W1X1 weights against
torch.nn.MultiheadAttention (float) and a numpy reference of the dynamic-row formula (int8)."""

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")


def attention_model(make_model, op, weights, T, E, heads, embed_dim=True, **params):
    g = Graph("att")
    x = g.input("x", shape=(0, E))  # T given at run time
    if embed_dim:
        params["embed_dim"] = E
    g.output(g.node(op, "att", inputs=[x], num_heads=heads, **params))
    return make_model(g, weights)


@pytest.mark.parametrize("T, E, heads, bias", [(1, 32, 4, True), (65, 64, 4, False), (197, 96, 12, True)])
def test_attention_fp32_matches_torch_multihead_attention(make_model, T, E, heads, bias):
    torch = pytest.importorskip("torch")
    torch.manual_seed(T + E)
    mha = torch.nn.MultiheadAttention(E, heads, bias=bias, batch_first=True).eval()
    if bias:  # torch starts its biases at zero
        with torch.no_grad():
            mha.in_proj_bias.uniform_(-0.5, 0.5)
            mha.out_proj.bias.uniform_(-0.5, 0.5)
    weights = {"att.w_qkv": mha.in_proj_weight.detach().numpy(),
               "att.w_proj": mha.out_proj.weight.detach().numpy()}
    if bias:
        weights["att.b_qkv"] = mha.in_proj_bias.detach().numpy()
        weights["att.b_proj"] = mha.out_proj.bias.detach().numpy()
    model = attention_model(make_model, "attention_fp32", weights, T, E, heads, embed_dim=T != 65)
    x = torch.randn(1, T, E)
    with torch.no_grad():
        expected = mha(x, x, x, need_weights=False)[0][0].double().numpy()
    got = model.forward(x[0].numpy()).reshape(T, E)
    rel = np.abs(got - expected).max() / np.abs(expected).max()
    assert rel < 1e-5, rel


def quantize_rows(x):
    s = np.maximum(np.abs(x).max(axis=1) * np.float32(0.007874016), np.float32(1e-8)).astype(np.float32)
    v = x * (np.float32(1) / s)[:, None]
    q = np.clip(np.sign(v) * np.floor(np.abs(v) + np.float32(0.5)), -128, 127)
    return q.astype(np.int64), s


def dynamic_rows(x, w, scales, bias):
    q, s = quantize_rows(x)
    acc = q @ w.astype(np.int64).T
    y = (acc.astype(np.float32) * scales) * s[:, None]
    return y + bias if bias is not None else y


def softmax_heads(qkv, E, heads):
    T, hd = qkv.shape[0], E // heads
    out = np.empty((T, E))
    for h in range(heads):
        q, k, v = (qkv[:, o + h * hd:o + (h + 1) * hd].astype(np.float64) for o in (0, E, 2 * E))
        s = q @ k.T / np.sqrt(hd)
        p = np.exp(s - s.max(axis=1, keepdims=True))
        out[:, h * hd:(h + 1) * hd] = (p / p.sum(axis=1, keepdims=True)) @ v
    return out.astype(np.float32)


def test_attention_int8_follows_the_dynamic_row_formula(make_model):
    rng = np.random.default_rng(5)
    T, E, heads = 70, 48, 3
    w_qkv = rng.integers(-128, 128, (3 * E, E), dtype=np.int8)
    w_proj = rng.integers(-128, 128, (E, E), dtype=np.int8)
    s_qkv = (rng.random(3 * E) * 2e-3 + 5e-4).astype(np.float32)
    s_proj = (rng.random(E) * 2e-3 + 5e-4).astype(np.float32)
    b_qkv = rng.uniform(-0.5, 0.5, 3 * E).astype(np.float32)
    weights = {"att.w_qkv_i8": w_qkv, "att.w_qkv_scales": s_qkv, "att.b_qkv": b_qkv,
               "att.w_proj_i8": w_proj, "att.w_proj_scales": s_proj}
    model = attention_model(make_model, "attention_int8", weights, T, E, heads)
    x = rng.standard_normal((T, E)).astype(np.float32)
    heads_out = softmax_heads(dynamic_rows(x, w_qkv, s_qkv, b_qkv), E, heads)
    expected = dynamic_rows(heads_out, w_proj, s_proj, None)
    got = model.forward(x).reshape(T, E)
    # The heads differ from float64 in the last bits, which may move a value across a rounding step
    # of the second quantisation: one step of an input row changes an output by scale x |w| x s_r.
    step = (np.abs(w_proj).astype(np.float64).max(axis=1) * s_proj).max() * np.abs(heads_out).max() / 127
    assert np.abs(got - expected).max() < 4 * step
    assert np.abs(got - expected).mean() < 1e-3 * np.abs(expected).mean()


def test_attention_refuses_an_input_of_another_width(make_model):
    rng = np.random.default_rng(1)
    E = 32
    weights = {"att.w_qkv": rng.standard_normal((3 * E, E)).astype(np.float32),
               "att.w_proj": rng.standard_normal((E, E)).astype(np.float32)}
    g = Graph("att")
    x = g.input("x", shape=(0, 16))
    g.output(g.node("attention_fp32", "att", inputs=[x], num_heads=4))
    with pytest.raises(RuntimeError, match="node 'att': input has 16 channels, its weights are for width 32"):
        make_model(g, weights).forward(np.zeros((3, 16), np.float32))
