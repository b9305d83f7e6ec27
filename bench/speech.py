"""Speech synthesis speed: the reference text-to-speech network (trevalon.export.speech_nets),
ours against torch and onnxruntime with the same weights, for about five seconds of 24 kHz audio,
every engine on the same number of threads (one by default). Prints the real-time factor
(seconds of compute per second of audio) of the acoustic stage, the vocoder and the whole
pipeline, ours/peer ratios, peak memory and our per-operation profile.

    PYTHONPATH=build/dev:python python bench/speech.py [--phonemes 88] [--runs 5] [--threads 2]
"""

from __future__ import annotations

import argparse
import io
import os
import statistics
import sys
import tempfile
import time

import numpy as np

os.environ.setdefault("OMP_NUM_THREADS", "1")
import torch  # noqa: E402

from trevalon import runner  # noqa: E402
from trevalon.export import speech_nets as sn  # noqa: E402
from trevalon.export.speech import ACOUSTIC_PREFIXES, VOCODER_PREFIXES, export_speech  # noqa: E402


CPU_TIME = True  # set by --wall


def median_ms(call, runs: int, warmup: int = 1) -> float:
    """Median milliseconds of `runs` calls: processor time of this process (on one thread, the
    compute itself, whatever else the machine runs), or wall-clock time with --wall or more than
    one thread (where processor time would add the threads up)."""
    clock = time.process_time if CPU_TIME else time.perf_counter
    for _ in range(warmup):
        call()
    times = []
    for _ in range(runs):
        start = clock()
        call()
        times.append((clock() - start) * 1e3)
    return statistics.median(times)


def reset_peak() -> bool:
    """Restart the process's resident-memory high-water mark (Linux); False where it cannot."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_text(resettable: bool) -> str:
    text = runner.size_text(runner.peak_rss_bytes())
    return text if resettable else text + " (process peak so far)"


class Row:
    def __init__(self, name: str):
        self.name, self.ms, self.note = name, {}, ""


def run_ours(info, inputs, runs: int, row: Row, threads: int) -> dict[str, np.ndarray]:
    import model_inference as mi

    mi.set_num_threads(threads)
    resettable = reset_peak()
    model = mi.InferenceModel(info.arch_path, info.weights_path)
    out = model.forward(dict(inputs))
    model.forward(dict(inputs))
    model.reset_profile()
    row.ms["pipeline"] = median_ms(lambda: model.forward(dict(inputs)), runs, warmup=0)
    # The stages' shares of the pipeline, from the per-node profile (wall-clock).
    layers = model.layer_profile()
    total = sum(layers.values())
    for stage, prefixes in (("acoustic", ACOUSTIC_PREFIXES), ("vocoder", VOCODER_PREFIXES)):
        share = sum(ms for name, ms in layers.items() if name.startswith(prefixes)) / total
        row.ms[stage] = share * row.ms["pipeline"]
    row.note = f"peak memory {peak_text(resettable)}"
    row.profile = model.op_profile()
    return out


def run_torch(model, inputs, runs: int, row: Row):
    resettable = reset_peak()
    ids, style, f0 = (torch.from_numpy(inputs[k]) for k in ("phonemes", "style", "f0"))
    with torch.no_grad():
        features, f0_frames = model.acoustic(ids, style, f0)
        row.ms["acoustic"] = median_ms(lambda: model.acoustic(ids, style, f0), runs)
        row.ms["vocoder"] = median_ms(lambda: model.generator(features, style, f0_frames), runs)
        row.ms["pipeline"] = median_ms(lambda: model(ids, style, f0), runs, warmup=0)
        wave = model(ids, style, f0).numpy()
    row.note = f"peak memory {peak_text(resettable)}"
    return wave, features, f0_frames


class VocoderBody(torch.nn.Module):
    """The generator from decoder features, style and harmonic source to the head's input: what
    ONNX can express (the numpy sine source and the iSTFT head have no ONNX export)."""

    def __init__(self, generator):
        super().__init__()
        self.g = generator

    def forward(self, x, style, source):
        g, kernels = self.g, len(self.g.cfg.resblock_kernels)
        for i, (snake, up, source_conv) in enumerate(zip(g.snakes, g.ups, g.source_convs)):
            x = up(snake(x))
            if i == len(g.ups) - 1:
                x = g.reflection_pad(x)
            x = x + source_conv(source)
            blocks = g.resblocks[i * kernels:(i + 1) * kernels]
            total = blocks[0](x, style)
            for block in blocks[1:]:
                total = total + block(x, style)
            x = total * (1.0 / kernels)
        return g.conv_post(g.snake_post(x))


def run_onnxruntime(model, features, style, f0_frames, runs: int, row: Row, threads: int) -> None:
    try:
        import onnxruntime as ort
    except ImportError:
        row.note = "skipped: onnxruntime is not installed"
        return
    generator = model.generator
    with torch.no_grad():
        source = generator.harmonic_source(f0_frames)
        head_in = VocoderBody(generator)(features, style, source)
    buffer = io.BytesIO()
    try:
        torch.onnx.export(VocoderBody(generator), (features, style, source), buffer, dynamo=False,
                          opset_version=17, input_names=["x", "style", "source"],
                          output_names=["stft_out"])
    except Exception as e:  # the exporter's failures have no common type
        row.note = f"skipped: the vocoder does not export to ONNX ({type(e).__name__}: " \
                   f"{str(e).splitlines()[0][:120]})"
        return
    options = ort.SessionOptions()
    options.intra_op_num_threads = threads
    options.inter_op_num_threads = 1
    session = ort.InferenceSession(buffer.getvalue(), options, providers=["CPUExecutionProvider"])
    feed = {"x": features.numpy(), "style": style.numpy(), "source": source.numpy()}
    resettable = reset_peak()
    body = median_ms(lambda: session.run(None, feed), runs)
    with torch.no_grad():
        rest = (median_ms(lambda: generator.harmonic_source(f0_frames), runs)
                + median_ms(lambda: generator.head(head_in), runs))
    row.ms["vocoder"] = body + rest
    row.note = (f"peak memory {peak_text(resettable)}; ONNX has no iSTFT and the sine source is "
                f"numpy, so those two ({rest:.1f} ms) are timed in torch")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--phonemes", type=int, default=88, help="phonemes of the utterance")
    parser.add_argument("--runs", type=int, default=5, help="timed runs per measurement")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--wall", action="store_true",
                        help="time with the wall clock instead of this process's processor time")
    parser.add_argument("--threads", type=int, default=1,
                        help="threads of every engine (ours, torch, onnxruntime's intra-op pool); "
                             "more than one times with the wall clock")
    args = parser.parse_args(argv)
    if args.threads < 1:
        parser.error(f"--threads must be at least 1, got {args.threads}")
    global CPU_TIME
    CPU_TIME = not args.wall and args.threads == 1
    torch.set_num_threads(args.threads)
    cfg = sn.SpeechConfig()
    model = sn.build_speech_model(cfg, seed=args.seed)
    inputs = sn.example_inputs(cfg, phonemes=args.phonemes, seed=args.seed)
    with tempfile.TemporaryDirectory() as tmp:
        info = export_speech(model, tmp)
        ours = Row("ours")
        out = run_ours(info, inputs, args.runs, ours, args.threads)
    peers = [Row("torch"), Row("onnxruntime")]
    wave, features, f0_frames = run_torch(model, inputs, args.runs, peers[0])
    run_onnxruntime(model, features, torch.from_numpy(inputs["style"]), f0_frames, args.runs, peers[1],
                    args.threads)

    seconds = wave.size / cfg.sample_rate
    err = np.abs(out["waveform"] - wave).max() / np.abs(wave).max()
    print(f"utterance: {args.phonemes} phonemes, {features.shape[2]} frames, {wave.size} samples "
          f"= {seconds:.2f} s at {cfg.sample_rate} Hz; {args.threads} thread"
          f"{'s' if args.threads > 1 else ''}; median of {args.runs} runs of "
          f"{'processor' if CPU_TIME else 'wall-clock'} time")
    print(f"waveform, ours against torch: max |error| {err:.2e} of the peak")
    print(f"{'':12}{'acoustic':>22}{'vocoder':>22}{'pipeline':>22}   (ms, real-time factor)")
    for row in [ours] + peers:
        cells = "".join(f"{row.ms[k]:12.1f} {row.ms[k] / 1e3 / seconds:8.4f} " if k in row.ms
                        else f"{'-':>22}" for k in ("acoustic", "vocoder", "pipeline"))
        print(f"{row.name:12}{cells}  {row.note}")
    for peer in peers:
        ratios = ", ".join(f"{k} {ours.ms[k] / peer.ms[k]:.2f}" for k in ("acoustic", "vocoder", "pipeline")
                           if k in peer.ms)
        if ratios:
            print(f"ours/{peer.name} time: {ratios}")
    vocoder_rtf = ours.ms["vocoder"] / 1e3 / seconds
    print(f"targets: vocoder real-time factor {vocoder_rtf:.4f} (<= 0.1: "
          f"{'met' if vocoder_rtf <= 0.1 else 'missed'}); pipeline ours/torch "
          f"{ours.ms['pipeline'] / peers[0].ms['pipeline']:.2f} (<= 1: "
          f"{'met' if ours.ms['pipeline'] <= peers[0].ms['pipeline'] else 'missed'})")
    print("our per-operation profile (ms per run, share):")
    print("\n".join(runner.format_profile(ours.profile, args.runs)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
