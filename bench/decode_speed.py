"""Decode speed of the engine on a SmolLM2-135M-shaped decoder with random weights (float32 and int8
files): a prefill of --prompt tokens, then --steps one-token passes over the key/value cache.
Prints prefill and decode tokens per second, this core's memory read rate measured in the same
run, the decode bound (read rate / bytes of weights one step reads) and the share of it reached,
and the per-operation profile of the decode steps.

    PYTHONPATH=build/dev:python python bench/decode_speed.py [--dir /tmp/decoder] [--steps 64]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import model_inference as mi  # noqa: E402
from decoder_shape import DecoderShape, build_decoder  # noqa: E402


def make_reader(gib: float = 0.5):
    """A callable answering the bytes per second one pass of this thread reads from memory: an
    xor over a buffer far larger than any cache (random bytes, so no page can be shared)."""
    data = np.random.default_rng(0).integers(0, 2**62, int(gib * 2**30) // 8, dtype=np.int64)

    def rate() -> float:
        t0 = time.perf_counter()
        np.bitwise_xor.reduce(data)
        return data.nbytes / (time.perf_counter() - t0)

    return rate


def run(arch: str, weights: str, shape: DecoderShape, prompt: int, rounds: int, steps: int, reader,
        seed: int = 1):
    """Prefill, then `rounds` rounds of: two memory reads, `steps` decode steps (the cache is
    reset and refilled before a round would overflow it). The machine may be shared, so reads and
    steps alternate and each round is compared with its own reads."""
    model = mi.InferenceModel(arch, weights)
    model.set_kv_capacity(prompt + steps + 1)
    rng = np.random.default_rng(seed)
    ids = rng.integers(0, shape.vocab, prompt + steps).astype(np.float32)
    model.forward(ids[:prompt, None])  # warm-up: first touches of every buffer
    model.reset_kv_cache()
    t0 = time.perf_counter()
    model.forward(ids[:prompt, None])
    prefill = time.perf_counter() - t0
    model.reset_profile()
    out = []  # per round: (best read rate, decode step times)
    for _ in range(rounds):
        read = max(reader(), reader())
        times = []
        for t in range(prompt, prompt + steps):
            t0 = time.perf_counter()
            model.forward(ids[t:t + 1, None])
            times.append(time.perf_counter() - t0)
        out.append((read, times))
        model.reset_kv_cache()
        model.set_profile_enabled(False)  # the profile counts decode steps only
        model.forward(ids[:prompt, None])
        model.set_profile_enabled(True)
    return prefill, out, model


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dir", default="/tmp/trevalon_decoder", help="where the model files are written")
    ap.add_argument("--prompt", type=int, default=128)
    ap.add_argument("--steps", type=int, default=16, help="decode steps per round")
    ap.add_argument("--rounds", type=int, default=6)
    ap.add_argument("--layers", type=int, default=30)
    args = ap.parse_args()
    shape = DecoderShape(layers=args.layers)
    reader = make_reader()
    weight_bytes = shape.decode_weight_bytes()
    print(f"weights read per decode step: {weight_bytes / 1e6:.1f} MB (int8 decode copies, norms, one "
          f"embedding row); key/value reads at {args.prompt} positions: "
          f"{shape.kv_bytes(args.prompt) / 1e6:.1f} MB (not counted in the bound)")
    for int8 in (False, True):
        name = "int8" if int8 else "fp32"
        stem = os.path.join(args.dir, f"decoder_{name}")
        if not os.path.exists(stem + ".w1x1"):
            build_decoder(args.dir, shape, int8=int8)
        prefill, rounds, model = run(stem + ".json", stem + ".w1x1", shape, args.prompt, args.rounds,
                                     args.steps, reader)
        best_read = max(r for r, _ in rounds)
        all_times = [t for _, ts in rounds for t in ts]
        best_step, median_step = min(all_times), statistics.median(all_times)
        # Each round's median step against that round's read rate.
        shares = [weight_bytes / statistics.median(ts) / r for r, ts in rounds]
        print(f"\n{name}: prefill {args.prompt} tokens {prefill * 1e3:.0f} ms ({args.prompt / prefill:.0f} "
              f"tokens/s)")
        print(f"  memory read, one core: best {best_read / 1e9:.1f} GB/s -> bound "
              f"{best_read / weight_bytes:.1f} tokens/s")
        print(f"  decode: median {1 / median_step:.1f} tokens/s ({median_step * 1e3:.2f} ms), best "
              f"{1 / best_step:.1f} tokens/s ({best_step * 1e3:.2f} ms)")
        print(f"  share of the bound: best step / best read {weight_bytes / best_step / best_read:.0%}; "
              f"per round (median step / that round's read) {statistics.median(shares):.0%} "
              f"(range {min(shares):.0%}..{max(shares):.0%})")
        steps = len(all_times)
        profile = {op: ms / steps for op, ms in model.op_profile().items()}
        layers = model.layer_profile()
        head = layers.get("lm_head", 0.0) / steps
        total = sum(profile.values())
        print(f"  decode step profile (mean): nodes {total:.2f} ms (lm_head {head:.2f} ms), outside "
              f"the nodes {statistics.mean(all_times) * 1e3 - total:.2f} ms")
        for op, ms in sorted(profile.items(), key=lambda kv: -kv[1]):
            print(f"    {op:24s} {ms:7.3f} ms")


if __name__ == "__main__":
    main()
