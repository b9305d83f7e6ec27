"""Our speed at 1..N intra-op threads, in one process per run: a stack of four float
convolutions at 28x28 (3x3 and 1x1, 64 and 128 channels), the bundled digits classifiers, and,
when their files are given, resnet50 float32 and int8 and BERT-base (bench/models.py's models)
and a decode step of the small decoder (bench/generate.py's files). Prints the median time of each
thread count, the speed-up over one thread against the targets at 2 threads, checks that every
thread count gives the same output bytes, and saves a plot of speed-up against threads as a PNG.

    python3 bench/threads.py [--max-threads N] [--models DIR] [--decoder DIR] [--plot PATH]
                             [--repeats R] [--rounds R] [--quick]

Thread counts are timed in interleaved rounds, so that other work on a shared machine slows them
alike; the load average is printed before and after. Needs numpy and the built engine
(PYTHONPATH=build/<dir>:python); matplotlib for the plot (without it the plot is skipped).
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

SEED = 20261209
DECODER = "smollm2_int8"  # the decoder file of bench/generate.py's folder
PROMPT_TOKENS = 16
# Allowance for timer noise when a target says "no slower".
NOISE = 0.02


def load_average() -> str:
    return " ".join(f"{v:.2f}" for v in os.getloadavg())


# --------------------------------------------------------------------------------------------
# Workloads: each loads its model, times calls, and gives the bytes its calls produce.

class Forward:
    """Forward passes of one model on one input; the time of a call is one forward pass."""

    unit = "ms per forward"

    def __init__(self, name: str, target: tuple[float, str] | None, load):
        self.name, self.target, self._load = name, target, load
        self.model = self.call = None

    def setup(self, mi) -> None:
        self.model, x = self._load(mi)
        self.call = lambda: self.model.forward(x)  # noqa: E731

    def time(self, runs: int) -> list[float]:
        times = []
        for _ in range(runs):
            start = time.perf_counter()
            self.call()
            times.append((time.perf_counter() - start) * 1e3)
        return times

    def output(self) -> bytes:
        return np.asarray(self.call()).tobytes()

    def close(self) -> None:
        self.model = self.call = None


class Decode:
    """Greedy one-token passes of a decoder after a short prompt; the time of a call is a token."""

    unit = "ms per token"

    def __init__(self, name: str, target: tuple[float, str] | None, stem: str,
                 token_ids: tuple[int, int] = (100, 40000)):
        self.name, self.target, self.stem = name, target, stem
        self.token_ids = token_ids  # the range prompt ids are drawn from
        self.model = None

    def setup(self, mi) -> None:
        self.model = mi.InferenceModel(self.stem + ".json", self.stem + ".w1x1")
        self.model.set_profile_enabled(False)

    def _decode(self, tokens: int, clock: list[float] | None) -> tuple[list[int], np.ndarray]:
        ids = np.random.default_rng(SEED).integers(*self.token_ids, PROMPT_TOKENS).astype(np.float32)
        self.model.reset_kv_cache()
        logits = self.model.forward({"input_ids": ids})["logits"]
        token = int(np.argmax(logits[-logits.size // PROMPT_TOKENS:]))
        generated = [token]
        for _ in range(tokens):
            start = time.perf_counter()
            logits = self.model.forward({"input_ids": np.array([token], np.float32)})["logits"]
            if clock is not None:
                clock.append((time.perf_counter() - start) * 1e3)
            token = int(np.argmax(logits))
            generated.append(token)
        return generated, logits

    def time(self, runs: int) -> list[float]:
        clock: list[float] = []
        self._decode(runs, clock)
        return clock

    def output(self) -> bytes:
        tokens, logits = self._decode(8, None)
        return np.asarray(tokens, np.int64).tobytes() + np.asarray(logits).tobytes()

    def close(self) -> None:
        self.model = None


def conv_stack(folder: str):
    """Four float convolutions on a 28x28x64 map: 3x3 64->64, 1x1 64->128, 3x3 128->128,
    1x1 128->64, each with a bias and ReLU; weights scaled by fan-in so activations keep their
    size through the stack."""
    from trevalon import w1x1
    from trevalon.graph import Graph

    layers = (("c1", 64, 64, 3), ("c2", 64, 128, 1), ("c3", 128, 128, 3), ("c4", 128, 64, 1))
    rng = np.random.default_rng(SEED)
    g = Graph("conv_stack_28")
    t = g.input("x", shape=(28, 28, 64))
    weights = {}
    for name, c_in, c_out, k in layers:
        t = g.node("conv_fp32", name, inputs=[t], relu=True, C_in=c_in, C_out=c_out, kH=k, kW=k,
                   pad_h=k // 2, pad_w=k // 2)
        weights[f"{name}.weight"] = (rng.standard_normal((c_out, c_in, k, k))
                                     * np.sqrt(2.0 / (c_in * k * k))).astype(np.float32)
        weights[f"{name}.bias"] = (0.1 * rng.standard_normal(c_out)).astype(np.float32)
    g.output(t)
    arch, path = os.path.join(folder, "conv_stack.json"), os.path.join(folder, "conv_stack.w1x1")
    g.save(arch)
    w1x1.save(path, weights)
    x = rng.standard_normal((28, 28, 64)).astype(np.float32)
    return lambda mi: (mi.InferenceModel(arch, path), x)


def bundled(name: str):
    """A bundled digits classifier on the first held-out image."""
    from trevalon import demo, runner
    from trevalon.cli import bundled_model

    def load(mi):
        with bundled_model(name) as (arch, weights):
            model = mi.InferenceModel(arch, weights)
        image = demo.preprocess(demo.load_sample()[0][:1])[0]
        return model, runner.prepare_input(model.inputs[0], image)[0]
    return load


def built_model(folder: str, model: str):
    """A model of bench/models.py's folder on that benchmark's input."""
    import models as whole_models

    def load(mi):
        m = mi.InferenceModel(os.path.join(folder, f"{model}.json"),
                              os.path.join(folder, f"{model}.w1x1"))
        x = whole_models.network_input(whole_models.network_of(model), 224)
        if x.ndim == 2:  # token ids, as float32 values
            return m, x[0].astype(np.float32)
        from trevalon import runner
        return m, runner.prepare_input(m.inputs[0], x[0].transpose(1, 2, 0))[0]
    return load


def workloads(args, folder: str) -> list:
    """(workload, or the reason it is skipped)."""
    found = [Forward("four convs 28x28", (1.7, "x"), conv_stack(folder)),
             Forward("digits_fp32", (1.0 - NOISE, "no slower"), bundled("digits_fp32")),
             Forward("digits_int8", (1.0 - NOISE, "no slower"), bundled("digits_int8"))]
    for model, label in (("resnet50_fp32", "resnet50 fp32"), ("resnet50_int8", "resnet50 int8"),
                         ("bert_base_fp32", "BERT-base fp32")):
        if args.models is None:
            found.append((label, "give --models DIR (bench/models.py's --workdir)"))
        elif not os.path.exists(os.path.join(args.models, f"{model}.w1x1")):
            found.append((label, f"no {model}.w1x1 in {args.models}"))
        else:
            found.append(Forward(label, (1.8, "x"), built_model(args.models, model)))
    if args.decoder is None:
        found.append(("decode", "give --decoder DIR (bench/generate.py's --workdir)"))
    else:
        stem = os.path.join(args.decoder, DECODER)
        if not os.path.exists(stem + ".w1x1"):
            import generate  # converts the decoder from its GGUF file into that folder
            os.makedirs(args.decoder, exist_ok=True)
            generate.prepare(args.decoder)
        found.append(Decode("decode (int8)", (1.5, "x"), stem))
    return found


# --------------------------------------------------------------------------------------------

def measure(work, mi, counts: list[int], args) -> dict:
    """Median time per call at every thread count, and whether each count's output bytes equal
    those of one thread."""
    work.setup(mi)
    times: dict[int, list[float]] = {n: [] for n in counts}
    try:
        for _ in range(args.rounds):
            for n in counts:
                mi.set_num_threads(n)
                work.time(args.warmup)
                times[n] += work.time(args.repeats)
        outputs = {}
        for n in counts:
            mi.set_num_threads(n)
            outputs[n] = work.output()
    finally:
        mi.set_num_threads(1)
        work.close()
    medians = {n: float(np.median(t)) for n, t in times.items()}
    return {"medians": medians, "same": {n: outputs[n] == outputs[1] for n in counts}}


def verdict(work, speedup: float) -> str:
    if work.target is None:
        return ""
    goal, kind = work.target
    text = f"target {'>= ' + format(goal, '.1f') + 'x' if kind == 'x' else 'no slower'}"
    return f"{text}: {'ok' if speedup >= goal else 'MISS'}"


def plot(results: dict, counts: list[int], path: str, title: str) -> str:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "plot skipped: matplotlib is not installed"
    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=120)
    ax.plot(counts, counts, "k--", linewidth=1, label="linear")
    for name, r in results.items():
        base = r["medians"][1]
        ax.plot(counts, [base / r["medians"][n] for n in counts], marker="o", label=name)
    ax.set_xlabel("threads")
    ax.set_ylabel("speed-up over one thread")
    ax.set_xticks(counts)
    ax.set_ylim(bottom=0)
    ax.grid(True, alpha=0.3)
    ax.set_title(title, fontsize=9)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return f"plot saved: {path}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--max-threads", type=int, default=max(2, os.cpu_count() or 1),
                        help="largest thread count (this machine's cores, at least 2)")
    parser.add_argument("--models", metavar="DIR",
                        help="bench/models.py's --workdir, for resnet50 and BERT")
    parser.add_argument("--decoder", metavar="DIR",
                        help=f"bench/generate.py's --workdir, for {DECODER} (converted there "
                             "when missing)")
    parser.add_argument("--plot", default="threads_speedup.png", help="PNG to write")
    parser.add_argument("--repeats", type=int, default=20,
                        help="timed calls per thread count and round (20; x20 for digits)")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds (3)")
    parser.add_argument("--quick", action="store_true", help="1 round of 3 timed calls")
    args = parser.parse_args()
    if args.max_threads < 2:
        parser.error(f"--max-threads must be at least 2, not {args.max_threads}")
    if args.quick:
        args.repeats, args.rounds = 3, 1
    args.warmup = 1

    from trevalon import runner
    mi = runner.engine_module()
    counts = list(range(1, args.max_threads + 1))
    start_load = load_average()
    print(f"threads 1..{args.max_threads} on {os.cpu_count()} cores; load average {start_load}; "
          f"{args.rounds} round(s) of {args.repeats} timed calls per count after a warm-up")
    results = {}
    with tempfile.TemporaryDirectory(prefix="trevalon_threads_") as folder:
        found = workloads(args, folder)
        print(f"\n{'workload':<18}{'unit':<16}"
              + "".join(f"{f'{n} thr':>10}" for n in counts)
              + f"{'2 thr x':>9}  bytes at every count, target at 2 threads")
        for work in found:
            if isinstance(work, tuple):
                print(f"{work[0]:<18}skipped: {work[1]}")
                continue
            saved = args.repeats
            if work.name.startswith("digits"):  # a call takes microseconds: time many
                args.repeats = saved * 20
            try:
                r = measure(work, mi, counts, args)
            finally:
                args.repeats = saved
            results[work.name] = r
            speedup = r["medians"][1] / r["medians"][2]
            same = "same" if all(r["same"].values()) else "DIFFERENT: " + ",".join(
                str(n) for n, s in r["same"].items() if not s)
            print(f"{work.name:<18}{work.unit:<16}"
                  + "".join(f"{r['medians'][n]:10.3f}" for n in counts)
                  + f"{speedup:8.2f}x  {same}; {verdict(work, speedup)}", flush=True)
    end_load = load_average()
    print(f"\nload average at the end {end_load}")
    if results:
        title = (f"trevalon speed-up against threads ({os.cpu_count()} cores; load average "
                 f"{start_load.split()[0]} -> {end_load.split()[0]})")
        print(plot(results, counts, args.plot, title))


if __name__ == "__main__":
    main()
