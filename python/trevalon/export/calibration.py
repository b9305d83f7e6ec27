"""Activation ranges for int8 export: run the traced float model on the user's samples and record,
for every tensor the int8 graph stores, its min/max or a percentile clip of |values|."""

from __future__ import annotations

from typing import Iterable, Iterator

import numpy as np
import torch
import torch.fx as fx

from .errors import ExportError
from .progress import ProgressBar

METHODS = ("minmax", "percentile")
# Values kept per tensor and batch for the percentile method (an even subsample beyond that).
PERCENTILE_SAMPLE = 1 << 18


class RangeObserver:
    """minmax: the range is [min, max] of everything seen. percentile: the magnitude clip
    T = the given percentile of |x| over all samples, and the range is [max(min, -T), min(max, T)]."""

    def __init__(self, method: str, percentile: float):
        self.method = method
        self.percentile = percentile
        self.lo = np.inf
        self.hi = -np.inf
        self.magnitudes: list[np.ndarray] = []

    def update(self, t: torch.Tensor) -> None:
        t = t.detach()
        self.lo = min(self.lo, float(t.min()))
        self.hi = max(self.hi, float(t.max()))
        if self.method == "percentile":
            flat = t.abs().reshape(-1)
            step = -(-flat.numel() // PERCENTILE_SAMPLE)
            self.magnitudes.append(flat[::step].float().numpy().copy())

    def range(self) -> tuple[float, float]:
        if self.method == "percentile":
            clip = float(np.percentile(np.concatenate(self.magnitudes), self.percentile))
            return max(self.lo, -clip), min(self.hi, clip)
        return self.lo, self.hi


class _Recorder(fx.Interpreter):
    def __init__(self, gm: fx.GraphModule, observers: dict[fx.Node, RangeObserver]):
        super().__init__(gm)
        self.observers = observers

    def run_node(self, n: fx.Node):
        out = super().run_node(n)
        observer = self.observers.get(n)
        if observer is not None:  # record now: a later in-place op may overwrite the tensor
            observer.update(out)
        return out


def _batches(data) -> tuple[Iterator[torch.Tensor], int | None]:
    """(batches of shape (N, C, H, W), number of progress steps or None when unknown). Accepts an
    array/tensor of one sample (C, H, W) or many (N, C, H, W), or an iterable of those (or of
    (input, label) pairs, as data loaders yield them)."""
    if isinstance(data, (np.ndarray, torch.Tensor)):
        t = torch.as_tensor(data, dtype=torch.float32)
        if t.dim() == 3:
            t = t.unsqueeze(0)
        if t.dim() != 4:
            raise ExportError(f"calibration_data must have shape (N, C, H, W) or (C, H, W), "
                              f"not {tuple(t.shape)}")
        chunks = list(torch.split(t, 8)) if t.shape[0] else []
        return iter(chunks), len(chunks)

    def generate(items: Iterable) -> Iterator[torch.Tensor]:
        for item in items:
            if isinstance(item, (tuple, list)):
                item = item[0]
            t = torch.as_tensor(item, dtype=torch.float32)
            if t.dim() == 3:
                t = t.unsqueeze(0)
            if t.dim() != 4:
                raise ExportError(f"a calibration sample has shape {tuple(t.shape)}; expected "
                                  "(C, H, W) or (N, C, H, W)")
            if t.shape[0]:
                yield t

    try:
        total = len(data)
    except TypeError:
        total = None
    return generate(data), total


def calibrate(gm: fx.GraphModule, probes: Iterable[fx.Node], data, method: str = "minmax",
              percentile: float = 99.99, progress: bool = True) -> tuple[dict[fx.Node, tuple[float, float]], int]:
    """Run `gm` on every calibration batch; returns the (lo, hi) range of each probe node and the
    number of samples seen."""
    if data is None:
        raise ExportError("int8 export needs calibration_data: sample inputs to calibrate "
                          "activation ranges (none were given)")
    observers = {node: RangeObserver(method, percentile) for node in probes}
    batches, total = _batches(data)
    bar = ProgressBar("calibrating", total, enabled=progress)
    samples = 0
    recorder = _Recorder(gm, observers)
    try:
        with torch.no_grad():
            for batch in batches:
                try:
                    recorder.run(batch)
                except Exception as e:
                    first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
                    raise ExportError(f"the model failed on a calibration batch of shape "
                                      f"{tuple(batch.shape)}: {first}") from None
                samples += batch.shape[0]
                bar.update()
    finally:
        bar.close()
    if samples == 0:
        raise ExportError("calibration_data holds no samples: int8 export needs at least one "
                          "input to calibrate activation ranges")
    return {node: obs.range() for node, obs in observers.items()}, samples
