"""Export transformer encoders of the `transformers` package: `BertModel`,
`BertForSequenceClassification`, `ViTModel` and `ViTForImageClassification`, in float32 or in int8
(weights quantised per row, activations quantised per row by the engine at run time).

The models are read module by module rather than traced: every block is checked to be the class
this exporter knows, with the configuration the engine can run (absolute positions, no padding
mask, an activation the projection layers have), and anything else is an `ExportError` naming the
module. torch and transformers are imported only when a model is exported."""

from __future__ import annotations

import os
from collections import Counter

import numpy as np

from .. import w1x1
from ..graph import Graph
from .api import ExportInfo
from .errors import ExportError
from .quantize import round_half_away

# The engine's fused embedding layer normalises with this epsilon.
BERT_EMBEDDINGS_EPS = 1e-12
# Activations of the feed-forward block: the projection layer's own GELU (its tanh form; the
# erf form "gelu" differs from it by at most about 5e-4 of an activation), or a separate layer.
GELU_ACTS = ("gelu", "gelu_new", "gelu_pytorch_tanh", "gelu_fast", "gelu_python")
SEPARATE_ACTS = {"relu": ("leaky_relu_fp32", {"alpha": 0.0}), "silu": ("silu_fp32", {}),
                 "swish": ("silu_fp32", {})}
TEXT_INPUT = "input_ids"
IMAGE_INPUT = "pixel_values"


def quantize_rows(weight: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Symmetric int8 per row: scale = max|row| / 127, q = round-half-away(w / scale). A row of
    zeros gets scale 1. Returns the int8 matrix and the float32 scales."""
    w = np.asarray(weight, dtype=np.float64)
    amax = np.abs(w).max(axis=1)
    scale = np.where(amax > 0, amax / 127.0, 1.0)
    q = np.clip(round_half_away(w / scale[:, None]), -127, 127).astype(np.int8)
    return q, scale.astype(np.float32)


def _array(tensor) -> np.ndarray:
    return tensor.detach().cpu().float().numpy().astype(np.float32, copy=True)


def _engine_name(path: str) -> str:
    # Nodes named "layers.*" or "lm_head" keep an int8 copy of their weight for one-position
    # inputs; an encoder has no use for it.
    return "model." + path if path.startswith("layers.") or path == "lm_head" else path


class _Builder:
    """Nodes and weight tensors of one export."""

    def __init__(self, name: str, quantize: bool):
        self.graph = Graph(name)
        self.quantize = quantize
        self.tensors: dict[str, np.ndarray] = {}
        self.ops: Counter = Counter()
        self.node_modules: dict[str, str] = {}

    def node(self, op: str, path: str, inputs: list[str], weights: dict | None = None,
             suffix: str = "", **params) -> str:
        name = _engine_name(path + suffix)
        out = self.graph.node(op, name, inputs, **params)
        for key, array in (weights or {}).items():
            self.tensors[name + key] = array
        self.ops[op] += 1
        self.node_modules[name] = path
        return out

    def linear(self, path: str, x: str, linear, act: str | None = None) -> str:
        """A projection of every position (`nn.Linear`), with the feed-forward activation."""
        from torch import nn

        if not isinstance(linear, nn.Linear):
            raise ExportError(f"module '{path}': expected nn.Linear, found {type(linear).__name__}")
        w = _array(linear.weight)
        b = _array(linear.bias) if linear.bias is not None else None
        params = {"C_out": w.shape[0], "C_in": w.shape[1]}
        if act is not None and act in GELU_ACTS:
            params["gelu"] = True
        if self.quantize:
            q, scales = quantize_rows(w)
            weights = {".weight_i8": q, ".w_scales": scales}
            op = "seqgemm_int8"
        else:
            weights, op = {".weight": w}, "seqgemm_fp32"
        if b is not None:
            weights[".bias"] = b
        y = self.node(op, path, [x], weights, **params)
        if act is not None and act not in GELU_ACTS:
            act_op, act_params = SEPARATE_ACTS[act]
            y = self.node(act_op, path, [y], suffix=".act", **act_params)
        return y

    def attention(self, path: str, x: str, q, k, v, o, num_heads: int, width: int) -> str:
        """Self-attention without a mask: the query, key and value projections stacked into one
        3E x E matrix, then the output projection."""
        from torch import nn

        for part, linear in (("query", q), ("key", k), ("value", v), ("output", o)):
            if not isinstance(linear, nn.Linear) or tuple(linear.weight.shape) != (width, width):
                raise ExportError(f"module '{path}': the {part} projection must be an nn.Linear of "
                                  f"{width} x {width} (the engine's attention keeps the model width)")
        w_qkv = np.concatenate([_array(m.weight) for m in (q, k, v)])
        biases = [m.bias for m in (q, k, v)]
        weights: dict[str, np.ndarray] = {}
        if any(b is not None for b in biases):
            weights[".b_qkv"] = np.concatenate([_array(b) if b is not None else np.zeros(width, np.float32)
                                                for b in biases])
        if o.bias is not None:
            weights[".b_proj"] = _array(o.bias)
        if self.quantize:
            q_qkv, s_qkv = quantize_rows(w_qkv)
            q_proj, s_proj = quantize_rows(_array(o.weight))
            weights.update({".w_qkv_i8": q_qkv, ".w_qkv_scales": s_qkv,
                            ".w_proj_i8": q_proj, ".w_proj_scales": s_proj})
            op = "attention_int8"
        else:
            weights.update({".w_qkv": w_qkv, ".w_proj": _array(o.weight)})
            op = "attention_fp32"
        return self.node(op, path, [x], weights, num_heads=num_heads, embed_dim=width)

    def layernorm(self, path: str, x: str, norm, width: int) -> str:
        from torch import nn

        if not isinstance(norm, nn.LayerNorm) or tuple(norm.normalized_shape) != (width,):
            raise ExportError(f"module '{path}': expected nn.LayerNorm over {width} features, "
                              f"found {type(norm).__name__}")
        gamma = _array(norm.weight) if norm.weight is not None else np.ones(width, np.float32)
        beta = _array(norm.bias) if getattr(norm, "bias", None) is not None else np.zeros(width, np.float32)
        return self.node("layernorm_fp32", path, [x], {".gamma": gamma, ".beta": beta},
                         eps=float(norm.eps))

    def add(self, path: str, a: str, b: str) -> str:
        return self.node("add_fp32", path, [a, b], suffix=".add")

    def rename(self, tensor: str, new: str) -> str:
        """Give a produced tensor (a model output) a name of its own."""
        if new in self.graph._tensors:
            raise ExportError(f"tensor name {new!r} is taken")
        for node in self.graph._nodes:
            node["inputs"] = [new if t == tensor else t for t in node["inputs"]]
            node["outputs"] = [new if t == tensor else t for t in node["outputs"]]
        self.graph._tensors.discard(tensor)
        self.graph._tensors.add(new)
        return new


def _activation(path: str, config) -> str:
    act = config.hidden_act
    if not isinstance(act, str) or act not in GELU_ACTS and act not in SEPARATE_ACTS:
        shown = act if isinstance(act, str) else type(act).__name__
        raise ExportError(f"module '{path}': activation {shown!r} is not supported "
                          f"(supported: {', '.join(GELU_ACTS + tuple(SEPARATE_ACTS))})")
    return act


def _heads(path: str, config) -> int:
    heads, width = config.num_attention_heads, config.hidden_size
    if heads < 1 or width % heads or getattr(config, "head_dim", width // heads) * heads != width:
        raise ExportError(f"module '{path}': {heads} heads of width "
                          f"{getattr(config, 'head_dim', None)} do not split the model width {width}")
    return heads


def _check_class(path: str, module, expected: str, why: str = "") -> None:
    if type(module).__name__ != expected:
        raise ExportError(f"module '{path}': {type(module).__name__} is not supported (expected "
                          f"{expected}{'; ' + why if why else ''})")


# ---- BERT ------------------------------------------------------------------------------------

def _check_bert_config(prefix: str, config, attention_mask) -> None:
    where = prefix + "embeddings"
    position = getattr(config, "position_embedding_type", "absolute")
    if position != "absolute":
        raise ExportError(f"module '{where}': {position} position embeddings are not supported "
                          "(only absolute position tables)")
    if getattr(config, "is_decoder", False) or getattr(config, "add_cross_attention", False):
        raise ExportError(f"module '{prefix}encoder': a decoder (causal mask or cross-attention) is "
                          "not supported; the engine's attention attends to every position")
    if attention_mask is not None:
        import torch

        mask = torch.as_tensor(attention_mask)
        if not bool((mask != 0).all()):
            raise ExportError(f"module '{prefix}encoder': attention masks with padding are not "
                              "supported; run each text at its own length instead")


def _bert_embeddings(b: _Builder, path: str, emb, x: str) -> str:
    _check_class(path, emb, "BertEmbeddings")
    ln = emb.LayerNorm
    if float(ln.eps) != BERT_EMBEDDINGS_EPS:
        raise ExportError(f"module '{path}.LayerNorm': eps {ln.eps:g} is not supported (the "
                          f"engine's embedding layer normalises with eps {BERT_EMBEDDINGS_EPS:g})")
    width = emb.word_embeddings.weight.shape[1]
    weights = {".word_weight": _array(emb.word_embeddings.weight),
               ".pos_weight": _array(emb.position_embeddings.weight)}
    if getattr(emb, "token_type_embeddings", None) is not None:
        weights[".type_weight"] = _array(emb.token_type_embeddings.weight)
    if ln.weight is not None:
        weights[".layernorm.weight"] = _array(ln.weight)
    if getattr(ln, "bias", None) is not None:
        weights[".layernorm.bias"] = _array(ln.bias)
    return b.node("bert_embeddings_fp32", path, [x], weights, emb_size=width)


def _bert_layer(b: _Builder, path: str, layer, x: str, config) -> str:
    """Post-norm block: LN(x + attention(x)), then LN(h + W2 act(W1 h))."""
    _check_class(path, layer, "BertLayer", "a block with another norm placement or structure")
    width = config.hidden_size
    heads = _heads(path + ".attention.self", config)
    act = _activation(path + ".intermediate", config)
    att = layer.attention
    for sub, cls in ((att, "BertAttention"), (att.self, "BertSelfAttention"),
                     (att.output, "BertSelfOutput"), (layer.intermediate, "BertIntermediate"),
                     (layer.output, "BertOutput")):
        _check_class(path, sub, cls)
    if getattr(att.self, "is_causal", False):
        raise ExportError(f"module '{path}.attention.self': causal attention is not supported")
    a = b.attention(path + ".attention", x, att.self.query, att.self.key, att.self.value,
                    att.output.dense, heads, width)
    h = b.add(path + ".attention", a, x)
    h = b.layernorm(path + ".attention.output.LayerNorm", h, att.output.LayerNorm, width)
    f = b.linear(path + ".intermediate.dense", h, layer.intermediate.dense, act)
    f = b.linear(path + ".output.dense", f, layer.output.dense)
    y = b.add(path + ".output", f, h)
    return b.layernorm(path + ".output.LayerNorm", y, layer.output.LayerNorm, width)


def _bert_body(b: _Builder, prefix: str, bert, config, x: str) -> str:
    h = _bert_embeddings(b, prefix + "embeddings", bert.embeddings, x)
    for i, layer in enumerate(bert.encoder.layer):
        h = _bert_layer(b, f"{prefix}encoder.layer.{i}", layer, h, config)
    return h


def _bert_pooler(b: _Builder, path: str, pooler, h: str) -> str:
    _check_class(path, pooler, "BertPooler")
    first = b.node("cls_extract_fp32", path, [h], suffix=".cls")
    dense = b.linear(path + ".dense", first, pooler.dense)
    return b.node("tanh_fp32", path, [dense], suffix=".tanh")


# ---- ViT -------------------------------------------------------------------------------------

def _vit_embeddings(b: _Builder, path: str, emb, x: str, config) -> str:
    """The 16 x 16 stride-16 patch convolution writes (H/16) x (W/16) x E, which read row by row
    is the sequence of patch embeddings; the class token and position table follow."""
    from torch import nn

    _check_class(path, emb, "ViTEmbeddings")
    conv = emb.patch_embeddings.projection
    where = path + ".patch_embeddings.projection"
    if not isinstance(conv, nn.Conv2d) or conv.kernel_size != conv.stride or conv.padding != (0, 0) \
            or conv.groups != 1 or conv.dilation != (1, 1):
        raise ExportError(f"module '{where}': expected a non-overlapping patch nn.Conv2d "
                          "(kernel = stride, no padding)")
    kh, kw = conv.kernel_size
    weight = _array(conv.weight)
    bias = _array(conv.bias) if conv.bias is not None else np.zeros(conv.out_channels, np.float32)
    patches = b.node("conv_fp32", where, [x], {".weight": weight, ".bias": bias},
                     C_out=conv.out_channels, C_in=conv.in_channels, kH=kh, kW=kw,
                     stride_h=kh, stride_w=kw)
    return b.node("patch_prep_fp32", path, [patches],
                  {".cls_token": _array(emb.cls_token).reshape(-1),
                   ".pos_embed": _array(emb.position_embeddings).reshape(-1)})


def _vit_layer(b: _Builder, path: str, layer, x: str, config) -> str:
    """Pre-norm block: h = x + attention(LN(x)), then h + W2 act(W1 LN(h))."""
    _check_class(path, layer, "ViTLayer", "a block with another norm placement or structure")
    width = config.hidden_size
    heads = _heads(path + ".attention", config)
    act = _activation(path + ".mlp", config)
    att, mlp = layer.attention, layer.mlp
    _check_class(path + ".attention", att, "ViTAttention")
    _check_class(path + ".mlp", mlp, "ViTMLP")
    n = b.layernorm(path + ".layernorm_before", x, layer.layernorm_before, width)
    a = b.attention(path + ".attention", n, att.q_proj, att.k_proj, att.v_proj, att.o_proj,
                    heads, width)
    h = b.add(path + ".attention", a, x)
    n = b.layernorm(path + ".layernorm_after", h, layer.layernorm_after, width)
    f = b.linear(path + ".mlp.fc1", n, mlp.fc1, act)
    f = b.linear(path + ".mlp.fc2", f, mlp.fc2)
    return b.add(path + ".mlp", f, h)


def _vit_body(b: _Builder, prefix: str, vit, config, x: str) -> str:
    h = _vit_embeddings(b, prefix + "embeddings", vit.embeddings, x, config)
    for i, layer in enumerate(vit.layers):
        h = _vit_layer(b, f"{prefix}layers.{i}", layer, h, config)
    return b.layernorm(prefix + "layernorm", h, vit.layernorm, config.hidden_size)


# ---- entry point -----------------------------------------------------------------------------

SUPPORTED = ("BertModel", "BertForSequenceClassification", "ViTModel", "ViTForImageClassification")


def export_transformer(model, arch_path, weights_path, *, quantize: bool = False,
                       name: str | None = None, pooler: bool = True,
                       attention_mask=None) -> ExportInfo:
    """Export a `transformers` encoder (one of SUPPORTED) in eval mode.

    Text models take the token ids of one sequence as float32 values, any length up to the
    position table ("input_ids", declared shape [0, 1]); every position attends to every other,
    and token type 0 is used throughout. Image models take one (H, W, C) float32 image
    ("pixel_values") of the configured size. Outputs: `BertModel` "last_hidden_state" (T x E), and
    "pooler_output" when it has a pooler and `pooler` is true; `ViTModel` "last_hidden_state";
    the classifiers "logits".

    With quantize=True the attention and projection weights are stored as int8 with one scale
    per row (weights only: the engine quantises activations per row as it runs); embeddings,
    norms and the patch convolution stay float32. `attention_mask` (optional) is the mask the
    model is meant to run with; one with padding (any 0) cannot be expressed."""
    kind = type(model).__name__
    if kind not in SUPPORTED:
        raise ExportError(f"{kind} is not supported (supported: {', '.join(SUPPORTED)})")
    config = model.config
    name = name or getattr(config, "model_type", kind.lower())
    b = _Builder(name, quantize)
    outputs: list[tuple[str, str]] = []  # (graph tensor, output name)

    was_training = model.training
    model.eval()
    try:
        if kind.startswith("Bert"):
            prefix = "bert." if kind != "BertModel" else ""
            bert = model.bert if prefix else model
            _check_bert_config(prefix, config, attention_mask)
            x = b.graph.input(TEXT_INPUT, (0, 1), dtype="float32")
            h = _bert_body(b, prefix, bert, config, x)
            if kind == "BertModel":
                outputs.append((h, "last_hidden_state"))
                if pooler and bert.pooler is not None:
                    outputs.append((_bert_pooler(b, "pooler", bert.pooler, h), "pooler_output"))
            else:
                if bert.pooler is None:
                    raise ExportError("module 'bert.pooler': the classifier needs the pooler")
                pooled = _bert_pooler(b, "bert.pooler", bert.pooler, h)
                outputs.append((b.linear("classifier", pooled, model.classifier), "logits"))
        else:
            prefix = "vit." if kind != "ViTModel" else ""
            vit = model.vit if prefix else model
            if attention_mask is not None:
                raise ExportError(f"module '{prefix}layers': attention masks are not supported")
            size = config.image_size if isinstance(config.image_size, (tuple, list)) \
                else (config.image_size, config.image_size)
            x = b.graph.input(IMAGE_INPUT, (size[0], size[1], config.num_channels), dtype="float32")
            h = _vit_body(b, prefix, vit, config, x)
            if kind == "ViTModel":
                if vit.pooler is not None and pooler:
                    raise ExportError("module 'pooler': the ViT pooler is not supported; build the "
                                      "model with add_pooling_layer=False or pass pooler=False")
                outputs.append((h, "last_hidden_state"))
            else:
                first = b.node("cls_extract_fp32", "vit", [h], suffix=".cls")
                from torch import nn
                if isinstance(model.classifier, nn.Identity):
                    outputs.append((first, "logits"))
                else:
                    outputs.append((b.linear("classifier", first, model.classifier), "logits"))
    finally:
        model.train(was_training)

    outputs = [(b.rename(tensor, out), out) for tensor, out in outputs]
    for tensor, _ in outputs:
        b.graph.output(tensor)
    b.graph.save(arch_path)
    w1x1.save(weights_path, b.tensors)
    text = kind.startswith("Bert")
    return ExportInfo(
        name=name, arch_path=os.fspath(arch_path), weights_path=os.fspath(weights_path),
        quantized=quantize, input_name=TEXT_INPUT if text else IMAGE_INPUT,
        input_shape=(0, 1, 1) if text else (size[0], size[1], config.num_channels),
        input_dtype="float32", output_names=[t for t, _ in outputs],
        weight_names=list(b.tensors), op_counts=dict(b.ops), node_modules=b.node_modules)
