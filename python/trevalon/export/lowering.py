"""Lower a traced PyTorch image classifier to the engine's operations: batch norm folded into the
preceding convolution, ReLU/ReLU6 fused into their producer, flatten and dropout removed. The
result is a list of `Step`s with float weights, still independent of float32 or int8 output."""

from __future__ import annotations

import hashlib
import re
import operator
from dataclasses import dataclass, field

import numpy as np
import torch
import torch.fx as fx
import torch.nn.functional as F
from torch import nn
from torch.fx.passes.shape_prop import ShapeProp

from .errors import ExportError

# Weight names get suffixes of up to 9 bytes (".eff_bias") and must fit 63 bytes.
MAX_NODE_NAME = 54


@dataclass
class Value:
    """An engine tensor as PyTorch sees it: `shape` drops the batch dimension ((C, H, W) for
    images, (F,) for vectors); `spatial` is the (C, H, W) a vector was flattened from."""

    tensor: str
    shape: tuple[int, ...]
    probe: fx.Node  # the traced node whose value this tensor holds (used for calibration)
    is_float_logits: bool = False  # produced by a fully connected layer
    spatial: tuple[int, int, int] | None = None
    act: str | None = None  # "relu" or "relu6" when the producer clamps its output


@dataclass
class Step:
    kind: str  # "conv", "add", "maxpool", "avgpool", "linear", "relu"
    name: str  # engine node name
    module: str  # where it came from, for messages and the export info
    inputs: list[Value]
    output: Value
    params: dict = field(default_factory=dict)


@dataclass
class Lowered:
    input: Value
    steps: list[Step]
    outputs: list[Value]


def class_name(cls: type) -> str:
    if cls.__module__.startswith("torch.nn"):
        return f"nn.{cls.__name__}"
    return cls.__qualname__


def _function_name(node: fx.Node) -> str:
    if node.op == "call_method":
        return f"Tensor.{node.target}"
    target = node.target
    module = getattr(target, "__module__", None) or ""
    name = getattr(target, "__name__", str(target))
    if target is F.max_pool2d:
        module, name = "torch.nn.functional", "max_pool2d"
    if module.startswith("torch._C") or module == "" and name in dir(torch):
        module = "torch"
    return f"{module}.{name}" if module else name


def _arg(node: fx.Node, index: int, name: str, default=None):
    if name in node.kwargs:
        return node.kwargs[name]
    if index < len(node.args):
        return node.args[index]
    return default


def _pair(value) -> tuple[int, int]:
    if isinstance(value, (tuple, list)):
        if len(value) == 1:
            return int(value[0]), int(value[0])
        return int(value[0]), int(value[1])
    return int(value), int(value)


class _Lowerer:
    def __init__(self, gm: fx.GraphModule, quantize: bool):
        self.gm = gm
        self.quantize = quantize
        self.modules = dict(gm.named_modules())
        self.values: dict[fx.Node, Value] = {}
        self.absorbed: set[fx.Node] = set()
        self.steps: list[Step] = []
        self.names: set[str] = set()

    # ---- naming and messages -------------------------------------------------------------

    def module_path(self, node: fx.Node) -> str:
        """The module a node belongs to ("" for the top-level forward)."""
        if node.op == "call_module":
            return str(node.target)
        stack = node.meta.get("nn_module_stack") or {}
        return list(stack.values())[-1][0] if stack else ""

    def where(self, node: fx.Node) -> str:
        path = self.module_path(node)
        return f"module '{path}'" if path else "the model's forward"

    def fail(self, node: fx.Node, what: str) -> ExportError:
        return ExportError(f"{self.where(node)}: {what}")

    def describe(self, node: fx.Node) -> str:
        if node.op == "call_module":
            return class_name(type(self.modules[node.target]))
        return _function_name(node)

    def unique_name(self, node: fx.Node, base: str | None = None) -> str:
        if base is None:
            path = self.module_path(node)
            if node.op == "call_module":
                base = path
            else:  # "layer1.1.add" rather than fx's graph-wide "add_1"
                base = (path + "." if path else "") + re.sub(r"_\d+$", "", node.name)
        name = base
        if len(name.encode()) > MAX_NODE_NAME:
            digest = hashlib.sha1(base.encode()).hexdigest()[:8]
            name = base.encode()[:MAX_NODE_NAME - 9].decode(errors="ignore") + "~" + digest
        stem, k = name, 1
        while name in self.names:
            name = f"{stem}_{k}"
            k += 1
        self.names.add(name)
        return name

    # ---- node classification ---------------------------------------------------------------

    def module_of(self, node: fx.Node) -> nn.Module | None:
        return self.modules.get(node.target) if node.op == "call_module" else None

    def activation_kind(self, node: fx.Node) -> str | None:
        m = self.module_of(node)
        if m is not None:
            if isinstance(m, nn.ReLU6):
                return "relu6"
            if isinstance(m, nn.ReLU):
                return "relu"
            if isinstance(m, nn.Hardtanh) and m.min_val == 0.0 and m.max_val == 6.0:
                return "relu6"
            return None
        if node.op == "call_function":
            if node.target in (F.relu, torch.relu, torch.relu_):
                return "relu"
            if node.target is F.relu6:
                return "relu6"
            if node.target is F.hardtanh and (_arg(node, 1, "min_val", -1.0), _arg(node, 2, "max_val", 1.0)) == (0.0, 6.0):
                return "relu6"
        if node.op == "call_method" and node.target in ("relu", "relu_"):
            return "relu"
        return None

    def is_add(self, node: fx.Node) -> bool:
        if node.op == "call_function":
            return node.target in (operator.add, operator.iadd, torch.add)
        return node.op == "call_method" and node.target in ("add", "add_")

    def is_identity(self, node: fx.Node) -> bool:
        m = self.module_of(node)
        if m is not None:
            return isinstance(m, (nn.Dropout, nn.Dropout2d, nn.Identity))
        if node.op == "call_function" and node.target in (F.dropout, F.dropout2d):
            if _arg(node, 2, "training", True) and _arg(node, 1, "p", 0.5) > 0:
                raise self.fail(node, f"{_function_name(node)} runs in training mode (pass training=self.training)")
            return True
        return node.op == "call_method" and node.target in ("contiguous", "clone")

    def is_flatten(self, node: fx.Node) -> bool:
        m = self.module_of(node)
        if m is not None:
            return isinstance(m, nn.Flatten)
        if node.op == "call_function":
            return node.target in (torch.flatten, torch.reshape)
        return node.op == "call_method" and node.target in ("flatten", "view", "reshape")

    def shape(self, node: fx.Node) -> tuple[int, ...] | None:
        meta = node.meta.get("tensor_meta")
        if meta is None or not hasattr(meta, "shape"):
            return None
        return tuple(int(d) for d in meta.shape)

    def value(self, node: fx.Node, user: fx.Node) -> Value:
        if not isinstance(node, fx.Node) or node not in self.values:
            raise self.fail(user, f"{self.describe(user)} has an input the engine cannot represent "
                                  f"({node!r} is not an image tensor produced by a supported op)")
        return self.values[node]

    def sole_user(self, node: fx.Node) -> fx.Node | None:
        users = list(node.users)
        return users[0] if len(users) == 1 else None

    def fuse_activation(self, node: fx.Node) -> tuple[fx.Node, str | None]:
        """Absorb a ReLU/ReLU6 that is the only consumer of `node`."""
        user = self.sole_user(node)
        if user is not None and self.activation_kind(user) is not None:
            self.absorbed.add(user)
            return user, self.activation_kind(user)
        return node, None

    def add_step(self, kind: str, node: fx.Node, inputs: list[Value], out_node: fx.Node,
                 act: str | None = None, name: str | None = None, **params) -> Value:
        name = name or self.unique_name(node)
        shape = self.shape(out_node)
        if shape is None or shape[0] != 1:
            raise self.fail(node, f"{self.describe(node)} does not produce a batch-1 tensor")
        out = Value(name, shape[1:], out_node, is_float_logits=(kind == "linear"), act=act)
        self.steps.append(Step(kind, name, self.module_path(node), inputs, out, params))
        self.values[out_node] = out
        return out

    # ---- lowering --------------------------------------------------------------------------

    def run(self) -> Lowered:
        graph_input = None
        outputs: list[Value] = []
        for node in self.gm.graph.nodes:
            if node in self.absorbed:
                continue
            if node.op == "placeholder":
                if graph_input is not None:
                    raise ExportError(f"the model takes more than one input ('{graph_input.tensor}' "
                                      f"and '{node.name}'); only single-image classifiers are supported")
                shape = self.shape(node)
                if shape is None or len(shape) != 4 or shape[0] != 1:
                    raise ExportError(f"the example input must have shape (1, C, H, W), not {shape}")
                graph_input = Value(node.name, shape[1:], node)
                self.values[node] = graph_input
            elif node.op == "output":
                result = node.args[0]
                for item in result if isinstance(result, (tuple, list)) else [result]:
                    v = self.value(item, node)
                    if v is graph_input:
                        raise ExportError("the model returns its input unchanged; nothing to export")
                    outputs.append(v)
            elif node.op == "get_attr":
                raise self.fail(node, f"reading the parameter '{node.target}' directly is not supported; "
                                      f"use modules (nn.Conv2d, nn.Linear, ...)")
            elif self.shape(node) is None:
                continue  # sizes and shapes feeding a view; the view itself is checked
            else:
                self.lower(node)
        return Lowered(graph_input, self.steps, outputs)

    def lower(self, node: fx.Node) -> None:
        m = self.module_of(node)
        if isinstance(m, nn.Conv2d):
            self.lower_conv(node, m)
        elif isinstance(m, nn.Linear):
            self.lower_linear(node, m)
        elif isinstance(m, nn.BatchNorm2d):
            raise self.fail(node, "nn.BatchNorm2d that does not directly follow a convolution "
                                  "(as its only consumer) cannot be folded")
        elif self.is_add(node):
            self.lower_add(node)
        elif isinstance(m, nn.MaxPool2d) or node.op == "call_function" and node.target is F.max_pool2d:
            self.lower_maxpool(node, m)
        elif self.is_global_pool(node, m):
            self.add_step("avgpool", node, [self.value(node.args[0], node)], node)
        elif self.is_identity(node):
            self.values[node] = self.value(node.args[0], node)
        elif self.is_flatten(node):
            self.lower_flatten(node)
        elif self.activation_kind(node) is not None:
            self.lower_activation(node)
        else:
            raise self.fail(node, f"{self.describe(node)} is not supported")

    def lower_conv(self, node: fx.Node, conv: nn.Conv2d) -> None:
        x = self.value(node.args[0], node)
        if len(x.shape) != 3:
            raise self.fail(node, f"nn.Conv2d needs an image input, got shape {x.shape}")
        if conv.padding_mode != "zeros":
            raise self.fail(node, f"nn.Conv2d padding_mode '{conv.padding_mode}' is not supported")
        kh, kw = conv.kernel_size
        sh, sw = conv.stride
        dh, dw = conv.dilation
        if isinstance(conv.padding, str):
            if conv.padding == "valid":
                ph = pw = 0
            elif (sh, sw) == (1, 1) and kh % 2 == 1 and kw % 2 == 1:
                ph, pw = dh * (kh - 1) // 2, dw * (kw - 1) // 2
            else:
                raise self.fail(node, "nn.Conv2d padding='same' needs stride 1 and odd kernels")
        else:
            ph, pw = conv.padding
        groups = conv.groups
        if groups != 1 and not self.quantize:
            raise self.fail(node, f"grouped convolution (groups={groups}) has no float32 form; "
                                  f"export with quantize=True")
        if self.quantize and (dh, dw) != (1, 1):
            raise self.fail(node, f"dilation {(dh, dw)} is not supported by the int8 convolution")
        if self.quantize and groups == conv.in_channels > 1 and conv.out_channels != conv.in_channels \
                and (kh, kw) == (3, 3):
            raise self.fail(node, "a 3x3 depthwise convolution with a channel multiplier "
                                  f"({conv.out_channels // groups}) is not supported")

        weight = conv.weight.detach().double().numpy().copy()
        bias = (conv.bias.detach().double().numpy().copy() if conv.bias is not None
                else np.zeros(conv.out_channels))
        out_node = node
        bn_node = self.sole_user(node)
        if bn_node is not None and isinstance(self.module_of(bn_node), nn.BatchNorm2d):
            weight, bias = fold_batchnorm(weight, bias, self.module_of(bn_node))
            self.absorbed.add(bn_node)
            out_node = bn_node
        out_node, act = self.fuse_activation(out_node)
        if act == "relu6" and not self.quantize:
            raise self.fail(out_node, "ReLU6 has no float32 form (the engine has no clamp); "
                                      "export with quantize=True")
        self.add_step("conv", node, [x], out_node, act, weight=weight, bias=bias,
                      kernel=(kh, kw), stride=(sh, sw), padding=(ph, pw), dilation=(dh, dw),
                      groups=groups)

    def lower_linear(self, node: fx.Node, linear: nn.Linear) -> None:
        x = self.value(node.args[0], node)
        if len(x.shape) != 1:
            raise self.fail(node, f"nn.Linear needs a flattened input (batch, features), got shape "
                                  f"{(1,) + x.shape}; add torch.flatten(x, 1)")
        if self.quantize and x.is_float_logits:
            raise self.fail(node, "nn.Linear reading the float output of another nn.Linear has no "
                                  "int8 form (the int8 fully connected layer ends in float)")
        weight = linear.weight.detach().double().numpy().copy()
        bias = (linear.bias.detach().double().numpy().copy() if linear.bias is not None
                else np.zeros(linear.out_features))
        if x.spatial is not None and x.spatial[1] * x.spatial[2] > 1:
            # PyTorch flattened (C, H, W); the engine reads the tensor as (H, W, C).
            c, h, w = x.spatial
            weight = weight.reshape(-1, c, h, w).transpose(0, 2, 3, 1).reshape(weight.shape[0], -1)
        out_node, act = self.fuse_activation(node)
        if act == "relu6":
            raise self.fail(out_node, "ReLU6 after nn.Linear has no form in the engine")
        self.add_step("linear", node, [x], out_node, act, weight=weight, bias=bias)

    def lower_add(self, node: fx.Node) -> None:
        if node.op == "call_function" and node.target is torch.add or node.op == "call_method":
            if _arg(node, 2, "alpha", 1) != 1:
                raise self.fail(node, f"{self.describe(node)} with alpha is not supported")
        operands = [a for a in node.args[:2]]
        if len(operands) != 2 or not all(isinstance(a, fx.Node) and self.shape(a) is not None
                                          for a in operands):
            raise self.fail(node, f"{self.describe(node)} of a constant is not supported "
                                  "(only the sum of two tensors)")
        a, b = (self.value(o, node) for o in operands)
        if a.shape != b.shape:
            raise self.fail(node, f"{self.describe(node)} with broadcasting ({a.shape} + {b.shape}) "
                                  "is not supported")
        if a.is_float_logits or b.is_float_logits:
            raise self.fail(node, f"{self.describe(node)} of fully connected outputs is not supported")
        if len(a.shape) != 3:
            raise self.fail(node, f"{self.describe(node)} of flattened tensors is not supported")
        out_node, act = self.fuse_activation(node)
        if act == "relu6" and not self.quantize:
            raise self.fail(out_node, "ReLU6 has no float32 form (the engine has no clamp); "
                                      "export with quantize=True")
        self.add_step("add", node, [a, b], out_node, act)

    def lower_maxpool(self, node: fx.Node, pool: nn.MaxPool2d | None) -> None:
        x = self.value(node.args[0], node)
        if pool is not None:
            kernel, stride, padding = pool.kernel_size, pool.stride, pool.padding
            dilation, ceil_mode = pool.dilation, pool.ceil_mode
        else:
            kernel = _arg(node, 1, "kernel_size")
            stride = _arg(node, 2, "stride") or kernel
            padding = _arg(node, 3, "padding", 0)
            dilation = _arg(node, 4, "dilation", 1)
            ceil_mode = _arg(node, 5, "ceil_mode", False)
        if _pair(dilation) != (1, 1) or ceil_mode:
            raise self.fail(node, "max pooling with dilation or ceil_mode is not supported")
        if len(x.shape) != 3:
            raise self.fail(node, f"max pooling needs an image input, got shape {x.shape}")
        kh, kw = _pair(kernel)
        sh, sw = _pair(stride)
        ph, pw = _pair(padding)
        self.add_step("maxpool", node, [x], node, kernel=(kh, kw), stride=(sh, sw), padding=(ph, pw))

    def is_global_pool(self, node: fx.Node, m: nn.Module | None) -> bool:
        """Average pooling over the whole image; any other average pooling is an error."""
        kinds = (nn.AdaptiveAvgPool2d, nn.AvgPool2d)
        functional = (F.adaptive_avg_pool2d, F.avg_pool2d)
        is_mean = (node.op == "call_method" and node.target == "mean"
                   or node.op == "call_function" and node.target is torch.mean)
        if not (isinstance(m, kinds) or node.op == "call_function" and node.target in functional
                or is_mean):
            return False
        src = node.args[0]
        in_shape = self.shape(src) if isinstance(src, fx.Node) else None
        out_shape = self.shape(node)
        if in_shape is None or len(in_shape) != 4:
            raise self.fail(node, f"{self.describe(node)} needs an image input")
        if is_mean:
            dims = _arg(node, 1, "dim")
            dims = [dims] if isinstance(dims, int) else list(dims or [])
            if sorted(d % 4 for d in dims) != [2, 3]:
                raise self.fail(node, f"{self.describe(node)} over dimensions {dims} is not supported "
                                      "(only the mean over height and width)")
            return True
        padding = getattr(m, "padding", _arg(node, 3, "padding", 0) if node.target is F.avg_pool2d else 0)
        if out_shape[2:] != (1, 1) or _pair(padding) != (0, 0):
            raise self.fail(node, f"{self.describe(node)} with output {out_shape[2:]} is not supported: "
                                  "only global average pooling exists")
        return True

    def lower_flatten(self, node: fx.Node) -> None:
        x = self.value(node.args[0], node)
        out_shape = self.shape(node)
        count = int(np.prod(x.shape))
        if out_shape != (1, count):
            raise self.fail(node, f"{self.describe(node)} to shape {out_shape} is not supported "
                                  "(only flattening to (batch, features))")
        spatial = x.spatial if len(x.shape) == 1 else x.shape
        self.values[node] = Value(x.tensor, (count,), x.probe, x.is_float_logits, spatial, x.act)

    def lower_activation(self, node: fx.Node) -> None:
        x = self.value(node.args[0], node)
        kind = self.activation_kind(node)
        if self.quantize:
            raise self.fail(node, f"{self.describe(node)} whose input is also used elsewhere (or comes "
                                  "from an op without int8 requantisation) cannot be fused, and int8 "
                                  "has no separate activation")
        if kind == "relu6":
            raise self.fail(node, "ReLU6 has no float32 form (the engine has no clamp); "
                                  "export with quantize=True")
        self.add_step("relu", node, [x], node, act="relu").spatial = x.spatial


def fold_batchnorm(weight: np.ndarray, bias: np.ndarray, bn: nn.BatchNorm2d) -> tuple[np.ndarray, np.ndarray]:
    """Fold eval-mode batch norm into the convolution before it (in float64)."""
    if not bn.track_running_stats or bn.running_mean is None:
        raise ExportError("nn.BatchNorm2d without running statistics cannot be folded")
    mean = bn.running_mean.detach().double().numpy()
    var = bn.running_var.detach().double().numpy()
    gamma = bn.weight.detach().double().numpy() if bn.affine else np.ones_like(mean)
    beta = bn.bias.detach().double().numpy() if bn.affine else np.zeros_like(mean)
    factor = gamma / np.sqrt(var + bn.eps)
    return weight * factor[:, None, None, None], (bias - mean) * factor + beta


def trace(module: nn.Module, example: torch.Tensor) -> fx.GraphModule:
    try:
        gm = fx.symbolic_trace(module)
    except Exception as e:  # fx raises many kinds; report one line
        first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        raise ExportError(f"torch.fx cannot trace {class_name(type(module))}: {first}") from None
    try:
        with torch.no_grad():
            ShapeProp(gm).propagate(example)
    except Exception as e:
        first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        raise ExportError(f"running {class_name(type(module))} on the example input failed: {first}") from None
    return gm


def lower(gm: fx.GraphModule, quantize: bool) -> Lowered:
    return _Lowerer(gm, quantize).run()
