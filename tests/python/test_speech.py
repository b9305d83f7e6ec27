"""The text-to-speech reference network: its engine-specific pieces against direct formulas, its
export, the exported model against torch end to end, bad inputs, and the CLI's waveform output."""

import json
import math

import numpy as np
import pytest

torch = pytest.importorskip("torch")
from torch import nn  # noqa: E402

from trevalon import audio, cli  # noqa: E402
from trevalon.arch import read_arch  # noqa: E402
from trevalon.export import ExportError  # noqa: E402
from trevalon.export import speech_nets as sn  # noqa: E402
from trevalon.export.speech import export_speech  # noqa: E402
from trevalon.graph import Graph  # noqa: E402

torch.set_num_threads(1)  # the machine is shared; the comparisons do not need threads

# Narrow enough for a quick test, with every kind of layer of the full network (the 3/7/11-tap
# dilated residual blocks included).
SMALL = sn.SpeechConfig(vocab=40, width=32, style_dim=16, text_layers=2, lstm_hidden=12,
                        f0_channels=8, decoder_channels=(48, 32), upsample_channels=(24, 12))


def small_model(seed=0):
    return sn.build_speech_model(SMALL, seed=seed)


def torch_waveform(model, inputs, speed=1.0):
    with torch.no_grad():
        return model(*(torch.from_numpy(inputs[k]) for k in ("phonemes", "style", "f0")),
                     speed=speed).numpy()


# ---- the engine-specific pieces ----

def test_repeat_counts_round_half_away_and_keep_at_least_one_frame():
    d = torch.tensor([0.2, 1.4, 2.5, 3.5, 0.0])
    assert sn.repeat_counts(d).tolist() == [1, 1, 3, 4, 1]  # torch.round gives 2 and 4
    assert sn.repeat_counts(d, speed=2.0).tolist() == [1, 1, 1, 2, 1]
    x = torch.arange(6.0).reshape(1, 2, 3)
    out = sn.length_regulate(x, torch.tensor([1.0, 2.6, 0.1]))
    assert out.tolist() == [[[0, 1, 1, 1, 2], [3, 4, 4, 4, 5]]]


def test_istft_reference_is_torch_istft_for_even_n_and_a_true_inverse_for_odd_n():
    g = torch.Generator().manual_seed(0)
    x = torch.randn(1, 22, 40, generator=g)
    head = sn.IstftHead(20, 5)
    ours = sn.istft(torch.exp(x[:, :11]), torch.sin(x[:, 11:]), 20, 5)
    np.testing.assert_allclose(ours.numpy(), head(x).numpy(), atol=2e-6 * float(ours.abs().max()))
    assert ours.numel() == 5 * 39

    signal = torch.randn(300, generator=g)
    for n_fft in (20, 21):
        stft_out = torch.stft(signal, n_fft, 5, window=sn.hann(n_fft), center=True,
                          pad_mode="constant", return_complex=True)[None]
        back = sn.istft(stft_out.abs(), stft_out.angle(), n_fft, 5)
        assert back.numel() == 5 * (stft_out.shape[2] - 1) + n_fft % 2
        np.testing.assert_allclose(back[20:280].numpy(), signal[20:280].numpy(), atol=1e-5)


def test_sine_source_follows_the_phase_of_a_steady_pitch():
    cfg, u, f0 = SMALL, 300, 150.0
    track = torch.full((9 * u,), f0)
    har = sn.sine_source(track, cfg, u).numpy()
    assert har.shape == (9 * u, cfg.harmonic_num + 1)
    track[:u] = 10.0  # at or below the threshold: silent
    assert not sn.sine_source(track, cfg, u).numpy()[:u].any()
    # Interior samples read the cumulative phase at (i + 0.5) / U - 0.5 frames, which is
    # (i + 0.5 + U/2) per-sample increments for a steady pitch.
    i = np.arange(3 * u, 7 * u)
    k = np.arange(1, cfg.harmonic_num + 2)
    expected = cfg.sine_amp * np.sin(2 * np.pi * (i[:, None] + 0.5 + u / 2) * f0 * k / cfg.sample_rate)
    np.testing.assert_allclose(har[i], expected, atol=2e-4)
    assert not sn.sine_source(torch.full((u - 1,), f0), cfg, u).numpy().any()  # under one frame


# ---- the export ----

def test_export_writes_the_graph_the_weights_and_an_example(tmp_path):
    model = small_model()
    info = export_speech(model, tmp_path, name="tts")
    arch = read_arch(info.arch_path)
    assert [i.name for i in arch.inputs] == ["phonemes", "style", "f0"]
    assert arch.output_names == ["waveform", "durations"]
    assert arch.output_audio == {"waveform": SMALL.sample_rate}
    root = json.loads(open(info.arch_path).read())
    assert root["outputs"][0] == {"name": "waveform", "sample_rate": SMALL.sample_rate}
    ops = {n.name: n for n in arch.nodes}
    dilated = ops["generator.resblocks.1.convs1.2"]
    assert dilated.op == "conv1d_fp32" and dilated.params["kernel_size"] == 7
    assert dilated.params["dilation"] == 5 and dilated.params["padding"] == 15
    assert ops["generator.head"].params == {"n_fft": 20, "hop_size": 5, "normalized": True}
    assert ops["generator.source"].params["upsample_scale"] == SMALL.frame_hop
    assert ops["regulator"].inputs == ["regulator.join_f0", "durations"]

    from trevalon import w1x1
    tensors = w1x1.load(info.weights_path)
    conv = model.generator.resblocks[1].convs1[2]
    np.testing.assert_array_equal(tensors["generator.resblocks.1.convs1.2.weight"], conv.weight.detach())
    assert tensors["encoder.lstm.weight_hh_l0_reverse"].shape == (4 * 16, 16)
    for suffix in (".fc.weight", ".fc.bias", ".norm.weight", ".norm.bias"):
        assert "decoder.blocks.0.norm1" + suffix in tensors
    example = np.load(info.example_path)
    assert sorted(example.files) == ["f0", "phonemes", "style"]
    assert info.frame_hop == 300


@pytest.mark.parametrize("where, replacement, named", [
    ("encoder.lstm", lambda m: nn.GRU(32, 16, batch_first=True, bidirectional=True), "encoder.lstm"),
    ("encoder.act", lambda m: nn.GELU(), "encoder.act"),
    ("generator.ups.0", lambda m: nn.ConvTranspose1d(32, 24, 20, 10, 5, dilation=2),
     "generator.ups.0"),
    ("decoder.blocks.0.norm1.norm", lambda m: nn.InstanceNorm1d(40, affine=True, track_running_stats=True),
     "decoder.blocks.0.norm1.norm"),
    ("generator.reflection_pad", lambda m: nn.ReflectionPad1d((2, 0)), "generator.reflection_pad"),
])
def test_modules_the_engine_cannot_run_are_named_in_one_line(tmp_path, where, replacement, named):
    model = small_model()
    parent, attr = model.get_submodule(where.rsplit(".", 1)[0]), where.rsplit(".", 1)[1]
    setattr(parent, attr, replacement(model))
    with pytest.raises(ExportError) as e:
        export_speech(model, tmp_path)
    assert f"module '{named}'" in str(e.value) and "\n" not in str(e.value)


# ---- the exported model against torch ----

@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    mi = pytest.importorskip("model_inference")
    model = small_model()
    info = export_speech(model, tmp_path_factory.mktemp("tts"))
    engine = mi.InferenceModel(info.arch_path, info.weights_path)
    return model, info, engine


@pytest.fixture(scope="module")
def direct_engine(exported):
    """The exported model with its 11-tap convolutions on the direct path."""
    import os

    import model_inference as mi
    saved = os.environ.get("BRASKO_FP32_CONV1D_DIRECT")
    os.environ["BRASKO_FP32_CONV1D_DIRECT"] = "11"
    try:
        return mi.InferenceModel(exported[1].arch_path, exported[1].weights_path)
    finally:
        if saved is None:
            del os.environ["BRASKO_FP32_CONV1D_DIRECT"]
        else:
            os.environ["BRASKO_FP32_CONV1D_DIRECT"] = saved


def engine_forward(engine, inputs):
    try:
        return engine.forward(dict(inputs))
    except RuntimeError as e:
        if str(e).startswith("No layer for"):
            pytest.skip(f"this build of the engine lacks a speech layer ({e})")
        raise


def inputs_for(phonemes, seed=1):
    return sn.example_inputs(SMALL, phonemes=phonemes, seed=seed)


# Largest error on the waveform, relative to its peak: the 11-tap convolutions' Winograd F(2,11)
# path costs about 1e-2 of the output's range through the vocoder's 18 such layers (measured
# 1.2e-2); with those on the direct path the model follows torch to about 1e-4 (measured 8e-5,
# most of it from the sine source's float32 phases).
WAVEFORM_TOLERANCE = {"winograd": 3e-2, "direct": 4e-4}


@pytest.mark.parametrize("path", ["winograd", "direct"])
@pytest.mark.parametrize("speed", [1.0, 2.0])
def test_waveform_matches_torch(exported, direct_engine, speed, path):
    model, info, engine = exported
    engine = direct_engine if path == "direct" else engine
    inputs = inputs_for(24)
    engine.set_speed(speed)
    try:
        out = engine_forward(engine, inputs)
    finally:
        engine.set_speed(1.0)
    ref = torch_waveform(model, inputs, speed)
    with torch.no_grad():
        durations = model.durations(torch.from_numpy(inputs["phonemes"]),
                                    torch.from_numpy(inputs["style"]))
    np.testing.assert_allclose(out["durations"], durations.numpy(), rtol=2e-5)
    frames = int(sn.repeat_counts(durations, speed).sum())
    assert out["waveform"].size == ref.size == frames * SMALL.frame_hop
    err = np.abs(out["waveform"] - ref).max() / np.abs(ref).max()
    assert err < WAVEFORM_TOLERANCE[path], f"relative max error {err:.2e}"


def test_out_of_range_phonemes_clamp_and_a_single_pitch_applies_throughout(exported):
    model, info, engine = exported
    inputs = inputs_for(10)
    ids = inputs["phonemes"].copy()
    ids[:3] = [-7.0, SMALL.vocab + 9, 2.9]
    clamped = dict(inputs, phonemes=np.where(ids < 0, 0, np.minimum(np.trunc(ids), SMALL.vocab - 1)))
    np.testing.assert_array_equal(engine_forward(engine, dict(inputs, phonemes=ids))["waveform"],
                                  engine_forward(engine, clamped)["waveform"])

    steady = dict(inputs, f0=np.array([180.0], np.float32))
    ref = torch_waveform(model, steady)
    out = engine_forward(engine, steady)["waveform"]
    assert out.size == ref.size
    assert np.abs(out - ref).max() < WAVEFORM_TOLERANCE["winograd"] * np.abs(ref).max()


def test_bad_pitch_length_and_bad_speeds_are_one_line_errors(exported):
    model, info, engine = exported
    inputs = inputs_for(10)
    engine_forward(engine, inputs)  # skips on an engine without the layers
    with pytest.raises(RuntimeError) as e:
        engine.forward(dict(inputs, f0=np.full(11, 150.0, np.float32)))
    assert "regulator.join_f0" in str(e.value) and "\n" not in str(e.value)

    for bad in (0.0, -0.0, -1.0, math.nan, math.inf):
        with pytest.raises(RuntimeError, match="speed must be a positive finite value"):
            engine.set_speed(bad)
        assert engine.speed == 1.0
    engine.set_speed(1e30)  # every phoneme shrinks to its one-frame minimum
    try:
        assert engine_forward(engine, inputs)["waveform"].size == 10 * SMALL.frame_hop
        engine.set_speed(1e-45)  # accepted; its reciprocal is infinite, so durations are too
        with pytest.raises(RuntimeError) as e:
            engine.forward(inputs)
        assert "regulator" in str(e.value) and "\n" not in str(e.value)
    finally:
        engine.set_speed(1.0)


def test_a_waveform_shorter_than_one_stft_frame(make_model):
    g = Graph("short")
    x = g.input("x", (0, 1))
    g.output(g.node("stft_fp32", "stft", [x], n_fft=20, hop_size=5))
    samples = np.array([0.5, -0.25, 0.125], np.float32)
    try:
        frames = make_model(g).forward(samples)
    except RuntimeError as e:
        if str(e).startswith("No layer for"):
            pytest.skip(str(e))
        raise
    # One frame of the edge-padded signal: 11 magnitudes, then 11 phases.
    stft_out = torch.stft(torch.from_numpy(samples), 20, 5, window=sn.hann(20), center=True,
                      pad_mode="replicate", return_complex=True)[:, 0]
    assert frames.size == 22
    np.testing.assert_allclose(frames[:11], stft_out.abs().numpy(), atol=1e-5)


# ---- waveform files and the command line ----

def test_wav_files_round_trip_clip_and_refuse_what_they_cannot_hold(tmp_path):
    x = np.array([0.0, 0.5, -0.5, 1.0, -1.0, 1.5, -2.0], np.float32)
    assert audio.write_wav(tmp_path / "a.wav", x, 16000) == 2
    back, rate = audio.read_wav(tmp_path / "a.wav")
    assert rate == 16000
    np.testing.assert_allclose(back, np.clip(x, -1, 1), atol=0.5 / 32767)
    for bad, message in ((np.zeros(0, np.float32), "no samples"),
                         (np.array([0.1, np.nan], np.float32), "not finite")):
        with pytest.raises(audio.AudioError, match=message):
            audio.write_wav(tmp_path / "b.wav", bad, 16000)
    with pytest.raises(audio.AudioError, match="real-time factor is undefined"):
        audio.real_time_factor(0.5, 0, 24000)
    assert audio.real_time_factor(0.5, 48000, 24000) == 0.25


def test_run_writes_the_waveform_as_wav_and_bench_reports_the_real_time_factor(exported, tmp_path, capsys):
    model, info, engine = exported
    inputs = inputs_for(12)
    engine_forward(engine, inputs)
    np.savez(tmp_path / "in.npz", **inputs)
    out = tmp_path / "out"
    code = cli.main(["run", info.arch_path, info.weights_path, str(tmp_path / "in.npz"), "-o", str(out),
                     "--speed", "2"])
    text = capsys.readouterr().out
    assert code == 0 and "waveform.wav" in text
    samples, rate = audio.read_wav(out / "waveform.wav")
    wave = np.load(out / "waveform.npy")
    assert rate == SMALL.sample_rate
    np.testing.assert_allclose(samples, np.clip(wave, -1, 1), atol=0.5 / 32767 + 1e-7)
    np.testing.assert_allclose(wave, torch_waveform(model, inputs, 2.0),
                               atol=WAVEFORM_TOLERANCE["winograd"] * np.abs(wave).max())

    code = cli.main(["run", info.arch_path, info.weights_path, str(tmp_path / "in.npz"), "-o", str(out),
                     "--wav-rate", "16000"])
    assert code == 0 and audio.read_wav(out / "waveform.wav")[1] == 16000
    capsys.readouterr()

    code = cli.main(["run", info.arch_path, info.weights_path, str(tmp_path / "in.npz"), "-o", str(out),
                     "--speed", "nan"])
    err = capsys.readouterr().err
    assert code == 2 and "speed must be a positive finite value" in err and err.count("\n") == 1

    code = cli.main(["bench", info.arch_path, info.weights_path, "--input", str(tmp_path / "in.npz"),
                     "-n", "2", "--warmup", "0"])
    text = capsys.readouterr().out
    assert code == 0
    line = next(l for l in text.splitlines() if l.startswith("real-time factor (waveform)"))
    assert float(line.split(":")[1].split()[0]) > 0


@pytest.mark.parametrize("speed", [1.0, 2.0])
def test_exported_graph_computes_the_torch_model(tmp_path, speed):
    from speech_graph_reference import run_graph

    model = small_model()
    info = export_speech(model, tmp_path)
    inputs = inputs_for(16)
    tensors = run_graph(info.arch_path, info.weights_path, inputs, speed)
    ref = torch_waveform(model, inputs, speed)
    wave = tensors["waveform"].numpy().reshape(-1)
    assert wave.size == ref.size
    assert np.abs(wave - ref).max() < 1e-4 * np.abs(ref).max()


def test_int8_decoder_keeps_tap_major_rows_and_stays_near_float(tmp_path):
    from speech_graph_reference import run_graph

    from trevalon import w1x1
    model = small_model()
    info = export_speech(model, tmp_path, int8_decoder=True)
    ops = {n.name: n.op for n in read_arch(info.arch_path).nodes}
    assert ops["decoder.blocks.1.conv2"] == "conv1d_int8" and ops["generator.conv_post"] == "conv1d_fp32"
    tensors = w1x1.load(info.weights_path)
    w = model.decoder.blocks[1].conv2.weight.detach().numpy()
    q, s = tensors["decoder.blocks.1.conv2.weight_i8"], tensors["decoder.blocks.1.conv2.w_scales"]
    assert q.shape == (w.shape[0], w.shape[2], w.shape[1])
    np.testing.assert_allclose(q.transpose(0, 2, 1) * s[:, None, None], w, atol=float(s.max()) / 2 + 1e-7)
    inputs = inputs_for(16)
    ref = torch_waveform(model, inputs)
    wave = run_graph(info.arch_path, info.weights_path, inputs)["waveform"].numpy().reshape(-1)
    err = np.abs(wave - ref).max() / np.abs(ref).max()
    assert 0 < err < 0.06, err  # measured 4e-2: the waveform is sensitive to its features

    mi = pytest.importorskip("model_inference")
    out = engine_forward(mi.InferenceModel(info.arch_path, info.weights_path), inputs)["waveform"]
    assert out.size == ref.size
    assert np.abs(out - ref).max() < 0.1 * np.abs(ref).max()
