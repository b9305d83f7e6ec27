"""Token ids for text models (numpy only; tokenizers is imported when a tokenizer is read): which
models take them, the limits their tables set, tokenizer files, token-id files, and the checks
that turn a bad id into a one-line error before the engine sees it.

A text model is one whose declared input is read by a `bert_embeddings_fp32` node: it takes the
ids of one sequence as float32 values. Its vocabulary is the row count of the node's
".word_weight" table and its longest sequence the row count of ".pos_weight"."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass

import numpy as np

from . import w1x1
from .arch import ArchInfo, canonical_op, read_arch


def read_tokenizer(path: str | os.PathLike, error: type[Exception], missing: str):
    """A `tokenizers` tokenizer from its JSON file, without padding or truncation (a text longer
    than the model's table is refused rather than cut). A missing package or file, or a file that
    is not a tokenizer, raises `error` with one line (`missing` says where the file comes from)."""
    try:
        from tokenizers import Tokenizer
    except ImportError:
        raise error("tokenizing needs the tokenizers package (pip install tokenizers)") from None
    path = os.fspath(path)
    if not os.path.exists(path):
        raise error(f"{path}: no tokenizer file ({missing})")
    try:
        tokenizer = Tokenizer.from_file(path)
    except Exception as e:  # the package raises its own exception type
        raise error(f"{path}: not a tokenizer file ({' '.join(str(e).split())})") from None
    tokenizer.no_padding()
    tokenizer.no_truncation()
    return tokenizer


class TokenError(ValueError):
    """A token file or a sequence of ids the model cannot take; the message is one line."""


@dataclass(frozen=True)
class TextModel:
    input_name: str
    node: str  # the embedding node
    vocab: int  # ids 0 .. vocab - 1
    positions: int  # at most this many ids per sequence
    width: int


def text_model(arch: str | os.PathLike | ArchInfo, weights: str | os.PathLike) -> TextModel | None:
    """The text-model facts of a model, or None when its input is not token ids."""
    info = arch if isinstance(arch, ArchInfo) else read_arch(arch)
    inputs = {i.name for i in info.inputs}
    for node in info.nodes:
        if canonical_op(node.op) == "bert_embeddings_fp32" and node.inputs and node.inputs[0] in inputs:
            tensors = w1x1.load(weights)
            width = int(node.params.get("emb_size", 128))

            def rows(suffix: str) -> int:
                name = node.name + suffix
                if name not in tensors:
                    raise TokenError(f"{os.fspath(weights)}: text model without its table {name}")
                return int(np.asarray(tensors[name]).size // max(width, 1))

            return TextModel(node.inputs[0], node.name, rows(".word_weight"), rows(".pos_weight"),
                             width)
    return None


_SEPARATOR = re.compile(r"[\s,]+")


def read_token_file(path: str | os.PathLike) -> np.ndarray:
    """The ids of a text file: whole numbers separated by white space or commas. Returns int64."""
    path = os.fspath(path)
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    ids: list[int] = []
    for number, line in enumerate(lines, 1):
        for item in _SEPARATOR.split(line.strip()):
            if not item:
                continue
            if not re.fullmatch(r"[+-]?\d+", item):
                raise TokenError(f"{path}, line {number}: {item[:40]!r} is not a token id "
                                 "(expected whole numbers separated by spaces or commas)")
            ids.append(int(item))
    if not ids:
        raise TokenError(f"{path}: no token ids in the file")
    return np.array(ids, dtype=np.int64)


def check_ids(ids, model: TextModel, source: str) -> np.ndarray:
    """`ids` (any integer or integral float array) checked against the model's tables; returns
    them as the float32 values the engine reads."""
    array = np.asarray(ids)
    if array.dtype.kind not in "iuf" or array.size == 0:
        raise TokenError(f"{source}: expected a non-empty array of token ids, got {array.dtype} "
                         f"of shape {list(array.shape)}")
    flat = array.reshape(-1)
    if array.dtype.kind == "f" and not np.all(np.isfinite(flat) & (flat == np.round(flat))):
        raise TokenError(f"{source}: token ids must be whole numbers")
    bad = np.flatnonzero((flat < 0) | (flat >= model.vocab))
    if bad.size:
        k = int(bad[0])
        raise TokenError(f"{source}: token id {int(flat[k])} at position {k} is outside the "
                         f"vocabulary of {model.vocab} (node '{model.node}')")
    if flat.size > model.positions:
        raise TokenError(f"{source}: {flat.size} tokens, but the model's position table holds "
                         f"{model.positions} (node '{model.node}')")
    return flat.astype(np.float32)
