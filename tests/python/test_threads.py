"""Threads from Python: TREVALON_NUM_THREADS at import, the setting and its limits, a pool that a
forked child recreates, `--threads` on the command line, and whole models of every layer family
giving the same bytes at 1, 2, 3 and 4 threads, with profiling and the key/value cache behaving
as at one thread.

The models are small; `_set_split_small_work` makes every kernel split them as it would split a
large model, so that every range boundary is crossed."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from trevalon import cli, demo, runner, w1x1
from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")

LIMIT = "number of threads must be from 1 to 256, got"


@pytest.fixture(autouse=True)
def one_thread_afterwards():
    assert mi.get_num_threads() == 1, "an earlier test left threads on"
    yield
    mi._set_split_small_work(False)
    mi.set_num_threads(1)


def use_threads(n, split_small=True):
    mi.set_num_threads(n)
    mi._set_split_small_work(split_small)


# Thread counts compared with one thread: small work split at 2, 3 and 4 threads, then 2 threads
# with the kernels' own size thresholds.
SETTINGS = ((2, True), (3, True), (4, True), (2, False))


def run_passes(model, passes):
    """Bytes of every output of each pass, in order (the key/value cache emptied first)."""
    model.reset_kv_cache()
    results = []
    for inputs in passes:
        out = model.forward(inputs)
        results.append({name: np.asarray(v).tobytes() for name, v in out.items()})
    return results


def first_difference(got: bytes, want: bytes) -> str:
    a, b = np.frombuffer(got, np.uint8), np.frombuffer(want, np.uint8)
    if a.size != b.size:
        return f"{a.size} bytes instead of {b.size}"
    k = int(np.flatnonzero(a != b)[0])
    return f"first at byte {k} of {a.size}"


def assert_same_bytes_at_thread_counts(load, passes):
    """`load()` gives a fresh model for each count, so that an output a wrong split never writes
    cannot keep the value an earlier count left in the buffer."""
    use_threads(1, False)
    want = run_passes(load(), passes)
    for threads, split_small in SETTINGS:
        use_threads(threads, split_small)
        got = run_passes(load(), passes)
        for k, (g, w) in enumerate(zip(got, want)):
            assert g.keys() == w.keys()
            for name in w:
                assert g[name] == w[name], (
                    f"output {name!r} of pass {k} differs at {threads} threads "
                    f"(small work split: {split_small}): {first_difference(g[name], w[name])}")
    use_threads(1, False)
    return want


# ---- the setting -----------------------------------------------------------------------------

def import_in_subprocess(value):
    env = {k: v for k, v in os.environ.items() if k != "TREVALON_NUM_THREADS"}
    if value is not None:
        env["TREVALON_NUM_THREADS"] = value
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    code = "import model_inference as mi; print(mi.get_num_threads())"
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=60)


@pytest.mark.parametrize("value, threads", [("3", 3), ("1", 1), ("256", 256), ("", 1), (None, 1)])
def test_environment_variable_sets_the_count_at_import(value, threads):
    done = import_in_subprocess(value)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(threads)


@pytest.mark.parametrize("value", ["0", "257", "-2", "two", "2.5", "2 ", " 2", "+2"])
def test_a_bad_environment_variable_makes_the_import_fail(value):
    done = import_in_subprocess(value)
    assert done.returncode != 0
    last = done.stderr.strip().splitlines()[-1]
    assert last == ("ImportError: TREVALON_NUM_THREADS must be a whole number from 1 to 256, "
                    f"got '{value}'"), done.stderr


def test_set_and_get_and_the_limits():
    for n in (4, 2, 256, 1):
        mi.set_num_threads(n)
        assert mi.get_num_threads() == n
    mi.set_num_threads(3)
    for bad in (0, 257, -1):
        with pytest.raises(RuntimeError, match=f"^{LIMIT} {bad}$"):
            mi.set_num_threads(bad)
        assert mi.get_num_threads() == 3  # a refused count changes nothing


def test_threads_context_restores_the_count_and_none_leaves_it():
    mi.set_num_threads(2)
    with runner.threads(3):
        assert mi.get_num_threads() == 3
    assert mi.get_num_threads() == 2
    with runner.threads(None):
        assert mi.get_num_threads() == 2
    with pytest.raises(runner.RunError, match=f"^{LIMIT} 0$"):
        with runner.threads(0):
            pass
    assert mi.get_num_threads() == 2
    with pytest.raises(KeyError):
        with runner.threads(4):
            raise KeyError("the block failed")
    assert mi.get_num_threads() == 2


# ---- whole models ----------------------------------------------------------------------------
# Each builder returns (graph, weights, passes): random weights of realistic scale and the inputs
# of one or more forward passes.

def normal(rng, *shape, scale=1.0):
    return (rng.standard_normal(shape) * scale).astype(np.float32)


def conv_weights(rng, name, C_out, C_in, k, groups=1, bias=True):
    fan_in = C_in // groups * k[0] * k[1]
    weights = {f"{name}.weight": normal(rng, C_out, C_in // groups, *k, scale=fan_in ** -0.5)}
    if bias:
        weights[f"{name}.bias"] = normal(rng, C_out, scale=0.1)
    return weights


def float_convolutions(rng):
    """The float image paths: a 7x7 stride-2 stem, Winograd 3x3, 1x1, 3x3 stride 2, dilated and
    rectangular kernels (patches), a residual addition, pooling, upsampling, activations and the
    fully connected head."""
    g = Graph("float_convolutions")
    x = g.input("x", (94, 78, 3))
    w = {}

    def conv(name, src, C_out, C_in, k=(3, 3), stride=1, pad=None, groups=1, relu=True, dil=1):
        pad = (k[0] // 2) * dil if pad is None else pad
        w.update(conv_weights(rng, name, C_out, C_in, k, groups))
        return g.node("conv_fp32", name, [src], relu=relu, C_out=C_out, C_in=C_in, kH=k[0], kW=k[1],
                      stride_h=stride, stride_w=stride, pad_h=pad, pad_w=pad, groups=groups,
                      dilation_h=dil, dilation_w=dil)

    t = conv("stem", x, 32, 3, (7, 7), stride=2)                  # 47 x 39
    t = g.node("maxpool_fp32", "pool1", [t], kH=3, kW=3, stride_h=1, stride_w=1, pad_h=1, pad_w=1)
    a = conv("wino", t, 72, 32)
    b = conv("pw", a, 32, 72, (1, 1), relu=False)
    t = g.node("add_fp32", "res", [t, b], relu=True)
    t = conv("dil", t, 36, 32, dil=2)
    t = conv("rect", t, 36, 36, (1, 5), relu=False)
    t = conv("down", t, 48, 36, stride=2)                          # 24 x 20
    t = g.node("leaky_relu_fp32", "leaky", [t], alpha=0.1)
    up = g.node("upsample_bilinear_fp32", "up", [t])
    g.output(g.node("sigmoid_fp32", "gate", [up]))
    t = g.node("maxpool_fp32", "pool2", [t], kH=2, kW=2, stride_h=2, stride_w=2)
    t = g.node("avgpool_fp32", "gap", [t])
    w["fc.weight"] = normal(rng, 37, 48, scale=48 ** -0.5)
    w["fc.bias"] = normal(rng, 37, scale=0.1)
    g.output(g.node("gemm_fp32", "fc", [t], C_out=37, C_in=48))
    return g, w, [{"x": normal(rng, 94, 78, 3)}]


def int8_conv_weights(rng, name, C_out, C_in, k, groups=1):
    fan_in = C_in // groups * k[0] * k[1]
    return {f"{name}.weight": rng.integers(-127, 128, (C_out, C_in // groups, *k)).astype(np.int8),
            f"{name}.req_scale": (rng.uniform(0.5, 1.5, C_out) * 0.25 / (fan_in ** 0.5 * 127)
                                  ).astype(np.float32),
            f"{name}.eff_bias": rng.integers(-3000, 3000, C_out).astype(np.int64)}


def int8_convolutions(rng):
    """The int8 image paths: stem, Winograd 3x3, 1x1, depthwise at strides 1 and 2, planar
    grouped, a requantised addition, max and average pooling and the int8 fully connected head."""
    g = Graph("int8_convolutions")
    x = g.input("x", (58, 50, 8), dtype="int8", scale=0.05, zp=3)
    w = {}

    def conv(name, src, C_out, C_in, k=(3, 3), stride=1, groups=1, in_zp=0, out_zp=0):
        w.update(int8_conv_weights(rng, name, C_out, C_in, k, groups))
        return g.node("conv_int8", name, [src], C_out=C_out, C_in=C_in, kH=k[0], kW=k[1],
                      stride_h=stride, stride_w=stride, pad_h=k[0] // 2, pad_w=k[1] // 2,
                      groups=groups, in_zp=in_zp, out_zp=out_zp)

    t = conv("stem", x, 32, 8, (7, 7), stride=2, in_zp=3, out_zp=-5)   # 29 x 25
    a = conv("wino", t, 72, 32, in_zp=-5, out_zp=2)
    b = conv("pw", a, 32, 72, (1, 1), in_zp=2, out_zp=-1)
    t = g.node("add_int8", "res", [t, b], in1_scale=0.05, in2_scale=0.04, out_scale=0.06,
               in1_zp=-5, in2_zp=-1, out_zp=4)
    t = conv("dw1", t, 32, 32, groups=32, in_zp=4, out_zp=0)
    t = conv("dw2", t, 32, 32, stride=2, groups=32, out_zp=1)          # 15 x 13
    t = conv("planar", t, 48, 32, stride=1, groups=8, in_zp=1, out_zp=-2)
    t = conv("wide", t, 24, 48, (5, 3), stride=1, in_zp=-2, out_zp=0)
    t = g.node("maxpool_int8", "pool", [t], kH=3, kW=3, stride_h=2, stride_w=2, pad_h=1, pad_w=1)
    t = g.node("avgpool_int8", "gap", [t], in_scale=0.05, out_scale=0.03, in_zp=0, out_zp=1)
    w["fc.weight"] = rng.integers(-127, 128, (29, 24)).astype(np.int8)
    w["fc.req_scale"] = rng.uniform(1e-3, 3e-3, 29).astype(np.float32)
    w["fc.eff_bias"] = rng.integers(-500, 500, 29).astype(np.int64)
    g.output(g.node("gemm_int8", "fc", [t], C_out=29, C_in=24, in_zp=1))
    return g, w, [{"x": rng.integers(-128, 128, (58, 50, 8)).astype(np.int8)}]


def projection(rng, w, name, C_out, C_in, int8=False, bias=True):
    if int8:
        w[f"{name}.weight_i8"] = rng.integers(-127, 128, (C_out, C_in)).astype(np.int8)
        w[f"{name}.w_scales"] = (rng.uniform(0.5, 1.5, C_out) / (127 * C_in ** 0.5)).astype(np.float32)
    else:
        w[f"{name}.weight"] = normal(rng, C_out, C_in, scale=C_in ** -0.5)
    if bias:
        w[f"{name}.bias"] = normal(rng, C_out, scale=0.1)


def encoder(rng, int8):
    """A text encoder block: BERT embeddings, float or int8 attention, norms, projections (float,
    fake-quantised, stored as int8 rows, int8) with and without gelu, and the float
    activations and element-wise layers on sequences."""
    T, E, V, heads, hidden = 77, 128, 500, 8, 392
    g = Graph("encoder_int8" if int8 else "encoder")
    ids = g.input("ids", (0, 1))
    w = {"emb.word_weight": normal(rng, V, E), "emb.pos_weight": normal(rng, 96, E),
         "emb.type_weight": normal(rng, 2, E),
         "emb.layernorm.weight": normal(rng, E, scale=0.2) + 1, "emb.layernorm.bias": normal(rng, E, scale=0.1)}
    x = g.node("bert_embeddings_fp32", "emb", [ids], emb_size=E)
    if int8:
        for part, rows in (("w_qkv", 3 * E), ("w_proj", E)):
            w[f"att.{part}_i8"] = rng.integers(-127, 128, (rows, E)).astype(np.int8)
            w[f"att.{part}_scales"] = rng.uniform(2e-4, 1e-3, rows).astype(np.float32)
        a = g.node("attention_int8", "att", [x], num_heads=heads, embed_dim=E)
    else:
        w["att.w_qkv"], w["att.b_qkv"] = normal(rng, 3 * E, E, scale=E ** -0.5), normal(rng, 3 * E, scale=0.1)
        w["att.w_proj"], w["att.b_proj"] = normal(rng, E, E, scale=E ** -0.5), normal(rng, E, scale=0.1)
        a = g.node("attention_fp32", "att", [x], num_heads=heads, embed_dim=E)
    x = g.node("add_fp32", "res1", [x, a])
    w["ln.gamma"], w["ln.beta"] = normal(rng, E, scale=0.2) + 1, normal(rng, E, scale=0.1)
    x = g.node("layernorm_fp32", "ln", [x], eps=1e-5)
    projection(rng, w, "up", hidden, E, int8=int8)
    h = g.node("seqgemm_int8" if int8 else "seqgemm_fp32", "up", [x], gelu=True, C_out=hidden, C_in=E)
    projection(rng, w, "down", E, hidden, int8=True)  # a float layer reading int8 rows
    h = g.node("seqgemm_fp32", "down", [h], C_out=E, C_in=hidden)
    projection(rng, w, "fq", E, E)
    h = g.node("seqgemm_fp32", "fq", [h], C_out=E, C_in=E, dynamic_quantize=True)
    x = g.node("add_fp32", "res2", [x, h])
    w["rms.gamma"] = normal(rng, E, scale=0.2) + 1
    x = g.node("rms_norm_fp32", "rms", [x])
    g.output(x)
    acts = [g.node(op, op, [x]) for op in ("gelu_fp32", "silu_fp32", "tanh_fp32", "sin_fp32")]
    e = g.node("exp_fp32", "exp", [g.node("scale_fp32", "small", [x], scalar=0.25)])
    g.output(g.node("elemwise_mul_fp32", "gated", [acts[0], acts[1]]))
    g.output(g.node("add_fp32", "mix", [acts[2], acts[3]]))
    g.output(e)
    ids_value = rng.integers(0, V, (T, 1)).astype(np.float32)
    return g, w, [{"ids": ids_value}, {"ids": ids_value[:1]}]  # prefill-sized, then one row


def vision_tokens(rng):
    """A vision transformer's front: patch grid to tokens with the class token and positions, a
    second position table, attention over the tokens and the class token's row."""
    H, W, E = 13, 11, 96
    g = Graph("vision_tokens")
    x = g.input("x", (H, W, E))
    w = {"embed.cls_token": normal(rng, E), "embed.pos_embed": normal(rng, H * W + 1, E),
         "pos.weight": normal(rng, H * W + 1, E),
         "att.w_qkv": normal(rng, 3 * E, E, scale=E ** -0.5), "att.w_proj": normal(rng, E, E, scale=E ** -0.5)}
    t = g.node("patch_prep_fp32", "embed", [x])
    t = g.node("pos_emb_add_fp32", "pos", [t])
    t = g.node("attention_fp32", "att", [t], num_heads=4, embed_dim=E)
    g.output(t)
    g.output(g.node("cls_extract_fp32", "cls", [t]))
    return g, w, [{"x": normal(rng, H, W, E)}]


def decoder(rng, int8):
    """A decoder: token table, RMS norms, grouped-query causal attention over the model's
    key/value cache, SwiGLU, logits; a prompt in one pass, then one-token passes (which read the
    int8 copy of the float projections, their names being "layers.N..." and "lm_head")."""
    V, E, nq, nkv, hd, hidden = 1500, 192, 6, 2, 32, 520
    g = Graph("decoder", max_positions=64)
    ids = g.input("input_ids", (0, 1))
    w = {"tok.weight": normal(rng, V, E), "n1.gamma": normal(rng, E, scale=0.2) + 1,
         "n2.gamma": normal(rng, E, scale=0.2) + 1}
    x = g.node("embedding_fp32", "tok", [ids])
    h = g.node("rms_norm_fp32", "n1", [x])
    op = "seqgemm_int8" if int8 else "seqgemm_fp32"
    qkv = []
    for name, rows in (("layers.0.q", nq * hd), ("layers.0.k", nkv * hd), ("layers.0.v", nkv * hd)):
        projection(rng, w, name, rows, E, int8=int8, bias=not name.endswith("q"))
        qkv.append(g.node(op, name, [h], C_out=rows, C_in=E))
    a = g.node("causal_attn_core_fp32", "core", qkv, num_q_heads=nq, num_kv_heads=nkv, head_dim=hd)
    projection(rng, w, "layers.0.o", E, nq * hd, int8=int8, bias=False)
    x = g.node("add_fp32", "res1", [x, g.node(op, "layers.0.o", [a], C_out=E, C_in=nq * hd)])
    h = g.node("rms_norm_fp32", "n2", [x])
    for name in ("layers.0.gate", "layers.0.up"):
        projection(rng, w, name, hidden, E, int8=int8, bias=False)
    gate = g.node("silu_fp32", "act", [g.node(op, "layers.0.gate", [h], C_out=hidden, C_in=E)])
    up = g.node(op, "layers.0.up", [h], C_out=hidden, C_in=E)
    h = g.node("elemwise_mul_fp32", "swiglu", [gate, up])
    projection(rng, w, "layers.0.down", E, hidden, int8=int8, bias=False)
    x = g.node("add_fp32", "res2", [x, g.node(op, "layers.0.down", [h], C_out=E, C_in=hidden)])
    projection(rng, w, "lm_head", V, E, bias=False)
    g.output(g.node("seqgemm_fp32", "lm_head", [x], C_out=V, C_in=E))
    tokens = rng.integers(0, V, 29).astype(np.float32)
    passes = [{"input_ids": tokens[:21].reshape(-1, 1)}]
    passes += [{"input_ids": tokens[k:k + 1].reshape(-1, 1)} for k in range(21, 29)]
    return g, w, passes


def speech(rng):
    """The speech layers: 1-D convolutions (Winograd 3-, 7- and 11-tap, strided patch rows,
    depthwise, int8 dense and grouped, transposed), a bidirectional LSTM, the style-conditioned
    norms, length regulation and the channel shaping layers, snake activation."""
    T, C, S, H = 61, 64, 16, 64
    g = Graph("speech")
    x = g.input("x", (0, C))
    s = g.input("s", (S,))
    dur = g.input("dur", (0, 1))
    w = {}

    def conv(name, src, C_out, C_in, K, stride=1, dil=1, groups=1):
        w[f"{name}.weight"] = normal(rng, C_out, C_in // groups, K, scale=(C_in // groups * K) ** -0.5)
        w[f"{name}.bias"] = normal(rng, C_out, scale=0.1)
        return g.node("conv1d_fp32", name, [src], C_out=C_out, C_in=C_in, kernel_size=K, stride=stride,
                      padding=dil * (K - 1) // 2, dilation=dil, groups=groups)

    def conv_i8(name, src, C_out, C_in, K, groups=1):
        w[f"{name}.weight_i8"] = rng.integers(-127, 128, (C_out, K, C_in // groups)).astype(np.int8)
        w[f"{name}.w_scales"] = (rng.uniform(0.5, 1.5, C_out) / (127 * (C_in // groups * K) ** 0.5)
                                 ).astype(np.float32)
        return g.node("conv1d_int8", name, [src], C_out=C_out, C_in=C_in, kernel_size=K,
                      padding=(K - 1) // 2, groups=groups)

    def ada(op, name, src, channels):
        w[f"{name}.fc.weight"] = normal(rng, 2 * channels, S, scale=S ** -0.5)
        w[f"{name}.fc.bias"] = normal(rng, 2 * channels, scale=0.1)
        return g.node(op, name, [src, s], C=channels, C_style=S)

    t = conv("c3", x, C, C, 3)
    t = conv("c7", t, C, C, 7, dil=3)
    t = conv("c11", t, C, C, 11)
    t = conv("dw", t, C, C, 5, groups=C)
    t = conv_i8("q5", t, C, C, 5)
    t = conv_i8("qg", t, C, C, 3, groups=4)
    w.update({f"lstm.{k}{d}": normal(rng, *shape, scale=H ** -0.5)
              for d in ("", "_reverse")
              for k, shape in (("weight_ih_l0", (4 * H, C)), ("weight_hh_l0", (4 * H, H)),
                               ("bias_ih_l0", (4 * H,)), ("bias_hh_l0", (4 * H,)))})
    t = g.node("lstm_fp32", "lstm", [t], hidden_size=H, bidirectional=True)
    t = ada("ada_layer_norm_fp32", "adaln", t, 2 * H)
    t = g.node("length_regulate_fp32", "lr", [t, dur])
    t = g.node("concat1d_fp32", "cat", [t, s], C2=S)
    t = ada("ada_in1d_fp32", "adain", t, 2 * H + S)
    t = g.node("slice_channels_fp32", "slice", [t], ch_start=3, ch_end=3 + C)
    t = conv("down", t, C, C, 5, stride=2)
    t = g.node("upsample_nearest1d_fp32", "rep", [t], scale_factor=2)
    t = g.node("reflection_pad1d_fp32", "pad", [t])
    w["up.weight"] = normal(rng, C, C // 2, 8, scale=(C * 2) ** -0.5)
    w["up.bias"] = normal(rng, C // 2, scale=0.1)
    t = g.node("conv_transpose1d_fp32", "up", [t], C_out=C // 2, C_in=C, kernel_size=8, stride=4,
               padding=2)
    w["snake.alpha"] = (rng.uniform(0.5, 1.5, C // 2)).astype(np.float32)
    t = g.node("snake1d_fp32", "snake", [t])
    g.output(t)
    g.output(g.node("sum_channels_fp32", "energy", [t]))
    inputs = {"x": normal(rng, T, C), "s": normal(rng, S),
              "dur": rng.uniform(0.2, 4.0, (T, 1)).astype(np.float32)}
    return g, w, [inputs]


def waveform(rng):
    """The vocoder's signal layers: STFT, its halves back through the iSTFT, and the harmonic
    sine source on both its paths (phase accumulation with noise, upsampled)."""
    n_fft, hop = 16, 4
    bins = n_fft // 2 + 1
    g = Graph("waveform")
    x = g.input("signal", (0, 1))
    f0 = g.input("f0", (0, 1))
    bins_out = g.node("stft_fp32", "stft", [x], n_fft=n_fft, hop_size=hop)
    mag = g.node("slice_channels_fp32", "mag", [bins_out], ch_start=0, ch_end=bins)
    phase = g.node("slice_channels_fp32", "phase", [bins_out], ch_start=bins, ch_end=2 * bins)
    g.output(g.node("istft_fp32", "istft", [mag, phase], n_fft=n_fft, hop_size=hop, normalized=True))
    g.output(g.node("sine_gen_fp32", "noisy", [f0], noise_std=0.003))
    g.output(g.node("sine_gen_fp32", "upsampled", [f0], upsample_scale=8))
    t = np.arange(4003)
    f0_track = (150 + 40 * np.sin(t / 90.0)) * ((t // 200) % 3 != 2)
    inputs = {"signal": normal(rng, 4003, 1, scale=0.3), "f0": f0_track.astype(np.float32).reshape(-1, 1)}
    return g, {}, [inputs]


MODELS = {
    "float_convolutions": float_convolutions,
    "int8_convolutions": int8_convolutions,
    "encoder": lambda rng: encoder(rng, int8=False),
    "encoder_int8": lambda rng: encoder(rng, int8=True),
    "vision_tokens": vision_tokens,
    "decoder": lambda rng: decoder(rng, int8=False),
    "decoder_int8": lambda rng: decoder(rng, int8=True),
    "speech": speech,
    "waveform": waveform,
}


@pytest.mark.parametrize("name", list(MODELS))
def test_every_layer_family_gives_the_same_bytes_at_any_thread_count(make_model, name):
    graph, weights, passes = MODELS[name](np.random.default_rng(len(name)))
    want = assert_same_bytes_at_thread_counts(lambda: make_model(graph, weights), passes)
    # Not a model that answers nothing or the same everywhere: each output holds distinct values.
    for result in want:
        for out_name, data in result.items():
            values = np.frombuffer(data, np.float32)
            assert np.isfinite(values).all() and np.unique(values).size > 1, out_name


def test_speech_speed_is_kept_at_any_thread_count(make_model):
    graph, weights, passes = speech(np.random.default_rng(5))

    def load(speed):
        model = make_model(graph, weights)
        model.set_speed(speed)
        return model

    normal_speed = run_passes(load(1.0), passes)
    faster = assert_same_bytes_at_thread_counts(lambda: load(1.6), passes)
    assert len(faster[0]["energy"]) < len(normal_speed[0]["energy"])  # fewer regulated positions


@pytest.mark.parametrize("bundled", ["digits_fp32", "digits_int8"])
def test_bundled_digit_classifiers_at_any_thread_count(bundled):
    images, _ = demo.load_sample()
    with cli.bundled_model(bundled) as (arch, weights):
        image_input = mi.InferenceModel(arch, weights).inputs[0]
        passes = [{image_input.name: runner.prepare_input(image_input, image)[0]}
                  for image in demo.preprocess(images[:12])]
        assert_same_bytes_at_thread_counts(lambda: mi.InferenceModel(arch, weights), passes)


def test_profile_and_key_value_cache_behave_as_at_one_thread(make_model):
    graph, weights, passes = decoder(np.random.default_rng(7), int8=False)
    model = make_model(graph, weights)
    seen = {}
    for threads in (1, 2):
        use_threads(threads)
        model.reset_profile()
        run_passes(model, passes)
        assert model.kv_positions == 29
        ops, layers = model.op_profile(), model.layer_profile()
        assert all(ms > 0 for ms in ops.values()) and all(ms > 0 for ms in layers.values())
        # Each op's time is the sum of its layers' times.
        by_op = {}
        for node in graph.to_dict()["nodes"]:
            by_op[node["op"]] = by_op.get(node["op"], 0.0) + layers[node["name"]]
        assert by_op.keys() == ops.keys()
        for op, ms in ops.items():
            assert ms == pytest.approx(by_op[op], rel=1e-9), op
        seen[threads] = (sorted(ops), sorted(layers))
        # A full cache refuses the pass and changes nothing, at any count.
        model.set_kv_capacity(25)
        model.forward(passes[0])
        with pytest.raises(RuntimeError, match="KV cache full"):
            model.forward({"input_ids": np.zeros((5, 1), np.float32)})
        assert model.kv_positions == 21
        model.set_kv_capacity(64)
    assert seen[1] == seen[2]


def wait_for(pid, seconds=60):
    """The exit code of child `pid`; kills it and fails if it has not finished in time."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail(f"the forked child did not finish within {seconds} s")


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() of a process with threads
def test_a_forked_child_recreates_the_pool_and_gets_the_same_bytes(make_model):
    graph, weights, passes = float_convolutions(np.random.default_rng(3))
    model = make_model(graph, weights)
    want = run_passes(model, passes)
    use_threads(2)
    assert run_passes(model, passes) == want  # the parent's workers exist now
    pid = os.fork()
    if pid == 0:  # the child: the parent's workers are not here
        code = 3
        try:
            code = 0 if run_passes(model, passes) == want else 1
            mi.set_num_threads(4)
            if code == 0 and run_passes(make_model(graph, weights), passes) != want:
                code = 2
        finally:
            os._exit(code)
    assert wait_for(pid) == 0, "1: bytes differ at 2 threads, 2: at 4 threads, 3: the pass failed"
    assert run_passes(model, passes) == want  # and the parent's pool still works


# ---- the command line ------------------------------------------------------------------------

THREAD_COMMANDS = (["run", "a.json", "b.w1x1", "x.npy"], ["bench", "a.json", "b.w1x1"], ["demo"],
                   ["embed", "a.json", "b.w1x1", "--text", "t"], ["search", "a.json", "b.w1x1", "q"],
                   ["generate", "a.json", "b.w1x1", "--prompt", "p"])


@pytest.mark.parametrize("value, message", [("0", "must be from 1 to 256, not 0"),
                                            ("257", "must be from 1 to 256, not 257"),
                                            ("two", "invalid int value: 'two'")])
def test_threads_option_out_of_range_is_a_usage_error(capsys, value, message):
    for argv in THREAD_COMMANDS:
        with pytest.raises(SystemExit) as info:
            cli.main(argv + ["--threads", value])
        assert info.value.code == 2
        err = capsys.readouterr().err
        assert err.splitlines()[-1] == f"trevalon {argv[0]}: error: argument --threads: {message}"


def save_model(tmp_path, name, graph, weights):
    arch, bin_path = tmp_path / f"{name}.json", tmp_path / f"{name}.w1x1"
    graph.save(arch)
    w1x1.save(bin_path, weights)
    return str(arch), str(bin_path)


def test_run_and_bench_with_threads(tmp_path, capsys):
    rng = np.random.default_rng(11)
    graph, weights, passes = float_convolutions(rng)
    arch, bin_path = save_model(tmp_path, "conv", graph, weights)
    np.save(tmp_path / "x.npy", passes[0]["x"])
    outputs = {}
    for threads in ("1", "3"):
        outdir = tmp_path / f"out{threads}"
        assert cli.main(["run", arch, bin_path, str(tmp_path / "x.npy"), "-o", str(outdir),
                         "--threads", threads]) == 0
        assert mi.get_num_threads() == 1  # main() gives the caller its setting back
        outputs[threads] = {name: np.load(outdir / f"{name}.npy").tobytes() for name in ("gate", "fc")}
    assert outputs["1"] == outputs["3"]
    capsys.readouterr()
    assert cli.main(["bench", arch, bin_path, "-n", "2", "--warmup", "0", "--threads", "2"]) == 0
    assert "threads: 2" in capsys.readouterr().out.splitlines()
    mi.set_num_threads(3)  # without the option, bench runs with (and reports) the current count
    assert cli.main(["bench", arch, bin_path, "-n", "1", "--warmup", "0"]) == 0
    assert "threads: 3" in capsys.readouterr().out.splitlines()
