"""`trevalon demo`: the bundled float32 and int8 digit classifiers classify a bundled sample of
held-out 8x8 digit images; accuracy, latency and per-operation profiles of both are printed.
Needs only numpy and the engine (the models were trained and exported by
examples/train_digits.py)."""

from __future__ import annotations

import importlib.resources
import time
from dataclasses import dataclass

import numpy as np

from . import runner
from .cli import bundled_model

MODELS = (("float32", "digits_fp32"), ("int8", "digits_int8"))
SAMPLE = "digits_test.npz"
PIXEL_MAX = 16  # the digits images hold grey levels 0..16


def preprocess(images: np.ndarray) -> np.ndarray:
    """Grey levels (N, 8, 8) in 0..16 to the models' float input (N, 8, 8, 1) in [0, 1]."""
    return (np.asarray(images, np.float32) / PIXEL_MAX)[..., None]


def load_sample() -> tuple[np.ndarray, np.ndarray]:
    """The bundled held-out images (N, 8, 8) and their labels (N,)."""
    path = importlib.resources.files("trevalon") / "models" / SAMPLE
    with path.open("rb") as f, np.load(f, allow_pickle=False) as data:
        return data["images"], data["labels"].astype(np.int64)


@dataclass
class Evaluation:
    predictions: np.ndarray
    latency: runner.Latency
    profile: dict[str, float]  # op -> milliseconds summed over every image


def evaluate(model, images: np.ndarray) -> Evaluation:
    """Classify each image by its own forward pass, timing every pass."""
    input_spec = model.inputs[0]
    inputs = [runner.prepare_input(input_spec, image)[0] for image in preprocess(images)]
    if inputs:
        runner.forward(model, {input_spec.name: inputs[0]})  # warm-up: buffers grow on the first call
    model.reset_profile()
    predictions = np.empty(len(inputs), np.int64)
    times = []
    for k, x in enumerate(inputs):
        start = time.perf_counter()
        logits = model.forward(x)
        times.append((time.perf_counter() - start) * 1e3)
        predictions[k] = int(np.argmax(logits))
    return Evaluation(predictions, runner.Latency(times), model.op_profile())


def run_demo() -> list[str]:
    """The demo's report, one line per entry."""
    images, labels = load_sample()
    n = len(labels)
    results = {}
    for label, name in MODELS:
        with bundled_model(name) as (arch, weights):
            results[label] = evaluate(runner.load_model(arch, weights), images)
    threads = runner.engine_module().get_num_threads()
    lines = [f"Digit classifier: {n} held-out 8x8 images of handwritten digits, "
             f"none seen in training",
             f"forward passes on {threads} thread{'s' if threads > 1 else ''}", "",
             f"{'model':<9}{'accuracy':<20}latency per image: median (mean)"]
    for label, result in results.items():
        correct = int(np.sum(result.predictions == labels))
        mean = float(np.mean(result.latency.times_ms))
        lines.append(f"{label:<9}{f'{100 * correct / n:.2f}% ({correct}/{n})':<20}"
                     f"{result.latency.median:.4f} ms ({mean:.4f} ms)")
    agree = int(np.sum(results["float32"].predictions == results["int8"].predictions))
    lines.append(f"the int8 model agrees with the float32 model on {agree} of {n} images")
    for label, result in results.items():
        lines += ["", f"per-operation profile of the {label} model (ms per image, share):"]
        lines += runner.format_profile(result.profile, n)
    return lines
