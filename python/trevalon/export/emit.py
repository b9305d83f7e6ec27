"""Turn lowered steps into an architecture graph and its weight tensors, in float32 or, with the
calibrated activation parameters, in int8. Numpy only."""

from __future__ import annotations

from collections import Counter

import numpy as np

from ..graph import Graph
from .errors import ExportError
from .quantize import QParams, conv_int8_tensors, gemm_int8_tensors

# Engine op of each step kind, float32 / int8.
OPS = {
    "conv": ("conv_fp32", "conv_int8"),
    "add": ("add_fp32", "add_int8"),
    "maxpool": ("maxpool_fp32", "maxpool_int8"),
    "avgpool": ("avgpool_fp32", "avgpool_int8"),
    "linear": ("gemm_fp32", "gemm_int8"),
    "relu": ("leaky_relu_fp32", None),
}


def _conv_params(step) -> dict:
    w = step.params["weight"]
    (kh, kw), (sh, sw), (ph, pw) = step.params["kernel"], step.params["stride"], step.params["padding"]
    return {"C_out": w.shape[0], "C_in": w.shape[1] * step.params["groups"], "kH": kh, "kW": kw,
            "stride_h": sh, "stride_w": sw, "pad_h": ph, "pad_w": pw, "groups": step.params["groups"]}


def _pool_params(step) -> dict:
    (kh, kw), (sh, sw), (ph, pw) = step.params["kernel"], step.params["stride"], step.params["padding"]
    return {"kH": kh, "kW": kw, "stride_h": sh, "stride_w": sw, "pad_h": ph, "pad_w": pw}


def build(lowered, name: str, qparams: dict[str, QParams] | None = None):
    """Returns (graph, weight tensors, op counts). `qparams` (tensor name -> parameters of every
    int8 tensor the graph stores) selects the int8 form; None gives float32."""
    quantize = qparams is not None
    graph = Graph(name)
    tensors: dict[str, np.ndarray] = {}
    ops: Counter = Counter()
    x = lowered.input
    c, h, w = x.shape
    if quantize:
        q_in = qparams[x.tensor]
        graph.input(x.tensor, (h, w, c), dtype="int8", scale=q_in.scale, zp=q_in.zp)
    else:
        graph.input(x.tensor, (h, w, c), dtype="float32")

    for step in lowered.steps:
        op = OPS[step.kind][1 if quantize else 0]
        if op is None:
            raise ExportError(f"module '{step.module}': a separate {step.kind} has no int8 form")
        ins = [v.tensor for v in step.inputs]
        out = step.output.tensor
        relu = step.output.act == "relu"
        params: dict = {}
        if step.kind == "conv":
            params = _conv_params(step)
            if quantize:
                q_x, q_y = qparams[ins[0]], qparams[out]
                params.update(in_zp=q_x.zp, out_zp=q_y.zp)
                t = conv_int8_tensors(step.params["weight"], step.params["bias"], q_x, q_y)
                relu = False  # folded into the output range
            else:
                params.update(dilation_h=step.params["dilation"][0], dilation_w=step.params["dilation"][1])
                t = {".weight": step.params["weight"].astype(np.float32),
                     ".bias": step.params["bias"].astype(np.float32)}
        elif step.kind == "linear":
            weight = step.params["weight"]
            params = {"C_out": weight.shape[0], "C_in": weight.shape[1]}
            if quantize:
                q_x = qparams[ins[0]]
                params["in_zp"] = q_x.zp
                t = gemm_int8_tensors(weight, step.params["bias"], q_x)
            else:
                t = {".weight": weight.astype(np.float32), ".bias": step.params["bias"].astype(np.float32)}
        else:
            t = {}
            if step.kind == "maxpool":
                params = _pool_params(step)
                if quantize:  # the max of int8 values keeps the input's quantisation
                    q = qparams[ins[0]]
                    params.update(in_zp=q.zp, out_zp=q.zp)
            elif step.kind == "add" and quantize:
                q1, q2, q_y = qparams[ins[0]], qparams[ins[1]], qparams[out]
                params = {"in1_scale": q1.scale, "in2_scale": q2.scale, "out_scale": q_y.scale,
                          "in1_zp": q1.zp, "in2_zp": q2.zp, "out_zp": q_y.zp}
                relu = False
            elif step.kind == "avgpool" and quantize:
                q_x, q_y = qparams[ins[0]], qparams[out]
                params = {"in_scale": q_x.scale, "out_scale": q_y.scale, "in_zp": q_x.zp, "out_zp": q_y.zp}
            elif step.kind == "relu":
                params, relu = {"alpha": 0.0}, False
        graph.node(op, step.name, ins, outputs=[out], relu=relu, **params)
        tensors.update({step.name + suffix: array for suffix, array in t.items()})
        ops[op] += 1

    # Every int8 model tensor but the fully connected head's is int8; an int8 output records its
    # scale and zero point so the tools can return real values.
    float_tensors = {step.output.tensor for step in lowered.steps if step.kind == "linear"}
    seen = set()
    for v in lowered.outputs:
        if v.tensor in seen:
            continue
        seen.add(v.tensor)
        if quantize and v.tensor not in float_tensors:
            graph.output(v.tensor, scale=qparams[v.tensor].scale, zp=qparams[v.tensor].zp)
        else:
            graph.output(v.tensor)
    return graph, tensors, dict(ops)
