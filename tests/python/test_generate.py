"""The generation loop against a stand-in model whose next token is fixed by the last one (no
engine needed): prefill and decode passes, stop tokens, the cache limit, refused ids and prompts;
token choice; incremental text; the chat template."""

import numpy as np
import pytest

from trevalon.generate import (ChatFormat, DecoderFacts, GenerateError, Generator, Sampling,
                               TextStream, choose_token)

VOCAB = 10


class ChainModel:
    """Logits that make token (last id + 1) % VOCAB the clear favourite, with a cache count."""

    def __init__(self, capacity=64):
        self.kv_capacity, self.kv_positions = capacity, 0
        self.calls: list[list[int]] = []
        self.resets = 0

    def reset_kv_cache(self):
        self.kv_positions = 0
        self.resets += 1

    def forward(self, inputs):
        ids = [int(i) for i in inputs["input_ids"]]
        assert self.kv_positions + len(ids) <= self.kv_capacity
        self.kv_positions += len(ids)
        self.calls.append(ids)
        logits = np.zeros((len(ids), VOCAB), np.float32)
        for row, i in enumerate(ids):
            logits[row, (i + 1) % VOCAB] = 5.0
        return {"logits": logits.reshape(-1)}


def _generator(capacity=64, stop_ids=()):
    facts = DecoderFacts("input_ids", "logits", "model.embed_tokens", VOCAB, VOCAB, capacity)
    return Generator(ChainModel(capacity), facts, chat=ChatFormat(stop_ids=list(stop_ids)))


def test_prefill_once_then_one_token_per_pass_until_a_stop_token():
    g = _generator(stop_ids=[7])
    g.model.kv_positions = 5  # left over from an earlier reply: generation starts afresh
    result = g.generate_ids([1, 2, 3], max_new_tokens=20)
    assert g.model.resets == 1
    assert result.new_ids == [4, 5, 6]  # 7 ends the reply and is not part of it
    assert result.stop_reason == "stop token"
    assert g.model.calls == [[1, 2, 3], [4], [5], [6]]  # the stop token itself is never fed
    assert result.decode_passes == 3


def test_max_new_tokens_and_a_full_cache_end_the_reply():
    g = _generator()
    result = g.generate_ids([0], max_new_tokens=4, stop_ids=[])
    assert (result.new_ids, result.stop_reason) == ([1, 2, 3, 4], "max tokens")
    assert len(g.model.calls) == 4  # prefill + 3 decode passes: the 4th token is not fed
    g = _generator(capacity=5)
    result = g.generate_ids([0, 1], max_new_tokens=50, stop_ids=[])
    # 2 prompt positions + 3 decoded tokens fill 5 positions; the token chosen from the last
    # pass's logits still counts.
    assert (result.new_ids, result.stop_reason) == ([2, 3, 4, 5], "cache full")
    assert g.model.kv_positions == 5
    assert g.generate_ids([3], max_new_tokens=0).new_ids == []


def test_a_prompt_beyond_the_cache_or_with_an_unknown_id_fails_before_any_pass():
    g = _generator(capacity=4)
    with pytest.raises(GenerateError, match="prompt of 5 tokens does not fit the key/value cache of 4"):
        g.generate_ids([1, 2, 3, 4, 5])
    with pytest.raises(GenerateError, match=r"token id 10 at position 1 is outside the vocabulary "
                                            r"of 10 \(node 'model.embed_tokens'\)"):
        g.generate_ids([1, 10])
    with pytest.raises(GenerateError, match="token id -1 at position 0"):
        g.generate_ids([-1])
    with pytest.raises(GenerateError, match="no tokens"):
        g.generate_ids([])
    assert g.model.calls == []


def test_sampling_settings_are_checked():
    for bad, text in ((Sampling(temperature=-1), "temperature"), (Sampling(top_k=-2), "top-k"),
                      (Sampling(top_p=0.0), "top-p"), (Sampling(top_p=1.5), "top-p"),
                      (Sampling(temperature=float("nan")), "temperature")):
        with pytest.raises(GenerateError, match=text):
            _generator().generate_ids([1], sampling=bad)


def test_token_choice_greedy_top_k_top_p_and_seeded_draws():
    rng = np.random.default_rng(0)
    assert choose_token(np.array([1.0, 3.0, 3.0, 2.0]), Sampling(), rng) == 1  # first of a tie
    logits = np.log(np.array([0.5, 0.3, 0.15, 0.05]))
    # top_k 1, or a top_p the first token reaches alone, leave one choice at any temperature.
    assert {choose_token(logits, Sampling(2.0, top_k=1), rng) for _ in range(50)} == {0}
    assert {choose_token(logits, Sampling(1.0, top_p=0.4), rng) for _ in range(50)} == {0}
    # top_p 0.7 keeps 0.5 + 0.3 (0.5 falls short), top_k 3 drops the last.
    assert {choose_token(logits, Sampling(1.0, top_p=0.7), rng) for _ in range(300)} == {0, 1}
    assert {choose_token(logits, Sampling(1.0, top_k=3), rng) for _ in range(300)} == {0, 1, 2}

    def draws(seed, n=4000, temperature=1.0):
        r = np.random.default_rng(seed)
        return np.array([choose_token(logits, Sampling(temperature), r) for _ in range(n)])

    a = draws(7)
    assert np.array_equal(a, draws(7)) and not np.array_equal(a, draws(8))
    assert np.allclose(np.bincount(a, minlength=4) / a.size, [0.5, 0.3, 0.15, 0.05], atol=0.03)
    # Temperature 2 flattens: p ~ sqrt(p), renormalised.
    flat = np.sqrt([0.5, 0.3, 0.15, 0.05])
    b = draws(3, temperature=2.0)
    assert np.allclose(np.bincount(b, minlength=4) / b.size, flat / flat.sum(), atol=0.03)


def test_text_streams_whole_characters_only():
    stream = TextStream(lambda ids: bytes(ids).decode("utf-8", "replace"))
    pieces = [stream.push(t) for t in b"ab\xc3\xa9\xe2\x82\xacc"]
    assert pieces == ["a", "b", "", "é", "", "", "€", "c"]
    assert stream.finish() == "" and stream.text == "abé€c"
    cut = TextStream(lambda ids: bytes(ids).decode("utf-8", "replace"))
    cut.push(0xC3)
    assert cut.finish() == "\ufffd"  # a reply cut inside a character shows the replacement


SMOL_TEMPLATE = (
    "{% for message in messages %}{% if loop.first and messages[0]['role'] != 'system' %}"
    "{{ '<|im_start|>system\nYou are helpful<|im_end|>\n' }}{% endif %}"
    "{{'<|im_start|>' + message['role'] + '\n' + message['content'] + '<|im_end|>' + '\n'}}"
    "{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\n' }}{% endif %}")


def test_chat_template_renders_the_assistant_turn(tmp_path):
    path = tmp_path / "chat.json"
    path.write_text('{"chat_template": %s, "eos_token": "<|im_end|>", "stop_token_ids": [2, 0]}'
                    % __import__("json").dumps(SMOL_TEMPLATE))
    chat = ChatFormat.load(str(path))
    assert chat.stop_ids == [2, 0]
    assert chat.render([{"role": "user", "content": "Hi?"}]) == (
        "<|im_start|>system\nYou are helpful<|im_end|>\n<|im_start|>user\nHi?<|im_end|>\n"
        "<|im_start|>assistant\n")
    assert ChatFormat.load(str(tmp_path / "absent.json")).template is None
    path.write_text("[1, 2")
    with pytest.raises(GenerateError, match="not a chat settings file"):
        ChatFormat.load(str(path))
