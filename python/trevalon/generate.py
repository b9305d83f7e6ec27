"""Text generation with an exported decoder: tokenize the prompt (with the model's chat template
for instruct models), run it in one forward pass, then one pass per new token over the model's
key/value cache, choosing each token greedily or by sampling, and stream the text as it comes.

A decoder model is one whose declared input is read by an `embedding_fp32` node and whose graph
has a `causal_attn_core_fp32` node; its vocabulary is the row count of the embedding table. Beside
the architecture file sit the tokenizer ("tokenizer.json", read with the `tokenizers` package) and
optionally "chat.json": the chat template, the special tokens it uses and the ids that end a reply."""

from __future__ import annotations

import json
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, Sequence

import numpy as np

from . import runner, tokens, w1x1
from .arch import ArchError, ArchInfo, canonical_op, read_arch
from .weights_check import missing_weights, quantised_pair

TOKENIZER_FILE = "tokenizer.json"
CHAT_FILE = "chat.json"


class GenerateError(Exception):
    """A model, prompt or setting generation cannot use; the message is one line."""


# ---- the model -------------------------------------------------------------------------------

@dataclass(frozen=True)
class DecoderFacts:
    input_name: str
    output_name: str
    embedding_node: str
    vocab: int  # token ids 0 .. vocab - 1
    logits: int  # values per position of the output
    capacity: int  # positions the key/value cache holds, prompt and reply together


def _expected_shapes(info: ArchInfo) -> dict[str, tuple[int, ...]]:
    """Weight shapes the nodes' parameters imply, for the tensors whose shape is fixed by them."""
    shapes: dict[str, tuple[int, ...]] = {}
    for node in info.nodes:
        op, p = canonical_op(node.op), node.params
        if op == "seqgemm_fp32":
            shapes[node.name + ".weight"] = (int(p.get("C_out", 0)), int(p.get("C_in", 0)))
        elif op == "seqgemm_int8":
            shapes[node.name + ".weight_i8"] = (int(p.get("C_out", 0)), int(p.get("C_in", 0)))
            shapes[node.name + ".w_scales"] = (int(p.get("C_out", 0)),)
        elif op == "embedding_fp32":
            shapes[node.name + ".weight"] = (int(p.get("num_embeddings", 0)),
                                             int(p.get("embedding_dim", 0)))
    return shapes


def check_decoder_weights(info: ArchInfo, weights: str, tensors) -> None:
    """GenerateError naming the first tensor the architecture needs that `tensors` lacks or holds
    in another shape (a weights file of another model), before the engine runs anything."""
    missing = missing_weights(info, tensors)
    if missing:
        raise GenerateError(f"{weights}: no tensor {missing[0]} ({len(missing)} tensors the "
                            "architecture needs are missing; is this the weights file of another model?)")
    for name, dims in _expected_shapes(info).items():
        if name not in tensors:
            pair = quantised_pair(name)
            if name.endswith(".weight") and all(t in tensors for t in pair):
                got, dims = np.shape(tensors[pair[0]]), dims  # stored as int8 rows and scales
            else:
                continue
        else:
            got = np.shape(tensors[name])
        if tuple(got) != tuple(dims):
            raise GenerateError(f"{weights}: tensor {name} has shape {list(got)}, the architecture "
                                f"expects {list(dims)} (is this the weights file of another model?)")


def decoder_model(arch: str | os.PathLike, weights: str | os.PathLike) -> DecoderFacts:
    """The decoder facts of a model, after checking its weights file against its architecture."""
    arch, weights = os.fspath(arch), os.fspath(weights)
    info = read_arch(arch)
    ops = {canonical_op(n.op) for n in info.nodes}
    inputs = {i.name for i in info.inputs}
    embed = next((n for n in info.nodes if canonical_op(n.op) == "embedding_fp32" and n.inputs
                  and n.inputs[0] in inputs), None)
    if embed is None or "causal_attn_core_fp32" not in ops or not info.output_names:
        raise GenerateError(f"{arch}: not a decoder (expected an embedding_fp32 node reading the "
                            "input, causal_attn_core_fp32 nodes and an output)")
    tensors = w1x1.load(weights)
    check_decoder_weights(info, weights, tensors)
    table = np.shape(tensors[embed.name + ".weight"])
    producer = next((n for n in info.nodes if info.output_names[0] in n.outputs), None)
    width = int(producer.params.get("C_out", 0)) if producer is not None else 0
    return DecoderFacts(embed.inputs[0], info.output_names[0], embed.name, int(table[0]),
                        width or int(table[0]), info.max_positions)


def check_token_ids(ids: Sequence[int], facts: DecoderFacts, source: str) -> np.ndarray:
    """The ids as the float32 values the engine reads; GenerateError for an id outside the
    embedding table (the engine would clamp it to the nearest row)."""
    array = np.asarray(list(ids), dtype=np.int64)
    bad = np.flatnonzero((array < 0) | (array >= facts.vocab))
    if bad.size:
        k = int(bad[0])
        raise GenerateError(f"{source}: token id {int(array[k])} at position {k} is outside the "
                            f"vocabulary of {facts.vocab} (node '{facts.embedding_node}')")
    return array.astype(np.float32)


# ---- choosing the next token -----------------------------------------------------------------

@dataclass(frozen=True)
class Sampling:
    """temperature 0 is greedy (the largest logit, the first on a tie); otherwise logits are
    divided by the temperature, cut to the top_k largest (0: all), then to the smallest set of
    most likely tokens whose probabilities reach top_p, and drawn from."""

    temperature: float = 0.0
    top_k: int = 0
    top_p: float = 1.0
    seed: int | None = None

    def check(self) -> None:
        if not (np.isfinite(self.temperature) and self.temperature >= 0):
            raise GenerateError(f"temperature must be 0 (greedy) or positive, got {self.temperature}")
        if self.top_k < 0:
            raise GenerateError(f"top-k must be 0 (off) or positive, got {self.top_k}")
        if not 0.0 < self.top_p <= 1.0:
            raise GenerateError(f"top-p must be in (0, 1], got {self.top_p}")


def choose_token(logits: np.ndarray, sampling: Sampling, rng: np.random.Generator) -> int:
    logits = np.asarray(logits, dtype=np.float64).reshape(-1)
    if sampling.temperature == 0.0:
        return int(np.argmax(logits))
    scaled = logits / sampling.temperature
    order = np.argsort(-scaled, kind="stable")
    if sampling.top_k:
        order = order[: sampling.top_k]
    kept = scaled[order]
    probs = np.exp(kept - kept.max())
    probs /= probs.sum()
    if sampling.top_p < 1.0:
        # Keep the tokens before the running sum reaches top_p, and the one that reaches it.
        count = int(np.searchsorted(np.cumsum(probs), sampling.top_p) + 1)
        order, probs = order[:count], probs[:count] / probs[:count].sum()
    return int(order[rng.choice(len(order), p=probs)])


# ---- text ------------------------------------------------------------------------------------

class TextStream:
    """Turns tokens into text as they come. A character spread over several tokens decodes to
    U+FFFD until its last byte arrives, so text ending in one is held back until it resolves."""

    def __init__(self, decode: Callable[[list[int]], str]):
        self._decode = decode
        self.ids: list[int] = []
        self.text = ""  # what has been handed out

    def _new_text(self, final: bool) -> str:
        text = self._decode(self.ids)
        if not final and text.endswith("\ufffd"):
            return ""
        common = 0  # the decoded text may change earlier characters (cleaned-up spaces)
        for a, b in zip(self.text, text):
            if a != b:
                break
            common += 1
        if common < len(self.text):
            return ""  # already shown; keep what the reader saw
        new, self.text = text[len(self.text):], text
        return new

    def push(self, token: int) -> str:
        self.ids.append(int(token))
        return self._new_text(final=False)

    def finish(self) -> str:
        return self._new_text(final=True)


def load_tokenizer(path: str):
    return tokens.read_tokenizer(path, GenerateError, f"the converter writes {TOKENIZER_FILE} beside "
                                 "the model; pass another with --tokenizer")


@dataclass
class ChatFormat:
    """The chat template (Jinja text) with the tokens it refers to, and the ids ending a reply."""

    template: str | None = None
    bos_token: str = ""
    eos_token: str = ""
    stop_ids: list[int] = field(default_factory=list)

    @classmethod
    def load(cls, path: str) -> "ChatFormat":
        if not os.path.exists(path):
            return cls()
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
            return cls(data.get("chat_template"), data.get("bos_token", ""),
                       data.get("eos_token", ""), [int(i) for i in data.get("stop_token_ids", [])])
        except (ValueError, TypeError, AttributeError) as e:
            raise GenerateError(f"{path}: not a chat settings file ({runner.one_line(e)})") from None

    def render(self, messages: list[dict]) -> str:
        """The prompt text for `messages` ending with the assistant's turn, rendered as the
        `transformers` tokenizers render chat templates (sandboxed, trimmed blocks)."""
        from jinja2.sandbox import ImmutableSandboxedEnvironment

        env = ImmutableSandboxedEnvironment(trim_blocks=True, lstrip_blocks=True)
        return env.from_string(self.template).render(
            messages=messages, add_generation_prompt=True, bos_token=self.bos_token,
            eos_token=self.eos_token)


# ---- generation ------------------------------------------------------------------------------

@dataclass
class Generation:
    text: str
    prompt_ids: list[int]
    new_ids: list[int]
    stop_reason: str  # "stop token", "max tokens" or "cache full"
    prefill_seconds: float
    decode_seconds: float
    decode_passes: int

    @property
    def prefill_tokens_per_second(self) -> float:
        return len(self.prompt_ids) / self.prefill_seconds if self.prefill_seconds > 0 else 0.0

    @property
    def decode_tokens_per_second(self) -> float:
        return self.decode_passes / self.decode_seconds if self.decode_seconds > 0 else 0.0

    def summary(self) -> str:
        return (f"prefill: {len(self.prompt_ids)} tokens, {self.prefill_tokens_per_second:.1f} "
                f"tokens/s; decode: {len(self.new_ids)} tokens, "
                f"{self.decode_tokens_per_second:.1f} tokens/s (stopped: {self.stop_reason})")


class Generator:
    """An exported decoder with its tokenizer and chat settings."""

    def __init__(self, model, facts: DecoderFacts, tokenizer=None, chat: ChatFormat | None = None):
        self.model, self.facts, self.tokenizer = model, facts, tokenizer
        self.chat = chat or ChatFormat()

    @classmethod
    def load(cls, arch: str | os.PathLike, weights: str | os.PathLike,
             tokenizer: str | os.PathLike | None = None) -> "Generator":
        arch, weights = os.fspath(arch), os.fspath(weights)
        try:
            facts = decoder_model(arch, weights)
        except (ArchError, w1x1.W1X1Error) as e:
            raise GenerateError(runner.one_line(e)) from None
        folder = os.path.dirname(os.path.abspath(arch))
        tok = load_tokenizer(os.fspath(tokenizer) if tokenizer else os.path.join(folder, TOKENIZER_FILE))
        chat = ChatFormat.load(os.path.join(folder, CHAT_FILE))
        return cls(runner.load_model(arch, weights), facts, tok, chat)

    def encode(self, prompt: str, chat: bool = True) -> list[int]:
        """Prompt ids: the chat template around a user message when the model has one and `chat`
        is true, else the plain text with the tokenizer's own special tokens."""
        if chat and self.chat.template:
            text = self.chat.render([{"role": "user", "content": prompt}])
            return list(self.tokenizer.encode(text, add_special_tokens=False).ids)
        return list(self.tokenizer.encode(prompt).ids)

    def decode(self, ids: list[int]) -> str:
        return self.tokenizer.decode(ids, skip_special_tokens=True)

    def _logits(self, ids: np.ndarray) -> np.ndarray:
        try:
            out = self.model.forward({self.facts.input_name: ids})
        except RuntimeError as e:
            raise GenerateError(f"forward pass failed: {runner.one_line(e)}") from None
        return out[self.facts.output_name].reshape(len(ids), -1)

    def generate_ids(self, prompt_ids: Sequence[int], max_new_tokens: int = 128,
                     sampling: Sampling = Sampling(), stop_ids: Sequence[int] | None = None,
                     on_token: Callable[[int], None] | None = None) -> Generation:
        """Prefill `prompt_ids` in one pass, then decode one token per pass until a stop id,
        `max_new_tokens` or a full cache. The stop id itself is not part of the result."""
        sampling.check()
        if max_new_tokens < 0:
            raise GenerateError(f"max new tokens must not be negative, got {max_new_tokens}")
        if len(prompt_ids) == 0:
            raise GenerateError("the prompt has no tokens")
        ids = check_token_ids(prompt_ids, self.facts, "prompt")
        capacity = int(self.model.kv_capacity)
        if len(ids) > capacity:
            raise GenerateError(f"prompt of {len(ids)} tokens does not fit the key/value cache of "
                                f"{capacity} positions (max_positions of the architecture)")
        stops = set(self.chat.stop_ids if stop_ids is None else stop_ids)
        rng = np.random.default_rng(sampling.seed)
        self.model.reset_kv_cache()
        start = time.perf_counter()
        logits = self._logits(ids)[-1]
        prefill = time.perf_counter() - start
        new: list[int] = []
        reason, passes, start = "max tokens", 0, time.perf_counter()
        while len(new) < max_new_tokens:
            token = choose_token(logits, sampling, rng)
            if token in stops:
                reason = "stop token"
                break
            new.append(token)
            if on_token is not None:
                on_token(token)
            if len(new) == max_new_tokens:
                break
            if int(self.model.kv_positions) >= capacity:
                reason = "cache full"
                break
            logits = self._logits(check_token_ids([token], self.facts, "generated token"))[-1]
            passes += 1
        decode = time.perf_counter() - start
        return Generation("", [int(i) for i in prompt_ids], new, reason, prefill, decode, passes)

    def generate(self, prompt: str, max_new_tokens: int = 128, sampling: Sampling = Sampling(),
                 chat: bool = True, stream: Callable[[str], None] | None = None) -> Generation:
        """Generate a reply to `prompt`; `stream` receives the text piece by piece."""
        if self.tokenizer is None:
            raise GenerateError("no tokenizer: pass token ids to generate_ids instead")
        text = TextStream(self.decode)

        def show(token: int) -> None:
            piece = text.push(token)
            if piece and stream is not None:
                stream(piece)

        result = self.generate_ids(self.encode(prompt, chat), max_new_tokens, sampling,
                                   on_token=show)
        tail = text.finish()
        if tail and stream is not None:
            stream(tail)
        result.text = text.text
        return result


def generate(prompt: str, arch: str | os.PathLike, weights: str | os.PathLike, *,
             max_new_tokens: int = 128, temperature: float = 0.0, top_k: int = 0,
             top_p: float = 1.0, seed: int | None = None, chat: bool = True,
             tokenizer: str | os.PathLike | None = None, stream: bool = False,
             threads: int | None = None) -> Generation:
    """Generate a reply to `prompt` with an exported decoder (greedy unless a temperature is
    given). With stream=True the text is written to standard output as it is produced.
    `threads` engine threads run the passes (the count set before is restored after); None keeps
    the current count."""
    def write(piece: str) -> None:
        sys.stdout.write(piece)
        sys.stdout.flush()

    with runner.threads(threads):
        generator = Generator.load(arch, weights, tokenizer)
        return generator.generate(prompt, max_new_tokens, Sampling(temperature, top_k, top_p, seed),
                                  chat, write if stream else None)
