"""A text-to-speech-shaped reference network in plain torch.nn: phoneme ids, a style vector and a
pitch track in, a 24 kHz waveform out. The acoustic stage (text encoder, bidirectional LSTM,
duration predictor, length regulation, style-conditioned decoder) feeds a vocoder (transposed-
convolution upsampling with snake activations, dilated residual blocks, a harmonic sine source and
an inverse-STFT head). Weights are random (seeded); the network exists to be exported and timed.

The pieces torch has no exact counterpart for are written here as the engine computes them, and
the forward pass uses them, so the engine and this module define the same function:

- `length_regulate`: repeat counts max(1, round-half-away(d * scale)) with scale = float32(1 /
  speed). torch.round rounds halves to even, and repeat_interleave takes no rounding at all.
- `sine_source`: harmonic phases from F0, wrapped to [0, 1), averaged down to the frame rate by
  linear interpolation, summed in float32 order, read back at the sample rate. torch.cumsum on
  the CPU accumulates float32 in double and F.interpolate clamps differently at the edges, so the
  sums are taken in plain float32 order with numpy.
- `istft`: the windowed inverse DFT with overlap-add, divided by the window's squared envelope
  (where it exceeds 1e-8), half a window trimmed at each end. For even n_fft this is what
  torch.istft(center=True) computes; torch.istft refuses frames whose envelope falls below
  1e-11 instead of writing 0 there, and for odd n_fft it drops the imaginary part of the last bin,
  as the engine does not.
- Phoneme ids are clamped to the table, as the engine's embedding does; nn.Embedding raises.

Layout: batch of one, (1, C, T) for convolutions, as torch.nn expects."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import torch
import torch.nn.functional as F
from torch import nn


@dataclass(frozen=True)
class SpeechConfig:
    vocab: int = 100  # phoneme table
    width: int = 128  # text encoder channels
    style_dim: int = 64
    text_kernel: int = 5
    text_layers: int = 3
    lstm_hidden: int = 64  # per direction
    f0_channels: int = 32
    decoder_channels: tuple[int, ...] = (256, 256, 128)
    sample_rate: int = 24000
    upsample_rates: tuple[int, ...] = (10, 6)
    upsample_channels: tuple[int, ...] = (64, 32)
    resblock_kernels: tuple[int, ...] = (3, 7, 11)
    resblock_dilations: tuple[int, ...] = (1, 3, 5)
    n_fft: int = 20
    hop: int = 5
    harmonic_num: int = 8
    sine_amp: float = 0.1
    voiced_threshold: float = 10.0
    frames_per_phoneme: float = 4.5  # where the duration predictor is centred at speed 1

    @property
    def frame_hop(self) -> int:
        """Waveform samples per acoustic frame."""
        return self.hop * math.prod(self.upsample_rates)


def _f32(x: float) -> float:
    return float(np.float32(x))


# ---- the engine-specific pieces, as the engine computes them ----

def round_half_away(x: torch.Tensor) -> torch.Tensor:
    """Round to nearest, halves away from zero, exactly (no x + 0.5 shortcut)."""
    t = torch.trunc(x)
    return t + torch.sign(x) * ((x - t).abs() >= 0.5).to(x.dtype)


def repeat_counts(durations: torch.Tensor, speed: float = 1.0) -> torch.Tensor:
    """Frames per phoneme: max(1, round-half-away(d * scale)), scale = float32(1 / speed)."""
    scale = _f32(1.0 / np.float32(speed))
    if not scale > 0:
        scale = 1.0
    scaled = durations.float() * torch.tensor(scale, dtype=torch.float32)
    return round_half_away(scaled).clamp(min=1).to(torch.int64)


def length_regulate(features: torch.Tensor, durations: torch.Tensor, speed: float = 1.0) -> torch.Tensor:
    """(1, C, T) features and T durations to (1, C, sum of repeat counts)."""
    counts = repeat_counts(durations.reshape(-1), speed)
    return torch.repeat_interleave(features, counts, dim=2)


def sine_source(f0: torch.Tensor, cfg: SpeechConfig, upsample_scale: int) -> torch.Tensor:
    """Harmonics 1..harmonic_num+1 of a sample-rate F0 track (L,), as (L, harmonic_num + 1):
    phase increments wrapped to [0, 1), linearly interpolated down by `upsample_scale`, summed,
    read back at the sample rate; sine_amp * sin(2 pi U c) where F0 > voiced_threshold, else 0."""
    x = f0.detach().reshape(-1).numpy().astype(np.float32)
    length, u = x.size, upsample_scale
    harmonics = cfg.harmonic_num + 1
    inv_rate = np.float32(1.0 / cfg.sample_rate)
    steps = np.float32(np.arange(1, harmonics + 1, dtype=np.float32) * inv_rate)
    r = np.fmod(x[:, None] * steps[None, :], np.float32(1.0))
    r = np.where(r < 0, r + np.float32(1.0), r).astype(np.float32)
    k = length // u
    out = np.zeros((length, harmonics), np.float32)
    if k == 0:
        return torch.from_numpy(out)

    def lerp(table: np.ndarray, pos: np.ndarray, last: int) -> np.ndarray:
        lo = np.floor(pos)
        frac = (pos - lo).astype(np.float32)[:, None]
        i0 = np.clip(lo.astype(np.int64), 0, last)
        i1 = np.clip(lo.astype(np.int64) + 1, 0, last)
        a, b = table[i0], table[i1]
        return (a + (b - a) * frac).astype(np.float32)

    down_pos = (np.float32(u) * (np.arange(k, dtype=np.float32) + np.float32(0.5))
                - np.float32(0.5)).astype(np.float32)
    down = lerp(r, down_pos, length - 1)
    cum = np.cumsum(down, axis=0, dtype=np.float32)  # sequential float32 sums
    up_pos = ((np.arange(length, dtype=np.float32) + np.float32(0.5)) / np.float32(u)
              - np.float32(0.5)).astype(np.float32)
    c = lerp(cum, up_pos, k - 1)
    phase = (2.0 * np.pi * (np.float32(u) * c).astype(np.float64)).astype(np.float32)
    sines = np.float32(cfg.sine_amp) * np.sin(phase)
    voiced = x > np.float32(cfg.voiced_threshold)
    out[voiced] = sines[voiced]
    return torch.from_numpy(out)


def hann(n: int) -> torch.Tensor:
    """The periodic Hann window in float32: 0.5 - 0.5 cos(2 pi k / n)."""
    k = torch.arange(n, dtype=torch.float32)
    return 0.5 - 0.5 * torch.cos(k * (2 * math.pi / n))


def istft(magnitude: torch.Tensor, phase: torch.Tensor, n_fft: int, hop: int) -> torch.Tensor:
    """(1, F, T) magnitudes and phases to hop * (T - 1) samples (one more for odd n_fft):
    windowed inverse DFT of every frame, overlap-added, divided by the squared-window envelope
    where it exceeds 1e-8 (0 elsewhere), half a window trimmed at each end. Odd n_fft keeps every
    bin above 0 as a conjugate pair (the true inverse)."""
    m = magnitude[0].double().T  # (T, F)
    p = phase[0].double().T
    frames, bins = m.shape
    half = n_fft // 2
    n = torch.arange(n_fft, dtype=torch.float64)
    j = torch.arange(bins, dtype=torch.float64)
    weight = torch.full((bins,), 2.0, dtype=torch.float64)
    weight[0] = 1.0
    if n_fft % 2 == 0:
        weight[half] = 1.0
    angle = (2 * math.pi / n_fft) * n[None, :, None] * j[None, None, :] + p[:, None, :]
    signal = (weight * m[:, None, :] * torch.cos(angle)).sum(-1) / n_fft  # (T, N)
    window = hann(n_fft).double()
    total = n_fft + hop * (frames - 1)
    where = (torch.arange(frames)[:, None] * hop + torch.arange(n_fft)[None, :]).reshape(-1)
    buffer = torch.zeros(total, dtype=torch.float64).index_add_(0, where, (signal * window).reshape(-1))
    envelope = torch.zeros(total, dtype=torch.float64).index_add_(
        0, where, (window * window).expand(frames, n_fft).reshape(-1))
    out = buffer[half: total - half]
    env = envelope[half: total - half]
    out = torch.where(env > 1e-8, out / torch.where(env > 1e-8, env, 1.0), torch.zeros_like(out))
    return out.float()


# ---- modules ----

class Snake(nn.Module):
    """x + sin(alpha x)^2 / (alpha + 1e-9), one alpha per channel; input (1, C, T)."""

    def __init__(self, channels: int):
        super().__init__()
        self.alpha = nn.Parameter(torch.ones(channels))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        a = self.alpha[None, :, None]
        return x + (1.0 / (a + 1e-9)) * torch.sin(a * x) ** 2


class AdaIN1d(nn.Module):
    """Instance normalisation over time, scaled and shifted by a projection of the style."""

    def __init__(self, channels: int, style_dim: int):
        super().__init__()
        self.norm = nn.InstanceNorm1d(channels, affine=True)
        self.fc = nn.Linear(style_dim, 2 * channels)

    def forward(self, x: torch.Tensor, style: torch.Tensor) -> torch.Tensor:
        gamma, beta = self.fc(style).reshape(1, -1, 1).chunk(2, dim=1)
        return (1 + gamma) * self.norm(x) + beta


class AdaLayerNorm(nn.Module):
    """Layer normalisation over channels, scaled and shifted by a projection of the style;
    input (1, T, C)."""

    def __init__(self, channels: int, style_dim: int, eps: float = 1e-5):
        super().__init__()
        self.channels, self.eps = channels, eps
        self.fc = nn.Linear(style_dim, 2 * channels)

    def forward(self, x: torch.Tensor, style: torch.Tensor) -> torch.Tensor:
        gamma, beta = self.fc(style).reshape(1, 1, -1).chunk(2, dim=-1)
        return (1 + gamma) * F.layer_norm(x, (self.channels,), eps=self.eps) + beta


class LengthRegulator(nn.Module):
    """Repeats every position of (1, C, T) by its duration times 1 / speed (see length_regulate)."""

    def forward(self, x: torch.Tensor, durations: torch.Tensor, speed: float = 1.0) -> torch.Tensor:
        return length_regulate(x, durations, speed)


class SineGen(nn.Module):
    """The harmonic source of a sample-rate F0 track: (1, 1, L) Hz to (1, L, harmonic_num + 1)."""

    def __init__(self, cfg: SpeechConfig, upsample_scale: int):
        super().__init__()
        self.sample_rate, self.harmonic_num = cfg.sample_rate, cfg.harmonic_num
        self.sine_amp, self.voiced_threshold = cfg.sine_amp, cfg.voiced_threshold
        self.upsample_scale, self.noise_std = upsample_scale, 0.0
        self._cfg = cfg

    def forward(self, f0: torch.Tensor) -> torch.Tensor:
        return sine_source(f0, self._cfg, self.upsample_scale)[None]


class IstftHead(nn.Module):
    """Magnitude exp(x[:F]) and phase sin(x[F:]) of a (1, 2F, T) tensor to a waveform (L,)."""

    def __init__(self, n_fft: int, hop: int):
        super().__init__()
        self.n_fft, self.hop = n_fft, hop

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        bins = self.n_fft // 2 + 1
        magnitude, phase = torch.exp(x[:, :bins]), torch.sin(x[:, bins:])
        if self.n_fft % 2:
            return istft(magnitude, phase, self.n_fft, self.hop)
        # For even n_fft the built-in computes the same inverse (see `istft`).
        frames = torch.polar(magnitude, phase)
        return torch.istft(frames, self.n_fft, self.hop, window=hann(self.n_fft), center=True)[0]


class TextEncoder(nn.Module):
    def __init__(self, cfg: SpeechConfig):
        super().__init__()
        self.embedding = nn.Embedding(cfg.vocab, cfg.width)
        pad = cfg.text_kernel // 2
        self.convs = nn.ModuleList(nn.Conv1d(cfg.width, cfg.width, cfg.text_kernel, padding=pad)
                                   for _ in range(cfg.text_layers))
        self.norms = nn.ModuleList(nn.LayerNorm(cfg.width) for _ in range(cfg.text_layers))
        self.act = nn.LeakyReLU(0.2)
        self.lstm = nn.LSTM(cfg.width, cfg.width // 2, batch_first=True, bidirectional=True)

    def forward(self, ids: torch.Tensor) -> torch.Tensor:
        ids = ids.reshape(-1).long().clamp(0, self.embedding.num_embeddings - 1)
        x = self.embedding(ids)[None].transpose(1, 2)  # (1, C, T)
        for conv, norm in zip(self.convs, self.norms):
            x = self.act(norm(conv(x).transpose(1, 2)).transpose(1, 2))
        return self.lstm(x.transpose(1, 2))[0].transpose(1, 2)  # (1, C, T)


class DurationPredictor(nn.Module):
    """Frames per phoneme from the encoded text and the style: positive, through exp."""

    def __init__(self, cfg: SpeechConfig):
        super().__init__()
        self.lstm = nn.LSTM(cfg.width + cfg.style_dim, cfg.lstm_hidden, batch_first=True,
                            bidirectional=True)
        self.norm = AdaLayerNorm(2 * cfg.lstm_hidden, cfg.style_dim)
        self.proj = nn.Conv1d(2 * cfg.lstm_hidden, 1, 1)

    def forward(self, text: torch.Tensor, style: torch.Tensor) -> torch.Tensor:
        t = text.shape[2]
        x = torch.cat([text, style.reshape(1, -1, 1).expand(1, -1, t)], dim=1)
        x = self.norm(self.lstm(x.transpose(1, 2))[0], style)
        return torch.exp(self.proj(x.transpose(1, 2)))  # (1, 1, T)


class AdaINResBlock(nn.Module):
    """Style-conditioned residual block of the decoder: AdaIN, leaky ReLU, convolution, twice,
    plus a shortcut, scaled by 1/sqrt(2)."""

    def __init__(self, c_in: int, c_out: int, style_dim: int):
        super().__init__()
        self.norm1 = AdaIN1d(c_in, style_dim)
        self.conv1 = nn.Conv1d(c_in, c_out, 3, padding=1)
        self.norm2 = AdaIN1d(c_out, style_dim)
        self.conv2 = nn.Conv1d(c_out, c_out, 3, padding=1)
        self.act = nn.LeakyReLU(0.2)
        self.shortcut = nn.Conv1d(c_in, c_out, 1, bias=False) if c_in != c_out else None

    def forward(self, x: torch.Tensor, style: torch.Tensor) -> torch.Tensor:
        h = self.conv1(self.act(self.norm1(x, style)))
        h = self.conv2(self.act(self.norm2(h, style)))
        skip = self.shortcut(x) if self.shortcut is not None else x
        return (h + skip) * (1 / math.sqrt(2))


class Decoder(nn.Module):
    def __init__(self, cfg: SpeechConfig):
        super().__init__()
        self.f0_conv = nn.Conv1d(1, cfg.f0_channels, 3, padding=1)
        channels = (cfg.width + cfg.f0_channels,) + tuple(cfg.decoder_channels)
        self.blocks = nn.ModuleList(AdaINResBlock(a, b, cfg.style_dim)
                                    for a, b in zip(channels[:-1], channels[1:]))

    def forward(self, features: torch.Tensor, f0: torch.Tensor, style: torch.Tensor) -> torch.Tensor:
        x = torch.cat([features, self.f0_conv(f0)], dim=1)
        for block in self.blocks:
            x = block(x, style)
        return x


class SnakeResBlock(nn.Module):
    """Vocoder residual block: per dilation, AdaIN, snake, dilated convolution, AdaIN, snake,
    convolution, added to the input."""

    def __init__(self, channels: int, kernel: int, dilations: tuple[int, ...], style_dim: int):
        super().__init__()
        self.convs1 = nn.ModuleList(nn.Conv1d(channels, channels, kernel, dilation=d,
                                              padding=d * (kernel - 1) // 2) for d in dilations)
        self.convs2 = nn.ModuleList(nn.Conv1d(channels, channels, kernel, padding=(kernel - 1) // 2)
                                    for _ in dilations)
        self.norms1 = nn.ModuleList(AdaIN1d(channels, style_dim) for _ in dilations)
        self.norms2 = nn.ModuleList(AdaIN1d(channels, style_dim) for _ in dilations)
        self.snakes1 = nn.ModuleList(Snake(channels) for _ in dilations)
        self.snakes2 = nn.ModuleList(Snake(channels) for _ in dilations)

    def forward(self, x: torch.Tensor, style: torch.Tensor) -> torch.Tensor:
        for c1, c2, n1, n2, a1, a2 in zip(self.convs1, self.convs2, self.norms1, self.norms2,
                                          self.snakes1, self.snakes2):
            h = c1(a1(n1(x, style)))
            h = c2(a2(n2(h, style)))
            x = h + x
        return x


class Generator(nn.Module):
    """Decoder features (1, C, F), style and frame-rate F0 (1, 1, F) to frame_hop * F samples."""

    def __init__(self, cfg: SpeechConfig):
        super().__init__()
        self.cfg = cfg
        frame_hop = cfg.frame_hop
        self.f0_upsample = nn.Upsample(scale_factor=frame_hop, mode="nearest")
        self.source = SineGen(cfg, frame_hop)
        self.source_merge = nn.Linear(cfg.harmonic_num + 1, 1)
        self.source_act = nn.Tanh()
        c_in = cfg.decoder_channels[-1]
        self.snakes = nn.ModuleList()
        self.ups = nn.ModuleList()
        self.source_convs = nn.ModuleList()
        self.resblocks = nn.ModuleList()
        for i, (rate, c_out) in enumerate(zip(cfg.upsample_rates, cfg.upsample_channels)):
            self.snakes.append(Snake(c_in))
            self.ups.append(nn.ConvTranspose1d(c_in, c_out, 2 * rate, stride=rate, padding=rate // 2))
            # The source, at the sample rate, strided down to this stage's frame rate; the last
            # stage gains one frame from the reflection pad.
            stride = cfg.hop * math.prod(cfg.upsample_rates[i + 1:])
            last = i == len(cfg.upsample_rates) - 1
            self.source_convs.append(nn.Conv1d(1, c_out, 2 * stride, stride=stride,
                                               padding=stride if last else stride // 2))
            for k in cfg.resblock_kernels:
                self.resblocks.append(SnakeResBlock(c_out, k, cfg.resblock_dilations, cfg.style_dim))
            c_in = c_out
        self.reflection_pad = nn.ReflectionPad1d((1, 0))
        self.snake_post = Snake(c_in)
        self.conv_post = nn.Conv1d(c_in, cfg.n_fft + 2, 7, padding=3)
        self.head = IstftHead(cfg.n_fft, cfg.hop)

    def harmonic_source(self, f0: torch.Tensor) -> torch.Tensor:
        har = self.source(self.f0_upsample(f0))  # (1, L, H)
        return self.source_act(self.source_merge(har)).transpose(1, 2)  # (1, 1, L)

    def forward(self, x: torch.Tensor, style: torch.Tensor, f0: torch.Tensor) -> torch.Tensor:
        source = self.harmonic_source(f0)
        kernels = len(self.cfg.resblock_kernels)
        for i, (snake, up, source_conv) in enumerate(zip(self.snakes, self.ups, self.source_convs)):
            x = up(snake(x))
            if i == len(self.ups) - 1:
                x = self.reflection_pad(x)
            x = x + source_conv(source)
            blocks = self.resblocks[i * kernels:(i + 1) * kernels]
            total = blocks[0](x, style)
            for block in blocks[1:]:
                total = total + block(x, style)
            x = total * (1.0 / kernels)
        return self.head(self.conv_post(self.snake_post(x)))


class SpeechModel(nn.Module):
    """Phoneme ids (T,), a style vector (style_dim,) and a pitch track in Hz with one value per
    phoneme (T,), or one value for the whole utterance, to a waveform of frame_hop samples per
    acoustic frame. F0 at or below voiced_threshold marks a phoneme unvoiced."""

    def __init__(self, cfg: SpeechConfig = SpeechConfig()):
        super().__init__()
        self.cfg = cfg
        self.encoder = TextEncoder(cfg)
        self.duration = DurationPredictor(cfg)
        self.regulator = LengthRegulator()
        self.decoder = Decoder(cfg)
        self.generator = Generator(cfg)

    def durations(self, ids: torch.Tensor, style: torch.Tensor) -> torch.Tensor:
        """Predicted frames per phoneme at speed 1, unrounded: (T,)."""
        return self.duration(self.encoder(ids), style.reshape(-1)).reshape(-1)

    def acoustic(self, ids: torch.Tensor, style: torch.Tensor, f0: torch.Tensor,
                 speed: float = 1.0) -> tuple[torch.Tensor, torch.Tensor]:
        """Decoder features (1, C, F) and the frame-rate F0 (1, 1, F)."""
        style = style.reshape(-1)
        text = self.encoder(ids)
        durations = self.duration(text, style)
        t = text.shape[2]
        f0 = f0.reshape(1, 1, -1).float().expand(1, 1, t) if f0.numel() == 1 else f0.reshape(1, 1, -1).float()
        frames = self.regulator(torch.cat([text, f0], dim=1), durations, speed)
        features, f0_frames = frames[:, :-1], frames[:, -1:]
        return self.decoder(features, f0_frames, style), f0_frames

    def forward(self, ids: torch.Tensor, style: torch.Tensor, f0: torch.Tensor,
                speed: float = 1.0) -> torch.Tensor:
        features, f0_frames = self.acoustic(ids, style, f0, speed)
        return self.generator(features, style.reshape(-1), f0_frames)


def build_speech_model(cfg: SpeechConfig = SpeechConfig(), seed: int = 0) -> SpeechModel:
    """A SpeechModel with seeded random weights scaled so that signals keep a sensible range:
    snake slopes spread around 1, durations near `frames_per_phoneme`, a waveform within about
    +-1, pitch entering the decoder in hundreds of Hz."""
    torch.manual_seed(seed)
    model = SpeechModel(cfg).eval()
    g = torch.Generator().manual_seed(seed + 1)
    with torch.no_grad():
        for module in model.modules():
            if isinstance(module, Snake):
                module.alpha.copy_(0.5 + torch.rand(module.alpha.shape, generator=g))
            elif isinstance(module, AdaIN1d):
                module.norm.weight.copy_(1 + 0.1 * torch.randn(module.norm.weight.shape, generator=g))
                module.norm.bias.normal_(0, 0.1, generator=g)
        # Centre the log-durations of a sample utterance on frames_per_phoneme.
        proj = model.duration.proj
        proj.weight.mul_(2.0)
        model.duration.norm.fc.weight.mul_(0.2)  # the style shifts durations, not by orders
        sample = example_inputs(cfg, seed=seed)
        logs = torch.log(model.durations(torch.from_numpy(sample["phonemes"]),
                                         torch.from_numpy(sample["style"])))
        proj.bias.add_(math.log(cfg.frames_per_phoneme) - float(logs.mean()))
        model.decoder.f0_conv.weight.mul_(1 / 200)
        model.generator.conv_post.weight.mul_(0.2)
        model.generator.conv_post.bias[: cfg.n_fft // 2 + 1].fill_(1.0)
    return model


def example_inputs(cfg: SpeechConfig = SpeechConfig(), phonemes: int = 88,
                   seed: int = 0) -> dict[str, np.ndarray]:
    """Random phoneme ids, a style vector and a pitch contour (one value per phoneme, a few
    unvoiced phonemes at 0 Hz), as float32 arrays named like the exported model's inputs."""
    rng = np.random.default_rng(seed)
    ids = rng.integers(0, cfg.vocab, size=phonemes).astype(np.float32)
    style = (0.3 * rng.standard_normal(cfg.style_dim)).astype(np.float32)
    f0 = (140 + 40 * np.sin(np.linspace(0, 3 * np.pi, phonemes))).astype(np.float32)
    f0[rng.random(phonemes) < 0.15] = 0.0
    return {"phonemes": ids, "style": style, "f0": f0}


__all__ = ["AdaIN1d", "AdaINResBlock", "AdaLayerNorm", "Decoder", "DurationPredictor", "Generator",
           "IstftHead", "LengthRegulator", "SineGen", "Snake", "SnakeResBlock", "SpeechConfig",
           "SpeechModel", "TextEncoder", "build_speech_model", "example_inputs", "hann", "istft",
           "length_regulate", "repeat_counts", "round_half_away", "sine_source"]
