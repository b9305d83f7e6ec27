"""Speech-model sequence layers end to end: length regulation following the model's speed, the
speed rules and the sizes the regulator refuses, the channel shaping layers against numpy, and
the style-conditioned norms against torch modules written the usual way."""

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")

SPEED_ERROR = "speed must be a positive finite value"


def regulator(make_model, C):
    g = Graph("regulate")
    feats = g.input("feats", shape=(0, C))
    dur = g.input("dur", shape=(0, 1))  # one duration per position
    out = g.node("length_regulate_fp32", "lr", inputs=[feats, dur])
    g.output(out)
    # The next node sees the regulated length.
    g.output(g.node("sum_channels_fp32", "energy", inputs=[out]))
    return make_model(g)


def test_regulated_length_follows_the_speed(make_model):
    C = 3
    model = regulator(make_model, C)
    x = np.arange(4 * C, dtype=np.float32).reshape(4, C)
    d = np.float32([0.2, 1.4, 2.5, 4.0])
    # Halves round away from zero; a count below one is one.
    for speed, repeats in ((1.0, [1, 1, 3, 4]), (2.0, [1, 1, 1, 2]), (0.5, [1, 3, 5, 8])):
        model.set_speed(speed)
        assert model.speed == speed
        got = model.forward({"feats": x, "dur": d})
        want = np.repeat(x, repeats, axis=0)
        np.testing.assert_array_equal(got["lr"].reshape(-1, C), want)
        np.testing.assert_array_equal(got["energy"], want.sum(axis=1))


def test_speed_rules_and_the_totals_the_regulator_refuses(make_model):
    model = regulator(make_model, 64)
    x = np.ones((2, 64), np.float32)
    d = np.float32([3.0, 3.0])
    for bad in (0.0, -0.0, -1.0, float("nan"), float("inf"), -float("inf")):
        with pytest.raises(RuntimeError, match=SPEED_ERROR):
            model.set_speed(bad)
        assert model.speed == 1.0
    # A subnormal speed is accepted; its reciprocal, the duration scale, is infinite.
    model.set_speed(1e-45)
    assert 0 < model.speed < 1e-44
    with pytest.raises(RuntimeError, match="node 'lr': duration 3 at position 0 times the duration scale inf "
                                           "is not finite"):
        model.forward({"feats": x, "dur": d})
    model.set_speed(1e-9)  # three billion positions each
    with pytest.raises(RuntimeError, match="node 'lr': the scaled durations add up to more than 2147483647"):
        model.forward({"feats": x, "dur": d})
    model.set_speed(1e-7)  # sixty million positions of 64 channels: refused, never allocated
    with pytest.raises(RuntimeError, match=r"node 'lr': \d+ positions of 64 channels exceed 2147483647 values"):
        model.forward({"feats": x, "dur": d})
    model.set_speed(1.0)
    with pytest.raises(RuntimeError, match="node 'lr': durations hold 3 values, expected 2"):
        model.forward({"feats": x, "dur": np.float32([1, 2, 3])})
    # The model stays usable after the errors.
    assert model.forward({"feats": x, "dur": d})["lr"].size == 6 * 64


def test_channel_shaping_layers_against_numpy(make_model):
    T, C, S = 6, 5, 3
    g = Graph("shaping")
    x = g.input("x", shape=(T, C))
    s = g.input("s", shape=(S,))
    padded = g.node("reflection_pad1d_fp32", "pad", inputs=[x])
    part = g.node("slice_channels_fp32", "slice", inputs=[padded], ch_start=1, ch_end=4)
    joined = g.node("concat1d_fp32", "cat", inputs=[part, s], C2=S)
    g.output(joined)
    g.output(g.node("sum_channels_fp32", "sum", inputs=[joined]))
    model = make_model(g)
    rng = np.random.default_rng(3)
    xv = rng.standard_normal((T, C)).astype(np.float32)
    sv = rng.standard_normal(S).astype(np.float32)
    got = model.forward({"x": xv, "s": sv})
    want = np.concatenate([np.concatenate([xv[1:2], xv])[:, 1:4], np.tile(sv, (T + 1, 1))], axis=1)
    np.testing.assert_array_equal(got["cat"].reshape(T + 1, 3 + S), want)
    np.testing.assert_allclose(got["sum"], want.sum(axis=1), rtol=1e-6, atol=1e-6)


torch = pytest.importorskip("torch")


class AdaIN1d(torch.nn.Module):
    def __init__(self, style_dim, channels):
        super().__init__()
        self.norm = torch.nn.InstanceNorm1d(channels, affine=True)
        self.fc = torch.nn.Linear(style_dim, 2 * channels)

    def forward(self, x, s):  # x: (batch, channels, time)
        gamma, beta = torch.chunk(self.fc(s).unsqueeze(-1), 2, dim=1)
        return (1 + gamma) * self.norm(x) + beta


class AdaLayerNorm(torch.nn.Module):
    def __init__(self, style_dim, channels, eps=1e-5):
        super().__init__()
        self.channels, self.eps = channels, eps
        self.fc = torch.nn.Linear(style_dim, 2 * channels)

    def forward(self, x, s):  # x: (batch, time, channels)
        gamma, beta = torch.chunk(self.fc(s).unsqueeze(1), 2, dim=-1)
        x = torch.nn.functional.layer_norm(x, (self.channels,), eps=self.eps)
        return (1 + gamma) * x + beta


@pytest.mark.parametrize("T", [2, 7, 50])  # torch refuses instance norm over one position
def test_adaptive_norms_match_torch(make_model, T):
    C, S = 24, 16
    torch.manual_seed(T)
    ada_in, ada_ln = AdaIN1d(S, C).eval(), AdaLayerNorm(S, C).eval()
    with torch.no_grad():
        ada_in.norm.weight.uniform_(0.5, 1.5)
        ada_in.norm.bias.uniform_(-0.5, 0.5)
    g = Graph("ada")
    x = g.input("x", shape=(0, C))
    s = g.input("s", shape=(S,))
    g.output(g.node("ada_in1d_fp32", "dec.0.adain", inputs=[x, s], C=C, C_style=S))
    g.output(g.node("ada_layer_norm_fp32", "pred.0.adaln", inputs=[x, s], C=C, C_style=S))
    weights = {f"dec.0.adain.{k}": v.detach().numpy() for k, v in ada_in.state_dict().items()}
    weights.update({f"pred.0.adaln.{k}": v.detach().numpy() for k, v in ada_ln.state_dict().items()})
    model = make_model(g, weights)

    xv = (torch.randn(T, C) * 2 + 1).float()
    sv = torch.randn(S).float()
    got = model.forward({"x": xv.numpy(), "s": sv.numpy()})
    with torch.no_grad():
        want_in = ada_in(xv.T.unsqueeze(0), sv.unsqueeze(0))[0].T.numpy()
        want_ln = ada_ln(xv.unsqueeze(0), sv.unsqueeze(0))[0].numpy()
    np.testing.assert_allclose(got["dec.0.adain"].reshape(T, C), want_in, rtol=1e-5, atol=1e-5)
    np.testing.assert_allclose(got["pred.0.adaln"].reshape(T, C), want_ln, rtol=1e-5, atol=1e-5)
