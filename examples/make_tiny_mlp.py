"""Build the tiny two-layer perceptron bundled with the package (16 -> 32 relu -> 10, float32).

    python examples/make_tiny_mlp.py [OUT_DIR]    (default: python/trevalon/models)

The seed is fixed, so running it again reproduces the bundled files byte for byte.
"""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from trevalon import w1x1  # noqa: E402
from trevalon.graph import Graph  # noqa: E402

SEED = 20240611
SIZES = (16, 32, 10)


def build(out_dir: str) -> None:
    rng = np.random.default_rng(SEED)
    g = Graph("tiny_mlp")
    x = g.input("x", shape=(SIZES[0],), dtype="float32")
    h = g.node("gemm_fp32", "fc1", inputs=[x], relu=True, C_out=SIZES[1], C_in=SIZES[0])
    y = g.node("gemm_fp32", "fc2", inputs=[h], C_out=SIZES[2], C_in=SIZES[1])
    g.output(y)

    tensors = {}
    for name, c_in, c_out in (("fc1", SIZES[0], SIZES[1]), ("fc2", SIZES[1], SIZES[2])):
        bound = 1.0 / np.sqrt(c_in)  # the usual uniform initialisation of a linear layer
        tensors[f"{name}.weight"] = rng.uniform(-bound, bound, (c_out, c_in)).astype(np.float32)
        tensors[f"{name}.bias"] = rng.uniform(-bound, bound, (c_out,)).astype(np.float32)

    os.makedirs(out_dir, exist_ok=True)
    g.save(os.path.join(out_dir, "tiny_mlp.json"))
    w1x1.save(os.path.join(out_dir, "tiny_mlp.w1x1"), tensors)


if __name__ == "__main__":
    default = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python",
                           "trevalon", "models")
    build(sys.argv[1] if len(sys.argv) > 1 else default)
