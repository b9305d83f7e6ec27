"""Build architecture files in Python: declare inputs, add nodes in execution order, name outputs.

    g = Graph("tiny")
    x = g.input("x", shape=(8, 8, 3), dtype="float32")
    y = g.node("conv_fp32", "conv1", inputs=[x], relu=True, C_out=4, C_in=3, kH=3, kW=3)
    g.output(y)
    g.save("tiny.json")
"""

from __future__ import annotations

import json
import math
import operator
import os
from typing import Sequence

from .arch import INPUT_DTYPES, canonical_op, loaded_input_shape

# Keys the builder writes itself, or that would change how the loader reads the node.
_RESERVED_PARAMS = ("args", "in", "in2", "in3", "out")


def _check_text(text: str, what: str) -> str:
    # The engine's JSON reader has no \u or \b escapes, so control characters cannot be written.
    if any(ord(ch) < 0x20 for ch in text):
        raise ValueError(f"{what} {text!r} contains a control character")
    return text


def _json_value(node: str, key: str, value: object) -> object:
    """Parameters as plain JSON values (numpy scalars and arrays become numbers and lists)."""
    if hasattr(value, "tolist"):
        value = value.tolist()
    try:
        value = json.loads(json.dumps(value, allow_nan=False))  # tuples become lists
    except (TypeError, ValueError) as e:
        raise ValueError(f"node {node!r}: parameter {key!r} is not a JSON value: {e}") from None
    pending = [value]
    while pending:
        item = pending.pop()
        if isinstance(item, str):
            _check_text(item, f"node {node!r}: parameter {key!r}:")
        elif isinstance(item, list):
            pending.extend(item)
        elif isinstance(item, dict):
            pending.extend(item.keys())
            pending.extend(item.values())
    return value


class Graph:
    def __init__(self, model: str, max_positions: int | None = None):
        """`max_positions`: positions the key/value cache of each causal attention core holds
        (the engine's default, 2048, when None)."""
        self.model = _check_text(model, "model name")
        if max_positions is not None and not 0 <= operator.index(max_positions) <= 2**31 - 1:
            raise ValueError(f"max_positions must be from 0 to 2**31 - 1, not {max_positions}")
        self.max_positions = max_positions
        self._inputs: list[dict] = []
        self._outputs: list[dict] = []
        self._nodes: list[dict] = []
        self._tensors: set[str] = set()  # every tensor produced so far (inputs included)

    def input(self, name: str, shape: Sequence[int], dtype: str = "float32",
              scale: float = 1.0, zp: int = 0) -> str:
        """Declare a model input of shape (C,), (H, C) or (H, W, C); a 0 dimension is given at
        run time. Returns the tensor name."""
        _check_text(name, "input name")
        if not math.isfinite(scale):
            raise ValueError(f"input {name!r}: scale must be finite, not {scale}")
        if name in self._tensors:
            raise ValueError(f"input {name!r}: a tensor of that name already exists")
        if dtype not in INPUT_DTYPES:
            raise ValueError(f"input {name!r}: dtype must be one of {INPUT_DTYPES}, not {dtype!r}")
        dims = [operator.index(d) for d in shape]
        if not 1 <= len(dims) <= 3 or any(d < 0 for d in dims):
            raise ValueError(f"input {name!r}: shape must be 1 to 3 non-negative dimensions "
                             f"(C,), (H, C) or (H, W, C), not {tuple(shape)}")
        if len(dims) == 1:
            h, w, c = 1, 1, dims[0]
        elif len(dims) == 2:
            h, w, c = dims[0], 1, dims[1]
        else:
            h, w, c = dims
        read_back = loaded_input_shape(h, w, c)
        if read_back != dims:
            # The loader drops unit W and H, so these dims cannot be told apart from shorter ones.
            raise ValueError(f"input {name!r}: shape {tuple(dims)} would be read back as "
                             f"{tuple(read_back)}; declare it that way")
        self._inputs.append({"name": name, "shape": [1, h, w, c], "dtype": dtype,
                             "scale": float(scale), "zp": operator.index(zp)})
        self._tensors.add(name)
        return name

    def node(self, op: str, name: str, inputs: Sequence[str] | str,
             outputs: Sequence[str] | str | None = None, relu: bool = False, *,
             allow_unknown: bool = False, allow_undefined_inputs: bool = False,
             **params) -> str | list[str]:
        """Append a node; returns its output tensor name (or the list of names when it has
        several). Parameters are written as members of the node object."""
        _check_text(name, "node name")
        _check_text(op, f"node {name!r}: op")
        if canonical_op(op) is None and not allow_unknown:
            raise ValueError(f"node {name!r}: unknown op {op!r}")
        if any(n["name"] == name for n in self._nodes):
            raise ValueError(f"node {name!r}: a node of that name already exists")
        inputs = [inputs] if isinstance(inputs, str) else list(inputs)
        missing = [t for t in inputs if t not in self._tensors]
        if missing and not allow_undefined_inputs:
            raise ValueError(f"node {name!r}: inputs {missing} are produced by no earlier node "
                             f"or declared input")
        if outputs is None:
            outputs = [name]
        outputs = [outputs] if isinstance(outputs, str) else list(outputs)
        for t in inputs + outputs:
            _check_text(t, f"node {name!r}: tensor name")
        for t in outputs:
            if t in self._tensors:
                raise ValueError(f"node {name!r}: output {t!r} is already produced elsewhere")
        if len(set(outputs)) != len(outputs):
            raise ValueError(f"node {name!r}: outputs {outputs} repeat a name")
        for key in _RESERVED_PARAMS:
            if key in params:
                raise ValueError(f"node {name!r}: {key!r} cannot be a parameter; "
                                 f"pass parameters as keywords")

        entry = {"name": name, "op": op, "inputs": inputs, "outputs": outputs}
        if relu:
            entry["relu"] = True
        for key, value in params.items():
            entry[key] = _json_value(name, key, value)
        self._nodes.append(entry)
        self._tensors.update(outputs)
        return outputs[0] if len(outputs) == 1 else outputs

    def output(self, name: str, scale: float | None = None, zp: int = 0,
               sample_rate: int | None = None) -> None:
        """Name a tensor as a model output (outputs are returned in the order they are named).
        For an int8 output, `scale` and `zp` record how its values map to real ones,
        real = (q - zp) * scale; `sample_rate` marks a waveform (samples per second). The engine
        ignores them, the tools read them."""
        entry: dict = {"name": name}
        if sample_rate is not None:
            if operator.index(sample_rate) <= 0:
                raise ValueError(f"output {name!r}: sample_rate must be positive, not {sample_rate}")
            entry["sample_rate"] = operator.index(sample_rate)
        if scale is not None:
            if not (math.isfinite(scale) and scale > 0):
                raise ValueError(f"output {name!r}: scale must be positive and finite, not {scale}")
            entry.update(scale=float(scale), zp=operator.index(zp))
        if name not in self._tensors:
            raise ValueError(f"output {name!r} is produced by no node or input")
        if any(o["name"] == name for o in self._outputs):
            raise ValueError(f"output {name!r} is already declared")
        self._outputs.append(entry)

    def to_dict(self) -> dict:
        root = {"model": self.model, "inputs": self._inputs}
        if self.max_positions is not None:
            root["max_positions"] = operator.index(self.max_positions)
        if self._outputs:
            root["outputs"] = self._outputs
        root["nodes"] = self._nodes
        return json.loads(json.dumps(root))  # a deep copy the caller may change freely

    def to_json(self) -> str:
        """The file text: one line per input, output and node. UTF-8 is written as is, since
        the engine's reader keeps string bytes unchanged and knows no \\u escapes."""
        parts = []
        for key, value in self.to_dict().items():
            if isinstance(value, list):
                items = ",\n".join("    " + json.dumps(v, ensure_ascii=False) for v in value)
                parts.append(f'  "{key}": [\n{items}\n  ]' if value else f'  "{key}": []')
            else:
                parts.append(f'  "{key}": {json.dumps(value, ensure_ascii=False)}')
        return "{\n" + ",\n".join(parts) + "\n}\n"

    def save(self, path: str | os.PathLike) -> None:
        with open(os.fspath(path), "w", encoding="utf-8") as f:
            f.write(self.to_json())
