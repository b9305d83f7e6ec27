"""gemm_fp32 and gemm_int8 end to end, against numpy references written from the formulas."""

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")


def fc_model(make_model, op, C_out, C_in, shape, weights, dtype="float32", relu=False):
    g = Graph("fc")
    t = g.input("x", shape=shape, dtype=dtype)
    g.output(g.node(op, "fc", inputs=[t], relu=relu, C_out=C_out, C_in=C_in))
    return make_model(g, weights)


@pytest.mark.parametrize("bias, relu", [(True, False), (False, False), (True, True)])
def test_gemm_fp32_reads_the_whole_tensor_as_one_vector(make_model, bias, relu):
    rng = np.random.default_rng(3)
    x = rng.standard_normal((2, 3, 4)).astype(np.float32)
    w = rng.standard_normal((6, 24)).astype(np.float32)
    b = rng.standard_normal(6).astype(np.float32)
    weights = {"fc.weight": w, **({"fc.bias": b} if bias else {})}
    model = fc_model(make_model, "gemm_fp32", 6, 24, (2, 3, 4), weights, relu=relu)
    expected = w.astype(np.float64) @ x.ravel().astype(np.float64) + (b if bias else 0)
    if relu:
        expected = np.maximum(expected, 0)
    got = model.forward(x)
    assert got.shape == (6,)
    np.testing.assert_allclose(got, expected, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("op", ["gemm_int8", "gemm"])
def test_gemm_int8_dequantises_exactly(make_model, op):
    rng = np.random.default_rng(8)
    C_out, C_in = 13, 40
    x = rng.integers(-128, 128, (5, 8), dtype=np.int8)
    w = rng.integers(-128, 128, (C_out, C_in), dtype=np.int8)
    eff_bias = rng.integers(-(2**28), 2**28, C_out, dtype=np.int64)
    req_scale = (rng.random(C_out) * 1e-3).astype(np.float32)
    model = fc_model(make_model, op, C_out, C_in, (5, 8),
                     {"fc.weight": w, "fc.req_scale": req_scale, "fc.eff_bias": eff_bias},
                     dtype="int8", relu=True)
    acc = w.astype(np.int64) @ x.ravel().astype(np.int64)
    expected = (eff_bias + acc).astype(np.float32) * req_scale  # one rounding, then a float32 product
    expected = np.where(expected > 0, expected, np.float32(0))
    np.testing.assert_array_equal(model.forward(x), expected)


def test_gemm_int8_example_value(make_model):
    """acc = 7, eff_bias = -3, req_scale = 0.5: 2.0."""
    model = fc_model(make_model, "gemm_int8", 1, 1, (1,),
                     {"fc.weight": np.array([[7]], np.int8), "fc.req_scale": np.array([0.5], np.float32),
                      "fc.eff_bias": np.array([-3], np.int64)}, dtype="int8")
    assert model.forward(np.array([1], np.int8)).tolist() == [2.0]


def test_input_size_must_equal_C_in(make_model):
    g = Graph("fc")
    t = g.input("x", shape=(0, 4))  # the length is given at run time
    g.output(g.node("gemm_fp32", "fc", inputs=[t], C_out=3, C_in=8))
    model = make_model(g, {"fc.weight": np.ones((3, 8), np.float32)})
    assert model.forward(np.ones((2, 4), np.float32)).tolist() == [8.0, 8.0, 8.0]
    with pytest.raises(RuntimeError, match="^node 'fc': input holds 12 values, expected 8$"):
        model.forward(np.ones((3, 4), np.float32))


@pytest.mark.parametrize("op, dtype", [("gemm_fp32", np.float32), ("gemm_int8", np.int8)])
def test_a_head_for_another_class_count_fails_at_load(make_model, op, dtype):
    """Weights of a 1000-class head under a 10-class architecture: refused when the model loads,
    naming the tensor and both sizes, instead of quietly using the first ten rows."""
    weights = {"fc.weight": np.zeros((1000, 512), dtype=dtype)}
    if op == "gemm_int8":
        weights.update({"fc.req_scale": np.ones(10, np.float32), "fc.eff_bias": np.zeros(10, np.int64)})
    with pytest.raises(RuntimeError, match=r"^weight fc\.weight holds 512000 elements, expected 5120$"):
        fc_model(make_model, op, 10, 512, (512,), weights, dtype="int8" if op == "gemm_int8" else "float32")
