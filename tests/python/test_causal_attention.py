"""causal_attn_core_fp32 through the model: causal attention with rotary embedding against float64
and torch references, the key/value cache the model keeps across passes (positions, reset,
capacity, the "KV cache full" refusal), and the cache settings of the Python surface."""

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")


def core_model(make_model, nq, nkv, hd, theta=10000.0, max_positions=None):
    g = Graph("core", max_positions=max_positions)
    q = g.input("q", shape=(0, nq * hd))
    k = g.input("k", shape=(0, nkv * hd))
    v = g.input("v", shape=(0, nkv * hd))
    g.output(g.node("causal_attn_core_fp32", "att", inputs=[q, k, v], num_q_heads=nq,
                    num_kv_heads=nkv, head_dim=hd, rope_theta=theta))
    return make_model(g)


def sequence(n, nq, nkv, hd, seed=0):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((n, nq * hd)).astype(np.float32),
            rng.standard_normal((n, nkv * hd)).astype(np.float32),
            rng.standard_normal((n, nkv * hd)).astype(np.float32))


def run(model, q, k, v, start, stop):
    out = model.forward({"q": q[start:stop], "k": k[start:stop], "v": v[start:stop]})["att"]
    return out.reshape(stop - start, -1)


def rotate(x, heads, hd, theta):
    """Rotary embedding on the two halves of each head, positions 0..n-1, in float64."""
    n = x.shape[0]
    x = x.astype(np.float64).reshape(n, heads, hd).copy()
    if hd < 2:
        return x
    half = hd // 2
    angle = np.arange(n)[:, None] * theta ** (-2.0 * np.arange(half) / hd)[None, :]
    c, s = np.cos(angle)[:, None, :], np.sin(angle)[:, None, :]
    x1, x2 = x[..., :half].copy(), x[..., half:2 * half].copy()
    x[..., :half], x[..., half:2 * half] = c * x1 - s * x2, c * x2 + s * x1
    return x


def reference(q, k, v, nq, nkv, hd, theta):
    n = q.shape[0]
    qr, kr = rotate(q, nq, hd, theta), rotate(k, nkv, hd, theta)
    vv = v.astype(np.float64).reshape(n, nkv, hd)
    group = nq // nkv
    out = np.zeros((n, nq, hd))
    for g in range(nq):
        s = qr[:, g] @ kr[:, g // group].T / np.sqrt(hd)
        s[np.triu_indices(n, 1)] = -np.inf
        w = np.exp(s - s.max(axis=1, keepdims=True))
        out[:, g] = (w / w.sum(axis=1, keepdims=True)) @ vv[:, g // group]
    return out.reshape(n, nq * hd)


@pytest.mark.parametrize("nq,nkv,hd,n,theta", [(2, 1, 8, 9, 10000.0), (8, 2, 16, 21, 10000.0),
                                               (9, 3, 64, 40, 100000.0), (4, 4, 6, 5, 500.0),
                                               (3, 1, 1, 7, 10000.0)])
def test_one_pass_is_causal_attention_with_rotary_embedding(make_model, nq, nkv, hd, n, theta):
    model = core_model(make_model, nq, nkv, hd, theta)
    q, k, v = sequence(n, nq, nkv, hd)
    got = run(model, q, k, v, 0, n)
    assert model.kv_positions == n
    np.testing.assert_allclose(got, reference(q, k, v, nq, nkv, hd, theta), rtol=1e-4, atol=1e-4)


def test_matches_torch_scaled_dot_product_attention_with_repeated_heads(make_model):
    torch = pytest.importorskip("torch")
    nq, nkv, hd, n, theta = 8, 2, 32, 24, 10000.0
    model = core_model(make_model, nq, nkv, hd, theta)
    q, k, v = sequence(n, nq, nkv, hd, seed=3)
    qr = torch.tensor(rotate(q, nq, hd, theta)).transpose(0, 1)          # heads x n x hd
    kr = torch.tensor(rotate(k, nkv, hd, theta)).transpose(0, 1).repeat_interleave(nq // nkv, 0)
    vv = torch.tensor(v.astype(np.float64).reshape(n, nkv, hd)).transpose(0, 1)
    vv = vv.repeat_interleave(nq // nkv, 0)
    want = torch.nn.functional.scaled_dot_product_attention(qr, kr, vv, is_causal=True)
    np.testing.assert_allclose(run(model, q, k, v, 0, n), want.transpose(0, 1).reshape(n, -1).numpy(),
                               rtol=1e-4, atol=1e-4)


def test_passes_over_the_cache_equal_one_pass(make_model):
    nq, nkv, hd, n = 9, 3, 64, 30
    q, k, v = sequence(n, nq, nkv, hd, seed=1)
    whole = run(core_model(make_model, nq, nkv, hd), q, k, v, 0, n)

    # prefill of 29 then one token: the last row of attention over 30
    model = core_model(make_model, nq, nkv, hd)
    run(model, q, k, v, 0, n - 1)
    np.testing.assert_array_equal(run(model, q, k, v, n - 1, n), whole[-1:])
    assert model.kv_positions == n

    # a prefill split in two chunks, then decode steps
    model.reset_kv_cache()
    assert model.kv_positions == 0
    parts = [run(model, q, k, v, 0, 11), run(model, q, k, v, 11, 27)]
    parts += [run(model, q, k, v, t, t + 1) for t in range(27, n)]
    np.testing.assert_array_equal(np.concatenate(parts), whole)

    # reset, then the same again
    model.reset_kv_cache()
    np.testing.assert_array_equal(run(model, q, k, v, 0, n), whole)


def test_grouped_heads_read_their_own_key_value_head(make_model):
    nq, nkv, hd, n = 8, 2, 4, 5
    q, k, _ = sequence(n, nq, nkv, hd, seed=2)
    v = np.concatenate([np.full((n, hd), 1.0), np.full((n, hd), -1.0)], axis=1).astype(np.float32)
    got = run(core_model(make_model, nq, nkv, hd), q, k, v, 0, n).reshape(n, nq, hd)
    np.testing.assert_allclose(got[:, :4], 1.0, atol=1e-6)
    np.testing.assert_allclose(got[:, 4:], -1.0, atol=1e-6)


def test_a_full_cache_refuses_the_pass_and_changes_nothing(make_model):
    nq, nkv, hd = 2, 1, 8
    model = core_model(make_model, nq, nkv, hd, max_positions=6)
    assert (model.kv_capacity, model.kv_positions) == (6, 0)
    q, k, v = sequence(6, nq, nkv, hd, seed=4)
    run(model, q, k, v, 0, 4)
    with pytest.raises(RuntimeError, match=r"^KV cache full: 4 positions held, 3 more requested, "
                                           r"capacity 6$"):
        run(model, np.zeros((3, 16), np.float32), np.zeros((3, 8), np.float32),
            np.zeros((3, 8), np.float32), 0, 3)
    assert model.kv_positions == 4
    tail = run(model, q, k, v, 4, 6)
    np.testing.assert_array_equal(tail, run(core_model(make_model, nq, nkv, hd), q, k, v, 0, 6)[4:])


def test_capacity_can_be_set_and_is_read_only(make_model):
    model = core_model(make_model, 2, 1, 4)
    assert model.kv_capacity == 2048
    q, k, v = sequence(3, 2, 1, 4)
    first = run(model, q, k, v, 0, 3)
    model.set_kv_capacity(3)
    assert (model.kv_capacity, model.kv_positions) == (3, 0)
    np.testing.assert_array_equal(run(model, q, k, v, 0, 3), first)
    with pytest.raises(RuntimeError, match="got -1"):
        model.set_kv_capacity(-1)
    assert (model.kv_capacity, model.kv_positions) == (3, 3)
    with pytest.raises(AttributeError):
        model.kv_positions = 0
    with pytest.raises(AttributeError):
        model.kv_capacity = 10


def test_models_without_a_causal_core_never_count_positions(make_model):
    g = Graph("plain", max_positions=4)
    g.output(g.node("silu_fp32", "act", inputs=[g.input("x", shape=(0, 3))]))
    model = make_model(g)
    for _ in range(3):
        model.forward(np.ones((5, 3), np.float32))
    assert (model.kv_capacity, model.kv_positions) == (4, 0)


def test_bad_head_counts_fail_at_load_naming_the_node(make_model):
    with pytest.raises(RuntimeError, match="node 'att': num_q_heads 6 is not a multiple of "
                                           "num_kv_heads 4"):
        core_model(make_model, 6, 4, 8)
    with pytest.raises(RuntimeError, match="node 'att': num_q_heads, num_kv_heads and head_dim must "
                                           "be positive"):
        core_model(make_model, 2, 1, 0)
