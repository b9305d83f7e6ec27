"""STFT, iSTFT and the harmonic sine source through model_inference: the STFT against torch.stft
(center=True, pad_mode="replicate", the periodic Hann window, magnitudes and phases), the
normalized iSTFT against torch.istft and against the signal it came from (a spoken sentence and
noise), and SineGen against numpy evaluations of its two paths."""

import shutil
import subprocess
import wave

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")


def stft_model(make_model, n_fft, hop):
    g = Graph("stft")
    x = g.input("x", shape=(0, 1))
    g.output(g.node("stft_fp32", "stft", inputs=[x], n_fft=n_fft, hop_size=hop))
    return make_model(g)


def istft_model(make_model, n_fft, hop, normalized):
    g = Graph("istft")
    bins = n_fft // 2 + 1
    m = g.input("mag", shape=(0, bins))
    p = g.input("phase", shape=(0, bins))
    g.output(g.node("istft_fp32", "istft", inputs=[m, p], n_fft=n_fft, hop_size=hop, normalized=normalized))
    return make_model(g)


def run_stft(model, x, n_fft):
    bins = n_fft // 2 + 1
    out = model.forward(x.reshape(-1, 1)).reshape(-1, 2 * bins)
    return out[:, :bins], out[:, bins:]


def run_istft(model, mag, phase):
    return model.forward({"mag": np.ascontiguousarray(mag, np.float32),
                          "phase": np.ascontiguousarray(phase, np.float32)})["istft"]


def speech(tmp_path):
    """A sentence spoken by espeak-ng, as float32 in [-1, 1]."""
    if shutil.which("espeak-ng") is None:
        pytest.skip("espeak-ng is not installed: no speech recording to test with")
    path = tmp_path / "speech.wav"
    subprocess.run(["espeak-ng", "-w", str(path), "The quick brown fox jumps over the lazy dog."],
                   check=True, capture_output=True)
    with wave.open(str(path)) as f:
        assert f.getsampwidth() == 2
        data = np.frombuffer(f.readframes(f.getnframes()), np.int16)
    return (data[::f.getnchannels()] / 32768.0).astype(np.float32)


def signals(tmp_path):
    noise = np.random.default_rng(3).standard_normal(6000).astype(np.float32) * 0.3
    return {"speech": speech(tmp_path), "noise": noise}


@pytest.mark.parametrize("n_fft, hop", [(20, 5), (16, 4), (64, 16), (15, 5)])
@pytest.mark.parametrize("kind", ["speech", "noise"])
def test_stft_matches_torch(make_model, tmp_path, kind, n_fft, hop):
    torch = pytest.importorskip("torch")
    x = signals(tmp_path)[kind]
    mag, phase = run_stft(stft_model(make_model, n_fft, hop), x, n_fft)
    stft_out = torch.stft(torch.from_numpy(x).double(), n_fft, hop, window=torch.hann_window(n_fft, dtype=torch.float64),
                      center=True, pad_mode="replicate", return_complex=True).T.numpy()
    # For odd n_fft torch stops one frame earlier when hop divides the length; compare the frames
    # both have.
    frames = min(len(stft_out), len(mag))
    assert frames >= len(mag) - 1
    want_mag = np.abs(stft_out[:frames])
    scale = np.abs(x).max() * n_fft / 2
    np.testing.assert_allclose(mag[:frames], want_mag, atol=3e-6 * scale)
    strong = want_mag > 1e-3 * scale
    gap = np.angle(np.exp(1j * (phase[:frames] - np.angle(stft_out[:frames]))))
    assert np.abs(gap[strong]).max() < 1e-3


@pytest.mark.parametrize("n_fft, hop", [(20, 5), (16, 4), (18, 3)])
def test_istft_inverts_stft_and_matches_torch(make_model, tmp_path, n_fft, hop):
    torch = pytest.importorskip("torch")
    stft = stft_model(make_model, n_fft, hop)
    istft = istft_model(make_model, n_fft, hop, True)
    for name, x in signals(tmp_path).items():
        mag, phase = run_stft(stft, x, n_fft)
        y = run_istft(istft, mag, phase)
        assert y.shape == (hop * (len(mag) - 1),)
        inner = slice(n_fft, len(x) - n_fft)
        np.testing.assert_allclose(y[inner], x[inner], atol=2e-5, err_msg=name)

        stft_out = torch.polar(torch.from_numpy(mag).double(), torch.from_numpy(phase).double()).T
        want = torch.istft(stft_out, n_fft, hop, window=torch.hann_window(n_fft, dtype=torch.float64),
                           center=True).numpy()
        np.testing.assert_allclose(y, want, atol=2e-5, err_msg=name)


def test_istft_odd_window_round_trip(make_model, tmp_path):
    n_fft, hop = 21, 5
    x = signals(tmp_path)["speech"][:8000]
    mag, phase = run_stft(stft_model(make_model, n_fft, hop), x, n_fft)
    y = run_istft(istft_model(make_model, n_fft, hop, True), mag, phase)
    assert y.shape == (hop * (len(mag) - 1) + 1,)
    np.testing.assert_allclose(y[n_fft:len(x) - n_fft], x[n_fft:len(x) - n_fft], atol=2e-5)


def test_istft_plain_is_the_windowed_sum(make_model):
    """Without normalisation the output is the overlap-added windowed frames (Hann^2 summing to
    1.5 at hop N/4 in the interior)."""
    n_fft, hop = 16, 4
    x = np.full(400, 0.5, np.float32)
    mag, phase = run_stft(stft_model(make_model, n_fft, hop), x, n_fft)
    y = run_istft(istft_model(make_model, n_fft, hop, False), mag, phase)
    np.testing.assert_allclose(y[n_fft:-n_fft], 0.5 * 1.5, atol=1e-5)


def sine_model(make_model, **params):
    g = Graph("source")
    f0 = g.input("f0", shape=(0, 1))
    g.output(g.node("sine_gen_fp32", "src", inputs=[f0], **params))
    return make_model(g)


def f0_track(length, seed=0):
    """A pitch contour with unvoiced gaps."""
    rng = np.random.default_rng(seed)
    t = np.arange(length)
    f0 = 120 + 60 * np.sin(t / 700.0) + rng.uniform(-2, 2, length)
    f0[(t // 900) % 4 == 3] = 0.0
    return f0.astype(np.float32)


def xorshift_draws(count):
    x = 0x9E3779B97F4A7C15
    mask = (1 << 64) - 1
    out = np.empty(count, np.uint64)
    for i in range(count):
        x ^= x >> 12
        x ^= (x << 25) & mask
        x ^= x >> 27
        out[i] = ((x * 0x2545F4914F6CDD1D) & mask) >> 32
    return out


def sine_accumulated_reference(f0, rate, harmonics, amp, threshold, noise_std):
    H = harmonics + 1
    inc = f0.astype(np.float64) * (1.0 / rate)
    phase = np.zeros(H)
    mult = np.arange(1, H + 1, dtype=np.float64)
    out = np.zeros((len(f0), H), np.float32)
    for i in range(len(f0)):
        phase = inc[i] * mult + phase
        phase -= np.trunc(phase)
        if f0[i] > threshold:
            out[i] = np.float32(amp) * np.sin(2 * np.pi * phase).astype(np.float32)
    if noise_std > 0:
        draws = xorshift_draws(2 * out.size).reshape(-1, 2).astype(np.float32)
        u1 = draws[:, 0] * np.float32(2.0 ** -32)
        angle = draws[:, 1] * np.float32(1.4629181e-09)
        z = (np.sqrt(np.float32(-2) * np.log(np.maximum(u1, np.float32(1e-7)))) * np.cos(angle)).reshape(out.shape)
        voiced = (f0 > threshold)[:, None]
        level = np.where(voiced, np.float32(noise_std), np.float32(amp) * np.float32(0.33333334))
        out = (out.astype(np.float64) + z.astype(np.float64) * level).astype(np.float32)
    return out


def sine_upsampled_reference(f0, rate, harmonics, amp, threshold, U):
    """Float32 throughout, as the layer computes it."""
    f32 = np.float32
    L, H = len(f0), harmonics + 1
    K = L // U
    out = np.zeros((L, H), f32)
    inv_rate = f32(1.0 / rate)
    q = np.arange(K, dtype=f32)
    pos = f32(U) * (q + f32(0.5)) - f32(0.5)
    lo = np.floor(pos)
    frac = pos - lo
    i0 = np.clip(lo.astype(np.int64), 0, L - 1)
    i1 = np.clip(lo.astype(np.int64) + 1, 0, L - 1)
    i = np.arange(L, dtype=f32)
    upos = (i + f32(0.5)) / f32(U) - f32(0.5)
    ulo = np.floor(upos)
    ufrac = upos - ulo
    j0 = np.clip(ulo.astype(np.int64), 0, K - 1)
    j1 = np.clip(ulo.astype(np.int64) + 1, 0, K - 1)
    voiced = f0 > threshold
    for k in range(H):
        r = np.fmod(f0 * (f32(k + 1) * inv_rate), f32(1))
        r = np.where(r < 0, r + f32(1), r).astype(f32)
        down = (f32(1) - frac) * r[i0] + frac * r[i1]
        c = np.add.accumulate(down, dtype=f32)
        cu = (f32(1) - ufrac) * c[j0] + ufrac * c[j1]
        arg = (2 * np.pi * (f32(U) * cu).astype(np.float64)).astype(f32)
        out[:, k] = np.where(voiced, f32(amp) * np.sin(arg), f32(0))
    return out


@pytest.mark.parametrize("noise_std", [0.0, 0.003])
def test_sine_gen_phase_accumulation(make_model, noise_std):
    f0 = f0_track(4000)
    model = sine_model(make_model, sample_rate=24000, harmonic_num=8, sine_amp=0.1, voiced_threshold=10.0,
                       noise_std=noise_std)
    got = model.forward(f0.reshape(-1, 1)).reshape(-1, 9)
    np.testing.assert_array_equal(got, model.forward(f0.reshape(-1, 1)).reshape(-1, 9))
    want = sine_accumulated_reference(f0, 24000, 8, 0.1, 10.0, noise_std)
    np.testing.assert_allclose(got, want, atol=2e-6)


def test_sine_gen_upsampled_path(make_model):
    U = 300
    f0 = f0_track(U * 40 + 17, seed=1)
    model = sine_model(make_model, sample_rate=24000, harmonic_num=8, sine_amp=0.1, voiced_threshold=10.0,
                       upsample_scale=U, noise_std=0.5)  # noise belongs to the other path only
    got = model.forward(f0.reshape(-1, 1)).reshape(-1, 9)
    want = sine_upsampled_reference(f0, 24000, 8, 0.1, 10.0, U)
    # sin of the same float32 argument; the C library and numpy may differ by an ulp.
    np.testing.assert_allclose(got, want, atol=1e-7)
