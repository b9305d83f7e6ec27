"""Read a Llama-architecture GGUF file (the `gguf` package parses and dequantises it) as the
sizes and float tensors `write_decoder` takes.

Two things differ from the `transformers` layout: tensor names ("blk.N.attn_q.weight" for
"model.layers.N.self_attn.q_proj.weight"), and the rows of the query and key projections, which
GGUF stores interleaved per head for a rotary embedding that turns adjacent pairs; the engine turns
the two halves of each head, so those rows are put back in half-split order."""

from __future__ import annotations

import os

import numpy as np

from .decoder_models import ENGINE_DEFAULT_POSITIONS, DecoderShape
from .errors import ExportError

SUPPORTED_ARCHITECTURES = ("llama",)

_LAYER_TENSORS = {
    "attn_norm": "input_layernorm",
    "ffn_norm": "post_attention_layernorm",
    "attn_q": "self_attn.q_proj",
    "attn_k": "self_attn.k_proj",
    "attn_v": "self_attn.v_proj",
    "attn_output": "self_attn.o_proj",
    "ffn_gate": "mlp.gate_proj",
    "ffn_up": "mlp.up_proj",
    "ffn_down": "mlp.down_proj",
}
_MODEL_TENSORS = {"token_embd": "model.embed_tokens", "output_norm": "model.norm", "output": "lm_head"}


def open_gguf(path: str | os.PathLike):
    """A `gguf.GGUFReader` of the file; ExportError when it is not a GGUF file."""
    try:
        import gguf
    except ImportError:
        raise ExportError("reading GGUF files needs the gguf package (pip install gguf)") from None
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise ExportError(f"{path}: no such GGUF file")
    try:
        return gguf.GGUFReader(path)
    except Exception as e:  # the reader raises ValueError, struct errors, ...
        first = str(e).splitlines()[0] if str(e) else type(e).__name__
        raise ExportError(f"{path}: not a readable GGUF file ({first})") from None


def field(reader, key: str, default=None):
    f = reader.fields.get(key)
    if f is None:
        return default
    return f.contents()


def hf_name(name: str) -> str | None:
    """The `transformers` name of a GGUF tensor, or None when a Llama decoder has no such tensor."""
    parts = name.split(".")
    if len(parts) == 4 and parts[0] == "blk" and parts[1].isdigit() and parts[2] in _LAYER_TENSORS \
            and parts[3] in ("weight", "bias"):
        return f"model.layers.{parts[1]}.{_LAYER_TENSORS[parts[2]]}.{parts[3]}"
    if len(parts) == 2 and parts[0] in _MODEL_TENSORS and parts[1] in ("weight", "bias"):
        return f"{_MODEL_TENSORS[parts[0]]}.{parts[1]}"
    return None


def half_split_rows(w: np.ndarray, heads: int) -> np.ndarray:
    """Rows of a query or key projection from GGUF's per-head interleaved order (pairs 2i, 2i+1)
    to half-split order (i, i + head_dim/2); also the bias, as a one-column case."""
    rows = w.shape[0]
    return (w.reshape(heads, rows // heads // 2, 2, *w.shape[1:]).swapaxes(1, 2)
            .reshape(w.shape))


def read_llama_gguf(path: str | os.PathLike, max_positions: int | None = None):
    """(DecoderShape, tensors in `transformers` names, biases) of a Llama GGUF file, dequantised
    to float32. Raises ExportError for another architecture, a scaled rotary embedding or a tensor
    a Llama decoder does not have."""
    import gguf

    reader = open_gguf(path)
    path = os.fspath(path)
    arch = field(reader, "general.architecture")
    if arch not in SUPPORTED_ARCHITECTURES:
        raise ExportError(f"{path}: GGUF architecture {arch!r} is not supported "
                          f"(supported: {', '.join(SUPPORTED_ARCHITECTURES)})")

    def key(name, default=None):
        value = field(reader, f"{arch}.{name}", default)
        if value is None:
            raise ExportError(f"{path}: the GGUF file has no {arch}.{name}")
        return value

    scaling = field(reader, f"{arch}.rope.scaling.type", "none")
    if scaling not in (None, "none"):
        raise ExportError(f"{path}: rope scaling {scaling!r} is not supported")
    heads, width = int(key("attention.head_count")), int(key("embedding_length"))
    kv_heads = int(key("attention.head_count_kv", heads))
    head_dim = int(field(reader, f"{arch}.attention.key_length", width // max(heads, 1)))
    rotated = int(key("rope.dimension_count", head_dim))
    if rotated != head_dim:
        raise ExportError(f"{path}: the rotary embedding turns {rotated} of {head_dim} head "
                          "dimensions; only whole heads are supported")
    tensors: dict[str, np.ndarray] = {}
    for t in reader.tensors:
        name = hf_name(t.name)
        if name is None:
            raise ExportError(f"{path}: tensor {t.name!r} is not part of a Llama decoder")
        array = gguf.quants.dequantize(t.data, t.tensor_type).astype(np.float32, copy=False)
        array = array.reshape([int(d) for d in reversed(t.shape)])  # GGUF lists dims innermost first
        if name.endswith(("q_proj.weight", "q_proj.bias")):
            array = half_split_rows(array, heads)
        elif name.endswith(("k_proj.weight", "k_proj.bias")):
            array = half_split_rows(array, kv_heads)
        tensors[name] = np.ascontiguousarray(array)
    embed = tensors.get("model.embed_tokens.weight")
    if embed is None or embed.ndim != 2:
        raise ExportError(f"{path}: the GGUF file has no token_embd.weight table")
    context = int(field(reader, f"{arch}.context_length", ENGINE_DEFAULT_POSITIONS))
    shape = DecoderShape(
        vocab=embed.shape[0], width=width, layers=int(key("block_count")), q_heads=heads,
        kv_heads=kv_heads, head_dim=head_dim, ffn=int(key("feed_forward_length")),
        rope_theta=float(field(reader, f"{arch}.rope.freq_base", 10000.0)),
        rms_eps=float(key("attention.layer_norm_rms_epsilon")),
        max_positions=int(max_positions or min(context, ENGINE_DEFAULT_POSITIONS)))
    biases = {proj.split(".")[1]: f"model.layers.0.{proj}.bias" in tensors
              for proj in _LAYER_TENSORS.values() if "proj" in proj}
    biases["lm_head"] = "lm_head.bias" in tensors
    return shape, tensors, biases
