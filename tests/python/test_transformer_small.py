"""Norms, embeddings, the ViT class-token path and the element-wise product end to end: models
written with trevalon.graph and trevalon.w1x1, run through model_inference and compared with torch
(where torch has the layer) or with numpy references written from the formulas."""

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")


def rng(seed):
    return np.random.default_rng(seed)


def f32(a):
    return np.asarray(a, dtype=np.float32)


def test_layer_norm_and_rms_norm_match_torch(make_model):
    torch = pytest.importorskip("torch")
    T, C = 37, 96  # rows past two blocks of 16, channels past the lane blocks
    r = rng(1)
    x = f32(r.standard_normal((T, C)) * 3 + 1.5)
    ln = torch.nn.LayerNorm(C, eps=1e-5)
    rms = torch.nn.RMSNorm(C, eps=1e-6)
    with torch.no_grad():
        for p in (ln.weight, ln.bias, rms.weight):
            p.copy_(torch.from_numpy(f32(r.uniform(0.5, 1.5, C))))
    g = Graph("norms")
    xin = g.input("x", shape=(T, C))
    g.output(g.node("layernorm_fp32", "ln", inputs=[xin], eps=1e-5))
    g.output(g.node("rms_norm_fp32", "rms", inputs=[xin]))
    weights = {"ln.gamma": ln.weight.detach().numpy(), "ln.beta": ln.bias.detach().numpy(),
               "rms.gamma": rms.weight.detach().numpy()}
    got = make_model(g, weights).forward({"x": x})
    with torch.no_grad():
        want_ln = ln(torch.from_numpy(x)).numpy()
        want_rms = rms(torch.from_numpy(x)).numpy()
    np.testing.assert_allclose(got["ln"].reshape(T, C), want_ln, rtol=1e-5, atol=1e-5)
    np.testing.assert_allclose(got["rms"].reshape(T, C), want_rms, rtol=1e-5, atol=1e-5)


def test_missing_gamma_is_reported_when_the_norm_runs(make_model):
    g = Graph("norm")
    g.output(g.node("layernorm_fp32", "blk.ln", inputs=[g.input("x", shape=(2, 4))]))
    model = make_model(g, {"blk.ln.beta": np.zeros(4, np.float32)})
    with pytest.raises(RuntimeError, match=r"^missing weight tensor: blk\.ln\.gamma$"):
        model.forward({"x": np.ones((2, 4), np.float32)})


def test_embedding_matches_torch_and_clamps_ids(make_model):
    torch = pytest.importorskip("torch")
    N, D = 11, 24
    emb = torch.nn.Embedding(N, D)
    g = Graph("emb")
    g.output(g.node("embedding_fp32", "tok", inputs=[g.input("ids", shape=(0, 1))]))
    model = make_model(g, {"tok.weight": emb.weight.detach().numpy()})  # N and D from its shape
    ids = np.array([3, 0, 10, 7, 7, 1], np.int64)
    got = model.forward({"ids": f32(ids).reshape(-1, 1)})["tok"]
    with torch.no_grad():
        np.testing.assert_array_equal(got.reshape(-1, D), emb(torch.from_numpy(ids)).numpy())
    clamped = model.forward({"ids": f32([[-3], [N + 5], [2.9]])})["tok"].reshape(-1, D)
    np.testing.assert_array_equal(clamped, emb.weight.detach().numpy()[[0, N - 1, 2]])


def bert_embeddings_reference(torch, V, P, E, ids):
    """The embedding block of a BERT model from `transformers` (eval mode), or, without that
    package, torch modules built the same way: word + position + type 0, layer norm eps 1e-12."""
    try:
        from transformers import BertConfig
        from transformers.models.bert.modeling_bert import BertEmbeddings
    except ImportError:
        BertEmbeddings = None
    if BertEmbeddings is not None:
        block = BertEmbeddings(BertConfig(vocab_size=V, hidden_size=E, max_position_embeddings=P,
                                          type_vocab_size=2, num_attention_heads=4)).eval()
        word, pos, typ, norm = (block.word_embeddings, block.position_embeddings,
                                block.token_type_embeddings, block.LayerNorm)
    else:
        word, pos, typ = (torch.nn.Embedding(n, E) for n in (V, P, 2))
        norm = torch.nn.LayerNorm(E, eps=1e-12)
    with torch.no_grad():
        for table in (word, pos, typ):
            table.weight.normal_()
        norm.weight.uniform_(0.5, 1.5)
        norm.bias.uniform_(-0.5, 0.5)
        t = torch.from_numpy(ids)
        if BertEmbeddings is not None:
            want = block(input_ids=t[None])[0].numpy()
        else:
            want = norm(word(t) + typ(torch.zeros_like(t)) + pos(torch.arange(len(ids)))).numpy()
    weights = {"emb.word_weight": word.weight.detach().numpy(),
               "emb.pos_weight": pos.weight.detach().numpy(),
               "emb.type_weight": typ.weight.detach().numpy(),
               "emb.layernorm.weight": norm.weight.detach().numpy(),
               "emb.layernorm.bias": norm.bias.detach().numpy()}
    return weights, want


def test_bert_embeddings_match_torch_and_refuse_unknown_ids(make_model):
    torch = pytest.importorskip("torch")
    torch.manual_seed(0)
    V, P, E = 50, 16, 64
    ids = np.array([1, 49, 0, 7, 7, 23, 2, 5, 11, 30], np.int64)
    weights, want = bert_embeddings_reference(torch, V, P, E, ids)
    g = Graph("bert_emb")
    g.output(g.node("bert_embeddings_fp32", "emb", inputs=[g.input("ids", shape=(0, 1))], emb_size=E))
    model = make_model(g, weights)
    got = model.forward({"ids": f32(ids).reshape(-1, 1)})["emb"].reshape(len(ids), E)
    np.testing.assert_allclose(got, want, rtol=1e-5, atol=2e-6)
    with pytest.raises(RuntimeError,
                       match=r"^node 'emb': word id 50 at position 2 is outside the vocabulary of 50 rows$"):
        model.forward({"ids": f32([[1], [2], [50]])})
    with pytest.raises(RuntimeError,
                       match=r"^node 'emb': 17 positions exceed the 16 rows of emb\.pos_weight$"):
        model.forward({"ids": np.zeros((17, 1), np.float32)})


def test_vit_class_token_path(make_model):
    """Patch grid -> class token and positions -> position add -> first row, as a ViT head sees it."""
    H = W = 4
    C = 32
    r = rng(2)
    x = f32(r.standard_normal((H, W, C)))
    cls = f32(r.standard_normal(C))
    pos, extra = (f32(r.standard_normal((H * W + 1, C))) for _ in range(2))
    g = Graph("vit_tokens")
    seq = g.node("patch_prep_fp32", "embed", inputs=[g.input("x", shape=(H, W, C))])
    seq2 = g.node("pos_emb_add_fp32", "more_pos", inputs=[seq])
    g.output(seq2)
    g.output(g.node("cls_extract_fp32", "cls", inputs=[seq2]))
    model = make_model(g, {"embed.cls_token": cls, "embed.pos_embed": pos, "more_pos.weight": extra})
    got = model.forward({"x": x})
    want = np.concatenate([cls[None], x.reshape(H * W, C)]) + pos + extra
    np.testing.assert_allclose(got["more_pos"].reshape(H * W + 1, C), want, rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(got["cls"], want[0], rtol=1e-6, atol=1e-6)


def test_elemwise_mul_and_its_errors(make_model):
    r = rng(3)
    a, b = f32(r.standard_normal((5, 7))), f32(r.standard_normal((5, 7)))
    g = Graph("gate")
    g.output(g.node("elemwise_mul_fp32", "prod",
                    inputs=[g.input("a", shape=(5, 7)), g.input("b", shape=(5, 7))]))
    np.testing.assert_array_equal(make_model(g).forward({"a": a, "b": b})["prod"], (a * b).ravel())

    g = Graph("gate1")
    g.output(g.node("elemwise_mul_fp32", "prod", inputs=[g.input("a", shape=(5, 7))]))
    with pytest.raises(RuntimeError, match=r"^node 'prod' needs 2 inputs, got 1$"):
        make_model(g).forward({"a": a})
