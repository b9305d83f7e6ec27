"""PyTorch export: float32 ResNets against PyTorch, int8 exports against the numpy integer
reference bit for bit and against PyTorch loosely, and the one-line export errors."""

import json

import numpy as np
import pytest

torch = pytest.importorskip("torch")
from torch import nn  # noqa: E402
import torch.nn.functional as F  # noqa: E402

from trevalon import cli, runner, w1x1  # noqa: E402
from trevalon.export import ExportError, engine_input, export_model, nets  # noqa: E402
from trevalon.export import int8_reference  # noqa: E402


@pytest.fixture(scope="module")
def engine():
    return pytest.importorskip("model_inference")


def _random_model(factory, size, seed=0, **kwargs):
    torch.manual_seed(seed)
    model = factory(**kwargs)
    return nets.set_batchnorm_statistics(model, torch.randn(8, 3, size, size), seed=seed)


def _export(tmp, model, example, **kwargs):
    arch, weights = tmp / "model.json", tmp / "model.w1x1"
    info = export_model(model, example, arch, weights, progress=False, **kwargs)
    return info, arch, weights


def _torch_logits(model, x):
    with torch.no_grad():
        return model(x)[0].numpy()


def _relative_error(ours, theirs):
    return float(np.max(np.abs(ours - theirs)) / np.max(np.abs(theirs)))


@pytest.mark.parametrize("factory", [nets.resnet18, nets.resnet50])
def test_float_resnet_matches_pytorch(engine, tmp_path, factory):
    model = _random_model(factory, 64, num_classes=100)
    x = torch.randn(1, 3, 64, 64)
    info, arch, weights = _export(tmp_path, model, x)
    convs = sum(isinstance(m, nn.Conv2d) for m in model.modules())
    # Every batch norm folded, every ReLU fused: one node per convolution, addition, pool and head.
    assert info.op_counts["conv_fp32"] == convs
    assert sum(info.op_counts.values()) == convs + info.op_counts["add_fp32"] + 3
    ours = engine.InferenceModel(str(arch), str(weights)).forward(engine_input(x, info))
    error = _relative_error(ours, _torch_logits(model, x))
    print(f"{factory.__name__} float32 at 64x64: max |ours - torch| / max |torch| = {error:.2e}")
    assert error < 1e-4


def test_float_export_of_flatten_standalone_relu_and_dilation(engine, tmp_path):
    class Small(nn.Module):
        def __init__(self):
            super().__init__()
            self.conv1 = nn.Conv2d(3, 8, 3, padding=2, dilation=2)
            self.bn = nn.BatchNorm2d(8)
            self.conv2 = nn.Conv2d(8, 6, 1, stride=2)
            self.pool = nn.MaxPool2d(2)
            self.fc = nn.Linear(6 * 4 * 4, 5)

        def forward(self, x):
            y = self.bn(self.conv1(x))
            y = y + F.relu(y)  # a ReLU whose input is used again stays a separate node
            y = self.pool(self.conv2(y))
            return self.fc(torch.flatten(y, 1))  # (C, H, W) order: the head's columns are permuted

    model = _random_model(Small, 16).train()
    x = torch.randn(1, 3, 16, 16)
    info, arch, weights = _export(tmp_path, model, x)  # exported with eval-mode semantics
    assert model.training
    model.eval()
    assert info.op_counts == {"conv_fp32": 2, "leaky_relu_fp32": 1, "add_fp32": 1,
                              "maxpool_fp32": 1, "gemm_fp32": 1}
    ours = engine.InferenceModel(str(arch), str(weights)).forward(engine_input(x, info))
    assert _relative_error(ours, _torch_logits(model, x)) < 1e-5


@pytest.fixture(scope="module")
def resnet18_int8(tmp_path_factory):
    """An int8 resnet18 at 40x40, so the convolutions see odd sizes (5x5, 3x3) and partial tiles."""
    model = _random_model(nets.resnet18, 40, num_classes=10)
    samples = torch.randn(8, 3, 40, 40)
    info, arch, weights = _export(tmp_path_factory.mktemp("r18q"), model, samples[:1],
                                  quantize=True, calibration_data=samples)
    return model, info, arch, weights


@pytest.fixture(scope="module")
def mobilenet_int8(tmp_path_factory):
    model = _random_model(nets.mobilenet_style, 48, num_classes=10, width=0.5)
    samples = [torch.randn(1, 3, 48, 48) * 1.5 for _ in range(6)]
    info, arch, weights = _export(tmp_path_factory.mktemp("mbq"), model, samples[0], quantize=True,
                                  calibration_data=samples, calibration="percentile", percentile=99.9)
    return model, info, arch, weights


def _engine_and_reference(engine, exported, inputs):
    _, info, arch, weights = exported
    ours = engine.InferenceModel(str(arch), str(weights))
    graph, tensors = json.loads(arch.read_text()), w1x1.load(weights)
    pairs = []
    for x in inputs:
        q = engine_input(x, info)
        assert q.dtype == np.int8
        reference = int8_reference.run(graph, tensors, q)[info.output_names[0]]
        pairs.append((ours.forward(q), reference))
    return pairs


def test_int8_resnet18_matches_integer_reference_bit_for_bit(engine, resnet18_int8):
    _, info, arch, _ = resnet18_int8
    assert info.op_counts == {"conv_int8": 20, "maxpool_int8": 1, "add_int8": 8,
                              "avgpool_int8": 1, "gemm_int8": 1}
    torch.manual_seed(1)
    for ours, reference in _engine_and_reference(engine, resnet18_int8,
                                                 [torch.randn(1, 3, 40, 40) for _ in range(3)]):
        np.testing.assert_array_equal(ours, reference)


def test_mobilenet_int8_runs_depthwise_and_matches_reference(engine, mobilenet_int8):
    model, info, arch, _ = mobilenet_int8
    nodes = json.loads(arch.read_text())["nodes"]
    grouped = [n for n in nodes if n["op"] == "conv_int8" and n.get("groups", 1) > 1]
    # One depthwise convolution per inverted residual block, each in the shape the engine's
    # depthwise kernel takes: groups = C_in = C_out, 3x3, stride 1 or 2, padding 1.
    assert len(grouped) == sum(isinstance(m, nets.InvertedResidual) for m in model.modules())
    for n in grouped:
        assert n["groups"] == n["C_in"] == n["C_out"], n
        assert (n["kH"], n["kW"], n["pad_h"], n["pad_w"]) == (3, 3, 1, 1), n
        assert n["stride_h"] == n["stride_w"] in (1, 2), n
    assert {n["stride_h"] for n in grouped} == {1, 2}
    assert info.op_counts["add_int8"] > 0
    torch.manual_seed(2)
    for ours, reference in _engine_and_reference(engine, mobilenet_int8,
                                                 [torch.randn(1, 3, 48, 48) for _ in range(3)]):
        np.testing.assert_array_equal(ours, reference)


@pytest.mark.parametrize("exported", ["resnet18_int8", "mobilenet_int8"])
def test_int8_logits_follow_float_logits(engine, request, exported):
    model, info, arch, weights = request.getfixturevalue(exported)
    ours_model = engine.InferenceModel(str(arch), str(weights))
    h, w = info.input_shape[:2]
    torch.manual_seed(3)
    ours, theirs = [], []
    for _ in range(4):
        x = torch.randn(1, 3, h, w)
        ours.append(ours_model.forward(engine_input(x, info)))
        theirs.append(_torch_logits(model, x))
    correlation = np.corrcoef(np.concatenate(ours), np.concatenate(theirs))[0, 1]
    print(f"{exported}: correlation of int8 and float logits {correlation:.4f}")
    assert correlation > 0.95


def test_small_int8_network_tracks_pytorch(engine, tmp_path):
    """ReLU6 folded into the output range, a ReLU after a residual addition, max and average
    pooling and the float head, on inputs with a non-zero zero point: close to PyTorch."""

    class Small(nn.Module):
        def __init__(self):
            super().__init__()
            self.conv1 = nn.Conv2d(3, 8, 3, padding=1)
            self.bn1 = nn.BatchNorm2d(8)
            self.act = nn.ReLU6()
            self.conv2 = nn.Conv2d(8, 8, 3, stride=2, padding=1, groups=8, bias=False)
            self.conv3 = nn.Conv2d(8, 8, 1)
            self.pool = nn.MaxPool2d(3, 2, 1)
            self.avg = nn.AdaptiveAvgPool2d(1)
            self.fc = nn.Linear(8, 4)

        def forward(self, x):
            y = self.act(self.bn1(self.conv1(x)))
            y = self.conv2(y)
            y = F.relu(y + self.conv3(y))
            return self.fc(torch.flatten(self.avg(self.pool(y)), 1))

    torch.manual_seed(4)
    model = Small()
    with torch.no_grad():
        model.conv1.weight.mul_(4.0)  # pre-activations well beyond [0, 6]
    model.eval()
    samples = torch.rand(16, 3, 12, 12) * 4 - 1  # an asymmetric input range
    info, arch, weights = _export(tmp_path, model, samples[:1], quantize=True, calibration_data=samples)
    assert info.activations["conv1"] == (pytest.approx(6 / 255), -128)
    assert info.input_zp != 0
    ours_model = engine.InferenceModel(str(arch), str(weights))
    for x in samples[:4]:
        theirs = _torch_logits(model, x[None])
        ours = ours_model.forward(engine_input(x, info))
        assert np.max(np.abs(ours - theirs)) < 0.05 * np.max(np.abs(theirs)) + 0.02


def test_int8_outputs_record_their_quantisation_and_the_tools_return_real_values(
        engine, tmp_path, capsys):
    """A feature map returned beside the logits: its "outputs" entry carries the scale and zero
    point, the float head's does not; forward keeps the integers, the tools give real values."""

    class TwoHeads(nn.Module):
        def __init__(self):
            super().__init__()
            self.stem = nn.Conv2d(3, 4, 3, padding=1)
            self.features = nn.Conv2d(4, 2, 1)
            self.fc = nn.Linear(4, 3)

        def forward(self, x):
            y = F.relu(self.stem(x))
            return self.features(y), self.fc(torch.flatten(F.adaptive_avg_pool2d(y, 1), 1))

    torch.manual_seed(7)
    model = TwoHeads().eval()
    samples = torch.randn(8, 3, 6, 6)
    info, arch, weights = _export(tmp_path, model, samples[:1], quantize=True,
                                  calibration_data=samples)
    feature, logits = info.output_names
    scale, zp = info.activations[feature]
    assert json.loads(arch.read_text())["outputs"] == [
        {"name": feature, "scale": scale, "zp": zp}, {"name": logits}]

    model_ = runner.load_model(arch, weights)  # path objects are accepted
    x = engine_input(samples[0], info)
    raw = model_.forward({info.input_name: x})
    assert np.array_equal(raw[feature], np.round(raw[feature]))  # integer values in float32
    real = runner.dequantize_outputs(arch, raw)
    np.testing.assert_array_equal(real[feature], (raw[feature] - zp) * np.float32(scale))
    assert np.array_equal(real[logits], raw[logits])
    theirs = [t[0].detach().numpy() for t in model(samples[:1])]
    np.testing.assert_allclose(real[feature].reshape(-1), theirs[0].transpose(1, 2, 0).reshape(-1),
                               atol=4 * scale + 0.02 * np.abs(theirs[0]).max())

    np.save(tmp_path / "x.npy", x)
    assert cli.main(["run", str(arch), str(weights), str(tmp_path / "x.npy"),
                     "-o", str(tmp_path / "out")]) == 0
    out = capsys.readouterr().out
    assert f"dequantised from int8 with scale {scale:g}, zero point {zp}" in out
    np.testing.assert_array_equal(np.load(tmp_path / "out" / f"{feature}.npy"), real[feature])
    np.testing.assert_array_equal(np.load(tmp_path / "out" / f"{logits}.npy"), raw[logits])


class _Unsupported(nn.Module):
    def __init__(self, kind):
        super().__init__()
        self.kind = kind
        self.conv = nn.Conv2d(3, 4, 3, padding=1, dilation=1 if kind != "dilated" else 2)
        self.gate = nn.Sigmoid()
        self.pool = nn.AvgPool2d(2)
        self.fc = nn.Linear(4, 2)

    def forward(self, x):
        y = self.conv(x)
        if self.kind == "module":
            y = self.gate(y)
        elif self.kind == "function":
            y = torch.sigmoid(y)
        elif self.kind == "pool":
            y = self.pool(y)
        return self.fc(torch.flatten(F.adaptive_avg_pool2d(y, 1), 1))


@pytest.mark.parametrize("kind, quantize, message", [
    ("module", False, "module 'gate': nn.Sigmoid is not supported"),
    ("function", False, "the model's forward: torch.sigmoid is not supported"),
    ("pool", False, "module 'pool': nn.AvgPool2d with output (4, 4) is not supported: "
                    "only global average pooling exists"),
    ("dilated", True, "module 'conv': dilation (2, 2) is not supported by the int8 convolution"),
])
def test_unsupported_operations_are_one_line_errors_naming_the_module(tmp_path, kind, quantize, message):
    with pytest.raises(ExportError) as caught:
        _export(tmp_path, _Unsupported(kind), torch.randn(1, 3, 8, 8), quantize=quantize,
                calibration_data=torch.randn(2, 3, 8, 8))
    assert str(caught.value) == message
    assert not (tmp_path / "model.json").exists()


@pytest.mark.parametrize("model, message", [
    (nets.mobilenet_style(width=0.25),
     "module 'features.0.2': ReLU6 has no float32 form (the engine has no clamp); export with quantize=True"),
    (nn.Sequential(nn.Conv2d(3, 8, 3), nn.Conv2d(8, 8, 3, groups=8), nn.ReLU()),
     "module '1': grouped convolution (groups=8) has no float32 form; export with quantize=True"),
], ids=["relu6", "grouped"])
def test_float_export_refuses_what_only_int8_expresses(tmp_path, model, message):
    with pytest.raises(ExportError) as caught:
        _export(tmp_path, model, torch.randn(1, 3, 32, 32))
    assert str(caught.value) == message


@pytest.mark.parametrize("data", [None, [], torch.empty(0, 3, 8, 8), iter(())],
                         ids=["none", "empty-list", "empty-tensor", "empty-iterator"])
def test_calibration_without_samples_is_a_one_line_error(tmp_path, data):
    model = nn.Sequential(nn.Conv2d(3, 4, 1), nn.ReLU(), nn.AdaptiveAvgPool2d(1), nn.Flatten(),
                          nn.Linear(4, 2))
    with pytest.raises(ExportError, match=r"^int8 export needs|^calibration_data holds no samples") as caught:
        _export(tmp_path, model, torch.randn(1, 3, 8, 8), quantize=True, calibration_data=data)
    assert "\n" not in str(caught.value)


def test_calibration_shows_a_progress_bar(tmp_path, capsys):
    model = nn.Sequential(nn.Conv2d(3, 4, 1), nn.AdaptiveAvgPool2d(1), nn.Flatten(), nn.Linear(4, 2))
    export_model(model, torch.randn(1, 3, 8, 8), tmp_path / "m.json", tmp_path / "m.w1x1",
                 quantize=True, calibration_data=[torch.randn(3, 8, 8) for _ in range(3)])
    err = capsys.readouterr().err
    assert "calibrating [" in err and err.rstrip().endswith("3/3")


def test_long_module_names_and_a_module_called_twice_export_and_load(engine, tmp_path):
    class Deep(nn.Module):
        def __init__(self):
            super().__init__()
            self.a_rather_long_stage_name = nn.Sequential(nn.Sequential(nn.Sequential(
                nn.Conv2d(4, 4, 3, padding=1), nn.Conv2d(4, 4, 3, padding=1))))
            self.shared_convolution_with_an_equally_long_descriptive_name = nn.Conv2d(4, 4, 1)
            self.fc = nn.Linear(4, 3)

        def forward(self, x):
            conv = self.shared_convolution_with_an_equally_long_descriptive_name
            y = conv(conv(self.a_rather_long_stage_name(x)))
            return self.fc(y.mean((2, 3)))

    model = Deep().eval()
    x = torch.randn(1, 4, 6, 6)
    info, arch, weights = _export(tmp_path, model, x)
    assert all(len(n.encode()) <= 63 for n in info.weight_names)
    shared = [n for n, m in info.node_modules.items()
              if m == "shared_convolution_with_an_equally_long_descriptive_name"]
    assert len(info.node_modules) == 6 and len(shared) == 2
    ours = engine.InferenceModel(str(arch), str(weights)).forward(engine_input(x, info))
    assert _relative_error(ours, _torch_logits(model, x)) < 1e-5


def test_percentile_calibration_clips_outliers_that_minmax_keeps(tmp_path):
    model = nn.Sequential(nn.Conv2d(1, 1, 1, bias=False), nn.AdaptiveAvgPool2d(1), nn.Flatten(),
                          nn.Linear(1, 1))
    with torch.no_grad():
        model[0].weight.fill_(1.0)
    samples = torch.rand(4, 1, 16, 16)  # values in [0, 1) ...
    samples[0, 0, 0, 0] = 50.0  # ... and one outlier
    scales = {}
    for method in ("minmax", "percentile"):
        info, _, _ = _export(tmp_path, model, samples[:1], quantize=True, calibration_data=samples,
                             calibration=method, percentile=99.0)
        scales[method] = info.input_scale
    assert scales["minmax"] == pytest.approx(50 / 255, rel=1e-6)
    assert scales["percentile"] < 1.01 / 255


def test_engine_input_layout_and_quantisation(tmp_path):
    model = nn.Sequential(nn.Conv2d(2, 2, 1), nn.AdaptiveAvgPool2d(1), nn.Flatten(), nn.Linear(2, 2))
    x = torch.arange(24, dtype=torch.float32).reshape(1, 2, 3, 4) / 23 * 2 - 1  # [-1, 1]
    info, _, _ = _export(tmp_path, model, x, quantize=True, calibration_data=x)
    assert (info.input_shape, info.input_dtype) == ((3, 4, 2), "int8")
    q = engine_input(x, info)
    assert q.shape == (3, 4, 2) and q.dtype == np.int8
    assert q.min() == -128 and q.max() >= 126  # the calibrated range is the data's range
    restored = (q.astype(np.float64) - info.input_zp) * info.input_scale
    np.testing.assert_allclose(restored, x[0].permute(1, 2, 0).numpy(), atol=info.input_scale / 2 + 1e-7)
    with pytest.raises(ExportError):
        engine_input(torch.randn(2, 2, 3, 4), info)


# Fixed-point cases of the int8 requantiser, worked out by hand: (scale, out_zp, acc, expected).
@pytest.mark.parametrize("scale, out_zp, acc, expected", [
    (0.25, 0, 100, 25), (0.25, 0, 101, 26), (0.25, 0, 103, 26), (0.25, 0, -101, -25),
    (0.25, 0, -103, -25), (0.1, 3, 50, 8), (1.0, 0, 1000, 127), (1.0, 0, -1000, -128),
    (3.0, -5, 20, 55), (2.0**-20, 0, 2**21 + 2**19, 3),
])
def test_reference_requantiser(scale, out_zp, acc, expected):
    m, e = int8_reference.scale_to_multiplier(scale)
    assert int(int8_reference.requantize(np.array([acc]), m, e, out_zp)[0]) == expected


def test_reference_multiplier_and_single_rounding():
    assert int8_reference.scale_to_multiplier(0.1) == (1717986944, -3)  # 0.1 as float32
    assert int8_reference.scale_to_multiplier(1.0) == (2**30, 1)
    assert int8_reference.scale_to_multiplier(0.0) == (0, 0)
    m, e = int8_reference.scale_to_multiplier(0.25)
    # (d * m + 2^(30 - e)) >> (31 - e): 0.25 * 10 = 2.5 rounds up, -2.5 rounds up to -2.
    assert int(int8_reference.single_round(10, m, e)) == 3
    assert int(int8_reference.single_round(-10, m, e)) == -2
