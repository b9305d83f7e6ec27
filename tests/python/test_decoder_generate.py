"""Exported decoders (random weights) run by the engine against transformers: prefill and
per-token logits, greedy generation, the int8 decode copy, Qwen2 biases, int8 weights, and the
one-line refusals of generation."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("transformers")
engine = pytest.importorskip("model_inference")
if not hasattr(engine.InferenceModel, "reset_kv_cache"):
    pytest.skip("this build of model_inference has no key/value cache", allow_module_level=True)

from test_decoder_export import llama, qwen2  # noqa: E402

from trevalon import w1x1  # noqa: E402
from trevalon.export import export_decoder  # noqa: E402
from trevalon.generate import DecoderFacts, GenerateError, Generator, decoder_model  # noqa: E402
from trevalon.graph import Graph  # noqa: E402

PROMPT = 12
STEPS = 32


def load(tmp_path, model, stem="m", **kwargs):
    arch, weights = tmp_path / f"{stem}.json", tmp_path / f"{stem}.w1x1"
    export_decoder(model, arch, weights, **kwargs)
    facts = decoder_model(arch, weights)
    return Generator(engine.InferenceModel(str(arch), str(weights)), facts)


def engine_logits(g: Generator, ids, split=None):
    """Logits of every position: the prompt in one pass (or up to `split`), the rest one token
    per pass over the cache."""
    g.model.reset_kv_cache()
    split = len(ids) if split is None else split
    rows = [g._logits(np.asarray(ids[:split], np.float32))]
    rows += [g._logits(np.asarray([i], np.float32)) for i in ids[split:]]
    return np.concatenate(rows)


def reference_logits(model, ids):
    with torch.no_grad():
        return model(torch.tensor([ids])).logits[0].numpy()


def rel(ours, ref):
    return float(np.max(np.abs(ours - ref)) / np.max(np.abs(ref)))


def reference_greedy(model, ids, steps=STEPS):
    with torch.no_grad():
        out = model.generate(torch.tensor([ids]), attention_mask=torch.ones(1, len(ids), dtype=torch.long),
                             max_new_tokens=steps, min_new_tokens=steps, do_sample=False,
                             output_logits=True, return_dict_in_generate=True, pad_token_id=0)
    tokens = out.sequences[0, len(ids):].tolist()
    gaps = [float(np.diff(np.sort(step[0].numpy())[-2:])[0]) for step in out.logits]
    return tokens, gaps


def prompt_ids(seed=1, vocab=256):
    return np.random.default_rng(seed).integers(0, vocab, PROMPT).tolist()


@pytest.mark.parametrize("family", ["llama", "qwen2"])
def test_float_logits_match_transformers_in_prefill_and_decode(tmp_path, family):
    model = llama() if family == "llama" else qwen2()
    g = load(tmp_path, model, decode_copy=False)
    ids = prompt_ids() + [5, 77, 3, 200]
    ref = reference_logits(model, ids)
    whole = engine_logits(g, ids)  # one pass over all 16
    stepped = engine_logits(g, ids, split=PROMPT)  # 12, then 4 passes of one token
    assert rel(whole, ref) < 1e-5
    assert rel(stepped, ref) < 1e-5
    # Two chunks give the positions the one pass gives.
    assert np.allclose(engine_logits(g, ids, split=5), whole, rtol=0, atol=1e-5 * np.abs(ref).max())


def test_greedy_tokens_agree_up_to_the_first_near_tie(tmp_path):
    model = llama(seed=3)
    ids = prompt_ids(4)
    g = load(tmp_path, model, decode_copy=False)
    ref = reference_logits(model, ids)
    error = float(np.max(np.abs(engine_logits(g, ids) - ref)))
    tokens, gaps = reference_greedy(model, ids)
    ours = g.generate_ids(ids, STEPS, stop_ids=[]).new_ids
    near = next((k for k, gap in enumerate(gaps) if gap < 2 * error), STEPS)
    print(f"logit error {error:.2e}; first near tie at step {near} of {STEPS}; "
          f"agreeing tokens {sum(a == b for a, b in zip(ours, tokens))}")
    assert ours[:near] == tokens[:near]
    assert len(ours) == STEPS


def test_decode_copy_moves_decode_logits_only_a_little(tmp_path):
    model = llama(seed=3)
    ids = prompt_ids(4)
    exact = load(tmp_path, model, "off", decode_copy=False)
    copy = load(tmp_path, model, "on")
    follow = ids + [9, 140, 33, 2, 250, 61, 7, 100]
    ref = reference_logits(model, follow)
    off, on = engine_logits(exact, follow, PROMPT), engine_logits(copy, follow, PROMPT)
    # The prompt pass runs the float product either way; one-token passes read int8 weights.
    assert np.array_equal(on[:PROMPT], off[:PROMPT])
    moved = rel(on[PROMPT:], ref[PROMPT:])
    tokens, _ = reference_greedy(model, ids)
    agree = sum(a == b for a, b in zip(copy.generate_ids(ids, STEPS, stop_ids=[]).new_ids, tokens))
    print(f"decode copy: decode logits relative error {moved:.2e} (float {rel(off, ref):.1e}); "
          f"{agree} of {STEPS} greedy tokens agree")
    assert 1e-5 < moved < 0.05
    assert agree >= 1  # the first token comes from the float prompt pass


def test_int8_weights_stay_close(tmp_path):
    model = qwen2(seed=5)
    g = load(tmp_path, model, quantize=True)
    ids = prompt_ids(6) + [1, 2, 3]
    error = rel(engine_logits(g, ids, PROMPT), reference_logits(model, ids))
    print(f"int8 weights: logits relative error {error:.2e}")
    assert error < 0.05


def test_generation_refuses_long_prompts_unknown_ids_and_foreign_weights(tmp_path):
    g = load(tmp_path, llama(), max_positions=8)
    assert g.model.kv_capacity == 8
    with pytest.raises(GenerateError, match="prompt of 9 tokens does not fit the key/value cache of 8"):
        g.generate_ids(list(range(9)))
    with pytest.raises(GenerateError, match="token id 256 at position 2 is outside the vocabulary of 256"):
        g.generate_ids([1, 2, 256])
    assert g.model.kv_positions == 0
    assert len(g.generate_ids(list(range(6)), 10, stop_ids=[]).new_ids) == 3  # 6 + 2 fed, 1 chosen
    export_decoder(qwen2(hidden_size=32, intermediate_size=64), tmp_path / "o.json", tmp_path / "o.w1x1")
    with pytest.raises(GenerateError, match=r"o.w1x1: tensor \S+ has shape \[\d+, 32\], the architecture "
                                            r"expects \[\d+, 64\]|o.w1x1: no tensor"):
        Generator.load(tmp_path / "m.json", tmp_path / "o.w1x1")
    mlp = Graph("mlp")
    mlp.output(mlp.node("gemm_fp32", "fc", [mlp.input("x", (4,))], C_out=2, C_in=4))
    mlp.save(tmp_path / "mlp.json")
    w1x1.save(tmp_path / "mlp.w1x1", {"fc.weight": np.zeros((2, 4), np.float32)})
    with pytest.raises(GenerateError, match="mlp.json: not a decoder"):
        decoder_model(tmp_path / "mlp.json", tmp_path / "mlp.w1x1")


def test_facts_of_an_exported_decoder(tmp_path):
    g = load(tmp_path, qwen2())
    assert g.facts == DecoderFacts("input_ids", "logits", "model.embed_tokens", 256, 256, 96)
