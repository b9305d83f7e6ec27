"""Architecture files in pure Python: the operation names, and a reader that sees the
inputs, outputs, nodes and the parameters each node's layer reads the way the engine's loader does
(without building layers), plus the things a person writing the file by hand gets wrong and the
loader silently ignores. tests/python/test_arch_parity.py holds it to the loader."""

from __future__ import annotations

import difflib
import math
import os
import struct
from dataclasses import dataclass, field

from . import jsontext

# The 48 operations in value order (value = index + 1), then the five aliases.
OP_NAMES = (
    "conv_int8", "conv_fp32", "gemm_int8", "gemm_fp32", "add_int8", "add_fp32",
    "maxpool_int8", "maxpool_fp32", "avgpool_int8", "avgpool_fp32", "patch_prep_fp32",
    "layernorm_fp32", "attention_fp32", "attention_int8", "seqgemm_fp32", "seqgemm_int8",
    "cls_extract_fp32", "upsample_bilinear_fp32", "pos_emb_add_fp32", "leaky_relu_fp32",
    "exp_fp32", "sin_fp32", "sigmoid_fp32", "tanh_fp32", "gelu_fp32", "conv1d_fp32",
    "conv1d_int8", "conv_transpose1d_fp32", "lstm_fp32", "ada_in1d_fp32",
    "ada_layer_norm_fp32", "embedding_fp32", "bert_embeddings_fp32", "snake1d_fp32",
    "length_regulate_fp32", "istft_fp32", "stft_fp32", "concat1d_fp32",
    "upsample_nearest1d_fp32", "sine_gen_fp32", "sum_channels_fp32", "scale_fp32",
    "reflection_pad1d_fp32", "slice_channels_fp32", "rms_norm_fp32", "silu_fp32",
    "elemwise_mul_fp32", "causal_attn_core_fp32",
)
ALIASES = {
    "conv": "conv_int8",
    "gemm": "gemm_int8",
    "add": "add_int8",
    "maxpool": "maxpool_int8",
    "avgpool": "avgpool_int8",
}
# The parameters each operation's layer reads from its node (directly, or from the node's "args"
# object; a direct member wins), in read order: key, kind ("i" int32, "f" float32, "b" bool) and
# default. Operations not listed read none.
_CONV_1D = (("C_out", "i", 0), ("C_in", "i", 0), ("kernel_size", "i", 1), ("stride", "i", 1),
            ("padding", "i", 0), ("dilation", "i", 1), ("groups", "i", 1))
_ADA_NORM = (("C", "i", 0), ("C_style", "i", 0), ("eps", "f", 1e-5))
LAYER_PARAMS: dict[str, tuple[tuple[str, str, object], ...]] = {
    "conv_int8": (("C_out", "i", 0), ("C_in", "i", 0), ("kH", "i", 1), ("kW", "i", 1),
                  ("stride_h", "i", 1), ("stride_w", "i", 1), ("pad_h", "i", 0), ("pad_w", "i", 0),
                  ("groups", "i", 1), ("in_zp", "i", 0), ("out_zp", "i", 0)),
    "conv_fp32": (("C_out", "i", 0), ("C_in", "i", 0), ("kH", "i", 1), ("kW", "i", 1),
                  ("stride_h", "i", 1), ("stride_w", "i", 1), ("pad_h", "i", 0), ("pad_w", "i", 0),
                  ("groups", "i", 1), ("dilation_h", "i", 1), ("dilation_w", "i", 1)),
    "gemm_int8": (("C_out", "i", 0), ("C_in", "i", 0), ("in_zp", "i", 0)),
    "gemm_fp32": (("C_out", "i", 0), ("C_in", "i", 0)),
    "add_int8": (("in1_scale", "f", 1.0), ("in2_scale", "f", 1.0), ("out_scale", "f", 1.0),
                 ("in1_zp", "i", 0), ("in2_zp", "i", 0), ("out_zp", "i", 0)),
    "maxpool_int8": (("kH", "i", 3), ("kW", "i", 3), ("stride_h", "i", 2), ("stride_w", "i", 2),
                     ("pad_h", "i", 0), ("pad_w", "i", 0), ("in_zp", "i", 0), ("out_zp", "i", 0)),
    "maxpool_fp32": (("kH", "i", 3), ("kW", "i", 3), ("stride_h", "i", 2), ("stride_w", "i", 2),
                     ("pad_h", "i", 0), ("pad_w", "i", 0)),
    "avgpool_int8": (("in_scale", "f", 1.0), ("out_scale", "f", 1.0), ("in_zp", "i", 0),
                     ("out_zp", "i", 0)),
    "layernorm_fp32": (("eps", "f", 1e-6),),
    "attention_fp32": (("num_heads", "i", 0), ("embed_dim", "i", 0), ("dynamic_quantize", "b", False)),
    "attention_int8": (("num_heads", "i", 0), ("embed_dim", "i", 0)),
    "seqgemm_fp32": (("gelu", "b", False), ("C_out", "i", 0), ("C_in", "i", 0),
                     ("dynamic_quantize", "b", False)),
    "seqgemm_int8": (("gelu", "b", False), ("C_out", "i", 0), ("C_in", "i", 0)),
    "upsample_bilinear_fp32": (("scale_h", "f", 2.0), ("scale_w", "f", 2.0)),
    "leaky_relu_fp32": (("alpha", "f", 0.2),),
    "conv1d_fp32": _CONV_1D,
    "conv1d_int8": _CONV_1D,
    "conv_transpose1d_fp32": (("C_out", "i", 0), ("C_in", "i", 0), ("kernel_size", "i", 1),
                              ("stride", "i", 1), ("padding", "i", 0), ("output_padding", "i", 0),
                              ("groups", "i", 1)),
    "lstm_fp32": (("hidden_size", "i", 0), ("bidirectional", "b", False)),
    "ada_in1d_fp32": _ADA_NORM,
    "ada_layer_norm_fp32": _ADA_NORM,
    "embedding_fp32": (("num_embeddings", "i", 0), ("embedding_dim", "i", 0)),
    "bert_embeddings_fp32": (("emb_size", "i", 128),),
    "istft_fp32": (("n_fft", "i", 20), ("hop_size", "i", 5), ("normalized", "b", False)),
    "stft_fp32": (("n_fft", "i", 20), ("hop_size", "i", 5)),
    "concat1d_fp32": (("C2", "i", 0),),
    "upsample_nearest1d_fp32": (("scale_factor", "i", 2),),
    "sine_gen_fp32": (("sample_rate", "i", 24000), ("harmonic_num", "i", 8), ("sine_amp", "f", 0.1),
                      ("voiced_threshold", "f", 10.0), ("noise_std", "f", 0.0),
                      ("upsample_scale", "i", 0)),
    "scale_fp32": (("scalar", "f", 1.0),),
    "slice_channels_fp32": (("ch_start", "i", 0), ("ch_end", "i", 0)),
    "rms_norm_fp32": (("eps", "f", 1e-6),),
    "causal_attn_core_fp32": (("num_q_heads", "i", 0), ("num_kv_heads", "i", 0), ("head_dim", "i", 0),
                              ("rope_theta", "f", 10000.0)),
}
INPUT_DTYPES = ("float32", "int8")
# Root members the loader reads; any other is ignored.
TOP_LEVEL_KEYS = ("model", "inputs", "input", "outputs", "nodes", "max_positions")
# Positions a causal attention core's key/value cache holds when the file does not say.
DEFAULT_MAX_POSITIONS = 2048


def canonical_op(op: str) -> str | None:
    """The canonical name of an operation or alias; None when the engine does not know it."""
    if op in OP_NAMES:
        return op
    return ALIASES.get(op)


def loaded_input_shape(h: int, w: int, c: int) -> list[int]:
    """The shape the loader gives an input declared as [1, H, W, C]: unit W (and then unit H)
    are dropped, so every input keeps at least its channel dimension."""
    if w != 1:
        return [h, w, c]
    if h != 1:
        return [h, c]
    return [c]


class ArchError(ValueError):
    """An architecture file that cannot be read."""


class ArchSyntaxError(ArchError):
    """Malformed JSON: the engine's own message and where in the file it stopped."""

    def __init__(self, path: str, error: jsontext.JsonSyntaxError):
        super().__init__(f"{path}, {error.position}: {error.message}")
        self.message, self.position = error.message, error.position
        self.line, self.column = error.line, error.column


@dataclass
class InputInfo:
    name: str = "x"
    shape: list[int] = field(default_factory=list)
    scale: float = 1.0
    zp: int = 0
    dtype: str = "int8"


@dataclass
class NodeInfo:
    name: str
    op: str
    inputs: list[str]
    outputs: list[str]
    relu: bool = False
    # What the node's layer reads (LAYER_PARAMS): key -> int, float (a float32 value) or bool.
    params: dict[str, int | float | bool] = field(default_factory=dict)

    @property
    def known(self) -> bool:
        return canonical_op(self.op) is not None


@dataclass
class ArchInfo:
    model_name: str = ""
    max_positions: int = DEFAULT_MAX_POSITIONS
    inputs: list[InputInfo] = field(default_factory=list)
    output_names: list[str] = field(default_factory=list)
    outputs_derived: bool = False
    nodes: list[NodeInfo] = field(default_factory=list)
    # Declared outputs that hold int8 values: name -> (scale, zero point) for real = (q - zp) * scale.
    output_quant: dict[str, tuple[float, int]] = field(default_factory=dict)
    # Declared outputs that are waveforms: name -> samples per second ("sample_rate" of the entry).
    output_audio: dict[str, int] = field(default_factory=dict)
    # What the loader silently ignores or reads differently from what the writer likely meant.
    warnings: list[str] = field(default_factory=list)

    def unknown_ops(self) -> dict[str, list[str]]:
        """Operation names the engine does not know -> the nodes that use them, in file order."""
        unknown: dict[str, list[str]] = {}
        for node in self.nodes:
            if not node.known:
                unknown.setdefault(node.op, []).append(node.name)
        return unknown


# The engine's JSON values are typed loosely: a wrong type reads as "" or 0.
def _text(value: object) -> str:
    return value if isinstance(value, str) else ""


def _number(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return 0.0
    return float(value)


def _int32(value: object) -> int:
    """Truncation toward zero, saturating at the int32 limits (infinities too); NaN reads as 0."""
    number = _number(value)
    if math.isnan(number):
        return 0
    if number >= 2**31 - 1:
        return 2**31 - 1
    if number <= -2**31:
        return -2**31
    return math.trunc(number)


def _float32(value: object) -> float:
    """The float the engine keeps: the nearest float32, infinite beyond its range."""
    number = _number(value)
    try:
        return struct.unpack("<f", struct.pack("<f", number))[0]
    except OverflowError:
        return math.copysign(math.inf, number)


def _flag(value: object) -> bool:
    """A boolean, or a number whose truncation is non-zero."""
    return value if isinstance(value, bool) else _int32(value) != 0


def _param(element: dict, key: str) -> tuple[bool, object]:
    """A parameter's source: the member itself, else the member of an "args" object."""
    if key in element:
        return True, element[key]
    args = element.get("args")
    if isinstance(args, dict) and key in args:
        return True, args[key]
    return False, None


def read_params(op: str, element: dict) -> dict[str, int | float | bool]:
    """The parameters the layer of operation `op` reads from a node, as the loader reads them."""
    canonical = canonical_op(op)
    params: dict[str, int | float | bool] = {}
    for key, kind, default in LAYER_PARAMS.get(canonical or "", ()):
        found, value = _param(element, key)
        if kind == "i":
            params[key] = _int32(value) if found else default
        elif kind == "f":
            params[key] = _float32(value if found else default)
        else:
            params[key] = _flag(value) if found else False
    return params


def _array(root: dict, key: str, where: str) -> list:
    """An array member; anything else in its place is rejected, as the loader does."""
    value = root.get(key, [])
    if not isinstance(value, list):
        raise ArchError(f'{where}: architecture: "{key}" must be an array')
    return value


def _max_positions(value: object, where: str) -> int:
    """A whole number of positions from 0 to 2**31 - 1, as the loader requires."""
    if (isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value <= 2**31 - 1
            or value != math.floor(value)):
        raise ArchError(f'{where}: architecture: "max_positions" must be a whole number from 0 to '
                        f'2147483647')
    return int(value)


def _read_input(element: object, from_list: bool, where: str) -> InputInfo:
    input_spec = InputInfo()
    if not isinstance(element, dict):
        input_spec.shape = loaded_input_shape(1, 1, 1)
        return input_spec
    if from_list and "name" in element:
        input_spec.name = _text(element["name"])
    if from_list and "shape" in element:
        shape = element["shape"]
        if not isinstance(shape, list) or len(shape) < 4:
            raise ArchError(f"{where}: input '{input_spec.name}': 'shape' must be an array "
                            f"[N, H, W, C] of four numbers")
        h, w, c = (_int32(v) for v in shape[1:4])
    else:
        h, w, c = (_int32(element[k]) if k in element else 1 for k in ("h", "w", "c"))
    input_spec.shape = loaded_input_shape(h, w, c)
    if "scale" in element:
        input_spec.scale = _float32(element["scale"])
    if "zp" in element:
        input_spec.zp = _int32(element["zp"])
    if "dtype" in element:
        input_spec.dtype = _text(element["dtype"])
    return input_spec


def _read_node(element: object, index: int, where: str) -> NodeInfo:
    if not isinstance(element, dict):
        raise ArchError(f"{where}: node {index} is not an object")
    for key in ("name", "op"):
        if key not in element:
            raise ArchError(f"{where}: node {index} has no '{key}'")
    def names(key: str) -> list[str]:
        value = element[key]
        return [_text(v) for v in value] if isinstance(value, list) else []

    if "inputs" in element:
        inputs = names("inputs")
    elif "in" in element:
        inputs = [_text(element[k]) for k in ("in", "in2", "in3") if k in element]
    else:
        inputs = []
    if "outputs" in element:
        outputs = names("outputs")
    else:
        outputs = [_text(element["out"])] if "out" in element else []
    # A node-level "relu" is read only when the node has no "args"; one inside "args" wins.
    relu = _flag(element["relu"]) if "relu" in element and "args" not in element else False
    args = element.get("args")
    if isinstance(args, dict) and "relu" in args:
        relu = _flag(args["relu"])
    op = _text(element["op"])
    return NodeInfo(_text(element["name"]), op, inputs, outputs, relu, read_params(op, element))


def derive_outputs(nodes: list[NodeInfo]) -> list[str]:
    """The model's output when the file names none: the first output of the latest node whose
    first output nobody consumes, else the first output of the last node. Only a node's first
    output gets a slot, so no other output can be returned."""
    if not nodes:
        return []
    consumed = {name for node in nodes for name in node.inputs}
    for node in reversed(nodes):
        if node.outputs and node.outputs[0] not in consumed:
            return node.outputs[:1]
    return nodes[-1].outputs[:1]


def _quantization(element: dict) -> tuple[float, int] | None:
    """The scale and zero point an exporter records on an int8 output (the loader ignores them)."""
    scale, zp = element.get("scale"), element.get("zp", 0)
    if scale is None:
        return None
    return _number(scale), _int32(zp)


def _suggestion(key: str) -> str:
    match = difflib.get_close_matches(key.lower(), TOP_LEVEL_KEYS, n=1, cutoff=0.6)
    return f" (did you mean '{match[0]}'?)" if match else ""


def _root_warnings(root: dict) -> list[str]:
    warnings = [f"unknown top-level key '{key}' is ignored{_suggestion(key)}"
                for key in root if key not in TOP_LEVEL_KEYS]
    if isinstance(root.get("input"), list):
        warnings.append("'input' is an array, but the loader reads 'input' as one object with "
                        "h, w and c; a list of inputs belongs in 'inputs'")
    elif "input" in root and root.get("inputs"):
        warnings.append("'input' is ignored because 'inputs' is given")
    outputs = root.get("outputs")
    for k, element in enumerate(outputs if isinstance(outputs, list) else []):
        if not (isinstance(element, dict) and "name" in element):
            warnings.append(f"'outputs' entry {k} is skipped: it is not an object with a 'name' "
                            f"(write {{\"name\": ...}})")
    return warnings


def parse_arch(root: object, where: str = "<architecture>") -> ArchInfo:
    """Read an already-decoded architecture (the JSON root) the way the engine's loader does."""
    info = ArchInfo()
    if not isinstance(root, dict):
        info.inputs = [InputInfo()]
        return info
    if "model" in root:
        info.model_name = _text(root["model"])
    if "max_positions" in root:
        info.max_positions = _max_positions(root["max_positions"], where)
    inputs = _array(root, "inputs", where)
    if inputs:
        info.inputs = [_read_input(e, True, where) for e in inputs]
    elif "input" in root:
        info.inputs = [_read_input(root["input"], False, where)]
    else:
        info.inputs = [InputInfo()]
    for element in _array(root, "outputs", where):
        if isinstance(element, dict) and "name" in element:
            name = _text(element["name"])
            info.output_names.append(name)
            quant = _quantization(element)
            if quant is not None:
                info.output_quant[name] = quant
            rate = _int32(element.get("sample_rate", 0))
            if rate > 0:
                info.output_audio[name] = rate
    info.nodes = [_read_node(e, j, where) for j, e in enumerate(_array(root, "nodes", where))]
    if not info.output_names:
        info.output_names = derive_outputs(info.nodes)
        info.outputs_derived = bool(info.output_names)
    info.warnings = _root_warnings(root)
    return info


def read_arch(path: str | os.PathLike) -> ArchInfo:
    """Read an architecture file. OSError when it cannot be read, ArchSyntaxError (with line and
    column) when its JSON is malformed, ArchError when it is otherwise invalid."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        raw = f.read()
    try:
        root = jsontext.parse(raw)
    except jsontext.JsonSyntaxError as e:
        raise ArchSyntaxError(path, e) from None
    return parse_arch(root, path)
