"""Which weight tensors each layer needs, so the tools can say before a forward pass what a
weights file lacks, and which tensor of a damaged file the engine stumbled on."""

from __future__ import annotations

import os
from collections.abc import Collection

from . import w1x1
from .arch import ArchInfo, canonical_op

# Tensors (suffixes of the node's name) a layer refuses to run without: it loads without them
# and fails with "missing weight tensor: NAME" when the forward pass reaches it.
MANDATORY_WEIGHTS = {
    "conv_fp32": (".weight",),
    "conv_int8": (".weight", ".req_scale", ".eff_bias"),
    "gemm_fp32": (".weight",),
    "gemm_int8": (".weight", ".req_scale", ".eff_bias"),
    "seqgemm_fp32": (".weight",),
    "seqgemm_int8": (".weight_i8", ".w_scales"),
    "attention_fp32": (".w_qkv", ".w_proj"),
    "attention_int8": (".w_qkv_i8", ".w_qkv_scales", ".w_proj_i8", ".w_proj_scales"),
    "snake1d_fp32": (".alpha",),
    "layernorm_fp32": (".gamma", ".beta"),
    "rms_norm_fp32": (".gamma",),
    "embedding_fp32": (".weight",),
    "bert_embeddings_fp32": (".word_weight", ".pos_weight"),
    "patch_prep_fp32": (".cls_token", ".pos_embed"),
    "pos_emb_add_fp32": (".weight",),
    "conv1d_fp32": (".weight",),
    "conv1d_int8": (".weight_i8", ".w_scales"),
    "conv_transpose1d_fp32": (".weight",),
    "lstm_fp32": (".weight_ih_l0", ".weight_hh_l0"),
    "ada_in1d_fp32": (".fc.weight",),
    "ada_layer_norm_fp32": (".fc.weight",),
}

# Float weights a layer also accepts quantised: NAME + "_i8" beside PREFIX + "w_scales", PREFIX
# being NAME up to and including its last ".".
QUANTISED_STORAGE = {
    "seqgemm_fp32": (".weight",),
    "ada_in1d_fp32": (".fc.weight",),
    "ada_layer_norm_fp32": (".fc.weight",),
}

# Every tensor a layer asks the weights file for while loading, in the order it asks.
REQUESTED_WEIGHTS = {
    "conv_fp32": (".weight", ".bias"),
    "conv_int8": (".weight", ".req_scale", ".eff_bias"),
    "gemm_fp32": (".weight", ".bias"),
    "gemm_int8": (".req_scale", ".eff_bias", ".weight"),
    "seqgemm_fp32": (".weight_i8", ".w_scales", ".weight", ".bias"),
    "seqgemm_int8": (".weight_i8", ".w_scales", ".bias"),
    "attention_fp32": (".w_qkv", ".b_qkv", ".w_proj", ".b_proj"),
    "attention_int8": (".w_qkv_i8", ".w_qkv_scales", ".b_qkv", ".w_proj_i8", ".w_proj_scales",
                       ".b_proj"),
    "snake1d_fp32": (".alpha",),
    "layernorm_fp32": (".gamma", ".beta"),
    "rms_norm_fp32": (".gamma",),
    "embedding_fp32": (".weight",),
    "bert_embeddings_fp32": (".word_weight", ".pos_weight", ".type_weight", ".layernorm.weight",
                             ".layernorm.bias"),
    "patch_prep_fp32": (".cls_token", ".pos_embed"),
    "pos_emb_add_fp32": (".weight",),
}


def _tensors(info: ArchInfo, table: dict[str, tuple[str, ...]]) -> list[str]:
    names = []
    for node in info.nodes:
        op = canonical_op(node.op)
        names.extend(node.name + suffix for suffix in table.get(op, ()))
    return names


def quantised_pair(name: str) -> tuple[str, str]:
    """The int8 tensor and the row scales that may stand for the float weight `name`."""
    return name + "_i8", name[: name.rfind(".") + 1] + "w_scales"


def missing_weights(info: ArchInfo, available: Collection[str]) -> list[str]:
    """The mandatory tensors of the model's nodes that `available` lacks, in node order (a float
    weight stored quantised counts as present)."""
    stored_quantised = set(_tensors(info, QUANTISED_STORAGE))

    def present(name: str) -> bool:
        return name in available or (name in stored_quantised and
                                     all(part in available for part in quantised_pair(name)))

    return [name for name in _tensors(info, MANDATORY_WEIGHTS) if not present(name)]


def is_read_failure(message: str) -> bool:
    """Whether an engine load error comes from reading the weights file's bytes; those messages
    ("read error at tensor_data", "vector") name neither the file nor the tensor."""
    return message.startswith("read error at ") or message == "vector"


def explain_read_failure(info: ArchInfo | None, weights: str | os.PathLike) -> str | None:
    """A message naming the file and the tensor for an engine read failure of `weights`: the
    first tensor the layers ask for, in loading order, whose record the engine cannot read.
    None when this reader finds nothing wrong."""
    try:
        tensors = w1x1.load(weights, strict=False)
    except w1x1.W1X1Error as e:  # the header or the index
        return str(e)
    except OSError:
        return None
    broken = {name: e for name, e in tensors.errors.items() if e.engine_fails}
    order = _tensors(info, REQUESTED_WEIGHTS) if info is not None else []
    for name in order + list(broken):
        if name in broken:
            return str(broken[name])
    return None
