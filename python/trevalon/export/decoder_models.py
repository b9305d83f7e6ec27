"""Export Llama-style decoder language models: the `transformers` package's `LlamaForCausalLM`,
and the same shape with query/key/value biases and tied embeddings as `Qwen2ForCausalLM` has.

The graph takes the token ids of the new positions ("input_ids", float32, declared shape [0, 1])
and returns "logits" (T x vocabulary). Each pass appends its positions to the model's key/value
cache, so a prompt runs in one pass and every generated token in one more:

    embedding_fp32 -> per layer: rms_norm_fp32, seqgemm q/k/v, causal_attn_core_fp32, seqgemm o,
    add_fp32, rms_norm_fp32, seqgemm gate/up, silu_fp32 x elemwise_mul_fp32, seqgemm down,
    add_fp32 -> rms_norm_fp32 -> seqgemm "lm_head"

Projections are named "layers.N.self_attn.q_proj", ..., "layers.N.mlp.down_proj" and "lm_head", so
the engine keeps an int8 copy of their weights for one-position passes (the decode copy);
decode_copy=False names them "model.layers.N..." and "model.lm_head" and every pass runs the float
product. With quantize=True they are `seqgemm_int8` with int8 weights and one scale per row.

`write_decoder` does the work from plain arrays named as the `transformers` state dict names them,
so a converter of another file format (GGUF) shares it; `export_decoder` reads a torch model."""

from __future__ import annotations

import os
from collections import Counter
from dataclasses import dataclass
from typing import Mapping

import numpy as np

from .. import w1x1
from ..graph import Graph
from .api import ExportInfo
from .errors import ExportError
from .transformers_models import _array, _check_class, quantize_rows

INPUT = "input_ids"
OUTPUT = "logits"
# The cache the engine allocates when the architecture names no "max_positions".
ENGINE_DEFAULT_POSITIONS = 2048
SUPPORTED = ("LlamaForCausalLM", "Qwen2ForCausalLM")


@dataclass(frozen=True)
class DecoderShape:
    """The sizes of a Llama-style decoder."""

    vocab: int
    width: int  # hidden size
    layers: int
    q_heads: int
    kv_heads: int
    head_dim: int
    ffn: int  # intermediate size of the SwiGLU block
    rope_theta: float
    rms_eps: float
    max_positions: int

    def check(self, where: str) -> None:
        for key in ("vocab", "width", "layers", "q_heads", "kv_heads", "head_dim", "ffn",
                    "max_positions"):
            if getattr(self, key) < 1:
                raise ExportError(f"module '{where}': {key} must be at least 1, got {getattr(self, key)}")
        if self.q_heads % self.kv_heads:
            raise ExportError(f"module '{where}': {self.q_heads} query heads do not share "
                              f"{self.kv_heads} key/value heads evenly")
        if self.head_dim > 1 and self.head_dim % 2:
            raise ExportError(f"module '{where}': head_dim {self.head_dim} is odd; the rotary "
                              "embedding turns the two halves of each head")
        if not (np.isfinite(self.rope_theta) and self.rope_theta > 0):
            raise ExportError(f"module '{where}': rope_theta {self.rope_theta} is not a positive number")

    def tensor_shapes(self, biases: Mapping[str, bool]) -> dict[str, tuple[int, ...]]:
        """Every tensor of the model in `transformers` names; a projection's bias is listed when
        `biases` says that projection has one."""
        q, kv = self.q_heads * self.head_dim, self.kv_heads * self.head_dim
        shapes = {"model.embed_tokens.weight": (self.vocab, self.width)}
        for i in range(self.layers):
            p = f"model.layers.{i}."
            shapes[p + "input_layernorm.weight"] = (self.width,)
            shapes[p + "post_attention_layernorm.weight"] = (self.width,)
            for proj, rows, cols in (("self_attn.q_proj", q, self.width),
                                     ("self_attn.k_proj", kv, self.width),
                                     ("self_attn.v_proj", kv, self.width),
                                     ("self_attn.o_proj", self.width, q),
                                     ("mlp.gate_proj", self.ffn, self.width),
                                     ("mlp.up_proj", self.ffn, self.width),
                                     ("mlp.down_proj", self.width, self.ffn)):
                shapes[p + proj + ".weight"] = (rows, cols)
                if biases.get(proj.split(".")[1]):
                    shapes[p + proj + ".bias"] = (rows,)
        shapes["model.norm.weight"] = (self.width,)
        shapes["lm_head.weight"] = (self.vocab, self.width)
        if biases.get("lm_head"):
            shapes["lm_head.bias"] = (self.vocab,)
        return shapes


def write_decoder(shape: DecoderShape, tensors: Mapping[str, np.ndarray], arch_path, weights_path,
                  *, quantize: bool = False, decode_copy: bool = True, name: str = "decoder",
                  biases: Mapping[str, bool] | None = None) -> ExportInfo:
    """Write the architecture and weights files of a decoder from its tensors (float arrays in
    `transformers` state-dict names). "lm_head.weight" may be missing when the output projection
    is tied to the embedding table; when it is the embedding array itself, a float export stores
    the table once. Raises ExportError naming a tensor that is missing, extra or of the wrong shape."""
    shape.check("model")
    biases = dict(biases or {})
    expected = shape.tensor_shapes(biases)
    tensors = dict(tensors)
    tensors.setdefault("lm_head.weight", tensors.get("model.embed_tokens.weight"))
    for key, dims in expected.items():
        array = tensors.get(key)
        if array is None:
            raise ExportError(f"tensor '{key}': missing (expected shape {list(dims)})")
        if tuple(np.shape(array)) != dims:
            raise ExportError(f"tensor '{key}': shape {list(np.shape(array))}, expected {list(dims)}")
    extra = sorted(set(tensors) - set(expected))
    if extra:
        raise ExportError(f"tensor '{extra[0]}': not part of a Llama-style decoder "
                          f"({len(extra)} unexpected tensors)")

    g = Graph(name, max_positions=int(shape.max_positions))
    out: dict[str, np.ndarray] = {}
    ops: Counter = Counter()
    modules: dict[str, str] = {}
    prefix = "" if decode_copy else "model."

    def node(op: str, node_name: str, inputs: list[str], module: str, outputs=None, **params) -> str:
        ops[op] += 1
        modules[node_name] = module
        return g.node(op, node_name, inputs, outputs, **params)

    def f32(key: str) -> np.ndarray:
        return np.ascontiguousarray(tensors[key], dtype=np.float32)

    def linear(node_name: str, module: str, x: str, output: str | None = None) -> str:
        w = f32(module + ".weight")
        if quantize:
            q, scales = quantize_rows(w)
            out[node_name + ".weight_i8"], out[node_name + ".w_scales"] = q, scales
        else:
            out[node_name + ".weight"] = w
        if module + ".bias" in tensors:
            out[node_name + ".bias"] = f32(module + ".bias")
        return node("seqgemm_int8" if quantize else "seqgemm_fp32", node_name, [x], module, output,
                    C_out=w.shape[0], C_in=w.shape[1])

    def rms(node_name: str, module: str, x: str) -> str:
        out[node_name + ".gamma"] = f32(module + ".weight")
        return node("rms_norm_fp32", node_name, [x], module, eps=float(shape.rms_eps))

    x = g.input(INPUT, (0, 1), dtype="float32")
    table = f32("model.embed_tokens.weight")
    out["model.embed_tokens.weight"] = table
    h = node("embedding_fp32", "model.embed_tokens", [x], "model.embed_tokens",
             num_embeddings=shape.vocab, embedding_dim=shape.width)
    for i in range(shape.layers):
        m, n = f"model.layers.{i}", f"{prefix}layers.{i}"
        a = rms(n + ".input_layernorm", m + ".input_layernorm", h)
        q = linear(n + ".self_attn.q_proj", m + ".self_attn.q_proj", a)
        k = linear(n + ".self_attn.k_proj", m + ".self_attn.k_proj", a)
        v = linear(n + ".self_attn.v_proj", m + ".self_attn.v_proj", a)
        c = node("causal_attn_core_fp32", n + ".self_attn.core", [q, k, v], m + ".self_attn",
                 num_q_heads=shape.q_heads, num_kv_heads=shape.kv_heads, head_dim=shape.head_dim,
                 rope_theta=float(shape.rope_theta))
        o = linear(n + ".self_attn.o_proj", m + ".self_attn.o_proj", c)
        h = node("add_fp32", n + ".attn_residual", [o, h], m)
        a = rms(n + ".post_attention_layernorm", m + ".post_attention_layernorm", h)
        gate = linear(n + ".mlp.gate_proj", m + ".mlp.gate_proj", a)
        up = linear(n + ".mlp.up_proj", m + ".mlp.up_proj", a)
        act = node("silu_fp32", n + ".mlp.act", [gate], m + ".mlp.act_fn")
        prod = node("elemwise_mul_fp32", n + ".mlp.gated", [act, up], m + ".mlp")
        d = linear(n + ".mlp.down_proj", m + ".mlp.down_proj", prod)
        h = node("add_fp32", n + ".mlp_residual", [d, h], m)
    h = rms("model.norm", "model.norm", h)
    head = "lm_head" if decode_copy else "model.lm_head"
    tied = tensors["lm_head.weight"] is tensors["model.embed_tokens.weight"]
    logits = linear(head, "lm_head", h, OUTPUT)
    if tied and not quantize:
        out[head + ".weight"] = table  # the same array: the weights file stores it once
    g.output(logits)
    g.save(arch_path)
    w1x1.save(weights_path, out)
    return ExportInfo(
        name=name, arch_path=os.fspath(arch_path), weights_path=os.fspath(weights_path),
        quantized=quantize, input_name=INPUT, input_shape=(0, 1, 1), input_dtype="float32",
        output_names=[OUTPUT], weight_names=list(out), op_counts=dict(ops), node_modules=modules)


# ---- transformers models ---------------------------------------------------------------------

def _rope_theta(config) -> float:
    """The rotary base, refusing every rotary variant but the plain one (scaled frequencies,
    partial rotation)."""
    params = getattr(config, "rope_parameters", None) or getattr(config, "rope_scaling", None) or {}
    kind = params.get("rope_type", params.get("type", "default")) if isinstance(params, dict) else "default"
    if kind not in (None, "default"):
        raise ExportError(f"module 'model.rotary_emb': rope scaling {kind!r} is not supported "
                          "(only the plain rotary embedding)")
    partial = params.get("partial_rotary_factor", getattr(config, "partial_rotary_factor", 1.0)) \
        if isinstance(params, dict) else 1.0
    if partial not in (None, 1, 1.0):
        raise ExportError(f"module 'model.rotary_emb': partial rotary factor {partial} is not "
                          "supported (the whole head is rotated)")
    theta = params.get("rope_theta") if isinstance(params, dict) else None
    return float(theta if theta is not None else getattr(config, "rope_theta", 10000.0))


def _check_config(kind: str, config) -> None:
    act = getattr(config, "hidden_act", "silu")
    if act not in ("silu", "swish"):
        raise ExportError(f"module 'model.layers.0.mlp': activation {act!r} is not supported "
                          "(the gated feed-forward block uses silu)")
    if getattr(config, "pretraining_tp", 1) not in (None, 1):
        raise ExportError(f"module 'model': pretraining_tp {config.pretraining_tp} is not supported")
    if getattr(config, "use_sliding_window", False):
        raise ExportError("module 'model.layers.0.self_attn': sliding-window attention is not "
                          "supported (every position attends to all earlier ones)")
    for i, layer_type in enumerate(getattr(config, "layer_types", None) or ()):
        if layer_type != "full_attention":
            raise ExportError(f"module 'model.layers.{i}.self_attn': {layer_type} is not supported "
                              "(only full causal attention)")


def _check_modules(kind: str, model, config) -> None:
    family = kind[: -len("ForCausalLM")]
    body = model.model
    _check_class("model.embed_tokens", body.embed_tokens, "Embedding")
    _check_class("model.norm", body.norm, f"{family}RMSNorm")
    for i, layer in enumerate(body.layers):
        p = f"model.layers.{i}"
        _check_class(p, layer, f"{family}DecoderLayer")
        _check_class(p + ".self_attn", layer.self_attn, f"{family}Attention")
        _check_class(p + ".mlp", layer.mlp, f"{family}MLP")
        for norm in ("input_layernorm", "post_attention_layernorm"):
            _check_class(f"{p}.{norm}", getattr(layer, norm), f"{family}RMSNorm")
            eps = getattr(layer, norm).variance_epsilon
            if float(eps) != float(config.rms_norm_eps):
                raise ExportError(f"module '{p}.{norm}': eps {eps:g} differs from the model's "
                                  f"rms_norm_eps {config.rms_norm_eps:g}")
        for proj in ("q_proj", "k_proj", "v_proj", "o_proj"):
            _check_class(f"{p}.self_attn.{proj}", getattr(layer.self_attn, proj), "Linear")
        for proj in ("gate_proj", "up_proj", "down_proj"):
            _check_class(f"{p}.mlp.{proj}", getattr(layer.mlp, proj), "Linear")
        if type(layer.mlp.act_fn).__name__ not in ("SiLUActivation", "SiLU"):
            raise ExportError(f"module '{p}.mlp.act_fn': {type(layer.mlp.act_fn).__name__} is not "
                              "supported (expected silu)")
    _check_class("lm_head", model.lm_head, "Linear")


def _max_positions(config, requested: int | None) -> int:
    if requested is not None:
        if requested < 1:
            raise ExportError(f"max_positions must be at least 1, got {requested}")
        return int(requested)
    limit = getattr(config, "max_position_embeddings", None) or ENGINE_DEFAULT_POSITIONS
    return int(min(limit, ENGINE_DEFAULT_POSITIONS))


def export_decoder(model, arch_path, weights_path, *, quantize: bool = False,
                   decode_copy: bool = True, name: str | None = None,
                   max_positions: int | None = None) -> ExportInfo:
    """Export a `transformers` decoder (one of SUPPORTED) for generation.

    The key/value cache holds `max_positions` positions (default: the model's
    max_position_embeddings, at most 2048), prompt and generated tokens together. Configurations
    the engine cannot run (scaled or partial rotary embeddings, sliding windows, activations other
    than silu) raise ExportError naming the module."""
    kind = type(model).__name__
    if kind not in SUPPORTED:
        raise ExportError(f"{kind} is not supported (supported: {', '.join(SUPPORTED)})")
    config = model.config
    _check_config(kind, config)
    theta = _rope_theta(config)
    _check_modules(kind, model, config)
    heads = config.num_attention_heads
    shape = DecoderShape(
        vocab=model.model.embed_tokens.num_embeddings, width=config.hidden_size,
        layers=len(model.model.layers), q_heads=heads,
        kv_heads=getattr(config, "num_key_value_heads", None) or heads,
        head_dim=getattr(config, "head_dim", None) or config.hidden_size // heads,
        ffn=config.intermediate_size, rope_theta=theta, rms_eps=float(config.rms_norm_eps),
        max_positions=_max_positions(config, max_positions))
    tensors = {key: _array(value) for key, value in model.state_dict().items()
               if key != "lm_head.weight" and not key.endswith("rotary_emb.inv_freq")}
    if model.lm_head.weight.data_ptr() != model.model.embed_tokens.weight.data_ptr():
        tensors["lm_head.weight"] = _array(model.lm_head.weight)  # untied: a table of its own
    # Which projections have biases, as the first layer has them (the shape check holds the
    # other layers to it).
    biases = {"lm_head": model.lm_head.bias is not None}
    if len(model.model.layers):
        first = model.model.layers[0]
        for owner, projs in ((first.self_attn, ("q_proj", "k_proj", "v_proj", "o_proj")),
                             (first.mlp, ("gate_proj", "up_proj", "down_proj"))):
            biases.update({proj: getattr(owner, proj).bias is not None for proj in projs})
    return write_decoder(shape, tensors, arch_path, weights_path, quantize=quantize,
                         decode_copy=decode_copy, name=name or getattr(config, "model_type", kind),
                         biases=biases)
