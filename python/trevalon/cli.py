"""The `trevalon` command line. Each subcommand is one `_add_<name>` function that declares its
arguments and a `_cmd_<name>` function that runs it; `main` dispatches and turns bad files into
one-line errors."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.resources
import sys
from collections import Counter
from typing import Iterator, Sequence

from . import __version__, w1x1
from .arch import ArchError, ArchInfo, read_arch

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


def _try_engine_load(arch: str, weights: str) -> str:
    """'ok', the engine's error, or a note that the engine is not installed."""
    try:
        engine = importlib.import_module("model_inference")
    except ImportError:
        return "not checked (model_inference is not installed)"
    try:
        engine.InferenceModel(arch, weights)
    except Exception as e:  # the engine reports every load failure as RuntimeError
        return f"error: {e}"
    return "ok"


def _format_arch(info: ArchInfo) -> list[str]:
    lines = [f"model: {info.model_name or '(unnamed)'}", "inputs:"]
    for spec in info.inputs:
        shape = ", ".join(str(d) for d in spec.shape)
        lines.append(f"  {spec.name}: shape [{shape}], {spec.dtype}, "
                     f"scale {spec.scale:g}, zp {spec.zp}")
    how = " (derived from the graph)" if info.outputs_derived else ""
    lines.append(f"outputs{how}: {', '.join(info.output_names) or '(none)'}")
    lines.append(f"nodes: {len(info.nodes)}")
    for op, count in sorted(Counter(n.op for n in info.nodes).items()):
        known = any(n.known for n in info.nodes if n.op == op)
        lines.append(f"  {op}: {count}" + ("" if known else " (unknown op, no layer)"))
    return lines


def _add_info(subparsers) -> None:
    parser = subparsers.add_parser(
        "info", help="describe a model's inputs, outputs, nodes and weights",
        description="Describe a model as the engine reads it, and check that it loads.")
    _add_model_arguments(parser)
    parser.set_defaults(run=_cmd_info)


def _cmd_info(args: argparse.Namespace) -> int:
    with _model_paths(args) as (arch, weights):
        info = read_arch(arch)
        tensors = w1x1.load(weights)
        lines = [f"architecture: {arch}"] + _format_arch(info)
        lines.append(f"weights: {weights} ({len(tensors)} tensors, {tensors.nbytes} bytes of "
                     f"data, {tensors.file_size} bytes on disk)")
        load = _try_engine_load(arch, weights)
        lines.append(f"loads: {load}")
    print("\n".join(lines))
    return 1 if load.startswith("error") else 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Tools for trevalon models.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    subparsers = parser.add_subparsers(title="commands", metavar="COMMAND")
    _add_info(subparsers)
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
        return args.run(args)
    except (CliError, OSError, ArchError, w1x1.W1X1Error) as e:
        print(f"{PROG}: error: {_message(e)}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
