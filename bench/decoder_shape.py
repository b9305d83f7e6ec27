"""A Llama-style decoder built by hand with random weights, in the shape of SmolLM2-135M unless told
otherwise: token embedding, per layer an RMS norm, q/k/v projections, the causal attention core,
the output projection and a residual addition, then an RMS norm and the SwiGLU feed-forward block
with its residual; a final norm and "lm_head" (tied to the embedding). Projections are named
"layers.N.self_attn.q_proj" and so on, so the engine keeps their int8 decode copies.

    from decoder_shape import DecoderShape, build_decoder
    arch, weights = build_decoder("out/", DecoderShape(), int8=True)
"""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np

from trevalon import w1x1
from trevalon.graph import Graph


@dataclass(frozen=True)
class DecoderShape:
    vocab: int = 49152
    hidden: int = 576
    layers: int = 30
    q_heads: int = 9
    kv_heads: int = 3
    head_dim: int = 64
    intermediate: int = 1536
    eps: float = 1e-5
    rope_theta: float = 100000.0
    max_positions: int = 2048

    def projections(self, layer: int) -> list[tuple[str, int, int]]:
        """(node name, C_in, C_out) of every projection of one layer, in graph order."""
        p, h, i = f"layers.{layer}.", self.hidden, self.intermediate
        q, kv = self.q_heads * self.head_dim, self.kv_heads * self.head_dim
        return [(p + "self_attn.q_proj", h, q), (p + "self_attn.k_proj", h, kv),
                (p + "self_attn.v_proj", h, kv), (p + "self_attn.o_proj", q, h),
                (p + "mlp.gate_proj", h, i), (p + "mlp.up_proj", h, i), (p + "mlp.down_proj", i, h)]

    def decode_weight_bytes(self) -> int:
        """Bytes of weights one decode step reads: every projection's int8 decode copy with its row
        scales, the lm_head's likewise, the norms' weights and one embedding row."""
        mats = [(ci, co) for n in range(self.layers) for _, ci, co in self.projections(n)]
        mats.append((self.hidden, self.vocab))
        return (sum(ci * co + 4 * co for ci, co in mats) + 4 * self.hidden * (2 * self.layers + 1)
                + 4 * self.hidden)

    def kv_bytes(self, positions: int) -> int:
        """Bytes of cached keys and values one step reads with `positions` held."""
        return 2 * self.layers * positions * self.kv_heads * self.head_dim * 4


def _projection(g, weights, rng, name, x, c_in, c_out, int8, tied=None):
    w = tied if tied is not None else (rng.standard_normal((c_out, c_in), dtype=np.float32) * 0.02)
    if int8:
        scale = np.maximum(np.abs(w).max(axis=1), 1e-8).astype(np.float32) / np.float32(127)
        weights[name + ".weight_i8"] = np.clip(np.round(w / scale[:, None]), -127, 127).astype(np.int8)
        weights[name + ".w_scales"] = scale
        return g.node("seqgemm_int8", name, inputs=[x], C_in=c_in, C_out=c_out)
    weights[name + ".weight"] = w
    return g.node("seqgemm_fp32", name, inputs=[x], C_in=c_in, C_out=c_out)


def build_decoder(folder: str | os.PathLike, shape: DecoderShape = DecoderShape(), int8: bool = False,
                  seed: int = 0) -> tuple[str, str]:
    """Writes decoder_{fp32,int8}.json and .w1x1 into `folder`; returns their paths. The model
    takes token ids as float32 of shape (T, 1) and returns logits (T, vocab)."""
    rng = np.random.default_rng(seed)
    s = shape
    g = Graph("decoder", max_positions=s.max_positions)
    weights: dict[str, np.ndarray] = {}
    table = rng.standard_normal((s.vocab, s.hidden), dtype=np.float32) * 0.02
    weights["embed.weight"] = table
    h = g.node("embedding_fp32", "embed", inputs=[g.input("ids", shape=(0, 1))],
               num_embeddings=s.vocab, embedding_dim=s.hidden)

    def norm(name, x):
        weights[name + ".gamma"] = (1 + 0.1 * rng.standard_normal(s.hidden)).astype(np.float32)
        return g.node("rms_norm_fp32", name, inputs=[x], eps=s.eps)

    for n in range(s.layers):
        p = f"layers.{n}."
        (qp, kp, vp, op, gp, up, dp) = s.projections(n)

        def project(entry, x):
            return _projection(g, weights, rng, entry[0], x, entry[1], entry[2], int8)

        x = norm(p + "input_layernorm", h)
        a = g.node("causal_attn_core_fp32", p + "self_attn.core",
                   inputs=[project(qp, x), project(kp, x), project(vp, x)],
                   num_q_heads=s.q_heads, num_kv_heads=s.kv_heads, head_dim=s.head_dim,
                   rope_theta=s.rope_theta)
        h = g.node("add_fp32", p + "attn_residual", inputs=[h, project(op, a)])
        x = norm(p + "post_attention_layernorm", h)
        act = g.node("silu_fp32", p + "mlp.act", inputs=[project(gp, x)])
        m = g.node("elemwise_mul_fp32", p + "mlp.mul", inputs=[act, project(up, x)])
        h = g.node("add_fp32", p + "mlp_residual", inputs=[h, project(dp, m)])
    x = norm("norm", h)
    g.output(_projection(g, weights, rng, "lm_head", x, s.hidden, s.vocab, int8, tied=table))

    os.makedirs(folder, exist_ok=True)
    stem = os.path.join(os.fspath(folder), "decoder_int8" if int8 else "decoder_fp32")
    g.save(stem + ".json")
    w1x1.save(stem + ".w1x1", weights)
    return stem + ".json", stem + ".w1x1"
