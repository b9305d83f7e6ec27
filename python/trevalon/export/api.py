"""`export_model`: a PyTorch image classifier to an architecture file and a W1X1 weights file, in
float32 or int8 (post-training quantisation calibrated on sample inputs). torch is imported only
when a model is exported."""

from __future__ import annotations

import os
from dataclasses import dataclass, field

import numpy as np

from .. import w1x1
from .errors import ExportError
from .quantize import QParams, activation_qparams


@dataclass
class ExportInfo:
    """What an export wrote. `activations` maps every int8 tensor of the graph (the input
    included) to the (scale, zero point) chosen for it; it is empty for float32 exports."""

    name: str
    arch_path: str
    weights_path: str
    quantized: bool
    input_name: str
    input_shape: tuple[int, int, int]  # (H, W, C), the engine's layout
    input_dtype: str
    input_scale: float = 1.0
    input_zp: int = 0
    output_names: list[str] = field(default_factory=list)
    tensor_names: list[str] = field(default_factory=list)  # activations, in graph order
    weight_names: list[str] = field(default_factory=list)
    op_counts: dict[str, int] = field(default_factory=dict)
    activations: dict[str, tuple[float, int]] = field(default_factory=dict)
    node_modules: dict[str, str] = field(default_factory=dict)  # engine node -> torch module
    calibration: str | None = None
    calibration_samples: int = 0


def engine_input(x, info: ExportInfo) -> np.ndarray:
    """An image in PyTorch layout, (C, H, W) or (1, C, H, W), as the exported model takes it:
    (H, W, C) float32, or (H, W, C) int8 quantised with the calibrated input parameters."""
    array = np.asarray(x.detach().cpu().numpy() if hasattr(x, "detach") else x, dtype=np.float32)
    if array.ndim == 4 and array.shape[0] == 1:
        array = array[0]
    if array.ndim != 3:
        raise ExportError(f"expected one image of shape (C, H, W) or (1, C, H, W), not {array.shape}")
    hwc = np.ascontiguousarray(array.transpose(1, 2, 0))
    if info.input_dtype != "int8":  # float models, and int8 encoders (float input)
        return hwc
    return QParams(info.input_scale, info.input_zp).quantize(hwc)


def quantize_input(x, info: ExportInfo) -> np.ndarray:
    """Quantise an image in PyTorch layout for an int8 export: (H, W, C) int8."""
    if info.input_dtype != "int8":
        raise ExportError(f"model '{info.name}' takes float input")
    return engine_input(x, info)


def _check_settings(calibration: str, percentile: float) -> None:
    from .calibration import METHODS

    if calibration not in METHODS:
        raise ExportError(f"calibration must be one of {METHODS}, not {calibration!r}")
    if not 0.0 < percentile <= 100.0:
        raise ExportError(f"percentile must be in (0, 100], not {percentile}")


def export_model(module, example_input, arch_path, weights_path, *, name: str | None = None,
                 quantize: bool = False, calibration_data=None, calibration: str = "minmax",
                 percentile: float = 99.99, progress: bool = True) -> ExportInfo:
    """Export a PyTorch image classifier (batch-1 input of shape (1, C, H, W)).

    The module is traced with torch.fx in eval mode; batch norm is folded into the convolution
    before it and ReLU fused into its producer. With quantize=True weights become per-output-channel
    symmetric int8 and every stored activation gets a per-tensor scale and zero point calibrated
    on `calibration_data` (a (N, C, H, W) array or tensor, or an iterable of samples or batches):
    calibration="minmax" uses the observed range, "percentile" clips it at the given percentile of
    |values|. The int8 model takes an int8 image (see `quantize_input`) and returns float logits.
    Raises ExportError naming the module for anything the engine cannot express."""
    try:
        import torch
    except ImportError:
        raise ExportError("exporting needs PyTorch (pip install torch)") from None

    from . import lowering

    _check_settings(calibration, percentile)
    if quantize and calibration_data is None:
        raise ExportError("int8 export needs calibration_data: sample inputs to calibrate "
                          "activation ranges (none were given)")
    example = torch.as_tensor(example_input, dtype=torch.float32)
    if example.dim() == 3:
        example = example.unsqueeze(0)
    if example.dim() != 4 or example.shape[0] != 1:
        raise ExportError(f"example_input must have shape (1, C, H, W) or (C, H, W), "
                          f"not {tuple(example.shape)}")
    name = name or type(module).__name__.lower()

    was_training = module.training
    module.eval()
    try:
        gm = lowering.trace(module, example)
        lowered = lowering.lower(gm, quantize)
        qparams, samples = (_calibrate(gm, lowered, calibration_data, calibration, percentile, progress)
                            if quantize else (None, 0))
    finally:
        module.train(was_training)

    from .emit import build

    graph, tensors, ops = build(lowered, name, qparams)
    graph.save(arch_path)
    w1x1.save(weights_path, tensors)

    x = lowered.input
    info = ExportInfo(
        name=name, arch_path=os.fspath(arch_path), weights_path=os.fspath(weights_path),
        quantized=quantize, input_name=x.tensor, input_shape=(x.shape[1], x.shape[2], x.shape[0]),
        input_dtype="int8" if quantize else "float32",
        output_names=list(dict.fromkeys(v.tensor for v in lowered.outputs)),
        tensor_names=[x.tensor] + [s.output.tensor for s in lowered.steps],
        weight_names=list(tensors), op_counts=ops,
        node_modules={s.name: s.module for s in lowered.steps},
        calibration=calibration if quantize else None, calibration_samples=samples)
    if qparams is not None:
        info.input_scale, info.input_zp = qparams[x.tensor].scale, qparams[x.tensor].zp
        info.activations = {t: (q.scale, q.zp) for t, q in qparams.items()}
    return info


def _calibrate(gm, lowered, data, method: str, percentile: float, progress: bool):
    """Scale and zero point of every int8 tensor: calibrated for the input and for the outputs of
    convolutions, additions and average pools; a max pool keeps its input's."""
    from .calibration import calibrate

    probes = {lowered.input.tensor: (lowered.input.probe, None)}
    for step in lowered.steps:
        if step.kind in ("conv", "add", "avgpool"):
            probes[step.output.tensor] = (step.output.probe, step.output.act)
    ranges, samples = calibrate(gm, [p for p, _ in probes.values()], data, method, percentile, progress)
    qparams = {t: activation_qparams(*ranges[probe], act) for t, (probe, act) in probes.items()}
    for step in lowered.steps:
        if step.kind == "maxpool":
            qparams[step.output.tensor] = qparams[step.inputs[0].tensor]
    return qparams, samples
