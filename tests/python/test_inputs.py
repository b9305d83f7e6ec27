"""Arrays given to declared inputs: which shapes are taken, how they are bound, and the errors
for the ones that would otherwise give a wrong answer (both forward forms)."""

import re

import numpy as np
import pytest

from trevalon.graph import Graph

mi = pytest.importorskip("model_inference")


def doubling_model(make_model, shape):
    g = Graph("shapes")
    g.output(g.node("scale_fp32", "y", inputs=[g.input("x", shape=shape)], scalar=2.0))
    return make_model(g)


def both_forms(model, array):
    """The single-input result and the mapping result, which must agree."""
    single = model.forward(array)
    mapped = model.forward({"x": array})["y"]
    np.testing.assert_array_equal(single, mapped)
    return single


@pytest.mark.parametrize("declared, given", [
    ((224, 224, 3), (150528,)),          # flat, the right count
    ((224, 224, 3), (1, 224, 224, 3)),   # a batch of one
    ((224, 224, 3), (224, 224, 3, 1)),
    ((6, 7), (6, 1, 7)),                 # a file's [1, 6, 1, 7] is read back as [6, 7]
    ((6, 7), (1, 42)),                   # 1-D once the 1s are dropped
    ((0, 80), (5, 80)),
    ((0, 80), (1, 400)),
    ((0, 5, 3), (4, 5, 3)),
    ((0, 5, 3), (5, 3)),                 # one row, its row dimension dropped
    ((0, 5, 3), (1, 5, 3)),
])
def test_accepted_arrays_are_read_in_order(make_model, declared, given):
    model = doubling_model(make_model, declared)
    x = np.arange(np.prod(given), dtype=np.float32).reshape(given)
    np.testing.assert_array_equal(both_forms(model, x), x.ravel() * 2)


def expects(text):
    return "^" + re.escape(text) + "$"


@pytest.mark.parametrize("declared, given, message", [
    # A batch of two used to return the first image's result.
    ((224, 224, 3), (2, 224, 224, 3),
     "input 'x' expects shape [224, 224, 3] (150528 elements), got shape [2, 224, 224, 3] (301056 elements)"),
    ((224, 224, 3), (150529,),
     "input 'x' expects shape [224, 224, 3] (150528 elements), got shape [150529] (150529 elements)"),
    # A channels-first image used to be read as if it were channels-last.
    ((224, 224, 3), (3, 224, 224),
     "input 'x' expects shape [224, 224, 3] (150528 elements), got shape [3, 224, 224] (150528 elements); "
     "the engine takes height x width x channels, so transpose a channels-first array"),
    ((224, 224, 3), (1, 3, 224, 224),
     "input 'x' expects shape [224, 224, 3] (150528 elements), got shape [1, 3, 224, 224] (150528 elements); "
     "the engine takes height x width x channels, so transpose a channels-first array"),
    ((4, 6, 3), (6, 4, 3),
     "input 'x' expects shape [4, 6, 3] (72 elements), got shape [6, 4, 3] (72 elements)"),
    # Less than one row used to read past the array.
    ((0, 80), (5,), "input 'x' expects shape [0, 80] (whole rows of 80 elements), got shape [5] (5 elements)"),
    ((0, 80), (0, 80), "input 'x' expects shape [0, 80] (whole rows of 80 elements), got shape [0, 80] (0 elements)"),
    ((0, 80), (85,), "input 'x' expects shape [0, 80] (whole rows of 80 elements), got shape [85] (85 elements)"),
    ((0, 80), (80, 5),
     "input 'x' expects shape [0, 80] (whole rows of 80 elements), got shape [80, 5] (400 elements); "
     "the engine takes rows x channels, so transpose a channels-first array"),
    ((0, 80), (2, 5, 80),
     "input 'x' expects shape [0, 80] (whole rows of 80 elements), got shape [2, 5, 80] (800 elements)"),
    ((0,), (2, 3), "input 'x' expects shape [0] (any number of elements), got shape [2, 3] (6 elements)"),
])
def test_refused_arrays_name_both_shapes(make_model, declared, given, message):
    model = doubling_model(make_model, declared)
    x = np.zeros(given, np.float32)
    for call in (lambda: model.forward(x), lambda: model.forward({"x": x})):
        with pytest.raises(RuntimeError, match=expects(message)):
            call()


def test_a_large_row_with_a_few_values_is_refused_not_read_past(make_model):
    model = doubling_model(make_model, (0, 1 << 22))
    with pytest.raises(RuntimeError, match=r"^input 'x' expects shape \[0, 4194304\] \(whole rows"):
        model.forward(np.ones(5, np.float32))


def test_omitted_input_must_have_been_given_once(make_model):
    g = Graph("two")
    x, z = g.input("x", shape=(3,)), g.input("z", shape=(3,))
    g.output(g.node("add_fp32", "y", inputs=[x, z]))
    model = make_model(g)
    ones = np.ones(3, np.float32)
    never_given = "input 'z' was not supplied, and no earlier call supplied it"
    with pytest.raises(RuntimeError, match=expects(never_given)):
        model.forward({"x": ones})
    np.testing.assert_array_equal(model.forward({"x": ones, "z": ones * 5})["y"], [6, 6, 6])
    np.testing.assert_array_equal(model.forward({"x": ones * 2})["y"], [7, 7, 7])  # z kept
    np.testing.assert_array_equal(model.forward(ones * 3), [8, 8, 8])  # the single form too
