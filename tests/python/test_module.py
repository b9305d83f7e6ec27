"""The Python surface of model_inference: functions, properties, reprs, conversions and errors."""

import json
import re
from pathlib import Path

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")


def scale_model(make_model, shape=(224, 224, 3), name="resnet50", dtype="float32", scalar=2.0):
    g = Graph(name)
    x = g.input("x", shape=shape, dtype=dtype)
    g.output(g.node("scale_fp32", "double", inputs=[x], scalar=scalar))
    return make_model(g)


def identity_int8_model(make_model, shape=(4, 4, 3)):
    g = Graph("q")
    x = g.input("x", shape=shape, dtype="int8")
    g.output(g.node("maxpool_int8", "same", inputs=[x], kH=1, kW=1, stride_h=1, stride_w=1))
    return make_model(g)


def test_backend_functions():
    assert mi.set_backend() is True
    assert mi.set_backend("cpu\0") is False  # the whole name counts
    assert mi.active_backend() == "cpu"
    assert mi.active_backend() == "cpu"
    assert mi.set_backend("metal") is False
    assert mi.set_backend("cuda") is False
    assert mi.active_backend() == "cpu"
    assert mi.set_backend("cpu") is True


def test_docstrings_and_signatures():
    assert mi.__doc__.startswith("Python bindings for the trevalon inference engine.\n\nQuick start::")
    assert mi.InputSpec.__doc__ == "Descriptor for one model input (shape, dtype, and quantization params)."
    assert mi.InferenceModel.__doc__.startswith("Generic graph-based inference model.\n\nLoads a JSON")
    assert "set_backend(name: str = 'cpu') -> bool" in mi.set_backend.__doc__
    assert "Returns:\n    True if the backend was found and activated." in mi.set_backend.__doc__
    assert mi.InferenceModel.speed.__doc__ == "Current TTS duration speed."
    forward_doc = mi.InferenceModel.forward.__doc__
    assert "forward(self: model_inference.InferenceModel, input: numpy.ndarray) -> numpy.ndarray" in forward_doc
    assert ("forward(self: model_inference.InferenceModel, inputs: collections.abc.Mapping[str, numpy.ndarray])"
            " -> dict[str, numpy.ndarray]") in forward_doc
    assert "Run a single-input forward pass." in forward_doc
    assert "dict mapping tensor name \u2192 numpy array (float32)." in forward_doc
    with pytest.raises(TypeError, match="No constructor defined!"):
        mi.InputSpec()


def test_properties_and_repr(make_model):
    model = scale_model(make_model)
    assert model.profile_enabled is True
    model.set_profile_enabled(False)
    assert model.profile_enabled is False
    assert model.model_name == "resnet50"
    assert model.input_count == 1
    assert model.output_names == ["double"]
    assert model.is_fp32 is True
    assert (model.input_h, model.input_w, model.input_c) == (224, 224, 3)
    assert model.num_classes == 1000
    assert repr(model) == "<InferenceModel name='resnet50' input=[224,224,3]>"
    (input_spec,) = model.inputs
    assert (input_spec.name, input_spec.shape, input_spec.dtype, input_spec.scale, input_spec.zp) == ("x", [224, 224, 3], "float32", 1.0, 0)
    assert repr(input_spec) == "<InputSpec name='x' shape=[224,224,3] dtype=float32>"
    with pytest.raises(AttributeError):
        model.speed = 2.0

    flat = scale_model(make_model, shape=(80,), name="bert")
    assert (flat.input_h, flat.input_w, flat.input_c) == (80, 1, 1)
    assert flat.num_classes == 0
    two = scale_model(make_model, shape=(100, 80), name="ViT-B")
    assert (two.input_h, two.input_w, two.input_c) == (100, 80, 1)
    assert two.num_classes == 1000
    assert scale_model(make_model, shape=(8,), name="mobilenet_v2").num_classes == 1000
    assert scale_model(make_model, shape=(8,), name="ResNet50").num_classes == 1000


def test_empty_shape_repr(make_model, tmp_path):
    arch = tmp_path / "noshape.json"
    arch.write_text(json.dumps({"model": "m", "nodes": []}))
    weights = tmp_path / "empty.w1x1"
    from trevalon import w1x1
    w1x1.save(weights, {})
    model = mi.InferenceModel(str(arch), str(weights))
    assert repr(model) == "<InferenceModel name='m' input=[]>"
    assert model.output_names == []
    assert model.forward(np.zeros(1, np.int8)).shape == (0,)


def test_single_input_conversions(make_model):
    model = scale_model(make_model)
    x = np.random.default_rng(0).standard_normal((224, 224, 3))
    out = model.forward(x)  # float64 is converted to float32
    assert out.dtype == np.float32 and out.shape == (150528,)
    np.testing.assert_array_equal(out, x.astype(np.float32).ravel() * 2)
    flat = model.forward(x.astype(np.float32).ravel())  # a flat array takes the declared shape
    np.testing.assert_array_equal(flat, out)
    with pytest.raises(RuntimeError, match=r"^Unsupported array dtype 'uint8'\. Use float32 for FP32 models "
                                           r"or int8 for INT8 models\.$"):
        model.forward(np.zeros((224, 224, 3), np.uint8))
    with pytest.raises(RuntimeError, match="^Input array must have at least 1 dimension.$"):
        model.forward(np.array(1.0, np.float32))
    with pytest.raises(RuntimeError, match=r"^input 'x' expects shape \[224, 224, 3\] \(150528 elements\), "
                                           r"got shape \[10\] \(10 elements\)$"):
        model.forward(np.zeros(10, np.float32))
    # Integer arrays become int8, which a float32 input cannot take.
    with pytest.raises(RuntimeError, match="^input 'x' is declared float32 but int64 data was given$"):
        model.forward(np.zeros((224, 224, 3), np.int64))


def test_integer_arrays_become_int8_with_wraparound(make_model):
    model = identity_int8_model(make_model)
    values = np.arange(48, dtype=np.int64) * 37 - 400  # outside int8: wraps like numpy's cast
    out = model.forward(values.reshape(4, 4, 3))
    assert out.dtype == np.float32  # int8 outputs come back as float values
    np.testing.assert_array_equal(out, values.astype(np.int8).astype(np.float32))
    as_bool = model.forward(np.ones((4, 4, 3), dtype=bool))
    np.testing.assert_array_equal(as_bool, np.ones(48, np.float32))


def test_variable_shapes(make_model):
    model = scale_model(make_model, shape=(0, 80), name="seq")
    assert model.forward(np.ones(800, np.float32)).shape == (800,)
    out = model.forward({"x": np.ones(800, np.float32)})
    assert out["double"].shape == (800,)
    assert model.forward(np.ones(80, np.float32)).shape == (80,)
    zero_c = scale_model(make_model, shape=(0,), name="zero")
    assert zero_c.forward(np.ones(5, np.float32)).shape == (0,)


def test_mapping_forward(make_model):
    model = scale_model(make_model, shape=(4, 3))
    x = np.arange(12, dtype=np.float64).reshape(4, 3)
    out = model.forward({"x": x})
    assert set(out) == {"double"}
    np.testing.assert_array_equal(out["double"], np.arange(12, dtype=np.float32) * 2)
    # An undeclared name is passed with its own shape and is simply not bound.
    out = model.forward({"x": x, "unknown_name": np.array(3.0, np.float32)})
    np.testing.assert_array_equal(out["double"], np.arange(12, dtype=np.float32) * 2)
    with pytest.raises(TypeError):
        model.forward({1: x})
    with pytest.raises(RuntimeError, match=r"^input 'x' expects shape \[4, 3\] \(12 elements\), "
                                           r"got shape \[3\] \(3 elements\)$"):
        model.forward({"x": np.ones(3, np.float32)})


def test_mapping_forward_keeps_int8_for_int8_inputs(make_model):
    model = identity_int8_model(make_model)
    values = np.arange(48, dtype=np.int32) - 24
    out = model.forward({"x": values})
    np.testing.assert_array_equal(out["same"], values.astype(np.float32))
    with pytest.raises(RuntimeError, match="^input 'x' is declared int8 but float64 data was given; "
                                           "quantise it first with trevalon.export.quantize_input"):
        model.forward({"x": values.astype(np.float64)})
    with pytest.raises(RuntimeError, match="^input 'x' is declared int8 but uint8 data was given"):
        model.forward({"x": values.astype(np.uint8)})
    with pytest.raises(RuntimeError, match="^input 'x' is declared float32 but complex64 data was given$"):
        scale_model(make_model, shape=(4,)).forward({"x": np.ones(4, np.complex64)})


def test_profiling_and_speed(make_model):
    model = scale_model(make_model, shape=(16,))
    model.forward(np.ones(16, np.float32))
    first = model.op_profile()
    assert set(first) == {"scale_fp32"} and set(model.layer_profile()) == {"double"}
    model.forward(np.ones(16, np.float32))
    assert model.op_profile()["scale_fp32"] >= first["scale_fp32"]
    model.reset_profile()
    assert model.op_profile() == {} and model.layer_profile() == {}
    assert model.speed == 1.0
    model.set_speed(2.0)
    assert model.speed == 2.0
    for bad in (0.0, -1.0, float("inf"), float("nan"), 1e300):
        with pytest.raises(RuntimeError, match="^speed must be a positive finite value$"):
            model.set_speed(bad)
    assert model.speed == 2.0


def test_version_matches_the_package():
    tomllib = pytest.importorskip("tomllib")
    pyproject = Path(__file__).resolve().parents[2] / "pyproject.toml"
    assert mi.__version__ == tomllib.loads(pyproject.read_text())["project"]["version"]


def test_paths_may_be_path_like(tmp_path):
    g = Graph("p")
    g.output(g.node("scale_fp32", "y", inputs=[g.input("x", shape=(2,))], scalar=3.0))
    g.save(tmp_path / "p.json")
    from trevalon import w1x1
    w1x1.save(tmp_path / "p.w1x1", {})
    arch, weights = tmp_path / "p.json", tmp_path / "p.w1x1"
    for arch, weights in [(arch, weights), (str(arch), weights)]:
        model = mi.InferenceModel(arch, weights)
        np.testing.assert_array_equal(model.forward(np.ones(2, np.float32)), [3, 3])
    assert "arch_path: os.PathLike | str | bytes" in mi.InferenceModel.__init__.__doc__
    with pytest.raises(TypeError):
        mi.InferenceModel(1, 2)


def test_construction_errors(tmp_path):
    with pytest.raises(RuntimeError, match="^Cannot open JSON: "):
        mi.InferenceModel(str(tmp_path / "missing.json"), str(tmp_path / "missing.w1x1"))
    with pytest.raises(RuntimeError, match=f"^Cannot open JSON: {re.escape(str(tmp_path))}$"):
        mi.InferenceModel(str(tmp_path), str(tmp_path / "missing.w1x1"))  # a directory
    arch = tmp_path / "a.json"
    arch.write_text('{"model": "m"}')
    with pytest.raises(RuntimeError, match="^Cannot open weights: "):
        mi.InferenceModel(str(arch), str(tmp_path / "missing.w1x1"))
    bad = tmp_path / "bad.w1x1"
    bad.write_bytes(b"NOPE" + bytes(8))
    with pytest.raises(RuntimeError, match=r"\(expected W1X1\)$"):
        mi.InferenceModel(str(arch), str(bad))


def test_record_shorter_than_its_header_is_a_runtime_error(tmp_path):
    from trevalon import w1x1
    g = Graph("fc")
    g.output(g.node("gemm_fp32", "fc", inputs=[g.input("x", shape=(4,))], C_out=2, C_in=4))
    g.save(tmp_path / "fc.json")
    w1x1.save(tmp_path / "fc.w1x1", {"fc.weight": np.ones((2, 4), np.float32)})
    data = bytearray((tmp_path / "fc.w1x1").read_bytes())
    data[12 + 72:12 + 76] = (3).to_bytes(4, "little")  # the record's stated size, below its 4-byte header
    (tmp_path / "fc.w1x1").write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match="^vector$"):
        mi.InferenceModel(str(tmp_path / "fc.json"), str(tmp_path / "fc.w1x1"))
