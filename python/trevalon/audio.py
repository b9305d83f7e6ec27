"""Waveform outputs: which outputs of a model are audio, writing them as 16-bit PCM .wav files with
the standard library, the model's speed, and the real-time factor of a forward pass.

An output is a waveform when its entry in the architecture file carries "sample_rate" (samples
per second), as the speech exporter writes it: {"name": "waveform", "sample_rate": 24000}. A
rate given on the command line overrides the recorded one and, for a model that records none,
makes its first output the waveform."""

from __future__ import annotations

import math
import os
import wave

import numpy as np

from .arch import ArchInfo

PCM_FULL_SCALE = 32767
MAX_SAMPLE_RATE = 2**31 - 1  # the header's field is 32 bits; keep to what every reader takes


class AudioError(ValueError):
    """A waveform that cannot be written or timed; the message is one line."""


def waveform_outputs(info: ArchInfo, rate: int | None = None) -> dict[str, int]:
    """Output name -> samples per second, for the outputs that are waveforms."""
    if rate is not None:
        check_rate(rate)
        names = list(info.output_audio) or info.output_names[:1]
        return {name: rate for name in names}
    return dict(info.output_audio)


def check_rate(rate: int) -> int:
    if not 1 <= rate <= MAX_SAMPLE_RATE:
        raise AudioError(f"sample rate must be 1 to {MAX_SAMPLE_RATE} samples per second, not {rate}")
    return rate


def set_speed(model, speed: float) -> None:
    """The model's speed (durations are divided by it); the engine's refusal as an AudioError."""
    try:
        model.set_speed(float(speed))
    except RuntimeError as e:
        raise AudioError(f"--speed {speed}: {e}") from None


def write_wav(path: str | os.PathLike, samples: np.ndarray, rate: int) -> int:
    """Write a mono 16-bit PCM .wav file: samples in [-1, 1] scale to +-32767 (rounded to
    nearest), values beyond are clipped. Returns how many samples were clipped."""
    path = os.fspath(path)
    check_rate(rate)
    x = np.asarray(samples, dtype=np.float32).reshape(-1)
    if x.size == 0:
        raise AudioError(f"{path}: the waveform has no samples")
    if not np.all(np.isfinite(x)):
        bad = int(np.count_nonzero(~np.isfinite(x)))
        raise AudioError(f"{path}: the waveform holds {bad} values that are not finite")
    clipped = int(np.count_nonzero(np.abs(x) > 1.0))
    pcm = np.rint(np.clip(x, -1.0, 1.0) * PCM_FULL_SCALE).astype("<i2")
    with wave.open(path, "wb") as f:
        f.setnchannels(1)
        f.setsampwidth(2)
        f.setframerate(rate)
        f.writeframes(pcm.tobytes())
    return clipped


def read_wav(path: str | os.PathLike) -> tuple[np.ndarray, int]:
    """A 16-bit PCM .wav file as float32 samples in [-1, 1] (channels interleaved) and its rate."""
    with wave.open(os.fspath(path), "rb") as f:
        if f.getsampwidth() != 2:
            raise AudioError(f"{os.fspath(path)}: {8 * f.getsampwidth()}-bit samples, expected 16")
        data = np.frombuffer(f.readframes(f.getnframes()), dtype="<i2")
        return (data.astype(np.float32) / PCM_FULL_SCALE), f.getframerate()


def real_time_factor(compute_seconds: float, samples: int, rate: int) -> float:
    """Seconds of compute per second of audio produced."""
    if samples <= 0:
        raise AudioError("the waveform has no samples, so the real-time factor is undefined")
    if not (math.isfinite(compute_seconds) and compute_seconds >= 0):
        raise AudioError(f"compute time must be a finite non-negative number, not {compute_seconds}")
    return compute_seconds / (samples / check_rate(rate))


def describe(samples: int, rate: int) -> str:
    return f"{samples} samples, {samples / rate:.2f} s at {rate} Hz"
