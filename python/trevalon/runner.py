"""Run engine models on numpy arrays from the command line: load a model, check and convert
inputs against its declarations, turn int8 outputs into real values, time forward passes, and
read the process's peak memory."""

from __future__ import annotations

import contextlib
import importlib
import os
import resource
import sys
import time
from dataclasses import dataclass
from typing import Callable, Iterator, Mapping, Sequence

import numpy as np

from . import weights_check
from .arch import ArchError, ArchInfo, ArchSyntaxError, read_arch


class RunError(Exception):
    """A failure to report as one line (a bad input, a model the engine refuses)."""


def one_line(text: object) -> str:
    return " ".join(str(text).split())


def engine_module():
    try:
        return importlib.import_module("model_inference")
    except ImportError as e:
        raise RunError(f"the engine module model_inference is not installed ({one_line(e)})") from None


# Threads a forward pass may use (the engine's own limit).
MAX_THREADS = 256


def set_threads(count: int) -> None:
    """Have the engine's forward passes use `count` threads from now on (1 creates none)."""
    engine = engine_module()
    try:
        engine.set_num_threads(count)
    except RuntimeError as e:
        raise RunError(one_line(e)) from None


@contextlib.contextmanager
def threads(count: int | None) -> Iterator[None]:
    """Run the block with `count` engine threads, then restore the count that was set before;
    None leaves the setting as it is."""
    if count is None:
        yield
        return
    before = engine_module().get_num_threads()
    set_threads(count)
    try:
        yield
    finally:
        set_threads(before)


def _read_arch_quietly(arch: str) -> ArchInfo | None:
    try:
        return read_arch(arch)
    except (OSError, ArchError):
        return None


def explain_load_error(arch: str | os.PathLike, weights: str | os.PathLike, message: str) -> str:
    """The engine's load error with what it leaves out: the line and column of a JSON syntax
    error, the file and tensor of a weights record it could not read."""
    arch, weights = os.fsdecode(arch), os.fsdecode(weights)
    if message.startswith("JSON: "):
        try:
            read_arch(arch)
        except ArchSyntaxError as e:
            return f"{arch}, {e.position}: {message}"
        except (OSError, ArchError):
            pass
        return f"{arch}: {message}"
    if weights_check.is_read_failure(message):
        detail = weights_check.explain_read_failure(_read_arch_quietly(arch), weights)
        return (f"{detail} (the engine stopped with: {message})" if detail
                else f"{weights}: {message}")
    return message


def load_model(arch: str | os.PathLike, weights: str | os.PathLike):
    """An `InferenceModel`; the engine's refusal becomes a RunError with its message, completed
    by `explain_load_error`."""
    engine = engine_module()
    arch, weights = os.fsdecode(arch), os.fsdecode(weights)
    try:
        return engine.InferenceModel(arch, weights)
    except (RuntimeError, ValueError) as e:  # a record shorter than its head is a length error
        raise RunError(one_line(explain_load_error(arch, weights, str(e)))) from None


def output_quantization(arch: str | os.PathLike | ArchInfo) -> dict[str, tuple[float, int]]:
    """Output name -> (scale, zero point) of the int8 outputs an exporter recorded in `arch`."""
    info = arch if isinstance(arch, ArchInfo) else read_arch(arch)
    return dict(info.output_quant)


def dequantize_outputs(arch: str | os.PathLike | ArchInfo,
                       outputs: Mapping[str, np.ndarray] | np.ndarray) -> dict[str, np.ndarray]:
    """Real values of a model's outputs.

    `InferenceModel.forward` returns an int8 output as its integer values q in float32. The
    architecture file (`arch`: a path, or an `ArchInfo` already read) records the scale and zero
    point of such an output in its "outputs" entry; this returns (q - zp) * scale for those
    outputs, as float32, and every other output (a float output, or one without recorded
    parameters) unchanged. `outputs` is the dict `forward` returns for a mapping input, or the
    single array it returns for a single input (taken as the model's first output)."""
    info = arch if isinstance(arch, ArchInfo) else read_arch(arch)
    if not isinstance(outputs, Mapping):
        if not info.output_names:
            raise ValueError("the architecture names no output to match the array with")
        outputs = {info.output_names[0]: outputs}
    real = {}
    for name, values in outputs.items():
        values = np.asarray(values)
        if name in info.output_quant:
            scale, zp = info.output_quant[name]
            values = ((values.astype(np.float64) - zp) * scale).astype(np.float32)
        real[name] = values
    return real


def forward(model, inputs: Mapping[str, np.ndarray],
            arch: str | os.PathLike | ArchInfo | None = None) -> dict[str, np.ndarray]:
    """One forward pass on named inputs. Given the model's architecture (`arch`), int8 outputs
    with a recorded scale and zero point come back as real values (see `dequantize_outputs`);
    without it, as the engine returns them."""
    try:
        outputs = model.forward(dict(inputs))
    except RuntimeError as e:
        raise RunError(f"forward pass failed: {one_line(e)}") from None
    return dequantize_outputs(arch, outputs) if arch is not None else outputs


def _shape_text(shape: Sequence[int]) -> str:
    return "[" + ", ".join(str(d) for d in shape) + "]"


def _quantize(values: np.ndarray, scale: float, zp: int) -> np.ndarray:
    """Float values to int8 with the input's scale and zero point (rounding half away from zero,
    saturating)."""
    if not scale > 0:
        raise RunError(f"cannot quantise: the input's scale is {scale}")
    scaled = values.astype(np.float64) / scale
    rounded = np.sign(scaled) * np.floor(np.abs(scaled) + 0.5)
    return np.clip(rounded + zp, -128, 127).astype(np.int8)


def _shapes_agree(given: Sequence[int], declared: Sequence[int]) -> bool:
    # Unit dimensions are ignored (a leading batch of 1, a trailing single channel), and a 0 in
    # the declaration matches any length, including one that was dropped as a unit dimension.
    given = [d for d in given if d != 1]
    declared = [d for d in declared if d != 1]

    def match(ds: Sequence[int]) -> bool:
        return len(ds) == len(given) and all(d in (0, g) for d, g in zip(ds, given))

    return match(declared) or match([d for d in declared if d != 0])


def _check_count(name: str, declared: Sequence[int], array: np.ndarray) -> None:
    if 0 not in declared:
        needed = int(np.prod(declared, dtype=np.int64))
        ok = array.size == needed
        expected = f"shape {_shape_text(declared)} ({needed} elements)"
    else:
        # The engine reads the variable dimension off the element count; W and C are fixed.
        c = declared[-1]
        w = declared[1] if len(declared) >= 3 and declared[1] >= 2 else 1
        ok = c > 0 and array.size > 0 and array.size % (w * c) == 0
        expected = (f"shape {_shape_text(declared)}, 0 variable "
                    f"(a positive multiple of {w * c} elements)")
    if not ok or (array.ndim > 1 and not _shapes_agree(array.shape, declared)):
        raise RunError(f"input '{name}' expects {expected}, got shape "
                       f"{_shape_text(array.shape)} ({array.size} elements)")


def prepare_input(input_spec, array: np.ndarray) -> tuple[np.ndarray, str]:
    """`array` checked against the declared input `input_spec` (an `InputSpec`) and converted to the
    element type the engine expects: float32, or int8 (float values are quantised with the
    input's scale and zero point). Returns the converted array and a note on any conversion."""
    name, dtype = input_spec.name, input_spec.dtype
    array = np.asarray(array)
    if array.ndim == 0:
        raise RunError(f"input '{name}' got a 0-dimensional array")
    _check_count(name, list(input_spec.shape), array)
    kind = array.dtype.kind
    if kind not in "biuf":
        raise RunError(f"input '{name}' is {dtype}, got an array of {array.dtype}")
    note = ""
    if dtype == "int8":
        if kind == "f":
            if not np.all(np.isfinite(array)):
                raise RunError(f"input '{name}' holds values that are not finite")
            note = f"quantised with scale {input_spec.scale:g}, zero point {input_spec.zp}"
            array = _quantize(array, input_spec.scale, input_spec.zp)
        elif array.size and (array.min() < -128 or array.max() > 127):
            raise RunError(f"input '{name}' is int8, got {array.dtype} values from "
                           f"{array.min()} to {array.max()}")
        else:
            array = array.astype(np.int8, copy=False)
    else:
        if array.dtype != np.float32:
            note = f"converted from {array.dtype}"
        array = array.astype(np.float32, copy=False)
    return np.ascontiguousarray(array).reshape(-1), note


def random_input(input_spec, rng: np.random.Generator) -> np.ndarray:
    """Random values of the declared shape: uniform in [-1, 1) for float32, any int8 value."""
    if 0 in input_spec.shape:
        raise RunError(f"input '{input_spec.name}' has a variable dimension "
                       f"{_shape_text(input_spec.shape)}; give an input file")
    if input_spec.dtype == "int8":
        return rng.integers(-128, 128, size=input_spec.shape, dtype=np.int8)
    return rng.uniform(-1.0, 1.0, size=input_spec.shape).astype(np.float32)


def peak_rss_bytes() -> int:
    """Peak resident memory of this process so far. On Linux the high-water mark of the address
    space (VmHWM), since ru_maxrss keeps the parent's peak across fork and exec; elsewhere
    ru_maxrss (bytes on macOS, KiB on the other systems)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak if sys.platform == "darwin" else peak * 1024


@dataclass
class Latency:
    """Wall-clock times of repeated calls, in milliseconds."""

    times_ms: list[float]

    def quantile(self, q: float) -> float:
        return float(np.quantile(self.times_ms, q))

    @property
    def median(self) -> float:
        return self.quantile(0.5)

    def summary(self) -> str:
        t = self.times_ms
        return (f"median {self.median:.3f} ms, min {min(t):.3f}, p10 {self.quantile(0.1):.3f}, "
                f"p90 {self.quantile(0.9):.3f}, max {max(t):.3f} (ms, {len(t)} runs)")


def time_calls(call: Callable[[], object], runs: int, warmup: int = 0) -> Latency:
    for _ in range(warmup):
        call()
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append((time.perf_counter() - start) * 1e3)
    return Latency(times)


def format_profile(profile: Mapping[str, float], runs: int, indent: str = "  ") -> list[str]:
    """Lines of an `op_profile()` or `layer_profile()` map: milliseconds per run and share of the
    total, longest first."""
    total = sum(profile.values())
    width = max((len(k) for k in profile), default=0)
    lines = []
    for key, ms in sorted(profile.items(), key=lambda kv: -kv[1]):
        share = 100.0 * ms / total if total > 0 else 0.0
        lines.append(f"{indent}{key:<{width}}  {ms / max(runs, 1):9.4f} ms  {share:5.1f}%")
    return lines


def size_text(nbytes: float) -> str:
    if nbytes < 2**20:
        return f"{nbytes / 2**10:.1f} KiB"
    return f"{nbytes / 2**20:.1f} MiB"
