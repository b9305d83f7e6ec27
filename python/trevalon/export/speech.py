"""`export_speech`: the text-to-speech network of `speech_nets` to an architecture file, a W1X1
weights file and an example input.

The network is read module by module, as its forward pass runs, rather than traced: the engine
keeps every sequence as positions x channels, so each torch module maps to one or a few
operations on that layout, and a module the engine has no operation for is an `ExportError`
naming it. The waveform output's entry in the architecture file carries "sample_rate", which is
how the tools recognise a waveform (`trevalon run` writes it as a .wav file, `trevalon bench`
reports the real-time factor)."""

from __future__ import annotations

import math
import os
from collections import Counter
from dataclasses import dataclass, field

import numpy as np

from .. import w1x1
from ..graph import Graph
from .errors import ExportError
from .transformers_models import quantize_rows

INPUT_IDS, INPUT_STYLE, INPUT_F0 = "phonemes", "style", "f0"
OUTPUT_WAVEFORM, OUTPUT_DURATIONS = "waveform", "durations"
# Node-name prefixes of the two stages (the vocoder is the generator).
ACOUSTIC_PREFIXES = ("encoder.", "duration.", "regulator.", "decoder.")
VOCODER_PREFIXES = ("generator.",)


@dataclass
class SpeechExportInfo:
    """What `export_speech` wrote."""

    name: str
    arch_path: str
    weights_path: str
    example_path: str
    sample_rate: int
    frame_hop: int  # waveform samples per acoustic frame
    input_names: list[str] = field(default_factory=list)
    output_names: list[str] = field(default_factory=list)
    op_counts: dict[str, int] = field(default_factory=dict)
    node_modules: dict[str, str] = field(default_factory=dict)  # engine node -> torch module


def _array(tensor) -> np.ndarray:
    return tensor.detach().cpu().float().numpy().astype(np.float32, copy=True)


def _expect(path: str, module, cls) -> None:
    if not isinstance(module, cls):
        names = cls.__name__ if isinstance(cls, type) else " or ".join(c.__name__ for c in cls)
        raise ExportError(f"module '{path}': expected {names}, found {type(module).__name__}")


class _Lowering:
    """The graph, weights and bookkeeping of one export; one method per kind of module."""

    def __init__(self, name: str, int8_prefixes: tuple[str, ...] = ()):
        self.graph = Graph(name)
        self.int8_prefixes = int8_prefixes  # convolutions under these paths get int8 weights
        self.tensors: dict[str, np.ndarray] = {}
        self.ops: Counter = Counter()
        self.node_modules: dict[str, str] = {}

    def node(self, op: str, name: str, inputs: list[str], weights: dict | None = None,
             module: str | None = None, output: str | None = None, **params) -> str:
        out = self.graph.node(op, name, inputs, outputs=output, **params)
        for suffix, array in (weights or {}).items():
            self.tensors[name + suffix] = np.ascontiguousarray(array, dtype=array.dtype)
        self.ops[op] += 1
        self.node_modules[name] = module or name
        return out

    # ---- leaf modules ----

    def conv1d(self, path: str, m, x: str, relu: bool = False) -> str:
        from torch import nn

        _expect(path, m, nn.Conv1d)
        if m.padding_mode != "zeros":
            raise ExportError(f"module '{path}': padding_mode '{m.padding_mode}' (the engine pads "
                              f"one-dimensional convolutions with zeros)")
        if isinstance(m.padding, str):
            if m.padding != "valid" and m.stride[0] != 1:
                raise ExportError(f"module '{path}': padding '{m.padding}' with stride {m.stride[0]}")
            total = m.dilation[0] * (m.kernel_size[0] - 1) if m.padding == "same" else 0
            if total % 2:
                raise ExportError(f"module '{path}': padding 'same' needs {total} positions, "
                                  f"which cannot be split evenly between both ends")
            padding = total // 2
        else:
            padding = m.padding[0]
        weight = _array(m.weight)  # [C_out][C_in/groups][K], as torch keeps it
        if path.startswith(self.int8_prefixes) and not relu:
            # Tap-major rows, one symmetric scale per output channel; activations are quantised
            # per position as the layer runs.
            q, scales = quantize_rows(weight.transpose(0, 2, 1).reshape(weight.shape[0], -1))
            weights = {".weight_i8": q.reshape(weight.shape[0], weight.shape[2], weight.shape[1]),
                       ".w_scales": scales}
            op = "conv1d_int8"
        else:
            weights, op = {".weight": weight}, "conv1d_fp32"
        if m.bias is not None:
            weights[".bias"] = _array(m.bias)
        return self.node(op, path, [x], weights, relu=relu, C_out=m.out_channels,
                         C_in=m.in_channels, kernel_size=m.kernel_size[0], stride=m.stride[0],
                         padding=padding, dilation=m.dilation[0], groups=m.groups)

    def conv_transpose1d(self, path: str, m, x: str) -> str:
        from torch import nn

        _expect(path, m, nn.ConvTranspose1d)
        if m.dilation[0] != 1:
            raise ExportError(f"module '{path}': dilation {m.dilation[0]} (the engine's transposed "
                              f"convolution has none)")
        if m.padding_mode != "zeros":
            raise ExportError(f"module '{path}': padding_mode '{m.padding_mode}'")
        weights = {".weight": _array(m.weight)}  # [C_in][C_out/groups][K]
        if m.bias is not None:
            weights[".bias"] = _array(m.bias)
        return self.node("conv_transpose1d_fp32", path, [x], weights, C_out=m.out_channels,
                         C_in=m.in_channels, kernel_size=m.kernel_size[0], stride=m.stride[0],
                         padding=m.padding[0], output_padding=m.output_padding[0], groups=m.groups)

    def linear(self, path: str, m, x: str) -> str:
        from torch import nn

        _expect(path, m, nn.Linear)
        weights = {".weight": _array(m.weight)}
        if m.bias is not None:
            weights[".bias"] = _array(m.bias)
        return self.node("seqgemm_fp32", path, [x], weights, C_out=m.out_features,
                         C_in=m.in_features)

    def lstm(self, path: str, m, x: str) -> str:
        from torch import nn

        _expect(path, m, nn.LSTM)
        if m.num_layers != 1 or m.proj_size != 0:
            raise ExportError(f"module '{path}': LSTM with {m.num_layers} layers and proj_size "
                              f"{m.proj_size} (the engine runs one layer without projection)")
        names = ["weight_ih_l0", "weight_hh_l0"] + (["bias_ih_l0", "bias_hh_l0"] if m.bias else [])
        if m.bidirectional:
            names += [n + "_reverse" for n in names]
        weights = {"." + n: _array(getattr(m, n)) for n in names}
        return self.node("lstm_fp32", path, [x], weights, hidden_size=m.hidden_size,
                         bidirectional=bool(m.bidirectional))

    def embedding(self, path: str, m, ids: str) -> str:
        from torch import nn

        _expect(path, m, nn.Embedding)
        if m.max_norm is not None:
            raise ExportError(f"module '{path}': max_norm renormalises rows at lookup, which the "
                              f"engine does not")
        return self.node("embedding_fp32", path, [ids], {".weight": _array(m.weight)},
                         num_embeddings=m.num_embeddings, embedding_dim=m.embedding_dim)

    def layernorm(self, path: str, m, x: str, width: int) -> str:
        from torch import nn

        _expect(path, m, nn.LayerNorm)
        if tuple(m.normalized_shape) != (width,):
            raise ExportError(f"module '{path}': LayerNorm over {tuple(m.normalized_shape)}, "
                              f"expected ({width},) (the channels)")
        gamma = _array(m.weight) if m.weight is not None else np.ones(width, np.float32)
        beta = _array(m.bias) if getattr(m, "bias", None) is not None else np.zeros(width, np.float32)
        return self.node("layernorm_fp32", path, [x], {".gamma": gamma, ".beta": beta}, eps=float(m.eps))

    def activation(self, path: str, m, x: str, name: str | None = None) -> str:
        """An element-wise activation; `name` is the node name when the module is shared."""
        from torch import nn

        from .speech_nets import Snake

        name = name or path
        if isinstance(m, Snake):
            return self.node("snake1d_fp32", name, [x], {".alpha": _array(m.alpha).reshape(-1)},
                             module=path)
        if isinstance(m, nn.LeakyReLU):
            return self.node("leaky_relu_fp32", name, [x], module=path, alpha=float(m.negative_slope))
        if isinstance(m, nn.ReLU):
            return self.node("leaky_relu_fp32", name, [x], module=path, alpha=0.0)
        simple = {nn.Tanh: "tanh_fp32", nn.Sigmoid: "sigmoid_fp32", nn.SiLU: "silu_fp32"}
        for cls, op in simple.items():
            if type(m) is cls:
                return self.node(op, name, [x], module=path)
        if isinstance(m, nn.GELU) and m.approximate == "tanh":
            return self.node("gelu_fp32", name, [x], module=path)
        raise ExportError(f"module '{path}': {type(m).__name__} has no engine operation "
                          f"(activations: Snake, LeakyReLU, ReLU, Tanh, Sigmoid, SiLU, "
                          f"GELU(approximate='tanh'))")

    def adain(self, path: str, m, x: str, style: str, style_dim: int) -> str:
        from torch import nn

        from .speech_nets import AdaIN1d

        _expect(path, m, AdaIN1d)
        norm = m.norm
        _expect(path + ".norm", norm, nn.InstanceNorm1d)
        if norm.track_running_stats:
            raise ExportError(f"module '{path}.norm': InstanceNorm1d with running statistics (the "
                              f"engine normalises with the statistics of the input)")
        weights = {".fc.weight": _array(m.fc.weight), ".fc.bias": _array(m.fc.bias)}
        if norm.affine:
            weights.update({".norm.weight": _array(norm.weight), ".norm.bias": _array(norm.bias)})
        return self.node("ada_in1d_fp32", path, [x, style], weights, C=norm.num_features,
                         C_style=style_dim, eps=float(norm.eps))

    def ada_layer_norm(self, path: str, m, x: str, style: str, style_dim: int) -> str:
        from .speech_nets import AdaLayerNorm

        _expect(path, m, AdaLayerNorm)
        weights = {".fc.weight": _array(m.fc.weight), ".fc.bias": _array(m.fc.bias)}
        return self.node("ada_layer_norm_fp32", path, [x, style], weights, C=m.channels,
                         C_style=style_dim, eps=float(m.eps))

    def add(self, name: str, a: str, b: str, module: str) -> str:
        return self.node("add_fp32", name, [a, b], module=module)

    def scale(self, name: str, x: str, scalar: float, module: str) -> str:
        return self.node("scale_fp32", name, [x], module=module, scalar=scalar)

    def concat(self, name: str, a: str, b: str, c2: int, module: str) -> str:
        return self.node("concat1d_fp32", name, [a, b], module=module, C2=c2)

    def slice(self, name: str, x: str, start: int, end: int, module: str) -> str:
        return self.node("slice_channels_fp32", name, [x], module=module, ch_start=start, ch_end=end)


# ---- the network's blocks, in the order of their forward passes ----

def _text_encoder(low: _Lowering, path: str, m, ids: str, cfg) -> str:
    from .speech_nets import TextEncoder

    _expect(path, m, TextEncoder)
    x = low.embedding(f"{path}.embedding", m.embedding, ids)
    for k, (conv, norm) in enumerate(zip(m.convs, m.norms)):
        x = low.conv1d(f"{path}.convs.{k}", conv, x)
        x = low.layernorm(f"{path}.norms.{k}", norm, x, conv.out_channels)
        x = low.activation(f"{path}.act", m.act, x, name=f"{path}.act.{k}")
    return low.lstm(f"{path}.lstm", m.lstm, x)


def _duration(low: _Lowering, path: str, m, text: str, style: str, cfg) -> str:
    from .speech_nets import DurationPredictor

    _expect(path, m, DurationPredictor)
    x = low.concat(f"{path}.style", text, style, cfg.style_dim, path)
    x = low.lstm(f"{path}.lstm", m.lstm, x)
    x = low.ada_layer_norm(f"{path}.norm", m.norm, x, style, cfg.style_dim)
    x = low.conv1d(f"{path}.proj", m.proj, x)
    return low.node("exp_fp32", f"{path}.exp", [x], module=path, output=OUTPUT_DURATIONS)


def _regulate(low: _Lowering, path: str, m, text: str, f0: str, durations: str,
              width: int) -> tuple[str, str]:
    """Features and F0 expanded together (F0 rides as one more channel), then split again."""
    from .speech_nets import LengthRegulator

    _expect(path, m, LengthRegulator)
    joined = low.concat(f"{path}.join_f0", text, f0, 1, path)
    frames = low.node("length_regulate_fp32", path, [joined, durations])
    features = low.slice(f"{path}.features", frames, 0, width, path)
    f0_frames = low.slice(f"{path}.f0", frames, width, width + 1, path)
    return features, f0_frames


def _adain_resblock(low: _Lowering, path: str, m, x: str, style: str, cfg) -> str:
    from .speech_nets import AdaINResBlock

    _expect(path, m, AdaINResBlock)
    h = low.adain(f"{path}.norm1", m.norm1, x, style, cfg.style_dim)
    h = low.activation(f"{path}.act", m.act, h, name=f"{path}.act1")
    h = low.conv1d(f"{path}.conv1", m.conv1, h)
    h = low.adain(f"{path}.norm2", m.norm2, h, style, cfg.style_dim)
    h = low.activation(f"{path}.act", m.act, h, name=f"{path}.act2")
    h = low.conv1d(f"{path}.conv2", m.conv2, h)
    skip = low.conv1d(f"{path}.shortcut", m.shortcut, x) if m.shortcut is not None else x
    return low.scale(f"{path}.out", low.add(f"{path}.add", h, skip, path), 1 / math.sqrt(2), path)


def _decoder(low: _Lowering, path: str, m, features: str, f0: str, style: str, cfg) -> str:
    from .speech_nets import Decoder

    _expect(path, m, Decoder)
    f0_features = low.conv1d(f"{path}.f0_conv", m.f0_conv, f0)
    x = low.concat(f"{path}.join", features, f0_features, m.f0_conv.out_channels, path)
    for k, block in enumerate(m.blocks):
        x = _adain_resblock(low, f"{path}.blocks.{k}", block, x, style, cfg)
    return x


def _snake_resblock(low: _Lowering, path: str, m, x: str, style: str, cfg) -> str:
    from .speech_nets import SnakeResBlock

    _expect(path, m, SnakeResBlock)
    for k in range(len(m.convs1)):
        h = low.adain(f"{path}.norms1.{k}", m.norms1[k], x, style, cfg.style_dim)
        h = low.activation(f"{path}.snakes1.{k}", m.snakes1[k], h)
        h = low.conv1d(f"{path}.convs1.{k}", m.convs1[k], h)
        h = low.adain(f"{path}.norms2.{k}", m.norms2[k], h, style, cfg.style_dim)
        h = low.activation(f"{path}.snakes2.{k}", m.snakes2[k], h)
        h = low.conv1d(f"{path}.convs2.{k}", m.convs2[k], h)
        x = low.add(f"{path}.add.{k}", h, x, path)
    return x


def _upsample_nearest(low: _Lowering, path: str, m, x: str) -> str:
    from torch import nn

    _expect(path, m, nn.Upsample)
    factor = m.scale_factor[0] if isinstance(m.scale_factor, tuple) else m.scale_factor
    if m.mode not in ("nearest", "nearest-exact") or factor is None or factor != int(factor):
        raise ExportError(f"module '{path}': Upsample mode '{m.mode}' scale {m.scale_factor} "
                          f"(the engine repeats positions a whole number of times)")
    return low.node("upsample_nearest1d_fp32", path, [x], scale_factor=int(factor))


def _generator(low: _Lowering, path: str, m, x: str, style: str, f0: str, cfg) -> str:
    from torch import nn

    from .speech_nets import Generator, IstftHead, SineGen

    _expect(path, m, Generator)
    src = m.source
    _expect(f"{path}.source", src, SineGen)
    f0_up = _upsample_nearest(low, f"{path}.f0_upsample", m.f0_upsample, f0)
    har = low.node("sine_gen_fp32", f"{path}.source", [f0_up], sample_rate=src.sample_rate,
                   harmonic_num=src.harmonic_num, sine_amp=src.sine_amp,
                   voiced_threshold=src.voiced_threshold, noise_std=src.noise_std,
                   upsample_scale=src.upsample_scale)
    source = low.linear(f"{path}.source_merge", m.source_merge, har)
    source = low.activation(f"{path}.source_act", m.source_act, source)

    kernels = len(cfg.resblock_kernels)
    for i, (snake, up, source_conv) in enumerate(zip(m.snakes, m.ups, m.source_convs)):
        x = low.activation(f"{path}.snakes.{i}", snake, x)
        x = low.conv_transpose1d(f"{path}.ups.{i}", up, x)
        if i == len(m.ups) - 1:
            pad = m.reflection_pad
            _expect(f"{path}.reflection_pad", pad, nn.ReflectionPad1d)
            if tuple(pad.padding) != (1, 0):
                raise ExportError(f"module '{path}.reflection_pad': padding {tuple(pad.padding)} "
                                  f"(the engine reflects one position at the start: (1, 0))")
            x = low.node("reflection_pad1d_fp32", f"{path}.reflection_pad", [x])
        s = low.conv1d(f"{path}.source_convs.{i}", source_conv, source)
        x = low.add(f"{path}.source_add.{i}", x, s, f"{path}.source_convs.{i}")
        outs = [_snake_resblock(low, f"{path}.resblocks.{j}", m.resblocks[j], x, style, cfg)
                for j in range(i * kernels, (i + 1) * kernels)]
        total = outs[0]
        for j, other in enumerate(outs[1:], 1):
            total = low.add(f"{path}.stage{i}.sum.{j}", total, other, f"{path}.resblocks")
        x = low.scale(f"{path}.stage{i}.mean", total, 1.0 / kernels, f"{path}.resblocks")

    x = low.activation(f"{path}.snake_post", m.snake_post, x)
    x = low.conv1d(f"{path}.conv_post", m.conv_post, x)
    head = m.head
    _expect(f"{path}.head", head, IstftHead)
    bins = head.n_fft // 2 + 1
    if m.conv_post.out_channels != 2 * bins:
        raise ExportError(f"module '{path}.conv_post': {m.conv_post.out_channels} channels, the "
                          f"head takes {2 * bins} (magnitudes and phases of {bins} bins)")
    mag = low.node("exp_fp32", f"{path}.head.magnitude",
                   [low.slice(f"{path}.head.magnitude_in", x, 0, bins, f"{path}.head")],
                   module=f"{path}.head")
    phase = low.node("sin_fp32", f"{path}.head.phase",
                     [low.slice(f"{path}.head.phase_in", x, bins, 2 * bins, f"{path}.head")],
                     module=f"{path}.head")
    return low.node("istft_fp32", f"{path}.head", [mag, phase], output=OUTPUT_WAVEFORM,
                    n_fft=head.n_fft, hop_size=head.hop, normalized=True)


def export_speech(model, outdir, *, name: str = "speech", example: dict | None = None,
                  int8_decoder: bool = False, progress: bool = False) -> SpeechExportInfo:
    """Write OUTDIR/NAME.json, NAME.w1x1 and NAME_example.npz (phoneme ids, style, F0 of
    `example`, or of `speech_nets.example_inputs`).

    The model takes "phonemes" (ids as float32, one per phoneme), "style" (style_dim values) and
    "f0" (Hz, one value per phoneme, or a single value for the whole utterance; another count is
    refused by the engine), and returns "waveform" (frame_hop samples per acoustic frame, at
    cfg.sample_rate) and "durations" (predicted frames per phoneme at speed 1). The model's speed
    (`InferenceModel.set_speed`) divides the durations before they are rounded. With
    int8_decoder=True the decoder's convolutions keep int8 weights (conv1d_int8)."""
    try:
        import torch  # noqa: F401
    except ImportError:
        raise ExportError("exporting needs PyTorch (pip install torch)") from None
    from .speech_nets import SpeechModel, example_inputs

    _expect("(model)", model, SpeechModel)
    cfg = model.cfg
    low = _Lowering(name, ("decoder.blocks.",) if int8_decoder else ())
    ids = low.graph.input(INPUT_IDS, shape=(0, 1))
    style = low.graph.input(INPUT_STYLE, shape=(cfg.style_dim,))
    f0 = low.graph.input(INPUT_F0, shape=(0, 1))
    was_training = model.training
    model.eval()
    try:
        text = _text_encoder(low, "encoder", model.encoder, ids, cfg)
        durations = _duration(low, "duration", model.duration, text, style, cfg)
        features, f0_frames = _regulate(low, "regulator", model.regulator, text, f0, durations,
                                        2 * model.encoder.lstm.hidden_size)
        x = _decoder(low, "decoder", model.decoder, features, f0_frames, style, cfg)
        wave = _generator(low, "generator", model.generator, x, style, f0_frames, cfg)
    finally:
        model.train(was_training)
    low.graph.output(wave, sample_rate=cfg.sample_rate)
    low.graph.output(durations)

    os.makedirs(outdir, exist_ok=True)
    arch = os.path.join(outdir, f"{name}.json")
    weights = os.path.join(outdir, f"{name}.w1x1")
    example_path = os.path.join(outdir, f"{name}_example.npz")
    low.graph.save(arch)
    w1x1.save(weights, low.tensors)
    sample = example if example is not None else example_inputs(cfg)
    np.savez(example_path, **{k: np.asarray(v, np.float32) for k, v in sample.items()})
    if progress:
        print(f"wrote {arch}, {weights}, {example_path}")
    return SpeechExportInfo(name=name, arch_path=arch, weights_path=weights,
                            example_path=example_path, sample_rate=cfg.sample_rate,
                            frame_hop=cfg.frame_hop, input_names=[ids, style, f0],
                            output_names=[wave, durations], op_counts=dict(low.ops),
                            node_modules=low.node_modules)
