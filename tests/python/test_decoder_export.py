"""Decoder export: Llama- and Qwen2-shaped models of transformers (random weights from a small
config) and Llama GGUF files. The files are checked here without the engine (names, parameters,
sizes, refusals); test_decoder_generate.py runs them."""

import json
import re
import os

import numpy as np
import pytest

torch = pytest.importorskip("torch")
transformers = pytest.importorskip("transformers")
from transformers import LlamaConfig, LlamaForCausalLM, Qwen2Config, Qwen2ForCausalLM  # noqa: E402

from trevalon import w1x1  # noqa: E402
from trevalon.export import ExportError  # noqa: E402
from trevalon.export import export_decoder  # noqa: E402


def llama(seed=0, **overrides):
    settings = dict(vocab_size=256, hidden_size=64, intermediate_size=160, num_hidden_layers=2,
                    num_attention_heads=4, num_key_value_heads=2, max_position_embeddings=4096,
                    rope_theta=5000.0)
    settings.update(overrides)
    torch.manual_seed(seed)
    return LlamaForCausalLM(LlamaConfig(**settings)).eval()


def qwen2(seed=0, **overrides):
    settings = dict(vocab_size=256, hidden_size=64, intermediate_size=160, num_hidden_layers=2,
                    num_attention_heads=4, num_key_value_heads=2, max_position_embeddings=96,
                    tie_word_embeddings=True)
    settings.update(overrides)
    torch.manual_seed(seed)
    model = Qwen2ForCausalLM(Qwen2Config(**settings)).eval()
    with torch.no_grad():  # random biases large enough to matter
        for layer in model.model.layers:
            for proj in (layer.self_attn.q_proj, layer.self_attn.k_proj, layer.self_attn.v_proj):
                proj.bias.normal_(0.0, 0.5)
    return model


def export(tmp_path, model, stem="m", **kwargs):
    arch, weights = tmp_path / f"{stem}.json", tmp_path / f"{stem}.w1x1"
    export_decoder(model, arch, weights, **kwargs)
    return json.loads(arch.read_text()), w1x1.load(weights)


def test_llama_graph_names_parameters_and_cache_size(tmp_path):
    root, tensors = export(tmp_path, llama(), max_positions=300)
    nodes = {n["name"]: n for n in root["nodes"]}
    assert root["max_positions"] == 300 and root["outputs"] == [{"name": "logits"}]
    core = nodes["layers.1.self_attn.core"]
    assert (core["op"], core["num_q_heads"], core["num_kv_heads"], core["head_dim"],
            core["rope_theta"]) == ("causal_attn_core_fp32", 4, 2, 16, 5000.0)
    assert core["inputs"] == [f"layers.1.self_attn.{p}_proj" for p in "qkv"]
    projections = [n for n in root["nodes"] if n["op"] == "seqgemm_fp32"]
    assert len(projections) == 2 * 7 + 1 and projections[-1]["name"] == "lm_head"
    # Every projection but the output head carries the prefix that keeps the decode copy.
    assert all(n["name"].startswith("layers.") for n in projections[:-1])
    assert nodes["layers.0.self_attn.k_proj"]["C_out"] == 32  # 2 key/value heads of 16
    assert nodes["layers.0.mlp.gated"]["inputs"] == ["layers.0.mlp.act", "layers.0.mlp.up_proj"]
    assert nodes["layers.0.input_layernorm"]["eps"] == pytest.approx(1e-6)
    assert nodes["lm_head"]["outputs"] == ["logits"]
    assert not any(name.endswith(".bias") for name in tensors)
    # The cache follows the model's positions, capped at the engine's default.
    assert export(tmp_path, llama(), "b")[0]["max_positions"] == 2048
    assert export(tmp_path, qwen2(), "c")[0]["max_positions"] == 96


def test_decode_copy_off_renames_the_projections(tmp_path):
    root, tensors = export(tmp_path, llama(), decode_copy=False)
    names = [n["name"] for n in root["nodes"] if n["op"] == "seqgemm_fp32"]
    assert all(n.startswith("model.layers.") for n in names[:-1]) and names[-1] == "model.lm_head"
    assert "model.lm_head.weight" in tensors


def test_tied_table_stored_once_and_int8_file_about_a_quarter(tmp_path):
    model = llama(vocab_size=64, hidden_size=128, intermediate_size=384, tie_word_embeddings=True)
    root, tensors = export(tmp_path, model)
    assert tensors.entries["lm_head.weight"].offset == tensors.entries["model.embed_tokens.weight"].offset
    assert np.array_equal(tensors["lm_head.weight"], model.lm_head.weight.detach().numpy())
    params = sum(p.numel() for p in model.parameters())  # tied: the table counted once
    f32_size = os.path.getsize(tmp_path / "m.w1x1")
    assert f32_size < params * 4 * 1.02
    root, tensors = export(tmp_path, model, "q", quantize=True)
    assert {n["op"] for n in root["nodes"] if "proj" in n["name"] or n["name"] == "lm_head"} \
        == {"seqgemm_int8"}
    ratio = os.path.getsize(tmp_path / "q.w1x1") / f32_size
    assert 0.25 < ratio < 0.36  # int8 projections; the float embedding table is 64 x 128
    w = model.model.layers[1].mlp.down_proj.weight.detach().numpy()
    q, s = tensors["layers.1.mlp.down_proj.weight_i8"], tensors["layers.1.mlp.down_proj.w_scales"]
    assert q.dtype == np.int8 and q.shape == w.shape and s.shape == (w.shape[0],)
    assert np.all(np.abs(q.astype(np.float32) * s[:, None] - w) <= s[:, None] * 0.5 + 1e-7)


def test_qwen2_biases_on_queries_keys_and_values(tmp_path):
    model = qwen2()
    root, tensors = export(tmp_path, model)
    for p in "qkv":
        assert np.array_equal(tensors[f"layers.0.self_attn.{p}_proj.bias"],
                              getattr(model.model.layers[0].self_attn, f"{p}_proj").bias.detach().numpy())
    assert "layers.0.self_attn.o_proj.bias" not in tensors
    assert root["nodes"][2]["name"] == "layers.0.self_attn.q_proj"


@pytest.mark.parametrize("build, match", [
    (lambda: llama(rope_scaling={"rope_type": "linear", "factor": 2.0}),
     r"module 'model.rotary_emb': rope scaling 'linear' is not supported"),
    (lambda: llama(hidden_act="gelu"), r"module 'model.layers.0.mlp': activation 'gelu'"),
    (lambda: qwen2(use_sliding_window=True, sliding_window=16, max_window_layers=0),
     r"module 'model.layers.\d.self_attn': (sliding|sliding_attention)"),
    (lambda: llama(num_attention_heads=4, num_key_value_heads=3),
     r"4 query heads do not share 3 key/value heads|divisible"),
])
def test_unsupported_configurations_name_the_module(tmp_path, build, match):
    try:
        model = build()
    except ValueError as e:  # transformers itself refuses some configurations
        pytest.skip(f"transformers refuses the configuration: {e}")
    with pytest.raises(ExportError, match=match) as info:
        export(tmp_path, model)
    assert "\n" not in str(info.value)


def test_models_other_than_llama_and_qwen2_are_refused(tmp_path):
    with pytest.raises(ExportError, match="Linear is not supported"):
        export(tmp_path, torch.nn.Linear(2, 2))
    model = llama()
    model.model.layers[1].mlp.act_fn = torch.nn.GELU()
    with pytest.raises(ExportError, match=r"module 'model.layers.1.mlp.act_fn': GELU"):
        export(tmp_path, model)


# ---- GGUF ------------------------------------------------------------------------------------

def _interleave(w, heads):
    """Rows of a query or key projection in GGUF's per-head pair order (the inverse of the
    converter's half_split_rows)."""
    rows = w.shape[0]
    return w.reshape(heads, 2, rows // heads // 2, *w.shape[1:]).swapaxes(1, 2).reshape(w.shape)


def _write_gguf(path, model, arch="llama"):
    gguf = pytest.importorskip("gguf")
    c = model.config
    w = gguf.GGUFWriter(str(path), arch)
    w.add_block_count(c.num_hidden_layers)
    w.add_context_length(c.max_position_embeddings)
    w.add_embedding_length(c.hidden_size)
    w.add_feed_forward_length(c.intermediate_size)
    w.add_head_count(c.num_attention_heads)
    w.add_head_count_kv(c.num_key_value_heads)
    w.add_rope_freq_base(5000.0)
    w.add_layer_norm_rms_eps(c.rms_norm_eps)
    names = {"input_layernorm": "attn_norm", "post_attention_layernorm": "ffn_norm",
             "self_attn.q_proj": "attn_q", "self_attn.k_proj": "attn_k", "self_attn.v_proj": "attn_v",
             "self_attn.o_proj": "attn_output", "mlp.gate_proj": "ffn_gate", "mlp.up_proj": "ffn_up",
             "mlp.down_proj": "ffn_down"}
    state = {k: v.detach().numpy().copy() for k, v in model.state_dict().items()}
    w.add_tensor("token_embd.weight", state["model.embed_tokens.weight"])
    for i in range(c.num_hidden_layers):
        for hf, short in names.items():
            t = state[f"model.layers.{i}.{hf}.weight"]
            if short == "attn_q":
                t = _interleave(t, c.num_attention_heads)
            elif short == "attn_k":
                t = _interleave(t, c.num_key_value_heads)
            w.add_tensor(f"blk.{i}.{short}.weight", np.ascontiguousarray(t))
    w.add_tensor("output_norm.weight", state["model.norm.weight"])
    w.add_tensor("output.weight", state["lm_head.weight"])
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()


def test_gguf_llama_reads_back_the_transformers_tensors(tmp_path):
    from trevalon.export.gguf_models import read_llama_gguf

    model = llama(tie_word_embeddings=False)
    _write_gguf(tmp_path / "m.gguf", model)
    shape, tensors, biases = read_llama_gguf(tmp_path / "m.gguf")
    assert (shape.layers, shape.q_heads, shape.kv_heads, shape.head_dim, shape.ffn, shape.vocab,
            shape.rope_theta, shape.max_positions) == (2, 4, 2, 16, 160, 256, 5000.0, 2048)
    state = model.state_dict()
    assert set(tensors) == set(state)
    for name, array in tensors.items():
        assert np.array_equal(array, state[name].numpy()), name
    assert not any(biases.values())


def test_gguf_of_another_architecture_or_not_gguf_is_refused(tmp_path):
    from trevalon.export.gguf_models import read_llama_gguf

    _write_gguf(tmp_path / "g.gguf", llama(), arch="gpt2")
    with pytest.raises(ExportError, match=r"g.gguf: GGUF architecture 'gpt2' is not supported "
                                          r"\(supported: llama\)"):
        read_llama_gguf(tmp_path / "g.gguf")
    (tmp_path / "junk.gguf").write_bytes(b"GGUF" + b"\x07" * 40)
    with pytest.raises(ExportError, match="junk.gguf: not a readable GGUF file"):
        read_llama_gguf(tmp_path / "junk.gguf")


def test_gguf_conversion_command(tmp_path, capsys):
    from trevalon.cli import main

    _write_gguf(tmp_path / "g.gguf", llama(), arch="gpt2")
    assert main(["export-smollm2", str(tmp_path / "out"), "--gguf", str(tmp_path / "g.gguf")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "GGUF architecture 'gpt2' is not supported" in err


def test_generate_command_refuses_the_weights_of_another_model(tmp_path, capsys):
    from trevalon.cli import main

    export(tmp_path, llama(), "a")
    export(tmp_path, llama(num_hidden_layers=3, hidden_size=32, intermediate_size=64), "b")
    (tmp_path / "tokenizer.json").write_text("{}")
    for weights, message in ((tmp_path / "b.w1x1", r"b.w1x1: tensor model.embed_tokens.weight has "
                                                   r"shape \[256, 32\], the architecture expects \[256, 64\]"),
                             (tmp_path / "absent.w1x1", "absent.w1x1")):
        assert main(["generate", str(tmp_path / "a.json"), str(weights), "--prompt", "hi"]) == 2
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and err.startswith("trevalon: error: ")
        assert re.search(message, err), err
