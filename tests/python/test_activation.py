"""Activation layers end to end: the seven kinds of ActivationFp32 through model_inference against
float64 numpy, and the C-library tail after the last complete group of four."""

import ctypes
import ctypes.util

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")


def gelu(x):
    return 0.5 * x * (1 + np.tanh(0.7978845608028654 * (x + 0.044715 * x**3)))


# op, reference, input range, absolute tolerance (plus 1e-6 relative). The sine polynomial is a
# degree-9 series (3.6e-6 at pi/2); GELU's cancellation for negative x costs about |x| ulps of 1.
KINDS = [
    ("exp_fp32", np.exp, 20, 2e-7),
    ("sin_fp32", np.sin, 10, 5e-6),
    ("sigmoid_fp32", lambda x: 1 / (1 + np.exp(-x)), 30, 2e-7),
    ("tanh_fp32", np.tanh, 12, 2e-7),
    ("silu_fp32", lambda x: x / (1 + np.exp(-x)), 30, 2e-7),
    ("gelu_fp32", gelu, 8, 1.2e-6),
    ("leaky_relu_fp32", lambda x: np.where(x >= 0, x, 0.2 * x), 10, 0),
]


def activation_model(make_model, op, shape, **params):
    g = Graph("act")
    x = g.input("x", shape=shape)
    g.output(g.node(op, "act", inputs=[x], **params))
    return make_model(g)


@pytest.mark.parametrize("op, ref, span, atol", KINDS)
def test_activation_kinds(make_model, op, ref, span, atol):
    shape = (5, 7, 3)  # 105 values: 26 groups of four and a tail of one
    model = activation_model(make_model, op, shape)
    x = np.random.default_rng(1).uniform(-span, span, shape).astype(np.float32)
    want = ref(x.astype(np.float64)).ravel()
    np.testing.assert_allclose(model.forward(x), want, rtol=1e-6, atol=atol)


def test_leaky_relu_reads_alpha(make_model):
    model = activation_model(make_model, "leaky_relu_fp32", (8,), alpha=0.01)
    x = np.linspace(-4, 3, 8, dtype=np.float32)
    np.testing.assert_array_equal(model.forward(x), np.where(x >= 0, x, np.float32(0.01) * x))


def c_library():
    name = ctypes.util.find_library("m")
    if not name:
        pytest.skip("no C math library to compare with")
    libm = ctypes.CDLL(name)
    for fn in ("expf", "sinf", "tanhf"):
        getattr(libm, fn).restype = ctypes.c_float
        getattr(libm, fn).argtypes = [ctypes.c_float]
    return libm


@pytest.mark.parametrize("op, fn", [("exp_fp32", "expf"), ("sin_fp32", "sinf"), ("tanh_fp32", "tanhf")])
def test_fifth_element_comes_from_the_c_library(make_model, op, fn):
    libm = c_library()
    model = activation_model(make_model, op, (5,))
    x = np.array([0.7, -1.3, 2.1, 0.05, 1.37], np.float32)
    out = model.forward(x)
    assert out[4] == np.float32(getattr(libm, fn)(float(x[4])))
    np.testing.assert_allclose(out[:4], {"expf": np.exp, "sinf": np.sin, "tanhf": np.tanh}[fn](
        x[:4].astype(np.float64)), rtol=1e-6, atol=5e-6)
